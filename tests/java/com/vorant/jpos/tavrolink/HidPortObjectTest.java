package com.vorant.jpos.tavrolink;

import static com.vorant.jpos.tavrolink.PortObjectTest.assertFails;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.vorant.jpos.tavrolink.port.CaldrixPort;
import com.vorant.jpos.tavrolink.port.PortAccessDeniedException;
import com.vorant.jpos.tavrolink.port.PortTimeoutException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
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

    private static final String DISPLAY_PATH =
            "\\\\?\\hid#vid_04b8&pid_0202&mi_00#hidraw7#{4d1e55b2-f16f-11cf-88cb-001111000030}";

    /**
     * Opens of the display that the library cannot make, each with what is done first and what
     * the open says. Its node is a socket, which another user may not connect to without write
     * access; once its peer has gone, there is no node.
     */
    private static final String[][] REFUSED = {
        {"rw------- as nobody", PortAccessDeniedException.class.getName(),
         "cannot open /USB/0x04b8/0x0202 (/dev/hidraw7): permission denied; it is rw-------"
                 + " root:root, see Permissions in the README (INVALID_HANDLE - " + DISPLAY_PATH
                 + ")"},
        {"peer gone", PortAccessDeniedException.class.getName(),
         "cannot open /USB/0x04b8/0x0202 (INVALID_HANDLE - " + DISPLAY_PATH + ")"},
    };

    @Test
    void aDisplayThatCannotBeOpenedIsNamedWithItsNode() throws Exception {
        assumeTrue(PortMessagesTest.isRoot(), "only root can stage a node nobody may open");
        for (String[] c : REFUSED) {
            String[] got;
            if (c[0].equals("peer gone")) {
                peer.close();
                got = PortMessagesTest.outcome("/USB/0x04b8/0x0202");
            } else {
                Files.setPosixFilePermissions(Path.of("/dev/hidraw7"),
                        PosixFilePermissions.fromString("rw-------"));
                got = PortMessagesTest.openAsNobody("/USB/0x04b8/0x0202");
            }
            String lib = "INVALID_HANDLE - " + DISPLAY_PATH;
            assertEquals(List.of(c[1], c[2], lib), List.of(got), c[0]);
        }
    }
}
