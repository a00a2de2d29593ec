// The queue operations every pipe call is built from. The caller holds the
// pipe's mutex for all of them; each keeps the count, the byte total, the
// statistics and the watchers in step with the list.
#ifndef TRELLUM_PIPE_QUEUE_H
#define TRELLUM_PIPE_QUEUE_H

#include <pthread.h>

#include "Channel.h"
#include "MessageLayout.h"
#include "PipeReadiness.h"
#include "QueueNodes.h"

namespace trellum {

// The addressed pipe, or NULL for a NULL channel or an index other than 0 and 1.
inline PipeEnd *pipeOf(Channel channel, int32_t pipe) {
    if (channel == nullptr || (pipe != 0 && pipe != 1)) return nullptr;
    return &channel->pipes[pipe];
}

inline int64_t bodyBytes(Message message) { return message->body != nullptr ? message->body->length : 0; }

// The count is read without the lock (Channel_sizeOfPipe), so it is written
// and read atomically.
inline void setCount(PipeEnd *pipe, int32_t count) { __atomic_store_n(&pipe->count, count, __ATOMIC_RELAXED); }

inline bool isBounded(const PipeEnd &pipe) { return (attentionOf(pipe) & kBounded) != 0; }

// Whether a message of `bytes` body bytes may be queued now.
inline bool hasRoomFor(const PipeEnd &pipe, int64_t bytes) {
    if (!isBounded(pipe) || pipe.head == nullptr) return true;
    const PipeExtras &limits = *pipe.extras;
    return (limits.maxMessages <= 0 || pipe.count < limits.maxMessages) &&
           (limits.maxBytes <= 0 || pipe.bytes + bytes <= limits.maxBytes);
}

// Wakes the senders that room just made lets in. Under a message limit
// alone, one removed message lets one sender in; under a byte limit it may
// let several in, so all of them look. `all`: room for many was made.
inline void roomMade(PipeEnd *pipe, bool all) {
    PipeExtras *extras = pipe->extras;
    if (extras == nullptr || extras->senders == 0) return;
    if (all || extras->maxBytes > 0) pthread_cond_broadcast(&extras->room);
    else pthread_cond_signal(&extras->room);
}

// Keeps a channel alive from a call's first wait to the call's end, so that
// a deletion meanwhile cannot free the pipe under the waiter; whoever leaves
// last frees the channel. Declare it before the pipe's ScopedLock: the
// reference must go after the lock.
class HoldWhileWaiting {
public:
    explicit HoldWhileWaiting(Channel channel) : channel_(channel) {}
    ~HoldWhileWaiting() {
        if (held_) releaseChannel(channel_);
    }
    HoldWhileWaiting(const HoldWhileWaiting &) = delete;
    HoldWhileWaiting &operator=(const HoldWhileWaiting &) = delete;

    // Takes the reference on the first call; true on that call only.
    bool hold() {
        if (held_) return false;
        retainChannel(channel_);
        held_ = true;
        return true;
    }

private:
    Channel channel_;
    bool held_ = false;
};

// Puts `node` into the list behind every message of lower or equal
// priority, or with `first` ahead of those of equal priority, and accounts
// for it, but for the count (linkNode and the inbox's drain count apart).
inline void placeNode(PipeEnd *pipe, MessagePipe node, bool first = false) {
    Message message = node->message;
    const int32_t priority = message->header->priority;
    MessagePipe after = first ? pipe->index.insertFirst(priority, node) : pipe->index.insert(priority, node);
    if (after == nullptr) {
        node->next = pipe->head;
        pipe->head = node;
    } else {
        node->next = after->next;
        after->next = node;
    }
    pipe->bytes += bodyBytes(message);
    ++pipe->added;
}

// Links `node` (see placeNode) and counts it.
inline void linkNode(PipeEnd *pipe, MessagePipe node, bool first = false) {
    placeNode(pipe, node, first);
    setCount(pipe, pipe->count + 1);
    if (pipe->count > pipe->highWaterSize) pipe->highWaterSize = pipe->count;
    readinessMayHaveChanged(pipe);
}

// Links `node` like linkNode and wakes one receiver if any waits. Signalled
// under the lock: once it is released, a receiver may take the message and
// the channel may be deleted.
inline void linkAndWake(PipeEnd *pipe, MessagePipe node, bool first = false) {
    linkNode(pipe, node, first);
    if (waitersOf(*pipe) > 0) pthread_cond_signal(&pipe->condition);
}

// Unlinks `node`, which follows `predecessor` (NULL: the head), and returns
// its message, now the caller's.
inline Message unlinkNode(PipeEnd *pipe, MessagePipe node, MessagePipe predecessor) {
    if (predecessor == nullptr) {
        pipe->head = node->next;
        pipe->index.removedHead(node);
    } else {
        predecessor->next = node->next;
        pipe->index.removed(node->message->header->priority, node, predecessor);
    }
    setCount(pipe, pipe->count - 1);
    pipe->bytes -= bodyBytes(node->message);
    ++pipe->removed;
    readinessMayHaveChanged(pipe);
    roomMade(pipe, false);
    return releaseNode(node);
}

// Takes the first message of a pipe that holds one.
inline Message takeHead(PipeEnd *pipe) { return unlinkNode(pipe, pipe->head, nullptr); }

// Detaches the whole queue; the caller frees it after unlocking.
inline MessagePipe detachQueue(PipeEnd *pipe) {
    MessagePipe queue = pipe->head;
    pipe->head = nullptr;
    pipe->index.clear();
    setCount(pipe, 0);
    pipe->bytes = 0;
    readinessMayHaveChanged(pipe);
    roomMade(pipe, true);
    return queue;
}

} // namespace trellum

#endif
