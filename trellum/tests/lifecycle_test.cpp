// Lifecycle under concurrency: a shutdown is an event for the receivers
// blocked at that moment, and a channel can be deleted under its users.
// Tests using the registry take IDs of their own.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "message_helpers.h"
#include "pipe_inspect.h"

using trellum_test::BoundedThreads;
using trellum_test::eventually;
using trellum_test::makeMessage;
using trellum_test::OwnedChannel;
using trellum_test::OwnedMessage;

namespace {

// Receives on `pipe` blocking (even thread numbers) or bounded by a long
// timeout (odd), and records what the receive ended with.
struct Outcomes {
    std::atomic<int> received{0}, gotNull{0}, shutDown{0}, deleted{0}, timedOut{0};
    int ended() const { return received + gotNull + shutDown + deleted + timedOut; }
};

void receiveOnce(Channel channel, int32_t pipe, int number, Outcomes &outcomes) {
    if (number % 2 == 0) {
        OwnedMessage message(Channel_removeFromPipe(channel, pipe));
        ++(message ? outcomes.received : outcomes.gotNull);
        return;
    }
    Message message = nullptr;
    switch (Channel_timedRemoveFromPipe(channel, pipe, int64_t{600} * 1000000000, &message)) {
        case TRELLUM_RECEIVED: ++outcomes.received; break;
        case TRELLUM_SHUT_DOWN: ++outcomes.shutDown; break;
        case TRELLUM_DELETED: ++outcomes.deleted; break;
        default: ++outcomes.timedOut; break;
    }
    Message_free(message);
}

// The earlier fault: receivers woken by the shutdown re-tested the flag after
// the startup had cleared it, and went back to sleep.
TEST(ShutdownEvent, StartupRightAfterShutdownStillReleasesEveryBlockedReceiver) {
    constexpr int kReceivers = 6;
    OwnedChannel channel(Channel_new(1));
    for (int round = 0; round < 20; ++round) {
        Outcomes outcomes;
        // Should some stay blocked, messages release them (and the test fails).
        BoundedThreads receivers([&] {
            for (int i = 0; i < kReceivers; ++i) Channel_addToPipe(channel.get(), 0, makeMessage(0, i));
        });
        for (int i = 0; i < kReceivers; ++i) {
            receivers.start([&, i] { receiveOnce(channel.get(), 0, i, outcomes); });
        }
        ASSERT_TRUE(eventually([&] { return trellum_test::blockedReceivers(channel.get(), 0) == kReceivers; }));
        Channel_shutdown(channel.get(), 0);
        Channel_startup(channel.get(), 0);
        ASSERT_TRUE(receivers.joinAll()) << "round " << round;
        EXPECT_EQ(outcomes.gotNull, kReceivers / 2);
        EXPECT_EQ(outcomes.shutDown, kReceivers / 2);
        Channel_clearPipe(channel.get(), 0);
    }
    // A receive that starts after the startup waits as usual.
    Message message = nullptr;
    EXPECT_EQ(Channel_timedRemoveFromPipe(channel.get(), 0, 20 * 1000000, &message), TRELLUM_TIMED_OUT);
}

// Only the receivers blocked at the shutdown return; one that comes after
// the startup takes the next message.
TEST(ShutdownEvent, ConcernsOnlyTheReceiversBlockedAtThatMoment) {
    OwnedChannel channel(Channel_new(1));
    Outcomes early, late;
    BoundedThreads threads([&] { Channel_shutdown(channel.get(), 1); });
    threads.start([&] { receiveOnce(channel.get(), 1, 1, early); });
    ASSERT_TRUE(eventually([&] { return trellum_test::blockedReceivers(channel.get(), 1) == 1; }));
    Channel_shutdown(channel.get(), 1);
    Channel_startup(channel.get(), 1);
    ASSERT_TRUE(eventually([&] { return early.ended() == 1; }));
    threads.start([&] { receiveOnce(channel.get(), 1, 0, late); });
    ASSERT_TRUE(eventually([&] { return trellum_test::blockedReceivers(channel.get(), 1) == 1; }));
    Channel_addToPipe(channel.get(), 1, makeMessage(0, 1));
    EXPECT_TRUE(threads.joinAll());
    EXPECT_EQ(early.shutDown, 1);
    EXPECT_EQ(late.received, 1);
}

// The earlier fault: deleting froze the process (a condition variable
// destroyed under its waiters, with the registry mutex held).
TEST(Delete, WakesReceiversOnBothPipesAndFreesTheQueues) {
    constexpr int kPerPipe = 4;
    const int32_t id = 7001;
    for (int round = 0; round < 10; ++round) {
        Channel channel = ChannelManager_createOrGetChannel(id);
        Channel_addToPipe(channel, 1, makeMessage(0, 1));  // freed by the delete, not leaked
        Channel_clearPipe(channel, 1);
        Channel_addToPipe(channel, 1, makeMessage(0, 1));
        Outcomes outcomes;
        BoundedThreads receivers;
        for (int i = 0; i < 2 * kPerPipe; ++i) {
            receivers.start([&, i] { receiveOnce(channel, i < kPerPipe ? 0 : 1, i, outcomes); });
        }
        // Pipe 1 starts with a message: one receiver takes it.
        ASSERT_TRUE(eventually([&] {
            return trellum_test::blockedReceivers(channel, 0) == kPerPipe &&
                   trellum_test::blockedReceivers(channel, 1) == kPerPipe - 1;
        }));
        ChannelManager_deleteChannel(id);
        // The registry is free at once, and the ID names a new channel.
        Channel fresh = ChannelManager_createOrGetChannel(id);
        EXPECT_EQ(Channel_sizeOfPipe(fresh, 0) + Channel_sizeOfPipe(fresh, 1), 0);
        ASSERT_TRUE(receivers.joinAll()) << "round " << round;
        EXPECT_EQ(outcomes.received, 1);
        EXPECT_EQ(outcomes.gotNull + outcomes.deleted, 2 * kPerPipe - 1);
        EXPECT_EQ(outcomes.timedOut + outcomes.shutDown, 0);
        ChannelManager_deleteChannel(id);
    }
}

// Receivers pin the channel, receive and unpin, while deletes come at any
// moment: some are still entering their wait, some pin the channel that
// replaced the deleted one.
TEST(Delete, RacesWithPinnedReceiversStillEnteringTheirWait) {
    constexpr int kReceivers = 8;
    const int32_t id = 7002;
    for (int round = 0; round < 10; ++round) {
        Outcomes outcomes;
        BoundedThreads receivers;
        for (int i = 0; i < kReceivers; ++i) {
            receivers.start([&, i] {
                Channel channel = ChannelManager_acquireChannel(id);
                receiveOnce(channel, i % 2, i, outcomes);
                ChannelManager_releaseChannel(channel);
            });
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
        ASSERT_TRUE(eventually([&] {
            ChannelManager_deleteChannel(id);
            return outcomes.ended() == kReceivers;
        }));
        ASSERT_TRUE(receivers.joinAll());
        EXPECT_EQ(outcomes.gotNull + outcomes.deleted, kReceivers);
    }
}

TEST(Pins, DeletedChannelStaysUsableAndInert) {
    const int32_t id = 7003;
    Channel pinned = ChannelManager_acquireChannel(id);
    ASSERT_EQ(pinned, ChannelManager_createOrGetChannel(id));
    Channel second = ChannelManager_acquireChannel(id);  // pins nest
    EXPECT_EQ(second, pinned);
    Channel_addToPipe(pinned, 0, makeMessage(0, 1));
    ChannelManager_deleteChannel(id);
    ChannelManager_releaseChannel(second);

    Channel_addToPipe(pinned, 0, makeMessage(0, 2));  // freed, not queued
    for (int32_t pipe : {0, 1}) {
        EXPECT_EQ(Channel_sizeOfPipe(pinned, pipe), 0);
        EXPECT_EQ(Channel_peekFromPipe(pinned, pipe), nullptr);
        EXPECT_EQ(Channel_peekCopyFromPipe(pinned, pipe), nullptr);
        Message message = reinterpret_cast<Message>(1);
        EXPECT_EQ(Channel_checkedPeekCopyFromPipe(pinned, pipe, &message), TRELLUM_DELETED);
        Channel_shutdown(pinned, pipe);  // nothing: the receive below says deleted, not shut down
        Channel_clearPipe(pinned, pipe);
        Channel_startup(pinned, pipe);
        Message removed = reinterpret_cast<Message>(1);
        ASSERT_TRUE(trellum_test::returnsInTime([&] { removed = Channel_removeFromPipe(pinned, pipe); }));
        EXPECT_EQ(removed, nullptr);
        for (int64_t timeout : {int64_t{0}, int64_t{-1}}) {
            message = nullptr;
            int32_t status = -1;
            ASSERT_TRUE(trellum_test::returnsInTime(
                [&] { status = Channel_timedRemoveFromPipe(pinned, pipe, timeout, &message); }));
            EXPECT_EQ(status, TRELLUM_DELETED);
            EXPECT_EQ(message, nullptr);
        }
    }
    // The ID is free for a new channel, empty and running, while the old one is still pinned.
    Channel fresh = ChannelManager_createOrGetChannel(id);
    EXPECT_NE(fresh, pinned);
    Channel_addToPipe(fresh, 0, makeMessage(0, 3));
    Message message = nullptr;
    EXPECT_EQ(Channel_timedRemoveFromPipe(fresh, 0, 0, &message), TRELLUM_RECEIVED);
    Message_free(message);
    ChannelManager_releaseChannel(pinned);  // frees the old channel: the leak checker would tell
    ChannelManager_releaseChannel(nullptr);
    ChannelManager_deleteChannel(id);
}

// Several threads pin, use and delete a few IDs at random for a while. What
// counts is that nothing touches freed memory (the AddressSanitizer build)
// and nothing hangs.
TEST(Delete, StressPinsOperationsAndDeletesOnFewIDs) {
    constexpr int kThreads = 6;
    constexpr int32_t kFirstID = 7100, kIDs = 3;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    std::atomic<long> operations{0};
    BoundedThreads threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.start([&, t] {
            std::minstd_rand random(t + 1);
            while (std::chrono::steady_clock::now() < end) {
                const int32_t id = kFirstID + static_cast<int32_t>(random() % kIDs);
                const int32_t pipe = static_cast<int32_t>(random() % 2);
                Channel channel = ChannelManager_acquireChannel(id);
                Message message = nullptr;
                switch (random() % 9) {
                    case 0: ChannelManager_deleteChannel(id); break;
                    case 1: case 2: Channel_addToPipe(channel, pipe, makeMessage(static_cast<int32_t>(random() % 5), t)); break;
                    case 3: Channel_timedRemoveFromPipe(channel, pipe, 200000, &message); break;
                    case 4: Channel_timedRemoveFromPipe(channel, pipe, 0, &message); break;
                    case 5: Message_free(Channel_peekCopyFromPipe(channel, pipe)); break;
                    case 6: Channel_sizeOfPipe(channel, pipe); Channel_clearPipe(channel, pipe); break;
                    case 7: Channel_shutdown(channel, pipe); Channel_startup(channel, pipe); break;
                    default: Channel_checkedPeekCopyFromPipe(channel, pipe, &message); break;
                }
                Message_free(message);
                ChannelManager_releaseChannel(channel);
                ++operations;
            }
        });
    }
    // Receivers that wait without limit, released by the deletes.
    for (int r = 0; r < 2; ++r) {
        threads.start([&, r] {
            while (std::chrono::steady_clock::now() < end) {
                Channel channel = ChannelManager_acquireChannel(kFirstID + r);
                Message_free(Channel_removeFromPipe(channel, r));
                ChannelManager_releaseChannel(channel);
            }
        });
    }
    std::this_thread::sleep_until(end);
    // The unbounded receivers may be waiting on a channel nobody deletes now.
    ASSERT_TRUE(eventually([&] {
        for (int32_t id = kFirstID; id < kFirstID + kIDs; ++id) ChannelManager_deleteChannel(id);
        return threads.finished() == threads.started();
    }));
    EXPECT_TRUE(threads.joinAll());
    EXPECT_GT(operations.load(), 0);
}

} // namespace
