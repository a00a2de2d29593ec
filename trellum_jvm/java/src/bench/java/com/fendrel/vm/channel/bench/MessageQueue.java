package com.fendrel.vm.channel.bench;

import com.fendrel.vm.channel.impl.VMMessageImpl;

/** What each contender of a workload offers: a priority queue of messages. */
interface MessageQueue {
    /** Queues the message behind every one of lower or equal priority. */
    void put(VMMessageImpl message);

    /** Takes the first message, waiting while there is none. */
    VMMessageImpl take() throws InterruptedException;

    /** Discards what a failed round may have left. */
    void clear();
}
