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
    /** What a lister staged for the test prints; null: no lister there. */
    static final String TWO_PORTS = "{\"version\":\"1\",\"serial\":["
            + "{\"device\":\"/dev/ttyS0\",\"names\":[\"/dev/ttyS0\",\"COM1\"],\"detail\":null},"
            + "{\"device\":\"/dev/ttyUSB0\",\"names\":[\"/dev/ttyUSB0\"],\"detail\":null}],"
            + "\"hid\":[],\"printers\":[],\"hidError\":null}";
    static final String NO_PORTS =
            "{\"version\":\"1\",\"serial\":[],\"hid\":[],\"printers\":[],\"hidError\":null}";

    /** What is done to the pty pair's port node before the open; a group: opened as nobody. */
    enum Setup {
        NONE(null, null),
        OPEN_ALREADY(null, null),
        NOBODY_DIALOUT_0660("dialout", "rw-rw----"),  // as on a real machine
        NOBODY_ROOT_0660("root", "rw-rw----"),
        NOBODY_ROOT_0600("root", "rw-------");

        final String group;
        final String mode;

        Setup(String group, String mode) {
            this.group = group;
            this.mode = mode;
        }
    }

    /**
     * The name opened ({pty}: a pty pair's port), its setup, the listing, the failure's type,
     * message and library message. The listing is staged so that the message is known here.
     */
    static final Object[][] CASES = {
        {"/dev/caldrix-no-such-port", Setup.NONE, TWO_PORTS, PortNotFoundException.class,
         "no such port /dev/caldrix-no-such-port (CreateFile error 2 on port); the ports here"
                 + " are: /dev/ttyS0, /dev/ttyUSB0",
         "CreateFile error 2 on port"},
        {"com99", Setup.NONE, NO_PORTS, PortNotFoundException.class,
         "no such port com99 (it means /dev/ttyS98 on Linux) (CreateFile error 2 on port); no"
                 + " serial port is listed here",
         "CreateFile error 2 on port"},
        {"\\\\.\\COM12", Setup.NONE, null, PortNotFoundException.class,
         "no such port \\\\.\\COM12 (it means /dev/ttyS11 on Linux) (CreateFile error 2 on port);"
                 + " the ports could not be listed (java -jar caldrix.jar says why)",
         "CreateFile error 2 on port"},
        {"{pty}", Setup.OPEN_ALREADY, null, PortAccessDeniedException.class,
         "{pty} is already open, in this program or another (CreateFile error 5 on port)",
         "CreateFile error 5 on port"},
        {"{pty}", Setup.NOBODY_DIALOUT_0660, null, PortAccessDeniedException.class,
         "cannot open {pty}: permission denied; add the user to group dialout and log in again"
                 + " (CreateFile error 5 on port)",
         "CreateFile error 5 on port"},
        {"{pty}", Setup.NOBODY_ROOT_0660, null, PortAccessDeniedException.class,
         "cannot open {pty}: permission denied; it is rw-rw---- root:root, see Permissions in"
                 + " the README (CreateFile error 5 on port)",
         "CreateFile error 5 on port"},
        {"{pty}", Setup.NOBODY_ROOT_0600, null, PortAccessDeniedException.class,
         "cannot open {pty}: permission denied; it is rw------- root:root, see Permissions in"
                 + " the README (CreateFile error 5 on port)",
         "CreateFile error 5 on port"},
        {"/dev/null", Setup.NONE, null, PortException.class,
         "/dev/null is not a serial port (CreateFile error 50 on port)",
         "CreateFile error 50 on port"},
        {"USBHID: VID_1234+PID_5678", Setup.NONE, null, PortNotFoundException.class,
         "no such device USBHID: VID_1234+PID_5678 (Device Not Found - vid_1234&pid_5678); java"
                 + " -jar caldrix.jar lists the devices here and the names that open them",
         "Device Not Found - vid_1234&pid_5678"},
    };

    @Test
    void aFailedOpenNamesThePortAndSaysWhatToDo() throws Exception {
        List<String> skipped = new ArrayList<>();
        for (Object[] c : CASES) {
            Setup setup = (Setup) c[1];
            boolean otherUser = setup.group != null;
            if (otherUser && !isRoot()) {
                skipped.add((String) c[4]);
                continue;
            }
            String pty = setup == Setup.NONE ? null : pair().port;
            String name = ((String) c[0]).replace("{pty}", String.valueOf(pty));
            CaldrixPort first = null;
            try {
                if (setup == Setup.OPEN_ALREADY) {
                    first = CaldrixPort.open(pty);
                } else if (otherUser) {
                    Path node = Path.of(pty);
                    Files.setAttribute(node, "posix:group", node.getFileSystem()
                            .getUserPrincipalLookupService()
                            .lookupPrincipalByGroupName(setup.group));
                    Files.setPosixFilePermissions(node,
                            PosixFilePermissions.fromString(setup.mode));
                }
                String[] got = otherUser ? openAsNobody(name) : openWithLister(name, (String) c[2]);
                String[] expected = {((Class<?>) c[3]).getName(),
                                     ((String) c[4]).replace("{pty}", String.valueOf(pty)),
                                     (String) c[5]};
                assertEquals(List.of(expected), List.of(got), name);
            } finally {
                if (first != null) {
                    first.close();
                }
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

    /** Opens with the listing that a lister staged for the test prints. */
    private static String[] openWithLister(String name, String json) throws IOException {
        Path dir = Files.createTempDirectory("caldrix-lister");
        Path lister = dir.resolve("caldrix-ports");
        String saved = System.getProperty("caldrix.ports");
        try {
            if (json != null) {
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
            Files.delete(dir);
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
                .redirectInput(new File("/dev/null"))
                .redirectErrorStream(true)
                .start();
        byte[] out;
        try {
            assertTrue(p.waitFor(WAIT.toSeconds() * 6, TimeUnit.SECONDS),
                    "the JVM of user nobody did not end");
            out = p.getInputStream().readAllBytes();
        } finally {
            p.destroyForcibly();
        }
        String text = new String(out, StandardCharsets.UTF_8);
        assertEquals(0, p.exitValue(), text);
        return text.split("\n");
    }

    /** The other user's JVM: prints the outcome of opening args[0], a line each. */
    static final class OpenAs {
        public static void main(String[] args) {
            System.out.println(String.join("\n", outcome(args[0])));
        }
    }
}
