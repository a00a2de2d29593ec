package com.fendrel.vm.channel.Linux_JVM;

import static com.fendrel.vm.channel.Linux_JVM.TestChannels.OTHER_PIPE;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.PIPE_17;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.freshChannel;
import static com.fendrel.vm.channel.Linux_JVM.TestChannels.message;
import static java.util.concurrent.TimeUnit.MILLISECONDS;
import static java.util.concurrent.TimeUnit.NANOSECONDS;
import static java.util.concurrent.TimeUnit.SECONDS;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;

import com.fendrel.vm.channel.ChannelPipe;
import com.fendrel.vm.channel.MessageChannel;
import com.fendrel.vm.channel.PipeSide;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.List;
import java.util.Set;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * One binding serving this JVM and a stand-in VM side by side, as it serves
 * a process's JVM and Dalvik VM: each VM's objects are built and read with
 * handles of its own. The system property twovm.firstUse ("standin" or
 * "jvm") says which VM uses the binding first; each order runs in a JVM of
 * its own.
 */
class TwoVmTest {
    private static final long BOUND_SECONDS = 60;
    // Longer than the first slice of an interruptible wait (10 ms), after
    // which the binding looks at the waiting thread's interrupt status.
    private static final long PAST_FIRST_SLICE_NANOS = MILLISECONDS.toNanos(30);
    private static final ExecutorService THREADS = Executors.newCachedThreadPool(r -> {
        Thread t = new Thread(r);
        t.setDaemon(true);
        return t;
    });

    /** The VM served beside this JVM; a test that unloads it puts its successor here. */
    private static StandinVm second;

    @BeforeAll
    static void firstUseInTheGivenOrder() {
        second = new StandinVm("second VM");
        boolean standinFirst = "standin".equals(System.getProperty("twovm.firstUse"));
        int channel = freshChannel();
        VMMessageImpl m = message(1, 5);
        for (int round = 0; round < 2; round++) {
            if (standinFirst == (round == 0)) {
                second.createChannel(channel);
                second.add(channel, PIPE_17, m);
                assertEquals(m, second.peek(channel, PIPE_17));
                assertEquals(m, second.remove(channel, PIPE_17));
            } else {
                TrellumJNI.createChannel(channel);
                TrellumJNI.addMessageToChannel(channel, PIPE_17, m);
                assertEquals(m, TrellumJNI.peekMessageFromChannel(channel, PIPE_17));
                assertEquals(m, TrellumJNI.removeMessageFromChannel(channel, PIPE_17));
            }
        }
        TrellumJNI.deleteChannel(channel);
    }

    @AfterAll
    static void stopThreads() {
        THREADS.shutdownNow();
    }

    private static VMMessageImpl withBody(int seed, int length) {
        byte[] body = new byte[length];
        for (int i = 0; i < length; i++) {
            body[i] = (byte) (seed + 7 * i);
        }
        return new VMMessageImpl(seed, -seed, seed << 8, ~seed, Integer.MIN_VALUE + seed, body);
    }

    @Test
    void messagesCrossEachWayWithEveryFieldIntact() throws InterruptedException {
        int channel = freshChannel();
        ChannelPipe first = MessageChannel.of(channel).pipe(PipeSide.FIRST);
        VMMessageImpl small = message(4, 9);
        VMMessageImpl large = withBody(3, 100);  // beyond the stand-in's transfer area
        VMMessageImpl empty = withBody(2, 0);
        try {
            TrellumJNI.addMessageToChannel(channel, PIPE_17, small);
            assertEquals(small, second.peek(channel, PIPE_17));
            assertEquals(small, second.remove(channel, PIPE_17));
            second.add(channel, OTHER_PIPE, large);
            assertEquals(large, TrellumJNI.peekMessageFromChannel(channel, OTHER_PIPE));
            assertEquals(large, TrellumJNI.removeMessageFromChannel(channel, OTHER_PIPE));

            for (VMMessageImpl m : List.of(small, large, empty)) {
                first.put(m);
                assertEquals(m, second.poll(channel, 0, 0));
                second.add(channel, PIPE_17, m);
                assertEquals(m, first.poll());
            }
        } finally {
            TrellumJNI.deleteChannel(channel);
        }
    }

    @Test
    void aBlockingTakeInOneVmWakesForAPutInTheOther() throws Exception {
        int channel = freshChannel();
        ChannelPipe secondPipe = MessageChannel.of(channel).pipe(PipeSide.SECOND);
        VMMessageImpl toStandin = message(2, 21);
        VMMessageImpl toStandinApi = message(3, 22);
        VMMessageImpl toJvm = message(4, 23);
        try {
            // A wait past its first slice looks at the stand-in thread's interrupt status.
            assertNull(second.poll(channel, 0, PAST_FIRST_SLICE_NANOS));
            Future<VMMessageImpl> legacy = THREADS.submit(() -> second.remove(channel, PIPE_17));
            Future<VMMessageImpl> api = THREADS.submit(() -> second.poll(channel, 0, SECONDS.toNanos(BOUND_SECONDS)));
            Future<VMMessageImpl> jvm = THREADS.submit(secondPipe::take);
            Thread.sleep(100);  // most likely all three wait by now; the outcome is the same if not
            TrellumJNI.addMessageToChannel(channel, PIPE_17, toStandin);
            TrellumJNI.addMessageToChannel(channel, PIPE_17, toStandinApi);
            second.add(channel, OTHER_PIPE, toJvm);
            assertEquals(Set.of(toStandin, toStandinApi),
                    Set.of(legacy.get(BOUND_SECONDS, SECONDS), api.get(BOUND_SECONDS, SECONDS)));
            assertEquals(toJvm, jvm.get(BOUND_SECONDS, SECONDS));
        } finally {
            TrellumJNI.deleteChannel(channel);  // releases any receiver a failure left waiting
        }
    }

    /**
     * A VM beyond the two served is refused with nothing changed, until one
     * of the two unloads the binding; the other keeps its handles and its
     * blocked call throughout, and the unloaded VM's place goes to exactly
     * one new VM however many of its threads race for it.
     */
    @Test
    void aThirdVmIsRefusedUntilAnotherUnloads() throws Exception {
        int channel = freshChannel();
        VMMessageImpl m = message(5, 31);
        StandinVm third = new StandinVm("third VM");
        try {
            TrellumJNI.addMessageToChannel(channel, PIPE_17, m);
            assertThrows(IllegalStateException.class, () -> third.createChannel(channel));
            assertThrows(IllegalStateException.class, () -> third.add(channel, PIPE_17, m));
            assertThrows(IllegalStateException.class, () -> third.remove(channel, PIPE_17));
            assertThrows(IllegalStateException.class, () -> third.peek(channel, PIPE_17));
            assertEquals(1, TrellumJNI.sizeOfChannel(channel, PIPE_17));
            // The channel API's receive caches nothing it cannot do without.
            assertNull(third.poll(channel, 1, PAST_FIRST_SLICE_NANOS));

            Future<VMMessageImpl> jvmTake =
                    THREADS.submit(() -> TrellumJNI.removeMessageFromChannel(channel, OTHER_PIPE));
            second.unload();
            assertEquals(0, second.globalRefs(), "the unloaded VM's class reference is left");
            List<VMMessageImpl> peeked = FirstUseRace.run(i -> third.peek(channel, PIPE_17));
            assertEquals(List.of(m, m, m, m, m, m, m, m), peeked);
            assertEquals(1, third.globalRefs(), "racing threads kept more than one class reference");
            second = third;

            third.add(channel, OTHER_PIPE, m);
            assertEquals(m, jvmTake.get(BOUND_SECONDS, SECONDS));
            StandinVm.unloadJvm();
            assertEquals(m, third.remove(channel, PIPE_17));
            TrellumJNI.addMessageToChannel(channel, PIPE_17, m);
            assertEquals(m, TrellumJNI.removeMessageFromChannel(channel, PIPE_17));
        } finally {
            TrellumJNI.deleteChannel(channel);
        }
    }

    /**
     * The interrupt status is read through Thread.isInterrupted() resolved on
     * Thread itself: resolved on the first waiter's class, a subclass's
     * override was then called on every other thread (a fatal error under
     * -Xcheck:jni).
     */
    @Test
    void aThreadSubclassWaitingFirstLendsNoOverride() throws Exception {
        StandinVm.unloadJvm();  // the JVM resolves afresh, from the subclass's wait
        ChannelPipe pipe = MessageChannel.of(freshChannel()).pipe(PipeSide.FIRST);
        AtomicReference<Object> outcome = new AtomicReference<>("never ran");
        Thread sub = new Thread(() -> {
            try {
                outcome.set(pipe.poll(PAST_FIRST_SLICE_NANOS, NANOSECONDS));
            } catch (Throwable e) {
                outcome.set(e);
            }
        }) {
            @Override
            public boolean isInterrupted() {
                return super.isInterrupted();
            }
        };
        sub.start();
        sub.join(SECONDS.toMillis(BOUND_SECONDS));
        assertNull(outcome.get());
        assertNull(pipe.poll(PAST_FIRST_SLICE_NANOS, NANOSECONDS));
        pipe.shutdown();
    }
}
