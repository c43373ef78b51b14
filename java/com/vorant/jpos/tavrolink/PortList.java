package com.vorant.jpos.tavrolink;

import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * {@code java -jar caldrix.jar [--json]}: the ports this machine has, each with every name that
 * {@link caldrix#PortOpen} takes for it. Plain text for people, {@code --json} for tools.
 *
 * <p>Serial ports on Linux are the terminals with a device behind them in {@code /sys/class/tty}
 * (an 8250 UART only where one answers), named by their {@code /dev} path, by the links udev makes
 * under {@code /dev/serial/}, and for {@code /dev/ttyS<n>} by {@code COM<n+1>}, which PortOpen
 * opens as that device. On Windows they are the COM ports of the registry's SERIALCOMM map, also
 * named by the POSIX-style names that PortOpen translates to them.
 *
 * <p>HID interfaces and USB printers come from {@code caldrix-ports}, the native program the jar
 * carries beside each native: it walks them with the library's own SetupAPI calls and prints each
 * with its vendor/product name, its keyword name and the device path those names are matched
 * against. It is copied out and run from a cache folder under the same rules as the native.
 */
public final class PortList {
    static final String USAGE = "usage: java -jar caldrix.jar [--json]";

    private PortList() {}

    /** One port: the device, every name PortOpen takes for it (the device first), and a detail. */
    static final class Port {
        final String device;
        final List<String> names = new ArrayList<>();
        final String detail;

        Port(String device, String detail) {
            this.device = device;
            this.detail = detail;
            names.add(device);
        }
    }

    public static void main(String[] args) throws IOException {
        boolean json = false;
        for (String a : args) {
            if (a.equals("--json")) {
                json = true;
            } else if (a.equals("--help") || a.equals("-h")) {
                System.out.println(USAGE);
                return;
            } else {
                System.err.println("caldrix: unknown argument \"" + a + "\"\n" + USAGE);
                System.exit(2);
            }
        }
        List<Port> serial = System.getProperty("os.name", "").startsWith("Windows")
                ? windowsSerialPorts()
                : linuxSerialPorts(Paths.get("/sys/class/tty"), Paths.get("/dev"));
        Hid hid = hid(json);
        if (json) {
            printJson(System.out, serial, hid);
        } else {
            printText(System.out, serial, hid);
        }
    }

    // ---- the listing as data, for com.vorant.jpos.tavrolink.port.PortListing ------------------

    /**
     * What {@code java -jar caldrix.jar --json} prints, as a string.
     *
     * @return the JSON object, on one line
     * @throws IOException when the serial ports cannot be listed
     */
    public static String json() throws IOException {
        List<Port> serial = System.getProperty("os.name", "").startsWith("Windows")
                ? windowsSerialPorts()
                : linuxSerialPorts(Paths.get("/sys/class/tty"), Paths.get("/dev"));
        ByteArrayOutputStream b = new ByteArrayOutputStream();
        printJson(new PrintStream(b, true, "UTF-8"), serial, hid(true));
        return new String(b.toByteArray(), StandardCharsets.UTF_8).trim();
    }

    // ---- HID and USB printers, from caldrix-ports -----------------------------------------------

    static final String PROGRAM = "caldrix-ports";
    static final long PROGRAM_BOUND_SECONDS = 30;

    /** What caldrix-ports printed for the HID part, or why it could not be run. */
    static final class Hid {
        final String output;
        final String failure;

        Hid(String output, String failure) {
            this.output = output;
            this.failure = failure;
        }
    }

    static Hid hid(boolean json) {
        List<String> failures = new ArrayList<>();
        Path program = CaldrixLoader.program(PROGRAM, failures);
        if (program == null) {
            return new Hid(null, PROGRAM + " did not run: " + String.join("; ", failures));
        }
        return run(program, json);
    }

    /** Runs the program for its HID part, with a bound on how long it may take. */
    static Hid run(Path program, boolean json) {
        List<String> cmd = new ArrayList<>();
        cmd.add(program.toString());
        cmd.add("--hid-only");
        if (json) {
            cmd.add("--json");
        }
        String why;
        try {
            Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
            p.getOutputStream().close();
            java.util.concurrent.CompletableFuture<byte[]> out =
                    java.util.concurrent.CompletableFuture.supplyAsync(() -> {
                        try {
                            return readAll(p.getInputStream());
                        } catch (IOException e) {
                            return new byte[0];
                        }
                    });
            if (!p.waitFor(PROGRAM_BOUND_SECONDS, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                return new Hid(null, program + " did not finish within "
                        + PROGRAM_BOUND_SECONDS + " s");
            }
            // A Windows program's text-mode output ends its lines with CR LF.
            String text = new String(out.get(PROGRAM_BOUND_SECONDS, TimeUnit.SECONDS),
                                     StandardCharsets.UTF_8).replace("\r\n", "\n");
            if (p.exitValue() == 0 && (!json || (text.startsWith("{") && text.endsWith("}\n")))) {
                return new Hid(text, null);
            }
            String first = text.isEmpty() ? "no output" : text.split("\n", 2)[0];
            why = program + " ended with status " + p.exitValue() + ": " + first;
        } catch (IOException e) {
            why = program + " could not be started: " + e.getMessage();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            why = program + " was interrupted";
        } catch (java.util.concurrent.ExecutionException
                 | java.util.concurrent.TimeoutException e) {
            why = program + ": its output could not be read: " + e;
        }
        return new Hid(null, why);
    }

    private static byte[] readAll(java.io.InputStream in) throws IOException {
        ByteArrayOutputStream b = new ByteArrayOutputStream();
        byte[] buf = new byte[8192];
        for (int n; (n = in.read(buf)) > 0; ) {
            b.write(buf, 0, n);
        }
        return b.toByteArray();
    }

    // ---- Linux ----------------------------------------------------------------------------------

    static List<Port> linuxSerialPorts(Path sysTty, Path dev) throws IOException {
        Map<String, Port> ports = new TreeMap<>(NATURAL);
        Path devReal = Files.isDirectory(dev) ? dev.toRealPath() : dev;
        if (Files.isDirectory(sysTty)) {
            try (DirectoryStream<Path> ttys = Files.newDirectoryStream(sysTty)) {
                for (Path tty : ttys) {
                    String name = tty.getFileName().toString();
                    // Virtual consoles and pseudo-terminals have no device behind them; the
                    // 8250 driver makes ttyS nodes also where no UART answers (type 0).
                    if (!Files.exists(tty.resolve("device"))
                            || (name.startsWith("ttyS") && "0".equals(read(tty.resolve("type"))))
                            || !Files.exists(dev.resolve(name))) {
                        continue;
                    }
                    Port port = new Port(devReal.resolve(name).toString(), driver(tty));
                    Matcher com = Pattern.compile("ttyS([0-9]+)").matcher(name);
                    if (com.matches()) {
                        port.names.add("COM" + (Integer.parseInt(com.group(1)) + 1));
                    }
                    ports.put(port.device, port);
                }
            }
        }
        for (String kind : new String[] {"by-id", "by-path"}) {
            Path links = dev.resolve("serial").resolve(kind);
            if (!Files.isDirectory(links)) {
                continue;
            }
            List<String> names = new ArrayList<>();
            try (DirectoryStream<Path> all = Files.newDirectoryStream(links)) {
                for (Path link : all) {
                    names.add(link.getFileName().toString());
                }
            }
            Collections.sort(names, NATURAL);
            for (String n : names) {
                Path link = links.resolve(n);
                String target;
                try {
                    target = link.toRealPath().toString();
                } catch (IOException e) {
                    continue;  // a link left behind by a device that has gone
                }
                Port port = ports.get(target);
                if (port == null) {
                    port = new Port(target, null);
                    ports.put(target, port);
                }
                port.names.add(link.toString());
            }
        }
        return new ArrayList<>(ports.values());
    }

    private static String read(Path file) {
        try {
            return new String(Files.readAllBytes(file), StandardCharsets.US_ASCII).trim();
        } catch (IOException e) {
            return null;
        }
    }

    /**
     * The driver of a terminal's device. Since Linux 6.5 a serial-core port sits on devices of
     * the serial-base bus (drivers "port" and "ctrl") below the one whose driver tells the kind.
     */
    private static String driver(Path tty) {
        try {
            Path device = tty.resolve("device").toRealPath();
            for (int up = 0; up < 4 && device != null; up++, device = device.getParent()) {
                Path driver = device.resolve("driver");
                if (Files.exists(driver)) {
                    Path real = driver.toRealPath();
                    Path bus = real.getParent() == null ? null : real.getParent().getParent();
                    if (bus == null || !bus.getFileName().toString().equals("serial-base")) {
                        return real.getFileName().toString();
                    }
                }
            }
        } catch (IOException e) {
            // no device, or it went while we looked
        }
        return null;
    }

    // ---- Windows --------------------------------------------------------------------------------

    /** The POSIX-style names PortOpen translates on Windows, by the COM port they mean. */
    private static final String[][] POSIX_NAMES = {
        {"COM1", "/dev/ttyS0"}, {"COM2", "/dev/ttyS1"}, {"COM3", "/dev/ttyS4"},
        {"COM4", "/dev/ttyS5"}, {"COM5", "/dev/ttyS6"}, {"COM6", "/dev/ttyS7"},
        {"COM7", "/dev/ttyS8"}, {"COM8", "/dev/ttyS9"}, {"COM9", "/dev/ttyS10"},
        {"COM10", "/dev/ttyS11"},
    };

    static List<Port> windowsSerialPorts() throws IOException {
        Process reg = new ProcessBuilder("reg", "query", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM")
                .redirectErrorStream(true).start();
        List<String> lines = new ArrayList<>();
        try (BufferedReader r = new BufferedReader(
                new InputStreamReader(reg.getInputStream(), StandardCharsets.UTF_8))) {
            for (String line; (line = r.readLine()) != null; ) {
                lines.add(line);
            }
        }
        try {
            reg.waitFor(10, TimeUnit.SECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        return windowsSerialPorts(lines);
    }

    /** The ports in the output of reg query: "    \Device\Serial0    REG_SZ    COM1". */
    static List<Port> windowsSerialPorts(List<String> regOutput) {
        Map<String, Port> ports = new TreeMap<>(NATURAL);
        Pattern row = Pattern.compile("\\s+(\\S.*?)\\s+REG_SZ\\s+(COM([0-9]+))\\s*");
        for (String line : regOutput) {
            Matcher m = row.matcher(line);
            if (!m.matches()) {
                continue;
            }
            String com = m.group(2);
            // COM10 and above are reachable only through the device namespace.
            String name = Integer.parseInt(m.group(3)) >= 10 ? "\\\\.\\" + com : com;
            Port port = new Port(name, m.group(1));
            for (String[] alias : POSIX_NAMES) {
                if (alias[0].equals(com)) {
                    port.names.add(alias[1]);
                }
            }
            ports.put(com, port);
        }
        return new ArrayList<>(ports.values());
    }

    // ---- output ---------------------------------------------------------------------------------

    static void printText(PrintStream out, List<Port> serial) {
        if (serial.isEmpty()) {
            out.println("caldrix " + CaldrixLoader.VERSION + " sees no serial ports.");
            return;
        }
        out.println("caldrix " + CaldrixLoader.VERSION
                + " sees these serial ports; PortOpen takes any name listed for a port:");
        for (Port p : serial) {
            out.println(p.device + (p.detail == null ? "" : "  (" + p.detail + ")"));
            for (String n : p.names.subList(1, p.names.size())) {
                out.println("    " + n);
            }
        }
    }

    /** The serial ports, then the HID part or, in one line, why there is none. */
    static void printText(PrintStream out, List<Port> serial, Hid hid) {
        printText(out, serial);
        if (hid.failure != null) {
            out.println("caldrix " + CaldrixLoader.VERSION
                    + " cannot list HID interfaces or USB printers: " + hid.failure);
        } else {
            for (String line : hid.output.split("\n")) {
                out.println(line);
            }
        }
    }

    /** The serial ports' object with the members of caldrix-ports's HID part added. */
    static void printJson(PrintStream out, List<Port> serial, Hid hid) {
        ByteArrayOutputStream b = new ByteArrayOutputStream();
        printJson(new PrintStream(b, true), serial);
        String own = new String(b.toByteArray(), StandardCharsets.UTF_8).trim();
        String members = hid.failure != null
                ? "\"hid\":null,\"printers\":null,\"hidError\":" + quote(hid.failure)
                : hid.output.trim().substring(1, hid.output.trim().length() - 1);
        out.println(own.substring(0, own.length() - 1) + "," + members + "}");
    }

    static void printJson(PrintStream out, List<Port> serial) {
        StringBuilder b = new StringBuilder();
        b.append("{\"version\":").append(quote(CaldrixLoader.VERSION)).append(",\"serial\":[");
        for (int i = 0; i < serial.size(); i++) {
            Port p = serial.get(i);
            b.append(i == 0 ? "" : ",").append("{\"device\":").append(quote(p.device))
             .append(",\"names\":[");
            for (int j = 0; j < p.names.size(); j++) {
                b.append(j == 0 ? "" : ",").append(quote(p.names.get(j)));
            }
            b.append("],\"detail\":").append(p.detail == null ? "null" : quote(p.detail))
             .append('}');
        }
        out.println(b.append("]}"));
    }

    static String quote(String s) {
        StringBuilder b = new StringBuilder("\"");
        for (char c : s.toCharArray()) {
            if (c == '"' || c == '\\') {
                b.append('\\').append(c);
            } else if (c < 0x20) {
                b.append(String.format("\\u%04x", (int) c));
            } else {
                b.append(c);
            }
        }
        return b.append('"').toString();
    }

    /** ttyS2 before ttyS10: runs of digits compare as numbers. */
    static final Comparator<String> NATURAL = (a, b) -> {
        Matcher x = Pattern.compile("(\\d+)|(\\D+)").matcher(a);
        Matcher y = Pattern.compile("(\\d+)|(\\D+)").matcher(b);
        while (x.find() && y.find()) {
            int c;
            if (x.group(1) != null && y.group(1) != null) {
                c = new java.math.BigInteger(x.group(1)).compareTo(
                        new java.math.BigInteger(y.group(1)));
            } else {
                c = x.group().compareTo(y.group());
            }
            if (c != 0) {
                return c;
            }
        }
        return a.length() != b.length() ? Integer.compare(a.length(), b.length())
                                        : a.compareTo(b);
    };
}
