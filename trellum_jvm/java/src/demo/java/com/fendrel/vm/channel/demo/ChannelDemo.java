package com.fendrel.vm.channel.demo;

import com.fendrel.vm.channel.ChannelPipe;
import com.fendrel.vm.channel.MessageChannel;
import com.fendrel.vm.channel.PipeSelector;
import com.fendrel.vm.channel.PipeShutdownException;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * Producer and consumer threads exchanging prioritized messages through both
 * pipes of one channel, with the {@link MessageChannel} API.
 *
 * <p>Each pipe has two producers and two consumers. Consumers take their time
 * over each message, so a backlog builds up and is handed out lowest
 * priority value first. The consumers of the urgent pipe wait in
 * {@link ChannelPipe#take()} and are stopped by interrupting them once every
 * message has been handled; those of the bulk pipe wait in
 * {@link ChannelPipe#poll(long, TimeUnit)} and stop by themselves once the
 * producers are done and nothing has come for a while. Each consumer then reports what it received,
 * in order, and the channel is deleted.
 *
 * <p>Then one consumer thread serves the first pipes of several channels
 * through a {@link PipeSelector}, each pipe fed by a producer of its own,
 * instead of a thread per pipe.
 */
public final class ChannelDemo {
    private static final int MESSAGES_PER_PRODUCER = 6;
    private static final int[] PRIORITIES = {5, 1, 3, 0, 4, 2};
    private static final long IDLE_MILLIS = 500;
    private static final long WAIT_SECONDS = 60;
    private static final int SELECTED_CHANNELS = 5;
    private static final int SELECTED_MESSAGES_PER_PIPE = 8;

    private static volatile boolean producersDone;

    private ChannelDemo() {
    }

    /** Sends MESSAGES_PER_PRODUCER messages with mixed priorities to one pipe. */
    private static Thread producer(String name, ChannelPipe pipe, int firstID) {
        return new Thread(() -> {
            for (int i = 0; i < MESSAGES_PER_PRODUCER; i++) {
                int priority = PRIORITIES[(i + firstID) % PRIORITIES.length];
                String text = name + " message " + i;
                pipe.add(new VMMessageImpl(1, priority, pipe.channel().id(), firstID + i, 0,
                        text.getBytes(StandardCharsets.UTF_8)));
            }
        }, name);
    }

    /** A consumer thread and the log of what it received. */
    private static final class Consumer extends Thread {
        final List<String> received = new ArrayList<>();
        volatile String stoppedBy = "still running";
        private final ChannelPipe pipe;
        private final boolean untilInterrupted;

        Consumer(String name, ChannelPipe pipe, boolean untilInterrupted) {
            super(name);
            this.pipe = pipe;
            this.untilInterrupted = untilInterrupted;
        }

        @Override
        public void run() {
            try {
                for (;;) {
                    VMMessageImpl m = untilInterrupted ? pipe.take() : pipe.poll(IDLE_MILLIS, TimeUnit.MILLISECONDS);
                    if (m == null) {
                        if (!producersDone) {
                            continue;
                        }
                        stoppedBy = "nothing came for " + IDLE_MILLIS + " ms";
                        return;
                    }
                    synchronized (received) {
                        received.add(String.format("priority %d, id %3d: %s", m.getHeader().getPriority(),
                                m.getHeader().getMessageID(), new String(m.getBody().getData(), StandardCharsets.UTF_8)));
                    }
                    Thread.sleep(20);  // work on the message; meanwhile others queue up
                }
            } catch (InterruptedException e) {
                stoppedBy = "interrupted";
            } catch (PipeShutdownException e) {
                stoppedBy = e.isChannelDeleted() ? "channel deleted" : "pipe shut down";
            }
        }

        int count() {
            synchronized (received) {
                return received.size();
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
        MessageChannel channel = MessageChannel.of(2026);
        ChannelPipe urgent = channel.first();
        ChannelPipe bulk = channel.second();
        List<Consumer> urgentConsumers = List.of(
                new Consumer("urgent consumer 1", urgent, true), new Consumer("urgent consumer 2", urgent, true));
        List<Consumer> bulkConsumers = List.of(
                new Consumer("bulk consumer 1", bulk, false), new Consumer("bulk consumer 2", bulk, false));
        List<Thread> producers = List.of(
                producer("urgent producer A", urgent, 100), producer("urgent producer B", urgent, 200),
                producer("bulk producer C", bulk, 300), producer("bulk producer D", bulk, 400));
        urgentConsumers.forEach(Thread::start);
        bulkConsumers.forEach(Thread::start);
        producers.forEach(Thread::start);

        for (Thread p : producers) {
            join(p);
        }
        producersDone = true;
        int urgentSent = 2 * MESSAGES_PER_PRODUCER;
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS);
        while (urgentConsumers.stream().mapToInt(Consumer::count).sum() < urgentSent && System.nanoTime() < deadline) {
            Thread.sleep(10);
        }
        urgentConsumers.forEach(Thread::interrupt);  // waiting in take(): the interrupt ends the wait

        int total = 0;
        List<Consumer> consumers = new ArrayList<>(urgentConsumers);
        consumers.addAll(bulkConsumers);
        for (Consumer c : consumers) {
            join(c);
            System.out.println(c.getName() + " received " + c.count() + " messages (stopped: " + c.stoppedBy
                    + "), in this order:");
            for (String line : c.received) {
                System.out.println("    " + line);
            }
            total += c.count();
        }
        channel.delete();

        int sent = producers.size() * MESSAGES_PER_PRODUCER;
        System.out.println(total + " of " + sent + " messages received; consumers stopped.");
        boolean selectedAll = serveThroughSelector();
        if (total != sent || !selectedAll) {
            System.exit(1);
        }
    }

    /**
     * One consumer thread serving the first pipe of several channels through
     * a selector, while a producer per pipe sends at its own pace.
     *
     * @return whether every message sent arrived
     */
    private static boolean serveThroughSelector() throws InterruptedException {
        List<ChannelPipe> pipes = new ArrayList<>();
        for (int i = 0; i < SELECTED_CHANNELS; i++) {
            pipes.add(MessageChannel.of(3000 + i).first());
        }
        int sent = SELECTED_CHANNELS * SELECTED_MESSAGES_PER_PIPE;
        int[] perPipe = new int[SELECTED_CHANNELS];
        int[] selects = new int[1];
        try (PipeSelector selector = PipeSelector.open()) {
            pipes.forEach(selector::register);
            Thread consumer = new Thread(() -> {
                int received = 0;
                long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS);
                try {
                    while (received < sent && System.nanoTime() < deadline) {
                        // Bounded, so that a message that never comes ends the demo rather than hangs it.
                        for (ChannelPipe ready : selector.select(1, TimeUnit.SECONDS)) {
                            for (VMMessageImpl m; (m = ready.poll()) != null; received++) {
                                perPipe[pipes.indexOf(ready)]++;
                            }
                        }
                        selects[0]++;
                    }
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }, "selector consumer");
            List<Thread> producers = new ArrayList<>();
            for (int i = 0; i < SELECTED_CHANNELS; i++) {
                ChannelPipe pipe = pipes.get(i);
                int pace = 3 + 4 * i;
                producers.add(new Thread(() -> {
                    try {
                        for (int n = 0; n < SELECTED_MESSAGES_PER_PIPE; n++) {
                            pipe.put(new VMMessageImpl(1, 0, pipe.channel().id(), n, 0,
                                    ("tick " + n).getBytes(StandardCharsets.UTF_8)));
                            Thread.sleep(pace);
                        }
                    } catch (InterruptedException e) {
                        Thread.currentThread().interrupt();
                    }
                }, "paced producer " + i));
            }
            consumer.start();
            producers.forEach(Thread::start);
            for (Thread p : producers) {
                join(p);
            }
            join(consumer);
        } finally {
            pipes.forEach(p -> p.channel().delete());
        }
        int total = Arrays.stream(perPipe).sum();
        System.out.println("selector consumer: " + total + " of " + sent + " messages from " + SELECTED_CHANNELS
                + " pipes in " + selects[0] + " selects, per pipe " + Arrays.toString(perPipe));
        return total == sent;
    }
}
