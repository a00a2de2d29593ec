package com.fendrel.security;

import java.io.InterruptedIOException;

/**
 * Thrown when loading an {@link AndroidKeyStore} with a deadline (see
 * {@link KeychainLoadParameter#withTimeout}) finds no scan of the keychain
 * complete in time, and no cached scan to fall back on. The key store keeps
 * the entries of its previous load; the scan goes on without the caller.
 */
public class KeychainTimeoutException extends InterruptedIOException {
    private static final long serialVersionUID = 1L;

    /** A timeout exception with no detail message. */
    public KeychainTimeoutException() {}

    /**
     * @param message the detail message
     */
    public KeychainTimeoutException(String message) {
        super(message);
    }
}
