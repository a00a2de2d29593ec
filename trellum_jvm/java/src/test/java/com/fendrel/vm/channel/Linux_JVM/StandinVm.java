package com.fendrel.vm.channel.Linux_JVM;

import com.fendrel.vm.channel.impl.VMMessageImpl;
import com.fendrel.vm.channel.impl.VMMessageHeaderImpl;

/**
 * A stand-in Java VM in this process (native test support) that runs the
 * binding's native methods on message objects of its own, as a second VM
 * beside this JVM. Each call runs on the calling thread, attached to the
 * stand-in for the call's length; an exception the binding raises there is
 * raised here under the same class. The stand-in aborts the process on any
 * handle that is not one of its own.
 */
final class StandinVm {
    static {
        // The binding first, as TrellumJNI loads it: the host library calls into that very copy.
        System.loadLibrary("trellum");
        System.loadLibrary("trellum_jvm");
        System.loadLibrary("trellum_jvm_standin_host");
    }

    private final long vm;

    StandinVm(String name) {
        vm = create(name);
    }

    void createChannel(int channel) {
        createChannel(vm, channel);
    }

    /** TrellumJNI.addMessageToChannel in the stand-in. */
    void add(int channel, int pipeID, VMMessageImpl message) {
        VMMessageHeaderImpl h = message.getHeader();
        int[] header = {h.getType(), h.getPriority(), h.getChannelID(), h.getMessageID(), h.getAttributes()};
        add(vm, channel, pipeID, header, message.getBody().getData());
    }

    /** TrellumJNI.removeMessageFromChannel in the stand-in: waits for a message. */
    VMMessageImpl remove(int channel, int pipeID) {
        int[] header = new int[5];
        return message(header, take(vm, channel, pipeID, false, header));
    }

    /** TrellumJNI.peekMessageFromChannel in the stand-in. */
    VMMessageImpl peek(int channel, int pipeID) {
        int[] header = new int[5];
        return message(header, take(vm, channel, pipeID, true, header));
    }

    /** The channel API's interruptible receive in the stand-in (pipe 0 or 1); null when none came in time. */
    VMMessageImpl poll(int channel, int pipe, long timeoutNanos) {
        int[] header = new int[5];
        return message(header, poll(vm, channel, pipe, timeoutNanos, header));
    }

    /** The binding's JNI_OnUnload for this VM. */
    void unload() {
        unload(vm);
    }

    /** Live global references in the stand-in. */
    long globalRefs() {
        return globalRefs(vm);
    }

    /** The binding's JNI_OnUnload for this JVM, as when its class loader is collected. */
    static native void unloadJvm();

    private static VMMessageImpl message(int[] h, byte[] body) {
        return body == null ? null : new VMMessageImpl(h[0], h[1], h[2], h[3], h[4], body);
    }

    private static native long create(String name);

    private static native void createChannel(long vm, int channel);

    private static native void add(long vm, int channel, int pipeID, int[] header, byte[] body);

    private static native byte[] take(long vm, int channel, int pipeID, boolean peek, int[] header);

    private static native byte[] poll(long vm, int channel, int pipe, long timeoutNanos, int[] header);

    private static native void unload(long vm);

    private static native long globalRefs(long vm);
}
