// The process-wide registry: one channel per ID, whoever asks first creates
// it, deleting frees it. Tests in this file share the process's registry, so
// each uses IDs of its own and deletes what it creates.
#include <atomic>
#include <climits>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "bounded_receive.h"
#include "message_helpers.h"
#include "pipe_inspect.h"

using trellum_test::BoundedThreads;
using trellum_test::makeMessage;
using trellum_test::OwnedMessage;

namespace {

// IDs that the registry's multiplicative hash sends to one bucket in every
// table of up to 2^20 buckets, so that deleting the first, a middle and the
// last node of one chain can be tried. (Were the hash to change, these would
// merely be ordinary IDs.)
std::vector<int32_t> idsSharingABucket(uint32_t bucket, int count) {
    const uint32_t multiplier = 2654435769u;
    uint32_t inverse = multiplier;  // Newton's iteration for the inverse mod 2^32
    for (int i = 0; i < 5; ++i) inverse *= 2u - multiplier * inverse;
    std::vector<int32_t> ids;
    for (uint32_t low = 0; low < static_cast<uint32_t>(count); ++low) {
        ids.push_back(static_cast<int32_t>(((bucket << 12) | low) * inverse));
    }
    return ids;
}

// Running: a queued message can be received (a shut-down pipe would give NULL).
void expectEmptyAndRunning(Channel channel) {
    for (int pipe : {0, 1}) {
        EXPECT_EQ(Channel_sizeOfPipe(channel, pipe), 0);
        EXPECT_EQ(Channel_peekFromPipe(channel, pipe), nullptr);
        Channel_addToPipe(channel, pipe, makeMessage(0, 1));
        OwnedMessage message(trellum_test::receiveWithin(channel, pipe));
        EXPECT_TRUE(message) << "pipe " << pipe << " is shut down";
    }
}

TEST(Registry, SameIDSameChannel) {
    Channel first = ChannelManager_createOrGetChannel(1001);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ChannelManager_createOrGetChannel(1001), first);
    EXPECT_EQ(first->id, 1001);
    Channel other = ChannelManager_createOrGetChannel(1002);
    EXPECT_NE(other, first);
    expectEmptyAndRunning(first);
    ChannelManager_deleteChannel(1001);
    ChannelManager_deleteChannel(1002);
}

TEST(Registry, EveryIntegerIsAnOrdinaryID) {
    const std::vector<int32_t> special = {0, -1, -2, INT32_MIN, INT32_MAX, INT32_MIN + 1, 16, -16};
    std::vector<int32_t> ids = special;
    for (int32_t i = 0; i < 3000; ++i) ids.push_back(2000000 + i * 7919);
    std::vector<Channel> channels;
    for (int32_t id : ids) channels.push_back(ChannelManager_createOrGetChannel(id));
    EXPECT_EQ(std::set<Channel>(channels.begin(), channels.end()).size(), ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        ASSERT_EQ(ChannelManager_createOrGetChannel(ids[i]), channels[i]) << "ID " << ids[i];
        ASSERT_EQ(channels[i]->id, ids[i]);
    }
    // Delete every other one; the rest stay where they were.
    for (size_t i = 0; i < ids.size(); i += 2) ChannelManager_deleteChannel(ids[i]);
    for (size_t i = 1; i < ids.size(); i += 2) {
        ASSERT_EQ(ChannelManager_createOrGetChannel(ids[i]), channels[i]) << "ID " << ids[i];
    }
    for (int32_t id : ids) ChannelManager_deleteChannel(id);
}

TEST(Registry, DeletingFirstMiddleOrLastOfAChainKeepsTheOthers) {
    const std::vector<int32_t> ids = idsSharingABucket(0x5a5a5, 5);
    std::vector<Channel> channels;
    for (int32_t id : ids) channels.push_back(ChannelManager_createOrGetChannel(id));

    auto expectRemaining = [&](const std::set<size_t> &deleted) {
        for (size_t i = 0; i < ids.size(); ++i) {
            if (deleted.count(i)) continue;
            EXPECT_EQ(ChannelManager_createOrGetChannel(ids[i]), channels[i]) << "ID " << ids[i];
        }
    };
    ChannelManager_deleteChannel(ids[2]);  // middle
    expectRemaining({2});
    ChannelManager_deleteChannel(ids[4]);  // newest: first in its chain
    expectRemaining({2, 4});
    ChannelManager_deleteChannel(ids[0]);  // oldest: last in its chain
    expectRemaining({0, 2, 4});
    for (int32_t id : ids) ChannelManager_deleteChannel(id);
}

TEST(Registry, DeletingAnUnknownIDChangesNothing) {
    ChannelManager_deleteChannel(-424242);  // possibly before any table exists
    Channel channel = ChannelManager_createOrGetChannel(4242);
    Channel_addToPipe(channel, 0, makeMessage(0, 1));
    ChannelManager_deleteChannel(-424242);
    ChannelManager_deleteChannel(4243);
    EXPECT_EQ(ChannelManager_createOrGetChannel(4242), channel);
    EXPECT_EQ(Channel_sizeOfPipe(channel, 0), 1);
    ChannelManager_deleteChannel(4242);
}

// Deleting frees the queued messages (the sanitizer build reports a leak),
// and the ID then gives a new channel: empty and running, whatever the old
// one held or was set to.
TEST(Registry, RecreatedChannelIsEmptyAndRunning) {
    Channel old = ChannelManager_createOrGetChannel(-77);
    for (int32_t i = 0; i < 10; ++i) {
        Channel_addToPipe(old, 0, makeMessage(i, i));
        Channel_addToPipe(old, 1, trellum_test::assembleMessage(i, i));
    }
    Channel_shutdown(old, 0);
    Channel_shutdown(old, 1);
    ChannelManager_deleteChannel(-77);
    Channel renewed = ChannelManager_createOrGetChannel(-77);
    ASSERT_NE(renewed, nullptr);
    EXPECT_EQ(renewed->id, -77);
    expectEmptyAndRunning(renewed);
    ChannelManager_deleteChannel(-77);
}

TEST(Registry, RacingCreatorsOfOneNewIDGetOneChannel) {
    constexpr int kThreads = 8;
    for (int32_t round = 0; round < 20; ++round) {
        const int32_t id = 900000 + round;
        std::atomic<int> arrived{0};
        std::vector<Channel> got(kThreads, nullptr);
        BoundedThreads threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.start([&, t] {
                ++arrived;
                while (arrived < kThreads) std::this_thread::yield();  // start together
                got[t] = ChannelManager_createOrGetChannel(id);
            });
        }
        ASSERT_TRUE(threads.joinAll());
        for (Channel channel : got) ASSERT_EQ(channel, got[0]) << "round " << round;
        EXPECT_EQ(ChannelManager_createOrGetChannel(id), got[0]);
        ChannelManager_deleteChannel(id);
    }
}

// Threads create, use and delete channels of their own IDs while the table
// grows underneath them. The thread sanitizer build reports any race.
TEST(Registry, ConcurrentCreateAndDeleteOfDifferentIDs) {
    constexpr int kThreads = 4;
    constexpr int32_t kPerThread = 500;
    std::atomic<int> mismatches{0};
    BoundedThreads threads;
    for (int32_t t = 0; t < kThreads; ++t) {
        threads.start([&, t] {
            for (int32_t i = 0; i < kPerThread; ++i) {
                const int32_t id = -(5000000 + t * kPerThread + i);
                Channel channel = ChannelManager_createOrGetChannel(id);
                Channel_addToPipe(channel, i % 2, makeMessage(0, i));
                if (ChannelManager_createOrGetChannel(id) != channel || channel->id != id) ++mismatches;
                if (i % 3 == 0) ChannelManager_deleteChannel(id);
            }
        });
    }
    ASSERT_TRUE(threads.joinAll());
    EXPECT_EQ(mismatches.load(), 0);
    for (int32_t t = 0; t < kThreads; ++t) {
        for (int32_t i = 0; i < kPerThread; ++i) {
            const int32_t id = -(5000000 + t * kPerThread + i);
            if (i % 3 != 0) {
                EXPECT_EQ(Channel_sizeOfPipe(ChannelManager_createOrGetChannel(id), i % 2), 1);
            }
            ChannelManager_deleteChannel(id);
        }
    }
}

} // namespace
