package com.fendrel.vm.channel;

import com.fendrel.vm.channel.impl.VMMessageImpl;

/**
 * The calls of the Java API that take, queue or wait, and what their native
 * statuses mean to a caller. A call that may wait first tries without
 * waiting, which needs no interruptor; only when it must wait does it let
 * {@link Thread#interrupt()} in, and it then goes on from its try on the same
 * channel, so that it sees every shutdown and delete from its first look at
 * the pipe to its end.
 */
final class PipeCalls {
    private PipeCalls() {
    }

    /**
     * Takes the first message if there is one. Never waits, and ignores interrupts.
     *
     * @return the message, or null when the pipe is empty
     * @throws PipeShutdownException when the pipe is shut down or the channel deleted
     */
    static VMMessageImpl poll(ChannelPipe pipe) {
        TransferArea area = TransferArea.ofThread();
        byte[] large = NativePipes.receive(pipe.channel().id(), pipe.side().index(), area.address, false);
        return received(pipe, area, large);
    }

    /**
     * Takes the first message, waiting at most {@code timeoutNanos}
     * (0: not at all, negative: without limit).
     *
     * @return the message, or null when none came in time
     * @throws InterruptedException  when interrupted before or while waiting
     * @throws PipeShutdownException when the pipe is or becomes shut down, or the channel deleted
     */
    static VMMessageImpl receive(ChannelPipe pipe, long timeoutNanos) throws InterruptedException {
        if (Thread.interrupted()) {
            throw new InterruptedException();
        }
        boolean wait = timeoutNanos != 0;
        TransferArea area = TransferArea.ofThread();
        int pipeIndex = pipe.side().index();
        byte[] large = NativePipes.receive(pipe.channel().id(), pipeIndex, area.address, wait);
        int status = area.status();
        if (wait && status == NativePipes.TIMED_OUT) {
            large = awaitHeld(area, pipeIndex, timeoutNanos, false);
            status = area.status();
        }
        if (status == NativePipes.RECEIVED) {
            return area.message(large);  // taken: returned even if an interrupt came meanwhile
        }
        throwIfInterrupted(status);
        return received(pipe, area, large);
    }

    private static VMMessageImpl received(ChannelPipe pipe, TransferArea area, byte[] large) {
        switch (area.status()) {
            case NativePipes.RECEIVED:
                return area.message(large);
            case NativePipes.SHUT_DOWN:
                throw new PipeShutdownException(pipe + " is shut down", false);
            case NativePipes.DELETED:
                throw new PipeShutdownException(pipe.channel() + " was deleted", true);
            default:
                return null;
        }
    }

    /** @return a copy of the first message, or null when the pipe is empty */
    static VMMessageImpl peek(ChannelPipe pipe) {
        TransferArea area = TransferArea.ofThread();
        byte[] large = NativePipes.peek(pipe.channel().id(), pipe.side().index(), area.address);
        return area.status() == NativePipes.RECEIVED ? area.message(large) : null;
    }

    /** @return whether the message was queued; false when the pipe is full. Never waits, and ignores interrupts. */
    static boolean offer(ChannelPipe pipe, VMMessageImpl message) {
        return send(pipe, message, 0, TransferArea.ofThread()) == NativePipes.ADDED;
    }

    /**
     * Queues the message, waiting at most {@code timeoutNanos} for room
     * (0: not at all, negative: without limit).
     *
     * @return false, queuing nothing, when no room came in time
     * @throws InterruptedException  when interrupted before or while waiting
     * @throws PipeShutdownException when the channel is deleted while waiting for room
     */
    static boolean send(ChannelPipe pipe, VMMessageImpl message, long timeoutNanos) throws InterruptedException {
        if (Thread.interrupted()) {
            throw new InterruptedException();
        }
        int status = send(pipe, message, timeoutNanos, TransferArea.ofThread());
        if (status == NativePipes.ADDED) {
            return true;
        }
        throwIfInterrupted(status);
        if (status == NativePipes.DELETED) {
            throw new PipeShutdownException(pipe.channel() + " was deleted", true);
        }
        if (status != NativePipes.TIMED_OUT) {
            throw new IllegalStateException("unexpected status " + status);
        }
        return false;
    }

    /**
     * A delete that comes before the send looked at the pipe is no reason to
     * refuse: the send goes to the channel made anew, as a send after the
     * delete would.
     */
    private static int send(ChannelPipe pipe, VMMessageImpl message, long timeoutNanos, TransferArea area) {
        boolean wait = timeoutNanos != 0;
        byte[] large = area.put(message);
        int channelID = pipe.channel().id();
        int pipeIndex = pipe.side().index();
        int status;
        do {
            status = NativePipes.send(channelID, pipeIndex, large, area.address, wait);
        } while (status == NativePipes.DELETED);
        if (wait && status == NativePipes.TIMED_OUT) {
            awaitHeld(area, pipeIndex, timeoutNanos, true);
            status = area.status();
        }
        return status;
    }

    /**
     * Goes on with the receive or send that a try with {@code keepPin} left
     * in the area, interruptibly; the area's status tells how it ended.
     *
     * @return a received body too large for the area, else null
     */
    private static byte[] awaitHeld(TransferArea area, int pipeIndex, long timeoutNanos, boolean send) {
        try {
            area.interruptor.enter();
            Thread me = Thread.currentThread();
            if (send) {
                NativePipes.awaitSend(pipeIndex, timeoutNanos, area.address, me);
                return null;
            }
            return NativePipes.awaitReceive(pipeIndex, timeoutNanos, area.address, me);
        } finally {
            area.interruptor.leave();
            area.releaseHeld();
        }
    }

    /** @return whether a message equal to {@code message} was queued and is removed */
    static boolean removeEqual(ChannelPipe pipe, VMMessageImpl message) {
        TransferArea area = TransferArea.ofThread();
        byte[] large = area.put(message);
        return NativePipes.removeEqual(pipe.channel().id(), pipe.side().index(), large, area.address)
                == NativePipes.RECEIVED;
    }

    /**
     * Waits at most {@code timeoutNanos} (0: not at all, negative: without
     * limit) until a pipe registered with the native selector is ready.
     *
     * @return how many tokens were written to {@code tokens}; 0 after a timeout or a wakeup
     * @throws InterruptedException when interrupted before or while waiting
     */
    static int select(long selector, long timeoutNanos, long[] tokens) throws InterruptedException {
        if (timeoutNanos == 0) {
            return Math.max(0, NativePipes.selectorWait(selector, 0, 0, tokens, null));
        }
        if (Thread.interrupted()) {
            throw new InterruptedException();
        }
        TransferArea area = TransferArea.ofThread();
        int result;
        try {
            area.interruptor.enter();
            result = NativePipes.selectorWait(selector, timeoutNanos, area.address, tokens, Thread.currentThread());
        } finally {
            area.interruptor.leave();
        }
        if (result > 0) {
            return result;
        }
        throwIfInterrupted(-result);
        return 0;
    }

    /**
     * Throws when a wait that gave nothing ended by an interrupt, or timed
     * out or was woken with the thread interrupted meanwhile: the interrupt
     * wins. Clears the interrupt status as it throws.
     */
    private static void throwIfInterrupted(int status) throws InterruptedException {
        boolean interrupted = status == NativePipes.CANCELLED
                || (status == NativePipes.TIMED_OUT || status == NativePipes.WOKEN)
                        && Thread.currentThread().isInterrupted();
        if (interrupted) {
            Thread.interrupted();
            throw new InterruptedException();
        }
    }
}
