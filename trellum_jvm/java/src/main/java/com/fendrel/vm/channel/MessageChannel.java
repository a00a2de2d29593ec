package com.fendrel.vm.channel;

/**
 * A process-wide message channel: a handle on the channel that native code
 * and {@code TrellumJNI} know by the same {@code int} ID.
 *
 * <p>A channel has two independent pipes, {@link #first()} and
 * {@link #second()}; each is a priority queue of messages with blocking and
 * timed receives (see {@link ChannelPipe}). Handles are cheap values: two
 * handles with the same ID are equal and address the same channel. The native
 * channel comes into being on the first operation on either pipe and lives
 * until {@link #delete()}, whoever calls it; after a delete, the next
 * operation creates a new, empty channel under the same ID.
 *
 * <p>Instances are immutable and may be used from any thread.
 *
 * <pre>{@code
 * ChannelPipe requests = MessageChannel.of(42).first();
 * requests.put(new VMMessageImpl(type, priority, 42, id, 0, body));
 * VMMessageImpl next = requests.poll(5, TimeUnit.SECONDS);   // null: nothing came in time
 * }</pre>
 */
public final class MessageChannel {
    private final int id;
    private final ChannelPipe first;
    private final ChannelPipe second;

    private MessageChannel(int id) {
        this.id = id;
        this.first = new ChannelPipe(this, PipeSide.FIRST);
        this.second = new ChannelPipe(this, PipeSide.SECOND);
    }

    /**
     * The channel with this ID. Creates nothing by itself.
     *
     * @param id any {@code int}, zero and negative values included
     * @return a handle on the channel
     */
    public static MessageChannel of(int id) {
        return new MessageChannel(id);
    }

    /** @return the channel's ID */
    public int id() {
        return id;
    }

    /**
     * One of the two pipes.
     *
     * @param side which one
     * @return the pipe
     */
    public ChannelPipe pipe(PipeSide side) {
        return side == PipeSide.FIRST ? first : second;
    }

    /** @return the pipe that legacy pipe ID 17 addresses */
    public ChannelPipe first() {
        return first;
    }

    /** @return the pipe that every other legacy pipe ID addresses */
    public ChannelPipe second() {
        return second;
    }

    /**
     * Deletes the channel: discards the messages queued in both pipes, and
     * makes every receiver blocked on either pipe return at once (with
     * {@link PipeShutdownException} from {@link ChannelPipe}, null from
     * {@code TrellumJNI}). Returns without waiting for other threads. Deleting
     * a channel that does not exist does nothing.
     */
    public void delete() {
        NativePipes.deleteChannel(id);
    }

    @Override
    public boolean equals(Object other) {
        return other instanceof MessageChannel && ((MessageChannel) other).id == id;
    }

    @Override
    public int hashCode() {
        return id;
    }

    @Override
    public String toString() {
        return "MessageChannel[" + id + "]";
    }
}
