package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;

/** A JVM of its own running LoaderProbe with a jar, for one case of the loader tests. */
final class Jvm {
    static final Path JAR = Paths.get(System.getProperty("caldrix.test.jar"));
    static final Path PROBE = Paths.get(System.getProperty("caldrix.test.probe"));
    static final long BOUND_SECONDS = 60;

    final List<String> options = new ArrayList<>();
    final Map<String, String> env = new TreeMap<>();
    Path jar = JAR;
    /** Its current folder; the test's own when null. */
    Path dir;
    private final Path scratch;

    private Process process;
    private CompletableFuture<String> out;
    private CompletableFuture<String> err;

    /** A JVM whose library path is an empty folder and whose home is a scratch folder. */
    Jvm(Path scratch) {
        this.scratch = scratch;
        option("java.library.path", scratch.resolve("no-libraries").toString());
        option("user.home", scratch.resolve("home").toString());
    }

    Jvm option(String name, String value) {
        options.add("-D" + name + "=" + value);
        return this;
    }

    /** Leaves java.library.path to the JVM, which starts it with LD_LIBRARY_PATH. */
    Jvm libraryPathFromEnvironment(String ldLibraryPath) {
        options.removeIf(o -> o.startsWith("-Djava.library.path="));
        env.put("LD_LIBRARY_PATH", ldLibraryPath);
        return this;
    }

    Jvm cache(Path... roots) {
        StringBuilder s = new StringBuilder();
        for (Path r : roots) {
            s.append(s.length() == 0 ? "" : ":").append(r);
        }
        return option("caldrix.cache", s.toString());
    }

    /**
     * A service account's JVM without a usable home (its cache folder cannot be made there), so
     * that the loader falls back to temp, its java.io.tmpdir.
     */
    Jvm homeless(Path temp) throws IOException {
        Path file = scratch.resolve("home-is-a-file");
        if (!java.nio.file.Files.exists(file)) {
            java.nio.file.Files.createFile(file);
        }
        env.put("XDG_CACHE_HOME", file.toString());
        return option("java.io.tmpdir", temp.toString());
    }

    Jvm start(String... args) throws IOException {
        return launch(false, args);
    }

    /**
     * Starts it held at the loader's test hook for stage ("written" or "use") until release();
     * the file the hook was given.
     */
    Path startPaused(String stage, String... args) throws Exception {
        List<String> all = new ArrayList<>();
        all.add("pause=" + stage);
        all.addAll(Arrays.asList(args));
        launch(true, all.toArray(new String[0]));
        // Byte by byte, so that nothing after the line is taken from the rest of stderr.
        InputStream in = process.getErrorStream();
        ByteArrayOutputStream line = new ByteArrayOutputStream();
        for (int c; (c = in.read()) >= 0 && c != '\n'; ) {
            line.write(c);
        }
        err = drain(in);
        String text = line.toString(StandardCharsets.UTF_8);
        String prefix = "caldrix: " + stage + " ";
        if (!text.startsWith(prefix)) {
            fail("the probe JVM did not stop at " + stage + ": " + text + "\n" + stderr());
        }
        return Paths.get(text.substring(prefix.length()));
    }

    void release() throws IOException {
        process.getOutputStream().write('\n');
        process.getOutputStream().flush();
    }

    /** Runs java -jar on the jar, as a user runs the port lister. */
    Jvm startJar(String... args) throws IOException {
        List<String> cmd = new ArrayList<>(Arrays.asList("-jar", jar.toString()));
        cmd.addAll(Arrays.asList(args));
        return launch(false, cmd);
    }

    /** Runs a main class of the caller's, with the jar and the folder given on the class path. */
    Jvm startMain(Path classes, String main, String... args) throws IOException {
        List<String> cmd = new ArrayList<>(Arrays.asList("-cp", jar + ":" + classes, main));
        cmd.addAll(Arrays.asList(args));
        return launch(false, cmd);
    }

    private Jvm launch(boolean watched, String... args) throws IOException {
        List<String> cmd = new ArrayList<>(Arrays.asList("-cp", jar + ":" + PROBE,
                                                         LoaderProbe.class.getName()));
        cmd.addAll(Arrays.asList(args));
        return launch(watched, cmd);
    }

    private Jvm launch(boolean watched, List<String> rest) throws IOException {
        List<String> cmd = new ArrayList<>();
        cmd.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        cmd.addAll(options);
        cmd.addAll(rest);
        ProcessBuilder pb = new ProcessBuilder(cmd);
        if (dir != null) {
            pb.directory(dir.toFile());
        }
        pb.environment().remove("XDG_CACHE_HOME");
        pb.environment().putAll(env);
        process = pb.start();
        out = drain(process.getInputStream());
        err = watched ? CompletableFuture.completedFuture("") : drain(process.getErrorStream());
        return this;
    }

    /** Waits for it to end, with a bound; stdout. */
    String finish() throws Exception {
        if (!process.waitFor(BOUND_SECONDS, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            fail("the probe JVM did not end within " + BOUND_SECONDS + " s");
        }
        return out.get(BOUND_SECONDS, TimeUnit.SECONDS);
    }

    String stderr() throws Exception {
        return err.get(BOUND_SECONDS, TimeUnit.SECONDS);
    }

    int exitValue() {
        return process.exitValue();
    }

    /** Runs it to the end and returns the file the library was loaded from. */
    Path loads(String... args) throws Exception {
        start(args);
        return loaded();
    }

    /** Waits for it to end, having loaded the library; the file loaded. */
    Path loaded() throws Exception {
        String text = finish();
        assertEquals(0, exitValue(), "probe failed:\n" + text + stderr());
        for (String line : text.split("\n")) {
            if (line.startsWith("loaded ")) {
                return Paths.get(line.substring(7));
            }
        }
        throw new AssertionError("no \"loaded\" line from the probe:\n" + text);
    }

    /** Runs it to the end and returns the loader's UnsatisfiedLinkError message. */
    String fails(String... args) throws Exception {
        start(args);
        return failure();
    }

    /** Waits for it to end, having failed to load the library; the loader's message. */
    String failure() throws Exception {
        String text = finish();
        assertEquals(3, exitValue(), "the probe did not fail to load:\n" + text + stderr());
        int at = text.indexOf("failed:\n");
        assertTrue(at >= 0, text);
        String message = text.substring(at + "failed:\n".length());
        return message.endsWith("\n") ? message.substring(0, message.length() - 1) : message;
    }

    /** Collects a stream on a thread of its own, so that no pipe of the JVM ever fills. */
    private static CompletableFuture<String> drain(InputStream in) {
        CompletableFuture<String> text = new CompletableFuture<>();
        Thread t = new Thread(() -> {
            ByteArrayOutputStream b = new ByteArrayOutputStream();
            byte[] buf = new byte[8192];
            try {
                for (int n; (n = in.read(buf)) > 0; ) {
                    b.write(buf, 0, n);
                }
            } catch (IOException ignored) {
                // the process has gone
            }
            text.complete(b.toString(StandardCharsets.UTF_8));
        }, "probe-output");
        t.setDaemon(true);
        t.start();
        return text;
    }
}
