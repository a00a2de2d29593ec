package com.fendrel.vm.channel;

/**
 * One of the two pipes of a {@link MessageChannel}.
 *
 * <p>The {@code com.fendrel.vm.channel.Linux_JVM.TrellumJNI} methods name a
 * pipe by a legacy pipe ID instead: 17 addresses {@link #FIRST}, every other
 * value {@link #SECOND}. {@link #ofPipeId(int)} and {@link #pipeId()}
 * translate between the two.
 */
public enum PipeSide {
    /** The pipe that legacy pipe ID 17 addresses. */
    FIRST(0, 17),
    /** The pipe that every legacy pipe ID other than 17 addresses. */
    SECOND(1, 18);

    private final int index;
    private final int pipeId;

    PipeSide(int index, int pipeId) {
        this.index = index;
        this.pipeId = pipeId;
    }

    /**
     * The side that a legacy pipe ID addresses.
     *
     * @param pipeId any pipe ID
     * @return {@link #FIRST} for 17, else {@link #SECOND}
     */
    public static PipeSide ofPipeId(int pipeId) {
        return pipeId == FIRST.pipeId ? FIRST : SECOND;
    }

    /**
     * A legacy pipe ID that addresses this side.
     *
     * @return 17 for {@link #FIRST}, 18 for {@link #SECOND}
     */
    public int pipeId() {
        return pipeId;
    }

    /** The pipe's index in the native library (0 or 1). */
    int index() {
        return index;
    }
}
