// Looking up channels that exist, in a registry of 1, 100 or 10,000 channels.
#include <string>

#include "TestData.h"
#include "Workloads.h"

namespace bench {
namespace {

constexpr Clock kClock = Clock::threadCpu;  // one thread: its own CPU time
constexpr size_t kLookupCount = 1 << 16;  // the table of channels to look up, used round and round

Row registryLookup(const Settings &settings, int32_t channelCount) {
    const std::string name = "registry lookup among " + std::to_string(channelCount) + " channels";
    const std::vector<int32_t> ids = scatteredIds(static_cast<size_t>(channelCount));
    // Which channel each lookup asks for: random, the same for both sides.
    const std::vector<int32_t> picks = randomValuesBelow(kLookupCount, channelCount);

    std::vector<Channel> libraryChannels;
    peer::Registry registry;
    std::vector<peer::Channel *> peerChannels;
    for (int32_t id : ids) {
        libraryChannels.push_back(ChannelManager_createOrGetChannel(id));
        peerChannels.push_back(registry.createOrGet(id));
    }

    const long ops = settings.lookupOps;
    long wrong = 0;
    auto library = [&] {
        return nanosecondsPerOp(kClock, ops, [&] {
            for (long i = 0; i < ops; ++i) {
                int32_t pick = picks[static_cast<size_t>(i) % kLookupCount];
                wrong += ChannelManager_createOrGetChannel(ids[pick]) != libraryChannels[pick];
            }
        });
    };
    auto peerSide = [&] {
        return nanosecondsPerOp(kClock, ops, [&] {
            for (long i = 0; i < ops; ++i) {
                int32_t pick = picks[static_cast<size_t>(i) % kLookupCount];
                wrong += registry.createOrGet(ids[pick]) != peerChannels[pick];
            }
        });
    };
    Row row = compareInterleaved(name, unitOf(kClock), 1.2, settings.rounds, library, peerSide);
    if (wrong != 0) reportFault(name.c_str(), "a lookup returned another channel");
    for (int32_t id : ids) ChannelManager_deleteChannel(id);
    return row;
}

} // namespace

void addRegistryRows(const Settings &settings, std::vector<Row> &rows) {
    for (int32_t channelCount : settings.registrySizes) rows.push_back(registryLookup(settings, channelCount));
}

} // namespace bench
