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

struct Pipe {
    // multimap::insert places a key after every equal key: FIFO among equals.
    std::multimap<int32_t, Msg> queue;
    bool shutDown = false;
};

struct Chan {
    Pipe pipes[2];
    bool deleted = false;
};

using ChanRef = std::shared_ptr<Chan>;

// Statuses, as in trellum.h (restated so that the model stands alone).
enum Status { Received = 0, TimedOut = 1, ShutDown = 2, Deleted = 3, Invalid = 4, Empty = 5 };

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

// Channel_addToPipe.
inline void add(const ChanRef &chan, int32_t pipe, const Msg &msg) {
    if (Pipe *p = live(chan, pipe)) p->queue.emplace(msg.priority, msg);
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
