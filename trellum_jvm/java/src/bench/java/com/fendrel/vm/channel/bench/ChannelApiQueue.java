package com.fendrel.vm.channel.bench;

import com.fendrel.vm.channel.ChannelPipe;
import com.fendrel.vm.channel.MessageChannel;
import com.fendrel.vm.channel.impl.VMMessageImpl;

/**
 * A channel's pipe through the channel API. Only touched when the binding
 * has that API (see {@link JvmBench#hasChannelApi()}). With {@code polling},
 * take is the non-waiting {@link ChannelPipe#poll()}: only for workloads in
 * which the message is always there already.
 */
final class ChannelApiQueue implements MessageQueue {
    private final ChannelPipe pipe;
    private final boolean polling;

    ChannelApiQueue(int channelId, boolean polling) {
        this.pipe = MessageChannel.of(channelId).first();
        this.polling = polling;
    }

    @Override
    public void put(VMMessageImpl message) {
        try {
            pipe.put(message);
        } catch (InterruptedException e) {
            // Benchmark threads are never interrupted.
            Thread.currentThread().interrupt();
            throw new IllegalStateException(e);
        }
    }

    @Override
    public VMMessageImpl take() throws InterruptedException {
        return polling ? pipe.poll() : pipe.take();
    }

    @Override
    public void clear() {
        pipe.clear();
    }
}
