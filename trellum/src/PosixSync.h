// Scoped ownership of POSIX mutexes, used instead of <mutex> so that the
// library needs no C++ runtime library.
#ifndef TRELLUM_POSIX_SYNC_H
#define TRELLUM_POSIX_SYNC_H

#include <pthread.h>

namespace trellum {

// Holds a mutex locked for the guard's scope.
class ScopedLock {
public:
    explicit ScopedLock(pthread_mutex_t *mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~ScopedLock() { pthread_mutex_unlock(mutex_); }
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

private:
    pthread_mutex_t *mutex_;
};

// Whether another thread seems to hold `mutex`, found without touching it:
// a try-lock is an atomic read-modify-write that takes the mutex's cache line
// from its holder, and glibc's costs twice a plain lock. Reads the lock word,
// which glibc and bionic both keep first and at zero while a default mutex
// is unlocked. A hint only: callers must be correct whatever it answers.
inline bool seemsLocked(pthread_mutex_t *mutex) {
    static_assert(sizeof(pthread_mutex_t) >= sizeof(int), "a mutex holds its lock word");
    return __atomic_load_n(reinterpret_cast<int *>(mutex), __ATOMIC_RELAXED) != 0;
}

} // namespace trellum

#endif
