// Channels deleted and re-created under pinned users, for some seconds:
// threads pin a few IDs, operate on them (adds, receives that wait or not,
// peeks, sizes, clears, shutdowns and startups) and unpin, while another
// thread deletes the IDs all the while. Checks memory safety only (the
// sanitizer or DRD in use reports any fault) and that nothing hangs; what
// a delete frees cannot be accounted for.
//
// Also two deletes of one ID at once, each deleter then putting messages on
// the ID at once: what a thread puts after its delete returned must reach
// the channel the registry holds, unless the other delete came later and
// deleted that very channel. That is accounted for exactly.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "message_helpers.h"
#include "stress_traffic.h"

using trellum_test::BoundedThreads;
using trellum_test::kDeadline;
using trellum_test::OwnedMessage;
using trellum_test::stressDuration;
using trellum_test::trafficMessage;
using trellum_test::wellFormed;

namespace {

const int32_t kIds[] = {880001, 880002, 880003, 880004};

void deleteAll() {
    for (int32_t id : kIds) ChannelManager_deleteChannel(id);
}

// A few operations on a pinned channel; counts malformed messages seen.
void work(std::mt19937 &random, uint32_t self, uint32_t &sequence, std::atomic<int> &malformed) {
    Channel channel = ChannelManager_acquireChannel(kIds[random() % 4]);
    for (int n = 1 + random() % 8; n > 0; --n) {
        const int32_t pipe = static_cast<int32_t>(random() % 2);
        Message message = nullptr;
        switch (random() % 10) {
        case 0:
        case 1:
        case 2: Channel_addToPipe(channel, pipe, trafficMessage(self, sequence++)); break;
        case 3: Channel_timedRemoveFromPipe(channel, pipe, random() % 2 ? 0 : 200000, &message); break;
        case 4:
            // Waits until an add, a shutdown or the deleter (which never
            // stops before the workers) releases it.
            message = Channel_removeFromPipe(channel, pipe);
            break;
        case 5: message = Channel_peekCopyFromPipe(channel, pipe); break;
        case 6: Channel_checkedPeekCopyFromPipe(channel, pipe, &message); break;
        case 7: Channel_sizeOfPipe(channel, pipe); break;
        case 8: Channel_clearPipe(channel, pipe); break;
        case 9:
            Channel_shutdown(channel, pipe);
            Channel_startup(channel, pipe);
            break;
        }
        if (message != nullptr && !wellFormed(message)) ++malformed;
        Message_free(message);
    }
    ChannelManager_releaseChannel(channel);
}

TEST(DeleteUnderPins, PinnedUsersSurviveDeletesAndRecreation) {
    constexpr uint32_t kWorkers = 6;
    std::atomic<bool> stopWorking{false}, stopDeleting{false};
    std::atomic<int> malformed{0};
    std::atomic<long> operations{0}, deletes{0};
    BoundedThreads deleter([&] { stopDeleting = true; });
    deleter.start([&] {
        std::mt19937 random(7);
        while (!stopDeleting) {
            ChannelManager_deleteChannel(kIds[random() % 4]);
            ++deletes;
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
        }
    });
    BoundedThreads workers([&] { stopWorking = true; });
    for (uint32_t w = 0; w < kWorkers; ++w) {
        workers.start([&, w] {
            std::mt19937 random(w + 1);
            uint32_t sequence = 0;
            while (!stopWorking) {
                work(random, w, sequence, malformed);
                ++operations;
            }
        });
    }
    std::this_thread::sleep_for(stressDuration(2));
    stopWorking = true;
    EXPECT_TRUE(workers.joinAll());
    stopDeleting = true;
    EXPECT_TRUE(deleter.joinAll());
    deleteAll();
    EXPECT_EQ(malformed.load(), 0);
    EXPECT_GT(deletes.load(), 0);
    std::printf("[stress] delete under pins: %u workers, %ld pinned sessions, %ld deletes\n", kWorkers,
                operations.load(), deletes.load());
}

// Rounds of a fixed group of threads. A wait that is not met within the
// deadline fails, and so do all later waits: no thread hangs on it.
class RoundBarrier {
public:
    explicit RoundBarrier(int parties) : parties_(parties) {}

    bool arriveAndWait() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (broken_) return false;
        const long round = round_;
        if (++arrived_ == parties_) {
            arrived_ = 0;
            ++round_;
            changed_.notify_all();
            return true;
        }
        if (!changed_.wait_for(lock, kDeadline, [&] { return round_ != round || broken_; }) || broken_) {
            broken_ = true;
            changed_.notify_all();
            return false;
        }
        return true;
    }

private:
    const int parties_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int arrived_ = 0;
    long round_ = 0;
    bool broken_ = false;
};

TEST(DoubleDeletes, PutsAfterAReturnedDeleteReachTheRegisteredChannel) {
    constexpr int kChannels = 8;
    constexpr int kDeleters = 2;  // each puts on its own pipe
    constexpr uint32_t kPerChannel = 3;
    const int32_t firstId = 881001;
    RoundBarrier barrier(kDeleters + 1);
    std::atomic<bool> stop{false};
    std::atomic<int> staleLookups{0};
    Channel before[kChannels];                 // pinned by the main thread for the round
    Channel pinned[kDeleters][kChannels];      // what each deleter put on, still pinned
    uint32_t sequence[kDeleters] = {};

    BoundedThreads deleters([&] { stop = true; });
    for (int d = 0; d < kDeleters; ++d) {
        deleters.start([&, d] {
            while (barrier.arriveAndWait() && !stop) {
                // The memo now holds each channel of the round's start.
                for (int c = 0; c < kChannels; ++c) {
                    ChannelManager_releaseChannel(ChannelManager_acquireChannel(firstId + c));
                }
                if (!barrier.arriveAndWait()) return;
                for (int c = 0; c < kChannels; ++c) {
                    ChannelManager_deleteChannel(firstId + c);
                    Channel channel = ChannelManager_acquireChannel(firstId + c);
                    if (channel == before[c]) ++staleLookups;
                    for (uint32_t n = 0; n < kPerChannel; ++n) {
                        Channel_addToPipe(channel, d, trafficMessage(static_cast<uint32_t>(d), sequence[d]++));
                    }
                    pinned[d][c] = channel;
                }
                if (!barrier.arriveAndWait()) return;
            }
        });
    }

    long rounds = 0, lost = 0, malformed = 0, misplaced = 0;
    const auto end = std::chrono::steady_clock::now() + stressDuration(2);
    bool inStep = true;
    while (inStep) {
        for (int c = 0; c < kChannels; ++c) before[c] = ChannelManager_acquireChannel(firstId + c);
        stop = std::chrono::steady_clock::now() >= end;
        if (!barrier.arriveAndWait() || stop) break;
        inStep = barrier.arriveAndWait() && barrier.arriveAndWait();
        if (!inStep) break;
        for (int c = 0; c < kChannels; ++c) {
            // All deletes of the round returned: this is the channel that stays.
            Channel registered = ChannelManager_acquireChannel(firstId + c);
            for (int d = 0; d < kDeleters; ++d) {
                Message message = nullptr;
                uint32_t received = 0;
                while (Channel_timedRemoveFromPipe(registered, d, 0, &message) == TRELLUM_RECEIVED) {
                    if (!wellFormed(message)) ++malformed;
                    Message_free(message);
                    ++received;
                }
                if (pinned[d][c] == registered) {
                    lost += kPerChannel - received;
                } else {
                    // Put before the other deleter's delete, which took that channel away.
                    if (received != 0) ++misplaced;
                    if (Channel_timedRemoveFromPipe(pinned[d][c], d, 0, &message) != TRELLUM_DELETED) ++misplaced;
                    Message_free(message);
                }
                ChannelManager_releaseChannel(pinned[d][c]);
            }
            ChannelManager_releaseChannel(registered);
            ChannelManager_releaseChannel(before[c]);
        }
        ++rounds;
    }
    for (int c = 0; c < kChannels; ++c) ChannelManager_releaseChannel(before[c]);
    stop = true;
    EXPECT_TRUE(inStep) << "a round did not finish within the deadline";
    EXPECT_TRUE(deleters.joinAll());
    for (int c = 0; c < kChannels; ++c) ChannelManager_deleteChannel(firstId + c);
    EXPECT_EQ(staleLookups.load(), 0) << "a lookup after a returned delete gave the deleted channel";
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(malformed, 0);
    EXPECT_EQ(misplaced, 0);
    EXPECT_GT(rounds, 0);
    std::printf("[stress] double deletes: %ld rounds of %d channels\n", rounds, kChannels);
}

} // namespace
