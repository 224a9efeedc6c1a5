package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.EngineRuns.BLOCK_IN;
import static quorvel.tambrino.EngineRuns.BLOCK_OUT;
import static quorvel.tambrino.EngineRuns.DSP;

import java.util.Arrays;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/**
 * Every argument outside the documented limits raises an exception naming
 * the method and the argument, and changes nothing: the next block comes out
 * exactly as it would had the bad call never been made. The stream under test
 * uses every stage (panning, voice removal, EQ), so a disturbed stage shows.
 */
class ArgumentErrorsTest {
    private static final double[] FILTER_A = {1.0, -0.3};
    private static final double[] FILTER_B = {0.5, 0.25};

    private short[] expectedSecondBlock;
    private float expectedPeak;

    @BeforeEach
    void reference() {
        expectedSecondBlock = twoBlocks(() -> {});
        expectedPeak = DSP.dspGetMaxLevel();
    }

    /** Sets the stream up, processes one block, makes the call, then returns the second block. */
    private static short[] twoBlocks(Runnable between) {
        EngineRuns.neutralSettings();
        DSP.dspInit(256, 4, 44100, 2);
        DSP.dspVoiceRemovalFilter(FILTER_A.clone(), FILTER_B.clone(), 2, 2);
        DSP.dspVoiceRemovalEnable(1);
        DSP.dspVoiceRemovalAmount(0.7f);
        DSP.dspPanning(1, 0, 30);
        float[] gains = new float[128];
        for (int k = 0; k < gains.length; k++) {
            gains[k] = k % 3 == 0 ? 0.25f : 1.5f;
        }
        DSP.dspEQSetBands(gains);
        DSP.dspEQEnable(1);
        EngineRuns.block(2, 0, 0f);
        between.run();
        return EngineRuns.block(2, 1, 0f);
    }

    private void assertRefusedWithoutEffect(
            Class<? extends Throwable> type, Executable call, String method, String argument) {
        short[] second = twoBlocks(() -> {
            Throwable e = assertThrows(type, call);
            assertTrue(e.getMessage().contains(method) && e.getMessage().contains(argument), e.getMessage());
        });
        assertArrayEquals(expectedSecondBlock, second, method + " " + argument);
        assertEquals(expectedPeak, DSP.dspGetMaxLevel(), method + " " + argument);
    }

    @Test
    void dspInitRefusesAnUnusableStreamAndKeepsTheRunningOne() {
        Class<IllegalArgumentException> iae = IllegalArgumentException.class;
        for (int frameSize : new int[] {0, -256, 4, 12, 1000, 8192, Integer.MIN_VALUE}) {
            assertRefusedWithoutEffect(iae, () -> DSP.dspInit(frameSize, 4, 44100, 2), "dspInit", "frameSize");
        }
        for (int overSampling : new int[] {0, -4, 257}) {
            assertRefusedWithoutEffect(
                    iae, () -> DSP.dspInit(256, overSampling, 44100, 2), "dspInit", "overSampling");
        }
        for (int rate : new int[] {31, 0, -44100}) {
            assertRefusedWithoutEffect(iae, () -> DSP.dspInit(256, 4, rate, 2), "dspInit", "sampleRate");
        }
        for (int channels : new int[] {0, 3, -1}) {
            assertRefusedWithoutEffect(iae, () -> DSP.dspInit(256, 4, 44100, channels), "dspInit", "channels");
        }
        // The limits themselves are accepted.
        DSP.dspInit(8, 8, 32, 1);
        DSP.dspInit(4096, 1, 32, 2);
    }

    @Test
    void dspProcessRefusesBadBlocksWithoutTouchingTheArray() {
        Class<IllegalArgumentException> iae = IllegalArgumentException.class;
        refusedBlock(NullPointerException.class, null, BLOCK_IN, BLOCK_OUT, "samples");
        short[] room = EngineRuns.inputBlock(2, 999, BLOCK_IN, 5 * BLOCK_IN);
        refusedBlock(iae, room, 0, BLOCK_OUT, "samplesIn");
        refusedBlock(iae, room, -BLOCK_IN, BLOCK_OUT, "samplesIn");
        // Too short for the input, then for the output.
        refusedBlock(iae, Arrays.copyOf(room, 2 * BLOCK_IN - 1), BLOCK_IN, BLOCK_IN / 2, "samples");
        refusedBlock(iae, Arrays.copyOf(room, 2 * BLOCK_OUT - 1), BLOCK_IN, BLOCK_OUT, "samples");
        refusedBlock(iae, Arrays.copyOf(room, 2 * BLOCK_IN), 1, BLOCK_IN, "hop");
        // A synthesis hop above the frame size (64 x 5 = 320 > 256), then below 1 (64 x 7 / 512).
        refusedBlock(iae, room, BLOCK_IN, 5 * BLOCK_IN, "hop");
        refusedBlock(iae, room, BLOCK_IN, 7, "hop");
        refusedBlock(iae, room, 1, Integer.MAX_VALUE, "samples");
    }

    private void refusedBlock(Class<? extends Throwable> type, short[] samples, int in, int out, String argument) {
        short[] before = samples == null ? null : samples.clone();
        assertRefusedWithoutEffect(type, () -> DSP.dspProcess(samples, in, out, 0f), "dspProcess", argument);
        assertArrayEquals(before, samples, "the caller's array");
    }

    @Test
    void aNegativeSamplesOutIsANoOutputBlock() {
        short[] block = EngineRuns.inputBlock(2, 4242, BLOCK_IN, BLOCK_IN);
        short[] afterZero = twoBlocks(() -> DSP.dspProcess(block.clone(), BLOCK_IN, 0, 0f));
        short[] copy = block.clone();
        short[] afterNegative = twoBlocks(() -> {
            DSP.dspProcess(copy, BLOCK_IN, -100, 0f);
            assertEquals(0.0f, DSP.dspGetMaxLevel());
        });
        assertArrayEquals(block, copy);
        assertArrayEquals(afterZero, afterNegative);
    }

    @Test
    void dspVoiceRemovalFilterKeepsTheCoefficientsItHas() {
        Class<IllegalArgumentException> iae = IllegalArgumentException.class;
        double[] a = {1.0, 0.9, 0.5};
        double[] b = {0.1, 0.1, 0.1};
        String m = "dspVoiceRemovalFilter";
        assertRefusedWithoutEffect(NullPointerException.class, () -> DSP.dspVoiceRemovalFilter(null, b, 3, 3), m,
                "coeffA");
        assertRefusedWithoutEffect(NullPointerException.class, () -> DSP.dspVoiceRemovalFilter(a, null, 3, 3), m,
                "coeffB");
        assertRefusedWithoutEffect(iae, () -> DSP.dspVoiceRemovalFilter(a, b, 0, 3), m, "sizeA");
        assertRefusedWithoutEffect(iae, () -> DSP.dspVoiceRemovalFilter(a, b, 4, 3), m, "sizeA");
        assertRefusedWithoutEffect(iae, () -> DSP.dspVoiceRemovalFilter(a, b, 3, -1), m, "sizeB");
        assertRefusedWithoutEffect(iae, () -> DSP.dspVoiceRemovalFilter(a, b, 3, 4), m, "sizeB");
    }

    @Test
    void dspEQSetBandsKeepsTheGainsItHas() {
        assertRefusedWithoutEffect(
                NullPointerException.class, () -> DSP.dspEQSetBands(null), "dspEQSetBands", "levels");
        float[] tooFew = new float[127];
        assertRefusedWithoutEffect(
                IllegalArgumentException.class, () -> DSP.dspEQSetBands(tooFew), "dspEQSetBands", "levels");
    }

    @Test
    void theReferenceIsSensitiveToEveryStage() {
        // The checks above mean something only if each call they refuse would
        // have changed the second block.
        Runnable[] effective = {
            () -> DSP.dspInit(256, 4, 44100, 2),
            () -> DSP.dspInit(512, 4, 44100, 2),
            () -> DSP.dspVoiceRemovalFilter(new double[] {1.0, 0.9, 0.5}, new double[] {0.1, 0.1, 0.1}, 3, 3),
            () -> DSP.dspEQSetBands(new float[128]),
            () -> DSP.dspProcess(EngineRuns.inputBlock(2, 999, BLOCK_IN, BLOCK_OUT), BLOCK_IN, BLOCK_OUT, 0f),
        };
        for (Runnable call : effective) {
            assertTrue(!Arrays.equals(expectedSecondBlock, twoBlocks(call)));
        }
    }
}
