package com.fendrel.vm.channel;

import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
import java.nio.channels.spi.AbstractSelectableChannel;
import java.nio.channels.spi.AbstractSelector;
import java.util.Set;

/**
 * Lets {@link Thread#interrupt()} end a thread's native wait at once.
 *
 * <p>{@link AbstractSelector#begin()} and {@link AbstractSelector#end()} are
 * the only public way to be told of an interrupt: between them, an interrupt
 * calls {@link #wakeup()}, which cancels the native wait of the thread that
 * owns this object (through the waiter in its transfer area). Nothing is
 * ever selected with it and it is never closed; each thread has one.
 *
 * <p>{@code wakeup()} runs on the interrupting thread. It never blocks, takes
 * no Java lock and does not call into Java. On newer JDKs it can run after
 * {@code end()}; the native wait treats such a late cancel as spurious.
 */
final class Interruptor extends AbstractSelector {
    /** The transfer area whose waiter this cancels; kept reachable while this object is. */
    private final TransferArea area;

    Interruptor(TransferArea area) {
        super(null);
        this.area = area;
    }

    /**
     * Whether an interrupt racing with {@code begin()} can be lost: it can on
     * JDK 22 and older, and on Android (whose class library reports Java
     * version 0), where {@code Thread.interrupt()} sets the status only after
     * it looked for a blocker. The native wait then checks the status once
     * after a short first wait.
     *
     * @param javaVersion "1.8.0_402", "17.0.15", "23-ea", "0" (Android)
     */
    static boolean loseRacingInterrupts(String javaVersion) {
        int digits = 0;
        while (digits < javaVersion.length() && Character.isDigit(javaVersion.charAt(digits))) {
            digits++;
        }
        // An unreadable version is treated as an old one: the check costs one wake-up.
        return digits == 0 || digits > 4 || Integer.parseInt(javaVersion.substring(0, digits)) < 23;
    }

    /** Starts a wait that an interrupt ends; pair with {@link #leave()} in a {@code finally}. */
    void enter() {
        begin();
    }

    void leave() {
        end();
    }

    @Override
    public Selector wakeup() {
        NativePipes.cancelWait(area.address);
        return this;
    }

    @Override
    protected void implCloseSelector() {
    }

    @Override
    protected SelectionKey register(AbstractSelectableChannel ch, int ops, Object att) {
        throw new UnsupportedOperationException();
    }

    @Override
    public Set<SelectionKey> keys() {
        throw new UnsupportedOperationException();
    }

    @Override
    public Set<SelectionKey> selectedKeys() {
        throw new UnsupportedOperationException();
    }

    @Override
    public int selectNow() {
        throw new UnsupportedOperationException();
    }

    @Override
    public int select(long timeout) {
        throw new UnsupportedOperationException();
    }

    @Override
    public int select() {
        throw new UnsupportedOperationException();
    }
}
