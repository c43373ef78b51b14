package com.vorant.jpos.tavrolink.port;

import java.io.IOException;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** The library's messages sorted into this package's exception types, by their text. */
final class Failures {
    private Failures() {}

    // "CreateFile error 2 on port", "WriteFile: GetLastError=1167", "ClearCommError 1167 on port",
    // "ReadFile error 1167 on port": the code in signed decimal.
    private static final Pattern DECIMAL =
            Pattern.compile("(?:error |GetLastError=|ClearCommError )(-?[0-9]+)(?: on port)?");
    // "PurgeComm: GetLastError = 48f04\n": the code in hexadecimal with 04 behind it.
    private static final Pattern HEX = Pattern.compile(": GetLastError = ([0-9a-f]+)04\n\\z");

    /** ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND, as CreateFile reports a missing port. */
    private static final int FILE_NOT_FOUND = 2;
    private static final int PATH_NOT_FOUND = 3;
    /** ERROR_ACCESS_DENIED: also a port held by another opener. */
    private static final int ACCESS_DENIED = 5;

    /**
     * Codes of a device that has gone: ERROR_DEVICE_NOT_CONNECTED (Linux, and some Windows
     * drivers), ERROR_NO_SUCH_DEVICE and ERROR_BAD_COMMAND (what Windows USB serial drivers
     * answer once their adapter is unplugged).
     */
    private static boolean gone(long code) {
        return code == 1167 || code == 433 || code == 22;
    }

    /** No code in a message. */
    static final long NONE = Long.MIN_VALUE;

    /** The Win32 code at the end of a message, or {@link #NONE}. */
    static long code(String message) {
        Matcher m = DECIMAL.matcher(message);
        if (m.find() && m.end() == message.length()) {
            return Long.parseLong(m.group(1));
        }
        m = HEX.matcher(message);
        if (m.find()) {
            return Long.parseLong(m.group(1), 16);
        }
        return NONE;
    }

    /** The library's exception as one of this package's types, with its message unchanged. */
    static PortException classify(IOException e) {
        if (e instanceof PortException) {
            return (PortException) e;
        }
        String m = e.getMessage() == null ? "" : e.getMessage();
        long code = code(m);
        if (m.startsWith("Device Not Found - ")
                || (m.startsWith("CreateFile error ")
                    && (code == FILE_NOT_FOUND || code == PATH_NOT_FOUND))) {
            return new PortNotFoundException(m, e);
        }
        if (m.startsWith("INVALID_HANDLE - ")
                || (m.startsWith("CreateFile error ") && code == ACCESS_DENIED)) {
            return new PortAccessDeniedException(m, e);
        }
        if (gone(code)) {
            return new DeviceGoneException(m, e);
        }
        // The serial write's fixed 5 s time-out ends a write that could not hand over its chunk
        // with the bracketed count message; a HID write's message (no brackets) also stands for
        // a failed write and so stays unsorted.
        if (m.startsWith("Number of bytes written [")) {
            return new PortTimeoutException(m, e);
        }
        return new PortException(m, e);
    }
}
