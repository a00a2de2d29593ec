package com.fendrel.vm.channel;

import com.fendrel.vm.channel.impl.VMMessageHeaderImpl;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.nio.Buffer;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/**
 * A thread's transfer area: native memory through which messages cross
 * between Java and the native library without the native side calling back
 * into the VM (each such call costs about as much as the queue operation).
 * Only bodies larger than {@link #CAPACITY} go through Java arrays.
 *
 * <p>Layout, in native byte order, shared with the native side: a status
 * (int), the five header integers, the body length (int), four unused
 * bytes, the thread's native waiter (48 bytes, which {@link Interruptor}
 * cancels), the channel and message that a try holds for its wait (8 bytes
 * each), then the body. Each thread has its own area, so no locking is
 * needed.
 */
final class TransferArea {
    /** Body bytes that fit in the area. */
    static final int CAPACITY = 4096;

    private static final int STATUS = 0;
    private static final int HEADER = 4;
    private static final int LENGTH = 24;
    private static final int HELD_CHANNEL = 80;
    private static final int BODY = 96;

    private static final ThreadLocal<TransferArea> OF_THREAD = new ThreadLocal<TransferArea>() {
        @Override
        protected TransferArea initialValue() {
            return new TransferArea();
        }
    };

    private final ByteBuffer buffer = ByteBuffer.allocateDirect(BODY + CAPACITY).order(ByteOrder.nativeOrder());
    /** The buffer's address; valid while {@link #buffer} is reachable, as it is through this object. */
    final long address = NativePipes.addressOf(buffer);
    /** Ends this thread's native waits on {@link Thread#interrupt()}. */
    final Interruptor interruptor;

    private TransferArea() {
        NativePipes.initWaiter(address);
        interruptor = new Interruptor(this);
    }

    /** @return the calling thread's area */
    static TransferArea ofThread() {
        return OF_THREAD.get();
    }

    /** @return the status of the last native call that used this area */
    int status() {
        return buffer.getInt(STATUS);
    }

    /**
     * Writes {@code message} to this area for a native call.
     *
     * @return its body when that is too large for the area, else null
     */
    byte[] put(VMMessageImpl message) {
        VMMessageHeaderImpl h = message.getHeader();
        byte[] body = message.getBody().getData();
        buffer.putInt(HEADER, h.getType());
        buffer.putInt(HEADER + 4, h.getPriority());
        buffer.putInt(HEADER + 8, h.getChannelID());
        buffer.putInt(HEADER + 12, h.getMessageID());
        buffer.putInt(HEADER + 16, h.getAttributes());
        buffer.putInt(LENGTH, body.length);
        if (body.length > CAPACITY) {
            return body;
        }
        // Through Buffer: ByteBuffer.position(int) exists only from Java 9.
        ((Buffer) buffer).position(BODY);
        buffer.put(body);
        return null;
    }

    /**
     * The message a native call left in this area.
     *
     * @param large the body the call returned when it was too large for the area, else null
     */
    VMMessageImpl message(byte[] large) {
        byte[] body = large;
        if (body == null) {
            body = new byte[buffer.getInt(LENGTH)];
            ((Buffer) buffer).position(BODY);
            buffer.get(body);
        }
        return new VMMessageImpl(buffer.getInt(HEADER), buffer.getInt(HEADER + 4), buffer.getInt(HEADER + 8),
                buffer.getInt(HEADER + 12), buffer.getInt(HEADER + 16), body);
    }

    /** Drops a pin that a try left for a wait that never ran; a wait that ran took it. */
    void releaseHeld() {
        if (buffer.getLong(HELD_CHANNEL) != 0) {
            NativePipes.releaseHeld(address);
        }
    }
}
