package com.fendrel.vm.channel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** The queue verbs of ChannelPipe, and how they meet the legacy TrellumJNI calls on one channel. */
class ChannelPipeTest {
    private static final AtomicInteger NEXT_ID = new AtomicInteger(90_000);

    private final MessageChannel channel = MessageChannel.of(NEXT_ID.getAndAdd(3));

    static VMMessageImpl message(int priority, int id) {
        return new VMMessageImpl(id ^ 0x3c, priority, id + 1, id, ~id, new byte[] {(byte) id, 2, 3});
    }

    @AfterEach
    void deleteChannel() {
        channel.delete();
    }

    @Test
    void putTakePollAndDrainInPriorityOrder() throws InterruptedException {
        ChannelPipe pipe = channel.first();
        for (int id = 0; id < 6; id++) {
            assertTrue(pipe.offer(message(id % 3, id)));
        }
        assertEquals(6, pipe.size());
        assertEquals(message(0, 0), pipe.peek());
        assertNotSame(pipe.peek(), pipe.peek());
        assertEquals(message(0, 0), pipe.take());
        assertEquals(message(0, 3), pipe.poll());
        assertEquals(message(1, 1), pipe.poll(1, TimeUnit.SECONDS));
        List<Object> drained = new ArrayList<>();
        assertEquals(2, pipe.drainTo(drained, 2));
        assertEquals(List.of(message(1, 4), message(2, 2)), drained);
        assertEquals(1, pipe.drainTo(drained));
        assertEquals(message(2, 5), drained.get(2));
        assertTrue(pipe.isEmpty());
        assertNull(pipe.poll());
        assertNull(pipe.peek());
        assertEquals(0, pipe.drainTo(drained));
        assertThrows(NullPointerException.class, () -> pipe.put(null));
        assertThrows(NullPointerException.class, () -> pipe.drainTo(null));
    }

    /** Bodies up to the size of the thread's transfer area, and larger ones, cross whole either way. */
    @Test
    void bodiesOfEverySizeCrossWhole() throws InterruptedException {
        ChannelPipe pipe = channel.second();
        for (int size : new int[] {0, 1, 4095, 4096, 4097, 100_000}) {
            byte[] body = new byte[size];
            for (int i = 0; i < size; i++) {
                body[i] = (byte) (i * 31 + size);
            }
            VMMessageImpl sent = new VMMessageImpl(size, -size, 7, 8, 9, body);
            pipe.put(sent);
            TrellumJNI.addMessageToChannel(channel.id(), 0, sent);
            assertEquals(sent, pipe.peek(), "size " + size);
            assertEquals(sent, pipe.take(), "size " + size);
            List<VMMessageImpl> drained = new ArrayList<>();
            assertEquals(1, pipe.drainTo(drained));
            assertEquals(sent, drained.get(0), "size " + size);
        }
    }

    @Test
    void pipesAreTheLegacyPipeIDsPipes() throws InterruptedException {
        assertSame(PipeSide.FIRST, PipeSide.ofPipeId(17));
        for (int legacy : new int[] {0, 1, 18, -1}) {
            assertSame(PipeSide.SECOND, PipeSide.ofPipeId(legacy));
        }
        assertEquals(channel.first(), channel.pipe(PipeSide.ofPipeId(PipeSide.FIRST.pipeId())));
        assertEquals(MessageChannel.of(channel.id()).second(), channel.second());

        TrellumJNI.addMessageToChannel(channel.id(), 17, message(0, 1));
        TrellumJNI.addMessageToChannel(channel.id(), 4, message(0, 2));
        assertEquals(message(0, 1), channel.first().take());
        assertEquals(message(0, 2), channel.second().take());
        channel.second().put(message(0, 3));
        assertEquals(message(0, 3), TrellumJNI.removeMessageFromChannel(channel.id(), 0));
    }

    @Test
    void shutdownAndDeletionAreTold() throws InterruptedException {
        ChannelPipe pipe = channel.second();
        pipe.put(message(0, 1));
        pipe.shutdown();
        PipeShutdownException shutDown = assertThrows(PipeShutdownException.class, pipe::take);
        assertFalse(shutDown.isChannelDeleted());
        assertThrows(PipeShutdownException.class, () -> pipe.poll(1, TimeUnit.SECONDS));
        assertThrows(PipeShutdownException.class, pipe::poll);
        assertEquals(message(0, 1), pipe.peek(), "a shut-down pipe is peeked as any other");
        assertEquals(0, pipe.drainTo(new ArrayList<>()));
        pipe.put(message(0, 2));
        assertEquals(2, pipe.size());
        pipe.startup();
        assertEquals(message(0, 1), pipe.take());
        pipe.clear();
        assertEquals(0, pipe.size());
        assertNull(pipe.poll(10, TimeUnit.MILLISECONDS), "a timeout is not a shutdown");
    }
}
