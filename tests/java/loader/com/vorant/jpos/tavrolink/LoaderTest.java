package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
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
import java.util.concurrent.TimeUnit;
import java.util.function.Consumer;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import java.util.zip.ZipEntry;
import java.util.zip.ZipFile;
import java.util.zip.ZipOutputStream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
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
    /** A library of another user's, marked with this version (planted.c). */
    static final Path PLANTED = java.nio.file.Paths.get(System.getProperty("caldrix.test.planted"));
    static final String NATIVES = "com/vorant/jpos/tavrolink/native/";
    static final String ENTRY = NATIVES + PLATFORM + "/" + LIB;
    static final String USER = System.getProperty("user.name");
    static final boolean ROOT = USER.equals("root");
    /** Whose folders a cache path may run through. */
    static final String TRUSTED = ROOT ? "root" : "root or " + USER;

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

        /** The README's first program, as a newcomer with the jar and a JDK runs it. */
        @Test
        void theReadmeProgramOpensAPortWithTheJarAndAJdkAlone() throws Exception {
            String readme = new String(Files.readAllBytes(
                    java.nio.file.Paths.get(System.getProperty("caldrix.test.readme"))),
                    StandardCharsets.UTF_8);
            int start = readme.indexOf("```java\n") + "```java\n".length();
            assertTrue(start >= "```java\n".length(), "no Java program in the README");
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
                assertEquals("hello\r\n", new String(pair.peerAwait(7, Duration.ofSeconds(5)),
                                                      StandardCharsets.US_ASCII));
                pair.peerWrite("ready\r\n".getBytes(StandardCharsets.US_ASCII));  // the answer
                String out = hello.finish();
                assertEquals(0, hello.exitValue(), out + hello.stderr());
                assertTrue(out.contains("ready\r\n"), out);
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

            // Then a fresh folder of the JVM's own, gone when the JVM ends.
            Path readOnly = readOnlyFolder("ro-xdg");
            jvm = new Jvm(tmp).option("java.io.tmpdir", temp.toString());
            jvm.env.put("XDG_CACHE_HOME", readOnly.toString());
            Path fresh = jvm.loads().getParent().getParent();
            assertEquals(temp, fresh.getParent());
            assertTrue(fresh.getFileName().toString().startsWith("caldrix-" + USER + "-"),
                       fresh.toString());
            assertFalse(Files.exists(fresh), "the JVM's own folder outlived it");

            // Others could swap a folder of ours in a temp folder they may write in unless the
            // sticky bit keeps them to their own entries.
            Files.setPosixFilePermissions(temp, PosixFilePermissions.fromString("rwxrwxrwx"));
            jvm = new Jvm(tmp).option("java.io.tmpdir", temp.toString());
            jvm.env.put("XDG_CACHE_HOME", readOnly.toString());
            assertEquals(failure(noLibraryOnPath(), "cache " + readOnly.resolve("caldrix")
                                 + ": cannot create it: "
                                 + (ROOT ? "Read-only file system" : "permission denied"),
                                 "cache " + temp.resolve("caldrix-" + USER + "-*")
                                 + ": others than " + TRUSTED
                                 + " may write in the folder and it is not sticky (rwxrwxrwx)"),
                         jvm.fails());
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
            Path deeper = readOnly.resolve("sub").resolve("caldrix");
            assertEquals(failure(noLibraryOnPath(), "cache " + readOnly.resolve(folder)
                                 + ": cannot create it: "
                                 + (ROOT ? "Read-only file system" : "permission denied"),
                                 "cache " + deeper + ": cannot create " + deeper.getParent()
                                 + " on the way to it: "
                                 + (ROOT ? "Read-only file system" : "permission denied")),
                         new Jvm(tmp).cache(readOnly, deeper).fails());
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

        /** Nobody else may change any folder on the way: a link is refused wherever it is. */
        @Test
        void aWayThroughALinkOrAFolderOthersMayWriteInIsRefused() throws Exception {
            Path link = Files.createSymbolicLink(tmp.resolve("link"),
                                                 Files.createDirectory(tmp.resolve("real")));
            Path open = Files.createDirectory(tmp.resolve("open"));
            Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rwxrwxrwx"));
            assertEquals(failure(noLibraryOnPath(),
                                 "cache " + link + ": it is a symbolic link",
                                 "cache " + link.resolve("c") + ": " + link
                                         + " on the way to it is a symbolic link",
                                 "cache " + open.resolve("c") + ": others than " + TRUSTED
                                         + " may write in " + open
                                         + " on the way to it (rwxrwxrwx)"),
                         new Jvm(tmp).cache(link, link.resolve("c"), open.resolve("c")).fails());
            assertEquals(Collections.emptyList(), names(tmp.resolve("real")));
        }

        /**
         * The loader looks at the way once more right before it loads: changed while the copy
         * was being written, the folder or the file is caught there.
         */
        @Test
        void aFolderOrFileChangedAfterTheFirstLookIsCaughtByTheLast() throws Exception {
            Path dir = tmp.resolve("cache").resolve(folder);
            String[][] changes = {
                {"chmod 777 $DIR", "others than " + USER + " may write in the folder (rwxrwxrwx)"},
                {"chmod 666 $PART", "others than " + USER + " may write in the file (rw-rw-rw-)"},
                {"mv $PART $DIR/real && ln -s $DIR/real $PART", LIB + " is not a plain file"}};
            for (String[] change : changes) {
                Jvm jvm = new Jvm(tmp).cache(tmp.resolve("cache"));
                Path part = jvm.startPaused("written");
                assertEquals(null, command("env", "DIR=" + dir, "PART=" + part,
                                           "sh", "-c", change[0]));
                jvm.release();
                assertEquals(failure(noLibraryOnPath(), "cache " + dir + ": " + change[1]),
                             jvm.failure());
                assertEquals(null, command("sh", "-c", "chmod 700 $0 && rm $0/" + LIB,
                                           dir.toString()));
            }
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

            // Who may change it is looked at before anything is read from it.
            Path open = Files.write(tmp.resolve("open.so"), nativeBytes);
            Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rw-rw-rw-"));
            assertEquals(failure("caldrix.library " + open + ": others than " + TRUSTED
                                 + " may write in the file (rw-rw-rw-)"),
                         new Jvm(tmp).option("caldrix.library", open.toString()).fails());
            Path notAFile = Files.createDirectory(tmp.resolve("folder.so"));
            assertEquals(failure("caldrix.library " + notAFile + ": it is not a plain file"),
                         new Jvm(tmp).option("caldrix.library", notAFile.toString()).fails());

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

            // A relative entry is taken from the current folder; a link is followed, and the
            // file behind it is the one checked and loaded.
            Files.createSymbolicLink(tmp.resolve("linked"), dir.getFileName());
            Jvm jvm = new Jvm(tmp).option("java.library.path", "linked").cache(cache);
            jvm.dir = tmp;
            assertEquals(lib, jvm.loads());
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
            assertEquals(failureOn("linux-riscv64",
                                 "java.library.path " + stale
                                         + ": it is caldrix 0.9.9, these classes are caldrix "
                                         + VERSION,
                                 "jar: a 64-bit JVM needs the linux-riscv64 native; this jar has "
                                         + "linux-aarch64, linux-armhf, linux-x86_64, windows-x86, "
                                         + "windows-x86_64"),
                         new Jvm(tmp).option("java.library.path", dir.toString())
                                 .option("os.arch", "riscv64").cache(cache).fails());
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
         * One JVM stops once it has copied the native under a temporary name (the loader's test
         * hook); another loads meanwhile, and the first then renames its copy and loads too.
         * Under the name that JVMs load, there is never a file still being written.
         */
        @Test
        void aJvmLoadsWhileAnotherIsStillCopyingTheNative() throws Exception {
            Path cache = tmp.resolve("cache");
            Path target = cache.resolve(folder).resolve(LIB);
            Jvm first = new Jvm(tmp).cache(cache);
            Path part = first.startPaused("written");
            assertEquals(target.getParent(), part.getParent());
            assertFalse(Files.exists(target), "a native under the name JVMs load before renamed");

            assertEquals(target, new Jvm(tmp).cache(cache).loads());
            assertArrayEquals(nativeBytes, Files.readAllBytes(target));

            first.release();
            assertEquals(target, first.loaded());
            assertArrayEquals(nativeBytes, Files.readAllBytes(target));
            assertEquals(Collections.singletonList(LIB), names(cache.resolve(folder)));
        }
    }

    // ---- other users ---------------------------------------------------------------------------

    /**
     * Another local user, played by nobody, acts while the loader's test hook holds it between
     * its last look at a file and the load: the attacker's library must not be the one mapped.
     */
    @Nested
    class OtherUsers {
        Path temp;

        @BeforeEach
        void aSharedTempFolder() throws Exception {
            temp = sharedTemp(tmp);
        }

        @Test
        void aFolderAnotherUserMadeUnderTheLoadersNameInTheTempFolderDoesNotBlockIt()
                throws Exception {
            asNobody("mkdir " + temp.resolve("caldrix-" + USER));
            assertEquals(temp, new Jvm(tmp).homeless(temp).loads().getParent().getParent()
                    .getParent());
        }

        @Test
        void aLinkAnotherUserFlipsInTheTempFolderDoesNotRedirectTheLoad() throws Exception {
            Path taken = temp.resolve("caldrix-" + USER);
            Path evil = attackers(tmp.resolve("attacker").resolve(folder).resolve(LIB),
                                  withVersion(nativeBytes, "6.6.6"));
            asNobody("ln -s " + victims(tmp) + " " + taken);
            loadsTheFileItChecked(new Jvm(tmp).homeless(temp), evil,
                                  "ln -sfn " + tmp.resolve("attacker") + " " + taken);
        }

        /** A root JVM told to cache in another user's home (sudo -E keeps XDG_CACHE_HOME). */
        @Test
        void aCacheFolderBelowAFolderOfAnotherUserIsRefusedEvenForRoot() throws Exception {
            Path home = Files.createDirectory(tmp.resolve("theirs"));
            assertEquals(null, command("chown", "65534:65534", home.toString()));
            Path xdg = home.resolve(".cache");
            asNobody("mkdir " + xdg);
            Path evil = attackers(home.resolve("swap/caldrix").resolve(folder).resolve(LIB),
                                  withVersion(nativeBytes, "6.6.6"));
            Jvm jvm = new Jvm(tmp).option("java.io.tmpdir", temp.toString());
            jvm.env.put("XDG_CACHE_HOME", xdg.toString());
            // The owner of the parent swaps it for a folder of its own.
            loadsTheFileItChecked(jvm, evil, "mv " + xdg + " " + home.resolve("was") + " && mv "
                                             + home.resolve("swap") + " " + xdg);

            assertEquals(failure(noLibraryOnPath(), "cache " + xdg.resolve("caldrix") + ": "
                                 + home + " on the way to it belongs to nobody, not to root"),
                         new Jvm(tmp).cache(xdg.resolve("caldrix")).fails());
        }

        /**
         * Another user's library marked with this version, where the loader looks: in a sticky
         * folder on LD_LIBRARY_PATH, in a folder of hers named by java.library.path, in a folder
         * she made in the temp folder, which the relative entry "lib" names for a JVM started
         * there, and in a folder of root's. Each is passed over with its reason, and its code
         * never runs.
         */
        @Test
        void aLibraryAnotherUserPlantedOnTheLibraryPathIsRefusedAndNeverRuns() throws Exception {
            Path theirs = Files.createDirectory(tmp.resolve("theirs"));
            assertEquals(null, command("chown", "65534:65534", theirs.toString()));
            asNobody("mkdir " + temp.resolve("lib"));
            Path roots = Files.createDirectory(tmp.resolve("roots"));
            // Sticky, but the entry below is hers.
            String sticky = "others than root may write in " + temp + " on the way to it"
                    + " (rwxrwxrwx)";
            Jvm inTemp = new Jvm(tmp).option("java.library.path", "lib");
            inTemp.dir = temp;
            Object[][] cases = {
                {new Jvm(tmp).libraryPathFromEnvironment(temp.toString()), temp, sticky},
                {new Jvm(tmp).option("java.library.path", theirs.toString()), theirs,
                 theirs + " on the way to it belongs to nobody, not to root"},
                {inTemp, temp.resolve("lib"), sticky},
                {new Jvm(tmp).option("java.library.path", roots.toString()), roots,
                 "the file belongs to nobody, not to root"}};
            Path marker = tmp.resolve("planted-code-ran");
            Path notAFolder = Files.write(tmp.resolve("not-a-folder"), new byte[] {1});
            for (Object[] c : cases) {
                Path planted = Files.copy(PLANTED, ((Path) c[1]).resolve(LIB));
                assertEquals(null, command("chown", "65534:65534", planted.toString()));
                Jvm jvm = ((Jvm) c[0]).cache(notAFolder);
                jvm.env.put("CALDRIX_TEST_MARKER", marker.toString());
                jvm.start().finish();
                assertFalse(Files.exists(marker), planted + " ran in the JVM:\n" + jvm.finish());
                assertEquals(failure("java.library.path " + planted + ": " + c[2],
                                     "cache " + notAFolder + ": it is not a folder"),
                             jvm.failure());
            }
        }

        /**
         * Runs jvm, has the attacker act while it is held between its last look at the native
         * and the load, and checks that it loaded the file it looked at, in a fresh folder of
         * its own under temp, and not the attacker's.
         */
        void loadsTheFileItChecked(Jvm jvm, Path evil, String attack) throws Exception {
            Object evilInode = inode(evil);
            Path used = jvm.startPaused("use");
            Object checked = inode(used);
            asNobody(attack);
            jvm.release();
            assertEquals(used, jvm.loaded());
            String out = jvm.finish();
            assertFalse(out.contains("mapped inode " + evilInode + "\n"),
                        "the attacker's library was loaded:\n" + out);
            assertTrue(out.contains("mapped inode " + checked + "\n"), out);
            assertEquals(temp, used.getParent().getParent().getParent());
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

    /** Runs a shell script as nobody, who must succeed. */
    static void asNobody(String script) throws Exception {
        assertEquals(null, command("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   "sh", "-c", script));
    }

    /** A file of nobody's with the bytes given, in folders of nobody's made for it. */
    static Path attackers(Path file, byte[] bytes) throws Exception {
        Path top = file.getParent();
        while (!Files.exists(top.getParent())) {
            top = top.getParent();
        }
        Files.createDirectories(file.getParent());
        Files.write(file, bytes);
        assertEquals(null, command("chown", "-R", "65534:65534", top.toString()));
        assertEquals(null, command("chmod", "-R", "a+rx", top.toString()));
        return file;
    }

    static Object inode(Path file) throws IOException {
        return Files.getAttribute(file, "unix:ino", java.nio.file.LinkOption.NOFOLLOW_LINKS);
    }

    /**
     * A temp folder as /tmp is (sticky, anyone may write in it) in the test's folder, which
     * nobody may then pass through; root only, who can play nobody.
     */
    static Path sharedTemp(Path tmp) throws Exception {
        assumeTrue(ROOT, "playing another user needs root");
        Path temp = tmp.resolve("temp");
        assertEquals(null, command("sh", "-c", "chmod 755 $0 && mkdir -m 1777 $0/temp",
                                   tmp.toString()));
        return temp;
    }

    /** A folder of root's alone, where an attacker would like root's loader to write. */
    static Path victims(Path tmp) throws Exception {
        return Files.createDirectory(tmp.resolve("victims"), PosixFilePermissions
                .asFileAttribute(PosixFilePermissions.fromString("rwx------")));
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
