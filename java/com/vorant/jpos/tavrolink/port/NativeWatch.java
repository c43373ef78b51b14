package com.vorant.jpos.tavrolink.port;

import java.io.IOException;

/**
 * The library's natives for the device watch: kernel device events on Linux, device notifications
 * on Windows, told as the kinds of port that changed; and the listing, made inside the library,
 * that the watch compares before and after.
 */
final class NativeWatch {
    private NativeWatch() {}

    static {
        // The natives live in the library that the static class loads as it is initialised.
        try {
            Class.forName("com.vorant.jpos.tavrolink.caldrix", true,
                    NativeWatch.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new NoClassDefFoundError(e.getMessage());
        }
    }

    /** Kinds of port, as bits of {@link #await}'s answer. */
    static final int SERIAL = 1;
    static final int HID = 2;
    static final int PRINTER = 4;
    static final int ALL_KINDS = 7;
    /** {@link #await}: the watch was stopped, or is not open. */
    static final int STOPPED = -1;

    /**
     * Starts a watch.
     * @return its id
     * @throws IOException "Device watch error N" with the system's code, also when 16 watches
     *     are open already (24 on Linux)
     */
    static native int open() throws IOException;

    /**
     * Waits, without waking in between, until ports of some kinds came or went since the last
     * answer, the time passes, or the watch is stopped.
     * @param watch the watch's id
     * @param timeoutMs the longest wait, 0 to look without waiting
     * @return the kinds' bits, 0 when the time passed, {@link #STOPPED}
     * @throws IOException "Invalid wait time-out" for a negative time-out
     */
    static native int await(int watch, int timeoutMs) throws IOException;

    /**
     * Ends a wait on the watch at once, from any thread; later waits answer {@link #STOPPED}.
     * @param watch the watch's id
     */
    static native void stop(int watch);

    /**
     * Stops the watch and frees it once no wait is inside.
     * @param watch the watch's id
     */
    static native void close(int watch);

    /**
     * The ports now, as {@code caldrix-ports --json} prints them.
     * @return the listing's JSON text
     * @throws IOException "Device listing: out of memory"
     */
    static native String scan() throws IOException;
}
