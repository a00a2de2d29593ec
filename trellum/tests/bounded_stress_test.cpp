// Concurrent stress on bounded pipes with exact accounting. Producers send
// with every kind of send (waiting without limit, trying, waiting a little);
// consumers take with blocking and timed receives; an observer checks the
// limits and the statistics all the while. At the end what was received
// must be exactly what was sent, each producer's messages of one priority in
// the order sent. Sized by time (stressDuration).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "message_helpers.h"
#include "stress_traffic.h"

using trellum_test::eventually;
using trellum_test::Ledger;
using trellum_test::stressDuration;
using trellum_test::trafficMessage;

namespace {

constexpr int64_t kMillis = 1000000;

struct Shape {
    uint32_t producers;
    uint32_t consumers;
    int32_t maxMessages;
    int64_t maxBytes;
};

// Named in test listings by value (the default would print padding bytes).
void PrintTo(const Shape &s, std::ostream *os) {
    *os << s.producers << " producers, " << s.consumers << " consumers, limit " << s.maxMessages << " messages "
        << s.maxBytes << " bytes";
}

class BoundedStress {
public:
    BoundedStress(Channel channel, Shape shape) : channel_(channel), shape_(shape), sent_(shape.producers, 0) {
        for (uint32_t c = 0; c < shape.consumers; ++c) ledgers_.emplace_back(shape.producers);
    }

    void run(std::chrono::milliseconds duration) {
        Channel_setPipeCapacity(channel_, 0, shape_.maxMessages, shape_.maxBytes);
        // For a thread that misses the deadline (the test has failed then):
        // lifting the limit frees the senders, a shutdown the receivers.
        auto release = [this] {
            stopProducing_ = stopConsuming_ = true;
            Channel_setPipeCapacity(channel_, 0, 0, 0);
            Channel_shutdown(channel_, 0);
        };
        trellum_test::StressCrew crew(release);
        crew.start(
            shape_.producers, shape_.consumers, [this](uint32_t p) { produce(p); },
            [this](uint32_t c) { consume(c); }, [this] { observe(); });
        // The consumers still make room while the producers finish.
        ASSERT_TRUE(crew.produceFor(duration, [this] { stopProducing_ = true; }));
        EXPECT_TRUE(eventually([this] { return taken_.load() == added_.load(); }))
            << "received " << taken_ << " of " << added_;
        stopConsuming_ = true;
        Channel_shutdown(channel_, 0);
        ASSERT_TRUE(crew.consumers.joinAll());
        ASSERT_TRUE(crew.observer.joinAll());
        Channel_startup(channel_, 0);
        check();
    }

    uint64_t messages() const { return added_; }
    long observations() const { return observations_; }

private:
    // Sends in turn with each kind of send; one turned away is retried
    // until it goes in, so that the sequence numbers have no gaps.
    void produce(uint32_t producer) {
        uint32_t sequence = 0;
        while (!stopProducing_) {
            Message message = trafficMessage(producer, sequence);
            ASSERT_NE(message, nullptr);
            int32_t status = TRELLUM_ADDED;
            switch (sequence % 3) {
            case 0:
                Channel_addToPipe(channel_, 0, message);
                break;
            case 1:
                while ((status = Channel_timedAddToPipe(channel_, 0, message, 0)) == TRELLUM_TIMED_OUT &&
                       !stopProducing_) {
                    std::this_thread::yield();
                }
                break;
            default:
                while ((status = Channel_timedAddToPipe(channel_, 0, message, kMillis)) == TRELLUM_TIMED_OUT &&
                       !stopProducing_) {
                }
                break;
            }
            if (status != TRELLUM_ADDED) {
                if (status != TRELLUM_TIMED_OUT) ++faults_;
                Message_free(message);  // turned away: still ours
                break;
            }
            ++added_;
            ++sequence;
        }
        sent_[producer] = sequence;
    }

    // Even consumers block; odd ones alternate a try and a short timed wait.
    void consume(uint32_t consumer) {
        Ledger &ledger = ledgers_[consumer];
        for (uint64_t round = 0;; ++round) {
            Message message = nullptr;
            if (consumer % 2 == 0) {
                message = Channel_removeFromPipe(channel_, 0);
            } else {
                int32_t status = Channel_timedRemoveFromPipe(channel_, 0, round % 2 ? kMillis : 0, &message);
                if (status != TRELLUM_RECEIVED && status != TRELLUM_TIMED_OUT && status != TRELLUM_SHUT_DOWN)
                    ++faults_;
            }
            if (message != nullptr) {
                if (!ledger.record(message)) ++faults_;
                Message_free(message);
                ++taken_;
                continue;
            }
            if (stopConsuming_) return;
            std::this_thread::yield();
        }
    }

    // The limits hold at every instant, and the statistics, read at one
    // instant, agree with each other: nothing is cleared here, so what was
    // added and not removed is what is queued.
    void observe() {
        while (!stopConsuming_) {
            const int32_t size = Channel_sizeOfPipe(channel_, 0);
            if (shape_.maxMessages > 0 && size > shape_.maxMessages) ++observerFaults_;
            PipeStats stats;
            std::memset(&stats, 0, sizeof stats);
            stats.structSize = sizeof stats;
            if (Channel_statsOfPipe(channel_, 0, &stats) != TRELLUM_RECEIVED) ++observerFaults_;
            if (shape_.maxMessages > 0 && (stats.size > shape_.maxMessages || stats.highWaterSize > shape_.maxMessages))
                ++observerFaults_;
            if (shape_.maxBytes > 0 && stats.bytes > shape_.maxBytes && stats.size > 1) ++observerFaults_;
            if (stats.added - stats.removed != stats.size || stats.size < 0 || stats.bytes < 0) ++observerFaults_;
            if (stats.waitingSenders < 0 || stats.waitingSenders > static_cast<int32_t>(shape_.producers) ||
                stats.waitingReceivers < 0 || stats.waitingReceivers > static_cast<int32_t>(shape_.consumers))
                ++observerFaults_;
            ++observations_;
            std::this_thread::yield();  // under DRD a spinning observer would starve the others
        }
    }

    void check() {
        const trellum_test::Totals got = trellum_test::received(ledgers_), sent = trellum_test::sentBy(sent_);
        const uint64_t count = got.count, sum = got.sum, sentCount = sent.count, sentSum = sent.sum;
        EXPECT_EQ(faults_.load(), 0) << "malformed messages, FIFO breaches or bad statuses";
        EXPECT_EQ(observerFaults_.load(), 0) << "a limit exceeded or inconsistent statistics";
        EXPECT_EQ(sentCount, added_.load());
        EXPECT_EQ(count, sentCount) << "messages received against messages sent";
        EXPECT_EQ(sum, sentSum) << "sum of values received against sum sent";
        EXPECT_GT(sentCount, 0u);
        PipeStats stats;
        std::memset(&stats, 0, sizeof stats);
        stats.structSize = sizeof stats;
        ASSERT_EQ(Channel_statsOfPipe(channel_, 0, &stats), TRELLUM_RECEIVED);
        EXPECT_EQ(stats.size, 0);
        EXPECT_EQ(stats.bytes, 0);
        EXPECT_EQ(static_cast<uint64_t>(stats.added), sentCount);
        EXPECT_EQ(static_cast<uint64_t>(stats.removed), count);
        EXPECT_EQ(stats.waitingSenders, 0);
        EXPECT_EQ(stats.waitingReceivers, 0);
    }

    Channel channel_;
    Shape shape_;
    std::vector<uint32_t> sent_;   // per producer; each written by its producer only
    std::vector<Ledger> ledgers_;  // per consumer; each written by its consumer only
    std::atomic<uint64_t> added_{0}, taken_{0};
    std::atomic<bool> stopProducing_{false}, stopConsuming_{false};
    std::atomic<int> faults_{0}, observerFaults_{0};
    std::atomic<long> observations_{0};
};

class BoundedAccounting : public ::testing::TestWithParam<Shape> {};

TEST_P(BoundedAccounting, EveryMessageArrivesOnceInOrderWithinTheLimits) {
    trellum_test::OwnedChannel channel(Channel_new(1));
    BoundedStress stress(channel.get(), GetParam());
    stress.run(stressDuration(1));
    std::printf("[stress] %ux%u, limit %d messages %lld bytes: %llu messages, %ld observations\n",
                GetParam().producers, GetParam().consumers, GetParam().maxMessages,
                static_cast<long long>(GetParam().maxBytes), static_cast<unsigned long long>(stress.messages()),
                stress.observations());
}

INSTANTIATE_TEST_SUITE_P(Limits, BoundedAccounting,
                         ::testing::Values(Shape{4, 2, 1, 0}, Shape{2, 4, 2, 0}, Shape{4, 4, 64, 0},
                                           Shape{3, 2, 0, 200}),
                         [](const ::testing::TestParamInfo<Shape> &info) {
                             const Shape &s = info.param;
                             return std::to_string(s.producers) + "x" + std::to_string(s.consumers) + "_" +
                                    (s.maxMessages > 0 ? std::to_string(s.maxMessages) + "messages"
                                                       : std::to_string(s.maxBytes) + "bytes");
                         });

} // namespace
