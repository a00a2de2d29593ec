// The index that keeps a pipe's insert O(1) for the common cases.
//
// A pipe is one singly linked list sorted by priority, FIFO among equals.
// The index maps each priority present in the list to the last node of that
// priority, kept sorted by priority in a gap buffer: a new message goes right
// behind the last node of its own priority, or of the nearest lower one.
// Appending at the tail (equal or rising priorities) is O(1); any other
// insert is a binary search over the distinct priorities present.
#ifndef TRELLUM_PRIORITY_INDEX_H
#define TRELLUM_PRIORITY_INDEX_H

#include <stdint.h>

#include <trellum/trellum.h>

namespace trellum {

class PriorityIndex {
public:
    PriorityIndex() = default;
    ~PriorityIndex();
    PriorityIndex(const PriorityIndex &) = delete;
    PriorityIndex &operator=(const PriorityIndex &) = delete;

    // Records `node` as the new last node of `priority` and returns the node
    // it must be linked behind, or NULL when it becomes the head. Aborts when
    // out of memory.
    MessagePipe insert(int32_t priority, MessagePipe node);

    // Records `node` as a new first node of `priority` and returns the node
    // it must be linked behind, or NULL when it becomes the head.
    MessagePipe insertFirst(int32_t priority, MessagePipe node);

    // Tells the index that `node`, the head of the list, was unlinked.
    void removedHead(MessagePipe node) {
        if (begin_ != end_ && entries_[begin_].last == node) ++begin_;
    }

    // Tells the index that `node`, of `priority`, was unlinked from behind
    // `predecessor` (NULL: it was the head).
    void removed(int32_t priority, MessagePipe node, MessagePipe predecessor);

    // The list was emptied.
    void clear() { begin_ = end_ = 0; }

private:
    struct Entry {
        int32_t priority;
        MessagePipe last;
    };

    uint32_t upperBound(int32_t priority) const;
    uint32_t lowerBound(int32_t priority) const;
    uint32_t openSlot(uint32_t position);

    Entry *entries_ = nullptr;
    uint32_t capacity_ = 0;
    uint32_t begin_ = 0;  // entries_[begin_, end_) are live, sorted by priority
    uint32_t end_ = 0;
};

} // namespace trellum

#endif
