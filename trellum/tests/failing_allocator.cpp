// Replaces malloc, calloc, realloc and free by definitions in the program,
// which the dynamic linker prefers over the C library's, also for calls made
// inside libtrellum. They forward to the C library's own entry points.
#include "failing_allocator.h"

#include <atomic>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void __libc_free(void *block);
}

namespace {

std::atomic<int> allocationsLeft{-1};  // negative: no limit
std::atomic<long> live{0};

// failAllocation's numbering: 0 while it is not in force.
std::atomic<long> failingNumber{0};
std::atomic<bool> failingAllAfter{false};
std::atomic<long> allocationsNumbered{0};
std::atomic<long> failed{0};

bool mayAllocateNumbered() {
    long n = failingNumber.load();
    if (n == 0) return true;
    long number = ++allocationsNumbered;
    return number < n || (number > n && !failingAllAfter.load());
}

bool mayAllocate() {
    if (!mayAllocateNumbered()) {
        ++failed;
        return false;
    }
    int left = allocationsLeft.load();
    while (left >= 0) {
        if (left == 0) {
            ++failed;
            return false;
        }
        if (allocationsLeft.compare_exchange_weak(left, left - 1)) return true;
    }
    return true;
}

void *counted(void *block) {
    if (block != nullptr) ++live;
    return block;
}

} // namespace

namespace trellum_test {

void failAllocationsAfter(int count) {
    failed = 0;
    allocationsLeft = count;
}

void allowAllAllocations() {
    allocationsLeft = -1;
    failingNumber = 0;
}

void failAllocation(long n, bool andAllAfter) {
    failed = 0;
    allocationsNumbered = 0;
    failingAllAfter = andAllAfter;
    failingNumber = n;
}

long failedAllocations() { return failed.load(); }
long liveAllocations() { return live.load(); }

} // namespace trellum_test

extern "C" {

void *malloc(size_t size) { return mayAllocate() ? counted(__libc_malloc(size)) : nullptr; }

void *calloc(size_t count, size_t size) {
    return mayAllocate() ? counted(__libc_calloc(count, size)) : nullptr;
}

void *realloc(void *block, size_t size) {
    if (block == nullptr) return malloc(size);
    return mayAllocate() ? __libc_realloc(block, size) : nullptr;
}

void free(void *block) {
    if (block == nullptr) return;
    --live;
    __libc_free(block);
}

} // extern "C"
