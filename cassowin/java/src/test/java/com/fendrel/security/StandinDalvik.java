package com.fendrel.security;

/**
 * Test support: a stand-in Dalvik VM inside this JVM's process (no real
 * Dalvik VM exists here). {@link #start} creates it once and runs
 * AndroidKeyStoreDalvik._init in it through the relay, as an app would; its
 * keychain then reports whatever {@link #setEntries} scripted.
 */
public final class StandinDalvik {
    static {
        System.loadLibrary("cassowin");
        System.loadLibrary("cassowin_standin_jni");
    }

    private StandinDalvik() {}

    /**
     * Creates the stand-in on first use and resets its script, faults and hold.
     * With {@code hideAppClasses}, threads the relay attaches cannot find the
     * app's classes by name, as on a Dalvik VM.
     */
    public static native void start(boolean hideAppClasses);

    /** The entries every following scan reports; null elements report null arrays. */
    public static native void setEntries(String[] aliases, long[] dates, byte[][] encoded);

    /** After reporting, scanKeychain leaves this exception pending ("java/lang/..."; "" for none). */
    public static native void setExceptionAfterReport(String className, String message);

    /** The stand-in hands out no array elements (with {@code raise}, also throws OutOfMemoryError). */
    public static native void setElementsUnavailable(boolean unavailable, boolean raise);

    /**
     * While held, every scan waits on entry, before it reads the script, as
     * a keychain blocked on a locked store does (at most two minutes).
     */
    public static native void holdScans(boolean hold);

    /** How many scans are waiting in a hold now. */
    public static native int heldScans();

    public static native int scans();

    /** The keychain name the last scan received; null if it received null. */
    public static native String lastKeychain();

    public static native int attaches();

    public static native int detaches();

    public static native int threadsEndedAttached();

    /**
     * Threads attached through the invocation interface and not yet gone.
     * A JVM thread is detached by its native exit, a little after
     * Thread.isAlive() turns false, so tests wait for this to settle.
     */
    public static native int attachedThreads();

    public static native long liveLocalRefs();

    /**
     * Runs the relay's _init and _scanKeychain for {@code keyStore} through a
     * counting JNIEnv over this JVM's, then sets the relay up again with the
     * real one. Returns {local references left behind, most held at once}.
     */
    static native long[] countingScan(AndroidKeyStore keyStore, char[] keychain);
}
