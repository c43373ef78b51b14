package com.vorant.jpos.tavrolink;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;

/**
 * Runs in a JVM of its own for the loader tests: makes the library load, says where from (or the
 * loader's whole message) and which file it mapped, then does what its arguments ask.
 * "pause=STAGE" first stops the loader at its test hook for that stage until stdin has a line;
 * "ports" runs the port lister instead of loading the library.
 */
public final class LoaderProbe {
    private LoaderProbe() {}

    public static void main(String[] args) throws Exception {
        int at = 0;
        if (args.length > at && args[at].startsWith("pause=")) {
            String stage = args[at++].substring(6);
            CaldrixLoader.testHook = (reached, path) -> {
                if (reached.equals(stage)) {
                    System.err.println("caldrix: " + stage + " " + path);
                    System.err.flush();
                    try {
                        for (int c = 0; c >= 0 && c != '\n'; c = System.in.read()) {
                            // up to the release line's end
                        }
                    } catch (IOException e) {
                        throw new java.io.UncheckedIOException(e);
                    }
                }
            };
        }
        if (args.length > at && args[at].equals("ports")) {
            PortList.Output listing = PortList.list(false);
            System.out.print(listing.failure != null ? "failed: " + listing.failure + "\n"
                                                     : listing.output);
            return;
        }
        boolean otherClassFirst = args.length > at && args[at].equals("cd-first");
        try {
            if (otherClassFirst) {
                // A handle that is not open answers true.
                System.out.println("cd " + tellspan.devices.tavrolink.caldrix.PortIsCD(5));
            }
            Class.forName("com.vorant.jpos.tavrolink.caldrix");
        } catch (UnsatisfiedLinkError e) {
            System.out.println("failed:");
            System.out.println(e.getMessage());
            System.exit(3);
        }
        System.out.println("loaded " + CaldrixLoader.loadedFile());
        // The file behind the mapping, whatever its name now: "address perms offset dev inode".
        for (String line : Files.readAllLines(Paths.get("/proc/self/maps"))) {
            if (line.contains("libcaldrix")) {
                System.out.println("mapped inode " + line.trim().split("\\s+")[4]);
                break;
            }
        }
        for (String a : args) {
            if (a.startsWith("write=")) {
                String[] portAndText = a.substring(6).split(",", 2);
                int h = caldrix.PortOpen(portAndText[0]);
                byte[] text = portAndText[1].getBytes(StandardCharsets.US_ASCII);
                System.out.println("wrote " + caldrix.PortWrite(h, text, text.length));
                caldrix.PortClose(h);
            }
        }
    }
}
