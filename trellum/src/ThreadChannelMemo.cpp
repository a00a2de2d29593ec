#include "ThreadChannelMemo.h"

#include <pthread.h>
#include <stdlib.h>

#include "Channel.h"

namespace {

// Direct-mapped: a thread that works on more channels than this, or on two
// whose IDs share a slot, takes the registry's locked path more often.
const uint32_t kSlotBits = 4;
const uint32_t kSlots = 1u << kSlotBits;

struct Entry {
    int32_t id;
    Channel channel;  // NULL when the slot is free; holds a reference
};

struct Memo {
    Entry entries[kSlots];
};

pthread_key_t memoKey;
pthread_once_t memoKeyOnce = PTHREAD_ONCE_INIT;
bool memoKeyMade = false;

// Runs when a thread that used the registry ends: its references go.
void releaseMemo(void *value) {
    Memo *memo = static_cast<Memo *>(value);
    for (Entry &entry : memo->entries) {
        if (entry.channel != nullptr) trellum::releaseChannel(entry.channel);
    }
    free(memo);
}

void makeMemoKey() { memoKeyMade = pthread_key_create(&memoKey, releaseMemo) == 0; }

uint32_t slotOf(int32_t id) { return (static_cast<uint32_t>(id) * 2654435769u) >> (32 - kSlotBits); }

Memo *threadMemo(bool create) {
    pthread_once(&memoKeyOnce, makeMemoKey);
    if (!memoKeyMade) return nullptr;
    Memo *memo = static_cast<Memo *>(pthread_getspecific(memoKey));
    if (memo != nullptr || !create) return memo;
    memo = static_cast<Memo *>(calloc(1, sizeof(Memo)));
    if (memo == nullptr) return nullptr;
    if (pthread_setspecific(memoKey, memo) != 0) {
        free(memo);
        return nullptr;
    }
    return memo;
}

bool isDeleted(Channel channel) { return __atomic_load_n(&channel->deleted, __ATOMIC_ACQUIRE) != 0; }

} // namespace

namespace trellum {

Channel memoizedChannel(int32_t id) {
    Memo *memo = threadMemo(false);
    if (memo == nullptr) return nullptr;
    const Entry &entry = memo->entries[slotOf(id)];
    if (entry.channel == nullptr || entry.id != id || isDeleted(entry.channel)) return nullptr;
    return entry.channel;
}

Channel memoizeChannel(int32_t id, Channel channel) {
    Memo *memo = threadMemo(true);
    if (memo == nullptr) return channel;
    Entry &entry = memo->entries[slotOf(id)];
    Channel evicted = entry.channel;
    entry = Entry{id, channel};
    return evicted;
}

} // namespace trellum
