package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vorant.jpos.tavrolink.port.CaldrixPort;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
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

    /**
     * How long an idle port is watched for wakeups: 3 s by default, -Dcaldrix.idleSeconds=10 for
     * the longer measurement.
     */
    static final long IDLE_SECONDS = Long.getLong("caldrix.idleSeconds", 3);

    /**
     * Over an idle period, the voluntary context switches of the threads the library and the port
     * objects own (named caldrix-*, a name the kernel cuts to 15 characters) and of the threads
     * named: together no more than one a second, and a little slack for the start and end of the
     * window. Prints the figures, for the record.
     */
    static void assertIdleWakeups(String what, String... alsoNamed) throws Exception {
        Map<String, Long> before = voluntarySwitches(alsoNamed);
        TimeUnit.SECONDS.sleep(IDLE_SECONDS);  // the measurement window itself
        Map<String, Long> after = voluntarySwitches(alsoNamed);
        long total = 0;
        StringBuilder each = new StringBuilder();
        for (Map.Entry<String, Long> e : before.entrySet()) {
            Long end = after.get(e.getKey());
            assertTrue(end != null, e.getKey() + " ended during the idle period of " + what);
            total += end - e.getValue();
            each.append(' ').append(e.getKey()).append('=').append(end - e.getValue());
        }
        System.out.printf("idle wakeups, %s: %d in %d s:%s%n", what, total, IDLE_SECONDS, each);
        assertTrue(total <= IDLE_SECONDS + 2,
                what + ": " + total + " wakeups in " + IDLE_SECONDS + " s:" + each);
    }

    /** "name/tid" to voluntary_ctxt_switches of the threads that assertIdleWakeups counts. */
    private static Map<String, Long> voluntarySwitches(String... alsoNamed) throws IOException {
        Map<String, Long> out = new TreeMap<>();
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Path.of("/proc/self/task"))) {
            for (Path task : tasks) {
                try {
                    String name = Files.readString(task.resolve("comm")).strip();
                    if (name.startsWith("caldrix-") || List.of(alsoNamed).contains(name)) {
                        out.put(name + "/" + task.getFileName(), switches(task));
                    }
                } catch (IOException gone) {
                    // a thread that ended while being looked at is not one of the port's
                }
            }
        }
        return out;
    }

    /** The voluntary context switches so far of the thread whose /proc/self/task entry this is. */
    static long switches(Path task) throws IOException {
        for (String line : Files.readAllLines(task.resolve("status"))) {
            if (line.startsWith("voluntary_ctxt_switches:")) {
                return Long.parseLong(line.substring(24).strip());
            }
        }
        throw new AssertionError("no voluntary_ctxt_switches in " + task);
    }

    /** The /proc/self/task entry of a thread of that name (15 characters at most); null: none. */
    static Path task(String name) throws IOException {
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Path.of("/proc/self/task"))) {
            for (Path t : tasks) {
                try {
                    if (Files.readString(t.resolve("comm")).strip().equals(name)) {
                        return t;
                    }
                } catch (IOException gone) {
                    // a thread that ended while being looked at
                }
            }
        }
        return null;
    }

    /** A daemon thread of the test's, started. */
    static Thread daemon(String name, Runnable body) {
        Thread t = new Thread(body, name);
        t.setDaemon(true);
        t.start();
        return t;
    }

    /**
     * Waits until a thread waits in the library for input, seen in its stack, since nothing
     * signals that moment.
     */
    static void awaitWaitingForInput(Thread t) {
        long deadline = System.nanoTime() + WAIT.toNanos();
        while (System.nanoTime() < deadline) {
            for (StackTraceElement f : t.getStackTrace()) {
                if (f.getMethodName().equals("await") && f.getClassName().endsWith(".NativePort")) {
                    return;
                }
            }
            LockSupport.parkNanos(TimeUnit.MILLISECONDS.toNanos(1));
        }
        throw new AssertionError(t.getName() + " did not come to wait for input");
    }

    /** The port's delivery thread. */
    static Thread deliveryThread(CaldrixPort port) {
        String name = "caldrix-listener-" + port.name();
        for (Thread t : Thread.getAllStackTraces().keySet()) {
            if (t.getName().equals(name)) {
                return t;
            }
        }
        throw new AssertionError("no thread " + name);
    }

    static void assertEnds(Thread t) throws InterruptedException {
        t.join(WAIT.toMillis());
        assertTrue(!t.isAlive(), t.getName() + " did not end");
    }

    /** A step of a test, which may throw. */
    interface Step {
        void run() throws Exception;
    }

    /** The milliseconds the step took; it may run inside a listener call. */
    static long msTaken(Step step) {
        long start = System.nanoTime();
        try {
            step.run();
        } catch (Exception e) {
            throw new AssertionError(e);
        }
        return TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
    }

    /** The step returned within 300 ms: it waited for no listener, or for nothing stuck. */
    static void assertPrompt(String what, Step step) {
        long ms = msTaken(step);
        assertTrue(ms < 300, what + " took " + ms + " ms");
    }

    /**
     * Runs the step with the default uncaught-exception handler keeping what it is given; returns
     * what was reported, all of it from the thread named.
     */
    static List<Throwable> uncaughtOn(String thread, Step step) throws Exception {
        List<Map.Entry<String, Throwable>> got = new CopyOnWriteArrayList<>();
        Thread.UncaughtExceptionHandler saved = Thread.getDefaultUncaughtExceptionHandler();
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> got.add(Map.entry(t.getName(), e)));
        try {
            step.run();
        } finally {
            Thread.setDefaultUncaughtExceptionHandler(saved);
        }
        for (Map.Entry<String, Throwable> e : got) {
            assertEquals(thread, e.getKey(), "reported on: " + e.getValue());
        }
        return got.stream().map(Map.Entry::getValue).toList();
    }

    /** Waits for the latch, with the bound; it may wait inside a listener call. */
    static void await(CountDownLatch latch) {
        try {
            assertTrue(latch.await(WAIT.toMillis(), TimeUnit.MILLISECONDS), "not let go");
        } catch (InterruptedException e) {
            throw new AssertionError(e);
        }
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
