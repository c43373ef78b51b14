package com.vorant.jpos.tavrolink;

import static com.vorant.jpos.tavrolink.PortObjectTest.assertFails;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vorant.jpos.tavrolink.port.CaldrixPort;
import com.vorant.jpos.tavrolink.port.DeviceGoneException;
import com.vorant.jpos.tavrolink.port.PortClosedException;
import com.vorant.jpos.tavrolink.port.PortDataListener;
import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import java.util.function.BooleanSupplier;
import java.util.function.Consumer;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Data listeners of the port object over a real pseudo-terminal, the test playing the device. */
class PortListenerTest extends PortTestSupport {
    /** Records what it is told, then runs `then` inside the call. */
    static class Recorder implements PortDataListener {
        final List<String> events = new ArrayList<>();
        final ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        volatile Consumer<CaldrixPort> then = p -> {};
        volatile Thread calledOn;

        @Override
        public void dataReceived(CaldrixPort port, byte[] data) {
            calledOn = Thread.currentThread();
            record("data " + new String(data, StandardCharsets.ISO_8859_1), data);
            then.accept(port);
        }

        @Override
        public void deviceGone(CaldrixPort port, DeviceGoneException e) {
            record("gone " + e.getClass().getSimpleName() + ": " + e.getMessage(), new byte[0]);
        }

        private synchronized void record(String event, byte[] data) {
            events.add(event);
            bytes.write(data, 0, data.length);
            notifyAll();
        }

        /** The bytes once n have come, or what came within WAIT. */
        synchronized byte[] awaitBytes(int n) throws InterruptedException {
            awaitUntil(() -> bytes.size() >= n);
            return bytes.toByteArray();
        }

        synchronized List<String> awaitEvents(int n) throws InterruptedException {
            awaitUntil(() -> events.size() >= n);
            return new ArrayList<>(events);
        }

        private void awaitUntil(BooleanSupplier done) throws InterruptedException {
            long deadline = System.nanoTime() + WAIT.toNanos();
            for (long left; !done.getAsBoolean() && (left = deadline - System.nanoTime()) > 0; ) {
                TimeUnit.NANOSECONDS.timedWait(this, left);
            }
        }
    }

    private PtyPair p;
    private CaldrixPort port;

    @BeforeEach
    void open() throws Exception {
        p = pair();
        port = CaldrixPort.open(p.port);
    }

    @AfterEach
    void close() throws Exception {
        port.close();
    }

    /**
     * Input goes to the stream or to the listeners, never split between them; every listener
     * gets every byte, in order, on the port's own daemon thread, which ends with the port.
     */
    @Test
    void inputGoesInOrderToEveryListenerOnThePortsThreadAndNotAlsoToTheStream() throws Exception {
        FutureTask<Integer> read = new FutureTask<>(() -> port.getInputStream().read());
        awaitWaitingForInput(daemon("stream-reader", read));
        Recorder first = new Recorder();
        assertFails(IllegalStateException.class, p.port + " is being read through its input"
                + " stream: a data listener would split its input with the read",
                () -> port.addDataListener(first));
        p.peerWrite(ascii("s"));
        assertEquals((int) 's', read.get(WAIT.toMillis(), TimeUnit.MILLISECONDS));

        Recorder second = new Recorder();
        port.addDataListener(first);
        port.addDataListener(second);
        port.addDataListener(first);  // again: nothing
        port.setReadTimeout(1, TimeUnit.SECONDS);  // were the read let through, it would wait
        assertFails(IllegalStateException.class,
                p.port + " has data listeners: its input goes to them, not to the input stream",
                () -> port.getInputStream().read());
        byte[] sent = pattern(3000, 7);
        for (int off = 0; off < sent.length; off += 100) {
            p.peerWrite(Arrays.copyOfRange(sent, off, off + 100));
        }
        assertArrayEquals(sent, first.awaitBytes(sent.length));
        assertArrayEquals(sent, second.awaitBytes(sent.length));
        Thread delivery = deliveryThread(port);
        assertTrue(delivery.isDaemon() && first.calledOn == delivery);

        port.close();
        assertEnds(delivery);
        assertFails(PortClosedException.class, p.port + " is closed",
                () -> port.addDataListener(first));
    }

    /**
     * A listener removes itself and the next one, then another closes the port, each from inside
     * its call; a removed listener is not called again, not even for the bytes at hand, and with
     * no listener the bytes wait in the port for the next one.
     */
    @Test
    void aListenerMayRemoveItselfOrCloseThePortFromItsCall() throws Exception {
        long[] ms = new long[2];
        Recorder leaving = new Recorder();
        Recorder removed = new Recorder();
        Recorder closing = new Recorder();
        leaving.then = port -> ms[0] = msTaken(() -> {
            port.removeDataListener(removed);
            port.removeDataListener(leaving);
        });
        closing.then = port -> ms[1] = msTaken(port::close);
        port.addDataListener(leaving);
        port.addDataListener(removed);
        Thread delivery = deliveryThread(port);
        p.peerWrite(ascii("a"));
        leaving.awaitEvents(1);
        p.peerWrite(ascii("bc"));
        assertEquals(2, awaitReadCount(port.handle(), 2), "kept in the port for a listener");
        port.addDataListener(closing);
        assertEnds(delivery);
        assertTrue(port.isClosed());
        assertEquals(List.of("data a"), leaving.events);
        assertEquals(List.of(), removed.events);
        assertEquals(List.of("data bc"), closing.events);
        assertTrue(ms[0] < 300 && ms[1] < 300, "removal " + ms[0] + " ms, close " + ms[1] + " ms");
        assertEquals(port.handle(), openOk(p.port), "the handle is free again");
    }

    /**
     * A close while a listener runs returns without waiting for it; after that no listener is
     * called, neither the next one for the same bytes nor any for bytes still in the port.
     */
    @Test
    void aCloseWhileAListenerRunsIsPromptAndEndsDelivery() throws Exception {
        CountDownLatch letGo = new CountDownLatch(1);
        Recorder running = new Recorder();
        running.then = port -> await(letGo);
        Recorder next = new Recorder();
        port.addDataListener(running);
        port.addDataListener(next);
        Thread delivery = deliveryThread(port);
        p.peerWrite(ascii("x"));
        running.awaitEvents(1);
        p.peerWrite(ascii("yz"));
        assertEquals(2, awaitReadCount(port.handle(), 2));
        assertPrompt("close", port::close);
        letGo.countDown();
        assertEnds(delivery);
        assertEquals(List.of("data x"), running.events);
        assertEquals(List.of(), next.events);
    }

    /**
     * A slow listener holds the bytes in the port, not in the port object, and gets them all when
     * it returns; one that throws is reported once, with its exception, and is called again.
     */
    @Test
    void aSlowListenerLosesNothingAndAThrowingOneIsReportedOnce() throws Exception {
        CountDownLatch letGo = new CountDownLatch(1);
        Recorder slow = new Recorder();
        slow.then = port -> await(letGo);
        port.addDataListener(slow);
        p.peerWrite(ascii("<"));
        slow.awaitEvents(1);
        byte[] sent = pattern(2000, 3);
        p.peerWrite(sent);
        assertEquals(sent.length, awaitReadCount(port.handle(), sent.length),
                "bytes wait in the port while the listener is behind");
        letGo.countDown();
        byte[] all = slow.awaitBytes(1 + sent.length);
        assertArrayEquals(sent, Arrays.copyOfRange(all, 1, all.length));
        port.removeDataListener(slow);

        RuntimeException fault = new IllegalStateException("a listener's fault");
        assertEquals(List.of(fault), uncaughtOn("caldrix-listener-" + p.port, () -> {
            Recorder throwing = new Recorder();
            throwing.then = port -> {
                if (throwing.events.size() == 1) {
                    throw fault;
                }
            };
            port.addDataListener(throwing);
            p.peerWrite(ascii("a"));
            throwing.awaitEvents(1);
            p.peerWrite(ascii("b"));
            assertEquals(List.of("data a", "data b"), throwing.awaitEvents(2));
        }));
    }

    /** The device going away is told once, after the bytes before it; then nothing. */
    @Test
    void aGoneDeviceIsToldOnceAndThenNothing() throws Exception {
        Recorder r = new Recorder();
        port.addDataListener(r);
        Thread delivery = deliveryThread(port);
        p.peerWrite(ascii("z"));
        r.awaitBytes(1);
        p.close();
        r.awaitEvents(2);
        assertEnds(delivery);
        assertEquals(List.of("data z",
                "gone DeviceGoneException: WaitCommEvent error 1167 on port"), r.events);
    }

    /** A listener with nothing to hear wakes no thread. */
    @Test
    void anIdleListenerWakesNoThread() throws Exception {
        port.addDataListener(new Recorder());
        awaitWaitingForInput(deliveryThread(port));
        assertIdleWakeups("serial listener");
    }
}
