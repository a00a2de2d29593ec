// Channels: two independent pipes, each a priority queue with a blocking
// receive.
//
// Receivers wait in a loop on the pipe's condition variable until a message
// is queued, the pipe is shut down, the channel is deleted or their time is
// up. An add wakes one receiver, and only when one is waiting; a shutdown or
// a deletion concerns every receiver, so it wakes all. The protocol is
// model-checked in pipe_protocol.pml: keep the two in step.
#include "Channel.h"

#include <errno.h>
#include <new>
#include <stdlib.h>

#include "MessageLayout.h"
#include "MonotonicWait.h"
#include "PipeReadiness.h"
#include "PipeWaiter.h"
#include "PosixSync.h"
#include "QueueNodes.h"

using trellum::PipeEnd;
using trellum::ScopedLock;

namespace {

void initPipeEnd(PipeEnd *pipe) {
    pipe->head = nullptr;
    new (&pipe->index) trellum::PriorityIndex();
    pipe->count = 0;
    pipe->waiters = 0;
    pipe->shutdownFlag = 0;
    pipe->shutdownEpoch = 0;
    pipe->deleted = 0;
    pipe->watched = 0;
    pipe->toldReady = 0;
    pipe->eventFd = -1;
    pipe->watchers = nullptr;
    pthread_mutex_init(&pipe->mutex, nullptr);
    trellum::initMonotonicCondition(&pipe->condition);
}

// Takes no lock: the channel is being destroyed and nobody else may use it.
void freePipeEnd(PipeEnd *pipe) {
    MessagePipe_free(pipe->head);
    pipe->head = nullptr;
    pipe->index.~PriorityIndex();
    trellum::closePipeEvents(pipe);
    pthread_mutex_destroy(&pipe->mutex);
    pthread_cond_destroy(&pipe->condition);
}

// The addressed pipe, or NULL for a NULL channel or an index other than 0 and 1.
PipeEnd *pipeOf(Channel channel, int32_t pipe) {
    if (channel == nullptr || (pipe != 0 && pipe != 1)) return nullptr;
    return &channel->pipes[pipe];
}

// The count is read without the lock (Channel_sizeOfPipe), so it is written
// and read atomically.
void setCount(PipeEnd *pipe, int32_t count) { __atomic_store_n(&pipe->count, count, __ATOMIC_RELAXED); }

// Unlinks the head node; the caller holds the pipe's mutex and the pipe is not empty.
Message unlinkHead(PipeEnd *pipe) {
    MessagePipe node = pipe->head;
    pipe->head = node->next;
    pipe->index.removedHead(node);
    setCount(pipe, pipe->count - 1);
    trellum::readinessMayHaveChanged(pipe);
    return trellum::releaseNode(node);
}

// Detaches the whole queue; the caller holds the pipe's mutex and frees the
// queue after unlocking.
MessagePipe detachQueue(PipeEnd *pipe) {
    MessagePipe queue = pipe->head;
    pipe->head = nullptr;
    pipe->index.clear();
    setCount(pipe, 0);
    trellum::readinessMayHaveChanged(pipe);
    return queue;
}

// One receive, blocking or bounded. Holds the channel while it waits, so
// that a deletion meanwhile cannot free the pipe under it; whoever leaves
// last frees the channel.
class Receive {
public:
    Receive(Channel channel, PipeEnd *pipe) : channel_(channel), pipe_(pipe) {}
    ~Receive() {
        if (holdsChannel_) trellum::releaseChannel(channel_);  // after the pipe's lock is gone
    }
    Receive(const Receive &) = delete;
    Receive &operator=(const Receive &) = delete;

    // timeoutNanos: 0 tries, < 0 waits without limit. `waiter` (may be
    // NULL) can cancel the wait; with `continued`, the receive is the one
    // the waiter began on this pipe in an earlier call, whose shutdown count
    // still counts.
    int32_t run(int64_t timeoutNanos, Message *message, trellum::WaiterState *waiter = nullptr,
                bool continued = false) {
        trellum::WaitingScope waiting(waiter);  // outlives the lock
        ScopedLock lock(&pipe_->mutex);
        if (pipe_->deleted) return TRELLUM_DELETED;
        uint32_t epoch;
        if (continued && waiter->receiveOn == pipe_) {
            epoch = waiter->shutdownEpoch;
            if (pipe_->shutdownFlag == 1 || pipe_->shutdownEpoch != epoch) return TRELLUM_SHUT_DOWN;
        } else {
            if (pipe_->shutdownFlag == 1) return TRELLUM_SHUT_DOWN;
            epoch = pipe_->shutdownEpoch;
            if (waiter != nullptr) {
                waiter->receiveOn = pipe_;
                waiter->shutdownEpoch = epoch;
            }
        }
        struct timespec deadline;
        bool bounded = false;
        for (;;) {
            if (pipe_->head != nullptr) {
                *message = unlinkHead(pipe_);
                return TRELLUM_RECEIVED;
            }
            if (timeoutNanos == 0) return TRELLUM_TIMED_OUT;
            if (!holdsChannel_) {
                trellum::retainChannel(channel_);
                holdsChannel_ = true;
                bounded = timeoutNanos > 0 && trellum::monotonicDeadlineAfter(timeoutNanos, &deadline);
            }
            if (waiting.enterOrCancelled(&pipe_->mutex, &pipe_->condition)) return TRELLUM_CANCELLED;
            ++pipe_->waiters;
            int waited = bounded ? trellum::waitUntil(&pipe_->condition, &pipe_->mutex, deadline)
                                 : pthread_cond_wait(&pipe_->condition, &pipe_->mutex);
            --pipe_->waiters;
            if (pipe_->deleted) return TRELLUM_DELETED;
            if (pipe_->shutdownEpoch != epoch) return TRELLUM_SHUT_DOWN;
            // A message that came with the timeout is still taken: the add's
            // wake-up may have gone to this receiver.
            if (waited == ETIMEDOUT && pipe_->head == nullptr) return TRELLUM_TIMED_OUT;
        }
    }

private:
    Channel channel_;
    PipeEnd *pipe_;
    bool holdsChannel_ = false;
};

} // namespace

namespace trellum {

void retainChannel(Channel channel) { __atomic_add_fetch(&channel->references, 1, __ATOMIC_RELAXED); }

void releaseChannel(Channel channel) {
    // Release/acquire: everything done with the channel happens before it is freed.
    if (__atomic_sub_fetch(&channel->references, 1, __ATOMIC_ACQ_REL) == 0) Channel_free(channel);
}

void markChannelDeleted(Channel channel) {
    __atomic_store_n(&channel->deleted, 1, __ATOMIC_RELEASE);
    for (PipeEnd &pipe : channel->pipes) {
        MessagePipe queue;
        {
            ScopedLock lock(&pipe.mutex);
            pipe.deleted = 1;
            queue = detachQueue(&pipe);  // tells the watchers: a deleted pipe is ready
            // Ready for good now, as the callers' descriptors were just told:
            // the pipe's own descriptor has nothing left to say, and must not
            // stay open for as long as some thread's lookup memo keeps the
            // channel's record.
            trellum::closePipeEvents(&pipe);
            trellum::watchersChanged(&pipe);
            if (pipe.waiters > 0) pthread_cond_broadcast(&pipe.condition);
        }
        MessagePipe_free(queue);
    }
}

} // namespace trellum

extern "C" {

Channel Channel_new(int32_t id) {
    Channel channel = static_cast<Channel>(calloc(1, sizeof(_Channel)));
    // Callers have no failure result to look at.
    if (channel == nullptr) abort();
    channel->id = id;
    channel->references = 1;  // the creator's (the registry's, for a registered channel)
    initPipeEnd(&channel->pipes[0]);
    initPipeEnd(&channel->pipes[1]);
    return channel;
}

void Channel_free(Channel channel) {
    if (channel == nullptr) return;
    freePipeEnd(&channel->pipes[0]);
    freePipeEnd(&channel->pipes[1]);
    free(channel);
}

void Channel_addToPipe(Channel channel, int32_t pipeIndex, Message message) {
    if (message == nullptr) return;  // a NULL message would poison the queue
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) {
        Message_free(message);  // ownership was handed over all the same
        return;
    }
    MessagePipe node = trellum::nodeFor(message);
    {
        ScopedLock lock(&pipe->mutex);
        if (!pipe->deleted) {
            MessagePipe after = pipe->index.insert(message->header->priority, node);
            if (after == nullptr) {
                node->next = pipe->head;
                pipe->head = node;
            } else {
                node->next = after->next;
                after->next = node;
            }
            setCount(pipe, pipe->count + 1);
            trellum::readinessMayHaveChanged(pipe);
            // Signalled under the lock: once it is released, a receiver may
            // take the message and the channel may be deleted.
            if (pipe->waiters > 0) pthread_cond_signal(&pipe->condition);
            return;
        }
    }
    // A deleted channel queues nothing; the message was handed over all the same.
    Message_free(trellum::releaseNode(node));
}

Message Channel_removeFromPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return nullptr;
    Message message = nullptr;
    Receive(channel, pipe).run(-1, &message);
    return message;
}

int32_t Channel_timedRemoveFromPipe(Channel channel, int32_t pipeIndex, int64_t timeoutNanos,
                                    Message *message) {
    if (message != nullptr) *message = nullptr;
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || message == nullptr) return TRELLUM_INVALID_ARGUMENT;
    return Receive(channel, pipe).run(timeoutNanos, message);
}

int32_t Channel_cancellableRemoveFromPipe(Channel channel, int32_t pipeIndex, int64_t timeoutNanos,
                                          PipeWaiter *waiter, int32_t continued, Message *message) {
    if (message != nullptr) *message = nullptr;
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || message == nullptr || waiter == nullptr) return TRELLUM_INVALID_ARGUMENT;
    return Receive(channel, pipe).run(timeoutNanos, message, trellum::stateOf(waiter), continued != 0);
}

Message Channel_peekFromPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return nullptr;
    ScopedLock lock(&pipe->mutex);
    return pipe->head == nullptr ? nullptr : pipe->head->message;
}

int32_t Channel_checkedPeekCopyFromPipe(Channel channel, int32_t pipeIndex, Message *copy) {
    if (copy != nullptr) *copy = nullptr;
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || copy == nullptr) return TRELLUM_INVALID_ARGUMENT;
    ScopedLock lock(&pipe->mutex);
    if (pipe->head == nullptr) return pipe->deleted ? TRELLUM_DELETED : TRELLUM_EMPTY;
    Message first = pipe->head->message;
    const _MessageHeader &h = *first->header;
    *copy = Message_new(h.type, h.priority, h.channelID, h.messageID, h.attributes,
                        first->body->length, first->body->data);
    return *copy != nullptr ? TRELLUM_RECEIVED : TRELLUM_OUT_OF_MEMORY;
}

Message Channel_peekCopyFromPipe(Channel channel, int32_t pipeIndex) {
    Message copy = nullptr;
    Channel_checkedPeekCopyFromPipe(channel, pipeIndex, &copy);
    return copy;
}

int32_t Channel_sizeOfPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return 0;
    return __atomic_load_n(&pipe->count, __ATOMIC_RELAXED);
}

void Channel_clearPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return;
    MessagePipe queue;
    {
        ScopedLock lock(&pipe->mutex);
        queue = detachQueue(pipe);
    }
    MessagePipe_free(queue);  // the messages are unreachable now: free them unlocked
}

void Channel_shutdown(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return;
    ScopedLock lock(&pipe->mutex);
    if (pipe->deleted) return;
    pipe->shutdownFlag = 1;
    ++pipe->shutdownEpoch;
    trellum::readinessMayHaveChanged(pipe);
    if (pipe->waiters > 0) pthread_cond_broadcast(&pipe->condition);
}

void Channel_startup(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return;
    ScopedLock lock(&pipe->mutex);
    if (pipe->deleted) return;
    pipe->shutdownFlag = 0;
    trellum::readinessMayHaveChanged(pipe);
}

} // extern "C"
