package com.fendrel.vm.channel;

/**
 * Thrown by the receiving methods of {@link ChannelPipe} when the pipe is shut
 * down, or when its channel is deleted, before a message could be taken.
 * Timing out is not an exception: a timed {@code poll} returns {@code null}.
 *
 * <p>A receiver blocked at the moment of a {@link ChannelPipe#shutdown()}
 * gets this exception even if {@link ChannelPipe#startup()} follows at once;
 * receives that start after the startup wait as usual.
 */
public class PipeShutdownException extends IllegalStateException {
    private static final long serialVersionUID = 1L;

    /** Whether the channel was deleted, rather than the pipe shut down. */
    private final boolean channelDeleted;

    /**
     * @param message        the detail message
     * @param channelDeleted whether the channel was deleted, rather than the
     *                       pipe shut down
     */
    public PipeShutdownException(String message, boolean channelDeleted) {
        super(message);
        this.channelDeleted = channelDeleted;
    }

    /**
     * Tells a deleted channel from a shut-down pipe.
     *
     * @return true when the channel was deleted, false when the pipe was shut down
     */
    public boolean isChannelDeleted() {
        return channelDeleted;
    }
}
