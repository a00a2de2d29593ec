// Two deletes of one ID, the first one preempted right after it let go of
// the registry mutex. This program interposes pthread_mutex_unlock (the
// library's calls bind to the definition here) to hold the deleting thread
// at exactly that point until the other thread is done, so the interleaving
// is forced instead of hoped for. The sanitizers intercept the same
// function, so this runs only in builds without them.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "message_helpers.h"

using trellum_test::BoundedThreads;
using trellum_test::eventually;
using trellum_test::makeMessage;
using trellum_test::OwnedMessage;

namespace {

using UnlockFunction = int (*)(pthread_mutex_t *);
std::atomic<UnlockFunction> realUnlock{nullptr};

// Set on the deleting thread around its delete: the delete's first unlock
// is the registry's.
thread_local bool tHoldAfterUnlock = false;
std::atomic<bool> deleterHeld{false}, otherThreadDone{false};

// Resolved lazily without a guarded static: a guard's slow path could
// itself unlock a mutex and come back here.
UnlockFunction unlockFunction() {
    UnlockFunction function = realUnlock.load(std::memory_order_acquire);
    if (function == nullptr) {
        function = reinterpret_cast<UnlockFunction>(dlsym(RTLD_NEXT, "pthread_mutex_unlock"));
        if (function == nullptr) std::abort();
        realUnlock.store(function, std::memory_order_release);
    }
    return function;
}

} // namespace

extern "C" int pthread_mutex_unlock(pthread_mutex_t *mutex) {
    const int result = unlockFunction()(mutex);
    if (tHoldAfterUnlock) {
        tHoldAfterUnlock = false;
        deleterHeld = true;
        // A preemption of the deleter: until the other thread is done, or
        // 5 s should it be waiting for this one.
        eventually([] { return otherThreadDone.load(); }, std::chrono::milliseconds(5000));
    }
    return result;
}

namespace {

TEST(DeleteRace, ALookupAfterTheSecondDeleteReturnedGivesTheNewChannel) {
    const int32_t id = 990001;
    const int32_t pipe = 1;
    Channel old = ChannelManager_acquireChannel(id);  // pinned: its address is not reused
    Channel secondDeletersChannel = nullptr;

    BoundedThreads threads;
    std::atomic<bool> memoized{false};
    threads.start([&] {
        // This thread's memo holds the old channel when the race begins.
        ChannelManager_releaseChannel(ChannelManager_acquireChannel(id));
        memoized = true;
        if (!eventually([] { return deleterHeld.load(); })) return;
        ChannelManager_deleteChannel(id);  // finds nothing: the first delete unlinked it
        Channel channel = ChannelManager_acquireChannel(id);
        secondDeletersChannel = channel;
        Channel_addToPipe(channel, pipe, makeMessage(5, 42));
        ChannelManager_releaseChannel(channel);
        otherThreadDone = true;
    });
    ASSERT_TRUE(eventually([&] { return memoized.load(); }));
    threads.start([&] {
        tHoldAfterUnlock = true;
        ChannelManager_deleteChannel(id);
        tHoldAfterUnlock = false;
    });
    ASSERT_TRUE(threads.joinAll());
    EXPECT_NE(secondDeletersChannel, old) << "a lookup after the delete returned gave the deleted channel";

    // Received on a thread whose memo never saw the ID: the registry's channel.
    Message received = nullptr;
    threads.start([&] {
        Channel channel = ChannelManager_acquireChannel(id);
        EXPECT_EQ(Channel_timedRemoveFromPipe(channel, pipe, 1000000000, &received), TRELLUM_RECEIVED);
        ChannelManager_releaseChannel(channel);
    });
    ASSERT_TRUE(threads.joinAll());
    OwnedMessage owned(received);
    ASSERT_NE(received, nullptr) << "the message put after both deletes returned was lost";
    EXPECT_EQ(received->header->messageID, 42);

    ChannelManager_releaseChannel(old);
    ChannelManager_deleteChannel(id);
}

} // namespace
