// The state behind a PipeWaiter: a cancel flag, the lock and condition
// variable its thread waits on now, and the shutdown count of the receive it
// is doing.
//
// A cancel may run on any thread at any moment, also after the wait it was
// meant for has ended. It counts itself in before it reads where the waiter
// waits, and a wait, once it has stopped saying where it waits, lets the
// running cancels finish before it returns: so a cancel never touches a pipe
// or selector that its owner may have freed since. The protocol as a whole:
// Channel.h.
#ifndef TRELLUM_PIPE_WAITER_H
#define TRELLUM_PIPE_WAITER_H

#include <pthread.h>
#include <stdint.h>

#include <trellum/trellum.h>

namespace trellum {

struct WaiterState {
    int32_t cancelled;        // atomic: 1 once cancelled, until a wait takes the cancel
    int32_t cancelsRunning;   // atomic: PipeWaiter_cancel calls under way
    pthread_mutex_t *mutex;   // atomic: what the waiter waits on now, or NULL
    pthread_cond_t *condition;
    const void *receiveOn;    // the pipe of the receive in progress, or NULL
    uint32_t shutdownEpoch;   // that pipe's shutdown count when the receive began
};

inline WaiterState *stateOf(PipeWaiter *waiter) { return reinterpret_cast<WaiterState *>(waiter); }

// Says where the waiter waits while a wait is under way, and withdraws that
// before the wait returns. Declare it before the ScopedLock of the mutex:
// it must end after the lock is released.
class WaitingScope {
public:
    explicit WaitingScope(WaiterState *waiter) : waiter_(waiter) {}
    ~WaitingScope();
    WaitingScope(const WaitingScope &) = delete;
    WaitingScope &operator=(const WaitingScope &) = delete;

    // Under `mutex`, before each wait on `condition`. Returns true, taking
    // the cancel, when the waiter is cancelled: the caller must not wait.
    bool enterOrCancelled(pthread_mutex_t *mutex, pthread_cond_t *condition);

private:
    WaiterState *waiter_;
    bool entered_ = false;
};

} // namespace trellum

#endif
