package tellspan.devices.tavrolink;

import java.io.IOException;

/**
 * The carrier-detect query of the native library caldrix, which binds it to this class alone.
 * Handles are those of {@code com.vorant.jpos.tavrolink.caldrix}; the library is found the same
 * way, and loading it from both classes loads it once.
 */
public class caldrix {
    static {
        String path = System.getProperty("caldrix.library");
        if (path != null && !path.isEmpty()) {
            System.load(path);
        } else {
            System.loadLibrary("caldrix");
        }
    }

    /** Carrier detect (RLSD) of a serial port; false on a HID port, true for a handle not open. */
    public static native boolean PortIsCD(int handle) throws IOException;
}
