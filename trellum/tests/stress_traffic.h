// Messages for the stress tests: each carries a unique value, and a body
// derived from it, so that a lost, duplicated, reordered or torn message
// shows. A Ledger sums up what one side saw.
#ifndef TRELLUM_TESTS_STRESS_TRAFFIC_H
#define TRELLUM_TESTS_STRESS_TRAFFIC_H

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <trellum/trellum.h>

namespace trellum_test {

// How long each stress run lasts. `make soak` raises it through
// TRELLUM_STRESS_SECONDS; the runs are sized by time, so slow builds
// (sanitizers, DRD) do fewer messages, never time out.
inline std::chrono::milliseconds stressDuration(double defaultSeconds) {
    const char *text = std::getenv("TRELLUM_STRESS_SECONDS");
    double seconds = text != nullptr ? std::atof(text) : defaultSeconds;
    if (seconds <= 0) seconds = defaultSeconds;
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// Three priorities, extremes included; a producer's messages of one
// priority must leave in the order it sent them.
inline int32_t priorityOf(uint32_t sequence) {
    static const int32_t kPriorities[] = {INT32_MIN, 0, INT32_MAX};
    return kPriorities[(sequence * 7u) % 3u];
}

inline uint64_t valueOf(uint32_t producer, uint32_t sequence) {
    return (uint64_t{producer} << 32) | sequence;
}

inline uint8_t fillerByte(uint64_t value, size_t k) { return static_cast<uint8_t>(value * 31u + k * 7u); }

// Type: producer; message ID: sequence; attributes: its complement; body:
// the value, then a filler of a length and pattern that depend on it.
inline Message trafficMessage(uint32_t producer, uint32_t sequence) {
    const uint64_t value = valueOf(producer, sequence);
    const size_t length = sizeof value + 8 + value % 57;
    std::vector<uint8_t> body(length);
    std::memcpy(body.data(), &value, sizeof value);
    for (size_t k = sizeof value; k < length; ++k) body[k] = fillerByte(value, k);
    return Message_new(static_cast<int32_t>(producer), priorityOf(sequence), 0,
                       static_cast<int32_t>(sequence), ~static_cast<int32_t>(sequence),
                       static_cast<int32_t>(length), body.data());
}

// Whether every field of `message` agrees with the value it carries: a
// torn copy or a corrupted message fails this.
inline bool wellFormed(Message message, uint64_t *valueOut = nullptr) {
    if (message == nullptr || message->body->length < static_cast<int32_t>(sizeof(uint64_t))) return false;
    uint64_t value;
    std::memcpy(&value, message->body->data, sizeof value);
    const uint32_t producer = static_cast<uint32_t>(value >> 32);
    const uint32_t sequence = static_cast<uint32_t>(value);
    const size_t length = sizeof value + 8 + value % 57;
    if (static_cast<size_t>(message->body->length) != length) return false;
    for (size_t k = sizeof value; k < length; ++k) {
        if (message->body->data[k] != fillerByte(value, k)) return false;
    }
    const _MessageHeader &h = *message->header;
    if (h.type != static_cast<int32_t>(producer) || h.messageID != static_cast<int32_t>(sequence) ||
        h.attributes != ~static_cast<int32_t>(sequence) || h.priority != priorityOf(sequence))
        return false;
    if (valueOut != nullptr) *valueOut = value;
    return true;
}

// What one thread received: count, sum, and per (producer, priority) the
// last sequence, to check first-in first-out among equal priorities.
class Ledger {
public:
    explicit Ledger(uint32_t producers) : last_(producers * 3, -1) {}

    // Records a received message; false when it is malformed or overtook
    // an earlier message of its producer and priority.
    bool record(Message message) {
        uint64_t value;
        if (!wellFormed(message, &value)) return false;
        ++count;
        sum += value;
        const uint32_t producer = static_cast<uint32_t>(value >> 32);
        const uint32_t sequence = static_cast<uint32_t>(value);
        if (producer * 3 >= last_.size()) return false;
        int64_t &last = last_[producer * 3 + (sequence * 7u) % 3u];
        if (static_cast<int64_t>(sequence) <= last) return false;
        last = sequence;
        return true;
    }

    uint64_t count = 0;
    uint64_t sum = 0;

private:
    std::vector<int64_t> last_;
};

// What the consumers' ledgers saw, and what the producers sent (`sent[p]`
// messages by producer p, sequences 0 and up), as counts and value sums.
struct Totals {
    uint64_t count = 0;
    uint64_t sum = 0;
};

inline Totals received(const std::vector<Ledger> &ledgers, Totals start = {}) {
    for (const Ledger &ledger : ledgers) {
        start.count += ledger.count;
        start.sum += ledger.sum;
    }
    return start;
}

inline Totals sentBy(const std::vector<uint32_t> &sent) {
    Totals totals;
    for (uint32_t p = 0; p < sent.size(); ++p) {
        for (uint32_t s = 0; s < sent[p]; ++s) totals.sum += valueOf(p, s);
        totals.count += sent[p];
    }
    return totals;
}

} // namespace trellum_test

#endif
