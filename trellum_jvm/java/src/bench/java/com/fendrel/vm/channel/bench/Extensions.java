package com.fendrel.vm.channel.bench;

import com.fendrel.vm.channel.ChannelPipe;
import com.fendrel.vm.channel.MessageChannel;
import com.fendrel.vm.channel.PipeSelector;
import com.fendrel.vm.channel.impl.VMMessageImpl;
import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ArrayBlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;

/**
 * Rows for bounded pipes and for the selector. Kept apart from
 * {@link JvmBench} because only builds with those features have them: the
 * harness also runs against older builds for before/after tables.
 */
final class Extensions {
    private static final int BOUNDED_CHANNEL = 0x62656e03;
    private static final int SELECT_CHANNELS = 0x62660000;
    private static final int[] CAPACITIES = {1, 16, 1024};
    private static final int[] REGISTERED = {1, 100, 10_000};

    private Extensions() {
    }

    /** Whether the binding on the class path has bounded pipes and the selector. */
    static boolean available() {
        try {
            Class.forName("com.fendrel.vm.channel.PipeSelector", false, Extensions.class.getClassLoader());
            return true;
        } catch (ClassNotFoundException e) {
            return false;
        }
    }

    /**
     * A producer thread puts {@code messages} new messages into the last of
     * {@code pipes}, all registered with one selector; this thread selects
     * and drains what is ready. Timed on the wall clock.
     *
     * @return wall nanoseconds per message
     */
    private static double selectHandoff(Workloads w, List<ChannelPipe> pipes, int messages) throws InterruptedException {
        ChannelPipe active = pipes.get(pipes.size() - 1);
        active.clear();
        try (PipeSelector selector = PipeSelector.open()) {
            for (ChannelPipe pipe : pipes) {
                selector.register(pipe);
            }
            int channelId = active.channel().id();
            Thread producer = new Thread(() -> {
                for (int i = 0; i < messages; i++) {
                    active.add(new VMMessageImpl(1, Workloads.PRIORITY, channelId, i, 0, Workloads.BODY));
                }
            }, "bench-producer");
            long start = System.nanoTime();
            producer.start();
            int received = 0;
            while (received < messages) {
                for (ChannelPipe ready : selector.select()) {
                    for (VMMessageImpl m; (m = ready.poll()) != null; ) {
                        w.check(m, received++);
                    }
                }
            }
            producer.join();
            return (double) (System.nanoTime() - start) / messages;
        }
    }

    static void measure(Workloads w, Harness harness, boolean quick, int messages, int warmups, int rounds)
            throws InterruptedException {
        for (int capacity : CAPACITIES) {
            ChannelPipe pipe = MessageChannel.of(BOUNDED_CHANNEL).first();
            pipe.setCapacity(capacity, 0);
            MessageQueue bounded = new BlockingQueuePeer(pipe);
            MessageQueue lbq = new BlockingQueuePeer(new LinkedBlockingQueue<>(capacity));
            MessageQueue abq = new BlockingQueuePeer(new ArrayBlockingQueue<>(capacity));
            int count = capacity == 1 ? messages / 4 : messages;
            harness.measure("Java, bounded handoff, capacity " + capacity, "wall ns/msg", "LinkedBlockingQueue",
                    warmups, rounds, Harness.contenders(
                            new Harness.Contender("ChannelPipe", () -> w.handoff(bounded, BOUNDED_CHANNEL, count)),
                            new Harness.Contender("LinkedBlockingQueue", () -> w.handoff(lbq, BOUNDED_CHANNEL, count)),
                            new Harness.Contender("ArrayBlockingQueue", () -> w.handoff(abq, BOUNDED_CHANNEL, count))));
            TrellumJNI.deleteChannel(BOUNDED_CHANNEL);
        }

        List<Harness.Contender> select = new ArrayList<>();
        for (int registered : REGISTERED) {
            int pipes = quick ? Math.min(registered, 100) : registered;
            List<ChannelPipe> all = new ArrayList<>(pipes);
            for (int i = 0; i < pipes; i++) {
                all.add(MessageChannel.of(SELECT_CHANNELS + i).first());
            }
            select.add(new Harness.Contender("PipeSelector, " + registered + " registered",
                    () -> selectHandoff(w, all, messages)));
        }
        harness.measure("Java, 1 producer / 1 selecting consumer, one active pipe", "wall ns/msg",
                "PipeSelector, 1 registered", warmups, rounds, select);
        for (int i = 0; i < REGISTERED[REGISTERED.length - 1]; i++) {
            TrellumJNI.deleteChannel(SELECT_CHANNELS + i);
        }
    }
}
