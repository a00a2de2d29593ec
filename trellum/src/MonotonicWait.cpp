#include "MonotonicWait.h"

#include <errno.h>
#include <limits.h>

#if defined(__ANDROID__) && __ANDROID_API__ < 21
#define TRELLUM_BIONIC_MONOTONIC_WAIT 1
#endif

namespace trellum {

void initMonotonicCondition(pthread_cond_t *condition) {
#ifdef TRELLUM_BIONIC_MONOTONIC_WAIT
    pthread_cond_init(condition, nullptr);  // the clock is chosen per wait instead
#else
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(condition, &attributes);
    pthread_condattr_destroy(&attributes);
#endif
}

bool monotonicDeadlineAfter(int64_t nanos, struct timespec *deadline) {
    const int64_t kNanosPerSecond = 1000000000;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // time_t is 32 bits wide on 32-bit Android and by default on 32-bit glibc.
    const int64_t maxSeconds = sizeof(time_t) == 4 ? INT32_MAX : INT64_MAX;
    const int64_t seconds = nanos / kNanosPerSecond;
    if (seconds >= maxSeconds - 1 - static_cast<int64_t>(now.tv_sec)) return false;
    int64_t sec = static_cast<int64_t>(now.tv_sec) + seconds;
    long nsec = now.tv_nsec + static_cast<long>(nanos % kNanosPerSecond);
    if (nsec >= kNanosPerSecond) {
        nsec -= kNanosPerSecond;
        ++sec;
    }
    deadline->tv_sec = static_cast<time_t>(sec);
    deadline->tv_nsec = nsec;
    return true;
}

int waitUntil(pthread_cond_t *condition, pthread_mutex_t *mutex, const struct timespec &deadline) {
#ifdef TRELLUM_BIONIC_MONOTONIC_WAIT
    int result = pthread_cond_timedwait_monotonic_np(condition, mutex, &deadline);
#else
    int result = pthread_cond_timedwait(condition, mutex, &deadline);
#endif
    return result == ETIMEDOUT ? ETIMEDOUT : 0;
}

} // namespace trellum
