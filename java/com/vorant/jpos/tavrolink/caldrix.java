package com.vorant.jpos.tavrolink;

import java.io.IOException;

/**
 * Serial ports, USB HID devices and the adapter address, through the native library caldrix.
 *
 * <p>A port handle is an int from 1 to 9; at most nine ports are open at a time. A failure that
 * the caller can act on arrives as an {@link IOException} whose message names the failing step.
 * A handle that is not open is answered without an exception: -1 from the int methods and
 * {@code true} from the modem-line queries (the library answers with all bits set).
 *
 * <p>The native library is loaded when the class is initialised, from the first of: the file
 * named by the system property {@code caldrix.library} (and only that file, when it is set);
 * {@code caldrix.dll} or {@code libcaldrix.so} on {@code java.library.path}; the native for this
 * system inside the caldrix jar, copied to a private per-user cache folder. Only a library of this
 * class's version is loaded. When none loads, the {@link UnsatisfiedLinkError} lists every
 * attempt and why it failed.
 */
public class caldrix {
    /** System property naming the one library file to load, instead of searching for one. */
    public static final String LIBRARY_PROPERTY = "caldrix.library";

    static {
        CaldrixLoader.load();
    }

    /** Opens a port by name; returns its handle (1 to 9), or -1 (a full table, too long a name). */
    public static native int PortOpen(String name) throws IOException;

    /** Closes a port and frees its handle, also when closing reports a failure. */
    public static native int PortClose(int handle) throws IOException;

    /**
     * Reads up to count bytes that have arrived and returns the number placed from buffer[0].
     *
     * <p>On a serial port, with nothing waiting, it waits up to 100 ms for the first byte and
     * returns 0, raising nothing, if none comes. Once it has a byte it never waits again: it takes
     * what has already arrived, up to count, and returns, so it may return fewer than count while
     * the rest is still on the line. To read an answer of known length, poll
     * {@link #PortGetReadCount} until it reports enough bytes (or a deadline passes), then read
     * that many; they come back at once. A device that has gone away makes it return 0 at once;
     * {@link #PortGetReadCount} and {@link #PortWrite} raise the error. On a HID port it returns
     * at once with what the device has sent.
     *
     * @throws IOException for a count below 1 or beyond the array, or a failed device read
     */
    public static native int PortRead(int handle, byte[] buffer, int count) throws IOException;

    /** Writes the first count bytes of buffer; returns 0 when all of them went out. */
    public static native int PortWrite(int handle, byte[] buffer, int count) throws IOException;

    /**
     * Sets baud rate, data bits (5 to 8), stop bits (1 or 2) and parity (0 none, 1 odd, 2 even).
     * The last argument has no effect.
     */
    public static native int PortSetParams(int handle, int baudRate, int dataBits, int stopBits,
                                           int parity, int unused) throws IOException;

    /** Drops what waits in the transmit and/or the receive queue. */
    public static native int PortPurge(int handle, boolean purgeOutput, boolean purgeInput)
            throws IOException;

    /** Number of received bytes waiting to be read. */
    public static native int PortGetReadCount(int handle) throws IOException;

    public static native boolean PortIsCTS(int handle) throws IOException;

    public static native boolean PortIsDSR(int handle) throws IOException;

    public static native boolean PortIsRI(int handle) throws IOException;

    /** Always true. */
    public static native boolean PortIsDTR(int handle);

    /** Always true. */
    public static native boolean PortIsRTS(int handle);

    public static native int PortSetRTS(int handle, boolean on) throws IOException;

    public static native int PortSetDTR(int handle, boolean on) throws IOException;

    /** Output waits for CTS while on; RTS follows the flag. */
    public static native int PortSetHWFlowControl(int handle, boolean on) throws IOException;

    /** Stores the six-byte adapter address at address[0..5]; returns 6. */
    public static native int GetMACAddress(byte[] address) throws IOException;
}
