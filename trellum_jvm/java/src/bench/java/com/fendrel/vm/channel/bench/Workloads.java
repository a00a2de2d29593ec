package com.fendrel.vm.channel.bench;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;

/**
 * The timed workloads, the same for every contender. Each counts the
 * messages that came back wrong (out of order, another message, a wrong
 * body); the harness fails when any did, never because of a figure.
 */
final class Workloads {
    static final int BODY_SIZE = 64;
    static final int PRIORITY = 5;
    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

    static final byte[] BODY = new byte[BODY_SIZE];

    static {
        for (int i = 0; i < BODY_SIZE; i++) {
            BODY[i] = (byte) (i * 37 + 11);
        }
    }

    private long wrong;

    long wrongMessages() {
        return wrong;
    }

    /**
     * One thread puts a new message and takes it back, {@code pairs} times.
     * Timed on the thread's own CPU time: on a shared machine the time others
     * held the CPU would swamp what is measured.
     *
     * @return CPU nanoseconds per put + take
     */
    double putTake(MessageQueue queue, int channelId, int pairs) throws InterruptedException {
        queue.clear();
        long start = cpuNow();
        for (int i = 0; i < pairs; i++) {
            queue.put(new VMMessageImpl(1, PRIORITY, channelId, i, 0, BODY));
            check(queue.take(), i);
        }
        return (double) (cpuNow() - start) / pairs;
    }

    /**
     * A producer thread puts {@code messages} new messages, which this
     * thread takes as they come. Timed on the wall clock: the cost is in
     * waiting and waking.
     *
     * @return wall nanoseconds per message
     */
    double handoff(MessageQueue queue, int channelId, int messages) throws InterruptedException {
        queue.clear();
        Thread producer = new Thread(() -> {
            for (int i = 0; i < messages; i++) {
                queue.put(new VMMessageImpl(1, PRIORITY, channelId, i, 0, BODY));
            }
        }, "bench-producer");
        long start = System.nanoTime();
        producer.start();
        for (int i = 0; i < messages; i++) {
            check(queue.take(), i);
        }
        producer.join();
        return (double) (System.nanoTime() - start) / messages;
    }

    /**
     * {@code producers} threads put {@code perProducer} new messages each,
     * which this thread takes as they come. A message's ID is its producer's
     * number times {@code perProducer} plus its place in that producer's
     * sequence: one that overtakes an earlier message of its producer counts
     * as wrong. Timed on the wall clock.
     *
     * @return wall nanoseconds per message
     */
    double handoffMany(MessageQueue queue, int channelId, int producers, int perProducer)
            throws InterruptedException {
        queue.clear();
        Thread[] threads = new Thread[producers];
        for (int p = 0; p < producers; p++) {
            int first = p * perProducer;
            threads[p] = new Thread(() -> {
                for (int i = 0; i < perProducer; i++) {
                    queue.put(new VMMessageImpl(1, PRIORITY, channelId, first + i, 0, BODY));
                }
            }, "bench-producer-" + p);
        }
        int[] next = new int[producers];
        long start = System.nanoTime();
        for (Thread t : threads) {
            t.start();
        }
        for (int i = 0; i < producers * perProducer; i++) {
            VMMessageImpl m = queue.take();
            int id = m == null ? -1 : m.getHeader().getMessageID();
            int p = id < 0 ? 0 : id / perProducer;
            check(m, p * perProducer + next[p]);
            next[p] = id < 0 ? next[p] : id % perProducer + 1;
        }
        for (Thread t : threads) {
            t.join();
        }
        return (double) (System.nanoTime() - start) / (producers * perProducer);
    }

    void check(VMMessageImpl message, int messageId) {
        if (message == null || message.getHeader().getMessageID() != messageId
                || message.getBody().getLength() != BODY_SIZE) {
            wrong++;
        }
    }

    private static long cpuNow() {
        return THREADS.isCurrentThreadCpuTimeSupported() ? THREADS.getCurrentThreadCpuTime() : System.nanoTime();
    }
}
