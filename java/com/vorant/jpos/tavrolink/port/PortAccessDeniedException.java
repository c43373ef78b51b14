package com.vorant.jpos.tavrolink.port;

/**
 * The port exists but this process may not open it: it is open already, in this process or another
 * ("CreateFile error 5 on port"), the user lacks the rights to its device node, or a HID interface
 * was found but would not open ("INVALID_HANDLE - " and its device path).
 */
public class PortAccessDeniedException extends PortException {
    private static final long serialVersionUID = 1L;

    /**
     * A failure of this kind.
     *
     * @param message the library's message unchanged, or this package's own
     * @param cause the exception the library raised, or null
     */
    public PortAccessDeniedException(String message, Throwable cause) {
        super(message, cause);
    }
}
