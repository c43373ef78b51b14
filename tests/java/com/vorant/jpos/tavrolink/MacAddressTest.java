package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.Set;
import java.util.TreeSet;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;

class MacAddressTest {

    /** The hardware addresses of this machine's interfaces other than loopback, non-zero. */
    private static Set<String> interfaceAddresses() throws IOException {
        Set<String> out = new TreeSet<>();
        try (Stream<Path> nets = Files.list(Paths.get("/sys/class/net"))) {
            for (Path n : (Iterable<Path>) nets::iterator) {
                if (n.getFileName().toString().equals("lo")) {
                    continue;
                }
                Path a = n.resolve("address");
                if (!Files.isReadable(a)) {
                    continue;
                }
                String mac = new String(Files.readAllBytes(a), StandardCharsets.US_ASCII).trim();
                if (mac.matches("([0-9a-f]{2}:){5}[0-9a-f]{2}") && !mac.equals("00:00:00:00:00:00")) {
                    out.add(mac);
                }
            }
        }
        return out;
    }

    private static String format(byte[] b, int n) {
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < n; i++) {
            sb.append(i == 0 ? "" : ":").append(String.format("%02x", b[i] & 0xFF));
        }
        return sb.toString();
    }

    @Test
    void answersTheAddressOfANetworkInterface() throws Exception {
        Set<String> macs = interfaceAddresses();
        assumeFalse(macs.isEmpty(), "this machine has no network interface besides loopback");
        byte[] mac = new byte[6];
        assertEquals(6, caldrix.GetMACAddress(mac));
        String got = format(mac, 6);
        assertTrue(macs.contains(got), got + " is not one of " + macs);
    }

    @Test
    void writesSixBytesOnlyAndTheSameOnEveryCall() throws Exception {
        assumeFalse(interfaceAddresses().isEmpty(), "no network interface besides loopback");
        byte[] first = new byte[6];
        assertEquals(6, caldrix.GetMACAddress(first));
        byte[] big = new byte[10];
        Arrays.fill(big, (byte) 0x77);
        assertEquals(6, caldrix.GetMACAddress(big));
        byte[] expected = Arrays.copyOf(first, 10);
        Arrays.fill(expected, 6, 10, (byte) 0x77);
        assertArrayEquals(expected, big);
    }

    @Test
    void nullOrShortArrayIsRefused() {
        String message = "GetMACAddress: the address array must hold at least 6 bytes";
        IOException e = assertThrows(IOException.class, () -> caldrix.GetMACAddress(null));
        assertEquals(message, e.getMessage());
        byte[] shortArray = {1, 2, 3, 4, 5};
        e = assertThrows(IOException.class, () -> caldrix.GetMACAddress(shortArray));
        assertEquals(message, e.getMessage());
        assertArrayEquals(new byte[] {1, 2, 3, 4, 5}, shortArray);
        e = assertThrows(IOException.class, () -> caldrix.GetMACAddress(new byte[0]));
        assertEquals(message, e.getMessage());
    }
}
