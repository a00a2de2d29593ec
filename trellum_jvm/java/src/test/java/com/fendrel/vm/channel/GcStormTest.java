package com.fendrel.vm.channel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.lang.management.GarbageCollectorMXBean;
import java.lang.management.ManagementFactory;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;

import org.junit.jupiter.api.Test;

/**
 * Messages through the binding while the collector runs all the time: run
 * with a small heap, the serial collector and heap verification before and
 * after every collection (see the test's registration), so that a JNI
 * reference used after it became invalid, or a Java object overwritten from
 * native code, brings the JVM down. Producers put through the channel API
 * and the static calls; consumers take, poll and remove through both; peekers
 * peek; allocation threads and System.gc() keep the collector busy. Every
 * message carries a unique value: the count, the sum and the set of values
 * received must equal what was sent, and each producer's messages of one
 * priority arrive in order.
 */
class GcStormTest {
    private static final int CHANNEL = 97_000;
    private static final int PRODUCERS = 4;
    private static final int[] PRIORITIES = {Integer.MIN_VALUE, 0, Integer.MAX_VALUE};
    private static final long BACKLOG = 2000;
    private static final long RUN_MILLIS = Long.getLong("trellum.stress.millis", 3000);

    private final AtomicBoolean stopProducing = new AtomicBoolean();
    private final AtomicBoolean stopConsuming = new AtomicBoolean();
    private final AtomicLong sent = new AtomicLong();
    private final AtomicLong sentSum = new AtomicLong();
    private final AtomicLong received = new AtomicLong();
    private final AtomicLong receivedSum = new AtomicLong();
    private final AtomicLong peeks = new AtomicLong();
    private final Set<Long> seen = ConcurrentHashMap.newKeySet();
    private final ConcurrentLinkedQueue<String> failures = new ConcurrentLinkedQueue<>();

    private static ChannelPipe pipe(int n) {
        return n % 2 == 0 ? MessageChannel.of(CHANNEL).first() : MessageChannel.of(CHANNEL).second();
    }

    private static int pipeId(int n) {
        return n % 2 == 0 ? 17 : 18;
    }

    /** Message ID: producer and sequence; the rest of the message derives from it. */
    private static VMMessageImpl message(int producer, int sequence) {
        int id = (producer << 24) | sequence;
        byte[] body = new byte[16 + Math.floorMod(id * 37, 900)];
        for (int i = 0; i < body.length; i++) {
            body[i] = (byte) (id * 31 + i);
        }
        return new VMMessageImpl(producer, PRIORITIES[sequence % 3], CHANNEL, id, ~id, body);
    }

    /** Whether every field agrees with the message ID: a corrupted or torn message fails. */
    private static boolean wellFormed(VMMessageImpl m) {
        int id = m.getHeader().getMessageID();
        int producer = id >>> 24;
        int sequence = id & 0xffffff;
        byte[] body = m.getBody().getData();
        if (m.getHeader().getType() != producer || m.getHeader().getAttributes() != ~id
                || m.getHeader().getPriority() != PRIORITIES[sequence % 3]
                || body.length != 16 + Math.floorMod(id * 37, 900)) {
            return false;
        }
        for (int i = 0; i < body.length; i++) {
            if (body[i] != (byte) (id * 31 + i)) {
                return false;
            }
        }
        return true;
    }

    private void produce(int producer) {
        for (int sequence = 0; !stopProducing.get() && sequence < 0xffffff; ) {
            if (sent.get() - received.get() >= BACKLOG) {
                Thread.yield();
                continue;
            }
            VMMessageImpl m = message(producer, sequence);
            sent.incrementAndGet();
            sentSum.addAndGet(m.getHeader().getMessageID());
            if (producer < 2) {
                pipe(producer).add(m);
            } else {
                TrellumJNI.addMessageToChannel(CHANNEL, pipeId(producer), m);
            }
            sequence++;
        }
    }

    /** Each consumer uses one way to receive, from one of the two pipes. */
    private void consume(int consumer) {
        int[][] last = new int[PRODUCERS][3];
        for (int[] row : last) {
            java.util.Arrays.fill(row, -1);
        }
        while (true) {
            VMMessageImpl m = null;
            try {
                switch (consumer % 4) {
                    case 0: m = pipe(consumer).take(); break;
                    case 1: m = pipe(consumer).poll(5, TimeUnit.MILLISECONDS); break;
                    case 2: m = TrellumJNI.removeMessageFromChannel(CHANNEL, pipeId(consumer)); break;
                    default: m = TrellumJNI.pollMessageFromChannel(CHANNEL, pipeId(consumer), 5, TimeUnit.MILLISECONDS); break;
                }
            } catch (PipeShutdownException e) {
                // the end of the run
            } catch (InterruptedException e) {
                failures.add("consumer interrupted");
                return;
            }
            if (m == null) {
                if (stopConsuming.get()) {
                    return;
                }
                continue;
            }
            record(m, last);
        }
    }

    private void record(VMMessageImpl m, int[][] last) {
        if (!wellFormed(m)) {
            failures.add("malformed message " + m);
            return;
        }
        int id = m.getHeader().getMessageID();
        int producer = id >>> 24;
        int sequence = id & 0xffffff;
        if (!seen.add((long) id)) {
            failures.add("received twice: " + id);
        }
        if (sequence <= last[producer][sequence % 3]) {
            failures.add("out of order: producer " + producer + " sequence " + sequence);
        }
        last[producer][sequence % 3] = sequence;
        receivedSum.addAndGet(id);
        received.incrementAndGet();
    }

    private void peek(int peeker) {
        while (!stopConsuming.get()) {
            VMMessageImpl m = peeker % 2 == 0 ? pipe(peeker / 2).peek()
                    : TrellumJNI.peekMessageFromChannel(CHANNEL, pipeId(peeker / 2));
            if (m != null && !wellFormed(m)) {
                failures.add("malformed peek " + m);
            }
            int size = TrellumJNI.sizeOfChannel(CHANNEL, pipeId(peeker));
            if (size < 0 || size > BACKLOG + PRODUCERS) {
                failures.add("size out of bounds: " + size);
            }
            peeks.incrementAndGet();
        }
    }

    /** Garbage of many sizes, some of it kept a while so that it reaches the old generation. */
    private void allocate(int seed) {
        List<byte[]> kept = new ArrayList<>();
        java.util.Random random = new java.util.Random(seed);
        while (!stopConsuming.get()) {
            byte[] garbage = new byte[random.nextInt(64 * 1024)];
            if (kept.size() < 64) {
                kept.add(garbage);
            } else {
                kept.set(random.nextInt(kept.size()), garbage);
            }
        }
    }

    private static long collections() {
        long count = 0;
        for (GarbageCollectorMXBean bean : ManagementFactory.getGarbageCollectorMXBeans()) {
            count += Math.max(0, bean.getCollectionCount());
        }
        return count;
    }

    @Test
    void everyMessageIsAccountedForWhileTheCollectorRuns() throws InterruptedException {
        long collectionsBefore = collections();
        List<Thread> producers = new ArrayList<>();
        List<Thread> others = new ArrayList<>();
        for (int p = 0; p < PRODUCERS; p++) {
            final int n = p;
            producers.add(new Thread(() -> produce(n), "producer-" + n));
        }
        for (int c = 0; c < 8; c++) {
            final int n = c;
            others.add(new Thread(() -> consume(n), "consumer-" + n));
        }
        for (int k = 0; k < 4; k++) {
            final int n = k;
            others.add(new Thread(() -> peek(n), "peeker-" + n));
        }
        for (int a = 0; a < 2; a++) {
            final int n = a;
            others.add(new Thread(() -> allocate(n), "allocator-" + n));
        }
        others.add(new Thread(() -> {
            while (!stopConsuming.get()) {
                System.gc();
                try {
                    Thread.sleep(50);
                } catch (InterruptedException e) {
                    return;
                }
            }
        }, "collector"));
        producers.forEach(Thread::start);
        others.forEach(Thread::start);

        Thread.sleep(RUN_MILLIS);
        stopProducing.set(true);
        for (Thread t : producers) {
            t.join(60_000);
            assertTrue(!t.isAlive(), t.getName() + " did not stop");
        }
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        while (received.get() < sent.get() && System.nanoTime() < deadline && failures.isEmpty()) {
            Thread.sleep(5);
        }
        stopConsuming.set(true);
        // Releases the consumers blocked in take and removeMessageFromChannel.
        pipe(0).shutdown();
        pipe(1).shutdown();
        for (Thread t : others) {
            t.join(60_000);
            assertTrue(!t.isAlive(), t.getName() + " did not stop");
        }
        pipe(0).startup();
        pipe(1).startup();
        long collectionsDuring = collections() - collectionsBefore;
        System.out.printf("[gc storm] %d messages, %d peeks, %d collections%n", sent.get(), peeks.get(),
                collectionsDuring);

        assertEquals(List.of(), new ArrayList<>(failures));
        assertEquals(sent.get(), received.get(), "messages received against messages sent");
        assertEquals(sentSum.get(), receivedSum.get(), "sum of message IDs received against sent");
        assertEquals(sent.get(), seen.size(), "distinct messages received");
        assertEquals(0, pipe(0).size());
        assertEquals(0, pipe(1).size());
        assertNull(pipe(0).poll());
        assertTrue(sent.get() > 0);
        assertTrue(collectionsDuring > 0, "no collection ran");
        MessageChannel.of(CHANNEL).delete();
    }
}
