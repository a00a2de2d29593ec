package com.fendrel.security;

import java.security.KeyStore;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * What to scan when loading an {@link AndroidKeyStore}, how long to wait for
 * the scan, and afterwards what the load got.
 *
 * <p>The keychain name goes to the Dalvik side as it is; there it names the
 * {@link KeyStore} type to read (the device's certificate store, say). Null
 * means the Dalvik side's default keychain.
 *
 * <p>A parameter is immutable in what it asks for: {@link #withTimeout} and
 * {@link #withCachedFallback} return copies. What a load got
 * ({@link #rejectedEntries()}, {@link #loadedFromCache()},
 * {@link #scanCompletedMillis()}) is set by each successful load with this
 * parameter, all three at once; a failed load leaves them as they were.
 */
public final class KeychainLoadParameter implements KeyStore.LoadStoreParameter {
    /** Marks a load that waits as long as its scan takes. */
    static final long NO_TIMEOUT = -1;

    private final char[] keychain;
    private final long timeoutNanos;
    private final boolean cachedFallback;
    // One reference, so that a reader never sees halves of two loads.
    private volatile Loaded loaded;

    private static final class Loaded {
        final KeychainScan scan;
        final boolean fromCache;

        Loaded(KeychainScan scan, boolean fromCache) {
            this.scan = scan;
            this.fromCache = fromCache;
        }
    }

    /**
     * @param keychain the keychain to scan; null for the Dalvik side's default
     */
    public KeychainLoadParameter(String keychain) {
        this(keychain == null ? null : keychain.toCharArray());
    }

    /**
     * @param keychain the keychain to scan, copied; null for the Dalvik side's default
     */
    public KeychainLoadParameter(char[] keychain) {
        this(keychain == null ? null : keychain.clone(), NO_TIMEOUT, false);
    }

    private KeychainLoadParameter(char[] keychain, long timeoutNanos, boolean cachedFallback) {
        this.keychain = keychain;
        this.timeoutNanos = timeoutNanos;
        this.cachedFallback = cachedFallback;
    }

    /**
     * Returns a copy of this parameter, for the same keychain and with the
     * same fallback, whose load waits at most the given time for its scan.
     * A load that runs out of time throws {@link KeychainTimeoutException},
     * unless the copy also has {@link #withCachedFallback()}. A timeout of
     * zero does not wait at all: the load still asks for a scan, whose
     * result later loads can fall back on.
     *
     * @param timeout how long to wait, in units of {@code unit}
     * @param unit the unit of {@code timeout}
     * @return the copy
     * @throws IllegalArgumentException if {@code timeout} is negative
     * @throws NullPointerException if {@code unit} is null
     */
    public KeychainLoadParameter withTimeout(long timeout, TimeUnit unit) {
        if (timeout < 0) throw new IllegalArgumentException("negative timeout: " + timeout);
        if (unit == null) throw new NullPointerException("unit");
        return new KeychainLoadParameter(keychain, unit.toNanos(timeout), cachedFallback);
    }

    /**
     * Returns a copy of this parameter, for the same keychain and with the
     * same timeout, whose load, when its timeout passes, takes the newest
     * complete scan of the keychain in this process instead of failing, if
     * there is one. It matters only together with {@link #withTimeout}: a
     * failed scan or an interrupt still fails the load.
     *
     * @return the copy
     */
    public KeychainLoadParameter withCachedFallback() {
        return new KeychainLoadParameter(keychain, timeoutNanos, true);
    }

    @Override
    public KeyStore.ProtectionParameter getProtectionParameter() {
        return null;
    }

    char[] keychain() {
        return keychain == null ? null : keychain.clone();
    }

    String keychainName() {
        return keychain == null ? null : new String(keychain);
    }

    /** The timeout in nanoseconds, or {@link #NO_TIMEOUT}. */
    long timeoutNanos() {
        return timeoutNanos;
    }

    boolean cachedFallback() {
        return cachedFallback;
    }

    /**
     * @return the entries that the scan loaded last with this parameter
     *         skipped, in the order they came; empty before any load
     */
    public List<RejectedEntry> rejectedEntries() {
        Loaded last = loaded;
        return last == null ? Collections.<RejectedEntry>emptyList() : last.scan.rejected;
    }

    /**
     * @return whether the last load with this parameter took a cached scan
     *         because its timeout passed; false before any load
     */
    public boolean loadedFromCache() {
        Loaded last = loaded;
        return last != null && last.fromCache;
    }

    /**
     * @return the time, as {@link System#currentTimeMillis()} gave it, at
     *         which the scan that the last load with this parameter took
     *         completed; 0 before any load
     */
    public long scanCompletedMillis() {
        Loaded last = loaded;
        return last == null ? 0 : last.scan.completedMillis;
    }

    void setLoaded(KeychainScan scan, boolean fromCache) {
        loaded = new Loaded(scan, fromCache);
    }
}
