// Channels: two independent pipes, each a priority queue with a blocking
// receive.
//
// Receivers wait in a loop on the pipe's condition variable until a message
// is queued or the pipe is shut down. An add wakes one receiver, and only
// when one is waiting; a shutdown concerns every receiver, so it wakes all.
#include "Channel.h"

#include <new>
#include <stdlib.h>

#include "MessageLayout.h"
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
    pthread_mutex_init(&pipe->mutex, nullptr);
    pthread_cond_init(&pipe->condition, nullptr);
}

// Takes no lock: the channel is being destroyed and nobody else may use it.
void freePipeEnd(PipeEnd *pipe) {
    MessagePipe_free(pipe->head);
    pipe->head = nullptr;
    pipe->index.~PriorityIndex();
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
    return trellum::releaseNode(node);
}

} // namespace

extern "C" {

Channel Channel_new(int32_t id) {
    Channel channel = static_cast<Channel>(calloc(1, sizeof(_Channel)));
    // Callers have no failure result to look at.
    if (channel == nullptr) abort();
    channel->id = id;
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
    ScopedLock lock(&pipe->mutex);
    MessagePipe after = pipe->index.insert(message->header->priority, node);
    if (after == nullptr) {
        node->next = pipe->head;
        pipe->head = node;
    } else {
        node->next = after->next;
        after->next = node;
    }
    setCount(pipe, pipe->count + 1);
    // Signalled under the lock: once it is released, a receiver may take the
    // message and the channel may be deleted.
    if (pipe->waiters > 0) pthread_cond_signal(&pipe->condition);
}

Message Channel_removeFromPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return nullptr;
    ScopedLock lock(&pipe->mutex);
    while (pipe->head == nullptr && pipe->shutdownFlag != 1) {
        ++pipe->waiters;
        pthread_cond_wait(&pipe->condition, &pipe->mutex);
        --pipe->waiters;
    }
    if (pipe->shutdownFlag == 1) return nullptr;
    return unlinkHead(pipe);
}

Message Channel_peekFromPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return nullptr;
    ScopedLock lock(&pipe->mutex);
    return pipe->head == nullptr ? nullptr : pipe->head->message;
}

Message Channel_peekCopyFromPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return nullptr;
    ScopedLock lock(&pipe->mutex);
    if (pipe->head == nullptr) return nullptr;
    Message first = pipe->head->message;
    const _MessageHeader &h = *first->header;
    return Message_new(h.type, h.priority, h.channelID, h.messageID, h.attributes,
                       first->body->length, first->body->data);
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
        queue = pipe->head;
        pipe->head = nullptr;
        pipe->index.clear();
        setCount(pipe, 0);
    }
    MessagePipe_free(queue);  // the messages are unreachable now: free them unlocked
}

void Channel_shutdown(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return;
    ScopedLock lock(&pipe->mutex);
    pipe->shutdownFlag = 1;
    if (pipe->waiters > 0) pthread_cond_broadcast(&pipe->condition);
}

void Channel_startup(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return;
    ScopedLock lock(&pipe->mutex);
    pipe->shutdownFlag = 0;
}

} // extern "C"
