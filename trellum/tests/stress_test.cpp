// Concurrent stress with exact accounting. Producers send messages that
// each carry a unique value; consumers take them (blocking and timed
// receives); observers peek copies and read the size all the while. At the
// end the count and the sum of what was received, plus what was left in the
// pipe, must equal what was sent, and the pipe must be empty. Sized by time
// (stressDuration), so slow builds do less work instead of timing out.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "message_helpers.h"
#include "stress_traffic.h"

using trellum_test::BoundedThreads;
using trellum_test::eventually;
using trellum_test::Ledger;
using trellum_test::OwnedMessage;
using trellum_test::stressDuration;
using trellum_test::trafficMessage;
using trellum_test::wellFormed;

namespace {

// Producers wait while this many messages are queued, so that a fast
// producer cannot exhaust memory while consumers are slowed down.
constexpr uint64_t kBacklog = 4096;

struct Shape {
    uint32_t producers;
    uint32_t consumers;
    bool cycleShutdown;  // a thread shuts the pipe down and starts it up again all the while
};

class PipeStress {
public:
    PipeStress(Channel channel, int32_t pipe, Shape shape)
        : channel_(channel), pipe_(pipe), shape_(shape), sent_(shape.producers, 0) {
        for (uint32_t c = 0; c < shape.consumers; ++c) ledgers_.emplace_back(shape.producers);
    }

    void run(std::chrono::milliseconds duration) {
        // Should a thread miss the deadline, stopping everything and a
        // shutdown release it (the test has failed by then).
        auto release = [this] {
            stopProducing_ = stopConsuming_ = stopCycling_ = true;
            Channel_shutdown(channel_, pipe_);
        };
        BoundedThreads producers(release), consumers(release), observers(release), cycler(release);
        for (uint32_t p = 0; p < shape_.producers; ++p) producers.start([this, p] { produce(p); });
        for (uint32_t c = 0; c < shape_.consumers; ++c) consumers.start([this, c] { consume(c); });
        for (int o = 0; o < 2; ++o) observers.start([this] { observe(); });
        if (shape_.cycleShutdown) cycler.start([this] { cycle(); });

        std::this_thread::sleep_for(duration);
        stopProducing_ = true;
        ASSERT_TRUE(producers.joinAll());
        // Before the final shutdown: a startup after it would leave the
        // consumers that come back to the pipe waiting for ever.
        stopCycling_ = true;
        ASSERT_TRUE(cycler.joinAll());
        if (!shape_.cycleShutdown) {
            // A running pipe: the consumers take everything.
            EXPECT_TRUE(eventually([this] { return taken_.load() == attempted_.load(); }))
                << "received " << taken_ << " of " << attempted_;
        }
        stopConsuming_ = true;
        Channel_shutdown(channel_, pipe_);  // releases the consumers blocked in a receive
        ASSERT_TRUE(consumers.joinAll());
        ASSERT_TRUE(observers.joinAll());
        Channel_startup(channel_, pipe_);
        drainAndCheck();
    }

    uint64_t messages() const { return attempted_; }
    long observations() const { return observations_; }
    long cycles() const { return cycles_; }

private:
    void produce(uint32_t producer) {
        uint32_t sequence = 0;
        while (!stopProducing_) {
            if (attempted_.load() - taken_.load() >= kBacklog) {
                std::this_thread::yield();
                continue;
            }
            Message message = trafficMessage(producer, sequence);
            ASSERT_NE(message, nullptr);
            ++attempted_;  // before the add: observers bound the size by it
            Channel_addToPipe(channel_, pipe_, message);
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
                message = Channel_removeFromPipe(channel_, pipe_);
            } else {
                int32_t status = Channel_timedRemoveFromPipe(channel_, pipe_, round % 2 ? 1000000 : 0, &message);
                if (status != TRELLUM_RECEIVED && status != TRELLUM_TIMED_OUT && status != TRELLUM_SHUT_DOWN)
                    ++faults_;
            }
            if (message != nullptr) {
                if (!ledger.record(message)) ++faults_;
                Message_free(message);
                ++taken_;  // after the receive: observers bound the size by it
                continue;
            }
            if (stopConsuming_) return;
            std::this_thread::yield();  // the pipe is shut down, or was empty
        }
    }

    // The size stays between 0 and what was added minus what was taken, and
    // a copied first message is never torn.
    void observe() {
        while (!stopConsuming_) {
            const uint64_t taken = taken_.load();
            const int32_t size = Channel_sizeOfPipe(channel_, pipe_);
            const uint64_t attempted = attempted_.load();
            if (size < 0 || static_cast<uint64_t>(size) > attempted - taken) ++observerFaults_;
            OwnedMessage copy(Channel_peekCopyFromPipe(channel_, pipe_));
            if (copy && !wellFormed(copy.get())) ++observerFaults_;
            Message checked = nullptr;
            int32_t status = Channel_checkedPeekCopyFromPipe(channel_, pipe_, &checked);
            OwnedMessage owned(checked);
            if (status == TRELLUM_RECEIVED ? !wellFormed(checked) : status != TRELLUM_EMPTY) ++observerFaults_;
            ++observations_;
        }
    }

    void cycle() {
        while (!stopCycling_) {
            Channel_shutdown(channel_, pipe_);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            Channel_startup(channel_, pipe_);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ++cycles_;
        }
    }

    // Takes what is left, then checks the whole account.
    void drainAndCheck() {
        Ledger left(shape_.producers);
        Message message = nullptr;
        while (Channel_timedRemoveFromPipe(channel_, pipe_, 0, &message) == TRELLUM_RECEIVED) {
            EXPECT_TRUE(left.record(message)) << "a malformed or reordered message was left in the pipe";
            Message_free(message);
        }
        const trellum_test::Totals got = trellum_test::received(ledgers_, {left.count, left.sum});
        const trellum_test::Totals sent = trellum_test::sentBy(sent_);
        const uint64_t count = got.count, sum = got.sum, sentCount = sent.count, sentSum = sent.sum;
        EXPECT_EQ(faults_.load(), 0) << "malformed messages, FIFO breaches or bad statuses at the consumers";
        EXPECT_EQ(observerFaults_.load(), 0) << "sizes out of bounds or torn copies seen by observers";
        EXPECT_EQ(sentCount, attempted_.load());
        EXPECT_EQ(count, sentCount) << "messages received (and left) against messages sent";
        EXPECT_EQ(sum, sentSum) << "sum of values received against sum sent";
        EXPECT_EQ(Channel_sizeOfPipe(channel_, pipe_), 0);
        EXPECT_EQ(Channel_peekCopyFromPipe(channel_, pipe_), nullptr);
        EXPECT_GT(sentCount, 0u);
        if (!shape_.cycleShutdown) {
            EXPECT_EQ(left.count, 0u) << "consumers left messages in a running pipe";
        }
    }

    Channel channel_;
    int32_t pipe_;
    Shape shape_;
    std::vector<uint32_t> sent_;     // per producer; each written by its producer only
    std::vector<Ledger> ledgers_;    // per consumer; each written by its consumer only
    std::atomic<uint64_t> attempted_{0}, taken_{0};
    std::atomic<bool> stopProducing_{false}, stopConsuming_{false}, stopCycling_{false};
    std::atomic<int> faults_{0}, observerFaults_{0};
    std::atomic<long> observations_{0}, cycles_{0};
};

void report(const char *name, const Shape &shape, const PipeStress &stress) {
    std::printf("[stress] %s %ux%u: %llu messages, %ld observations, %ld shutdown cycles\n", name,
                shape.producers, shape.consumers, static_cast<unsigned long long>(stress.messages()),
                stress.observations(), stress.cycles());
}

class Accounting : public ::testing::TestWithParam<Shape> {};

TEST_P(Accounting, EveryMessageArrivesOnceInOrderAndNoCopyIsTorn) {
    trellum_test::OwnedChannel channel(Channel_new(1));
    PipeStress stress(channel.get(), 1, GetParam());
    stress.run(stressDuration(2));
    report("running pipe", GetParam(), stress);
}

INSTANTIATE_TEST_SUITE_P(Shapes, Accounting,
                         ::testing::Values(Shape{1, 1, false}, Shape{1, 4, false}, Shape{4, 1, false},
                                           Shape{2, 2, false}, Shape{8, 8, false}),
                         [](const ::testing::TestParamInfo<Shape> &info) {
                             return std::to_string(info.param.producers) + "x" +
                                    std::to_string(info.param.consumers);
                         });

// Shutdown and startup all the while, on a registry channel reached through
// a pin: receives end early, and what is left in the pipe is counted too.
TEST(AccountingUnderShutdownCycles, EveryMessageIsReceivedOrLeftInThePipe) {
    const int32_t id = 770001;
    Channel channel = ChannelManager_acquireChannel(id);
    for (Shape shape : {Shape{4, 4, true}, Shape{8, 2, true}}) {
        PipeStress stress(channel, 0, shape);
        stress.run(stressDuration(2) / 2);
        report("shutdown cycles", shape, stress);
    }
    ChannelManager_releaseChannel(channel);
    ChannelManager_deleteChannel(id);
}

} // namespace
