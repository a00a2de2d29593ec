package com.fendrel.security;

import java.security.cert.CertificateException;

/** A keychain entry that a scan reported but the key store could not take. */
public final class RejectedEntry {
    private final String alias;
    private final long date;
    private final CertificateException reason;

    RejectedEntry(String alias, long date, CertificateException reason) {
        this.alias = alias;
        this.date = date;
        this.reason = reason;
    }

    /** @return the alias as reported; null if the entry came without one */
    public String alias() {
        return alias;
    }

    /** @return the creation date as reported, in milliseconds since the epoch */
    public long date() {
        return date;
    }

    /** @return why the entry was skipped */
    public CertificateException reason() {
        return reason;
    }

    @Override
    public String toString() {
        return "RejectedEntry[" + alias + ": " + reason.getMessage() + "]";
    }
}
