// Receives: blocking, bounded, and cancellable by another thread.
//
// Receivers wait in a loop on the pipe's condition variable until a message
// is queued, the pipe is shut down, the channel is deleted, their time is up
// or their waiter is cancelled. An add wakes one receiver, and only when one
// is waiting; a shutdown or a deletion concerns every receiver, so it wakes
// all. The protocol is model-checked in pipe_protocol.pml: keep the two in
// step.
#include <errno.h>

#include <trellum/trellum.h>

#include "Channel.h"
#include "MonotonicWait.h"
#include "PipeQueue.h"
#include "PipeWaiter.h"
#include "PosixSync.h"

using trellum::PipeEnd;
using trellum::pipeOf;
using trellum::ScopedLock;

namespace {

// One receive, blocking or bounded; holds the channel while it waits.
// timeoutNanos: 0 tries, < 0 waits without limit. `waiter` (may be NULL)
// can cancel the wait; with `continued`, the receive is the one the waiter
// began on this pipe in an earlier call, whose shutdown count still counts.
int32_t receive(Channel channel, PipeEnd *pipe, int64_t timeoutNanos, Message *message,
                trellum::WaiterState *waiter = nullptr, bool continued = false) {
    trellum::HoldWhileWaiting hold(channel);  // outlives the waiting scope: a cancel may lock the pipe
    trellum::WaitingScope waiting(waiter);    // outlives the lock
    ScopedLock lock(&pipe->mutex);
    if (pipe->deleted) return TRELLUM_DELETED;
    uint32_t epoch;
    if (continued && waiter->receiveOn == pipe) {
        epoch = waiter->shutdownEpoch;
        if (pipe->shutdownFlag == 1 || pipe->shutdownEpoch != epoch) return TRELLUM_SHUT_DOWN;
    } else {
        if (pipe->shutdownFlag == 1) return TRELLUM_SHUT_DOWN;
        epoch = pipe->shutdownEpoch;
        if (waiter != nullptr) {
            waiter->receiveOn = pipe;
            waiter->shutdownEpoch = epoch;
        }
    }
    struct timespec deadline;
    bool bounded = false;
    for (;;) {
        if (pipe->head != nullptr) {
            *message = trellum::unlinkNode(pipe, pipe->head, nullptr);
            return TRELLUM_RECEIVED;
        }
        if (timeoutNanos == 0) return TRELLUM_TIMED_OUT;
        if (hold.hold()) bounded = timeoutNanos > 0 && trellum::monotonicDeadlineAfter(timeoutNanos, &deadline);
        if (waiting.enterOrCancelled(&pipe->mutex, &pipe->condition)) return TRELLUM_CANCELLED;
        ++pipe->waiters;
        int waited = bounded ? trellum::waitUntil(&pipe->condition, &pipe->mutex, deadline)
                             : pthread_cond_wait(&pipe->condition, &pipe->mutex);
        --pipe->waiters;
        if (pipe->deleted) return TRELLUM_DELETED;
        if (pipe->shutdownEpoch != epoch) return TRELLUM_SHUT_DOWN;
        // A message that came with the timeout is still taken: the add's
        // wake-up may have gone to this receiver.
        if (waited == ETIMEDOUT && pipe->head == nullptr) return TRELLUM_TIMED_OUT;
    }
}

// The common case, a message queued in a running live pipe, without a
// receive's setup; NULL when the full receive must decide.
Message takeQueued(PipeEnd *pipe) {
    ScopedLock lock(&pipe->mutex);
    if (pipe->head == nullptr || pipe->deleted || pipe->shutdownFlag) return nullptr;
    return trellum::unlinkNode(pipe, pipe->head, nullptr);
}

} // namespace

extern "C" {

Message Channel_removeFromPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return nullptr;
    Message message = takeQueued(pipe);
    if (message == nullptr) receive(channel, pipe, -1, &message);
    return message;
}

int32_t Channel_timedRemoveFromPipe(Channel channel, int32_t pipeIndex, int64_t timeoutNanos,
                                    Message *message) {
    if (message != nullptr) *message = nullptr;
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || message == nullptr) return TRELLUM_INVALID_ARGUMENT;
    *message = takeQueued(pipe);
    return *message != nullptr ? TRELLUM_RECEIVED : receive(channel, pipe, timeoutNanos, message);
}

int32_t Channel_cancellableRemoveFromPipe(Channel channel, int32_t pipeIndex, int64_t timeoutNanos,
                                          PipeWaiter *waiter, int32_t continued, Message *message) {
    if (message != nullptr) *message = nullptr;
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || message == nullptr || waiter == nullptr) return TRELLUM_INVALID_ARGUMENT;
    return receive(channel, pipe, timeoutNanos, message, trellum::stateOf(waiter), continued != 0);
}

} // extern "C"
