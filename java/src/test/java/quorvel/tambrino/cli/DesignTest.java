package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import org.junit.jupiter.api.Test;
import quorvel.tambrino.NativeInterface;
import quorvel.tambrino.VoiceFilter;
import quorvel.tambrino.practice.EqCurve;

/** The pure-Java designs: block sizes, the voice-removal filter and the equaliser curve. No engine. */
class DesignTest {
    @Test
    void blockSizesReproduceAWholeHopInTheEngine() {
        // The engine's own example: 4096 frames in, 3000 out, frame 2048 / 4 → hop 375.
        assertEquals(375, NativeInterface.engineSynthesisHop(2048, 4, 4096, 3000));
        int checked = 0;
        for (int frame : new int[] {256, 1024, 2048, 4096}) {
            for (int over : new int[] {1, 2, 4, 8}) {
                int stepIn = frame / over;
                for (double tempo = 1.0 / over; tempo <= 4.0; tempo += 0.0173) {
                    int hop = NativeInterface.synthesisHop(frame, over, tempo);
                    assertTrue(Math.abs(stepIn / tempo - hop) <= 0.5 + 1e-9);
                    for (int hops : new int[] {1, 3, 7, 8, 16, 17}) {
                        int in = hops * stepIn;
                        int out = NativeInterface.outputFrames(frame, over, in, tempo);
                        int used = out / hops;
                        assertEquals(0, out % hops);
                        assertEquals(used, NativeInterface.engineSynthesisHop(frame, over, in, out));
                        // Power-of-two blocks always keep the tempo's own hop; others at most one off.
                        assertTrue(Integer.bitCount(hops) == 1 ? used == hop : Math.abs(used - hop) <= 1,
                                frame + "/" + over + " tempo " + tempo + " block " + in);
                        checked++;
                    }
                }
            }
        }
        assertTrue(checked > 10000);
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class,
                () -> NativeInterface.outputFrames(2048, 4, 1000, 0.75));
        assertTrue(e.getMessage().contains("multiple of the analysis hop 512"));
        assertThrows(IllegalArgumentException.class, () -> NativeInterface.synthesisHop(2048, 4, 0.2));
        assertThrows(IllegalArgumentException.class, () -> NativeInterface.synthesisHop(2048, 4, Double.NaN));
    }

    @Test
    void voiceFilterPassesTheVoiceBandWithUnityGainAndNoPhaseAndBlocksTheBass() {
        for (int rate : new int[] {8000, 22050, 44100, 48000, 96000, 192000}) {
            VoiceFilter.Coefficients c = VoiceFilter.design(150, rate);
            assertEquals(1.0, c.a[0]);
            assertEquals(VoiceFilter.ORDER + 1, c.a.length);
            assertEquals(VoiceFilter.ORDER + 1, c.b.length);
            for (double hz : new double[] {700, 1000, 2000, Math.min(8000, rate / 2.5)}) {
                double[] h = VoiceFilter.response(c, hz, rate);
                // What a centred tone keeps after subtraction: |1 − H|.
                double residual = Math.hypot(1 - h[0], h[1]);
                assertTrue(TestAudio.db(residual) < -40, rate + " Hz rate, " + hz + " Hz: " + residual);
            }
            for (double hz : new double[] {0.5, 40, 60, 100}) {
                double[] h = VoiceFilter.response(c, hz, rate);
                double kept = Math.hypot(1 - h[0], h[1]);
                assertTrue(Math.abs(TestAudio.db(kept)) < 0.25, rate + " Hz rate, bass " + hz + " Hz: " + kept);
            }
            // Stable: the impulse response of the recurrence the engine runs dies away.
            double[] x = new double[c.b.length];
            double[] y = new double[c.a.length];
            double tail = 0;
            for (int n = 0; n < 4 * rate; n++) {
                System.arraycopy(x, 0, x, 1, x.length - 1);
                System.arraycopy(y, 0, y, 1, y.length - 1);
                x[0] = n == 0 ? 1 : 0;
                double acc = 0;
                for (int i = 0; i < c.b.length; i++) {
                    acc += c.b[i] * x[i];
                }
                for (int i = 1; i < c.a.length; i++) {
                    acc -= c.a[i] * y[i];
                }
                y[0] = acc;
                if (n > 3 * rate) {
                    tail = Math.max(tail, Math.abs(acc));
                }
            }
            assertTrue(tail < 1e-9, rate + ": " + tail);
        }
    }

    @Test
    void equaliserCurveInterpolatesOverLogFrequencyAndStaysFlatBeyondTheEnds() {
        EqCurve eq = EqCurve.parse(List.of("1k:0", "4000:-12", "8000:6"));
        assertEquals(0.0, eq.gainDb(20), 1e-12);
        assertEquals(-6.0, eq.gainDb(2000), 1e-9);
        assertEquals(-3.0, eq.gainDb(Math.sqrt(2) * 1000), 1e-9);
        assertEquals(6.0, eq.gainDb(20000), 1e-12);
        float[] gains = eq.binGains(2048, 48000);
        assertEquals(1024, gains.length);
        assertEquals(1.0f, gains[0]);
        // Bin k sits at k × 48000 / 2048 Hz: bin 256 is 6 kHz, a third of the way (in log) from 4k to 8k.
        double at6k = -12 + 18 * Math.log(1.5) / Math.log(2);
        assertEquals(Math.pow(10, at6k / 20), gains[256], 1e-6);
        assertEquals((float) Math.pow(10, 6 / 20.0), gains[1023], 1e-6);
    }
}
