package com.fendrel.security;

import java.security.KeyStore;
import java.util.Collections;
import java.util.List;

/**
 * What to scan when loading an {@link AndroidKeyStore}, and afterwards what
 * the scan skipped.
 *
 * <p>The keychain name goes to the Dalvik side as it is; there it names the
 * {@link KeyStore} type to read (the device's certificate store, say). Null
 * means the Dalvik side's default keychain.
 */
public final class KeychainLoadParameter implements KeyStore.LoadStoreParameter {
    private final char[] keychain;
    private volatile List<RejectedEntry> rejected = Collections.emptyList();

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
        this.keychain = keychain == null ? null : keychain.clone();
    }

    @Override
    public KeyStore.ProtectionParameter getProtectionParameter() {
        return null;
    }

    char[] keychain() {
        return keychain == null ? null : keychain.clone();
    }

    /**
     * @return the entries the last load with this parameter skipped, in the
     *         order they came; empty before any load
     */
    public List<RejectedEntry> rejectedEntries() {
        return rejected;
    }

    void setRejectedEntries(List<RejectedEntry> entries) {
        rejected = Collections.unmodifiableList(entries);
    }
}
