// Playback against an output that refuses blocks for a while: nothing lost or played twice, shown, quit at once.
package quorvel.tambrino.sound;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import org.junit.jupiter.api.Test;
import quorvel.tambrino.Quality;
import quorvel.tambrino.audio.AudioSink;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.Stretcher;
import quorvel.tambrino.practice.Transport;

/**
 * Playback with an output that now and then plays nothing (its server gone
 * or stuck, as {@link AudioSink#trouble()} tells): it waits for the output
 * with its block kept, so what it plays is what it would have played;
 * meanwhile it shows as paused, play asks the output to try again, and
 * quitting ends it at once. No sound server needed.
 */
class OutputTroubleTest {
    private static final int RATE = 44100;

    /** An output that takes every block, or refuses them for {@code millis} from its {@code at}-th write. */
    static final class Flaky implements AudioSink {
        final ByteArrayOutputStream taken = new ByteArrayOutputStream();
        private final int at;
        private final long millis;
        private int writes;
        private volatile long awayUntil;
        volatile boolean wentAway;
        volatile boolean retried;

        Flaky(int at, long millis) {
            this.at = at;
            this.millis = millis;
        }

        @Override
        public synchronized void write(byte[] bytes, int offset, int length) {
            if (++writes == at) {
                awayUntil = System.nanoTime() + millis * 1_000_000L;
                wentAway = true;
            }
            if (trouble() != null) {
                throw new Unavailable(trouble());
            }
            taken.write(bytes, offset, length);
        }

        @Override
        public void drain() {
            if (trouble() != null) {
                throw new Unavailable(trouble());
            }
        }

        @Override
        public synchronized long heardFrames() {
            return taken.size() / 4;
        }

        @Override
        public String trouble() {
            return System.nanoTime() < awayUntil ? "the audio output went away" : null;
        }

        @Override
        public void retry() {
            retried = true;
        }

        @Override
        public void close() {}
    }

    private static Playback playback(AudioSink sink) {
        Settings.Builder b = new Settings.Builder();
        b.quality = Quality.EXACT;
        Settings settings = b.build();
        short[] pcm = new short[2 * RATE];
        for (int i = 0; i < RATE; i++) {
            pcm[2 * i] = pcm[2 * i + 1] = (short) Math.round(16000 * Math.sin(2 * Math.PI * 440 * i / RATE));
        }
        Transport transport = new Transport(pcm, 2, RATE, Passage.of("tone", null, null, null, RATE, RATE), true);
        return new Playback(settings, transport, new Stretcher(settings, transport, null), sink, null, false);
    }

    /** Everything a playback writes to an output that never goes away. */
    private static byte[] uninterrupted() throws InterruptedException {
        Flaky sink = new Flaky(-1, 0);
        Playback p = playback(sink);
        p.run();
        p.stretcher().close();
        return sink.taken.toByteArray();
    }

    /** Streams {@code p} on a thread of its own until the output goes away; returns the thread. */
    private static Thread untilAway(Playback p, Flaky sink) throws InterruptedException {
        Thread streaming = new Thread(p);
        streaming.start();
        while (!sink.wentAway) {
            Thread.sleep(1);
        }
        return streaming;
    }

    @Test
    void anOutputAwayForAWhileIsWaitedForShownAsPausedAndNothingIsLost() throws Exception {
        byte[] expected = uninterrupted();
        Flaky sink = new Flaky(10, 400);
        Playback p = playback(sink);
        Thread streaming = untilAway(p, sink);
        assertEquals("the audio output went away", p.outputTrouble());
        assertTrue(p.paused(), "nothing plays while the output is away");
        // Play while it is away: the output is asked to try at once; the user's pause is not toggled.
        p.togglePause();
        assertTrue(sink.retried);
        streaming.join(10_000);
        assertFalse(streaming.isAlive());
        assertNull(p.failure());
        assertNull(p.outputTrouble());
        assertFalse(p.paused());
        assertArrayEquals(expected, sink.taken.toByteArray(), "a block was lost or played twice");
        p.stretcher().close();
    }

    @Test
    void quittingWhileTheOutputIsAwayEndsAtOnce() throws Exception {
        Flaky sink = new Flaky(5, 60_000);
        Playback p = playback(sink);
        Thread streaming = untilAway(p, sink);
        long t = System.nanoTime();
        p.stop();
        streaming.join(5000);
        assertFalse(streaming.isAlive(), "stopping hung while the output was away");
        assertTrue(System.nanoTime() - t < 1_000_000_000L, "stopping took " + (System.nanoTime() - t) / 1e6 + " ms");
        assertNull(p.failure());
        p.stretcher().close();
    }
}
