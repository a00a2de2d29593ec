// A second peer built from oneTBB's concurrent containers: what a developer
// who reaches for a concurrency library would write. The registry is a
// tbb::concurrent_hash_map, whose lookups of different keys share no lock;
// a pipe is a tbb::concurrent_priority_queue keyed by (priority, arrival
// sequence), so equal priorities stay first-in first-out as in the library.
//
// Only the benchmark links TBB, and only when the build finds it (see
// CMakeLists.txt): the shipped libraries never depend on it. The pipe offers
// only the non-blocking take the workloads need; a blocking receive would
// need a lock and a condition variable on top, which is the textbook peer.
#ifndef TRELLUM_BENCH_TBB_PEER_H
#define TRELLUM_BENCH_TBB_PEER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include <tbb/concurrent_hash_map.h>
#include <tbb/concurrent_priority_queue.h>

#include "PeerChannel.h"

namespace tbbpeer {

class Pipe {
public:
    // Queues behind every message of lower or equal priority.
    void add(peer::Message message);
    // The first message, or nothing when the pipe is empty. Never waits.
    std::optional<peer::Message> tryRemove();

private:
    struct Entry {
        int32_t priority;
        uint64_t sequence;
        std::unique_ptr<peer::Message> message;
    };
    // The queue pops its greatest element: "greater" means "leaves later".
    struct LeavesLater {
        bool operator()(const Entry &a, const Entry &b) const {
            if (a.priority != b.priority) return a.priority > b.priority;
            return a.sequence > b.sequence;
        }
    };

    std::atomic<uint64_t> nextSequence_{0};
    tbb::concurrent_priority_queue<Entry, LeavesLater> queue_;
};

struct Channel {
    explicit Channel(int32_t channelId) : id(channelId) {}
    int32_t id;
    Pipe pipes[2];
};

class Registry {
public:
    // Concurrent calls for one new ID create exactly one channel.
    Channel *createOrGet(int32_t id);
    void remove(int32_t id);

private:
    tbb::concurrent_hash_map<int32_t, std::unique_ptr<Channel>> channels_;
};

} // namespace tbbpeer

#endif
