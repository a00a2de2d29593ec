package com.example.consumer;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;
import com.fendrel.vm.channel.impl.VMMessageImpl;

import java.util.Arrays;

/**
 * An outside Java program compiled against the installed jar and run with
 * the installed libraries: a message through both pipes of a channel, in
 * priority order, and a shut-down pipe that stops a receive.
 */
public final class ChannelConsumer {
    private static final int CHANNEL = 4343;

    private ChannelConsumer() {
    }

    private static void check(boolean ok, String what) {
        if (!ok) {
            throw new AssertionError(what);
        }
    }

    public static void main(String[] args) {
        TrellumJNI.createChannel(CHANNEL);
        byte[] bytes = {1, 2, 3};
        for (int pipe : new int[] {17, 0}) {
            TrellumJNI.addMessageToChannel(CHANNEL, pipe, new VMMessageImpl(1, 9, CHANNEL, 2, 0, bytes));
            TrellumJNI.addMessageToChannel(CHANNEL, pipe, new VMMessageImpl(1, 3, CHANNEL, 1, 0, bytes));
            check(TrellumJNI.sizeOfChannel(CHANNEL, pipe) == 2, "pipe " + pipe + ": two messages queued");
            VMMessageImpl first = TrellumJNI.removeMessageFromChannel(CHANNEL, pipe);
            VMMessageImpl second = TrellumJNI.removeMessageFromChannel(CHANNEL, pipe);
            check(first.getHeader().getMessageID() == 1 && second.getHeader().getMessageID() == 2,
                    "pipe " + pipe + ": lower priority value first");
            check(Arrays.equals(first.getBody().getData(), bytes), "pipe " + pipe + ": body carried");
            TrellumJNI.shutdown(CHANNEL, pipe);
            check(TrellumJNI.removeMessageFromChannel(CHANNEL, pipe) == null, "pipe " + pipe + ": shut down");
        }
        TrellumJNI.deleteChannel(CHANNEL);
        System.out.println("ChannelConsumer: ok");
    }
}
