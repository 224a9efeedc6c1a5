package quorvel.tambrino;

/**
 * Designs the coefficients of the engine's voice-removal filter.
 *
 * <p>The engine removes the centre by subtracting from each channel the other
 * channel passed through this filter (times the removal amount). A sound
 * panned to the centre is the same in both channels, so it cancels exactly
 * where the filter passes it with unity gain and no phase shift; a filter with
 * any phase shift in the voice band would leave most of the voice in place.
 * Bass, also mixed to the centre, should survive, so the filter must block
 * the low end.
 *
 * <p>The filter is therefore H(z) = 1 − L(z), where L is a Butterworth
 * low-pass of order {@link #ORDER} at the cut-off (default
 * {@value #DEFAULT_CUTOFF_HZ} Hz), made digital by the bilinear transform with
 * the cut-off pre-warped. Well above the cut-off L is practically zero (a
 * fourth-order roll-off: about −66 dB at 1 kHz for a 150 Hz cut-off), so H is
 * 1 with a phase of almost 0 and the centre cancels; at DC L is exactly 1 and
 * H is 0, so the centred bass is not subtracted: what remains of it is L
 * applied to the bass, whose magnitude stays within 0.2 dB of unity up to
 * 100 Hz. H shares L's denominator, so it is as stable as L, and its numerator
 * is the denominator minus L's numerator.
 *
 * <p>The engine runs the direct form y[n] = Σ b[i]·x[n−i] − Σ(i ≥ 1) a[i]·y[n−i]
 * without dividing by a[0], so the coefficients are normalised to a[0] = 1.
 */
public final class VoiceFilter {
    /** Order of the low-pass that keeps the bass. */
    public static final int ORDER = 4;
    /** The cut-off below which the centre is kept, unless another is chosen. */
    public static final double DEFAULT_CUTOFF_HZ = 150.0;
    /** The lowest cut-off that keeps a kick drum out of the removal. */
    public static final double MIN_CUTOFF_HZ = 50.0;
    /** The highest cut-off before the removal reaches into the voice itself. */
    public static final double MAX_CUTOFF_HZ = 400.0;

    /** Denominator {@code a} (a[0] = 1) and numerator {@code b}, each {@link #ORDER} + 1 long. */
    public static final class Coefficients {
        /** Denominator, a[0] = 1. */
        public final double[] a;
        /** Numerator. */
        public final double[] b;

        Coefficients(double[] a, double[] b) {
            this.a = a;
            this.b = b;
        }
    }

    private VoiceFilter() {}

    /**
     * The subtracted-copy filter 1 − low-pass for a cut-off and sample rate.
     *
     * @throws IllegalArgumentException for a cut-off not between 0 and half the sample rate
     */
    public static Coefficients design(double cutoffHz, int sampleRate) {
        Coefficients low = butterworthLowPass(ORDER, cutoffHz, sampleRate);
        double[] b = new double[low.a.length];
        for (int i = 0; i < b.length; i++) {
            b[i] = low.a[i] - low.b[i];
        }
        return new Coefficients(low.a.clone(), b);
    }

    /**
     * A digital Butterworth low-pass with unity gain at DC.
     *
     * @throws IllegalArgumentException for an order outside 1..16 or a cut-off
     *     not between 0 and half the sample rate
     */
    public static Coefficients butterworthLowPass(int order, double cutoffHz, int sampleRate) {
        if (order < 1 || order > 16) {
            throw new IllegalArgumentException("filter order " + order + " is not between 1 and 16");
        }
        if (!(cutoffHz > 0 && cutoffHz < sampleRate / 2.0)) {
            throw new IllegalArgumentException("cut-off " + cutoffHz + " Hz is not below half the sample rate");
        }
        // Pre-warped analogue cut-off for the bilinear map s = (z − 1)/(z + 1).
        double k = Math.tan(Math.PI * cutoffHz / sampleRate);
        // Denominator: product of (1 − z_p·z⁻¹) over the digital poles, kept complex
        // while multiplying; conjugate pairs make the result real.
        double[] re = new double[order + 1];
        double[] im = new double[order + 1];
        re[0] = 1.0;
        for (int p = 0; p < order; p++) {
            double theta = Math.PI * (2 * p + order + 1) / (2.0 * order);
            double sr = k * Math.cos(theta);
            double si = k * Math.sin(theta);
            // z_p = (1 + s)/(1 − s)
            double nr = 1 + sr;
            double ni = si;
            double dr = 1 - sr;
            double di = -si;
            double den = dr * dr + di * di;
            double zr = (nr * dr + ni * di) / den;
            double zi = (ni * dr - nr * di) / den;
            for (int i = p + 1; i >= 1; i--) {
                double pr = re[i - 1] * zr - im[i - 1] * zi;
                double pi = re[i - 1] * zi + im[i - 1] * zr;
                re[i] -= pr;
                im[i] -= pi;
            }
        }
        double[] a = re;
        // Numerator: all zeros at z = −1, scaled for unity gain at DC.
        double[] b = new double[order + 1];
        double sumA = 0;
        double sumB = 0;
        for (int i = 0; i <= order; i++) {
            b[i] = binomial(order, i);
            sumA += a[i];
            sumB += b[i];
        }
        double gain = sumA / sumB;
        for (int i = 0; i <= order; i++) {
            b[i] *= gain;
        }
        return new Coefficients(a, b);
    }

    private static double binomial(int n, int k) {
        double r = 1;
        for (int i = 1; i <= k; i++) {
            r = r * (n - k + i) / i;
        }
        return r;
    }

    /**
     * Complex frequency response at {@code hz}: {re, im}.
     *
     * @throws NullPointerException for null coefficients
     * @throws IllegalArgumentException for a rate below 1 Hz, or a frequency that is not finite or
     *     too high for the rate to give a finite angle
     */
    public static double[] response(Coefficients c, double hz, int sampleRate) {
        java.util.Objects.requireNonNull(c, "coefficients");
        if (sampleRate < 1) {
            throw new IllegalArgumentException("sample rate " + sampleRate + " Hz is not positive");
        }
        double w = 2 * Math.PI * hz / sampleRate;
        if (!Double.isFinite(w)) {
            throw new IllegalArgumentException("frequency " + hz + " Hz has no finite angle at " + sampleRate + " Hz");
        }
        double nr = 0, ni = 0, dr = 0, di = 0;
        for (int i = 0; i < c.b.length; i++) {
            nr += c.b[i] * Math.cos(-w * i);
            ni += c.b[i] * Math.sin(-w * i);
        }
        for (int i = 0; i < c.a.length; i++) {
            dr += c.a[i] * Math.cos(-w * i);
            di += c.a[i] * Math.sin(-w * i);
        }
        double den = dr * dr + di * di;
        return new double[] {(nr * dr + ni * di) / den, (ni * dr - nr * di) / den};
    }
}
