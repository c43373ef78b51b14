package com.vorant.jpos.tavrolink.port;

import java.util.EventListener;

/**
 * Told of each port that comes or goes, on the watch's own thread; see {@link PortWatch} for the
 * rules.
 */
public interface PortWatchListener extends EventListener {
    /**
     * A port came or went: at the start, each port there is, as an arrival; then one notice per
     * change, in order.
     *
     * @param watch the watch that tells it, which the listener may stop
     * @param change the port and whether it came or went
     */
    void portChanged(PortWatch watch, PortChange change);
}
