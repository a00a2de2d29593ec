package com.fendrel.security;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.security.Key;
import java.security.KeyStore;
import java.security.KeyStoreException;
import java.security.KeyStoreSpi;
import java.security.cert.Certificate;
import java.security.cert.CertificateException;
import java.util.Collections;
import java.util.Date;
import java.util.Enumeration;
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
 * <h2>Scans and waiting</h2>
 *
 * <p>Every scan in the process runs on one daemon thread named
 * {@code keychain-scanner}, shared by all instances; a load only waits for
 * it. A load is served by a scan of its keychain that starts after the load
 * was called, and loads of the same keychain that arrive while a scan runs
 * share the next one. A load without a timeout waits as long as that scan
 * takes. The Dalvik side's keychain can block (a locked credential store, a
 * slow system service), so a caller that must not hang loads with a
 * deadline, and with a fallback on the newest complete scan of the keychain
 * that any load in the process waited for or gave up on:
 *
 * <pre>{@code
 * KeychainLoadParameter scan = new KeychainLoadParameter("device")
 *         .withTimeout(2, TimeUnit.SECONDS)
 *         .withCachedFallback();
 * store.load(scan);
 * if (scan.loadedFromCache()) {
 *     long age = System.currentTimeMillis() - scan.scanCompletedMillis();
 * }
 * }</pre>
 *
 * <p>How a load ends:
 * <ul>
 * <li>Its scan completes: the key store holds that scan's entries.
 * <li>Its timeout passes first: with a fallback and a cached scan, the key
 *     store holds the cached scan's entries and
 *     {@link KeychainLoadParameter#loadedFromCache()} is true; otherwise
 *     {@code load} throws {@link KeychainTimeoutException}.
 * <li>Its thread is interrupted while it waits (or before it calls): {@code
 *     load} throws {@link java.io.InterruptedIOException}, with the thread's
 *     interrupt status set again.
 * <li>The scan fails as a whole (the Dalvik side throws, or the relay cannot
 *     reach the Dalvik VM): {@code load} throws an {@link IOException} whose
 *     cause is the relay's exception, in every load that shared the scan.
 * </ul>
 * A load that throws leaves the key store with the entries of its previous
 * load. A scan that its callers gave up on still runs to its end; if it
 * succeeds, it becomes the keychain's cached scan for later fallbacks, but
 * it never changes a key store that a load already returned. A failed scan
 * is never cached.
 *
 * <p>Reading a loaded key store never waits and is thread-safe; it sees the
 * entries of one load as a whole.
 */
public class AndroidKeyStore extends KeyStoreSpi {
    static {
        System.loadLibrary("cassowin");
    }

    // The object the relay reports entries to: the one whose _init ran last.
    // Only scanner threads set it.
    private static volatile AndroidKeyStore relayTarget;

    private final KeychainScanner scanner;
    private volatile Map<String, KeychainScan.TrustedEntry> entries = Collections.emptyMap();
    // Where the relay's entries go while this object collects for a scanner.
    private volatile KeychainScan.Collector collecting;

    /** An empty key store; the {@link KeyStore} framework creates it for {@link KeychainProvider}. */
    public AndroidKeyStore() {
        this(null);
    }

    /** @param scanner the scanner that serves this key store's loads; null for the process's one */
    AndroidKeyStore(KeychainScanner scanner) {
        this.scanner = scanner;
    }

    private native void _init();

    private native void _scanKeychain(char[] keychain);

    /** Called by the relay once per reported entry, on the thread inside {@code _scanKeychain}. */
    private void createTrustedCertEntry(char[] alias, long date, byte[] encoded) {
        KeychainScan.Collector into = collecting;
        if (into != null) into.add(alias, date, encoded);
    }

    void collectInto(KeychainScan.Collector into) {
        collecting = into;
    }

    /**
     * Runs the relay's scan, reporting to this object; called on a scanner
     * thread only. Tests put a counting scan in its place.
     */
    void runScan(char[] keychain) {
        bindRelay();
        _scanKeychain(keychain);
    }

    /** Makes this object the relay's target, unless it already is. */
    void bindRelay() {
        if (relayTarget == this) return;
        _init();
        relayTarget = this;
    }

    private void load(KeychainLoadParameter parameter) throws IOException, CertificateException {
        KeychainScanner serving = scanner != null ? scanner : KeychainScanner.shared();
        entries = serving.load(parameter).entries;
    }

    /** Scans the default keychain; this key store reads no stream and needs no password. */
    @Override
    public void engineLoad(InputStream stream, char[] password) throws IOException, CertificateException {
        if (stream != null) {
            throw new IOException("this key store reads the Dalvik VM's keychain, not a stream");
        }
        load(new KeychainLoadParameter((char[]) null));
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
        load((KeychainLoadParameter) parameter);
    }

    @Override
    public Certificate engineGetCertificate(String alias) {
        KeychainScan.TrustedEntry e = entries.get(alias);
        return e == null ? null : e.certificate;
    }

    @Override
    public Date engineGetCreationDate(String alias) {
        KeychainScan.TrustedEntry e = entries.get(alias);
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
        for (Map.Entry<String, KeychainScan.TrustedEntry> e : entries.entrySet()) {
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
