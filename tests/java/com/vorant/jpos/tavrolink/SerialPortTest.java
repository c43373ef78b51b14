package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertAll;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * One port on a real pseudo-terminal, the test playing the device on the other end. What the
 * library told the driver is read back with stty from outside, so a setting that is accepted but
 * not applied shows.
 */
class SerialPortTest extends PortTestSupport {
    private PtyPair pty;
    private int h;

    @BeforeEach
    void openPort() throws Exception {
        pty = pair();
        h = openOk(pty.port);
    }

    /** Whatever the port sent before this marker would arrive ahead of it at the peer. */
    private void assertNothingElseSent() throws Exception {
        assertEquals(0, caldrix.PortWrite(h, ascii("#"), 1));
        assertArrayEquals(ascii("#"), pty.peerAwait(1, WAIT), "before the marker");
    }

    /** Asserts that `stty -a` of the port shows each of these words, e.g. "9600", "-cstopb". */
    private void assertStty(String... words) throws Exception {
        Process p = new ProcessBuilder("stty", "-a", "-F", pty.port)
                .redirectInput(new File("/dev/null"))
                .redirectErrorStream(true)
                .start();
        String text = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(10, TimeUnit.SECONDS), "stty did not end");
        assertEquals(0, p.exitValue(), "stty: " + text);
        List<String> shown = List.of(text.split("[\\s;=]+"));
        for (String w : words) {
            assertTrue(shown.contains(w), w + " in " + text);
        }
    }

    @Test
    void everyByteValuePassesUnchangedBothWaysAndNothingIsEchoed() throws Exception {
        // CR, LF, XON, XOFF, ^C, DEL and the top bit are where a line left cooked would
        // translate, swallow or strip something.
        byte[] all = new byte[256];
        for (int i = 0; i < all.length; i++) {
            all[i] = (byte) i;
        }
        assertEquals(0, caldrix.PortWrite(h, all, all.length));
        assertArrayEquals(all, pty.peerAwait(all.length, WAIT), "to the peer");
        pty.peerWrite(all);
        assertArrayEquals(all, readFully(h, all.length), "from the peer");
        assertNothingElseSent();
    }

    @Test
    void readTakesAtMostTheCountAndReturnsWhatHasCome() throws Exception {
        pty.peerWrite(ascii("0123456789"));
        assertEquals(10, awaitReadCount(h, 10), "PortGetReadCount");
        byte[] buf = ascii("................");
        assertEquals(4, caldrix.PortRead(h, buf, 4));
        assertEquals(6, caldrix.PortGetReadCount(h), "PortGetReadCount after reading 4");
        long start = System.nanoTime();
        assertEquals(6, caldrix.PortRead(h, buf, 16));
        assertEquals(0, caldrix.PortRead(h, buf, 16), "read with nothing waiting");
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertTrue(ms < 1000, "two PortReads took " + ms + " ms");
        assertArrayEquals(ascii("456789.........."), buf);
    }

    @Test
    void aLongWriteArrivesWholeAfterItsPauses() throws Exception {
        byte[] data = pattern(20000, 7);
        long start = System.nanoTime();
        assertEquals(0, caldrix.PortWrite(h, data, data.length));
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        // Each of the two full 8192-byte chunks is followed by a 250 ms pause.
        assertTrue(ms >= 500, "PortWrite of 20000 bytes took only " + ms + " ms");
        assertArrayEquals(data, pty.peerAwait(data.length, WAIT), "arrived at the peer");
    }

    @Test
    void purgeOfInputDropsWaitingBytesAndPurgeOfOutputLeavesThem() throws Exception {
        pty.peerWrite(ascii("stale"));
        assertEquals(5, awaitReadCount(h, 5));
        assertEquals(0, caldrix.PortPurge(h, true, false));
        assertEquals(5, caldrix.PortGetReadCount(h), "after a purge of the transmit queue");
        assertEquals(0, caldrix.PortPurge(h, false, true));
        assertEquals(0, caldrix.PortGetReadCount(h), "after a purge of the receive queue");
        pty.peerWrite(ascii("fresh"));
        assertArrayEquals(ascii("fresh"), readFully(h, 5));
    }

    @Test
    void badCountsAndMissingArraysAreRefusedAndTouchNothing() throws Exception {
        pty.peerWrite(ascii("xyz"));
        assertEquals(3, awaitReadCount(h, 3));
        byte[] buf = ascii("abcd");
        for (int count : new int[] {0, -1, 5}) {
            assertIOException("Invalid read count", () -> caldrix.PortRead(h, buf, count));
            assertIOException("Invalid write count", () -> caldrix.PortWrite(h, buf, count));
        }
        assertIOException("Invalid read count", () -> caldrix.PortRead(h, null, 1));
        assertIOException("Invalid write count", () -> caldrix.PortWrite(h, null, 1));
        assertArrayEquals(ascii("abcd"), buf, "array after the refused reads");
        assertEquals(3, caldrix.PortGetReadCount(h), "bytes still waiting");
        assertNothingElseSent();
    }

    @Test
    void lineSettingsReachTheDriver() throws Exception {
        // A fresh pty runs at 38400: these are the open's settings. Linux keeps a pty at cs8
        // without parity whatever is asked, so data bits and parity on/off cannot show here.
        assertStty("9600", "-cstopb");
        assertEquals(0, caldrix.PortSetParams(h, 19200, 7, 2, 1, 0));
        assertStty("19200", "cstopb", "parodd");
        assertEquals(0, caldrix.PortSetParams(h, 4800, 8, 1, 2, 0));
        assertStty("4800", "-cstopb", "-parodd");
        assertIOException("SetPortParams: Invalid baud rate",
                () -> caldrix.PortSetParams(h, 14400, 8, 2, 1, 0));
        assertStty("4800", "-cstopb", "-parodd");
    }

    @Test
    void modemLinesOfAPseudoTerminalAndLineSwitches() throws Exception {
        // A pty has no modem lines; the platform reports a ready peer.
        assertAll(
                () -> assertTrue(caldrix.PortIsCTS(h), "CTS"),
                () -> assertTrue(caldrix.PortIsDSR(h), "DSR"),
                () -> assertTrue(tellspan.devices.tavrolink.caldrix.PortIsCD(h), "CD"),
                () -> assertFalse(caldrix.PortIsRI(h), "RI"),
                () -> assertEquals(0, caldrix.PortSetRTS(h, false), "RTS off"),
                () -> assertEquals(0, caldrix.PortSetDTR(h, false), "DTR off"),
                () -> assertEquals(0, caldrix.PortSetRTS(h, true), "RTS on"),
                () -> assertEquals(0, caldrix.PortSetDTR(h, true), "DTR on"));
        assertEquals(0, caldrix.PortSetHWFlowControl(h, true));
        assertStty("crtscts");
        // CTS reads as on, so output still flows.
        assertEquals(0, caldrix.PortWrite(h, ascii("flow"), 4));
        assertArrayEquals(ascii("flow"), pty.peerAwait(4, WAIT));
        assertEquals(0, caldrix.PortSetHWFlowControl(h, false));
        assertStty("-crtscts");
    }
}
