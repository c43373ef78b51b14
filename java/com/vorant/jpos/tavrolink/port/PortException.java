package com.vorant.jpos.tavrolink.port;

import java.io.IOException;

/**
 * A failure of a port, with the native library's message unchanged when the library raised it.
 * The subclasses name the failures a caller can act on; a failure of none of those kinds arrives
 * as this class itself.
 */
public class PortException extends IOException {
    private static final long serialVersionUID = 1L;

    /**
     * A failure with a message and the exception it came from.
     *
     * @param message the library's message, or this package's own for a failure it found itself
     * @param cause the exception the library raised, or null
     */
    public PortException(String message, Throwable cause) {
        super(message, cause);
    }
}
