package com.vorant.jpos.tavrolink;

import java.nio.charset.StandardCharsets;

/**
 * Runs in a JVM of its own for the loader tests: makes the library load, says where from (or the
 * loader's whole message), then does what its arguments ask.
 */
public final class LoaderProbe {
    private LoaderProbe() {}

    public static void main(String[] args) throws Exception {
        boolean otherClassFirst = args.length > 0 && args[0].equals("cd-first");
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
