package com.fendrel.security;

import java.security.Provider;

/** Offers {@link AndroidKeyStore} as key store type {@value #KEY_STORE_TYPE}. */
public final class KeychainProvider extends Provider {
    private static final long serialVersionUID = 1L;

    public static final String NAME = "DalvikKeychain";
    public static final String KEY_STORE_TYPE = "DalvikKeychain";

    public KeychainProvider() {
        super(NAME, "1.0", "Trusted certificates of the Dalvik VM's keychain");
        put("KeyStore." + KEY_STORE_TYPE, AndroidKeyStore.class.getName());
    }
}
