// Exhausted memory: constructors report it by NULL and leave nothing
// behind; operations without a failure result abort rather than lose or
// corrupt a queue.
#include <csignal>
#include <cstdint>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "failing_allocator.h"
#include "message_helpers.h"

using trellum_test::allowAllAllocations;
using trellum_test::failAllocationsAfter;
using trellum_test::liveAllocations;

namespace {

// Every allocation the constructor makes may be the one that fails: each
// time the result is NULL and no block stays allocated.
template <class Construct, class Free>
void expectNullAndNoLeakWhenAnyAllocationFails(Construct construct, Free release) {
    for (int succeeding = 0;; ++succeeding) {
        const long before = liveAllocations();
        failAllocationsAfter(succeeding);
        auto made = construct();
        allowAllAllocations();
        if (made != nullptr) {
            release(made);
            ASSERT_EQ(liveAllocations(), before);
            ASSERT_GT(succeeding, 0) << "nothing was allocated";
            return;
        }
        ASSERT_EQ(liveAllocations(), before) << "leak when allocation " << succeeding + 1 << " fails";
    }
}

TEST(OutOfMemory, ConstructorsReturnNullAndLeakNothing) {
    const char bytes[] = "body";
    expectNullAndNoLeakWhenAnyAllocationFails([] { return MessageHeader_new(1, 2, 3, 4, 5); },
                                              MessageHeader_free);
    expectNullAndNoLeakWhenAnyAllocationFails([&] { return MessageBody_new(sizeof bytes, bytes); },
                                              MessageBody_free);
    expectNullAndNoLeakWhenAnyAllocationFails([] { return MessageBody_new(0, nullptr); }, MessageBody_free);
    expectNullAndNoLeakWhenAnyAllocationFails(
        [&] { return Message_new(1, 2, 3, 4, 5, sizeof bytes, bytes); }, Message_free);
    expectNullAndNoLeakWhenAnyAllocationFails([] { return Message_new(1, 2, 3, 4, 5, 0, nullptr); },
                                              Message_free);
}

// The copy is the only thing allocated; failing it leaves the queue alone.
TEST(OutOfMemory, PeekedCopyReturnsNullAndKeepsTheQueue) {
    trellum_test::OwnedChannel channel(Channel_new(1));
    Channel_addToPipe(channel.get(), 0, trellum_test::makeMessage(3, 33));
    failAllocationsAfter(0);
    Message copy = Channel_peekCopyFromPipe(channel.get(), 0);
    allowAllAllocations();
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(Channel_sizeOfPipe(channel.get(), 0), 1);
    Message_free(copy);
}

// In the child of a death test. Allocation is allowed again should the
// library return, so that the test then fails for not dying rather than
// crashing in some unrelated way.
#define EXPECT_ABORTS_WHEN_ALLOCATION_FAILS(statement)                                      \
    EXPECT_EXIT(                                                                            \
        {                                                                                   \
            failAllocationsAfter(0);                                                        \
            statement;                                                                      \
            allowAllAllocations();                                                          \
        },                                                                                  \
        testing::KilledBySignal(SIGABRT), "")

TEST(OutOfMemoryDeathTest, ChannelWithoutMemoryAborts) {
    EXPECT_ABORTS_WHEN_ALLOCATION_FAILS(Channel_new(1));
}

TEST(OutOfMemoryDeathTest, RegistryWithoutMemoryAborts) {
    ChannelManager_createOrGetChannel(1);  // the registry's table exists
    EXPECT_ABORTS_WHEN_ALLOCATION_FAILS(ChannelManager_createOrGetChannel(2));
    ChannelManager_deleteChannel(1);
}

// A message assembled by hand needs a node of its own.
TEST(OutOfMemoryDeathTest, QueueNodeWithoutMemoryAborts) {
    Channel channel = Channel_new(1);
    Channel_addToPipe(channel, 0, trellum_test::makeMessage(1, 1));  // the index has room
    Message message = trellum_test::assembleMessage(1, 2);
    EXPECT_ABORTS_WHEN_ALLOCATION_FAILS(Channel_addToPipe(channel, 0, message));
    Message_free(message);  // the parent still owns it
    Channel_free(channel);
}

// A new priority needs an entry in the pipe's index.
TEST(OutOfMemoryDeathTest, PriorityIndexWithoutMemoryAborts) {
    Channel channel = Channel_new(1);
    Message message = trellum_test::makeMessage(1, 1);
    EXPECT_ABORTS_WHEN_ALLOCATION_FAILS(Channel_addToPipe(channel, 0, message));
    Message_free(message);
    Channel_free(channel);
}

} // namespace
