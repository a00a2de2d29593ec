// Condition-variable waits bounded on the monotonic clock, so that setting
// the wall clock neither shortens nor stretches a timed receive.
//
// This is the one place that differs between C libraries. glibc, and bionic
// from Android 5.0 (API 21), bind a condition variable to CLOCK_MONOTONIC
// with pthread_condattr_setclock. Older bionic has no such attribute but
// offers pthread_cond_timedwait_monotonic_np (API 16 on), which takes a
// monotonic deadline on a default condition variable. Only the glibc side
// can be built and run on the development machine, so the bionic side is
// kept to those two calls.
#ifndef TRELLUM_MONOTONIC_WAIT_H
#define TRELLUM_MONOTONIC_WAIT_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>

namespace trellum {

// Initializes a condition variable whose timed waits run on the monotonic clock.
void initMonotonicCondition(pthread_cond_t *condition);

// The monotonic time `nanos` (>= 0) from now. Returns false when that lies
// beyond what a timespec holds (decades away on a 32-bit time_t): the caller
// then waits without limit.
bool monotonicDeadlineAfter(int64_t nanos, struct timespec *deadline);

// Waits on `condition` until woken or until `deadline` (monotonic) passes.
// Returns ETIMEDOUT once the deadline has passed, else 0. Spurious wake-ups
// happen: callers re-test their predicate.
int waitUntil(pthread_cond_t *condition, pthread_mutex_t *mutex, const struct timespec &deadline);

} // namespace trellum

#endif
