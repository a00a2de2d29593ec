package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.PIPE_17;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNotSame;

import com.fendrel.vm.channel.impl.VMMessageHeaderImpl;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.Random;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Messages cross into native memory and back without any value changing. */
class MessageConversionTest {

    private static VMMessageImpl roundTrip(VMMessageImpl sent) {
        int channel = freshChannel();
        TrellumJNI.addMessageToChannel(channel, PIPE_17, sent);
        VMMessageImpl received = TrellumJNI.removeMessageFromChannel(channel, PIPE_17);
        TrellumJNI.deleteChannel(channel);
        assertNotNull(received);
        assertNotSame(sent, received);
        return received;
    }

    @ParameterizedTest
    @ValueSource(ints = {0, 1, -1, 255, -256, 0x12345678, 0x80000001, Integer.MIN_VALUE, Integer.MAX_VALUE})
    void everyHeaderIntegerSurvives(int value) {
        // Each field gets a different value derived from `value`, so swapped fields show.
        VMMessageImpl sent = new VMMessageImpl(value, value ^ 1, value + 7, ~value, value * 3, null);
        VMMessageHeaderImpl h = roundTrip(sent).getHeader();
        assertEquals(value, h.getType(), "type");
        assertEquals(value ^ 1, h.getPriority(), "priority");
        assertEquals(value + 7, h.getChannelID(), "channelID");
        assertEquals(~value, h.getMessageID(), "messageID");
        assertEquals(value * 3, h.getAttributes(), "attributes");
    }

    @Test
    void headerChannelIdIsCarriedUnchangedNotReplacedByTheChannel() {
        int channel = freshChannel();
        VMMessageImpl sent = new VMMessageImpl(1, 2, -424242, 4, 5, new byte[] {9});
        TrellumJNI.addMessageToChannel(channel, 0, sent);
        assertEquals(-424242, TrellumJNI.peekMessageFromChannel(channel, 0).getHeader().getChannelID());
        assertEquals(-424242, TrellumJNI.removeMessageFromChannel(channel, 0).getHeader().getChannelID());
        TrellumJNI.deleteChannel(channel);
    }

    @Test
    void all256ByteValuesSurviveInOrder() {
        byte[] body = new byte[512];
        for (int i = 0; i < body.length; i++) {
            body[i] = (byte) (i < 256 ? i : 511 - i);
        }
        VMMessageImpl received = roundTrip(new VMMessageImpl(0, 0, 0, 0, 0, body));
        assertArrayEquals(body, received.getBody().getData());
    }

    @Test
    void largeRandomBodySurvives() {
        byte[] body = new byte[1 << 20];
        new Random(1234).nextBytes(body);
        assertArrayEquals(body, roundTrip(new VMMessageImpl(1, 2, 3, 4, 5, body)).getBody().getData());
    }

    @Test
    void nullAndEmptyBodiesComeBackAsEmptyArrays() {
        for (byte[] data : new byte[][] {null, new byte[0]}) {
            VMMessageImpl sent = new VMMessageImpl(1, 2, 3, 4, 5, data);
            VMMessageImpl received = roundTrip(sent);
            byte[] bytes = received.getBody().getData();
            assertNotNull(bytes);
            assertEquals(0, bytes.length);
            assertEquals(sent, received);
        }
    }

    @Test
    void peekGivesDistinctEqualObjectsAndLeavesTheMessageQueued() {
        int channel = freshChannel();
        VMMessageImpl sent = new VMMessageImpl(7, 8, 9, 10, 11, new byte[] {1, 2, 3});
        TrellumJNI.addMessageToChannel(channel, 0, sent);

        VMMessageImpl first = TrellumJNI.peekMessageFromChannel(channel, 0);
        VMMessageImpl second = TrellumJNI.peekMessageFromChannel(channel, 0);
        assertNotSame(first, second);
        assertNotSame(first.getBody(), second.getBody());
        assertEquals(sent, first);
        assertEquals(sent, second);
        assertEquals(1, TrellumJNI.sizeOfChannel(channel, 0));
        assertEquals(sent, TrellumJNI.removeMessageFromChannel(channel, 0), "peeking must not consume");
        TrellumJNI.deleteChannel(channel);
    }
}
