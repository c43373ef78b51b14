package com.vorant.jpos.tavrolink.port;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;

import com.vorant.jpos.tavrolink.PortList;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.concurrent.Callable;
import org.junit.jupiter.api.Test;

/** The listing as data, and the library's messages sorted by their text. */
class PortListingTest {
    @Test
    void theListingHoldsWhatTheListerPrints() throws Exception {
        PrintStream saved = System.out;
        ByteArrayOutputStream printed = new ByteArrayOutputStream();
        System.setOut(new PrintStream(printed, true, StandardCharsets.UTF_8));
        try {
            PortList.main(new String[] {"--json"});
        } finally {
            System.setOut(saved);
        }
        String json = printed.toString(StandardCharsets.UTF_8).trim();
        assertEquals(json, PortList.json());
        // Without a lister named, the library makes the listing in this JVM: the same one.
        PortListing printedListing = PortListing.parse(json);
        PortListing scanned = withLister(null, PortListing::scan);
        assertEquals(printedListing.serial().toString(), scanned.serial().toString());
        assertEquals(printedListing.hid().toString(), scanned.hid().toString());
        assertEquals(printedListing.printers().toString(), scanned.printers().toString());

        PortListing l = PortListing.parse("{\"version\":\"1.2.3\",\"serial\":[{\"device\":"
                + "\"/dev/ttyS0\",\"names\":[\"/dev/ttyS0\",\"COM1\"],\"detail\":\"serial8250\"},"
                + "{\"device\":\"/dev/ttyUSB0\",\"names\":[\"/dev/ttyUSB0\",\"/dev/serial/by-id/"
                + "usb-\\\"Till\\\"\\u0001\"],\"detail\":null}],\"hid\":[{\"path\":\"\\\\\\\\?\\\\"
                + "hid#vid_04b8&pid_0202#hidraw3\",\"names\":[{\"name\":\"/USB/0x04b8/0x0202\","
                + "\"match\":\"vid_04b8&pid_0202\",\"opens\":null}]}],\"printers\":[],"
                + "\"hidError\":null}");
        assertEquals("1.2.3", l.version());
        assertEquals("[/dev/ttyS0 [/dev/ttyS0, COM1], /dev/ttyUSB0 [/dev/ttyUSB0, "
                + "/dev/serial/by-id/usb-\"Till\"\u0001]]", l.serial().toString());
        assertEquals("serial8250", l.serial().get(0).detail());
        assertNull(l.serial().get(1).detail());
        PortListing.Interface i = l.hid().get(0);
        assertEquals("\\\\?\\hid#vid_04b8&pid_0202#hidraw3", i.path());
        assertEquals("vid_04b8&pid_0202", i.names().get(0).match());
        assertNull(i.names().get(0).opens());
        assertEquals(List.of(), l.printers());
        assertNull(l.hidError());

        PortListing failed = PortListing.parse("{\"version\":\"1\",\"serial\":[],\"hid\":null,"
                + "\"printers\":null,\"hidError\":\"caldrix-ports did not run\"}");
        assertEquals("caldrix-ports did not run", failed.hidError());
        assertEquals(List.of(), failed.hid());
        assertEquals("the ports were not listed: caldrix-ports did not run",
                assertThrows(IllegalArgumentException.class, () -> PortListing.parse(
                        "{\"version\":\"1\",\"error\":\"caldrix-ports did not run\"}"))
                        .getMessage());
        assertEquals("not the port lister's JSON: ':' expected at 11",
                assertThrows(IllegalArgumentException.class,
                        () -> PortListing.parse("{\"version\" \"1\"}")).getMessage());
        assertEquals("serial is not a JSON array", assertThrows(IllegalArgumentException.class,
                () -> PortListing.parse("{\"version\":\"1\",\"serial\":{}}")).getMessage());
    }

    /** A named lister that is not there: the scan fails with the reason, nothing is guessed. */
    @Test
    void aListerThatCannotRunFailsTheScanWithTheReason() throws Exception {
        assertEquals("/nonexistent/caldrix-ports could not be started: Cannot run program "
                + "\"/nonexistent/caldrix-ports\": error=2, No such file or directory",
                assertThrows(IOException.class, () -> withLister("/nonexistent/caldrix-ports",
                        PortListing::scan)).getMessage());
    }

    /** Runs body with caldrix.ports set to lister, or cleared for null. */
    private static <T> T withLister(String lister, Callable<T> body) throws Exception {
        String saved = System.getProperty("caldrix.ports");
        try {
            if (lister == null) {
                System.clearProperty("caldrix.ports");
            } else {
                System.setProperty("caldrix.ports", lister);
            }
            return body.call();
        } finally {
            if (saved == null) {
                System.clearProperty("caldrix.ports");
            } else {
                System.setProperty("caldrix.ports", saved);
            }
        }
    }

    /** Messages of other systems and devices than this machine can make fail. */
    @Test
    void messagesAreSortedByTheirText() {
        Object[][] cases = {
            {"CreateFile error 3 on port", PortNotFoundException.class},
            {"INVALID_HANDLE - \\\\?\\hid#vid_04b8&pid_0202#hidraw3", PortAccessDeniedException.class},
            {"ReadFile error 433 on port", DeviceGoneException.class},
            {"WriteFile: GetLastError=22", DeviceGoneException.class},
            {"PurgeComm: GetLastError = 48f04\n", DeviceGoneException.class},
            {"EscapeCommFunction: GetLastError = 1f04\n", PortException.class},
            {"SetupDiEnumDeviceInterfaces error 5", PortException.class},
            {"Number of bytes written [100] != number of bytes requested [8192]",
             PortTimeoutException.class},
            {"Number of bytes written != number of bytes requested", PortException.class},
        };
        for (Object[] c : cases) {
            PortException e = Failures.classify(new IOException((String) c[0]));
            assertSame(c[1], e.getClass(), (String) c[0]);
            assertEquals(c[0], e.getMessage());
        }
    }
}
