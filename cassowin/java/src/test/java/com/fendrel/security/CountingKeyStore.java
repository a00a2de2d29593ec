package com.fendrel.security;

/** An AndroidKeyStore whose scans count the JVM local references the relay makes. */
final class CountingKeyStore extends AndroidKeyStore {
    long leftBehind = -1;
    long mostAtOnce = -1;

    @Override
    void runScan(char[] keychain) {
        long[] counts = StandinDalvik.countingScan(this, keychain);
        leftBehind = counts[0];
        mostAtOnce = counts[1];
    }
}
