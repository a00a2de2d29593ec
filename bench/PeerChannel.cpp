#include "PeerChannel.h"

#include <utility>

namespace peer {

void Pipe::add(Message message) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (capacity_ > 0) room_.wait(lock, [this] { return queue_.size() < capacity_; });
        queue_.push(Entry{nextSequence_++, std::move(message)});
    }
    arrived_.notify_one();
}

void Pipe::setCapacity(size_t maxMessages) {
    std::lock_guard<std::mutex> lock(mutex_);
    capacity_ = maxMessages;
}

std::optional<Message> Pipe::remove() {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait(lock, [this] { return !queue_.empty() || shutDown_; });
    if (shutDown_) return std::nullopt;
    // top() is const only to protect the heap order; the key fields are not
    // moved, and the entry is popped right away.
    Message message = std::move(const_cast<Entry &>(queue_.top()).message);
    queue_.pop();
    if (capacity_ > 0) room_.notify_one();
    return message;
}

size_t Pipe::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void Pipe::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutDown_ = true;
    }
    arrived_.notify_all();
}

Channel *Registry::createOrGet(int32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_ptr<Channel> &slot = channels_[id];
    if (!slot) slot = std::make_unique<Channel>(id);
    return slot.get();
}

void Registry::remove(int32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    channels_.erase(id);
}

} // namespace peer
