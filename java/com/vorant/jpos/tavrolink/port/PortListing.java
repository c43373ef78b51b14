package com.vorant.jpos.tavrolink.port;

import com.vorant.jpos.tavrolink.PortList;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;

/**
 * The ports this machine has, each with every name {@link CaldrixPort#open} takes for it: what
 * {@code java -jar caldrix.jar --json} prints, as objects. {@link PortWatch} tells when they
 * change.
 *
 * <pre>{@code
 * PortListing ports = PortListing.scan();
 * for (PortListing.SerialPort p : ports.serial()) {
 *     System.out.println(p.device() + " " + p.names());
 * }
 * for (PortListing.Interface i : ports.hid()) {
 *     System.out.println(i.path() + " opened by " + i.names().get(0).name());
 * }
 * }</pre>
 */
public final class PortListing {
    private final String version;
    private final List<SerialPort> serial;
    private final List<Interface> hid;
    private final List<Interface> printers;
    private final String hidError;

    private PortListing(String version, List<SerialPort> serial, List<Interface> hid,
                        List<Interface> printers, String hidError) {
        this.version = version;
        this.serial = serial;
        this.hid = hid;
        this.printers = printers;
        this.hidError = hidError;
    }

    /**
     * Lists the ports now, in this JVM, with the library's own listing: what the jar's
     * {@code caldrix-ports} program prints, made by the same code, without starting a program.
     * When {@code -Dcaldrix.ports} names a lister program, that program makes the listing
     * instead, as it does for {@code java -jar caldrix.jar}.
     *
     * @return the listing
     * @throws IOException when the named program could not list the ports, with the reason; when
     *     the library ran out of memory making the listing
     * @throws UnsatisfiedLinkError when the native library cannot be loaded, with every attempt
     */
    public static PortListing scan() throws IOException {
        String lister = System.getProperty("caldrix.ports");
        if (lister != null && !lister.isEmpty()) {
            return parse(PortList.json());
        }
        return parse(NativeWatch.scan());
    }

    /**
     * Reads the JSON that {@code java -jar caldrix.jar --json} printed, on this machine or another.
     *
     * @param json the printed object
     * @return the listing it describes
     * @throws IllegalArgumentException when the text is not such an object, or is the one the
     *     lister prints when it could not list the ports
     */
    public static PortListing parse(String json) {
        Map<String, Object> top = Json.object(Json.parse(json), "the listing");
        if (top.get("error") != null) {
            throw new IllegalArgumentException("the ports were not listed: "
                    + Json.string(top.get("error"), "error"));
        }
        List<SerialPort> serial = new ArrayList<>();
        for (Object o : Json.array(top.get("serial"), "serial")) {
            Map<String, Object> p = Json.object(o, "a serial port");
            serial.add(new SerialPort(Json.string(p.get("device"), "device"),
                    strings(p.get("names")), Json.stringOrNull(p.get("detail"), "detail")));
        }
        return new PortListing(Json.string(top.get("version"), "version"),
                Collections.unmodifiableList(serial), interfaces(top.get("hid"), "hid"),
                interfaces(top.get("printers"), "printers"),
                Json.stringOrNull(top.get("hidError"), "hidError"));
    }

    private static List<String> strings(Object array) {
        List<String> out = new ArrayList<>();
        for (Object o : Json.array(array, "names")) {
            out.add(Json.string(o, "a name"));
        }
        return Collections.unmodifiableList(out);
    }

    private static List<Interface> interfaces(Object array, String what) {
        List<Interface> out = new ArrayList<>();
        if (array == null) {
            return Collections.unmodifiableList(out);  // not listed: hidError says why
        }
        for (Object o : Json.array(array, what)) {
            Map<String, Object> i = Json.object(o, "an interface");
            List<Name> names = new ArrayList<>();
            for (Object n : Json.array(i.get("names"), "names")) {
                Map<String, Object> m = Json.object(n, "a name");
                names.add(new Name(Json.string(m.get("name"), "name"),
                        Json.string(m.get("match"), "match"),
                        Json.stringOrNull(m.get("opens"), "opens")));
            }
            out.add(new Interface(Json.string(i.get("path"), "path"),
                    Collections.unmodifiableList(names)));
        }
        return Collections.unmodifiableList(out);
    }

    /**
     * The version of caldrix that made the listing.
     *
     * @return the version, such as 1.0.0
     */
    public String version() {
        return version;
    }

    /**
     * The serial ports, in the order the lister gives them.
     *
     * @return the ports; empty when there are none
     */
    public List<SerialPort> serial() {
        return serial;
    }

    /**
     * The HID interfaces, in the order the library's search walks them.
     *
     * @return the interfaces; empty when there are none or they could not be listed
     *     ({@link #hidError})
     */
    public List<Interface> hid() {
        return hid;
    }

    /**
     * The USB printer interfaces, in the order the library's search walks them.
     *
     * @return the interfaces; empty when there are none or they could not be listed
     *     ({@link #hidError})
     */
    public List<Interface> printers() {
        return printers;
    }

    /**
     * Why the HID and printer interfaces could not be listed.
     *
     * @return the reason, or null when they were listed
     */
    public String hidError() {
        return hidError;
    }

    /** A serial port: its device and every name that opens it. */
    public static final class SerialPort {
        private final String device;
        private final List<String> names;
        private final String detail;

        SerialPort(String device, List<String> names, String detail) {
            this.device = device;
            this.names = names;
            this.detail = detail;
        }

        /**
         * The device: its path on Linux, its COM name on Windows.
         *
         * @return the device
         */
        public String device() {
            return device;
        }

        /**
         * Every name that opens the port, the device first.
         *
         * @return the names
         */
        public List<String> names() {
            return names;
        }

        /**
         * The driver on Linux, the device object on Windows.
         *
         * @return the detail, or null when there is none
         */
        public String detail() {
            return detail;
        }

        /**
         * The device and its names.
         *
         * @return a short description
         */
        @Override
        public String toString() {
            return device + " " + names;
        }
    }

    /** A HID or USB printer interface: its device path and the names that refer to it. */
    public static final class Interface {
        private final String path;
        private final List<Name> names;

        Interface(String path, List<Name> names) {
            this.path = path;
            this.names = names;
        }

        /**
         * The device path, shaped as Windows shapes it.
         *
         * @return the path
         */
        public String path() {
            return path;
        }

        /**
         * The names that refer to this interface by its vendor and product; a name opens the
         * first interface whose path contains its match text, which may be another one.
         *
         * @return the names; empty when the path has no vendor and product
         */
        public List<Name> names() {
            return names;
        }

        /**
         * The path and its names.
         *
         * @return a short description
         */
        @Override
        public String toString() {
            return path + " " + names;
        }
    }

    /** A port name for an interface, the text it is matched by, and what it opens. */
    public static final class Name {
        private final String name;
        private final String match;
        private final String opens;

        Name(String name, String match, String opens) {
            this.name = name;
            this.match = match;
            this.opens = opens;
        }

        /**
         * The name {@link CaldrixPort#open} takes, such as {@code USBHID: VID_04B8+PID_0202}.
         *
         * @return the name
         */
        public String name() {
            return name;
        }

        /**
         * The text that the name is matched against device paths with, such as
         * {@code vid_04b8&pid_0202}.
         *
         * @return the match text
         */
        public String match() {
            return match;
        }

        /**
         * The path the name opens: the first path that contains the match text.
         *
         * @return the path, or null when the name opens nothing
         */
        public String opens() {
            return opens;
        }

        /**
         * The name.
         *
         * @return the name
         */
        @Override
        public String toString() {
            return name;
        }
    }
}
