package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.message;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.fendrel.vm.channel.MessageChannel;
import com.fendrel.vm.channel.PipeShutdownException;

import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;

import org.junit.jupiter.api.Test;

/**
 * deleteChannel racing with every other method on the same few IDs, from
 * many threads, blocked receivers included. Nothing may hang, and in the
 * AddressSanitizer build nothing may touch freed memory.
 */
class DeleteRaceTest {
    private static final int FIRST_ID = 95_000;
    private static final int IDS = 3;
    private static final long RUN_MILLIS = 2000;

    @Test
    void deletesRaceWithEveryMethod() throws InterruptedException {
        AtomicBoolean stop = new AtomicBoolean();
        AtomicLong calls = new AtomicLong();
        ConcurrentLinkedQueue<Throwable> failures = new ConcurrentLinkedQueue<>();
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t < 6; t++) {
            final long seed = t;
            threads.add(new Thread(() -> {
                Random random = new Random(seed);
                while (!stop.get()) {
                    int id = FIRST_ID + random.nextInt(IDS);
                    int pipe = random.nextBoolean() ? 17 : 0;
                    try {
                        switch (random.nextInt(12)) {
                            case 0: TrellumJNI.deleteChannel(id); break;
                            case 1: TrellumJNI.createChannel(id); break;
                            case 2: case 3: TrellumJNI.addMessageToChannel(id, pipe, message(random.nextInt(4), 5)); break;
                            case 4: TrellumJNI.pollMessageFromChannel(id, pipe, 1, TimeUnit.MILLISECONDS); break;
                            case 5: TrellumJNI.peekMessageFromChannel(id, pipe); break;
                            case 6: TrellumJNI.sizeOfChannel(id, pipe); break;
                            case 7: TrellumJNI.clearChannel(id, pipe); break;
                            case 8: TrellumJNI.shutdown(id, pipe); TrellumJNI.startup(id, pipe); break;
                            case 9: MessageChannel.of(id).first().drainTo(new ArrayList<>(), 3); break;
                            case 10: MessageChannel.of(id).second().poll(); break;
                            default: MessageChannel.of(id).pipe(com.fendrel.vm.channel.PipeSide.ofPipeId(pipe)).peek(); break;
                        }
                    } catch (PipeShutdownException e) {
                        // a shutdown or a delete came first: expected
                    } catch (InterruptedException e) {
                        return;
                    }
                    calls.incrementAndGet();
                }
            }));
        }
        // Receivers without a timeout: only the deletes (and shutdowns) release them.
        for (int r = 0; r < 2; r++) {
            final int id = FIRST_ID + r;
            threads.add(new Thread(() -> {
                while (!stop.get()) {
                    TrellumJNI.removeMessageFromChannel(id, 17);
                }
            }));
        }
        for (Thread t : threads) {
            t.setUncaughtExceptionHandler((thread, e) -> failures.add(e));
            t.setDaemon(true);
            t.start();
        }
        Thread.sleep(RUN_MILLIS);
        stop.set(true);
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        for (Thread t : threads) {
            while (t.isAlive() && System.nanoTime() < end) {
                for (int id = FIRST_ID; id < FIRST_ID + IDS; id++) {
                    TrellumJNI.deleteChannel(id);
                }
                t.join(10);
            }
            assertFalse(t.isAlive(), t + " hangs");
        }
        assertTrue(failures.isEmpty(), () -> "a call failed: " + failures.peek());
        assertTrue(calls.get() > 0);
        for (int id = FIRST_ID; id < FIRST_ID + IDS; id++) {
            TrellumJNI.deleteChannel(id);
            assertEquals(0, TrellumJNI.sizeOfChannel(id, 17));
            TrellumJNI.deleteChannel(id);
        }
    }
}
