#include "ThreadChannelMemo.h"

#include <pthread.h>
#include <stdlib.h>

#include "Channel.h"

namespace {

// Direct-mapped. 256 slots hold a few KB per thread and keep a working set
// of a hundred channels nearly whole.
const uint32_t kSlotBits = 8;
const uint32_t kSlots = 1u << kSlotBits;

struct Memo {
    trellum::MemoSlot slots[kSlots];
};

pthread_key_t memoKey;
pthread_once_t memoKeyOnce = PTHREAD_ONCE_INIT;
int memoKeyState = 0;  // atomic: 0 not yet made, 1 made, -1 could not be made

// Runs when a thread that used the registry ends: its references go.
void releaseMemo(void *value) {
    Memo *memo = static_cast<Memo *>(value);
    for (trellum::MemoSlot &slot : memo->slots) {
        if (slot.channel != nullptr) trellum::releaseChannel(slot.channel);
    }
    free(memo);
}

// The key is never deleted, and releaseMemo may run on any thread's exit
// long after the last call in: the library is linked to stay loaded
// (STAYS_LOADED in cmake/NativeLibrary.cmake), even when a JDK unloads it.
void makeMemoKey() {
    __atomic_store_n(&memoKeyState, pthread_key_create(&memoKey, releaseMemo) == 0 ? 1 : -1, __ATOMIC_RELEASE);
}

uint32_t slotOf(int32_t id) { return (static_cast<uint32_t>(id) * 2654435769u) >> (32 - kSlotBits); }

Memo *createMemo() {
    pthread_once(&memoKeyOnce, makeMemoKey);
    if (__atomic_load_n(&memoKeyState, __ATOMIC_ACQUIRE) != 1) return nullptr;
    Memo *memo = static_cast<Memo *>(pthread_getspecific(memoKey));
    if (memo != nullptr) return memo;
    memo = static_cast<Memo *>(calloc(1, sizeof(Memo)));
    if (memo == nullptr) return nullptr;
    if (pthread_setspecific(memoKey, memo) != 0) {
        free(memo);
        return nullptr;
    }
    return memo;
}

bool channelDeleted(Channel channel) { return __atomic_load_n(&channel->deleted, __ATOMIC_ACQUIRE) != 0; }

} // namespace

namespace trellum {

MemoSlot *memoSlotFor(int32_t id) {
    // The key exists once any thread made a memo; until then every lookup
    // takes the slow path here once per thread.
    Memo *memo = __atomic_load_n(&memoKeyState, __ATOMIC_ACQUIRE) == 1
                     ? static_cast<Memo *>(pthread_getspecific(memoKey))
                     : nullptr;
    if (memo == nullptr) memo = createMemo();
    return memo != nullptr ? &memo->slots[slotOf(id)] : nullptr;
}

Channel memoHit(const MemoSlot &slot, int32_t id) {
    if (slot.channel == nullptr || slot.id != id || channelDeleted(slot.channel)) return nullptr;
    return slot.channel;
}

bool shouldMemoize(MemoSlot &slot, int32_t id) {
    // The slot's channel is not looked at: among many channels, reading it
    // would cost a cache miss on every lookup that misses the memo. A
    // deleted channel leaves its slot at the second miss, like any other.
    if (slot.channel == nullptr) return true;
    const bool again = slot.missedID == id;
    slot.missedID = id;
    return again;
}

Channel memoize(MemoSlot &slot, int32_t id, Channel channel) {
    Channel evicted = slot.channel;
    slot = MemoSlot{channel, id, id};
    return evicted;
}

} // namespace trellum
