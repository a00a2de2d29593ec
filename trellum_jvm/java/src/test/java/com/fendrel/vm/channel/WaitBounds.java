package com.fendrel.vm.channel;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.Future;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;

/**
 * How long the wait tests let anything take: generously, since the machine
 * may be loaded or emulated. A bound only turns a hang into a failure.
 */
final class WaitBounds {
    static final long BOUND_SECONDS = 60;

    private WaitBounds() {
    }

    static <T> T within(Future<T> future) throws Exception {
        return future.get(BOUND_SECONDS, TimeUnit.SECONDS);
    }

    /** Runs {@code body} on a daemon thread of its own, added to {@code threads}. */
    static <T> Future<T> start(List<Thread> threads, Callable<T> body) {
        FutureTask<T> task = new FutureTask<>(body);
        Thread t = new Thread(task);
        t.setDaemon(true);
        threads.add(t);
        t.start();
        return task;
    }

    /** Waits until the threads are blocked in a native wait, as far as the JVM can tell. */
    static void awaitWaiting(List<Thread> threads) throws InterruptedException {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(BOUND_SECONDS);
        for (Thread t : threads) {
            while (t.getState() == Thread.State.NEW || t.getState() == Thread.State.RUNNABLE && !inNative(t)) {
                assertTrue(System.nanoTime() < end, t + " never started waiting");
                Thread.sleep(1);
            }
        }
        Thread.sleep(50);  // into the native wait itself
    }

    private static boolean inNative(Thread t) {
        for (StackTraceElement frame : t.getStackTrace()) {
            if (frame.isNativeMethod()) {
                return true;
            }
        }
        return false;
    }
}
