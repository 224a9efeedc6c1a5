package quorvel.tambrino.cli;

import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * An equaliser curve given as a few frequency:gain points, turned into the
 * engine's one linear gain per FFT bin. Between two points the gain in dB is
 * interpolated linearly over log-frequency (so a point per octave makes even
 * steps); below the lowest point and above the highest the curve stays flat at
 * their gains.
 */
final class EqCurve {
    static final double MIN_DB = -60.0;
    static final double MAX_DB = 24.0;
    static final double MIN_HZ = 1.0;
    static final double MAX_HZ = 200000.0;

    private final double[] hz;
    private final double[] db;

    private EqCurve(double[] hz, double[] db) {
        this.hz = hz;
        this.db = db;
    }

    /**
     * Parses points written {@code HZ:DB}, e.g. {@code 100:-6}, {@code 2k:3};
     * they must be in rising order of frequency.
     */
    static EqCurve parse(List<String> points) {
        if (points.isEmpty()) {
            throw CliException.usage("--eq needs at least one HZ:DB point, e.g. --eq 100:-6,1000:0,8000:3");
        }
        List<double[]> parsed = new ArrayList<>();
        for (String p : points) {
            String t = p.trim();
            int colon = t.indexOf(':');
            if (colon < 0) {
                throw CliException.usage("equaliser point '" + p + "' is not HZ:DB, e.g. 1000:-6");
            }
            double f = number(t.substring(0, colon).trim(), p, "frequency");
            double g = number(t.substring(colon + 1).trim(), p, "gain");
            if (!(f >= MIN_HZ && f <= MAX_HZ)) {
                throw CliException.usage(String.format(Locale.ROOT,
                        "equaliser point '%s': frequency must lie between %.0f and %.0f Hz", p, MIN_HZ, MAX_HZ));
            }
            if (!(g >= MIN_DB && g <= MAX_DB)) {
                throw CliException.usage(String.format(Locale.ROOT,
                        "equaliser point '%s': gain must lie between %.0f and +%.0f dB", p, MIN_DB, MAX_DB));
            }
            if (!parsed.isEmpty() && f <= parsed.get(parsed.size() - 1)[0]) {
                throw CliException.usage("equaliser point '" + p + "': frequencies must rise from point to point");
            }
            parsed.add(new double[] {f, g});
        }
        double[] hz = new double[parsed.size()];
        double[] db = new double[parsed.size()];
        for (int i = 0; i < hz.length; i++) {
            hz[i] = parsed.get(i)[0];
            db[i] = parsed.get(i)[1];
        }
        return new EqCurve(hz, db);
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
    double gainDb(double f) {
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

    /** One linear gain per bin k = 0 … frameSize/2 − 1, bin k centred on k × rate / frameSize. */
    float[] binGains(int frameSize, int sampleRate) {
        float[] gains = new float[frameSize / 2];
        for (int k = 0; k < gains.length; k++) {
            gains[k] = (float) Math.pow(10.0, gainDb((double) k * sampleRate / frameSize) / 20.0);
        }
        return gains;
    }

    @Override
    public String toString() {
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < hz.length; i++) {
            sb.append(i == 0 ? "" : ",").append(String.format(Locale.ROOT, "%g:%+g", hz[i], db[i]));
        }
        return sb.toString();
    }
}
