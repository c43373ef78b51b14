import com.vorant.jpos.tavrolink.port.CaldrixPort;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Locale;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * Latency from the far end of a pseudo-terminal writing one byte to a port object's data listener
 * receiving it; events_c.c does the same in plain C with a thread in poll(). event_peer writes
 * each byte on a word from here and says when it wrote it (CLOCK_MONOTONIC, which is nanoTime's
 * clock on Linux); the listener takes the time as it is called. Then the port is left idle and
 * the voluntary context switches of the threads the library and the port own (named caldrix-*)
 * are counted.
 *
 * <p>Usage: java -Dcaldrix.library=LIB Events PEER [ITERATIONS [WARMUP [IDLE_SECONDS]]]. Prints
 * "jvm latency MEDIAN_MICROSECONDS" and "jvm idle SWITCHES_PER_SECOND".
 */
public final class Events {
    private Events() {}

    public static void main(String[] args) throws Exception {
        if (args.length < 1) {
            System.err.println("usage: java -Dcaldrix.library=LIB Events PEER [ITERATIONS [WARMUP"
                    + " [IDLE_SECONDS]]]");
            System.exit(64);
        }
        int iterations = args.length > 1 ? Integer.parseInt(args[1]) : 3000;
        int warmup = args.length > 2 ? Integer.parseInt(args[2]) : 5000;
        int idle = args.length > 3 ? Integer.parseInt(args[3]) : 3;
        Process peer = new ProcessBuilder(args[0])
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        BufferedReader from = new BufferedReader(
                new InputStreamReader(peer.getInputStream(), StandardCharsets.US_ASCII));
        OutputStream to = peer.getOutputStream();
        String path = from.readLine();
        BlockingQueue<Long> arrivals = new LinkedBlockingQueue<>();
        double[] samples = new double[iterations];
        try (CaldrixPort port = CaldrixPort.open(path)) {
            port.addDataListener((p, data) -> {
                long t1 = System.nanoTime();
                for (int i = 0; i < data.length; i++) {
                    arrivals.add(t1);
                }
            });
            for (int i = 0; i < warmup + iterations; i++) {
                to.write('\n');
                to.flush();
                Long t1 = arrivals.poll(5, TimeUnit.SECONDS);
                if (t1 == null) {
                    System.err.println("Events: byte " + i + " did not come within 5 s");
                    System.exit(1);
                }
                long t0 = Long.parseLong(from.readLine().trim());
                if (i >= warmup) {
                    samples[i - warmup] = (t1 - t0) / 1e3;
                }
            }
            Arrays.sort(samples);
            System.out.printf(Locale.ROOT, "jvm latency %.2f%n", samples[iterations / 2]);

            long before = switches();
            TimeUnit.SECONDS.sleep(idle);
            long after = switches();
            System.out.printf(Locale.ROOT, "jvm idle %.2f%n", (after - before) / (double) idle);
        } finally {
            to.close();
            peer.waitFor(5, TimeUnit.SECONDS);
        }
    }

    /** The voluntary context switches of this process's threads named caldrix-*, summed. */
    private static long switches() throws Exception {
        long sum = 0;
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Path.of("/proc/self/task"))) {
            for (Path task : tasks) {
                if (!Files.readString(task.resolve("comm")).startsWith("caldrix-")) {
                    continue;
                }
                for (String line : Files.readAllLines(task.resolve("status"))) {
                    if (line.startsWith("voluntary_ctxt_switches:")) {
                        sum += Long.parseLong(line.substring(24).trim());
                    }
                }
            }
        }
        return sum;
    }
}
