#include "TbbPeer.h"

#include <utility>

namespace tbbpeer {

void Pipe::add(peer::Message message) {
    // The sequence is taken before the push, so two adders may push out of
    // sequence order; the queue still orders them by sequence, as a pipe's
    // lock would have.
    uint64_t sequence = nextSequence_.fetch_add(1, std::memory_order_relaxed);
    queue_.push(Entry{message.header.priority, sequence, std::make_unique<peer::Message>(std::move(message))});
}

std::optional<peer::Message> Pipe::tryRemove() {
    Entry entry;
    if (!queue_.try_pop(entry)) return std::nullopt;
    return std::move(*entry.message);
}

Channel *Registry::createOrGet(int32_t id) {
    {
        // The common case, a channel that exists, takes only a shared lock
        // on the key's bucket.
        decltype(channels_)::const_accessor found;
        if (channels_.find(found, id)) return found->second.get();
    }
    decltype(channels_)::accessor slot;
    if (channels_.insert(slot, id)) slot->second = std::make_unique<Channel>(id);
    return slot->second.get();
}

void Registry::remove(int32_t id) { channels_.erase(id); }

} // namespace tbbpeer
