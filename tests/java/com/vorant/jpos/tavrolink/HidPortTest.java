package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Comparator;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import java.util.concurrent.locks.LockSupport;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.condition.EnabledIfSystemProperty;

/**
 * HID ports in a real JVM, on a fake USB host: the test runs where /sys/class/hidraw and /dev are
 * a tree of its own (hid_namespace.sh tells it where with caldrix.usbtree), adds a composite
 * display there as the kernel would lay it out, and plays the device with hid_peer at the far end
 * of its node.
 */
@EnabledIfSystemProperty(named = "caldrix.usbtree", matches = ".+")
class HidPortTest extends PortTestSupport {
    /** A vendor-defined display: input report 2 and output report 3, 63 bytes each. */
    private static final byte[] DISPLAY_DESCRIPTOR = bytes(
            "06 00 ff 09 01 a1 01 85 02 09 01 15 00 26 ff 00 75 08 95 3f 81 02 85 03 09 02 95 3f"
            + " 91 02 c0");
    /** The thread that opens a port; its receive thread is started from it and so takes its name. */
    private static final String OPENER = "caldrix-opener";

    private Path tree;
    private Peer peer;

    @BeforeEach
    void addDisplay() throws Exception {
        tree = Path.of(System.getProperty("caldrix.usbtree"));
        peer = layDisplay(tree);
    }

    @AfterEach
    void removeDisplay() throws Exception {
        removeDisplay(tree, peer);
    }

    /** Lays out the display in the tree, hidraw7, and starts its peer. */
    static Peer layDisplay(Path tree) throws Exception {
        Path device = Files.createDirectories(tree.resolve("devices/usb1/1-1"));
        Files.writeString(device.resolve("idVendor"), "04b8\n");
        Files.writeString(device.resolve("idProduct"), "0202\n");
        Files.writeString(device.resolve("bNumInterfaces"), " 2\n");
        Path iface = Files.createDirectories(device.resolve("1-1:1.0"));
        Files.writeString(iface.resolve("bInterfaceNumber"), "00\n");
        Path hid = Files.createDirectories(iface.resolve("0003:04B8:0202.0001"));
        Files.writeString(hid.resolve("uevent"),
                "DRIVER=hid-generic\nHID_ID=0003:000004B8:00000202\nHID_NAME=Display\n");
        Files.write(hid.resolve("report_descriptor"), DISPLAY_DESCRIPTOR);
        Path node = Files.createDirectories(hid.resolve("hidraw/hidraw7"));
        Files.createSymbolicLink(node.resolve("device"), Path.of("../../../0003:04B8:0202.0001"));
        // Absolute: the class directory is mounted from elsewhere, so a link relative to it
        // would leave the tree.
        Files.createSymbolicLink(Path.of("/sys/class/hidraw/hidraw7"), node);
        return new Peer("/dev/hidraw7");
    }

    static void removeDisplay(Path tree, Peer peer) throws Exception {
        if (peer != null) {
            peer.close();
        }
        Files.deleteIfExists(Path.of("/sys/class/hidraw/hidraw7"));
        try (Stream<Path> all = Files.walk(tree.resolve("devices/usb1"))) {
            for (Path p : (Iterable<Path>) all.sorted(Comparator.reverseOrder())::iterator) {
                Files.delete(p);
            }
        }
    }

    @Test
    void portNamesOfAWindowsTerminalOpenTheDisplayWithItsBytes() throws Exception {
        String[][] cases = {
            {"USBHID: VID_04B8+PID_0202", "got 02 61 62 63"},  // the report ID in front
            {"/USB/0x04b8/0x0202", "got 61 62 63"},            // as given
        };
        for (String[] c : cases) {
            int h = openInThread(c[0]);
            peer.expect("connected");
            assertEquals(1, awaitThreadsNamed(OPENER, 1), c[0] + ": one receive thread");
            peer.command("send 02 68 69");
            peer.command("send 02 21");
            assertEquals(3, awaitReadCount(h, 3), c[0]);
            byte[] got = new byte[8];
            assertEquals(3, caldrix.PortRead(h, got, 8), c[0]);
            assertArrayEquals("hi!".getBytes(StandardCharsets.US_ASCII),
                    Arrays.copyOf(got, 3), c[0] + ": report IDs stripped");

            assertEquals(0, caldrix.PortWrite(h, "abc".getBytes(StandardCharsets.US_ASCII), 3));
            peer.expect(c[1]);

            long start = System.nanoTime();
            assertEquals(-1, caldrix.PortClose(h));
            long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            assertTrue(ms < 500, c[0] + ": close took " + ms + " ms");
            assertEquals(0, awaitThreadsNamed(OPENER, 0), c[0] + ": the receive thread has gone");
            peer.expect("closed");
        }
    }

    /**
     * The open pauses 500 ms after starting the receive thread, whose first step is a read, so a
     * port that has received nothing closes while that read waits in the device.
     */
    @Test
    void anIdlePortClosesPromptlyWithItsReceiveThreadGone() throws Exception {
        int h = openInThread("USBHID: VID_04B8+PID_0202");
        peer.expect("connected");
        assertEquals(1, awaitThreadsNamed(OPENER, 1));
        long start = System.nanoTime();
        assertEquals(-1, caldrix.PortClose(h));
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertTrue(ms < 500, "close took " + ms + " ms");
        assertEquals(0, awaitThreadsNamed(OPENER, 0), "the receive thread has gone");
        peer.expect("closed");
    }

    /** Opens on a thread of its own, so that the port's receive thread carries that thread's name. */
    private static int openInThread(String name) throws Exception {
        AtomicInteger handle = new AtomicInteger();
        AtomicReference<Exception> failure = new AtomicReference<>();
        Thread t = new Thread(() -> {
            try {
                handle.set(caldrix.PortOpen(name));
            } catch (Exception e) {
                failure.set(e);
            }
        }, OPENER);
        t.start();
        t.join(WAIT.toMillis());
        assertTrue(!t.isAlive(), "PortOpen(" + name + ") did not return");
        if (failure.get() != null) {
            throw failure.get();
        }
        assertTrue(handle.get() >= 1 && handle.get() <= 9, name + " opened as " + handle.get());
        return handle.get();
    }

    /**
     * The number of threads named {@code name} once it is {@code n} or {@code WAIT} has passed: a
     * thread whose routine has returned (a joined Java thread, a receive thread a close waited
     * for) leaves the kernel's list a moment later, and on a busy machine that moment can pass a
     * second.
     */
    private static int awaitThreadsNamed(String name, int n) throws IOException {
        long deadline = System.nanoTime() + WAIT.toNanos();
        int count;
        while ((count = threadsNamed(name)) != n && System.nanoTime() < deadline) {
            LockSupport.parkNanos(TimeUnit.MILLISECONDS.toNanos(1));
        }
        return count;
    }

    private static int threadsNamed(String name) throws IOException {
        int n = 0;
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Path.of("/proc/self/task"))) {
            for (Path task : tasks) {
                try {
                    if (Files.readString(task.resolve("comm")).strip().equals(name)) {
                        n++;
                    }
                } catch (IOException gone) {
                    // the thread ended while being looked at
                }
            }
        }
        return n;
    }

    private static byte[] bytes(String hex) {
        String[] parts = hex.trim().split(" +");
        byte[] out = new byte[parts.length];
        for (int i = 0; i < parts.length; i++) {
            out[i] = (byte) Integer.parseInt(parts[i], 16);
        }
        return out;
    }

    /** hid_peer at the far end of a node, spoken to in lines. */
    static final class Peer {
        private final Process process;
        private final Writer in;
        private final BlockingQueue<String> lines = new LinkedBlockingQueue<>();

        Peer(String node) throws Exception {
            process = new ProcessBuilder(System.getProperty("caldrix.hidpeer"), node)
                    .redirectError(ProcessBuilder.Redirect.INHERIT).start();
            in = new OutputStreamWriter(process.getOutputStream(), StandardCharsets.US_ASCII);
            Thread reader = new Thread(() -> {
                try (BufferedReader out = new BufferedReader(new InputStreamReader(
                        process.getInputStream(), StandardCharsets.US_ASCII))) {
                    for (String line; (line = out.readLine()) != null; ) {
                        lines.add(line);
                    }
                } catch (IOException ignored) {
                    // the peer has gone
                }
            }, "hid-peer-reader");
            reader.setDaemon(true);
            reader.start();
            expect("listening");
        }

        void command(String line) throws IOException {
            in.write(line + "\n");
            in.flush();
        }

        void expect(String line) throws InterruptedException {
            String got = lines.poll(WAIT.toMillis(), TimeUnit.MILLISECONDS);
            assertEquals(line, got, "from hid_peer");
        }

        void close() throws Exception {
            in.close();  // the peer ends when its input does
            if (!process.waitFor(WAIT.toMillis(), TimeUnit.MILLISECONDS)) {
                process.destroyForcibly();
            }
        }
    }
}
