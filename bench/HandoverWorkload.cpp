// One producer thread hands messages to one consumer blocked in the receive.
#include <optional>
#include <string>
#include <thread>

#include "TestData.h"
#include "Workloads.h"

namespace bench {
namespace {

constexpr Clock kClock = Clock::wall;  // the cost is in waiting and waking
constexpr int32_t kChannelId = 23;

// Each side counts the messages that arrive out of order or not at all;
// the consumer always takes exactly `messages`, so a fault cannot hang it
// unless messages are lost, which the test's time limit then catches.
double libraryHandover(long messages, long &wrong) {
    Channel channel = ChannelManager_createOrGetChannel(kChannelId);
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
    ChannelManager_deleteChannel(kChannelId);
    return ns;
}

double peerHandover(long messages, long &wrong) {
    peer::Registry registry;
    peer::Pipe &pipe = registry.createOrGet(kChannelId)->pipes[0];
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

} // namespace

void addHandoverRow(const Settings &settings, std::vector<Row> &rows) {
    const long messages = settings.handoverMessages;
    const std::string name = "handover of " + std::to_string(messages) + ", 1 producer 1 consumer";
    long wrong = 0;
    rows.push_back(compareInterleaved(name, unitOf(kClock), 1.5, settings.handoverRounds,
                                      [&] { return libraryHandover(messages, wrong); },
                                      [&] { return peerHandover(messages, wrong); }));
    if (wrong != 0) reportFault(name.c_str(), "messages arrived out of order or not at all");
}

} // namespace bench
