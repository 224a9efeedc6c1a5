// The level and spectrum of what is heard, by output frame.
package quorvel.tambrino.practice;

import quorvel.tambrino.Session;

/**
 * The level and spectrum of what is heard, by output frame, so that the
 * meter shows what is being heard rather than what is read ahead: the
 * engine's blocks (the spectrum, and the level before the limiter) and the
 * output's own chunks as they are played (their peak). The level shown is
 * the output's own peak, and a clip is the output reaching full scale; the
 * limiter holding a louder signal below it is told apart (at tempo 0.5 a
 * piece whose output never passed −0.07 dBFS lit the clip light on the
 * level before the limiter). The streaming thread adds blocks and chunks and
 * cuts off those discarded unheard; the screen looks up. Fixed arrays:
 * nothing allocated per block.
 */
public final class Meter implements Stretcher.BlockListener {
    private static final int BLOCKS = 256;
    /** The largest 16-bit sample the engine writes: full scale. */
    private static final int FULL_SCALE = 32767;
    private final long[] start = new long[BLOCKS];
    private final long[] end = new long[BLOCKS];
    private final float[] level = new float[BLOCKS];
    private final float[][] notes = new float[BLOCKS][Session.NOTES];
    private long added;
    private final long[] chunkStart = new long[BLOCKS];
    private final long[] chunkEnd = new long[BLOCKS];
    private final int[] chunkPeak = new int[BLOCKS];
    private long chunks;

    @Override
    public synchronized void block(long s, long e, float lvl, float[] spectrum) {
        int i = (int) (added % BLOCKS);
        start[i] = s;
        end[i] = e;
        level[i] = lvl;
        System.arraycopy(spectrum, 0, notes[i], 0, Session.NOTES);
        added++;
    }

    /**
     * The output as it goes to be heard: {@code frames} frames of
     * {@code channels} interleaved samples from output frame {@code out} on.
     */
    public void output(long out, short[] samples, int frames, int channels) {
        int peak = 0;
        for (int i = 0; i < frames * channels; i++) {
            peak = Math.max(peak, Math.abs(samples[i]));
        }
        synchronized (this) {
            int i = (int) (chunks % BLOCKS);
            chunkStart[i] = out;
            chunkEnd[i] = out + frames;
            chunkPeak[i] = peak;
            chunks++;
        }
    }

    /** Forgets the blocks and the output from output frame {@code out} on. */
    public synchronized void cut(long out) {
        long oldest = Math.max(0, added - BLOCKS);
        while (added > oldest && start[(int) ((added - 1) % BLOCKS)] >= out) {
            added--;
        }
        oldest = Math.max(0, chunks - BLOCKS);
        while (chunks > oldest && chunkStart[(int) ((chunks - 1) % BLOCKS)] >= out) {
            chunks--;
        }
    }

    /**
     * The peak level heard at output frame {@code out} (1.0 = full scale),
     * the spectrum of the block heard there into {@code into}. Without the
     * output's own chunks (nothing played yet), the block's level before the
     * limiter.
     */
    public synchronized float at(long out, float[] into) {
        float before = 0;
        for (long k = added - 1; k >= Math.max(0, added - BLOCKS); k--) {
            int i = (int) (k % BLOCKS);
            if (start[i] <= out) {
                System.arraycopy(notes[i], 0, into, 0, Session.NOTES);
                before = level[i];
                break;
            }
        }
        for (long k = chunks - 1; k >= Math.max(0, chunks - BLOCKS); k--) {
            int i = (int) (k % BLOCKS);
            if (chunkStart[i] <= out) {
                return (float) chunkPeak[i] / FULL_SCALE;
            }
        }
        return before;
    }

    /** Whether the output heard between output frames {@code from} and {@code to} reached full scale. */
    public synchronized boolean clipped(long from, long to) {
        for (long k = chunks - 1; k >= Math.max(0, chunks - BLOCKS); k--) {
            int i = (int) (k % BLOCKS);
            if (chunkStart[i] < to && chunkEnd[i] > from && chunkPeak[i] >= FULL_SCALE) {
                return true;
            }
        }
        return false;
    }

    /**
     * Whether, between output frames {@code from} and {@code to}, the
     * limiter held a level beyond full scale below it (the music is louder
     * than the output can be, though nothing clipped).
     */
    public synchronized boolean limited(long from, long to) {
        for (long k = added - 1; k >= Math.max(0, added - BLOCKS); k--) {
            int i = (int) (k % BLOCKS);
            if (start[i] < to && end[i] > from && level[i] >= 1.0f) {
                return true;
            }
        }
        return false;
    }
}
