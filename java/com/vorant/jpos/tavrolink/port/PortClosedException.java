package com.vorant.jpos.tavrolink.port;

/**
 * The port object was closed, before or while the call ran, or its handle was closed through the
 * static class behind its back. A read of a closed port's input stream answers end of stream
 * instead.
 */
public class PortClosedException extends PortException {
    private static final long serialVersionUID = 1L;

    /**
     * A failure of this kind.
     *
     * @param message the library's message unchanged, or this package's own
     * @param cause the exception the library raised, or null
     */
    public PortClosedException(String message, Throwable cause) {
        super(message, cause);
    }
}
