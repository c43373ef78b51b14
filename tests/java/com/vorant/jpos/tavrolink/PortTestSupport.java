package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.LockSupport;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.function.Executable;

/**
 * Pty pairs made for a test, and every port, are released after it whatever it left behind: the
 * port table is shared by the whole JVM, and a port left open changes the handles later tests get.
 */
abstract class PortTestSupport {
    static final Duration WAIT = Duration.ofSeconds(5);

    private final List<PtyPair> pairs = new ArrayList<>();

    PtyPair pair() throws IOException, InterruptedException {
        PtyPair p = PtyPair.start();
        synchronized (pairs) {
            pairs.add(p);
        }
        return p;
    }

    static int openOk(String name) throws IOException {
        int h = caldrix.PortOpen(name);
        assertTrue(h >= 1 && h <= 9, "PortOpen(" + name + ") returned " + h);
        return h;
    }

    @AfterEach
    void releasePairsAndPorts() throws Exception {
        // The pairs go first: a call that a timed-out test left stuck on a port ends when its
        // device vanishes, and a close waits for the calls on its port.
        synchronized (pairs) {
            for (PtyPair p : pairs) {
                p.close();
            }
            pairs.clear();
        }
        for (int h = 1; h <= 9; h++) {
            try {
                caldrix.PortClose(h);
            } catch (IOException ignored) {
                // the slot is freed whatever the close reports
            }
        }
    }

    static void assertIOException(String message, Executable call) {
        assertEquals(message, assertThrows(IOException.class, call).getMessage());
    }

    /**
     * Waits until the port reports at least n bytes waiting; returns the last count. Nothing
     * signals arriving bytes, so the count is polled, with a bound.
     */
    static int awaitReadCount(int h, int n) throws IOException {
        long deadline = System.nanoTime() + WAIT.toNanos();
        int count;
        while ((count = caldrix.PortGetReadCount(h)) < n && System.nanoTime() < deadline) {
            LockSupport.parkNanos(TimeUnit.MILLISECONDS.toNanos(1));
        }
        return count;
    }

    /** Reads until n bytes have come or the bound has passed; an empty read paces the loop. */
    static byte[] readFully(int h, int n) throws IOException {
        byte[] got = new byte[n];
        byte[] chunk = new byte[n];
        int have = 0;
        long deadline = System.nanoTime() + WAIT.toNanos();
        while (have < n && System.nanoTime() < deadline) {
            int r = caldrix.PortRead(h, chunk, n - have);
            assertTrue(r >= 0 && r <= n - have, "PortRead returned " + r);
            System.arraycopy(chunk, 0, got, have, r);
            have += r;
        }
        return Arrays.copyOf(got, have);
    }

    static byte[] ascii(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
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
