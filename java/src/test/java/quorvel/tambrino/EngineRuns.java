package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;

import java.util.Arrays;

/**
 * Helpers shared by the engine's JVM tests: the one engine of this process, a
 * structured test signal, and block-by-block runs of it.
 *
 * <p>A run starts with {@code dspInit}, which rebuilds the vocoder and the
 * analyser, so two runs of the same input under the same settings give the
 * same output sample for sample. Blocks of 512 frames at a synthesis ratio of
 * 1.5 fill exactly the 768 frames read back, so no output depends on what an
 * earlier run left in the engine's work buffers.
 */
final class EngineRuns {
    static final NativeInterface DSP = new NativeInterface();

    static final int FRAME_SIZE = 256;
    static final int OVER_SAMPLING = 4;
    static final int SAMPLE_RATE = 44100;
    static final int BLOCK_IN = 512;
    static final int BLOCK_OUT = 768;
    static final int BLOCKS = 3;

    private EngineRuns() {}

    static void init(int channels) {
        DSP.dspInit(FRAME_SIZE, OVER_SAMPLING, SAMPLE_RATE, channels);
    }

    /** Settings under which the pipeline only stretches and converts. */
    static void neutralSettings() {
        DSP.dspPanning(0, 0, 50);
        DSP.dspVoiceRemovalEnable(0);
        DSP.dspVoiceRemovalAmount(0.0f);
        DSP.dspSetPreamp(1.0f);
        DSP.dspEQEnable(0);
        DSP.dspSpectrumEnable(1);
    }

    /**
     * Frame t of the test music: different tones on the two channels (440 and
     * 3100 Hz on the left, 210 and 1250 Hz on the right), so that every mix of
     * them is told apart. A mono stream uses the left channel.
     */
    static short sample(int channel, long t) {
        double s = (double) t / SAMPLE_RATE;
        double v = channel == 0
                ? 9000 * Math.sin(2 * Math.PI * 440 * s) + 2000 * Math.sin(2 * Math.PI * 3100 * s)
                : 7000 * Math.sin(2 * Math.PI * 1250 * s) + 3000 * Math.sin(2 * Math.PI * 210 * s);
        return (short) Math.round(v);
    }

    /** An array for a block: room for max(in, out) frames, the first in frames filled from frame start on. */
    static short[] inputBlock(int channels, long start, int samplesIn, int samplesOut) {
        short[] block = new short[Math.max(samplesIn, samplesOut) * channels];
        for (int i = 0; i < samplesIn; i++) {
            for (int c = 0; c < channels; c++) {
                block[i * channels + c] = sample(c, start + i);
            }
        }
        return block;
    }

    /** Processes block number index of the test music and returns the frames read back. */
    static short[] block(int channels, int index, float pitchShift) {
        short[] samples = inputBlock(channels, (long) index * BLOCK_IN, BLOCK_IN, BLOCK_OUT);
        DSP.dspProcess(samples, BLOCK_IN, BLOCK_OUT, pitchShift);
        return Arrays.copyOf(samples, BLOCK_OUT * channels);
    }

    /** dspInit, then the test music's first blocks under the current settings; the output concatenated. */
    static short[] run(int channels, float pitchShift) {
        init(channels);
        short[] out = new short[BLOCKS * BLOCK_OUT * channels];
        for (int b = 0; b < BLOCKS; b++) {
            short[] block = block(channels, b, pitchShift);
            System.arraycopy(block, 0, out, b * block.length, block.length);
        }
        return out;
    }

    static short[] run(int channels) {
        return run(channels, 0.0f);
    }

    /** One channel of an interleaved stereo stream. */
    static short[] channel(short[] stereo, int c) {
        short[] out = new short[stereo.length / 2];
        for (int i = 0; i < out.length; i++) {
            out[i] = stereo[2 * i + c];
        }
        return out;
    }

    static void assertSameSamples(short[] expected, short[] actual, String what) {
        assertArrayEquals(expected, actual, what);
    }

    /** Largest absolute sample, to make sure a comparison is not between silences. */
    static int peak(short[] samples) {
        int peak = 0;
        for (short s : samples) {
            peak = Math.max(peak, Math.abs(s));
        }
        return peak;
    }

    /** A stable low-pass pair of filters: y[n] = 0.5 x[n] + 0.25 x[n-1] + 0.3 y[n-1]. */
    static void loadFilter() {
        DSP.dspVoiceRemovalFilter(new double[] {1.0, -0.3}, new double[] {0.5, 0.25}, 2, 2);
    }
}
