package quorvel.tambrino;

/**
 * One stream through the engine: it sets the engine up, sizes every block so
 * that each returned sample is fresh, and takes the tempo and every other
 * setting from any thread while another thread streams.
 *
 * <pre>{@code
 * try (Session s = Session.builder(44100, 2).tempo(0.75).open()) {
 *     short[] block = s.newBuffer();
 *     // fill s.blockFrames() frames of block, then:
 *     int out = s.process(block, s.blockFrames());   // block now holds out fresh frames
 *     s.setTempo(0.8);                               // from any thread; the next block plays it
 * }
 * }</pre>
 *
 * <p><b>An engine of its own.</b> Each session creates its own {@link Engine}
 * when it opens and frees it when it closes, so any number of sessions may be
 * open at once, in one thread or several: each streams, bit for bit, what it
 * would stream alone. No session touches the process's default engine, which
 * code driving {@link NativeInterface} has to itself.
 *
 * <p><b>Threads.</b> {@link #process} and {@link #reset} belong to one
 * streaming thread; should two threads call them, their blocks run one after
 * the other, never together. Every setter and poller may be called from any
 * thread at any time; a new setting takes effect at the next block.
 *
 * <p><b>Refusals.</b> A call that throws changes nothing: an argument out of
 * range raises {@link IllegalArgumentException}, a null array
 * {@link NullPointerException}, and neither the engine, nor the session's
 * count of frames, nor the caller's array is touched, so the stream goes on
 * exactly as if the call had not been made.
 *
 * <p><b>Closing.</b> {@link #close} waits for a block in progress to end
 * and frees the session's engine; after it every method other than
 * {@code close} throws {@link IllegalStateException}. A session that is never
 * closed has its engine freed once it is unreachable, but the garbage
 * collector does not watch native memory: close sessions when done.
 *
 * <p><b>Block sizes.</b> In {@link Quality#EXACT} mode the engine writes whole
 * synthesis hops, so a block's input must be a multiple of the analysis hop
 * ({@link #blockFrames()} always is) and its output is the matching number of
 * hops. In {@link Quality#FINE} mode the output of block k is
 * {@code round(totalIn_k / tempo) − totalOut_(k−1)}, which keeps the requested
 * tempo exactly on average, also across tempo changes.
 */
public final class Session implements AutoCloseable {
    /** Number of notes in the spectrum: semitones from C1 to B6. */
    public static final int NOTES = 72;
    /** The slowest tempo any session accepts; a mode and frame may raise it ({@link #minTempo()}). */
    public static final double MIN_TEMPO = 0.1;
    /** The fastest tempo any session accepts; a mode and frame may lower it ({@link #maxTempo()}). */
    public static final double MAX_TEMPO = 10.0;
    /** Input frames per block unless the builder says otherwise (rounded to the analysis hop). */
    public static final int DEFAULT_BLOCK = 4096;
    /** The most input frames per block. */
    public static final int MAX_BLOCK = 65536;
    /** The lowest sample rate the engine takes, in Hz. */
    public static final int MIN_SAMPLE_RATE = 32;
    /** The highest sample rate a session takes, in Hz. */
    public static final int MAX_SAMPLE_RATE = 1_000_000;
    /**
     * The longest input, in frames, that {@link #outputFramesFor} and a {@link TempoStream}
     * take: 2^59, whose output at the slowest tempo still fits in a {@code long} (some 18,000
     * years at 1 MHz).
     */
    public static final long MAX_FRAMES = 1L << 59;

    /** Guards the one probe of the library that {@link #fineModeAvailable()} makes. */
    private static final Object PROBE_LOCK = new Object();
    private static Boolean fineAvailable;

    private final Engine engine;
    private final int sampleRate;
    private final int channels;
    private final int frameSize;
    private final int overSampling;
    private final int stepIn;
    private final int blockFrames;

    /** The mode and tempo, set together so that a reader never sees one without the other. */
    private static final class Pace {
        final Quality quality;
        final double tempo;

        Pace(Quality quality, double tempo) {
            this.quality = quality;
            this.tempo = tempo;
        }
    }

    private volatile Pace pace;
    /** Transposition in semitones (fine mode). */
    private volatile float pitchShift;
    private volatile boolean keepFormants;
    private volatile boolean closed;

    /**
     * Held for a block, a reset and a close, so that none of them overlaps
     * another: the engine must not be set up while a block runs. Taken before
     * {@code this}, which guards the settings and is never held for a block.
     */
    private final Object blockLock = new Object();

    // The streaming thread's own state, under blockLock.
    private Quality applied;
    private long totalIn;
    private long totalOut;
    /** Output frames owed so far in fine mode, in fractional frames. */
    private double fineTarget;
    private double lastStretch;
    private Quality lastQuality;
    private double lastTempo;
    private float lastPitchShift;

    // Settings, for whoever asks.
    private double voiceAmount;
    private double voiceCutoff = VoiceFilter.DEFAULT_CUTOFF_HZ;

    /** Checks the builder's settings, then makes the session's engine. */
    private Session(Builder b) {
        this.sampleRate = b.sampleRate;
        this.channels = b.channels;
        this.frameSize = b.resolvedFrameSize();
        this.overSampling = b.resolvedOverSampling(frameSize);
        this.stepIn = frameSize / overSampling;
        this.pace = new Pace(b.quality, b.tempo);
        this.pitchShift = b.pitchShift;
        this.keepFormants = b.keepFormants;
        checkTempo(b.tempo, b.quality);
        if (b.blockFrames == 0) {
            blockFrames = stepIn * Math.max(1, (int) Math.round((double) DEFAULT_BLOCK / stepIn));
        } else {
            if (b.blockFrames < stepIn || b.blockFrames > MAX_BLOCK || b.blockFrames % stepIn != 0) {
                throw new IllegalArgumentException("block of " + b.blockFrames + " frames: it must be a multiple of"
                        + " the analysis hop " + stepIn + " (frame size / oversampling) between " + stepIn + " and "
                        + MAX_BLOCK);
            }
            blockFrames = b.blockFrames;
        }
        engine = new Engine();
    }

    /** Settings fixed for a session's life; tempo and quality may change later. */
    public static Builder builder(int sampleRate, int channels) {
        return new Builder(sampleRate, channels);
    }

    /** What {@link Session#builder} collects; {@link #open()} checks it. */
    public static final class Builder {
        private final int sampleRate;
        private final int channels;
        private Quality quality = Quality.FINE;
        private int frameSize;
        private int overSampling;
        private double tempo = 1.0;
        private int blockFrames;
        private float pitchShift;
        private boolean keepFormants;

        private Builder(int sampleRate, int channels) {
            if (channels != 1 && channels != 2) {
                throw new IllegalArgumentException("channels " + channels + ": the engine takes 1 or 2");
            }
            if (sampleRate < MIN_SAMPLE_RATE || sampleRate > MAX_SAMPLE_RATE) {
                throw new IllegalArgumentException("sample rate " + sampleRate + " Hz is out of range: the engine"
                        + " takes " + MIN_SAMPLE_RATE + " to " + MAX_SAMPLE_RATE + " Hz");
            }
            this.sampleRate = sampleRate;
            this.channels = channels;
        }

        /** The processing mode to start in (default {@link Quality#FINE}). */
        public Builder quality(Quality q) {
            if (q == null) {
                throw new NullPointerException("quality");
            }
            this.quality = q;
            return this;
        }

        /**
         * FFT frame size, a power of two from 8 to 4096. Default: 2048 in exact
         * mode, {@link NativeInterface#fineFrameSize} in fine mode.
         *
         * @throws IllegalArgumentException at once, the builder unchanged, for
         *     any other size or one below the oversampling already given
         */
        public Builder frameSize(int n) {
            if (Integer.bitCount(n) != 1 || n < 8 || n > 4096) {
                throw new IllegalArgumentException("frame size " + n + " is not a power of two from 8 to 4096");
            }
            if (overSampling > n) {
                throw new IllegalArgumentException("frame size " + n + " is below the oversampling " + overSampling);
            }
            this.frameSize = n;
            return this;
        }

        /**
         * Frames overlapping each sample, 1 to 32 and at most the frame size.
         * Default: 4 in exact mode, {@link NativeInterface#fineOverSampling} in fine mode.
         *
         * @throws IllegalArgumentException at once, the builder unchanged, out of
         *     range or above the frame size already given
         */
        public Builder overSampling(int n) {
            if (n < 1 || n > 32) {
                throw new IllegalArgumentException("oversampling " + n + " is not between 1 and 32");
            }
            if (frameSize != 0 && n > frameSize) {
                throw new IllegalArgumentException("oversampling " + n + " exceeds the frame size " + frameSize);
            }
            this.overSampling = n;
            return this;
        }

        /**
         * The tempo to start with: 1 = unchanged, 0.5 = half speed.
         *
         * @throws IllegalArgumentException at once outside {@value Session#MIN_TEMPO} to
         *     {@value Session#MAX_TEMPO}; {@link #open()} then checks the narrower range of
         *     the chosen mode, frame size and oversampling
         */
        public Builder tempo(double t) {
            if (!(t >= MIN_TEMPO && t <= MAX_TEMPO)) {
                // The range stated is the one the builder's settings so far
                // would play; open() checks again once they are all known.
                int frame = resolvedFrameSize();
                int over = overSampling != 0 ? overSampling
                        : quality == Quality.FINE ? NativeInterface.fineOverSampling(frame, 1.0) : 4;
                throw new IllegalArgumentException("tempo " + t + " is out of range: "
                        + quality.name().toLowerCase(java.util.Locale.ROOT) + " mode with frame size " + frame
                        + " and oversampling " + over + " plays from " + minTempo(quality, frame, over) + " to "
                        + maxTempo(quality, frame, over));
            }
            this.tempo = t;
            return this;
        }

        /**
         * The transposition to start with, in semitones (fractions are cents),
         * as {@link Session#setPitchShift} takes it.
         *
         * @throws IllegalArgumentException at once, the builder unchanged, when
         *     not finite or beyond ±{@value NativeInterface#MAX_PITCH_SHIFT}
         */
        public Builder pitchShift(float semitones) {
            NativeInterface.checkPitchShift(semitones);
            this.pitchShift = semitones;
            return this;
        }

        /** Whether a transposition keeps the formants, as {@link Session#setKeepFormants} takes it. */
        public Builder keepFormants(boolean keep) {
            this.keepFormants = keep;
            return this;
        }

        /**
         * Input frames per block, up to {@value Session#MAX_BLOCK}; default about
         * {@value Session#DEFAULT_BLOCK}. {@link #open()} checks that it is a
         * multiple of the analysis hop (frame size / oversampling).
         *
         * @throws IllegalArgumentException at once when not between 1 and {@value Session#MAX_BLOCK}
         */
        public Builder blockFrames(int n) {
            if (n < 1 || n > MAX_BLOCK) {
                throw new IllegalArgumentException("block of " + n + " frames is not between 1 and " + MAX_BLOCK);
            }
            this.blockFrames = n;
            return this;
        }

        int resolvedFrameSize() {
            if (frameSize != 0) {
                return frameSize;
            }
            return quality == Quality.FINE ? NativeInterface.fineFrameSize(sampleRate) : 2048;
        }

        int resolvedOverSampling(int frame) {
            int over = overSampling;
            if (over == 0) {
                // A tempo out of range is refused later, with the range of
                // the oversampling that a good one would have chosen.
                boolean usable = tempo > 0 && !Double.isInfinite(tempo);
                over = quality == Quality.FINE ? NativeInterface.fineOverSampling(frame, usable ? tempo : 1.0) : 4;
            }
            if (over > frame) {
                throw new IllegalArgumentException("oversampling " + over + " exceeds the frame size " + frame);
            }
            return over;
        }

        /**
         * Creates the session's own engine, sets it up and opens the session.
         * Sessions already open are not touched.
         *
         * @throws IllegalArgumentException when a setting is out of range
         * @throws UnsupportedOperationException when fine mode is asked for and the loaded
         *     engine library does not have it
         * @throws OutOfMemoryError when the engine's native state cannot be allocated
         * @throws UnsatisfiedLinkError when the engine library cannot be loaded
         */
        public Session open() {
            Session s = new Session(this);
            try {
                if (quality == Quality.FINE && !fineModeAvailable()) {
                    throw new UnsupportedOperationException("the engine library loaded from "
                            + NativeInterface.libraryOrigin() + " has no fine mode; use Quality.EXACT");
                }
                s.start();
                return s;
            } catch (RuntimeException | Error e) {
                s.engine.close();
                throw e;
            }
        }
    }

    /**
     * Whether the loaded engine library has the fine mode. Asking loads the
     * library and, the first time, asks an engine made for the question, so
     * that no other engine, the default one included, is touched.
     */
    public static boolean fineModeAvailable() {
        synchronized (PROBE_LOCK) {
            if (fineAvailable == null) {
                try (Engine probe = new Engine()) {
                    probe.dspQualityMode(NativeInterface.QUALITY_EXACT);
                    fineAvailable = true;
                } catch (UnsatisfiedLinkError e) {
                    fineAvailable = false;
                }
            }
            return fineAvailable;
        }
    }

    private void start() {
        engine.dspInit(frameSize, overSampling, sampleRate, channels);
        if (fineModeAvailable()) {
            engine.dspQualityMode(pace.quality.code);
        }
        applied = pace.quality;
        engine.dspPitchShift(pitchShift);
        engine.dspPitchFormants(keepFormants ? 1 : 0);
        engine.dspSetPreamp(1.0f);
        engine.dspPanning(0, 0, 50);
        engine.dspVoiceRemovalEnable(0);
        engine.dspEQEnable(0);
        engine.dspSpectrumEnable(1);
    }

    // ---------------------------------------------------------------------
    // Fixed for the session

    /** The stream's sample rate in Hz. */
    public int sampleRate() {
        checkOpen();
        return sampleRate;
    }

    /** 1 (mono) or 2 (interleaved stereo). */
    public int channels() {
        checkOpen();
        return channels;
    }

    /** The FFT frame size, a power of two from 8 to 4096. */
    public int frameSize() {
        checkOpen();
        return frameSize;
    }

    /** How many frames overlap each sample: the frame size over the analysis hop. */
    public int overSampling() {
        checkOpen();
        return overSampling;
    }

    /** Input frames per block that {@link #process} takes; a multiple of the analysis hop. */
    public int blockFrames() {
        checkOpen();
        return blockFrames;
    }

    /** The most output frames that a block of {@link #blockFrames()} input frames can return, at any tempo. */
    public int maxOutputFrames() {
        checkOpen();
        return (int) Math.ceil(blockFrames / MIN_TEMPO) + blockFrames / stepIn + 2;
    }

    /** An array that holds any block, in and out: {@code max(blockFrames, maxOutputFrames) × channels}. */
    public short[] newBuffer() {
        return new short[Math.max(blockFrames(), maxOutputFrames()) * channels];
    }

    // ---------------------------------------------------------------------
    // Tempo and quality (any thread)

    /** The slowest tempo that the current mode plays with this frame size and oversampling. */
    public double minTempo() {
        checkOpen();
        return minTempo(pace.quality);
    }

    /** The fastest tempo that the current mode plays with this frame size and oversampling. */
    public double maxTempo() {
        checkOpen();
        return maxTempo(pace.quality);
    }

    private double minTempo(Quality q) {
        return minTempo(q, frameSize, overSampling);
    }

    private double maxTempo(Quality q) {
        return maxTempo(q, frameSize, overSampling);
    }

    /**
     * The slowest tempo that a mode plays with a frame size and oversampling,
     * at least {@link #MIN_TEMPO}: in exact mode the synthesis hop must be at
     * most a frame, in fine mode the analysis hop at least a sample.
     *
     * @throws IllegalArgumentException when the frame size is not a power of two in 8..4096 or the
     *     oversampling is not in 1..frameSize
     */
    public static double minTempo(Quality q, int frameSize, int overSampling) {
        int hop = hopOf(q, frameSize, overSampling);
        return Math.max(MIN_TEMPO, q == Quality.EXACT ? (double) hop / frameSize : 1.0 / hop);
    }

    /**
     * The fastest tempo that a mode plays with a frame size and oversampling,
     * at most {@link #MAX_TEMPO}: in exact mode the synthesis hop must be at
     * least a sample, in fine mode the analysis hop at most a frame (the
     * tempo at most the oversampling).
     *
     * @throws IllegalArgumentException as {@link #minTempo(Quality, int, int)}
     */
    public static double maxTempo(Quality q, int frameSize, int overSampling) {
        int hop = hopOf(q, frameSize, overSampling);
        return Math.min(MAX_TEMPO, q == Quality.EXACT ? hop : overSampling);
    }

    private static int hopOf(Quality q, int frameSize, int overSampling) {
        if (q == null) {
            throw new NullPointerException("quality");
        }
        if (Integer.bitCount(frameSize) != 1 || frameSize < 8 || frameSize > 4096) {
            throw new IllegalArgumentException("frame size " + frameSize + " is not a power of two from 8 to 4096");
        }
        if (overSampling < 1 || overSampling > frameSize) {
            throw new IllegalArgumentException("oversampling " + overSampling + " is not between 1 and the frame size "
                    + frameSize);
        }
        return frameSize / overSampling;
    }

    private void checkTempo(double t, Quality q) {
        if (!(t >= minTempo(q) && t <= maxTempo(q))) {
            throw new IllegalArgumentException("tempo " + t + " is out of range: " + q.name().toLowerCase()
                    + " mode with frame size " + frameSize + " and oversampling " + overSampling + " plays from "
                    + minTempo(q) + " to " + maxTempo(q));
        }
    }

    /**
     * Sets the tempo (1 = unchanged, 0.5 = half speed) from any thread; the
     * next block plays it, without restarting the engine.
     *
     * @throws IllegalArgumentException outside {@link #minTempo()}..{@link #maxTempo()}
     */
    public void setTempo(double t) {
        synchronized (this) {
            checkOpen();
            Quality q = pace.quality;
            checkTempo(t, q);
            pace = new Pace(q, t);
        }
    }

    /** The tempo last set: 1 = unchanged, 0.5 = half speed. */
    public double tempo() {
        checkOpen();
        return pace.tempo;
    }

    /**
     * Switches the processing mode from any thread; the next block plays it,
     * and both channels' phases restart. A tempo outside the new mode's range
     * is brought to its nearest end.
     *
     * @throws UnsupportedOperationException for fine mode when the engine does not have it
     */
    public void setQuality(Quality q) {
        checkOpen();
        if (q == null) {
            throw new NullPointerException("quality");
        }
        if (q == Quality.FINE && !fineModeAvailable()) {
            throw new UnsupportedOperationException("the loaded engine library has no fine mode");
        }
        synchronized (this) {
            checkOpen();
            pace = new Pace(q, Math.max(minTempo(q), Math.min(maxTempo(q), pace.tempo)));
        }
    }

    /**
     * Transposes the music by {@code semitones} (−24 to 24; 0.1 is ten
     * cents) from any thread, independently of the tempo; the next block
     * glides to it without a click. It acts in the fine mode; the exact mode
     * plays at the original pitch (and keeps the setting for a switch back).
     *
     * @throws IllegalArgumentException when not finite or out of range; the
     *     shift then stays as it was
     */
    public synchronized void setPitchShift(float semitones) {
        checkOpen();
        NativeInterface.checkPitchShift(semitones);
        engine.dspPitchShift(semitones);
        pitchShift = semitones;
    }

    /**
     * Whether a transposition keeps the spectral envelope (the formants: a
     * voice's timbre, an instrument's body) where it was while the partials
     * move; any thread, the next block takes it. Off by default.
     */
    public synchronized void setKeepFormants(boolean keep) {
        checkOpen();
        engine.dspPitchFormants(keep ? 1 : 0);
        keepFormants = keep;
    }

    /** Whether a transposition keeps the formants. */
    public boolean keepFormants() {
        checkOpen();
        return keepFormants;
    }

    /** The transposition last set, in semitones. */
    public float pitchShift() {
        checkOpen();
        return pitchShift;
    }

    /** The processing mode last set. */
    public Quality quality() {
        checkOpen();
        return pace.quality;
    }

    /**
     * At the current tempo and mode, how many output frames come before the
     * output of the first input frame: what a caller drops at the start to
     * keep output and input aligned ({@link TempoStream} does it).
     */
    public int latencyFrames() {
        checkOpen();
        Pace p = pace;
        return latencyFrames(p.quality, p.tempo, pitchShift);
    }

    int latencyFrames(Quality q, double t, float semitones) {
        if (q == Quality.FINE) {
            return NativeInterface.fineLatency(frameSize, overSampling, t, semitones);
        }
        int hop = NativeInterface.synthesisHop(frameSize, overSampling, t);
        return (int) Math.round(frameSize / 2.0 + (double) hop * (frameSize / 2 - stepIn) / stepIn);
    }

    /** Whether {@link #close} has run; the one question a closed session answers. */
    boolean isClosed() {
        return closed;
    }

    /**
     * The tempo that the engine plays at the current setting: the requested
     * one in fine mode, the analysis hop over the nearest whole synthesis hop
     * in exact mode.
     */
    public double playedTempo() {
        checkOpen();
        Pace p = pace;
        if (p.quality == Quality.FINE) {
            return p.tempo;
        }
        return (double) stepIn / NativeInterface.synthesisHop(frameSize, overSampling, p.tempo);
    }

    /**
     * How many output frames {@code inputFrames} input frames stand for at
     * the current tempo and mode, rounded to the nearest frame: their length
     * divided by {@link #playedTempo()}.
     *
     * @throws IllegalArgumentException for a count that is negative or above {@link #MAX_FRAMES}
     */
    public long outputFramesFor(long inputFrames) {
        checkOpen();
        if (inputFrames < 0 || inputFrames > MAX_FRAMES) {
            throw new IllegalArgumentException("input of " + inputFrames + " frames: a count of frames is 0 to "
                    + MAX_FRAMES);
        }
        Pace p = pace;
        return outputFramesFor(inputFrames, p.quality, p.tempo);
    }

    long outputFramesFor(long inputFrames, Quality q, double t) {
        if (q == Quality.FINE) {
            return Math.round(inputFrames / t);
        }
        long hop = NativeInterface.synthesisHop(frameSize, overSampling, t);
        // In whole hops first: inputFrames * hop alone would overflow long before the result.
        long hops = inputFrames / stepIn;
        return hops * hop + ((inputFrames - hops * stepIn) * hop + stepIn / 2) / stepIn;
    }

    // ---------------------------------------------------------------------
    // Other settings (any thread)

    /** Gain after the stretch, as a linear factor from 0 to 64 (1 = unchanged); a soft limiter catches the peaks. */
    public synchronized void setPreamp(float gain) {
        checkOpen();
        if (!(gain >= 0 && gain <= NativeInterface.MAX_PREAMP)) {
            throw new IllegalArgumentException("preamp " + gain + " is not a gain between 0 and "
                    + NativeInterface.MAX_PREAMP);
        }
        engine.dspSetPreamp(gain);
    }

    /**
     * Panning: {@code level} 0 to 100, 50 = each channel keeps its own input,
     * 0 puts the right input in both, 100 the left; {@code mono} folds both
     * channels to their average instead. A mono session takes the call and
     * sounds the same, so that a player's switch need not know the channel count.
     */
    public synchronized void setPanning(int level, boolean mono) {
        checkOpen();
        if (level < 0 || level > 100) {
            throw new IllegalArgumentException("panning level " + level + " is not between 0 and 100");
        }
        engine.dspPanning(mono || level != 50 ? 1 : 0, mono ? 1 : 0, level);
    }

    /**
     * Removes what is panned to the centre, keeping the bass below
     * {@code cutoffHz} ({@value VoiceFilter#MIN_CUTOFF_HZ} to
     * {@value VoiceFilter#MAX_CUTOFF_HZ} Hz, at most a quarter of the sample
     * rate): {@code amount} 0 (off) to 1 (all of it). Only a stereo stream
     * has a centre: a mono session takes the call, reports the amount in
     * {@link #voiceRemoval()} and sounds the same.
     */
    public synchronized void setVoiceRemoval(double amount, double cutoffHz) {
        checkOpen();
        if (!(amount >= 0 && amount <= 1)) {
            throw new IllegalArgumentException("voice removal amount " + amount + " is not between 0 and 1");
        }
        if (!(cutoffHz >= VoiceFilter.MIN_CUTOFF_HZ && cutoffHz <= Math.min(VoiceFilter.MAX_CUTOFF_HZ,
                sampleRate / 4.0))) {
            throw new IllegalArgumentException("voice cut-off " + cutoffHz + " Hz is not between "
                    + VoiceFilter.MIN_CUTOFF_HZ + " and " + Math.min(VoiceFilter.MAX_CUTOFF_HZ, sampleRate / 4.0));
        }
        if (amount > 0) {
            if (voiceAmount == 0 || cutoffHz != voiceCutoff) {
                sendVoiceFilter(cutoffHz);
            }
            engine.dspVoiceRemovalAmount((float) amount);
            engine.dspVoiceRemovalEnable(1);
        } else {
            engine.dspVoiceRemovalEnable(0);
        }
        voiceAmount = amount;
        voiceCutoff = cutoffHz;
    }

    /** Hands over fresh filters, with empty histories; before removal is switched on. */
    private void sendVoiceFilter(double cutoffHz) {
        VoiceFilter.Coefficients c = VoiceFilter.design(cutoffHz, sampleRate);
        engine.dspVoiceRemovalFilter(c.a, c.b, c.a.length, c.b.length);
    }

    /** The voice removal amount last set, 0 = off. */
    public synchronized double voiceRemoval() {
        checkOpen();
        return voiceAmount;
    }

    /**
     * The equaliser: one linear gain per FFT bin ({@code frameSize / 2}
     * values, each 0 to 1000, 1 = unchanged), or null to switch it off.
     * {@link EqualizerCurve#binGains} makes them from points in Hz and dB;
     * {@link #setEqualizerCurve} does it for this session.
     *
     * <p>Gains beyond the session's bins are checked and not used. The array
     * is copied before it is checked, so that another thread writing into it
     * cannot slip an unchecked gain past the check.
     */
    public synchronized void setEqualizer(float[] binGains) {
        checkOpen();
        if (binGains == null) {
            engine.dspEQEnable(0);
            return;
        }
        float[] table = binGains.clone();
        if (table.length < frameSize / 2) {
            throw new IllegalArgumentException("equaliser of " + table.length + " gains: it needs one per bin, "
                    + frameSize / 2);
        }
        for (float g : table) {
            if (!(g >= 0 && g <= NativeInterface.MAX_EQ_GAIN)) {
                throw new IllegalArgumentException("equaliser gain " + g + " is not between 0 and "
                        + NativeInterface.MAX_EQ_GAIN);
            }
        }
        // The session's engine was sized for its frame at set-up: one gain per bin.
        engine.dspEQSetBands(table);
        engine.dspEQEnable(1);
    }

    /** The equaliser from a curve in Hz and dB, at this session's bins; null switches it off. */
    public synchronized void setEqualizerCurve(EqualizerCurve curve) {
        checkOpen();
        setEqualizer(curve == null ? null : curve.binGains(frameSize, sampleRate));
    }

    /** Runs the 72-note spectrum analyser or stops it (it runs unless stopped). */
    public synchronized void setSpectrumEnabled(boolean on) {
        checkOpen();
        engine.dspSpectrumEnable(on ? 1 : 0);
    }

    // ---------------------------------------------------------------------
    // Polled values (any thread)

    /** The peak level of the last block, before the limiter (1.0 = full scale). */
    public synchronized float peakLevel() {
        checkOpen();
        return engine.dspGetMaxLevel();
    }

    /** The 72 note levels, C1 to B6, into {@code into} (at least 72 long), which is returned. */
    public synchronized float[] spectrum(float[] into) {
        checkOpen();
        if (into == null) {
            throw new NullPointerException("spectrum array");
        }
        if (into.length < NOTES) {
            throw new IllegalArgumentException("spectrum array of " + into.length + ": it needs " + NOTES);
        }
        engine.dspGetSpectrum(into, NOTES);
        return into;
    }

    // ---------------------------------------------------------------------
    // Streaming (one thread)

    /**
     * Stretches one block in place: {@code framesIn} frames (interleaved when
     * stereo) in, the returned number of fresh frames out. The output starts
     * {@link #latencyFrames()} late and holds the input up to that delay
     * before its latest frame; {@link TempoStream} aligns it with the input
     * and plays out the end.
     *
     * @param buffer at least {@code max(framesIn, maxOutputFrames) × channels} long
     * @param framesIn a positive multiple of the analysis hop, at most {@link #blockFrames()}
     * @return the frames now in {@code buffer}
     * @throws IllegalArgumentException for a block the session cannot size, nothing processed
     * @throws NullPointerException for a null buffer, nothing processed
     * @throws IllegalStateException once the session is closed
     */
    public int process(short[] buffer, int framesIn) {
        synchronized (blockLock) {
            checkOpen();
            if (buffer == null) {
                throw new NullPointerException("buffer");
            }
            if (framesIn < 1 || framesIn > blockFrames || framesIn % stepIn != 0) {
                throw new IllegalArgumentException("block of " + framesIn + " frames: it must be a positive"
                        + " multiple of " + stepIn + " up to " + blockFrames);
            }
            Pace p = pace;
            Quality q = p.quality;
            double t = p.tempo;
            float shift = pitchShift;
            // Everything is sized and checked before anything is counted or
            // the engine is touched, so a refused block leaves no trace.
            boolean switching = q != applied;
            double target = switching ? totalOut : fineTarget;
            int framesOut;
            if (q == Quality.FINE) {
                target += framesIn / t;
                framesOut = (int) (Math.round(target) - totalOut);
                // One block's rounding must not take its analysis hop past
                // the frame (or under a sample) at a tempo at the end of the
                // range; the running target makes up for it over the next ones
                // where the tempo leaves room, else the block plays a frame
                // longer than the tempo asks rather than failing mid-stream.
                long fewest = ((long) framesIn * stepIn + frameSize - 1) / frameSize;
                long most = (long) framesIn * stepIn;
                framesOut = (int) Math.max(fewest, Math.min(most, framesOut));
            } else {
                framesOut = NativeInterface.outputFrames(frameSize, overSampling, framesIn, t);
            }
            if (buffer.length < (long) Math.max(framesIn, framesOut) * channels) {
                throw new IllegalArgumentException("buffer of " + buffer.length + " samples cannot hold " + framesOut
                        + " frames of " + channels + " channels; use newBuffer()");
            }
            if (switching) {
                engine.dspQualityMode(q.code);
                applied = q;
                fineTarget = totalOut;
            }
            engine.dspProcess(buffer, framesIn, framesOut, 0f);
            fineTarget = target;
            totalIn += framesIn;
            totalOut += framesOut;
            lastStretch = q == Quality.FINE ? 1 / t : (double) framesOut / framesIn;
            lastQuality = q;
            lastTempo = t;
            lastPitchShift = shift;
            return framesOut;
        }
    }

    /** Output frames per input frame of the last block, as played: 1 / the played tempo (0 before the first). */
    public double lastStretch() {
        checkOpen();
        return lastStretch;
    }

    /** The mode and tempo of the last block, for the count of a whole stream played at one tempo. */
    Quality lastQuality() {
        return lastQuality;
    }

    double lastTempo() {
        return lastTempo;
    }

    float lastPitchShift() {
        return lastPitchShift;
    }

    /**
     * Starts a new time line, as after a seek: the engine forgets the input
     * so far (the next block's output is what a fresh session's would be)
     * while the tempo, mode and every other setting stay. Call it from the
     * streaming thread, between blocks.
     */
    public void reset() {
        synchronized (blockLock) {
            synchronized (this) {
                checkOpen();
                engine.dspInit(frameSize, overSampling, sampleRate, channels);
                if (voiceAmount > 0) {
                    // The filters' histories belong to the old time line.
                    sendVoiceFilter(voiceCutoff);
                }
            }
            totalIn = 0;
            totalOut = 0;
            fineTarget = 0;
            lastStretch = 0;
        }
    }

    private void checkOpen() {
        if (closed) {
            throw new IllegalStateException("the session is closed");
        }
    }

    /**
     * Ends the session and frees its engine; closing again does nothing. A
     * block in progress on another thread ends first. From then on every
     * other method throws {@link IllegalStateException}.
     */
    @Override
    public void close() {
        synchronized (blockLock) {
            synchronized (this) {
                if (!closed) {
                    closed = true;
                    engine.close();
                }
            }
        }
    }
}
