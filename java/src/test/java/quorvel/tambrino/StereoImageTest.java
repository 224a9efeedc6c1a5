package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.EngineRuns.DSP;
import static quorvel.tambrino.EngineRuns.assertSameSamples;
import static quorvel.tambrino.EngineRuns.channel;

import java.util.Arrays;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Panning and the mono fold, shown by what each output channel carries: the
 * stretch is the same for both channels, so two outputs made from the same
 * input stream are identical, sample for sample.
 */
class StereoImageTest {
    @BeforeEach
    void neutral() {
        EngineRuns.neutralSettings();
    }

    private static short[] withPanning(int active, int mono, int level) {
        DSP.dspPanning(active, mono, level);
        return EngineRuns.run(2);
    }

    @Test
    void panningLevelsMixTheInputsIntoTheOutputs() {
        short[] plain = withPanning(0, 0, 50);
        short[] left = channel(plain, 0);
        short[] right = channel(plain, 1);
        assertTrue(EngineRuns.peak(left) > 3000 && EngineRuns.peak(right) > 3000);
        assertFalse(Arrays.equals(left, right), "the test music differs between its channels");
        short[] mix = channel(withPanning(1, 1, 50), 0); // (left + right) / 2

        short[] p0 = withPanning(1, 0, 0);
        assertSameSamples(right, channel(p0, 0), "level 0: left output carries the right input");
        assertSameSamples(right, channel(p0, 1), "level 0: right output keeps the right input");

        short[] p25 = withPanning(1, 0, 25);
        assertSameSamples(mix, channel(p25, 0), "level 25: left output is half left, half right");
        assertSameSamples(right, channel(p25, 1), "level 25: right output keeps the right input");

        assertSameSamples(plain, withPanning(1, 0, 50), "level 50: each output keeps its own input");

        short[] p75 = withPanning(1, 0, 75);
        assertSameSamples(left, channel(p75, 0), "level 75: left output keeps the left input");
        assertSameSamples(mix, channel(p75, 1), "level 75: right output is half left, half right");

        short[] p100 = withPanning(1, 0, 100);
        assertSameSamples(left, channel(p100, 0), "level 100: left output keeps the left input");
        assertSameSamples(left, channel(p100, 1), "level 100: right output carries the left input");

        assertFalse(Arrays.equals(mix, left) || Arrays.equals(mix, right));
    }

    @Test
    void monoFoldPutsTheMeanOnBothChannelsAtAnyLevel() {
        short[] reference = withPanning(1, 1, 50);
        short[] mix = channel(reference, 0);
        assertSameSamples(mix, channel(reference, 1), "both channels carry the same");
        for (int level : new int[] {0, 25, 100}) {
            assertSameSamples(reference, withPanning(1, 1, level), "fold at level " + level);
        }
        short[] plain = withPanning(0, 0, 50);
        assertFalse(Arrays.equals(mix, channel(plain, 0)) || Arrays.equals(mix, channel(plain, 1)));
    }

    @Test
    void foldAndLevelActOnlyWhilePanningIsActive() {
        short[] plain = withPanning(0, 0, 50);
        assertSameSamples(plain, withPanning(0, 1, 50), "fold without panning");
        assertSameSamples(plain, withPanning(0, 0, 0), "level 0 without panning");
        assertSameSamples(plain, withPanning(0, 1, 100), "fold and level 100 without panning");
    }

    @Test
    void pitchShiftAmountChangesNothing() {
        short[] plain = EngineRuns.run(2, 0.0f);
        float peak = DSP.dspGetMaxLevel();
        for (float shift : new float[] {1.0f, -12.0f, 7.5f, Float.NaN, Float.POSITIVE_INFINITY}) {
            assertSameSamples(plain, EngineRuns.run(2, shift), "pitch shift " + shift);
            assertEquals(peak, DSP.dspGetMaxLevel());
        }
        short[] mono = EngineRuns.run(1, 0.0f);
        assertSameSamples(mono, EngineRuns.run(1, 3.0f), "mono, pitch shift 3");
    }
}
