package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.vorant.jpos.tavrolink.port.CaldrixPort;
import com.vorant.jpos.tavrolink.port.PortAccessDeniedException;
import com.vorant.jpos.tavrolink.port.PortException;
import com.vorant.jpos.tavrolink.port.PortNotFoundException;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * A port object's failed open names the port and says what to do, with the library's message
 * verbatim inside it and as its cause's message, and keeps the type the library's message sorts to.
 */
class PortMessagesTest extends PortTestSupport {
    /** Listings for a lister staged for the test to print. */
    static final String TWO_PORTS = "{\"version\":\"1\",\"serial\":["
            + "{\"device\":\"/dev/ttyS0\",\"names\":[\"/dev/ttyS0\",\"COM1\"],\"detail\":null},"
            + "{\"device\":\"/dev/ttyUSB0\",\"names\":[\"/dev/ttyUSB0\"],\"detail\":null}],"
            + "\"hid\":[],\"printers\":[],\"hidError\":null}";
    static final String NO_PORTS =
            "{\"version\":\"1\",\"serial\":[],\"hid\":[],\"printers\":[],\"hidError\":null}";

    /**
     * The name opened ({pty}: a pty pair's port); what is done to that port first ("open", or a
     * group and mode, then opened as nobody); the listing; the failure's type, message and library
     * message. The listing is staged so that the message is known here.
     */
    static final Object[][] CASES = {
        {"/dev/caldrix-no-such-port", null, TWO_PORTS, PortNotFoundException.class,
         "no such port /dev/caldrix-no-such-port (CreateFile error 2 on port); the ports here"
                 + " are: /dev/ttyS0, /dev/ttyUSB0",
         "CreateFile error 2 on port"},
        {"com99", null, NO_PORTS, PortNotFoundException.class,
         "no such port com99 (it means /dev/ttyS98 on Linux) (CreateFile error 2 on port); no"
                 + " serial port is listed here",
         "CreateFile error 2 on port"},
        {"\\\\.\\COM12", null, null, PortNotFoundException.class,
         "no such port \\\\.\\COM12 (it means /dev/ttyS11 on Linux) (CreateFile error 2 on port);"
                 + " the ports could not be listed (java -jar caldrix.jar says why)",
         "CreateFile error 2 on port"},
        {"{pty}", "open", null, PortAccessDeniedException.class,
         "{pty} is already open, in this program or another (CreateFile error 5 on port)",
         "CreateFile error 5 on port"},
        {"{pty}", "dialout rw-rw----", null, PortAccessDeniedException.class,  // as on a machine
         "cannot open {pty}: permission denied; add the user to group dialout and log in again"
                 + " (CreateFile error 5 on port)",
         "CreateFile error 5 on port"},
        {"{pty}", "root rw-rw----", null, PortAccessDeniedException.class,
         "cannot open {pty}: permission denied; it is rw-rw---- root:root, see Permissions in"
                 + " the README (CreateFile error 5 on port)",
         "CreateFile error 5 on port"},
        {"{pty}", "root rw-------", null, PortAccessDeniedException.class,
         "cannot open {pty}: permission denied; it is rw------- root:root, see Permissions in"
                 + " the README (CreateFile error 5 on port)",
         "CreateFile error 5 on port"},
        {"/dev/null", null, null, PortException.class,
         "/dev/null is not a serial port (CreateFile error 50 on port)",
         "CreateFile error 50 on port"},
        {"USBHID: VID_1234+PID_5678", null, null, PortNotFoundException.class,
         "no such device USBHID: VID_1234+PID_5678 (Device Not Found - vid_1234&pid_5678); java"
                 + " -jar caldrix.jar lists the devices here and the names that open them",
         "Device Not Found - vid_1234&pid_5678"},
    };

    @Test
    @SuppressWarnings("try")  // the port held open is only closed
    void aFailedOpenNamesThePortAndSaysWhatToDo() throws Exception {
        List<String> skipped = new ArrayList<>();
        for (Object[] c : CASES) {
            String[] owner = c[1] == null ? new String[0] : ((String) c[1]).split(" ");
            boolean otherUser = owner.length == 2;
            if (otherUser && !isRoot()) {
                skipped.add((String) c[4]);
                continue;
            }
            String pty = c[1] == null ? "" : pair().port;
            String name = ((String) c[0]).replace("{pty}", pty);
            try (CaldrixPort first = "open".equals(c[1]) ? CaldrixPort.open(pty) : null) {
                if (otherUser) {
                    Path node = Path.of(pty);
                    Files.setAttribute(node, "posix:group", node.getFileSystem()
                            .getUserPrincipalLookupService().lookupPrincipalByGroupName(owner[0]));
                    Files.setPosixFilePermissions(node, PosixFilePermissions.fromString(owner[1]));
                }
                String[] got = otherUser ? openAsNobody(name) : openWithLister(name, (String) c[2]);
                assertEquals(List.of(((Class<?>) c[3]).getName(),
                        ((String) c[4]).replace("{pty}", pty), (String) c[5]), List.of(got), name);
            }
        }
        assumeTrue(skipped.isEmpty(), "only root can stage a node another user may not open: "
                + skipped);
    }

    static boolean isRoot() throws IOException {
        return Integer.valueOf(0).equals(Files.getAttribute(Path.of("/proc/self"), "unix:uid"));
    }

    /** The type, message and cause's message of a failed open, or "opened". */
    static String[] outcome(String name) {
        try {
            CaldrixPort.open(name).close();
            return new String[] {"opened"};
        } catch (PortException e) {
            return new String[] {e.getClass().getName(), e.getMessage(),
                                 e.getCause() == null ? null : e.getCause().getMessage()};
        }
    }

    /** Opens with the listing that a lister staged for the test prints; null: no lister there. */
    private static String[] openWithLister(String name, String json) throws IOException {
        Path lister = Files.createTempFile("caldrix-ports", "");
        String saved = System.getProperty("caldrix.ports");
        try {
            if (json == null) {
                Files.delete(lister);
            } else {
                Files.writeString(lister, "#!/bin/sh\nprintf '%s\\n' '" + json + "'\n");
                Files.setPosixFilePermissions(lister, PosixFilePermissions.fromString("rwx------"));
            }
            System.setProperty("caldrix.ports", lister.toString());
            return outcome(name);
        } finally {
            if (saved == null) {
                System.clearProperty("caldrix.ports");
            } else {
                System.setProperty("caldrix.ports", saved);
            }
            Files.deleteIfExists(lister);
        }
    }

    /**
     * Opens in a JVM of user nobody's, with no groups: root opens any node whatever its mode, so
     * a denied open needs another user.
     */
    static String[] openAsNobody(String name) throws Exception {
        String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
        Process p = new ProcessBuilder("setpriv", "--reuid=65534", "--regid=65534",
                "--clear-groups", java, "-XX:-UsePerfData", "-Dcaldrix.log=off",
                "-Dcaldrix.library=" + System.getProperty("caldrix.library"),
                "-cp", System.getProperty("java.class.path"), OpenAs.class.getName(), name)
                .redirectInput(new File("/dev/null")).redirectErrorStream(true).start();
        try {
            assertTrue(p.waitFor(WAIT.toSeconds() * 6, TimeUnit.SECONDS),
                    "the JVM of user nobody did not end");
            String text = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            assertEquals(0, p.exitValue(), text);
            return text.split("\n");
        } finally {
            p.destroyForcibly();
        }
    }

    /** The other user's JVM: prints the outcome of opening args[0], a line each. */
    static final class OpenAs {
        public static void main(String[] args) {
            System.out.println(String.join("\n", outcome(args[0])));
        }
    }
}
