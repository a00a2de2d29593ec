package com.fendrel.vm.channel.impl;

/**
 * The fixed header of a channel message: five integers, none of which the
 * channels interpret except {@code priority}.
 *
 * <p>Instances are immutable. The native binding reads the five {@code int}
 * fields by name, so their names and types must stay as they are.
 */
public final class VMMessageHeaderImpl {
    private final int type;
    private final int priority;
    private final int channelID;
    private final int messageID;
    private final int attributes;

    /**
     * @param type       chosen by the sender; carried unchanged
     * @param priority   lower values leave a pipe first; equal values leave in
     *                   the order they were added
     * @param channelID  the channel as the sender states it; carried unchanged
     *                   and never used to route the message
     * @param messageID  chosen by the sender; carried unchanged
     * @param attributes chosen by the sender; carried unchanged
     */
    public VMMessageHeaderImpl(int type, int priority, int channelID, int messageID, int attributes) {
        this.type = type;
        this.priority = priority;
        this.channelID = channelID;
        this.messageID = messageID;
        this.attributes = attributes;
    }

    /** @return the message type */
    public int getType() {
        return type;
    }

    /** @return the priority; lower values are delivered first */
    public int getPriority() {
        return priority;
    }

    /** @return the channel ID the sender stated */
    public int getChannelID() {
        return channelID;
    }

    /** @return the message ID */
    public int getMessageID() {
        return messageID;
    }

    /** @return the attributes */
    public int getAttributes() {
        return attributes;
    }

    @Override
    public boolean equals(Object other) {
        if (this == other) {
            return true;
        }
        if (!(other instanceof VMMessageHeaderImpl)) {
            return false;
        }
        VMMessageHeaderImpl that = (VMMessageHeaderImpl) other;
        return type == that.type
                && priority == that.priority
                && channelID == that.channelID
                && messageID == that.messageID
                && attributes == that.attributes;
    }

    @Override
    public int hashCode() {
        int h = type;
        h = 31 * h + priority;
        h = 31 * h + channelID;
        h = 31 * h + messageID;
        return 31 * h + attributes;
    }

    @Override
    public String toString() {
        return "VMMessageHeaderImpl{type=" + type
                + ", priority=" + priority
                + ", channelID=" + channelID
                + ", messageID=" + messageID
                + ", attributes=" + attributes + "}";
    }
}
