// The textbook channel that the benchmark measures the library against.
//
// What a careful developer would write first with the standard library: a
// mutex and a condition variable per pipe, a std::priority_queue ordered by
// (priority, arrival sequence) so that equal priorities stay first-in
// first-out, messages as value types whose body is their one allocation, and
// a std::unordered_map registry behind one mutex. It offers the operations
// the benchmark compares, with the same meaning as the library's.
#ifndef TRELLUM_BENCH_PEER_CHANNEL_H
#define TRELLUM_BENCH_PEER_CHANNEL_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <unordered_map>
#include <vector>

namespace peer {

struct Header {
    int32_t type;
    int32_t priority;
    int32_t channelID;
    int32_t messageID;
    int32_t attributes;
};

struct Message {
    Message(const Header &h, const uint8_t *bytes, size_t size) : header(h), body(bytes, bytes + size) {}
    Header header;
    std::vector<uint8_t> body;
};

class Pipe {
public:
    // Queues behind every message of lower or equal priority, waiting while
    // a bounded pipe is full; wakes one receiver.
    void add(Message message);
    // At most `maxMessages` queued (0: no limit), like a bounded channel pipe.
    void setCapacity(size_t maxMessages);
    // Blocks while empty and running; nothing once shut down.
    std::optional<Message> remove();
    size_t size() const;
    void shutdown();

private:
    struct Entry {
        uint64_t sequence;
        Message message;
    };
    // "Leaves later": std::priority_queue puts the greatest element on top.
    struct LeavesLater {
        bool operator()(const Entry &a, const Entry &b) const {
            if (a.message.header.priority != b.message.header.priority)
                return a.message.header.priority > b.message.header.priority;
            return a.sequence > b.sequence;
        }
    };

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::condition_variable room_;
    size_t capacity_ = 0;
    std::priority_queue<Entry, std::vector<Entry>, LeavesLater> queue_;
    uint64_t nextSequence_ = 0;
    bool shutDown_ = false;
};

struct Channel {
    explicit Channel(int32_t channelId) : id(channelId) {}
    int32_t id;
    Pipe pipes[2];
};

class Registry {
public:
    Channel *createOrGet(int32_t id);
    void remove(int32_t id);

private:
    std::mutex mutex_;
    std::unordered_map<int32_t, std::unique_ptr<Channel>> channels_;
};

} // namespace peer

#endif
