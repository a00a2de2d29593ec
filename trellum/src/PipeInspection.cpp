// Looking at a pipe without taking from it, and taking a given message.
#include <string.h>

#include <trellum/trellum.h>

#include "Channel.h"
#include "PipeInbox.h"
#include "PipeQueue.h"

using trellum::PipeEnd;
using trellum::pipeOf;

namespace {

// A copy of `message`, or NULL when memory ran out.
Message copyOf(Message message) {
    const _MessageHeader &h = *message->header;
    const int32_t length = message->body != nullptr ? message->body->length : 0;
    return Message_new(h.type, h.priority, h.channelID, h.messageID, h.attributes, length,
                       length > 0 ? message->body->data : nullptr);
}

bool equalMessages(Message a, Message b) {
    const _MessageHeader &x = *a->header, &y = *b->header;
    if (x.type != y.type || x.priority != y.priority || x.channelID != y.channelID ||
        x.messageID != y.messageID || x.attributes != y.attributes) {
        return false;
    }
    const int64_t length = trellum::bodyBytes(a);
    return length == trellum::bodyBytes(b) &&
           (length == 0 || memcmp(a->body->data, b->body->data, static_cast<size_t>(length)) == 0);
}

} // namespace

extern "C" {

Message Channel_peekFromPipe(Channel channel, int32_t pipeIndex) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr) return nullptr;
    trellum::PipeLock lock(pipe);
    return pipe->head == nullptr ? nullptr : pipe->head->message;
}

int32_t Channel_checkedPeekCopyFromPipe(Channel channel, int32_t pipeIndex, Message *copy) {
    if (copy != nullptr) *copy = nullptr;
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || copy == nullptr) return TRELLUM_INVALID_ARGUMENT;
    trellum::PipeLock lock(pipe);
    if (pipe->head == nullptr) return trellum::isDeleted(*pipe) ? TRELLUM_DELETED : TRELLUM_EMPTY;
    *copy = copyOf(pipe->head->message);
    return *copy != nullptr ? TRELLUM_RECEIVED : TRELLUM_OUT_OF_MEMORY;
}

Message Channel_peekCopyFromPipe(Channel channel, int32_t pipeIndex) {
    Message copy = nullptr;
    Channel_checkedPeekCopyFromPipe(channel, pipeIndex, &copy);
    return copy;
}

int32_t Channel_copyOfPipe(Channel channel, int32_t pipeIndex, Message *copies, int32_t capacity,
                           int32_t *count) {
    if (count != nullptr) *count = 0;
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || count == nullptr || capacity < 0 || (copies == nullptr && capacity > 0)) {
        return TRELLUM_INVALID_ARGUMENT;
    }
    int32_t copied = 0;
    bool complete = true;
    {
        trellum::PipeLock lock(pipe);
        if (trellum::isDeleted(*pipe)) return TRELLUM_DELETED;
        for (MessagePipe node = pipe->head; node != nullptr && copied < capacity; node = node->next) {
            copies[copied] = copyOf(node->message);
            if (copies[copied] == nullptr) {
                complete = false;
                break;
            }
            ++copied;
        }
        *count = pipe->count;
    }
    if (!complete) {
        for (int32_t i = 0; i < copied; ++i) Message_free(copies[i]);
        *count = 0;
        return TRELLUM_OUT_OF_MEMORY;
    }
    return TRELLUM_OK;
}

int32_t Channel_removeEqualFromPipe(Channel channel, int32_t pipeIndex, Message like) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || like == nullptr || like->header == nullptr) return TRELLUM_INVALID_ARGUMENT;
    Message removed = nullptr;
    {
        trellum::PipeLock lock(pipe);
        if (trellum::isDeleted(*pipe)) return TRELLUM_DELETED;
        for (MessagePipe node = pipe->head, previous = nullptr; node != nullptr; previous = node, node = node->next) {
            if (equalMessages(node->message, like)) {
                removed = trellum::unlinkNode(pipe, node, previous);
                break;
            }
        }
    }
    if (removed == nullptr) return TRELLUM_EMPTY;
    Message_free(removed);  // unreachable now: freed unlocked
    return TRELLUM_OK;
}

int32_t Channel_statsOfPipe(Channel channel, int32_t pipeIndex, PipeStats *stats) {
    PipeEnd *pipe = pipeOf(channel, pipeIndex);
    if (pipe == nullptr || stats == nullptr || stats->structSize < sizeof(PipeStats)) return TRELLUM_INVALID_ARGUMENT;
    // Only this version's fields are written: a caller built against a later
    // header keeps its own size and zeroes for what it knows beyond.
    PipeStats filled;
    memset(&filled, 0, sizeof filled);
    filled.structSize = stats->structSize;
    int32_t status = TRELLUM_OK;
    {
        trellum::PipeLock lock(pipe);
        if (trellum::isDeleted(*pipe)) {
            status = TRELLUM_DELETED;
        } else {
            filled.size = pipe->count;
            filled.bytes = pipe->bytes;
            filled.highWaterSize = pipe->highWaterSize;
            if (pipe->extras != nullptr) {
                filled.maxMessages = pipe->extras->maxMessages;
                filled.maxBytes = pipe->extras->maxBytes;
                filled.waitingSenders = pipe->extras->senders;
            }
            filled.added = pipe->added;
            filled.removed = pipe->removed;
            filled.waitingReceivers = trellum::waitersOf(*pipe);
            filled.shutDown = pipe->state == trellum::PipeState::shutDown;
        }
    }
    memcpy(stats, &filled, sizeof filled);
    return status;
}

} // extern "C"
