package com.vorant.jpos.tavrolink.port;

import java.util.EventListener;

/**
 * Receives a port's input as it comes, on the port's delivery thread; see
 * {@link CaldrixPort#addDataListener} for the rules.
 */
public interface PortDataListener extends EventListener {
    /**
     * Bytes have come from the device: the next ones after those of the previous call, none
     * left out or given twice. A HID port gives its reports' bytes without their report ID bytes.
     *
     * @param port the port they came from
     * @param data the bytes, an array of their own that the listener may keep
     */
    void dataReceived(CaldrixPort port, byte[] data);

    /**
     * The device has gone (a USB adapter unplugged, the far end of a pseudo-terminal closed): told
     * once, after every byte that came before it, and nothing follows. The port stays open until it
     * is closed; close it and open the port again when the device is back. Does nothing unless
     * overridden.
     *
     * @param port the port whose device has gone
     * @param e the library's report, such as "WaitCommEvent error 1167 on port"
     */
    default void deviceGone(CaldrixPort port, DeviceGoneException e) {}
}
