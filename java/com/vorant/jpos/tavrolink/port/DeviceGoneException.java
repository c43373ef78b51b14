package com.vorant.jpos.tavrolink.port;

/**
 * The device behind the port has gone: a USB serial adapter unplugged, the far end of a pseudo-
 * terminal closed. The library reports it with the system's code, on Linux 1167 ("WriteFile:
 * GetLastError=1167", "ClearCommError 1167 on port"). Close the port and open it again when the
 * device is back.
 */
public class DeviceGoneException extends PortException {
    private static final long serialVersionUID = 1L;

    /**
     * A failure of this kind.
     *
     * @param message the library's message unchanged, or this package's own
     * @param cause the exception the library raised, or null
     */
    public DeviceGoneException(String message, Throwable cause) {
        super(message, cause);
    }
}
