package com.fendrel.security;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.security.KeyStore;
import java.security.KeyStoreException;
import java.security.cert.X509Certificate;
import java.util.Arrays;
import java.util.Collections;
import java.util.Date;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * The whole road on the real JVM: KeyStore.load, the relay, the stand-in
 * Dalvik VM's scan, and each entry back into the key store.
 */
@Timeout(300)
class AndroidKeyStoreTest {
    private static final long DATE_ALPHA = -1L;                 // just before the epoch
    private static final long DATE_BETA = 0x1_0000_0000L + 7;   // above 32 bits
    private static final long DATE_GAMMA = 1_767_225_600_000L;  // 2026-01-01

    private byte[] alpha, beta, gamma;

    @BeforeEach
    void startStandin() throws IOException {
        StandinDalvik.start(false);
        alpha = TestCertificates.bytes("alpha");
        beta = TestCertificates.bytes("beta");
        gamma = TestCertificates.bytes("gamma");
    }

    private static KeyStore newKeyStore() throws KeyStoreException {
        return KeyStore.getInstance(KeychainProvider.KEY_STORE_TYPE, new KeychainProvider());
    }

    private void reportThree() {
        StandinDalvik.setEntries(new String[] {"alpha", "beta", "gamma"},
                new long[] {DATE_ALPHA, DATE_BETA, DATE_GAMMA}, new byte[][] {alpha, beta, gamma});
    }

    @Test
    void scannedCertificatesAreTrustedEntriesOfTheKeyStore() throws Exception {
        reportThree();
        KeychainLoadParameter parameter = new KeychainLoadParameter("device");
        KeyStore store = newKeyStore();
        store.load(parameter);

        assertEquals("device", StandinDalvik.lastKeychain());
        assertEquals(Arrays.asList("alpha", "beta", "gamma"), Collections.list(store.aliases()));
        assertEquals(3, store.size());
        assertTrue(parameter.rejectedEntries().isEmpty());
        byte[][] encoded = {alpha, beta, gamma};
        long[] dates = {DATE_ALPHA, DATE_BETA, DATE_GAMMA};
        String[] aliases = {"alpha", "beta", "gamma"};
        for (int i = 0; i < 3; i++) {
            String alias = aliases[i];
            assertTrue(store.isCertificateEntry(alias));
            assertFalse(store.isKeyEntry(alias));
            X509Certificate cert = (X509Certificate) store.getCertificate(alias);
            assertEquals(TestCertificates.parse(encoded[i]), cert);
            assertTrue(cert.getSubjectX500Principal().getName().contains("Keychain Test"));
            assertEquals(new Date(dates[i]), store.getCreationDate(alias));
            assertEquals(alias, store.getCertificateAlias(cert));
            assertTrue(store.entryInstanceOf(alias, KeyStore.TrustedCertificateEntry.class));
        }
        assertThrows(KeyStoreException.class, () -> store.deleteEntry("alpha"));
        assertThrows(KeyStoreException.class,
                () -> store.setCertificateEntry("delta", TestCertificates.parse(alpha)));
    }

    @Test
    void loadingWithoutAParameterScansTheDefaultKeychain() throws Exception {
        reportThree();
        KeyStore store = newKeyStore();
        store.load(null, null);
        assertNull(StandinDalvik.lastKeychain());
        assertEquals(3, store.size());
        assertThrows(IOException.class, () -> store.load(new java.io.ByteArrayInputStream(new byte[1]), null));
    }

    @Test
    void malformedEntriesAreSkippedAndReportedWithoutLosingTheOthers() throws Exception {
        byte[] truncated = Arrays.copyOf(beta, beta.length / 2);
        byte[] garbage = {0x30, 0x03, 0x02, 0x01};
        StandinDalvik.setEntries(new String[] {"alpha", "truncated", "garbage", null, "no-bytes", "gamma"},
                new long[] {1, 2, 3, 4, 5, 6},
                new byte[][] {alpha, truncated, garbage, beta, null, gamma});
        KeychainLoadParameter parameter = new KeychainLoadParameter((String) null);
        KeyStore store = newKeyStore();
        store.load(parameter);

        assertEquals(Arrays.asList("alpha", "gamma"), Collections.list(store.aliases()));
        List<RejectedEntry> rejected = parameter.rejectedEntries();
        assertEquals(4, rejected.size());
        assertEquals("truncated", rejected.get(0).alias());
        assertEquals("garbage", rejected.get(1).alias());
        assertNull(rejected.get(2).alias());
        assertEquals(4, rejected.get(2).date());
        assertEquals("no-bytes", rejected.get(3).alias());
        for (RejectedEntry r : rejected) assertTrue(r.reason() != null, r.toString());
    }

    @Test
    void anExceptionOfTheDalvikScanFailsTheLoadAndTheNextLoadWorks() throws Exception {
        reportThree();
        StandinDalvik.setExceptionAfterReport("java/lang/IllegalStateException", "keychain locked");
        KeyStore store = newKeyStore();
        IOException failure = assertThrows(IOException.class, () -> store.load(null));
        assertSame(RuntimeException.class, failure.getCause().getClass());
        assertTrue(failure.getCause().getMessage().contains("java.lang.IllegalStateException: keychain locked"),
                failure.getCause().getMessage());

        StandinDalvik.setExceptionAfterReport("", "");
        store.load(null);  // same thread, still attached to the Dalvik VM
        assertEquals(3, store.size());
    }

    @Test
    void arraysWhoseElementsCannotBeHadArriveAsNull() throws Exception {
        reportThree();
        StandinDalvik.setElementsUnavailable(true, false);
        KeychainLoadParameter parameter = new KeychainLoadParameter("device");
        KeyStore store = newKeyStore();
        store.load(parameter);
        assertEquals(0, store.size());
        assertEquals(3, parameter.rejectedEntries().size());
        assertNull(parameter.rejectedEntries().get(0).alias());
        assertEquals(DATE_BETA, parameter.rejectedEntries().get(1).date());
    }

    @Test
    void loadsAttachOnlyTheScannerThreadWhichIsDetachedWhenItEnds() throws Exception {
        reportThree();
        KeychainScanner scanner = KeychainScanner.shared();
        assertTrue(scanner.endThread(30, TimeUnit.SECONDS));
        assertTrue(Eventually.reaches(StandinDalvik::attachedThreads, 0, 30));
        int attaches = StandinDalvik.attaches();
        int endedAttached = StandinDalvik.threadsEndedAttached();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        Thread thread = new Thread(() -> {
            try {
                newKeyStore().load(null);
                newKeyStore().load(null);
            } catch (Throwable t) {
                failure.set(t);
            }
        });
        thread.start();
        thread.join(60_000);
        assertFalse(thread.isAlive());
        assertNull(failure.get());
        assertEquals(attaches + 1, StandinDalvik.attaches());
        assertEquals(1, StandinDalvik.attachedThreads());

        assertTrue(scanner.endThread(30, TimeUnit.SECONDS));
        assertTrue(Eventually.reaches(StandinDalvik::attachedThreads, 0, 30));
        assertEquals(endedAttached, StandinDalvik.threadsEndedAttached());
    }

    @Test
    void aScanWorksOnAThreadThatCannotSeeTheAppsClasses() throws Exception {
        StandinDalvik.start(true);
        reportThree();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        KeyStore store = newKeyStore();
        Thread thread = new Thread(() -> {
            try {
                store.load(null);
            } catch (Throwable t) {
                failure.set(t);
            }
        });
        thread.start();
        thread.join(60_000);
        assertNull(failure.get());
        assertEquals(3, store.size());
    }

    @Test
    void tenThousandEntriesLeaveNoLocalReferencesInEitherVM() throws Exception {
        int n = 10_000;
        String[] aliases = new String[n];
        long[] dates = new long[n];
        byte[][] encoded = new byte[n][];
        for (int i = 0; i < n; i++) {
            aliases[i] = "cert-" + i;
            dates[i] = i;
            encoded[i] = i % 2 == 0 ? alpha : gamma;
        }
        StandinDalvik.setEntries(aliases, dates, encoded);
        newKeyStore().load(null);  // the scanner thread is attached from here on
        long dalvikBefore = StandinDalvik.liveLocalRefs();

        CountingKeyStore counting = new CountingKeyStore();
        KeychainScanner countingScanner = new KeychainScanner(counting);
        KeyStore store = new KeyStore(new AndroidKeyStore(countingScanner), new KeychainProvider(),
                KeychainProvider.KEY_STORE_TYPE) {};
        store.load(null);
        long dalvikAfter = StandinDalvik.liveLocalRefs();
        assertTrue(countingScanner.endThread(30, TimeUnit.SECONDS));

        assertEquals(n, store.size());
        assertEquals(0, counting.leftBehind);
        assertTrue(counting.mostAtOnce < 16, "most local references at once: " + counting.mostAtOnce);
        assertEquals(dalvikBefore, dalvikAfter);
    }
}
