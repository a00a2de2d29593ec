package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.ArrayList;
import java.util.List;

import org.junit.jupiter.api.Test;

/**
 * When the Java heap has no room for a received message, the caller gets
 * OutOfMemoryError and the message stays queued instead of being lost. Runs
 * in a JVM of its own with a small heap.
 */
class JavaHeapExhaustionTest {
    private static final int BODY = 8 << 20;
    private static final int CHUNK = 64 << 10;

    private static byte[] body() {
        byte[] b = new byte[BODY];
        for (int i = 0; i < b.length; i += 4096) {
            b[i] = (byte) (i >>> 12);
        }
        return b;
    }

    /** Outcome of calling the binding while the heap is full. */
    private interface Call {
        VMMessageImpl run();
    }

    /** Runs `call` with the heap filled; returns the OutOfMemoryError it raised, or null. */
    private static OutOfMemoryError withFullHeap(Call call) {
        List<byte[]> ballast = new ArrayList<>();
        try {
            while (true) {
                ballast.add(new byte[CHUNK]);
            }
        } catch (OutOfMemoryError full) {
            // The heap is now nearly full: much less than BODY bytes are free.
        }
        OutOfMemoryError raised = null;
        try {
            call.run();
        } catch (OutOfMemoryError e) {
            raised = e;
        }
        ballast.clear();
        return raised;
    }

    @Test
    void receivedMessageStaysQueuedWhenItsObjectCannotBeBuilt() {
        int channel = freshChannel();
        TrellumJNI.addMessageToChannel(channel, 17, new VMMessageImpl(1, 2, 3, 4, 5, body()));

        assertNotNull(withFullHeap(() -> TrellumJNI.peekMessageFromChannel(channel, 17)), "peek");
        assertEquals(1, TrellumJNI.sizeOfChannel(channel, 17));
        assertNotNull(withFullHeap(() -> TrellumJNI.removeMessageFromChannel(channel, 17)), "remove");
        assertEquals(1, TrellumJNI.sizeOfChannel(channel, 17), "the message must go back into its pipe");

        VMMessageImpl received = TrellumJNI.removeMessageFromChannel(channel, 17);
        assertEquals(new VMMessageImpl(1, 2, 3, 4, 5, null).getHeader(), received.getHeader());
        assertArrayEquals(body(), received.getBody().getData());
        TrellumJNI.deleteChannel(channel);
    }
}
