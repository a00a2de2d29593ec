package com.fendrel.vm.channel.Linux_JVM;

/**
 * A program whose daemon threads are blocked in a receive when main
 * returns: the JVM must still exit. tools/check-exit-after-main.sh runs it
 * and gives it a few seconds from "main returns" on.
 */
public final class DaemonReceiversExit {
    private static final int RECEIVERS = 4;

    private DaemonReceiversExit() {}

    /** Whether the thread is inside the native receive, as far as its stack shows. */
    private static boolean inReceive(Thread thread) {
        StackTraceElement[] stack = thread.getStackTrace();
        return stack.length > 0 && stack[0].isNativeMethod()
                && stack[0].getMethodName().equals("removeMessageFromChannel");
    }

    public static void main(String[] args) throws InterruptedException {
        int channel = 424_242;
        TrellumJNI.createChannel(channel);
        Thread[] receivers = new Thread[RECEIVERS];
        for (int i = 0; i < RECEIVERS; i++) {
            int pipe = i % 2 == 0 ? TestChannels.PIPE_17 : TestChannels.OTHER_PIPE;
            receivers[i] = new Thread(() -> TrellumJNI.removeMessageFromChannel(channel, pipe), "receiver-" + i);
            receivers[i].setDaemon(true);
            receivers[i].start();
        }
        long deadline = System.nanoTime() + 60_000_000_000L;
        for (Thread receiver : receivers) {
            while (!inReceive(receiver)) {
                if (System.nanoTime() > deadline || !receiver.isAlive()) {
                    System.out.println(receiver.getName() + " never blocked in the receive");
                    System.exit(2);
                }
                Thread.sleep(5);
            }
        }
        System.out.println(RECEIVERS + " daemon receivers blocked; main returns");
    }
}
