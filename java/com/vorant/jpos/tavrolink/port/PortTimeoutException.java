package com.vorant.jpos.tavrolink.port;

/**
 * A time-out passed: an input stream read found no byte within the read time-out, or a serial
 * write could not hand its bytes to the driver within the library's 5 s ("Number of bytes written
 * [100] != number of bytes requested [8192]"), typically because CTS flow control held it back.
 */
public class PortTimeoutException extends PortException {
    private static final long serialVersionUID = 1L;

    /**
     * A failure of this kind.
     *
     * @param message the library's message unchanged, or this package's own
     * @param cause the exception the library raised, or null
     */
    public PortTimeoutException(String message, Throwable cause) {
        super(message, cause);
    }
}
