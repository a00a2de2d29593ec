// Channels: two independent pipes, each a priority queue. This file holds
// a channel's life (creation, references, deletion) and the calls that
// change a pipe's state without waiting; receives, sends and inspection
// have files of their own.
#include "Channel.h"

#include <errno.h>
#include <new>
#include <stdlib.h>

#include "MonotonicWait.h"
#include "PipeInbox.h"
#include "PipeQueue.h"

using trellum::PipeEnd;
using trellum::pipeOf;

namespace {

// The pipe comes zeroed from calloc: empty, running, unbounded, unwatched.
// Only what zero does not mean is set here.
void initPipeEnd(PipeEnd *pipe) {
    new (&pipe->index) trellum::PriorityIndex();
    pthread_mutex_init(&pipe->mutex, nullptr);
    trellum::initMonotonicCondition(&pipe->condition);
}

// Takes no lock: the channel is being destroyed and nobody else may use it.
void freePipeEnd(PipeEnd *pipe) {
    MessagePipe_free(pipe->head);
    pipe->head = nullptr;
    MessagePipe_free(pipe->inbox);  // pushed since the last holder of the mutex left
    pipe->inbox = nullptr;
    pipe->index.~PriorityIndex();
    trellum::closePipeEvents(pipe);
    pthread_mutex_destroy(&pipe->mutex);
    pthread_cond_destroy(&pipe->condition);
    if (pipe->extras != nullptr) {
        pthread_cond_destroy(&pipe->extras->room);
        free(pipe->extras);
    }
}

} // namespace

namespace trellum {

PipeExtras *extrasOf(PipeEnd *pipe) {
    if (pipe->extras != nullptr) return pipe->extras;
    auto extras = static_cast<PipeExtras *>(calloc(1, sizeof(PipeExtras)));
    if (extras == nullptr) return nullptr;
    extras->eventFd = -1;
    initMonotonicCondition(&extras->room);
    pipe->extras = extras;
    return extras;
}

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
            trellum::PipeLock lock(&pipe);
            pipe.state = trellum::PipeState::deleted;
            trellum::setAttention(&pipe, trellum::kDeleted, true);  // frees what is pushed from now on
            queue = detachQueue(&pipe);  // tells the watchers: a deleted pipe is ready
            // Ready for good now, as the callers' descriptors were just told:
            // the pipe's own descriptor has nothing left to say, and must not
            // stay open for as long as some thread's lookup memo keeps the
            // channel's record.
            trellum::closePipeEvents(&pipe);
            trellum::watchersChanged(&pipe);
            if (trellum::waitersOf(pipe) > 0) pthread_cond_broadcast(&pipe.condition);
            trellum::roomMade(&pipe, true);
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

int32_t Channel_sizeOfPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return 0;
    // With the inbox empty, `count` holds every add that has returned: a
    // drain counts before it empties the inbox (acquire: and that count is
    // seen here). Otherwise the mutex's holder drains first.
    if (__atomic_load_n(&pipe->inbox, __ATOMIC_ACQUIRE) != nullptr) {
        trellum::PipeLock lock(pipe);
        return pipe->count;
    }
    return __atomic_load_n(&pipe->count, __ATOMIC_RELAXED);
}

void Channel_clearPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return;
    MessagePipe queue;
    {
        trellum::PipeLock lock(pipe);
        queue = detachQueue(pipe);
    }
    MessagePipe_free(queue);  // the messages are unreachable now: free them unlocked
}

void Channel_setPipeCapacity(Channel channel, int32_t pipeIndex, int32_t maxMessages, int64_t maxBytes) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return;
    trellum::PipeLock lock(pipe);
    if (trellum::isDeleted(*pipe)) return;
    maxMessages = maxMessages > 0 ? maxMessages : 0;
    maxBytes = maxBytes > 0 ? maxBytes : 0;
    if (pipe->extras == nullptr && maxMessages == 0 && maxBytes == 0) return;
    trellum::PipeExtras *extras = trellum::extrasOf(pipe);
    // No failure result to report: a limit that cannot be kept would let
    // senders in without bound.
    if (extras == nullptr) abort();
    extras->maxMessages = maxMessages;
    extras->maxBytes = maxBytes;
    trellum::setAttention(pipe, trellum::kBounded, maxMessages > 0 || maxBytes > 0);
    trellum::roomMade(pipe, true);  // a raised limit may let waiting senders in
}

void Channel_shutdown(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return;
    trellum::PipeLock lock(pipe);
    if (trellum::isDeleted(*pipe)) return;
    pipe->state = trellum::PipeState::shutDown;
    ++pipe->shutdownEpoch;
    trellum::readinessMayHaveChanged(pipe);
    if (trellum::waitersOf(*pipe) > 0) pthread_cond_broadcast(&pipe->condition);
}

void Channel_startup(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return;
    trellum::PipeLock lock(pipe);
    if (trellum::isDeleted(*pipe)) return;
    pipe->state = trellum::PipeState::running;
    trellum::readinessMayHaveChanged(pipe);
}

} // extern "C"
