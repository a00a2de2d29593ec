// Single-threaded pipe workloads: a message's round trip through an empty
// pipe, steady-state add+remove at depth, and asking for the size.
#include <string.h>

#include <optional>
#include <string>
#include <utility>

#include "TestData.h"
#include "Workloads.h"

namespace bench {
namespace {

constexpr Clock kClock = Clock::threadCpu;  // one thread: its own CPU time
constexpr int32_t kChannelId = 17;
constexpr size_t kPriorityCount = 4096;  // the table of priorities to queue with, used round and round

// What is wrong with `message`, received from the library, given what the
// peer handed out in its place and the priority of the message before; NULL
// when nothing is.
const char *compare(Message message, const std::optional<peer::Message> &expected, int32_t &previousPriority) {
    if (message == nullptr || !expected) return "a running pipe refused to hand out a message";
    const _MessageHeader &header = *message->header;
    if (header.priority != expected->header.priority || header.messageID != expected->header.messageID)
        return "the library and the peer hand out messages in different orders";
    if (header.priority < previousPriority) return "a pipe is not sorted by priority";
    previousPriority = header.priority;
    if (message->body->length != kBodySize || memcmp(message->body->data, bodyBytes(), kBodySize) != 0 ||
        expected->body.size() != static_cast<size_t>(kBodySize) ||
        memcmp(expected->body.data(), bodyBytes(), kBodySize) != 0)
        return "a message body changed in the queue";
    return nullptr;
}

// Both sides of a pipe workload: a library channel from the registry and a peer pipe.
class PipePair {
public:
    PipePair()
        : channel_(ChannelManager_createOrGetChannel(kChannelId)),
          peer_(registry_.createOrGet(kChannelId)->pipes[0]) {}
    ~PipePair() { ChannelManager_deleteChannel(kChannelId); }
    PipePair(const PipePair &) = delete;
    PipePair &operator=(const PipePair &) = delete;

    Channel library() const { return channel_; }
    peer::Pipe &peer() { return peer_; }

    void fill(int32_t depth, const std::vector<int32_t> &priorities) {
        for (int32_t i = 0; i < depth; ++i) {
            int32_t priority = priorities[i % priorities.size()];
            Channel_addToPipe(channel_, 0, newLibraryMessage(kChannelId, priority, i));
            peer_.add(newPeerMessage(kChannelId, priority, i));
        }
    }

    // Empties both pipes, checking that they hold `depth` messages in the
    // same order, sorted by priority, with intact bodies. Stops at the first
    // fault; what is left is freed with the channels.
    void drainAndCompare(const char *workload, int32_t depth) {
        // Receiving from a pipe that holds too few would block for ever.
        if (Channel_sizeOfPipe(channel_, 0) != depth || peer_.size() != static_cast<size_t>(depth)) {
            reportFault(workload, "a pipe lost or gained messages");
            return;
        }
        int32_t previousPriority = INT32_MIN;
        for (int32_t i = 0; i < depth; ++i) {
            Message message = Channel_removeFromPipe(channel_, 0);
            std::optional<peer::Message> expected = peer_.remove();
            const char *fault = compare(message, expected, previousPriority);
            Message_free(message);
            if (fault != nullptr) {
                reportFault(workload, fault);
                return;
            }
        }
    }

private:
    Channel channel_;
    peer::Registry registry_;
    peer::Pipe &peer_;
};

Row roundTrip(const Settings &settings) {
    const std::string name = "new+add+remove+free, empty pipe";
    PipePair pipes;
    const long ops = settings.roundTripOps;
    long wrong = 0;
    auto library = [&] {
        return nanosecondsPerOp(kClock, ops, [&] {
            for (long i = 0; i < ops; ++i) {
                Channel_addToPipe(pipes.library(), 0, newLibraryMessage(kChannelId, 0, static_cast<int32_t>(i)));
                Message message = Channel_removeFromPipe(pipes.library(), 0);
                wrong += message->header->messageID != static_cast<int32_t>(i);
                Message_free(message);
            }
        });
    };
    auto peerSide = [&] {
        return nanosecondsPerOp(kClock, ops, [&] {
            for (long i = 0; i < ops; ++i) {
                pipes.peer().add(newPeerMessage(kChannelId, 0, static_cast<int32_t>(i)));
                std::optional<peer::Message> message = pipes.peer().remove();
                wrong += message->header.messageID != static_cast<int32_t>(i);
            }
        });
    };
    Row row = compareInterleaved(name, unitOf(kClock), 1.2, settings.rounds, library, peerSide);
    if (wrong != 0) reportFault(name.c_str(), "a message came back with the wrong ID");
    pipes.drainAndCompare(name.c_str(), 0);
    return row;
}

// Each operation takes the first message and queues it again with the next
// priority from the table: the depth stays constant and no memory is allocated.
Row steadyState(const Settings &settings, int32_t depth, int32_t distinctPriorities, double target) {
    const std::string name = "add+remove at depth " + std::to_string(depth) + ", " +
                             (distinctPriorities == 1 ? std::string("equal priorities")
                                                      : std::to_string(distinctPriorities) + " random priorities");
    const std::vector<int32_t> priorities = randomValuesBelow(kPriorityCount, distinctPriorities);
    PipePair pipes;
    pipes.fill(depth, priorities);
    const long ops = settings.steadyOps;
    size_t libraryNext = static_cast<size_t>(depth), peerNext = static_cast<size_t>(depth);
    auto library = [&] {
        return nanosecondsPerOp(kClock, ops, [&] {
            for (long i = 0; i < ops; ++i) {
                Message message = Channel_removeFromPipe(pipes.library(), 0);
                message->header->priority = priorities[libraryNext++ % kPriorityCount];
                Channel_addToPipe(pipes.library(), 0, message);
            }
        });
    };
    auto peerSide = [&] {
        return nanosecondsPerOp(kClock, ops, [&] {
            for (long i = 0; i < ops; ++i) {
                std::optional<peer::Message> message = pipes.peer().remove();
                message->header.priority = priorities[peerNext++ % kPriorityCount];
                pipes.peer().add(std::move(*message));
            }
        });
    };
    Row row = compareInterleaved(name, unitOf(kClock), target, settings.rounds, library, peerSide);
    pipes.drainAndCompare(name.c_str(), depth);
    return row;
}

Row sizeAtDepth(const Settings &settings, int32_t depth) {
    const std::string name = "size at depth " + std::to_string(depth);
    PipePair pipes;
    pipes.fill(depth, std::vector<int32_t>{0});
    const long ops = settings.sizeOps;
    long long librarySum = 0, peerSum = 0;
    auto library = [&] {
        return nanosecondsPerOp(kClock, ops, [&] {
            for (long i = 0; i < ops; ++i) librarySum += Channel_sizeOfPipe(pipes.library(), 0);
        });
    };
    auto peerSide = [&] {
        return nanosecondsPerOp(kClock, ops, [&] {
            for (long i = 0; i < ops; ++i) peerSum += static_cast<long long>(pipes.peer().size());
        });
    };
    Row row = compareInterleaved(name, unitOf(kClock), 1.1, settings.rounds, library, peerSide);
    const long long expected = static_cast<long long>(settings.rounds) * ops * depth;
    if (librarySum != expected || peerSum != expected) reportFault(name.c_str(), "a size was wrong");
    pipes.drainAndCompare(name.c_str(), depth);
    return row;
}

} // namespace

void addQueueRows(const Settings &settings, std::vector<Row> &rows) {
    rows.push_back(roundTrip(settings));
    rows.push_back(steadyState(settings, settings.shallowDepth, 1, 0.5));
    rows.push_back(steadyState(settings, settings.deepDepth, 1, 0.5));
    rows.push_back(steadyState(settings, settings.shallowDepth, 16, 0.6));
    rows.push_back(sizeAtDepth(settings, settings.shallowDepth));
}

} // namespace bench
