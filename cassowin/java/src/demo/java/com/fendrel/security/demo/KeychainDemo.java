package com.fendrel.security.demo;

import com.fendrel.security.KeychainLoadParameter;
import com.fendrel.security.KeychainProvider;
import com.fendrel.security.KeychainTimeoutException;
import com.fendrel.security.RejectedEntry;
import com.fendrel.security.StandinDalvik;
import com.fendrel.security.TestCertificates;
import java.security.KeyStore;
import java.security.cert.X509Certificate;
import java.text.SimpleDateFormat;
import java.util.Collections;
import java.util.Date;
import java.util.TimeZone;
import java.util.concurrent.TimeUnit;

/**
 * Lists the trusted certificates that a keychain scan on the Dalvik side
 * reports, read back through java.security.KeyStore in the JVM.
 */
public final class KeychainDemo {
    private KeychainDemo() {}

    public static void main(String[] args) throws Exception {
        System.out.println("== Key store relay (libcassowin) ==");
        System.out.println("No Dalvik VM runs on this machine: the Dalvik side is a STAND-IN VM from the");
        System.out.println("test support code, living in this JVM's process. It was set up through the");
        System.out.println("relay like an app's Dalvik side, and its keychain scan reports these entries.");

        StandinDalvik.start(false);
        byte[] broken = {0x30, 0x03, 0x02, 0x01};
        StandinDalvik.setEntries(
                new String[] {"alpha", "beta", "broken", "gamma"},
                new long[] {1_767_225_600_000L, 1_704_067_200_123L, 0L, 4_102_444_800_000L},
                new byte[][] {TestCertificates.bytes("alpha"), TestCertificates.bytes("beta"), broken,
                        TestCertificates.bytes("gamma")});

        KeyStore store = KeyStore.getInstance(KeychainProvider.KEY_STORE_TYPE, new KeychainProvider());
        // Scans keychain "device" on the Dalvik side, waiting at most 10 s for the scan.
        KeychainLoadParameter parameter = new KeychainLoadParameter("device").withTimeout(10, TimeUnit.SECONDS);
        store.load(parameter);

        SimpleDateFormat format = new SimpleDateFormat("yyyy-MM-dd HH:mm:ss.SSS 'UTC'");
        format.setTimeZone(TimeZone.getTimeZone("UTC"));
        System.out.printf("%nKeyStore type %s, keychain \"device\": %d trusted certificates%n",
                store.getType(), store.size());
        System.out.printf("  %-8s %-27s %s%n", "alias", "created", "subject");
        for (String alias : Collections.list(store.aliases())) {
            X509Certificate cert = (X509Certificate) store.getCertificate(alias);
            Date created = store.getCreationDate(alias);
            System.out.printf("  %-8s %-27s %s%n", alias, format.format(created),
                    cert.getSubjectX500Principal().getName());
        }
        System.out.printf("Skipped entries: %d%n", parameter.rejectedEntries().size());
        for (RejectedEntry r : parameter.rejectedEntries()) {
            System.out.printf("  %-8s %s%n", r.alias(), r.reason().getMessage());
        }

        System.out.println();
        System.out.println("The stand-in's keychain now blocks, as one on a locked credential store may.");
        StandinDalvik.holdScans(true);
        KeychainLoadParameter strict = new KeychainLoadParameter("device").withTimeout(300, TimeUnit.MILLISECONDS);
        try {
            store.load(strict);
        } catch (KeychainTimeoutException e) {
            System.out.printf("Load with a 300 ms deadline: %s: %s; the key store keeps %d entries%n",
                    e.getClass().getSimpleName(), e.getMessage(), store.size());
        }
        KeychainLoadParameter lenient = strict.withCachedFallback();
        store.load(lenient);
        System.out.printf("Load with a 300 ms deadline and the cached fallback: %d entries from the scan "
                + "completed at %s (from cache: %b)%n", store.size(),
                format.format(new Date(lenient.scanCompletedMillis())), lenient.loadedFromCache());
        StandinDalvik.holdScans(false);  // the scans left waiting now complete on the scanner thread
    }
}
