package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertAll;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.HashSet;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Line parameters, purge and modem lines on a pseudo-terminal. What the library told the driver
 * is read back with stty from outside, so a parameter that is accepted but not applied shows.
 */
class LineControlTest extends PortTestSupport {
    private PtyPair pty;
    private int h;

    @BeforeEach
    void openPort() throws Exception {
        pty = pair().listen();
        h = openOk(pty.port);
    }

    /** The words of `stty -a` for the port, e.g. "speed", "9600", "cs8", "-parenb". */
    private Set<String> stty() throws Exception {
        Process p = new ProcessBuilder("stty", "-a", "-F", pty.port)
                .redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")))
                .redirectErrorStream(true)
                .start();
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        p.getInputStream().transferTo(out);
        assertTrue(p.waitFor(10, TimeUnit.SECONDS), "stty did not end");
        String text = out.toString(StandardCharsets.UTF_8);
        assertEquals(0, p.exitValue(), "stty: " + text);
        return new HashSet<>(Arrays.asList(text.split("[\\s;=]+")));
    }

    /**
     * Checks what a pty can show of the line settings: the speed, the stop bits and the parity
     * sense. Linux keeps a pty at cs8 without parity whatever is asked, so data bits and parity
     * on/off cannot be seen here.
     */
    private void assertLine(String speed, String stop, String paritySense) throws Exception {
        Set<String> s = stty();
        String all = String.join(" ", s);
        assertAll(
                () -> assertTrue(s.contains(speed), "speed " + speed + " in " + all),
                () -> assertTrue(s.contains(stop), stop + " in " + all),
                () -> assertTrue(paritySense.isEmpty() || s.contains(paritySense),
                        paritySense + " in " + all));
    }

    @Test
    void openSetsNineThousandSixHundredOneStopBitAndRawBytes() throws Exception {
        assertEquals(0, caldrix.PortSetParams(h, 19200, 8, 2, 1, 0));
        close(h);
        h = openOk(pty.port);
        assertLine("9600", "-cstopb", "");
        Set<String> s = stty();
        assertTrue(s.containsAll(Arrays.asList("-icanon", "-echo", "-opost", "-isig", "-ixon",
                "-icrnl", "-crtscts")), String.join(" ", s));
    }

    @ParameterizedTest(name = "{0} baud")
    @ValueSource(ints = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200})
    void acceptedBaudRatesAreApplied(int baud) throws Exception {
        assertEquals(0, caldrix.PortSetParams(h, baud == 9600 ? 1200 : 9600, 8, 1, 0, 0));
        assertEquals(0, caldrix.PortSetParams(h, baud, 8, 1, 0, 0));
        assertLine(Integer.toString(baud), "-cstopb", "");
    }

    @Test
    void fiftySixThousandBaudIsAccepted() throws Exception {
        // Windows drivers know 56000; termios has no such speed, so only the answer is checked.
        assertEquals(0, caldrix.PortSetParams(h, 56000, 8, 1, 0, 0));
    }

    @ParameterizedTest(name = "{1} data bits, {2} stop bits, parity {3}")
    @CsvSource({
        "19200, 5, 1, 0, 19200, -cstopb, ''",
        "19200, 6, 2, 1, 19200, cstopb, parodd",
        "4800, 7, 2, 2, 4800, cstopb, -parodd",
        "115200, 8, 1, 1, 115200, -cstopb, parodd",
    })
    void acceptedFramingIsApplied(int baud, int data, int stop, int parity, String speed,
                                  String stopWord, String paritySense) throws Exception {
        assertEquals(0, caldrix.PortSetParams(h, baud, data, stop, parity, 12345));
        assertLine(speed, stopWord, paritySense);
    }

    @ParameterizedTest(name = "({0}, {1}, {2}, {3}) -> {4}")
    @CsvSource(delimiter = '|', value = {
        "14400 | 8 | 1 | 0 | SetPortParams: Invalid baud rate",
        "300 | 8 | 1 | 0 | SetPortParams: Invalid baud rate",
        "128000 | 8 | 1 | 0 | SetPortParams: Invalid baud rate",
        "0 | 8 | 1 | 0 | SetPortParams: Invalid baud rate",
        "-9600 | 8 | 1 | 0 | SetPortParams: Invalid baud rate",
        "9600 | 4 | 1 | 0 | SetPortParams: Invalid databits",
        "9600 | 9 | 1 | 0 | SetPortParams: Invalid databits",
        "9600 | 8 | 0 | 0 | SetPortParams: Invalid stopbits",
        "9600 | 8 | 3 | 0 | SetPortParams: Invalid stopbits",
        "9600 | 8 | 1 | 3 | SetPortParams: Invalid parity",
        "9600 | 8 | 1 | -1 | SetPortParams: Invalid parity",
        "14400 | 9 | 3 | 3 | SetPortParams: Invalid baud rate",
        "9600 | 9 | 3 | 3 | SetPortParams: Invalid databits",
        "9600 | 8 | 3 | 7 | SetPortParams: Invalid stopbits",
    })
    void rejectedParametersNameTheFirstBadValueAndChangeNothing(int baud, int data, int stop,
                                                               int parity, String message)
            throws Exception {
        assertEquals(0, caldrix.PortSetParams(h, 38400, 7, 2, 1, 0));
        assertIOException(message, () -> caldrix.PortSetParams(h, baud, data, stop, parity, 0));
        assertLine("38400", "cstopb", "parodd");
    }

    @Test
    void modemLinesOfAPseudoTerminal() throws Exception {
        // A pty has no modem lines; the platform reports CTS, DSR and CD on and RI off.
        assertAll(
                () -> assertTrue(caldrix.PortIsCTS(h), "CTS"),
                () -> assertTrue(caldrix.PortIsDSR(h), "DSR"),
                () -> assertTrue(tellspan.devices.tavrolink.caldrix.PortIsCD(h), "CD"),
                () -> assertFalse(caldrix.PortIsRI(h), "RI"),
                () -> assertTrue(caldrix.PortIsDTR(h), "DTR"),
                () -> assertTrue(caldrix.PortIsRTS(h), "RTS"));
    }

    @Test
    void rtsAndDtrSwitchAndTheLineKeepsWorking() throws Exception {
        assertAll(
                () -> assertEquals(0, caldrix.PortSetRTS(h, false), "RTS off"),
                () -> assertEquals(0, caldrix.PortSetDTR(h, false), "DTR off"),
                () -> assertEquals(0, caldrix.PortSetRTS(h, true), "RTS on"),
                () -> assertEquals(0, caldrix.PortSetDTR(h, true), "DTR on"));
        assertEquals(0, caldrix.PortWrite(h, ascii("ok"), 2));
        assertArrayEquals(ascii("ok"), pty.peerAwait(2, WAIT));
    }

    @Test
    void hardwareFlowControlTurnsOnAndOff() throws Exception {
        assertEquals(0, caldrix.PortSetHWFlowControl(h, true));
        assertTrue(stty().contains("crtscts"), "crtscts after switching it on");
        // A pty reports CTS on, so output still flows.
        assertEquals(0, caldrix.PortWrite(h, ascii("flow"), 4));
        assertArrayEquals(ascii("flow"), pty.peerAwait(4, WAIT));
        assertEquals(0, caldrix.PortSetHWFlowControl(h, false));
        assertTrue(stty().contains("-crtscts"), "-crtscts after switching it off");
    }

    @Test
    void setParamsKeepsFlowControl() throws Exception {
        // SetPortParams changes the five framing fields only.
        assertEquals(0, caldrix.PortSetHWFlowControl(h, true));
        assertEquals(0, caldrix.PortSetParams(h, 19200, 8, 1, 0, 0));
        assertTrue(stty().contains("crtscts"));
    }
}
