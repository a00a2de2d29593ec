package com.fendrel.vm.channel;

import java.io.Closeable;
import java.nio.channels.ClosedSelectorException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;

/**
 * Waits for any of many {@link ChannelPipe}s, in the manner of
 * {@link java.nio.channels.Selector}: one thread can serve any number of
 * pipes, of any channels.
 *
 * <p>A pipe is <em>ready</em> while it holds a message, is shut down, or its
 * channel is deleted: then a receive on it does not wait. The select methods
 * return the registered pipes that are ready. Readiness is level-triggered:
 * a pipe is returned by every select for as long as it stays ready, so drain
 * it (with {@link ChannelPipe#poll()} or {@link ChannelPipe#drainTo}) before
 * selecting again. A select returns at most {@value #MAX_READY} pipes; pipes
 * returned move behind the other ready ones, so that every ready pipe is
 * returned in turn.
 *
 * <p>Waiting costs nothing while no pipe is ready, and a select costs the
 * same whether ten or ten thousand idle pipes are registered; no file
 * descriptor is used per pipe.
 *
 * <p>A registration watches the channel that exists when it is made. When
 * that channel is {@linkplain MessageChannel#delete() deleted}, the pipe is
 * returned by one more select, which then deregisters it, as the JDK's
 * selectors drop the keys of closed channels: its {@code poll()} finds
 * nothing (it reaches the new channel made under the same ID), and the next
 * select no longer returns it. Register the pipe again to watch the new
 * channel.
 *
 * <pre>{@code
 * PipeSelector selector = PipeSelector.open();
 * try {   // not try-with-resources: Closeable is no AutoCloseable on older Android
 *     for (ChannelPipe pipe : pipes) {
 *         selector.register(pipe);
 *     }
 *     for (;;) {
 *         for (ChannelPipe ready : selector.select()) {
 *             for (VMMessageImpl m; (m = ready.poll()) != null; ) {   // throws once shut down
 *                 handle(m);
 *             }
 *         }
 *     }
 * } finally {
 *     selector.close();
 * }
 * }</pre>
 *
 * <p>Selectors are safe for use by multiple concurrent threads: any thread
 * may register, deregister, select, wake up and close at any time.
 */
public final class PipeSelector implements Closeable {
    /** The most pipes one select returns. */
    public static final int MAX_READY = 256;

    /** A channel ID and a pipe index: the low bits of a token, above them the registration's generation. */
    private static final int PIPE_KEY_BITS = 33;
    private static final long PIPE_KEY_MASK = (1L << PIPE_KEY_BITS) - 1;

    private final Object lock = new Object();
    /** The native selector; 0 once closed. Guarded by {@link #lock}. */
    private long handle;
    /** Selects under way. Guarded by {@link #lock}. */
    private int selecting;
    /** Registrations by {@link #pipeKey}. Guarded by {@link #lock}. */
    private final Map<Long, Registration> registrations = new HashMap<Long, Registration>();
    /** Counts registrations, so that a token names one registration, not only its pipe. */
    private long generation;

    private PipeSelector(long handle) {
        this.handle = handle;
    }

    /**
     * Opens a selector with no pipes registered.
     *
     * @return the selector; close it when done
     * @throws OutOfMemoryError when native memory for it cannot be had
     */
    public static PipeSelector open() {
        long handle = NativePipes.selectorNew();
        if (handle == 0) {
            throw new OutOfMemoryError("no native memory for a selector");
        }
        return new PipeSelector(handle);
    }

    /**
     * Registers a pipe. A select under way sees it at once.
     *
     * @param pipe the pipe
     * @return false when it was registered already
     * @throws ClosedSelectorException when this selector is closed
     * @throws OutOfMemoryError        when native memory for the registration cannot be had
     */
    public boolean register(ChannelPipe pipe) {
        if (pipe == null) {
            throw new NullPointerException("pipe");
        }
        synchronized (lock) {
            long h = openHandle();
            long pipeKey = pipeKey(pipe);
            if (registrations.containsKey(pipeKey)) {
                return false;
            }
            long token = generation++ << PIPE_KEY_BITS | pipeKey;
            long key = NativePipes.selectorAdd(h, pipe.channel().id(), pipe.side().index(), token);
            if (key == 0) {
                throw new OutOfMemoryError("no native memory to register " + pipe);
            }
            registrations.put(pipeKey, new Registration(pipe, token, key));
            return true;
        }
    }

    /**
     * Deregisters a pipe. A select under way no longer returns it.
     *
     * @param pipe the pipe
     * @return false when it was not registered
     * @throws ClosedSelectorException when this selector is closed
     */
    public boolean deregister(ChannelPipe pipe) {
        synchronized (lock) {
            openHandle();
            return pipe != null && remove(registrations.get(pipeKey(pipe)));
        }
    }

    /** Deregisters the registration, if there is one. Holds {@link #lock}. */
    private boolean remove(Registration registration) {
        if (registration == null) {
            return false;
        }
        registrations.remove(pipeKey(registration.pipe));
        NativePipes.selectorRemove(registration.key);
        return true;
    }

    /** The pipe's key in {@link #registrations}, and the low bits of its tokens. */
    private static long pipeKey(ChannelPipe pipe) {
        return (pipe.channel().id() & 0xffffffffL) << 1 | pipe.side().index();
    }

    /** @return a copy of the set of registered pipes; empty once closed */
    public Set<ChannelPipe> registered() {
        synchronized (lock) {
            Set<ChannelPipe> pipes = new HashSet<ChannelPipe>();
            for (Registration registration : registrations.values()) {
                pipes.add(registration.pipe);
            }
            return pipes;
        }
    }

    /**
     * Waits until a registered pipe is ready, or {@link #wakeup()} is called.
     *
     * @return the ready pipes; empty only after a wakeup
     * @throws InterruptedException    when interrupted before or while waiting
     * @throws ClosedSelectorException when this selector is closed
     */
    public List<ChannelPipe> select() throws InterruptedException {
        return select(-1);
    }

    /**
     * Waits at most the given time until a registered pipe is ready, or
     * {@link #wakeup()} is called.
     *
     * @param timeout how long to wait; zero or less does not wait
     * @param unit    the unit of {@code timeout}
     * @return the ready pipes; empty when none became ready in time or after a wakeup
     * @throws InterruptedException    when interrupted before or while waiting,
     *                                 also when the time ran out meanwhile
     * @throws ClosedSelectorException when this selector is closed
     */
    public List<ChannelPipe> select(long timeout, TimeUnit unit) throws InterruptedException {
        return select(Math.max(0, unit.toNanos(timeout)));
    }

    /**
     * The registered pipes that are ready now. Never waits; takes a pending
     * {@link #wakeup()}, as every select does, whatever it returns.
     *
     * @return the ready pipes, possibly none
     * @throws ClosedSelectorException when this selector is closed
     */
    public List<ChannelPipe> selectNow() {
        try {
            return select(0);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return Collections.emptyList();  // not reached: a select that does not wait ignores interrupts
        }
    }

    /**
     * Makes a select under way return at once, or when none is, the next
     * one. Any thread may call it.
     */
    public void wakeup() {
        synchronized (lock) {
            if (handle != 0) {
                NativePipes.selectorWakeup(handle);
            }
        }
    }

    /** @return whether this selector is open */
    public boolean isOpen() {
        synchronized (lock) {
            return handle != 0;
        }
    }

    /**
     * Closes the selector: selects under way throw
     * {@link ClosedSelectorException}, every pipe is deregistered, and the
     * native selector is freed once the last select has left. Closing a
     * closed selector does nothing.
     */
    @Override
    public void close() {
        synchronized (lock) {
            long h = handle;
            if (h == 0) {
                return;
            }
            handle = 0;
            boolean interrupted = false;
            while (selecting > 0) {
                // A wakeup lets one select out, and each select that leaves
                // wakes this loop to send the next.
                NativePipes.selectorWakeup(h);
                try {
                    lock.wait();
                } catch (InterruptedException e) {
                    interrupted = true;
                }
            }
            for (Registration registration : registrations.values()) {
                NativePipes.selectorRemove(registration.key);
            }
            registrations.clear();
            NativePipes.selectorFree(h);
            if (interrupted) {
                Thread.currentThread().interrupt();
            }
        }
    }

    private static final class Registration {
        final ChannelPipe pipe;
        final long token;
        final long key;

        Registration(ChannelPipe pipe, long token, long key) {
            this.pipe = pipe;
            this.token = token;
            this.key = key;
        }
    }

    private long openHandle() {
        if (handle == 0) {
            throw new ClosedSelectorException();
        }
        return handle;
    }

    private List<ChannelPipe> select(long timeoutNanos) throws InterruptedException {
        if (timeoutNanos != 0 && Thread.interrupted()) {
            throw new InterruptedException();
        }
        long h;
        synchronized (lock) {
            h = openHandle();
            selecting++;
        }
        long[] tokens = new long[MAX_READY];
        int count;
        try {
            count = PipeCalls.select(h, timeoutNanos, tokens);
        } finally {
            synchronized (lock) {
                if (--selecting == 0 || handle == 0) {
                    lock.notifyAll();  // a close waits for each select to leave
                }
            }
        }
        if (!isOpen()) {
            throw new ClosedSelectorException();
        }
        if (count == 0) {
            return Collections.emptyList();
        }
        List<ChannelPipe> ready = new ArrayList<ChannelPipe>(count);
        synchronized (lock) {
            // Under the lock: a key read here cannot be removed and freed meanwhile.
            for (int i = 0; i < count && handle != 0; i++) {
                Registration registration = registrations.get(tokens[i] & PIPE_KEY_MASK);
                if (registration == null || registration.token != tokens[i]) {
                    continue;  // deregistered since the wait saw it
                }
                ready.add(registration.pipe);
                if (NativePipes.selectorKeyDeleted(registration.key)) {
                    remove(registration);
                }
            }
        }
        return ready;
    }
}
