// Receives: blocking, bounded, and cancellable by another thread. Receivers
// wait in a loop until a message is queued, the pipe is shut down, the
// channel is deleted, their time is up or their waiter is cancelled; who
// wakes them: see the protocol in Channel.h.
#include <errno.h>

#include <trellum/trellum.h>

#include "Channel.h"
#include "MonotonicWait.h"
#include "PipeInbox.h"
#include "PipeQueue.h"
#include "PipeWaiter.h"
#include "PosixSync.h"

using trellum::PipeEnd;
using trellum::pipeOf;

namespace {

// What ends a receive that began at shutdown count `epoch`: TRELLUM_DELETED
// (a deletion wins over everything), TRELLUM_SHUT_DOWN (the pipe is shut
// down, or was since the receive began), or TRELLUM_OK to go on.
int32_t endOfReceive(const PipeEnd &pipe, uint32_t epoch) {
    if (pipe.state == trellum::PipeState::running && pipe.shutdownEpoch == epoch) return TRELLUM_OK;
    return trellum::isDeleted(pipe) ? TRELLUM_DELETED : TRELLUM_SHUT_DOWN;
}

// One receive, blocking or bounded; holds the channel while it waits.
// timeoutNanos: 0 tries, < 0 waits without limit. `waiter` (may be NULL)
// can cancel the wait; with `continued`, the receive is the one the waiter
// began on this pipe in an earlier call, whose shutdown count still counts.
int32_t receive(Channel channel, PipeEnd *pipe, int64_t timeoutNanos, Message *message,
                trellum::WaiterState *waiter = nullptr, bool continued = false) {
    trellum::HoldWhileWaiting hold(channel);  // outlives the waiting scope: a cancel may lock the pipe
    trellum::WaitingScope waiting(waiter);    // outlives the lock
    trellum::PipeLock lock(pipe);
    uint32_t epoch = pipe->shutdownEpoch;
    if (continued && waiter->receiveOn == pipe) {
        epoch = waiter->shutdownEpoch;
    } else if (waiter != nullptr && pipe->state == trellum::PipeState::running) {
        waiter->receiveOn = pipe;
        waiter->shutdownEpoch = epoch;
    }
    struct timespec deadline;
    bool bounded = false;
    bool timedOut = timeoutNanos == 0;
    for (;;) {
        const int32_t ended = endOfReceive(*pipe, epoch);
        if (ended != TRELLUM_OK) return ended;
        // A message that came with the timeout is still taken: the add's
        // wake-up may have gone to this receiver.
        if (pipe->head != nullptr) {
            *message = trellum::takeHead(pipe);
            return TRELLUM_RECEIVED;
        }
        if (timedOut) return TRELLUM_TIMED_OUT;
        if (hold.hold()) bounded = timeoutNanos > 0 && trellum::monotonicDeadlineAfter(timeoutNanos, &deadline);
        trellum::countWaiter(pipe);
        if (pipe->head != nullptr) {  // pushed just before the count
            trellum::uncountWaiter(pipe);
            continue;
        }
        if (waiting.enterOrCancelled(&pipe->mutex, &pipe->condition)) {
            trellum::uncountWaiter(pipe);
            return TRELLUM_CANCELLED;
        }
        const int waited = bounded ? trellum::waitUntil(&pipe->condition, &pipe->mutex, deadline)
                                   : pthread_cond_wait(&pipe->condition, &pipe->mutex);
        trellum::uncountWaiter(pipe);
        trellum::drainInbox(pipe);
        timedOut = waited == ETIMEDOUT;
    }
}

// The common case, a message queued in a running pipe, without a receive's
// setup; NULL when the full receive must decide.
Message takeQueued(PipeEnd *pipe) {
    trellum::PipeLock lock(pipe);
    if (pipe->head == nullptr || pipe->state != trellum::PipeState::running) return nullptr;
    return trellum::takeHead(pipe);
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
