package quorvel.tambrino.cli;

import java.io.IOException;
import java.util.Arrays;
import quorvel.tambrino.NativeInterface;

/**
 * Drives the engine the way the application's playback loop does: one
 * {@code dspProcess} per block of {@link Settings#blockIn} input frames, each
 * returning exactly the {@link Settings#blockOut} frames that the engine wrote,
 * then a poll of the peak level and, when the analyser runs, the 72-note
 * spectrum.
 *
 * <p>As a {@link PcmSource} it delivers the stretched stream with the
 * engine's latency trimmed and silence fed after the input's end, so that it
 * holds exactly {@link Settings#outputFrames(long)} frames aligned with the
 * input (see {@link Settings}). The last block is padded with zeros; since
 * every block fires whole frames, the samples do not depend on the block size.
 */
final class Stretcher implements PcmSource {
    /** Called after every block whose output overlaps the delivered stream. */
    interface BlockListener {
        /**
         * @param start first output frame of the block, in the delivered stream (negative inside the latency)
         * @param end one past its last frame
         * @param level the engine's peak level of the block (1.0 = full scale)
         * @param spectrum the 72 note levels (reused: copy to keep), or null when the analyser is off
         */
        void block(long start, long end, float level, float[] spectrum);
    }

    static final int NOTES = 72;

    private final NativeInterface engine;
    private final Settings settings;
    private final PcmSource input;
    private final BlockListener listener;
    private final int channels;
    private final long inputFrames;
    private final long outputFrames;
    private final short[] block;
    private final float[] spectrum = new float[NOTES];

    private long consumed;
    private boolean inputEnded;
    /** Raw output frames the engine has produced, latency included. */
    private long produced;
    /** Frames handed to the reader. */
    private long delivered;
    private int pendingStart;
    private int pendingEnd;
    private float peak;
    private long blocks;

    Stretcher(NativeInterface engine, Settings settings, PcmSource input, BlockListener listener) {
        if (input.channels() != settings.channels || input.sampleRate() != settings.sampleRate) {
            throw new IllegalArgumentException("settings resolved for another stream");
        }
        this.engine = engine;
        this.settings = settings;
        this.input = input;
        this.listener = listener;
        this.channels = input.channels();
        this.inputFrames = input.frameLength();
        this.outputFrames = settings.outputFrames(inputFrames);
        this.block = new short[Math.max(settings.blockIn, settings.blockOut) * channels];
        settings.apply(engine);
    }

    @Override
    public int channels() {
        return channels;
    }

    @Override
    public int sampleRate() {
        return settings.sampleRate;
    }

    @Override
    public long frameLength() {
        return outputFrames;
    }

    /** Share of the input consumed so far, 0 to 1. */
    double progress() {
        return inputFrames == 0 ? 1.0 : Math.min(1.0, (double) consumed / inputFrames);
    }

    /** Input frames read from the source so far. */
    long consumed() {
        return consumed;
    }

    /** Highest peak level of the blocks that overlap the delivered stream (1.0 = full scale). */
    float peak() {
        return peak;
    }

    /** Engine blocks processed so far. */
    long blocks() {
        return blocks;
    }

    @Override
    public int read(short[] buffer, int offset, int frames) throws IOException {
        int copied = 0;
        while (copied < frames && delivered < outputFrames) {
            if (pendingStart == pendingEnd) {
                processBlock();
                continue;
            }
            int n = (int) Math.min(Math.min(pendingEnd - pendingStart, frames - copied), outputFrames - delivered);
            System.arraycopy(block, pendingStart * channels, buffer, (offset + copied) * channels, n * channels);
            pendingStart += n;
            copied += n;
            delivered += n;
        }
        return copied;
    }

    private void processBlock() throws IOException {
        int got = 0;
        while (!inputEnded && got < settings.blockIn) {
            int n = input.read(block, got, settings.blockIn - got);
            if (n <= 0) {
                inputEnded = true;
            }
            got += Math.max(0, n);
        }
        Arrays.fill(block, got * channels, settings.blockIn * channels, (short) 0);
        consumed += got;

        engine.dspProcess(block, settings.blockIn, settings.blockOut, 0f);
        blocks++;
        float level = engine.dspGetMaxLevel();
        if (settings.spectrum) {
            engine.dspGetSpectrum(spectrum, NOTES);
        }

        long rawStart = produced;
        produced += settings.blockOut;
        long start = rawStart - settings.latency;
        long end = produced - settings.latency;
        if (end > 0 && start < outputFrames) {
            peak = Math.max(peak, level);
            if (listener != null) {
                listener.block(start, end, level, settings.spectrum ? spectrum : null);
            }
        }
        // Frames still inside the latency are dropped.
        pendingStart = (int) Math.max(0, Math.min(settings.blockOut, settings.latency - rawStart));
        pendingEnd = settings.blockOut;
    }
}
