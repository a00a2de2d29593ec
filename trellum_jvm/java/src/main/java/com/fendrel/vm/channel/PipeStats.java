package com.fendrel.vm.channel;

/**
 * A {@link ChannelPipe}'s state and counters, read at one instant under the
 * pipe's lock: what a user who suspects a backlog wants to see.
 *
 * <p>Instances are immutable values.
 */
public final class PipeStats {
    private final int size;
    private final long bytes;
    private final int highWaterSize;
    private final int maxMessages;
    private final long maxBytes;
    private final long added;
    private final long removed;
    private final int waitingReceivers;
    private final int waitingSenders;
    private final boolean shutDown;

    PipeStats(long[] fields) {
        this.size = (int) fields[0];
        this.bytes = fields[1];
        this.highWaterSize = (int) fields[2];
        this.maxMessages = (int) fields[3];
        this.maxBytes = fields[4];
        this.added = fields[5];
        this.removed = fields[6];
        this.waitingReceivers = (int) fields[7];
        this.waitingSenders = (int) fields[8];
        this.shutDown = fields[9] != 0;
    }

    /** @return the number of messages queued */
    public int size() {
        return size;
    }

    /** @return the body bytes queued */
    public long bytes() {
        return bytes;
    }

    /** @return the most messages queued at once since the pipe was made */
    public int highWaterSize() {
        return highWaterSize;
    }

    /** @return the limit on queued messages, 0 for none */
    public int maxMessages() {
        return maxMessages;
    }

    /** @return the limit on queued body bytes, 0 for none */
    public long maxBytes() {
        return maxBytes;
    }

    /** @return the messages ever queued */
    public long added() {
        return added;
    }

    /** @return the messages ever taken; those discarded by a clear or a delete do not count */
    public long removed() {
        return removed;
    }

    /** @return the threads waiting for a message now */
    public int waitingReceivers() {
        return waitingReceivers;
    }

    /** @return the threads waiting for room now */
    public int waitingSenders() {
        return waitingSenders;
    }

    /** @return whether the pipe is shut down */
    public boolean isShutDown() {
        return shutDown;
    }

    @Override
    public String toString() {
        return "PipeStats[size=" + size + ", bytes=" + bytes + ", highWaterSize=" + highWaterSize
                + ", maxMessages=" + maxMessages + ", maxBytes=" + maxBytes + ", added=" + added + ", removed="
                + removed + ", waitingReceivers=" + waitingReceivers + ", waitingSenders=" + waitingSenders
                + ", shutDown=" + shutDown + "]";
    }
}
