// Queue nodes. A message from Message_new carries its own node; any other
// message gets one from malloc. Inline: these run on every add and remove.
#ifndef TRELLUM_QUEUE_NODES_H
#define TRELLUM_QUEUE_NODES_H

#include <stdlib.h>

#include <trellum/trellum.h>

#include "MessageLayout.h"

namespace trellum {

// A node holding `message` with no successor; aborts when out of memory.
inline MessagePipe nodeFor(Message message) {
    if (message != nullptr && isSingleBlock(message)) {
        MessagePipe node = &blockOf(message)->node;
        *node = _MessagePipe{message, nullptr};
        return node;
    }
    MessagePipe node = static_cast<MessagePipe>(malloc(sizeof(_MessagePipe)));
    // Callers of a queue have no failure result to look at: queuing nothing
    // would lose the message silently.
    if (node == nullptr) abort();
    *node = _MessagePipe{message, nullptr};
    return node;
}

// Frees the node (unless it is built into its message) and returns the
// message, now owned by the caller.
inline Message releaseNode(MessagePipe node) {
    Message message = node->message;
    if (!isBuiltInNode(node)) free(node);
    return message;
}

} // namespace trellum

#endif
