// The blocking receive: what wakes it, what does not, and shutdown. Every
// wait is bounded; receivers that stay blocked are released by a shutdown
// so that a fault fails the test instead of hanging it.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
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
using trellum_test::eventually;
using trellum_test::makeMessage;
using trellum_test::OwnedChannel;
using trellum_test::OwnedMessage;

namespace {

// Long enough for a wrongly woken receiver to get back to work; the tests do
// not depend on it for passing, only for catching a wrong wake-up.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

void shutdownBoth(Channel channel) {
    Channel_shutdown(channel, 0);
    Channel_shutdown(channel, 1);
}

// One receiver on `pipe`, started and seen blocked. It records the ID of
// what it receives (-2 for NULL); a shutdown of both pipes releases it.
class BlockedReceiver {
public:
    BlockedReceiver(Channel channel, int32_t pipe) : thread_([channel] { shutdownBoth(channel); }) {
        thread_.start([this, channel, pipe] {
            OwnedMessage message(Channel_removeFromPipe(channel, pipe));
            receivedID_ = message ? message->header->messageID : -2;
        });
        blocked_ = eventually([&] { return trellum_test::blockedReceivers(channel, pipe) == 1; });
    }
    bool blocked() const { return blocked_; }
    bool finished() const { return thread_.finished() != 0; }
    // The received ID, or -1 when the receiver missed the deadline.
    int32_t join() { return thread_.joinAll() ? receivedID_.load() : -1; }

private:
    std::atomic<int32_t> receivedID_{-1};
    BoundedThreads thread_;
    bool blocked_ = false;
};

TEST(Receive, WaitsForAnAddToItsOwnPipeOnly) {
    OwnedChannel channel(Channel_new(1));
    BlockedReceiver receiver(channel.get(), 0);
    ASSERT_TRUE(receiver.blocked());

    Channel_addToPipe(channel.get(), 1, makeMessage(0, 100));
    settle();
    EXPECT_FALSE(receiver.finished()) << "an add to pipe 1 woke a receiver of pipe 0";
    EXPECT_EQ(trellum_test::blockedReceivers(channel.get(), 0), 1);

    Channel_addToPipe(channel.get(), 0, makeMessage(0, 200));
    EXPECT_EQ(receiver.join(), 200);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 1), 1);
}

// Each add wakes one receiver, and none is lost when adds come quickly while
// several receivers wait.
TEST(Receive, EveryBlockedReceiverGetsOneOfTheAddedMessages) {
    constexpr int kReceivers = 4;
    OwnedChannel channel(Channel_new(1));
    std::mutex receivedMutex;
    std::multiset<int32_t> received;
    BoundedThreads receivers([&] { shutdownBoth(channel.get()); });
    for (int i = 0; i < kReceivers; ++i) {
        receivers.start([&] {
            OwnedMessage message(Channel_removeFromPipe(channel.get(), 1));
            std::lock_guard<std::mutex> lock(receivedMutex);
            received.insert(message ? message->header->messageID : -1);
        });
    }
    ASSERT_TRUE(eventually([&] { return trellum_test::blockedReceivers(channel.get(), 1) == kReceivers; }));
    for (int32_t id = 0; id < kReceivers; ++id) Channel_addToPipe(channel.get(), 1, makeMessage(0, id));
    EXPECT_TRUE(receivers.joinAll());
    EXPECT_EQ(received, (std::multiset<int32_t>{0, 1, 2, 3}));
}

TEST(Shutdown, WakesEveryBlockedReceiver) {
    constexpr int kReceivers = 5;
    OwnedChannel channel(Channel_new(1));
    std::atomic<int> ready{0}, gotNull{0};
    // If the shutdown wakes only some, messages release the rest.
    BoundedThreads receivers([&] {
        for (int i = 0; i < kReceivers; ++i) Channel_addToPipe(channel.get(), 0, makeMessage(0, i));
    });
    for (int i = 0; i < kReceivers; ++i) {
        receivers.start([&] {
            ++ready;
            OwnedMessage message(Channel_removeFromPipe(channel.get(), 0));
            if (!message) ++gotNull;
        });
    }
    ASSERT_TRUE(eventually([&] { return ready == kReceivers; }));
    ASSERT_TRUE(eventually([&] { return trellum_test::blockedReceivers(channel.get(), 0) == kReceivers; }));
    settle();
    EXPECT_EQ(receivers.finished(), 0);

    Channel_shutdown(channel.get(), 0);
    EXPECT_TRUE(receivers.joinAll()) << "a shutdown left receivers blocked";
    EXPECT_EQ(gotNull.load(), kReceivers);
}

TEST(Shutdown, ReceiveReturnsNullAtOnceAndKeepsTheQueue) {
    OwnedChannel channel(Channel_new(1));
    for (int32_t p : {3, 1, 2}) Channel_addToPipe(channel.get(), 0, makeMessage(p, p));
    Channel_shutdown(channel.get(), 0);
    Channel_shutdown(channel.get(), 0);  // any number of times

    Message removed = reinterpret_cast<Message>(1);
    ASSERT_TRUE(trellum_test::returnsInTime([&] { removed = Channel_removeFromPipe(channel.get(), 0); },
                                            [&] { Channel_startup(channel.get(), 0); }));
    EXPECT_EQ(removed, nullptr);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 3);
    Message first = Channel_peekFromPipe(channel.get(), 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->header->priority, 1);

    // Adds still queue while shut down, and wake nobody.
    Channel_addToPipe(channel.get(), 0, makeMessage(0, 0));
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 4);

    Channel_startup(channel.get(), 0);
    Channel_startup(channel.get(), 0);
    for (int32_t expected : {0, 1, 2, 3}) {
        OwnedMessage message(trellum_test::receiveWithin(channel.get(), 0));
        ASSERT_TRUE(message);
        EXPECT_EQ(message->header->priority, expected);
    }
}

// A pipe shut down, then started up again, blocks receivers as before, and
// clearing a pipe wakes nobody.
TEST(Shutdown, StartupRestoresBlockingReceive) {
    OwnedChannel channel(Channel_new(1));
    Channel_shutdown(channel.get(), 1);
    Channel_startup(channel.get(), 1);
    BlockedReceiver receiver(channel.get(), 1);
    ASSERT_TRUE(receiver.blocked());
    Channel_clearPipe(channel.get(), 1);
    Channel_startup(channel.get(), 1);
    settle();
    EXPECT_FALSE(receiver.finished());
    Channel_addToPipe(channel.get(), 1, makeMessage(0, 7));
    EXPECT_EQ(receiver.join(), 7);
}

// Producers and one consumer hand over many messages through the blocking
// receive. Nothing is lost or duplicated, and each producer's messages (all
// of one priority) arrive in the order it sent them.
TEST(Handover, ManyProducersOneConsumer) {
    constexpr int kProducers = 3;
    constexpr int32_t kPerProducer = 3000;
    OwnedChannel channel(Channel_new(1));
    std::vector<int32_t> lastSeen(kProducers, -1);
    int outOfOrder = 0, total = 0;
    BoundedThreads threads([&] { shutdownBoth(channel.get()); });
    threads.start([&] {
        while (total < kProducers * kPerProducer) {
            OwnedMessage message(Channel_removeFromPipe(channel.get(), 0));
            if (!message) return;  // released after a fault
            int32_t producer = message->header->type, sequence = message->header->messageID;
            if (sequence <= lastSeen[producer]) ++outOfOrder;
            lastSeen[producer] = sequence;
            ++total;
        }
    });
    for (int32_t producer = 0; producer < kProducers; ++producer) {
        threads.start([&channel, producer] {
            for (int32_t sequence = 0; sequence < kPerProducer; ++sequence) {
                Channel_addToPipe(channel.get(), 0, Message_new(producer, 5, 1, sequence, 0, 0, nullptr));
            }
        });
    }
    EXPECT_TRUE(threads.joinAll());
    EXPECT_EQ(total, kProducers * kPerProducer);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 0);
}

// Copies are taken and sizes read while other threads add, remove and free
// the very messages being copied. The sanitizer builds report any use after
// free or data race; here, every copy must be whole.
TEST(Handover, PeekedCopiesRaceWithRemoval) {
    constexpr int32_t kMessages = 4000;
    OwnedChannel channel(Channel_new(1));
    std::atomic<bool> consumed{false};
    std::atomic<int> torn{0}, badSizes{0};
    BoundedThreads threads([&] { shutdownBoth(channel.get()); });
    threads.start([&] {
        for (int32_t i = 0; i < kMessages; ++i) {
            std::vector<uint8_t> body(64, static_cast<uint8_t>(i));
            Channel_addToPipe(channel.get(), 0, Message_new(0, i % 4, 0, i, 0, 64, body.data()));
        }
    });
    threads.start([&] {
        for (int32_t i = 0; i < kMessages; ++i) {
            if (Message message = Channel_removeFromPipe(channel.get(), 0)) Message_free(message);
        }
        consumed = true;
    });
    for (int peeker = 0; peeker < 2; ++peeker) {
        threads.start([&] {
            while (!consumed) {
                // The count is read without the pipe's lock.
                const int32_t size = Channel_sizeOfPipe(channel.get(), 0);
                if (size < 0 || size > kMessages) ++badSizes;
                OwnedMessage copy(Channel_peekCopyFromPipe(channel.get(), 0));
                if (!copy) continue;
                const auto expected = static_cast<uint8_t>(copy->header->messageID);
                if (copy->body->length != 64) {
                    ++torn;
                    continue;
                }
                for (int b = 0; b < 64; ++b) {
                    if (copy->body->data[b] != expected) {
                        ++torn;
                        break;
                    }
                }
            }
        });
    }
    EXPECT_TRUE(threads.joinAll());
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(badSizes.load(), 0);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 0);
}

} // namespace
