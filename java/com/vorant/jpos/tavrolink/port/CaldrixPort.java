package com.vorant.jpos.tavrolink.port;

import com.vorant.jpos.tavrolink.caldrix;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.ReentrantLock;
import java.util.concurrent.locks.ReentrantReadWriteLock;

/**
 * One open port, serial or USB HID, opened by any name {@link caldrix#PortOpen} takes:
 *
 * <pre>{@code
 * // or "COM3", "USBHID: VID_04B8+PID_0202", ...
 * try (CaldrixPort port = CaldrixPort.open("/dev/ttyUSB0")) {
 *     port.configure(9600, 8, Parity.NONE, StopBits.ONE);
 *     port.getOutputStream().write("hello\r\n".getBytes(StandardCharsets.US_ASCII));
 *     int first = port.getInputStream().read();
 * }
 * }</pre>
 *
 * <p>Every failure is a {@link PortException} carrying the library's message unchanged, of the
 * subclass that names it where the message tells: {@link PortNotFoundException},
 * {@link PortAccessDeniedException}, {@link PortClosedException}, {@link PortTimeoutException},
 * {@link DeviceGoneException}. An answer of -1 from the library always becomes an exception.
 *
 * <p>Threads: any method may be called from any thread. One thread may read while another
 * writes; nothing here makes one wait for the other. {@link #close} may come from any thread at
 * any time, also while others are inside a read or a write: it refuses new calls, makes the
 * library end the calls inside, and returns once none of them can touch the handle any more, so
 * a handle that the library hands to a later open never receives a call meant for this port.
 * A read blocked in the input stream then ends with end of stream (-1); a write ends with a
 * {@link PortClosedException}.
 *
 * <p>Input goes one of two ways, never both: to the {@linkplain #getInputStream input stream},
 * or, from the moment the first {@linkplain #addDataListener data listener} is added until the
 * port closes, to the data listeners. Each byte therefore reaches one reader, in order: a stream
 * read of a port with listeners, and a listener added while a stream read is under way, are
 * refused with an {@link IllegalStateException}. Waits for input block in the operating system
 * until input comes, the time-out passes, the device goes or the port closes; a thread waiting
 * on an idle port wakes once a minute at most.
 *
 * <p>Listeners are called on one thread per port, a daemon thread named
 * {@code caldrix-listener-}<i>name</i> that the port starts with its first listener and that
 * ends with the port. That thread takes bytes from the port only when the listeners have
 * returned from the previous ones, so a slow listener loses nothing: the bytes wait in the port,
 * and once its buffer is full the device's own buffering and flow control decide what happens
 * next (with hardware flow control on, the driver holds the device back; without it, a device
 * that keeps sending may overrun the buffer). A listener may write to the port, close it, or add
 * and remove listeners from inside its call; a close, from any thread, returns without waiting
 * for a listener that is running, and once it has returned no listener call begins. A listener
 * that throws is reported, once, with its exception, to the delivery thread's uncaught-exception
 * handler: the one set with {@link Thread#setDefaultUncaughtExceptionHandler}, or else the
 * printing of its stack trace to standard error; delivery goes on.
 *
 * <p>The handle is one of the library's nine, shared with code that uses the static class. Ports
 * opened through this class keep their handles safe from each other; code that opens ports
 * through the static class while a port object closes could still be handed that handle early.
 */
public final class CaldrixPort implements AutoCloseable {
    /**
     * The longest single wait for input: a wait without bound is made of these, so an idle port
     * wakes its waiting thread once a minute at most.
     */
    static final int WAIT_CHUNK_MS = 60_000;
    /** The most bytes one listener call gets. */
    private static final int DELIVERY_CHUNK = 4096;
    /** How long a close waits for calls that were about to enter the library when it began. */
    private static final long DRAIN_BOUND_MS = 1000;

    /**
     * Opens of port objects share this lock; a close that finds calls in flight holds it alone
     * while it frees the handle and waits for those calls to leave, so that no open can be handed
     * the handle while one of them may still use it.
     */
    private static final ReentrantReadWriteLock HANDLES = new ReentrantReadWriteLock();

    private enum State { OPEN, CLOSING, CLOSED }

    private final String name;
    private final int handle;
    private final boolean hid;
    private final Object lock = new Object();
    private State state = State.OPEN;
    private int inFlight;
    /** Guarded by lock: stream reads under way, and whether input goes to listeners instead. */
    private int streamReads;
    private boolean listening;
    private final List<PortDataListener> listeners = new ArrayList<>();
    /**
     * Stream reads take turns here rather than in the library, where one waiting for input would
     * hold the next past its time-out.
     */
    private final ReentrantLock readTurn = new ReentrantLock();
    private final Input input = new Input();
    private final Output output = new Output();

    private CaldrixPort(String name, int handle) {
        this.name = name;
        this.handle = handle;
        this.hid = isHidName(name);
    }

    /**
     * Opens a port by a name {@link caldrix#PortOpen} takes: a serial port ({@code COM3},
     * {@code /dev/ttyUSB0}, ...) or a USB HID device ({@code USBHID: VID_04B8+PID_0202},
     * {@code /USB/0x04b8/0x0202}, {@code USBPTR: VID_04B8}, ...). A serial port starts at 9600
     * baud, 8 data bits, no parity, one stop bit, no flow control, DTR and RTS on.
     *
     * <p>A failed open names the port and says what to do, with the library's own message
     * inside it verbatim, such as "no such port /dev/ttyUSB7 (CreateFile error 2 on port); the
     * ports here are: /dev/ttyS0, /dev/ttyUSB0" or "cannot open /dev/ttyUSB0: permission denied;
     * add the user to group dialout and log in again (CreateFile error 5 on port)". Its cause is
     * the library's exception, whose message is the library's alone.
     *
     * @param name the port's name
     * @return the open port
     * @throws PortNotFoundException no such port or device
     * @throws PortAccessDeniedException the port is open already, or may not be opened
     * @throws PortException any other failure, with the library's message; when the library
     *     answers -1 without a message (nine ports open, a name longer than 260 bytes, HID support
     *     that did not load), one that says so
     * @throws NullPointerException when name is null
     */
    public static CaldrixPort open(String name) throws PortException {
        if (name == null) {
            throw new NullPointerException("name");
        }
        int h;
        IOException failed = null;
        HANDLES.readLock().lock();
        try {
            h = NativePort.open(name);
        } catch (IOException e) {
            h = -1;
            failed = e;
        } finally {
            HANDLES.readLock().unlock();
        }
        if (failed != null) {
            // Told outside the lock: telling may list the ports, which takes a while.
            throw Failures.opening(name, failed);
        }
        if (h < 1) {
            throw new PortException("PortOpen(\"" + name + "\") answered " + h
                    + ": nine ports are open, the name is longer than 260 bytes, or HID support"
                    + " could not be loaded", null);
        }
        return new CaldrixPort(name, h);
    }

    /** As the library sorts names: those that mention USB are HID, but ttyUSB and /dev/serial/. */
    static boolean isHidName(String name) {
        StringBuilder upper = new StringBuilder(name.length());
        for (char c : name.toCharArray()) {
            upper.append(c >= 'a' && c <= 'z' ? (char) (c - 'a' + 'A') : c);
        }
        String u = upper.toString();
        return u.contains("USB") && !u.contains("TTYUSB") && !name.startsWith("/dev/serial/");
    }

    /**
     * The name this port was opened by.
     *
     * @return the name given to {@link #open}
     */
    public String name() {
        return name;
    }

    /**
     * The library's handle of this port, for code that mixes this class with the static one. It
     * is valid until {@link #close}; closing it through the static class closes this port.
     *
     * @return the handle, 1 to 9
     */
    public int handle() {
        return handle;
    }

    /**
     * Whether this port is a USB HID device rather than a serial port. A HID port has no line
     * settings or modem lines: {@link #configure}, the line setters and the flow control do
     * nothing on it, and its line queries answer as the library does (CTS on, the others off).
     *
     * @return true for a HID port
     */
    public boolean isHid() {
        return hid;
    }

    /**
     * Whether {@link #close} has begun.
     *
     * @return true once the port is closing or closed
     */
    public boolean isClosed() {
        synchronized (lock) {
            return state != State.OPEN;
        }
    }

    // ---- settings and lines ---------------------------------------------------------------------

    /**
     * Sets the serial line's parameters. Nothing changes unless all four are valid.
     *
     * @param baudRate 1200, 2400, 4800, 9600, 19200, 38400, 56000, 57600 or 115200
     * @param dataBits 5 to 8
     * @param parity the parity
     * @param stopBits the stop bits
     * @throws PortException with "SetPortParams: Invalid baud rate" (or databits, stopbits,
     *     parity) for a value the library does not take, or the library's message of a failure
     * @throws NullPointerException when parity or stopBits is null
     */
    public void configure(int baudRate, int dataBits, Parity parity, StopBits stopBits)
            throws PortException {
        int p = parity.code;
        int s = stopBits.code;
        call(() -> check(caldrix.PortSetParams(handle, baudRate, dataBits, s, p, 0)));
    }

    /**
     * Hardware flow control: on, output waits for CTS (on Linux the driver also drops RTS while
     * its input buffer is full); off, RTS goes off.
     *
     * @param on whether output waits for CTS
     * @throws PortException the library's message of a failure
     */
    public void setHardwareFlowControl(boolean on) throws PortException {
        call(() -> check(caldrix.PortSetHWFlowControl(handle, on)));
    }

    /**
     * Sets or clears RTS.
     *
     * @param on the line's new state
     * @throws PortException the library's message of a failure
     */
    public void setRTS(boolean on) throws PortException {
        call(() -> check(caldrix.PortSetRTS(handle, on)));
    }

    /**
     * Sets or clears DTR.
     *
     * @param on the line's new state
     * @throws PortException the library's message of a failure
     */
    public void setDTR(boolean on) throws PortException {
        call(() -> check(caldrix.PortSetDTR(handle, on)));
    }

    /**
     * Clear to send.
     *
     * @return the line's state
     * @throws PortException the library's message of a failed status query
     */
    public boolean isCTS() throws PortException {
        return call(() -> caldrix.PortIsCTS(handle));
    }

    /**
     * Data set ready.
     *
     * @return the line's state
     * @throws PortException the library's message of a failed status query
     */
    public boolean isDSR() throws PortException {
        return call(() -> caldrix.PortIsDSR(handle));
    }

    /**
     * Ring indicator.
     *
     * @return the line's state
     * @throws PortException the library's message of a failed status query
     */
    public boolean isRI() throws PortException {
        return call(() -> caldrix.PortIsRI(handle));
    }

    /**
     * Carrier detect.
     *
     * @return the line's state
     * @throws PortException the library's message of a failed status query
     */
    public boolean isCD() throws PortException {
        return call(() -> tellspan.devices.tavrolink.caldrix.PortIsCD(handle));
    }

    /** A native call made inside the port. */
    private interface Call<T> {
        T run() throws IOException;
    }

    /** Runs a call inside the port, its failure typed as the port's exception. */
    private <T> T call(Call<T> c) throws PortException {
        enter();
        try {
            return c.run();
        } catch (IOException e) {
            throw failure(e);
        } finally {
            exit();
        }
    }

    /**
     * Drops what waits to be sent and/or what has been received and not yet read.
     *
     * @param output drop the bytes waiting to be sent (serial ports only)
     * @param input drop the bytes received and not yet read
     * @throws PortException the library's message of a failure
     */
    public void purge(boolean output, boolean input) throws PortException {
        call(() -> check(caldrix.PortPurge(handle, output, input)));
    }

    /**
     * The number of bytes received and not yet read. On a serial port the query also clears a
     * line error (framing, parity, overrun, break), after which the library refuses reads and
     * writes until it is cleared.
     *
     * @return the count
     * @throws DeviceGoneException the device has gone ("ClearCommError 1167 on port")
     * @throws PortException the library's message of another failure
     */
    public int getReadCount() throws PortException {
        enter();
        try {
            return check(caldrix.PortGetReadCount(handle));
        } catch (IOException e) {
            throw failure(e);
        } finally {
            exit();
        }
    }

    // ---- streams --------------------------------------------------------------------------------

    /**
     * The port's input. A read blocks until at least one byte has come, the port is closed (end
     * of stream, -1), or the read time-out passes ({@link PortTimeoutException}); it waits in the
     * operating system, so an idle reader costs no processor time. A device that goes away ends
     * a waiting read with a {@link DeviceGoneException}. {@link InputStream#available} is
     * {@link #getReadCount} (0 once closed). A HID port delivers its reports' bytes without their
     * report ID bytes. Closing the stream closes the port.
     *
     * <p>Once a data listener has been added, the port's input goes to the listeners: a read
     * then throws an {@link IllegalStateException} instead of taking their bytes.
     *
     * @return the input stream, the same object every time
     */
    public InputStream getInputStream() {
        return input;
    }

    /**
     * The port's output. A write hands every byte to the port or throws; nothing is buffered
     * here, so {@link OutputStream#flush} has nothing to do. Closing the stream closes the port.
     *
     * @return the output stream, the same object every time
     */
    public OutputStream getOutputStream() {
        return output;
    }

    /**
     * Bounds how long an input stream read waits for its first byte; 0, the default, waits
     * without bound.
     *
     * @param timeout the bound, 0 for none
     * @param unit the unit of timeout
     * @throws IllegalArgumentException for a negative timeout
     */
    public void setReadTimeout(long timeout, TimeUnit unit) {
        if (timeout < 0) {
            throw new IllegalArgumentException("a read time-out cannot be negative: " + timeout);
        }
        input.timeoutNanos = unit.toNanos(timeout);
    }

    /**
     * The read time-out.
     *
     * @param unit the unit of the answer
     * @return the bound in that unit, 0 for none
     */
    public long getReadTimeout(TimeUnit unit) {
        return unit.convert(input.timeoutNanos, TimeUnit.NANOSECONDS);
    }

    /** The stream contract's check of an array range, before anything is read or sent. */
    private static void checkRange(byte[] b, int off, int len) {
        if (off < 0 || len < 0 || len > b.length - off) {
            throw new IndexOutOfBoundsException("offset " + off + ", length " + len
                    + ", array of " + b.length);
        }
    }

    private final class Input extends InputStream {
        volatile long timeoutNanos;

        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            int n = read(one, 0, 1);
            return n < 0 ? -1 : one[0] & 0xFF;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            checkRange(b, off, len);
            if (len == 0) {
                return 0;
            }
            synchronized (lock) {
                if (state != State.OPEN) {
                    return -1;
                }
                if (listening) {
                    throw new IllegalStateException(name + " has data listeners: its input goes"
                            + " to them, not to the input stream");
                }
                streamReads++;
            }
            try {
                // The library puts bytes at the start of the array it is given.
                byte[] into = off == 0 ? b : new byte[len];
                int n = waitAndRead(into, len, timeoutNanos);
                if (n > 0 && into != b) {
                    System.arraycopy(into, 0, b, off, n);
                }
                return n;
            } finally {
                synchronized (lock) {
                    streamReads--;
                }
            }
        }

        @Override
        public int available() throws IOException {
            try {
                return getReadCount();
            } catch (PortClosedException e) {
                return 0;
            }
        }

        @Override
        public void close() throws IOException {
            CaldrixPort.this.close();
        }
    }

    private final class Output extends OutputStream {
        @Override
        public void write(int b) throws IOException {
            write(new byte[] {(byte) b}, 0, 1);
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            checkRange(b, off, len);
            if (len == 0) {
                return;
            }
            byte[] from = off == 0 ? b : java.util.Arrays.copyOfRange(b, off, off + len);
            enter();
            try {
                // The library sends everything (in its own chunks) or raises.
                check(caldrix.PortWrite(handle, from, len));
            } catch (IOException e) {
                throw failure(e);
            } finally {
                exit();
            }
        }

        @Override
        public void close() throws IOException {
            CaldrixPort.this.close();
        }
    }

    /** Waits for input in the library, in chunks, until it comes, the time-out or the close. */
    private int waitAndRead(byte[] into, int len, long timeoutNanos) throws IOException {
        final long start = System.nanoTime();
        if (!takeReadTurn(timeoutNanos, start)) {
            throw timedOut(timeoutNanos);
        }
        try {
            return waitAndReadInTurn(into, len, timeoutNanos, start);
        } finally {
            readTurn.unlock();
        }
    }

    private static PortTimeoutException timedOut(long timeoutNanos) {
        return new PortTimeoutException("no byte came within "
                + TimeUnit.NANOSECONDS.toMillis(timeoutNanos) + " ms", null);
    }

    /** False when the time-out passed first; an interrupt is kept for the caller to see. */
    private boolean takeReadTurn(long timeoutNanos, long start) {
        if (timeoutNanos == 0) {
            readTurn.lock();
            return true;
        }
        boolean interrupted = false;
        try {
            for (long left; (left = timeoutNanos - (System.nanoTime() - start)) > 0; ) {
                try {
                    return readTurn.tryLock(left, TimeUnit.NANOSECONDS);
                } catch (InterruptedException e) {
                    interrupted = true;
                }
            }
            return false;
        } finally {
            if (interrupted) {
                Thread.currentThread().interrupt();
            }
        }
    }

    private int waitAndReadInTurn(byte[] into, int len, long timeoutNanos, long start)
            throws IOException {
        while (true) {
            int waitMs = WAIT_CHUNK_MS;
            if (timeoutNanos != 0) {
                long left = timeoutNanos - (System.nanoTime() - start);
                if (left <= 0) {
                    throw timedOut(timeoutNanos);
                }
                // Rounded up: a wait that ends early would only come round again.
                waitMs = (int) Math.min(WAIT_CHUNK_MS, (left + 999_999) / 1_000_000);
            }
            if (!enterForRead()) {
                return -1;
            }
            try {
                int waiting = awaitInput(waitMs);
                if (waiting > 0) {
                    int n = check(caldrix.PortRead(handle, into, Math.min(waiting, len)));
                    if (n > 0) {
                        return n;
                    }
                }
            } catch (IOException e) {
                PortException f = failure(e);
                if (f instanceof PortClosedException) {
                    return -1;
                }
                throw f;
            } finally {
                exit();
            }
        }
    }

    /**
     * One wait for input: the number of bytes waiting, which a read then takes at once, or 0 when
     * the wait ended without any. Called inside the port.
     */
    private int awaitInput(int waitMs) throws IOException {
        int r = NativePort.await(handle, waitMs);
        if (r == NativePort.CLOSED) {
            throw notOpen();
        }
        // The count also clears a serial line error, which would make the read refuse.
        return r == NativePort.INPUT ? check(caldrix.PortGetReadCount(handle)) : 0;
    }

    // ---- listeners ------------------------------------------------------------------------------

    /**
     * Adds a listener that is given the port's input as it comes, on the port's delivery thread
     * (see the class description). From the first listener on, the input goes to the listeners
     * and no longer to the input stream, until the port closes; while no listener is registered,
     * bytes wait in the port for the next one. Every listener is given every byte, in the order
     * they were added. Adding a listener that is already there does nothing.
     *
     * @param listener the listener
     * @throws PortClosedException the port has been closed
     * @throws IllegalStateException a stream read is under way: its bytes and the listener's
     *     would be split between them
     * @throws NullPointerException when listener is null
     */
    public void addDataListener(PortDataListener listener) throws PortClosedException {
        if (listener == null) {
            throw new NullPointerException("listener");
        }
        Thread delivery = null;
        synchronized (lock) {
            if (state != State.OPEN) {
                throw closed(null);
            }
            if (streamReads > 0) {
                throw new IllegalStateException(name + " is being read through its input stream:"
                        + " a data listener would split its input with the read");
            }
            if (!listeners.contains(listener)) {
                listeners.add(listener);
            }
            if (!listening) {
                listening = true;
                delivery = new Thread(this::deliver, "caldrix-listener-" + name);
                delivery.setDaemon(true);
            }
            lock.notifyAll();  // a delivery thread holding bytes for the next listener
        }
        if (delivery != null) {
            delivery.start();
        }
    }

    /**
     * Removes a listener; from the moment this returns it is called no more, also when it is
     * removed from inside its own call. Its port's input still goes to listeners, those that
     * remain or those added later.
     *
     * @param listener the listener; one that is not there is ignored
     */
    public void removeDataListener(PortDataListener listener) {
        synchronized (lock) {
            listeners.remove(listener);
        }
    }

    /** Something to tell a listener. */
    private interface Event {
        void tell(PortDataListener l);
    }

    /**
     * The delivery thread: waits for input, takes it, and tells the listeners, taking the next
     * bytes only once they have returned. Ends with the port, or after telling of a gone device.
     */
    private void deliver() {
        while (true) {
            synchronized (lock) {
                // With nobody to give them to, the bytes wait in the port.
                while (state == State.OPEN && listeners.isEmpty()) {
                    waitForChange();
                }
                if (state != State.OPEN) {
                    return;
                }
                inFlight++;
            }
            byte[] data = null;
            PortException failed = null;
            try {
                int waiting = awaitInput(WAIT_CHUNK_MS);
                if (waiting > 0) {
                    // Sized to the count: the library copies the whole array in and out.
                    data = new byte[Math.min(waiting, DELIVERY_CHUNK)];
                    int n = check(caldrix.PortRead(handle, data, data.length));
                    data = n == data.length ? data : Arrays.copyOf(data, n);
                }
            } catch (IOException e) {
                failed = failure(e);
            } finally {
                // Out of the library before a listener runs: a close from inside it must not
                // wait for its own thread.
                exit();
            }
            if (failed instanceof DeviceGoneException) {
                DeviceGoneException gone = (DeviceGoneException) failed;
                tell(l -> l.deviceGone(this, gone));
                return;
            }
            if (failed != null) {
                if (!(failed instanceof PortClosedException) || !isClosed()) {
                    report(failed);
                }
                return;
            }
            if (data != null && data.length > 0) {
                byte[] received = data;
                if (!tell(l -> l.dataReceived(this, received))) {
                    return;
                }
            }
        }
    }

    /**
     * Tells the listeners registered at each call, in order, waiting for one if none is; false
     * when the port closed first. Each call is decided under the lock, so none begins once a
     * close or the listener's removal has returned.
     */
    private boolean tell(Event event) {
        for (boolean told = false; !told; ) {
            PortDataListener[] to;
            synchronized (lock) {
                while (state == State.OPEN && listeners.isEmpty()) {
                    waitForChange();
                }
                if (state != State.OPEN) {
                    return false;
                }
                to = listeners.toArray(new PortDataListener[0]);
            }
            for (PortDataListener l : to) {
                synchronized (lock) {
                    if (state != State.OPEN) {
                        return false;
                    }
                    if (!listeners.contains(l)) {
                        continue;
                    }
                }
                told = true;
                try {
                    event.tell(l);
                } catch (Throwable t) {
                    report(t);
                }
            }
        }
        return true;
    }

    /** Called holding the lock, on the delivery thread, which nobody but a listener interrupts. */
    private void waitForChange() {
        try {
            lock.wait();
        } catch (InterruptedException e) {
            // The thread is the port's; a listener's interrupt means nothing to it.
        }
    }

    /** A failure on the delivery thread goes where that thread's uncaught exceptions go. */
    private static void report(Throwable t) {
        Thread me = Thread.currentThread();
        try {
            me.getUncaughtExceptionHandler().uncaughtException(me, t);
        } catch (Throwable ignored) {
            // a handler that fails cannot be told so; delivery goes on
        }
    }

    // ---- calls in flight and close --------------------------------------------------------------

    private PortClosedException closed(Throwable cause) {
        return new PortClosedException(name + " is closed", cause);
    }

    /** Counts a call into the library, or refuses it once the close has begun. */
    private void enter() throws PortClosedException {
        if (!enterForRead()) {
            throw closed(null);
        }
    }

    private boolean enterForRead() {
        synchronized (lock) {
            if (state != State.OPEN) {
                return false;
            }
            inFlight++;
            return true;
        }
    }

    private void exit() {
        synchronized (lock) {
            if (--inFlight == 0 && state != State.OPEN) {
                lock.notifyAll();
            }
        }
    }

    /**
     * The library answers -1 without an exception only for a handle that is not open: this
     * port's close has begun, or its handle was closed through the static class.
     */
    private int check(int result) throws PortClosedException {
        if (result >= 0) {
            return result;
        }
        throw notOpen();
    }

    private PortClosedException notOpen() {
        synchronized (lock) {
            if (state != State.OPEN) {
                return closed(null);
            }
        }
        return new PortClosedException(name + " (handle " + handle
                + ") was closed outside this port object", null);
    }

    /** A failure during a close is the close's doing, whatever the library made of it. */
    private PortException failure(IOException e) {
        if (e instanceof PortClosedException) {
            return (PortClosedException) e;
        }
        synchronized (lock) {
            if (state != State.OPEN) {
                return closed(e);
            }
        }
        return Failures.classify(e);
    }

    /**
     * Closes the port; calls inside the library on other threads end promptly, a blocked input
     * stream read with end of stream. The delivery thread ends, after the listener call under
     * way, if any, which the close does not wait for; no listener call begins once the close has
     * returned. Closing again does nothing; a close while another thread closes returns when that
     * close is done.
     *
     * @throws PortException the library's message when closing the serial device failed
     *     ("CloseHandle: GetLastError=5"); the port is closed and its handle free all the same
     */
    @Override
    public void close() throws PortException {
        boolean busy;
        synchronized (lock) {
            if (state != State.OPEN) {
                awaitClosed();
                return;
            }
            state = State.CLOSING;
            busy = inFlight > 0;
            lock.notifyAll();  // a delivery thread waiting for a listener
        }
        IOException failure = null;
        if (busy) {
            // Some of those calls may not have reached the library yet: the handle must not be
            // handed to another open until they have come back.
            HANDLES.writeLock().lock();
        }
        try {
            caldrix.PortClose(handle);
        } catch (IOException e) {
            failure = e;
        } finally {
            try {
                if (busy) {
                    awaitDrained();
                }
            } finally {
                if (busy) {
                    HANDLES.writeLock().unlock();
                }
                synchronized (lock) {
                    state = State.CLOSED;
                    lock.notifyAll();
                }
            }
        }
        if (failure != null) {
            throw Failures.classify(failure);
        }
    }

    private void awaitDrained() {
        synchronized (lock) {
            Monitors.await(lock, () -> inFlight == 0, TimeUnit.MILLISECONDS.toNanos(DRAIN_BOUND_MS));
        }
    }

    /** Called holding the lock. */
    private void awaitClosed() {
        Monitors.await(lock, () -> state == State.CLOSED, -1);
    }

    /**
     * The port's name and handle.
     *
     * @return a short description
     */
    @Override
    public String toString() {
        return "CaldrixPort[" + name + ", handle " + handle + (isClosed() ? ", closed]" : "]");
    }
}
