// Joins two runs of 16-bit frames without a click or a jump in level.
package quorvel.tambrino.practice;

/**
 * A splice of two runs of interleaved 16-bit frames: where the second best
 * continues the first, and the gains that cross-fade them. The gains follow
 * what the two hold in common: where they hold the same sound (a tone
 * looped a whole number of periods on) equal gains keep its level, where
 * they hold different sounds (noise, another bar) equal power keeps theirs,
 * and in between the sum of the powers and of twice the common part is one.
 * Pure functions of the frames given, for the streaming thread (they
 * allocate nothing).
 */
final class Splice {
    private Splice() {}

    /**
     * How well run b, from frame {@code bAt}, continues run a, from frame
     * {@code aAt}, over {@code frames} frames: the normalised correlation of
     * the two, −1 to 1 (0 where either is silent). Frames outside
     * {@code lo..hi} count as silence.
     */
    static double correlation(short[] a, long aAt, short[] b, long bAt, int frames, int channels, long lo, long hi) {
        double ab = 0;
        double aa = 0;
        double bb = 0;
        for (int i = 0; i < frames * channels; i++) {
            double x = at(a, aAt * channels + i, lo * channels, hi * channels);
            double y = at(b, bAt * channels + i, lo * channels, hi * channels);
            ab += x * y;
            aa += x * x;
            bb += y * y;
        }
        return aa > 0 && bb > 0 ? ab / Math.sqrt(aa * bb) : 0;
    }

    /**
     * The shift within {@code -reach..reach} frames of {@code bAt} at which
     * run b best continues run a from {@code aAt}, over {@code frames}
     * frames (the first of the best, so that the result does not depend on
     * the order of the search); frames outside {@code lo..hi} are silence.
     */
    static int align(short[] a, long aAt, short[] b, long bAt, int frames, int reach, int channels, long lo,
            long hi) {
        int best = 0;
        double bestScore = Double.NEGATIVE_INFINITY;
        for (int d = -reach; d <= reach; d++) {
            double score = correlation(a, aAt, b, bAt + d, frames, channels, lo, hi);
            if (score > bestScore + 1e-12) {
                bestScore = score;
                best = d;
            }
        }
        return best;
    }

    /**
     * The gain of the run fading out at {@code w} (0 at the fade's start, 1
     * at its end), for runs whose normalised correlation is {@code r}; the
     * run fading in takes {@code gainOut(1 - w, r)}.
     */
    static double gainOut(double w, double r) {
        double c = Math.cos(Math.PI / 2 * Math.max(0, Math.min(1, w)));
        double s = Math.sin(Math.PI / 2 * Math.max(0, Math.min(1, w)));
        // Runs that cancel each other are faded as unrelated ones: no gain can keep their level.
        double common = Math.max(0, Math.min(1, r));
        return c / Math.sqrt(c * c + s * s + 2 * common * c * s);
    }

    /** Sample {@code i} of a run, 0 outside {@code lo..hi} (samples) and outside the run. */
    static double at(short[] run, long i, long lo, long hi) {
        return i >= Math.max(0, lo) && i < Math.min(run.length, hi) ? run[(int) i] : 0;
    }

    /** A mixed sample, rounded and kept within the 16-bit range. */
    static short clip(double v) {
        return (short) Math.max(-32768, Math.min(32767, Math.round(v)));
    }
}
