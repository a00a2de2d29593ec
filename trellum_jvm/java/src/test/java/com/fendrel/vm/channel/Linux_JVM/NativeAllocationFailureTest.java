package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import com.fendrel.vm.channel.ChannelPipe;
import com.fendrel.vm.channel.MessageChannel;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import org.junit.jupiter.api.Test;

/**
 * Native memory running out raises OutOfMemoryError in Java and changes no
 * queue. Runs in a JVM of its own with the FailingAllocations library
 * preloaded; the body sizes below must match its FAILING_ALLOCATIONS rules
 * in the build.
 */
class NativeAllocationFailureTest {
    /** Rule 777001:0:1: the first allocation of this size, the native message of a put, fails. */
    static final int API_PUT_FAILS = 777_001;
    /** Rule 777401:0:1: the first allocation of this size, the native message of an add, fails. */
    static final int MESSAGE_FAILS = 777_401;
    /** Rule 777801:1:1: the add's message succeeds, then one copy of the queued message fails. */
    static final int PEEK_COPY_FAILS = 777_801;
    /** Rule 778201:1:1: as above, for the peek of the channel API. */
    static final int API_PEEK_COPY_FAILS = 778_201;

    private static VMMessageImpl messageOfSize(int size) {
        byte[] body = new byte[size];
        for (int i = 0; i < size; i++) {
            body[i] = (byte) (i * 7);
        }
        return new VMMessageImpl(1, 2, 3, 4, 5, body);
    }

    private static void assertAddFailsThenWorks(int size) {
        int channel = freshChannel();
        VMMessageImpl m = messageOfSize(size);
        assertThrows(OutOfMemoryError.class, () -> TrellumJNI.addMessageToChannel(channel, 17, m));
        assertEquals(0, TrellumJNI.sizeOfChannel(channel, 17), "nothing may be queued");

        TrellumJNI.addMessageToChannel(channel, 17, m);
        assertEquals(m, TrellumJNI.removeMessageFromChannel(channel, 17));
        TrellumJNI.deleteChannel(channel);
    }

    @Test
    void apiPutRaisesOutOfMemoryAndQueuesNothing() throws InterruptedException {
        ChannelPipe pipe = MessageChannel.of(freshChannel()).first();
        VMMessageImpl m = messageOfSize(API_PUT_FAILS);
        assertThrows(OutOfMemoryError.class, () -> pipe.put(m));
        assertEquals(0, pipe.size(), "nothing may be queued");
        pipe.add(m);
        assertEquals(m, pipe.take());
        pipe.channel().delete();
    }

    @Test
    void addRaisesOutOfMemoryWhenTheMessageCannotBeBuilt() {
        assertAddFailsThenWorks(MESSAGE_FAILS);
    }

    @Test
    void peekRaisesOutOfMemoryInsteadOfReportingAnEmptyPipe() {
        int channel = freshChannel();
        VMMessageImpl m = messageOfSize(PEEK_COPY_FAILS);
        TrellumJNI.addMessageToChannel(channel, 0, m);
        assertThrows(OutOfMemoryError.class, () -> TrellumJNI.peekMessageFromChannel(channel, 0));
        assertEquals(1, TrellumJNI.sizeOfChannel(channel, 0));
        assertEquals(m, TrellumJNI.peekMessageFromChannel(channel, 0));
        assertEquals(m, TrellumJNI.removeMessageFromChannel(channel, 0));
        TrellumJNI.deleteChannel(channel);
    }

    @Test
    void apiPeekRaisesOutOfMemoryOnlyWhenTheCopyFails() {
        ChannelPipe pipe = MessageChannel.of(freshChannel()).second();
        VMMessageImpl m = messageOfSize(API_PEEK_COPY_FAILS);
        pipe.add(m);
        assertThrows(OutOfMemoryError.class, pipe::peek);
        assertEquals(m, pipe.peek());
        assertEquals(m, pipe.poll());
        pipe.channel().delete();
    }
}
