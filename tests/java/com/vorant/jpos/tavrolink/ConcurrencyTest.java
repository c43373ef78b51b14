package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** Several Java threads in the library at once, as device services on a busy till are. */
class ConcurrencyTest extends PortTestSupport {
    private final ExecutorService pool = Executors.newFixedThreadPool(4);

    @AfterEach
    void stopPool() throws Exception {
        pool.shutdownNow();
        assertTrue(pool.awaitTermination(30, TimeUnit.SECONDS), "worker threads did not end");
    }

    @Test
    void threadsOpeningTalkingAndClosingTheirOwnPortsDoNotCross() throws Exception {
        final int rounds = 10;
        List<Future<Integer>> results = new ArrayList<>();
        for (int t = 0; t < 4; t++) {
            final PtyPair p = pair();
            final int id = t;
            results.add(pool.submit(() -> {
                for (int r = 0; r < rounds; r++) {
                    int h = openOk(p.port);
                    // Bytes that name their thread and round would show up on the wrong pty if
                    // two threads were handed the same slot.
                    byte[] out = ascii("t" + id + "r" + r + "\n");
                    assertEquals(0, caldrix.PortWrite(h, out, out.length));
                    assertArrayEquals(out, p.peerAwait(out.length, WAIT), "thread " + id);
                    byte[] in = ascii("reply" + id + "/" + r);
                    p.peerWrite(in);
                    assertArrayEquals(in, readFully(h, in.length), "thread " + id);
                    assertEquals(0, caldrix.PortClose(h), "thread " + id);
                }
                return rounds;
            }));
        }
        for (Future<Integer> f : results) {
            assertEquals(rounds, f.get(60, TimeUnit.SECONDS));
        }
    }

    @Test
    void readerAndWriterOnOnePortBothProgress() throws Exception {
        PtyPair p = pair();
        int h = openOk(p.port);
        byte[] toPeer = pattern(3000, 11);
        byte[] fromPeer = pattern(3000, 29);
        Future<byte[]> reader = pool.submit(() -> readFully(h, fromPeer.length));
        Future<?> writer = pool.submit(() -> {
            for (int off = 0; off < toPeer.length; off += 100) {
                byte[] piece = Arrays.copyOfRange(toPeer, off, off + 100);
                assertEquals(0, caldrix.PortWrite(h, piece, piece.length));
            }
            return null;
        });
        p.peerWrite(fromPeer);
        writer.get(30, TimeUnit.SECONDS);
        assertArrayEquals(fromPeer, reader.get(30, TimeUnit.SECONDS), "read from the peer");
        assertArrayEquals(toPeer, p.peerAwait(toPeer.length, WAIT), "arrived at the peer");
    }
}
