// A pipe hands out lower priorities first and equal priorities in the order
// they were added. Besides fixed cases, a randomized run against a reference
// model checks the whole queue after every step.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_receive.h"
#include "message_helpers.h"
#include "pipe_inspect.h"

using trellum_test::OwnedChannel;
using trellum_test::OwnedMessage;
using trellum_test::Queued;

namespace {

// Removes everything queued (the pipe must be running) and returns it in order.
std::vector<Queued> drain(Channel channel, int pipe) {
    std::vector<Queued> taken;
    // A queued first message means the receive cannot block.
    while (Channel_peekFromPipe(channel, pipe) != nullptr) {
        OwnedMessage message(Channel_removeFromPipe(channel, pipe));
        if (!message) break;
        taken.push_back({message->header->priority, message->header->messageID});
    }
    return taken;
}

std::vector<int32_t> priorities(const std::vector<Queued> &queued) {
    std::vector<int32_t> result;
    for (const Queued &q : queued) result.push_back(q.priority);
    return result;
}

std::vector<int32_t> ids(const std::vector<Queued> &queued) {
    std::vector<int32_t> result;
    for (const Queued &q : queued) result.push_back(q.messageID);
    return result;
}

TEST(PipeOrder, LowerPriorityFirst) {
    OwnedChannel channel(Channel_new(1));
    for (int32_t p : {5, 1, 3}) Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(p, p));
    EXPECT_EQ(priorities(drain(channel.get(), 0)), (std::vector<int32_t>{1, 3, 5}));
}

TEST(PipeOrder, EqualPrioritiesKeepTheirOrderAndLowerOnesOvertake) {
    OwnedChannel channel(Channel_new(1));
    for (int32_t id : {1, 2, 3}) Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(7, id));
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(6, 4));
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(7, 5));
    EXPECT_EQ(ids(drain(channel.get(), 0)), (std::vector<int32_t>{4, 1, 2, 3, 5}));
}

// A message put back after a failed delivery is taken first again, ahead of
// its equals, even into a full bounded pipe, and counts as never taken;
// later adds of every priority still find their places.
TEST(PipeOrder, ReturnedMessagesGoAheadOfTheirEqualsWhateverTheCapacity) {
    OwnedChannel channel(Channel_new(1));
    Channel_setPipeCapacity(channel.get(), 0, 3, 0);
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(2, 20));
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(2, 21));
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(4, 40));
    Message taken = Channel_removeFromPipe(channel.get(), 0);
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(3, 30));  // full again
    Channel_returnToPipe(channel.get(), 0, taken);
    PipeStats stats = {sizeof stats, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(Channel_statsOfPipe(channel.get(), 0, &stats), TRELLUM_RECEIVED);
    EXPECT_EQ(stats.size, 4);
    EXPECT_EQ(stats.added, 4);
    EXPECT_EQ(stats.removed, 0);

    // Both of priority 2 out, then back in reverse: the index must make a
    // new entry for a priority no longer queued.
    Message first = Channel_removeFromPipe(channel.get(), 0);
    Message second = Channel_removeFromPipe(channel.get(), 0);
    Channel_returnToPipe(channel.get(), 0, second);
    Channel_returnToPipe(channel.get(), 0, first);
    Channel_setPipeCapacity(channel.get(), 0, 0, 0);
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(2, 22));
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(1, 11));
    EXPECT_EQ(ids(drain(channel.get(), 0)), (std::vector<int32_t>{11, 20, 21, 22, 30, 40}));
}

TEST(PipeOrder, NegativePrioritiesComeFirstWithSignedComparison) {
    OwnedChannel channel(Channel_new(1));
    const std::vector<int32_t> added = {0, INT32_MAX, -1, 1, INT32_MIN, -100, 100};
    for (int32_t p : added) Channel_addToPipe(channel.get(), 1, trellum_test::makeMessage(p, p));
    EXPECT_EQ(priorities(drain(channel.get(), 1)),
              (std::vector<int32_t>{INT32_MIN, -100, -1, 0, 1, 100, INT32_MAX}));
}

// Messages assembled from separate allocations queue in nodes of their own;
// they must sort, dequeue and free exactly like one-block messages.
TEST(PipeOrder, HandAssembledAndBuiltMessagesMix) {
    OwnedChannel channel(Channel_new(1));
    Channel_addToPipe(channel.get(), 0, trellum_test::assembleMessage(2, 1));
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(2, 2));
    Channel_addToPipe(channel.get(), 0, trellum_test::assembleMessage(1, 3));
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(0, 4));
    Channel_addToPipe(channel.get(), 0, trellum_test::assembleMessage(2, 5));
    EXPECT_EQ(ids(trellum_test::queuedMessages(channel.get(), 0)), (std::vector<int32_t>{4, 3, 1, 2, 5}));

    OwnedMessage first(trellum_test::receiveWithin(channel.get(), 0));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->header->messageID, 4);
    OwnedMessage second(trellum_test::receiveWithin(channel.get(), 0));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->header->messageID, 3);
    int32_t body;
    std::memcpy(&body, second->body->data, sizeof body);
    EXPECT_EQ(body, 3);
    // The remaining three, one of each kind, go with the channel.
}

// ---- randomized run against a reference model --------------------------------

// The queue as it must be: sorted by priority, first-in first-out among equals.
class ReferencePipe {
public:
    void add(Queued queued) {
        auto at = std::upper_bound(queue_.begin(), queue_.end(), queued,
                                   [](const Queued &a, const Queued &b) { return a.priority < b.priority; });
        queue_.insert(at, queued);
    }
    Queued removeFirst() {
        Queued first = queue_.front();
        queue_.erase(queue_.begin());
        return first;
    }
    void clear() { queue_.clear(); }
    const std::vector<Queued> &queue() const { return queue_; }

private:
    std::vector<Queued> queue_;
};

// What every step must leave behind: the pipe's list equals the model, is
// sorted, keeps FIFO among equal priorities (IDs are handed out rising), and
// its count agrees; the other pipe is untouched.
void expectPipeMatches(Channel channel, int pipe, const ReferencePipe &model) {
    const std::vector<Queued> actual = trellum_test::queuedMessages(channel, pipe);
    for (size_t i = 1; i < actual.size(); ++i) {
        const Queued &before = actual[i - 1], &after = actual[i];
        ASSERT_TRUE(before.priority < after.priority ||
                    (before.priority == after.priority && before.messageID < after.messageID))
            << "queue out of order at position " << i;
    }
    ASSERT_TRUE(actual == model.queue()) << "queue differs from the model";
    ASSERT_EQ(Channel_sizeOfPipe(channel, pipe), static_cast<int32_t>(model.queue().size()));
    ASSERT_EQ(Channel_sizeOfPipe(channel, 1 - pipe), 0);
}

struct PriorityPattern {
    const char *name;
    std::function<int32_t(std::mt19937 &, int32_t step)> next;
};

void PrintTo(const PriorityPattern &pattern, std::ostream *out) { *out << pattern.name; }

class RandomizedPipe : public testing::TestWithParam<PriorityPattern> {};

TEST_P(RandomizedPipe, MatchesModelAfterEveryStep) {
    const PriorityPattern &pattern = GetParam();
    std::mt19937 random(20240611);
    OwnedChannel channel(Channel_new(9));
    ReferencePipe model;
    int32_t nextID = 0;

    // Grow deep, churn, drain: the index grows, its live range drifts and is
    // compacted, and it empties and starts over.
    struct Phase {
        int steps;
        double addChance;
    };
    const Phase phases[] = {{1500, 0.85}, {4000, 0.5}, {1500, 0.15}, {2000, 0.55}, {1500, 0.1}};
    for (const Phase &phase : phases) {
        for (int step = 0; step < phase.steps; ++step) {
            const double roll = std::uniform_real_distribution<double>(0, 1)(random);
            if (roll < 0.001) {
                Channel_clearPipe(channel.get(), 0);
                model.clear();
            } else if (roll < phase.addChance || model.queue().empty()) {
                const Queued queued{pattern.next(random, nextID), nextID++};
                // One in eight assembled by hand, so their separate nodes mix in.
                Message message = (queued.messageID % 8 == 0)
                                      ? trellum_test::assembleMessage(queued.priority, queued.messageID)
                                      : trellum_test::makeMessage(queued.priority, queued.messageID);
                ASSERT_NE(message, nullptr);
                Channel_addToPipe(channel.get(), 0, message);
                model.add(queued);
            } else {
                const Queued expected = model.removeFirst();
                OwnedMessage peeked(Channel_peekCopyFromPipe(channel.get(), 0));
                ASSERT_TRUE(peeked);
                EXPECT_EQ(peeked->header->messageID, expected.messageID);
                OwnedMessage removed(Channel_removeFromPipe(channel.get(), 0));
                ASSERT_TRUE(removed);
                ASSERT_EQ(removed->header->priority, expected.priority);
                ASSERT_EQ(removed->header->messageID, expected.messageID);
            }
            ASSERT_NO_FATAL_FAILURE(expectPipeMatches(channel.get(), 0, model))
                << pattern.name << ", step " << step << ", next ID " << nextID;
        }
    }
}

const PriorityPattern kPatterns[] = {
    {"ManyDistinct",
     [](std::mt19937 &r, int32_t) { return static_cast<int32_t>(r()); }},
    {"FewDistinct",
     [](std::mt19937 &r, int32_t) { return std::uniform_int_distribution<int32_t>(-1, 2)(r); }},
    {"RisingUnique", [](std::mt19937 &, int32_t id) { return id; }},
    {"FallingUnique", [](std::mt19937 &, int32_t id) { return -id; }},
    // Mostly appends at the tail, now and then an insert well before it.
    {"RisingWithStragglers",
     [](std::mt19937 &r, int32_t id) {
         return std::uniform_int_distribution<int>(0, 9)(r) == 0
                    ? id - std::uniform_int_distribution<int32_t>(0, 300)(r)
                    : id;
     }},
};

INSTANTIATE_TEST_SUITE_P(Patterns, RandomizedPipe, testing::ValuesIn(kPatterns),
                         [](const testing::TestParamInfo<PriorityPattern> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
