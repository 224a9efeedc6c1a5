package quorvel.tambrino;

import java.util.Locale;
import java.util.Objects;

/**
 * An equaliser curve given as a few points in Hz and dB, turned into the
 * engine's one linear gain per FFT bin. Between two points the gain in dB is
 * interpolated linearly over log-frequency (so a point per octave makes even
 * steps); below the lowest point and above the highest the curve stays flat
 * at their gains. Immutable, so any thread may use it.
 *
 * <pre>{@code
 * session.setEqualizerCurve(EqualizerCurve.of(new double[] {200, 4000}, new double[] {0, -9}));
 * }</pre>
 */
public final class EqualizerCurve {
    /** The lowest gain of a point, in dB. */
    public static final double MIN_DB = -60.0;
    /** The highest gain of a point, in dB. */
    public static final double MAX_DB = 24.0;
    /** The lowest frequency of a point, in Hz. */
    public static final double MIN_HZ = 1.0;
    /** The highest frequency of a point, in Hz. */
    public static final double MAX_HZ = 200000.0;

    private final double[] hz;
    private final double[] db;

    private EqualizerCurve(double[] hz, double[] db) {
        this.hz = hz;
        this.db = db;
    }

    /**
     * The curve through the points ({@code hz[i]}, {@code db[i]}); the arrays
     * are copied.
     *
     * @throws NullPointerException for a null array
     * @throws IllegalArgumentException when there is no point, the arrays
     *     differ in length, a frequency lies outside {@value #MIN_HZ} to
     *     {@value #MAX_HZ} Hz or does not rise from point to point, or a gain
     *     lies outside {@value #MIN_DB} to +{@value #MAX_DB} dB (NaN included)
     */
    public static EqualizerCurve of(double[] hz, double[] db) {
        Objects.requireNonNull(hz, "hz");
        Objects.requireNonNull(db, "db");
        if (hz.length != db.length) {
            throw new IllegalArgumentException(hz.length + " frequencies for " + db.length + " gains");
        }
        if (hz.length == 0) {
            throw new IllegalArgumentException("an equaliser curve needs at least one point");
        }
        for (int i = 0; i < hz.length; i++) {
            String point = String.format(Locale.ROOT, "point %g Hz, %g dB", hz[i], db[i]);
            if (!(hz[i] >= MIN_HZ && hz[i] <= MAX_HZ)) {
                throw new IllegalArgumentException(String.format(Locale.ROOT,
                        "%s: frequency must lie between %.0f and %.0f Hz", point, MIN_HZ, MAX_HZ));
            }
            if (!(db[i] >= MIN_DB && db[i] <= MAX_DB)) {
                throw new IllegalArgumentException(String.format(Locale.ROOT,
                        "%s: gain must lie between %.0f and +%.0f dB", point, MIN_DB, MAX_DB));
            }
            if (i > 0 && hz[i] <= hz[i - 1]) {
                throw new IllegalArgumentException(point + ": frequencies must rise from point to point");
            }
        }
        return new EqualizerCurve(hz.clone(), db.clone());
    }

    /**
     * Gain of the curve in dB at a frequency in Hz; below the lowest point (0
     * and negative frequencies included) and above the highest (infinity
     * included) the gain of that point.
     *
     * @throws IllegalArgumentException for NaN
     */
    public double gainDb(double f) {
        if (Double.isNaN(f)) {
            throw new IllegalArgumentException("frequency NaN has no gain");
        }
        if (f <= hz[0]) {
            return db[0];
        }
        int last = hz.length - 1;
        if (f >= hz[last]) {
            return db[last];
        }
        int i = 1;
        while (hz[i] < f) {
            i++;
        }
        double t = Math.log(f / hz[i - 1]) / Math.log(hz[i] / hz[i - 1]);
        return db[i - 1] + t * (db[i] - db[i - 1]);
    }

    /**
     * One linear gain per bin k = 0 … frameSize/2 − 1, bin k centred on
     * k × sampleRate / frameSize: what {@link Session#setEqualizer} takes.
     *
     * @throws IllegalArgumentException for a frame size that is not a power of two from 8 to
     *     4096, the engine's, or a rate that is not positive
     */
    public float[] binGains(int frameSize, int sampleRate) {
        if (Integer.bitCount(frameSize) != 1 || frameSize < 8 || frameSize > 4096) {
            throw new IllegalArgumentException("frame size " + frameSize + " is not a power of two from 8 to 4096");
        }
        if (sampleRate < 1) {
            throw new IllegalArgumentException("frame size " + frameSize + " at " + sampleRate + " Hz has no bins");
        }
        float[] gains = new float[frameSize / 2];
        for (int k = 0; k < gains.length; k++) {
            gains[k] = (float) Math.pow(10.0, gainDb((double) k * sampleRate / frameSize) / 20.0);
        }
        return gains;
    }

    /** The points as {@code HZ:DB,...}, e.g. {@code 200:+0,4000:-9}. */
    @Override
    public String toString() {
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < hz.length; i++) {
            sb.append(i == 0 ? "" : ",").append(String.format(Locale.ROOT, "%g:%+g", hz[i], db[i]));
        }
        return sb.toString();
    }
}
