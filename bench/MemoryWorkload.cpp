// Heap bytes per queued message and per idle registered channel, read from the C allocator's own accounting,
// which sees the library's allocations and the peer's alike.
#include <malloc.h>

#include <memory>
#include <string>
#include <vector>

#include "TestData.h"
#include "Workloads.h"

namespace bench {
namespace {

constexpr int32_t kChannelId = 29;

// Bytes in use in the heap, chunk overheads included, mapped blocks too.
// Allocators that bypass glibc's (as the sanitizers' do) leave it unchanged.
size_t heapInUse() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

double perMessage(size_t before, size_t after, int32_t messages) {
    return after > before ? static_cast<double>(after - before) / messages : 0;
}

// The channel itself is counted on both sides; over 100,000 messages it is noise.
double libraryBytes(int32_t messages) {
    size_t before = heapInUse();
    Channel channel = Channel_new(kChannelId);
    for (int32_t i = 0; i < messages; ++i) Channel_addToPipe(channel, 0, newLibraryMessage(kChannelId, 0, i));
    size_t after = heapInUse();
    if (Channel_sizeOfPipe(channel, 0) != messages) reportFault("bytes per queued message", "the library lost messages");
    Channel_free(channel);
    return perMessage(before, after, messages);
}

double peerBytes(int32_t messages) {
    size_t before = heapInUse();
    auto channel = std::make_unique<peer::Channel>(kChannelId);
    for (int32_t i = 0; i < messages; ++i) channel->pipes[0].add(newPeerMessage(kChannelId, 0, i));
    size_t after = heapInUse();
    if (channel->pipes[0].size() != static_cast<size_t>(messages))
        reportFault("bytes per queued message", "the peer lost messages");
    return perMessage(before, after, messages);
}

// What registering one more channel costs once the registry is past its
// first growth: the bytes added by going from `from` to `to` channels, per
// channel, with the registry's table counted on both sides.
template <typename Register>
double perIdleChannel(const std::vector<int32_t> &ids, size_t from, Register registerId) {
    for (size_t i = 0; i < from; ++i) registerId(ids[i]);
    size_t before = heapInUse();
    for (size_t i = from; i < ids.size(); ++i) registerId(ids[i]);
    return perMessage(before, heapInUse(), static_cast<int32_t>(ids.size() - from));
}

double libraryIdleBytes(const std::vector<int32_t> &ids, size_t from) {
    double bytes = perIdleChannel(ids, from, [](int32_t id) { ChannelManager_createOrGetChannel(id); });
    for (int32_t id : ids) ChannelManager_deleteChannel(id);
    return bytes;
}

double peerIdleBytes(const std::vector<int32_t> &ids, size_t from) {
    peer::Registry registry;
    return perIdleChannel(ids, from, [&](int32_t id) { registry.createOrGet(id); });
}

} // namespace

void addMemoryRow(const Settings &settings, std::vector<Row> &rows) {
    const int32_t messages = settings.memoryMessages;
    // Deterministic: one round each is enough.
    double library = libraryBytes(messages);
    double peer = peerBytes(messages);
    rows.push_back(Row{"bytes per message, " + std::to_string(messages) + " queued", "B/msg", library, peer, 1.0});

    const size_t from = 100, to = settings.quick ? 1000 : 10000;
    const std::vector<int32_t> ids = scatteredIds(to);
    rows.push_back(Row{"bytes per idle channel, " + std::to_string(from) + " -> " + std::to_string(to) + " registered",
                       "B/channel", libraryIdleBytes(ids, from), peerIdleBytes(ids, from), 1.0});
}

} // namespace bench
