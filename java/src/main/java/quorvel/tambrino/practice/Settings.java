// Everything one run hands to the engine, checked against its limits.
package quorvel.tambrino.practice;

import java.math.BigDecimal;
import java.math.MathContext;
import java.util.HashMap;
import java.util.Locale;
import java.util.Map;
import quorvel.tambrino.NativeInterface;
import quorvel.tambrino.Quality;
import quorvel.tambrino.Session;
import quorvel.tambrino.TempoStream;
import quorvel.tambrino.VoiceFilter;
import quorvel.tambrino.audio.CliException;

/**
 * Everything one run hands to the engine, checked against the engine's limits
 * with messages that name the options, and resolved for one stream: the
 * quality mode, the frame size and oversampling (chosen for fine mode unless
 * given) and the block size. The {@link Session} that {@link #open()} makes
 * sizes the blocks, and {@link TempoStream} trims the start-up delay and feeds
 * silence after the input, so the output starts with the input and lasts its
 * duration divided by the tempo played.
 */
public final class Settings {
    static final double MIN_TEMPO = Session.MIN_TEMPO;
    static final double MAX_TEMPO = Session.MAX_TEMPO;
    static final int MIN_FRAME = 8;
    static final int MAX_FRAME = 4096;
    static final int MAX_OVERSAMPLING = 32;
    static final int DEFAULT_BLOCK = Session.DEFAULT_BLOCK;
    static final int MAX_BLOCK = 65536;
    static final double MIN_PREAMP_DB = -60.0;
    static final double MAX_PREAMP_DB = 24.0;
    static final int EXACT_FRAME = 2048;
    static final int EXACT_OVERSAMPLING = 4;

    public final int channels;
    public final int sampleRate;
    public final double tempo;
    public final Quality quality;
    public final int frameSize;
    public final int overSampling;
    /** Whether the frame size and oversampling were chosen for the fine mode rather than given. */
    final boolean chosen;
    final int stepIn;
    /** Exact mode's synthesis hop; 0 in fine mode. */
    final int hop;
    final int blockIn;
    final float preamp;
    public final double preampDb;
    /** 0..100, 50 = unchanged; -1 = panning off. */
    public final int pan;
    public final boolean mono;
    /** 0 = off. */
    public final double voiceAmount;
    public final double voiceCutoff;
    /** null = equaliser off. */
    public final EqCurve eq;
    public final boolean spectrum;
    /** Semitones of transposition: --transpose, --cents and --tuning together. */
    public final float pitchShift;
    public final boolean keepFormants;
    public static final double MIN_TUNING_HZ = 220.0;
    public static final double MAX_TUNING_HZ = 880.0;
    /** The options' values as typed, for messages. */
    private final Map<String, String> typed;

    private Settings(Builder b) {
        typed = b.typed;
        channels = b.channels;
        sampleRate = b.sampleRate;
        tempo = b.tempo;
        quality = b.quality;
        preampDb = b.preampDb;
        mono = b.mono;
        voiceAmount = b.voiceAmount;
        voiceCutoff = b.voiceCutoff;
        eq = b.eq;
        spectrum = b.spectrum;
        boolean fine = quality == Quality.FINE;

        if (b.frameSize != null) {
            int f = b.frameSize;
            if (Integer.bitCount(f) != 1 || f < MIN_FRAME || f > MAX_FRAME) {
                throw CliException.usage("--frame-size " + shown("--frame-size", f) + " is not allowed: the frame size must be a power"
                        + " of two from " + MIN_FRAME + " to " + MAX_FRAME);
            }
        }
        frameSize = b.frameSize != null ? b.frameSize
                : fine ? NativeInterface.fineFrameSize(sampleRate) : EXACT_FRAME;
        int maxOver = Math.min(MAX_OVERSAMPLING, frameSize);
        if (b.overSampling != null && (b.overSampling < 1 || b.overSampling > maxOver)) {
            throw CliException.usage("--oversampling " + shown("--oversampling", b.overSampling) + " is not allowed: it must lie between 1"
                    + " and " + maxOver + " with frame size " + frameSize);
        }
        // A tempo out of range is refused below with the range of the
        // oversampling that a good one would have chosen.
        boolean tempoUsable = tempo > 0 && !Double.isInfinite(tempo);
        overSampling = b.overSampling != null ? b.overSampling
                : fine ? Math.min(maxOver, NativeInterface.fineOverSampling(frameSize, tempoUsable ? tempo : 1.0))
                : EXACT_OVERSAMPLING;
        chosen = fine && (b.frameSize == null || b.overSampling == null);
        stepIn = NativeInterface.analysisHop(frameSize, overSampling);
        double lowest = Session.minTempo(quality, frameSize, overSampling);
        double highest = Session.maxTempo(quality, frameSize, overSampling);
        if (!(tempo >= lowest && tempo <= highest)) {
            throw CliException.usage(tempoRangeMessage(b, lowest, highest));
        }
        hop = fine ? 0 : NativeInterface.synthesisHop(frameSize, overSampling, tempo);
        if (b.block == null) {
            blockIn = stepIn * Math.max(1, (int) Math.round((double) DEFAULT_BLOCK / stepIn));
        } else {
            int block = b.block;
            if (block < stepIn || block > MAX_BLOCK || block % stepIn != 0) {
                throw CliException.usage("--block " + shown("--block", block) + " is not allowed: the block must be a multiple of the"
                        + " analysis hop " + stepIn + " (frame size / oversampling) between " + stepIn + " and "
                        + MAX_BLOCK + " frames");
            }
            blockIn = block;
        }

        if (!(preampDb >= MIN_PREAMP_DB && preampDb <= MAX_PREAMP_DB)) {
            throw CliException.usage("--preamp " + shown("--preamp", preampDb) + " dB is out of range: the preamp must lie between "
                    + fmt(MIN_PREAMP_DB) + " and +" + fmt(MAX_PREAMP_DB) + " dB");
        }
        preamp = (float) Math.pow(10.0, preampDb / 20.0);
        if (b.pan != null && (b.pan < 0 || b.pan > 100)) {
            throw CliException.usage("--pan " + shown("--pan", b.pan) + " is out of range: the panning level must lie between 0 (both"
                    + " channels carry the right input) and 100 (both carry the left), 50 = unchanged");
        }
        pan = b.pan == null ? -1 : b.pan;
        if (pan != -1 && mono) {
            throw CliException.usage("--pan and --mono cannot be used together: --mono folds both channels to"
                    + " their average whatever the panning level");
        }
        if (!(voiceAmount >= 0 && voiceAmount <= 1)) {
            throw CliException.usage("--voice-amount " + shown("--voice-amount", voiceAmount) + " is out of range: the amount of voice"
                    + " removal must lie between 0 and 1");
        }
        pitchShift = pitchShiftOf(b, typed);
        keepFormants = b.keepFormants;
        if (pitchShift != 0 && !fine) {
            throw CliException.usage("--transpose, --cents, --tuning and --varispeed need --quality fine: the exact"
                    + " mode plays at the original pitch");
        }
        double maxCutoff = Math.min(VoiceFilter.MAX_CUTOFF_HZ, sampleRate / 4.0);
        if (!(voiceCutoff >= VoiceFilter.MIN_CUTOFF_HZ && voiceCutoff <= maxCutoff)) {
            throw CliException.usage("--voice-cutoff " + shown("--voice-cutoff", voiceCutoff) + " Hz is out of range: it must lie"
                    + " between " + fmt(VoiceFilter.MIN_CUTOFF_HZ) + " and " + fmtLimit(maxCutoff) + " Hz");
        }
    }

    /**
     * "--tempo 9 is out of range: with oversampling 8 the tempo must lie
     * between 0.1 and 8 in fine mode (...); --oversampling 16 plays up to 10".
     * The option named is the one that set the tempo (--varispeed names
     * the speed). The frame size and oversampling are named when the user
     * gave them or when they set an end of the range; a frame size chosen for
     * the input's rate and not limiting is left out, so that the message holds
     * before the input is opened. Where another oversampling plays the tempo
     * in the same mode, the message says so.
     */
    private String tempoRangeMessage(Builder b, double lowest, double highest) {
        boolean fine = quality == Quality.FINE;
        // The hop (frame size / oversampling) sets the slowest fine tempo and
        // the fastest exact one; the oversampling alone the other ends.
        boolean hopLimits = fine ? lowest > MIN_TEMPO : highest < MAX_TEMPO;
        boolean overLimits = hopLimits || (fine ? highest < MAX_TEMPO : lowest > MIN_TEMPO);
        StringBuilder with = new StringBuilder();
        if (b.frameSize != null || hopLimits) {
            with.append(" with frame size ").append(frameSize);
        }
        if (b.overSampling != null || overLimits) {
            with.append(with.length() == 0 ? " with" : " and").append(" oversampling ").append(overSampling);
        }
        boolean speed = b.tempoOption.equals("--varispeed");
        String subject = b.tempoLabel != null ? b.tempoLabel
                : b.tempoOption + " " + shown(b.tempoOption, tempo);
        return String.format(Locale.ROOT, "%s is out of range:%s the %s must lie between %s and %s in %s"
                        + " mode (1 = unchanged, 0.5 = half speed)%s", subject, with, speed ? "speed" : "tempo",
                fmtLimit(lowest), fmtLimit(highest), quality.name().toLowerCase(Locale.ROOT),
                oversamplingHint(tempo < lowest));
    }

    /**
     * "; --oversampling 16 plays up to 10": the oversampling nearest the one
     * in use whose range in this mode and frame size holds the tempo, or ""
     * when none does.
     */
    private String oversamplingHint(boolean tooSlow) {
        if (!(tempo >= MIN_TEMPO && tempo <= MAX_TEMPO)) {
            return "";
        }
        for (int o = tooSlow == (quality == Quality.EXACT) ? overSampling * 2 : overSampling / 2;
                o >= 1 && o <= Math.min(MAX_OVERSAMPLING, frameSize); o = tooSlow == (quality == Quality.EXACT) ? o * 2 : o / 2) {
            double lo = Session.minTempo(quality, frameSize, o);
            double hi = Session.maxTempo(quality, frameSize, o);
            if (tempo >= lo && tempo <= hi) {
                return "; --oversampling " + o + " plays " + (tooSlow ? "down to " + fmtLimit(lo) : "up to " + fmtLimit(hi));
            }
        }
        return "";
    }

    /** The value of {@code option} as the user typed it, else {@code value} written as they would have. */
    private String shown(String option, double value) {
        return shown(typed, option, value);
    }

    /** The value of {@code option} in {@code typed}, else {@code value} written as the user would have. */
    static String shown(Map<String, String> typed, String option, double value) {
        String t = typed.get(option);
        return t != null ? t : fmt(value);
    }

    /**
     * A number as the user would have typed it: the shortest decimal that
     * reads back as the same double, in plain notation between 1e-6 and 1e9
     * and in e-notation outside ({@code 1e-10}, not a rounded mantissa).
     */
    public static String fmt(double v) {
        if (Double.isNaN(v) || Double.isInfinite(v)) {
            return Double.toString(v);
        }
        if (v == Math.rint(v) && Math.abs(v) < 1e9) {
            return Long.toString((long) v);
        }
        BigDecimal d = new BigDecimal(Double.toString(v)).stripTrailingZeros();
        double a = Math.abs(v);
        if (a >= 1e-6 && a < 1e9) {
            return d.toPlainString();
        }
        return d.toString().replace("E+", "e").replace('E', 'e');
    }

    /** A computed limit to four significant digits: 0.3333, 2.5e-05. */
    static String fmtLimit(double v) {
        if (v == Math.rint(v) && Math.abs(v) < 1e9) {
            return Long.toString((long) v);
        }
        return fmt(new BigDecimal(v).round(new MathContext(4)).doubleValue());
    }

    /** The tempo the engine plays: the requested one in fine mode, analysis hop over synthesis hop in exact. */
    public double realisedTempo() {
        return quality == Quality.FINE ? tempo : (double) stepIn / hop;
    }

    private static float pitchShiftOf(Builder b, Map<String, String> typed) {
        double total = b.varispeed != null ? 12 * Math.log(b.varispeed) / Math.log(2) : 0;
        if (b.transpose != null) {
            if (!(Math.abs(b.transpose) <= NativeInterface.MAX_PITCH_SHIFT)) {
                throw CliException.usage("--transpose " + shown(typed, "--transpose", b.transpose) + " is out of range: it must lie between"
                        + " -24 and +24 semitones");
            }
            total += b.transpose;
        }
        if (b.cents != null) {
            if (!(Math.abs(b.cents) <= 100 * NativeInterface.MAX_PITCH_SHIFT)) {
                throw CliException.usage("--cents " + shown(typed, "--cents", b.cents) + " is out of range: it must lie between -2400"
                        + " and +2400");
            }
            total += b.cents / 100;
        }
        if (b.tuning != null) {
            if (!(b.tuning >= MIN_TUNING_HZ && b.tuning <= MAX_TUNING_HZ)) {
                throw CliException.usage("--tuning " + shown(typed, "--tuning", b.tuning) + " Hz is out of range: the recording's A4"
                        + " must lie between " + fmt(MIN_TUNING_HZ) + " and " + fmt(MAX_TUNING_HZ) + " Hz");
            }
            total += 12 * Math.log(440.0 / b.tuning) / Math.log(2);
        }
        if (Math.abs(total) > NativeInterface.MAX_PITCH_SHIFT + 1e-9) {
            throw CliException.usage("the transposition of " + transposition(total) + " is out of range: --transpose,"
                    + " --cents, --tuning and --varispeed together must lie between -24 and +24 semitones");
        }
        return (float) Math.max(-NativeInterface.MAX_PITCH_SHIFT, Math.min(NativeInterface.MAX_PITCH_SHIFT, total));
    }

    /** "+1.5 semitones", "-46 cents", "-2 semitones 10 cents" style: semitones with two decimals at most. */
    public static String transposition(double semitones) {
        double rounded = Math.rint(semitones * 100) / 100;
        if (Math.abs(rounded) < 1) {
            return String.format(Locale.ROOT, "%+d cents", Math.round(rounded * 100));
        }
        return (rounded > 0 ? "+" : "") + fmt(rounded) + " semitones";
    }

    /** ", transposed -2 semitones" when there is a transposition, else "". */
    public String pitchSummary() {
        return pitchShift != 0 ? ", transposed " + transposition(pitchShift) + (keepFormants ? " (formants kept)" : "")
                : "";
    }

    /** "fine, 4096/8 chosen for 44100 Hz" or "exact, 2048/4". */
    String modeSummary() {
        return quality.name().toLowerCase(Locale.ROOT) + ", " + frameSize + "/" + overSampling
                + (chosen ? " chosen for " + sampleRate + " Hz" : "");
    }

    /** Whether a setting acts only on stereo streams. */
    public boolean usesStereoFeatures() {
        return pan != -1 || mono || voiceAmount > 0;
    }

    /**
     * Notes on stderr about settings that work but sound worse than they
     * could: the engine's synthesis windows overlap too little once the
     * synthesis hop exceeds about 3/8 of the frame (slow tempos at low
     * oversampling), and its output level then ripples at rate / hop.
     */
    public static void hints(Settings s, java.io.PrintStream err) {
        if (s.quality == Quality.EXACT && 8L * s.hop > 3L * s.frameSize && s.overSampling < MAX_OVERSAMPLING) {
            err.println("tambrino: note: at tempo " + fmt(s.tempo) + " the level ripples with oversampling "
                    + s.overSampling + "; --oversampling " + Math.min(MAX_OVERSAMPLING, s.overSampling * 2)
                    + " sounds smoother");
        }
    }

    /**
     * Opens the engine's session with these settings, all of them handed over.
     *
     * @throws CliException when the engine cannot be loaded or has no fine mode
     */
    Session open() {
        Session session;
        try {
            session = Session.builder(sampleRate, channels).quality(quality).frameSize(frameSize)
                    .overSampling(overSampling).tempo(tempo).blockFrames(blockIn).pitchShift(pitchShift)
                    .keepFormants(keepFormants).open();
        } catch (LinkageError e) {
            throw CliException.engineNotLoaded(e);
        } catch (UnsupportedOperationException e) {
            throw new CliException(CliException.EXIT_ENGINE, e.getMessage()
                    + (quality == Quality.FINE ? "; --quality exact works without it" : ""), e);
        }
        try {
            session.setPreamp(preamp);
            session.setPanning(pan == -1 ? 50 : pan, mono);
            session.setVoiceRemoval(voiceAmount, voiceCutoff);
            session.setEqualizer(eq == null ? null : eq.binGains(frameSize, sampleRate));
            session.setSpectrumEnabled(spectrum);
        } catch (RuntimeException e) {
            session.close();
            throw e;
        }
        return session;
    }

    /** Collects the raw option values; {@link #build()} checks them. */
    public static final class Builder {
        public int channels = 2;
        public int sampleRate = 44100;
        public double tempo = 1.0;
        public Quality quality = Quality.FINE;
        public Integer frameSize;
        public Integer overSampling;
        public Integer block;
        public double preampDb;
        public Integer pan;
        public boolean mono;
        public double voiceAmount;
        public double voiceCutoff = VoiceFilter.DEFAULT_CUTOFF_HZ;
        public EqCurve eq;
        public boolean spectrum = true;
        public Double transpose;
        public Double cents;
        public Double tuning;
        public Double varispeed;
        public boolean keepFormants;
        /** The option that set the tempo, named by a tempo out of range: --tempo, --varispeed. */
        public String tempoOption = "--tempo";
        /** What a tempo out of range is called instead ("--trainer 0.05:1:0.1: the tempo 0.05"), or null. */
        public String tempoLabel;
        /** The options' values as the user typed them ("1e-400", "1:5"), named in messages rather than their values. */
        public final Map<String, String> typed = new HashMap<>();

        public Settings build() {
            return new Settings(this);
        }

    }
}
