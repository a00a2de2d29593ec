package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.message;
import static org.junit.jupiter.api.Assertions.assertEquals;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.HashSet;
import java.util.Set;

import org.junit.jupiter.api.Test;

/**
 * Receiving works in a JVM where createChannel never ran: the first
 * receivers resolve the message class themselves, all at once. Runs in a
 * JVM of its own.
 */
class FirstUseByRemoveTest {

    @Test
    void racingFirstRemovesAllBuildTheirMessages() throws InterruptedException {
        int channel = freshChannel();
        Set<VMMessageImpl> sent = new HashSet<>();
        for (int i = 0; i < FirstUseRace.THREADS; i++) {
            VMMessageImpl m = message(i, i);
            sent.add(m);
            TrellumJNI.addMessageToChannel(channel, 3, m);
        }
        Set<VMMessageImpl> received = new HashSet<>(FirstUseRace.run(i -> TrellumJNI.removeMessageFromChannel(channel, 3)));
        assertEquals(sent, received);
        assertEquals(0, TrellumJNI.sizeOfChannel(channel, 3));
        TrellumJNI.deleteChannel(channel);
    }
}
