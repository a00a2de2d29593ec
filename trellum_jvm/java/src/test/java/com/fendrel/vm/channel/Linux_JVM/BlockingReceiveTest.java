package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.message;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.Test;

/**
 * A receive blocks in native code until another Java thread adds or shuts the
 * pipe down. Every wait is bounded; a receiver left blocked by a failure is
 * released by shutting its pipe down.
 */
class BlockingReceiveTest {
    private static final long JOIN_MILLIS = 60_000;

    /** A thread that receives once from a pipe and keeps what it got. */
    private static final class Receiver extends Thread {
        final AtomicReference<VMMessageImpl> received = new AtomicReference<>();
        final CountDownLatch started = new CountDownLatch(1);
        private final int channel;
        private final int pipe;

        Receiver(int channel, int pipe) {
            this.channel = channel;
            this.pipe = pipe;
            setDaemon(true);
        }

        @Override
        public void run() {
            started.countDown();
            received.set(TrellumJNI.removeMessageFromChannel(channel, pipe));
        }

        /** Starts, and returns once the thread is about to receive. */
        Receiver begin() throws InterruptedException {
            start();
            assertTrue(started.await(JOIN_MILLIS, TimeUnit.MILLISECONDS));
            return this;
        }

        /** Waits a little and reports whether the receive is still blocked. */
        boolean stillBlockedAfterAWhile() throws InterruptedException {
            join(200);
            return isAlive();
        }
    }

    private static void release(int channel, int pipe, List<Receiver> receivers) throws InterruptedException {
        TrellumJNI.shutdown(channel, pipe);
        for (Receiver r : receivers) {
            r.join(JOIN_MILLIS);
        }
        TrellumJNI.deleteChannel(channel);
    }

    @Test
    void blockedReceiveIsWokenByAnAddFromAnotherThread() throws InterruptedException {
        int channel = freshChannel();  // never created: the receive creates it and waits
        Receiver receiver = new Receiver(channel, 4);
        try {
            receiver.begin();
            assertTrue(receiver.stillBlockedAfterAWhile(), "a receive on an empty pipe must wait");
            VMMessageImpl sent = message(2, 42);
            // Pipe ID 1 addresses the same pipe as 4; pipe 17 must not wake it.
            TrellumJNI.addMessageToChannel(channel, 17, message(0, 1));
            assertTrue(receiver.stillBlockedAfterAWhile(), "an add on the other pipe must not deliver");
            TrellumJNI.addMessageToChannel(channel, 1, sent);
            receiver.join(JOIN_MILLIS);
            assertFalse(receiver.isAlive(), "the add did not wake the receiver");
            assertEquals(sent, receiver.received.get());
        } finally {
            release(channel, 4, List.of(receiver));
        }
    }

    @Test
    void shutdownWakesEveryBlockedReceiverWithNull() throws InterruptedException {
        int channel = freshChannel();
        List<Receiver> receivers = new ArrayList<>();
        try {
            for (int i = 0; i < 4; i++) {
                receivers.add(new Receiver(channel, 0).begin());
            }
            assertTrue(receivers.get(3).stillBlockedAfterAWhile());
            TrellumJNI.shutdown(channel, 0);
            for (Receiver r : receivers) {
                r.join(JOIN_MILLIS);
                assertFalse(r.isAlive(), "a receiver was not woken by the shutdown");
                assertNull(r.received.get());
            }
        } finally {
            release(channel, 0, receivers);
        }
    }
}
