package tellspan.devices.tavrolink;

import java.io.IOException;

/**
 * The carrier-detect query of the native library caldrix, which binds it to this class alone.
 * Handles are those of {@code com.vorant.jpos.tavrolink.caldrix}, which loads the library also
 * when this class is used first.
 */
public class caldrix {
    static {
        // The other class loads the library; a native library belongs to the class loader that
        // loaded it, and this class's method binds to it through the same loader.
        try {
            Class.forName("com.vorant.jpos.tavrolink.caldrix", true,
                          caldrix.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new NoClassDefFoundError("com.vorant.jpos.tavrolink.caldrix, which loads the"
                    + " native library, is not beside " + caldrix.class.getName());
        }
    }

    /** Carrier detect (RLSD) of a serial port; false on a HID port, true for a handle not open. */
    public static native boolean PortIsCD(int handle) throws IOException;
}
