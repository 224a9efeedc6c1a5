package quorvel.tambrino;

import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.LongConsumer;

/**
 * An engine of its own: the complete native state of one stream (vocoder, fine
 * mode, voice-removal filters, equaliser, spectrum analyser, settings, buffers
 * and peak level), independent of every other engine and of the process's
 * default engine that {@link NativeInterface} drives. Make as many as the
 * application needs: two decks, an export beside the playback, one per worker
 * thread of a batch job.
 *
 * <p>The operations are those of {@link NativeInterface}, with the same names,
 * arguments, results, exceptions and output bits, so that code written for it
 * runs on an {@code Engine} unchanged. A refused call changes nothing.
 *
 * <p>Threads: per engine, as for {@link NativeInterface}: one thread calls
 * {@link #dspProcess} (and {@link #dspInit}, never while a block runs), any
 * other thread may call the setters and pollers at the same time. Different
 * engines share nothing mutable, so each may stream on its own thread with no
 * synchronisation: two engines streaming at once give, bit for bit, what each
 * gives alone.
 *
 * <p>Life: {@link #close()} frees the native state; every later call raises
 * {@link IllegalStateException}, and a second {@code close()} does nothing.
 * {@code close()} waits for calls already running on other threads to finish
 * before it frees anything. An engine that is never closed is freed once it
 * is no longer reachable, but native memory is not what the garbage collector
 * watches: close engines when done, for example with try-with-resources.
 */
public final class Engine implements AutoCloseable {
    private static final Cleaner CLEANER = Cleaner.create();

    private final State state;
    private final Cleaner.Cleanable cleanable;

    /**
     * Makes a new engine, not yet set up ({@link #dspInit} comes first), its
     * settings at their defaults: preamp 1, no panning, voice removal and
     * equaliser off, spectrum on, exact quality mode.
     *
     * @throws OutOfMemoryError when the native state cannot be allocated
     * @throws UnsatisfiedLinkError when the library cannot be loaded
     */
    public Engine() {
        NativeInterface.ensureLibrary();
        state = new State(EngineNative.create());
        cleanable = CLEANER.register(this, state);
    }

    /**
     * The native handle and the calls running on it. Kept apart from the
     * engine so that the cleaner can free the handle without reaching the
     * engine; never handed out.
     */
    private static final class State implements Runnable {
        private static final int CLOSED = Integer.MIN_VALUE;

        private final long handle;
        // Calls in progress, with CLOSED set once the engine is closed.
        private final AtomicInteger calls = new AtomicInteger();

        State(long handle) {
            this.handle = handle;
        }

        long enter() {
            if (calls.getAndIncrement() < 0) {
                calls.decrementAndGet();
                throw new IllegalStateException("the engine is closed");
            }
            return handle;
        }

        void leave() {
            calls.decrementAndGet();
        }

        boolean closed() {
            return calls.get() < 0;
        }

        /** Closes once: refuses new calls, lets running ones finish, frees. */
        @Override
        public void run() {
            int before = calls.getAndUpdate(c -> c | CLOSED);
            if (before < 0) {
                return;
            }
            while ((calls.get() & ~CLOSED) != 0) {
                Thread.onSpinWait();
                Thread.yield();
            }
            EngineNative.destroy(handle);
        }
    }

    /**
     * Frees the native state. Calls running on other threads finish first;
     * later calls raise {@link IllegalStateException}. Closing again does
     * nothing.
     */
    @Override
    public void close() {
        cleanable.clean();
    }

    /** One call on the open engine's handle. */
    private void call(LongConsumer operation) {
        long h = state.enter();
        try {
            operation.accept(h);
        } finally {
            state.leave();
            Reference.reachabilityFence(this);
        }
    }

    /** Whether {@link #close()} has been called. */
    public boolean isClosed() {
        return state.closed();
    }

    /** @see NativeInterface#dspInit */
    public void dspInit(int frameSize, int overSampling, int sampleRate, int channels) {
        call(h -> EngineNative.init(h, frameSize, overSampling, sampleRate, channels));
    }

    /** @see NativeInterface#dspVoiceRemovalEnable */
    public void dspVoiceRemovalEnable(int enabled) {
        call(h -> EngineNative.voiceRemovalEnable(h, enabled));
    }

    /** @see NativeInterface#dspVoiceRemovalAmount */
    public void dspVoiceRemovalAmount(float amount) {
        call(h -> EngineNative.voiceRemovalAmount(h, amount));
    }

    /** @see NativeInterface#dspSetPreamp */
    public void dspSetPreamp(float preamp) {
        call(h -> EngineNative.setPreamp(h, preamp));
    }

    /** @see NativeInterface#dspSpectrumEnable */
    public void dspSpectrumEnable(int enabled) {
        call(h -> EngineNative.spectrumEnable(h, enabled));
    }

    /** @see NativeInterface#dspVoiceRemovalFilter */
    public void dspVoiceRemovalFilter(double[] coeffA, double[] coeffB, int sizeA, int sizeB) {
        call(h -> EngineNative.voiceRemovalFilter(h, coeffA, coeffB, sizeA, sizeB));
    }

    /** @see NativeInterface#dspGetMaxLevel */
    public float dspGetMaxLevel() {
        long h = state.enter();
        try {
            return EngineNative.getMaxLevel(h);
        } finally {
            state.leave();
            Reference.reachabilityFence(this);
        }
    }

    /**
     * @param pitchShiftAmount accepted and not read, as by {@link NativeInterface}
     * @see NativeInterface#dspProcess
     */
    public void dspProcess(short[] samples, int samplesIn, int samplesOut, float pitchShiftAmount) {
        // Written out rather than through call(): the block is the audio path,
        // where not even a lambda's capture is allocated.
        long h = state.enter();
        try {
            EngineNative.process(h, samples, samplesIn, samplesOut);
        } finally {
            state.leave();
            Reference.reachabilityFence(this);
        }
    }

    /** @see NativeInterface#dspPanning */
    public void dspPanning(int panningActive, int monoActive, int panningLevel) {
        call(h -> EngineNative.panning(h, panningActive, monoActive, panningLevel));
    }

    /** @see NativeInterface#dspEQSetBands */
    public void dspEQSetBands(float[] levels) {
        call(h -> EngineNative.eqSetBands(h, levels));
    }

    /** @see NativeInterface#dspEQEnable */
    public void dspEQEnable(int enabled) {
        call(h -> EngineNative.eqEnable(h, enabled));
    }

    /** @see NativeInterface#dspGetSpectrum */
    public void dspGetSpectrum(float[] spectrum, int size) {
        call(h -> EngineNative.getSpectrum(h, spectrum, size));
    }

    /** @see NativeInterface#dspQualityMode */
    public void dspQualityMode(int mode) {
        call(h -> EngineNative.qualityMode(h, mode));
    }

    /** @see NativeInterface#dspPitchShift */
    public void dspPitchShift(float semitones) {
        call(h -> EngineNative.pitchShift(h, semitones));
    }

    /** @see NativeInterface#dspPitchFormants */
    public void dspPitchFormants(int keep) {
        call(h -> EngineNative.pitchFormants(h, keep));
    }
}
