// Queue nodes. A message from Message_new carries its own node; any other
// message gets one from malloc.
#include <stdlib.h>

#include "MessageLayout.h"
#include "QueueNodes.h"

namespace trellum {

MessagePipe nodeFor(Message message) {
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

Message releaseNode(MessagePipe node) {
    Message message = node->message;
    if (!isBuiltInNode(node)) free(node);
    return message;
}

} // namespace trellum

extern "C" {

MessagePipe MessagePipe_new(Message message) { return trellum::nodeFor(message); }

void MessagePipe_free(MessagePipe node) {
    while (node != nullptr) {
        MessagePipe next = node->next;
        Message_free(trellum::releaseNode(node));
        node = next;
    }
}

} // extern "C"
