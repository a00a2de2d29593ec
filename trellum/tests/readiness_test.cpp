// Readiness: a pipe is ready exactly while a receive would not wait (a
// message queued, shut down, or its channel deleted), and every watcher of
// it hears so: selectors, whose waits report tokens among many idle pipes,
// and descriptors for poll and epoll, none left open once a channel is gone.
#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <utility>
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

// The status and the tokens reported, sorted: a batch has no order.
using Result = std::pair<int32_t, std::vector<int64_t>>;
const Result kNothing{TRELLUM_TIMED_OUT, {}};
Result received(std::vector<int64_t> tokens) { return {TRELLUM_RECEIVED, tokens}; }

Result wait(PipeSelector selector, int64_t timeout, PipeWaiter *waiter = nullptr, int32_t maxTokens = 64) {
    std::vector<int64_t> tokens(static_cast<size_t>(maxTokens), -1);
    int32_t count = -1;
    const int32_t status = PipeSelector_wait(selector, timeout, waiter, tokens.data(), maxTokens, &count);
    EXPECT_TRUE(count >= 0 && count <= maxTokens && (status == TRELLUM_RECEIVED || count == 0)) << count;
    tokens.resize(static_cast<size_t>(std::max(count, 0)));
    std::sort(tokens.begin(), tokens.end());
    return {status, tokens};
}

// A blocking wait on a thread of its own, for `cause` to end; should it not,
// a wakeup ends it and the test fails.
Result waitEndedBy(PipeSelector selector, PipeWaiter *waiter, const std::function<void()> &cause) {
    Result result;
    BoundedThreads waiting([&] { PipeSelector_wakeup(selector); });
    waiting.start([&] { result = wait(selector, -1, waiter); });
    // Time to block; coming earlier, the cause must end the wait all the same.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    cause();
    EXPECT_TRUE(waiting.joinAll());
    return result;
}

size_t readableCount(const std::vector<int> &fds) {
    size_t count = 0;
    for (int fd : fds) {
        struct pollfd entry = {fd, POLLIN, 0};
        count += poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
    }
    return count;
}

void take(Channel channel, int32_t pipe) {
    Message message = nullptr;
    ASSERT_EQ(Channel_timedRemoveFromPipe(channel, pipe, 0, &message), TRELLUM_RECEIVED);
    Message_free(message);
}

// Many pipes, few of them ready at a time.
class Selector : public ::testing::Test {
protected:
    void SetUp() override {
        selector = PipeSelector_new();
        for (int i = 0; i < 5000; ++i) {
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
    // Beyond 32 bits, so that a truncated token shows.
    static int64_t tokenOf(int channel, int32_t pipe) { return int64_t{channel} * 2 + pipe + (int64_t{1} << 40); }
    Channel channel(int i) { return channels[static_cast<size_t>(i)].get(); }
    void add(int i, int32_t pipe) { Channel_addToPipe(channel(i), pipe, makeMessage(0, i)); }

    PipeSelector selector = nullptr;
    std::vector<OwnedChannel> channels;
    std::vector<PipeSelectorKey> keys;
};

TEST_F(Selector, ReportsRegisteredPipesForAsLongAsTheyAreReady) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(selector, 20 * kMillis), kNothing);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(waitEndedBy(selector, nullptr, [&] { add(4321, 1); }), received({tokenOf(4321, 1)}));
    add(4321, 1);
    take(channel(4321), 1);
    EXPECT_EQ(wait(selector, 0), received({tokenOf(4321, 1)})) << "one message left";
    take(channel(4321), 1);
    EXPECT_EQ(wait(selector, 0), kNothing);

    add(1, 0);
    PipeSelector_remove(keys[2]);  // channel 1, pipe 0: ready while removed
    PipeSelector_remove(keys[4]);  // channel 2, pipe 0: becomes ready after
    keys[2] = keys[4] = nullptr;
    add(2, 0);
    Channel_shutdown(channel(2), 1);
    EXPECT_EQ(wait(selector, 0), received({tokenOf(2, 1)}));
}

// With room for fewer tokens than ready pipes, consecutive waits report
// every ready pipe, the busy ones not hiding the rest.
TEST_F(Selector, SmallBatchesReportEveryReadyPipeInTurn) {
    std::set<int64_t> ready, seen;
    for (int i : {10, 20, 30, 40, 50, 60, 70}) {
        add(i, 1);
        ready.insert(tokenOf(i, 1));
    }
    for (int round = 0; round < 4; ++round) {
        const Result result = wait(selector, 0, nullptr, 2);
        ASSERT_EQ(result.first, TRELLUM_RECEIVED);
        ASSERT_EQ(std::set<int64_t>(result.second.begin(), result.second.end()).size(), 2u);
        seen.insert(result.second.begin(), result.second.end());
    }
    EXPECT_EQ(seen, ready);
}

// A wakeup or a cancel ends the wait under way, or else the next one, once.
TEST_F(Selector, WakeupAndCancelEndOneWait) {
    PipeWaiter waiter;
    PipeWaiter_init(&waiter);
    const std::function<void()> wakeup = [&] { PipeSelector_wakeup(selector); };
    const std::function<void()> cancel = [&] { PipeWaiter_cancel(&waiter); };
    for (const auto &end : {std::make_pair(wakeup, TRELLUM_WOKEN), std::make_pair(cancel, TRELLUM_CANCELLED)}) {
        SCOPED_TRACE(end.second);
        EXPECT_EQ(waitEndedBy(selector, &waiter, end.first).first, end.second);
        EXPECT_EQ(wait(selector, kMillis, &waiter), kNothing) << "taken";
        end.first();
        end.first();
        EXPECT_EQ(wait(selector, kDeadlineNanos, &waiter).first, end.second);
        EXPECT_EQ(wait(selector, kMillis, &waiter), kNothing);
    }
}

// A wait that returns a ready pipe takes a pending wakeup with it: left
// behind, the wakeup would end a later, unrelated wait at once.
TEST_F(Selector, WaitThatFindsAReadyPipeTakesThePendingWakeup) {
    for (int64_t timeout : {int64_t{0}, kDeadlineNanos}) {
        SCOPED_TRACE(timeout);
        PipeSelector_wakeup(selector);
        add(7, 0);
        EXPECT_EQ(wait(selector, timeout), received({tokenOf(7, 0)}));
        take(channel(7), 0);
        EXPECT_EQ(wait(selector, 20 * kMillis), kNothing);
    }
}

// Every watcher of a pipe, selector key or descriptor, follows it through
// every change and ignores the other pipe, whichever watcher came first and
// however ready the pipe was when it came.
TEST(Watchers, FollowThePipeThroughEveryChange) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    PipeSelector first = PipeSelector_new(), second = PipeSelector_new();
    std::vector<PipeSelectorKey> keys = {PipeSelector_add(first, c, 0, 1), PipeSelector_add(second, c, 0, 2)};
    std::vector<int> zero = {Channel_openPipeEvents(c, 0), Channel_openPipeEvents(c, 0)};
    const int one = Channel_openPipeEvents(c, 1);
    const auto add = [c](int32_t pipe) { Channel_addToPipe(c, pipe, makeMessage(0, pipe)); };
    const auto late = [&] {
        keys.push_back(PipeSelector_add(first, c, 0, 3));
        zero.push_back(Channel_openPipeEvents(c, 0));
    };
    const struct {
        const char *change;
        std::function<void()> make;
        bool zeroReady, oneReady;
    } steps[] = {
        {"none", [] {}, false, false},
        {"queued, watchers added", [&] { add(0); late(); }, true, false},
        {"queued again", [&] { add(0); }, true, false},
        {"one taken", [&] { take(c, 0); }, true, false},
        {"both taken", [&] { take(c, 0); }, false, false},
        {"queued, cleared", [&] { add(0); Channel_clearPipe(c, 0); }, false, false},
        {"shut down", [&] { Channel_shutdown(c, 0); }, true, false},
        {"queued, started up", [&] { add(0); Channel_startup(c, 0); }, true, false},
        {"taken", [&] { take(c, 0); }, false, false},
        {"shut down, started up", [&] { Channel_shutdown(c, 0); Channel_startup(c, 0); }, false, false},
        {"other pipe queued", [&] { add(1); }, false, true},
        {"a descriptor closed, queued", [&] { close(zero[0]); zero.erase(zero.begin()); add(0); }, true, true},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.change);
        step.make();
        EXPECT_EQ(readableCount(zero), step.zeroReady ? zero.size() : 0);
        EXPECT_EQ(readableCount({one}), step.oneReady ? 1u : 0u);
        EXPECT_EQ(wait(first, 0), step.zeroReady ? received({1, 3}) : kNothing);
        EXPECT_EQ(wait(second, 0), step.zeroReady ? received({2}) : kNothing);
    }
    for (int fd : zero) close(fd);
    close(one);
    for (PipeSelectorKey key : keys) PipeSelector_remove(key);
    // With no watcher left, a new one still starts from the pipe's state.
    PipeSelectorKey again = PipeSelector_add(second, c, 0, 4);
    EXPECT_EQ(wait(second, 0), received({4}));
    PipeSelector_remove(again);
    PipeSelector_free(first);
    PipeSelector_free(second);
}

// A deleted channel's pipes are ready for good, for every watcher, opened
// before or after the delete: descriptors stay readable after the last pin
// goes and the channel is freed, and keys, which pin it, report it.
TEST(Watchers, DeletedChannelStaysReady) {
    const int32_t id = 14001;
    Channel pinned = ChannelManager_acquireChannel(id);
    PipeSelector selector = PipeSelector_new();
    PipeSelectorKey keys[2] = {PipeSelector_add(selector, pinned, 0, 0), PipeSelector_add(selector, pinned, 1, 1)};
    std::vector<int> fds = {Channel_openPipeEvents(pinned, 0), Channel_openPipeEvents(pinned, 0),
                            Channel_openPipeEvents(pinned, 1)};
    EXPECT_EQ(readableCount(fds), 0u);
    EXPECT_EQ(PipeSelector_keyDeleted(keys[0]), 0);
    // The delete marks one pipe after the other: the woken wait may see only the first.
    EXPECT_EQ(waitEndedBy(selector, nullptr, [&] { ChannelManager_deleteChannel(id); }).first, TRELLUM_RECEIVED);
    EXPECT_EQ(wait(selector, 0), received({0, 1}));
    EXPECT_EQ(PipeSelector_keyDeleted(keys[0]), 1);
    EXPECT_EQ(PipeSelector_keyDeleted(keys[1]), 1);
    Channel_clearPipe(pinned, 0);
    Channel_startup(pinned, 0);
    EXPECT_EQ(wait(selector, 0), received({0, 1}));
    close(fds[0]);
    fds[0] = Channel_openPipeEvents(pinned, 0);
    EXPECT_EQ(readableCount(fds), fds.size());
    ChannelManager_releaseChannel(pinned);
    EXPECT_EQ(wait(selector, 0), received({0, 1})) << "pinned by the keys alone";
    for (PipeSelectorKey key : keys) PipeSelector_remove(key);
    EXPECT_EQ(wait(selector, 0), kNothing);
    EXPECT_EQ(readableCount(fds), fds.size());
    for (int fd : fds) close(fd);
    PipeSelector_free(selector);
}

// A thread blocked in level-triggered epoll over many pipes wakes for the one
// that got a message, and epoll reports it for as long as it holds one.
TEST(Descriptors, EpollReportsTheOnePipeThatGotAMessage) {
    constexpr int kPipes = 100, kChosen = 63;
    std::vector<OwnedChannel> channels;
    std::vector<int> fds;
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(epoll, 0);
    for (int i = 0; i < kPipes; ++i) {
        channels.emplace_back(Channel_new(i));
        fds.push_back(Channel_openPipeEvents(channels.back().get(), i % 2));
        struct epoll_event event = {};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        ASSERT_EQ(epoll_ctl(epoll, EPOLL_CTL_ADD, fds.back(), &event), 0);
    }
    struct epoll_event events[kPipes];
    EXPECT_EQ(epoll_wait(epoll, events, kPipes, 0), 0);
    int woken = -1;
    uint32_t first = 0;
    std::thread waiter([&] {
        struct epoll_event event;
        woken = epoll_wait(epoll, &event, 1, static_cast<int>(trellum_test::kDeadline.count()));
        first = event.data.u32;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // most likely blocked by now
    Channel_addToPipe(channels[kChosen].get(), kChosen % 2, makeMessage(0, 1));
    waiter.join();
    ASSERT_EQ(woken, 1) << "the add did not wake the blocked epoll_wait";
    EXPECT_EQ(first, static_cast<uint32_t>(kChosen));
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(epoll_wait(epoll, events, kPipes, 0), 1) << "pass " << pass;
        EXPECT_EQ(events[0].data.u32, static_cast<uint32_t>(kChosen));
    }
    take(channels[kChosen].get(), kChosen % 2);
    EXPECT_EQ(epoll_wait(epoll, events, kPipes, 0), 0);
    close(epoll);
    for (int fd : fds) close(fd);
}

long openDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// The library's own descriptor of a pipe goes with its channel, however the
// channel goes: freed by its creator, or deleted from the registry, also
// while this thread's lookup memo still holds the channel's record.
TEST(Descriptors, NoneLeftOpenOnceChannelsAreGone) {
    const long before = openDescriptors();
    ASSERT_GT(before, 0);
    for (int round = 0; round < 3; ++round) {
        std::vector<int> fds;
        std::vector<Channel> bare;
        for (int i = 0; i < 40; ++i) {
            bare.push_back(Channel_new(i));
            const int32_t id = 14100 + i;
            Channel pinned = ChannelManager_acquireChannel(id);
            for (Channel c : {bare.back(), pinned}) {
                for (int32_t pipe : {0, 1, 0}) fds.push_back(Channel_openPipeEvents(c, pipe));
                Channel_addToPipe(c, 1, makeMessage(0, i));
            }
            for (int fd : fds) ASSERT_GE(fd, 0);
            ChannelManager_deleteChannel(id);
            ChannelManager_releaseChannel(pinned);
        }
        for (int fd : fds) close(fd);
        for (Channel c : bare) Channel_free(c);
        EXPECT_EQ(openDescriptors(), before) << "round " << round;
    }
}

TEST(BadArguments, AreRefused) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
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
    // Each refusal sets errno, cleared after each look.
    const auto einval = [] { return std::exchange(errno, 0) == EINVAL; };
    errno = 0;
    EXPECT_TRUE(PipeSelector_add(nullptr, c, 0, 0) == nullptr && einval());
    EXPECT_TRUE(PipeSelector_add(selector, nullptr, 0, 0) == nullptr && einval());
    EXPECT_TRUE(PipeSelector_add(selector, c, -1, 0) == nullptr && einval());
    EXPECT_TRUE(PipeSelector_add(selector, c, 2, 0) == nullptr && einval());
    EXPECT_TRUE(Channel_openPipeEvents(nullptr, 0) == -1 && einval());
    EXPECT_TRUE(Channel_openPipeEvents(c, -1) == -1 && einval());
    EXPECT_TRUE(Channel_openPipeEvents(c, 2) == -1 && einval());
    EXPECT_EQ(PipeSelector_keyDeleted(nullptr), 0);
    PipeSelector_remove(nullptr);
    PipeSelector_wakeup(nullptr);
    PipeSelector_free(nullptr);
    PipeSelector_free(selector);
}

} // namespace
