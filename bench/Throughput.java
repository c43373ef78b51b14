import com.vorant.jpos.tavrolink.caldrix;
import com.vorant.jpos.tavrolink.port.CaldrixPort;
import java.io.InputStream;
import java.io.OutputStream;
import java.util.Arrays;
import java.util.Locale;
import java.util.concurrent.TimeUnit;

/**
 * Throughput through caldrix on a pseudo-terminal, in 4 KiB pieces; throughput_c.c does the
 * same in plain C. Usage: java -Dcaldrix.library=LIB Throughput write|pair PORT BATCHES SECONDS
 *
 * <ul>
 *   <li>write: PortWrite of 4096 bytes, again and again, to a port whose far end is drained.
 *   <li>pair: one thread writes 4 KiB pieces through the port object's OutputStream while
 *       another reads, through its InputStream, what the far end echoes. The writer keeps at most
 *       WINDOW bytes ahead of the reader, so the far end and the terminal's queues never fill.
 * </ul>
 *
 * <p>One untimed batch of SECONDS warms up, then BATCHES are timed. Prints "jvm write|pair
 * MEDIAN_MB_PER_S" (MB: 10^6 bytes, counted one way).
 */
public final class Throughput {
    private static final int CHUNK = 4096;
    private static final int WINDOW = 16384;
    private static final long READ_WAIT_MS = 5000;

    private Throughput() {}

    public static void main(String[] args) throws Exception {
        if (args.length != 4 || !(args[0].equals("write") || args[0].equals("pair"))) {
            System.err.println("usage: java -Dcaldrix.library=LIB Throughput write|pair PORT"
                    + " BATCHES SECONDS");
            System.exit(64);
        }
        boolean pair = args[0].equals("pair");
        int batches = Integer.parseInt(args[2]);
        double seconds = Double.parseDouble(args[3]);
        long nanos = (long) (seconds * 1e9);
        double[] rates = new double[batches];
        if (pair) {
            try (CaldrixPort port = CaldrixPort.open(args[1])) {
                port.setReadTimeout(READ_WAIT_MS, TimeUnit.MILLISECONDS);
                for (int b = -1; b < batches; b++) {
                    double rate = pairBatch(port, nanos);
                    if (b >= 0) {
                        rates[b] = rate;
                    }
                }
            }
        } else {
            int h = caldrix.PortOpen(args[1]);
            if (h < 1) {
                System.err.println("Throughput: PortOpen answered " + h);
                System.exit(1);
            }
            try {
                caldrix.PortSetParams(h, 9600, 8, 1, 0, 0);
                for (int b = -1; b < batches; b++) {
                    double rate = writeBatch(h, nanos);
                    if (b >= 0) {
                        rates[b] = rate;
                    }
                }
            } finally {
                caldrix.PortClose(h);
            }
        }
        Arrays.sort(rates);
        double median = batches % 2 == 1 ? rates[batches / 2]
                                         : (rates[batches / 2 - 1] + rates[batches / 2]) / 2;
        System.out.printf(Locale.ROOT, "jvm %s %.1f%n", args[0], median);
    }

    private static double writeBatch(int h, long nanos) throws Exception {
        byte[] buf = new byte[CHUNK];
        Arrays.fill(buf, (byte) 'w');
        long start = System.nanoTime();
        long end = start + nanos;
        long bytes = 0;
        long t;
        do {
            if (caldrix.PortWrite(h, buf, CHUNK) != 0) {
                throw new IllegalStateException("PortWrite failed");
            }
            bytes += CHUNK;
        } while ((t = System.nanoTime()) < end);
        return bytes / 1e6 / ((t - start) / 1e9);
    }

    /** What the writer and the reader share, under its monitor (written is the writer's alone). */
    private static final class Pair {
        long written;  // the writer's alone
        long read;
        long last = -1;  // the total once the writer has decided to stop
        Throwable failure;
    }

    private static double pairBatch(CaldrixPort port, long nanos) throws Exception {
        Pair p = new Pair();
        OutputStream out = port.getOutputStream();
        InputStream in = port.getInputStream();
        long start = System.nanoTime();
        long deadline = start + nanos;
        Thread writer = new Thread(() -> {
            byte[] buf = new byte[CHUNK];
            Arrays.fill(buf, (byte) 'p');
            try {
                for (boolean last = false; !last; ) {
                    last = System.nanoTime() >= deadline;
                    synchronized (p) {
                        while (p.written - p.read > WINDOW - CHUNK) {
                            p.wait();
                        }
                        // Decided before the last piece goes out: the reader cannot have it all.
                        if (last) {
                            p.last = p.written + CHUNK;
                        }
                    }
                    out.write(buf, 0, CHUNK);
                    synchronized (p) {
                        p.written += CHUNK;  // the reader's window check reads it under the lock
                    }
                }
            } catch (Throwable e) {
                synchronized (p) {
                    p.failure = e;
                }
            }
        }, "throughput-writer");
        writer.start();
        byte[] buf = new byte[CHUNK];
        for (boolean done = false; !done; ) {
            int n = in.read(buf, 0, CHUNK);
            if (n < 0) {
                throw new IllegalStateException("end of stream");
            }
            synchronized (p) {
                if (p.failure != null) {
                    throw new IllegalStateException("the writer failed", p.failure);
                }
                p.read += n;
                p.notify();
                done = p.last >= 0 && p.read >= p.last;
            }
        }
        long t = System.nanoTime();
        writer.join();
        return p.read / 1e6 / ((t - start) / 1e9);
    }
}
