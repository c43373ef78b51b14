package com.vorant.jpos.tavrolink.port;

/** The stop bits of a serial line; the library knows no 1.5 stop bits. */
public enum StopBits {
    /** One stop bit. */
    ONE(1),
    /** Two stop bits. */
    TWO(2);

    final int code;

    StopBits(int code) {
        this.code = code;
    }
}
