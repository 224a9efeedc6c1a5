// Where a loop's ends may lie without a click: the song's rising zero crossings near a frame.
package quorvel.tambrino.app;

/**
 * Finds the rising zero crossing of the song's mix (its channels summed)
 * nearest to a frame: a loop whose ends both lie on one joins its end to
 * its start without a step in the wave, so without a click. Pure
 * computation on the song's samples; any thread.
 */
final class ZeroCrossings {
    /** How far a loop's end may move to reach one: 10 ms, a period of 100 Hz. */
    static final double RADIUS_SECONDS = 0.010;

    private ZeroCrossings() {}

    /**
     * The frame nearest to {@code frame} where the mix rises through zero
     * (the frame before it below zero, it at or above), within
     * {@code radius} frames; {@code frame} itself when there is none.
     */
    static long nearest(short[] pcm, int channels, long frame, long radius) {
        long frames = pcm.length / channels;
        for (long d = 0; d <= radius; d++) {
            for (long f : new long[] {frame - d, frame + d}) {
                if (f >= 1 && f < frames && mix(pcm, channels, f - 1) < 0 && mix(pcm, channels, f) >= 0) {
                    return f;
                }
            }
        }
        return frame;
    }

    private static int mix(short[] pcm, int channels, long frame) {
        int sum = 0;
        for (int c = 0; c < channels; c++) {
            sum += pcm[(int) (frame * channels + c)];
        }
        return sum;
    }
}
