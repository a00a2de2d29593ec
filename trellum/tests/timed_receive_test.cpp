// The timed receive and the checked peek: their statuses, what they leave
// behind, and how long a bounded wait lasts (never less than asked; more is
// only bounded generously, as the machine may be slow).
#include <chrono>
#include <climits>
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

using Clock = std::chrono::steady_clock;
constexpr int64_t kMillis = 1000000;

Message *const kUnset = nullptr;
Message sentinel() { return reinterpret_cast<Message>(uintptr_t{1}); }

TEST(TimedReceive, TakesQueuedMessagesInOrderWithoutWaiting) {
    OwnedChannel channel(Channel_new(1));
    for (int32_t id : {10, 11, 12}) Channel_addToPipe(channel.get(), 1, makeMessage(id == 11 ? 0 : 5, id));
    for (int32_t expected : {11, 10, 12}) {
        Message message = sentinel();
        ASSERT_EQ(Channel_timedRemoveFromPipe(channel.get(), 1, 0, &message), TRELLUM_RECEIVED);
        OwnedMessage owned(message);
        ASSERT_TRUE(owned);
        EXPECT_EQ(owned->header->messageID, expected);
    }
    Message message = sentinel();
    EXPECT_EQ(Channel_timedRemoveFromPipe(channel.get(), 1, 0, &message), TRELLUM_TIMED_OUT);
    EXPECT_EQ(message, nullptr);
}

TEST(TimedReceive, WaitsAtLeastTheTimeout) {
    OwnedChannel channel(Channel_new(1));
    for (int64_t timeout : {int64_t{1}, 30 * kMillis, 120 * kMillis}) {
        Message message = sentinel();
        const auto start = Clock::now();
        EXPECT_EQ(Channel_timedRemoveFromPipe(channel.get(), 0, timeout, &message), TRELLUM_TIMED_OUT);
        const auto waited = Clock::now() - start;
        EXPECT_GE(waited, std::chrono::nanoseconds(timeout));
        EXPECT_LT(waited, std::chrono::nanoseconds(timeout) + trellum_test::kDeadline);
        EXPECT_EQ(message, nullptr);
    }
    EXPECT_EQ(trellum_test::blockedReceivers(channel.get(), 0), 0);
}

// Bounded and unbounded receivers alike wake for an add, long before their timeout.
TEST(TimedReceive, AnAddEndsTheWait) {
    OwnedChannel channel(Channel_new(1));
    for (int64_t timeout : {int64_t{-1}, INT64_MIN, 3600000 * kMillis, INT64_MAX}) {
        int32_t status = -1, id = -1;
        BoundedThreads receiver([&] { Channel_shutdown(channel.get(), 0); });
        receiver.start([&] {
            Message message = nullptr;
            status = Channel_timedRemoveFromPipe(channel.get(), 0, timeout, &message);
            if (message) id = message->header->messageID;
            Message_free(message);
        });
        ASSERT_TRUE(eventually([&] { return trellum_test::blockedReceivers(channel.get(), 0) == 1; }));
        Channel_addToPipe(channel.get(), 0, makeMessage(0, 42));
        EXPECT_TRUE(receiver.joinAll()) << "timeout " << timeout;
        EXPECT_EQ(status, TRELLUM_RECEIVED);
        EXPECT_EQ(id, 42);
    }
}

TEST(TimedReceive, ShutDownPipeAnswersAtOnceAndKeepsItsQueue) {
    OwnedChannel channel(Channel_new(1));
    Channel_addToPipe(channel.get(), 0, makeMessage(0, 1));
    Channel_shutdown(channel.get(), 0);
    for (int64_t timeout : {int64_t{0}, int64_t{-1}, INT64_MAX}) {
        Message message = sentinel();
        int32_t status = -1;
        ASSERT_TRUE(trellum_test::returnsInTime(
            [&] { status = Channel_timedRemoveFromPipe(channel.get(), 0, timeout, &message); },
            [&] { Channel_startup(channel.get(), 0); }));
        EXPECT_EQ(status, TRELLUM_SHUT_DOWN);
        EXPECT_EQ(message, nullptr);
    }
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 1);
    Channel_startup(channel.get(), 0);
    Message message = nullptr;
    EXPECT_EQ(Channel_timedRemoveFromPipe(channel.get(), 0, 0, &message), TRELLUM_RECEIVED);
    Message_free(message);
}

TEST(TimedReceive, InvalidArgumentsTakeNothing) {
    OwnedChannel channel(Channel_new(1));
    Channel_addToPipe(channel.get(), 0, makeMessage(0, 1));
    Message message = sentinel();
    EXPECT_EQ(Channel_timedRemoveFromPipe(nullptr, 0, 0, &message), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(message, nullptr);
    for (int32_t pipe : {-1, 2, INT32_MIN, INT32_MAX}) {
        message = sentinel();
        EXPECT_EQ(Channel_timedRemoveFromPipe(channel.get(), pipe, -1, &message), TRELLUM_INVALID_ARGUMENT);
        EXPECT_EQ(message, nullptr);
    }
    EXPECT_EQ(Channel_timedRemoveFromPipe(channel.get(), 0, -1, kUnset), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 1);
}

TEST(CheckedPeek, TellsAnEmptyPipeFromACopy) {
    OwnedChannel channel(Channel_new(1));
    Message copy = sentinel();
    EXPECT_EQ(Channel_checkedPeekCopyFromPipe(channel.get(), 0, &copy), TRELLUM_EMPTY);
    EXPECT_EQ(copy, nullptr);

    Channel_addToPipe(channel.get(), 0, makeMessage(3, 9));
    Channel_shutdown(channel.get(), 0);  // a shut-down pipe is peeked as any other
    ASSERT_EQ(Channel_checkedPeekCopyFromPipe(channel.get(), 0, &copy), TRELLUM_RECEIVED);
    OwnedMessage owned(copy);
    ASSERT_TRUE(owned);
    EXPECT_NE(owned.get(), Channel_peekFromPipe(channel.get(), 0));
    EXPECT_EQ(owned->header->messageID, 9);
    EXPECT_EQ(trellum_test::bodyText(owned.get()), trellum_test::bodyText(Channel_peekFromPipe(channel.get(), 0)));
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 1);

    copy = sentinel();
    EXPECT_EQ(Channel_checkedPeekCopyFromPipe(channel.get(), 5, &copy), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(Channel_checkedPeekCopyFromPipe(nullptr, 0, &copy), TRELLUM_INVALID_ARGUMENT);
    EXPECT_EQ(Channel_checkedPeekCopyFromPipe(channel.get(), 0, kUnset), TRELLUM_INVALID_ARGUMENT);
}

} // namespace
