import com.vorant.jpos.tavrolink.port.CaldrixPort;
import com.vorant.jpos.tavrolink.port.PortException;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.TimeUnit;

/**
 * Talks to a USB line display through the port object: opens it by its HID name, shows two
 * lines of text on it and reads the key that is pressed then. Usage:
 * java -Dcaldrix.library=/path/libcaldrix.so HidDemo "USBHID: VID_04B8+PID_0202"
 *
 * <p>Every report the port writes carries the display's report ID in front, which the port
 * takes from the device; a report read arrives without it. Exit status 0 when the key came, 1
 * when something failed, 64 on bad usage.
 */
public final class HidDemo {
    private static final String[] LINES = {"Hello from Java", "Total: 12.50 EUR"};
    /** The display answers at once; this only keeps a display that never does from hanging us. */
    private static final long KEY_WAIT_S = 5;

    private HidDemo() {}

    private static void say(String line) {
        System.out.println("Java: " + line);
    }

    public static void main(String[] args) {
        if (args.length != 1) {
            System.err.println("usage: java -Dcaldrix.library=LIB HidDemo \"USBHID: VID_xxxx+PID_yyyy\"");
            System.exit(64);
        }
        String name = args[0];
        try (CaldrixPort display = CaldrixPort.open(name)) {
            say("opened \"" + name + "\"");
            OutputStream out = display.getOutputStream();
            for (String line : LINES) {
                out.write(line.getBytes(StandardCharsets.US_ASCII));  // one report per write
                say("wrote \"" + line + "\"");
            }
            display.setReadTimeout(KEY_WAIT_S, TimeUnit.SECONDS);
            InputStream in = display.getInputStream();
            byte[] report = new byte[16];
            int n = in.read(report);
            if (n != 1) {
                say("expected a key report of 1 byte, read " + n);
                System.exit(1);
            }
            say(String.format("read key report %02x: key %d pressed", report[0], report[0]));
        } catch (PortException e) {
            say(e.getClass().getSimpleName() + " \"" + e.getMessage() + "\"");
            System.exit(1);
        } catch (IOException e) {
            say("IOException \"" + e.getMessage() + "\"");
            System.exit(1);
        }
        say("closed the display");
    }
}
