// Readiness descriptors: readable exactly while a receive would not wait,
// through every change of the pipe, for every descriptor of it, and none
// left open by the library once its channel is gone.
#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "message_helpers.h"

using trellum_test::BoundedThreads;
using trellum_test::makeMessage;
using trellum_test::OwnedChannel;

namespace {

bool readable(int fd) {
    struct pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

// Whether every descriptor in `fds` reads `ready`; the message names the odd one.
::testing::AssertionResult allReadable(const std::vector<int> &fds, bool ready) {
    for (int fd : fds) {
        if (readable(fd) != ready) {
            return ::testing::AssertionFailure() << "descriptor " << fd << (ready ? " not" : "") << " readable";
        }
    }
    return ::testing::AssertionSuccess();
}

void take(Channel channel, int32_t pipe) {
    Message message = nullptr;
    ASSERT_EQ(Channel_timedRemoveFromPipe(channel, pipe, 0, &message), TRELLUM_RECEIVED);
    Message_free(message);
}

int openDescriptors() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

TEST(PipeEvents, FollowTheQueueForEveryDescriptorAndPipeAlone) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    std::vector<int> zero = {Channel_openPipeEvents(c, 0), Channel_openPipeEvents(c, 0), Channel_openPipeEvents(c, 0)};
    const int one = Channel_openPipeEvents(c, 1);
    for (int fd : zero) ASSERT_GE(fd, 0);
    ASSERT_GE(one, 0);
    EXPECT_NE(zero[0], zero[1]);
    EXPECT_TRUE(allReadable(zero, false));

    Channel_addToPipe(c, 0, makeMessage(0, 1));
    Channel_addToPipe(c, 0, makeMessage(0, 2));
    EXPECT_TRUE(allReadable(zero, true));
    EXPECT_FALSE(readable(one));
    take(c, 0);
    EXPECT_TRUE(allReadable(zero, true)) << "one message is still queued";
    take(c, 0);
    EXPECT_TRUE(allReadable(zero, false));

    Channel_addToPipe(c, 0, makeMessage(0, 3));
    Channel_addToPipe(c, 0, makeMessage(0, 4));
    Channel_clearPipe(c, 0);
    EXPECT_TRUE(allReadable(zero, false));

    Channel_addToPipe(c, 1, makeMessage(0, 5));
    EXPECT_TRUE(readable(one));
    EXPECT_TRUE(allReadable(zero, false));

    // Closing one descriptor leaves the pipe's others, and new ones, in step.
    close(zero[0]);
    zero.erase(zero.begin());
    Channel_addToPipe(c, 0, makeMessage(0, 6));
    EXPECT_TRUE(allReadable(zero, true));
    zero.push_back(Channel_openPipeEvents(c, 0));
    EXPECT_TRUE(allReadable(zero, true)) << "a descriptor opened on a ready pipe starts readable";
    take(c, 0);
    EXPECT_TRUE(allReadable(zero, false));
    EXPECT_TRUE(readable(one));
    for (int fd : zero) close(fd);
    close(one);
}

TEST(PipeEvents, ShutDownPipeIsReadableUntilStartedUpEmpty) {
    OwnedChannel channel(Channel_new(1));
    Channel c = channel.get();
    const std::vector<int> fds = {Channel_openPipeEvents(c, 1), Channel_openPipeEvents(c, 1)};
    const int other = Channel_openPipeEvents(c, 0);
    Channel_shutdown(c, 1);
    EXPECT_TRUE(allReadable(fds, true)) << "shut down and empty";
    EXPECT_FALSE(readable(other));
    Channel_startup(c, 1);
    EXPECT_TRUE(allReadable(fds, false)) << "running and empty";

    Channel_shutdown(c, 1);
    Channel_addToPipe(c, 1, makeMessage(0, 1));
    Channel_startup(c, 1);
    EXPECT_TRUE(allReadable(fds, true)) << "running with a message queued";
    take(c, 1);
    EXPECT_TRUE(allReadable(fds, false));
    for (int fd : fds) close(fd);
    close(other);
}

// A deleted channel's pipes are ready for good: the descriptors stay
// readable after the last pin goes and the channel is freed.
TEST(PipeEvents, DeletedChannelStaysReadableUntilClosed) {
    const int32_t id = 14001;
    Channel pinned = ChannelManager_acquireChannel(id);
    std::vector<int> fds = {Channel_openPipeEvents(pinned, 0), Channel_openPipeEvents(pinned, 0),
                            Channel_openPipeEvents(pinned, 1)};
    Channel_addToPipe(pinned, 1, makeMessage(0, 1));
    EXPECT_TRUE(allReadable({fds[0], fds[1]}, false));
    ChannelManager_deleteChannel(id);
    EXPECT_TRUE(allReadable(fds, true));
    Channel_clearPipe(pinned, 0);  // does nothing to a deleted pipe's readiness
    Channel_startup(pinned, 0);
    EXPECT_TRUE(allReadable(fds, true));
    close(fds[0]);
    fds.erase(fds.begin());
    fds.push_back(Channel_openPipeEvents(pinned, 0));
    ASSERT_GE(fds.back(), 0);
    ChannelManager_releaseChannel(pinned);
    EXPECT_TRUE(allReadable(fds, true)) << "opened before and after the delete";
    for (int fd : fds) close(fd);
}

TEST(PipeEvents, RejectsNullChannelAndBadPipe) {
    OwnedChannel channel(Channel_new(1));
    errno = 0;
    EXPECT_EQ(Channel_openPipeEvents(nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    for (int32_t pipe : {-1, 2}) {
        errno = 0;
        EXPECT_EQ(Channel_openPipeEvents(channel.get(), pipe), -1);
        EXPECT_EQ(errno, EINVAL);
    }
}

// Level-triggered epoll over many pipes reports the one that got a message,
// and keeps reporting it until it is drained.
TEST(PipeEvents, EpollWakesForTheOnePipeThatGotAMessage) {
    constexpr int kPipes = 100;
    constexpr int kChosen = 63;
    std::vector<OwnedChannel> channels;
    std::vector<int> fds;
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(epoll, 0);
    for (int i = 0; i < kPipes; ++i) {
        channels.emplace_back(Channel_new(i));
        fds.push_back(Channel_openPipeEvents(channels.back().get(), i % 2));
        ASSERT_GE(fds.back(), 0);
        struct epoll_event event = {};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        ASSERT_EQ(epoll_ctl(epoll, EPOLL_CTL_ADD, fds.back(), &event), 0);
    }
    struct epoll_event events[kPipes];
    EXPECT_EQ(epoll_wait(epoll, events, kPipes, 0), 0);

    int reported = -1;
    BoundedThreads waiter;
    waiter.start([&] {
        reported = epoll_wait(epoll, events, kPipes, static_cast<int>(trellum_test::kDeadline.count()));
    });
    // Give the waiter time to block; should the add come first, the wait
    // returns at once, and what it reports is checked all the same.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Channel_addToPipe(channels[kChosen].get(), kChosen % 2, makeMessage(0, 1));
    ASSERT_TRUE(waiter.joinAll());
    ASSERT_EQ(reported, 1);
    EXPECT_EQ(events[0].data.u32, static_cast<uint32_t>(kChosen));
    EXPECT_TRUE(events[0].events & EPOLLIN);

    ASSERT_EQ(epoll_wait(epoll, events, kPipes, 0), 1) << "level-triggered: still ready";
    EXPECT_EQ(events[0].data.u32, static_cast<uint32_t>(kChosen));
    take(channels[kChosen].get(), kChosen % 2);
    EXPECT_EQ(epoll_wait(epoll, events, kPipes, 0), 0);
    close(epoll);
    for (int fd : fds) close(fd);
}

// The library's own descriptor of a pipe goes with its channel, however the
// channel goes: freed by its creator, or deleted from the registry, also
// while this thread's lookup memo still holds the channel's record.
TEST(PipeEvents, LeaveNoDescriptorOpenOnceChannelsAreGone) {
    const int before = openDescriptors();
    ASSERT_GT(before, 0);
    for (int round = 0; round < 3; ++round) {
        std::vector<int> fds;
        std::vector<Channel> bare;
        for (int i = 0; i < 40; ++i) {
            bare.push_back(Channel_new(i));
            const int32_t id = 14100 + i;
            Channel pinned = ChannelManager_acquireChannel(id);
            for (Channel c : {bare.back(), pinned}) {
                for (int32_t pipe : {0, 1, 0}) fds.push_back(Channel_openPipeEvents(c, pipe));
                Channel_addToPipe(c, 1, makeMessage(0, i));
            }
            for (int fd : fds) ASSERT_GE(fd, 0);
            ChannelManager_deleteChannel(id);
            ChannelManager_releaseChannel(pinned);
        }
        for (int fd : fds) close(fd);
        for (Channel c : bare) Channel_free(c);
        EXPECT_EQ(openDescriptors(), before) << "round " << round;
    }
}

} // namespace
