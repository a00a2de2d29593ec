package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.message;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Pipe ID 17 addresses one pipe of a channel; every other ID the other. */
class PipeSelectionTest {

    @Test
    void pipe17AndPipe18AreIndependent() {
        int channel = freshChannel();
        VMMessageImpl on17 = message(5, 17);
        VMMessageImpl on18 = message(5, 18);
        TrellumJNI.addMessageToChannel(channel, 17, on17);
        TrellumJNI.addMessageToChannel(channel, 18, on18);
        TrellumJNI.addMessageToChannel(channel, 18, message(6, 19));

        assertEquals(1, TrellumJNI.sizeOfChannel(channel, 17));
        assertEquals(2, TrellumJNI.sizeOfChannel(channel, 18));
        assertEquals(on17, TrellumJNI.removeMessageFromChannel(channel, 17));
        assertEquals(on18, TrellumJNI.removeMessageFromChannel(channel, 18));
        assertNull(TrellumJNI.peekMessageFromChannel(channel, 17), "pipe 17 must be empty now");
        assertEquals(1, TrellumJNI.sizeOfChannel(channel, 18));
        TrellumJNI.deleteChannel(channel);
    }

    @ParameterizedTest
    @ValueSource(ints = {0, 1, 18, -1, 16, Integer.MIN_VALUE, Integer.MAX_VALUE})
    void everyIdOtherThan17SharesOnePipe(int pipeID) {
        int channel = freshChannel();
        VMMessageImpl viaOther = message(1, pipeID);
        TrellumJNI.addMessageToChannel(channel, pipeID, viaOther);

        assertEquals(0, TrellumJNI.sizeOfChannel(channel, 17));
        for (int alias : new int[] {0, 1, 18, -1}) {
            assertEquals(1, TrellumJNI.sizeOfChannel(channel, alias), "size via pipe ID " + alias);
            assertEquals(viaOther, TrellumJNI.peekMessageFromChannel(channel, alias), "peek via pipe ID " + alias);
        }
        TrellumJNI.clearChannel(channel, 0);
        assertEquals(0, TrellumJNI.sizeOfChannel(channel, -1), "clear via 0 empties the pipe seen via -1");
        TrellumJNI.deleteChannel(channel);
    }

    @Test
    void messageAddedOn17IsReceivedOnlyOn17() {
        int channel = freshChannel();
        VMMessageImpl sent = message(3, 1700);
        TrellumJNI.addMessageToChannel(channel, 17, sent);
        for (int other : new int[] {0, 1, 18, -1}) {
            assertNull(TrellumJNI.peekMessageFromChannel(channel, other), "visible via pipe ID " + other);
        }
        // The other pipe is shut down, so a wrong receive returns at once instead of blocking.
        TrellumJNI.shutdown(channel, 0);
        assertNull(TrellumJNI.removeMessageFromChannel(channel, 0));
        assertEquals(sent, TrellumJNI.removeMessageFromChannel(channel, 17));
        TrellumJNI.deleteChannel(channel);
    }
}
