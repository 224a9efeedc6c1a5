package quorvel.tambrino;

import java.util.Arrays;

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
 * <p><b>One engine per process.</b> The native engine keeps a single global
 * state, so at most one session is open in a process at a time: opening a
 * second one while the first is open throws {@link IllegalStateException}
 * and leaves the first untouched. Close the first (from any thread, once its
 * streaming thread has stopped calling {@link #process}) and the next may
 * open; it sets the engine up afresh. Code that drives
 * {@link NativeInterface} directly shares the same engine and must not run
 * while a session is open.
 *
 * <p><b>Threads.</b> {@link #process} runs on one streaming thread at a time.
 * Every setter and poller may be called from any thread at any time; a new
 * setting takes effect at the next block. Setters check their argument and
 * throw {@link IllegalArgumentException} without changing anything when it is
 * out of range.
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
    /** The slowest and fastest tempos any session accepts. */
    public static final double MIN_TEMPO = 0.1;
    public static final double MAX_TEMPO = 10.0;
    /** Input frames per block unless the builder says otherwise (rounded to the analysis hop). */
    public static final int DEFAULT_BLOCK = 4096;
    static final int MAX_BLOCK = 65536;
    /** Bins of the largest frame, 4096. */
    private static final int MAX_EQ_BANDS = 2048;

    private static final Object OPEN_LOCK = new Object();
    private static Session current;
    private static Boolean fineAvailable;

    private final NativeInterface engine;
    private final int sampleRate;
    private final int channels;
    private final int frameSize;
    private final int overSampling;
    private final int stepIn;
    private final int blockFrames;

    private volatile double tempo;
    private volatile Quality quality;
    private volatile boolean closed;

    // The streaming thread's own state.
    private Quality applied;
    private long totalIn;
    private long totalOut;
    /** Output frames owed so far in fine mode, in fractional frames. */
    private double fineTarget;
    private double lastStretch;

    // Settings, for whoever asks.
    private double voiceAmount;
    private double voiceCutoff = VoiceFilter.DEFAULT_CUTOFF_HZ;

    private Session(Builder b, NativeInterface engine) {
        this.engine = engine;
        this.sampleRate = b.sampleRate;
        this.channels = b.channels;
        this.quality = b.quality;
        this.frameSize = b.resolvedFrameSize();
        this.overSampling = b.resolvedOverSampling(frameSize);
        this.stepIn = frameSize / overSampling;
        this.tempo = b.tempo;
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

        private Builder(int sampleRate, int channels) {
            if (channels != 1 && channels != 2) {
                throw new IllegalArgumentException("channels " + channels + ": the engine takes 1 or 2");
            }
            if (sampleRate < 1 || sampleRate > 1_000_000) {
                throw new IllegalArgumentException("sample rate " + sampleRate + " Hz is out of range");
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
         */
        public Builder frameSize(int n) {
            if (Integer.bitCount(n) != 1 || n < 8 || n > 4096) {
                throw new IllegalArgumentException("frame size " + n + " is not a power of two from 8 to 4096");
            }
            this.frameSize = n;
            return this;
        }

        /**
         * Frames overlapping each sample, 1 to 32 and at most the frame size.
         * Default: 4 in exact mode, {@link NativeInterface#fineOverSampling} in fine mode.
         */
        public Builder overSampling(int n) {
            if (n < 1 || n > 32) {
                throw new IllegalArgumentException("oversampling " + n + " is not between 1 and 32");
            }
            this.overSampling = n;
            return this;
        }

        /** The tempo to start with: 1 = unchanged, 0.5 = half speed. */
        public Builder tempo(double t) {
            this.tempo = t;
            return this;
        }

        /** Input frames per block: a multiple of the analysis hop; default about {@value #DEFAULT_BLOCK}. */
        public Builder blockFrames(int n) {
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
         * Sets the engine up and opens the session.
         *
         * @throws IllegalStateException when another session is open in this process
         * @throws IllegalArgumentException when a setting is out of range
         * @throws UnsupportedOperationException when fine mode is asked for and the loaded
         *     engine library does not have it
         * @throws UnsatisfiedLinkError when the engine library cannot be loaded
         */
        public Session open() {
            synchronized (OPEN_LOCK) {
                if (current != null) {
                    throw new IllegalStateException("a session is already open in this process, and the engine is"
                            + " one per process: close the other session first");
                }
                NativeInterface engine = new NativeInterface();
                Session s = new Session(this, engine);
                if (quality == Quality.FINE && !fineModeAvailable()) {
                    throw new UnsupportedOperationException("the engine library loaded from "
                            + NativeInterface.libraryOrigin() + " has no fine mode; use Quality.EXACT");
                }
                s.start();
                current = s;
                return s;
            }
        }
    }

    /**
     * Whether the loaded engine library has the fine mode. Asking loads the
     * library; it does not change the engine when no session is open.
     */
    public static boolean fineModeAvailable() {
        synchronized (OPEN_LOCK) {
            if (fineAvailable == null) {
                NativeInterface engine = new NativeInterface();
                try {
                    // The default mode: harmless when nothing streams, and the session sets its own.
                    if (current == null) {
                        engine.dspQualityMode(NativeInterface.QUALITY_EXACT);
                    }
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
            engine.dspQualityMode(quality.code);
        }
        applied = quality;
        engine.dspSetPreamp(1.0f);
        engine.dspPanning(0, 0, 50);
        engine.dspVoiceRemovalEnable(0);
        engine.dspEQEnable(0);
        engine.dspSpectrumEnable(1);
    }

    // ---------------------------------------------------------------------
    // Fixed for the session

    public int sampleRate() {
        return sampleRate;
    }

    public int channels() {
        return channels;
    }

    public int frameSize() {
        return frameSize;
    }

    public int overSampling() {
        return overSampling;
    }

    /** Input frames per block that {@link #process} takes; a multiple of the analysis hop. */
    public int blockFrames() {
        return blockFrames;
    }

    /** The most output frames that a block of {@link #blockFrames()} input frames can return, at any tempo. */
    public int maxOutputFrames() {
        return (int) Math.ceil(blockFrames / MIN_TEMPO) + blockFrames / stepIn + 2;
    }

    /** An array that holds any block, in and out: {@code max(blockFrames, maxOutputFrames) × channels}. */
    public short[] newBuffer() {
        return new short[Math.max(blockFrames, maxOutputFrames()) * channels];
    }

    // ---------------------------------------------------------------------
    // Tempo and quality (any thread)

    /** The slowest tempo that the current mode plays with this frame size and oversampling. */
    public double minTempo() {
        return minTempo(quality);
    }

    /** The fastest tempo that the current mode plays with this frame size and oversampling. */
    public double maxTempo() {
        return maxTempo(quality);
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
            checkTempo(t, quality);
            tempo = t;
        }
    }

    public double tempo() {
        return tempo;
    }

    /**
     * Switches the processing mode from any thread; the next block plays it,
     * and both channels' phases restart. A tempo outside the new mode's range
     * is brought to its nearest end.
     *
     * @throws UnsupportedOperationException for fine mode when the engine does not have it
     */
    public void setQuality(Quality q) {
        if (q == null) {
            throw new NullPointerException("quality");
        }
        if (q == Quality.FINE && !fineModeAvailable()) {
            throw new UnsupportedOperationException("the loaded engine library has no fine mode");
        }
        synchronized (this) {
            tempo = Math.max(minTempo(q), Math.min(maxTempo(q), tempo));
            quality = q;
        }
    }

    public Quality quality() {
        return quality;
    }

    /**
     * At the current tempo and mode, how many output frames come before the
     * output of the first input frame: what a caller drops at the start to
     * keep output and input aligned.
     */
    public int latencyFrames() {
        double t = tempo;
        if (quality == Quality.FINE) {
            return NativeInterface.fineLatency(frameSize, overSampling, t);
        }
        int hop = NativeInterface.synthesisHop(frameSize, overSampling, t);
        return (int) Math.round(frameSize / 2.0 + (double) hop * (frameSize / 2 - stepIn) / stepIn);
    }

    /**
     * The tempo that the engine plays at the current setting: the requested
     * one in fine mode, the analysis hop over the nearest whole synthesis hop
     * in exact mode.
     */
    public double playedTempo() {
        double t = tempo;
        if (quality == Quality.FINE) {
            return t;
        }
        return (double) stepIn / NativeInterface.synthesisHop(frameSize, overSampling, t);
    }

    /**
     * How many output frames {@code inputFrames} input frames stand for at
     * the current tempo and mode, rounded to the nearest frame: their length
     * divided by {@link #playedTempo()}.
     */
    public long outputFramesFor(long inputFrames) {
        double t = tempo;
        if (quality == Quality.FINE) {
            return Math.round(inputFrames / t);
        }
        long hop = NativeInterface.synthesisHop(frameSize, overSampling, t);
        return (inputFrames * hop + stepIn / 2) / stepIn;
    }

    // ---------------------------------------------------------------------
    // Other settings (any thread)

    /** Gain after the stretch, as a linear factor (1 = unchanged); a soft limiter catches the peaks. */
    public synchronized void setPreamp(float gain) {
        if (!(gain >= 0 && gain <= 64)) {
            throw new IllegalArgumentException("preamp " + gain + " is not a gain between 0 and 64");
        }
        engine.dspSetPreamp(gain);
    }

    /**
     * Panning (stereo only): {@code level} 0 to 100, 50 = each channel keeps
     * its own input, 0 puts the right input in both, 100 the left; {@code mono}
     * folds both channels to their average instead.
     */
    public synchronized void setPanning(int level, boolean mono) {
        if (level < 0 || level > 100) {
            throw new IllegalArgumentException("panning level " + level + " is not between 0 and 100");
        }
        engine.dspPanning(mono || level != 50 ? 1 : 0, mono ? 1 : 0, level);
    }

    /**
     * Removes what is panned to the centre (stereo only), keeping the bass
     * below {@code cutoffHz}: {@code amount} 0 (off) to 1 (all of it).
     */
    public synchronized void setVoiceRemoval(double amount, double cutoffHz) {
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
                VoiceFilter.Coefficients c = VoiceFilter.design(cutoffHz, sampleRate);
                // The coefficients must be in place before removal is switched on.
                engine.dspVoiceRemovalFilter(c.a, c.b, c.a.length, c.b.length);
            }
            engine.dspVoiceRemovalAmount((float) amount);
            engine.dspVoiceRemovalEnable(1);
        } else {
            engine.dspVoiceRemovalEnable(0);
        }
        voiceAmount = amount;
        voiceCutoff = cutoffHz;
    }

    /** The voice removal amount last set, 0 = off. */
    public synchronized double voiceRemoval() {
        return voiceAmount;
    }

    /**
     * The equaliser: one linear gain per FFT bin ({@code frameSize / 2}
     * values, 1 = unchanged), or null to switch it off.
     *
     * <p>The engine sizes its table of gains once per process, at its first
     * set-up: a session with a larger frame than the process's first one has
     * its upper bins left unchanged. The gains are handed over padded to the
     * largest table, so that a session with a smaller frame than the first
     * one is not refused.
     */
    public synchronized void setEqualizer(float[] binGains) {
        if (binGains == null) {
            engine.dspEQEnable(0);
            return;
        }
        if (binGains.length < frameSize / 2) {
            throw new IllegalArgumentException("equaliser of " + binGains.length + " gains: it needs one per bin, "
                    + frameSize / 2);
        }
        for (float g : binGains) {
            if (!(g >= 0 && g <= 1000)) {
                throw new IllegalArgumentException("equaliser gain " + g + " is not between 0 and 1000");
            }
        }
        float[] table = Arrays.copyOf(binGains, Math.max(binGains.length, MAX_EQ_BANDS));
        Arrays.fill(table, binGains.length, table.length, 1.0f);
        engine.dspEQSetBands(table);
        engine.dspEQEnable(1);
    }

    /** Runs the 72-note spectrum analyser or stops it (it runs unless stopped). */
    public synchronized void setSpectrumEnabled(boolean on) {
        engine.dspSpectrumEnable(on ? 1 : 0);
    }

    // ---------------------------------------------------------------------
    // Polled values (any thread)

    /** The peak level of the last block, before the limiter (1.0 = full scale). */
    public float peakLevel() {
        return engine.dspGetMaxLevel();
    }

    /** The 72 note levels, C1 to B6, into {@code into} (at least 72 long), which is returned. */
    public float[] spectrum(float[] into) {
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
     * stereo) in, the returned number of fresh frames out.
     *
     * @param buffer at least {@code max(framesIn, maxOutputFrames) × channels} long
     * @param framesIn a positive multiple of the analysis hop, at most {@link #blockFrames()}
     * @return the frames now in {@code buffer}
     * @throws IllegalArgumentException for a block the session cannot size, nothing processed
     * @throws IllegalStateException once the session is closed
     */
    public int process(short[] buffer, int framesIn) {
        if (closed) {
            throw new IllegalStateException("the session is closed");
        }
        if (framesIn < 1 || framesIn > blockFrames || framesIn % stepIn != 0) {
            throw new IllegalArgumentException("block of " + framesIn + " frames: it must be a positive multiple of "
                    + stepIn + " up to " + blockFrames);
        }
        Quality q;
        double t;
        synchronized (this) {
            q = quality;
            t = tempo;
        }
        if (q != applied) {
            engine.dspQualityMode(q.code);
            applied = q;
            fineTarget = totalOut;
        }
        int framesOut;
        if (q == Quality.FINE) {
            double target = fineTarget + framesIn / t;
            framesOut = (int) (Math.round(target) - totalOut);
            fineTarget = target;
            lastStretch = 1 / t;
        } else {
            framesOut = NativeInterface.outputFrames(frameSize, overSampling, framesIn, t);
            lastStretch = (double) framesOut / framesIn;
        }
        if (buffer.length < (long) Math.max(framesIn, framesOut) * channels) {
            throw new IllegalArgumentException("buffer of " + buffer.length + " samples cannot hold " + framesOut
                    + " frames of " + channels + " channels; use newBuffer()");
        }
        engine.dspProcess(buffer, framesIn, framesOut, 0f);
        totalIn += framesIn;
        totalOut += framesOut;
        return framesOut;
    }

    /** Output frames per input frame of the last block, as played: 1 / the played tempo. */
    public double lastStretch() {
        return lastStretch;
    }

    /**
     * Ends the session so that another may open. Call it once the streaming
     * thread has stopped; the engine keeps its memory for the next session.
     */
    @Override
    public void close() {
        synchronized (OPEN_LOCK) {
            if (!closed) {
                closed = true;
                if (current == this) {
                    current = null;
                }
            }
        }
    }
}
