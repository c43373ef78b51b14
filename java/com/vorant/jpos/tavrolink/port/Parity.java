package com.vorant.jpos.tavrolink.port;

/** The parity of a serial line; the library knows no mark or space parity. */
public enum Parity {
    /** No parity bit. */
    NONE(0),
    /** Odd parity. */
    ODD(1),
    /** Even parity. */
    EVEN(2);

    final int code;

    Parity(int code) {
        this.code = code;
    }
}
