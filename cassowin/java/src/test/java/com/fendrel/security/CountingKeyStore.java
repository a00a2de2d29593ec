package com.fendrel.security;

/**
 * The relay's target for a scanner of its own, whose scans count the JVM
 * local references the relay makes.
 */
final class CountingKeyStore extends AndroidKeyStore {
    volatile long leftBehind = -1;
    volatile long mostAtOnce = -1;

    @Override
    void runScan(char[] keychain) {
        bindRelay();
        long[] counts = StandinDalvik.countingScan(this, keychain);
        leftBehind = counts[0];
        mostAtOnce = counts[1];
    }
}
