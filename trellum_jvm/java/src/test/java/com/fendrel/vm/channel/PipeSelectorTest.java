package com.fendrel.vm.channel;

import static com.fendrel.vm.channel.BlockingWaitTest.awaitWaiting;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.channels.ClosedSelectorException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** Selecting among many pipes, and the readiness descriptor of one pipe. */
class PipeSelectorTest {
    private static final long BOUND_SECONDS = 60;
    /** Both pipes of this many channels are registered at once. */
    private static final int MANY_CHANNELS = 5_000;
    private static final AtomicInteger NEXT_ID = new AtomicInteger(94_000);
    private static final ExecutorService THREADS = Executors.newCachedThreadPool(r -> {
        Thread t = new Thread(r);
        t.setDaemon(true);
        return t;
    });

    private final List<MessageChannel> channels = new ArrayList<>();
    private final PipeSelector selector = PipeSelector.open();

    private MessageChannel newChannel() {
        MessageChannel channel = MessageChannel.of(NEXT_ID.getAndIncrement());
        channels.add(channel);
        return channel;
    }

    @AfterEach
    void closeAndDelete() {
        selector.close();
        channels.forEach(MessageChannel::delete);
    }

    @AfterAll
    static void stopThreads() {
        THREADS.shutdownNow();
    }

    /** Starts {@code select} on another thread and returns once that thread waits in it. */
    private static <T> Future<T> blockedIn(Callable<T> select, AtomicReference<Thread> thread) throws Exception {
        Future<T> end = THREADS.submit(() -> {
            thread.set(Thread.currentThread());
            return select.call();
        });
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(BOUND_SECONDS);
        while (thread.get() == null) {
            assertTrue(System.nanoTime() < deadline, "the selecting thread never started");
            Thread.sleep(1);
        }
        awaitWaiting(List.of(thread.get()));
        assertFalse(end.isDone(), "the select ended by itself");
        return end;
    }

    private static <T> T within(Future<T> future) throws Exception {
        return future.get(BOUND_SECONDS, TimeUnit.SECONDS);
    }

    @Test
    void oneReadyPipeAmongManyIdleOnesIsReportedAlone() throws Exception {
        List<ChannelPipe> pipes = new ArrayList<>();
        for (int i = 0; i < MANY_CHANNELS; i++) {
            MessageChannel channel = newChannel();
            pipes.add(channel.first());
            pipes.add(channel.second());
        }
        for (ChannelPipe pipe : pipes) {
            assertTrue(selector.register(pipe));
        }
        assertFalse(selector.register(pipes.get(0)), "registered twice");
        assertEquals(pipes.size(), selector.registered().size());
        assertEquals(List.of(), selector.selectNow());

        ChannelPipe target = pipes.get(pipes.size() * 3 / 4 + 1);
        Future<List<ChannelPipe>> end = blockedIn(selector::select, new AtomicReference<>());
        target.put(ChannelPipeTest.message(0, 1));
        assertEquals(List.of(target), within(end));
        assertEquals(List.of(target), selector.select(1, TimeUnit.SECONDS), "still ready until drained");
        assertEquals(ChannelPipeTest.message(0, 1), target.poll());
        assertEquals(List.of(), selector.selectNow());
    }

    @Test
    void timeoutWakeupAndInterruptEndASelectWithNothingReady() throws Exception {
        selector.register(newChannel().first());
        long start = System.nanoTime();
        assertEquals(List.of(), selector.select(100, TimeUnit.MILLISECONDS));
        long waited = System.nanoTime() - start;
        assertTrue(waited >= TimeUnit.MILLISECONDS.toNanos(100), "returned early: " + waited);

        Future<List<ChannelPipe>> woken = blockedIn(selector::select, new AtomicReference<>());
        selector.wakeup();
        assertEquals(List.of(), within(woken));

        selector.wakeup();  // kept for the next select, which returns at once
        assertEquals(List.of(), selector.select(1, TimeUnit.HOURS));

        AtomicReference<Thread> thread = new AtomicReference<>();
        Future<String> interrupted = blockedIn(() -> {
            try {
                return "returned " + selector.select();
            } catch (InterruptedException e) {
                return Thread.currentThread().isInterrupted() ? "interrupted, status still set" : "interrupted";
            }
        }, thread);
        thread.get().interrupt();
        assertEquals("interrupted", within(interrupted));
    }

    @Test
    void aSelectThatFindsAReadyPipeTakesThePendingWakeup() throws Exception {
        ChannelPipe pipe = newChannel().first();
        selector.register(pipe);
        selector.wakeup();
        pipe.put(ChannelPipeTest.message(0, 1));
        assertEquals(List.of(pipe), selector.select());
        assertEquals(ChannelPipeTest.message(0, 1), pipe.poll());

        Future<List<ChannelPipe>> next = blockedIn(selector::select, new AtomicReference<>());
        pipe.put(ChannelPipeTest.message(0, 2));
        assertEquals(List.of(pipe), within(next));
    }

    @Test
    void closeEndsASelectUnderWayAndEveryLaterUse() throws Exception {
        ChannelPipe pipe = newChannel().first();
        selector.register(pipe);
        Future<List<ChannelPipe>> end = blockedIn(selector::select, new AtomicReference<>());
        selector.close();
        ExecutionException e = assertThrows(ExecutionException.class, () -> within(end));
        assertTrue(e.getCause() instanceof ClosedSelectorException, e.toString());
        assertFalse(selector.isOpen());
        assertTrue(selector.registered().isEmpty());
        assertThrows(ClosedSelectorException.class, () -> selector.register(pipe));
        assertThrows(ClosedSelectorException.class, () -> selector.deregister(pipe));
        assertThrows(ClosedSelectorException.class, selector::selectNow);
        assertThrows(ClosedSelectorException.class, selector::select);
        selector.wakeup();
        selector.close();
    }

    @Test
    void deregisteredPipesAreNoLongerReportedShutDownOnesAreAndDeletedOnesOnce() throws Exception {
        ChannelPipe full = newChannel().first();
        ChannelPipe stopped = newChannel().second();
        MessageChannel deletedChannel = newChannel();
        ChannelPipe deleted = deletedChannel.first();
        for (ChannelPipe pipe : List.of(full, stopped, deleted)) {
            selector.register(pipe);
        }
        full.put(ChannelPipeTest.message(0, 1));
        assertEquals(List.of(full), selector.selectNow());
        assertTrue(selector.deregister(full));
        assertFalse(selector.deregister(full));
        assertEquals(List.of(), selector.select(50, TimeUnit.MILLISECONDS));

        stopped.shutdown();
        assertEquals(List.of(stopped), selector.selectNow());
        assertThrows(PipeShutdownException.class, stopped::poll);
        stopped.startup();
        assertEquals(List.of(), selector.selectNow());

        deletedChannel.delete();
        assertEquals(List.of(deleted), selector.select(1, TimeUnit.SECONDS));
        assertNull(deleted.poll(), "a new channel under the same ID, empty");
        assertEquals(List.of(), selector.selectNow(), "a deleted channel's pipe is returned once, then dropped");
        assertFalse(selector.registered().contains(deleted));
    }

    /** Whether the eventfd behind {@code fd} is readable: its counter is not zero. */
    private static boolean readable(int fd) throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/fdinfo/" + fd))) {
            if (line.startsWith("eventfd-count:")) {
                return Long.parseLong(line.substring(line.indexOf(':') + 1).trim(), 16) != 0;
            }
        }
        throw new IOException("descriptor " + fd + " is no eventfd");
    }

    /** Descriptors are leaked on purpose: pure Java has no way to close a raw one. */
    @Test
    void eventDescriptorsAreReadableExactlyWhileAReceiveWouldNotWait() throws Exception {
        MessageChannel channel = newChannel();
        ChannelPipe pipe = channel.second();
        int fd = pipe.openEventDescriptor();
        int other = pipe.openEventDescriptor();
        assertTrue(fd >= 0 && other >= 0);
        assertNotEquals(fd, other);
        for (int d : new int[] {fd, other}) {
            assertEquals("anon_inode:[eventfd]", Files.readSymbolicLink(Paths.get("/proc/self/fd/" + d)).toString());
        }
        assertFalse(readable(fd));
        pipe.put(ChannelPipeTest.message(0, 1));
        channel.first().put(ChannelPipeTest.message(0, 2));
        assertTrue(readable(fd) && readable(other));
        pipe.poll();
        assertFalse(readable(fd) || readable(other), "drained");
        pipe.shutdown();
        assertTrue(readable(fd));
        pipe.startup();
        assertFalse(readable(fd));
        channel.delete();
        assertTrue(readable(fd) && readable(other), "deleted");
    }
}
