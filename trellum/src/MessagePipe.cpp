// Queue nodes as exported functions; the pipes use QueueNodes.h directly.
#include "QueueNodes.h"

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
