package quorvel.tambrino.practice;

import java.util.List;
import java.util.Locale;
import quorvel.tambrino.EqualizerCurve;
import quorvel.tambrino.audio.CliException;

/**
 * The tool's {@code --eq HZ:DB,...} option: parses the points and leaves the
 * curve, its interpolation and the per-bin gains to the public
 * {@link EqualizerCurve}.
 */
public final class EqCurve {
    private final EqualizerCurve curve;

    private EqCurve(EqualizerCurve curve) {
        this.curve = curve;
    }

    /**
     * Parses points written {@code HZ:DB}, e.g. {@code 100:-6}, {@code 2k:3};
     * they must be in rising order of frequency.
     */
    public static EqCurve parse(List<String> points) {
        if (points.isEmpty()) {
            throw CliException.usage("--eq needs at least one HZ:DB point, e.g. --eq 100:-6,1000:0,8000:3");
        }
        double[] hz = new double[points.size()];
        double[] db = new double[points.size()];
        for (int i = 0; i < hz.length; i++) {
            String p = points.get(i);
            String t = p.trim();
            int colon = t.indexOf(':');
            if (colon < 0) {
                throw CliException.usage("equaliser point '" + p + "' is not HZ:DB, e.g. 1000:-6");
            }
            hz[i] = number(t.substring(0, colon).trim(), p, "frequency");
            db[i] = number(t.substring(colon + 1).trim(), p, "gain");
            if (!(hz[i] >= EqualizerCurve.MIN_HZ && hz[i] <= EqualizerCurve.MAX_HZ)) {
                throw CliException.usage(String.format(Locale.ROOT,
                        "equaliser point '%s': frequency must lie between %.0f and %.0f Hz", p,
                        EqualizerCurve.MIN_HZ, EqualizerCurve.MAX_HZ));
            }
            if (!(db[i] >= EqualizerCurve.MIN_DB && db[i] <= EqualizerCurve.MAX_DB)) {
                throw CliException.usage(String.format(Locale.ROOT,
                        "equaliser point '%s': gain must lie between %.0f and +%.0f dB", p,
                        EqualizerCurve.MIN_DB, EqualizerCurve.MAX_DB));
            }
            if (i > 0 && hz[i] <= hz[i - 1]) {
                throw CliException.usage("equaliser point '" + p + "': frequencies must rise from point to point");
            }
        }
        return new EqCurve(EqualizerCurve.of(hz, db));
    }

    private static double number(String s, String point, String what) {
        double scale = 1;
        String t = s;
        if (what.equals("frequency") && (t.endsWith("k") || t.endsWith("K"))) {
            scale = 1000;
            t = t.substring(0, t.length() - 1);
        }
        try {
            return Double.parseDouble(t) * scale;
        } catch (NumberFormatException e) {
            throw CliException.usage("equaliser point '" + point + "': " + what + " '" + s + "' is not a number");
        }
    }

    /** Gain of the curve in dB at a frequency. */
    public double gainDb(double f) {
        return curve.gainDb(f);
    }

    /** One linear gain per bin, as {@link EqualizerCurve#binGains}. */
    public float[] binGains(int frameSize, int sampleRate) {
        return curve.binGains(frameSize, sampleRate);
    }

    @Override
    public String toString() {
        return curve.toString();
    }
}
