package com.fendrel.vm.channel.Linux_JVM;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.function.IntFunction;

/**
 * Runs one call in many threads released at the same moment, so that they
 * race through whatever the binding resolves on first use. Only meaningful
 * as the first receiving call of a JVM: each test class using it runs in a
 * JVM of its own, where createChannel never runs.
 */
final class FirstUseRace {
    static final int THREADS = 8;
    private static final long WAIT_MILLIS = 60_000;

    private FirstUseRace() {
    }

    /** The results of {@code call.apply(i)} for i in 0..THREADS-1, each run in its own thread. */
    static List<VMMessageImpl> run(IntFunction<VMMessageImpl> call) throws InterruptedException {
        CountDownLatch ready = new CountDownLatch(THREADS);
        CountDownLatch go = new CountDownLatch(1);
        VMMessageImpl[] results = new VMMessageImpl[THREADS];
        Throwable[] errors = new Throwable[THREADS];
        List<Thread> threads = new ArrayList<>();
        for (int i = 0; i < THREADS; i++) {
            int index = i;
            Thread t = new Thread(() -> {
                ready.countDown();
                try {
                    go.await();
                    results[index] = call.apply(index);
                } catch (Throwable e) {
                    errors[index] = e;
                }
            });
            t.setDaemon(true);
            threads.add(t);
            t.start();
        }
        assertTrue(ready.await(WAIT_MILLIS, TimeUnit.MILLISECONDS));
        go.countDown();
        for (Thread t : threads) {
            t.join(WAIT_MILLIS);
            assertFalse(t.isAlive(), "a racing call never returned");
        }
        for (Throwable e : errors) {
            assertNull(e, () -> "a racing call failed: " + e);
        }
        List<VMMessageImpl> list = new ArrayList<>();
        for (VMMessageImpl m : results) {
            list.add(m);
        }
        assertEquals(THREADS, list.size());
        return list;
    }
}
