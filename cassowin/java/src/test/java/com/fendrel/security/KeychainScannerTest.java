package com.fendrel.security;

import static java.util.concurrent.TimeUnit.MILLISECONDS;
import static java.util.concurrent.TimeUnit.SECONDS;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.InterruptedIOException;
import java.security.KeyStore;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * Loads against a scan held in the stand-in Dalvik VM: deadlines, the
 * cached fallback, shared scans, interrupts and late scans. Each test scans
 * keychains of its own, since the process's scanner caches by keychain.
 */
@Timeout(120)
class KeychainScannerTest {
    private static final KeychainScanner SCANNER = KeychainScanner.shared();

    private byte[] alpha, beta;

    @BeforeEach
    void startStandin() throws IOException {
        StandinDalvik.start(false);
        alpha = TestCertificates.bytes("alpha");
        beta = TestCertificates.bytes("beta");
    }

    @AfterEach
    void release() {
        StandinDalvik.holdScans(false);
    }

    private static void report(String alias, byte[] encoded) {
        StandinDalvik.setEntries(new String[] {alias, "broken"}, new long[] {1, 2},
                new byte[][] {encoded, {0x30, 0x00}});
    }

    private static KeyStore newKeyStore() throws Exception {
        return KeyStore.getInstance(KeychainProvider.KEY_STORE_TYPE, new KeychainProvider());
    }

    private static List<String> aliases(KeyStore store) throws Exception {
        return Collections.list(store.aliases());
    }

    private static void await(java.util.function.IntSupplier value, int expected) throws InterruptedException {
        assertTrue(Eventually.reaches(value, expected, 30), "expected " + expected + ", is " + value.getAsInt());
    }

    /** A thread that loads `store` once with `parameter`; what it threw goes to `failure`. */
    private static Thread loader(KeyStore store, KeychainLoadParameter parameter, AtomicReference<Throwable> failure) {
        Thread t = new Thread(() -> {
            try {
                store.load(parameter);
            } catch (Throwable e) {
                failure.compareAndSet(null, e);
            }
        });
        t.start();
        return t;
    }

    private static void join(Thread t) throws InterruptedException {
        t.join(30_000);
        assertFalse(t.isAlive(), t.getName() + " still waits");
    }

    @Test
    void aLoadPastItsDeadlineFailsOrTakesTheNewestCompleteScan() throws Exception {
        report("alpha", alpha);
        KeychainLoadParameter first = new KeychainLoadParameter("deadline");
        KeyStore store = newKeyStore();
        store.load(first);
        assertFalse(first.loadedFromCache());
        long completed = first.scanCompletedMillis();
        assertTrue(completed > 0);

        report("beta", beta);
        StandinDalvik.holdScans(true);
        KeychainLoadParameter timed = first.withTimeout(50, MILLISECONDS);
        KeychainTimeoutException timeout = assertThrows(KeychainTimeoutException.class, () -> store.load(timed));
        assertTrue(timeout instanceof InterruptedIOException);
        assertEquals(List.of("alpha"), aliases(store));
        assertEquals(0, timed.scanCompletedMillis());

        KeychainLoadParameter fallback = timed.withCachedFallback();
        KeyStore other = newKeyStore();
        other.load(fallback);
        assertTrue(fallback.loadedFromCache());
        assertEquals(completed, fallback.scanCompletedMillis());
        assertEquals(List.of("alpha"), aliases(other));
        assertEquals("broken", fallback.rejectedEntries().get(0).alias());

        // Behind the stuck scan, another keychain has no scan to fall back on, and 0 does not wait.
        KeychainLoadParameter unscanned = new KeychainLoadParameter("unscanned").withCachedFallback();
        assertThrows(KeychainTimeoutException.class, () -> newKeyStore().load(unscanned.withTimeout(0, SECONDS)));
        assertThrows(IllegalArgumentException.class, () -> first.withTimeout(-1, SECONDS));
        assertFalse(Thread.currentThread().isInterrupted());
    }

    @Test
    void loadsArrivingDuringAScanShareTheNextOneOnTheDaemonScanner() throws Exception {
        report("alpha", alpha);
        StandinDalvik.holdScans(true);
        int scans = StandinDalvik.scans();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        List<KeyStore> stores = new ArrayList<>();
        List<Thread> loaders = new ArrayList<>();
        for (int i = 0; i < 9; i++) {
            stores.add(newKeyStore());
            loaders.add(loader(stores.get(i), new KeychainLoadParameter("shared"), failure));
            if (i == 0) await(StandinDalvik::heldScans, 1);  // the first scan runs; the others queue one more
        }
        await(SCANNER::waitingLoads, 9);
        List<Thread> scanners = new ArrayList<>();
        for (Thread t : Thread.getAllStackTraces().keySet()) {
            if (t.getName().equals(KeychainScanner.THREAD_NAME)) scanners.add(t);
        }
        assertEquals(1, scanners.size());
        assertTrue(scanners.get(0).isDaemon());

        StandinDalvik.holdScans(false);
        for (Thread t : loaders) join(t);
        assertNull(failure.get());
        assertEquals(scans + 2, StandinDalvik.scans());
        for (KeyStore store : stores) assertEquals(List.of("alpha"), aliases(store));
    }

    @Test
    void anInterruptedLoadStopsWaitingAndItsLateScanStillRefreshesTheCache() throws Exception {
        report("alpha", alpha);
        KeyStore returned = newKeyStore();
        returned.load(new KeychainLoadParameter("late"));
        KeyStore interrupted = newKeyStore();
        interrupted.load(new KeychainLoadParameter("late"));

        report("beta", beta);
        StandinDalvik.holdScans(true);
        AtomicReference<Throwable> failure = new AtomicReference<>();
        AtomicReference<Boolean> stillInterrupted = new AtomicReference<>();
        Thread waiter = new Thread(() -> {
            try {
                interrupted.load(new KeychainLoadParameter("late"));
            } catch (Throwable e) {
                failure.set(e);
                stillInterrupted.set(Thread.currentThread().isInterrupted());
            }
        });
        waiter.start();
        await(StandinDalvik::heldScans, 1);
        await(SCANNER::waitingLoads, 1);
        waiter.interrupt();
        join(waiter);
        assertSame(InterruptedIOException.class, failure.get().getClass());
        assertTrue(stillInterrupted.get());

        StandinDalvik.holdScans(false);
        KeyStore fresh = newKeyStore();
        KeychainLoadParameter cached;
        long deadline = System.nanoTime() + SECONDS.toNanos(30);
        do {
            assertTrue(System.nanoTime() < deadline, "the late scan never reached the cache");
            cached = new KeychainLoadParameter("late").withTimeout(0, SECONDS).withCachedFallback();
            fresh.load(cached);
        } while (!fresh.containsAlias("beta"));
        assertTrue(cached.loadedFromCache());
        assertEquals(List.of("alpha"), aliases(returned));
        assertEquals(List.of("alpha"), aliases(interrupted));
    }

    @Test
    void aScanThatFailsIsNeverCached() throws Exception {
        report("alpha", alpha);
        KeychainLoadParameter good = new KeychainLoadParameter("failing");
        newKeyStore().load(good);

        report("beta", beta);
        StandinDalvik.setExceptionAfterReport("java/lang/IllegalStateException", "keychain locked");
        KeyStore store = newKeyStore();
        IOException failure = assertThrows(IOException.class, () -> store.load(new KeychainLoadParameter("failing")));
        assertFalse(failure instanceof InterruptedIOException);

        KeychainLoadParameter fallback = good.withCachedFallback().withTimeout(0, SECONDS);
        store.load(fallback);
        assertTrue(fallback.loadedFromCache());
        assertEquals(good.scanCompletedMillis(), fallback.scanCompletedMillis());
        assertEquals(List.of("alpha"), aliases(store));
    }
}
