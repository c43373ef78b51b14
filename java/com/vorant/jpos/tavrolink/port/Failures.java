package com.vorant.jpos.tavrolink.port;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Set;
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
        return sort(m, m, e);
    }

    /** The type the library's message m calls for, showing shown. */
    private static PortException sort(String m, String shown, IOException e) {
        long code = code(m);
        if (m.startsWith("Device Not Found - ")
                || (m.startsWith("CreateFile error ")
                    && (code == FILE_NOT_FOUND || code == PATH_NOT_FOUND))) {
            return new PortNotFoundException(shown, e);
        }
        if (m.startsWith("INVALID_HANDLE - ")
                || (m.startsWith("CreateFile error ") && code == ACCESS_DENIED)) {
            return new PortAccessDeniedException(shown, e);
        }
        if (gone(code)) {
            return new DeviceGoneException(shown, e);
        }
        // The serial write's fixed 5 s time-out ends a write that could not hand over its chunk
        // with the bracketed count message; a HID write's message (no brackets) also stands for
        // a failed write and so stays unsorted.
        if (m.startsWith("Number of bytes written [")) {
            return new PortTimeoutException(shown, e);
        }
        return new PortException(shown, e);
    }

    // ---- a failed open, told to whoever opened it -----------------------------------------------

    private static final boolean LINUX =
            System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("linux");
    /** ERROR_NOT_SUPPORTED: the library's open of a device that is not a terminal. */
    private static final int NOT_A_TERMINAL = 50;
    /** COMn or COMn:, as the library maps them to /dev/ttyS(n-1) off Windows. */
    private static final Pattern COM_NAME = Pattern.compile("(?i:COM)([1-9][0-9]{0,8})(:?)");
    /** The node a HID or USB printer interface's device path names. */
    private static final Pattern INTERFACE_NODE = Pattern.compile("#(hidraw|lp)([0-9]+)#\\{");
    private static final String LISTING_HINT =
            "java -jar caldrix.jar lists the devices here and the names that open them";

    /**
     * The library's failure to open a port, as the type {@link #classify} gives it, with a message
     * that names the port, says what to do and holds the library's message verbatim; the cause is
     * the library's exception itself.
     */
    static PortException opening(String name, IOException e) {
        if (e instanceof PortException) {
            return (PortException) e;
        }
        String m = e.getMessage() == null ? "" : e.getMessage();
        return sort(m, explainOpen(name, m), e);
    }

    private static String explainOpen(String name, String m) {
        long code = code(m);
        if (m.startsWith("CreateFile error ")) {
            String device = LINUX ? comDevice(name) : null;
            String label = device == null ? name : name + " (it means " + device + " on Linux)";
            if (code == FILE_NOT_FOUND || code == PATH_NOT_FOUND) {
                return "no such port " + label + " (" + m + "); " + serialPorts();
            }
            if (code == ACCESS_DENIED) {
                String denied = LINUX ? denied(device == null ? name : device) : null;
                return denied != null
                        ? "cannot open " + label + ": permission denied; " + denied + " (" + m + ")"
                        : label + " is already open, in this program or another (" + m + ")";
            }
            if (code == NOT_A_TERMINAL) {
                return label + " is not a serial port (" + m + ")";
            }
        }
        if (m.startsWith("Device Not Found - ")) {
            return "no such device " + name + " (" + m + "); " + LISTING_HINT;
        }
        if (m.startsWith("INVALID_HANDLE - ") && LINUX) {
            Matcher node = INTERFACE_NODE.matcher(m);
            if (node.find()) {
                String path = (node.group(1).equals("lp") ? "/dev/usb/lp" : "/dev/hidraw")
                        + node.group(2);
                String denied = denied(path);
                if (denied != null) {
                    return "cannot open " + name + " (" + path + "): permission denied; " + denied
                            + " (" + m + ")";
                }
            }
        }
        return "cannot open " + name + " (" + m + ")";
    }

    /** The device a COM name opens off Windows, or null for another name. */
    static String comDevice(String name) {
        boolean deviceForm = name.startsWith("\\\\.\\");  // \\.\COMn, without a colon
        Matcher m = COM_NAME.matcher(deviceForm ? name.substring(4) : name);
        if (!m.matches() || (deviceForm && !m.group(2).isEmpty())) {
            return null;
        }
        return "/dev/ttyS" + (Long.parseLong(m.group(1)) - 1);
    }

    /** The serial ports the listing has, for someone who named one that is not there. */
    private static String serialPorts() {
        List<String> devices = new ArrayList<>();
        try {
            for (PortListing.SerialPort p : PortListing.scan().serial()) {
                devices.add(p.device());
            }
        } catch (IOException | RuntimeException e) {
            return "the ports could not be listed (java -jar caldrix.jar says why)";
        }
        return devices.isEmpty() ? "no serial port is listed here"
                : "the ports here are: " + String.join(", ", devices);
    }

    /**
     * What to do about a node this process may not read and write, or null when it may, or when
     * there is no such node to tell (another opener holds it, or it has gone).
     */
    private static String denied(String node) {
        try {
            Path p = Paths.get(node);
            if (!Files.exists(p) || (Files.isReadable(p) && Files.isWritable(p))) {
                return null;
            }
            PosixFileAttributes a = Files.readAttributes(p, PosixFileAttributes.class);
            Set<PosixFilePermission> mode = a.permissions();
            String group = a.group().getName();
            // Joining root's group is no advice to give.
            if (mode.contains(PosixFilePermission.GROUP_READ)
                    && mode.contains(PosixFilePermission.GROUP_WRITE) && !group.equals("root")) {
                return "add the user to group " + group + " and log in again";
            }
            return "it is " + PosixFilePermissions.toString(mode) + " " + a.owner().getName() + ":"
                    + group + ", see Permissions in the README";
        } catch (IOException | InvalidPathException | UnsupportedOperationException e) {
            return null;
        }
    }
}
