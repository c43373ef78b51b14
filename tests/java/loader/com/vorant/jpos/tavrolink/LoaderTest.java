package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Enumeration;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.function.Consumer;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import java.util.zip.ZipEntry;
import java.util.zip.ZipFile;
import java.util.zip.ZipOutputStream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * caldrix.jar in JVMs of its own: where the loader finds the native, how it keeps its cache
 * folders to the user, and what it says when nothing loads.
 */
class LoaderTest {
    static final String VERSION = CaldrixLoader.VERSION;
    static final String PLATFORM = System.getProperty("caldrix.test.platform");
    static final String LIB = "libcaldrix.so";
    static final String NATIVES = "com/vorant/jpos/tavrolink/native/";
    static final String ENTRY = NATIVES + PLATFORM + "/" + LIB;
    static final String USER = System.getProperty("user.name");
    static final boolean ROOT = USER.equals("root");

    static Map<String, byte[]> jarEntries;
    static byte[] nativeBytes;
    static String folder;

    @TempDir Path tmp;
    private final List<Path> mounts = new ArrayList<>();
    private final List<Path> restoreModes = new ArrayList<>();

    @BeforeAll
    static void readJar() throws IOException {
        jarEntries = new LinkedHashMap<>();
        try (ZipFile z = new ZipFile(Jvm.JAR.toFile())) {
            for (Enumeration<? extends ZipEntry> e = z.entries(); e.hasMoreElements(); ) {
                ZipEntry entry = e.nextElement();
                try (InputStream in = z.getInputStream(entry)) {
                    jarEntries.put(entry.getName(), readAll(in));
                }
            }
        }
        nativeBytes = jarEntries.get(ENTRY);
        String sum = new String(jarEntries.get(ENTRY + ".sha256"), StandardCharsets.US_ASCII);
        assertEquals(sha256(nativeBytes) + "  " + LIB + "\n", sum);
        folder = VERSION + "-" + sum.substring(0, 12);
    }

    @AfterEach
    void undoMountsAndModes() throws Exception {
        Collections.reverse(mounts);
        for (Path m : mounts) {
            command("umount", m.toString());
        }
        for (Path p : restoreModes) {
            Files.setPosixFilePermissions(p, PosixFilePermissions.fromString("rwx------"));
        }
    }

    // ---- from the jar --------------------------------------------------------------------------

    @Nested
    class FromTheJar {
        @Test
        void theJarAloneLoadsTheLinuxNativeAndOpensAPseudoTerminal() throws Exception {
            Path cache = tmp.resolve("cache");
            try (PtyPair pair = PtyPair.start()) {
                Jvm jvm = new Jvm(tmp).cache(cache);
                Path loaded = jvm.loads("write=" + pair.port + ",hello");
                assertEquals(cache.resolve(folder).resolve(LIB), loaded);
                assertTrue(jvm.finish().contains("wrote 0\n"), jvm.finish());
                assertEquals("hello", new String(pair.peerAwait(5, Duration.ofSeconds(5)),
                                                 StandardCharsets.US_ASCII));
            }
            Path file = cache.resolve(folder).resolve(LIB);
            assertArrayEquals(nativeBytes, Files.readAllBytes(file));
            assertEquals("rw-------", mode(file));
            assertEquals("rwx------", mode(cache.resolve(folder)));
            assertEquals("rwx------", mode(cache));
            assertEquals(Collections.singletonList(LIB), names(cache.resolve(folder)));
        }

        /** The program the README shows, as a newcomer with the jar and a JDK runs it. */
        @Test
        void theReadmeProgramOpensAPortWithTheJarAndAJdkAlone() throws Exception {
            String readme = new String(Files.readAllBytes(
                    java.nio.file.Paths.get(System.getProperty("caldrix.test.readme"))),
                    StandardCharsets.UTF_8);
            int section = readme.indexOf("\n## Use it in your application\n");
            int start = readme.indexOf("```java\n", section) + "```java\n".length();
            assertTrue(section >= 0 && start > section, "no Java program in the README section");
            Path src = Files.createDirectory(tmp.resolve("hello"));
            Files.write(src.resolve("Hello.java"),
                        readme.substring(start, readme.indexOf("```", start))
                                .getBytes(StandardCharsets.UTF_8));
            assertEquals(null, command(java.nio.file.Paths.get(System.getProperty("java.home"),
                                                               "bin", "javac").toString(),
                                       "-cp", Jvm.JAR.toString(), "-d", src.toString(),
                                       src.resolve("Hello.java").toString()));
            try (PtyPair pair = PtyPair.start()) {
                Jvm hello = new Jvm(tmp).startMain(src, "Hello", pair.port);
                String out = hello.finish();
                assertEquals(0, hello.exitValue(), out + hello.stderr());
                assertEquals("hello\r\n", new String(pair.peerAwait(7, Duration.ofSeconds(5)),
                                                      StandardCharsets.US_ASCII));
            }
            assertTrue(Files.exists(tmp.resolve("home/.cache/caldrix").resolve(folder)
                    .resolve(LIB)));
        }

        @Test
        void aSecondJvmLoadsTheCachedFileWithoutWritingIt() throws Exception {
            Path cache = tmp.resolve("cache");
            Path file = new Jvm(tmp).cache(cache).loads();
            Object identity = Files.readAttributes(file,
                    java.nio.file.attribute.BasicFileAttributes.class).fileKey();
            Files.setLastModifiedTime(file, java.nio.file.attribute.FileTime.fromMillis(0));
            assertEquals(file, new Jvm(tmp).cache(cache).loads());
            assertEquals(identity, Files.readAttributes(file,
                    java.nio.file.attribute.BasicFileAttributes.class).fileKey());
            assertEquals(0, Files.getLastModifiedTime(file).toMillis());
        }

        @Test
        void aDamagedOrOpenCachedFileIsReplaced() throws Exception {
            Path cache = tmp.resolve("cache");
            Path file = new Jvm(tmp).cache(cache).loads();

            // Cut short, as a full disk or a killed copy by hand would leave it.
            Files.write(file, java.util.Arrays.copyOf(nativeBytes, nativeBytes.length / 2));
            assertEquals(file, new Jvm(tmp).cache(cache).loads());
            assertArrayEquals(nativeBytes, Files.readAllBytes(file));

            // Right bytes, but others may write them.
            Files.setPosixFilePermissions(file, PosixFilePermissions.fromString("rw-rw-rw-"));
            assertEquals(file, new Jvm(tmp).cache(cache).loads());
            assertEquals("rw-------", mode(file));
            assertEquals(Collections.singletonList(LIB), names(cache.resolve(folder)));
        }

        @Test
        void theCarrierDetectClassLoadsTheLibraryWhenUsedFirst() throws Exception {
            Jvm jvm = new Jvm(tmp).cache(tmp.resolve("cache"));
            jvm.loads("cd-first");
            assertTrue(jvm.finish().contains("\ncd true\n"), jvm.finish());
        }

        @Test
        void withoutCacheSettingTheUsersCacheFolderComesFirstThenTheTempFolder()
                throws Exception {
            Path xdg = tmp.resolve("xdg");
            Path temp = Files.createDirectory(tmp.resolve("temp"));
            Jvm jvm = new Jvm(tmp).option("java.io.tmpdir", temp.toString());
            jvm.env.put("XDG_CACHE_HOME", xdg.toString());
            assertEquals(xdg.resolve("caldrix").resolve(folder).resolve(LIB), jvm.loads());
            // Folders the loader made on the way are the user's alone too.
            assertEquals("rwx------", mode(xdg));

            Path readOnly = readOnlyFolder("ro-xdg");
            jvm = new Jvm(tmp).option("java.io.tmpdir", temp.toString());
            jvm.env.put("XDG_CACHE_HOME", readOnly.toString());
            assertEquals(temp.resolve("caldrix-" + USER).resolve(folder).resolve(LIB),
                         jvm.loads());
        }
    }

    // ---- cache folders -----------------------------------------------------------------------

    @Nested
    class CacheFolders {
        @Test
        void aReadOnlyFolderIsPassedOver() throws Exception {
            Path readOnly = readOnlyFolder("ro");
            Path good = tmp.resolve("good");
            assertEquals(good.resolve(folder).resolve(LIB),
                         new Jvm(tmp).cache(readOnly, good).loads());
            assertEquals(failure(noLibraryOnPath(), "cache " + readOnly.resolve(folder)
                                 + ": cannot create it: "
                                 + (ROOT ? "Read-only file system" : "permission denied")),
                         new Jvm(tmp).cache(readOnly).fails());
        }

        /** As an installer may leave it: the native in place, the folder read-only since. */
        @Test
        void aReadOnlyFolderServesTheNativeItHoldsButCannotReplaceADamagedOne() throws Exception {
            Path cache = tmp.resolve("cache");
            Path file = new Jvm(tmp).cache(cache).loads();
            makeReadOnly(cache.resolve(folder));
            assertEquals(file, new Jvm(tmp).cache(cache).loads());

            undoMountsAndModes();
            mounts.clear();
            restoreModes.clear();
            Files.write(file, new byte[] {0x7f, 'E', 'L', 'F'});
            makeReadOnly(cache.resolve(folder));
            assertEquals(failure(noLibraryOnPath(), "cache " + cache.resolve(folder)
                                 + ": cannot write in it: "
                                 + (ROOT ? "Read-only file system" : "permission denied")),
                         new Jvm(tmp).cache(cache).fails());
        }

        @Test
        void aFolderMountedNoexecIsPassedOver() throws Exception {
            Path noexec = Files.createDirectory(tmp.resolve("noexec"));
            String why = mount(noexec, "noexec,mode=0700");
            assumeTrue(why == null, "a noexec folder needs a tmpfs mount, not permitted here: "
                       + why);
            Path good = tmp.resolve("good");
            assertEquals(good.resolve(folder).resolve(LIB),
                         new Jvm(tmp).cache(noexec, good).loads());
            assertEquals(failure(noLibraryOnPath(), "cache " + noexec.resolve(folder)
                                 + ": its file system is mounted noexec"),
                         new Jvm(tmp).cache(noexec).fails());
        }

        @Test
        void aFolderOfAnotherUserIsRefused() throws Exception {
            Path theirs;
            String owner;
            if (ROOT) {
                theirs = Files.createDirectory(tmp.resolve("theirs"));
                Files.setOwner(theirs, theirs.getFileSystem().getUserPrincipalLookupService()
                        .lookupPrincipalByName("nobody"));
                owner = "nobody";
            } else {
                theirs = tmp.getRoot();
                owner = "root";
            }
            assertEquals(failure(noLibraryOnPath(), "cache " + theirs + ": the folder belongs to "
                                 + owner + ", not to " + USER),
                         new Jvm(tmp).cache(theirs).fails());
        }

        @Test
        void aFolderOthersMayWriteInIsRefused() throws Exception {
            Path open = Files.createDirectory(tmp.resolve("open"));
            Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rwxrwxrwx"));
            Path groupOnly = Files.createDirectories(tmp.resolve("group").resolve(folder));
            Files.setPosixFilePermissions(groupOnly, PosixFilePermissions.fromString("rwxrwx---"));
            assertEquals(failure(noLibraryOnPath(),
                                 "cache " + open + ": others than " + USER
                                         + " may write in the folder (rwxrwxrwx)",
                                 "cache " + groupOnly + ": others than " + USER
                                         + " may write in the folder (rwxrwx---)"),
                         new Jvm(tmp).cache(open, tmp.resolve("group")).fails());
        }

        @Test
        void aFileWhereTheFolderShouldBeIsReported() throws Exception {
            Path file = Files.write(tmp.resolve("not-a-folder"), new byte[] {1});
            assertEquals(failure(noLibraryOnPath(), "cache " + file + ": it is not a folder"),
                         new Jvm(tmp).cache(file).fails());
        }
    }

    // ---- the other places, and what the loader says -------------------------------------------

    @Nested
    class PinnedFileAndLibraryPath {
        @Test
        void aPinnedFileIsTheOnlyOneTried() throws Exception {
            Path good = Files.write(tmp.resolve("good.so"), nativeBytes);
            assertEquals(good, new Jvm(tmp).option("caldrix.library", good.toString()).loads());

            Path missing = tmp.resolve("missing.so");
            assertEquals(failure("caldrix.library " + missing
                                 + ": cannot read it: no such file or folder"),
                         new Jvm(tmp).option("caldrix.library", missing.toString()).fails());

            Path old = Files.write(tmp.resolve("old.so"), withVersion(nativeBytes, "0.9.9"));
            assertEquals(failure("caldrix.library " + old
                                 + ": it is caldrix 0.9.9, these classes are caldrix " + VERSION),
                         new Jvm(tmp).option("caldrix.library", old.toString()).fails());

            Path stranger = Files.write(tmp.resolve("stranger.so"), new byte[4096]);
            assertEquals(failure("caldrix.library " + stranger
                                 + ": not a caldrix library (it has no version mark)"),
                         new Jvm(tmp).option("caldrix.library", stranger.toString()).fails());

            // Marked, but no library: the JVM's own reason is passed on.
            byte[] markOnly = ("CALDRIX_NATIVE_VERSION=" + VERSION + "\0")
                    .getBytes(StandardCharsets.US_ASCII);
            Path broken = Files.write(tmp.resolve("broken.so"), markOnly);
            String jvmSays = null;
            try {
                System.load(broken.toString());
            } catch (UnsatisfiedLinkError e) {
                jvmSays = e.getMessage();
            }
            assertEquals(failure("caldrix.library " + broken + ": " + jvmSays),
                         new Jvm(tmp).option("caldrix.library", broken.toString()).fails());
        }

        @Test
        void aLibraryOnTheLibraryPathIsLoadedWhenItIsOfThisVersion() throws Exception {
            Path dir = Files.createDirectory(tmp.resolve("lib"));
            Path lib = Files.write(dir.resolve(LIB), nativeBytes);
            Path cache = tmp.resolve("cache");
            assertEquals(lib, new Jvm(tmp).option("java.library.path", dir.toString())
                    .cache(cache).loads());
            assertFalse(Files.exists(cache));
        }

        @Test
        void aStaleLibraryOnTheLibraryPathIsPassedOverForTheJars() throws Exception {
            Path dir = Files.createDirectory(tmp.resolve("lib"));
            Path stale = Files.write(dir.resolve(LIB), withVersion(nativeBytes, "0.9.9"));
            Path cache = tmp.resolve("cache");
            assertEquals(cache.resolve(folder).resolve(LIB),
                         new Jvm(tmp).option("java.library.path", dir.toString())
                                 .cache(cache).loads());

            // And when the jar has nothing for this machine either, both are told.
            assertEquals(failureOn("linux-aarch64",
                                 "java.library.path " + stale
                                         + ": it is caldrix 0.9.9, these classes are caldrix "
                                         + VERSION,
                                 "jar: a 64-bit JVM needs the linux-aarch64 native; this jar has "
                                         + "linux-x86_64, windows-x86, windows-x86_64"),
                         new Jvm(tmp).option("java.library.path", dir.toString())
                                 .option("os.arch", "aarch64").cache(cache).fails());
        }
    }

    @Nested
    class DefectiveJars {
        @Test
        void aJarWithoutTheNativeForThisJvmNamesTheOneNeeded() throws Exception {
            Jvm jvm = new Jvm(tmp).cache(tmp.resolve("cache"))
                    .option("os.name", "Windows 10").option("os.arch", "x86");
            jvm.jar = jarWith(e -> {
                e.keySet().removeIf(n -> n.startsWith(NATIVES + "windows-x86/"));
                e.put(NATIVES + "natives.properties", ("version=" + VERSION
                        + "\nplatforms=linux-x86_64 windows-x86_64\n")
                        .getBytes(StandardCharsets.US_ASCII));
            });
            assertEquals(failureOn("windows-x86", noLibraryOnPath(),
                                 "jar: a 32-bit JVM needs the windows-x86 native; this jar has "
                                         + "linux-x86_64, windows-x86_64"),
                         jvm.fails());
        }

        @Test
        void aDamagedNativeInTheJarIsNotCopied() throws Exception {
            Jvm jvm = new Jvm(tmp).cache(tmp.resolve("cache"));
            jvm.jar = jarWith(e -> {
                byte[] damaged = e.get(ENTRY).clone();
                damaged[damaged.length / 2] ^= 0x55;
                e.put(ENTRY, damaged);
            });
            assertEquals(failure(noLibraryOnPath(),
                                 "jar: the " + PLATFORM + " native does not match its checksum"),
                         jvm.fails());
            assertFalse(Files.exists(tmp.resolve("cache")));
        }

        @Test
        void aNativeOfAnotherVersionInTheJarIsRefused() throws Exception {
            Jvm jvm = new Jvm(tmp).cache(tmp.resolve("cache"));
            jvm.jar = jarWith(e -> {
                byte[] other = withVersion(e.get(ENTRY), "0.9.9");
                e.put(ENTRY, other);
                e.put(ENTRY + ".sha256", (sha256(other) + "  " + LIB + "\n")
                        .getBytes(StandardCharsets.US_ASCII));
            });
            assertEquals(failure(noLibraryOnPath(), "jar: the " + PLATFORM
                                 + " native is caldrix 0.9.9, these classes are caldrix "
                                 + VERSION),
                         jvm.fails());
        }

        @Test
        void classesWithoutNativesOrWithoutAChecksumSaySo() throws Exception {
            Jvm jvm = new Jvm(tmp).cache(tmp.resolve("cache"));
            jvm.jar = jarWith(e -> e.keySet().removeIf(n -> n.startsWith(NATIVES)));
            assertEquals(failure(noLibraryOnPath(),
                                 "jar: no natives beside these classes (file:" + jvm.jar + ")"),
                         jvm.fails());

            jvm = new Jvm(tmp).cache(tmp.resolve("cache"));
            jvm.jar = jarWith(e -> e.remove(ENTRY + ".sha256"));
            assertEquals(failure(noLibraryOnPath(), "jar: " + "native/" + PLATFORM + "/" + LIB
                                 + ".sha256 is missing"),
                         jvm.fails());
        }
    }

    // ---- two JVMs ------------------------------------------------------------------------------

    @Nested
    class TwoJvms {
        /**
         * One JVM stops half-way through copying the native (a latch in the loader, set by a
         * property for tests); another loads meanwhile, and the first then finishes and loads
         * too. Under the name that JVMs load, there is never a part-written file.
         */
        @Test
        void aJvmLoadsWhileAnotherIsHalfWayThroughCopyingTheNative() throws Exception {
            Path cache = tmp.resolve("cache");
            Path target = cache.resolve(folder).resolve(LIB);
            Jvm first = new Jvm(tmp).cache(cache)
                    .option("caldrix.test.pauseExtraction", "true");
            Process p = first.startWatched();
            BufferedReader err = new BufferedReader(
                    new InputStreamReader(p.getErrorStream(), StandardCharsets.UTF_8));
            String paused = CompletableFuture.supplyAsync(() -> {
                try {
                    return err.readLine();
                } catch (IOException e) {
                    return e.toString();
                }
            }).get(Jvm.BOUND_SECONDS, TimeUnit.SECONDS);
            assertTrue(paused != null && paused.startsWith("caldrix: extraction paused at "),
                       "first JVM: " + paused);
            Path part = java.nio.file.Paths.get(
                    paused.substring("caldrix: extraction paused at ".length()));
            assertEquals(nativeBytes.length / 2, Files.size(part));
            assertFalse(Files.exists(target), "a part-written native under the name JVMs load");

            assertEquals(target, new Jvm(tmp).cache(cache).loads());
            assertArrayEquals(nativeBytes, Files.readAllBytes(target));

            try (OutputStream release = p.getOutputStream()) {
                release.write('\n');
            }
            String out = first.finish();
            assertEquals(0, first.exitValue(), out);
            assertTrue(out.contains("loaded " + target + "\n"), out);
            assertArrayEquals(nativeBytes, Files.readAllBytes(target));
            assertEquals(Collections.singletonList(LIB), names(cache.resolve(folder)));
        }
    }

    // ---- helpers -------------------------------------------------------------------------------

    static String failure(String... attempts) {
        return failureOn(PLATFORM, attempts);
    }

    static String failureOn(String platform, String... attempts) {
        StringBuilder m = new StringBuilder("caldrix " + VERSION
                + " found no native library it could load for " + platform
                + "; tried, in this order:");
        for (String a : attempts) {
            m.append("\n- ").append(a);
        }
        return m.toString();
    }

    String noLibraryOnPath() {
        return "java.library.path: no " + LIB + " in " + tmp.resolve("no-libraries");
    }

    /** An empty folder this user cannot write in: a read-only mount as root, else its mode. */
    Path readOnlyFolder(String name) throws Exception {
        Path dir = Files.createDirectory(tmp.resolve(name));
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwx------"));
        if (ROOT) {
            String why = mount(dir, "ro,mode=0700");
            assumeTrue(why == null, "as root a read-only folder needs a mount: " + why);
        } else {
            Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("r-x------"));
            restoreModes.add(dir);
        }
        return dir;
    }

    /** Makes a folder that has content read-only: a read-only bind mount as root, else its mode. */
    void makeReadOnly(Path dir) throws Exception {
        if (ROOT) {
            String why = command("mount", "--bind", dir.toString(), dir.toString());
            assumeTrue(why == null, "as root a read-only folder needs a bind mount: " + why);
            mounts.add(dir);
            assertEquals(null, command("mount", "-o", "remount,bind,ro", dir.toString()));
        } else {
            Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("r-x------"));
            restoreModes.add(dir);
        }
    }

    /** Mounts a tmpfs on dir with the options; null when mounted, else why not. */
    String mount(Path dir, String options) throws Exception {
        String out = command("mount", "-t", "tmpfs", "-o", options, "caldrix-test",
                             dir.toString());
        if (out != null) {
            return out;
        }
        mounts.add(dir);
        return null;
    }

    /** Runs a command with a bound; null when it succeeded, else its output. */
    static String command(String... cmd) throws Exception {
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        if (!p.waitFor(30, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            return String.join(" ", cmd) + ": did not end within 30 s";
        }
        String out = new String(readAll(p.getInputStream()), StandardCharsets.UTF_8);
        return p.exitValue() == 0 ? null : String.join(" ", cmd) + ": " + out.trim();
    }

    Path jarWith(Consumer<Map<String, byte[]>> edit) throws IOException {
        Map<String, byte[]> entries = new LinkedHashMap<>(jarEntries);
        edit.accept(entries);
        Path jar = Files.createTempFile(tmp, "edited", ".jar");
        try (ZipOutputStream out = new ZipOutputStream(Files.newOutputStream(jar))) {
            for (Map.Entry<String, byte[]> e : entries.entrySet()) {
                out.putNextEntry(new ZipEntry(e.getKey()));
                out.write(e.getValue());
                out.closeEntry();
            }
        }
        return jar;
    }

    /** The native with another version in its mark (of the same length). */
    static byte[] withVersion(byte[] bytes, String version) {
        byte[] mark = ("CALDRIX_NATIVE_VERSION=" + VERSION).getBytes(StandardCharsets.US_ASCII);
        byte[] other = ("CALDRIX_NATIVE_VERSION=" + version).getBytes(StandardCharsets.US_ASCII);
        assertEquals(mark.length, other.length);
        byte[] out = bytes.clone();
        int found = 0;
        for (int i = 0; i + mark.length <= out.length; i++) {
            if (java.util.Arrays.equals(java.util.Arrays.copyOfRange(out, i, i + mark.length),
                                        mark)) {
                System.arraycopy(other, 0, out, i, other.length);
                found++;
            }
        }
        assertEquals(1, found, "version marks in the native");
        assertNotEquals(sha256(bytes), sha256(out));
        return out;
    }

    static String mode(Path p) throws IOException {
        return PosixFilePermissions.toString(Files.getPosixFilePermissions(p));
    }

    static List<String> names(Path dir) throws IOException {
        try (Stream<Path> s = Files.list(dir)) {
            return s.map(p -> p.getFileName().toString()).sorted().collect(Collectors.toList());
        }
    }

    static byte[] readAll(InputStream in) throws IOException {
        ByteArrayOutputStream b = new ByteArrayOutputStream();
        byte[] buf = new byte[65536];
        for (int n; (n = in.read(buf)) > 0; ) {
            b.write(buf, 0, n);
        }
        return b.toByteArray();
    }

    static String sha256(byte[] bytes) {
        return CaldrixLoader.sha256(bytes);
    }
}
