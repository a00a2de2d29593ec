package com.fendrel.security;

import java.security.Provider;

/** Offers {@link AndroidKeyStore} as key store type {@value #KEY_STORE_TYPE}. */
public final class KeychainProvider extends Provider {
    private static final long serialVersionUID = 1L;

    /** The provider's name. */
    public static final String NAME = "DalvikKeychain";
    /** The key store type to ask {@link java.security.KeyStore#getInstance(String, Provider)} for. */
    public static final String KEY_STORE_TYPE = "DalvikKeychain";

    /** A provider to register, or to hand to {@code KeyStore.getInstance}. */
    @SuppressWarnings("deprecation")  // the String-version constructor is Java 9's; Android has none
    public KeychainProvider() {
        super(NAME, 1.0, "Trusted certificates of the Dalvik VM's keychain");
        put("KeyStore." + KEY_STORE_TYPE, AndroidKeyStore.class.getName());
    }
}
