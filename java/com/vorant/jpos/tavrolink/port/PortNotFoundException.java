package com.vorant.jpos.tavrolink.port;

/**
 * No port or device answers to the name: a COM port or device node that does not exist
 * ("CreateFile error 2 on port"), or no HID interface whose path contains the name's match text
 * ("Device Not Found - vid_04b8&amp;pid_0202").
 */
public class PortNotFoundException extends PortException {
    private static final long serialVersionUID = 1L;

    /**
     * A failure of this kind.
     *
     * @param message the library's message unchanged, or this package's own
     * @param cause the exception the library raised, or null
     */
    public PortNotFoundException(String message, Throwable cause) {
        super(message, cause);
    }
}
