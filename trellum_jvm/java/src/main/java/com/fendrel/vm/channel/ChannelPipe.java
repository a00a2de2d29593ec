package com.fendrel.vm.channel;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.io.IOException;
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
 * waiting methods respond to {@link Thread#interrupt()} at once by throwing
 * {@link InterruptedException} with the interrupt status cleared, also when
 * their timeout ran out meanwhile; a message already taken off the pipe at
 * that moment is returned rather than lost, and the interrupt status stays
 * set for the caller to see. A waiting thread uses no processor time: it is
 * woken by a message, a shutdown, a deletion or an interrupt, and by nothing
 * else.
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
        return NativePipes.size(channel.id(), side.index());
    }

    /** @return whether no message is queued */
    public boolean isEmpty() {
        return size() == 0;
    }

    /** Discards every queued message. Waiting receivers keep waiting. */
    public void clear() {
        NativePipes.clear(channel.id(), side.index());
    }

    /**
     * Shuts the pipe down: every receiver blocked on it now throws
     * {@link PipeShutdownException} (even if {@link #startup()} follows at
     * once), and so does every receive until {@link #startup()}. Queued
     * messages stay queued, and {@link #put} still queues.
     */
    public void shutdown() {
        NativePipes.shutdown(channel.id(), side.index());
    }

    /** Undoes {@link #shutdown()}: receives deliver the queued messages again. */
    public void startup() {
        NativePipes.startup(channel.id(), side.index());
    }

    /**
     * Opens a new file descriptor that is readable exactly while this pipe
     * holds a message, is shut down, or its channel is deleted: then a
     * receive would not wait. It suits {@code poll}/{@code epoll}, and on
     * Android {@code MessageQueue.addOnFileDescriptorEventListener} or
     * {@code ALooper_addFd} (wrap it with {@code ParcelFileDescriptor.adoptFd}
     * to hand it to Java code that wants a {@code FileDescriptor}).
     *
     * <p>The caller owns the descriptor and must close it (with
     * {@code close()} from native code, or by closing the
     * {@code ParcelFileDescriptor} that adopted it); it is non-blocking and
     * close-on-exec, and must never be read or written: the library keeps
     * its state. Each call gives a descriptor of its own. Drain the pipe
     * with {@link #poll()} when it becomes readable. After the channel is
     * deleted, the descriptor stays readable until closed, while this pipe,
     * which names its channel by ID, reaches a new channel made under the
     * same ID: with no other thread receiving from the pipe, a readable
     * descriptor with nothing to poll means the deletion. Stop waiting on it
     * then, or a level-triggered wait returns at once, again and again.
     *
     * @return the descriptor
     * @throws IOException when the process has no descriptor to spare
     */
    public int openEventDescriptor() throws IOException {
        int fd = NativePipes.openEvents(channel.id(), side.index());
        if (fd < 0) {
            throw new IOException("cannot open a descriptor for " + this + " (errno " + -fd + ")");
        }
        return fd;
    }

    /**
     * Takes the first message, waiting at most {@code timeoutNanos}, or
     * without limit when negative. One native call: a shutdown or a delete
     * while it waits is seen however the thread is scheduled.
     */
    private VMMessageImpl receive(long timeoutNanos) throws InterruptedException {
        if (Thread.interrupted()) {
            throw new InterruptedException();
        }
        TransferArea area = TransferArea.ofThread();
        byte[] large;
        if (timeoutNanos == 0) {
            large = NativePipes.receive(channel.id(), side.index(), 0, area.address, TransferArea.CAPACITY);
        } else {
            area.interruptor.enter();
            try {
                large = NativePipes.receiveInterruptibly(channel.id(), side.index(), timeoutNanos, area.address,
                        TransferArea.CAPACITY, Thread.currentThread(), Interruptor.RACY_INTERRUPTS);
            } finally {
                area.interruptor.leave();
            }
        }
        switch (area.status()) {
            case NativePipes.RECEIVED:
                return area.message(large);  // taken: returned even if an interrupt came meanwhile
            case NativePipes.CANCELLED:
                Thread.interrupted();
                throw new InterruptedException();
            case NativePipes.TIMED_OUT:
                if (Thread.interrupted()) {
                    throw new InterruptedException();
                }
                return null;
            default:
                return emptyOrThrow(area.status());
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
