package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.Test;

/**
 * A peek must be built from a consistent copy of the first message even
 * while other threads remove and free that very message.
 */
class ConcurrentPeekTest {
    private static final int ROUNDS = 3_000;
    private static final int BODY = 256;
    private static final int PEEKERS = 2;

    /** Every byte of the body and the type repeat the message ID, so a torn or freed read shows. */
    private static VMMessageImpl stamped(int id) {
        byte[] body = new byte[BODY];
        Arrays.fill(body, (byte) id);
        return new VMMessageImpl(id, 0, id, id, id, body);
    }

    private static String inconsistency(VMMessageImpl m) {
        int id = m.getHeader().getMessageID();
        if (m.getHeader().getType() != id || m.getHeader().getAttributes() != id || m.getHeader().getChannelID() != id) {
            return "header torn: " + m.getHeader();
        }
        byte[] data = m.getBody().getData();
        if (data.length != BODY) {
            return "body length " + data.length;
        }
        for (byte b : data) {
            if (b != (byte) id) {
                return "body does not match header " + id;
            }
        }
        return null;
    }

    @Test
    void peeksStayConsistentWhileAnotherThreadRemoves() throws InterruptedException {
        int channel = freshChannel();
        AtomicBoolean done = new AtomicBoolean();
        AtomicReference<String> failure = new AtomicReference<>();
        Runnable peek = () -> {
            while (!done.get()) {
                VMMessageImpl m = TrellumJNI.peekMessageFromChannel(channel, 0);
                if (m != null) {
                    String problem = inconsistency(m);
                    if (problem != null) {
                        failure.compareAndSet(null, problem);
                    }
                }
            }
        };
        List<Thread> peekers = new ArrayList<>();
        for (int i = 0; i < PEEKERS; i++) {
            Thread t = new Thread(peek);
            t.setDaemon(true);
            peekers.add(t);
            t.start();
        }
        try {
            for (int i = 0; i < ROUNDS; i++) {
                TrellumJNI.addMessageToChannel(channel, 0, stamped(i));
                TrellumJNI.addMessageToChannel(channel, 0, stamped(i + 1_000_000));
                assertEquals(i, TrellumJNI.removeMessageFromChannel(channel, 0).getHeader().getMessageID());
                assertEquals(i + 1_000_000, TrellumJNI.removeMessageFromChannel(channel, 0).getHeader().getMessageID());
            }
        } finally {
            done.set(true);
            for (Thread t : peekers) {
                t.join(60_000);
            }
            TrellumJNI.deleteChannel(channel);
        }
        for (Thread t : peekers) {
            assertFalse(t.isAlive());
        }
        assertEquals(null, failure.get());
    }
}
