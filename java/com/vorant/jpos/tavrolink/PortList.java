package com.vorant.jpos.tavrolink;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;

/**
 * {@code java -jar caldrix.jar [--json]}: the ports this machine has, each with every name that
 * {@link caldrix#PortOpen} takes for it. Plain text for people, {@code --json} for tools.
 *
 * <p>The listing is what {@code caldrix-ports} prints, the native program the jar carries beside
 * each native and linked with the library itself: the serial ports with their POSIX-style and COM
 * names, and the HID and USB printer interfaces walked with the library's own SetupAPI calls, each
 * with the names that open it. The program is copied out and run from a cache folder under the
 * same rules as the native, or is the file named by {@code -Dcaldrix.ports}, which is then the
 * only one tried. When it cannot run, the lister says why in one line and ends with status 1.
 */
public final class PortList {
    static final String USAGE = "usage: java -jar caldrix.jar [--json]";
    static final String PROGRAM = "caldrix-ports";
    static final long PROGRAM_BOUND_SECONDS = 30;

    private PortList() {}

    public static void main(String[] args) {
        boolean json = false;
        for (String a : args) {
            if (a.equals("--json")) {
                json = true;
            } else if (a.equals("--help") || a.equals("-h")) {
                System.out.println(USAGE);
                return;
            } else {
                System.err.println("caldrix: unknown argument \"" + a + "\"\n" + USAGE);
                System.exit(2);
            }
        }
        Output listing = list(json);
        if (listing.failure == null) {
            for (String line : listing.output.split("\n")) {
                System.out.println(line);
            }
            return;
        }
        System.out.println(json
                ? "{\"version\":" + quote(CaldrixLoader.VERSION) + ",\"error\":"
                        + quote(listing.failure) + "}"
                : "caldrix " + CaldrixLoader.VERSION + " cannot list the ports: "
                        + listing.failure);
        System.exit(1);
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
            return run(Paths.get(pinned), json);
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
