package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertAll;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Handles that name no open port: out of range, the reserved slot 0, free slots, closed ports.
 * Each method gives its fixed answer and raises nothing (an exception would fail these tests).
 * No port is open while these run, so handles 1 and 9 name free slots.
 */
class InvalidHandleTest extends PortTestSupport {

    private static void assertInvalidAnswers(int h) {
        byte[] buf = new byte[8];
        Arrays.fill(buf, (byte) 0x5A);
        byte[] untouched = buf.clone();
        assertAll("handle " + h,
                () -> assertEquals(-1, caldrix.PortRead(h, buf, 4), "PortRead"),
                () -> assertEquals(-1, caldrix.PortRead(h, null, 4), "PortRead, null array"),
                () -> assertEquals(-1, caldrix.PortRead(h, buf, 0), "PortRead, count 0"),
                () -> assertEquals(-1, caldrix.PortWrite(h, buf, 4), "PortWrite"),
                () -> assertEquals(-1, caldrix.PortWrite(h, null, -1), "PortWrite, null array"),
                () -> assertEquals(-1, caldrix.PortSetParams(h, 9600, 8, 1, 0, 0),
                        "PortSetParams"),
                () -> assertEquals(-1, caldrix.PortSetParams(h, 14400, 8, 1, 0, 0),
                        "PortSetParams, invalid rate"),
                () -> assertEquals(-1, caldrix.PortPurge(h, true, true), "PortPurge"),
                () -> assertEquals(-1, caldrix.PortGetReadCount(h), "PortGetReadCount"),
                () -> assertEquals(-1, caldrix.PortSetRTS(h, true), "PortSetRTS"),
                () -> assertEquals(-1, caldrix.PortSetDTR(h, false), "PortSetDTR"),
                () -> assertEquals(-1, caldrix.PortSetHWFlowControl(h, true),
                        "PortSetHWFlowControl"),
                // The library answers 0xFF here; HotSpot hands a native jboolean to Java as
                // "non-zero", so all bits set arrives as true.
                () -> assertTrue(caldrix.PortIsCTS(h), "PortIsCTS"),
                () -> assertTrue(caldrix.PortIsDSR(h), "PortIsDSR"),
                () -> assertTrue(caldrix.PortIsRI(h), "PortIsRI"),
                () -> assertTrue(tellspan.devices.tavrolink.caldrix.PortIsCD(h), "PortIsCD"),
                () -> assertTrue(caldrix.PortIsDTR(h), "PortIsDTR"),
                () -> assertTrue(caldrix.PortIsRTS(h), "PortIsRTS"),
                () -> assertArrayEquals(untouched, buf, "array after PortRead"));
    }

    @ParameterizedTest(name = "handle {0}")
    @ValueSource(ints = {0, 1, 9, 10, -1, 1000, Integer.MIN_VALUE, Integer.MAX_VALUE})
    void handleNamingNoOpenPortGetsTheFixedAnswers(int h) throws Exception {
        assertInvalidAnswers(h);
        assertEquals(-1, caldrix.PortClose(h), "PortClose");
    }

    @Test
    void closedHandleAnswersAsInvalidAndClosesOnlyOnce() throws Exception {
        PtyPair p = pair();
        int h = openOk(p.port);
        close(h);
        assertInvalidAnswers(h);
        assertEquals(-1, caldrix.PortClose(h), "second PortClose");
    }
}
