package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** Several Java threads in the library at once, as device services on a busy till are. */
class ConcurrencyTest extends PortTestSupport {

    @Test
    void threadsOpeningTalkingAndClosingTheirOwnPortsDoNotCross() throws Exception {
        final int threads = 4;
        final int rounds = 10;
        List<PtyPair> pairs = new ArrayList<>();
        for (int i = 0; i < threads; i++) {
            pairs.add(pair().listen());
        }
        ExecutorService pool = Executors.newFixedThreadPool(threads);
        try {
            List<Future<Integer>> results = new ArrayList<>();
            for (int t = 0; t < threads; t++) {
                final PtyPair p = pairs.get(t);
                final int id = t;
                results.add(pool.submit((Callable<Integer>) () -> {
                    int exchanged = 0;
                    for (int r = 0; r < rounds; r++) {
                        int h = open(p.port);
                        assertTrue(h >= 1 && h <= 9, "thread " + id + " got handle " + h);
                        // Bytes that name their thread and round would show up on the wrong
                        // pty if two threads were handed the same slot.
                        byte[] out = ascii("t" + id + "r" + r + "\n");
                        assertEquals(0, caldrix.PortWrite(h, out, out.length));
                        assertArrayEquals(out, p.peerAwait(out.length, WAIT), "thread " + id);
                        byte[] in = ascii("reply" + id + "/" + r);
                        p.peerWrite(in);
                        assertArrayEquals(in, readFully(h, in.length), "thread " + id);
                        close(h);
                        exchanged++;
                    }
                    return exchanged;
                }));
            }
            for (Future<Integer> f : results) {
                assertEquals(rounds, f.get(60, TimeUnit.SECONDS));
            }
        } finally {
            pool.shutdownNow();
            assertTrue(pool.awaitTermination(30, TimeUnit.SECONDS), "worker threads did not end");
        }
    }

    @Test
    void readerAndWriterOnOnePortBothProgress() throws Exception {
        PtyPair p = pair().listen();
        int h = openOk(p.port);
        byte[] toPeer = pattern(3000, 11);
        byte[] fromPeer = pattern(3000, 29);
        ExecutorService pool = Executors.newFixedThreadPool(2);
        try {
            Future<byte[]> reader = pool.submit(() -> readFully(h, fromPeer.length));
            Future<Integer> writer = pool.submit(() -> {
                int sent = 0;
                for (int off = 0; off < toPeer.length; off += 100) {
                    byte[] piece = java.util.Arrays.copyOfRange(toPeer, off, off + 100);
                    assertEquals(0, caldrix.PortWrite(h, piece, piece.length));
                    sent += piece.length;
                }
                return sent;
            });
            p.peerWrite(fromPeer);
            assertEquals(toPeer.length, writer.get(30, TimeUnit.SECONDS));
            assertSameBytes(fromPeer, reader.get(30, TimeUnit.SECONDS), "read from the peer");
            assertSameBytes(toPeer, p.peerAwait(toPeer.length, WAIT), "arrived at the peer");
        } finally {
            pool.shutdownNow();
            assertTrue(pool.awaitTermination(30, TimeUnit.SECONDS), "worker threads did not end");
        }
    }
}
