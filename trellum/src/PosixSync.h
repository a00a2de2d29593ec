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

} // namespace trellum

#endif
