// Messages: a header of five integers and a private copy of the body bytes.
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "MessageLayout.h"

using trellum::MessageBlock;

// malloc aligns to at least 8 bytes; the built-in header is not, so a
// hand-assembled message is never taken for a block.
static_assert(offsetof(MessageBlock, header) % 8 != 0,
              "the built-in header must sit where no malloc result can");

namespace {

// A NULL source gives zeros: a caller that fills the body itself (the JVM
// binding, straight from a Java array) then copies the bytes only once.
void copyOrZero(uint8_t *target, const void *source, int32_t size) {
    if (source != nullptr) {
        memcpy(target, source, static_cast<size_t>(size));
    } else {
        memset(target, 0, static_cast<size_t>(size));
    }
}

} // namespace

extern "C" {

MessageHeader MessageHeader_new(int32_t type, int32_t priority, int32_t channelID,
                                int32_t messageID, int32_t attributes) {
    MessageHeader header = static_cast<MessageHeader>(malloc(sizeof(_MessageHeader)));
    if (header == nullptr) return nullptr;
    *header = _MessageHeader{type, priority, channelID, messageID, attributes};
    return header;
}

void MessageHeader_free(MessageHeader header) { free(header); }

MessageBody MessageBody_new(int32_t size, const void *source) {
    if (size < 0) return nullptr;
    MessageBody body = static_cast<MessageBody>(calloc(1, sizeof(_MessageBody)));
    if (body == nullptr) return nullptr;
    // malloc(0) may return NULL; an empty body still owns a (1-byte) buffer.
    body->data = static_cast<uint8_t *>(malloc(size > 0 ? static_cast<size_t>(size) : 1));
    if (body->data == nullptr) {
        MessageBody_free(body);
        return nullptr;
    }
    if (size > 0) copyOrZero(body->data, source, size);
    body->length = size;
    return body;
}

void MessageBody_free(MessageBody body) {
    if (body == nullptr) return;
    free(body->data);
    free(body);
}

Message Message_new(int32_t type, int32_t priority, int32_t channelID, int32_t messageID,
                    int32_t attributes, int32_t size, const void *source) {
    if (size < 0) return nullptr;
    MessageBlock *block =
        static_cast<MessageBlock *>(malloc(sizeof(MessageBlock) + static_cast<size_t>(size)));
    if (block == nullptr) return nullptr;
    block->misalign = 0;
    block->header = _MessageHeader{type, priority, channelID, messageID, attributes};
    block->body.length = size;
    block->body.data = trellum::inlineData(block);
    if (size > 0) copyOrZero(block->body.data, source, size);
    block->node = _MessagePipe{nullptr, nullptr};
    block->message.header = &block->header;
    block->message.body = &block->body;
    return &block->message;
}

void Message_free(Message message) {
    if (message == nullptr) return;
    if (trellum::isSingleBlock(message)) {
        // A caller may have given the body a buffer of its own.
        MessageBlock *block = trellum::blockOf(message);
        if (block->body.data != trellum::inlineData(block)) free(block->body.data);
        free(block);
        return;
    }
    MessageHeader_free(message->header);
    MessageBody_free(message->body);
    free(message);
}

} // extern "C"
