package com.fendrel.security;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.security.Key;
import java.security.KeyStore;
import java.security.KeyStoreException;
import java.security.KeyStoreSpi;
import java.security.cert.Certificate;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Date;
import java.util.Enumeration;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * A read-only key store of the trusted certificates in the Dalvik VM's
 * keychain, reached through the native relay library {@code cassowin}.
 *
 * <p>Use it through {@link KeyStore} with the provider {@link KeychainProvider}:
 * {@code KeyStore.getInstance(KeychainProvider.KEY_STORE_TYPE, new KeychainProvider())}.
 * Loading scans the keychain: each entry the Dalvik side reports becomes a
 * trusted-certificate entry with its alias and creation date, its bytes
 * parsed as an X.509 certificate. A later entry with the same alias replaces
 * an earlier one.
 *
 * <p>An entry whose certificate cannot be parsed (or that comes without an
 * alias or without bytes) is skipped and the scan goes on. A caller learns of
 * skipped entries by loading with a {@link KeychainLoadParameter} and asking
 * it for {@link KeychainLoadParameter#rejectedEntries()} afterwards.
 *
 * <p>A scan that fails as a whole (the Dalvik side throws, or the relay cannot
 * reach the Dalvik VM) makes {@code load} throw an {@link IOException} whose
 * cause is the relay's exception; the entries of the previous load stay.
 *
 * <p>The relay forwards entries to one key store object at a time, so loads
 * of all instances in the process take turns. Reading a loaded key store is
 * thread-safe.
 */
public class AndroidKeyStore extends KeyStoreSpi {
    static {
        System.loadLibrary("cassowin");
    }

    /** The relay's entries go to the object that called _init last. */
    private static final Object SCAN_LOCK = new Object();

    private static final class TrustedEntry {
        final Certificate certificate;
        final Date created;

        TrustedEntry(Certificate certificate, Date created) {
            this.certificate = certificate;
            this.created = created;
        }
    }

    private volatile Map<String, TrustedEntry> entries = Collections.emptyMap();

    // The scan in progress, touched only by the scanning thread.
    private volatile Thread scanningThread;
    private Map<String, TrustedEntry> incoming;
    private List<RejectedEntry> rejected;
    private CertificateFactory x509;

    /** An empty key store; the {@link KeyStore} framework creates it for {@link KeychainProvider}. */
    public AndroidKeyStore() {}

    private native void _init();

    private native void _scanKeychain(char[] keychain);

    /**
     * Called by the relay once per reported entry, on the thread inside
     * {@code _scanKeychain}. Entries arriving on any other thread are not
     * this object's scan and are ignored.
     */
    private void createTrustedCertEntry(char[] alias, long date, byte[] encoded) {
        if (Thread.currentThread() != scanningThread) return;
        String name = alias == null ? null : new String(alias);
        try {
            if (name == null) throw new CertificateException("entry without an alias");
            if (encoded == null) throw new CertificateException("entry without certificate bytes");
            Certificate certificate = x509.generateCertificate(new ByteArrayInputStream(encoded));
            incoming.put(name, new TrustedEntry(certificate, new Date(date)));
        } catch (CertificateException e) {
            rejected.add(new RejectedEntry(name, date, e));
        } catch (RuntimeException e) {
            // Some malformed encodings escape the parser as unchecked exceptions.
            rejected.add(new RejectedEntry(name, date, new CertificateException(e)));
        }
    }

    /** Runs the relay's scan; tests put a counting scan in its place. */
    void runScan(char[] keychain) {
        _init();
        _scanKeychain(keychain);
    }

    private void scan(KeychainLoadParameter parameter) throws IOException, CertificateException {
        synchronized (SCAN_LOCK) {
            x509 = CertificateFactory.getInstance("X.509");
            incoming = new LinkedHashMap<>();
            rejected = new ArrayList<>();
            scanningThread = Thread.currentThread();
            try {
                runScan(parameter.keychain());
            } catch (RuntimeException e) {
                throw new IOException("scanning the Dalvik VM's keychain failed: " + e.getMessage(), e);
            } finally {
                scanningThread = null;
            }
            entries = Collections.unmodifiableMap(incoming);
            parameter.setRejectedEntries(rejected);
            incoming = null;
            rejected = null;
        }
    }

    /** Scans the default keychain; this key store reads no stream and needs no password. */
    @Override
    public void engineLoad(InputStream stream, char[] password) throws IOException, CertificateException {
        if (stream != null) {
            throw new IOException("this key store reads the Dalvik VM's keychain, not a stream");
        }
        scan(new KeychainLoadParameter((char[]) null));
    }

    /** Scans the keychain that a {@link KeychainLoadParameter} names (null: the default one). */
    @Override
    public void engineLoad(KeyStore.LoadStoreParameter parameter) throws IOException, CertificateException {
        if (parameter == null) {
            parameter = new KeychainLoadParameter((char[]) null);
        }
        if (!(parameter instanceof KeychainLoadParameter)) {
            throw new IllegalArgumentException("expected a KeychainLoadParameter, got " + parameter.getClass().getName());
        }
        scan((KeychainLoadParameter) parameter);
    }

    @Override
    public Certificate engineGetCertificate(String alias) {
        TrustedEntry e = entries.get(alias);
        return e == null ? null : e.certificate;
    }

    @Override
    public Date engineGetCreationDate(String alias) {
        TrustedEntry e = entries.get(alias);
        return e == null ? null : new Date(e.created.getTime());
    }

    @Override
    public Enumeration<String> engineAliases() {
        return Collections.enumeration(entries.keySet());
    }

    @Override
    public boolean engineContainsAlias(String alias) {
        return entries.containsKey(alias);
    }

    @Override
    public int engineSize() {
        return entries.size();
    }

    @Override
    public boolean engineIsCertificateEntry(String alias) {
        return entries.containsKey(alias);
    }

    @Override
    public boolean engineIsKeyEntry(String alias) {
        return false;
    }

    @Override
    public String engineGetCertificateAlias(Certificate certificate) {
        for (Map.Entry<String, TrustedEntry> e : entries.entrySet()) {
            if (e.getValue().certificate.equals(certificate)) return e.getKey();
        }
        return null;
    }

    @Override
    public Key engineGetKey(String alias, char[] password) {
        return null;
    }

    @Override
    public Certificate[] engineGetCertificateChain(String alias) {
        return null;
    }

    @Override
    public void engineSetKeyEntry(String alias, Key key, char[] password, Certificate[] chain)
            throws KeyStoreException {
        throw readOnly();
    }

    @Override
    public void engineSetKeyEntry(String alias, byte[] key, Certificate[] chain) throws KeyStoreException {
        throw readOnly();
    }

    @Override
    public void engineSetCertificateEntry(String alias, Certificate certificate) throws KeyStoreException {
        throw readOnly();
    }

    @Override
    public void engineDeleteEntry(String alias) throws KeyStoreException {
        throw readOnly();
    }

    @Override
    public void engineStore(OutputStream stream, char[] password) {
        throw new UnsupportedOperationException("the Dalvik VM's keychain is read-only here");
    }

    private static KeyStoreException readOnly() {
        return new KeyStoreException("the Dalvik VM's keychain is read-only here");
    }
}
