package com.fendrel.vm.channel;

import static com.fendrel.vm.channel.BlockingWaitTest.awaitWaiting;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLongArray;
import java.util.concurrent.atomic.AtomicReference;
import java.util.concurrent.atomic.AtomicReferenceArray;
import java.util.concurrent.locks.LockSupport;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * A Java wait is one native wait: it costs nothing while idle, and an
 * interrupt, a shutdown or a delete ends it however the waiting thread is
 * scheduled. Durations are bounded loosely: the machine may be loaded or
 * emulated, and only a real fault (a periodic wake-up, a lost interrupt, a
 * missed shutdown) should fail these checks.
 */
class InterruptibleWaitTest {
    private static final long BOUND_SECONDS = 60;
    /** Far above the one bounded first wait per call, far below 20 ms slicing (about 150 in 3 s). */
    private static final long MAX_IDLE_SWITCHES = 20;
    private static final AtomicInteger NEXT_ID = new AtomicInteger(92_000);
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

    private static <T> T within(Future<T> future) throws Exception {
        return future.get(BOUND_SECONDS, TimeUnit.SECONDS);
    }

    /** Runs {@code body} on a pool thread that first adds itself to {@code started}. */
    private static <T> Future<T> submit(List<Thread> started, Callable<T> body) {
        return THREADS.submit(() -> {
            started.add(Thread.currentThread());
            return body.call();
        });
    }

    private static void awaitStarted(List<Thread> started, int count) throws InterruptedException {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(BOUND_SECONDS);
        while (started.size() < count) {
            assertTrue(System.nanoTime() < end, "threads never started");
            Thread.sleep(1);
        }
        awaitWaiting(new ArrayList<>(started));
    }

    /** What a receive ended with, as a word; messages by their ID. */
    private static String outcome(Callable<VMMessageImpl> receive) throws Exception {
        try {
            VMMessageImpl m = receive.call();
            return m == null ? "null" : "message " + m.getHeader().getMessageID();
        } catch (PipeShutdownException e) {
            return e.isChannelDeleted() ? "deleted" : "shut down";
        } catch (InterruptedException e) {
            return Thread.currentThread().isInterrupted() ? "interrupted, status still set" : "interrupted";
        }
    }

    /** "/proc/<pid>/task/<tid>" of the calling thread. */
    private static Path ownTaskDirectory() throws IOException {
        return Paths.get("/proc").resolve(Files.readSymbolicLink(Paths.get("/proc/thread-self")));
    }

    private static long voluntarySwitches(Path task) throws IOException {
        for (String line : Files.readAllLines(task.resolve("status"))) {
            if (line.startsWith("voluntary_ctxt_switches:")) {
                return Long.parseLong(line.substring(line.indexOf(':') + 1).trim());
            }
        }
        throw new IOException("no voluntary_ctxt_switches in " + task);
    }

    @Test
    void idleWaitersAreNotWokenUp() throws Exception {
        try (PipeSelector selector = PipeSelector.open()) {
            selector.register(channel.second());
            List<Callable<Object>> waits = List.of(
                    () -> channel.first().take(),
                    () -> channel.first().poll(1, TimeUnit.HOURS),
                    selector::select);
            AtomicReferenceArray<Path> tasks = new AtomicReferenceArray<>(waits.size());
            List<Thread> started = new CopyOnWriteArrayList<>();
            List<Future<Object>> ends = new ArrayList<>();
            for (int i = 0; i < waits.size(); i++) {
                final int which = i;
                ends.add(submit(started, () -> {
                    tasks.set(which, ownTaskDirectory());
                    return waits.get(which).call();
                }));
            }
            awaitStarted(started, waits.size());
            long[] before = new long[waits.size()];
            for (int i = 0; i < waits.size(); i++) {
                before[i] = voluntarySwitches(tasks.get(i));
            }
            Thread.sleep(3000);
            long[] woken = new long[waits.size()];
            for (int i = 0; i < waits.size(); i++) {
                woken[i] = voluntarySwitches(tasks.get(i)) - before[i];
            }
            System.out.println("wake-ups in 3 s idle (take, poll(1 h), select): " + Arrays.toString(woken));
            for (int i = 0; i < waits.size(); i++) {
                assertFalse(ends.get(i).isDone(), "wait " + i + " ended by itself");
                assertTrue(woken[i] <= MAX_IDLE_SWITCHES, "wait " + i + " woke " + woken[i] + " times while idle");
            }
            channel.delete();  // readies the selector's pipe too
            for (Future<Object> end : ends.subList(0, 2)) {
                ExecutionException e = assertThrows(ExecutionException.class, () -> within(end));
                assertTrue(e.getCause() instanceof PipeShutdownException, e.toString());
            }
            assertEquals(List.of(channel.second()), within(ends.get(2)));
        }
    }

    @Test
    void interruptBeforeTheCallThrowsAtOnceAndTakesNothing() throws Exception {
        channel.first().put(ChannelPipeTest.message(0, 1));
        try (PipeSelector selector = PipeSelector.open()) {
            selector.register(channel.first());
            List<Callable<Object>> waits = List.of(
                    () -> channel.first().take(),
                    () -> channel.first().poll(1, TimeUnit.HOURS),
                    () -> TrellumJNI.pollMessageFromChannel(channel.id(), 17, 1, TimeUnit.HOURS),
                    selector::select,
                    () -> selector.select(1, TimeUnit.HOURS));
            for (Callable<Object> wait : waits) {
                Thread.currentThread().interrupt();
                assertThrows(InterruptedException.class, wait::call);
                assertFalse(Thread.interrupted(), "the interrupt status must be cleared");
            }
        }
        assertEquals(1, channel.first().size(), "nothing may be taken");
    }

    @Test
    void interruptEndsABlockedWaitPromptly() throws Exception {
        long[] latencies = new long[10];
        for (int round = 0; round < latencies.length; round++) {
            List<Thread> started = new CopyOnWriteArrayList<>();
            long[] caught = new long[1];
            Future<String> end = submit(started, () -> {
                String how = outcome(() -> channel.first().take());
                caught[0] = System.nanoTime();
                return how;
            });
            awaitStarted(started, 1);
            long sent = System.nanoTime();
            started.get(0).interrupt();
            assertEquals("interrupted", within(end));
            latencies[round] = TimeUnit.NANOSECONDS.toMicros(caught[0] - sent);
        }
        Arrays.sort(latencies);
        System.out.println("interrupt to InterruptedException, microseconds: median " + latencies[latencies.length / 2]
                + ", most " + latencies[latencies.length - 1]);
        assertTrue(latencies[latencies.length - 1] < TimeUnit.SECONDS.toMicros(10), "an interrupt took seconds");
    }

    /**
     * Interrupts that land anywhere around the start of a take(): before it,
     * while it installs its interruptor, while it starts the native wait, or
     * during it. Each take must end, with the message or the interrupt, and
     * every message put meanwhile is taken exactly once or still queued.
     */
    @Test
    void interruptsRacingWithTheStartOfAWaitAreNeitherLostNorLoseMessages() throws Exception {
        final int rounds = 1500;
        final int messages = 300;
        ChannelPipe pipe = channel.first();
        AtomicInteger go = new AtomicInteger(-1);
        AtomicInteger sent = new AtomicInteger(-1);
        AtomicInteger done = new AtomicInteger(-1);
        AtomicInteger received = new AtomicInteger();
        AtomicInteger interrupted = new AtomicInteger();
        AtomicReference<Thread> receiverThread = new AtomicReference<>();
        Future<?> receiver = THREADS.submit(() -> {
            receiverThread.set(Thread.currentThread());
            for (int round = 0; round < rounds; round++) {
                while (go.get() != round) {
                    Thread.onSpinWait();
                }
                try {
                    pipe.take();
                    received.incrementAndGet();
                } catch (InterruptedException e) {
                    interrupted.incrementAndGet();
                }
                while (sent.get() != round) {  // the interrupt may still be under way: clear it only once sent
                    Thread.yield();
                }
                Thread.interrupted();
                done.set(round);
            }
            return null;
        });
        Future<?> producer = THREADS.submit(() -> {
            for (int id = 0; id < messages; id++) {
                pipe.put(ChannelPipeTest.message(0, id));
                LockSupport.parkNanos(TimeUnit.MICROSECONDS.toNanos(500));
            }
            return null;
        });
        ThreadLocalRandom random = ThreadLocalRandom.current();
        for (int round = 0; round < rounds; round++) {
            go.set(round);
            long until = System.nanoTime() + random.nextLong(300_000);
            while (System.nanoTime() < until) {
                Thread.onSpinWait();
            }
            while (receiverThread.get() == null) {
                Thread.onSpinWait();
            }
            receiverThread.get().interrupt();
            sent.set(round);
            long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(BOUND_SECONDS);
            while (done.get() != round) {
                if (System.nanoTime() > end || receiver.isDone()) {
                    Thread t = receiverThread.get();
                    fail("take() did not end after an interrupt in round " + round + " (" + interrupted.get()
                            + " interrupted, " + received.get() + " received; the receiver's interrupt status is "
                            + t.isInterrupted() + ", at " + Arrays.toString(t.getStackTrace()) + ")");
                }
                Thread.yield();
            }
        }
        within(receiver);
        within(producer);
        System.out.println("racing interrupts: " + interrupted.get() + " takes interrupted, " + received.get()
                + " received, " + pipe.size() + " still queued");
        assertEquals(rounds, interrupted.get() + received.get());
        assertEquals(messages, received.get() + pipe.size(), "messages lost or duplicated");
    }

    /**
     * poll(100 ms) interrupted at about 95 ms: the interrupt must win over
     * the timeout. In a slow run the interrupt may land after the deadline;
     * then null is right, but never null with the interrupt status already
     * set when poll returns (an interrupt taken for a timeout).
     */
    @Test
    void aTimedPollInterruptedJustBeforeItsDeadlineThrows() throws Exception {
        List<Callable<VMMessageImpl>> polls = List.of(
                () -> channel.first().poll(100, TimeUnit.MILLISECONDS),
                () -> TrellumJNI.pollMessageFromChannel(channel.id(), 0, 100, TimeUnit.MILLISECONDS));
        for (Callable<VMMessageImpl> poll : polls) {
            int thrown = 0;
            for (int attempt = 0; attempt < 20; attempt++) {
                List<Thread> started = new CopyOnWriteArrayList<>();
                AtomicLongArray times = new AtomicLongArray(2);
                Future<String> end = submit(started, () -> {
                    times.set(0, System.nanoTime());
                    try {
                        VMMessageImpl m = poll.call();
                        times.set(1, System.nanoTime());
                        boolean set = Thread.currentThread().isInterrupted();
                        return m != null ? "message" : set ? "null, status set" : "null";
                    } catch (InterruptedException e) {
                        return Thread.currentThread().isInterrupted() ? "interrupted, status still set" : "interrupted";
                    }
                });
                long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(BOUND_SECONDS);
                while (started.isEmpty() || times.get(0) == 0) {
                    assertTrue(System.nanoTime() < deadline);
                    Thread.onSpinWait();
                }
                long at = times.get(0) + TimeUnit.MICROSECONDS.toNanos(90_000 + 1000 * (attempt % 9));
                LockSupport.parkNanos(at - System.nanoTime());
                long interruptStarted = System.nanoTime();
                started.get(0).interrupt();
                String how = within(end);
                if (how.equals("interrupted")) {
                    thrown++;
                } else if (!how.equals("null") && !(how.equals("null, status set") && interruptStarted > times.get(1))) {
                    fail("attempt " + attempt + ": " + how);
                }
            }
            System.out.println("poll(100 ms) interrupted at 90-98 ms: " + thrown + " of 20 threw");
        }
    }

    private enum Event { PIPE_SHUTDOWN, LEGACY_SHUTDOWN, DELETE }

    /**
     * Every receiver blocked at a shutdown or a delete ends with it, even
     * when the pipe runs again (or the channel is made anew and holds a
     * message) before the receivers are scheduled.
     */
    @Test
    void shutdownOrDeleteFollowedAtOnceByARunningPipeEndsEveryBlockedReceiver() throws Exception {
        ChannelPipe pipe = channel.first();
        for (Event event : Event.values()) {
            for (int round = 0; round < 12; round++) {
                List<Thread> started = new CopyOnWriteArrayList<>();
                List<Future<String>> ends = new ArrayList<>();
                for (int r = 0; r < 8; r++) {
                    final boolean timed = r % 3 == 2;
                    Callable<VMMessageImpl> receive;
                    if (event == Event.LEGACY_SHUTDOWN) {
                        receive = timed ? () -> TrellumJNI.pollMessageFromChannel(channel.id(), 17, 1, TimeUnit.HOURS)
                                : () -> TrellumJNI.removeMessageFromChannel(channel.id(), 17);
                    } else {
                        receive = timed ? () -> pipe.poll(1, TimeUnit.HOURS) : pipe::take;
                    }
                    ends.add(submit(started, () -> outcome(receive)));
                }
                awaitStarted(started, 8);
                switch (event) {
                    case PIPE_SHUTDOWN:
                        pipe.shutdown();
                        pipe.startup();
                        break;
                    case LEGACY_SHUTDOWN:
                        TrellumJNI.shutdown(channel.id(), 17);
                        TrellumJNI.startup(channel.id(), 17);
                        break;
                    default:
                        channel.delete();
                }
                pipe.put(ChannelPipeTest.message(0, round));  // what a receiver that missed the event would take
                String expected = event == Event.PIPE_SHUTDOWN ? "shut down" : event == Event.DELETE ? "deleted" : "null";
                for (Future<String> end : ends) {
                    assertEquals(expected, within(end), event + ", round " + round);
                }
                assertEquals(ChannelPipeTest.message(0, round), pipe.poll(), "the message put after the event");
            }
        }
    }

    /**
     * A receiver suspended in its native wait (the suspension takes hold
     * when the native call returns to Java) while the channel is deleted or
     * the pipe shut down and started again, and then resumed, still ends
     * with PipeShutdownException, not with a message put meanwhile.
     */
    @Test
    @SuppressWarnings({"deprecation", "removal"})
    void aReceiverSuspendedAcrossAShutdownOrDeleteStillEndsWithIt() throws Exception {
        assumeTrue(Runtime.version().feature() < 20, "Thread.suspend() throws from JDK 20 on");
        ChannelPipe pipe = channel.first();
        for (boolean delete : new boolean[] {false, true}) {
            for (long pauseMillis : new long[] {0, 100}) {
                List<Thread> started = new CopyOnWriteArrayList<>();
                Future<String> end = submit(started, () -> outcome(pipe::take));
                awaitStarted(started, 1);
                Thread receiver = started.get(0);
                receiver.suspend();
                try {
                    if (delete) {
                        channel.delete();
                    } else {
                        pipe.shutdown();
                        pipe.startup();
                    }
                    pipe.put(ChannelPipeTest.message(0, 7));
                    Thread.sleep(pauseMillis);  // the native wait returns meanwhile, into the suspension
                } finally {
                    receiver.resume();
                }
                assertEquals(delete ? "deleted" : "shut down", within(end), "delete " + delete + ", pause " + pauseMillis);
                assertEquals(ChannelPipeTest.message(0, 7), pipe.poll());
                assertNull(pipe.poll());
            }
        }
    }
}
