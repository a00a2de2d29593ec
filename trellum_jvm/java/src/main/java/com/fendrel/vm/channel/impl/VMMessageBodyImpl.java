package com.fendrel.vm.channel.impl;

import java.util.Arrays;

/**
 * The body of a channel message: bytes the channels carry without looking
 * at them.
 *
 * <p>Instances are immutable: the bytes are copied on the way in and on the
 * way out. A body made from {@code null} holds no bytes and is equal to an
 * empty body; the native binding delivers either as an empty array. The
 * binding reads the {@code byte[]} field {@code data} by name, so its name
 * and type must stay as they are.
 */
public final class VMMessageBodyImpl {
    private static final byte[] NO_BYTES = new byte[0];
    /** How many bytes {@link #toString()} shows. */
    private static final int SHOWN_BYTES = 16;

    /** The bytes, or null for none. */
    private final byte[] data;

    /**
     * @param data the body bytes, copied; null for an empty body
     */
    public VMMessageBodyImpl(byte[] data) {
        this.data = data == null ? null : data.clone();
    }

    /** @return a copy of the bytes; never null */
    public byte[] getData() {
        return data == null ? NO_BYTES.clone() : data.clone();
    }

    /** @return the number of bytes */
    public int getLength() {
        return data == null ? 0 : data.length;
    }

    private byte[] bytes() {
        return data == null ? NO_BYTES : data;
    }

    @Override
    public boolean equals(Object other) {
        if (this == other) {
            return true;
        }
        if (!(other instanceof VMMessageBodyImpl)) {
            return false;
        }
        return Arrays.equals(bytes(), ((VMMessageBodyImpl) other).bytes());
    }

    @Override
    public int hashCode() {
        return Arrays.hashCode(bytes());
    }

    @Override
    public String toString() {
        byte[] b = bytes();
        StringBuilder s = new StringBuilder("VMMessageBodyImpl{length=").append(b.length).append(", data=");
        for (int i = 0; i < Math.min(b.length, SHOWN_BYTES); i++) {
            s.append(String.format("%02x", b[i] & 0xff));
        }
        if (b.length > SHOWN_BYTES) {
            s.append("...");
        }
        return s.append('}').toString();
    }
}
