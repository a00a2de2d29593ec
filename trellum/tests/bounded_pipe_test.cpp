// Bounded pipes: what a capacity turns away, who owns a message a send
// gives back, what wakes a sender waiting for room, the statistics, the
// snapshot copy and the removal of a given message. Every blocked sender is
// released by lifting the limit should a fault leave it waiting.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "message_helpers.h"

using trellum_test::BoundedThreads;
using trellum_test::eventually;
using trellum_test::makeMessage;
using trellum_test::OwnedChannel;
using trellum_test::OwnedMessage;

namespace {

// A message of `bytes` body bytes, each equal to `id`.
Message sized(int32_t id, int32_t bytes, int32_t priority = 0) {
    std::vector<uint8_t> body(static_cast<size_t>(bytes), static_cast<uint8_t>(id));
    return Message_new(0, priority, 0, id, 0, bytes, body.data());
}

// What the pipe turns away is freed here.
int32_t tryAdd(Channel channel, int32_t pipe, Message message) {
    const int32_t status = Channel_timedAddToPipe(channel, pipe, message, 0);
    if (status != TRELLUM_ADDED) Message_free(message);
    return status;
}

// Filled with garbage first, so that a field left unwritten shows.
PipeStats statsOf(Channel channel, int32_t pipe, int32_t expected = TRELLUM_RECEIVED) {
    PipeStats stats;
    std::memset(&stats, 0xab, sizeof stats);
    stats.structSize = sizeof stats;
    EXPECT_EQ(Channel_statsOfPipe(channel, pipe, &stats), expected);
    EXPECT_EQ(stats.structSize, sizeof stats);
    return stats;
}

// size, bytes, highWaterSize, maxMessages, maxBytes, added, removed,
// waitingReceivers, waitingSenders, shutDown: compared at once.
using Fields = std::vector<int64_t>;
Fields fields(const PipeStats &s) {
    return {s.size,    s.bytes,   s.highWaterSize,    s.maxMessages,    s.maxBytes,
            s.added,   s.removed, s.waitingReceivers, s.waitingSenders, s.shutDown};
}
const Fields kZero(10, 0);

int32_t waitingSenders(Channel channel, int32_t pipe) { return statsOf(channel, pipe).waitingSenders; }

std::vector<int32_t> drain(Channel channel, int32_t pipe) {
    std::vector<int32_t> ids;
    Message message = nullptr;
    while (Channel_timedRemoveFromPipe(channel, pipe, 0, &message) == TRELLUM_RECEIVED) {
        ids.push_back(message->header->messageID);
        Message_free(message);
    }
    return ids;
}

std::function<void()> unbound(Channel c) { return [c] { Channel_setPipeCapacity(c, 0, 0, 0); }; }

TEST(Capacity, TurnsAwayWhatDoesNotFit) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    Channel_setPipeCapacity(c, 0, 2, 0);
    EXPECT_EQ(tryAdd(c, 0, makeMessage(0, 1)), TRELLUM_ADDED);
    EXPECT_EQ(tryAdd(c, 0, makeMessage(0, 2)), TRELLUM_ADDED);
    EXPECT_EQ(tryAdd(c, 0, makeMessage(0, 3)), TRELLUM_TIMED_OUT);
    for (int32_t id = 0; id < 5; ++id) EXPECT_EQ(tryAdd(c, 1, makeMessage(0, id)), TRELLUM_ADDED);
    Message_free(Channel_removeFromPipe(c, 0));
    Channel_shutdown(c, 0);
    EXPECT_EQ(tryAdd(c, 0, makeMessage(0, 4)), TRELLUM_ADDED);
    EXPECT_EQ(tryAdd(c, 0, makeMessage(0, 5)), TRELLUM_TIMED_OUT);
    Channel_startup(c, 0);
    EXPECT_EQ(drain(c, 0), (std::vector<int32_t>{2, 4}));

    // Lowered below what pipe 1 holds: nothing dropped, room only under the limit.
    Channel_setPipeCapacity(c, 1, 3, 0);
    for (int32_t taken = 1; taken <= 2; ++taken) {
        Message_free(Channel_removeFromPipe(c, 1));
        EXPECT_EQ(tryAdd(c, 1, makeMessage(0, 9)), TRELLUM_TIMED_OUT) << taken << " taken";
    }
    Message_free(Channel_removeFromPipe(c, 1));
    EXPECT_EQ(tryAdd(c, 1, makeMessage(0, 10)), TRELLUM_ADDED);
    Channel_setPipeCapacity(c, 1, -3, -1);  // no limit, like 0
    for (int32_t id = 20; id < 30; ++id) EXPECT_EQ(tryAdd(c, 1, sized(id, 1000)), TRELLUM_ADDED);
    Channel_clearPipe(c, 1);

    // A byte limit counts bodies, and an empty pipe takes any one message.
    Channel_setPipeCapacity(c, 1, 0, 10);
    EXPECT_EQ(tryAdd(c, 1, sized(1, 100)), TRELLUM_ADDED) << "an empty pipe takes any one message";
    EXPECT_EQ(tryAdd(c, 1, sized(2, 0)), TRELLUM_TIMED_OUT) << "even an empty body is over the limit";
    EXPECT_EQ(drain(c, 1), std::vector<int32_t>{1});
    EXPECT_EQ(tryAdd(c, 1, sized(3, 4)), TRELLUM_ADDED);
    EXPECT_EQ(tryAdd(c, 1, sized(4, 6)), TRELLUM_ADDED) << "exactly at the limit fits";
    EXPECT_EQ(tryAdd(c, 1, sized(5, 1)), TRELLUM_TIMED_OUT);
    EXPECT_EQ(tryAdd(c, 1, sized(6, 0)), TRELLUM_ADDED) << "no bytes, no count limit: fits";
    EXPECT_EQ(statsOf(c, 1).bytes, 10);
    Channel_setPipeCapacity(c, 1, 3, 1000);  // the count is reached first
    EXPECT_EQ(tryAdd(c, 1, sized(7, 1)), TRELLUM_TIMED_OUT);
    EXPECT_EQ(drain(c, 1), (std::vector<int32_t>{3, 4, 6}));
}

// Every way of ending a sender's wait for room, for the plain, the timed and
// the cancellable send. A delete or a cancel queues nothing: the plain send
// frees its message, the others hand it back (freed here; ASan tells).
TEST(WaitingSenders, EveryWayOfEndingTheWait) {
    int32_t id = 771100;
    Channel c = nullptr;
    PipeWaiter waiter;
    const struct {
        const char *name;
        int32_t status;
        std::function<void()> end;
    } ways[] = {
        {"remove", TRELLUM_ADDED, [&] { Message_free(Channel_removeFromPipe(c, 0)); }},
        {"timed remove", TRELLUM_ADDED,
         [&] { Message m = nullptr; Channel_timedRemoveFromPipe(c, 0, 0, &m); Message_free(m); }},
        {"remove equal", TRELLUM_ADDED,
         [&] { Channel_removeEqualFromPipe(c, 0, OwnedMessage(makeMessage(0, 1)).get()); }},
        {"clear", TRELLUM_ADDED, [&] { Channel_clearPipe(c, 0); }},
        {"raise", TRELLUM_ADDED, [&] { Channel_setPipeCapacity(c, 0, 2, 0); }},
        {"lift", TRELLUM_ADDED, [&] { Channel_setPipeCapacity(c, 0, 0, 0); }},
        {"delete", TRELLUM_DELETED, [&] { ChannelManager_deleteChannel(id); }},
        {"cancel", TRELLUM_CANCELLED, [&] { PipeWaiter_cancel(&waiter); }},
    };
    for (const auto &way : ways) {
        for (int kind = 0; kind < 3; ++kind) {
            if (way.status == TRELLUM_CANCELLED && kind != 2) continue;
            SCOPED_TRACE(testing::Message() << way.name << ", send kind " << kind);
            c = ChannelManager_acquireChannel(++id);
            Channel_setPipeCapacity(c, 0, 1, 0);
            ASSERT_EQ(tryAdd(c, 0, makeMessage(0, 1)), TRELLUM_ADDED);
            PipeWaiter_init(&waiter);
            int32_t status = way.status;  // the plain send tells nothing
            BoundedThreads send(unbound(c));
            send.start([&] {
                Message message = makeMessage(0, 2);
                if (kind == 0) return Channel_addToPipe(c, 0, message);
                status = kind == 1 ? Channel_timedAddToPipe(c, 0, message, -1)
                                   : Channel_cancellableAddToPipe(c, 0, message, INT64_MAX, &waiter);
                if (status != TRELLUM_ADDED) Message_free(message);
            });
            ASSERT_TRUE(eventually([&] { return waitingSenders(c, 0) == 1; }));
            way.end();
            ASSERT_TRUE(send.joinAll());
            EXPECT_EQ(status, way.status);
            const std::vector<int32_t> left = drain(c, 0);
            EXPECT_EQ(!left.empty() && left.back() == 2, way.status == TRELLUM_ADDED);
            ChannelManager_releaseChannel(c);
            ChannelManager_deleteChannel(id);
        }
    }
}

// Each message taken under a count limit lets exactly one sender in; under
// a byte limit one taken may let several in. One too big for the limit
// comes in once the pipe is empty.
TEST(WaitingSenders, AsManyComeInAsThereIsRoomFor) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    BoundedThreads senders(unbound(c));
    Channel_setPipeCapacity(c, 0, 2, 0);
    ASSERT_EQ(tryAdd(c, 0, makeMessage(0, 0)), TRELLUM_ADDED);
    ASSERT_EQ(tryAdd(c, 0, makeMessage(0, 1)), TRELLUM_ADDED);
    for (int32_t id = 10; id < 14; ++id) senders.start([c, id] { Channel_addToPipe(c, 0, makeMessage(0, id)); });
    ASSERT_TRUE(eventually([&] { return waitingSenders(c, 0) == 4; }));
    for (int32_t taken = 1; taken <= 4; ++taken) {
        Message_free(Channel_removeFromPipe(c, 0));
        EXPECT_TRUE(eventually([&] { return waitingSenders(c, 0) == 4 - taken; })) << taken << " taken";
        EXPECT_EQ(statsOf(c, 0).highWaterSize, 2);
    }
    EXPECT_TRUE(senders.joinAll());

    Channel_clearPipe(c, 0);
    Channel_setPipeCapacity(c, 0, 0, 12);
    ASSERT_EQ(tryAdd(c, 0, sized(0, 12)), TRELLUM_ADDED);
    for (int32_t id = 1; id <= 3; ++id) senders.start([c, id] { Channel_addToPipe(c, 0, sized(id, 4)); });
    ASSERT_TRUE(eventually([&] { return waitingSenders(c, 0) == 3; }));
    Message_free(Channel_removeFromPipe(c, 0));
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
    EXPECT_EQ(fields(statsOf(c, 0)), kZero);
    Channel_setPipeCapacity(c, 0, 3, 100);
    for (int32_t id = 0; id < 3; ++id) ASSERT_EQ(tryAdd(c, 0, sized(id, 10 + id, id)), TRELLUM_ADDED);
    ASSERT_EQ(tryAdd(c, 0, sized(3, 1)), TRELLUM_TIMED_OUT);  // not counted
    Message_free(Channel_removeFromPipe(c, 0));
    OwnedMessage like(sized(2, 12, 2));
    ASSERT_EQ(Channel_removeEqualFromPipe(c, 0, like.get()), TRELLUM_RECEIVED);
    ASSERT_EQ(tryAdd(c, 0, sized(4, 5)), TRELLUM_ADDED);
    Channel_shutdown(c, 0);
    EXPECT_EQ(fields(statsOf(c, 0)), (Fields{2, 11 + 5, 3, 3, 100, 4, 2, 0, 0, 1}));
    Channel_startup(c, 0);
    Channel_clearPipe(c, 0);  // not a receive
    EXPECT_EQ(fields(statsOf(c, 0)), (Fields{0, 0, 3, 3, 100, 4, 2, 0, 0, 0}));
    EXPECT_EQ(fields(statsOf(c, 1)), kZero);

    // Blocked threads, each counted on its own pipe and side.
    Channel_setPipeCapacity(c, 0, 1, 0);
    ASSERT_EQ(tryAdd(c, 0, sized(5, 1)), TRELLUM_ADDED);
    BoundedThreads blocked([c] { Channel_shutdown(c, 1); Channel_setPipeCapacity(c, 0, 0, 0); });
    blocked.start([c] { Message_free(Channel_removeFromPipe(c, 1)); });
    blocked.start([c] { Channel_addToPipe(c, 0, sized(6, 1)); });
    ASSERT_TRUE(eventually([&] { return waitingSenders(c, 0) == 1 && statsOf(c, 1).waitingReceivers == 1; }));
    EXPECT_EQ(fields(statsOf(c, 0)), (Fields{1, 1, 3, 1, 0, 5, 2, 0, 1, 0}));
    EXPECT_EQ(fields(statsOf(c, 1)), (Fields{0, 0, 0, 0, 0, 0, 0, 1, 0, 0}));
    Channel_shutdown(c, 1);
    Message_free(Channel_removeFromPipe(c, 0));
    EXPECT_TRUE(blocked.joinAll());
    EXPECT_EQ(fields(statsOf(c, 0)), (Fields{1, 1, 3, 1, 0, 6, 3, 0, 0, 0}));
    EXPECT_EQ(fields(statsOf(c, 1)), (Fields{0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

struct Copy {
    int32_t status = -1;
    int32_t count = -1;
    std::vector<OwnedMessage> messages;
    std::vector<int32_t> ids;
};

// Channel_copyOfPipe into `capacity` slots, with one more to catch a write
// past them.
Copy copyOf(Channel channel, int32_t pipe, int32_t capacity) {
    std::vector<Message> room(static_cast<size_t>(capacity) + 1, nullptr);
    Copy copy;
    copy.status = Channel_copyOfPipe(channel, pipe, capacity > 0 ? room.data() : nullptr, capacity, &copy.count);
    EXPECT_EQ(room.back(), nullptr);
    for (Message m : room) {
        if (m == nullptr) continue;
        copy.messages.emplace_back(m);
        copy.ids.push_back(m->header->messageID);
    }
    return copy;
}

TEST(Copy, IsASnapshotInTakeOrder) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    const Copy none = copyOf(c, 0, 0);
    EXPECT_EQ(none.status, TRELLUM_RECEIVED);
    EXPECT_EQ(none.count, 0);
    const int32_t priorities[] = {3, 1, 2, 1};
    for (int32_t id = 0; id < 4; ++id) Channel_addToPipe(c, 0, sized(id, id * 3, priorities[id]));
    const Copy part = copyOf(c, 0, 2);
    EXPECT_EQ(part.count, 4);
    EXPECT_EQ(part.ids, (std::vector<int32_t>{1, 3}));
    const Copy all = copyOf(c, 0, 6);
    EXPECT_EQ(all.count, 4);
    EXPECT_EQ(all.ids, (std::vector<int32_t>{1, 3, 2, 0}));
    EXPECT_EQ(statsOf(c, 0).removed, 0) << "copying takes nothing";
    // Wholly equal to what is queued, and the caller's own: freeing the
    // originals leaves them to be read and freed (ASan tells).
    for (const OwnedMessage &m : all.messages) {
        EXPECT_EQ(Channel_removeEqualFromPipe(c, 0, m.get()), TRELLUM_RECEIVED) << m->header->messageID;
    }
    EXPECT_EQ(Channel_sizeOfPipe(c, 0), 0);
}

// Taking a given message from anywhere in the queue leaves the order right
// for what comes after: priority first, first in first out among equals.
TEST(RemoveEqual, KeepsTheOrderForLaterAdds) {
    // Queued: id 0 of priority 1, 1 to 3 of priority 2, 4 of priority 3; then more of each.
    const int32_t priorities[] = {1, 2, 2, 2, 3, 2, 1, 3, 0, 4};
    const int32_t queued = 5, all = 10;
    for (int32_t removed = 0; removed < queued; ++removed) {
        SCOPED_TRACE(testing::Message() << "removed " << removed);
        OwnedChannel channel(Channel_new(1));
        Channel c = channel.get();
        for (int32_t id = 0; id < queued; ++id) Channel_addToPipe(c, 0, makeMessage(priorities[id], id));
        OwnedMessage like(makeMessage(priorities[removed], removed));
        ASSERT_EQ(Channel_removeEqualFromPipe(c, 0, like.get()), TRELLUM_RECEIVED);
        for (int32_t id = queued; id < all; ++id) Channel_addToPipe(c, 0, makeMessage(priorities[id], id));
        std::vector<int32_t> order(all);
        std::iota(order.begin(), order.end(), 0);
        order.erase(order.begin() + removed);
        std::stable_sort(order.begin(), order.end(),
                         [&](int32_t a, int32_t b) { return priorities[a] < priorities[b]; });
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
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 1, equal.get()), TRELLUM_RECEIVED);
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 1, equal.get()), TRELLUM_EMPTY);
}

// Whatever is refused, for a bad argument, a full pipe or a deleted (pinned)
// channel, changes nothing; a message a send gives back is still the
// caller's, whole (a pipe that kept or freed it shows under ASan). NULL
// channels, bad pipes and short stats structs are left to the fuzzer, which
// tries them on every call.
TEST(Refusals, ChangeNothingAndLeaveTheMessageTheCallers) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    OwnedMessage message(sized(7, 16, 3));
    EXPECT_EQ(Channel_timedAddToPipe(nullptr, 0, message.get(), -1), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_timedAddToPipe(c, 2, message.get(), -1), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_timedAddToPipe(c, 0, nullptr, -1), TRELLUM_INVALID_ARGUMENT);
    struct {
        PipeStats stats;
        uint64_t later;
    } grown;  // from a caller built against a later, larger struct
    grown.stats.structSize = sizeof grown;
    EXPECT_EQ(Channel_statsOfPipe(c, 1, &grown.stats), TRELLUM_RECEIVED);
    EXPECT_EQ(grown.stats.structSize, sizeof grown);
    Message slot = nullptr;
    int32_t count = -1;
    EXPECT_EQ(Channel_copyOfPipe(c, 0, &slot, 1, nullptr), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_copyOfPipe(c, 0, nullptr, 1, &count), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_copyOfPipe(c, 0, &slot, -1, &count), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_copyOfPipe(c, 3, &slot, 1, &count), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 1, nullptr), TRELLUM_INVALID_ARGUMENT);

    Channel_setPipeCapacity(c, 0, 1, 0);
    ASSERT_EQ(tryAdd(c, 0, makeMessage(0, 1)), TRELLUM_ADDED);
    EXPECT_EQ(Channel_timedAddToPipe(c, 0, message.get(), 0), TRELLUM_TIMED_OUT);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Channel_timedAddToPipe(c, 0, message.get(), 20000000), TRELLUM_TIMED_OUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(waitingSenders(c, 0), 0);

    const int32_t id = 771010;
    Channel pinned = ChannelManager_acquireChannel(id);
    Channel_setPipeCapacity(pinned, 0, 5, 5);
    Channel_addToPipe(pinned, 0, makeMessage(0, 1));
    ChannelManager_deleteChannel(id);
    Channel_setPipeCapacity(pinned, 0, 1, 0);
    EXPECT_EQ(fields(statsOf(pinned, 0, TRELLUM_DELETED)), kZero);
    EXPECT_EQ(Channel_timedAddToPipe(pinned, 0, message.get(), -1), TRELLUM_DELETED);
    EXPECT_EQ(Channel_removeEqualFromPipe(pinned, 0, message.get()), TRELLUM_DELETED);
    const Copy copy = copyOf(pinned, 0, 1);
    EXPECT_EQ(copy.status, TRELLUM_DELETED);
    EXPECT_TRUE(copy.messages.empty());
    ChannelManager_releaseChannel(pinned);

    Channel_setPipeCapacity(c, 0, 0, 0);
    Channel_addToPipe(c, 0, message.release());
    EXPECT_EQ(Channel_removeEqualFromPipe(c, 0, OwnedMessage(sized(7, 16, 3)).get()), TRELLUM_RECEIVED);
}

} // namespace
