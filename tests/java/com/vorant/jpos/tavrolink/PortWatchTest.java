package com.vorant.jpos.tavrolink;

import static java.nio.charset.StandardCharsets.US_ASCII;
import static java.nio.charset.StandardCharsets.UTF_8;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vorant.jpos.tavrolink.port.CaldrixPort;
import com.vorant.jpos.tavrolink.port.DeviceGoneException;
import com.vorant.jpos.tavrolink.port.PortChange;
import com.vorant.jpos.tavrolink.port.PortWatch;
import com.vorant.jpos.tavrolink.port.PortWatchListener;
import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintStream;
import java.io.Writer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.FutureTask;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.LockSupport;
import java.util.function.BiConsumer;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.condition.EnabledIfSystemProperty;

/**
 * The device watch in a real JVM on the fake USB host (hid_namespace.sh --watch): ports laid out
 * in the tree as the kernel lays them out, and the kernel's device events sent by uevent_send in
 * the JVM's own network namespace.
 */
@EnabledIfSystemProperty(named = "caldrix.ueventsend", matches = ".+")
class PortWatchTest extends PortTestSupport {
    private static final String HID_CLASS = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    private static final String PRINTER_CLASS = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    private static final String ROOT = "0";
    private static final String NOBODY = "65534";
    private static final String THREAD = "caldrix-watch";

    private final Path tree = Path.of(System.getProperty("caldrix.usbtree"));
    private final Kernel kernel = new Kernel();
    private final Set<Fake> laid = new LinkedHashSet<>();
    private final List<PortWatch> watches = new ArrayList<>();

    PortWatchTest() throws Exception {}

    @AfterEach
    void stopAndClear() throws Exception {
        watches.forEach(PortWatch::stop);
        for (Thread t : Thread.getAllStackTraces().keySet()) {
            if (t.getName().equals(THREAD)) {
                assertEnds(t);  // the next test finds its watch's thread by name
            }
        }
        kernel.close();
        for (Fake f : laid) {
            f.remove();
        }
    }

    @Test
    void eachKindIsToldAsItComesAndGoesThoseThereFirst() throws Exception {
        Fake[] there = {serial(11), hid(11), printer(51)};
        lay(there);
        Notices n = watch();
        for (Fake f : there) {
            Told t = n.next();
            assertEquals(f.line('+'), t.line());
            if (f == there[1]) {
                assertEquals("vid_04b8&pid_0011",
                        t.change().portInterface().names().get(0).match());
            }
        }
        for (Fake f : new Fake[] {serial(12), hid(12), printer(52)}) {
            toldAfter(n, f, true);
            toldAfter(n, f, false);
        }
        assertEquals(THREAD, n.watchThread.getName());
    }

    /** The watch lists again after each root event and tells only what differs. */
    @Test
    void eventsThatChangeNothingTellNothing() throws Exception {
        Notices n = watch();
        Fake told = hid(21);
        toldAfter(n, told, true);
        Fake fleeting = hid(22);
        fleeting.lay();
        fleeting.remove();
        assertSilent(n, ROOT, "add", told);  // a second add of what was told
        assertSilent(n, ROOT, "remove", fleeting);  // a removal of what came and went unseen
        Fake unseen = hid(23);
        unseen.lay();
        assertSilent(n, NOBODY, "add", unseen);  // another user's: not even a listing
        kernel.send(ROOT, "add", unseen);
        assertEquals(unseen.line('+'), n.next().line());
    }

    @Test
    void anArrivalIsToldOnceItsNodeOpensOrAfterTheBoundWithTheReason() throws Exception {
        Fake atStart = hid(30).mode("---------");
        atStart.lay();
        Notices n = watch();
        assertEquals(atStart.line('+') + "  (cannot be opened: permission denied: /dev/hidraw30)",
                n.next().line(), "a port there at the start is told at once");

        Fake fixed = hid(31).mode("---------");
        Fake denied = hid(32).mode("---------");
        Fake missing = hid(33).mode(null);
        lay(fixed, denied, missing);
        long woken = awaitWaiting(-1);
        long sent = kernel.send(ROOT, "add", fixed);
        LockSupport.parkNanos(sent + ms(300) - System.nanoTime());
        long fixing = System.nanoTime();
        Files.setPosixFilePermissions(fixed.node, PosixFilePermissions.fromString("rw-------"));
        Told first = n.next();
        assertEquals(fixed.line('+'), first.line());
        assertTrue(first.at() > fixing && first.at() - sent < ms(PortWatch.OPEN_BOUND_MS),
                "told " + (first.at() - fixing) / 1e6 + " ms after the node opened");
        Told[] late = {n.next(), n.next()};
        long wakeups = switches(task(THREAD)) - woken;
        assertEquals(List.of(denied.line('+') + "  (cannot be opened: permission denied: "
                        + "/dev/hidraw32)",
                missing.line('+') + "  (cannot be opened: no such device node: /dev/hidraw33)"),
                List.of(late[0].line(), late[1].line()));
        // The notices come in turn: the first held to the bound holds the second.
        assertTrue(late[0].at() - sent >= ms(PortWatch.OPEN_BOUND_MS),
                (late[0].at() - sent) / 1e6 + " ms");
        assertTrue(wakeups <= 15, wakeups + " wakeups: the watch polled");
    }

    @Test
    void aListenerMayStopTheWatchAtOnceFromAnyThreadAndAThrowIsReportedOnce() throws Exception {
        Fake[] there = {hid(41), hid(42), hid(43)};
        lay(there);
        // From inside a notice: the watch thread cannot wait for itself.
        long[] took = {-1};
        Notices inside = watch((w, c) -> took[0] = msTaken(w::stop));
        assertEquals(there[0].line('+'), inside.next().line());
        inside.awaitEnd();
        assertTrue(took[0] < 300, "stop took " + took[0] + " ms");

        // From another thread while a listener call is under way (its notice is kept as the call
        // begins), which it does not wait for.
        CountDownLatch letGo = new CountDownLatch(1);
        Notices held = watch((w, c) -> await(letGo));
        assertEquals(there[0].line('+'), held.next().line());
        held.stop();
        letGo.countDown();
        held.awaitEnd();

        // A listener that throws is reported once, and the watch goes on; then, idle, it stops.
        assertEquals("[java.lang.IllegalStateException: the listener failed]",
                uncaughtOn(THREAD, () -> {
                    Notices throwing = watch((w, c) -> {
                        if (c.path().contains("hidraw41")) {
                            throw new IllegalStateException("the listener failed");
                        }
                    });
                    for (Fake f : there) {
                        assertEquals(f.line('+'), throwing.next().line());
                    }
                    awaitWaiting(-1);
                    throwing.stop();
                    throwing.awaitEnd();
                }).toString());
    }

    /** A stop from another thread gives the library's watch back before it returns. */
    @Test
    void aStoppedWatchIsFreeForTheNextStart() throws Exception {
        for (int i = 0; i < 16; i++) {
            watch();
        }
        assertEquals("Device watch error 24", assertThrows(IOException.class,
                () -> PortWatch.start((w, c) -> {})).getMessage());
        watches.get(0).stop();
        watch();
    }

    /**
     * A port opened from inside its arrival notice, read by a thread blocked in the library when
     * the device goes: the read ends with the device gone, and the watch tells the removal.
     */
    @Test
    void aHidDeviceThatGoesEndsABlockedReadAndIsToldGone() throws Exception {
        HidPortTest.Peer peer = HidPortTest.layDisplay(tree);
        try {
            BlockingQueue<CaldrixPort> opened = new LinkedBlockingQueue<>();
            Notices n = watch((w, c) -> {
                if (c.isArrival()) {
                    try (CaldrixPort p = CaldrixPort.open(c.names().get(0))) {
                        opened.add(p);
                    } catch (Exception e) {
                        throw new AssertionError(e);
                    }
                }
            });
            String path = "\\\\?\\hid#vid_04b8&pid_0202&mi_00#hidraw7" + HID_CLASS;
            assertEquals("+ HID " + path + "  open as: \"/USB/0x04b8/0x0202\" "
                    + "\"USBHID: VID_04B8+PID_0202\"", n.next().line());
            assertNotNull(opened.poll(WAIT.toMillis(), TimeUnit.MILLISECONDS), "opened inside");
            peer.expect("connected");
            peer.expect("closed");
            CaldrixPort port = CaldrixPort.open("/USB/0x04b8/0x0202");
            peer.expect("connected");
            FutureTask<Integer> read = new FutureTask<>(() -> port.getInputStream().read());
            awaitWaitingForInput(daemon("hid-reader", read));

            long gone = System.nanoTime();
            peer.command("hangup");
            Files.delete(Path.of("/sys/class/hidraw/hidraw7"));
            kernel.send(ROOT, "remove", "hidraw", "/devices/usb1/1-1/hidraw/hidraw7");
            Throwable failed = assertThrows(ExecutionException.class,
                    () -> read.get(WAIT.toMillis(), TimeUnit.MILLISECONDS)).getCause();
            System.out.printf("a blocked HID read ended %.1f ms after the device went%n",
                    (System.nanoTime() - gone) / 1e6);
            assertEquals(DeviceGoneException.class, failed.getClass());
            assertEquals("ReadFile error 1167 on port", failed.getMessage());
            assertEquals("- HID " + path, n.next().line());
            port.close();
        } finally {
            HidPortTest.removeDisplay(tree, peer);
        }
    }

    /**
     * The figures for the record: the wakeups of an idle watch, and the time from a device event
     * to its notice, the median of 20 on the fake host.
     */
    @Test
    void anIdleWatchWakesNothingAndAnEventIsToldPromptly() throws Exception {
        Notices n = watch();
        long before = awaitWaiting(-1);
        assertIdleWakeups("device watch");
        assertTrue(switches(task(THREAD)) - before <= 1, "an idle watch woke");

        Fake f = hid(61);
        long[] ns = new long[20];
        for (int i = 0; i < ns.length; i++) {
            ns[i] = toldAfter(n, f, i % 2 == 0);
        }
        Arrays.sort(ns);
        System.out.printf("device event to notice, %d events: median %.2f ms, min %.2f, max %.2f%n",
                ns.length, (ns[9] + ns[10]) / 2e6, ns[0] / 1e6, ns[ns.length - 1] / 1e6);
    }

    /** java -jar caldrix.jar --watch and --watch --json, two watches on the same events. */
    @Test
    void theCommandLinePrintsThePortsThenEachChangeALineEach() throws Exception {
        Fake serial = serial(71);
        Fake hid = hid(71);
        lay(serial, hid);
        LineSink text = new LineSink();
        LineSink json = new LineSink();
        watches.add(PortList.watch(false, text.out));
        watches.add(PortList.watch(true, json.out));
        // Each step once both have printed the one before: a listing after both would tell the
        // removal first.
        List<String> textLines = text.lines(2);
        List<String> jsonLines = json.lines(2);
        for (Fake f : new Fake[] {printer(71), hid}) {  // a printer comes, the HID device goes
            change(f, f != hid);
            textLines.addAll(text.lines(1));
            jsonLines.addAll(json.lines(1));
        }

        String pts = serial.path;
        String byId = "/dev/serial/by-id/usb-caldrix-watch-71-if00";
        String hidPath = "\\\\?\\hid#vid_04b8&pid_0071#hidraw71" + HID_CLASS;
        String lpPath = "\\\\?\\usb#vid_04b8&pid_0e71#lp71" + PRINTER_CLASS;
        assertEquals(List.of(
                "+ serial " + pts + "  open as: \"" + pts + "\" \"" + byId + "\"",
                "+ HID " + hidPath
                        + "  open as: \"/USB/0x04b8/0x0071\" \"USBHID: VID_04B8+PID_0071\"",
                "+ printer " + lpPath + "  open as: \"USBPTR: VID_04B8+PID_0E71\"",
                "- HID " + hidPath), textLines);
        String hidJson = "\"kind\":\"hid\",\"path\":" + PortList.quote(hidPath) + ",\"names\":["
                + "{\"name\":\"/USB/0x04b8/0x0071\",\"match\":\"vid_04b8&pid_0071\",\"opens\":"
                + PortList.quote(hidPath) + "},{\"name\":\"USBHID: VID_04B8+PID_0071\",\"match\":"
                + "\"vid_04b8&pid_0071\",\"opens\":" + PortList.quote(hidPath) + "}]";
        assertEquals(List.of(
                "{\"change\":\"added\",\"kind\":\"serial\",\"device\":\"" + pts + "\",\"names\":[\""
                        + pts + "\",\"" + byId + "\"],\"detail\":null,\"openProblem\":null}",
                "{\"change\":\"added\"," + hidJson + ",\"openProblem\":null}",
                "{\"change\":\"added\",\"kind\":\"printer\",\"path\":" + PortList.quote(lpPath)
                        + ",\"names\":[{\"name\":\"USBPTR: VID_04B8+PID_0E71\",\"match\":"
                        + "\"vid_04b8&pid_0e71\",\"opens\":" + PortList.quote(lpPath) + "}],"
                        + "\"openProblem\":null}",
                "{\"change\":\"removed\"," + hidJson + ",\"openProblem\":null}"), jsonLines);
    }

    // ---- the fake host -------------------------------------------------------------------------

    /** A port of the fake host, laid out and taken away as the kernel and udev do. */
    private final class Fake {
        final String subsystem;
        final String name;
        final Path node;
        final Path classEntry;
        final Path device;
        final String path;
        final String names;
        String perms = "rw-------";

        Fake(String subsystem, String name, Path node, String path, String names) {
            this.subsystem = subsystem;
            this.name = name;
            this.node = node;
            this.classEntry = Path.of("/sys/class", subsystem, name);
            this.device = tree.resolve("devices/watch-" + name);
            this.path = path;
            this.names = names;
        }

        Fake mode(String perms) {
            this.perms = perms;
            return this;
        }

        /** The line the watch's notice prints as. */
        String line(char change) {
            String kind = subsystem.equals("tty") ? "serial"
                    : subsystem.equals("hidraw") ? "HID" : "printer";
            return change + " " + kind + " " + path + (change == '-' ? "" : "  open as: " + names);
        }

        void lay() throws Exception {
            laid.add(this);
            Files.createDirectories(node.getParent());
            if (subsystem.equals("tty")) {
                Files.createSymbolicLink(node, Path.of(path));
                return;
            }
            boolean hid = subsystem.equals("hidraw");
            String id = name.replaceAll("[a-z]", "");
            Files.createDirectories(device);
            Files.writeString(device.resolve("idVendor"), "04b8\n");
            Files.writeString(device.resolve("idProduct"), (hid ? "00" : "0e") + id + "\n");
            Files.writeString(device.resolve("bNumInterfaces"), " 1\n");
            Path iface = Files.createDirectories(device.resolve("1-" + id + ":1.0"));
            Files.writeString(iface.resolve("bInterfaceNumber"), "00\n");
            Path entry = iface.resolve("usbmisc/" + name);
            if (hid) {
                Path dev = Files.createDirectories(iface.resolve("0003:04B8:00" + id + ".00" + id));
                Files.writeString(dev.resolve("uevent"), "HID_ID=0003:000004B8:000000" + id + "\n");
                entry = dev.resolve("hidraw/" + name);
            }
            // To the HID device, or the printer's USB interface.
            Files.createSymbolicLink(Files.createDirectories(entry).resolve("device"),
                    Path.of("../.."));
            if (perms != null) {
                Files.createFile(node, PosixFilePermissions.asFileAttribute(
                        PosixFilePermissions.fromString(perms)));
            }
            Files.createSymbolicLink(classEntry, entry);
        }

        void remove() throws Exception {
            Files.deleteIfExists(node);
            if (Files.exists(device)) {  // not a serial port's
                Files.deleteIfExists(classEntry);
                try (var all = Files.walk(device)) {
                    for (Path p : (Iterable<Path>) all.sorted(Comparator.reverseOrder())::iterator) {
                        Files.delete(p);
                    }
                }
            }
        }
    }

    /** A serial port: a pseudo-terminal that udev would have linked under /dev/serial/by-id. */
    private Fake serial(int n) throws Exception {
        String pts = pair().port;
        Path byId = Path.of("/dev/serial/by-id/usb-caldrix-watch-" + n + "-if00");
        return new Fake("tty", byId.getFileName().toString(), byId, pts,
                "\"" + pts + "\" \"" + byId + "\"");
    }

    /** A HID device of product 00nn with the node hidrawnn. */
    private Fake hid(int n) {
        return new Fake("hidraw", "hidraw" + n, Path.of("/dev/hidraw" + n),
                "\\\\?\\hid#vid_04b8&pid_00" + n + "#hidraw" + n + HID_CLASS,
                "\"/USB/0x04b8/0x00" + n + "\" \"USBHID: VID_04B8+PID_00" + n + "\"");
    }

    /** A USB printer of product 0enn with the node lpnn. */
    private Fake printer(int n) {
        return new Fake("usbmisc", "lp" + n, Path.of("/dev/usb/lp" + n),
                "\\\\?\\usb#vid_04b8&pid_0e" + n + "#lp" + n + PRINTER_CLASS,
                "\"USBPTR: VID_04B8+PID_0E" + n + "\"");
    }

    private static void lay(Fake... fakes) throws Exception {
        for (Fake f : fakes) {
            f.lay();
        }
    }

    /** Lays the port out or takes it away, then sends the kernel's event: when, on nanoTime. */
    private long change(Fake f, boolean add) throws Exception {
        if (add) {
            f.lay();
        } else {
            f.remove();
        }
        return kernel.send(ROOT, add ? "add" : "remove", f);
    }

    /** A port comes or goes and the watch tells it: the nanoseconds from event to notice. */
    private long toldAfter(Notices n, Fake f, boolean add) throws Exception {
        long sent = change(f, add);
        Told t = n.next();
        assertEquals(f.line(add ? '+' : '-'), t.line());
        return t.at() - sent;
    }

    /** The event, once the watch has done with it, has told nothing. */
    private void assertSilent(Notices n, String uid, String action, Fake f) throws Exception {
        long woken = awaitWaiting(-1);
        kernel.send(uid, action, f);
        awaitWaiting(woken);
        assertEquals(List.of(), List.copyOf(n.queue), uid + " " + action);
    }

    // ---- the watch and its notices -------------------------------------------------------------

    record Told(PortChange change, long at) {
        String line() {
            return change.toString();
        }
    }

    /** Keeps what a watch tells, when, and on which thread; `also` runs inside each call. */
    static final class Notices implements PortWatchListener {
        final BlockingQueue<Told> queue = new LinkedBlockingQueue<>();
        final BiConsumer<PortWatch, PortChange> also;
        volatile PortWatch watch;
        volatile Thread watchThread;

        Notices(BiConsumer<PortWatch, PortChange> also) {
            this.also = also;
        }

        @Override
        public void portChanged(PortWatch watch, PortChange change) {
            watchThread = Thread.currentThread();
            queue.add(new Told(change, System.nanoTime()));
            also.accept(watch, change);
        }

        Told next() throws InterruptedException {
            Told t = queue.poll(WAIT.toMillis(), TimeUnit.MILLISECONDS);
            assertNotNull(t, "no notice within " + WAIT);
            return t;
        }

        void stop() {
            assertPrompt("stop", watch::stop);
        }

        /** The watch thread ends, and no notice came after those taken. */
        void awaitEnd() throws InterruptedException {
            assertNotNull(watchThread, "never told");
            assertEnds(watchThread);
            assertEquals(List.of(), List.copyOf(queue));
        }
    }

    private Notices watch() throws Exception {
        return watch((w, c) -> {});
    }

    private Notices watch(BiConsumer<PortWatch, PortChange> also) throws Exception {
        Notices n = new Notices(also);
        n.watch = PortWatch.start(n);
        watches.add(n.watch);
        return n;
    }

    /**
     * Waits until the watch thread has made more than `since` switches and is asleep in the
     * library's wait: after an event, what the event made it do is done. Nothing signals that, so
     * the thread's state is looked at, with a bound. Returns its switches then.
     */
    private static long awaitWaiting(long since) throws Exception {
        long deadline = System.nanoTime() + WAIT.toNanos();
        while (System.nanoTime() < deadline) {
            // Looked up each time: a thread just started may not carry its name in /proc yet.
            Thread t = Thread.getAllStackTraces().keySet().stream()
                    .filter(x -> x.getName().equals(THREAD)).findFirst().orElse(null);
            StackTraceElement[] stack = t == null ? new StackTraceElement[0] : t.getStackTrace();
            Path task = task(THREAD);
            long switches = task == null ? -1 : switches(task);
            if (switches > since && stack.length > 0 && stack[0].getMethodName().equals("await")
                    && Files.readString(task.resolve("stat")).matches("[^)]*\\) S .*\\s*")) {
                return switches;
            }
            LockSupport.parkNanos(ms(1));
        }
        throw new AssertionError("the watch did not come back to wait");
    }

    private static long ms(long ms) {
        return TimeUnit.MILLISECONDS.toNanos(ms);
    }

    /** uevent_send, spoken to in lines: an event as the kernel sends it, or as another user. */
    private static final class Kernel {
        private final Process process = new ProcessBuilder(System.getProperty("caldrix.ueventsend"))
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        private final Writer in = process.outputWriter(US_ASCII);
        private final BufferedReader out = process.inputReader(US_ASCII);

        Kernel() throws Exception {
            assertEquals("ready", out.readLine(), "from uevent_send");
        }

        long send(String uid, String action, Fake f) throws Exception {
            return send(uid, action, f.subsystem, "/devices/watch/" + f.subsystem + "/" + f.name);
        }

        /** Sends the event; the time it was sent, on System.nanoTime's clock. */
        long send(String uid, String action, String subsystem, String devpath) throws Exception {
            in.write(uid + " " + action + " " + subsystem + " " + devpath + "\n");
            in.flush();
            String reply = out.readLine();
            assertTrue(reply != null && reply.startsWith("sent "), "uevent_send: " + reply);
            return Long.parseLong(reply.substring(5));
        }

        void close() throws Exception {
            in.close();
            if (!process.waitFor(WAIT.toMillis(), TimeUnit.MILLISECONDS)) {
                process.destroyForcibly();
            }
        }
    }

    /** A PrintStream, out, whose lines are kept for the test. */
    private static final class LineSink extends OutputStream {
        final BlockingQueue<String> queue = new LinkedBlockingQueue<>();
        final PrintStream out = new PrintStream(this, true, UTF_8);
        private final ByteArrayOutputStream line = new ByteArrayOutputStream();

        @Override
        public synchronized void write(int b) {
            if (b != '\n') {
                line.write(b);
                return;
            }
            queue.add(line.toString(UTF_8));
            line.reset();
        }

        List<String> lines(int n) throws InterruptedException {
            List<String> got = new ArrayList<>();
            for (String l; got.size() < n
                    && (l = queue.poll(WAIT.toMillis(), TimeUnit.MILLISECONDS)) != null; ) {
                got.add(l);
            }
            return got;
        }
    }
}
