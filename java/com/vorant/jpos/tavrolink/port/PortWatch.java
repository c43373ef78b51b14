package com.vorant.jpos.tavrolink.port;

import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Watches the ports come and go: serial ports, HID interfaces (one per top-level collection, as
 * the listing gives them) and USB printer interfaces, each told with the record
 * {@link PortListing#scan} gives for it.
 *
 * <pre>{@code
 * PortWatch watch = PortWatch.start((w, change) -> {
 *     if (change.isArrival()) {
 *         System.out.println(change.kind() + " came: open it as " + change.names());
 *     }
 * });
 * ...
 * watch.stop();
 * }</pre>
 *
 * <p>A watch first tells of every port there is, as arrivals, and then of each change, once:
 * the system says only that ports of some kind came or went (kernel device events on Linux,
 * device notifications on Windows), and the watch lists the ports again and compares, a serial
 * port by its device and an interface by its path. So an event that is lost, comes twice or
 * concerns something else never makes a wrong notice, and a removal is told only of a port whose
 * arrival was. The watch begins to listen before its first listing, so nothing that changes
 * between the two is missed. A port that comes and goes between two listings is not told, nor
 * is a change of a port's names while it stays (another device with the same vendor and product
 * came or went): a removal carries the record its arrival was told with.
 *
 * <p>On Linux the kernel tells of a device before the system has given its node the owner and
 * permissions it keeps. An arrival is therefore told once its node can be read and written; the
 * watch looks again after 50 ms, then after pauses that double, and after
 * {@value #OPEN_BOUND_MS} ms tells it all the same, with the reason in
 * {@link PortChange#openProblem}. The ports there are at the start are told at once, with the
 * reason where one cannot be opened.
 *
 * <p>Notices come in order, one at a time, on the watch's own daemon thread, named
 * {@code caldrix-watch}. Between changes that thread waits in the operating system and does not
 * wake, except at the pauses while an arrival waits for its node. A listener may open and close
 * ports and stop the watch from inside its call. {@link #stop} returns promptly from any thread,
 * without waiting for a listener call under way, and no notice begins once it has returned. A
 * listener that throws is reported, once, with its exception, to the watch thread's
 * uncaught-exception handler: the one set with {@link Thread#setDefaultUncaughtExceptionHandler},
 * or else the printing of its stack trace to standard error; the watch goes on. A listing that
 * fails is reported there too and tells nothing; the next change lists again.
 */
public final class PortWatch implements AutoCloseable {
    /** How long an arrival waits for its device node to open before it is told all the same. */
    public static final long OPEN_BOUND_MS = 2000;
    /** The first pause before an arrival's node is looked at again. */
    static final long FIRST_PAUSE_MS = 50;
    /** How long a stop waits for the watch thread to give the library's watch back. */
    static final long STOP_BOUND_MS = 250;
    static final String THREAD_NAME = "caldrix-watch";

    /** The node behind an interface path is named where Windows puts the instance id. */
    private static final Pattern HIDRAW = Pattern.compile("#(hidraw[0-9]+)#");
    private static final Pattern USBLP = Pattern.compile("#(lp[0-9]+)#");
    private static final boolean DEVICE_NODES = File.separatorChar == '/';

    private final PortWatchListener listener;
    private final int id;
    private final Thread thread;
    private final Object lock = new Object();
    /** Guarded by lock. Released: the library's watch is closed, and its id may be another's. */
    private boolean stopped;
    private boolean released;
    private boolean telling;

    /** The watch thread's own: the arrivals told, and those waiting for their node, by key. */
    private final Map<String, PortChange> told = new LinkedHashMap<>();
    private final Map<String, Held> held = new LinkedHashMap<>();

    /** An arrival whose node could not be opened yet, and when to look again. */
    private static final class Held {
        PortChange change;
        final long since = System.nanoTime();
        long pauseMs = FIRST_PAUSE_MS;
        long due = since + TimeUnit.MILLISECONDS.toNanos(FIRST_PAUSE_MS);

        Held(PortChange change) {
            this.change = change;
        }
    }

    private PortWatch(PortWatchListener listener, int id) {
        this.listener = listener;
        this.id = id;
        thread = new Thread(this::watch, THREAD_NAME);
        thread.setDaemon(true);
    }

    /**
     * Starts a watch: its listener is told of every port there is, then of each change.
     *
     * @param listener the listener
     * @return the running watch
     * @throws IOException "Device watch error N" with the system's code when the system's watch
     *     could not be set up, also when 16 watches are running already (24 on Linux)
     * @throws NullPointerException when listener is null
     */
    public static PortWatch start(PortWatchListener listener) throws IOException {
        if (listener == null) {
            throw new NullPointerException("listener");
        }
        PortWatch watch = new PortWatch(listener, NativeWatch.open());
        watch.thread.start();
        return watch;
    }

    /**
     * Stops the watch: no notice begins once this has returned. From any thread but the watch's
     * own, it also lets the system's watch go before it returns (waiting up to a quarter of a
     * second for a listing under way), unless a listener call is under way, which it does not
     * wait for; the watch thread then lets it go as that call returns. Stopping again does
     * nothing.
     */
    public void stop() {
        synchronized (lock) {
            if (!stopped) {
                stopped = true;
                if (!released) {
                    NativeWatch.stop(id);
                }
            }
            if (Thread.currentThread() == thread) {
                return;
            }
            // The thread leaves the library at once; only a listing under way can hold it.
            Monitors.await(lock, () -> released || telling,
                    TimeUnit.MILLISECONDS.toNanos(STOP_BOUND_MS));
        }
    }

    /** Stops the watch, as {@link #stop} does. */
    @Override
    public void close() {
        stop();
    }

    /** The watch thread: the ports there are, then each change, until the watch is stopped. */
    private void watch() {
        try {
            if (!compare(true)) {
                return;
            }
            while (true) {
                int kinds = NativeWatch.await(id, nextWaitMs());
                if (kinds == NativeWatch.STOPPED || (kinds > 0 && !compare(false)) || !retry()) {
                    return;
                }
            }
        } catch (IOException e) {
            report(e);  // only a negative time-out is refused, and none is given
        } finally {
            synchronized (lock) {
                stopped = true;
                released = true;
                NativeWatch.close(id);
                lock.notifyAll();
            }
        }
    }

    /**
     * Lists the ports and tells what went and what came since the last listing; false once the
     * watch is stopped. At the start, a port whose node cannot be opened is told at once.
     */
    private boolean compare(boolean first) {
        PortListing now;
        try {
            now = PortListing.parse(NativeWatch.scan());
        } catch (Exception e) {
            report(e);
            return isRunning();
        }
        Map<String, PortChange> present = new LinkedHashMap<>();
        for (PortListing.SerialPort p : now.serial()) {
            add(present, PortChange.arrival(p));
        }
        for (PortListing.Interface i : now.hid()) {
            add(present, PortChange.arrival(PortChange.Kind.HID, i));
        }
        for (PortListing.Interface i : now.printers()) {
            add(present, PortChange.arrival(PortChange.Kind.PRINTER, i));
        }
        // Interfaces that could not be listed this time are not known to have gone.
        boolean interfacesListed = now.hidError() == null;
        String serial = PortChange.Kind.SERIAL.name() + " ";
        held.keySet().removeIf(k -> !present.containsKey(k)
                && (interfacesListed || k.startsWith(serial)));
        for (Iterator<PortChange> it = told.values().iterator(); it.hasNext(); ) {
            PortChange c = it.next();
            if (!present.containsKey(c.key())
                    && (interfacesListed || c.kind() == PortChange.Kind.SERIAL)) {
                it.remove();
                if (!tell(c.removal())) {
                    return false;
                }
            }
        }
        for (PortChange c : present.values()) {
            String key = c.key();
            Held h = held.get(key);
            if (h != null) {
                h.change = c;
            } else if (!told.containsKey(key)) {
                String problem = openProblem(c);
                if (problem != null && !first) {
                    held.put(key, new Held(c));
                } else if (!tellArrival(c.withOpenProblem(problem))) {
                    return false;
                }
            }
        }
        return true;
    }

    private static void add(Map<String, PortChange> to, PortChange c) {
        to.put(c.key(), c);
    }

    /** Looks again at the nodes of held arrivals that are due; false once stopped. */
    private boolean retry() {
        long now = System.nanoTime();
        long bound = TimeUnit.MILLISECONDS.toNanos(OPEN_BOUND_MS);
        for (Iterator<Held> it = held.values().iterator(); it.hasNext(); ) {
            Held h = it.next();
            if (h.due - now > 0) {
                continue;
            }
            String problem = openProblem(h.change);
            if (problem != null && now - h.since < bound) {
                h.pauseMs *= 2;
                long next = now + TimeUnit.MILLISECONDS.toNanos(h.pauseMs);
                h.due = next - (h.since + bound) < 0 ? next : h.since + bound;
                continue;
            }
            it.remove();
            if (!tellArrival(h.change.withOpenProblem(problem))) {
                return false;
            }
        }
        return true;
    }

    /** How long to wait for an event: until the next held arrival is due, else without end. */
    private int nextWaitMs() {
        if (held.isEmpty()) {
            return Integer.MAX_VALUE;
        }
        long now = System.nanoTime();
        long soonest = Long.MAX_VALUE;
        for (Held h : held.values()) {
            soonest = Math.min(soonest, Math.max(0, h.due - now));
        }
        // Rounded up: a wait that ends early would only come round again.
        return (int) Math.min(Integer.MAX_VALUE, (soonest + 999_999) / 1_000_000);
    }

    private boolean tellArrival(PortChange c) {
        told.put(c.key(), c);
        return tell(c);
    }

    /** Tells the listener, unless the watch has been stopped; false then. */
    private boolean tell(PortChange c) {
        synchronized (lock) {
            if (stopped) {
                return false;
            }
            telling = true;
        }
        try {
            listener.portChanged(this, c);
        } catch (Throwable t) {
            report(t);
        } finally {
            synchronized (lock) {
                telling = false;
                lock.notifyAll();
            }
        }
        return true;
    }

    private boolean isRunning() {
        synchronized (lock) {
            return !stopped;
        }
    }

    /** A failure on the watch thread goes where that thread's uncaught exceptions go. */
    private static void report(Throwable t) {
        Thread me = Thread.currentThread();
        try {
            me.getUncaughtExceptionHandler().uncaughtException(me, t);
        } catch (Throwable ignored) {
            // a handler that fails cannot be told so; the watch goes on
        }
    }

    /** Why the port's device node cannot be read and written now; null when it can. */
    static String openProblem(PortChange c) {
        Path node = node(c);
        if (node == null || (Files.isReadable(node) && Files.isWritable(node))) {
            return null;
        }
        return (Files.exists(node) ? "permission denied: " : "no such device node: ") + node;
    }

    /** The device node a port opens, on a system that has them; null where there is none. */
    private static Path node(PortChange c) {
        if (!DEVICE_NODES) {
            return null;
        }
        if (c.kind() == PortChange.Kind.SERIAL) {
            return c.path().startsWith("/") ? Paths.get(c.path()) : null;
        }
        boolean hid = c.kind() == PortChange.Kind.HID;
        Matcher m = (hid ? HIDRAW : USBLP).matcher(c.path());
        return !m.find() ? null : hid ? Paths.get("/dev", m.group(1))
                                      : Paths.get("/dev/usb", m.group(1));
    }
}
