// Cancellable receives: a cancel ends exactly one wait, whenever it comes,
// and never reaches a pipe whose channel the waiting thread has freed since.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

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

constexpr int64_t kMillis = 1000000;
// Long enough never to end a wait that should end otherwise.
constexpr int64_t kHour = 3600000 * kMillis;

struct Outcome {
    int32_t status = -1;
    int32_t id = -1;
};

Outcome receive(Channel channel, int32_t pipe, int64_t timeout, PipeWaiter *waiter, int32_t continued = 0) {
    Outcome outcome;
    Message message = reinterpret_cast<Message>(1);
    outcome.status = Channel_cancellableRemoveFromPipe(channel, pipe, timeout, waiter, continued, &message);
    if (outcome.status == TRELLUM_RECEIVED) {
        OwnedMessage owned(message);
        outcome.id = owned->header->messageID;
    } else {
        EXPECT_EQ(message, nullptr);
    }
    return outcome;
}

// `receive` on a thread of its own, bounded: a wait that fails to end is
// ended by a shutdown and fails the test.
Outcome receiveInTime(Channel channel, int32_t pipe, int64_t timeout, PipeWaiter *waiter, int32_t continued = 0) {
    Outcome outcome;
    EXPECT_TRUE(trellum_test::returnsInTime([&] { outcome = receive(channel, pipe, timeout, waiter, continued); },
                                            [&] { Channel_shutdown(channel, pipe); }));
    return outcome;
}

TEST(CancellableReceive, PendingCancelEndsTheNextWaitOnlyAndOnce) {
    OwnedChannel channel(Channel_new(1));
    PipeWaiter waiter;
    PipeWaiter_init(&waiter);
    PipeWaiter_cancel(&waiter);
    PipeWaiter_cancel(&waiter);  // cancels do not add up
    EXPECT_EQ(receiveInTime(channel.get(), 0, -1, &waiter).status, TRELLUM_CANCELLED);
    EXPECT_EQ(receive(channel.get(), 0, 10 * kMillis, &waiter).status, TRELLUM_TIMED_OUT);
    EXPECT_EQ(trellum_test::blockedReceivers(channel.get(), 0), 0);
}

TEST(CancellableReceive, CancelFromAnotherThreadEndsABlockedWait) {
    OwnedChannel channel(Channel_new(1));
    PipeWaiter waiter;
    PipeWaiter_init(&waiter);
    for (int64_t timeout : {int64_t{-1}, kHour}) {
        Outcome outcome;
        BoundedThreads receiver([&] { Channel_shutdown(channel.get(), 1); });
        receiver.start([&] { outcome = receive(channel.get(), 1, timeout, &waiter); });
        ASSERT_TRUE(eventually([&] { return trellum_test::blockedReceivers(channel.get(), 1) == 1; }));
        PipeWaiter_cancel(&waiter);
        ASSERT_TRUE(receiver.joinAll()) << "timeout " << timeout;
        EXPECT_EQ(outcome.status, TRELLUM_CANCELLED);
        EXPECT_EQ(receive(channel.get(), 1, kMillis, &waiter).status, TRELLUM_TIMED_OUT) << "the cancel was taken";
    }
}

TEST(CancellableReceive, QueuedMessageIsTakenAndTheCancelKept) {
    OwnedChannel channel(Channel_new(1));
    PipeWaiter waiter;
    PipeWaiter_init(&waiter);
    Channel_addToPipe(channel.get(), 0, makeMessage(0, 42));
    PipeWaiter_cancel(&waiter);
    const Outcome first = receiveInTime(channel.get(), 0, -1, &waiter);
    EXPECT_EQ(first.status, TRELLUM_RECEIVED);
    EXPECT_EQ(first.id, 42);
    EXPECT_EQ(receiveInTime(channel.get(), 0, -1, &waiter).status, TRELLUM_CANCELLED);
}

// A receive split into calls still ends at a shutdown that came, and went,
// between them; a receive begun afresh does not.
TEST(CancellableReceive, ContinuedReceiveSeesShutdownBetweenCalls) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    PipeWaiter waiter;
    PipeWaiter_init(&waiter);
    EXPECT_EQ(receive(c, 0, kMillis, &waiter, 0).status, TRELLUM_TIMED_OUT);
    EXPECT_EQ(receive(c, 0, kMillis, &waiter, 1).status, TRELLUM_TIMED_OUT);
    Channel_shutdown(c, 0);
    Channel_startup(c, 0);
    EXPECT_EQ(receive(c, 0, 0, &waiter, 1).status, TRELLUM_SHUT_DOWN);
    EXPECT_EQ(receiveInTime(c, 0, -1, &waiter, 1).status, TRELLUM_SHUT_DOWN);
    // Begun afresh, on either pipe, the earlier shutdown does not count.
    EXPECT_EQ(receive(c, 0, kMillis, &waiter, 0).status, TRELLUM_TIMED_OUT);
    EXPECT_EQ(receive(c, 0, kMillis, &waiter, 1).status, TRELLUM_TIMED_OUT);
    Channel_shutdown(c, 0);
    Channel_startup(c, 0);
    EXPECT_EQ(receive(c, 1, kMillis, &waiter, 1).status, TRELLUM_TIMED_OUT) << "pipe 1 began no receive";
    EXPECT_EQ(receive(c, 0, kMillis, &waiter, 1).status, TRELLUM_TIMED_OUT) << "the receive moved to pipe 1";
}

TEST(CancellableReceive, DeleteDuringTheWaitEndsIt) {
    const int32_t id = 14201;
    Channel pinned = ChannelManager_acquireChannel(id);
    PipeWaiter waiter;
    PipeWaiter_init(&waiter);
    Outcome outcome;
    BoundedThreads receiver([&] { PipeWaiter_cancel(&waiter); });
    receiver.start([&] { outcome = receive(pinned, 1, -1, &waiter); });
    ASSERT_TRUE(eventually([&] { return trellum_test::blockedReceivers(pinned, 1) == 1; }));
    ChannelManager_deleteChannel(id);
    ASSERT_TRUE(receiver.joinAll());
    EXPECT_EQ(outcome.status, TRELLUM_DELETED);
    ChannelManager_releaseChannel(pinned);
}

TEST(CancellableReceive, RejectsInvalidArguments) {
    OwnedChannel channel(Channel_new(1));
    PipeWaiter waiter;
    PipeWaiter_init(&waiter);
    Message message = reinterpret_cast<Message>(1);
    EXPECT_EQ(Channel_cancellableRemoveFromPipe(channel.get(), 0, 0, nullptr, 0, &message), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(Channel_cancellableRemoveFromPipe(channel.get(), 0, 0, &waiter, 0, nullptr), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_cancellableRemoveFromPipe(nullptr, 0, 0, &waiter, 0, &message), TRELLUM_INVALID_ARGUMENT);
    for (int32_t pipe : {-1, 2}) {
        EXPECT_EQ(Channel_cancellableRemoveFromPipe(channel.get(), pipe, 0, &waiter, 0, &message),
                  TRELLUM_INVALID_ARGUMENT);
    }
    PipeWaiter_cancel(nullptr);
    PipeWaiter_init(nullptr);
}

// One thread cancels without pause while another receives on channels it
// makes and destroys in turn, each freed right after its wait: bare ones and
// registry ones (fresh IDs, so the lookup memo keeps none of them alive). A
// cancel still under way when its wait ends would lock a freed mutex, which
// the sanitizers and memcheck report.
TEST(CancellableReceive, CancelsNeverReachAFreedPipe) {
    PipeWaiter waiter;
    PipeWaiter_init(&waiter);
    std::atomic<bool> stop{false};
    std::atomic<int> cancelled{0}, received{0};
    BoundedThreads threads([&] { stop = true; });
    threads.start([&] {
        while (!stop) PipeWaiter_cancel(&waiter);
    });
    threads.start([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (int32_t i = 0; std::chrono::steady_clock::now() < end; ++i) {
            const bool bare = i % 2 == 0;
            const int32_t id = 1000000 + i;
            Channel channel = bare ? Channel_new(id) : ChannelManager_acquireChannel(id);
            if (i % 5 == 0) Channel_addToPipe(channel, i % 2, makeMessage(0, i));
            // Unbounded, since the canceller never rests; bounded by the
            // deadline all the same, should a cancel get lost.
            const int32_t status = receive(channel, i % 2, trellum_test::kDeadline.count() * kMillis, &waiter).status;
            if (status == TRELLUM_CANCELLED) ++cancelled;
            else if (status == TRELLUM_RECEIVED) ++received;
            else ADD_FAILURE() << "status " << status << " in round " << i;
            if (bare) {
                Channel_free(channel);
            } else {
                ChannelManager_deleteChannel(id);
                ChannelManager_releaseChannel(channel);
            }
        }
        stop = true;
    });
    ASSERT_TRUE(threads.joinAll());
    EXPECT_GT(cancelled.load(), 0);
    EXPECT_GT(received.load(), 0);
}

} // namespace
