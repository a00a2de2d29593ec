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

// The live channel registered under `id` if this thread has it memoized,
// else NULL. Never blocks, never writes shared memory.
Channel memoizedChannel(int32_t id);

// Records `channel` (registered under `id`, and retained by the caller for
// the memo) in this thread's memo. Returns a channel evicted from the memo,
// whose reference the caller must release, or NULL. When no memo can be
// had (memory exhausted), returns `channel` itself: the caller then
// releases the reference it took.
Channel memoizeChannel(int32_t id, Channel channel);

} // namespace trellum

#endif
