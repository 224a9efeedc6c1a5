package quorvel.tambrino.audio;

/**
 * Mixes a WAV file's surround channels down to stereo, so that a 5.1 or
 * quadraphonic bounce opens like any other file: front speakers go to their
 * side, centre speakers to both sides at -3 dB, surround and height speakers
 * to their side at -3 dB, and the low-frequency channel is left out, as a
 * stereo downmix usually does. The gains are scaled so that every channel at
 * full scale at once cannot clip.
 */
final class Downmix {
    private static final double H = Math.sqrt(0.5);

    /**
     * Gains to left and right of each speaker of a WAVE_FORMAT_EXTENSIBLE
     * channel mask, in the mask's bit order: front left, front right, front
     * centre, LFE, back left, back right, front left and right of centre, back
     * centre, side left, side right, top centre, top front left, centre and
     * right, top back left, centre and right.
     */
    private static final double[][] SPEAKERS = {
        {1, 0}, {0, 1}, {H, H}, {0, 0}, {H, 0}, {0, H}, {1, 0}, {0, 1}, {H, H},
        {H, 0}, {0, H}, {H, H}, {H, 0}, {H, H}, {0, H}, {H, 0}, {H, H}, {0, H},
    };

    private final int inChannels;
    private final double[] left;
    private final double[] right;

    private Downmix(int inChannels, double[] left, double[] right) {
        this.inChannels = inChannels;
        this.left = left;
        this.right = right;
    }

    /**
     * A mix of {@code channels} (more than two) whose speakers the channel
     * mask names, or, when it names too few (0 in a plain format chunk), the
     * usual layout for that many channels. Channels beyond the named speakers
     * go to both sides.
     */
    static Downmix of(int channels, long mask) {
        if (Long.bitCount(mask & ((1L << SPEAKERS.length) - 1)) < channels) {
            mask = defaultMask(channels);
        }
        double[] l = new double[channels];
        double[] r = new double[channels];
        int bit = 0;
        for (int c = 0; c < channels; c++) {
            while (bit < SPEAKERS.length && (mask & (1L << bit)) == 0) {
                bit++;
            }
            double[] g = bit < SPEAKERS.length ? SPEAKERS[bit++] : new double[] {H, H};
            l[c] = g[0];
            r[c] = g[1];
        }
        double sum = Math.max(total(l), total(r));
        for (int c = 0; c < channels; c++) {
            l[c] /= sum;
            r[c] /= sum;
        }
        return new Downmix(channels, l, r);
    }

    /** 3.0, quad, 5.0, 5.1, 6.1 and 7.1 in the standard speaker order. */
    private static long defaultMask(int channels) {
        switch (channels) {
            case 3:
                return 0x7;
            case 4:
                return 0x33;
            case 5:
                return 0x37;
            case 6:
                return 0x3F;
            case 7:
                return 0x70F;
            case 8:
                return 0x63F;
            default:
                return 0;
        }
    }

    private static double total(double[] g) {
        double s = 0;
        for (double v : g) {
            s += v;
        }
        return s;
    }

    /** Mixes {@code frames} frames of {@code in} to stereo frames in {@code out} from frame {@code offset} on. */
    void mix(short[] in, int frames, short[] out, int offset) {
        for (int f = 0; f < frames; f++) {
            double l = 0;
            double r = 0;
            int base = f * inChannels;
            for (int c = 0; c < inChannels; c++) {
                l += left[c] * in[base + c];
                r += right[c] * in[base + c];
            }
            out[2 * (offset + f)] = clip(l);
            out[2 * (offset + f) + 1] = clip(r);
        }
    }

    private static short clip(double x) {
        return (short) Math.max(-32768, Math.min(32767, Math.round(x)));
    }
}
