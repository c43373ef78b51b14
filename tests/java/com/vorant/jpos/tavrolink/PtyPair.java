package com.vorant.jpos.tavrolink;

import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * Two pseudo-terminals joined back to back by socat. The library opens {@link #port}; the test
 * plays the device on {@link #peer}, where a reader thread collects whatever arrives so that a
 * test waits for it with a bound instead of blocking in a read.
 */
final class PtyPair implements AutoCloseable {
    final String port;
    final String peer;

    private final Process socat;
    private final Path dir;
    private final ByteArrayOutputStream received = new ByteArrayOutputStream();
    private final FileInputStream peerIn;
    private final FileOutputStream peerOut;
    private final Thread peerReader;

    private PtyPair(Process socat, Path dir) throws IOException {
        this.socat = socat;
        this.dir = dir;
        port = dir.resolve("port").toRealPath().toString();
        peer = dir.resolve("peer").toRealPath().toString();
        peerIn = new FileInputStream(peer);
        peerOut = new FileOutputStream(peer);
        peerReader = daemon("pty-peer-reader", () -> {
            byte[] buf = new byte[4096];
            try {
                for (int n; (n = peerIn.read(buf)) > 0; ) {
                    synchronized (received) {
                        received.write(buf, 0, n);
                        received.notifyAll();
                    }
                }
            } catch (IOException ignored) {
                // the pair is being torn down
            }
        });
    }

    static PtyPair start() throws IOException, InterruptedException {
        Path dir = Files.createTempDirectory("caldrix-pty");
        // The library's end keeps the cooked settings a fresh terminal has, so that it shows
        // whether the library's open makes the line raw. socat runs under a shell that stops it
        // when its input ends: on close, and also when this JVM dies without closing it.
        Process p = new ProcessBuilder("sh", "-c",
                "socat -d -d \"$1\" \"$2\" </dev/null & pid=$!; read _; kill $pid; wait $pid",
                "sh", "pty,link=" + dir.resolve("port"),
                "pty,raw,echo=0,link=" + dir.resolve("peer"))
                .redirectOutput(ProcessBuilder.Redirect.DISCARD)
                .start();
        StringBuffer log = new StringBuffer();
        CountDownLatch ready = new CountDownLatch(1);
        // socat announces its transfer loop once both links exist; its log is drained for the
        // whole run so that it never blocks on a full pipe.
        daemon("socat-log", () -> {
            try (BufferedReader r = p.errorReader(StandardCharsets.UTF_8)) {
                for (String line; (line = r.readLine()) != null; ) {
                    log.append(line).append('\n');
                    if (line.contains("starting data transfer loop")) {
                        ready.countDown();
                    }
                }
            } catch (IOException ignored) {
                // socat has gone
            }
            ready.countDown();
        });
        try {
            if (!ready.await(10, TimeUnit.SECONDS) || !p.isAlive()) {
                throw new IOException("socat did not set up a pty pair within 10 s:\n" + log);
            }
            return new PtyPair(p, dir);
        } catch (IOException e) {
            p.descendants().forEach(ProcessHandle::destroyForcibly);
            p.destroyForcibly();
            throw e;
        }
    }

    private static Thread daemon(String name, Runnable body) {
        Thread t = new Thread(body, name);
        t.setDaemon(true);
        t.start();
        return t;
    }

    /** Writes bytes from the peer end, as a device would send them. */
    void peerWrite(byte[] bytes) throws IOException {
        peerOut.write(bytes);
        peerOut.flush();
    }

    /** Waits until at least n bytes have arrived at the peer or the timeout passes; takes all. */
    byte[] peerAwait(int n, Duration timeout) throws InterruptedException {
        long deadline = System.nanoTime() + timeout.toNanos();
        synchronized (received) {
            for (long left; received.size() < n && (left = deadline - System.nanoTime()) > 0; ) {
                TimeUnit.NANOSECONDS.timedWait(received, left);
            }
            byte[] out = received.toByteArray();
            received.reset();
            return out;
        }
    }

    @Override
    public void close() throws IOException {
        // Stopping socat closes the masters, which ends the peer reader's read.
        socat.getOutputStream().close();
        try {
            if (!socat.waitFor(5, TimeUnit.SECONDS)) {
                socat.descendants().forEach(ProcessHandle::destroyForcibly);
                socat.destroyForcibly();
                socat.waitFor(5, TimeUnit.SECONDS);
            }
            peerReader.join(5000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        // A reader still blocked would read from whatever file reused the descriptor.
        if (!peerReader.isAlive()) {
            peerIn.close();
        }
        peerOut.close();
        // socat removes its links as it ends, unless it had to be killed.
        Files.deleteIfExists(dir.resolve("port"));
        Files.deleteIfExists(dir.resolve("peer"));
        Files.deleteIfExists(dir);
    }
}
