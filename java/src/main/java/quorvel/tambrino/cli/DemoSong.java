package quorvel.tambrino.cli;

/**
 * A short stereo piece synthesised from nothing, the same samples on every run
 * (strict maths and a fixed-seed noise generator): four bars of A minor at
 * 120 beats per minute. In the centre: bass below 100 Hz, a kick drum and a
 * lead melody in the voice band; panned to the sides: chords (left),
 * an arpeggio (right), hi-hat (left) and snare (right). Removing the centre
 * should leave the bass, the kick and the side instruments, without the lead.
 */
final class DemoSong {
    static final int SAMPLE_RATE = 44100;
    static final double BEAT = 0.5;
    static final int BEATS = 16;
    static final double SECONDS = BEATS * BEAT + 0.5;

    /** Chord tones (MIDI) per bar: Am, F, C, G. */
    private static final int[][] CHORDS = {{57, 60, 64}, {53, 57, 60}, {60, 64, 67}, {55, 59, 62}};
    /** Bass roots (MIDI) per bar: A1, F1, C2, G1. */
    private static final int[] BASS = {33, 29, 36, 31};
    /** Melody: start beat, length in beats, MIDI note. */
    private static final double[][] MELODY = {
        {0, 1, 76}, {1, 0.5, 74}, {1.5, 0.5, 72}, {2, 1, 71}, {3, 1, 72},
        {4, 2, 69}, {6, 1, 72}, {7, 1, 74},
        {8, 1, 76}, {9, 0.5, 79}, {9.5, 0.5, 76}, {10, 1, 74}, {11, 1, 72},
        {12, 1.5, 74}, {13.5, 0.5, 71}, {14, 2, 69},
    };

    private final int rate;
    private final int frames;
    private final double[] left;
    private final double[] right;
    private long seed = 0x2545F4914F6CDD1DL;

    private DemoSong(int rate) {
        this.rate = rate;
        this.frames = (int) Math.round(SECONDS * rate);
        this.left = new double[frames];
        this.right = new double[frames];
    }

    /** The piece as interleaved stereo 16-bit frames at {@code rate}. */
    static short[] render(int rate) {
        DemoSong s = new DemoSong(rate);
        s.drums();
        s.bass();
        s.chords();
        s.arpeggio();
        s.melody();
        return s.mix(0.85);
    }

    private static double hz(double midi) {
        return 440.0 * StrictMath.pow(2.0, (midi - 69) / 12.0);
    }

    private double noise() {
        seed ^= seed << 13;
        seed ^= seed >>> 7;
        seed ^= seed << 17;
        return ((seed >>> 11) * 0x1.0p-53) * 2 - 1;
    }

    /** Adds a mono signal at a pan position from −1 (left) to +1 (right), constant power; 0 = exact centre. */
    private void add(int index, double v, double pan) {
        if (index < 0 || index >= frames) {
            return;
        }
        if (pan == 0) {
            left[index] += v;
            right[index] += v;
        } else {
            double a = (pan + 1) * Math.PI / 4;
            left[index] += v * StrictMath.cos(a) * StrictMath.sqrt(2);
            right[index] += v * StrictMath.sin(a) * StrictMath.sqrt(2);
        }
    }

    private int at(double beat) {
        return (int) Math.round(beat * BEAT * rate);
    }

    private void drums() {
        for (int beat = 0; beat < BEATS; beat++) {
            int start = at(beat);
            if (beat % 2 == 0) {
                double phase = 0;
                for (int i = 0; i < at(1); i++) {
                    double t = (double) i / rate;
                    phase += 2 * Math.PI * (45 + 80 * StrictMath.exp(-t / 0.03)) / rate;
                    add(start + i, 0.55 * StrictMath.exp(-t / 0.18) * StrictMath.sin(phase), 0);
                }
            } else {
                for (int i = 0; i < at(0.5); i++) {
                    double t = (double) i / rate;
                    double v = 0.22 * noise() * StrictMath.exp(-t / 0.07)
                            + 0.12 * StrictMath.sin(2 * Math.PI * 190 * t) * StrictMath.exp(-t / 0.05);
                    add(start + i, v, 0.55);
                }
            }
        }
        double previous = 0;
        for (int eighth = 0; eighth < BEATS * 2; eighth++) {
            int start = at(eighth * 0.5);
            for (int i = 0; i < at(0.25); i++) {
                double n = noise();
                double t = (double) i / rate;
                add(start + i, 0.10 * (n - previous) * StrictMath.exp(-t / 0.025), -0.6);
                previous = n;
            }
        }
    }

    private void bass() {
        for (int eighth = 0; eighth < BEATS * 2; eighth++) {
            double f = hz(BASS[eighth / 8]);
            int start = at(eighth * 0.5);
            for (int i = 0; i < at(0.5); i++) {
                double t = (double) i / rate;
                double env = Math.min(1, t / 0.005) * StrictMath.exp(-t / 0.3);
                double w = 2 * Math.PI * f * t;
                add(start + i, 0.32 * env * (StrictMath.sin(w) + 0.25 * StrictMath.sin(2 * w)), 0);
            }
        }
    }

    private void chords() {
        for (int bar = 0; bar < 4; bar++) {
            int start = at(bar * 4);
            int length = at(4);
            for (int note : CHORDS[bar]) {
                double f = hz(note);
                for (int i = 0; i < length; i++) {
                    double t = (double) i / rate;
                    double env = Math.min(1, t / 0.08) * Math.min(1, (length - i) / (0.05 * rate));
                    double v = 0;
                    for (int h = 1; h <= 6; h++) {
                        v += StrictMath.sin(2 * Math.PI * f * h * t) / h;
                    }
                    add(start + i, 0.045 * env * v, -0.8);
                }
            }
        }
    }

    private void arpeggio() {
        for (int sixteenth = 0; sixteenth < BEATS * 4; sixteenth++) {
            int[] chord = CHORDS[sixteenth / 16];
            double f = hz(chord[sixteenth % 3] + 12);
            int start = at(sixteenth * 0.25);
            for (int i = 0; i < at(0.25); i++) {
                double t = (double) i / rate;
                double w = 2 * Math.PI * f * t;
                double v = StrictMath.sin(w) + 0.3 * StrictMath.sin(3 * w);
                add(start + i, 0.07 * StrictMath.exp(-t / 0.09) * v, 0.8);
            }
        }
    }

    private void melody() {
        for (double[] n : MELODY) {
            int start = at(n[0]);
            int length = at(n[1]);
            double f = hz(n[2]);
            double phase = 0;
            for (int i = 0; i < length; i++) {
                double t = (double) i / rate;
                double vibrato = 1 + 0.004 * StrictMath.sin(2 * Math.PI * 5.5 * t) * Math.min(1, t / 0.2);
                phase += 2 * Math.PI * f * vibrato / rate;
                double env = Math.min(1, t / 0.03) * Math.min(1, (length - i) / (0.04 * rate));
                double v = StrictMath.sin(phase) + 0.5 * StrictMath.sin(2 * phase) + 0.3 * StrictMath.sin(3 * phase)
                        + 0.15 * StrictMath.sin(4 * phase);
                add(start + i, 0.2 * env * v, 0);
            }
        }
    }

    private short[] mix(double peakLevel) {
        double peak = 1e-9;
        for (int i = 0; i < frames; i++) {
            peak = Math.max(peak, Math.max(Math.abs(left[i]), Math.abs(right[i])));
        }
        double gain = peakLevel * 32767 / peak;
        short[] out = new short[frames * 2];
        for (int i = 0; i < frames; i++) {
            out[2 * i] = (short) Math.round(left[i] * gain);
            out[2 * i + 1] = (short) Math.round(right[i] * gain);
        }
        return out;
    }
}
