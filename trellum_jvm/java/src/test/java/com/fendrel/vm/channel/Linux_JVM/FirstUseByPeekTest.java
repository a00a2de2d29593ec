package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.message;
import static org.junit.jupiter.api.Assertions.assertEquals;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import org.junit.jupiter.api.Test;

/**
 * Peeking works in a JVM where createChannel never ran: the first peekers
 * resolve the message class themselves, all at once. Runs in a JVM of its
 * own.
 */
class FirstUseByPeekTest {

    @Test
    void racingFirstPeeksAllBuildTheirMessages() throws InterruptedException {
        int channel = freshChannel();
        VMMessageImpl sent = message(0, 77);
        TrellumJNI.addMessageToChannel(channel, 17, sent);
        for (VMMessageImpl peeked : FirstUseRace.run(i -> TrellumJNI.peekMessageFromChannel(channel, 17))) {
            assertEquals(sent, peeked);
        }
        assertEquals(1, TrellumJNI.sizeOfChannel(channel, 17));
        TrellumJNI.deleteChannel(channel);
    }
}
