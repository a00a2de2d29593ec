package com.fendrel.security;

import java.io.ByteArrayInputStream;
import java.security.cert.Certificate;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Date;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * One complete scan of a keychain: its trusted entries by alias, the entries
 * it skipped, and when it completed. Immutable, so that any number of key
 * stores and load parameters can share it.
 */
final class KeychainScan {
    static final class TrustedEntry {
        final Certificate certificate;
        final Date created;

        TrustedEntry(Certificate certificate, Date created) {
            this.certificate = certificate;
            this.created = created;
        }
    }

    final Map<String, TrustedEntry> entries;
    final List<RejectedEntry> rejected;
    final long completedMillis;

    private KeychainScan(Map<String, TrustedEntry> entries, List<RejectedEntry> rejected) {
        this.entries = Collections.unmodifiableMap(entries);
        this.rejected = Collections.unmodifiableList(rejected);
        this.completedMillis = System.currentTimeMillis();
    }

    /**
     * Gathers the entries of one scan as the relay reports them. Only the
     * thread that runs the scan may report; entries arriving on any other
     * thread are not this scan's and are ignored.
     */
    static final class Collector {
        private final CertificateFactory x509;
        private final Thread scanning;
        private final Map<String, TrustedEntry> entries = new LinkedHashMap<String, TrustedEntry>();
        private final List<RejectedEntry> rejected = new ArrayList<RejectedEntry>();

        Collector(CertificateFactory x509, Thread scanning) {
            this.x509 = x509;
            this.scanning = scanning;
        }

        /** A later entry with the same alias replaces an earlier one. */
        void add(char[] alias, long date, byte[] encoded) {
            if (Thread.currentThread() != scanning) return;
            String name = alias == null ? null : new String(alias);
            try {
                if (name == null) throw new CertificateException("entry without an alias");
                if (encoded == null) throw new CertificateException("entry without certificate bytes");
                Certificate certificate = x509.generateCertificate(new ByteArrayInputStream(encoded));
                entries.put(name, new TrustedEntry(certificate, new Date(date)));
            } catch (CertificateException e) {
                rejected.add(new RejectedEntry(name, date, e));
            } catch (RuntimeException e) {
                // Some malformed encodings escape the parser as unchecked exceptions.
                rejected.add(new RejectedEntry(name, date, new CertificateException(e)));
            }
        }

        KeychainScan complete() {
            return new KeychainScan(entries, rejected);
        }
    }
}
