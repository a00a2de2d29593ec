package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.PIPE_17;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.message;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.ArrayList;
import java.util.List;
import java.util.Random;

import org.junit.jupiter.api.Test;

/** Channel IDs, priority order, deleting, shutting down and starting up, through the binding. */
class ChannelOperationsTest {

    @Test
    void neverCreatedIdsBehaveAsEmptyChannels() {
        int channel = freshChannel();
        assertEquals(0, TrellumJNI.sizeOfChannel(channel, PIPE_17));
        assertNull(TrellumJNI.peekMessageFromChannel(channel + 1, 0));
        TrellumJNI.clearChannel(channel + 2, 0);
        TrellumJNI.startup(channel + 3, PIPE_17);
        TrellumJNI.shutdown(channel + 4, PIPE_17);
        // The shut-down mark was left on a channel that now exists.
        assertNull(TrellumJNI.removeMessageFromChannel(channel + 4, PIPE_17));
        TrellumJNI.deleteChannel(channel + 5);  // never registered: nothing happens
        for (int id = channel; id < channel + 5; id++) {
            TrellumJNI.deleteChannel(id);
        }
    }

    @Test
    void zeroAndNegativeIdsAreOrdinaryChannels() {
        for (int channel : new int[] {0, -1, Integer.MIN_VALUE}) {
            VMMessageImpl sent = message(0, channel);
            TrellumJNI.createChannel(channel);
            TrellumJNI.addMessageToChannel(channel, 1, sent);
            assertEquals(sent, TrellumJNI.removeMessageFromChannel(channel, 1));
            TrellumJNI.deleteChannel(channel);
        }
    }

    @Test
    void receivesInPriorityOrderFirstInFirstOutAmongEquals() {
        int channel = freshChannel();
        Random random = new Random(99);
        List<VMMessageImpl> sent = new ArrayList<>();
        for (int i = 0; i < 300; i++) {
            // Few distinct priorities, negatives included, so that ties are common.
            VMMessageImpl m = message(random.nextInt(7) - 3, i);
            sent.add(m);
            TrellumJNI.addMessageToChannel(channel, PIPE_17, m);
        }
        assertEquals(sent.size(), TrellumJNI.sizeOfChannel(channel, PIPE_17));

        List<VMMessageImpl> expected = new ArrayList<>(sent);
        expected.sort((a, b) -> Integer.compare(a.getHeader().getPriority(), b.getHeader().getPriority()));  // stable
        List<VMMessageImpl> received = new ArrayList<>();
        TrellumJNI.shutdown(channel, PIPE_17);
        TrellumJNI.startup(channel, PIPE_17);
        while (TrellumJNI.sizeOfChannel(channel, PIPE_17) > 0) {
            received.add(TrellumJNI.removeMessageFromChannel(channel, PIPE_17));
        }
        assertEquals(expected, received);
        TrellumJNI.deleteChannel(channel);
    }

    @Test
    void shutDownPipeReturnsNullAtOnceAndStartupDeliversWhatWasQueued() {
        int channel = freshChannel();
        TrellumJNI.shutdown(channel, 0);
        VMMessageImpl low = message(9, 1);
        VMMessageImpl high = message(-9, 2);
        TrellumJNI.addMessageToChannel(channel, 0, low);
        TrellumJNI.addMessageToChannel(channel, 0, high);

        assertNull(TrellumJNI.removeMessageFromChannel(channel, 0));
        assertEquals(2, TrellumJNI.sizeOfChannel(channel, 0), "a shut-down pipe keeps its messages");
        assertEquals(high, TrellumJNI.peekMessageFromChannel(channel, 0), "peek works on a shut-down pipe");

        TrellumJNI.startup(channel, 0);
        assertEquals(high, TrellumJNI.removeMessageFromChannel(channel, 0));
        assertEquals(low, TrellumJNI.removeMessageFromChannel(channel, 0));
        TrellumJNI.deleteChannel(channel);
    }

    @Test
    void deleteDropsQueuedMessagesAndTheIdStartsAfresh() {
        int channel = freshChannel();
        TrellumJNI.createChannel(channel);
        TrellumJNI.addMessageToChannel(channel, 0, message(0, 1));
        TrellumJNI.shutdown(channel, PIPE_17);
        TrellumJNI.deleteChannel(channel);

        assertEquals(0, TrellumJNI.sizeOfChannel(channel, 0));
        VMMessageImpl sent = message(0, 2);
        TrellumJNI.addMessageToChannel(channel, PIPE_17, sent);
        assertEquals(sent, TrellumJNI.removeMessageFromChannel(channel, PIPE_17), "the new channel is running");
        TrellumJNI.deleteChannel(channel);
    }
}
