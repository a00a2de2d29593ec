package com.fendrel.vm.channel.bench;

import com.fendrel.vm.channel.impl.VMMessageHeaderImpl;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.Comparator;
import java.util.concurrent.PriorityBlockingQueue;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Java's own answer to a pipe: a {@link PriorityBlockingQueue} ordered by
 * (priority, arrival sequence), so that equal priorities stay first in first
 * out as in a channel. With {@code copying}, take hands back a fresh message
 * with its own body array, as a channel does (it cannot share the sender's
 * object); without it, the very object that was put.
 */
final class PriorityQueuePeer implements MessageQueue {
    private static final class Entry {
        final int priority;
        final long sequence;
        final VMMessageImpl message;

        Entry(long sequence, VMMessageImpl message) {
            this.priority = message.getHeader().getPriority();
            this.sequence = sequence;
            this.message = message;
        }
    }

    private static final Comparator<Entry> LEAVES_FIRST =
            Comparator.<Entry>comparingInt(e -> e.priority).thenComparingLong(e -> e.sequence);

    private final PriorityBlockingQueue<Entry> queue = new PriorityBlockingQueue<>(16, LEAVES_FIRST);
    private final AtomicLong nextSequence = new AtomicLong();
    private final boolean copying;

    PriorityQueuePeer(boolean copying) {
        this.copying = copying;
    }

    @Override
    public void put(VMMessageImpl message) {
        queue.put(new Entry(nextSequence.getAndIncrement(), message));
    }

    @Override
    public VMMessageImpl take() throws InterruptedException {
        VMMessageImpl message = queue.take().message;
        if (!copying) {
            return message;
        }
        VMMessageHeaderImpl h = message.getHeader();
        return new VMMessageImpl(h.getType(), h.getPriority(), h.getChannelID(), h.getMessageID(),
                h.getAttributes(), message.getBody().getData());
    }

    @Override
    public void clear() {
        queue.clear();
    }
}
