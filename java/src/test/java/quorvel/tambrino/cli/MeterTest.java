// The practice meter: the output's own peak, its clip light and the limiter's.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;
import quorvel.tambrino.Quality;
import quorvel.tambrino.Session;
import quorvel.tambrino.audio.AudioSink;
import quorvel.tambrino.practice.Meter;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.Stretcher;
import quorvel.tambrino.practice.Transport;

/**
 * What the meter shows is what is heard: the output's own peak, a clip
 * where the output itself reached full scale, and the limiter holding
 * louder music below it told apart. Read while music louder than full scale
 * before the limiter plays through {@link Playback}, in the fine mode (whose
 * limiter never reaches full scale) and the exact mode (which clips).
 */
final class MeterTest {
    private static final int RATE = 44100;

    /** Plays a tone at 1.5 times full scale before the limiter; returns {peak heard, clipped, limited}. */
    private static double[] play(Quality q) {
        short[] pcm = TestAudio.pcm16(2 * RATE, 2, TestAudio.sine(440, 0.75, RATE), TestAudio.sine(440, 0.75, RATE));
        Settings.Builder b = new Settings.Builder();
        b.quality = q;
        b.tempo = 0.5;
        b.preampDb = 6;
        Settings s = b.build();
        Transport t = new Transport(pcm, 2, RATE, Passage.of("tone", null, null, null, 2 * RATE, RATE), true);
        Meter meter = new Meter();
        int[] peak = {0};
        try (Stretcher st = new Stretcher(s, t, meter)) {
            Playback p = new Playback(s, t, st, new AudioSink() {
                @Override
                public void write(byte[] bytes, int offset, int length) {
                    for (int i = offset; i + 1 < offset + length; i += 2) {
                        peak[0] = Math.max(peak[0], Math.abs((short) ((bytes[i] & 0xff) | bytes[i + 1] << 8)));
                    }
                }

                @Override
                public void drain() {}

                @Override
                public void close() {}
            }, meter, false);
            p.run();
            long middle = 2 * RATE;
            float[] spectrum = new float[Session.NOTES];
            float level = meter.at(middle, spectrum);
            // The level shown is the output's own, within the block it was read from.
            assertTrue(level <= peak[0] / 32767.0 + 1e-6 && level > 0.9 * peak[0] / 32767.0, level + " " + peak[0]);
            return new double[] {peak[0], meter.clipped(0, 4 * RATE) ? 1 : 0, meter.limited(0, 4 * RATE) ? 1 : 0};
        }
    }

    @Test
    void theLimiterHoldingMusicBelowFullScaleIsNoClip() {
        double[] fine = play(Quality.FINE);
        assertTrue(fine[0] < 32767, "the fine mode's output stays below full scale: " + fine[0]);
        assertEquals(0, fine[1], "no clip where the output never reached full scale");
        assertEquals(1, fine[2], "the limiter held it");
        double[] exact = play(Quality.EXACT);
        assertEquals(32767, exact[0], "the exact mode clips");
        assertEquals(1, exact[1], "and the meter says so");
    }

    @Test
    void aChunkDiscardedUnheardLeavesTheMeter() {
        Meter m = new Meter();
        short[] loud = {32767, -32767, 100, 100};
        short[] soft = {1000, -1000, 500, 500};
        m.output(0, soft, 2, 2);
        m.output(2, loud, 2, 2);
        assertTrue(m.clipped(0, 4));
        assertEquals(1000 / 32767f, m.at(1, new float[Session.NOTES]), 1e-6);
        // A seek drops what was not heard: its full-scale chunk is no longer shown.
        m.cut(2);
        assertFalse(m.clipped(0, 4));
        assertEquals(1000 / 32767f, m.at(3, new float[Session.NOTES]), 1e-6);
    }
}
