package com.vorant.jpos.tavrolink;

import com.vorant.jpos.tavrolink.port.PortChange;
import com.vorant.jpos.tavrolink.port.PortListing;
import com.vorant.jpos.tavrolink.port.PortWatch;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;

/**
 * {@code java -jar caldrix.jar [--json] [--watch]}: the ports this machine has, each with every
 * name that {@link caldrix#PortOpen} takes for it. Plain text for people, {@code --json} for tools.
 *
 * <p>The listing is what {@code caldrix-ports} prints, the native program the jar carries beside
 * each native and linked with the library itself: the serial ports with their POSIX-style and COM
 * names, and the HID and USB printer interfaces walked with the library's own SetupAPI calls, each
 * with the names that open it. The program is copied out and run from a cache folder under the
 * same rules as the native, or is the file named by {@code -Dcaldrix.ports}, which is then the
 * only one tried. When it cannot run, the lister says why in one line and ends with status 1.
 * The program, not the library in this JVM, makes the listing, so that listing the ports loads
 * nothing into the JVM and the text is the program's own.
 *
 * <p>{@code --watch} prints the ports there are and then each port that comes or goes, a line
 * each ({@link PortChange#toString}, or with {@code --json} an object of the listing's shape
 * with {@code change}, {@code kind} and {@code openProblem} added), until the JVM is ended. It
 * runs a {@link PortWatch} in this JVM, on the library the JVM loads, whose own log lines then
 * go to standard error unless {@code -Dcaldrix.log} says otherwise.
 */
public final class PortList {
    static final String USAGE = "usage: java -jar caldrix.jar [--json] [--watch]";
    static final String PROGRAM = "caldrix-ports";
    static final long PROGRAM_BOUND_SECONDS = 30;
    /** Where the library's own log lines go, read as it loads. */
    static final String LOG_PROPERTY = "caldrix.log";

    private PortList() {}

    public static void main(String[] args) {
        boolean json = false;
        boolean watch = false;
        for (String a : args) {
            if (a.equals("--json")) {
                json = true;
            } else if (a.equals("--watch")) {
                watch = true;
            } else if (a.equals("--help") || a.equals("-h")) {
                System.out.println(USAGE);
                return;
            } else {
                System.err.println("caldrix: unknown argument \"" + a + "\"\n" + USAGE);
                System.exit(2);
            }
        }
        if (watch) {
            watchUntilEnded(json);
            return;
        }
        Output listing = list(json);
        if (listing.failure == null) {
            for (String line : listing.output.split("\n")) {
                System.out.println(line);
            }
            return;
        }
        fail(json, "list", listing.failure);
    }

    /** The failure line, and status 1. */
    private static void fail(boolean json, String what, String why) {
        System.out.println(json
                ? "{\"version\":" + quote(CaldrixLoader.VERSION) + ",\"error\":"
                        + quote(why) + "}"
                : "caldrix " + CaldrixLoader.VERSION + " cannot " + what + " the ports: " + why);
        System.exit(1);
    }

    /** --watch: prints until the JVM is ended (Ctrl-C); returns only by exiting. */
    private static void watchUntilEnded(boolean json) {
        // Standard output is the watch's lines alone, unless the user says where the log goes.
        if (System.getProperty(LOG_PROPERTY) == null) {
            System.setProperty(LOG_PROPERTY, "stderr");
        }
        try {
            watch(json, System.out);
            new CountDownLatch(1).await();
        } catch (IOException | LinkageError e) {
            fail(json, "watch", e.getMessage());
        } catch (InterruptedException e) {
            System.exit(130);
        }
    }

    /**
     * Starts a watch that prints each port there is and then each change, a line each.
     *
     * @param json objects of the listing's shape rather than text
     * @param out where the lines go
     * @return the running watch
     * @throws IOException when the system's watch could not be set up
     */
    static PortWatch watch(boolean json, PrintStream out) throws IOException {
        return PortWatch.start((w, change) -> {
            out.println(json ? json(change) : change.toString());
            out.flush();
        });
    }

    /**
     * A change as --watch --json prints it: the change and the kind, the listing's fields for the
     * port, and why an arrival's node could not be opened (null when it could, and on removals).
     */
    static String json(PortChange c) {
        StringBuilder b = new StringBuilder("{\"change\":")
                .append(c.isArrival() ? "\"added\"" : "\"removed\"")
                .append(",\"kind\":").append(quote(c.kind().name().toLowerCase(Locale.ROOT)));
        PortListing.SerialPort s = c.serialPort();
        if (s != null) {
            b.append(",\"device\":").append(quote(s.device())).append(",\"names\":[");
            String sep = "";
            for (String n : s.names()) {
                b.append(sep).append(quote(n));
                sep = ",";
            }
            b.append("],\"detail\":").append(quoteOrNull(s.detail()));
        } else {
            PortListing.Interface i = c.portInterface();
            b.append(",\"path\":").append(quote(i.path())).append(",\"names\":[");
            String sep = "";
            for (PortListing.Name n : i.names()) {
                b.append(sep).append("{\"name\":").append(quote(n.name()))
                        .append(",\"match\":").append(quote(n.match()))
                        .append(",\"opens\":").append(quoteOrNull(n.opens())).append('}');
                sep = ",";
            }
            b.append(']');
        }
        return b.append(",\"openProblem\":").append(quoteOrNull(c.openProblem())).append('}')
                .toString();
    }

    private static String quoteOrNull(String s) {
        return s == null ? "null" : quote(s);
    }

    /**
     * What {@code java -jar caldrix.jar --json} prints, as a string.
     *
     * @return the JSON object, on one line
     * @throws IOException when caldrix-ports could not list the ports, with the reason
     */
    public static String json() throws IOException {
        Output listing = list(true);
        if (listing.failure != null) {
            throw new IOException(listing.failure);
        }
        return listing.output.trim();
    }

    /** What caldrix-ports printed, or why it could not be run. */
    static final class Output {
        final String output;
        final String failure;

        Output(String output, String failure) {
            this.output = output;
            this.failure = failure;
        }
    }

    /** Runs the pinned program or the jar's, for text or JSON. */
    static Output list(boolean json) {
        String pinned = System.getProperty("caldrix.ports");
        if (pinned != null && !pinned.isEmpty()) {
            // Held to the rule the loader's own files are held to, on the path that then runs; a
            // program that is not there fails as its start fails.
            Path real;
            try {
                real = Paths.get(pinned).toRealPath();
            } catch (IOException e) {
                return run(Paths.get(pinned), json);
            }
            String why = CaldrixLoader.untrusted(real);
            if (why != null) {
                return new Output(null, "caldrix.ports " + pinned + ": " + why);
            }
            return run(real, json);
        }
        List<String> failures = new ArrayList<>();
        Path program = CaldrixLoader.program(PROGRAM, failures);
        if (program == null) {
            return new Output(null, PROGRAM + " did not run: " + String.join("; ", failures));
        }
        return run(program, json);
    }

    /** Runs the program, with a bound on how long it may take. */
    static Output run(Path program, boolean json) {
        List<String> cmd = new ArrayList<>();
        cmd.add(program.toString());
        if (json) {
            cmd.add("--json");
        }
        String why;
        try {
            Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
            p.getOutputStream().close();
            CompletableFuture<byte[]> out = CompletableFuture.supplyAsync(() -> {
                try {
                    return CaldrixLoader.readAll(p.getInputStream());
                } catch (IOException e) {
                    return new byte[0];
                }
            });
            if (!p.waitFor(PROGRAM_BOUND_SECONDS, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                return new Output(null, program + " did not finish within "
                        + PROGRAM_BOUND_SECONDS + " s");
            }
            // A Windows program's text-mode output ends its lines with CR LF.
            String text = new String(out.get(PROGRAM_BOUND_SECONDS, TimeUnit.SECONDS),
                                     StandardCharsets.UTF_8).replace("\r\n", "\n");
            if (p.exitValue() == 0 && (!json || (text.startsWith("{") && text.endsWith("}\n")))) {
                return new Output(text, null);
            }
            String first = text.isEmpty() ? "no output" : text.split("\n", 2)[0];
            why = program + " ended with status " + p.exitValue() + ": " + first;
        } catch (IOException e) {
            why = program + " could not be started: " + e.getMessage();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            why = program + " was interrupted";
        } catch (ExecutionException | TimeoutException e) {
            why = program + ": its output could not be read: " + e;
        }
        return new Output(null, why);
    }

    static String quote(String s) {
        StringBuilder b = new StringBuilder("\"");
        for (char c : s.toCharArray()) {
            if (c == '"' || c == '\\') {
                b.append('\\').append(c);
            } else if (c < 0x20) {
                b.append(String.format("\\u%04x", (int) c));
            } else {
                b.append(c);
            }
        }
        return b.append('"').toString();
    }
}
