#include "PriorityIndex.h"

#include <stdlib.h>
#include <string.h>

#include "MessageLayout.h"

namespace trellum {

PriorityIndex::~PriorityIndex() { free(entries_); }

uint32_t PriorityIndex::upperBound(int32_t priority) const {
    uint32_t low = begin_, high = end_;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (entries_[middle].priority <= priority) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

uint32_t PriorityIndex::lowerBound(int32_t priority) const {
    uint32_t low = begin_, high = end_;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (entries_[middle].priority < priority) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

// Opens a free slot between the entries now at position - 1 and position
// (position may be end_) and returns its index. Moves whichever side is
// shorter; a full buffer is compacted, or doubled when more than half full,
// so that inserts stay amortized O(1) at the tail however far begin_ drifts.
uint32_t PriorityIndex::openSlot(uint32_t position) {
    if (begin_ > 0 && position - begin_ <= end_ - position) {
        memmove(&entries_[begin_ - 1], &entries_[begin_], (position - begin_) * sizeof(Entry));
        --begin_;
        return position - 1;
    }
    if (end_ == capacity_) {
        uint32_t live = end_ - begin_;
        if (live >= capacity_ / 2) {
            uint32_t capacity = capacity_ == 0 ? 8 : capacity_ * 2;
            Entry *grown = static_cast<Entry *>(realloc(entries_, capacity * sizeof(Entry)));
            if (grown == nullptr) abort();  // a pipe insert has no failure result
            entries_ = grown;
            capacity_ = capacity;
        }
        memmove(&entries_[0], &entries_[begin_], live * sizeof(Entry));
        position -= begin_;
        begin_ = 0;
        end_ = live;
    }
    memmove(&entries_[position + 1], &entries_[position], (end_ - position) * sizeof(Entry));
    ++end_;
    return position;
}

MessagePipe PriorityIndex::insert(int32_t priority, MessagePipe node) {
    if (begin_ == end_) {
        // A pipe that is emptied and refilled over and over (a receiver
        // keeping up) lands here every time: skip openSlot once there is room.
        begin_ = end_ = 0;
        uint32_t slot = capacity_ > 0 ? end_++ : openSlot(0);
        entries_[slot] = Entry{priority, node};
        return nullptr;
    }
    // Fast path: the message belongs at the tail.
    Entry &tail = entries_[end_ - 1];
    if (priority == tail.priority) {
        MessagePipe after = tail.last;
        tail.last = node;
        return after;
    }
    uint32_t position = priority > tail.priority ? end_ : upperBound(priority);
    if (position > begin_ && entries_[position - 1].priority == priority) {
        MessagePipe after = entries_[position - 1].last;
        entries_[position - 1].last = node;
        return after;
    }
    MessagePipe after = position > begin_ ? entries_[position - 1].last : nullptr;
    // openSlot may move the buffer: index it only after the call (C++17
    // evaluates `entries_` in `entries_[openSlot(...)]` first).
    uint32_t slot = openSlot(position);
    entries_[slot] = Entry{priority, node};
    return after;
}

MessagePipe PriorityIndex::insertFirst(int32_t priority, MessagePipe node) {
    const uint32_t position = lowerBound(priority);
    MessagePipe after = position > begin_ ? entries_[position - 1].last : nullptr;
    // With nodes of its priority queued, the last of them stays the last.
    if (position < end_ && entries_[position].priority == priority) return after;
    const uint32_t slot = openSlot(position);
    entries_[slot] = Entry{priority, node};
    return after;
}

void PriorityIndex::removed(int32_t priority, MessagePipe node, MessagePipe predecessor) {
    const uint32_t position = upperBound(priority);
    if (position == begin_ || entries_[position - 1].priority != priority) return;
    Entry &entry = entries_[position - 1];
    if (entry.last != node) return;  // not the last of its priority: nothing indexed changes
    if (predecessor != nullptr && predecessor->message->header->priority == priority) {
        entry.last = predecessor;
        return;
    }
    // It was the only one of its priority.
    memmove(&entries_[position - 1], &entries_[position], (end_ - position) * sizeof(Entry));
    --end_;
}

} // namespace trellum
