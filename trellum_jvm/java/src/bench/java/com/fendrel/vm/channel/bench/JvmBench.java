package com.fendrel.vm.channel.bench;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;

import java.nio.file.Paths;
import java.util.List;

/**
 * The channels from Java against Java's own {@code PriorityBlockingQueue}.
 *
 * <pre>
 *   JvmBench                 the full comparison (about a minute)
 *   JvmBench --quick         a few messages of every workload: proves that each
 *                            runs and delivers right, but its figures mean nothing
 *   --results FILE           also writes every figure to FILE for the chart
 * </pre>
 *
 * Runs against any build of the binding: without the channel API (a build
 * from before it) only the rows of the static natives run. Exits non-zero
 * only when messages came back wrong, never because of a figure.
 */
public final class JvmBench {
    private static final String PBQ = "PriorityBlockingQueue";
    private static final String PBQ_COPY = "PriorityBlockingQueue + copy";
    /** Channel IDs no other user of the process picks by chance. */
    private static final int PUT_TAKE_CHANNEL = 0x62656e01;
    private static final int HANDOFF_CHANNEL = 0x62656e02;

    private JvmBench() {
    }

    public static void main(String[] args) throws Exception {
        boolean quick = false;
        String resultsPath = null;
        for (int i = 0; i < args.length; i++) {
            if (args[i].equals("--quick")) {
                quick = true;
            } else if (args[i].equals("--results") && i + 1 < args.length) {
                resultsPath = args[++i];
            } else {
                System.err.println("usage: JvmBench [--quick] [--results FILE]");
                System.exit(2);
            }
        }
        // Many short rounds: an interrupted round is an outlier the median drops.
        int pairs = quick ? 200 : 100_000;
        int rounds = quick ? 1 : 15;
        int warmups = quick ? 0 : 5;
        int messages = quick ? 500 : 200_000;
        int handoffRounds = quick ? 1 : 7;
        int handoffWarmups = quick ? 0 : 2;
        boolean channelApi = hasChannelApi();

        System.out.printf("libtrellum_jvm from Java (%s-bit JVM, %d-byte bodies, a new message object per put)%s%n",
                System.getProperty("sun.arch.data.model", "?"), Workloads.BODY_SIZE,
                quick ? "; QUICK RUN: the figures mean nothing" : "");
        if (!channelApi) {
            System.out.println("This build of the binding has no channel API: only its static natives are timed.");
        }

        Workloads w = new Workloads();
        Harness harness = new Harness();
        MessageQueue natives = new LegacyNativeQueue(PUT_TAKE_CHANNEL);
        MessageQueue pbq = new PriorityQueuePeer(false);
        MessageQueue pbqCopy = new PriorityQueuePeer(true);
        List<Harness.Contender> single = Harness.contenders(
                new Harness.Contender("TrellumJNI add + remove", () -> w.putTake(natives, PUT_TAKE_CHANNEL, pairs)),
                new Harness.Contender(PBQ, () -> w.putTake(pbq, PUT_TAKE_CHANNEL, pairs)),
                new Harness.Contender(PBQ_COPY, () -> w.putTake(pbqCopy, PUT_TAKE_CHANNEL, pairs)));
        if (channelApi) {
            MessageQueue take = new ChannelApiQueue(PUT_TAKE_CHANNEL, false);
            MessageQueue poll = new ChannelApiQueue(PUT_TAKE_CHANNEL, true);
            single.add(1, new Harness.Contender("ChannelPipe put + take", () -> w.putTake(take, PUT_TAKE_CHANNEL, pairs)));
            single.add(2, new Harness.Contender("ChannelPipe put + poll", () -> w.putTake(poll, PUT_TAKE_CHANNEL, pairs)));
        }
        harness.measure("Java, 1 thread: put + take", "cpu ns/pair", PBQ, warmups, rounds, single);

        MessageQueue handoffNatives = new LegacyNativeQueue(HANDOFF_CHANNEL);
        List<Harness.Contender> handoff = Harness.contenders(
                new Harness.Contender("TrellumJNI add / remove", () -> w.handoff(handoffNatives, HANDOFF_CHANNEL, messages)),
                new Harness.Contender(PBQ, () -> w.handoff(pbq, HANDOFF_CHANNEL, messages)),
                new Harness.Contender(PBQ_COPY, () -> w.handoff(pbqCopy, HANDOFF_CHANNEL, messages)));
        if (channelApi) {
            MessageQueue pipe = new ChannelApiQueue(HANDOFF_CHANNEL, false);
            handoff.add(1, new Harness.Contender("ChannelPipe put / take", () -> w.handoff(pipe, HANDOFF_CHANNEL, messages)));
        }
        harness.measure("Java, 1 producer / 1 consumer handoff", "wall ns/msg", PBQ, handoffWarmups, handoffRounds,
                handoff);

        if (channelApi) {
            MessageQueue pipe = new ChannelApiQueue(HANDOFF_CHANNEL, false);
            int producers = 4;
            harness.measure("Java, 4 producers / 1 consumer handoff", "wall ns/msg", PBQ, handoffWarmups,
                    handoffRounds, Harness.contenders(
                            new Harness.Contender("ChannelPipe put / take",
                                    () -> w.handoffMany(pipe, HANDOFF_CHANNEL, producers, messages / producers)),
                            new Harness.Contender(PBQ,
                                    () -> w.handoffMany(pbq, HANDOFF_CHANNEL, producers, messages / producers))));
        }

        if (channelApi && Extensions.available()) {
            Extensions.measure(w, harness, quick, messages, handoffWarmups, handoffRounds);
        }

        TrellumJNI.deleteChannel(PUT_TAKE_CHANNEL);
        TrellumJNI.deleteChannel(HANDOFF_CHANNEL);
        if (resultsPath != null) {
            harness.writeResults(Paths.get(resultsPath));
        }
        if (w.wrongMessages() != 0) {
            System.err.println("JvmBench: " + w.wrongMessages() + " messages came back wrong or not at all");
            System.exit(1);
        }
    }

    /** Whether the binding on the class path has the channel API. */
    static boolean hasChannelApi() {
        try {
            Class.forName("com.fendrel.vm.channel.MessageChannel", false, JvmBench.class.getClassLoader());
            return true;
        } catch (ClassNotFoundException e) {
            return false;
        }
    }
}
