// How Message_new lays a message out: one allocation holding the message
// record, its header, its body record, a queue node and the body bytes.
//
// A pipe queues such a message in its built-in node, so queuing costs no
// allocation. Messages assembled by hand (records from malloc,
// MessageHeader_new and MessageBody_new) are just as valid everywhere; they
// are told apart by where their header and body records sit.
#ifndef TRELLUM_MESSAGE_LAYOUT_H
#define TRELLUM_MESSAGE_LAYOUT_H

#include <stdint.h>

#include <trellum/trellum.h>

struct _MessagePipe {
    Message message;    // owned by the node while queued
    MessagePipe next;   // following node, NULL at the tail
};

namespace trellum {

struct MessageBlock {
    _Message message;   // first, so a Message points at its block
    // Puts the header at an offset that is not a multiple of 8: malloc never
    // returns such an address, so a separately allocated header cannot be
    // mistaken for a built-in one.
    uint32_t misalign;
    _MessageHeader header;
    _MessageBody body;
    _MessagePipe node;
    // the body bytes follow
};

inline MessageBlock *blockOf(Message message) { return reinterpret_cast<MessageBlock *>(message); }

inline uint8_t *inlineData(MessageBlock *block) { return reinterpret_cast<uint8_t *>(block + 1); }

// True when `message` came from Message_new (one block), false when it was
// assembled from separate allocations.
inline bool isSingleBlock(Message message) {
    MessageBlock *block = blockOf(message);
    return message->header == &block->header && message->body == &block->body;
}

// True when `node` is the built-in node of its message's block.
inline bool isBuiltInNode(MessagePipe node) {
    return node->message != nullptr && isSingleBlock(node->message) &&
           node == &blockOf(node->message)->node;
}

} // namespace trellum

#endif
