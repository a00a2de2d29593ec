package com.fendrel.vm.channel;

import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.Collection;

/**
 * Messages that cross from native code in one call ({@link NativePipes#drain},
 * {@link NativePipes#snapshot}): message i's five header integers at
 * {@code headers[5i..5i+4]}, in the order of {@link VMMessageImpl}'s
 * constructor, and its body at {@code bodies[i]}.
 */
final class MessageBatch {
    private static final int HEADER_INTS = 5;

    final int[] headers;
    final byte[][] bodies;

    MessageBatch(int capacity) {
        headers = new int[HEADER_INTS * capacity];
        bodies = new byte[capacity][];
    }

    int capacity() {
        return bodies.length;
    }

    /**
     * Adds the first {@code count} messages to {@code target} in order, and
     * forgets their bodies, so that the batch can be filled again. Should
     * {@code target.add} throw, the messages after it are lost.
     */
    void moveTo(Collection<? super VMMessageImpl> target, int count) {
        for (int i = 0; i < count; i++) {
            int at = HEADER_INTS * i;
            target.add(new VMMessageImpl(headers[at], headers[at + 1], headers[at + 2], headers[at + 3],
                    headers[at + 4], bodies[i]));
            bodies[i] = null;
        }
    }
}
