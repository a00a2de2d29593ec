// Producer threads hand messages to consumers blocked in the receive.
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "TestData.h"
#include "Workloads.h"

namespace bench {
namespace {

constexpr Clock kClock = Clock::wall;  // the cost is in waiting and waking
constexpr int32_t kChannelId = 23;

// Each side counts the messages that arrive out of order or not at all;
// the consumer always takes exactly `messages`, so a fault cannot hang it
// unless messages are lost, which the test's time limit then catches.
// `capacity`: the pipe's bound (0: none). `descriptor`: with a readiness
// descriptor open on the pipe, which every change of readiness then updates.
double libraryHandover(long messages, long &wrong, int32_t capacity = 0, bool descriptor = false) {
    Channel channel = ChannelManager_createOrGetChannel(kChannelId);
    Channel_setPipeCapacity(channel, 0, capacity, 0);
    const int fd = descriptor ? Channel_openPipeEvents(channel, 0) : -1;
    double ns = nanosecondsPerOp(kClock, messages, [&] {
        std::thread producer([&] {
            for (long i = 0; i < messages; ++i)
                Channel_addToPipe(channel, 0, newLibraryMessage(kChannelId, 0, static_cast<int32_t>(i)));
        });
        for (long i = 0; i < messages; ++i) {
            Message message = Channel_removeFromPipe(channel, 0);
            wrong += message == nullptr || message->header->messageID != static_cast<int32_t>(i);
            Message_free(message);
        }
        producer.join();
    });
    if (fd >= 0) close(fd);
    ChannelManager_deleteChannel(kChannelId);
    return ns;
}

double peerHandover(long messages, long &wrong, size_t capacity = 0) {
    peer::Registry registry;
    peer::Pipe &pipe = registry.createOrGet(kChannelId)->pipes[0];
    pipe.setCapacity(capacity);
    return nanosecondsPerOp(kClock, messages, [&] {
        std::thread producer([&] {
            for (long i = 0; i < messages; ++i) pipe.add(newPeerMessage(kChannelId, 0, static_cast<int32_t>(i)));
        });
        for (long i = 0; i < messages; ++i) {
            std::optional<peer::Message> message = pipe.remove();
            wrong += !message || message->header.messageID != static_cast<int32_t>(i);
        }
        producer.join();
    });
}

// Several producers share one pipe with one or more consumers. A message's
// ID is its producer's number times `perProducer` plus its place in that
// producer's sequence; each consumer counts a message that arrives ahead of
// one sent before it by the same producer, and a message missing from its
// share. Each consumer takes an equal share of the total.
struct Shape {
    int producers;
    int consumers;
};

template <typename Add, typename Take>
double manyHandover(Shape shape, long perProducer, long &wrong, Add add, Take take) {
    std::atomic<long> faults{0};
    const long share = perProducer * shape.producers / shape.consumers;
    double ns = nanosecondsPerOp(kClock, perProducer * shape.producers, [&] {
        std::vector<std::thread> threads;
        for (int p = 0; p < shape.producers; ++p) {
            threads.emplace_back([&, p] {
                for (long i = 0; i < perProducer; ++i) add(static_cast<int32_t>(p * perProducer + i));
            });
        }
        for (int c = 0; c < shape.consumers; ++c) {
            threads.emplace_back([&] {
                std::vector<long> last(static_cast<size_t>(shape.producers), -1);
                long bad = 0;
                for (long i = 0; i < share; ++i) {
                    const long id = take();
                    if (id < 0) {
                        ++bad;
                        continue;
                    }
                    long &seen = last[static_cast<size_t>(id / perProducer)];
                    bad += id % perProducer <= seen;
                    seen = id % perProducer;
                }
                faults += bad;
            });
        }
        for (std::thread &thread : threads) thread.join();
    });
    wrong += faults.load();
    return ns;
}

double libraryMany(Shape shape, long perProducer, long &wrong) {
    Channel channel = ChannelManager_createOrGetChannel(kChannelId);
    double ns = manyHandover(
        shape, perProducer, wrong,
        [&](int32_t id) { Channel_addToPipe(channel, 0, newLibraryMessage(kChannelId, 0, id)); },
        [&]() -> long {
            Message message = Channel_removeFromPipe(channel, 0);
            const long id = message != nullptr ? message->header->messageID : -1;
            Message_free(message);
            return id;
        });
    ChannelManager_deleteChannel(kChannelId);
    return ns;
}

double peerMany(Shape shape, long perProducer, long &wrong) {
    peer::Registry registry;
    peer::Pipe &pipe = registry.createOrGet(kChannelId)->pipes[0];
    return manyHandover(
        shape, perProducer, wrong, [&](int32_t id) { pipe.add(newPeerMessage(kChannelId, 0, id)); },
        [&]() -> long {
            std::optional<peer::Message> message = pipe.remove();
            return message ? message->header.messageID : -1;
        });
}

} // namespace

void addHandoverRow(const Settings &settings, std::vector<Row> &rows) {
    const long messages = settings.handoverMessages;
    const std::string name = "handover of " + std::to_string(messages) + ", 1 producer 1 consumer";
    long wrong = 0;
    rows.push_back(compareInterleaved(name, unitOf(kClock), 0.8, settings.handoverRounds,
                                      [&] { return libraryHandover(messages, wrong); },
                                      [&] { return peerHandover(messages, wrong); }));
    if (wrong != 0) reportFault(name.c_str(), "messages arrived out of order or not at all");

    for (Shape shape : {Shape{2, 2}, Shape{4, 1}}) {
        const long perProducer = messages / shape.producers;
        const std::string many = "handover, " + std::to_string(shape.producers) + " producers " +
                                 std::to_string(shape.consumers) + " consumer" + (shape.consumers > 1 ? "s" : "");
        rows.push_back(compareInterleaved(many, unitOf(kClock), shape.consumers > 1 ? 0.5 : 0.8,
                                          settings.handoverRounds,
                                          [&] { return libraryMany(shape, perProducer, wrong); },
                                          [&] { return peerMany(shape, perProducer, wrong); }));
        if (wrong != 0) reportFault(many.c_str(), "a producer's messages arrived out of order or not at all");
    }

    // A watched pipe pays for its descriptor on every change of readiness:
    // against the same handover with no descriptor.
    const std::string watched = "handover with a readiness descriptor open (peer: none open)";
    rows.push_back(compareInterleaved(watched, unitOf(kClock), 1.5, settings.handoverRounds,
                                      [&] { return libraryHandover(messages, wrong, 0, true); },
                                      [&] { return libraryHandover(messages, wrong); }));
    if (wrong != 0) reportFault(watched.c_str(), "messages arrived out of order or not at all");

    for (int32_t capacity : {1, 16, 1024}) {
        const long count = capacity == 1 ? messages / 4 : messages;
        const std::string bounded = "bounded handover, capacity " + std::to_string(capacity);
        rows.push_back(compareInterleaved(bounded, unitOf(kClock), 1.2, settings.handoverRounds,
                                          [&] { return libraryHandover(count, wrong, capacity); },
                                          [&] { return peerHandover(count, wrong, static_cast<size_t>(capacity)); }));
        if (wrong != 0) reportFault(bounded.c_str(), "messages arrived out of order or not at all");
    }
}

} // namespace bench
