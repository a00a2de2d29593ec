package com.fendrel.security;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;

/** The DER certificates in the folder named by the system property cassowin.testdata. */
public final class TestCertificates {
    private TestCertificates() {}

    public static byte[] bytes(String name) throws IOException {
        String folder = System.getProperty("cassowin.testdata");
        if (folder == null) throw new IllegalStateException("run with -Dcassowin.testdata=<folder of .der files>");
        Path file = Paths.get(folder, name + ".der");
        return Files.readAllBytes(file);
    }

    public static X509Certificate parse(byte[] encoded) throws CertificateException {
        return (X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(encoded));
    }
}
