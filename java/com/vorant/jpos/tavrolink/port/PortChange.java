package com.vorant.jpos.tavrolink.port;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/**
 * A port that came or went, as a {@link PortWatch} tells it: the listing's own record of the
 * port, the one {@link PortListing#scan} gives, with the names that open it. A removal carries
 * the record its arrival was told with.
 */
public final class PortChange {
    /** The kinds of port the listing has. */
    public enum Kind {
        /** A serial port: {@link PortListing#serial}. */
        SERIAL("serial"),
        /** A HID interface, one per top-level collection: {@link PortListing#hid}. */
        HID("HID"),
        /** A USB printer interface: {@link PortListing#printers}. */
        PRINTER("printer");

        private final String text;

        Kind(String text) {
            this.text = text;
        }

        /**
         * The kind as a word in a line, such as {@code HID}.
         *
         * @return the word
         */
        @Override
        public String toString() {
            return text;
        }
    }

    private final boolean arrival;
    private final Kind kind;
    private final PortListing.SerialPort serial;
    private final PortListing.Interface device;
    private final String openProblem;

    private PortChange(boolean arrival, Kind kind, PortListing.SerialPort serial,
                       PortListing.Interface device, String openProblem) {
        this.arrival = arrival;
        this.kind = kind;
        this.serial = serial;
        this.device = device;
        this.openProblem = openProblem;
    }

    static PortChange arrival(PortListing.SerialPort serial) {
        return new PortChange(true, Kind.SERIAL, serial, null, null);
    }

    static PortChange arrival(Kind kind, PortListing.Interface device) {
        return new PortChange(true, kind, null, device, null);
    }

    PortChange removal() {
        return new PortChange(false, kind, serial, device, null);
    }

    PortChange withOpenProblem(String problem) {
        return new PortChange(arrival, kind, serial, device, problem);
    }

    /** What a watch compares listings by: the kind and the device or path. */
    String key() {
        return kind.name() + " " + path();
    }

    /**
     * Whether the port came (true) or went (false).
     *
     * @return true for an arrival
     */
    public boolean isArrival() {
        return arrival;
    }

    /**
     * The kind of port.
     *
     * @return the kind
     */
    public Kind kind() {
        return kind;
    }

    /**
     * What tells the port from every other of its kind: a serial port's device, an interface's
     * device path.
     *
     * @return the device or path
     */
    public String path() {
        return serial != null ? serial.device() : device.path();
    }

    /**
     * The names {@link CaldrixPort#open} opens this port by: a serial port's every name, an
     * interface's names that reach this very interface (see {@link PortListing.Name#opens}).
     *
     * @return the names; empty for an interface that no name reaches
     */
    public List<String> names() {
        if (serial != null) {
            return serial.names();
        }
        List<String> out = new ArrayList<>();
        for (PortListing.Name n : device.names()) {
            if (device.path().equals(n.opens())) {
                out.add(n.name());
            }
        }
        return Collections.unmodifiableList(out);
    }

    /**
     * The listing's record of a serial port.
     *
     * @return the record, or null for a HID or printer interface
     */
    public PortListing.SerialPort serialPort() {
        return serial;
    }

    /**
     * The listing's record of a HID or printer interface, with each name's match text.
     *
     * @return the record, or null for a serial port
     */
    public PortListing.Interface portInterface() {
        return device;
    }

    /**
     * Why an arrival's device node could not be opened when it was told, such as
     * {@code permission denied: /dev/hidraw3}. On Linux the kernel tells of a device before the
     * system has given its node the permissions it keeps, so an arrival is held back until its
     * node can be read and written, for up to {@link PortWatch#OPEN_BOUND_MS} ms.
     *
     * @return the reason, or null when the node could be opened, on removals, and on systems
     *     whose ports have no device nodes
     */
    public String openProblem() {
        return openProblem;
    }

    /**
     * The change as one line, as {@code java -jar caldrix.jar --watch} prints it:
     * {@code + HID <path>  open as: "USBHID: VID_04B8+PID_0202" "/USB/0x04b8/0x0202"} for an
     * arrival, {@code - HID <path>} for a removal.
     *
     * @return the line
     */
    @Override
    public String toString() {
        StringBuilder b = new StringBuilder(arrival ? "+ " : "- ").append(kind).append(' ')
                .append(path());
        if (!arrival) {
            return b.toString();
        }
        List<String> names = names();
        b.append(names.isEmpty() ? "  no name opens it" : "  open as:");
        for (String n : names) {
            b.append(" \"").append(n).append('"');
        }
        if (openProblem != null) {
            b.append("  (cannot be opened: ").append(openProblem).append(')');
        }
        return b.toString();
    }
}
