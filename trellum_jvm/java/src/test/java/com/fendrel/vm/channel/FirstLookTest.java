package com.fendrel.vm.channel;

import static com.fendrel.vm.channel.WaitBounds.BOUND_SECONDS;
import static com.fendrel.vm.channel.WaitBounds.within;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.fendrel.vm.channel.Linux_JVM.TrellumJNI;

import java.lang.reflect.Field;
import java.util.concurrent.Callable;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * A call that waits sees every shutdown and delete of its pipe from its first
 * look at the pipe to its end, also one that lands between a try that found
 * nothing and the wait. The caller is held there deterministically: the
 * interruptor's begin() takes the monitor that guards the thread's blocker,
 * which the test holds.
 */
class FirstLookTest {
    private final MessageChannel channel = MessageChannel.of(96_000);
    private final ChannelPipe pipe = channel.first();

    @AfterEach
    void deleteChannel() {
        channel.delete();  // also ends a call that missed its event
    }

    private static Object blockerMonitorOf(Thread t) {
        for (String name : new String[] {"blockerLock", "interruptLock"}) {
            try {
                Field field = Thread.class.getDeclaredField(name);
                field.setAccessible(true);
                return field.get(t);
            } catch (NoSuchFieldException e) {
                continue;
            } catch (ReflectiveOperationException | RuntimeException e) {
                assumeTrue(false, "java.lang is not open to the tests: " + e);
            }
        }
        assumeTrue(false, "this JDK's Thread has no blocker monitor");
        return null;
    }

    /** What {@code call} ended with when {@code event} came between its first look and its wait. */
    private static String heldBeforeItsWait(Callable<?> call, Runnable event) throws Exception {
        FutureTask<String> task = new FutureTask<>(() -> {
            try {
                return String.valueOf(call.call());
            } catch (PipeShutdownException e) {
                return e.isChannelDeleted() ? "deleted" : "shut down";
            }
        });
        Thread t = new Thread(task);
        t.setDaemon(true);
        synchronized (blockerMonitorOf(t)) {
            t.start();
            long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(BOUND_SECONDS);
            while (t.getState() != Thread.State.BLOCKED && !task.isDone()) {
                assertTrue(System.nanoTime() < end, "the call never came to its wait");
                Thread.sleep(1);
            }
            event.run();
        }
        return within(task);
    }

    @Test
    void receivesSeeADeleteOrAShutdownBeforeTheirWait() throws Exception {
        Runnable delete = channel::delete;
        Runnable shutdownAndStartup = () -> {
            pipe.shutdown();
            pipe.startup();
        };
        assertEquals("deleted", heldBeforeItsWait(pipe::take, delete));
        assertEquals("deleted", heldBeforeItsWait(() -> pipe.poll(1, TimeUnit.HOURS), delete));
        assertEquals("shut down", heldBeforeItsWait(pipe::take, shutdownAndStartup));
        assertEquals("shut down", heldBeforeItsWait(() -> pipe.poll(1, TimeUnit.HOURS), shutdownAndStartup));
        assertEquals("null", heldBeforeItsWait(
                () -> TrellumJNI.pollMessageFromChannel(channel.id(), 17, 1, TimeUnit.HOURS), delete));
    }

    @Test
    void aSendWaitingForRoomSeesADeleteBeforeItsWait() throws Exception {
        pipe.setCapacity(1, 0);
        pipe.put(ChannelPipeTest.message(0, 1));
        assertEquals("deleted", heldBeforeItsWait(
                () -> pipe.offer(ChannelPipeTest.message(0, 2), 1, TimeUnit.HOURS), channel::delete));
        assertEquals(0, pipe.size(), "nothing may reach the channel made anew");
    }
}
