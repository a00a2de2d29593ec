package com.fendrel.vm.channel;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.Collection;
import java.util.Objects;
import java.util.concurrent.TimeUnit;

/**
 * One pipe of a {@link MessageChannel}: an unbounded queue of messages ordered
 * by priority (lower values first, first in first out among equal
 * priorities), shared by every thread of the process and by native code.
 *
 * <p>The methods follow {@link java.util.concurrent.BlockingQueue}:
 * {@link #put}/{@link #offer} never wait (the pipe is unbounded),
 * {@link #take} waits for a message, {@link #poll(long, TimeUnit)} waits at
 * most a given time and returns {@code null} when none came, and
 * {@link #poll()}, {@link #peek()} and {@link #drainTo} never wait. The
 * waiting methods respond to {@link Thread#interrupt()} by throwing
 * {@link InterruptedException} with the interrupt status cleared; a message
 * already taken off the pipe at that moment is returned rather than lost,
 * and the interrupt status stays set for the caller to see.
 *
 * <p>Beyond a {@code BlockingQueue}, a pipe can be {@linkplain #shutdown()
 * shut down}: receivers blocked at that moment, and receives while it stays
 * shut down, throw {@link PipeShutdownException}; messages stay queued and
 * are delivered after {@link #startup()}. Deleting the channel ends every
 * receive in the same way, with {@link PipeShutdownException#isChannelDeleted()}
 * true. Messages go in and come out as {@link VMMessageImpl} objects; what
 * comes out is always a new object.
 *
 * <p>Instances are immutable and may be used from any thread.
 */
public final class ChannelPipe {
    /**
     * Waits are taken in slices of at most this length, between which the
     * thread's interrupt status is checked; a message wakes the receiver at
     * once whatever the slice.
     */
    private static final long SLICE_NANOS = TimeUnit.MILLISECONDS.toNanos(20);

    /** Messages taken per crossing into native code by {@link #drainTo}. */
    private static final int DRAIN_BATCH = 64;
    private static final int HEADER_INTS = 5;

    private final MessageChannel channel;
    private final PipeSide side;

    ChannelPipe(MessageChannel channel, PipeSide side) {
        this.channel = channel;
        this.side = side;
    }

    /** @return the channel this pipe belongs to */
    public MessageChannel channel() {
        return channel;
    }

    /** @return which of the channel's pipes this is */
    public PipeSide side() {
        return side;
    }

    /**
     * Queues a copy of the message behind every queued message of lower or
     * equal priority, and wakes one waiting receiver. Never waits. A shut-down
     * pipe still queues; a deleted channel is created anew.
     *
     * @param message the message
     * @throws NullPointerException when the message, its header or its body is null
     * @throws OutOfMemoryError     when native memory for the message cannot
     *                              be had; nothing is queued
     */
    public void put(VMMessageImpl message) {
        TransferArea.ofThread().put(channel.id(), side.index(), Objects.requireNonNull(message, "message"));
    }

    /**
     * Queues the message as {@link #put} does.
     *
     * @param message the message
     * @return true: the pipe is unbounded
     * @throws NullPointerException when the message, its header or its body is null
     * @throws OutOfMemoryError     when native memory for the message cannot be had
     */
    public boolean offer(VMMessageImpl message) {
        put(message);
        return true;
    }

    /**
     * Takes the first message, waiting as long as the pipe is empty.
     *
     * @return the first message
     * @throws InterruptedException  when interrupted before or while waiting
     * @throws PipeShutdownException when the pipe is or becomes shut down, or
     *                               the channel deleted, before a message comes
     */
    public VMMessageImpl take() throws InterruptedException {
        return receive(-1);
    }

    /**
     * Takes the first message, waiting at most the given time for one to come.
     *
     * @param timeout how long to wait; zero or less does not wait
     * @param unit    the unit of {@code timeout}
     * @return the first message, or null when none came in time
     * @throws InterruptedException  when interrupted before or while waiting
     * @throws PipeShutdownException when the pipe is or becomes shut down, or
     *                               the channel deleted, before a message comes
     */
    public VMMessageImpl poll(long timeout, TimeUnit unit) throws InterruptedException {
        return receive(Math.max(0, unit.toNanos(timeout)));
    }

    /**
     * Takes the first message if there is one. Never waits.
     *
     * @return the first message, or null when the pipe is empty
     * @throws PipeShutdownException when the pipe is shut down or the channel deleted
     */
    public VMMessageImpl poll() {
        TransferArea area = TransferArea.ofThread();
        byte[] large = NativePipes.receive(channel.id(), side.index(), 0, area.address, TransferArea.CAPACITY);
        return area.status() == NativePipes.RECEIVED ? area.message(large) : emptyOrThrow(area.status());
    }

    /**
     * A copy of the first message, which stays queued. Never waits; a
     * shut-down pipe is peeked like any other.
     *
     * @return a new object equal to the first message, or null when the pipe is empty
     * @throws OutOfMemoryError when native memory for the copy cannot be had
     */
    public VMMessageImpl peek() {
        TransferArea area = TransferArea.ofThread();
        byte[] large = NativePipes.peek(channel.id(), side.index(), area.address, TransferArea.CAPACITY);
        return area.status() == NativePipes.RECEIVED ? area.message(large) : null;
    }

    /**
     * Moves every message that can be taken without waiting into
     * {@code target}, first message first.
     *
     * @param target where the messages go
     * @return how many were moved; 0 for an empty or shut-down pipe
     * @throws NullPointerException when {@code target} is null
     */
    public int drainTo(Collection<? super VMMessageImpl> target) {
        return drainTo(target, Integer.MAX_VALUE);
    }

    /**
     * Moves at most {@code maxElements} messages that can be taken without
     * waiting into {@code target}, first message first. A shutdown or a
     * deletion ends the drain without an exception; what was moved stays
     * moved. Should {@code target.add} throw, the message it refused is
     * lost, as with {@link java.util.concurrent.BlockingQueue#drainTo}.
     *
     * @param target      where the messages go
     * @param maxElements the most to move
     * @return how many were moved
     * @throws NullPointerException when {@code target} is null
     */
    public int drainTo(Collection<? super VMMessageImpl> target, int maxElements) {
        Objects.requireNonNull(target, "target");
        int moved = 0;
        int[] headers = null;
        byte[][] bodies = null;
        while (moved < maxElements) {
            int batch = Math.min(maxElements - moved, DRAIN_BATCH);
            if (bodies == null || bodies.length < batch) {
                headers = new int[HEADER_INTS * batch];
                bodies = new byte[batch][];
            }
            int taken = NativePipes.drain(channel.id(), side.index(), batch, headers, bodies);
            for (int i = 0; i < taken; i++) {
                int at = HEADER_INTS * i;
                target.add(new VMMessageImpl(headers[at], headers[at + 1], headers[at + 2], headers[at + 3],
                        headers[at + 4], bodies[i]));
                bodies[i] = null;
            }
            moved += taken;
            if (taken < batch) {
                break;
            }
        }
        return moved;
    }

    /** @return the number of queued messages */
    public int size() {
        return TrellumJNI.sizeOfChannel(channel.id(), side.pipeId());
    }

    /** @return whether no message is queued */
    public boolean isEmpty() {
        return size() == 0;
    }

    /** Discards every queued message. Waiting receivers keep waiting. */
    public void clear() {
        TrellumJNI.clearChannel(channel.id(), side.pipeId());
    }

    /**
     * Shuts the pipe down: every receiver blocked on it now throws
     * {@link PipeShutdownException} (even if {@link #startup()} follows at
     * once), and so does every receive until {@link #startup()}. Queued
     * messages stay queued, and {@link #put} still queues.
     */
    public void shutdown() {
        TrellumJNI.shutdown(channel.id(), side.pipeId());
    }

    /** Undoes {@link #shutdown()}: receives deliver the queued messages again. */
    public void startup() {
        TrellumJNI.startup(channel.id(), side.pipeId());
    }

    /**
     * Takes the first message, waiting at most {@code timeoutNanos}, or
     * without limit when negative.
     */
    private VMMessageImpl receive(long timeoutNanos) throws InterruptedException {
        if (Thread.interrupted()) {
            throw new InterruptedException();
        }
        TransferArea area = TransferArea.ofThread();
        // A wait of one slice at most is timed by the native wait alone; only
        // a longer one reads the clock.
        final boolean sliced = timeoutNanos > SLICE_NANOS;
        final long deadline = sliced ? System.nanoTime() + timeoutNanos : 0;
        long remaining = timeoutNanos;
        for (;;) {
            long slice = remaining < 0 || remaining > SLICE_NANOS ? SLICE_NANOS : remaining;
            byte[] large = NativePipes.receive(channel.id(), side.index(), slice, area.address, TransferArea.CAPACITY);
            int status = area.status();
            if (status == NativePipes.RECEIVED) {
                return area.message(large);  // taken: returned even if an interrupt came meanwhile
            }
            if (status != NativePipes.TIMED_OUT) {
                return emptyOrThrow(status);
            }
            if (timeoutNanos >= 0) {
                remaining = sliced ? deadline - System.nanoTime() : 0;
                if (remaining <= 0) {
                    return null;
                }
            }
            if (Thread.interrupted()) {
                throw new InterruptedException();
            }
        }
    }

    private VMMessageImpl emptyOrThrow(int status) {
        switch (status) {
            case NativePipes.SHUT_DOWN:
                throw new PipeShutdownException(this + " is shut down", false);
            case NativePipes.DELETED:
                throw new PipeShutdownException(channel + " was deleted", true);
            default:
                return null;
        }
    }

    @Override
    public boolean equals(Object other) {
        if (!(other instanceof ChannelPipe)) {
            return false;
        }
        ChannelPipe that = (ChannelPipe) other;
        return channel.equals(that.channel) && side == that.side;
    }

    @Override
    public int hashCode() {
        return 31 * channel.hashCode() + side.hashCode();
    }

    @Override
    public String toString() {
        return "ChannelPipe[" + channel.id() + ", " + side + "]";
    }
}
