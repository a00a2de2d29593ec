// Bounded pipes: what a capacity turns away, who owns a message a send
// gives back, what wakes a sender waiting for room, the statistics, the
// snapshot copy and the removal of a given message. Every blocked sender is
// released by lifting the limit should a fault leave it waiting.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "MessageLayout.h"
#include "bounded_threads.h"
#include "message_helpers.h"

using trellum_test::BoundedThreads;
using trellum_test::eventually;
using trellum_test::makeMessage;
using trellum_test::OwnedChannel;
using trellum_test::OwnedMessage;

namespace {

// A message of `bytes` body bytes, identified by `id`.
Message sized(int32_t id, int32_t bytes, int32_t priority = 0) {
    std::vector<uint8_t> body(static_cast<size_t>(bytes), static_cast<uint8_t>(id));
    return Message_new(0, priority, 0, id, 0, bytes, body.data());
}

// A send that only tries; what the pipe turns away is freed here.
int32_t tryAdd(Channel channel, int32_t pipe, Message message) {
    const int32_t status = Channel_timedAddToPipe(channel, pipe, message, 0);
    if (status != TRELLUM_ADDED) Message_free(message);
    return status;
}

PipeStats statsOf(Channel channel, int32_t pipe, int32_t expected = TRELLUM_RECEIVED) {
    PipeStats stats;
    std::memset(&stats, 0xab, sizeof stats);
    stats.structSize = sizeof stats;
    EXPECT_EQ(Channel_statsOfPipe(channel, pipe, &stats), expected);
    return stats;
}

int32_t waitingSenders(Channel channel, int32_t pipe) { return statsOf(channel, pipe).waitingSenders; }

// The IDs of everything queued, taken in order.
std::vector<int32_t> drain(Channel channel, int32_t pipe) {
    std::vector<int32_t> ids;
    Message message = nullptr;
    while (Channel_timedRemoveFromPipe(channel, pipe, 0, &message) == TRELLUM_RECEIVED) {
        ids.push_back(message->header->messageID);
        Message_free(message);
    }
    return ids;
}

// Lifting the limit lets every waiting sender in: the way out for threads
// that a fault leaves blocked.
std::function<void()> unbound(Channel channel, int32_t pipe) {
    return [channel, pipe] { Channel_setPipeCapacity(channel, pipe, 0, 0); };
}

TEST(Capacity, CountLimitTurnsTheExtraMessageAway) {
    OwnedChannel channel(Channel_new(1));
    Channel_setPipeCapacity(channel.get(), 0, 2, 0);
    EXPECT_EQ(tryAdd(channel.get(), 0, makeMessage(0, 1)), TRELLUM_ADDED);
    EXPECT_EQ(tryAdd(channel.get(), 0, makeMessage(0, 2)), TRELLUM_ADDED);
    EXPECT_EQ(tryAdd(channel.get(), 0, makeMessage(0, 3)), TRELLUM_TIMED_OUT);
    // The other pipe keeps its own (absent) limit.
    for (int32_t id = 0; id < 5; ++id) EXPECT_EQ(tryAdd(channel.get(), 1, makeMessage(0, id)), TRELLUM_ADDED);
    // A shut-down pipe still queues, within the same limit.
    Message_free(Channel_removeFromPipe(channel.get(), 0));
    Channel_shutdown(channel.get(), 0);
    EXPECT_EQ(tryAdd(channel.get(), 0, makeMessage(0, 4)), TRELLUM_ADDED);
    EXPECT_EQ(tryAdd(channel.get(), 0, makeMessage(0, 5)), TRELLUM_TIMED_OUT);
    Channel_startup(channel.get(), 0);
    EXPECT_EQ(drain(channel.get(), 0), (std::vector<int32_t>{2, 4}));
}

TEST(Capacity, ByteLimitCountsBodiesAndAnEmptyPipeTakesAnyMessage) {
    OwnedChannel channel(Channel_new(1));
    Channel_setPipeCapacity(channel.get(), 1, 0, 10);
    EXPECT_EQ(tryAdd(channel.get(), 1, sized(1, 100)), TRELLUM_ADDED) << "an empty pipe takes any one message";
    EXPECT_EQ(tryAdd(channel.get(), 1, sized(2, 0)), TRELLUM_TIMED_OUT) << "even an empty body is over the limit";
    EXPECT_EQ(drain(channel.get(), 1), std::vector<int32_t>{1});
    EXPECT_EQ(tryAdd(channel.get(), 1, sized(3, 4)), TRELLUM_ADDED);
    EXPECT_EQ(tryAdd(channel.get(), 1, sized(4, 6)), TRELLUM_ADDED) << "exactly at the limit fits";
    EXPECT_EQ(tryAdd(channel.get(), 1, sized(5, 1)), TRELLUM_TIMED_OUT);
    EXPECT_EQ(tryAdd(channel.get(), 1, sized(6, 0)), TRELLUM_ADDED) << "no bytes, no count limit: fits";
    EXPECT_EQ(statsOf(channel.get(), 1).bytes, 10);
    // Both limits at once: whichever is reached first turns a message away.
    Channel_setPipeCapacity(channel.get(), 1, 3, 1000);
    EXPECT_EQ(tryAdd(channel.get(), 1, sized(7, 1)), TRELLUM_TIMED_OUT);
    EXPECT_EQ(drain(channel.get(), 1), (std::vector<int32_t>{3, 4, 6}));
}

TEST(Capacity, LoweringKeepsWhatIsQueuedAndNoLimitMeansNone) {
    OwnedChannel channel(Channel_new(1));
    for (int32_t id = 0; id < 4; ++id) Channel_addToPipe(channel.get(), 0, makeMessage(0, id));
    Channel_setPipeCapacity(channel.get(), 0, 2, 0);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 4);
    EXPECT_EQ(tryAdd(channel.get(), 0, makeMessage(0, 9)), TRELLUM_TIMED_OUT);
    Message_free(Channel_removeFromPipe(channel.get(), 0));
    Message_free(Channel_removeFromPipe(channel.get(), 0));
    EXPECT_EQ(tryAdd(channel.get(), 0, makeMessage(0, 9)), TRELLUM_TIMED_OUT) << "back at the limit, not under it";
    Message_free(Channel_removeFromPipe(channel.get(), 0));
    EXPECT_EQ(tryAdd(channel.get(), 0, makeMessage(0, 10)), TRELLUM_ADDED);

    Channel_setPipeCapacity(channel.get(), 0, -3, -1);
    PipeStats stats = statsOf(channel.get(), 0);
    EXPECT_EQ(stats.maxMessages, 0);
    EXPECT_EQ(stats.maxBytes, 0);
    for (int32_t id = 20; id < 30; ++id) EXPECT_EQ(tryAdd(channel.get(), 0, sized(id, 1000)), TRELLUM_ADDED);

    // Harmless, and no other pipe changes.
    Channel_setPipeCapacity(nullptr, 0, 1, 1);
    Channel_setPipeCapacity(channel.get(), 2, 1, 1);
    Channel_setPipeCapacity(channel.get(), -1, 1, 1);
    EXPECT_EQ(statsOf(channel.get(), 0).maxMessages, 0);
    EXPECT_EQ(statsOf(channel.get(), 1).maxMessages, 0);
}

TEST(TimedAdd, MessagesTurnedAwayStayTheCallersUntouched) {
    OwnedChannel channel(Channel_new(1));
    OwnedMessage message(sized(7, 16, 3));
    EXPECT_EQ(Channel_timedAddToPipe(nullptr, 0, message.get(), -1), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_timedAddToPipe(channel.get(), 2, message.get(), -1), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_timedAddToPipe(channel.get(), 0, nullptr, -1), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 0);

    Channel_setPipeCapacity(channel.get(), 0, 1, 0);
    ASSERT_EQ(tryAdd(channel.get(), 0, makeMessage(0, 1)), TRELLUM_ADDED);
    EXPECT_EQ(Channel_timedAddToPipe(channel.get(), 0, message.get(), 0), TRELLUM_TIMED_OUT);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Channel_timedAddToPipe(channel.get(), 0, message.get(), 20000000), TRELLUM_TIMED_OUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(waitingSenders(channel.get(), 0), 0);

    const int32_t id = 771001;
    Channel pinned = ChannelManager_acquireChannel(id);
    ChannelManager_deleteChannel(id);
    EXPECT_EQ(Channel_timedAddToPipe(pinned, 0, message.get(), -1), TRELLUM_DELETED);
    ChannelManager_releaseChannel(pinned);

    // Still whole: the owner frees it, once, at the end of the test.
    EXPECT_EQ(message->header->messageID, 7);
    EXPECT_EQ(message->header->priority, 3);
    ASSERT_EQ(message->body->length, 16);
    EXPECT_EQ(message->body->data[15], 7);
}

// A send waiting for room, in a thread of its own, and how it ended.
struct WaitingSend {
    WaitingSend(Channel channel, int32_t pipe) : threads(unbound(channel, pipe)) {}
    BoundedThreads threads;
    int32_t status = -1;
};

// Each way of making room ends the wait of a sender that was blocked: the
// plain send, the timed one without limit and the cancellable one.
TEST(WaitingSenders, EveryWayOfMakingRoomLetsASenderIn) {
    const std::vector<std::pair<const char *, std::function<void(Channel)>>> ways = {
        {"remove", [](Channel c) { Message_free(Channel_removeFromPipe(c, 0)); }},
        {"timed remove",
         [](Channel c) {
             Message m = nullptr;
             EXPECT_EQ(Channel_timedRemoveFromPipe(c, 0, 0, &m), TRELLUM_RECEIVED);
             Message_free(m);
         }},
        {"remove equal",
         [](Channel c) {
             OwnedMessage like(makeMessage(0, 1));
             EXPECT_EQ(Channel_removeEqualFromPipe(c, 0, like.get()), TRELLUM_RECEIVED);
         }},
        {"clear", [](Channel c) { Channel_clearPipe(c, 0); }},
        {"raise", [](Channel c) { Channel_setPipeCapacity(c, 0, 2, 0); }},
        {"lift", [](Channel c) { Channel_setPipeCapacity(c, 0, 0, 0); }},
    };
    for (const auto &way : ways) {
        for (int kind = 0; kind < 3; ++kind) {
            SCOPED_TRACE(testing::Message() << way.first << ", send kind " << kind);
            OwnedChannel channel(Channel_new(1));
            Channel c = channel.get();
            Channel_setPipeCapacity(c, 0, 1, 0);
            ASSERT_EQ(tryAdd(c, 0, makeMessage(0, 1)), TRELLUM_ADDED);
            WaitingSend send(c, 0);
            PipeWaiter waiter;
            PipeWaiter_init(&waiter);
            send.threads.start([&] {
                Message message = makeMessage(0, 2);
                if (kind == 0) {
                    Channel_addToPipe(c, 0, message);
                    send.status = TRELLUM_ADDED;
                } else if (kind == 1) {
                    send.status = Channel_timedAddToPipe(c, 0, message, -1);
                } else {
                    send.status = Channel_cancellableAddToPipe(c, 0, message, -1, &waiter);
                }
                if (send.status != TRELLUM_ADDED) Message_free(message);
            });
            ASSERT_TRUE(eventually([&] { return waitingSenders(c, 0) == 1; }));
            way.second(c);
            ASSERT_TRUE(send.threads.joinAll());
            EXPECT_EQ(send.status, TRELLUM_ADDED);
            EXPECT_EQ(drain(c, 0).back(), 2);
        }
    }
}

// A delete or a cancel ends the wait without queuing: the plain send frees
// its message, the others hand it back (freed here; ASan tells either way).
TEST(WaitingSenders, DeleteAndCancelEndTheWait) {
    for (int kind = 0; kind < 4; ++kind) {
        SCOPED_TRACE(testing::Message() << "send kind " << kind);
        const int32_t id = 771002 + kind;
        Channel c = ChannelManager_acquireChannel(id);
        Channel_setPipeCapacity(c, 1, 0, 8);
        ASSERT_EQ(tryAdd(c, 1, sized(1, 8)), TRELLUM_ADDED);
        WaitingSend send(c, 1);
        PipeWaiter waiter;
        PipeWaiter_init(&waiter);
        send.threads.start([&] {
            Message message = sized(2, 1);
            if (kind == 0) {
                Channel_addToPipe(c, 1, message);  // frees it: no status to say so
                send.status = -2;
            } else if (kind == 1) {
                send.status = Channel_timedAddToPipe(c, 1, message, -1);
            } else {
                send.status = Channel_cancellableAddToPipe(c, 1, message, INT64_MAX, &waiter);
            }
            if (send.status >= 0) Message_free(message);
        });
        ASSERT_TRUE(eventually([&] { return waitingSenders(c, 1) == 1; }));
        if (kind == 3) PipeWaiter_cancel(&waiter);
        else ChannelManager_deleteChannel(id);
        ASSERT_TRUE(send.threads.joinAll());
        EXPECT_EQ(send.status, kind == 0 ? -2 : kind == 3 ? TRELLUM_CANCELLED : TRELLUM_DELETED);
        EXPECT_EQ(Channel_sizeOfPipe(c, 1), kind == 3 ? 1 : 0);
        ChannelManager_releaseChannel(c);
        ChannelManager_deleteChannel(id);
    }
}

// Several senders wait on a full pipe under a count limit of 2: each message
// taken lets exactly one in, and the pipe never goes over its limit.
TEST(WaitingSenders, EachMessageTakenLetsOneSenderInUnderACountLimit) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    Channel_setPipeCapacity(c, 0, 2, 0);
    ASSERT_EQ(tryAdd(c, 0, makeMessage(0, 0)), TRELLUM_ADDED);
    ASSERT_EQ(tryAdd(c, 0, makeMessage(0, 1)), TRELLUM_ADDED);
    BoundedThreads senders(unbound(c, 0));
    for (int32_t id = 10; id < 14; ++id) senders.start([c, id] { Channel_addToPipe(c, 0, makeMessage(0, id)); });
    ASSERT_TRUE(eventually([&] { return waitingSenders(c, 0) == 4; }));
    for (int32_t taken = 1; taken <= 4; ++taken) {
        Message_free(Channel_removeFromPipe(c, 0));
        EXPECT_TRUE(eventually([&] { return waitingSenders(c, 0) == 4 - taken; })) << taken << " taken";
        EXPECT_EQ(Channel_sizeOfPipe(c, 0), 2);
        EXPECT_EQ(statsOf(c, 0).highWaterSize, 2);
    }
    EXPECT_TRUE(senders.joinAll());
}

// Under a byte limit one message taken may make room for several: all that
// fit come in. One too big for the limit comes in once the pipe is empty.
TEST(WaitingSenders, RoomForSeveralLetsAllThatFitIn) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    Channel_setPipeCapacity(c, 0, 0, 12);
    ASSERT_EQ(tryAdd(c, 0, sized(0, 12)), TRELLUM_ADDED);
    BoundedThreads senders(unbound(c, 0));
    for (int32_t id = 1; id <= 3; ++id) senders.start([c, id] { Channel_addToPipe(c, 0, sized(id, 4)); });
    ASSERT_TRUE(eventually([&] { return waitingSenders(c, 0) == 3; }));
    Message_free(Channel_removeFromPipe(c, 0));
    EXPECT_TRUE(eventually([&] { return Channel_sizeOfPipe(c, 0) == 3; }));
    EXPECT_TRUE(senders.joinAll());

    senders.start([c] { Channel_addToPipe(c, 0, sized(9, 50)); });
    ASSERT_TRUE(eventually([&] { return waitingSenders(c, 0) == 1; }));
    for (int k = 0; k < 2; ++k) Message_free(Channel_removeFromPipe(c, 0));
    EXPECT_EQ(Channel_sizeOfPipe(c, 0), 1);
    Message_free(Channel_removeFromPipe(c, 0));
    EXPECT_TRUE(senders.joinAll());
    EXPECT_EQ(drain(c, 0), std::vector<int32_t>{9});
}

TEST(Stats, CountWhatWasDone) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    PipeStats stats = statsOf(c, 0);
    EXPECT_EQ(stats.structSize, sizeof stats);
    EXPECT_EQ(stats.size + stats.highWaterSize + stats.maxMessages + stats.waitingReceivers +
                  stats.waitingSenders + stats.shutDown,
              0);
    EXPECT_EQ(stats.bytes + stats.maxBytes + stats.added + stats.removed, 0);

    Channel_setPipeCapacity(c, 0, 3, 100);
    for (int32_t id = 0; id < 3; ++id) ASSERT_EQ(tryAdd(c, 0, sized(id, 10 + id, id)), TRELLUM_ADDED);
    ASSERT_EQ(tryAdd(c, 0, sized(3, 1)), TRELLUM_TIMED_OUT);  // turned away: not counted
    Message_free(Channel_removeFromPipe(c, 0));
    OwnedMessage like(sized(2, 12, 2));
    ASSERT_EQ(Channel_removeEqualFromPipe(c, 0, like.get()), TRELLUM_RECEIVED);
    ASSERT_EQ(tryAdd(c, 0, sized(4, 5)), TRELLUM_ADDED);
    Channel_shutdown(c, 0);
    stats = statsOf(c, 0);
    EXPECT_EQ(stats.size, 2);
    EXPECT_EQ(stats.bytes, 11 + 5);
    EXPECT_EQ(stats.highWaterSize, 3);
    EXPECT_EQ(stats.maxMessages, 3);
    EXPECT_EQ(stats.maxBytes, 100);
    EXPECT_EQ(stats.added, 4);
    EXPECT_EQ(stats.removed, 2);
    EXPECT_EQ(stats.shutDown, 1);
    Channel_startup(c, 0);
    Channel_clearPipe(c, 0);
    stats = statsOf(c, 0);
    EXPECT_EQ(stats.size, 0);
    EXPECT_EQ(stats.bytes, 0);
    EXPECT_EQ(stats.removed, 2) << "a clear is not a receive";
    EXPECT_EQ(stats.highWaterSize, 3);
    EXPECT_EQ(stats.shutDown, 0);
    EXPECT_EQ(statsOf(c, 1).added, 0);

    // Blocked threads, as they come and go.
    Channel_setPipeCapacity(c, 0, 1, 0);
    ASSERT_EQ(tryAdd(c, 0, sized(5, 1)), TRELLUM_ADDED);
    BoundedThreads blocked([c] {
        Channel_shutdown(c, 1);
        Channel_setPipeCapacity(c, 0, 0, 0);
    });
    blocked.start([c] { Message_free(Channel_removeFromPipe(c, 1)); });
    blocked.start([c] { Message_free(Channel_removeFromPipe(c, 1)); });
    blocked.start([c] { Channel_addToPipe(c, 0, sized(6, 1)); });
    EXPECT_TRUE(eventually([&] {
        const PipeStats s0 = statsOf(c, 0), s1 = statsOf(c, 1);
        return s1.waitingReceivers == 2 && s0.waitingSenders == 1 && s0.waitingReceivers == 0 &&
               s1.waitingSenders == 0;
    }));
    Channel_shutdown(c, 1);
    Message_free(Channel_removeFromPipe(c, 0));
    EXPECT_TRUE(blocked.joinAll());
    EXPECT_EQ(statsOf(c, 0).waitingSenders, 0);
    EXPECT_EQ(statsOf(c, 1).waitingReceivers, 0);
    EXPECT_EQ(statsOf(c, 0).removed, 3);
}

TEST(Stats, ArgumentsAndDeletedChannel) {
    OwnedChannel channel(Channel_new(1));
    PipeStats stats;
    std::memset(&stats, 0xab, sizeof stats);
    stats.structSize = sizeof stats - 1;
    const PipeStats before = stats;
    EXPECT_EQ(Channel_statsOfPipe(channel.get(), 0, &stats), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(std::memcmp(&stats, &before, sizeof stats), 0) << "nothing written";
    stats.structSize = sizeof stats;
    EXPECT_EQ(Channel_statsOfPipe(nullptr, 0, &stats), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_statsOfPipe(channel.get(), 2, &stats), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_statsOfPipe(channel.get(), 0, nullptr), TRELLUM_INVALID_ARGUMENT);

    // A caller built against a later, larger struct.
    struct {
        PipeStats stats;
        uint64_t later;
    } grown;
    grown.stats.structSize = sizeof grown;
    grown.later = 0;
    EXPECT_EQ(Channel_statsOfPipe(channel.get(), 1, &grown.stats), TRELLUM_RECEIVED);
    EXPECT_EQ(grown.stats.structSize, sizeof grown);

    const int32_t id = 771010;
    Channel pinned = ChannelManager_acquireChannel(id);
    Channel_setPipeCapacity(pinned, 0, 5, 5);
    Channel_addToPipe(pinned, 0, makeMessage(0, 1));
    ChannelManager_deleteChannel(id);
    stats = statsOf(pinned, 0, TRELLUM_DELETED);
    EXPECT_EQ(stats.structSize, sizeof stats);
    EXPECT_EQ(stats.size + stats.highWaterSize + stats.maxMessages + stats.shutDown, 0);
    EXPECT_EQ(stats.bytes + stats.maxBytes + stats.added + stats.removed, 0);
    Channel_setPipeCapacity(pinned, 0, 1, 0);  // does nothing to a deleted channel
    ChannelManager_releaseChannel(pinned);
}

// The whole pipe through Channel_copyOfPipe, asking for room as needed.
std::vector<OwnedMessage> copyAll(Channel channel, int32_t pipe, int32_t *status) {
    std::vector<Message> room(1);
    int32_t count = 0;
    for (;;) {
        *status = Channel_copyOfPipe(channel, pipe, room.data(), static_cast<int32_t>(room.size()), &count);
        if (*status != TRELLUM_RECEIVED || count <= static_cast<int32_t>(room.size())) break;
        for (int32_t i = 0; i < static_cast<int32_t>(room.size()); ++i) Message_free(room[i]);
        room.resize(static_cast<size_t>(count));
    }
    std::vector<OwnedMessage> copies;
    for (int32_t i = 0; i < count && *status == TRELLUM_RECEIVED; ++i) copies.emplace_back(room[i]);
    return copies;
}

std::vector<int32_t> idsOf(const std::vector<OwnedMessage> &copies) {
    std::vector<int32_t> ids;
    for (const OwnedMessage &m : copies) ids.push_back(m->header->messageID);
    return ids;
}

TEST(Copy, IsASnapshotInTakeOrder) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    int32_t status = -1;
    EXPECT_TRUE(copyAll(c, 0, &status).empty());
    EXPECT_EQ(status, TRELLUM_RECEIVED);
    Message slot = nullptr;
    int32_t count = -1;
    EXPECT_EQ(Channel_copyOfPipe(c, 0, &slot, 1, nullptr), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_copyOfPipe(c, 0, nullptr, 1, &count), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_copyOfPipe(c, 0, &slot, -1, &count), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_copyOfPipe(c, 3, &slot, 1, &count), TRELLUM_INVALID_ARGUMENT);

    const int32_t priorities[] = {3, 1, 2, 1};
    for (int32_t id = 0; id < 4; ++id) Channel_addToPipe(c, 0, sized(id, id * 3, priorities[id]));
    // Too little room: the first ones are copied, and the count tells how many there are.
    Message two[2] = {nullptr, nullptr};
    ASSERT_EQ(Channel_copyOfPipe(c, 0, two, 2, &count), TRELLUM_RECEIVED);
    EXPECT_EQ(count, 4);
    OwnedMessage first(two[0]), second(two[1]);
    EXPECT_EQ(first->header->messageID, 1);
    EXPECT_EQ(second->header->messageID, 3);

    std::vector<OwnedMessage> copy = copyAll(c, 0, &status);
    Channel_clearPipe(c, 0);  // the copy is the caller's own
    EXPECT_EQ(idsOf(copy), (std::vector<int32_t>{1, 3, 2, 0}));
    for (const OwnedMessage &m : copy) {
        const int32_t id = m->header->messageID;
        EXPECT_EQ(m->header->priority, priorities[id]);
        ASSERT_EQ(m->body->length, id * 3);
        if (id > 0) {
            EXPECT_EQ(m->body->data[id * 3 - 1], id);
        }
    }
    EXPECT_EQ(statsOf(c, 0).removed, 0) << "copying takes nothing";
}

// Taking a given message from anywhere in the queue leaves the order right
// for what comes after: priority first, first in first out among equals.
TEST(RemoveEqual, KeepsTheOrderForLaterAdds) {
    struct Case {
        const char *name;
        int32_t removedId;
    };
    // Queued: id 0 of priority 1, 1 to 3 of priority 2, 4 of priority 3; then more of each.
    const int32_t priorities[] = {1, 2, 2, 2, 3, 2, 1, 3, 0, 4};
    const int32_t queued = 5, all = 10;
    for (Case cut : {Case{"only 1", 0}, Case{"first 2", 1}, Case{"middle 2", 2}, Case{"last 2", 3},
                     Case{"only 3", 4}}) {
        SCOPED_TRACE(cut.name);
        OwnedChannel channel(Channel_new(1));
        Channel c = channel.get();
        for (int32_t id = 0; id < queued; ++id) Channel_addToPipe(c, 0, makeMessage(priorities[id], id));
        OwnedMessage like(makeMessage(priorities[cut.removedId], cut.removedId));
        ASSERT_EQ(Channel_removeEqualFromPipe(c, 0, like.get()), TRELLUM_RECEIVED);
        for (int32_t id = queued; id < all; ++id) Channel_addToPipe(c, 0, makeMessage(priorities[id], id));
        std::multimap<int32_t, int32_t> expected;  // FIFO among equal keys
        for (int32_t id = 0; id < all; ++id) {
            if (id != cut.removedId) expected.emplace(priorities[id], id);
        }
        std::vector<int32_t> order;
        for (const auto &entry : expected) order.push_back(entry.second);
        EXPECT_EQ(drain(c, 0), order);
    }
}

TEST(RemoveEqual, TakesOnlyTheFirstWhollyEqualMessage) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    for (int k = 0; k < 2; ++k) Channel_addToPipe(c, 1, sized(5, 8, 2));
    Channel_addToPipe(c, 1, Message_new(0, 2, 0, 5, 1, 0, nullptr));
    OwnedMessage otherBody(sized(5, 8, 2));
    otherBody->body->data[7] = 0;
    OwnedMessage otherAttributes(Message_new(0, 2, 0, 5, 0, 0, nullptr));
    OwnedMessage equal(sized(5, 8, 2));
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 1, otherBody.get()), TRELLUM_EMPTY);
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 1, otherAttributes.get()), TRELLUM_EMPTY);
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 0, equal.get()), TRELLUM_EMPTY) << "the other pipe";
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 1, equal.get()), TRELLUM_RECEIVED);
    EXPECT_EQ(Channel_sizeOfPipe(c, 1), 2);
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 1, equal.get()), TRELLUM_RECEIVED);
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 1, equal.get()), TRELLUM_EMPTY);
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 1, nullptr), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_removeEqualFromPipe(nullptr, 1, equal.get()), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_sizeOfPipe(c, 1), 1);

    const int32_t id = 771011;
    Channel pinned = ChannelManager_acquireChannel(id);
    ChannelManager_deleteChannel(id);
    EXPECT_EQ(Channel_removeEqualFromPipe(pinned, 1, equal.get()), TRELLUM_DELETED);
    int32_t status = -1;
    EXPECT_TRUE(copyAll(pinned, 1, &status).empty());
    EXPECT_EQ(status, TRELLUM_DELETED);
    ChannelManager_releaseChannel(pinned);
}

} // namespace
