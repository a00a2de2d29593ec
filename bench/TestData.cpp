#include "TestData.h"

namespace bench {

const uint8_t *bodyBytes() {
    static const struct Pattern {
        Pattern() {
            for (int32_t i = 0; i < kBodySize; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
        }
        uint8_t bytes[kBodySize];
    } pattern;
    return pattern.bytes;
}

std::vector<int32_t> randomValuesBelow(size_t count, int32_t bound) {
    std::vector<int32_t> values(count);
    uint64_t state = 0x2545f4914f6cdd1dull;
    for (int32_t &value : values) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        value = static_cast<int32_t>((state >> 33) % static_cast<uint64_t>(bound));
    }
    return values;
}

std::vector<int32_t> scatteredIds(size_t count) {
    std::vector<int32_t> ids(count);
    for (size_t i = 0; i < count; ++i) {
        // The finalizer of MurmurHash3: a bijection on 32 bits, so the IDs are distinct.
        uint32_t x = static_cast<uint32_t>(i) + 0x9e3779b9u;
        x ^= x >> 16;
        x *= 0x85ebca6bu;
        x ^= x >> 13;
        x *= 0xc2b2ae35u;
        x ^= x >> 16;
        ids[i] = static_cast<int32_t>(x);
    }
    return ids;
}

} // namespace bench
