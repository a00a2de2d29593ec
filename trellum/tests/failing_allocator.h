// Makes the C allocator fail on demand, for the whole process (the library
// included), and counts live allocations. Linked into one test program only,
// and only where no sanitizer brings an allocator of its own.
#ifndef TRELLUM_TESTS_FAILING_ALLOCATOR_H
#define TRELLUM_TESTS_FAILING_ALLOCATOR_H

namespace trellum_test {

// The next `count` allocations succeed and every later one fails, until
// allowAllAllocations().
void failAllocationsAfter(int count);
void allowAllAllocations();

// Numbers the allocations from now on 1, 2, ... and fails number n only,
// or n and every later one, until allowAllAllocations().
void failAllocation(long n, bool andAllAfter);
// Allocations made to fail since the last failAllocation or failAllocationsAfter.
long failedAllocations();

// Blocks allocated and not yet freed, through malloc, calloc and realloc.
long liveAllocations();

} // namespace trellum_test

#endif
