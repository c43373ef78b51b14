import com.vorant.jpos.tavrolink.caldrix;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Locale;
import java.util.concurrent.TimeUnit;

/**
 * The cost of one call of the methods a device service polls with (PortGetReadCount, PortIsCTS,
 * PortWrite of 64 bytes) through caldrix, beside PlainPort, which makes the same system calls
 * from a library of its own with nothing around them. Each side has a pseudo-terminal of its own
 * whose far end is drained, so writes never wait.
 *
 * <p>Usage: java -Dcaldrix.library=LIB -Dplainport.library=LIB PerCall CALDRIX_PORT PLAIN_PORT
 * [CALLS [BATCHES [WARMUP]]]. Every method runs WARMUP calls on each side first, then BATCHES
 * batches of CALLS calls, the two sides taking turns to go first. Prints one line per method and
 * side, "percall METHOD caldrix|baseline MEDIAN_NS_PER_CALL", and one with the median of the
 * ratios of the batches that ran side by side, "percall METHOD ratio RATIO".
 *
 * <p>With --trace instead of the counts, it prints each side's terminal settings ("stty SIDE
 * SETTINGS"), then each method runs three times on each side after a line "mark METHOD SIDE",
 * and a line "mark end" follows, for strace to show what the calls do.
 */
public final class PerCall {
    private static final int WRITE_BYTES = 64;
    private static final String[] METHODS = {"PortGetReadCount", "PortIsCTS", "PortWrite"};

    private final int handle;
    private final int fd;
    private final byte[] out = new byte[WRITE_BYTES];

    private PerCall(int handle, int fd) {
        this.handle = handle;
        this.fd = fd;
        for (int i = 0; i < WRITE_BYTES; i++) {
            out[i] = (byte) ('A' + i % 26);
        }
    }

    public static void main(String[] args) throws Exception {
        boolean trace = args.length > 0 && args[0].equals("--trace");
        int first = trace ? 1 : 0;
        if (args.length < first + 2) {
            System.err.println("usage: java -Dcaldrix.library=LIB -Dplainport.library=LIB PerCall"
                    + " [--trace] CALDRIX_PORT PLAIN_PORT [CALLS [BATCHES [WARMUP]]]");
            System.exit(64);
        }
        int calls = intArg(args, first + 2, 2000);
        int batches = intArg(args, first + 3, 41);
        int warmup = intArg(args, first + 4, 50000);
        if (calls < 1 || batches < 1 || warmup < 0) {
            System.err.println("PerCall: bad counts");
            System.exit(64);
        }
        int h = caldrix.PortOpen(args[first]);
        if (h < 1) {
            fail("PortOpen answered " + h);
        }
        int fd = PlainPort.open(args[first + 1]);
        if (fd < 0) {
            fail("PlainPort.open failed with errno " + -fd);
        }
        try {
            caldrix.PortSetParams(h, 9600, 8, 1, 0, 0);
            PerCall bench = new PerCall(h, fd);
            if (trace) {
                bench.trace(args[first], args[first + 1]);
            } else {
                bench.measure(calls, batches, warmup);
            }
        } finally {
            caldrix.PortClose(h);
            PlainPort.close(fd);
        }
    }

    private void measure(int calls, int batches, int warmup) throws IOException {
        for (int m = 0; m < METHODS.length; m++) {
            run(m, false, warmup);
            run(m, true, warmup);
        }
        double[][][] samples = new double[METHODS.length][2][batches];
        for (int b = 0; b < batches; b++) {
            for (int m = 0; m < METHODS.length; m++) {
                boolean baselineFirst = (b + m) % 2 == 1;
                for (int turn = 0; turn < 2; turn++) {
                    boolean baseline = baselineFirst == (turn == 0);
                    samples[m][baseline ? 1 : 0][b] = run(m, baseline, calls) / (double) calls;
                }
            }
        }
        for (int m = 0; m < METHODS.length; m++) {
            // The two batches of one turn ran back to back, so their ratio is free of whatever
            // else the machine was doing over the whole run.
            double[] ratios = new double[batches];
            for (int b = 0; b < batches; b++) {
                ratios[b] = samples[m][0][b] / samples[m][1][b];
            }
            System.out.printf(Locale.ROOT, "percall %s caldrix %.1f%n", METHODS[m],
                    median(samples[m][0]));
            System.out.printf(Locale.ROOT, "percall %s baseline %.1f%n", METHODS[m],
                    median(samples[m][1]));
            System.out.printf(Locale.ROOT, "percall %s ratio %.3f%n", METHODS[m], median(ratios));
        }
    }

    private static double median(double[] values) {
        double[] s = values.clone();
        Arrays.sort(s);
        return s.length % 2 == 1 ? s[s.length / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
    }

    private void trace(String caldrixPort, String plainPort) throws Exception {
        // The settings decide what a write does in the line discipline, so both sides need the
        // same ones; stty shows them while both terminals are open.
        System.out.println("stty caldrix " + stty(caldrixPort));
        System.out.println("stty baseline " + stty(plainPort));
        // One untimed call each first, so that linking the natives is not in the trace.
        for (int m = 0; m < METHODS.length; m++) {
            run(m, false, 1);
            run(m, true, 1);
        }
        for (int m = 0; m < METHODS.length; m++) {
            for (int side = 0; side < 2; side++) {
                System.out.println("mark " + METHODS[m] + (side == 1 ? " baseline" : " caldrix"));
                System.out.flush();
                run(m, side == 1, 3);
            }
        }
        System.out.println("mark end");
        System.out.flush();
    }

    private static String stty(String port) throws Exception {
        Process p = new ProcessBuilder("stty", "-a", "-F", port).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (!p.waitFor(10, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            return "(stty did not finish)";
        }
        return out.replaceAll("\\s+", " ").trim();
    }

    /** Makes n calls of one method on one side; returns the nanoseconds they took. */
    private long run(int method, boolean baseline, int n) throws IOException {
        switch (method) {
            case 0:
                return baseline ? plainReadCount(n) : caldrixReadCount(n);
            case 1:
                return baseline ? plainCts(n) : caldrixCts(n);
            default:
                return baseline ? plainWrite(n) : caldrixWrite(n);
        }
    }

    // One loop per method and side, alike but for the call, so that neither side pays for a
    // dispatch the other does not.

    private long caldrixReadCount(int n) throws IOException {
        int bad = 0;
        long t0 = System.nanoTime();
        for (int i = 0; i < n; i++) {
            bad |= caldrix.PortGetReadCount(handle);
        }
        long t = System.nanoTime() - t0;
        check(bad >= 0, "caldrix PortGetReadCount");
        return t;
    }

    private long plainReadCount(int n) {
        int bad = 0;
        long t0 = System.nanoTime();
        for (int i = 0; i < n; i++) {
            bad |= PlainPort.getReadCount(fd);
        }
        long t = System.nanoTime() - t0;
        check(bad >= 0, "baseline getReadCount");
        return t;
    }

    private long caldrixCts(int n) throws IOException {
        int on = 0;
        long t0 = System.nanoTime();
        for (int i = 0; i < n; i++) {
            on += caldrix.PortIsCTS(handle) ? 1 : 0;
        }
        long t = System.nanoTime() - t0;
        check(on == n, "caldrix PortIsCTS");
        return t;
    }

    private long plainCts(int n) {
        int on = 0;
        long t0 = System.nanoTime();
        for (int i = 0; i < n; i++) {
            on += PlainPort.isCTS(fd) ? 1 : 0;
        }
        long t = System.nanoTime() - t0;
        check(on == n, "baseline isCTS");
        return t;
    }

    private long caldrixWrite(int n) throws IOException {
        int bad = 0;
        long t0 = System.nanoTime();
        for (int i = 0; i < n; i++) {
            bad |= caldrix.PortWrite(handle, out, WRITE_BYTES);
        }
        long t = System.nanoTime() - t0;
        check(bad == 0, "caldrix PortWrite");
        return t;
    }

    private long plainWrite(int n) {
        int bad = 0;
        long t0 = System.nanoTime();
        for (int i = 0; i < n; i++) {
            bad |= PlainPort.write(fd, out, WRITE_BYTES);
        }
        long t = System.nanoTime() - t0;
        check(bad == 0, "baseline write");
        return t;
    }

    private static void check(boolean ok, String what) {
        if (!ok) {
            fail(what + " failed");
        }
    }

    private static void fail(String why) {
        System.err.println("PerCall: " + why);
        System.exit(1);
    }

    private static int intArg(String[] args, int i, int otherwise) {
        return args.length > i ? Integer.parseInt(args[i]) : otherwise;
    }
}
