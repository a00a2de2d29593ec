// A registry channel pinned for the length of one native call, so that a
// deleteChannel on another thread cannot free it under the call.
#ifndef TRELLUM_JVM_PINNED_CHANNEL_H
#define TRELLUM_JVM_PINNED_CHANNEL_H

#include <trellum/trellum.h>

namespace trellum_jvm {

class PinnedChannel {
public:
    explicit PinnedChannel(int32_t id) : channel_(ChannelManager_acquireChannel(id)) {}
    ~PinnedChannel() { ChannelManager_releaseChannel(channel_); }
    PinnedChannel(const PinnedChannel &) = delete;
    PinnedChannel &operator=(const PinnedChannel &) = delete;

    Channel get() const { return channel_; }

private:
    Channel channel_;
};

// Pipe ID 17 addresses pipe 0 of a channel; every other ID addresses pipe 1.
inline int32_t whichPipe(int32_t pipeID) { return pipeID == 17 ? 0 : 1; }

} // namespace trellum_jvm

#endif
