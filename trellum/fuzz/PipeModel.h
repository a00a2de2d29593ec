// A reference model of the channel C API, written with std:: containers and
// no concurrency, for the differential fuzzer (ops_fuzzer.cpp). It states
// the contracts of trellum.h one call at a time, independently of the
// library's own data structures: a channel is a record, a pipe an ordered
// multimap (FIFO among equal keys), the registry a map from ID to channel.
#ifndef TRELLUM_FUZZ_PIPE_MODEL_H
#define TRELLUM_FUZZ_PIPE_MODEL_H

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace trellum_model {

struct Msg {
    int32_t type, priority, channelID, messageID, attributes;
    std::vector<uint8_t> body;
};

inline bool operator==(const Msg &a, const Msg &b) {
    return a.type == b.type && a.priority == b.priority && a.channelID == b.channelID &&
           a.messageID == b.messageID && a.attributes == b.attributes && a.body == b.body;
}

struct Pipe {
    // multimap::insert places a key after every equal key: FIFO among equals.
    std::multimap<int32_t, Msg> queue;
    bool shutDown = false;
    int32_t maxMessages = 0;  // 0: no limit
    int64_t maxBytes = 0;
    int32_t highWaterSize = 0;
    int64_t added = 0;
    int64_t removed = 0;  // receives and removals of a given message only

    int64_t bytes() const {
        int64_t total = 0;
        for (const auto &entry : queue) total += static_cast<int64_t>(entry.second.body.size());
        return total;
    }
    // An empty pipe takes any one message, however large.
    bool hasRoomFor(const Msg &msg) const {
        if (queue.empty()) return true;
        if (maxMessages > 0 && static_cast<int64_t>(queue.size()) >= maxMessages) return false;
        return maxBytes <= 0 || bytes() + static_cast<int64_t>(msg.body.size()) <= maxBytes;
    }
    void push(const Msg &msg) {
        queue.emplace(msg.priority, msg);
        ++added;
        if (static_cast<int32_t>(queue.size()) > highWaterSize) highWaterSize = static_cast<int32_t>(queue.size());
    }
};

// The fields of PipeStats, as the model sees them.
struct Stats {
    int32_t size = 0, highWaterSize = 0, maxMessages = 0, shutDown = 0;
    int64_t bytes = 0, maxBytes = 0, added = 0, removed = 0;
};

struct Chan {
    Pipe pipes[2];
    bool deleted = false;
};

using ChanRef = std::shared_ptr<Chan>;

// Statuses, as in trellum.h (restated so that the model stands alone).
enum Status { Received = 0, TimedOut = 1, ShutDown = 2, Deleted = 3, Invalid = 4, Empty = 5, Cancelled = 7 };

inline bool validPipe(int32_t pipe) { return pipe == 0 || pipe == 1; }

// The pipe an operation touches, or NULL when it touches none (NULL
// channel, invalid index, deleted channel).
inline Pipe *live(const ChanRef &chan, int32_t pipe) {
    if (!chan || !validPipe(pipe) || chan->deleted) return nullptr;
    return &chan->pipes[pipe];
}

class Registry {
public:
    // Find or create.
    ChanRef get(int32_t id) {
        ChanRef &slot = channels_[id];
        if (!slot) slot = std::make_shared<Chan>();
        return slot;
    }
    ChanRef find(int32_t id) const {
        auto it = channels_.find(id);
        return it == channels_.end() ? nullptr : it->second;
    }
    // Unlinks, empties and marks the channel; pins keep the record.
    void remove(int32_t id) {
        auto it = channels_.find(id);
        if (it == channels_.end()) return;
        it->second->deleted = true;
        for (Pipe &pipe : it->second->pipes) pipe.queue.clear();
        channels_.erase(it);
    }

private:
    std::map<int32_t, ChanRef> channels_;
};

// Whether the pipe has a capacity.
inline bool bounded(const ChanRef &chan, int32_t pipe) {
    const Pipe *p = live(chan, pipe);
    return p != nullptr && (p->maxMessages > 0 || p->maxBytes > 0);
}

// Whether Channel_addToPipe of `msg` would wait for room (the fuzzer, on
// one thread, must then not make that call).
inline bool wouldWait(const ChanRef &chan, int32_t pipe, const Msg &msg) {
    const Pipe *p = live(chan, pipe);
    return p != nullptr && !p->hasRoomFor(msg);
}

// Channel_addToPipe where it does not wait.
inline void add(const ChanRef &chan, int32_t pipe, const Msg &msg) {
    if (Pipe *p = live(chan, pipe)) p->push(msg);
}

// Channel_timedAddToPipe with a timeout of 0 (and a message).
inline Status tryAdd(const ChanRef &chan, int32_t pipe, const Msg &msg) {
    if (!chan || !validPipe(pipe)) return Invalid;
    if (chan->deleted) return Deleted;
    Pipe &p = chan->pipes[pipe];
    if (!p.hasRoomFor(msg)) return TimedOut;
    p.push(msg);
    return Received;
}

// Channel_setPipeCapacity.
inline void setCapacity(const ChanRef &chan, int32_t pipe, int32_t maxMessages, int64_t maxBytes) {
    if (Pipe *p = live(chan, pipe)) {
        p->maxMessages = maxMessages > 0 ? maxMessages : 0;
        p->maxBytes = maxBytes > 0 ? maxBytes : 0;
    }
}

// Channel_removeEqualFromPipe (with a message to compare).
inline Status removeEqual(const ChanRef &chan, int32_t pipe, const Msg &like) {
    if (!chan || !validPipe(pipe)) return Invalid;
    if (chan->deleted) return Deleted;
    Pipe &p = chan->pipes[pipe];
    for (auto it = p.queue.begin(); it != p.queue.end(); ++it) {
        if (it->second == like) {
            p.queue.erase(it);
            ++p.removed;
            return Received;
        }
    }
    return Empty;
}

// Channel_copyOfPipe (with a result pointer): the queue in take order.
inline Status copy(const ChanRef &chan, int32_t pipe, std::vector<Msg> *out) {
    if (!chan || !validPipe(pipe)) return Invalid;
    if (chan->deleted) return Deleted;
    for (const auto &entry : chan->pipes[pipe].queue) out->push_back(entry.second);
    return Received;
}

// Channel_statsOfPipe (with a large enough struct); a deleted channel's are zero.
inline Status stats(const ChanRef &chan, int32_t pipe, Stats *out) {
    *out = Stats{};
    if (!chan || !validPipe(pipe)) return Invalid;
    if (chan->deleted) return Deleted;
    const Pipe &p = chan->pipes[pipe];
    out->size = static_cast<int32_t>(p.queue.size());
    out->bytes = p.bytes();
    out->highWaterSize = p.highWaterSize;
    out->maxMessages = p.maxMessages;
    out->maxBytes = p.maxBytes;
    out->added = p.added;
    out->removed = p.removed;
    out->shutDown = p.shutDown ? 1 : 0;
    return Received;
}

// Channel_timedRemoveFromPipe with a timeout of 0 (and a result pointer).
inline Status tryRemove(const ChanRef &chan, int32_t pipe, Msg *out) {
    if (!chan || !validPipe(pipe)) return Invalid;
    if (chan->deleted) return Deleted;
    Pipe &p = chan->pipes[pipe];
    if (p.shutDown) return ShutDown;
    if (p.queue.empty()) return TimedOut;
    *out = p.queue.begin()->second;
    p.queue.erase(p.queue.begin());
    ++p.removed;
    return Received;
}

// Channel_checkedPeekCopyFromPipe (with a result pointer).
inline Status peek(const ChanRef &chan, int32_t pipe, Msg *out) {
    if (!chan || !validPipe(pipe)) return Invalid;
    if (chan->deleted) return Deleted;
    const Pipe &p = chan->pipes[pipe];
    if (p.queue.empty()) return Empty;
    *out = p.queue.begin()->second;
    return Received;
}

inline int32_t size(const ChanRef &chan, int32_t pipe) {
    const Pipe *p = live(chan, pipe);
    return p ? static_cast<int32_t>(p->queue.size()) : 0;
}

inline void clear(const ChanRef &chan, int32_t pipe) {
    if (Pipe *p = live(chan, pipe)) p->queue.clear();
}

inline void setShutDown(const ChanRef &chan, int32_t pipe, bool down) {
    if (Pipe *p = live(chan, pipe)) p->shutDown = down;
}

} // namespace trellum_model

#endif
