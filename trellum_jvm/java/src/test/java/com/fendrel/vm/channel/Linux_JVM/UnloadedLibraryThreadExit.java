package com.fendrel.vm.channel.Linux_JVM;

import java.lang.ref.WeakReference;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;

/**
 * The binding loaded by a class loader that is then collected, which makes
 * the JDK unload its native libraries, while a thread that used a channel
 * is still alive; then that thread ends. The JVM must exit normally.
 * tools/check-exit-after-main.sh runs it with the binding's jar as the
 * argument; the jar must not be on the class path.
 */
public final class UnloadedLibraryThreadExit {
    private static final String BINDING = "com.fendrel.vm.channel.Linux_JVM.TrellumJNI";
    private static final long SECONDS = 1_000_000_000L;

    private UnloadedLibraryThreadExit() {}

    private static void fail(String why) {
        System.out.println(why);
        System.exit(2);
    }

    /** Whether a library of that file name is mapped into this process. */
    private static boolean mapped(String fileName) throws Exception {
        for (String line : Files.readAllLines(Paths.get("/proc/self/maps"))) {
            if (line.endsWith("/" + fileName)) return true;
        }
        return false;
    }

    /** Only a weak reference to the loader leaves this frame. */
    private static WeakReference<ClassLoader> loadBinding(URL jar, AtomicReference<Method> sizeOfChannel)
            throws Exception {
        URLClassLoader loader = new URLClassLoader(new URL[] {jar}, ClassLoader.getPlatformClassLoader());
        Class<?> binding = Class.forName(BINDING, true, loader);
        sizeOfChannel.set(binding.getMethod("sizeOfChannel", int.class, int.class));
        return new WeakReference<>(loader);
    }

    /** In a frame of its own, so that the waiting worker holds nothing of the loader. */
    private static void callOnce(AtomicReference<Method> sizeOfChannel) throws Exception {
        sizeOfChannel.getAndSet(null).invoke(null, 1, 17);
    }

    public static void main(String[] args) throws Exception {
        if (mapped("libtrellum_jvm.so")) fail("the binding must not be loaded yet");
        AtomicReference<Method> sizeOfChannel = new AtomicReference<>();
        WeakReference<ClassLoader> loader = loadBinding(Paths.get(args[0]).toUri().toURL(), sizeOfChannel);
        CountDownLatch called = new CountDownLatch(1);
        CountDownLatch mayEnd = new CountDownLatch(1);
        Thread worker = new Thread(() -> {
            try {
                callOnce(sizeOfChannel);
                called.countDown();
                mayEnd.await();
            } catch (Exception e) {
                e.printStackTrace();
            }
        }, "channel-user");
        worker.start();
        if (!called.await(60, TimeUnit.SECONDS)) fail("the worker's call did not return");

        long deadline = System.nanoTime() + 60 * SECONDS;
        while (loader.get() != null || mapped("libtrellum_jvm.so")) {
            if (System.nanoTime() > deadline) fail("the binding's libraries were not unloaded");
            System.gc();
            Thread.sleep(20);
        }
        System.out.println("the binding's libraries were unloaded; the worker ends");
        mayEnd.countDown();
        worker.join(60_000);
        if (worker.isAlive()) fail("the worker did not end");
        // The native thread's last acts outlast the join.
        Thread.sleep(1000);
        System.out.println("main returns");
    }
}
