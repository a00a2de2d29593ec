/* <trellum/Message.h> on its own compiles as C: it needs no other header. */
#include <trellum/Message.h>

int32_t headerPriorityOf(const _Message *message);

int32_t headerPriorityOf(const _Message *message) { return message->header->priority; }
