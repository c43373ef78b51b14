package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.Set;
import java.util.TreeSet;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** What needs no port: loading the library, and the adapter address. */
class LibraryTest {
    /** Run in a JVM of its own: binds a native method of each class, and prints nothing itself. */
    public static final class Probe {
        public static void main(String[] args) throws Exception {
            boolean dtr = caldrix.PortIsDTR(0);
            boolean cd = tellspan.devices.tavrolink.caldrix.PortIsCD(0);
            System.exit(dtr && cd ? 0 : 3);
        }
    }

    /**
     * The load line goes to the process's standard output through C stdio, out of reach of
     * System.setOut, so a fresh JVM is started and its whole output compared: by default, and
     * with each setting of the property and of the environment variable that send it elsewhere.
     * The property wins over the variable.
     */
    @Test
    void theLoadLineIsPrintedOnceWhereTheSettingSays(@TempDir Path dir) throws Exception {
        final String line = " caldrix: on_library_load: \n";
        // property (or null), CALDRIX_LOG (or null), expected stdout, expected stderr
        String[][] rows = {
            {null, null, line, ""},
            {"off", null, "", ""},
            {"stderr", null, "", line},
            {null, "off", "", ""},
            {null, "stderr", "", line},
            {"stdout", "off", line, ""},
        };
        for (String[] row : rows) {
            String what = "property " + row[0] + ", CALDRIX_LOG " + row[1];
            File out = dir.resolve("stdout").toFile();
            File err = dir.resolve("stderr").toFile();
            java.util.List<String> command = new java.util.ArrayList<>(java.util.List.of(
                    Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                    "-D" + caldrix.LIBRARY_PROPERTY + "="
                            + System.getProperty(caldrix.LIBRARY_PROPERTY, ""),
                    "-Djava.library.path=" + System.getProperty("java.library.path")));
            if (row[0] != null) {
                command.add("-Dcaldrix.log=" + row[0]);
            }
            command.addAll(java.util.List.of(
                    "-cp", System.getProperty("java.class.path"), Probe.class.getName()));
            ProcessBuilder pb = new ProcessBuilder(command)
                    .redirectInput(new File("/dev/null")).redirectOutput(out).redirectError(err);
            pb.environment().remove("CALDRIX_LOG");
            if (row[1] != null) {
                pb.environment().put("CALDRIX_LOG", row[1]);
            }
            Process p = pb.start();
            boolean ended = p.waitFor(60, TimeUnit.SECONDS);
            if (!ended) {
                p.destroyForcibly();
            }
            assertTrue(ended, what + ": child JVM did not end within 60 s");
            String stderr = Files.readString(err.toPath(), StandardCharsets.ISO_8859_1);
            assertEquals(0, p.exitValue(), what + ": child JVM exit code; its stderr:\n" + stderr);
            assertEquals(row[2], Files.readString(out.toPath(), StandardCharsets.ISO_8859_1),
                    what + ": child JVM stdout");
            assertEquals(row[3], stderr, what + ": child JVM stderr");
        }
    }

    @Test
    void macAddressIsThatOfANetworkInterfaceAndNeedsSixBytes() throws Exception {
        String message = "GetMACAddress: the address array must hold at least 6 bytes";
        byte[] shortArray = {1, 2, 3, 4, 5};
        PortTestSupport.assertIOException(message, () -> caldrix.GetMACAddress(shortArray));
        assertArrayEquals(new byte[] {1, 2, 3, 4, 5}, shortArray);
        PortTestSupport.assertIOException(message, () -> caldrix.GetMACAddress(null));

        Set<String> macs = new TreeSet<>();
        try (Stream<Path> nets = Files.list(Path.of("/sys/class/net"))) {
            for (Path n : (Iterable<Path>) nets::iterator) {
                Path a = n.resolve("address");
                if (!n.endsWith("lo") && Files.isReadable(a)) {
                    macs.add(Files.readString(a, StandardCharsets.US_ASCII).trim());
                }
            }
        }
        macs.removeIf(m -> !m.matches("([0-9a-f]{2}:){5}[0-9a-f]{2}")
                || m.equals("00:00:00:00:00:00"));
        assumeFalse(macs.isEmpty(), "this machine has no network interface besides loopback");
        byte[] mac = new byte[8];
        Arrays.fill(mac, (byte) 0x77);
        assertEquals(6, caldrix.GetMACAddress(mac));
        String got = HexFormat.ofDelimiter(":").formatHex(mac, 0, 6);
        assertTrue(macs.contains(got), got + " is not one of " + macs);
        assertArrayEquals(new byte[] {0x77, 0x77}, Arrays.copyOfRange(mac, 6, 8), "bytes 6 and 7");
    }
}
