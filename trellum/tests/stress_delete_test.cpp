// Channels deleted and re-created under pinned users, for some seconds:
// threads pin a few IDs, operate on them (adds, receives that wait or not,
// peeks, sizes, clears, shutdowns and startups) and unpin, while another
// thread deletes the IDs all the while. Checks memory safety only (the
// sanitizer or DRD in use reports any fault) and that nothing hangs; what
// a delete frees cannot be accounted for.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include <trellum/trellum.h>

#include "bounded_threads.h"
#include "message_helpers.h"
#include "stress_traffic.h"

using trellum_test::BoundedThreads;
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

} // namespace
