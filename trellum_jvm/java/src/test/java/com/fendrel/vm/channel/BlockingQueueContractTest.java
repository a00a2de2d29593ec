package com.fendrel.vm.channel;

import static com.fendrel.vm.channel.WaitBounds.BOUND_SECONDS;
import static com.fendrel.vm.channel.WaitBounds.within;
import static com.fendrel.vm.channel.ChannelPipeTest.message;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNull;
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
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * ChannelPipe held to the BlockingQueue contract where it implements the
 * methods itself; what AbstractQueue supplies is left to the JDK. Waits are
 * bounded generously and never timed tightly: the 32-bit runs are emulated.
 */
@Timeout(value = 2, unit = TimeUnit.MINUTES)  // a wait that never ends is interrupted, failing the test
class BlockingQueueContractTest {
    private static final AtomicInteger NEXT_ID = new AtomicInteger(92_000);

    private final MessageChannel channel = MessageChannel.of(NEXT_ID.getAndAdd(3));
    private final ChannelPipe pipe = channel.first();
    private Thread lastStarted;

    @AfterEach
    void deleteChannel() {
        channel.delete();  // also ends any send or receive a failure left waiting
    }

    private static VMMessageImpl ofSize(int id, int bodyBytes) {
        byte[] body = new byte[bodyBytes];
        Arrays.fill(body, (byte) id);
        return new VMMessageImpl(1, 0, 2, id, 3, body);
    }

    /** Runs {@code call} on a daemon thread, kept in {@link #lastStarted}; the result is what it returned or threw. */
    private CompletableFuture<Object> inThread(Callable<?> call) {
        CompletableFuture<Object> result = new CompletableFuture<>();
        lastStarted = new Thread(() -> {
            try {
                result.complete(call.call());
            } catch (Throwable e) {
                result.complete(e);
            }
        });
        lastStarted.setDaemon(true);
        lastStarted.start();
        return result;
    }

    private CompletableFuture<Object> waitingSend(Callable<?> send) throws InterruptedException {
        CompletableFuture<Object> result = inThread(send);
        awaitWaitingSenders(1);
        return result;
    }

    private Callable<Object> putting(VMMessageImpl m) {
        return () -> {
            pipe.put(m);
            return "queued";
        };
    }

    private Callable<Object> offering(VMMessageImpl m) {
        return () -> pipe.offer(m, 1, TimeUnit.HOURS) ? "queued" : "timed out";
    }

    /** Starts sends of every kind that waits for room, and returns once they all wait. */
    private List<CompletableFuture<Object>> waitingSenders(int count, int firstId) throws InterruptedException {
        List<CompletableFuture<Object>> sends = new ArrayList<>();
        for (int id = firstId; id < firstId + count; id++) {
            VMMessageImpl m = message(0, id);
            sends.add(inThread(id % 3 == 0 ? putting(m) : id % 3 == 1 ? offering(m) : () -> {
                TrellumJNI.addMessageToChannel(channel.id(), PipeSide.FIRST.pipeId(), m);
                return "queued";
            }));
        }
        awaitWaitingSenders(count);
        return sends;
    }

    private static void eventually(IntSupplier value, int expected, String what) throws InterruptedException {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(BOUND_SECONDS);
        while (value.getAsInt() != expected) {
            assertTrue(System.nanoTime() < end, what + " never became " + expected);
            Thread.sleep(2);
        }
    }

    /** Past the short first wait of a Java send too, after which only a wake-up lets it in. */
    private void awaitWaitingSenders(int count) throws InterruptedException {
        eventually(() -> pipe.stats().waitingSenders(), count, "waiting senders");
        Thread.sleep(50);
    }

    private void fill(int count) {
        for (int id = 0; id < count; id++) {
            assertTrue(pipe.offer(message(id % 3, 1000 + id)));
        }
    }

    @ParameterizedTest(name = "capacity {0}")
    @ValueSource(ints = {0, 10})
    void everySendCountsAgainstTheLimit(int capacity) throws Exception {
        boolean bounded = capacity > 0;
        pipe.setCapacity(capacity, 0);
        assertEquals(capacity, pipe.stats().maxMessages());
        assertNull(pipe.poll(-1, TimeUnit.SECONDS), "a negative timeout does not wait");
        for (int id = 0; id < 10; id++) {
            assertEquals(bounded ? 10 - id : Integer.MAX_VALUE, pipe.remainingCapacity());
            assertEquals("queued", (id % 2 == 0 ? putting(message(0, id)) : offering(message(0, id))).call());
        }
        assertEquals(bounded ? 0 : Integer.MAX_VALUE, pipe.remainingCapacity());
        VMMessageImpl extra = message(0, 10);
        assertEquals(!bounded, pipe.offer(extra));
        assertEquals(!bounded, pipe.offer(extra, 20, TimeUnit.MILLISECONDS));
        assertEquals(!bounded, pipe.offer(extra, -1, TimeUnit.SECONDS), "a negative timeout does not wait");
        assertEquals(bounded ? 10 : 13, pipe.size(), "a refused message is not queued");
        assertThrows(NullPointerException.class, () -> pipe.offer(null));
        assertThrows(NullPointerException.class, () -> pipe.offer(null, 1, TimeUnit.SECONDS));

        pipe.clear();  // an interrupt is seen before any wait, even with room to spare
        Thread.currentThread().interrupt();
        assertThrows(InterruptedException.class, () -> pipe.put(extra));
        Thread.currentThread().interrupt();
        assertThrows(InterruptedException.class, () -> pipe.offer(extra, 1, TimeUnit.SECONDS));
        assertFalse(Thread.interrupted(), "the interrupt status is cleared");
        assertEquals(0, pipe.size());
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

        Iterator<VMMessageImpl> it = pipe.iterator();
        assertThrows(IllegalStateException.class, it::remove);
        assertEquals(message(-1, 1), it.next());
        it.remove();
        assertThrows(IllegalStateException.class, it::remove);
        assertEquals(message(0, 1003), it.next());
        assertEquals(message(0, 1003), pipe.take());
        it.remove();  // taken meanwhile: nothing left to remove, and no error
        assertEquals(order.subList(2, 5), new ArrayList<>(pipe));
    }

    @Test
    void equalMessagesAreFoundAndRemovedAnywhereAndDrainedInOrder() {
        List<VMMessageImpl> all = new ArrayList<>();
        for (int id = 0; id < 8; id++) {
            all.add(message(id % 3, id));
        }
        pipe.addAll(all);
        pipe.add(message(1, 4));
        assertArrayEquals(new VMMessageImpl[] {all.get(0), all.get(3), all.get(6), all.get(1), all.get(4),
                all.get(7), all.get(4), all.get(2), all.get(5)}, pipe.toArray(new VMMessageImpl[0]));
        assertTrue(pipe.contains(message(1, 4)), "an equal object is found");
        assertTrue(pipe.containsAll(List.of(all.get(0), all.get(5))));
        assertFalse(pipe.containsAll(List.of(all.get(0), message(1, 9))));
        for (Object absent : Arrays.asList(message(1, 9), null, "a string")) {
            assertFalse(pipe.contains(absent));
            assertFalse(pipe.remove(absent));
        }
        // The head, one of two equal messages, the last of two priorities, the tail.
        for (int id : new int[] {0, 4, 7, 6, 5}) {
            assertTrue(pipe.remove(message(id % 3, id)));
        }
        for (int priority = 2; priority >= 0; priority--) {
            pipe.add(message(priority, 20 + priority));
        }
        List<VMMessageImpl> expected = List.of(all.get(3), message(0, 20), all.get(1), all.get(4), message(1, 21),
                all.get(2), message(2, 22));
        assertEquals(expected, new ArrayList<>(pipe), "later messages still queue behind their priority");

        assertThrows(IllegalArgumentException.class, () -> pipe.drainTo(pipe));
        List<VMMessageImpl> drained = new ArrayList<>();
        assertEquals(0, pipe.drainTo(drained, 0) + pipe.drainTo(drained, -1));
        assertEquals(3, pipe.drainTo(drained, 3));
        assertEquals(4, pipe.drainTo(drained));
        assertEquals(expected, drained);
        assertEquals(0, pipe.stats().bytes());
    }

    @Test
    void statsCountWhatHappens() throws Exception {
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
        assertEquals(0, pipe.stats().bytes());
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
        pipe.startup();
        assertFalse(pipe.stats().isShutDown());
    }

    @Test
    void aPutWaitingForRoomEndsWithAnInterruptOrADelete() throws Exception {
        pipe.setCapacity(10, 0);
        fill(10);
        CompletableFuture<Object> interrupted = waitingSend(putting(message(0, 1)));
        lastStarted.interrupt();
        assertInstanceOf(InterruptedException.class, within(interrupted));
        assertEquals(0, pipe.stats().waitingSenders());
        assertFalse(pipe.contains(message(0, 1)), "an interrupted put queues nothing");

        CompletableFuture<Object> deleted = waitingSend(putting(message(0, 2)));
        channel.delete();
        assertTrue(assertInstanceOf(PipeShutdownException.class, within(deleted)).isChannelDeleted());
    }

    @Test
    void everyWayOfMakingRoomLetsWaitingSendersIn() throws Exception {
        pipe.setCapacity(10, 0);
        fill(10);
        TrellumJNI.addMessageToChannel(channel.id(), PipeSide.SECOND.pipeId(), message(0, 99));
        assertEquals(1, channel.second().size(), "the other pipe is not bounded");
        List<Runnable> removals = List.of(
                pipe::poll,
                () -> pipe.drainTo(new ArrayList<>(), 1),
                () -> pipe.remove(pipe.peek()),
                () -> {
                    Iterator<VMMessageImpl> it = pipe.iterator();
                    it.next();
                    it.remove();
                });
        for (int k = 0; k < removals.size(); k++) {
            CompletableFuture<Object> send = waitingSenders(1, k).get(0);
            removals.get(k).run();
            assertEquals("queued", within(send), "after removal " + k);
            assertEquals(10, pipe.size());
        }

        List<CompletableFuture<Object>> sends = waitingSenders(5, 10);
        pipe.setCapacity(12, 0);
        eventually(pipe::size, 12, "size");
        awaitWaitingSenders(3);
        pipe.setCapacity(0, 0);
        for (CompletableFuture<Object> send : sends) {
            assertEquals("queued", within(send));
        }
        assertEquals(15, pipe.size());

        pipe.setCapacity(10, 0);  // below what is queued: nothing is dropped, sends wait until under it
        assertEquals(0, pipe.remainingCapacity());
        pipe.drainTo(new ArrayList<>(), 5);
        sends = waitingSenders(3, 20);
        pipe.clear();
        for (CompletableFuture<Object> send : sends) {
            assertEquals("queued", within(send));
        }
        assertEquals(3, pipe.size());
    }

    @Test
    void aByteLimitLetsAnyOneMessageIntoAnEmptyPipe() throws Exception {
        pipe.setCapacity(0, 100);
        assertTrue(pipe.offer(ofSize(1, 150)), "an empty pipe takes a message over the limit");
        assertEquals(0, pipe.remainingCapacity());
        assertFalse(pipe.offer(ofSize(2, 1)));
        CompletableFuture<Object> put = waitingSend(putting(ofSize(3, 60)));
        assertEquals(ofSize(1, 150), pipe.take());
        assertEquals("queued", within(put));
        assertTrue(pipe.offer(ofSize(4, 40)), "up to the limit exactly");
        assertFalse(pipe.offer(ofSize(5, 1)));
        assertEquals(100, pipe.stats().bytes());
        assertEquals(100, pipe.stats().maxBytes());

        // Bodies too large for the thread's transfer area take another way in.
        pipe.clear();
        pipe.setCapacity(0, 5000);
        assertTrue(pipe.offer(ofSize(6, 6000)));
        CompletableFuture<Object> second = waitingSend(offering(ofSize(7, 6000)));
        assertEquals(ofSize(6, 6000), pipe.poll());
        assertEquals("queued", within(second));
        assertEquals(ofSize(7, 6000), pipe.peek());
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

    /** Takers and a remover that picks its victims through the iterator race for the same messages. */
    @Test
    void everyMessageIsTakenOrRemovedExactlyOnce() throws Exception {
        final int count = 500;
        pipe.setCapacity(10, 0);
        ConcurrentHashMap<Integer, String> fates = new ConcurrentHashMap<>();
        AtomicInteger duplicates = new AtomicInteger();
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(BOUND_SECONDS);
        List<CompletableFuture<Object>> workers = new ArrayList<>();
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
        for (int id = 0; id < count; id++) {
            pipe.put(message(id % 2, id));
        }
        for (CompletableFuture<Object> worker : workers) {
            assertEquals("done", within(worker));
        }
        assertEquals(0, duplicates.get());
        assertEquals(count, fates.size());
        assertEquals(count, pipe.stats().removed());
    }
}
