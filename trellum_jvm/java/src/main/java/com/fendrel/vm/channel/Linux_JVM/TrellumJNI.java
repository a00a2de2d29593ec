package com.fendrel.vm.channel.Linux_JVM;

import com.fendrel.vm.channel.MessageChannel;
import com.fendrel.vm.channel.PipeShutdownException;
import com.fendrel.vm.channel.PipeSide;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.concurrent.TimeUnit;

/**
 * Process-wide message channels for Java code, implemented by the native
 * libraries {@code trellum} (the channels) and {@code trellum_jvm} (these
 * methods).
 *
 * <p>A channel is named by any {@code int} ID, zero and negative values
 * included, and holds two independent pipes. A pipe is a queue ordered by
 * message priority (lower values first, first in first out among equal
 * priorities) with a blocking receive. Every method takes a pipe ID: 17
 * addresses one pipe of the channel, every other value (0, 1, 18, -1, ...)
 * the other.
 *
 * <p>Every method except {@link #deleteChannel(int)} creates the channel when
 * the ID was never used, so none of them fails for an unknown ID. Channels
 * are shared by all threads and by native code in the same process, and live
 * until {@link #deleteChannel(int)}. Any thread may call any method, and any
 * method may race with {@link #deleteChannel(int)} of the same ID.
 *
 * <p>{@link MessageChannel} offers the same channels through an API in the
 * style of {@code java.util.concurrent}.
 */
public final class TrellumJNI {
    static {
        // The channel library first: older Android releases do not load a
        // library's own dependencies from the application's folder.
        System.loadLibrary("trellum");
        System.loadLibrary("trellum_jvm");
    }

    private TrellumJNI() {
    }

    /**
     * Creates the channel unless it exists.
     *
     * @param channelID the channel
     * @throws NoClassDefFoundError when {@link VMMessageImpl} cannot be found
     *         through this class's loader
     */
    public static native void createChannel(int channelID);

    /**
     * Deletes the channel and every message queued in it; an unknown ID is
     * not an error. Receivers blocked on either pipe, in
     * {@link #removeMessageFromChannel(int, int)} or
     * {@link #pollMessageFromChannel(int, int, long, TimeUnit)}, return null
     * at once. Returns without waiting for other threads. Calls on the ID made
     * afterwards use a new, empty channel; calls racing with the delete act
     * on either the old channel or the new one.
     *
     * @param channelID the channel
     */
    public static native void deleteChannel(int channelID);

    /**
     * Queues a copy of the message behind every queued message of lower or
     * equal priority and wakes one receiver blocked on the pipe. A pipe that
     * is shut down still queues. A full bounded pipe (see
     * {@code ChannelPipe.setCapacity}) makes this wait for room, without
     * limit and not interruptibly; deleting the channel ends the wait and
     * discards the message.
     *
     * @param channelID the channel
     * @param pipeID    the pipe: 17 for one, anything else for the other
     * @param message   the message; its header's channel ID is carried as it
     *                  is and need not equal {@code channelID}
     * @throws NullPointerException when the message, its header or its body
     *         is null; nothing is queued
     * @throws OutOfMemoryError when native memory for the message cannot be
     *         had; nothing is queued
     */
    public static native void addMessageToChannel(int channelID, int pipeID, VMMessageImpl message);

    /**
     * Takes the first message off the pipe, waiting while the pipe is empty
     * and running.
     *
     * @param channelID the channel
     * @param pipeID    the pipe: 17 for one, anything else for the other
     * @return the first message; or null, at once, when the pipe is shut
     *         down (queued messages stay queued) or the channel deleted, and
     *         when either happens while waiting
     *         (even if a startup follows at once)
     * @throws OutOfMemoryError when the Java object cannot be built; the
     *         message then stays first in the pipe
     */
    public static native VMMessageImpl removeMessageFromChannel(int channelID, int pipeID);

    /**
     * Takes the first message off the pipe, waiting at most the given time
     * for one to come. Unlike {@link #removeMessageFromChannel(int, int)} the
     * wait can be given up by interrupting the thread. A message already
     * taken off the pipe when an interrupt comes is returned, not lost; the
     * interrupt status then stays set.
     *
     * @param channelID the channel
     * @param pipeID    the pipe: 17 for one, anything else for the other
     * @param timeout   how long to wait; zero or less does not wait
     * @param unit      the unit of {@code timeout}
     * @return the first message; or null when none came in time, and at once
     *         when the pipe is or becomes shut down or the channel deleted
     * @throws InterruptedException when interrupted before or while waiting;
     *         the interrupt status is cleared
     * @throws OutOfMemoryError when the Java object cannot be built; the
     *         message then stays in the pipe
     */
    public static VMMessageImpl pollMessageFromChannel(int channelID, int pipeID, long timeout, TimeUnit unit)
            throws InterruptedException {
        try {
            return MessageChannel.of(channelID).pipe(PipeSide.ofPipeId(pipeID)).poll(timeout, unit);
        } catch (PipeShutdownException e) {
            return null;
        }
    }

    /**
     * A copy of the first message, which stays queued. Never waits.
     *
     * @param channelID the channel
     * @param pipeID    the pipe: 17 for one, anything else for the other
     * @return a new object equal to the first message, or null when the pipe
     *         was empty at the moment of the peek
     * @throws OutOfMemoryError only when native memory for the copy cannot be
     *         had
     */
    public static native VMMessageImpl peekMessageFromChannel(int channelID, int pipeID);

    /**
     * @param channelID the channel
     * @param pipeID    the pipe: 17 for one, anything else for the other
     * @return the number of queued messages
     */
    public static native int sizeOfChannel(int channelID, int pipeID);

    /**
     * Discards every queued message. Blocked receivers keep waiting and the
     * shut-down state is unchanged.
     *
     * @param channelID the channel
     * @param pipeID    the pipe: 17 for one, anything else for the other
     */
    public static native void clearChannel(int channelID, int pipeID);

    /**
     * Shuts the pipe down: every receiver blocked on it returns null, and so
     * does every later receive until {@link #startup(int, int)}. Queued
     * messages stay queued, and adding still queues.
     *
     * @param channelID the channel
     * @param pipeID    the pipe: 17 for one, anything else for the other
     */
    public static native void shutdown(int channelID, int pipeID);

    /**
     * Undoes {@link #shutdown(int, int)}: queued messages can be received again.
     *
     * @param channelID the channel
     * @param pipeID    the pipe: 17 for one, anything else for the other
     */
    public static native void startup(int channelID, int pipeID);
}
