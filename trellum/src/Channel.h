// The private layout of a channel and its two pipes.
#ifndef TRELLUM_CHANNEL_H
#define TRELLUM_CHANNEL_H

#include <pthread.h>
#include <stdint.h>

#include <trellum/trellum.h>

#include "PriorityIndex.h"

namespace trellum {

// One pipe: a priority-sorted list of nodes, guarded by `mutex`.
struct PipeEnd {
    MessagePipe head;           // first node, NULL when empty
    PriorityIndex index;        // last node of each priority present
    int32_t count;              // nodes queued; written under the mutex, read without it
    int32_t waiters;            // receivers blocked on `condition`
    int32_t shutdownFlag;       // 1 while shut down, else 0
    pthread_mutex_t mutex;
    pthread_cond_t condition;   // a message was added or the pipe shut down
};

} // namespace trellum

struct _Channel {
    int32_t id;
    trellum::PipeEnd pipes[2];
};

#endif
