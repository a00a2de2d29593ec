package com.fendrel.vm.channel.Linux_JVM;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.concurrent.atomic.AtomicInteger;

/** Shared helpers of the binding's tests. */
final class TestChannels {
    /** The pipe ID that addresses pipe 0; every other ID addresses pipe 1. */
    static final int PIPE_17 = 17;
    /** One of the many pipe IDs that address pipe 1. */
    static final int OTHER_PIPE = 18;

    // Registry channels are process-wide: every test takes IDs no other test uses.
    private static final AtomicInteger NEXT_ID = new AtomicInteger(70_000);

    private TestChannels() {
    }

    /** A channel ID that no other test in this JVM uses. */
    static int freshChannel() {
        return NEXT_ID.getAndAdd(7);
    }

    /** A message whose header values and body derive from {@code seed}, so that any mix-up shows. */
    static VMMessageImpl message(int priority, int seed) {
        byte[] body = new byte[1 + Math.floorMod(seed, 13)];
        for (int i = 0; i < body.length; i++) {
            body[i] = (byte) (seed * 31 + i);
        }
        return new VMMessageImpl(seed ^ 0x5a5a, priority, seed + 1, seed, ~seed, body);
    }

    /** Takes every queued message off the pipe, then shuts it down so that nothing can block afterwards. */
    static void drainAndShutDown(int channelID, int pipeID) {
        TrellumJNI.clearChannel(channelID, pipeID);
        TrellumJNI.shutdown(channelID, pipeID);
    }
}
