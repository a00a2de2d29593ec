// The inbox: adds that found the pipe's mutex busy leave their node there,
// and the next holder of the mutex moves it into the queue. The protocol
// (and why each step is sequentially consistent) is INBOX in Channel.h.
#ifndef TRELLUM_PIPE_INBOX_H
#define TRELLUM_PIPE_INBOX_H

#include <pthread.h>

#include "Channel.h"
#include "PipeQueue.h"
#include "PosixSync.h"
#include "QueueNodes.h"

namespace trellum {

// Moves the inbox, from `top` down, into the queue. The caller holds the mutex.
void drainInboxFrom(PipeEnd *pipe, MessagePipe top);

// Moves whatever the inbox holds into the queue, oldest first, and wakes a
// receiver for each message moved. The caller holds the mutex. Sequentially
// consistent: it is the second step of a raise of attention.
inline void drainInbox(PipeEnd *pipe) {
    MessagePipe top = __atomic_load_n(&pipe->inbox, __ATOMIC_SEQ_CST);
    if (top != nullptr) drainInboxFrom(pipe, top);
}

// Holds a pipe's mutex for the guard's scope, with the inbox drained: what
// the holder sees of the queue includes every add that has returned.
class PipeLock {
public:
    explicit PipeLock(PipeEnd *pipe) : pipe_(pipe) {
        pthread_mutex_lock(&pipe_->mutex);
        drainInbox(pipe_);
    }
    ~PipeLock() { pthread_mutex_unlock(&pipe_->mutex); }
    PipeLock(const PipeLock &) = delete;
    PipeLock &operator=(const PipeLock &) = delete;

private:
    PipeEnd *pipe_;
};

// Raises or lowers a bit of attention, under the mutex; a raise then drains,
// so that no push made before it stays in the inbox unseen.
inline void setAttention(PipeEnd *pipe, int32_t bit, bool on) {
    if (on) {
        __atomic_or_fetch(&pipe->attention, bit, __ATOMIC_SEQ_CST);
        drainInbox(pipe);
    } else {
        __atomic_and_fetch(&pipe->attention, ~bit, __ATOMIC_SEQ_CST);
    }
}

// A receiver counts itself in before it blocks, and looks at the inbox once
// more: a push made before the count is now in the queue, and a pusher
// after it will find the count and drain. Under the mutex.
inline void countWaiter(PipeEnd *pipe) {
    __atomic_add_fetch(&pipe->attention, kOneWaiter, __ATOMIC_SEQ_CST);
    drainInbox(pipe);
}

inline void uncountWaiter(PipeEnd *pipe) { __atomic_sub_fetch(&pipe->attention, kOneWaiter, __ATOMIC_RELAXED); }

// Pushes `node` onto the inbox.
inline void pushToInbox(PipeEnd *pipe, MessagePipe node) {
    MessagePipe top = __atomic_load_n(&pipe->inbox, __ATOMIC_RELAXED);
    do {
        node->next = top;
    } while (!__atomic_compare_exchange_n(&pipe->inbox, &top, node, true, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED));
}

#ifdef TRELLUM_FUZZ_INBOX
// The fuzzer's switch, set between calls: adds to a quiet pipe push as if
// the mutex were busy, so that one thread can drive the inbox.
extern bool fuzzAddsFindMutexBusy;
inline bool mutexSeemsBusy(PipeEnd *pipe) { return fuzzAddsFindMutexBusy || seemsLocked(&pipe->mutex); }
#else
inline bool mutexSeemsBusy(PipeEnd *pipe) { return seemsLocked(&pipe->mutex); }
#endif

// An add to a quiet pipe whose mutex another thread holds: leaves `message`
// in the inbox and returns true. False, with the message untouched, when the
// pipe is not quiet or its mutex seems free: the caller takes the mutex.
inline bool pushedWhileBusy(PipeEnd *pipe, Message message) {
    if (!mutexSeemsBusy(pipe) || attentionOf(*pipe) != 0) return false;  // the common case first
    pushToInbox(pipe, nodeFor(message));
    // The pusher's half of the Dekker pair: a raise it sees may have drained
    // before the push, so it drains under the mutex itself.
    if (__atomic_load_n(&pipe->attention, __ATOMIC_SEQ_CST) != 0) PipeLock drain(pipe);
    return true;
}

} // namespace trellum

#endif
