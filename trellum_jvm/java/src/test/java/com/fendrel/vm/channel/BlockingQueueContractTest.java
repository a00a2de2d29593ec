package com.fendrel.vm.channel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.Iterator;
import java.util.List;
import java.util.NoSuchElementException;
import java.util.concurrent.Callable;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.IntSupplier;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * ChannelPipe held to the BlockingQueue and Collection contracts, method by
 * method, once unbounded and once bounded to ten messages; then what only a
 * bounded pipe does. Waits are bounded generously and never timed tightly:
 * the 32-bit runs are emulated.
 */
@Timeout(value = 2, unit = TimeUnit.MINUTES)  // a wait that never ends is interrupted, failing the test
class BlockingQueueContractTest {
    private static final long BOUND_SECONDS = 60;
    private static final AtomicInteger NEXT_ID = new AtomicInteger(92_000);

    private final MessageChannel channel = MessageChannel.of(NEXT_ID.getAndAdd(3));
    private final ChannelPipe pipe = channel.first();

    @AfterEach
    void deleteChannel() {
        channel.delete();  // also ends any send or receive a failure left waiting
    }

    private static VMMessageImpl message(int priority, int id) {
        return ChannelPipeTest.message(priority, id);
    }

    private static VMMessageImpl ofSize(int id, int bodyBytes) {
        byte[] body = new byte[bodyBytes];
        Arrays.fill(body, (byte) id);
        return new VMMessageImpl(1, 0, 2, id, 3, body);
    }

    /** Runs {@code call} on a daemon thread of its own; the result is what it returned or threw. */
    private static CompletableFuture<Object> inThread(Callable<?> call, Thread[] thread) {
        CompletableFuture<Object> result = new CompletableFuture<>();
        Thread t = new Thread(() -> {
            try {
                result.complete(call.call());
            } catch (Throwable e) {
                result.complete(e);
            }
        });
        t.setDaemon(true);
        if (thread != null) {
            thread[0] = t;
        }
        t.start();
        return result;
    }

    private static CompletableFuture<Object> inThread(Callable<?> call) {
        return inThread(call, null);
    }

    private Callable<Object> putting(VMMessageImpl m) {
        return () -> {
            pipe.put(m);
            return "queued";
        };
    }

    private static Object within(CompletableFuture<Object> result) throws Exception {
        return result.get(BOUND_SECONDS, TimeUnit.SECONDS);
    }

    private static void eventually(IntSupplier value, int expected, String what) throws InterruptedException {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(BOUND_SECONDS);
        while (value.getAsInt() != expected) {
            assertTrue(System.nanoTime() < end, what + " never became " + expected);
            Thread.sleep(2);
        }
    }

    /**
     * Waits until {@code count} senders wait for room, and a little longer:
     * past the short first wait of a Java send, after which only a wake-up
     * lets it in, so that a missing one shows.
     */
    private void awaitWaitingSenders(int count) throws InterruptedException {
        eventually(() -> pipe.stats().waitingSenders(), count, "waiting senders");
        Thread.sleep(50);
    }

    private void fill(int count) {
        for (int id = 0; id < count; id++) {
            assertTrue(pipe.offer(message(id % 3, 1000 + id)));
        }
    }

    private List<VMMessageImpl> contents() {
        return new ArrayList<>(pipe);
    }

    abstract class Contract {
        /** The message limit, 0 for none. */
        abstract int capacity();

        boolean bounded() {
            return capacity() > 0;
        }

        @BeforeEach
        void bound() {
            pipe.setCapacity(capacity(), 0);
        }

        @Test
        void insertsUpToTheLimitAndCountRemainingCapacity() throws InterruptedException {
            for (int id = 0; id < 10; id++) {
                assertEquals(bounded() ? 10 - id : Integer.MAX_VALUE, pipe.remainingCapacity());
                switch (id % 4) {
                    case 0: assertTrue(pipe.offer(message(0, id))); break;
                    case 1: assertTrue(pipe.add(message(0, id))); break;
                    case 2: pipe.put(message(0, id)); break;
                    default: assertTrue(pipe.offer(message(0, id), 1, TimeUnit.SECONDS)); break;
                }
            }
            assertEquals(10, pipe.size());
            assertEquals(bounded() ? 0 : Integer.MAX_VALUE, pipe.remainingCapacity());
            VMMessageImpl extra = message(0, 10);
            assertEquals(!bounded(), pipe.offer(extra));
            assertEquals(!bounded(), pipe.offer(extra, 20, TimeUnit.MILLISECONDS));
            assertEquals(!bounded(), pipe.offer(extra, 0, TimeUnit.SECONDS));
            assertEquals(!bounded(), pipe.offer(extra, -1, TimeUnit.SECONDS), "a negative timeout does not wait");
            if (bounded()) {
                assertThrows(IllegalStateException.class, () -> pipe.add(extra));
                assertEquals(10, pipe.size(), "a refused message is not queued");
            } else {
                assertTrue(pipe.add(extra));
                assertEquals(15, pipe.size());
            }

            assertThrows(NullPointerException.class, () -> pipe.offer(null));
            assertThrows(NullPointerException.class, () -> pipe.offer(null, 1, TimeUnit.SECONDS));
            assertThrows(NullPointerException.class, () -> pipe.put(null));
            assertThrows(NullPointerException.class, () -> pipe.add(null));
            assertThrows(NullPointerException.class, () -> pipe.addAll(null));
            assertThrows(IllegalArgumentException.class, () -> pipe.addAll(pipe));

            // Interrupted before any wait, even with room to spare.
            pipe.clear();
            Thread.currentThread().interrupt();
            assertThrows(InterruptedException.class, () -> pipe.put(message(0, 1)));
            Thread.currentThread().interrupt();
            assertThrows(InterruptedException.class, () -> pipe.offer(message(0, 1), 1, TimeUnit.SECONDS));
            assertFalse(Thread.interrupted(), "the interrupt status is cleared");
            assertEquals(0, pipe.size());
        }

        @Test
        void receivesInPriorityThenArrivalOrder() throws InterruptedException {
            assertThrows(NoSuchElementException.class, pipe::element);
            assertThrows(NoSuchElementException.class, pipe::remove);
            assertNull(pipe.poll());
            assertNull(pipe.poll(1, TimeUnit.MILLISECONDS));
            assertNull(pipe.poll(-1, TimeUnit.SECONDS));
            assertNull(pipe.peek());

            int[] priorities = {2, 0, 1, 0, 2, 1};
            for (int id = 0; id < priorities.length; id++) {
                pipe.put(message(priorities[id], id));
            }
            assertEquals(message(0, 1), pipe.peek());
            assertEquals(message(0, 1), pipe.element());
            assertEquals(6, pipe.size(), "peek and element leave the message queued");
            assertEquals(message(0, 1), pipe.take());
            assertEquals(message(0, 3), pipe.poll());
            assertEquals(message(1, 2), pipe.remove());
            assertEquals(message(1, 5), pipe.poll(1, TimeUnit.SECONDS));
            assertEquals(message(2, 0), pipe.remove());
            assertEquals(message(2, 4), pipe.take());
            assertTrue(pipe.isEmpty());
        }

        @Test
        void iteratorWalksASnapshotAndRemovesWhatIsStillQueued() throws InterruptedException {
            fill(5);  // priorities 0 1 2 0 1
            List<VMMessageImpl> order = List.of(message(0, 1000), message(0, 1003), message(1, 1001),
                    message(1, 1004), message(2, 1002));
            Iterator<VMMessageImpl> walk = pipe.iterator();
            pipe.poll();
            pipe.put(message(-1, 1));
            List<VMMessageImpl> seen = new ArrayList<>();
            walk.forEachRemaining(seen::add);
            assertEquals(order, seen, "a snapshot of the moment the iterator was made");
            assertThrows(NoSuchElementException.class, walk::next);
            assertEquals(List.of(message(-1, 1), message(0, 1003)), contents().subList(0, 2));

            Iterator<VMMessageImpl> it = pipe.iterator();
            assertThrows(IllegalStateException.class, it::remove);
            assertEquals(message(-1, 1), it.next());
            it.remove();
            assertThrows(IllegalStateException.class, it::remove);
            assertFalse(pipe.contains(message(-1, 1)));
            assertEquals(message(0, 1003), it.next());
            assertEquals(message(0, 1003), pipe.take());
            it.remove();  // taken meanwhile: nothing left to remove, and no error
            assertEquals(order.subList(2, 5), contents());
            assertTrue(it.hasNext());
        }

        @Test
        void membershipRemovalAndArrays() {
            VMMessageImpl a = message(1, 7);
            VMMessageImpl b = message(0, 8);
            pipe.add(a);
            pipe.add(b);
            pipe.add(message(1, 7));
            assertTrue(pipe.contains(message(1, 7)), "an equal object is found");
            assertFalse(pipe.contains(message(1, 9)));
            assertFalse(pipe.contains(null));
            assertFalse(pipe.contains("a string"));
            assertTrue(pipe.containsAll(List.of(a, b)));
            assertFalse(pipe.containsAll(List.of(a, message(1, 9))));
            assertThrows(NullPointerException.class, () -> pipe.containsAll(null));

            assertArrayEquals(new Object[] {b, a, a}, pipe.toArray());
            assertArrayEquals(new VMMessageImpl[] {b, a, a}, pipe.toArray(new VMMessageImpl[0]));
            VMMessageImpl sentinel = message(5, 5);
            Object[] roomy = {sentinel, sentinel, sentinel, sentinel, sentinel};
            assertSame(roomy, pipe.toArray(roomy));
            assertArrayEquals(new Object[] {b, a, a, null, sentinel}, roomy, "null marks the end");
            assertThrows(ArrayStoreException.class, () -> pipe.toArray(new String[3]));

            assertFalse(pipe.remove(null));
            assertFalse(pipe.remove("a string"));
            assertFalse(pipe.remove(message(1, 9)));
            assertTrue(pipe.remove(message(1, 7)));
            assertEquals(List.of(b, a), contents(), "one of the two equal messages is left");
            assertTrue(pipe.remove(a));
            assertFalse(pipe.remove(a));
            assertEquals(List.of(b), contents());
        }

        @Test
        void bulkOperations() {
            List<VMMessageImpl> all = new ArrayList<>();
            for (int id = 0; id < 8; id++) {
                all.add(message(id % 3, id));
            }
            assertTrue(pipe.addAll(all));
            assertEquals(List.of(all.get(0), all.get(3), all.get(6), all.get(1), all.get(4), all.get(7), all.get(2),
                    all.get(5)), contents());
            // The first message, the last of a priority, the last of another, the tail.
            assertTrue(pipe.removeAll(List.of(all.get(0), all.get(7), message(0, 99))));
            assertFalse(pipe.removeAll(List.of(message(0, 99))));
            assertTrue(pipe.retainAll(List.of(all.get(1), all.get(2), all.get(3), all.get(4), all.get(5))));
            assertFalse(pipe.retainAll(all));
            assertTrue(pipe.removeIf(m -> m.getHeader().getMessageID() == 5));
            assertFalse(pipe.removeIf(m -> false));
            for (int priority = 2; priority >= 0; priority--) {
                pipe.add(message(priority, 20 + priority));
            }
            assertEquals(List.of(all.get(3), message(0, 20), all.get(1), all.get(4), message(1, 21), all.get(2),
                    message(2, 22)), contents(), "later messages still queue behind their priority");
            assertThrows(NullPointerException.class, () -> pipe.removeAll(null));
            assertThrows(NullPointerException.class, () -> pipe.retainAll(null));
            assertThrows(NullPointerException.class, () -> pipe.removeIf(null));

            pipe.clear();
            assertTrue(pipe.isEmpty());
            assertEquals(0, pipe.stats().bytes());
            assertFalse(pipe.iterator().hasNext());
            assertEquals(0, pipe.toArray().length);
        }

        @Test
        void drainToMovesAtMostMaxInTakeOrder() {
            assertThrows(IllegalArgumentException.class, () -> pipe.drainTo(pipe));
            assertThrows(IllegalArgumentException.class, () -> pipe.drainTo(pipe, 1));
            assertThrows(NullPointerException.class, () -> pipe.drainTo(null));
            assertThrows(NullPointerException.class, () -> pipe.drainTo(null, 1));
            fill(7);
            List<VMMessageImpl> expected = contents();
            List<VMMessageImpl> drained = new ArrayList<>(List.of(message(9, 9)));
            assertEquals(3, pipe.drainTo(drained, 3));
            assertEquals(0, pipe.drainTo(drained, 0));
            assertEquals(0, pipe.drainTo(drained, -1));
            assertEquals(4, pipe.size());
            assertEquals(4, pipe.drainTo(drained));
            assertEquals(0, pipe.drainTo(drained));
            assertEquals(message(9, 9), drained.remove(0), "what was there stays first");
            assertEquals(expected, drained);
        }

        @Test
        void statsCountWhatHappens() throws Exception {
            PipeStats empty = pipe.stats();
            assertEquals(0, empty.size());
            assertEquals(0, empty.bytes());
            assertEquals(capacity(), empty.maxMessages());
            assertEquals(0, empty.maxBytes());
            assertEquals(0, empty.added() + empty.removed() + empty.highWaterSize());
            assertFalse(empty.isShutDown());

            fill(4);  // three body bytes each
            pipe.poll();
            pipe.remove(message(1, 1001));
            PipeStats busy = pipe.stats();
            assertEquals(2, busy.size());
            assertEquals(6, busy.bytes());
            assertEquals(4, busy.highWaterSize());
            assertEquals(4, busy.added());
            assertEquals(2, busy.removed(), "a removal counts as a receive");
            pipe.clear();
            assertEquals(2, pipe.stats().removed(), "a clear does not count");
            assertEquals(4, pipe.stats().highWaterSize());

            CompletableFuture<Object> receiver = inThread(pipe::take);
            eventually(() -> pipe.stats().waitingReceivers(), 1, "waiting receivers");
            assertEquals(0, pipe.stats().waitingSenders());
            pipe.put(message(0, 1));
            assertEquals(message(0, 1), within(receiver));
            assertEquals(0, pipe.stats().waitingReceivers());

            pipe.shutdown();
            assertTrue(pipe.stats().isShutDown());
            assertTrue(pipe.offer(message(0, 2)), "a shut-down pipe still queues");
            pipe.startup();
            assertFalse(pipe.stats().isShutDown());
        }
    }

    @Nested
    class Unbounded extends Contract {
        @Override
        int capacity() {
            return 0;
        }
    }

    @Nested
    class BoundedToTen extends Contract {
        @Override
        int capacity() {
            return 10;
        }

        @Test
        void putWaitsForRoomUntilATakeOrAnInterrupt() throws Exception {
            fill(10);
            CompletableFuture<Object> put = inThread(putting(message(0, 1)));
            awaitWaitingSenders(1);
            assertFalse(put.isDone());
            assertEquals(10, pipe.size());
            pipe.take();
            assertEquals("queued", within(put));
            assertTrue(pipe.contains(message(0, 1)));

            Thread[] sender = new Thread[1];
            CompletableFuture<Object> interrupted = inThread(putting(message(0, 2)), sender);
            awaitWaitingSenders(1);
            sender[0].interrupt();
            assertInstanceOf(InterruptedException.class, within(interrupted));
            assertEquals(0, pipe.stats().waitingSenders());
            assertEquals(10, pipe.size());
            assertFalse(pipe.contains(message(0, 2)), "an interrupted put queues nothing");

            assertFalse(pipe.offer(message(0, 3), 20, TimeUnit.MILLISECONDS));
            CompletableFuture<Object> offer = inThread(() -> pipe.offer(message(0, 4), 1, TimeUnit.HOURS));
            awaitWaitingSenders(1);
            pipe.poll();
            assertEquals(true, within(offer));
            assertEquals(10, pipe.size());

            CompletableFuture<Object> deleted = inThread(putting(message(0, 5)));
            awaitWaitingSenders(1);
            channel.delete();
            PipeShutdownException e = assertInstanceOf(PipeShutdownException.class, within(deleted));
            assertTrue(e.isChannelDeleted());
        }

        @Test
        void everyRemovalMakesRoomForAWaitingSender() throws Exception {
            fill(10);
            List<Runnable> removals = List.of(
                    () -> pipe.drainTo(new ArrayList<>(), 1),
                    () -> pipe.remove(pipe.peek()),
                    () -> {
                        Iterator<VMMessageImpl> it = pipe.iterator();
                        it.next();
                        it.remove();
                    },
                    () -> {
                        VMMessageImpl head = pipe.peek();
                        pipe.removeIf(head::equals);
                    },
                    pipe::remove);
            for (Runnable removal : removals) {
                CompletableFuture<Object> put = inThread(putting(message(3, 0)));
                awaitWaitingSenders(1);
                removal.run();
                assertEquals("queued", within(put));
                assertEquals(10, pipe.size());
            }
        }

        @Test
        void clearAndRaisedLimitsLetWaitingSendersIn() throws Exception {
            fill(10);
            List<CompletableFuture<Object>> puts = new ArrayList<>();
            for (int id = 0; id < 2; id++) {
                VMMessageImpl m = message(0, id);
                puts.add(inThread(() -> pipe.offer(m, 1, TimeUnit.HOURS)));
            }
            awaitWaitingSenders(2);
            pipe.clear();
            for (CompletableFuture<Object> put : puts) {
                assertEquals(true, within(put));
            }
            fill(8);

            puts.clear();
            for (int id = 0; id < 3; id++) {
                puts.add(inThread(putting(message(0, 10 + id))));
            }
            awaitWaitingSenders(3);
            pipe.setCapacity(12, 0);
            eventually(pipe::size, 12, "size");
            awaitWaitingSenders(1);
            assertEquals(0, pipe.remainingCapacity());
            pipe.setCapacity(0, 0);
            for (CompletableFuture<Object> put : puts) {
                assertEquals("queued", within(put));
            }
            assertEquals(13, pipe.size());
            assertEquals(Integer.MAX_VALUE, pipe.remainingCapacity());

            // A lowered limit drops nothing; sends wait until the pipe is back under it.
            pipe.setCapacity(10, 0);
            assertEquals(0, pipe.remainingCapacity());
            pipe.drainTo(new ArrayList<>(), 3);
            assertFalse(pipe.offer(message(0, 30)));
            pipe.poll();
            assertTrue(pipe.offer(message(0, 31)));
        }
    }

    @Test
    void aByteLimitLetsAnyOneMessageIntoAnEmptyPipe() throws Exception {
        pipe.setCapacity(0, 100);
        assertTrue(pipe.offer(ofSize(1, 150)), "an empty pipe takes a message over the limit");
        assertEquals(0, pipe.remainingCapacity());
        assertFalse(pipe.offer(ofSize(2, 1)));
        CompletableFuture<Object> put = inThread(putting(ofSize(3, 60)));
        awaitWaitingSenders(1);
        assertEquals(ofSize(1, 150), pipe.take());
        assertEquals("queued", within(put));
        assertTrue(pipe.offer(ofSize(4, 40)), "up to the limit exactly");
        assertFalse(pipe.offer(ofSize(5, 1)));
        assertEquals(100, pipe.stats().bytes());
        assertEquals(100, pipe.stats().maxBytes());

        // Bodies too large for the thread's transfer area wait for room as well.
        pipe.clear();
        pipe.setCapacity(0, 5000);
        VMMessageImpl large = ofSize(6, 6000);
        assertTrue(pipe.offer(large));
        CompletableFuture<Object> second = inThread(() -> pipe.offer(ofSize(7, 6000), 1, TimeUnit.HOURS));
        awaitWaitingSenders(1);
        assertEquals(large, pipe.poll());
        assertEquals(true, within(second));
        assertEquals(ofSize(7, 6000), pipe.peek());
    }

    @Test
    void legacyAddWaitsForRoomInTheFirstPipe() throws Exception {
        pipe.setCapacity(10, 0);
        fill(10);
        TrellumJNI.addMessageToChannel(channel.id(), 0, message(0, 1));
        assertEquals(1, channel.second().size(), "the other pipe is not bounded");
        CompletableFuture<Object> add = inThread(() -> {
            TrellumJNI.addMessageToChannel(channel.id(), 17, message(0, 2));
            return "queued";
        });
        awaitWaitingSenders(1);
        assertFalse(add.isDone());
        assertEquals(10, pipe.size());
        pipe.take();
        assertEquals("queued", within(add));
        assertTrue(pipe.contains(message(0, 2)));
    }

    /** Only a send that waits for room can be told of a delete; any other goes to the next channel. */
    @Test
    void sendsThatNeverWaitOutliveDeletes() throws Exception {
        AtomicBoolean stop = new AtomicBoolean();
        CompletableFuture<Object> deleter = inThread(() -> {
            while (!stop.get()) {
                channel.delete();
            }
            return "done";
        });
        try {
            long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(2);
            for (int id = 0; id < 100_000 && System.nanoTime() < end; id++) {
                pipe.put(message(0, id));
                assertTrue(pipe.offer(message(0, id), 1, TimeUnit.SECONDS));
            }
        } finally {
            stop.set(true);
        }
        assertEquals("done", within(deleter));
    }

    /**
     * Takers and a remover that picks its victims through the iterator race
     * for the same messages: each one leaves the pipe exactly once.
     */
    @Test
    void everyMessageIsTakenOrRemovedExactlyOnce() throws Exception {
        final int count = 500;
        pipe.setCapacity(10, 0);
        ConcurrentHashMap<Integer, String> fates = new ConcurrentHashMap<>();
        AtomicInteger duplicates = new AtomicInteger();
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(BOUND_SECONDS);
        List<CompletableFuture<Object>> workers = new ArrayList<>();
        workers.add(inThread(() -> {
            for (int id = 0; id < count; id++) {
                pipe.put(message(id % 2, id));
            }
            return "done";
        }));
        for (int taker = 0; taker < 2; taker++) {
            workers.add(inThread(() -> {
                while (fates.size() < count && System.nanoTime() < end) {
                    VMMessageImpl m = pipe.poll(10, TimeUnit.MILLISECONDS);
                    if (m != null && fates.put(m.getHeader().getMessageID(), "taken") != null) {
                        duplicates.incrementAndGet();
                    }
                }
                return "done";
            }));
        }
        workers.add(inThread(() -> {
            while (fates.size() < count && System.nanoTime() < end) {
                for (VMMessageImpl m : pipe) {
                    if (pipe.remove(m) && fates.put(m.getHeader().getMessageID(), "removed") != null) {
                        duplicates.incrementAndGet();
                    }
                }
            }
            return "done";
        }));
        for (CompletableFuture<Object> worker : workers) {
            assertEquals("done", within(worker));
        }
        assertEquals(0, duplicates.get());
        assertEquals(count, fates.size());
        assertTrue(pipe.isEmpty());
        assertEquals(count, pipe.stats().removed());
    }
}
