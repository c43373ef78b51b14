package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.IOException;
import java.time.Duration;
import java.util.ArrayList;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.LockSupport;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.function.Executable;

/**
 * Pty pairs and port handles that are released after every test, whatever it left behind: the
 * port table is shared by the whole JVM, and a test that leaves a port open changes the handles
 * every later test gets.
 */
abstract class PortTestSupport {
    static final Duration WAIT = Duration.ofSeconds(5);

    private final Set<Integer> handles = new LinkedHashSet<>();
    private final List<PtyPair> pairs = new ArrayList<>();

    PtyPair pair() throws IOException, InterruptedException {
        PtyPair p = PtyPair.start();
        synchronized (pairs) {
            pairs.add(p);
        }
        return p;
    }

    /** PortOpen, remembering a handle it hands out so that it is closed after the test. */
    int open(String name) throws IOException {
        int h = caldrix.PortOpen(name);
        if (h > 0) {
            synchronized (handles) {
                handles.add(h);
            }
        }
        return h;
    }

    /** PortOpen that must succeed. */
    int openOk(String name) throws IOException {
        int h = open(name);
        if (h < 1 || h > 9) {
            fail("PortOpen(" + name + ") returned " + h);
        }
        return h;
    }

    /** PortClose of a handle the test opened, which must succeed. */
    void close(int h) throws IOException {
        synchronized (handles) {
            handles.remove(h);
        }
        assertEquals(0, caldrix.PortClose(h), "PortClose(" + h + ")");
    }

    @AfterEach
    void releasePortsAndPairs() throws Exception {
        List<Integer> open;
        synchronized (handles) {
            open = new ArrayList<>(handles);
            handles.clear();
        }
        // A test that timed out may have left a call stuck on one of these ports, and a close
        // waits for the calls on its port; so the closes get a bound of their own, and the
        // pairs are torn down in any case, which ends a read stuck on a vanished device.
        Thread closer = new Thread(() -> {
            for (int h : open) {
                try {
                    caldrix.PortClose(h);
                } catch (IOException ignored) {
                    // the slot is freed whatever the close reports
                }
            }
        }, "port-closer");
        closer.setDaemon(true);
        closer.start();
        closer.join(WAIT.toMillis());
        List<PtyPair> ps;
        synchronized (pairs) {
            ps = new ArrayList<>(pairs);
            pairs.clear();
        }
        for (PtyPair p : ps) {
            p.close();
        }
        if (closer.isAlive()) {
            fail("PortClose of the handles " + open + " did not return within " + WAIT);
        }
    }

    /** Asserts that the call raises an IOException with exactly this message. */
    static void assertIOException(String message, Executable call) {
        IOException e = assertThrows(IOException.class, call);
        assertEquals(message, e.getMessage());
    }

    /**
     * Waits until the port reports at least n bytes waiting and returns the last count read. The
     * library offers no event for arriving bytes, so the count is polled, with a bound.
     */
    static int awaitReadCount(int h, int n) throws IOException {
        long deadline = System.nanoTime() + WAIT.toNanos();
        int count;
        while ((count = caldrix.PortGetReadCount(h)) < n && System.nanoTime() < deadline) {
            LockSupport.parkNanos(TimeUnit.MILLISECONDS.toNanos(1));
        }
        return count;
    }

    /**
     * Reads until n bytes have come or the bound has passed; returns what came. Each PortRead
     * that finds nothing waits for at most about 100 ms, which paces the loop.
     */
    static byte[] readFully(int h, int n) throws IOException {
        byte[] got = new byte[n];
        int have = 0;
        long deadline = System.nanoTime() + WAIT.toNanos();
        byte[] chunk = new byte[n];
        while (have < n && System.nanoTime() < deadline) {
            int r = caldrix.PortRead(h, chunk, n - have);
            assertTrue(r >= 0 && r <= n - have, "PortRead returned " + r);
            System.arraycopy(chunk, 0, got, have, r);
            have += r;
        }
        return java.util.Arrays.copyOf(got, have);
    }

    /**
     * Asserts equal byte sequences; on a difference it names the lengths and the first differing
     * position with its neighbourhood rather than printing kilobytes of hex.
     */
    static void assertSameBytes(byte[] expected, byte[] actual, String what) {
        if (java.util.Arrays.equals(expected, actual)) {
            return;
        }
        int i = java.util.Arrays.mismatch(expected, actual);
        int from = Math.max(0, i - 4);
        fail(String.format("%s: expected %d bytes, got %d; first difference at %d:"
                        + " expected ...%s... but was ...%s...",
                what, expected.length, actual.length, i,
                PtyPair.hex(java.util.Arrays.copyOfRange(expected, from,
                        Math.min(expected.length, i + 4))),
                PtyPair.hex(java.util.Arrays.copyOfRange(actual, from,
                        Math.min(actual.length, i + 4)))));
    }

    static byte[] ascii(String s) {
        return s.getBytes(java.nio.charset.StandardCharsets.US_ASCII);
    }

    /** A recognisable pattern that no two neighbouring blocks share. */
    static byte[] pattern(int n, int seed) {
        byte[] b = new byte[n];
        for (int i = 0; i < n; i++) {
            b[i] = (byte) ((i * 31 + seed + (i >> 8)) & 0xFF);
        }
        return b;
    }
}
