package com.fendrel.vm.channel.bench;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;
import com.fendrel.vm.channel.impl.VMMessageImpl;

/**
 * A channel's pipe through the static natives of {@link TrellumJNI}, the
 * calls that shipped apps make. Uses nothing newer, so the harness can run
 * against a build of the binding from before the channel API.
 */
final class LegacyNativeQueue implements MessageQueue {
    private static final int PIPE_ID = 17;
    private final int channelId;

    LegacyNativeQueue(int channelId) {
        this.channelId = channelId;
        TrellumJNI.createChannel(channelId);
    }

    @Override
    public void put(VMMessageImpl message) {
        TrellumJNI.addMessageToChannel(channelId, PIPE_ID, message);
    }

    @Override
    public VMMessageImpl take() {
        return TrellumJNI.removeMessageFromChannel(channelId, PIPE_ID);
    }

    @Override
    public void clear() {
        TrellumJNI.clearChannel(channelId, PIPE_ID);
    }
}
