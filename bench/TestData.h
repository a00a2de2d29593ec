// Message contents shared by the workloads: both sides queue identical messages.
#ifndef TRELLUM_BENCH_TEST_DATA_H
#define TRELLUM_BENCH_TEST_DATA_H

#include <stdint.h>

#include <vector>

#include <trellum/trellum.h>

#include "PeerChannel.h"

namespace bench {

constexpr int32_t kBodySize = 64;

// kBodySize bytes of a fixed pattern.
const uint8_t *bodyBytes();

// `count` values drawn evenly from [0, bound) by a fixed-seed generator.
std::vector<int32_t> randomValuesBelow(size_t count, int32_t bound);

// `count` distinct, well scattered channel IDs, negatives included.
std::vector<int32_t> scatteredIds(size_t count);

inline Message newLibraryMessage(int32_t channelId, int32_t priority, int32_t messageId) {
    return Message_new(1, priority, channelId, messageId, 0, kBodySize, bodyBytes());
}

inline peer::Message newPeerMessage(int32_t channelId, int32_t priority, int32_t messageId) {
    return peer::Message(peer::Header{1, priority, channelId, messageId, 0}, bodyBytes(), kBodySize);
}

} // namespace bench

#endif
