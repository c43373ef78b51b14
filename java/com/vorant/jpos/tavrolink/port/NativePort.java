package com.vorant.jpos.tavrolink.port;

import java.io.IOException;

/**
 * The library's natives for the port object: an open that lets one thread read or wait while
 * another writes, and a wait for input that blocks in the operating system. They work on the same
 * nine handles as the static class, whose natives stay as they are.
 */
final class NativePort {
    private NativePort() {}

    static {
        // The natives live in the library that the static class loads as it is initialised.
        try {
            Class.forName("com.vorant.jpos.tavrolink.caldrix", true,
                    NativePort.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new NoClassDefFoundError(e.getMessage());
        }
    }

    /** {@link #await}: input is waiting; a read of up to the read count returns at once. */
    static final int INPUT = 1;
    /** {@link #await}: the time-out passed with nothing to read. */
    static final int TIMED_OUT = 0;
    /** {@link #await}: the handle is not open, or the port was closed during the wait. */
    static final int CLOSED = -1;

    /**
     * Opens a port as {@code caldrix.PortOpen} does, with its answers and messages. A serial
     * port's handle is opened so that a read or a wait on one thread never holds up a write on
     * another (on Windows: overlapped).
     * @param name the port's name
     * @return the handle, or -1
     * @throws IOException the library's message of a failed open
     */
    static native int open(String name) throws IOException;

    /**
     * Waits until input is there, the port is closed, the device has gone, or timeoutMs pass,
     * without waking in between.
     * @param handle the port's handle
     * @param timeoutMs the longest wait, 0 to look without waiting
     * @return {@link #INPUT}, {@link #TIMED_OUT} or {@link #CLOSED}
     * @throws IOException the device has gone ("WaitCommEvent error 1167 on port" for a serial
     *     port, "ReadFile error 1167 on port" for a HID one, with the code the system gave), or
     *     "Invalid wait time-out" for a negative time-out
     */
    static native int await(int handle, int timeoutMs) throws IOException;
}
