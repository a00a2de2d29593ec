package com.fendrel.vm.channel.impl;

/**
 * A message as Java code sends it into a channel and receives it back: a
 * {@link VMMessageHeaderImpl} and a {@link VMMessageBodyImpl}.
 *
 * <p>Instances are immutable. The native binding reads the fields
 * {@code header} and {@code body} by name and builds received messages with
 * the constructor {@link #VMMessageImpl(int, int, int, int, int, byte[])};
 * names, types and that constructor's signature must stay as they are.
 */
public final class VMMessageImpl {
    private final VMMessageHeaderImpl header;
    private final VMMessageBodyImpl body;

    /**
     * @param header the header; not null
     * @param body   the body; not null
     */
    public VMMessageImpl(VMMessageHeaderImpl header, VMMessageBodyImpl body) {
        if (header == null) {
            throw new NullPointerException("header");
        }
        if (body == null) {
            throw new NullPointerException("body");
        }
        this.header = header;
        this.body = body;
    }

    /**
     * A message from its header values and body bytes.
     *
     * @param type       see {@link VMMessageHeaderImpl#getType()}
     * @param priority   see {@link VMMessageHeaderImpl#getPriority()}
     * @param channelID  see {@link VMMessageHeaderImpl#getChannelID()}
     * @param messageID  see {@link VMMessageHeaderImpl#getMessageID()}
     * @param attributes see {@link VMMessageHeaderImpl#getAttributes()}
     * @param data       the body bytes, copied; null for an empty body
     */
    public VMMessageImpl(int type, int priority, int channelID, int messageID, int attributes, byte[] data) {
        this(new VMMessageHeaderImpl(type, priority, channelID, messageID, attributes), new VMMessageBodyImpl(data));
    }

    /** @return the header */
    public VMMessageHeaderImpl getHeader() {
        return header;
    }

    /** @return the body */
    public VMMessageBodyImpl getBody() {
        return body;
    }

    @Override
    public boolean equals(Object other) {
        if (this == other) {
            return true;
        }
        if (!(other instanceof VMMessageImpl)) {
            return false;
        }
        VMMessageImpl that = (VMMessageImpl) other;
        return header.equals(that.header) && body.equals(that.body);
    }

    @Override
    public int hashCode() {
        return 31 * header.hashCode() + body.hashCode();
    }

    @Override
    public String toString() {
        return "VMMessageImpl{header=" + header + ", body=" + body + "}";
    }
}
