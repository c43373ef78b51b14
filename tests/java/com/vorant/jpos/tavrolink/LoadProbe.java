package com.vorant.jpos.tavrolink;

/**
 * Run in a JVM of its own by {@link LibraryLoadTest}: binds a native method of each of the two
 * classes, so that both load the library, and prints nothing itself.
 */
public final class LoadProbe {
    private LoadProbe() {}

    public static void main(String[] args) throws Exception {
        boolean dtr = caldrix.PortIsDTR(0);
        boolean cd = tellspan.devices.tavrolink.caldrix.PortIsCD(0);
        System.exit(dtr && cd ? 0 : 3);
    }
}
