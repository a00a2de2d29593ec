package com.fendrel.vm.channel;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.io.IOException;
import java.util.AbstractQueue;
import java.util.ArrayList;
import java.util.Collection;
import java.util.ConcurrentModificationException;
import java.util.Iterator;
import java.util.List;
import java.util.NoSuchElementException;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * One pipe of a {@link MessageChannel}: a {@link BlockingQueue} of messages
 * ordered by priority (lower values first, first in first out among equal
 * priorities), shared by every thread of the process and by native code.
 *
 * <p>A pipe is unbounded until {@link #setCapacity} bounds it by messages,
 * by body bytes, or both. {@link #put} then waits for room,
 * {@link #offer(VMMessageImpl)} refuses, {@link #offer(VMMessageImpl, long,
 * TimeUnit)} waits at most a given time, and {@link #add} throws
 * {@link IllegalStateException} when full. A pipe that holds no message
 * takes any one message, however large. {@link #take} waits for a message,
 * {@link #poll(long, TimeUnit)} waits at most a given time and returns
 * {@code null} when none came, and {@link #poll()}, {@link #peek()} and
 * {@link #drainTo} never wait.
 *
 * <p>The waiting methods respond to {@link Thread#interrupt()} at once by
 * throwing {@link InterruptedException} with the interrupt status cleared,
 * also when their timeout ran out meanwhile; a message already taken off the
 * pipe at that moment is returned rather than lost, and the interrupt status
 * stays set for the caller to see. A waiting thread uses no processor time:
 * it is woken by what it waits for, a shutdown, a deletion or an interrupt,
 * and by nothing else.
 *
 * <p>Beyond a {@code BlockingQueue}, a pipe can be {@linkplain #shutdown()
 * shut down}: receivers blocked at that moment, and receives while it stays
 * shut down, throw {@link PipeShutdownException}; messages stay queued and
 * are delivered after {@link #startup()}. Deleting the channel ends every
 * wait in the same way, with {@link PipeShutdownException#isChannelDeleted()}
 * true. This departs from {@code BlockingQueue}, which knows no such state:
 * the receives ({@link #take}, both {@code poll}s and {@link #remove()})
 * throw it, while {@link #peek}, {@link #element}, {@link #drainTo}, the
 * iterator and the bulk operations see a shut-down pipe's messages as they
 * are. A send that is waiting for room when the channel is deleted throws
 * it too; any other send to a deleted channel makes a new channel.
 *
 * <p>The iterator is weakly consistent: it walks a snapshot of the pipe,
 * taken at one instant, in take order, and never throws
 * {@link ConcurrentModificationException}. Its {@code remove} removes that
 * message if it is still queued. {@link #contains}, {@link #remove(Object)}
 * and the bulk operations compare with {@link VMMessageImpl#equals}; what
 * comes out of a pipe is always a new object, equal to what went in.
 * {@link #toArray()} is a snapshot too.
 *
 * <p>Instances are immutable handles and may be used from any thread; equal
 * handles address the same pipe.
 */
public final class ChannelPipe extends AbstractQueue<VMMessageImpl> implements BlockingQueue<VMMessageImpl> {
    /** Messages taken per crossing into native code by {@link #drainTo}. */
    private static final int DRAIN_BATCH = 64;
    private static final int STATS_FIELDS = 10;

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
     * equal priority, and wakes one waiting receiver, waiting for room while
     * the pipe is full. A shut-down pipe still queues.
     *
     * @param message the message
     * @throws InterruptedException  when interrupted before or while waiting for room
     * @throws PipeShutdownException when the channel is deleted while waiting for room
     * @throws NullPointerException  when the message, its header or its body is null
     * @throws OutOfMemoryError      when native memory for the message cannot
     *                               be had; nothing is queued
     */
    @Override
    public void put(VMMessageImpl message) throws InterruptedException {
        PipeCalls.send(this, checked(message), -1);
    }

    /**
     * Queues the message as {@link #put} does if there is room now.
     *
     * @param message the message
     * @return false, queuing nothing, when the pipe is full
     * @throws NullPointerException when the message, its header or its body is null
     * @throws OutOfMemoryError     when native memory for the message cannot be had
     */
    @Override
    public boolean offer(VMMessageImpl message) {
        return PipeCalls.offer(this, checked(message));
    }

    /**
     * Queues the message as {@link #put} does, waiting at most the given
     * time for room.
     *
     * @param message the message
     * @param timeout how long to wait; zero or less does not wait
     * @param unit    the unit of {@code timeout}
     * @return false, queuing nothing, when no room came in time
     * @throws InterruptedException  when interrupted before or while waiting
     * @throws PipeShutdownException when the channel is deleted while waiting for room
     * @throws NullPointerException  when the message, its header or its body is null
     * @throws OutOfMemoryError      when native memory for the message cannot be had
     */
    @Override
    public boolean offer(VMMessageImpl message, long timeout, TimeUnit unit) throws InterruptedException {
        return PipeCalls.send(this, checked(message), Math.max(0, unit.toNanos(timeout)));
    }

    /**
     * Bounds the pipe. Zero or less means no limit on that measure. Lowering
     * a limit below what is queued drops nothing: sends wait until the pipe
     * is back under it. Raising one lets waiting senders in.
     *
     * @param maxMessages the most messages queued at once
     * @param maxBytes    the most body bytes queued at once; a pipe holding
     *                    no message takes any one message, however large
     */
    public void setCapacity(int maxMessages, long maxBytes) {
        NativePipes.setCapacity(channel.id(), side.index(), maxMessages, maxBytes);
    }

    /** @return the pipe's state and counters, read at one instant */
    public PipeStats stats() {
        long[] fields = new long[STATS_FIELDS];
        NativePipes.stats(channel.id(), side.index(), fields);
        return new PipeStats(fields);
    }

    /**
     * How many messages can be queued now without waiting:
     * {@link Integer#MAX_VALUE} when no message limit is set, 0 when the byte
     * limit is reached. A byte limit is not counted in messages otherwise.
     */
    @Override
    public int remainingCapacity() {
        PipeStats stats = stats();
        if (stats.size() > 0 && stats.maxBytes() > 0 && stats.bytes() >= stats.maxBytes()) {
            return 0;
        }
        return stats.maxMessages() <= 0 ? Integer.MAX_VALUE : Math.max(0, stats.maxMessages() - stats.size());
    }

    /**
     * Takes the first message, waiting as long as the pipe is empty.
     *
     * @return the first message
     * @throws InterruptedException  when interrupted before or while waiting
     * @throws PipeShutdownException when the pipe is or becomes shut down, or
     *                               the channel deleted, before a message comes
     */
    @Override
    public VMMessageImpl take() throws InterruptedException {
        return PipeCalls.receive(this, -1);
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
    @Override
    public VMMessageImpl poll(long timeout, TimeUnit unit) throws InterruptedException {
        return PipeCalls.receive(this, Math.max(0, unit.toNanos(timeout)));
    }

    /**
     * Takes the first message if there is one. Never waits.
     *
     * @return the first message, or null when the pipe is empty
     * @throws PipeShutdownException when the pipe is shut down or the channel deleted
     */
    @Override
    public VMMessageImpl poll() {
        return PipeCalls.poll(this);
    }

    /**
     * A copy of the first message, which stays queued. Never waits; a
     * shut-down pipe is peeked like any other.
     *
     * @return a new object equal to the first message, or null when the pipe is empty
     * @throws OutOfMemoryError when native memory for the copy cannot be had
     */
    @Override
    public VMMessageImpl peek() {
        return PipeCalls.peek(this);
    }

    /**
     * Moves every message that can be taken without waiting into
     * {@code target}, first message first.
     *
     * @param target where the messages go
     * @return how many were moved; 0 for an empty or shut-down pipe
     * @throws NullPointerException when {@code target} is null
     */
    @Override
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
     * @throws NullPointerException     when {@code target} is null
     * @throws IllegalArgumentException when {@code target} is this pipe
     */
    @Override
    public int drainTo(Collection<? super VMMessageImpl> target, int maxElements) {
        if (target == null) {
            throw new NullPointerException("target");
        }
        if (target == this) {
            throw new IllegalArgumentException("cannot drain a pipe into itself");
        }
        int moved = 0;
        MessageBatch batch = null;
        while (moved < maxElements) {
            int want = Math.min(maxElements - moved, DRAIN_BATCH);
            if (batch == null || batch.capacity() < want) {
                batch = new MessageBatch(want);
            }
            int taken = NativePipes.drain(channel.id(), side.index(), want, batch.headers, batch.bodies);
            batch.moveTo(target, taken);
            moved += taken;
            if (taken < want) {
                break;
            }
        }
        return moved;
    }

    /** @return the number of queued messages */
    @Override
    public int size() {
        return NativePipes.size(channel.id(), side.index());
    }

    /** @return whether no message is queued */
    @Override
    public boolean isEmpty() {
        return size() == 0;
    }

    /**
     * Discards every queued message. Waiting receivers keep waiting; senders
     * waiting for room go in.
     */
    @Override
    public void clear() {
        NativePipes.clear(channel.id(), side.index());
    }

    /**
     * A weakly consistent iterator over a snapshot of the pipe, in take
     * order. Its {@code remove} removes the last message returned if it, or
     * one equal to it, is still queued.
     */
    @Override
    public Iterator<VMMessageImpl> iterator() {
        return new SnapshotIterator(snapshot());
    }

    @Override
    public Object[] toArray() {
        return snapshot().toArray();
    }

    @Override
    public <T> T[] toArray(T[] array) {
        return snapshot().toArray(array);
    }

    @Override
    public boolean contains(Object o) {
        return o instanceof VMMessageImpl && snapshot().contains(o);
    }

    @Override
    public boolean containsAll(Collection<?> c) {
        return snapshot().containsAll(c);
    }

    /**
     * Removes the first queued message equal to {@code o}, atomically.
     *
     * @return whether one was removed
     */
    @Override
    public boolean remove(Object o) {
        if (!(o instanceof VMMessageImpl)) {
            return false;
        }
        return PipeCalls.removeEqual(this, (VMMessageImpl) o);
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

    private static VMMessageImpl checked(VMMessageImpl message) {
        if (message == null) {
            throw new NullPointerException("message");
        }
        if (message.getHeader() == null) {
            throw new NullPointerException("message header");
        }
        if (message.getBody() == null) {
            throw new NullPointerException("message body");
        }
        return message;
    }

    /** @return copies of the queued messages in take order, taken at one instant */
    private List<VMMessageImpl> snapshot() {
        MessageBatch batch = new MessageBatch(size() + 8);
        int queued;
        while ((queued = NativePipes.snapshot(channel.id(), side.index(), batch.headers, batch.bodies))
                > batch.capacity()) {
            batch = new MessageBatch(queued + queued / 2);  // grew meanwhile
        }
        List<VMMessageImpl> messages = new ArrayList<VMMessageImpl>(queued);
        batch.moveTo(messages, queued);
        return messages;
    }

    private final class SnapshotIterator implements Iterator<VMMessageImpl> {
        private final List<VMMessageImpl> messages;
        private int next;
        private VMMessageImpl last;

        SnapshotIterator(List<VMMessageImpl> messages) {
            this.messages = messages;
        }

        @Override
        public boolean hasNext() {
            return next < messages.size();
        }

        @Override
        public VMMessageImpl next() {
            if (!hasNext()) {
                throw new NoSuchElementException();
            }
            last = messages.get(next++);
            return last;
        }

        @Override
        public void remove() {
            if (last == null) {
                throw new IllegalStateException();
            }
            ChannelPipe.this.remove(last);
            last = null;
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
