// Node handling shared by the pipes.
#ifndef TRELLUM_QUEUE_NODES_H
#define TRELLUM_QUEUE_NODES_H

#include <trellum/trellum.h>

namespace trellum {

// A node holding `message` with no successor; aborts when out of memory.
MessagePipe nodeFor(Message message);

// Frees the node (unless it is built into its message) and returns the
// message, now owned by the caller.
Message releaseNode(MessagePipe node);

} // namespace trellum

#endif
