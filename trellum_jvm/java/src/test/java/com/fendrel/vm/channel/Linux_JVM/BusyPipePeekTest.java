package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.message;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.fendrel.vm.channel.MessageChannel;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.List;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.atomic.AtomicBoolean;

import org.junit.jupiter.api.Test;

/**
 * Peeks on a pipe that keeps emptying and refilling. The earlier fault: a
 * peek that found the pipe empty and then saw a size above 0 (filled again
 * meanwhile) took it for exhausted native memory and raised OutOfMemoryError.
 */
class BusyPipePeekTest {
    private static final long RUN_MILLIS = 1500;

    @Test
    void peeksOnABusyPipeNeverClaimExhaustedMemory() throws InterruptedException {
        int channel = freshChannel();
        AtomicBoolean stop = new AtomicBoolean();
        ConcurrentLinkedQueue<Throwable> failures = new ConcurrentLinkedQueue<>();
        int[] peeks = new int[2];
        // Adds without pause, while a remover that never sleeps (it polls, and
        // polls are quicker than adds) takes each message as it comes: the
        // pipe flips between empty and not empty as often as it can.
        Runnable adder = () -> {
            for (int i = 0; !stop.get(); i++) {
                TrellumJNI.addMessageToChannel(channel, 17, message(i % 3, i));
            }
        };
        Runnable remover = () -> {
            while (!stop.get()) {
                MessageChannel.of(channel).first().poll();
            }
        };
        Runnable legacyPeeker = () -> {
            while (!stop.get()) {
                VMMessageImpl m = TrellumJNI.peekMessageFromChannel(channel, 17);
                if (m != null) {
                    int seed = m.getHeader().getMessageID();
                    assertEquals(message(m.getHeader().getPriority(), seed), m, "a torn copy");
                }
                peeks[0]++;
            }
        };
        Runnable apiPeeker = () -> {
            while (!stop.get()) {
                MessageChannel.of(channel).first().peek();
                peeks[1]++;
            }
        };
        List<Thread> threads = List.of(new Thread(adder), new Thread(remover), new Thread(legacyPeeker),
                new Thread(apiPeeker));
        for (Thread t : threads) {
            t.setUncaughtExceptionHandler((thread, e) -> failures.add(e));
            t.setDaemon(true);
            t.start();
        }
        Thread.sleep(RUN_MILLIS);
        stop.set(true);
        for (Thread t : threads) {
            t.join(60_000);
            assertFalse(t.isAlive());
        }
        assertTrue(failures.isEmpty(), () -> "peek failed: " + failures.peek());
        assertTrue(peeks[0] > 0 && peeks[1] > 0);
        TrellumJNI.clearChannel(channel, 17);
        assertNull(TrellumJNI.peekMessageFromChannel(channel, 17));
        TrellumJNI.deleteChannel(channel);
    }
}
