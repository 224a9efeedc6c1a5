package quorvel.tambrino;

/**
 * The engine's native entry points. One engine exists per process: every
 * instance of this class drives the same native state.
 *
 * <p>The library is loaded once, from the file named by the system property
 * {@code tambrino.library} when it is set, otherwise as {@code tambrino} from
 * {@code java.library.path}.
 */
public class NativeInterface {
    /** System property naming the library file to load instead of searching. */
    public static final String LIBRARY_PROPERTY = "tambrino.library";

    static {
        loadLibrary();
    }

    private static void loadLibrary() {
        String explicit = System.getProperty(LIBRARY_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            System.load(new java.io.File(explicit).getAbsolutePath());
        } else {
            System.loadLibrary("tambrino");
        }
    }

    public native void dspInit(int frameSize, int overSampling, int sampleRate, int channels);

    public native void dspVoiceRemovalEnable(int enabled);

    public native void dspVoiceRemovalAmount(float amount);

    public native void dspSetPreamp(float preamp);

    public native void dspSpectrumEnable(int enabled);

    public native void dspVoiceRemovalFilter(double[] coeffA, double[] coeffB, int sizeA, int sizeB);

    public native float dspGetMaxLevel();

    public native void dspProcess(short[] samples, int samplesIn, int samplesOut, float pitchShiftAmount);

    public native void dspPanning(int panningActive, int monoActive, int panningLevel);

    public native void dspEQSetBands(float[] levels);

    public native void dspEQEnable(int enabled);

    public native void dspGetSpectrum(float[] spectrum, int size);
}
