package com.fendrel.security;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.security.KeyStore;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * Many threads that each load a key store once, through the stand-in Dalvik
 * VM, and end: only the scanner thread is ever attached to the Dalvik VM,
 * once, and it is detached when it ends; no thread outlives its work in the
 * JVM.
 */
@Timeout(600)
class ShortLivedThreadsTest {
    private static final int THREADS = 10_000;
    private static final int AT_ONCE = 4;

    @Test
    void tenThousandThreadsShareOneAttachedScannerThread() throws Exception {
        StandinDalvik.start(false);
        byte[] alpha = TestCertificates.bytes("alpha");
        StandinDalvik.setEntries(new String[] {"alpha"}, new long[] {1}, new byte[][] {alpha});
        KeychainScanner scanner = KeychainScanner.shared();
        assertTrue(scanner.endThread(30, TimeUnit.SECONDS));
        assertTrue(Eventually.reaches(StandinDalvik::attachedThreads, 0, 30));
        ThreadMXBean threads = ManagementFactory.getThreadMXBean();
        int threadsBefore = threads.getThreadCount();
        int attaches = StandinDalvik.attaches();
        int endedAttached = StandinDalvik.threadsEndedAttached();
        int scans = StandinDalvik.scans();

        AtomicReference<Throwable> failure = new AtomicReference<>();
        AtomicInteger loaded = new AtomicInteger();
        Runnable loadOnce = () -> {
            try {
                KeyStore store = KeyStore.getInstance(KeychainProvider.KEY_STORE_TYPE, new KeychainProvider());
                store.load(null);
                if (store.size() == 1) loaded.incrementAndGet();
            } catch (Throwable t) {
                failure.compareAndSet(null, t);
            }
        };
        Thread[] wave = new Thread[AT_ONCE];
        for (int started = 0; started < THREADS && failure.get() == null; started += AT_ONCE) {
            for (int i = 0; i < AT_ONCE; i++) {
                wave[i] = new Thread(loadOnce, "short-lived-" + (started + i));
                wave[i].start();
            }
            for (Thread t : wave) {
                t.join(60_000);
                assertTrue(!t.isAlive(), t.getName() + " did not end");
            }
        }

        assertNull(failure.get());
        assertEquals(THREADS, loaded.get());
        int scanned = StandinDalvik.scans() - scans;
        assertTrue(scanned >= 1 && scanned <= THREADS, "scans: " + scanned);
        assertEquals(attaches + 1, StandinDalvik.attaches());
        assertEquals(1, StandinDalvik.attachedThreads());

        assertTrue(scanner.endThread(30, TimeUnit.SECONDS));
        assertTrue(Eventually.reaches(StandinDalvik::attachedThreads, 0, 30));
        assertEquals(endedAttached, StandinDalvik.threadsEndedAttached());
        assertTrue(Eventually.reaches(threads::getThreadCount, threadsBefore, 30),
                "JVM threads: " + threads.getThreadCount() + ", before: " + threadsBefore);
        assertEquals(attaches + 1, StandinDalvik.attaches());  // nothing attached late
    }
}
