package com.fendrel.vm.channel.bench;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.concurrent.BlockingQueue;

/**
 * Any {@link BlockingQueue} of messages as a contender: the JDK's bounded
 * queues, and a bounded {@link com.fendrel.vm.channel.ChannelPipe} through
 * the same interface, so that both pay for the same calls.
 */
final class BlockingQueuePeer implements MessageQueue {
    private final BlockingQueue<VMMessageImpl> queue;

    BlockingQueuePeer(BlockingQueue<VMMessageImpl> queue) {
        this.queue = queue;
    }

    @Override
    public void put(VMMessageImpl message) {
        try {
            queue.put(message);
        } catch (InterruptedException e) {
            // Benchmark threads are never interrupted.
            Thread.currentThread().interrupt();
            throw new IllegalStateException(e);
        }
    }

    @Override
    public VMMessageImpl take() throws InterruptedException {
        return queue.take();
    }

    @Override
    public void clear() {
        queue.clear();
    }
}
