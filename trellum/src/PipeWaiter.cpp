#include "PipeWaiter.h"

#include <sched.h>
#include <string.h>

#include "PosixSync.h"

static_assert(sizeof(trellum::WaiterState) <= sizeof(PipeWaiter), "PipeWaiter's storage holds the state");

namespace trellum {

bool WaitingScope::enterOrCancelled(pthread_mutex_t *mutex, pthread_cond_t *condition) {
    if (waiter_ == nullptr) return false;
    if (!entered_) {
        // Sequentially consistent, as is the cancel's side: either the cancel
        // reads this mutex and wakes the wait, or this thread reads its flag.
        __atomic_store_n(&waiter_->condition, condition, __ATOMIC_SEQ_CST);
        __atomic_store_n(&waiter_->mutex, mutex, __ATOMIC_SEQ_CST);
        entered_ = true;
    }
    return __atomic_exchange_n(&waiter_->cancelled, 0, __ATOMIC_SEQ_CST) != 0;
}

WaitingScope::~WaitingScope() {
    if (!entered_) return;
    __atomic_store_n(&waiter_->mutex, static_cast<pthread_mutex_t *>(nullptr), __ATOMIC_SEQ_CST);
    // A cancel that read the mutex before the store above may still be
    // waking it; it holds the lock for a moment only.
    while (__atomic_load_n(&waiter_->cancelsRunning, __ATOMIC_SEQ_CST) != 0) sched_yield();
}

} // namespace trellum

extern "C" {

void PipeWaiter_init(PipeWaiter *waiter) {
    if (waiter != nullptr) memset(waiter, 0, sizeof *waiter);
}

void PipeWaiter_cancel(PipeWaiter *waiter) {
    if (waiter == nullptr) return;
    trellum::WaiterState *state = trellum::stateOf(waiter);
    __atomic_add_fetch(&state->cancelsRunning, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&state->cancelled, 1, __ATOMIC_SEQ_CST);
    pthread_mutex_t *mutex = __atomic_load_n(&state->mutex, __ATOMIC_SEQ_CST);
    if (mutex != nullptr) {
        pthread_cond_t *condition = __atomic_load_n(&state->condition, __ATOMIC_SEQ_CST);
        trellum::ScopedLock lock(mutex);
        // Every waiter on the condition wakes; the others find nothing
        // changed for them and wait again.
        pthread_cond_broadcast(condition);
    }
    __atomic_sub_fetch(&state->cancelsRunning, 1, __ATOMIC_SEQ_CST);
}

} // extern "C"
