// The song's waveform summarised per bucket of frames, in the background.
package quorvel.tambrino.app;

/**
 * The song's waveform summarised as the lowest and highest sample of every
 * bucket of frames, computed on a thread of its own so that a long song
 * opens at once; the window draws what is done so far.
 */
final class WaveformSummary implements Runnable {
    /** Frames per bucket at the finest: about 2.7 ms at 44.1 kHz. */
    static final int MIN_BUCKET = 128;
    private static final int MAX_BUCKETS = 1 << 16;

    private final short[] pcm;
    private final int channels;
    private final long frames;
    private final int bucket;
    private final float[] low;
    private final float[] high;
    private volatile int done;
    private volatile boolean cancelled;

    WaveformSummary(short[] pcm, int channels) {
        this.pcm = pcm;
        this.channels = channels;
        this.frames = pcm.length / channels;
        this.bucket = (int) Math.max(MIN_BUCKET, (frames + MAX_BUCKETS - 1) / MAX_BUCKETS);
        int n = (int) Math.max(1, (frames + bucket - 1) / bucket);
        low = new float[n];
        high = new float[n];
    }

    @Override
    public void run() {
        for (int b = 0; b < low.length && !cancelled; b++) {
            long from = (long) b * bucket * channels;
            long to = Math.min(pcm.length, from + (long) bucket * channels);
            int lo = 0;
            int hi = 0;
            for (long i = from; i < to; i++) {
                int v = pcm[(int) i];
                lo = Math.min(lo, v);
                hi = Math.max(hi, v);
            }
            low[b] = lo / 32768f;
            high[b] = hi / 32767f;
            done = b + 1;
        }
    }

    void cancel() {
        cancelled = true;
    }

    /** The fraction summarised so far. */
    double progress() {
        return (double) done / low.length;
    }

    /** Lowest and highest over frames {@code a} to {@code b} from the samples themselves (a short span). */
    boolean exactRange(long a, long b, float[] out) {
        int lo = 0;
        int hi = 0;
        long to = Math.min(b, frames) * channels;
        for (long i = Math.max(0, a) * channels; i < to; i++) {
            lo = Math.min(lo, pcm[(int) i]);
            hi = Math.max(hi, pcm[(int) i]);
        }
        out[0] = lo / 32768f;
        out[1] = hi / 32767f;
        return true;
    }

    /** The channels' mean at {@code frame}, -1 to 1. */
    float sample(long frame) {
        int sum = 0;
        for (int c = 0; c < channels; c++) {
            sum += pcm[(int) (frame * channels + c)];
        }
        return sum / (32768f * channels);
    }

    /** Lowest and highest over frames {@code a} to {@code b} into {@code out[0..1]}; false if not summarised yet. */
    boolean range(long a, long b, float[] out) {
        int first = (int) Math.min(low.length - 1, a / bucket);
        int last = (int) Math.min(low.length - 1, Math.max(first, (b - 1) / bucket));
        if (last >= done) {
            return false;
        }
        float lo = 0;
        float hi = 0;
        for (int i = first; i <= last; i++) {
            lo = Math.min(lo, low[i]);
            hi = Math.max(hi, high[i]);
        }
        out[0] = lo;
        out[1] = hi;
        return true;
    }
}
