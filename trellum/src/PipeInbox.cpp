#include "PipeInbox.h"

#include "PipeReadiness.h"

namespace trellum {

#ifdef TRELLUM_FUZZ_INBOX
bool fuzzAddsFindMutexBusy = false;
#endif

namespace {

// Nodes from `node` down to `end` (excluded).
int32_t lengthOf(MessagePipe node, MessagePipe end) {
    int32_t length = 0;
    for (; node != end; node = node->next) ++length;
    return length;
}

} // namespace

void drainInboxFrom(PipeEnd *pipe, MessagePipe top) {
    if (isDeleted(*pipe)) {
        // An add that raced the deletion: freed with the queue, as if queued just before.
        MessagePipe_free(__atomic_exchange_n(&pipe->inbox, nullptr, __ATOMIC_ACQUIRE));
        return;
    }
    // Counted before the inbox is emptied: a lock-free size that finds the
    // inbox empty must find these in `count` (Channel_sizeOfPipe). Pushes
    // may land on top meanwhile; each retry counts them too.
    int32_t moved = lengthOf(top, nullptr);
    setCount(pipe, pipe->count + moved);
    for (MessagePipe counted = top;
         !__atomic_compare_exchange_n(&pipe->inbox, &top, nullptr, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
         counted = top) {
        const int32_t more = lengthOf(top, counted);
        setCount(pipe, pipe->count + more);
        moved += more;
    }
    // The stack holds the newest first: reverse it, then queue oldest first.
    MessagePipe oldest = nullptr;
    while (top != nullptr) {
        MessagePipe next = top->next;
        top->next = oldest;
        oldest = top;
        top = next;
    }
    while (oldest != nullptr) {
        MessagePipe next = oldest->next;
        placeNode(pipe, oldest);
        oldest = next;
    }
    if (pipe->count > pipe->highWaterSize) pipe->highWaterSize = pipe->count;
    readinessMayHaveChanged(pipe);
    // One wake-up per message, as each add would have given under the mutex.
    for (int32_t woken = 0, waiters = waitersOf(*pipe); woken < moved && woken < waiters; ++woken) {
        pthread_cond_signal(&pipe->condition);
    }
}

} // namespace trellum
