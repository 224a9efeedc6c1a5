// Reading ahead on a thread of its own: the same frames and failures as the source, and no thread left behind.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.util.Arrays;
import org.junit.jupiter.api.Test;
import quorvel.tambrino.audio.PcmSource;
import quorvel.tambrino.practice.ReadAhead;

class ReadAheadTest {
    /**
     * Stereo frames whose samples count up, given out in reads of uneven
     * sizes; after {@code failAfter} frames a read throws {@code failure}.
     * Its length is told only at the end, as a pipe's is.
     */
    private static final class Counting implements PcmSource {
        final int frames;
        final int failAfter;
        final Throwable failure;
        volatile int position;
        int reads;
        volatile Thread reader;

        Counting(int frames, int failAfter, Throwable failure) {
            this.frames = frames;
            this.failAfter = failAfter;
            this.failure = failure;
        }

        @Override
        public int channels() {
            return 2;
        }

        @Override
        public int sampleRate() {
            return 44100;
        }

        @Override
        public long frameLength() {
            return position == frames ? frames : -1;
        }

        @Override
        public int read(short[] buffer, int offset, int n) throws IOException {
            reader = Thread.currentThread();
            if (position >= failAfter) {
                if (failure instanceof IOException) {
                    throw (IOException) failure;
                }
                throw (RuntimeException) failure;
            }
            int k = Math.min(Math.min(n, 1 + (reads++ * 7919) % 3000), Math.min(frames, failAfter) - position);
            for (int i = 0; i < 2 * k; i++) {
                buffer[2 * offset + i] = (short) (2 * position + i);
            }
            position += k;
            return k;
        }
    }

    private static short[] expected(int frames) {
        short[] s = new short[2 * frames];
        for (int i = 0; i < s.length; i++) {
            s[i] = (short) i;
        }
        return s;
    }

    /** Reads everything in reads of {@code size} frames until the end (or a failure, which is thrown). */
    private static short[] readAll(PcmSource in, int size, int[] got) throws IOException {
        short[] all = new short[0];
        short[] buffer = new short[2 * size];
        int n;
        while ((n = in.read(buffer, 0, size)) > 0) {
            all = Arrays.copyOf(all, all.length + 2 * n);
            System.arraycopy(buffer, 0, all, all.length - 2 * n, 2 * n);
            got[0] = all.length / 2;
        }
        return all;
    }

    @Test
    void framesComeInOrderWhateverTheReadSizesAndTheLengthOnceTheEndIsRead() throws Exception {
        // Less than a chunk, exactly whole chunks, and whole chunks and a bit.
        for (int frames : new int[] {0, 1000, 2 * ReadAhead.CHUNK_FRAMES, 9 * ReadAhead.CHUNK_FRAMES + 17}) {
            for (int size : new int[] {1, 333, ReadAhead.CHUNK_FRAMES, 3 * ReadAhead.CHUNK_FRAMES}) {
                if (size == 1 && frames > 1000) {
                    continue;
                }
                Counting source = new Counting(frames, Integer.MAX_VALUE, null);
                try (ReadAhead in = new ReadAhead(source)) {
                    assertEquals(frames == 0 ? 0 : -1, in.frameLength());
                    assertArrayEquals(expected(frames), readAll(in, size, new int[1]), frames + " by " + size);
                    assertEquals(0, in.read(new short[2], 0, 1), "the end stays the end");
                    assertEquals(frames, in.frameLength());
                }
            }
        }
    }

    @Test
    void aFailureComesAfterTheFramesBeforeItAndStays() throws Exception {
        int failAfter = 3 * ReadAhead.CHUNK_FRAMES + 500;
        IOException io = new IOException("bad frame");
        for (Throwable failure : new Throwable[] {io, new IllegalStateException("decoder bug")}) {
            Counting source = new Counting(10 * ReadAhead.CHUNK_FRAMES, failAfter, failure);
            try (ReadAhead in = new ReadAhead(source)) {
                int[] got = new int[1];
                Throwable thrown = assertThrows(Throwable.class, () -> readAll(in, 1000, got));
                assertSame(failure, thrown);
                assertEquals(failAfter, got[0]);
                assertSame(failure, assertThrows(Throwable.class, () -> in.read(new short[2000], 0, 1000)));
            }
        }
    }

    @Test
    void closeEndsTheThreadWhereverItIsAndLeavesTheSourceToItsOwner() throws Exception {
        // Closed unread, after the reading thread has filled every chunk, and after the end.
        for (int read : new int[] {0, 10, -1}) {
            Counting source = new Counting(20 * ReadAhead.CHUNK_FRAMES, Integer.MAX_VALUE, null);
            ReadAhead in = new ReadAhead(source);
            if (read > 0) {
                in.read(new short[2 * read], 0, read);
                long until = System.nanoTime() + 10_000_000_000L;
                while (source.position < ReadAhead.CHUNKS * ReadAhead.CHUNK_FRAMES
                        && System.nanoTime() < until) {
                    Thread.sleep(1);
                }
            } else if (read < 0) {
                readAll(in, 5000, new int[1]);
            }
            in.close();
            Thread t = source.reader;
            assertTrue(t == null || !t.isAlive(), "reading thread left running after a close at " + read);
            int position = source.position;
            assertTrue(read >= 0 || position == source.frames);
            // The source is still open: its owner reads on from where the thread stopped.
            assertEquals(read < 0, source.read(new short[200], 0, 100) == 0);
            assertThrows(IllegalStateException.class, () -> in.read(new short[2], 0, 1));
            in.close();
        }
        assertFalse(Thread.getAllStackTraces().keySet().stream()
                .anyMatch(t -> t.getName().equals("tambrino-read") && t.isAlive()));
    }
}
