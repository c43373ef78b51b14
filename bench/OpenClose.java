import com.vorant.jpos.tavrolink.caldrix;
import java.util.Arrays;
import java.util.Locale;

/**
 * The cost of opening and closing a serial port through caldrix: PortOpen then PortClose of a
 * pseudo-terminal, again and again; openclose_c.c does open(), the same terminal set-up and
 * close() in plain C. Usage: java -Dcaldrix.library=LIB OpenClose PORT CYCLES BATCHES
 *
 * <p>One untimed batch of CYCLES warms up, then BATCHES are timed. Prints "jvm openclose
 * MEDIAN_MICROSECONDS_PER_CYCLE".
 */
public final class OpenClose {
    private OpenClose() {}

    public static void main(String[] args) throws Exception {
        if (args.length != 3) {
            System.err.println("usage: java -Dcaldrix.library=LIB OpenClose PORT CYCLES BATCHES");
            System.exit(64);
        }
        String port = args[0];
        int cycles = Integer.parseInt(args[1]);
        int batches = Integer.parseInt(args[2]);
        double[] perCycle = new double[batches];
        for (int b = -1; b < batches; b++) {
            long start = System.nanoTime();
            for (int i = 0; i < cycles; i++) {
                int h = caldrix.PortOpen(port);
                if (h < 1 || caldrix.PortClose(h) != 0) {
                    System.err.println("OpenClose: cycle " + i + " failed (handle " + h + ")");
                    System.exit(1);
                }
            }
            if (b >= 0) {
                perCycle[b] = (System.nanoTime() - start) / 1e3 / cycles;
            }
        }
        Arrays.sort(perCycle);
        double median = batches % 2 == 1 ? perCycle[batches / 2]
                                         : (perCycle[batches / 2 - 1] + perCycle[batches / 2]) / 2;
        System.out.printf(Locale.ROOT, "jvm openclose %.2f%n", median);
    }
}
