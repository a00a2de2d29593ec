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
        setRacyInterrupts(Interruptor.loseRacingInterrupts(System.getProperty("java.version", "")));
    }

    /** Statuses, as the native library defines them. */
    static final int ADDED = 0;
    static final int RECEIVED = 0;
    static final int TIMED_OUT = 1;
    static final int SHUT_DOWN = 2;
    static final int DELETED = 3;
    static final int INVALID_ARGUMENT = 4;
    static final int EMPTY = 5;
    static final int OUT_OF_MEMORY = 6;
    static final int CANCELLED = 7;
    static final int WOKEN = 8;

    private NativePipes() {
    }

    /**
     * Tells the native waits, once, whether an interrupt racing with the
     * interruptor's {@code begin()} can be lost, so that a wait must check
     * the interrupt status once after a short first wait.
     */
    private static native void setRacyInterrupts(boolean racy);

    // ---- the calling thread's transfer area -------------------------------

    /** @return the address of a direct buffer */
    static native long addressOf(java.nio.ByteBuffer buffer);

    /** Readies the native waiter of a new transfer area. */
    static native void initWaiter(long area);

    /** Ends the current or next wait through the transfer area's waiter. Never blocks. */
    static native void cancelWait(long area);

    /** Drops what a try with {@code keepPin} left in the area for a wait that never ran. */
    static native void releaseHeld(long area);

    // ---- receiving ---------------------------------------------------------

    /**
     * Takes the first message of a pipe without waiting, into the transfer
     * area at {@code area}, whose status tells what happened. With
     * {@code keepPin}, a pipe found empty begins a receive that
     * {@link #awaitReceive} goes on with, on the same channel, seeing any
     * shutdown or delete since this look: the channel stays pinned in the
     * area until then, or until {@link #releaseHeld}.
     *
     * @return the body when it is larger than {@link TransferArea#CAPACITY}, else null
     * @throws OutOfMemoryError when that body array cannot be had; the
     *         message then stays queued
     */
    static native byte[] receive(int channelID, int pipeIndex, long area, boolean keepPin);

    /**
     * Goes on with the receive that {@link #receive} began with
     * {@code keepPin}, waiting at most {@code timeoutNanos} (negative:
     * without limit); ended by an interrupt of {@code thread} (the calling
     * thread) through its {@link Interruptor}: the status is then
     * {@link #CANCELLED} and nothing was taken. Releases the pin.
     */
    static native byte[] awaitReceive(int pipeIndex, long timeoutNanos, long area, Thread thread);

    /**
     * A copy of the first message of a pipe, which stays queued, into the
     * transfer area as for {@link #receive}.
     *
     * @throws OutOfMemoryError when memory for the copy cannot be had
     */
    static native byte[] peek(int channelID, int pipeIndex, long area);

    /**
     * Takes up to {@code max} messages that are queued now, in one crossing,
     * into a {@link MessageBatch}'s arrays.
     *
     * @return how many were taken; a shutdown or deletion ends the drain early
     * @throws OutOfMemoryError when a body array cannot be had; that message stays queued
     */
    static native int drain(int channelID, int pipeIndex, int max, int[] headers, byte[][] bodies);

    // ---- sending -----------------------------------------------------------

    /**
     * Queues the message in the transfer area, its body in {@code large}
     * when that is not null, if there is room now. With {@code keepPin}, a
     * full pipe leaves its channel pinned and the message in the area for
     * {@link #awaitSend}, or until {@link #releaseHeld}.
     *
     * @return {@link #ADDED}, or {@link #TIMED_OUT} or {@link #DELETED} with nothing queued
     * @throws OutOfMemoryError when native memory for the message cannot be had
     */
    static native int send(int channelID, int pipeIndex, byte[] large, long area, boolean keepPin);

    /**
     * Goes on with the send that {@link #send} began with {@code keepPin},
     * waiting at most {@code timeoutNanos} for room (negative: without
     * limit), interruptibly as {@link #awaitReceive}. Releases the pin. The
     * area's status is then {@link #ADDED}, or {@link #TIMED_OUT},
     * {@link #DELETED} or {@link #CANCELLED} with nothing queued.
     */
    static native void awaitSend(int pipeIndex, long timeoutNanos, long area, Thread thread);

    // ---- control and inspection ------------------------------------------

    static native int size(int channelID, int pipeIndex);

    static native void clear(int channelID, int pipeIndex);

    static native void shutdown(int channelID, int pipeIndex);

    static native void startup(int channelID, int pipeIndex);

    static native void deleteChannel(int channelID);

    /** @return a new readiness descriptor of the pipe, or minus the errno value */
    static native int openEvents(int channelID, int pipeIndex);

    static native void setCapacity(int channelID, int pipeIndex, int maxMessages, long maxBytes);

    /**
     * Reads the pipe's statistics, at one instant, into {@code fields} (10
     * elements, in the order of {@link PipeStats}'s constructor).
     *
     * @return {@link #RECEIVED}, or {@link #DELETED} with the fields zeroed
     */
    static native int stats(int channelID, int pipeIndex, long[] fields);

    /**
     * Copies of every queued message in take order, taken at one instant,
     * into a {@link MessageBatch}'s arrays when they all fit.
     *
     * @return how many were queued; more than the batch holds means nothing was stored
     * @throws OutOfMemoryError when memory for the copies cannot be had
     */
    static native int snapshot(int channelID, int pipeIndex, int[] headers, byte[][] bodies);

    /**
     * Removes the first queued message equal to the one in the transfer
     * area, its body in {@code large} when that is not null, atomically.
     *
     * @return {@link #RECEIVED} when one was removed, else {@link #EMPTY} or {@link #DELETED}
     */
    static native int removeEqual(int channelID, int pipeIndex, byte[] large, long area);

    // ---- selectors ---------------------------------------------------------

    /** @return a new native selector, or 0 when native memory ran out */
    static native long selectorNew();

    static native void selectorFree(long selector);

    /** @return the key of the registration, or 0 when native memory ran out */
    static native long selectorAdd(long selector, int channelID, int pipeIndex, long token);

    static native void selectorRemove(long key);

    /** @return whether the channel of the key's pipe was deleted */
    static native boolean selectorKeyDeleted(long key);

    /**
     * Waits until a registered pipe is ready, interruptibly as
     * {@link #awaitReceive} unless {@code timeoutNanos} is 0.
     *
     * @return how many tokens of ready pipes were written to {@code tokens},
     *         or minus {@link #TIMED_OUT}, {@link #WOKEN} or {@link #CANCELLED}
     */
    static native int selectorWait(long selector, long timeoutNanos, long area, long[] tokens, Thread thread);

    static native void selectorWakeup(long selector);
}
