package com.vorant.jpos.tavrolink;

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
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.io.OutputStreamWriter;
import java.io.PrintStream;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CopyOnWriteArrayList;
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

    private final Path tree = Path.of(System.getProperty("caldrix.usbtree"));
    private final Kernel kernel = new Kernel();
    private final List<Fake> laid = new ArrayList<>();
    private final List<PortWatch> watches = new ArrayList<>();

    PortWatchTest() throws Exception {}

    @AfterEach
    void stopAndClear() throws Exception {
        watches.forEach(PortWatch::stop);
        kernel.close();
        for (Fake f : laid) {
            f.remove();
        }
    }

    @Test
    void eachKindIsToldAsItComesAndGoesThoseThereFirst() throws Exception {
        Fake[] there = {serial(11), hid(11), printer(51)};
        for (Fake f : there) {
            f.lay();
        }
        Notices n = watch();
        for (Fake f : there) {
            assertEquals(f.line('+'), n.next().line);
        }
        PortChange hid = n.told.get(1).change;
        assertEquals("vid_04b8&pid_0011", hid.portInterface().names().get(0).match());
        for (Fake f : new Fake[] {serial(12), hid(12), printer(52)}) {
            f.lay();
            kernel.send(ROOT, "add", f);
            assertEquals(f.line('+'), n.next().line);
            f.remove();
            kernel.send(ROOT, "remove", f);
            assertEquals(f.line('-'), n.next().line);
        }
        assertEquals("caldrix-watch", n.watchThread.getName());
    }

    /** The watch lists again after each root event and tells only what differs. */
    @Test
    void eventsThatChangeNothingTellNothing() throws Exception {
        Notices n = watch();
        Fake told = hid(21);
        told.lay();
        kernel.send(ROOT, "add", told);
        assertEquals(told.line('+'), n.next().line);

        Fake fleeting = hid(22);
        fleeting.lay();
        fleeting.remove();
        Fake unseen = hid(23);
        Object[][] silent = {
            // who, action, about, laid before
            {ROOT, "add", told, null},           // a second add of what was told
            {ROOT, "remove", fleeting, null},    // a removal of what came and went unseen
            {NOBODY, "add", unseen, unseen},     // another user's: not even a listing
        };
        for (Object[] event : silent) {
            if (event[3] != null) {
                ((Fake) event[3]).lay();
            }
            long woken = awaitWaiting(-1);
            kernel.send((String) event[0], (String) event[1], (Fake) event[2]);
            awaitWaiting(woken);
            assertEquals(List.of(), new ArrayList<>(n.queue), event[0] + " " + event[1]);
        }
        kernel.send(ROOT, "add", unseen);
        assertEquals(unseen.line('+'), n.next().line);
    }

    @Test
    void anArrivalIsToldOnceItsNodeOpensOrAfterTheBoundWithTheReason() throws Exception {
        Fake atStart = hid(30).mode("---------");
        atStart.lay();
        Notices n = watch();
        assertEquals(atStart.line('+') + "  (cannot be opened: permission denied: /dev/hidraw30)",
                n.next().line, "a port there at the start is told at once");

        Fake fixed = hid(31).mode("---------");
        Fake denied = hid(32).mode("---------");
        Fake missing = hid(33).mode(null);
        for (Fake f : new Fake[] {fixed, denied, missing}) {
            f.lay();
        }
        long woken = awaitWaiting(-1);
        long sent = kernel.send(ROOT, "add", fixed);
        LockSupport.parkNanos(sent + TimeUnit.MILLISECONDS.toNanos(300) - System.nanoTime());
        long fixing = System.nanoTime();
        Files.setPosixFilePermissions(fixed.node, PosixFilePermissions.fromString("rw-------"));
        Told first = n.next();
        assertEquals(fixed.line('+'), first.line);
        assertTrue(first.at > fixing && first.at - sent < ms(PortWatch.OPEN_BOUND_MS),
                "told " + (first.at - fixing) / 1e6 + " ms after the node opened");
        Told[] late = {n.next(), n.next()};
        long wakeups = switches() - woken;
        assertEquals(List.of(denied.line('+') + "  (cannot be opened: permission denied: "
                        + "/dev/hidraw32)",
                missing.line('+') + "  (cannot be opened: no such device node: /dev/hidraw33)"),
                List.of(late[0].line, late[1].line));
        for (Told t : late) {
            assertTrue(t.at - sent >= ms(PortWatch.OPEN_BOUND_MS), (t.at - sent) / 1e6 + " ms");
        }
        System.out.printf("wakeups of the watch while arrivals waited %d ms for their nodes: %d%n",
                (late[1].at - sent) / 1_000_000, wakeups);
        assertTrue(wakeups <= 15, wakeups + " wakeups: the watch polled");
    }

    @Test
    void aListenerMayStopTheWatchAtOnceFromAnyThreadAndAThrowIsReportedOnce() throws Exception {
        Fake[] there = {hid(41), hid(42), hid(43)};
        for (Fake f : there) {
            f.lay();
        }
        // From inside a notice: the watch thread cannot wait for itself.
        Notices inside = new Notices();
        inside.also = (w, c) -> inside.stopTook(w);
        start(inside);
        inside.next();
        inside.awaitEnd();
        assertEquals(List.of(there[0].line('+')), inside.lines());

        // From another thread while a listener call is under way, which it does not wait for.
        CountDownLatch entered = new CountDownLatch(1);
        CountDownLatch letGo = new CountDownLatch(1);
        Notices held = new Notices();
        held.also = (w, c) -> {
            entered.countDown();
            await(letGo);
        };
        PortWatch b = start(held);
        await(entered);
        held.next();
        held.stopTook(b);
        letGo.countDown();
        held.awaitEnd();
        assertEquals(List.of(there[0].line('+')), held.lines());

        // A listener that throws is reported once, and the watch goes on.
        List<Throwable> reported = new CopyOnWriteArrayList<>();
        Thread.UncaughtExceptionHandler saved = Thread.getDefaultUncaughtExceptionHandler();
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> reported.add(e));
        try {
            Notices throwing = new Notices();
            throwing.also = (w, c) -> {
                if (c.path().contains("hidraw41")) {
                    throw new IllegalStateException("the listener failed");
                }
            };
            PortWatch c = start(throwing);
            for (Fake f : there) {
                assertEquals(f.line('+'), throwing.next().line);
            }
            // And an idle watch, stopped from another thread.
            awaitWaiting(-1);
            throwing.stopTook(c);
            throwing.awaitEnd();
            assertEquals("[java.lang.IllegalStateException: the listener failed]",
                    reported.toString());
        } finally {
            Thread.setDefaultUncaughtExceptionHandler(saved);
        }
    }

    /** A stop from another thread gives the library's watch back before it returns. */
    @Test
    void aStoppedWatchIsFreeForTheNextStart() throws Exception {
        List<PortWatch> sixteen = new ArrayList<>();
        for (int i = 0; i < 16; i++) {
            sixteen.add(start(new Notices()));
        }
        assertEquals("Device watch error 24", assertThrows(IOException.class,
                () -> PortWatch.start((w, c) -> {})).getMessage());
        sixteen.get(0).stop();
        start(new Notices());
    }

    /**
     * A port opened from inside its arrival notice, read by a thread blocked in the library when
     * the device goes: the read ends with the device gone, and the watch tells the removal.
     */
    @Test
    void aHidDeviceThatGoesEndsABlockedReadAndIsToldGone() throws Exception {
        HidPortTest.Peer peer = HidPortTest.layDisplay(tree);
        try {
            Notices n = new Notices();
            BlockingQueue<CaldrixPort> opened = new LinkedBlockingQueue<>();
            n.also = (w, c) -> {
                if (!c.isArrival()) {
                    return;
                }
                try (CaldrixPort p = CaldrixPort.open(c.names().get(0))) {
                    opened.add(p);
                } catch (Exception e) {
                    throw new AssertionError(e);
                }
            };
            start(n);
            String path = "\\\\?\\hid#vid_04b8&pid_0202&mi_00#hidraw7" + HID_CLASS;
            assertEquals("+ HID " + path + "  open as: \"/USB/0x04b8/0x0202\" "
                    + "\"USBHID: VID_04B8+PID_0202\"", n.next().line);
            assertNotNull(opened.poll(WAIT.toMillis(), TimeUnit.MILLISECONDS), "opened inside");
            peer.expect("connected");
            peer.expect("closed");
            CaldrixPort port = CaldrixPort.open("/USB/0x04b8/0x0202");
            peer.expect("connected");
            FutureTask<Integer> read = new FutureTask<>(() -> port.getInputStream().read());
            Thread reader = daemon("hid-reader", read);
            awaitWaitingForInput(reader);

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
            assertEquals("- HID " + path, n.next().line);
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
        assertTrue(switches() - before <= 1, "an idle watch woke");

        Fake f = hid(61);
        long[] ms = new long[20];
        for (int i = 0; i < ms.length; i++) {
            boolean add = i % 2 == 0;
            if (add) {
                f.lay();
            } else {
                f.remove();
            }
            long sent = kernel.send(ROOT, add ? "add" : "remove", f);
            Told t = n.next();
            assertEquals(f.line(add ? '+' : '-'), t.line);
            ms[i] = t.at - sent;
        }
        Arrays.sort(ms);
        System.out.printf("device event to notice, %d events: median %.2f ms, min %.2f, max %.2f%n",
                ms.length, (ms[9] + ms[10]) / 2e6, ms[0] / 1e6, ms[ms.length - 1] / 1e6);
    }

    /** java -jar caldrix.jar --watch and --watch --json, two watches on the same events. */
    @Test
    void theCommandLinePrintsThePortsThenEachChangeALineEach() throws Exception {
        Fake serial = serial(71);
        Fake hid = hid(71);
        serial.lay();
        hid.lay();
        LineSink text = new LineSink();
        LineSink json = new LineSink();
        watches.add(PortList.watch(false, text.out));
        watches.add(PortList.watch(true, json.out));
        // Each step once both have printed the one before: a listing after both would tell the
        // removal first.
        List<String> textLines = text.lines(2);
        List<String> jsonLines = json.lines(2);
        Fake printer = printer(71);
        printer.lay();
        kernel.send(ROOT, "add", printer);
        textLines.addAll(text.lines(1));
        jsonLines.addAll(json.lines(1));
        hid.remove();
        kernel.send(ROOT, "remove", hid);
        textLines.addAll(text.lines(1));
        jsonLines.addAll(json.lines(1));

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
        final Path device;
        final Path classEntry;
        String path;
        String names;
        String perms = "rw-------";
        PtyPair pair;

        Fake(String subsystem, String name, Path node, Path classEntry, String path, String names) {
            this.subsystem = subsystem;
            this.name = name;
            this.node = node;
            this.classEntry = classEntry;
            this.device = tree.resolve("devices/watch-" + name);
            this.path = path;
            this.names = names;
        }

        Fake mode(String perms) {
            this.perms = perms;
            return this;
        }

        String devpath() {
            return "/devices/watch/" + subsystem + "/" + name;
        }

        /** The line the watch's notice prints as. */
        String line(char change) {
            String kind = subsystem.equals("tty") ? "serial"
                    : subsystem.equals("hidraw") ? "HID" : "printer";
            return change + " " + kind + " " + path + (change == '-' ? "" : "  open as: " + names);
        }

        void lay() throws Exception {
            if (!laid.contains(this)) {
                laid.add(this);
            }
            if (subsystem.equals("tty")) {
                if (pair == null) {
                    pair = pair();
                    path = pair.port;
                    names = "\"" + path + "\" \"" + node + "\"";
                }
                Files.createDirectories(node.getParent());
                Files.createSymbolicLink(node, Path.of(pair.port));
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
            Path entry;
            if (hid) {
                Path dev = Files.createDirectories(iface.resolve("0003:04B8:00" + id + ".00" + id));
                Files.writeString(dev.resolve("uevent"), "HID_ID=0003:000004B8:000000" + id + "\n");
                entry = Files.createDirectories(dev.resolve("hidraw/" + name));
            } else {
                entry = Files.createDirectories(iface.resolve("usbmisc/" + name));
            }
            // To the HID device, or the printer's USB interface.
            Files.createSymbolicLink(entry.resolve("device"), Path.of("../.."));
            if (perms != null) {
                Files.createDirectories(node.getParent());
                Files.createFile(node, PosixFilePermissions.asFileAttribute(
                        PosixFilePermissions.fromString(perms)));
            }
            Files.createSymbolicLink(classEntry, entry);
        }

        void remove() throws Exception {
            if (subsystem.equals("tty")) {
                Files.deleteIfExists(node);
                return;
            }
            Files.deleteIfExists(classEntry);
            Files.deleteIfExists(node);
            if (Files.exists(device)) {
                try (var all = Files.walk(device)) {
                    for (Path p : (Iterable<Path>) all.sorted((x, y) -> y.compareTo(x))::iterator) {
                        Files.delete(p);
                    }
                }
            }
        }
    }

    /** A serial port: a pseudo-terminal that udev would have linked under /dev/serial/by-id. */
    private Fake serial(int n) {
        return new Fake("tty", "usb-caldrix-watch-" + n + "-if00",
                Path.of("/dev/serial/by-id/usb-caldrix-watch-" + n + "-if00"), null, null, null);
    }

    /** A HID device of product 00nn with the node hidrawnn. */
    private Fake hid(int n) {
        String path = "\\\\?\\hid#vid_04b8&pid_00" + n + "#hidraw" + n + HID_CLASS;
        return new Fake("hidraw", "hidraw" + n, Path.of("/dev/hidraw" + n),
                Path.of("/sys/class/hidraw/hidraw" + n), path,
                "\"/USB/0x04b8/0x00" + n + "\" \"USBHID: VID_04B8+PID_00" + n + "\"");
    }

    /** A USB printer of product 0enn with the node lpnn. */
    private Fake printer(int n) {
        String path = "\\\\?\\usb#vid_04b8&pid_0e" + n + "#lp" + n + PRINTER_CLASS;
        return new Fake("usbmisc", "lp" + n, Path.of("/dev/usb/lp" + n),
                Path.of("/sys/class/usbmisc/lp" + n), path, "\"USBPTR: VID_04B8+PID_0E" + n + "\"");
    }

    // ---- the watch and its notices -------------------------------------------------------------

    static final class Told {
        final PortChange change;
        final String line;
        final long at = System.nanoTime();

        Told(PortChange change) {
            this.change = change;
            this.line = change.toString();
        }

        @Override
        public String toString() {
            return line;
        }
    }

    /** Keeps what a watch tells, when, and on which thread; `also` runs inside each call. */
    static final class Notices implements PortWatchListener {
        final List<Told> told = new CopyOnWriteArrayList<>();
        final BlockingQueue<Told> queue = new LinkedBlockingQueue<>();
        volatile BiConsumer<PortWatch, PortChange> also = (w, c) -> {};
        volatile Thread watchThread;

        @Override
        public void portChanged(PortWatch watch, PortChange change) {
            watchThread = Thread.currentThread();
            Told t = new Told(change);
            told.add(t);
            queue.add(t);
            also.accept(watch, change);
        }

        Told next() throws InterruptedException {
            Told t = queue.poll(WAIT.toMillis(), TimeUnit.MILLISECONDS);
            assertNotNull(t, "no notice within " + WAIT);
            return t;
        }

        List<String> lines() {
            List<String> out = new ArrayList<>();
            told.forEach(t -> out.add(t.line));
            return out;
        }

        /** Stops the watch and asserts that the stop returned within 300 ms. */
        void stopTook(PortWatch watch) {
            long start = System.nanoTime();
            watch.stop();
            long took = System.nanoTime() - start;
            assertTrue(took < ms(300), "stop took " + took / 1e6 + " ms");
        }

        /** The watch thread ends, so that no notice can come after those kept. */
        void awaitEnd() throws InterruptedException {
            assertNotNull(watchThread, "never told");
            assertEnds(watchThread);
        }
    }

    private Notices watch() throws Exception {
        Notices n = new Notices();
        start(n);
        return n;
    }

    private PortWatch start(Notices n) throws Exception {
        PortWatch w = PortWatch.start(n);
        watches.add(w);
        return w;
    }

    /** The voluntary context switches of the watch thread (there is one) so far. */
    private static long switches() throws Exception {
        for (String line : Files.readAllLines(watchTask().resolve("status"))) {
            if (line.startsWith("voluntary_ctxt_switches:")) {
                return Long.parseLong(line.substring(24).strip());
            }
        }
        throw new AssertionError("no voluntary_ctxt_switches");
    }

    private static Path watchTask() throws Exception {
        try (var tasks = Files.list(Path.of("/proc/self/task"))) {
            for (Path t : (Iterable<Path>) tasks::iterator) {
                if (Files.readString(t.resolve("comm")).strip().equals("caldrix-watch")) {
                    return t;
                }
            }
        }
        throw new AssertionError("no caldrix-watch thread");
    }

    /**
     * Waits until the watch thread has made more than `since` switches and is asleep in the
     * library's wait: after an event, what the event made it do is done. Nothing signals that, so
     * the thread's state is looked at, with a bound. Returns its switches then.
     */
    private static long awaitWaiting(long since) throws Exception {
        long deadline = System.nanoTime() + WAIT.toNanos();
        while (System.nanoTime() < deadline) {
            Thread t = Thread.getAllStackTraces().keySet().stream()
                    .filter(x -> x.getName().equals("caldrix-watch")).findFirst().orElse(null);
            StackTraceElement[] stack = t == null ? new StackTraceElement[0] : t.getStackTrace();
            long switches = switches();
            if (switches > since && stack.length > 0 && stack[0].getMethodName().equals("await")
                    && Files.readString(watchTask().resolve("stat")).matches("[^)]*\\) S .*\\s*")) {
                return switches;
            }
            LockSupport.parkNanos(TimeUnit.MILLISECONDS.toNanos(1));
        }
        throw new AssertionError("the watch did not come back to wait");
    }

    private static long ms(long ms) {
        return TimeUnit.MILLISECONDS.toNanos(ms);
    }

    private static void await(CountDownLatch latch) {
        try {
            assertTrue(latch.await(WAIT.toMillis(), TimeUnit.MILLISECONDS));
        } catch (InterruptedException e) {
            throw new AssertionError(e);
        }
    }

    /** uevent_send, spoken to in lines: an event as the kernel sends it, or as another user. */
    private static final class Kernel {
        private final Process process = new ProcessBuilder(System.getProperty("caldrix.ueventsend"))
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        private final Writer in = new OutputStreamWriter(process.getOutputStream(),
                StandardCharsets.US_ASCII);
        private final BufferedReader out = new BufferedReader(new InputStreamReader(
                process.getInputStream(), StandardCharsets.US_ASCII));

        Kernel() throws Exception {
            assertEquals("ready", out.readLine(), "from uevent_send");
        }

        long send(String uid, String action, Fake f) throws Exception {
            return send(uid, action, f.subsystem, f.devpath());
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

    /** A PrintStream whose lines are kept for the test. */
    private static final class LineSink {
        final BlockingQueue<String> queue = new LinkedBlockingQueue<>();
        final PrintStream out = new PrintStream(new OutputStream() {
            private final ByteArrayOutputStream line = new ByteArrayOutputStream();

            @Override
            public synchronized void write(int b) {
                if (b != '\n') {
                    line.write(b);
                    return;
                }
                queue.add(line.toString(StandardCharsets.UTF_8));
                line.reset();
            }
        }, true, StandardCharsets.UTF_8);

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
