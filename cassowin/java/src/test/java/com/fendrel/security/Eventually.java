package com.fendrel.security;

import java.util.function.IntSupplier;

/** Bounded waits for counters that other threads move. */
final class Eventually {
    private Eventually() {}

    /** Whether {@code value} reads {@code expected} within {@code seconds}. */
    static boolean reaches(IntSupplier value, int expected, int seconds) throws InterruptedException {
        long deadline = System.nanoTime() + seconds * 1_000_000_000L;
        while (value.getAsInt() != expected) {
            if (System.nanoTime() > deadline) return false;
            Thread.sleep(5);
        }
        return true;
    }
}
