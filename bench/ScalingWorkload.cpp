// One thread against two, each thread on a channel of its own reached
// through the registry: does a second core add throughput, or do the
// threads queue for something they share?
//
// Each operation finds the thread's channel by ID, adds a new message, finds
// the channel again and removes the message, in a registry of 100 channels.
// The threads share nothing but the registry, so a contender whose lookups
// share no lock should nearly double its throughput on two cores.
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Results.h"
#include "TestData.h"
#include "Workloads.h"
#ifdef TRELLUM_BENCH_HAVE_TBB
#include "TbbPeer.h"
#endif

namespace bench {
namespace {

constexpr Clock kClock = Clock::wall;  // two threads at once: their shared span of time
constexpr int32_t kRegistered = 100;
constexpr int kMaxThreads = 2;

// What one thread does `ops` times on the channel with ID `id`. Returns how
// many of its messages came back wrong or not at all.
using ThreadWork = std::function<long(int32_t id, long ops)>;

struct Contender {
    const char *name;
    ThreadWork work;
    std::vector<double> rounds[kMaxThreads];  // ns per operation, all threads together
};

// Runs `threads` threads of `ops` operations each, started together once all
// exist, and returns the wall time per operation of all of them together.
double runThreads(int threads, long ops, const std::vector<int32_t> &ids, const ThreadWork &work, long &wrong) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<long> faults{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            ready.fetch_add(1);
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            faults.fetch_add(work(ids[static_cast<size_t>(t)], ops));
        });
    }
    while (ready.load() < threads) std::this_thread::yield();
    double start = nanosecondsNow(kClock);
    go.store(true, std::memory_order_release);
    for (std::thread &thread : pool) thread.join();
    double ns = (nanosecondsNow(kClock) - start) / static_cast<double>(ops * threads);
    wrong += faults.load();
    return ns;
}

long libraryWork(int32_t id, long ops) {
    long wrong = 0;
    for (long i = 0; i < ops; ++i) {
        Channel_addToPipe(ChannelManager_createOrGetChannel(id), 0,
                          newLibraryMessage(id, 5, static_cast<int32_t>(i)));
        Message message = Channel_removeFromPipe(ChannelManager_createOrGetChannel(id), 0);
        wrong += message == nullptr || message->header->messageID != static_cast<int32_t>(i);
        Message_free(message);
    }
    return wrong;
}

// The same through pins, the way the JVM binding reaches a channel.
long pinnedLibraryWork(int32_t id, long ops) {
    long wrong = 0;
    for (long i = 0; i < ops; ++i) {
        Channel channel = ChannelManager_acquireChannel(id);
        Channel_addToPipe(channel, 0, newLibraryMessage(id, 5, static_cast<int32_t>(i)));
        ChannelManager_releaseChannel(channel);
        channel = ChannelManager_acquireChannel(id);
        Message message = Channel_removeFromPipe(channel, 0);
        ChannelManager_releaseChannel(channel);
        wrong += message == nullptr || message->header->messageID != static_cast<int32_t>(i);
        Message_free(message);
    }
    return wrong;
}

template <typename Registry, typename Remove>
long peerWork(Registry &registry, int32_t id, long ops, Remove remove) {
    long wrong = 0;
    for (long i = 0; i < ops; ++i) {
        registry.createOrGet(id)->pipes[0].add(newPeerMessage(id, 5, static_cast<int32_t>(i)));
        auto message = remove(registry.createOrGet(id)->pipes[0]);
        wrong += !message || message->header.messageID != static_cast<int32_t>(i);
    }
    return wrong;
}

void printScalingTable(const std::string &name, int rounds, const std::vector<Contender> &contenders) {
    const Contender *reference = nullptr;  // the oneTBB peer when built
    for (const Contender &c : contenders)
        if (std::string(c.name) == kTbbPeer) reference = &c;
    std::printf("\n%s\n(wall time per operation of all threads together, medians of %d interleaved rounds)\n",
                name.c_str(), rounds);
    std::printf("%-24s %14s %14s %12s %20s\n", "contender", "1T wall ns/op", "2T wall ns/op", "gain 2T/1T",
                "2T ns/op vs oneTBB");
    for (const Contender &c : contenders) {
        double one = median(c.rounds[0]), two = median(c.rounds[1]);
        char relative[32] = "n/a";
        if (reference) std::snprintf(relative, sizeof relative, "%.2f", two / median(reference->rounds[1]));
        std::printf("%-24s %14.1f %14.1f %11.2fx %20s\n", c.name, one, two, two > 0 ? one / two : 0, relative);
        recordResult(name + ": 1 thread", unitOf(kClock), c.name, one);
        recordResult(name + ": 2 threads", unitOf(kClock), c.name, two);
    }
    std::printf("(targets: gain >= 1.8x; libtrellum's 2T time per operation <= 1.0x the oneTBB peer's)\n");
}

} // namespace

void addScalingTable(const Settings &settings) {
    const std::string name = "1 vs 2 threads, own channel each: find+add+find+remove, " +
                             std::to_string(kRegistered) + " channels registered";
    const std::vector<int32_t> ids = scatteredIds(kRegistered);
    peer::Registry textbook;
    for (int32_t id : ids) {
        ChannelManager_createOrGetChannel(id);
        textbook.createOrGet(id);
    }
    std::vector<Contender> contenders;
    contenders.push_back({kLibrary, libraryWork, {}});
    contenders.push_back({"libtrellum, pinned", pinnedLibraryWork, {}});
    contenders.push_back({kTextbookPeer,
                          [&](int32_t id, long ops) {
                              return peerWork(textbook, id, ops, [](peer::Pipe &pipe) { return pipe.remove(); });
                          },
                          {}});
#ifdef TRELLUM_BENCH_HAVE_TBB
    tbbpeer::Registry tbbRegistry;
    for (int32_t id : ids) tbbRegistry.createOrGet(id);
    contenders.push_back({kTbbPeer,
                          [&](int32_t id, long ops) {
                              return peerWork(tbbRegistry, id, ops,
                                              [](tbbpeer::Pipe &pipe) { return pipe.tryRemove(); });
                          },
                          {}});
#endif

    long wrong = 0;
    const size_t count = contenders.size();
    for (int round = 0; round < settings.scalingRounds; ++round) {
        // Each round starts with another contender and swaps the order of
        // one and two threads, so that drifts of load hit all alike.
        for (size_t k = 0; k < count; ++k) {
            Contender &c = contenders[(k + static_cast<size_t>(round)) % count];
            for (int pass = 0; pass < kMaxThreads; ++pass) {
                int threads = (pass + round) % 2 == 0 ? 1 : 2;
                c.rounds[threads - 1].push_back(runThreads(threads, settings.scalingOps, ids, c.work, wrong));
            }
        }
    }
    for (int32_t id : ids) ChannelManager_deleteChannel(id);
    printScalingTable(name, settings.scalingRounds, contenders);
    if (wrong != 0) reportFault(name.c_str(), "messages came back wrong or not at all");
}

} // namespace bench
