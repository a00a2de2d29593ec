// Messages: records stored unchanged, bodies copied, failures reported by NULL.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/Message.h>

#include "message_helpers.h"

using trellum_test::OwnedMessage;

namespace {

TEST(MessageHeader, StoresEveryValueUnchanged) {
    MessageHeader header = MessageHeader_new(INT32_MIN, -1, 0, INT32_MAX, -7);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->type, INT32_MIN);
    EXPECT_EQ(header->priority, -1);
    EXPECT_EQ(header->channelID, 0);
    EXPECT_EQ(header->messageID, INT32_MAX);
    EXPECT_EQ(header->attributes, -7);
    MessageHeader_free(header);
}

TEST(MessageBody, HoldsAPrivateCopy) {
    char source[] = "payload";
    MessageBody body = MessageBody_new(sizeof source, source);
    ASSERT_NE(body, nullptr);
    ASSERT_EQ(body->length, static_cast<int32_t>(sizeof source));
    EXPECT_NE(static_cast<void *>(body->data), static_cast<void *>(source));
    std::memset(source, 'x', sizeof source);
    EXPECT_STREQ(reinterpret_cast<char *>(body->data), "payload");
    MessageBody_free(body);
}

TEST(MessageBody, EmptyBodyNeedsNoSource) {
    MessageBody body = MessageBody_new(0, nullptr);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->length, 0);
    MessageBody_free(body);
}

TEST(MessageBody, NegativeSizeIsRefused) {
    char source[4] = {};
    EXPECT_EQ(MessageBody_new(-1, source), nullptr);
    EXPECT_EQ(MessageBody_new(INT32_MIN, source), nullptr);
}

TEST(Message, StoresHeaderAndCopiesBody) {
    std::vector<uint8_t> source(100000);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7);
    const std::vector<uint8_t> original = source;

    OwnedMessage message(Message_new(-3, INT32_MIN, -5, INT32_MAX, 0x7f00ff00,
                                     static_cast<int32_t>(source.size()), source.data()));
    ASSERT_NE(message, nullptr);
    ASSERT_NE(message->header, nullptr);
    ASSERT_NE(message->body, nullptr);
    EXPECT_EQ(message->header->type, -3);
    EXPECT_EQ(message->header->priority, INT32_MIN);
    EXPECT_EQ(message->header->channelID, -5);
    EXPECT_EQ(message->header->messageID, INT32_MAX);
    EXPECT_EQ(message->header->attributes, 0x7f00ff00);

    std::fill(source.begin(), source.end(), 0);
    ASSERT_EQ(message->body->length, static_cast<int32_t>(original.size()));
    EXPECT_EQ(std::memcmp(message->body->data, original.data(), original.size()), 0);
}

TEST(Message, EmptyBodyNeedsNoSource) {
    OwnedMessage message(Message_new(1, 2, 3, 4, 5, 0, nullptr));
    ASSERT_NE(message, nullptr);
    ASSERT_NE(message->body, nullptr);
    EXPECT_EQ(message->body->length, 0);
    EXPECT_EQ(message->header->attributes, 5);
}

// A NULL source gives zeros for the caller to fill (the JVM binding copies a
// Java array straight into the body this way).
TEST(Message, NullSourceGivesZeroedBodyToFill) {
    for (int32_t size : {1, 64, 4099}) {
        Message message = Message_new(1, 2, 3, 4, 5, size, nullptr);
        ASSERT_NE(message, nullptr);
        ASSERT_EQ(message->body->length, size);
        EXPECT_EQ(std::count(message->body->data, message->body->data + size, 0), size);
        MessageBody body = MessageBody_new(size, nullptr);
        ASSERT_NE(body, nullptr);
        EXPECT_EQ(std::count(body->data, body->data + size, 0), size);
        MessageBody_free(body);
        Message_free(message);
    }
}

TEST(Message, NegativeSizeIsRefused) {
    char source[4] = {};
    EXPECT_EQ(Message_new(0, 0, 0, 0, 0, -1, source), nullptr);
    EXPECT_EQ(Message_new(0, 0, 0, 0, 0, INT32_MIN, source), nullptr);
}

TEST(Message, DistinctMessagesDoNotShareStorage) {
    OwnedMessage a(trellum_test::makeMessage(1, 10));
    OwnedMessage b(trellum_test::makeMessage(1, 20));
    ASSERT_TRUE(a && b);
    a->body->data[0] = 0xee;
    a->header->priority = 99;
    EXPECT_EQ(b->header->priority, 1);
    EXPECT_EQ(b->body->data[0], 20);
}

TEST(Free, NullIsHarmless) {
    MessageHeader_free(nullptr);
    MessageBody_free(nullptr);
    Message_free(nullptr);
}

// Message_free must free records it did not make itself: a message assembled
// from separate allocations, and a one-block message whose body was given a
// buffer of the caller's. The sanitizer build reports a leak or a bad free.
TEST(Free, HandAssembledMessage) {
    Message message = trellum_test::assembleMessage(4, 44);
    ASSERT_NE(message, nullptr);
    ASSERT_TRUE(message->header && message->body);
    EXPECT_EQ(message->header->priority, 4);
    Message_free(message);
}

TEST(Free, ReplacedBodyBuffer) {
    Message message = Message_new(0, 0, 0, 0, 0, 3, "abc");
    ASSERT_NE(message, nullptr);
    auto *buffer = static_cast<uint8_t *>(std::malloc(5));
    ASSERT_NE(buffer, nullptr);
    std::memcpy(buffer, "hello", 5);
    message->body->data = buffer;
    message->body->length = 5;
    EXPECT_EQ(trellum_test::bodyText(message), "hello");
    Message_free(message);
}

} // namespace
