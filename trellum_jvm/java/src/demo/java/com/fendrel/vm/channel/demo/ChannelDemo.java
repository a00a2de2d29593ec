package com.fendrel.vm.channel.demo;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * Producer and consumer threads exchanging prioritized messages through both
 * pipes of one channel.
 *
 * <p>Each pipe has two producers and two consumers. Consumers take their time
 * over each message, so a backlog builds up and is handed out lowest
 * priority value first. Once the producers are done and both pipes are
 * empty, the pipes are shut down: every consumer's receive returns null and
 * the consumer stops. Each consumer then reports what it received, in order.
 */
public final class ChannelDemo {
    private static final int CHANNEL = 2026;
    private static final int URGENT_PIPE = 17;  // pipe ID 17 addresses one pipe...
    private static final int BULK_PIPE = 0;     // ...any other ID the other one
    private static final int MESSAGES_PER_PRODUCER = 6;
    private static final int[] PRIORITIES = {5, 1, 3, 0, 4, 2};
    private static final long WAIT_SECONDS = 60;

    private ChannelDemo() {
    }

    /** Sends MESSAGES_PER_PRODUCER messages with mixed priorities to one pipe. */
    private static Thread producer(String name, int pipe, int firstID) {
        return new Thread(() -> {
            for (int i = 0; i < MESSAGES_PER_PRODUCER; i++) {
                int priority = PRIORITIES[(i + firstID) % PRIORITIES.length];
                String text = name + " message " + i;
                TrellumJNI.addMessageToChannel(CHANNEL, pipe,
                        new VMMessageImpl(1, priority, CHANNEL, firstID + i, 0, text.getBytes(StandardCharsets.UTF_8)));
            }
        }, name);
    }

    /** A consumer thread and the log of what it received. */
    private static final class Consumer extends Thread {
        final List<String> received = new ArrayList<>();
        private final int pipe;

        Consumer(String name, int pipe) {
            super(name);
            this.pipe = pipe;
        }

        @Override
        public void run() {
            VMMessageImpl m;
            while ((m = TrellumJNI.removeMessageFromChannel(CHANNEL, pipe)) != null) {
                received.add(String.format("priority %d, id %3d: %s", m.getHeader().getPriority(),
                        m.getHeader().getMessageID(),
                        new String(m.getBody().getData(), StandardCharsets.UTF_8)));
                try {
                    Thread.sleep(20);  // work on the message; meanwhile others queue up
                } catch (InterruptedException e) {
                    return;
                }
            }
        }
    }

    private static void join(Thread t) throws InterruptedException {
        t.join(TimeUnit.SECONDS.toMillis(WAIT_SECONDS));
        if (t.isAlive()) {
            throw new IllegalStateException(t.getName() + " did not finish");
        }
    }

    public static void main(String[] args) throws InterruptedException {
        TrellumJNI.createChannel(CHANNEL);
        List<Consumer> consumers = List.of(
                new Consumer("urgent consumer 1", URGENT_PIPE), new Consumer("urgent consumer 2", URGENT_PIPE),
                new Consumer("bulk consumer 1", BULK_PIPE), new Consumer("bulk consumer 2", BULK_PIPE));
        List<Thread> producers = List.of(
                producer("urgent producer A", URGENT_PIPE, 100), producer("urgent producer B", URGENT_PIPE, 200),
                producer("bulk producer C", BULK_PIPE, 300), producer("bulk producer D", BULK_PIPE, 400));
        consumers.forEach(Thread::start);
        producers.forEach(Thread::start);

        try {
            for (Thread p : producers) {
                join(p);
            }
            // Receivers of a shut-down pipe get null even while messages are
            // queued, so let the consumers empty both pipes first.
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS);
            while ((TrellumJNI.sizeOfChannel(CHANNEL, URGENT_PIPE) > 0 || TrellumJNI.sizeOfChannel(CHANNEL, BULK_PIPE) > 0)
                    && System.nanoTime() < deadline) {
                Thread.sleep(10);
            }
        } finally {
            TrellumJNI.shutdown(CHANNEL, URGENT_PIPE);
            TrellumJNI.shutdown(CHANNEL, BULK_PIPE);
        }
        int total = 0;
        for (Consumer c : consumers) {
            join(c);
            System.out.println(c.getName() + " received " + c.received.size() + " messages, in this order:");
            for (String line : c.received) {
                System.out.println("    " + line);
            }
            total += c.received.size();
        }
        TrellumJNI.deleteChannel(CHANNEL);

        int sent = producers.size() * MESSAGES_PER_PRODUCER;
        System.out.println(total + " of " + sent + " messages received; pipes shut down, consumers stopped.");
        if (total != sent) {
            System.exit(1);
        }
    }
}
