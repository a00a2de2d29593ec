package com.fendrel.vm.channel;

import static com.fendrel.vm.channel.WaitBounds.BOUND_SECONDS;
import static com.fendrel.vm.channel.WaitBounds.awaitWaiting;
import static com.fendrel.vm.channel.WaitBounds.within;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * Waits that end: by a message, a timeout, an interrupt, a shutdown or a
 * deletion. Durations are checked only as "not before the timeout" and
 * "within a generous bound"; the machine may be slow or emulated.
 */
class BlockingWaitTest {
    private static final AtomicInteger NEXT_ID = new AtomicInteger(91_000);
    private static final ExecutorService THREADS = Executors.newCachedThreadPool(r -> {
        Thread t = new Thread(r);
        t.setDaemon(true);
        return t;
    });

    private final MessageChannel channel = MessageChannel.of(NEXT_ID.getAndAdd(3));

    @AfterEach
    void deleteChannel() {
        channel.delete();  // also releases any receiver a failure left blocked
    }

    @AfterAll
    static void stopThreads() {
        THREADS.shutdownNow();
    }

    @Test
    void pollWaitsAtLeastItsTimeoutAndNoLongerThanNeeded() throws Exception {
        for (long millis : new long[] {0, 1, 50, 250}) {
            long start = System.nanoTime();
            assertNull(TrellumJNI.pollMessageFromChannel(channel.id(), 17, millis, TimeUnit.MILLISECONDS));
            long waited = System.nanoTime() - start;
            assertTrue(waited >= TimeUnit.MILLISECONDS.toNanos(millis), "returned early: " + waited);
            assertTrue(waited < TimeUnit.SECONDS.toNanos(BOUND_SECONDS));
        }
        assertNull(TrellumJNI.pollMessageFromChannel(channel.id(), 17, -5, TimeUnit.SECONDS));

        // An add ends a long wait at once, through the legacy and the new API alike.
        Future<VMMessageImpl> legacy = THREADS.submit(
                () -> TrellumJNI.pollMessageFromChannel(channel.id(), 17, 1, TimeUnit.HOURS));
        Future<VMMessageImpl> modern = THREADS.submit(() -> channel.second().poll(1, TimeUnit.HOURS));
        Thread.sleep(100);
        VMMessageImpl first = ChannelPipeTest.message(0, 1);
        VMMessageImpl second = ChannelPipeTest.message(0, 2);
        channel.first().put(first);
        channel.second().put(second);
        assertEquals(first, within(legacy));
        assertEquals(second, within(modern));
    }

    @Test
    void shutdownAndDeleteEndBlockedPollsAndRemoves() throws Exception {
        for (boolean delete : new boolean[] {false, true}) {
            List<Future<Object>> results = new ArrayList<>();
            for (int pipeID : new int[] {17, 0}) {
                results.add(THREADS.submit(() -> TrellumJNI.removeMessageFromChannel(channel.id(), pipeID)));
                results.add(THREADS.submit(
                        () -> TrellumJNI.pollMessageFromChannel(channel.id(), pipeID, 1, TimeUnit.HOURS)));
                results.add(THREADS.submit(() -> {
                    try {
                        return channel.pipe(PipeSide.ofPipeId(pipeID)).take();
                    } catch (PipeShutdownException e) {
                        return e.isChannelDeleted() ? "deleted" : "shut down";
                    }
                }));
            }
            Thread.sleep(200);
            if (delete) {
                channel.delete();
            } else {
                TrellumJNI.shutdown(channel.id(), 17);
                TrellumJNI.shutdown(channel.id(), 0);
                TrellumJNI.startup(channel.id(), 17);  // a startup at once changes nothing for them
                TrellumJNI.startup(channel.id(), 0);
            }
            String expected = delete ? "deleted" : "shut down";
            for (int i = 0; i < results.size(); i++) {
                assertEquals(i % 3 == 2 ? expected : null, within(results.get(i)), "receiver " + i);
            }
        }
    }

    /** Long.MAX_VALUE in any unit is the usual way to say "no limit": TimeUnit saturates to it. */
    @Test
    void waitsOfTheLongestTimeoutLastUntilServed() throws Exception {
        ChannelPipe full = channel.second();
        full.setCapacity(1, 0);
        full.put(ChannelPipeTest.message(0, 0));
        ChannelPipe served = MessageChannel.of(channel.id() + 1).first();
        List<Thread> threads = new ArrayList<>();
        List<Future<?>> waits = new ArrayList<>();
        for (TimeUnit unit : TimeUnit.values()) {
            waits.add(WaitBounds.start(threads, () -> channel.first().poll(Long.MAX_VALUE, unit)));
        }
        waits.add(WaitBounds.start(threads,
                () -> TrellumJNI.pollMessageFromChannel(channel.id(), 17, Long.MAX_VALUE, TimeUnit.MILLISECONDS)));
        waits.add(WaitBounds.start(threads,
                () -> full.offer(ChannelPipeTest.message(0, 1), Long.MAX_VALUE, TimeUnit.NANOSECONDS)));
        try (PipeSelector selector = PipeSelector.open()) {
            selector.register(served);
            waits.add(WaitBounds.start(threads, () -> selector.select(Long.MAX_VALUE, TimeUnit.NANOSECONDS)));
            awaitWaiting(threads);
            Thread.sleep(100);  // well past the short first wait of a call
            for (int i = 0; i <= TimeUnit.values().length; i++) {
                channel.first().put(ChannelPipeTest.message(0, 2));
            }
            full.take();
            served.put(ChannelPipeTest.message(0, 3));
            for (int i = 0; i < waits.size(); i++) {
                Object result = within(waits.get(i));
                assertTrue(result != null && !Boolean.FALSE.equals(result) && !List.of().equals(result),
                        "wait " + i + " gave up: " + result);
            }
        } finally {
            served.channel().delete();
        }
    }

    @Test
    void interruptBeforeOrDuringTheWaitThrowsAndClearsTheStatus() throws Exception {
        channel.first().put(ChannelPipeTest.message(0, 1));
        Thread.currentThread().interrupt();
        assertThrows(InterruptedException.class, () -> channel.first().poll(0, TimeUnit.SECONDS));
        assertFalse(Thread.interrupted(), "the interrupt status must be cleared");
        assertEquals(1, channel.first().size(), "nothing may be taken");

        List<Thread> waiting = new CopyOnWriteArrayList<>();
        List<Future<String>> outcomes = new ArrayList<>();
        for (int i = 0; i < 3; i++) {
            final int which = i;
            outcomes.add(THREADS.submit(() -> {
                waiting.add(Thread.currentThread());
                try {
                    if (which == 0) {
                        channel.second().take();
                    } else if (which == 1) {
                        channel.second().poll(1, TimeUnit.HOURS);
                    } else {
                        TrellumJNI.pollMessageFromChannel(channel.id(), 0, 1, TimeUnit.HOURS);
                    }
                    return "returned";
                } catch (InterruptedException e) {
                    return Thread.currentThread().isInterrupted() ? "still interrupted" : "interrupted";
                }
            }));
        }
        while (waiting.size() < 3) {
            Thread.sleep(1);
        }
        awaitWaiting(new ArrayList<>(waiting));
        long start = System.nanoTime();
        waiting.forEach(Thread::interrupt);
        for (Future<String> outcome : outcomes) {
            assertEquals("interrupted", within(outcome));
        }
        assertTrue(System.nanoTime() - start < TimeUnit.SECONDS.toNanos(BOUND_SECONDS));
    }

    /** Consumers interrupted all the time lose nothing: every message arrives exactly once. */
    @Test
    void noMessageIsLostWhileConsumersAreInterrupted() throws Exception {
        final int messages = 3000;
        final int consumers = 3;
        ChannelPipe pipe = channel.first();
        boolean[] seen = new boolean[messages];
        AtomicInteger duplicates = new AtomicInteger();
        AtomicInteger received = new AtomicInteger();
        List<Thread> threads = new ArrayList<>();
        for (int c = 0; c < consumers; c++) {
            Thread t = new Thread(() -> {
                while (received.get() < messages) {
                    try {
                        VMMessageImpl m = pipe.poll(5, TimeUnit.MILLISECONDS);
                        if (m != null) {
                            synchronized (seen) {
                                int id = m.getHeader().getMessageID();
                                if (seen[id]) {
                                    duplicates.incrementAndGet();
                                }
                                seen[id] = true;
                            }
                            received.incrementAndGet();
                        }
                    } catch (InterruptedException e) {
                        // expected all the time; carry on
                    }
                }
            });
            t.setDaemon(true);
            threads.add(t);
            t.start();
        }
        Thread interrupter = new Thread(() -> {
            while (received.get() < messages && !Thread.currentThread().isInterrupted()) {
                threads.forEach(Thread::interrupt);
                Thread.onSpinWait();
            }
        });
        interrupter.setDaemon(true);
        interrupter.start();
        for (int id = 0; id < messages; id++) {
            pipe.put(ChannelPipeTest.message(id % 4, id));
        }
        for (Thread t : threads) {
            t.join(TimeUnit.SECONDS.toMillis(BOUND_SECONDS));
            assertFalse(t.isAlive(), "a consumer never finished: " + received.get() + " received");
        }
        interrupter.interrupt();
        assertEquals(messages, received.get());
        assertEquals(0, duplicates.get());
        assertEquals(0, pipe.size());
    }
}
