package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vorant.jpos.tavrolink.port.CaldrixPort;
import com.vorant.jpos.tavrolink.port.DeviceGoneException;
import com.vorant.jpos.tavrolink.port.Parity;
import com.vorant.jpos.tavrolink.port.PortClosedException;
import com.vorant.jpos.tavrolink.port.PortException;
import com.vorant.jpos.tavrolink.port.PortTimeoutException;
import com.vorant.jpos.tavrolink.port.StopBits;
import java.io.File;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/** The port object over a real pseudo-terminal, the test playing the device at the far end. */
class PortObjectTest extends PortTestSupport {
    static <T extends Throwable> void assertFails(Class<T> type, String message, Executable call) {
        Throwable t = assertThrows(Throwable.class, call);
        assertSame(type, t.getClass(), "thrown: " + t);
        assertEquals(message, t.getMessage());
    }

    private static String stty(String port) throws Exception {
        Process p = new ProcessBuilder("stty", "-a", "-F", port)
                .redirectInput(new File("/dev/null")).redirectErrorStream(true).start();
        String text = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(10, TimeUnit.SECONDS), "stty did not end");
        return text;
    }

    @Test
    void streamsSettingsAndLinesWorkOnASerialPort() throws Exception {
        PtyPair p = pair();
        try (CaldrixPort port = CaldrixPort.open(p.port)) {
            assertFalse(port.isHid());
            port.configure(19200, 7, Parity.ODD, StopBits.TWO);
            List<String> shown = List.of(stty(p.port).split("[\\s;=]+"));
            assertTrue(shown.containsAll(List.of("19200", "cstopb", "parodd")), shown.toString());
            port.configure(4800, 8, Parity.EVEN, StopBits.ONE);
            shown = List.of(stty(p.port).split("[\\s;=]+"));
            assertTrue(shown.containsAll(List.of("4800", "-cstopb", "-parodd")), shown.toString());
            port.setHardwareFlowControl(true);
            assertTrue(List.of(stty(p.port).split("\\s+")).contains("crtscts"));
            port.setHardwareFlowControl(false);
            port.setRTS(true);
            port.setDTR(true);
            // A pty reports a ready peer.
            assertEquals(List.of(true, true, false, true),
                    List.of(port.isCTS(), port.isDSR(), port.isRI(), port.isCD()));

            OutputStream out = port.getOutputStream();
            out.write(ascii("xxhello"), 2, 5);
            out.write('!');
            assertArrayEquals(ascii("hello!"), p.peerAwait(6, WAIT));

            InputStream in = port.getInputStream();
            p.peerWrite(ascii("abcdef"));
            assertEquals(6, awaitReadCount(port.handle(), 6));
            assertEquals(6, in.available());
            byte[] buf = ascii("--------");
            assertEquals(2, in.read(buf, 3, 2));  // at an offset, no more than asked
            assertEquals('c', in.read());
            assertArrayEquals(ascii("---ab---"), buf);
            port.purge(false, true);
            assertEquals(0, port.getReadCount());
        }
    }

    /**
     * An idle read waits in the library without waking, holds up no other read past its time-out,
     * and a close from another thread ends it with end of stream; the port's handle is free again
     * afterwards.
     */
    @Test
    void anIdleSerialReadWakesNoThreadAndEndsAtClose() throws Exception {
        PtyPair p = pair();
        CaldrixPort port = CaldrixPort.open(p.port);
        assertIdleReadEndsAtClose(port, "serial stream read");
        assertEquals(port.handle(), openOk(p.port), "the handle is free again");
    }

    static void assertIdleReadEndsAtClose(CaldrixPort port, String what) throws Exception {
        long[] returned = new long[1];
        FutureTask<Integer> read = new FutureTask<>(() -> {
            int n = port.getInputStream().read(new byte[16]);
            returned[0] = System.nanoTime();
            return n;
        });
        Thread reader = daemon("idle-reader", read);
        awaitWaitingForInput(reader);
        assertIdleWakeups(what, "idle-reader");

        // A read with a time-out, behind the waiting one, keeps its time-out.
        port.setReadTimeout(200, TimeUnit.MILLISECONDS);
        long timed = System.nanoTime();
        assertFails(PortTimeoutException.class, "no byte came within 200 ms",
                () -> port.getInputStream().read());
        long timedMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - timed);
        assertTrue(timedMs >= 200 && timedMs < 1000, "a 200 ms time-out took " + timedMs + " ms");

        long start = System.nanoTime();
        port.close();
        assertEquals(-1, read.get(WAIT.toMillis(), TimeUnit.MILLISECONDS), "end of stream");
        long ms = TimeUnit.NANOSECONDS.toMillis(returned[0] - start);
        assertTrue(ms < 300, "the read ended " + ms + " ms after the close began");
        assertEquals(-1, port.getInputStream().read(), "a read of a closed port");
    }

    @Test
    void failuresArriveAsTypedExceptionsWithTheLibrarysMessage() throws Exception {
        // How a failed open reads is PortMessagesTest's. The library answers -1 without a word
        // for a name it cannot hold.
        String longName = "/dev/" + "x".repeat(300);
        assertFails(PortException.class, "PortOpen(\"" + longName + "\") answered -1: nine ports"
                + " are open, the name is longer than 260 bytes, or HID support could not be"
                + " loaded", () -> CaldrixPort.open(longName));
        PtyPair p = pair();
        CaldrixPort port = CaldrixPort.open(p.port);
        assertFails(PortException.class, "SetPortParams: Invalid baud rate",
                () -> port.configure(14400, 8, Parity.NONE, StopBits.ONE));

        port.setReadTimeout(200, TimeUnit.MILLISECONDS);
        long start = System.nanoTime();
        assertFails(PortTimeoutException.class, "no byte came within 200 ms",
                () -> port.getInputStream().read());
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertTrue(ms >= 200 && ms < 1000, "a 200 ms time-out took " + ms + " ms");

        // The far end goes: the write, the count and the waiting read learn it from the library.
        p.close();
        port.setReadTimeout(0, TimeUnit.MILLISECONDS);
        assertFails(DeviceGoneException.class, "WriteFile: GetLastError=1167",
                () -> port.getOutputStream().write(ascii("x")));
        assertFails(DeviceGoneException.class, "ClearCommError 1167 on port", port::getReadCount);
        assertFails(DeviceGoneException.class, "WaitCommEvent error 1167 on port",
                () -> port.getInputStream().read());
        port.close();
        port.close();  // again: nothing
        assertFails(PortClosedException.class, p.port + " is closed",
                () -> port.getOutputStream().write(1));
        assertFails(PortClosedException.class, p.port + " is closed", port::getReadCount);
        assertEquals(0, port.getInputStream().available());
    }

    @Test
    void aHandleClosedThroughTheStaticClassIsNoSilentAnswer() throws Exception {
        PtyPair p = pair();
        try (CaldrixPort port = CaldrixPort.open(p.port)) {
            assertEquals(0, caldrix.PortClose(port.handle()));
            assertFails(PortClosedException.class,
                    p.port + " (handle " + port.handle() + ") was closed outside this port object",
                    () -> port.purge(true, true));
        }
    }
}
