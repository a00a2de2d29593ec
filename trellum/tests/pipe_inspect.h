// Looks inside a pipe, under its lock, to check the queue after every step
// and to see how many receivers are blocked. White-box: uses the library's
// private layout.
#ifndef TRELLUM_TESTS_PIPE_INSPECT_H
#define TRELLUM_TESTS_PIPE_INSPECT_H

#include <cstdint>
#include <vector>

#include "Channel.h"
#include "MessageLayout.h"
#include "PosixSync.h"

namespace trellum_test {

struct Queued {
    int32_t priority;
    int32_t messageID;
    bool operator==(const Queued &other) const {
        return priority == other.priority && messageID == other.messageID;
    }
};

inline std::vector<Queued> queuedMessages(Channel channel, int pipe) {
    trellum::PipeEnd &end = channel->pipes[pipe];
    Channel_sizeOfPipe(channel, pipe);  // moves what the inbox holds into the queue
    trellum::ScopedLock lock(&end.mutex);
    std::vector<Queued> queued;
    for (MessagePipe node = end.head; node != nullptr; node = node->next) {
        queued.push_back({node->message->header->priority, node->message->header->messageID});
    }
    return queued;
}

// Receivers inside pthread_cond_wait on the pipe: once this reaches n, all n
// are blocked, since each counts itself under the lock it gives up waiting.
inline int blockedReceivers(Channel channel, int pipe) {
    trellum::PipeEnd &end = channel->pipes[pipe];
    trellum::ScopedLock lock(&end.mutex);
    return trellum::waitersOf(end);
}

} // namespace trellum_test

#endif
