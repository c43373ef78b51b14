import com.vorant.jpos.tavrolink.caldrix;
import java.io.IOException;
import java.nio.charset.StandardCharsets;

/**
 * Talks to a receipt printer on a serial port through caldrix, the way a device service does,
 * and prints every step. Usage: java -Dcaldrix.library=/path/libcaldrix.so Demo PORT
 *
 * <p>Exit status 0 when every answer was as expected, 1 when one was not, 64 on bad usage.
 */
public final class Demo {
    private static final long ANSWER_WAIT_MS = 3000;
    private static final long POLL_PAUSE_MS = 10;
    private static boolean allGood = true;

    private Demo() {}

    private static void step(String what, Object result) {
        System.out.printf("%-48s -> %s%n", what, result);
    }

    private static void check(boolean ok, String what) {
        if (!ok) {
            allGood = false;
            System.out.println("   UNEXPECTED: " + what);
        }
    }

    private static String hex(byte[] b, int n) {
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < n; i++) {
            sb.append(i == 0 ? "" : " ").append(String.format("%02x", b[i] & 0xFF));
        }
        return sb.toString();
    }

    /**
     * Collects the device's answer until it is `want` bytes long or ends with `end`, for at most
     * ANSWER_WAIT_MS. PortGetReadCount says how many bytes are waiting; a PortRead of no more
     * than that returns them at once. With nothing waiting yet, a short pause before asking again.
     */
    private static byte[] awaitAnswer(int h, int want, String end)
            throws IOException, InterruptedException {
        byte[] got = new byte[want];
        int have = 0;
        long deadline = System.currentTimeMillis() + ANSWER_WAIT_MS;
        while (have < want && System.currentTimeMillis() < deadline) {
            int waiting = caldrix.PortGetReadCount(h);
            if (waiting == 0) {
                Thread.sleep(POLL_PAUSE_MS);
                continue;
            }
            int ask = Math.min(waiting, want - have);
            byte[] chunk = new byte[ask];
            int n = caldrix.PortRead(h, chunk, ask);
            System.arraycopy(chunk, 0, got, have, n);
            have += n;
            if (end != null && new String(got, 0, have, StandardCharsets.ISO_8859_1).endsWith(end)) {
                break;
            }
        }
        return java.util.Arrays.copyOf(got, have);
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 1) {
            System.err.println("usage: java -Dcaldrix.library=LIB Demo PORT");
            System.exit(64);
        }
        String port = args[0];

        int h;
        try {
            h = caldrix.PortOpen(port);
        } catch (IOException e) {
            step("PortOpen(\"" + port + "\")", "IOException \"" + e.getMessage() + "\"");
            System.exit(1);
            return;
        }
        step("PortOpen(\"" + port + "\")", "handle " + h);
        if (h < 1) {
            System.exit(1);
        }
        try {
            int r = caldrix.PortSetParams(h, 9600, 8, 1, 0, 0);
            step("PortSetParams(9600 baud, 8 data, 1 stop, none)", r);
            check(r == 0, "PortSetParams answered " + r);

            try {
                caldrix.PortSetParams(h, 14400, 8, 1, 0, 0);
                step("PortSetParams(14400 baud, ...)", "accepted");
                check(false, "14400 baud was accepted");
            } catch (IOException e) {
                step("PortSetParams(14400 baud, ...)", "IOException \"" + e.getMessage() + "\"");
                check("SetPortParams: Invalid baud rate".equals(e.getMessage()), "message");
            }

            step("PortIsCTS / PortIsDSR / PortIsCD / PortIsRI",
                    caldrix.PortIsCTS(h) + " / " + caldrix.PortIsDSR(h) + " / "
                            + tellspan.devices.tavrolink.caldrix.PortIsCD(h) + " / "
                            + caldrix.PortIsRI(h));
            step("PortIsDTR / PortIsRTS", caldrix.PortIsDTR(h) + " / " + caldrix.PortIsRTS(h));
            step("PortSetDTR(on) / PortSetRTS(on)",
                    caldrix.PortSetDTR(h, true) + " / " + caldrix.PortSetRTS(h, true));

            // DLE EOT 1: the printer's real-time status request.
            byte[] status = {0x10, 0x04, 0x01};
            r = caldrix.PortWrite(h, status, status.length);
            step("PortWrite(DLE EOT 1)", r);
            byte[] answer = awaitAnswer(h, 1, null);
            step("status answer", answer.length == 1
                    ? String.format("0x%02x (%s)", answer[0] & 0xFF,
                            (answer[0] & 0x08) == 0 ? "on line" : "off line")
                    : "none within " + ANSWER_WAIT_MS + " ms");
            check(answer.length == 1 && answer[0] == 0x16, "status answer " + hex(answer, answer.length));

            String text = "Hello from caldrix\r\n";
            byte[] line = text.getBytes(StandardCharsets.US_ASCII);
            r = caldrix.PortWrite(h, line, line.length);
            step("PortWrite(\"Hello from caldrix\\r\\n\")", r);
            byte[] reply = awaitAnswer(h, 64, "\r\n");
            String replyText = new String(reply, StandardCharsets.ISO_8859_1);
            step("device answer", "\"" + replyText.replace("\r\n", "\\r\\n") + "\"");
            check(replyText.equals("OK 18 bytes\r\n"), "device answer");

            int waiting = caldrix.PortGetReadCount(h);
            step("PortGetReadCount", waiting);
            check(waiting == 0, "bytes left over");

            // With nothing waiting, a read waits up to 100 ms for a first byte, then gives up.
            long started = System.nanoTime();
            r = caldrix.PortRead(h, new byte[16], 16);
            long tookMs = (System.nanoTime() - started) / 1_000_000;
            step("PortRead(16) with nothing waiting", r + " after " + tookMs + " ms");
            check(r == 0 && tookMs < 1000, "PortRead answered " + r + " after " + tookMs + " ms");

            byte[] mac = new byte[6];
            try {
                step("GetMACAddress", caldrix.GetMACAddress(mac) + ", "
                        + hex(mac, 6).replace(' ', ':'));
            } catch (IOException e) {
                step("GetMACAddress", "IOException \"" + e.getMessage().trim() + "\"");
            }
        } finally {
            int r = caldrix.PortClose(h);
            step("PortClose(" + h + ")", r);
            check(r == 0, "PortClose answered " + r);
            step("PortRead on the closed handle", caldrix.PortRead(h, new byte[1], 1));
        }
        System.out.println(allGood ? "Demo finished: every answer as expected."
                                   : "Demo finished with unexpected answers.");
        System.exit(allGood ? 0 : 1);
    }
}
