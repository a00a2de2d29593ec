// Selectors: which pipes a wait reports, among many idle ones, and what else
// ends a wait.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "message_helpers.h"

using trellum_test::BoundedThreads;
using trellum_test::makeMessage;
using trellum_test::OwnedChannel;

namespace {

constexpr int64_t kMillis = 1000000;
constexpr int64_t kDeadlineNanos = trellum_test::kDeadline.count() * kMillis;

struct Result {
    int32_t status = -1;
    std::vector<int64_t> tokens;
};

Result wait(PipeSelector selector, int64_t timeout, PipeWaiter *waiter = nullptr, int32_t maxTokens = 64) {
    Result result;
    std::vector<int64_t> tokens(static_cast<size_t>(maxTokens), -1);
    int32_t count = -1;
    result.status = PipeSelector_wait(selector, timeout, waiter, tokens.data(), maxTokens, &count);
    EXPECT_TRUE(count >= 0 && count <= maxTokens) << count;
    if (result.status != TRELLUM_RECEIVED) {
        EXPECT_EQ(count, 0);
    }
    result.tokens.assign(tokens.begin(), tokens.begin() + std::max(count, 0));
    std::sort(result.tokens.begin(), result.tokens.end());
    return result;
}

// A blocking wait on a thread of its own, for `cause` to end; should it not,
// a wakeup ends it and the test fails.
template <class Cause>
Result waitEndedBy(PipeSelector selector, PipeWaiter *waiter, Cause cause) {
    Result result;
    BoundedThreads waiting([&] { PipeSelector_wakeup(selector); });
    waiting.start([&] { result = wait(selector, -1, waiter); });
    // Time to block; coming earlier, the cause must end the wait all the same.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    cause();
    EXPECT_TRUE(waiting.joinAll());
    return result;
}

const Result kNothing{TRELLUM_TIMED_OUT, {}};
Result received(std::vector<int64_t> tokens) { return {TRELLUM_RECEIVED, tokens}; }

bool operator==(const Result &a, const Result &b) { return a.status == b.status && a.tokens == b.tokens; }
std::ostream &operator<<(std::ostream &out, const Result &r) {
    out << "status " << r.status << ", tokens";
    for (int64_t token : r.tokens) out << ' ' << token;
    return out;
}

void take(Channel channel, int32_t pipe) {
    Message message = nullptr;
    ASSERT_EQ(Channel_timedRemoveFromPipe(channel, pipe, 0, &message), TRELLUM_RECEIVED);
    Message_free(message);
}

// Many pipes, few of them ready at a time.
class Selector : public ::testing::Test {
protected:
    static constexpr int kChannels = 5000;
    void SetUp() override {
        selector = PipeSelector_new();
        ASSERT_NE(selector, nullptr);
        for (int i = 0; i < kChannels; ++i) {
            channels.emplace_back(Channel_new(i));
            for (int32_t pipe : {0, 1}) {
                keys.push_back(PipeSelector_add(selector, channels.back().get(), pipe, tokenOf(i, pipe)));
                ASSERT_NE(keys.back(), nullptr);
            }
        }
    }
    void TearDown() override {
        for (PipeSelectorKey key : keys) PipeSelector_remove(key);
        PipeSelector_free(selector);
    }
    static int64_t tokenOf(int channel, int32_t pipe) { return int64_t{channel} * 2 + pipe + (int64_t{1} << 40); }
    Channel channel(int i) { return channels[static_cast<size_t>(i)].get(); }

    PipeSelector selector = nullptr;
    std::vector<OwnedChannel> channels;
    std::vector<PipeSelectorKey> keys;
};

TEST_F(Selector, ReportsTheReadyPipesForAsLongAsTheyAreReady) {
    EXPECT_EQ(wait(selector, 0), kNothing);
    Channel_addToPipe(channel(4321), 1, makeMessage(0, 1));
    Channel_addToPipe(channel(4321), 1, makeMessage(0, 2));
    EXPECT_EQ(wait(selector, kDeadlineNanos), received({tokenOf(4321, 1)}));
    take(channel(4321), 1);
    EXPECT_EQ(wait(selector, 0), received({tokenOf(4321, 1)})) << "one message left";
    take(channel(4321), 1);
    EXPECT_EQ(wait(selector, 0), kNothing);

    Channel_shutdown(channel(7), 0);
    Channel_addToPipe(channel(8), 0, makeMessage(0, 3));
    EXPECT_EQ(wait(selector, 0), received({tokenOf(7, 0), tokenOf(8, 0)}));
    Channel_startup(channel(7), 0);
    Channel_clearPipe(channel(8), 0);
    EXPECT_EQ(wait(selector, 0), kNothing);
}

TEST_F(Selector, AnAddEndsABlockedWait) {
    EXPECT_EQ(waitEndedBy(selector, nullptr, [&] { Channel_addToPipe(channel(2999), 0, makeMessage(0, 1)); }),
              received({tokenOf(2999, 0)}));
}

TEST_F(Selector, RemovedPipeIsNoLongerReported) {
    Channel_addToPipe(channel(1), 0, makeMessage(0, 1));
    Channel_addToPipe(channel(2), 0, makeMessage(0, 1));
    PipeSelector_remove(keys[2]);  // channel 1, pipe 0: ready while removed
    PipeSelector_remove(keys[4]);  // channel 2, pipe 0: becomes ready after
    keys[2] = keys[4] = nullptr;
    Channel_addToPipe(channel(2), 0, makeMessage(0, 2));
    Channel_shutdown(channel(2), 1);
    EXPECT_EQ(wait(selector, 0), received({tokenOf(2, 1)}));
    // Registered again while ready, it is reported again.
    keys[2] = PipeSelector_add(selector, channel(1), 0, 77);
    EXPECT_EQ(wait(selector, 0), received({77, tokenOf(2, 1)}));
}

// With room for fewer tokens than ready pipes, consecutive waits report
// every ready pipe, the busy ones not hiding the rest.
TEST_F(Selector, SmallBatchesReportEveryReadyPipeInTurn) {
    std::set<int64_t> ready;
    for (int i : {10, 20, 30, 40, 50, 60, 70}) {
        Channel_addToPipe(channel(i), 1, makeMessage(0, i));
        ready.insert(tokenOf(i, 1));
    }
    std::set<int64_t> seen;
    for (int round = 0; round < 4; ++round) {
        const Result result = wait(selector, 0, nullptr, 2);
        ASSERT_EQ(result.status, TRELLUM_RECEIVED);
        ASSERT_EQ(result.tokens.size(), 2u);
        EXPECT_NE(result.tokens[0], result.tokens[1]);
        seen.insert(result.tokens.begin(), result.tokens.end());
    }
    EXPECT_EQ(seen, ready);
}

TEST_F(Selector, WakeupEndsTheCurrentOrTheNextWaitOnce) {
    EXPECT_EQ(waitEndedBy(selector, nullptr, [&] { PipeSelector_wakeup(selector); }).status, TRELLUM_WOKEN);
    EXPECT_EQ(wait(selector, 0), kNothing) << "the wakeup was taken";
    PipeSelector_wakeup(selector);
    PipeSelector_wakeup(selector);
    EXPECT_EQ(wait(selector, kDeadlineNanos).status, TRELLUM_WOKEN);
    EXPECT_EQ(wait(selector, kMillis), kNothing);
}

TEST_F(Selector, WaiterCancelEndsTheCurrentOrTheNextWaitOnce) {
    PipeWaiter waiter;
    PipeWaiter_init(&waiter);
    EXPECT_EQ(waitEndedBy(selector, &waiter, [&] { PipeWaiter_cancel(&waiter); }).status, TRELLUM_CANCELLED);
    EXPECT_EQ(wait(selector, kMillis, &waiter), kNothing) << "the cancel was taken";
    PipeWaiter_cancel(&waiter);
    EXPECT_EQ(wait(selector, kDeadlineNanos, &waiter).status, TRELLUM_CANCELLED);
    EXPECT_EQ(wait(selector, kMillis, &waiter), kNothing);
}

TEST_F(Selector, TimedWaitTimesOut) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(selector, 20 * kMillis), kNothing);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

// A key pins its channel: deleted from the registry, the pipe stays ready,
// and the channel is freed only when the key goes.
TEST(SelectorDelete, DeletedChannelIsReadyUntilItsKeyGoes) {
    const int32_t id = 14301;
    PipeSelector selector = PipeSelector_new();
    Channel channel = ChannelManager_createOrGetChannel(id);
    PipeSelectorKey keys[2] = {PipeSelector_add(selector, channel, 0, 0), PipeSelector_add(selector, channel, 1, 1)};
    EXPECT_EQ(wait(selector, 0), kNothing);
    // The delete marks one pipe after the other: the woken wait may see only the first.
    Result result = waitEndedBy(selector, nullptr, [&] { ChannelManager_deleteChannel(id); });
    EXPECT_EQ(result.status, TRELLUM_RECEIVED);
    EXPECT_EQ(wait(selector, 0), received({0, 1}));
    Channel_clearPipe(channel, 1);
    EXPECT_EQ(wait(selector, 0), received({0, 1}));
    for (PipeSelectorKey key : keys) PipeSelector_remove(key);
    EXPECT_EQ(wait(selector, 0), kNothing);
    PipeSelector_free(selector);
}

// Every watcher of a pipe hears of it, whichever came first and however
// ready the pipe was when it came: other selectors, other keys of the same
// selector, and descriptors.
TEST(SelectorWatchers, EveryWatcherOfAPipeReportsIt) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    PipeSelector first = PipeSelector_new(), second = PipeSelector_new();
    std::vector<PipeSelectorKey> keys = {PipeSelector_add(first, c, 0, 1), PipeSelector_add(second, c, 0, 2)};
    Channel_addToPipe(c, 0, makeMessage(0, 1));
    keys.push_back(PipeSelector_add(first, c, 0, 3));  // comes while the pipe is ready
    const int fd = Channel_openPipeEvents(c, 0);        // likewise
    ASSERT_GE(fd, 0);
    struct pollfd entry = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&entry, 1, 0), 1);
    EXPECT_EQ(wait(first, 0), received({1, 3}));
    EXPECT_EQ(wait(second, 0), received({2}));

    take(c, 0);
    EXPECT_EQ(poll(&entry, 1, 0), 0);
    EXPECT_EQ(wait(first, 0), kNothing);
    EXPECT_EQ(wait(second, 0), kNothing);

    Channel_shutdown(c, 0);
    EXPECT_EQ(poll(&entry, 1, 0), 1);
    EXPECT_EQ(wait(first, 0), received({1, 3}));
    EXPECT_EQ(wait(second, 0), received({2}));
    close(fd);
    for (PipeSelectorKey key : keys) PipeSelector_remove(key);
    // With no watcher left, a new one still starts from the pipe's state.
    PipeSelectorKey late = PipeSelector_add(second, c, 0, 4);
    EXPECT_EQ(wait(second, 0), received({4}));
    PipeSelector_remove(late);
    PipeSelector_free(first);
    PipeSelector_free(second);
}

TEST(SelectorArguments, AreChecked) {
    OwnedChannel channel(Channel_new(1));
    PipeSelector selector = PipeSelector_new();
    int64_t tokens[1];
    int32_t count = -1;
    EXPECT_EQ(PipeSelector_wait(nullptr, 0, nullptr, tokens, 1, &count), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(PipeSelector_wait(selector, 0, nullptr, nullptr, 1, &count), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(PipeSelector_wait(selector, 0, nullptr, tokens, 1, nullptr), TRELLUM_INVALID_ARGUMENT);
    for (int32_t max : {0, -1}) {
        count = -1;
        EXPECT_EQ(PipeSelector_wait(selector, 0, nullptr, tokens, max, &count), TRELLUM_INVALID_ARGUMENT);
        EXPECT_EQ(count, 0);
    }
    errno = 0;
    EXPECT_EQ(PipeSelector_add(nullptr, channel.get(), 0, 0), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(PipeSelector_add(selector, nullptr, 0, 0), nullptr);
    EXPECT_EQ(errno, EINVAL);
    for (int32_t pipe : {-1, 2}) {
        errno = 0;
        EXPECT_EQ(PipeSelector_add(selector, channel.get(), pipe, 0), nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
    PipeSelector_remove(nullptr);
    PipeSelector_wakeup(nullptr);
    PipeSelector_free(nullptr);
    PipeSelector_free(selector);
}

} // namespace
