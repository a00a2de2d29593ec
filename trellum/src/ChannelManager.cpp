// The process-wide registry of channels by ID.
//
// A hash table of chains of ChannelListNode, guarded by one mutex. It starts
// empty without any constructor running (all zero, statically initialized
// mutex) and is never torn down: channels still registered when the process
// ends are not freed, as other threads may still be using them.
//
// Lookups go first to the calling thread's memo (ThreadChannelMemo.h), which
// needs no lock: threads working on different channels share nothing there.
// Only a thread's first lookup of an ID (or one after its memo lost it)
// takes the mutex.
//
// Deleting unlinks the channel and marks it deleted for the memos under the
// mutex, then, with the mutex released, wakes and empties it and drops the
// registry's reference. The references and the lock order: Channel.h.
#include <stdlib.h>

#include <trellum/trellum.h>

#include "Channel.h"
#include "PosixSync.h"
#include "ThreadChannelMemo.h"

namespace {

struct ChannelListNode {
    // A copy of the channel's ID: a lookup walking the chain compares IDs
    // without touching each channel's record (no larger node for it: the
    // allocator's smallest block holds it).
    int32_t id;
    Channel channel;        // owned by the registry
    ChannelListNode *next;  // following node of the same bucket, or NULL
};

pthread_mutex_t _channel_mutex_ = PTHREAD_MUTEX_INITIALIZER;
ChannelListNode **_channels_ = nullptr;  // bucketCount chains
uint32_t bucketBits = 0;
uint32_t channelCount = 0;

uint32_t bucketOf(int32_t id, uint32_t bits) {
    // Fibonacci hashing: consecutive IDs spread over all buckets.
    return (static_cast<uint32_t>(id) * 2654435769u) >> (32 - bits);
}

// Caller holds _channel_mutex_.
Channel ChannelManager_lookupChannel(int32_t id) {
    if (_channels_ == nullptr) return nullptr;
    for (ChannelListNode *node = _channels_[bucketOf(id, bucketBits)]; node; node = node->next) {
        if (node->id == id) return node->channel;
    }
    return nullptr;
}

// Doubles the table. When memory for a bigger table cannot be had, the
// chains just grow longer; only a first table is indispensable.
void growTable() {
    uint32_t bits = _channels_ == nullptr ? 4 : bucketBits + 1;
    auto table = static_cast<ChannelListNode **>(calloc(size_t{1} << bits, sizeof(ChannelListNode *)));
    if (table == nullptr) {
        if (_channels_ == nullptr) abort();  // createOrGet has no failure result
        return;
    }
    if (_channels_ != nullptr) {
        for (uint32_t b = 0; b < (1u << bucketBits); ++b) {
            for (ChannelListNode *node = _channels_[b], *next; node; node = next) {
                next = node->next;
                ChannelListNode **bucket = &table[bucketOf(node->id, bits)];
                node->next = *bucket;
                *bucket = node;
            }
        }
        free(_channels_);
    }
    _channels_ = table;
    bucketBits = bits;
}

// Caller holds _channel_mutex_.
Channel findOrCreate(int32_t id) {
    Channel channel = ChannelManager_lookupChannel(id);
    if (channel != nullptr) return channel;
    if (_channels_ == nullptr || channelCount >= (1u << bucketBits)) growTable();
    auto node = static_cast<ChannelListNode *>(malloc(sizeof(ChannelListNode)));
    if (node == nullptr) abort();  // no failure result: callers need a channel
    channel = Channel_new(id);
    ChannelListNode **bucket = &_channels_[bucketOf(id, bucketBits)];
    *node = ChannelListNode{id, channel, *bucket};
    *bucket = node;
    ++channelCount;
    return channel;
}

// Unlinks the channel registered under `id` and returns it, or NULL.
// Caller holds _channel_mutex_.
Channel unlinkChannel(int32_t id) {
    if (_channels_ == nullptr) return nullptr;
    for (ChannelListNode **link = &_channels_[bucketOf(id, bucketBits)]; *link; link = &(*link)->next) {
        ChannelListNode *node = *link;
        if (node->id == id) {
            Channel channel = node->channel;
            *link = node->next;
            free(node);
            --channelCount;
            return channel;
        }
    }
    return nullptr;
}

// Called with _channel_mutex_ held, right at the unlink: another delete of
// the ID that finds nothing returns after this store, and no lookup after
// that return, from any thread's memo, may hit the old channel. The mark
// set later by markChannelDeleted (again, harmlessly) would come too late.
void markDeletedForMemos(Channel channel) { __atomic_store_n(&channel->deleted, 1, __ATOMIC_RELEASE); }

// The locked path: finds or creates the channel, takes `pins` references on
// it for the caller and, where worthwhile, memoizes it in `slot` (which may
// be NULL: no memo).
Channel lookUpAndMemoize(trellum::MemoSlot *slot, int32_t id, int pins) {
    const bool memoize = slot != nullptr && trellum::shouldMemoize(*slot, id);
    Channel channel;
    {
        trellum::ScopedLock lock(&_channel_mutex_);
        channel = findOrCreate(id);
        // Under the mutex: a delete cannot slip in between.
        for (int i = 0; i < pins + (memoize ? 1 : 0); ++i) trellum::retainChannel(channel);
    }
    if (!memoize) return channel;
    Channel evicted = trellum::memoize(*slot, id, channel);
    if (evicted != nullptr) trellum::releaseChannel(evicted);
    return channel;
}

} // namespace

extern "C" {

Channel ChannelManager_createOrGetChannel(int32_t id) {
    trellum::MemoSlot *slot = trellum::memoSlotFor(id);
    Channel channel = slot != nullptr ? trellum::memoHit(*slot, id) : nullptr;
    return channel != nullptr ? channel : lookUpAndMemoize(slot, id, 0);
}

Channel ChannelManager_acquireChannel(int32_t id) {
    trellum::MemoSlot *slot = trellum::memoSlotFor(id);
    Channel channel = slot != nullptr ? trellum::memoHit(*slot, id) : nullptr;
    if (channel == nullptr) return lookUpAndMemoize(slot, id, 1);
    // The memo's own reference keeps the memory valid even should a delete
    // come in between; the pin then holds a deleted channel, as if the
    // delete had come just after.
    trellum::retainChannel(channel);
    return channel;
}

void ChannelManager_releaseChannel(Channel channel) {
    if (channel != nullptr) trellum::releaseChannel(channel);
}

void ChannelManager_deleteChannel(int32_t id) {
    Channel channel;
    {
        trellum::ScopedLock lock(&_channel_mutex_);
        channel = unlinkChannel(id);
        if (channel != nullptr) markDeletedForMemos(channel);
    }
    if (channel == nullptr) return;
    trellum::markChannelDeleted(channel);
    trellum::releaseChannel(channel);  // the registry's reference
}

} // extern "C"
