// Several producers hand messages to several consumers through one pipe.
// Besides exact accounting and first-in first-out per producer, it checks
// what a returned add promises the other threads:
//  - order across producers: when one add returned before another began,
//    and both have the same priority, no consumer takes the later first;
//  - visibility: the size, a peek, the statistics and a snapshot count every
//    add that returned before they were asked, less what consumers may have
//    taken by the time they answered.
// Sized by time (stressDuration), bounded by StressCrew.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "message_helpers.h"
#include "stress_traffic.h"

using trellum_test::Ledger;
using trellum_test::OwnedMessage;

namespace {

constexpr uint64_t kBacklog = 2048;
// Bounds the logs' memory however long a soak runs.
constexpr uint64_t kMaxMessages = 2000000;

// When an add began and in which place it returned, on one clock that every
// producer ticks after its add returns.
struct AddTimes {
    uint64_t began;     // adds returned before this one began
    uint64_t returned;  // adds returned before this one returned
};

struct Shape {
    uint32_t producers;
    uint32_t consumers;
};

void PrintTo(const Shape &s, std::ostream *os) { *os << s.producers << " producers, " << s.consumers << " consumers"; }

class HandoffStress {
public:
    HandoffStress(Channel channel, Shape shape)
        : channel_(channel), shape_(shape), times_(shape.producers), taken_(shape.consumers),
          sent_(shape.producers, 0) {}

    void run(std::chrono::milliseconds duration) {
        auto release = [this] {
            stop_ = true;
            Channel_shutdown(channel_, 0);
        };
        trellum_test::StressCrew crew(release);
        crew.start(
            shape_.producers, shape_.consumers, [this](uint32_t p) { produce(p); },
            [this](uint32_t c) { consume(c); }, [this] { observe(); });
        ASSERT_TRUE(crew.produceFor(duration, [this] { stop_ = true; }));
        ASSERT_TRUE(trellum_test::eventually([this] { return takes_.load() == clock_.load(); }))
            << "received " << takes_ << " of " << clock_;
        Channel_shutdown(channel_, 0);  // the consumers blocked in a receive return
        ASSERT_TRUE(crew.consumers.joinAll());
        ASSERT_TRUE(crew.observer.joinAll());
        check();
    }

private:
    void produce(uint32_t producer) {
        uint32_t sequence = 0;
        while (!stop_ && clock_.load() < kMaxMessages) {
            if (clock_.load() - takes_.load() >= kBacklog) {
                std::this_thread::yield();
                continue;
            }
            Message message = trellum_test::trafficMessage(producer, sequence);
            ASSERT_NE(message, nullptr);
            const uint64_t began = clock_.load();
            // Both kinds of add: the plain one and a send that may wait.
            if (sequence % 2 == 0) {
                Channel_addToPipe(channel_, 0, message);
            } else if (Channel_timedAddToPipe(channel_, 0, message, 1000000000) != TRELLUM_ADDED) {
                ++faults_;
                Message_free(message);
                break;
            }
            times_[producer].push_back(AddTimes{began, clock_.fetch_add(1)});
            ++sequence;
        }
        sent_[producer] = sequence;
    }

    // Even consumers block, odd ones wait briefly; each logs what it took, in order.
    void consume(uint32_t consumer) {
        for (uint64_t round = 0;; ++round) {
            Message message = nullptr;
            ++claims_;
            if (consumer % 2 == 0) {
                message = Channel_removeFromPipe(channel_, 0);
            } else {
                Channel_timedRemoveFromPipe(channel_, 0, round % 2 ? 1000000 : 0, &message);
            }
            if (message != nullptr) {
                uint64_t value;
                if (trellum_test::wellFormed(message, &value)) taken_[consumer].push_back(value);
                else ++faults_;
                Message_free(message);
                ++takes_;
                continue;
            }
            --claims_;
            if (stop_ && takes_.load() == clock_.load()) return;
            std::this_thread::yield();
        }
    }

    // `returned` adds had returned before the look began, and no more
    // messages than the consumers' claims can have been taken when it ended:
    // at least the difference is queued. A consumer claims before each
    // receive and withdraws the claim when it got nothing.
    void observe() {
        while (!stop_) {
            uint64_t returned = clock_.load();
            const int32_t size = Channel_sizeOfPipe(channel_, 0);
            if (static_cast<int64_t>(size) < atLeastQueued(returned)) ++lateViews_;

            returned = clock_.load();
            OwnedMessage first(Channel_peekCopyFromPipe(channel_, 0));
            if (!first && atLeastQueued(returned) > 0) ++lateViews_;

            returned = clock_.load();
            PipeStats stats;
            std::memset(&stats, 0, sizeof stats);
            stats.structSize = sizeof stats;
            if (Channel_statsOfPipe(channel_, 0, &stats) != TRELLUM_RECEIVED ||
                static_cast<uint64_t>(stats.added) < returned || stats.size < atLeastQueued(returned))
                ++lateViews_;

            returned = clock_.load();
            Message copies[4];
            int32_t count = 0;
            if (Channel_copyOfPipe(channel_, 0, copies, 4, &count) != TRELLUM_RECEIVED) ++lateViews_;
            for (int32_t i = 0; i < std::min(count, 4); ++i) Message_free(copies[i]);
            if (count < atLeastQueued(returned)) ++lateViews_;
            std::this_thread::yield();
        }
    }

    int64_t atLeastQueued(uint64_t returned) const {
        return static_cast<int64_t>(returned) - static_cast<int64_t>(claims_.load());
    }

    void check() {
        std::vector<Ledger> ledgers;
        for (const std::vector<uint64_t> &log : taken_) {
            ledgers.emplace_back(shape_.producers);
            for (uint64_t value : log) {
                OwnedMessage message(trellum_test::trafficMessage(static_cast<uint32_t>(value >> 32),
                                                                  static_cast<uint32_t>(value)));
                if (!ledgers.back().record(message.get())) ++faults_;
            }
        }
        const trellum_test::Totals got = trellum_test::received(ledgers);
        const trellum_test::Totals sent = trellum_test::sentBy(sent_);
        EXPECT_EQ(faults_.load(), 0) << "malformed messages, failed sends or FIFO breaches within a producer";
        EXPECT_EQ(got.count, sent.count);
        EXPECT_EQ(got.sum, sent.sum);
        EXPECT_GT(sent.count, 0u);
        EXPECT_EQ(Channel_sizeOfPipe(channel_, 0), 0);
        EXPECT_EQ(lateViews_.load(), 0) << "a size, peek, statistic or snapshot missed a returned add";
        EXPECT_EQ(overtakes(), 0u) << "a message left ahead of one of equal priority whose add returned first";
    }

    // Walks each consumer's log backwards, keeping per priority the earliest
    // return among the messages it took later: one that returned before the
    // current message's add began was overtaken.
    uint64_t overtakes() const {
        uint64_t count = 0;
        for (const std::vector<uint64_t> &log : taken_) {
            uint64_t earliestLater[3] = {UINT64_MAX, UINT64_MAX, UINT64_MAX};
            for (auto it = log.rbegin(); it != log.rend(); ++it) {
                const AddTimes &t = times_[*it >> 32][static_cast<uint32_t>(*it)];
                const uint32_t priority = (static_cast<uint32_t>(*it) * 7u) % 3u;  // as priorityOf
                if (earliestLater[priority] < t.began) ++count;
                earliestLater[priority] = std::min(earliestLater[priority], t.returned);
            }
        }
        return count;
    }

    Channel channel_;
    Shape shape_;
    std::vector<std::vector<AddTimes>> times_;  // per producer, by sequence; each written by its producer
    std::vector<std::vector<uint64_t>> taken_;  // per consumer, in the order taken
    std::vector<uint32_t> sent_;
    std::atomic<uint64_t> clock_{0}, takes_{0};
    std::atomic<int64_t> claims_{0};
    std::atomic<bool> stop_{false};
    std::atomic<int> faults_{0}, lateViews_{0};
};

class Handoff : public ::testing::TestWithParam<Shape> {};

TEST_P(Handoff, AccountsExactlyAndKeepsTheOrderInWhichAddsReturned) {
    trellum_test::OwnedChannel channel(Channel_new(1));
    HandoffStress stress(channel.get(), GetParam());
    stress.run(trellum_test::stressDuration(2));
}

INSTANTIATE_TEST_SUITE_P(Shapes, Handoff, ::testing::Values(Shape{4, 1}, Shape{3, 2}, Shape{2, 3}),
                         [](const ::testing::TestParamInfo<Shape> &info) {
                             return std::to_string(info.param.producers) + "x" +
                                    std::to_string(info.param.consumers);
                         });

} // namespace
