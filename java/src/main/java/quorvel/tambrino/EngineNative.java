package quorvel.tambrino;

/**
 * The native entry points of {@link Engine}: the operations of
 * {@link NativeInterface} on the engine of a handle, and the handle's life.
 * Package-private, so that no code outside the package can pass a handle it
 * made up; {@link Engine} passes only the handle of an engine it holds open.
 */
final class EngineNative {
    private EngineNative() {}

    /** A new native engine; OutOfMemoryError when memory is short. */
    static native long create();

    /** Frees the engine of the handle (0 is ignored). */
    static native void destroy(long handle);

    /** Native engines made and not yet freed (the default engine included once used). */
    static native long liveCount();

    static native void init(long handle, int frameSize, int overSampling, int sampleRate, int channels);

    static native void voiceRemovalEnable(long handle, int enabled);

    static native void voiceRemovalAmount(long handle, float amount);

    static native void setPreamp(long handle, float preamp);

    static native void spectrumEnable(long handle, int enabled);

    static native void voiceRemovalFilter(long handle, double[] coeffA, double[] coeffB, int sizeA, int sizeB);

    static native float getMaxLevel(long handle);

    static native void process(long handle, short[] samples, int samplesIn, int samplesOut);

    static native void panning(long handle, int panningActive, int monoActive, int panningLevel);

    static native void eqSetBands(long handle, float[] levels);

    static native void eqEnable(long handle, int enabled);

    static native void qualityMode(long handle, int mode);

    static native void pitchShift(long handle, float semitones);

    static native void pitchFormants(long handle, int keep);

    static native void getSpectrum(long handle, float[] spectrum, int size);
}
