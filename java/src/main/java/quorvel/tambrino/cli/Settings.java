package quorvel.tambrino.cli;

import java.util.Locale;
import quorvel.tambrino.NativeInterface;

/**
 * Everything one run hands to the engine, checked against the engine's limits
 * and resolved for one stream: hops, block sizes and the latency to trim.
 *
 * <p>Latency: the engine's first frame holds {@code frameSize − stepIn} zeros
 * of history before the first input sample, and each synthesis frame lands
 * {@code hop} samples after the previous one. An input instant t (in samples)
 * sits on average at the centre of the frames that contain it, which puts it
 * in the raw output at {@code t × hop / stepIn + latency} with latency
 * {@code frameSize/2 + hop × (frameSize/2 − stepIn) / stepIn}. The tool drops
 * those first {@code latency} output frames and feeds silence after the input
 * until {@code round(inputFrames × hop / stepIn)} frames are out, so the
 * output starts with the input and lasts the input's duration divided by the
 * tempo actually played ({@code stepIn / hop}).
 */
final class Settings {
    static final double MIN_TEMPO = 0.1;
    static final double MAX_TEMPO = 10.0;
    static final int MIN_FRAME = 8;
    static final int MAX_FRAME = 4096;
    static final int MAX_OVERSAMPLING = 32;
    static final int DEFAULT_BLOCK = 4096;
    static final int MAX_BLOCK = 65536;
    static final double MIN_PREAMP_DB = -60.0;
    static final double MAX_PREAMP_DB = 24.0;

    final int channels;
    final int sampleRate;
    final double tempo;
    final int frameSize;
    final int overSampling;
    final int stepIn;
    final int hop;
    final int blockIn;
    final int blockOut;
    final int latency;
    final float preamp;
    final double preampDb;
    /** 0..100, 50 = unchanged; -1 = panning off. */
    final int pan;
    final boolean mono;
    /** 0 = off. */
    final double voiceAmount;
    final double voiceCutoff;
    /** null = equaliser off. */
    final EqCurve eq;
    final boolean spectrum;

    private Settings(Builder b) {
        channels = b.channels;
        sampleRate = b.sampleRate;
        tempo = b.tempo;
        frameSize = b.frameSize;
        overSampling = b.overSampling;
        preampDb = b.preampDb;
        mono = b.mono;
        voiceAmount = b.voiceAmount;
        voiceCutoff = b.voiceCutoff;
        eq = b.eq;
        spectrum = b.spectrum;

        if (Integer.bitCount(frameSize) != 1 || frameSize < MIN_FRAME || frameSize > MAX_FRAME) {
            throw CliException.usage("--frame-size " + frameSize + " is not allowed: the frame size must be a power"
                    + " of two from " + MIN_FRAME + " to " + MAX_FRAME);
        }
        int maxOver = Math.min(MAX_OVERSAMPLING, frameSize);
        if (overSampling < 1 || overSampling > maxOver) {
            throw CliException.usage("--oversampling " + overSampling + " is not allowed: it must lie between 1 and "
                    + maxOver + " with frame size " + frameSize);
        }
        stepIn = NativeInterface.analysisHop(frameSize, overSampling);
        double lowest = Math.max(MIN_TEMPO, (double) stepIn / frameSize);
        double highest = Math.min(MAX_TEMPO, stepIn);
        if (!(tempo >= lowest && tempo <= highest)) {
            throw CliException.usage(String.format(Locale.ROOT,
                    "--tempo %s is out of range: with frame size %d and oversampling %d the tempo must lie between"
                            + " %s and %s (1 = unchanged, 0.5 = half speed)",
                    fmt(tempo), frameSize, overSampling, fmt(lowest), fmt(highest)));
        }
        hop = NativeInterface.synthesisHop(frameSize, overSampling, tempo);
        if (b.block == null) {
            blockIn = stepIn * Math.max(1, (int) Math.round((double) DEFAULT_BLOCK / stepIn));
        } else {
            int block = b.block;
            if (block < stepIn || block > MAX_BLOCK || block % stepIn != 0) {
                throw CliException.usage("--block " + block + " is not allowed: the block must be a multiple of the"
                        + " analysis hop " + stepIn + " (frame size / oversampling) between " + stepIn + " and "
                        + MAX_BLOCK + " frames");
            }
            blockIn = block;
        }
        blockOut = NativeInterface.outputFrames(frameSize, overSampling, blockIn, tempo);
        latency = (int) Math.round(frameSize / 2.0 + (double) hop * (frameSize / 2 - stepIn) / stepIn);

        if (!(preampDb >= MIN_PREAMP_DB && preampDb <= MAX_PREAMP_DB)) {
            throw CliException.usage("--preamp " + fmt(preampDb) + " dB is out of range: the preamp must lie between "
                    + fmt(MIN_PREAMP_DB) + " and +" + fmt(MAX_PREAMP_DB) + " dB");
        }
        preamp = (float) Math.pow(10.0, preampDb / 20.0);
        if (b.pan != null && (b.pan < 0 || b.pan > 100)) {
            throw CliException.usage("--pan " + b.pan + " is out of range: the panning level must lie between 0 (both"
                    + " channels carry the right input) and 100 (both carry the left), 50 = unchanged");
        }
        pan = b.pan == null ? -1 : b.pan;
        if (pan != -1 && mono) {
            throw CliException.usage("--pan and --mono cannot be used together: --mono folds both channels to"
                    + " their average whatever the panning level");
        }
        if (!(voiceAmount >= 0 && voiceAmount <= 1)) {
            throw CliException.usage("--voice-amount " + fmt(voiceAmount) + " is out of range: the amount of voice"
                    + " removal must lie between 0 and 1");
        }
        double maxCutoff = Math.min(VoiceFilter.MAX_CUTOFF_HZ, sampleRate / 4.0);
        if (!(voiceCutoff >= VoiceFilter.MIN_CUTOFF_HZ && voiceCutoff <= maxCutoff)) {
            throw CliException.usage("--voice-cutoff " + fmt(voiceCutoff) + " Hz is out of range: it must lie"
                    + " between " + fmt(VoiceFilter.MIN_CUTOFF_HZ) + " and " + fmt(maxCutoff) + " Hz");
        }
    }

    static String fmt(double v) {
        if (v == Math.rint(v) && Math.abs(v) < 1e9) {
            return Long.toString((long) v);
        }
        return String.format(Locale.ROOT, "%.4g", v).replaceAll("0+$", "");
    }

    /** The tempo the engine plays: analysis hop over synthesis hop. */
    double realisedTempo() {
        return (double) stepIn / hop;
    }

    /** Output frames for an input of {@code inputFrames}: its length divided by the realised tempo. */
    long outputFrames(long inputFrames) {
        return (inputFrames * hop + stepIn / 2) / stepIn;
    }

    /** Whether a setting acts only on stereo streams. */
    boolean usesStereoFeatures() {
        return pan != -1 || mono || voiceAmount > 0;
    }

    /**
     * Notes on stderr about settings that work but sound worse than they
     * could: the engine's synthesis windows overlap too little once the
     * synthesis hop exceeds about 3/8 of the frame (slow tempos at low
     * oversampling), and its output level then ripples at rate / hop.
     */
    static void hints(Settings s, java.io.PrintStream err) {
        if (8L * s.hop > 3L * s.frameSize && s.overSampling < MAX_OVERSAMPLING) {
            err.println("tambrino: note: at tempo " + fmt(s.tempo) + " the level ripples with oversampling "
                    + s.overSampling + "; --oversampling " + Math.min(MAX_OVERSAMPLING, s.overSampling * 2)
                    + " sounds smoother");
        }
    }

    /** Hands every setting to the engine, after one {@code dspInit}. */
    void apply(NativeInterface engine) {
        engine.dspInit(frameSize, overSampling, sampleRate, channels);
        engine.dspSetPreamp(preamp);
        engine.dspPanning(pan != -1 || mono ? 1 : 0, mono ? 1 : 0, pan == -1 ? 50 : pan);
        if (voiceAmount > 0) {
            VoiceFilter.Coefficients c = VoiceFilter.design(voiceCutoff, sampleRate);
            // The coefficients must be in place before removal is switched on.
            engine.dspVoiceRemovalFilter(c.a, c.b, c.a.length, c.b.length);
            engine.dspVoiceRemovalAmount((float) voiceAmount);
            engine.dspVoiceRemovalEnable(1);
        } else {
            engine.dspVoiceRemovalEnable(0);
        }
        if (eq != null) {
            engine.dspEQSetBands(eq.binGains(frameSize, sampleRate));
            engine.dspEQEnable(1);
        } else {
            engine.dspEQEnable(0);
        }
        engine.dspSpectrumEnable(spectrum ? 1 : 0);
    }

    /** Collects the raw option values; {@link #build()} checks them. */
    static final class Builder {
        int channels = 2;
        int sampleRate = 44100;
        double tempo = 1.0;
        int frameSize = 2048;
        int overSampling = 4;
        Integer block;
        double preampDb;
        Integer pan;
        boolean mono;
        double voiceAmount;
        double voiceCutoff = VoiceFilter.DEFAULT_CUTOFF_HZ;
        EqCurve eq;
        boolean spectrum = true;

        Settings build() {
            return new Settings(this);
        }
    }
}
