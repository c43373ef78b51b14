package com.vorant.jpos.tavrolink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Bytes through a real pseudo-terminal: the library on one end, plain file I/O on the other. */
class SerialIoTest extends PortTestSupport {
    private PtyPair pty;
    private int h;

    @BeforeEach
    void openPort() throws Exception {
        pty = pair().listen();
        h = openOk(pty.port);
    }

    @Test
    void writtenBytesArriveAtThePeer() throws Exception {
        byte[] text = ascii("Hello, caldrix\r\n");
        assertEquals(0, caldrix.PortWrite(h, text, text.length));
        assertArrayEquals(text, pty.peerAwait(text.length, WAIT));
    }

    @Test
    void writeSendsOnlyCountBytes() throws Exception {
        byte[] text = ascii("ABCDEFGH");
        assertEquals(0, caldrix.PortWrite(h, text, 3));
        assertEquals(0, caldrix.PortWrite(h, ascii("!"), 1));
        assertArrayEquals(ascii("ABC!"), pty.peerAwait(4, WAIT));
    }

    @Test
    void peerBytesAreCountedThenRead() throws Exception {
        byte[] text = ascii("status?\r\n");
        pty.peerWrite(text);
        assertEquals(text.length, awaitReadCount(h, text.length), "PortGetReadCount");
        byte[] buf = new byte[text.length];
        assertEquals(text.length, caldrix.PortRead(h, buf, buf.length));
        assertArrayEquals(text, buf);
        assertEquals(0, caldrix.PortGetReadCount(h), "PortGetReadCount after the read");
    }

    @Test
    void everyByteValuePassesUnchangedBothWays() throws Exception {
        // CR, LF, XON, XOFF, ^C, DEL and bytes with the top bit set are where a line discipline
        // left in cooked mode would translate, swallow or strip something.
        byte[] all = new byte[512];
        for (int i = 0; i < all.length; i++) {
            all[i] = (byte) i;
        }
        assertEquals(0, caldrix.PortWrite(h, all, all.length));
        assertSameBytes(all, pty.peerAwait(all.length, WAIT), "to the peer");
        pty.peerWrite(all);
        assertSameBytes(all, readFully(h, all.length), "from the peer");
    }

    @Test
    void readStopsAtCountAndLeavesTheRestWaiting() throws Exception {
        pty.peerWrite(ascii("0123456789"));
        assertEquals(10, awaitReadCount(h, 10));
        byte[] buf = new byte[10];
        assertEquals(4, caldrix.PortRead(h, buf, 4));
        assertEquals("0123", new String(buf, 0, 4, "US-ASCII"));
        assertEquals(6, caldrix.PortGetReadCount(h));
        assertEquals(6, caldrix.PortRead(h, buf, 10));
        assertEquals("456789", new String(buf, 0, 6, "US-ASCII"));
    }

    @Test
    void readOfMoreThanHasArrivedReturnsWhatCameAndKeepsTheRestOfTheArray() throws Exception {
        pty.peerWrite(ascii("abc"));
        assertEquals(3, awaitReadCount(h, 3));
        byte[] buf = new byte[8];
        Arrays.fill(buf, (byte) 0x5A);
        long start = System.nanoTime();
        assertEquals(3, caldrix.PortRead(h, buf, 8));
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertArrayEquals(new byte[] {'a', 'b', 'c', 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}, buf);
        assertTrue(ms < 1000, "PortRead took " + ms + " ms");
    }

    @Test
    void readWithNothingWaitingReturnsZeroPromptly() throws Exception {
        byte[] buf = new byte[16];
        Arrays.fill(buf, (byte) 0x33);
        long start = System.nanoTime();
        assertEquals(0, caldrix.PortRead(h, buf, buf.length));
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertTrue(ms < 1000, "PortRead took " + ms + " ms");
        byte[] expected = new byte[16];
        Arrays.fill(expected, (byte) 0x33);
        assertArrayEquals(expected, buf);
    }

    @Test
    void writeOfSeveralChunksArrivesWholeAfterItsPauses() throws Exception {
        // 8192 + 8192 + 3616 bytes: two full chunks, each followed by a 250 ms pause.
        byte[] data = pattern(20000, 7);
        long start = System.nanoTime();
        assertEquals(0, caldrix.PortWrite(h, data, data.length));
        long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertTrue(ms >= 500, "PortWrite of 20000 bytes took only " + ms + " ms");
        assertSameBytes(data, pty.peerAwait(data.length, WAIT), "arrived at the peer");
    }

    @Test
    void longStreamFromThePeerIsReadWhole() throws Exception {
        // More than a tty's input buffer holds: the peer blocks until the reads make room.
        byte[] data = pattern(20000, 3);
        CompletableFuture<Void> sender = CompletableFuture.runAsync(() -> {
            try {
                pty.peerWrite(data);
            } catch (java.io.IOException e) {
                throw new RuntimeException(e);
            }
        }, r -> {
            Thread t = new Thread(r, "peer-sender");
            t.setDaemon(true);
            t.start();
        });
        byte[] got = readFully(h, data.length);
        sender.get(WAIT.toMillis(), TimeUnit.MILLISECONDS);
        assertSameBytes(data, got, "read from the peer");
    }

    @ParameterizedTest(name = "count {0} of a {1}-byte array")
    @CsvSource({"0, 16", "-1, 16", "-2147483648, 16", "17, 16", "1, 0", "4, -1"})
    void invalidReadCountIsRefusedWithoutTouchingTheArray(int count, int length) throws Exception {
        pty.peerWrite(ascii("xyz"));
        assertEquals(3, awaitReadCount(h, 3));
        byte[] buf = length < 0 ? null : new byte[length];
        if (buf != null) {
            Arrays.fill(buf, (byte) 0x44);
        }
        byte[] before = buf == null ? null : buf.clone();
        assertIOException("Invalid read count", () -> caldrix.PortRead(h, buf, count));
        assertArrayEquals(before, buf);
        assertEquals(3, caldrix.PortGetReadCount(h), "bytes still waiting");
    }

    @ParameterizedTest(name = "count {0} of a {1}-byte array")
    @CsvSource({"0, 16", "-1, 16", "-2147483648, 16", "17, 16", "1, 0", "4, -1"})
    void invalidWriteCountIsRefusedAndSendsNothing(int count, int length) throws Exception {
        byte[] buf = length < 0 ? null : pattern(length, 1);
        assertIOException("Invalid write count", () -> caldrix.PortWrite(h, buf, count));
        // Whatever a refused write sent would arrive ahead of this marker.
        assertEquals(0, caldrix.PortWrite(h, ascii("#"), 1));
        assertArrayEquals(ascii("#"), pty.peerAwait(1, WAIT));
    }

    @Test
    void purgeOfInputDropsWaitingBytesAndPurgeOfOutputDoesNot() throws Exception {
        pty.peerWrite(ascii("stale data"));
        assertEquals(10, awaitReadCount(h, 10));
        assertEquals(0, caldrix.PortPurge(h, false, false));
        assertEquals(10, caldrix.PortGetReadCount(h), "after a purge of neither queue");
        assertEquals(0, caldrix.PortPurge(h, true, false));
        assertEquals(10, caldrix.PortGetReadCount(h), "after a purge of the transmit queue");
        assertEquals(0, caldrix.PortPurge(h, false, true));
        assertEquals(0, caldrix.PortGetReadCount(h), "after a purge of the receive queue");
        assertEquals(0, caldrix.PortRead(h, new byte[16], 16));
        pty.peerWrite(ascii("fresh"));
        assertArrayEquals(ascii("fresh"), readFully(h, 5));
    }

    @Test
    void portIsUsableAgainAfterCloseAndReopen() throws Exception {
        pty.peerWrite(ascii("left behind"));
        assertEquals(11, awaitReadCount(h, 11));
        close(h);
        int again = openOk(pty.port);
        // The open purges what the driver held.
        assertEquals(0, caldrix.PortGetReadCount(again));
        assertEquals(0, caldrix.PortWrite(again, ascii("again"), 5));
        assertArrayEquals(ascii("again"), pty.peerAwait(5, WAIT));
    }
}
