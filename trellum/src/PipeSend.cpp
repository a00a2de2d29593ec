// Sends: queuing a message, waiting for room in a bounded pipe. Who wakes a
// waiting sender, and whom it wakes: see the protocol in Channel.h.
#include <errno.h>

#include <trellum/trellum.h>

#include "Channel.h"
#include "MonotonicWait.h"
#include "PipeInbox.h"
#include "PipeQueue.h"
#include "PipeWaiter.h"
#include "QueueNodes.h"

using trellum::PipeEnd;
using trellum::pipeOf;

namespace {

// One send: queues `message` once there is room, waiting at most
// `timeoutNanos` (0 tries, < 0 waits without limit) and holding the channel
// while it waits. On any status but TRELLUM_ADDED the message is still the
// caller's.
int32_t send(Channel channel, PipeEnd *pipe, Message message, int64_t timeoutNanos,
             trellum::WaiterState *waiter = nullptr) {
    if (trellum::pushedWhileBusy(pipe, message)) return TRELLUM_ADDED;
    const int64_t bytes = trellum::bodyBytes(message);
    trellum::HoldWhileWaiting hold(channel);  // outlives the waiting scope: a cancel may lock the pipe
    trellum::WaitingScope waiting(waiter);    // outlives the lock
    trellum::PipeLock lock(pipe);
    struct timespec deadline;
    bool bounded = false;
    // A sender that leaves without sending may have taken a wake-up meant
    // to let one sender in: it passes it on. Only a sender that found no
    // room gives up, so the pipe is bounded and has its extras.
    auto giveUp = [pipe](int32_t status) {
        trellum::PipeExtras *extras = pipe->extras;
        if (extras->senders > 0 && trellum::hasRoomFor(*pipe, 0)) pthread_cond_signal(&extras->room);
        return status;
    };
    for (;;) {
        if (trellum::isDeleted(*pipe)) return TRELLUM_DELETED;
        if (trellum::hasRoomFor(*pipe, bytes)) {
            trellum::linkAndWake(pipe, trellum::nodeFor(message));
            return TRELLUM_ADDED;
        }
        if (timeoutNanos == 0) return TRELLUM_TIMED_OUT;
        if (hold.hold()) bounded = timeoutNanos > 0 && trellum::monotonicDeadlineAfter(timeoutNanos, &deadline);
        trellum::PipeExtras *extras = pipe->extras;  // no room: bounded
        if (waiting.enterOrCancelled(&pipe->mutex, &extras->room)) return giveUp(TRELLUM_CANCELLED);
        ++extras->senders;
        const int waited = bounded ? trellum::waitUntil(&extras->room, &pipe->mutex, deadline)
                                   : pthread_cond_wait(&extras->room, &pipe->mutex);
        --extras->senders;
        if (waited == ETIMEDOUT && !trellum::isDeleted(*pipe) && !trellum::hasRoomFor(*pipe, bytes)) {
            return giveUp(TRELLUM_TIMED_OUT);
        }
    }
}

} // namespace

extern "C" {

void Channel_addToPipe(Channel channel, int32_t pipeIndex, Message message) {
    if (message == nullptr) return;  // a NULL message would poison the queue
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe != nullptr) {
        // The common case, an unbounded live pipe, without a send's setup.
        if (trellum::pushedWhileBusy(pipe, message)) return;
        trellum::PipeLock lock(pipe);
        if (!trellum::isDeleted(*pipe) && !trellum::isBounded(*pipe)) {
            trellum::linkAndWake(pipe, trellum::nodeFor(message));
            return;
        }
    }
    // Ownership was handed over all the same: a message that cannot be
    // queued (no pipe, a deleted channel) is freed.
    if (pipe == nullptr || send(channel, pipe, message, -1) != TRELLUM_ADDED) Message_free(message);
}

void Channel_returnToPipe(Channel channel, int32_t pipeIndex, Message message) {
    if (message == nullptr) return;
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe != nullptr) {
        MessagePipe node = trellum::nodeFor(message);
        trellum::PipeLock lock(pipe);
        if (!trellum::isDeleted(*pipe)) {
            trellum::linkAndWake(pipe, node, true);
            // Undoes the receive: neither a new message nor a taken one.
            --pipe->added;
            --pipe->removed;
            return;
        }
        message = trellum::releaseNode(node);
    }
    Message_free(message);  // no pipe to return to: handed over all the same
}

int32_t Channel_timedAddToPipe(Channel channel, int32_t pipeIndex, Message message, int64_t timeoutNanos) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || message == nullptr) return TRELLUM_INVALID_ARGUMENT;
    return send(channel, pipe, message, timeoutNanos);
}

int32_t Channel_cancellableAddToPipe(Channel channel, int32_t pipeIndex, Message message, int64_t timeoutNanos,
                                     PipeWaiter *waiter) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || message == nullptr || waiter == nullptr) return TRELLUM_INVALID_ARGUMENT;
    return send(channel, pipe, message, timeoutNanos, trellum::stateOf(waiter));
}

} // extern "C"
