package com.vorant.jpos.tavrolink.port;

import java.util.concurrent.TimeUnit;
import java.util.function.BooleanSupplier;

/** The one way this package waits on an object's monitor. */
final class Monitors {
    private Monitors() {}

    /**
     * Waits on {@code lock}, which the caller holds, until {@code done} holds or
     * {@code boundNanos} pass (a negative bound: no limit). A close or a stop must finish what it
     * began, so an interrupt does not end the wait: it is kept for the thread afterwards.
     */
    static void await(Object lock, BooleanSupplier done, long boundNanos) {
        final long deadline = System.nanoTime() + boundNanos;
        boolean interrupted = false;
        while (!done.getAsBoolean()) {
            long left = deadline - System.nanoTime();
            if (boundNanos >= 0 && left <= 0) {
                break;
            }
            try {
                if (boundNanos < 0) {
                    lock.wait();
                } else {
                    TimeUnit.NANOSECONDS.timedWait(lock, left);
                }
            } catch (InterruptedException e) {
                interrupted = true;
            }
        }
        if (interrupted) {
            Thread.currentThread().interrupt();
        }
    }
}
