package com.vorant.jpos.tavrolink;

import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.Condition;
import java.util.concurrent.locks.ReentrantLock;

/**
 * Two pseudo-terminals joined back to back by socat: what one end writes, the other end reads.
 * The library opens {@link #port}; the test plays the device on {@link #peer} with plain file
 * I/O. A reader thread collects everything that arrives at the peer so that tests can wait for
 * it with a bound instead of blocking in a read.
 */
final class PtyPair implements AutoCloseable {
    static final Duration READY_TIMEOUT = Duration.ofSeconds(10);

    /** The device path of the end the library opens, e.g. /dev/pts/3. */
    final String port;
    /** The device path of the end the test uses. */
    final String peer;

    private final Process socat;
    private final Path dir;

    private final ReentrantLock lock = new ReentrantLock();
    private final Condition arrived = lock.newCondition();
    private final ByteArrayOutputStream received = new ByteArrayOutputStream();
    private FileInputStream peerIn;
    private FileOutputStream peerOut;
    private Thread peerReader;

    private PtyPair(Process socat, Path dir, String port, String peer) {
        this.socat = socat;
        this.dir = dir;
        this.port = port;
        this.peer = peer;
    }

    static PtyPair start() throws IOException, InterruptedException {
        Path dir = Files.createTempDirectory("caldrix-pty");
        Path a = dir.resolve("port");
        Path b = dir.resolve("peer");
        // The library's end starts in the cooked default settings a fresh terminal has, so that
        // it shows whether the library's open makes the line raw; the test's end is raw.
        // socat runs under a shell that stops it as soon as its input ends: when the pair is
        // closed, and also when this JVM dies without closing it (a timed-out test run).
        Process p = new ProcessBuilder("sh", "-c",
                "socat -d -d \"$1\" \"$2\" </dev/null & pid=$!; read _; kill $pid; wait $pid",
                "sh", "pty,link=" + a, "pty,raw,echo=0,link=" + b)
                .redirectOutput(ProcessBuilder.Redirect.DISCARD)
                .start();
        StringBuilder log = new StringBuilder();
        CountDownLatch ready = new CountDownLatch(1);
        // socat announces the transfer loop after it has made both links; its log is drained for
        // the whole run so that it never blocks on a full pipe.
        Thread logReader = new Thread(() -> {
            try (BufferedReader r = new BufferedReader(
                    new InputStreamReader(p.getErrorStream(), StandardCharsets.UTF_8))) {
                String line;
                while ((line = r.readLine()) != null) {
                    synchronized (log) {
                        log.append(line).append('\n');
                    }
                    if (line.contains("starting data transfer loop")) {
                        ready.countDown();
                    }
                }
            } catch (IOException ignored) {
                // socat has gone; nothing more to log
            }
            ready.countDown();
        }, "socat-log");
        logReader.setDaemon(true);
        logReader.start();
        boolean signalled = ready.await(READY_TIMEOUT.toMillis(), TimeUnit.MILLISECONDS);
        if (!signalled || !p.isAlive() || !Files.exists(a) || !Files.exists(b)) {
            p.descendants().forEach(ProcessHandle::destroyForcibly);
            p.destroyForcibly();
            String text;
            synchronized (log) {
                text = log.toString();
            }
            throw new IOException("socat did not set up a pty pair within " + READY_TIMEOUT
                    + (signalled ? "" : " (timed out)") + ":\n" + text);
        }
        return new PtyPair(p, dir, a.toRealPath().toString(), b.toRealPath().toString());
    }

    private void openPeer() throws IOException {
        if (peerIn != null) {
            return;
        }
        peerIn = new FileInputStream(peer);
        peerOut = new FileOutputStream(peer);
        FileInputStream in = peerIn;
        peerReader = new Thread(() -> {
            byte[] buf = new byte[4096];
            try {
                int n;
                while ((n = in.read(buf)) > 0) {
                    lock.lock();
                    try {
                        received.write(buf, 0, n);
                        arrived.signalAll();
                    } finally {
                        lock.unlock();
                    }
                }
            } catch (IOException ignored) {
                // the pair is being torn down
            }
        }, "pty-peer-reader");
        peerReader.setDaemon(true);
        peerReader.start();
    }

    /** Starts collecting what arrives at the peer; bytes that arrive before this are kept too. */
    PtyPair listen() throws IOException {
        openPeer();
        return this;
    }

    /** Writes bytes from the peer end, as a device would send them. */
    void peerWrite(byte[] bytes) throws IOException {
        openPeer();
        peerOut.write(bytes);
        peerOut.flush();
    }

    /**
     * Waits until at least n bytes have arrived at the peer (or the timeout passes) and returns
     * everything that arrived, consuming it.
     */
    byte[] peerAwait(int n, Duration timeout) throws IOException, InterruptedException {
        openPeer();
        long deadline = System.nanoTime() + timeout.toNanos();
        lock.lock();
        try {
            while (received.size() < n) {
                long left = deadline - System.nanoTime();
                if (left <= 0) {
                    break;
                }
                arrived.awaitNanos(left);
            }
            byte[] out = received.toByteArray();
            received.reset();
            return out;
        } finally {
            lock.unlock();
        }
    }

    /** Everything that has arrived at the peer so far, consumed. */
    byte[] peerTake() throws IOException {
        openPeer();
        lock.lock();
        try {
            byte[] out = received.toByteArray();
            received.reset();
            return out;
        } finally {
            lock.unlock();
        }
    }

    @Override
    public void close() throws IOException {
        // Stopping socat closes the masters: the peer reader's read ends with an error.
        socat.getOutputStream().close();
        try {
            if (!socat.waitFor(5, TimeUnit.SECONDS)) {
                socat.descendants().forEach(ProcessHandle::destroyForcibly);
                socat.destroyForcibly();
                socat.waitFor(5, TimeUnit.SECONDS);
            }
            if (peerReader != null) {
                peerReader.join(5000);
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        if (peerReader != null) {
            // A reader still blocked would read from whatever file reused the descriptor.
            if (!peerReader.isAlive()) {
                peerIn.close();
            }
            peerOut.close();
        }
        try (var links = Files.list(dir)) {
            for (Path p : (Iterable<Path>) links::iterator) {
                Files.deleteIfExists(p);
            }
        }
        Files.deleteIfExists(dir);
    }

    static String hex(byte[] bytes) {
        StringBuilder sb = new StringBuilder();
        for (byte b : bytes) {
            sb.append(String.format("%02x", b & 0xFF));
        }
        return sb.toString();
    }

    static byte[] concat(byte[]... parts) {
        int n = 0;
        for (byte[] p : parts) {
            n += p.length;
        }
        byte[] out = new byte[n];
        int at = 0;
        for (byte[] p : parts) {
            System.arraycopy(p, 0, out, at, p.length);
            at += p.length;
        }
        return out;
    }
}
