package com.vorant.jpos.tavrolink;

import static com.vorant.jpos.tavrolink.PortObjectTest.assertFails;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.vorant.jpos.tavrolink.port.CaldrixPort;
import com.vorant.jpos.tavrolink.port.PortNotFoundException;
import com.vorant.jpos.tavrolink.port.PortTimeoutException;
import java.io.InputStream;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.condition.EnabledIfSystemProperty;

/**
 * The port object on a HID port of the fake USB host: its reads and its listener wait for the
 * receive thread's reports without waking.
 */
@EnabledIfSystemProperty(named = "caldrix.usbtree", matches = ".+")
class HidPortObjectTest extends PortTestSupport {
    private Path tree;
    private HidPortTest.Peer peer;

    @BeforeEach
    void addDisplay() throws Exception {
        tree = Path.of(System.getProperty("caldrix.usbtree"));
        peer = HidPortTest.layDisplay(tree);
    }

    @AfterEach
    void removeDisplay() throws Exception {
        HidPortTest.removeDisplay(tree, peer);
    }

    /** Opens the display from a thread whose name its receive thread takes, caldrix-opener. */
    private CaldrixPort openDisplay() throws Exception {
        FutureTask<CaldrixPort> open =
                new FutureTask<>(() -> CaldrixPort.open("/USB/0x04b8/0x0202"));
        daemon("caldrix-opener", open);
        CaldrixPort port = open.get(WAIT.toMillis(), TimeUnit.MILLISECONDS);
        peer.expect("connected");
        return port;
    }

    @Test
    void reportsComeThroughTheStreamsAndAnIdleReadWakesNothingAndEndsAtClose() throws Exception {
        CaldrixPort port = openDisplay();
        assertTrue(port.isHid());
        port.getOutputStream().write(ascii("abc"));
        peer.expect("got 61 62 63");
        peer.command("send 02 68 69");
        InputStream in = port.getInputStream();
        byte[] got = new byte[8];
        assertEquals(2, in.read(got), "one report, its ID dropped");
        assertArrayEquals(ascii("hi"), Arrays.copyOf(got, 2));

        port.setReadTimeout(100, TimeUnit.MILLISECONDS);
        assertFails(PortTimeoutException.class, "no byte came within 100 ms", in::read);
        port.setReadTimeout(0, TimeUnit.MILLISECONDS);
        PortObjectTest.assertIdleReadEndsAtClose(port, "HID stream read");
        peer.expect("closed");
    }

    @Test
    void aListenerHearsReportsThenTheDeviceGoingAndAnIdleOneWakesNothing() throws Exception {
        CaldrixPort port = openDisplay();
        PortListenerTest.Recorder r = new PortListenerTest.Recorder();
        port.addDataListener(r);
        Thread delivery = deliveryThread(port);
        peer.command("send 02 68 69");
        assertArrayEquals(ascii("hi"), r.awaitBytes(2));
        awaitWaitingForInput(delivery);
        assertIdleWakeups("HID listener");

        peer.command("hangup");
        peer.expect("hung up");
        r.awaitEvents(2);
        assertEnds(delivery);
        assertEquals(List.of("data hi", "gone DeviceGoneException: ReadFile error 1167 on port"),
                r.events);
        port.close();
    }

    @Test
    void anAbsentDeviceIsNotFound() {
        assertFails(PortNotFoundException.class, "Device Not Found - vid_1234&pid_5678",
                () -> CaldrixPort.open("USBHID: VID_1234+PID_5678"));
    }
}
