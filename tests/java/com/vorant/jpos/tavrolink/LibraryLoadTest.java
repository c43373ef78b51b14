package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

class LibraryLoadTest {
    /**
     * The load line goes to the process's own standard output through C stdio, out of reach of
     * System.setOut, so a fresh JVM is started and its output compared as a whole.
     */
    @Test
    void loadingFromBothClassesPrintsTheLoadLineOnce() throws Exception {
        String java = System.getProperty("java.home") + File.separator + "bin" + File.separator
                + "java";
        String classes = new File(LoadProbe.class.getProtectionDomain().getCodeSource()
                .getLocation().toURI()).getPath();
        Process p = new ProcessBuilder(java,
                "-D" + caldrix.LIBRARY_PROPERTY + "=" + System.getProperty(caldrix.LIBRARY_PROPERTY, ""),
                "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", classes, LoadProbe.class.getName())
                .redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")))
                .start();
        CompletableFuture<String> out = drain(p.getInputStream());
        CompletableFuture<String> err = drain(p.getErrorStream());
        boolean ended = p.waitFor(60, TimeUnit.SECONDS);
        if (!ended) {
            p.destroyForcibly();
        }
        assertTrue(ended, "child JVM did not end within 60 s");
        String stderr = err.get(10, TimeUnit.SECONDS);
        assertEquals(0, p.exitValue(), "child JVM exit code; its stderr:\n" + stderr);
        assertEquals(" caldrix: on_library_load: \n", out.get(10, TimeUnit.SECONDS),
                "child JVM stdout; its stderr:\n" + stderr);
    }

    private static CompletableFuture<String> drain(InputStream in) {
        return CompletableFuture.supplyAsync(() -> {
            try (in) {
                ByteArrayOutputStream b = new ByteArrayOutputStream();
                in.transferTo(b);
                return b.toString(StandardCharsets.ISO_8859_1);
            } catch (IOException e) {
                return "<" + e + ">";
            }
        }, r -> {
            Thread t = new Thread(r, "child-output");
            t.setDaemon(true);
            t.start();
        });
    }
}
