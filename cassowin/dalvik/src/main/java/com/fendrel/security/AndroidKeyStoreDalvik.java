package com.fendrel.security;

import java.io.IOException;
import java.security.GeneralSecurityException;
import java.security.KeyStore;
import java.security.cert.Certificate;
import java.util.Date;
import java.util.Enumeration;

/**
 * The Dalvik VM's half of the key store relay, shipped in the app.
 *
 * <p>The app calls {@link #init()} once from one of its own threads (for
 * instance while starting up), so that the relay learns this class while the
 * app's class loader is in reach. From then on the JVM-side key store can
 * scan: the relay calls {@link #scanKeychain(char[])} on the scanning thread,
 * and each trusted certificate found goes back through
 * {@code _createTrustedCertEntry}.
 */
public final class AndroidKeyStoreDalvik {
    static {
        System.loadLibrary("cassowin");
    }

    private AndroidKeyStoreDalvik() {}

    /** Sets up the relay's Dalvik half. */
    public static void init() {
        _init();
    }

    private static native void _init();

    private static native void _createTrustedCertEntry(char[] alias, long date, byte[] encoded);

    /**
     * Reports every trusted certificate of a keychain: the {@link KeyStore}
     * of the type named by {@code keychain}, or of the default type when it
     * is null. Called by the relay only. An exception thrown here reaches the
     * JVM caller as a RuntimeException naming it.
     */
    private static void scanKeychain(char[] keychain) throws GeneralSecurityException, IOException {
        String type = keychain == null ? KeyStore.getDefaultType() : new String(keychain);
        KeyStore store = KeyStore.getInstance(type);
        store.load(null, null);  // the device's stores load without a stream
        for (Enumeration<String> aliases = store.aliases(); aliases.hasMoreElements();) {
            String alias = aliases.nextElement();
            if (!store.isCertificateEntry(alias)) continue;
            Certificate certificate = store.getCertificate(alias);
            Date created = store.getCreationDate(alias);
            _createTrustedCertEntry(alias.toCharArray(), created == null ? 0L : created.getTime(),
                    certificate.getEncoded());
        }
    }
}
