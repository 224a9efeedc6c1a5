package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.EngineRuns.BLOCK_IN;
import static quorvel.tambrino.EngineRuns.DSP;

import java.util.Arrays;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestMethodOrder;

/**
 * The engine as a process first sees it: what holds before dspInit, the
 * defaults, and the polled values. The steps run in order on one engine.
 */
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class FreshEngineTest {
    private static short[] defaultRun;
    private static float defaultPeak;

    @Test
    @Order(1)
    void beforeAnySetUpNothingProcessesAndNothingIsMeasured() {
        assertEquals(0.0f, DSP.dspGetMaxLevel());

        short[] samples = EngineRuns.inputBlock(2, 0, BLOCK_IN, BLOCK_IN);
        short[] before = samples.clone();
        IllegalStateException e =
                assertThrows(IllegalStateException.class, () -> DSP.dspProcess(samples, BLOCK_IN, BLOCK_IN, 0f));
        assertTrue(e.getMessage().contains("dspInit"), e.getMessage());
        assertArrayEquals(before, samples);

        // A refused set-up sets nothing up.
        assertThrows(IllegalArgumentException.class, () -> DSP.dspInit(256, 4, 44100, 3));
        assertThrows(IllegalStateException.class, () -> DSP.dspProcess(samples, BLOCK_IN, BLOCK_IN, 0f));
        assertArrayEquals(before, samples);

        // There is no gain table before the first set-up: the gains are dropped.
        float[] cut = new float[4096];
        DSP.dspEQSetBands(cut);

        float[] spectrum = new float[72];
        Arrays.fill(spectrum, -1f);
        DSP.dspGetSpectrum(spectrum, 72);
        assertArrayEquals(new float[72], spectrum, "silence before any analysis");
        assertEquals(0.0f, DSP.dspGetMaxLevel());
    }

    @Test
    @Order(2)
    void defaultsArePreampOneAndSpectrumOn() {
        defaultRun = EngineRuns.run(2);
        defaultPeak = DSP.dspGetMaxLevel();
        assertTrue(EngineRuns.peak(defaultRun) > 3000, "the music comes out");
        assertTrue(defaultPeak > 0.1f && defaultPeak < 1.0f, "peak " + defaultPeak);

        float[] spectrum = new float[72];
        DSP.dspGetSpectrum(spectrum, 72);
        float strongest = 0;
        for (float v : spectrum) {
            assertTrue(v >= 0);
            strongest = Math.max(strongest, v);
        }
        assertTrue(strongest > 0, "the analyser ran without being switched on");

        DSP.dspSetPreamp(1.0f);
        DSP.dspSpectrumEnable(1);
        EngineRuns.assertSameSamples(defaultRun, EngineRuns.run(2), "explicit preamp 1.0");
        assertEquals(defaultPeak, DSP.dspGetMaxLevel());

        DSP.dspSetPreamp(0.5f);
        short[] half = EngineRuns.run(2);
        assertEquals(defaultPeak * 0.5f, DSP.dspGetMaxLevel(), 1e-6f);
        assertFalse(Arrays.equals(defaultRun, half));

        DSP.dspSetPreamp(1.0f);
        short[] mono = EngineRuns.run(1);
        float monoPeak = DSP.dspGetMaxLevel();
        DSP.dspSetPreamp(0.5f);
        assertFalse(Arrays.equals(mono, EngineRuns.run(1)));
        assertEquals(monoPeak * 0.5f, DSP.dspGetMaxLevel(), 1e-6f, "the preamp acts on mono streams too");
        DSP.dspSetPreamp(1.0f);
    }

    @Test
    @Order(3)
    void aBlockWithNoOutputLeavesTheArrayAndReportsNoLevel() {
        EngineRuns.run(2);
        assertTrue(DSP.dspGetMaxLevel() > 0);
        for (int samplesOut : new int[] {0, -7}) {
            short[] samples = EngineRuns.inputBlock(2, 12345, BLOCK_IN, BLOCK_IN);
            short[] before = samples.clone();
            DSP.dspProcess(samples, BLOCK_IN, samplesOut, 0f);
            assertArrayEquals(before, samples, "samplesOut " + samplesOut);
            assertEquals(0.0f, DSP.dspGetMaxLevel(), "samplesOut " + samplesOut);
            assertEquals(0.0f, DSP.dspGetMaxLevel(), "polling changes nothing");
        }
    }

    @Test
    @Order(4)
    void spectrumCopiesAtMostItsSeventyTwoNotesAndTheArrayLength() {
        EngineRuns.run(2);
        float[] all = new float[72];
        DSP.dspGetSpectrum(all, 72);
        assertTrue(peakOf(all) > 0);

        float[] wide = filled(100);
        DSP.dspGetSpectrum(wide, 100);
        assertArrayEquals(all, Arrays.copyOf(wide, 72));
        assertArrayEquals(filled(28), Arrays.copyOfRange(wide, 72, 100), "beyond the 72 notes: untouched");

        float[] ten = filled(100);
        DSP.dspGetSpectrum(ten, 10);
        assertArrayEquals(Arrays.copyOf(all, 10), Arrays.copyOf(ten, 10));
        assertArrayEquals(filled(90), Arrays.copyOfRange(ten, 10, 100));

        float[] none = filled(100);
        IllegalArgumentException negative = assertThrows(IllegalArgumentException.class,
                () -> DSP.dspGetSpectrum(none, -5));
        assertTrue(negative.getMessage().contains("size"), negative.getMessage());
        DSP.dspGetSpectrum(none, 0);
        assertArrayEquals(filled(100), none);

        float[] shortArray = filled(5);
        DSP.dspGetSpectrum(shortArray, 72);
        assertArrayEquals(Arrays.copyOf(all, 5), shortArray, "bounded by the array's length");

        NullPointerException e = assertThrows(NullPointerException.class, () -> DSP.dspGetSpectrum(null, 72));
        assertTrue(e.getMessage().contains("dspGetSpectrum"), e.getMessage());
    }

    @Test
    @Order(5)
    void voiceRemovalWaitsForCoefficientsAndEarlyGainsWereDropped() {
        short[] plain = EngineRuns.run(2);
        assertArrayEquals(defaultRun, plain);

        // No coefficients were ever given in this process.
        DSP.dspVoiceRemovalEnable(1);
        DSP.dspVoiceRemovalAmount(1.0f);
        EngineRuns.assertSameSamples(plain, EngineRuns.run(2), "voice removal without coefficients");
        DSP.dspVoiceRemovalEnable(0);

        // The all-zero gains given before dspInit never reached the table.
        DSP.dspEQEnable(1);
        EngineRuns.assertSameSamples(plain, EngineRuns.run(2), "EQ on with its initial gains");
        DSP.dspEQEnable(0);
    }

    private static float[] filled(int n) {
        float[] a = new float[n];
        Arrays.fill(a, -1f);
        return a;
    }

    private static float peakOf(float[] values) {
        float peak = 0;
        for (float v : values) {
            peak = Math.max(peak, v);
        }
        return peak;
    }
}
