package com.fendrel.vm.channel;

/**
 * The native path under {@link ChannelPipe}: primitives and byte arrays in
 * and out, so that Java builds the message objects itself.
 */
final class NativePipes {
    static {
        // The channel library first: older Android releases do not load a
        // library's own dependencies from the application's folder.
        System.loadLibrary("trellum");
        System.loadLibrary("trellum_jvm");
    }

    /** Statuses, as the native library defines them. */
    static final int RECEIVED = 0;
    static final int TIMED_OUT = 1;
    static final int SHUT_DOWN = 2;
    static final int DELETED = 3;
    static final int INVALID_ARGUMENT = 4;
    static final int EMPTY = 5;

    /** Length of the array that receive and peek fill: five header integers, then the status. */
    static final int HEADER_AND_STATUS = 6;
    static final int STATUS = 5;

    private NativePipes() {
    }

    /**
     * Queues a message built from the header integers and a copy of
     * {@code body} (null: empty).
     *
     * @throws OutOfMemoryError when native memory for the message cannot be had
     */
    static native void put(int channelID, int pipeIndex, int type, int priority, int headerChannelID,
            int messageID, int attributes, byte[] body);

    /**
     * Takes up to {@code max} messages that are queued now, in one crossing:
     * message i's header goes to {@code headers[5i..5i+4]}, its body to
     * {@code bodies[i]}.
     *
     * @return how many were taken; a shutdown or deletion ends the drain early
     * @throws OutOfMemoryError when a body array cannot be had; that message stays queued
     */
    static native int drain(int channelID, int pipeIndex, int max, int[] headers, byte[][] bodies);

    /**
     * Takes the first message of a pipe, waiting at most {@code timeoutNanos}
     * (0: not at all; negative: without limit).
     *
     * @return the body, with the header and the status in
     *         {@code headerAndStatus}; or null with only the status set
     * @throws OutOfMemoryError when the body array cannot be had; the message
     *         then stays queued
     */
    static native byte[] receive(int channelID, int pipeIndex, long timeoutNanos, int[] headerAndStatus);

    /**
     * A copy of the first message of a pipe, which stays queued.
     *
     * @return the body, with the header and the status in
     *         {@code headerAndStatus}; or null with only the status set
     * @throws OutOfMemoryError when memory for the copy cannot be had
     */
    static native byte[] peek(int channelID, int pipeIndex, int[] headerAndStatus);
}
