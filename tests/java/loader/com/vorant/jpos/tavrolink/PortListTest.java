package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.util.Arrays;
import java.util.List;
import java.util.jar.JarFile;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * java -jar caldrix.jar: what the jar's caldrix-ports lists, run as the loader runs the native,
 * and a line saying why when it cannot run.
 */
class PortListTest {
    static final String VERSION = CaldrixLoader.VERSION;
    static final String HEADER = "caldrix " + VERSION
            + " sees these serial ports; PortOpen takes any name listed for a port:\n";

    @TempDir Path tmp;

    /**
     * The jar as a user runs it, on this machine: a pseudo-terminal linked under /dev/serial/by-id
     * as udev links a USB adapter is listed by that name, and the name opens it.
     */
    @Test
    void theJarListsAPortByItsUdevLinkAndTheNameOpensIt() throws Exception {
        assumeTrue(Files.isWritable(Paths.get("/dev")),
                   "listing a /dev/serial link needs a writable /dev (root)");
        Path byId = Paths.get("/dev/serial/by-id");
        Path made = Files.exists(byId.getParent()) ? (Files.exists(byId) ? null : byId)
                                                   : byId.getParent();
        Files.createDirectories(byId);
        Path link = byId.resolve("usb-caldrix-test-" + ProcessHandle.current().pid() + "-if00");
        try (PtyPair pair = PtyPair.start()) {
            Files.createSymbolicLink(link, Paths.get(pair.port));
            String device = Paths.get(pair.port).toRealPath().toString();

            Jvm text = new Jvm(tmp).startJar();
            String out = text.finish();
            assertEquals(0, text.exitValue(), out + text.stderr());
            assertTrue(out.startsWith(HEADER), out);
            assertTrue(out.contains("\n" + device + "\n    " + link + "\n"), out);

            Jvm json = new Jvm(tmp).startJar("--json");
            out = json.finish();
            assertEquals(0, json.exitValue(), out + json.stderr());
            assertTrue(out.startsWith("{\"version\":\"" + VERSION + "\",\"serial\":["), out);
            assertTrue(out.contains("{\"device\":\"" + device + "\",\"names\":[\"" + device
                    + "\",\"" + link + "\"],\"detail\":null}"), out);

            Jvm opener = new Jvm(tmp).cache(tmp.resolve("cache"));
            opener.loads("write=" + link + ",by name");
            assertEquals("by name", new String(pair.peerAwait(7, Duration.ofSeconds(5)),
                                               StandardCharsets.US_ASCII));
        } finally {
            Files.deleteIfExists(link);
            if (made != null) {
                Files.deleteIfExists(byId);
                Files.deleteIfExists(byId.getParent());
            }
        }
    }

    /**
     * The listing is what the jar's own caldrix-ports prints, run from a private cache folder
     * that the loader's rules made; a damaged copy there is replaced before it runs.
     */
    @Test
    void theListingIsWhatTheJarsCaldrixPortsPrintsRunFromAPrivateCache() throws Exception {
        Path cache = tmp.resolve("cache");
        String sum = programSum();
        Path program = cache.resolve(VERSION + "-" + sum.substring(0, 12)).resolve("caldrix-ports");

        Jvm text = new Jvm(tmp).cache(cache).startJar();
        String out = text.finish();
        assertEquals(0, text.exitValue(), out + text.stderr());
        assertEquals("rwx------", mode(program));
        assertEquals("rwx------", mode(program.getParent()));
        assertEquals("rwx------", mode(cache));
        assertTrue(out.startsWith(HEADER) || out.startsWith("caldrix " + VERSION
                + " sees no serial ports.\n"), out);
        assertEquals(runProgram(program), out);

        // A damaged copy is written again from the jar before it runs.
        Files.write(program, "#!/bin/sh\necho damaged\n".getBytes(StandardCharsets.US_ASCII));
        Jvm json = new Jvm(tmp).cache(cache).startJar("--json");
        out = json.finish();
        assertEquals(0, json.exitValue(), out + json.stderr());
        assertEquals(sum, CaldrixLoader.sha256(Files.readAllBytes(program)));
        assertTrue(out.startsWith("{\"version\":\"" + VERSION + "\",\"serial\":["), out);
        assertEquals(runProgram(program, "--json"), out);
    }

    /**
     * A service account's lister falls back to the temp folder, where another user (nobody)
     * flips a link under the name the loader once used while the loader's test hook holds it
     * between its last look at caldrix-ports and the start: the jar's program runs all the same.
     */
    @Test
    void caldrixPortsRunsFromAFolderNoOtherUserCanRedirect() throws Exception {
        Path temp = LoaderTest.sharedTemp(tmp);
        Path taken = temp.resolve("caldrix-" + LoaderTest.USER);
        LoaderTest.attackers(tmp.resolve("attacker")
                        .resolve(VERSION + "-" + programSum().substring(0, 12))
                        .resolve("caldrix-ports"),
                "#!/bin/sh\necho the attacker ran\n".getBytes(StandardCharsets.US_ASCII));
        LoaderTest.asNobody("ln -s " + LoaderTest.victims(tmp) + " " + taken);

        Jvm jvm = new Jvm(tmp).homeless(temp);
        Path used = jvm.startPaused("use", "ports");
        LoaderTest.asNobody("ln -sfn " + tmp.resolve("attacker") + " " + taken);
        jvm.release();
        String out = jvm.finish();
        assertEquals(0, jvm.exitValue(), out + jvm.stderr());
        assertFalse(out.contains("the attacker ran"), out);
        assertTrue(out.startsWith("caldrix " + VERSION + " sees "), out);
        assertEquals(temp, used.getParent().getParent().getParent());
    }

    /** Without caldrix-ports the lister says why in one line and ends with status 1. */
    @Test
    void whenCaldrixPortsCannotRunTheLineSaysWhy() throws Exception {
        Path shared = dir(tmp.resolve("shared"));
        Files.setPosixFilePermissions(shared, PosixFilePermissions.fromString("rwxrwxrwx"));
        String why = "caldrix-ports did not run: cache " + shared + ": others than "
                + System.getProperty("user.name") + " may write in the folder (rwxrwxrwx)";

        Jvm text = new Jvm(tmp).cache(shared).startJar();
        assertEquals("caldrix " + VERSION + " cannot list the ports: " + why + "\n", text.finish());
        assertEquals(1, text.exitValue(), text.stderr());

        Jvm json = new Jvm(tmp).cache(shared).startJar("--json");
        assertEquals("{\"version\":\"" + VERSION + "\",\"error\":" + PortList.quote(why) + "}\n",
                     json.finish());
        assertEquals(1, json.exitValue(), json.stderr());

        // The watch runs in the JVM: the native that did not load is the reason.
        Jvm watch = new Jvm(tmp).cache(shared).startJar("--watch");
        String out = watch.finish();
        assertTrue(out.startsWith("caldrix " + VERSION + " cannot watch the ports: caldrix "
                + VERSION + " found no native library it could load for " + PLATFORM), out);
        assertEquals(1, watch.exitValue(), watch.stderr());
    }

    /** A program named by caldrix.ports that another user could swap is not run. */
    @Test
    void aNamedProgramOthersMayChangeIsNotRun() throws Exception {
        Path shared = dir(tmp.resolve("open"));
        Files.setPosixFilePermissions(shared, PosixFilePermissions.fromString("rwxrwxrwx"));
        Path planted = shared.resolve("caldrix-ports");
        Files.write(planted, "#!/bin/sh\necho the attacker ran\n".getBytes(StandardCharsets.US_ASCII));
        Files.setPosixFilePermissions(planted, PosixFilePermissions.fromString("rwx------"));
        String before = System.getProperty("caldrix.ports");
        System.setProperty("caldrix.ports", planted.toString());
        try {
            PortList.Output out = PortList.list(true);
            assertEquals(null, out.output);
            assertEquals("caldrix.ports " + planted + ": others than " + LoaderTest.TRUSTED
                    + " may write in " + shared + " on the way to it (rwxrwxrwx)", out.failure);
        } finally {
            if (before == null) {
                System.clearProperty("caldrix.ports");
            } else {
                System.setProperty("caldrix.ports", before);
            }
        }
    }

    /** A program that fails, prints what is not its listing, or cannot be started. */
    @Test
    void aFailedRunOfTheProgramIsReportedWithItsStatusAndFirstLine() throws Exception {
        Path failing = tmp.resolve("failing");
        Files.write(failing, "#!/bin/sh\necho \"boom: $*\"\necho more\nexit 3\n"
                .getBytes(StandardCharsets.US_ASCII));
        Files.setPosixFilePermissions(failing, PosixFilePermissions.fromString("rwx------"));
        assertEquals(failing + " ended with status 3: boom: --json",
                     PortList.run(failing, true).failure);
        Path notJson = tmp.resolve("not-json");
        // Lines ended as a Windows program's text-mode output ends them.
        Files.write(notJson, "#!/bin/sh\nprintf 'listing\\r\\n'\n"
                .getBytes(StandardCharsets.US_ASCII));
        Files.setPosixFilePermissions(notJson, PosixFilePermissions.fromString("rwx------"));
        assertEquals(notJson + " ended with status 0: listing", PortList.run(notJson, true).failure);
        assertEquals("listing\n", PortList.run(notJson, false).output);
        Files.setPosixFilePermissions(notJson, PosixFilePermissions.fromString("rw-------"));
        assertEquals(notJson + " could not be started: Cannot run program \"" + notJson
                + "\": error=13, Permission denied", PortList.run(notJson, false).failure);
    }

    @Test
    void anUnknownArgumentIsRefusedWithTheUsage() throws Exception {
        Jvm jvm = new Jvm(tmp).startJar("--list");
        assertEquals("", jvm.finish());
        assertEquals(2, jvm.exitValue());
        assertEquals("caldrix: unknown argument \"--list\"\n"
                     + "usage: java -jar caldrix.jar [--json] [--watch]\n", jvm.stderr());
    }

    // ---- helpers -------------------------------------------------------------------------------

    static final String PLATFORM = System.getProperty("caldrix.test.platform");

    /** The checksum of the jar's caldrix-ports for this platform. */
    static String programSum() throws IOException {
        try (JarFile jar = new JarFile(Jvm.JAR.toFile())) {
            String entry = "com/vorant/jpos/tavrolink/native/" + PLATFORM + "/caldrix-ports";
            try (InputStream in = jar.getInputStream(jar.getEntry(entry + ".sha256"))) {
                return new String(in.readAllBytes(), StandardCharsets.US_ASCII).split(" ")[0];
            }
        }
    }

    static String mode(Path p) throws IOException {
        return PosixFilePermissions.toString(Files.getPosixFilePermissions(p));
    }

    /** Runs a program to its end, with a bound; its stdout, which must come with status 0. */
    static String runProgram(Path program, String... args) throws Exception {
        List<String> cmd = new java.util.ArrayList<>();
        cmd.add(program.toString());
        cmd.addAll(Arrays.asList(args));
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        java.util.concurrent.CompletableFuture<byte[]> out =
                java.util.concurrent.CompletableFuture.supplyAsync(() -> {
                    try {
                        return p.getInputStream().readAllBytes();
                    } catch (IOException e) {
                        throw new java.io.UncheckedIOException(e);
                    }
                });
        assertTrue(p.waitFor(Jvm.BOUND_SECONDS, java.util.concurrent.TimeUnit.SECONDS),
                   program + " did not end");
        String text = new String(out.get(Jvm.BOUND_SECONDS, java.util.concurrent.TimeUnit.SECONDS),
                                 StandardCharsets.UTF_8);
        assertEquals(0, p.exitValue(), text);
        return text;
    }

    static Path dir(Path p) throws IOException {
        return Files.createDirectories(p);
    }
}
