package com.fendrel.vm.channel.demo;

import com.fendrel.vm.channel.ChannelPipe;
import com.fendrel.vm.channel.MessageChannel;
import com.fendrel.vm.channel.PipeStats;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.concurrent.TimeUnit;

/**
 * A bounded pipe slowing a fast producer down to its consumer's pace:
 * {@code put} waits while the pipe is full, so the backlog never grows past
 * the capacity. Exits non-zero when a message goes missing or comes out of
 * order.
 */
public final class BoundedPipeDemo {
    private static final int CHANNEL = 4_242;
    private static final int CAPACITY = 8;
    private static final int MESSAGES = 100;
    private static final long CONSUMER_PAUSE_MILLIS = 2;

    private BoundedPipeDemo() {
    }

    public static void main(String[] args) throws Exception {
        ChannelPipe pipe = MessageChannel.of(CHANNEL).first();
        pipe.setCapacity(CAPACITY, 0);
        int[] received = {0};
        boolean[] inOrder = {true};
        Thread consumer = new Thread(() -> {
            try {
                for (int i = 0; i < MESSAGES; i++) {
                    VMMessageImpl m = pipe.poll(60, TimeUnit.SECONDS);
                    if (m == null || m.getHeader().getMessageID() != i) {
                        inOrder[0] = false;
                        return;
                    }
                    received[0]++;
                    Thread.sleep(CONSUMER_PAUSE_MILLIS);  // a slow consumer
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "slow consumer");
        consumer.start();

        long start = System.nanoTime();
        for (int i = 0; i < MESSAGES; i++) {
            pipe.put(new VMMessageImpl(1, 5, CHANNEL, i, 0, new byte[16]));  // waits while the pipe is full
        }
        long producerMillis = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        consumer.join(TimeUnit.SECONDS.toMillis(60));
        PipeStats stats = pipe.stats();
        pipe.channel().delete();

        System.out.printf("bounded pipe (capacity %d): the producer's %d puts took %d ms, paced by a consumer"
                + " that takes one message every %d ms%n", CAPACITY, MESSAGES, producerMillis, CONSUMER_PAUSE_MILLIS);
        System.out.printf("  never more than %d queued (high-water mark); %d added, %d taken%n",
                stats.highWaterSize(), stats.added(), stats.removed());
        if (!inOrder[0] || received[0] != MESSAGES || stats.highWaterSize() > CAPACITY) {
            System.err.println("BoundedPipeDemo: " + received[0] + " of " + MESSAGES + " messages arrived in order");
            System.exit(1);
        }
    }
}
