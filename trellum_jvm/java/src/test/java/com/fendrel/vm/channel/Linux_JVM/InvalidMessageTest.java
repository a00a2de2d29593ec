package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.message;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.lang.reflect.Field;

import org.junit.jupiter.api.Test;

/**
 * A message the binding cannot read raises a Java exception, queues nothing
 * and leaves the binding working.
 */
class InvalidMessageTest {

    /** A message whose {@code fieldName} field was forced to null, as only reflection or a broken caller can. */
    private static VMMessageImpl withNullField(String fieldName) throws ReflectiveOperationException {
        VMMessageImpl m = message(0, 3);
        Field f = VMMessageImpl.class.getDeclaredField(fieldName);
        f.setAccessible(true);
        f.set(m, null);
        return m;
    }

    private static void assertRejected(VMMessageImpl bad, String expectedWord) {
        int channel = freshChannel();
        NullPointerException e = assertThrows(NullPointerException.class,
                () -> TrellumJNI.addMessageToChannel(channel, 17, bad));
        if (expectedWord != null) {
            assertEquals(true, e.getMessage().contains(expectedWord), e.getMessage());
        }
        assertEquals(0, TrellumJNI.sizeOfChannel(channel, 17), "nothing may be queued");
        assertEquals(0, TrellumJNI.sizeOfChannel(channel, 0), "nothing may be queued");

        // The binding goes on working, field IDs included.
        VMMessageImpl good = message(1, 4);
        TrellumJNI.addMessageToChannel(channel, 17, good);
        assertEquals(good, TrellumJNI.removeMessageFromChannel(channel, 17));
        TrellumJNI.deleteChannel(channel);
    }

    @Test
    void nullMessage() {
        assertRejected(null, "message");
    }

    @Test
    void nullHeader() throws ReflectiveOperationException {
        assertRejected(withNullField("header"), "header");
    }

    @Test
    void nullBody() throws ReflectiveOperationException {
        assertRejected(withNullField("body"), "body");
    }
}
