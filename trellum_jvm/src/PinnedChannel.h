// A registry channel pinned for the length of one native call, so that a
// deleteChannel on another thread cannot free it under the call.
#ifndef TRELLUM_JVM_PINNED_CHANNEL_H
#define TRELLUM_JVM_PINNED_CHANNEL_H

#include <trellum/trellum.h>

namespace trellum_jvm {

class PinnedChannel {
public:
    explicit PinnedChannel(int32_t id) : channel_(ChannelManager_acquireChannel(id)) {}
    // Takes over a pin that an earlier call took and kept (null: none).
    static PinnedChannel adopt(Channel pinned) { return PinnedChannel(pinned); }
    PinnedChannel(PinnedChannel &&other) : channel_(other.release()) {}
    ~PinnedChannel() { ChannelManager_releaseChannel(channel_); }
    PinnedChannel(const PinnedChannel &) = delete;
    PinnedChannel &operator=(const PinnedChannel &) = delete;

    Channel get() const { return channel_; }

    // Gives up ownership of the pin, which the caller must release.
    Channel release() {
        Channel channel = channel_;
        channel_ = nullptr;
        return channel;
    }

private:
    explicit PinnedChannel(Channel pinned) : channel_(pinned) {}

    Channel channel_;
};

// Pipe ID 17 addresses pipe 0 of a channel; every other ID addresses pipe 1.
inline int32_t whichPipe(int32_t pipeID) { return pipeID == 17 ? 0 : 1; }

} // namespace trellum_jvm

#endif
