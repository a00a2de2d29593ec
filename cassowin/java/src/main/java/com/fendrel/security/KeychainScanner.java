package com.fendrel.security;

import java.io.IOException;
import java.io.InterruptedIOException;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.util.ArrayDeque;
import java.util.HashMap;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.Condition;
import java.util.concurrent.locks.ReentrantLock;

/**
 * Runs every keychain scan of the process on one thread, so that a scan
 * stuck in the Dalvik VM stalls no caller beyond its own deadline, and only
 * that one thread is ever attached to the Dalvik VM by the relay.
 *
 * <p>The rules, all guarded by {@code lock}:
 * <ul>
 * <li>A load is served by a scan of its keychain that starts after the load
 *     was called. Each keychain has at most one scan queued: a load joins
 *     the queued scan if there is one, or queues a new one. The scanner runs
 *     queued scans one at a time, oldest first, whatever their keychain.
 * <li>A scan that completes without failure becomes its keychain's cached
 *     scan, whether or not anyone still waits for it; a failed scan is
 *     handed to its waiters and forgotten.
 * <li>Callers wait on {@code scanDone} with no other lock held; the scanner
 *     holds {@code lock} only to take a scan and to publish its result,
 *     never while it scans.
 * <li>The scanner thread starts on the first queued scan and ends after
 *     {@link #IDLE_NANOS} without work, or when interrupted while idle; the
 *     next queued scan starts a new one. The relay detaches the thread from
 *     the Dalvik VM when it ends.
 * </ul>
 */
final class KeychainScanner {
    static final String THREAD_NAME = "keychain-scanner";
    /** Long enough that loads in bursts share one attached thread. */
    static final long IDLE_NANOS = TimeUnit.SECONDS.toNanos(60);

    private static KeychainScanner shared;  // guarded by KeychainScanner.class

    /** The scanner of all key stores that were not given one. */
    static synchronized KeychainScanner shared() {
        if (shared == null) shared = new KeychainScanner(new AndroidKeyStore());
        return shared;
    }

    /** A request for one scan of one keychain, and once done, its outcome. */
    private static final class Scan {
        final String keychain;
        final char[] chars;
        boolean done;
        KeychainScan result;
        Throwable failure;

        Scan(String keychain, char[] chars) {
            this.keychain = keychain;
            this.chars = chars;
        }
    }

    private static final class KeychainState {
        Scan queued;
        KeychainScan newest;
    }

    private final AndroidKeyStore collector;
    private final ReentrantLock lock = new ReentrantLock();
    private final Condition scanDone = lock.newCondition();
    private final Condition workQueued = lock.newCondition();
    private final ArrayDeque<Scan> queue = new ArrayDeque<Scan>();
    private final Map<String, KeychainState> keychains = new HashMap<String, KeychainState>();
    private Thread thread;
    private int waitingLoads;
    private CertificateFactory x509;  // the scanner thread's own

    /** @param collector the key store object that the relay reports this scanner's entries to */
    KeychainScanner(AndroidKeyStore collector) {
        this.collector = collector;
    }

    /**
     * Waits for a scan that starts after this call, as the parameter's
     * timeout and fallback allow, and records in the parameter what it got.
     *
     * @throws KeychainTimeoutException the timeout passed with no scan to take
     * @throws InterruptedIOException the calling thread was interrupted
     *         before or while it waited; its interrupt status is set again
     * @throws IOException the scan failed; the cause tells why
     * @throws CertificateException no X.509 certificate factory for the scan
     */
    KeychainScan load(KeychainLoadParameter parameter) throws IOException, CertificateException {
        if (Thread.currentThread().isInterrupted()) {
            throw new InterruptedIOException("interrupted before loading the keychain");
        }
        long timeout = parameter.timeoutNanos();
        long start = System.nanoTime();
        Scan scan;
        lock.lock();
        try {
            KeychainState state = stateOf(parameter.keychainName());
            scan = state.queued;
            if (scan == null) {
                scan = new Scan(parameter.keychainName(), parameter.keychain());
                state.queued = scan;
                queue.addLast(scan);
                workQueued.signal();
            }
            ensureThread();  // also when joining: a thread that failed to start is tried again
            waitingLoads++;
            try {
                while (!scan.done) {
                    if (timeout == KeychainLoadParameter.NO_TIMEOUT) {
                        scanDone.await();
                        continue;
                    }
                    long left = timeout - (System.nanoTime() - start);
                    if (left <= 0) return timedOut(parameter, state, timeout);
                    scanDone.awaitNanos(left);
                }
            } finally {
                waitingLoads--;
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new InterruptedIOException("interrupted while waiting for a keychain scan");
        } finally {
            lock.unlock();
        }
        if (scan.failure instanceof CertificateException) {
            throw new CertificateException("no certificate factory to scan the keychain with", scan.failure);
        }
        if (scan.failure != null) {
            throw new IOException("scanning the Dalvik VM's keychain failed: " + scan.failure.getMessage(),
                    scan.failure);
        }
        parameter.setLoaded(scan.result, false);
        return scan.result;
    }

    private KeychainScan timedOut(KeychainLoadParameter parameter, KeychainState state, long timeout)
            throws KeychainTimeoutException {
        if (parameter.cachedFallback() && state.newest != null) {
            parameter.setLoaded(state.newest, true);
            return state.newest;
        }
        throw new KeychainTimeoutException("no scan of the keychain completed within "
                + TimeUnit.NANOSECONDS.toMillis(timeout) + " ms"
                + (parameter.cachedFallback() ? ", and none is cached" : ""));
    }

    private KeychainState stateOf(String keychain) {
        KeychainState state = keychains.get(keychain);
        if (state == null) {
            state = new KeychainState();
            keychains.put(keychain, state);
        }
        return state;
    }

    private void ensureThread() {
        if (thread != null) return;
        Thread t = new Thread(new Runnable() {
            @Override
            public void run() {
                scanUntilIdle();
            }
        }, THREAD_NAME);
        t.setDaemon(true);
        t.start();  // if this throws, the scan stays queued for the next load to start a thread
        thread = t;
    }

    private void scanUntilIdle() {
        for (;;) {
            Scan scan = nextScan();
            if (scan == null) return;
            KeychainScan result = null;
            Throwable failure = null;
            try {
                result = runScan(scan.chars);
            } catch (Throwable t) {
                // The thread must outlive any one scan; the waiters get the failure.
                failure = t;
            }
            lock.lock();
            try {
                scan.done = true;
                scan.result = result;
                scan.failure = failure;
                if (result != null) stateOf(scan.keychain).newest = result;
                scanDone.signalAll();
            } finally {
                lock.unlock();
            }
        }
    }

    /** The oldest queued scan; null when the thread is to end. */
    private Scan nextScan() {
        lock.lock();
        try {
            long idle = IDLE_NANOS;
            boolean interrupted = false;
            Scan scan;
            // The queue is looked at once more after any wake-up: a scan queued
            // just as the thread was interrupted or timed out must not be stranded.
            while ((scan = queue.pollFirst()) == null) {
                if (idle <= 0 || interrupted) {
                    thread = null;
                    return null;
                }
                try {
                    idle = workQueued.awaitNanos(idle);
                } catch (InterruptedException e) {
                    interrupted = true;
                }
            }
            if (interrupted) Thread.currentThread().interrupt();  // end once the queue is empty
            stateOf(scan.keychain).queued = null;
            return scan;
        } finally {
            lock.unlock();
        }
    }

    private KeychainScan runScan(char[] keychain) throws CertificateException {
        if (x509 == null) x509 = CertificateFactory.getInstance("X.509");
        KeychainScan.Collector entries = new KeychainScan.Collector(x509, Thread.currentThread());
        collector.collectInto(entries);
        try {
            collector.runScan(keychain);
        } finally {
            collector.collectInto(null);
        }
        return entries.complete();
    }

    /** How many loads wait for a scan now. For tests, which must know that a load has joined. */
    int waitingLoads() {
        lock.lock();
        try {
            return waitingLoads;
        } finally {
            lock.unlock();
        }
    }

    /**
     * Ends the scanner thread once its queued scans are done, and waits for
     * it to end. For tests, which count the threads the relay attaches.
     *
     * @return whether no scanner thread runs any more
     */
    boolean endThread(long timeout, TimeUnit unit) throws InterruptedException {
        Thread t;
        lock.lock();
        try {
            t = thread;
        } finally {
            lock.unlock();
        }
        if (t == null) return true;
        t.interrupt();
        t.join(Math.max(1, unit.toMillis(timeout)));
        return !t.isAlive();
    }
}
