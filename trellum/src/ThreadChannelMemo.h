// A per-thread memo of channels found in the registry, so that looking up a
// channel a thread has used before touches nothing shared with threads that
// work on other channels: no lock and no write to a shared cache line.
//
// Each memo entry holds a reference on its channel, so a memoized channel's
// memory cannot go away under a lookup. A hit is valid while the channel is
// not marked deleted; a deleted channel is dropped from the memo on the next
// lookup of its slot (its queues were freed at the deletion; only the small
// channel record waits for that), and when the thread ends.
#ifndef TRELLUM_THREAD_CHANNEL_MEMO_H
#define TRELLUM_THREAD_CHANNEL_MEMO_H

#include <stdint.h>

#include <trellum/trellum.h>

namespace trellum {

// One slot of a thread's memo. Only its own thread reads or writes it.
struct MemoSlot {
    Channel channel;   // NULL when free; holds a reference
    int32_t id;        // the ID `channel` is registered under
    int32_t missedID;  // the ID whose lookup missed this slot last
};

// The slot of this thread's memo where `id` belongs, or NULL when no memo
// can be had (memory exhausted). Never blocks, never writes shared memory
// (but for creating the memo on a thread's first lookup).
MemoSlot *memoSlotFor(int32_t id);

// The live channel of `id` in the slot, or NULL.
Channel memoHit(const MemoSlot &slot, int32_t id);

// Whether a channel just missed should go into its slot: when the slot is
// free, or when the same ID missed the slot last time too. A thread cycling through more channels than the memo holds would
// otherwise evict on every lookup and gain nothing; two misses in a row show
// that the ID is in use again. Records the miss.
bool shouldMemoize(MemoSlot &slot, int32_t id);

// Puts `channel` (retained by the caller for the memo) into the slot and
// returns the channel evicted from it, whose reference the caller must
// release, or NULL.
Channel memoize(MemoSlot &slot, int32_t id, Channel channel);

} // namespace trellum

#endif
