// Non-blocking pipe operations: peek, size, clear, the peeked copy, queue
// nodes, freeing a channel with messages queued, and addresses outside the
// channel (a NULL channel, pipe indexes other than 0 and 1).
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "bounded_receive.h"
#include "message_helpers.h"
#include "pipe_inspect.h"

using trellum_test::makeMessage;
using trellum_test::OwnedChannel;
using trellum_test::OwnedMessage;

namespace {

TEST(PipeOps, EmptyPipePeeksNullAndCountsZero) {
    OwnedChannel channel(Channel_new(3));
    for (int pipe : {0, 1}) {
        EXPECT_EQ(Channel_peekFromPipe(channel.get(), pipe), nullptr);
        EXPECT_EQ(Channel_peekCopyFromPipe(channel.get(), pipe), nullptr);
        EXPECT_EQ(Channel_sizeOfPipe(channel.get(), pipe), 0);
        Channel_clearPipe(channel.get(), pipe);
        EXPECT_EQ(Channel_sizeOfPipe(channel.get(), pipe), 0);
    }
}

TEST(PipeOps, PeekLendsTheFirstMessageWithoutTakingIt) {
    OwnedChannel channel(Channel_new(3));
    Message later = makeMessage(2, 20);
    Message first = makeMessage(1, 10);
    Channel_addToPipe(channel.get(), 0, later);
    Channel_addToPipe(channel.get(), 0, first);
    EXPECT_EQ(Channel_peekFromPipe(channel.get(), 0), first);
    EXPECT_EQ(Channel_peekFromPipe(channel.get(), 0), first);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 2);
    OwnedMessage removed(trellum_test::receiveWithin(channel.get(), 0));
    EXPECT_EQ(removed.get(), first);
    EXPECT_EQ(Channel_peekFromPipe(channel.get(), 0), later);
}

// The copy is made under the pipe's lock and shares nothing with the queued
// message: it stays readable after the original is removed and freed.
TEST(PipeOps, PeekedCopyOutlivesTheQueuedMessage) {
    OwnedChannel channel(Channel_new(3));
    const char text[] = "the first message";
    Channel_addToPipe(channel.get(), 1, Message_new(11, -4, 3, 77, 5, sizeof text, text));
    OwnedMessage copy(Channel_peekCopyFromPipe(channel.get(), 1));
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.get(), Channel_peekFromPipe(channel.get(), 1));
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 1), 1);

    Message_free(trellum_test::receiveWithin(channel.get(), 1));
    EXPECT_EQ(copy->header->type, 11);
    EXPECT_EQ(copy->header->priority, -4);
    EXPECT_EQ(copy->header->channelID, 3);
    EXPECT_EQ(copy->header->messageID, 77);
    EXPECT_EQ(copy->header->attributes, 5);
    ASSERT_EQ(copy->body->length, static_cast<int32_t>(sizeof text));
    EXPECT_STREQ(reinterpret_cast<char *>(copy->body->data), text);
}

TEST(PipeOps, PeekedCopyOfHandAssembledMessage) {
    OwnedChannel channel(Channel_new(3));
    Channel_addToPipe(channel.get(), 0, trellum_test::assembleMessage(5, 55));
    OwnedMessage copy(Channel_peekCopyFromPipe(channel.get(), 0));
    Channel_clearPipe(channel.get(), 0);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->header->messageID, 55);
    int32_t body;
    ASSERT_EQ(copy->body->length, static_cast<int32_t>(sizeof body));
    std::memcpy(&body, copy->body->data, sizeof body);
    EXPECT_EQ(body, 55);
}

TEST(PipeOps, ClearFreesEverythingAndThePipeStaysUsable) {
    OwnedChannel channel(Channel_new(3));
    for (int32_t i = 0; i < 50; ++i) {
        Channel_addToPipe(channel.get(), 0, i % 2 ? makeMessage(i % 5, i) : trellum_test::assembleMessage(i % 5, i));
    }
    Channel_addToPipe(channel.get(), 1, makeMessage(0, 1000));
    Channel_clearPipe(channel.get(), 0);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 0);
    EXPECT_EQ(Channel_peekFromPipe(channel.get(), 0), nullptr);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 1), 1);

    // The index must have forgotten the cleared nodes.
    Channel_addToPipe(channel.get(), 0, makeMessage(3, 1));
    Channel_addToPipe(channel.get(), 0, makeMessage(1, 2));
    Channel_addToPipe(channel.get(), 0, makeMessage(3, 3));
    const std::vector<trellum_test::Queued> expected = {{1, 2}, {3, 1}, {3, 3}};
    EXPECT_TRUE(trellum_test::queuedMessages(channel.get(), 0) == expected);
}

TEST(PipeOps, PipesOfAChannelAreIndependent) {
    OwnedChannel channel(Channel_new(3));
    Channel_addToPipe(channel.get(), 0, makeMessage(1, 1));
    Channel_addToPipe(channel.get(), 1, makeMessage(0, 2));
    Channel_addToPipe(channel.get(), 1, makeMessage(0, 3));
    Channel_shutdown(channel.get(), 1);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 1);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 1), 2);
    OwnedMessage fromZero(trellum_test::receiveWithin(channel.get(), 0));  // pipe 0 still runs
    ASSERT_TRUE(fromZero);
    EXPECT_EQ(fromZero->header->messageID, 1);
    Channel_clearPipe(channel.get(), 1);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 1), 0);
}

// Both pipes full, with messages of both kinds: the sanitizer build reports
// any message Channel_free leaves behind.
TEST(PipeOps, FreeingAChannelFreesEveryQueuedMessage) {
    Channel channel = Channel_new(3);
    for (int32_t i = 0; i < 20; ++i) {
        Channel_addToPipe(channel, i % 2, makeMessage(i % 3, i));
        Channel_addToPipe(channel, i % 2, trellum_test::assembleMessage(-i, 100 + i));
    }
    Channel_shutdown(channel, 0);
    Channel_free(channel);
    Channel_free(nullptr);
}

// Queue nodes on their own: a chain of nodes frees every message in it,
// whichever way each was made.
TEST(PipeOps, NodeChainFreesItsMessages) {
    MessagePipe_free(nullptr);
    MessagePipe head = MessagePipe_new(makeMessage(1, 1));
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->next, nullptr);
    MessagePipe middle = MessagePipe_new(trellum_test::assembleMessage(2, 2));
    MessagePipe tail = MessagePipe_new(makeMessage(3, 3));
    ASSERT_TRUE(middle && tail);
    EXPECT_EQ(head->message->header->messageID, 1);
    EXPECT_EQ(middle->message->header->messageID, 2);
    head->next = middle;
    middle->next = tail;
    MessagePipe_free(head);
    MessagePipe_free(MessagePipe_new(nullptr));
}

// ---- addresses outside a channel ---------------------------------------------

class OutsideTheChannel : public testing::TestWithParam<int32_t> {};

// An invalid index touches neither pipe: the message handed over is freed
// (the sanitizer build would report a leak), nothing blocks, nothing is
// counted, and the real pipes keep their messages and their running state.
TEST_P(OutsideTheChannel, InvalidPipeIndexIsHarmless) {
    const int32_t index = GetParam();
    OwnedChannel channel(Channel_new(5));
    Channel_addToPipe(channel.get(), 0, makeMessage(1, 1));
    Channel_addToPipe(channel.get(), 1, makeMessage(1, 2));

    Channel_addToPipe(channel.get(), index, makeMessage(0, 3));
    Channel_addToPipe(channel.get(), index, trellum_test::assembleMessage(0, 4));
    Channel_shutdown(channel.get(), index);
    Channel_startup(channel.get(), index);
    Channel_shutdown(channel.get(), index);
    EXPECT_EQ(Channel_peekFromPipe(channel.get(), index), nullptr);
    EXPECT_EQ(Channel_peekCopyFromPipe(channel.get(), index), nullptr);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), index), 0);
    Channel_clearPipe(channel.get(), index);
    Message removed = reinterpret_cast<Message>(1);
    EXPECT_TRUE(trellum_test::returnsInTime([&] { removed = Channel_removeFromPipe(channel.get(), index); }));
    EXPECT_EQ(removed, nullptr);

    for (int pipe : {0, 1}) {
        EXPECT_EQ(Channel_sizeOfPipe(channel.get(), pipe), 1);
        OwnedMessage message(trellum_test::receiveWithin(channel.get(), pipe));  // not shut down
        ASSERT_TRUE(message);
        EXPECT_EQ(message->header->messageID, pipe + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Indexes, OutsideTheChannel, testing::Values(2, -1, INT32_MIN, INT32_MAX));

TEST(OutsideTheChannel, NullChannelIsHarmless) {
    for (int32_t pipe : {0, 1, 2}) {
        Channel_addToPipe(nullptr, pipe, makeMessage(0, 1));
        Channel_shutdown(nullptr, pipe);
        Channel_startup(nullptr, pipe);
        Channel_clearPipe(nullptr, pipe);
        EXPECT_EQ(Channel_peekFromPipe(nullptr, pipe), nullptr);
        EXPECT_EQ(Channel_peekCopyFromPipe(nullptr, pipe), nullptr);
        EXPECT_EQ(Channel_sizeOfPipe(nullptr, pipe), 0);
        Message removed = reinterpret_cast<Message>(1);
        EXPECT_TRUE(trellum_test::returnsInTime([&] { removed = Channel_removeFromPipe(nullptr, pipe); }));
        EXPECT_EQ(removed, nullptr);
    }
}

TEST(OutsideTheChannel, NullMessageIsIgnored) {
    OwnedChannel channel(Channel_new(5));
    Channel_addToPipe(channel.get(), 0, nullptr);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 0);
    EXPECT_EQ(Channel_peekFromPipe(channel.get(), 0), nullptr);
}

} // namespace
