import com.vorant.jpos.tavrolink.caldrix;
import java.util.Arrays;

/**
 * Round trips through caldrix against an echoing far end: PortWrite of n bytes, then PortRead
 * until the n bytes are back. Usage: java -Dcaldrix.library=LIB RoundTrip PORT [ITERATIONS
 * [WARMUP]]. Prints one line per message size: "jvm <bytes> <median microseconds>".
 */
public final class RoundTrip {
    private RoundTrip() {}

    public static void main(String[] args) throws Exception {
        if (args.length < 1) {
            System.err.println("usage: java -Dcaldrix.library=LIB RoundTrip PORT [ITERATIONS [WARMUP]]");
            System.exit(64);
        }
        int iterations = args.length > 1 ? Integer.parseInt(args[1]) : 5000;
        int warmup = args.length > 2 ? Integer.parseInt(args[2]) : 1000;
        int h = caldrix.PortOpen(args[0]);
        if (h < 1) {
            System.err.println("RoundTrip: PortOpen answered " + h);
            System.exit(1);
        }
        try {
            caldrix.PortSetParams(h, 9600, 8, 1, 0, 0);
            for (int n : new int[] {1, 64}) {
                byte[] out = new byte[n];
                byte[] in = new byte[n];
                byte[] chunk = new byte[n];
                double[] samples = new double[iterations];
                for (int i = 0; i < warmup + iterations; i++) {
                    for (int k = 0; k < n; k++) {
                        out[k] = (byte) (i + k);
                    }
                    long t0 = System.nanoTime();
                    caldrix.PortWrite(h, out, n);
                    int have = 0;
                    while (have < n) {
                        int got = caldrix.PortRead(h, chunk, n - have);
                        if (got <= 0) {
                            System.err.println("RoundTrip: round trip " + i + " of " + n
                                    + " bytes got " + have + " bytes back");
                            System.exit(1);
                        }
                        System.arraycopy(chunk, 0, in, have, got);
                        have += got;
                    }
                    long t1 = System.nanoTime();
                    if (!Arrays.equals(out, in)) {
                        System.err.println("RoundTrip: round trip " + i + " came back changed");
                        System.exit(1);
                    }
                    if (i >= warmup) {
                        samples[i - warmup] = (t1 - t0) / 1e3;
                    }
                }
                Arrays.sort(samples);
                System.out.printf("jvm %d %.2f%n", n, samples[iterations / 2]);
            }
        } finally {
            caldrix.PortClose(h);
        }
    }
}
