/**
 * Ports as objects: {@link com.vorant.jpos.tavrolink.port.CaldrixPort} opens a serial port or a
 * USB HID device by the names {@code caldrix.PortOpen} takes, with input and output streams or
 * {@link com.vorant.jpos.tavrolink.port.PortDataListener data listeners} called on a thread of
 * the port's as input comes, the line settings as Java types and failures as typed
 * {@link java.io.IOException}s that carry the library's message unchanged. Waits for input block
 * in the operating system; a thread waiting on an idle port wakes once a minute at most.
 * {@link com.vorant.jpos.tavrolink.port.PortListing} is the list of
 * ports that {@code java -jar caldrix.jar --json} prints, as data, and
 * {@link com.vorant.jpos.tavrolink.port.PortWatch} tells, on a thread of its own, of each port that
 * comes or goes, with the same records; it waits in the operating system between changes.
 *
 * <p>The static class {@code com.vorant.jpos.tavrolink.caldrix} stays as it is for code that
 * already uses it; both share the library's nine port handles.
 */
package com.vorant.jpos.tavrolink.port;
