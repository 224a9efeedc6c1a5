// The engine's native entry points on the process's default engine.
package quorvel.tambrino;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;

/**
 * The engine's native entry points, acting on the process's default engine:
 * every instance of this class drives the same native state. For streams of
 * their own, side by side in one process, use {@link Engine}, which offers the
 * same operations on an engine per object.
 *
 * <p>The library is loaded once, from the first of these that exists:
 * <ol>
 *   <li>the file named by the system property {@code tambrino.library};</li>
 *   <li>the copy carried inside the jar for this platform, picked by the
 *       properties {@code os.name} and {@code os.arch}: the resource
 *       {@code /native/linux-x86-64/libtambrino.so},
 *       {@code /native/linux-aarch64/libtambrino.so} or
 *       {@code /native/windows-x86-64/tambrino.dll}, extracted to a temporary
 *       file (a shared library cannot be mapped from inside a jar);</li>
 *   <li>{@code tambrino} on {@code java.library.path}.</li>
 * </ol>
 *
 * <p>Block sizes: the engine writes whole synthesis hops and hands back the
 * first {@code samplesOut} frames of its output buffer whatever it wrote, so a
 * caller that wants every returned sample to be fresh asks
 * {@link #outputFrames(int, int, int, double)} for the {@code samplesOut} that
 * matches its block. In the fine quality mode ({@link #dspQualityMode}) every
 * block returns exactly {@code samplesOut} fresh frames whatever its sizes.
 */
public class NativeInterface {
    /** System property naming the library file to load instead of searching. */
    public static final String LIBRARY_PROPERTY = "tambrino.library";

    /** Where the jar carries the library for Linux on x86-64. */
    public static final String LIBRARY_RESOURCE = "/native/linux-x86-64/libtambrino.so";

    /** The platforms whose library the jar carries, as named in its resources. */
    public static final java.util.List<String> PLATFORMS =
            java.util.List.of("linux-x86-64", "linux-aarch64", "windows-x86-64");

    private static volatile String loadedFrom;

    /**
     * Loads the library when the first instance is made, not when the class is
     * initialised, so that the block-size helpers below stay usable without it.
     */
    public NativeInterface() {
        Library.ensureLoaded();
    }

    private static final class Library {
        static {
            loadLibrary();
        }

        static void ensureLoaded() {}
    }

    /** Loads the library, as the first instance does. */
    static void ensureLibrary() {
        Library.ensureLoaded();
    }

    private static void loadLibrary() {
        String explicit = System.getProperty(LIBRARY_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            String path = new File(explicit).getAbsolutePath();
            System.load(path);
            loadedFrom = path;
            return;
        }
        String resource = libraryResource(System.getProperty("os.name", ""), System.getProperty("os.arch", ""));
        if (resource != null) {
            Path extracted = extractResource(resource);
            if (extracted != null) {
                try {
                    System.load(extracted.toString());
                    loadedFrom = "jar:" + resource;
                    return;
                } catch (UnsatisfiedLinkError e) {
                    // A temporary folder mounted noexec cannot map the copy;
                    // an installed library may still be found below.
                } finally {
                    // Once mapped, the file is no longer needed by the loader.
                    try {
                        Files.deleteIfExists(extracted);
                    } catch (IOException ignored) {
                        extracted.toFile().deleteOnExit();
                    }
                }
            }
        }
        try {
            System.loadLibrary("tambrino");
        } catch (UnsatisfiedLinkError e) {
            if (resource != null) {
                throw e;
            }
            UnsatisfiedLinkError refused = new UnsatisfiedLinkError("this jar carries the engine for "
                    + String.join(", ", PLATFORMS) + ", not for " + System.getProperty("os.name") + " on "
                    + System.getProperty("os.arch") + "; build libtambrino for it and name the file with -D"
                    + LIBRARY_PROPERTY + "=/path/to/the/library");
            refused.initCause(e);
            throw refused;
        }
        loadedFrom = onLibraryPath();
    }

    /**
     * The file that {@code System.loadLibrary} took: the first of that name
     * on {@code java.library.path} (an installed library, such as a
     * package's under /usr/lib/TRIPLET/jni), or the path's name when none is
     * found there (the system's loader looked further).
     */
    private static String onLibraryPath() {
        String name = System.mapLibraryName("tambrino");
        for (String dir : System.getProperty("java.library.path", "").split(File.pathSeparator)) {
            if (!dir.isEmpty() && new File(dir, name).isFile()) {
                return new File(dir, name).getAbsolutePath();
            }
        }
        return "java.library.path";
    }

    /**
     * The jar's resource holding the library for a platform, from the values
     * of {@code os.name} and {@code os.arch}; null for a platform the jar does
     * not carry.
     */
    static String libraryResource(String osName, String osArch) {
        String os = osName.toLowerCase(java.util.Locale.ROOT);
        String arch = osArch.toLowerCase(java.util.Locale.ROOT);
        boolean x8664 = arch.equals("amd64") || arch.equals("x86_64");
        boolean aarch64 = arch.equals("aarch64") || arch.equals("arm64");
        if (os.startsWith("linux") && x8664) {
            return LIBRARY_RESOURCE;
        }
        if (os.startsWith("linux") && aarch64) {
            return "/native/linux-aarch64/libtambrino.so";
        }
        if (os.startsWith("windows") && x8664) {
            return "/native/windows-x86-64/tambrino.dll";
        }
        return null;
    }

    private static Path extractResource(String resource) {
        try (InputStream in = NativeInterface.class.getResourceAsStream(resource)) {
            if (in == null) {
                return null;
            }
            Path tmp = Files.createTempFile("tambrino-", resource.substring(resource.lastIndexOf('/') + 1));
            try {
                Files.copy(in, tmp, StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                Files.deleteIfExists(tmp);
                return null;
            }
            return tmp;
        } catch (IOException e) {
            return null;
        }
    }

    /**
     * Where the library was loaded from: its path when given by
     * {@value #LIBRARY_PROPERTY} or found on {@code java.library.path},
     * {@code jar:/native/...} for the embedded copy, else
     * {@code java.library.path}.
     */
    public static String libraryOrigin() {
        return loadedFrom;
    }

    // ---------------------------------------------------------------------
    // Block sizes (pure Java: nothing here touches the engine)

    /** The analysis hop of the engine: {@code frameSize / overSampling}, truncated. */
    public static int analysisHop(int frameSize, int overSampling) {
        if (frameSize < 1 || overSampling < 1 || overSampling > frameSize) {
            throw new IllegalArgumentException("frame size " + frameSize + " and oversampling " + overSampling
                    + " give no analysis hop: oversampling must lie in 1.." + Math.max(1, frameSize));
        }
        return frameSize / overSampling;
    }

    /**
     * The synthesis hop that the engine derives from a block: the analysis hop
     * times {@code samplesOut / samplesIn}, all in single precision, truncated
     * toward zero, exactly as the native block pipeline computes it.
     *
     * @throws IllegalArgumentException when the oversampling is out of range or {@code samplesIn}
     *     is below 1, a block the engine refuses
     */
    public static int engineSynthesisHop(int frameSize, int overSampling, int samplesIn, int samplesOut) {
        int stepIn = analysisHop(frameSize, overSampling);
        if (samplesIn < 1) {
            throw new IllegalArgumentException("samplesIn must be at least 1, got " + samplesIn);
        }
        return (int) ((float) stepIn * ((float) samplesOut / (float) samplesIn));
    }

    /**
     * The synthesis hop for a tempo: the whole number of samples nearest to
     * {@code stepIn / tempo}. The tempo actually played is
     * {@code stepIn / hop}, which differs from the requested one by less than
     * half a sample per hop.
     *
     * @throws IllegalArgumentException when the tempo is not a positive finite
     *     number or its hop falls outside 1..frameSize, the engine's range
     */
    public static int synthesisHop(int frameSize, int overSampling, double tempo) {
        int stepIn = analysisHop(frameSize, overSampling);
        if (!(tempo > 0) || Double.isInfinite(tempo)) {
            throw new IllegalArgumentException("tempo " + tempo + " is not a positive number");
        }
        double hop = Math.rint(stepIn / tempo);
        if (hop < 1 || hop > frameSize) {
            throw new IllegalArgumentException("tempo " + tempo + " needs a synthesis hop of " + (long) hop
                    + " samples, outside 1.." + frameSize + " for frame size " + frameSize + " and oversampling "
                    + overSampling);
        }
        return (int) hop;
    }

    /**
     * The number of output frames that the engine fills exactly for a block of
     * {@code samplesIn} input frames at a tempo, to be passed as
     * {@code samplesOut} to {@link #dspProcess}.
     *
     * <p>{@code samplesIn} must be a multiple of the analysis hop: then every
     * block fires exactly {@code samplesIn / stepIn} frames, each writing one
     * synthesis hop, and the block's {@code samplesOut} is that many hops. The
     * hop is {@link #synthesisHop}'s, so that blocks of different sizes stretch
     * by the same factor and give the same samples; in the rare case where the
     * engine's single-precision ratio would truncate this block's
     * {@code samplesOut} to another hop, the nearest hop that the engine does
     * reproduce for this block is used instead.
     *
     * @throws IllegalArgumentException when {@code samplesIn} is not a positive
     *     multiple of the analysis hop, or the tempo is out of range
     */
    public static int outputFrames(int frameSize, int overSampling, int samplesIn, double tempo) {
        int stepIn = analysisHop(frameSize, overSampling);
        if (samplesIn < 1 || samplesIn % stepIn != 0) {
            throw new IllegalArgumentException("block of " + samplesIn + " frames is not a positive multiple of"
                    + " the analysis hop " + stepIn + " (frame size " + frameSize + " / oversampling "
                    + overSampling + ")");
        }
        int wanted = synthesisHop(frameSize, overSampling, tempo);
        int frames = samplesIn / stepIn;
        // Nearest first: wanted, wanted - 1, wanted + 1, wanted - 2, ...
        for (int i = 0; i < 2 * frameSize; i++) {
            int hop = wanted + ((i & 1) == 0 ? i / 2 : -(i + 1) / 2);
            if (hop < 1 || hop > frameSize) {
                continue;
            }
            long out = (long) frames * hop;
            if (out <= Integer.MAX_VALUE && engineSynthesisHop(frameSize, overSampling, samplesIn, (int) out) == hop) {
                return (int) out;
            }
        }
        throw new IllegalArgumentException("no output size reproduces a whole hop for a block of " + samplesIn
                + " frames at tempo " + tempo);
    }

    // ---------------------------------------------------------------------
    // Quality modes

    /** Quality mode: the exact phase vocoder (the default); every output sample as always. */
    public static final int QUALITY_EXACT = 0;

    /**
     * Quality mode: the fine phase vocoder. Both channels share one phase
     * advance per bin (the stereo image survives), the overlap-add is
     * normalised by the windows that actually overlapped (the level is kept at
     * any hop), attacks are kept sharp, and every block returns exactly
     * {@code samplesOut} fresh frames after a constant start-up delay
     * ({@link #fineLatency}).
     */
    public static final int QUALITY_FINE = 1;

    private static final double FINE_FRAME_SECONDS = 0.09;

    /**
     * The frame size that the fine mode sounds best with at a sample rate:
     * the power of two nearest to 90 ms of samples (on a logarithmic scale),
     * within the engine's 8..4096.
     *
     * @throws IllegalArgumentException when {@code sampleRate} is not positive
     */
    public static int fineFrameSize(int sampleRate) {
        if (sampleRate < 1) {
            throw new IllegalArgumentException("sample rate " + sampleRate + " is not positive");
        }
        double ideal = sampleRate * FINE_FRAME_SECONDS;
        int size = 8;
        while (size < 4096 && size * Math.sqrt(2.0) < ideal) {
            size *= 2;
        }
        return size;
    }

    /**
     * The oversampling that the fine mode uses with a frame size at a tempo:
     * a synthesis hop of an eighth of the frame (a quarter for frames of 16
     * samples or fewer). The fine mode's synthesis hop is
     * {@code frameSize / overSampling} at every tempo; its analysis hop is the
     * tempo times that.
     *
     * @throws IllegalArgumentException when the frame size is not a power of
     *     two in 8..4096 or the tempo is not a positive finite number
     */
    public static int fineOverSampling(int frameSize, double tempo) {
        checkFineFrame(frameSize);
        checkTempo(tempo);
        return frameSize >= 32 ? 8 : 4;
    }

    /**
     * The fine mode's start-up delay: at a constant tempo, the number of
     * output frames that come before the output of the first input frame.
     * A caller that wants the output aligned with the input drops that many
     * frames at the start and feeds as many input frames of silence as that
     * delay covers after the end ({@code ceil(fineLatency * tempo)}).
     *
     * @throws IllegalArgumentException when the frame size or the oversampling
     *     is out of range, or the tempo outside the fine mode's
     *     {@code overSampling / frameSize} to {@code overSampling}
     */
    public static int fineLatency(int frameSize, int overSampling, double tempo) {
        checkFineFrame(frameSize);
        checkFineTempo(frameSize, overSampling, tempo);
        // Half a frame of output store, and the analysis one and a half
        // frames of input behind the input on the time map (room to see an
        // attack coming and to place it on time).
        return (int) Math.round(frameSize / 2.0 + 1.5 * frameSize / tempo);
    }

    /**
     * {@link #fineLatency(int, int, double)} at a transposition: shifted up,
     * the input is read the pitch ratio faster and stretched at the tempo
     * divided by the ratio, so the stretch's lag counts the ratio times as
     * many input frames, and the resampler's filter reaches ahead by its own
     * (24 zero crossings at the new Nyquist frequency times 0.9). Shifted
     * down, the frames move their partials down and the input is not
     * resampled: the untransposed delay, as at a shift of 0.
     *
     * @throws IllegalArgumentException when the frame size, the oversampling,
     *     the tempo or the shift is out of range
     */
    public static int fineLatency(int frameSize, int overSampling, double tempo, float semitones) {
        checkFineFrame(frameSize);
        checkFineTempo(frameSize, overSampling, tempo);
        checkPitchShift(semitones);
        final double ratio = pitchRatio(semitones);
        if (ratio <= 1.0) return fineLatency(frameSize, overSampling, tempo);
        final double reach = 24 / 0.9 * ratio + 1.0 + ratio / 2.0;
        return (int) Math.round(frameSize / 2.0 + (1.5 * frameSize * ratio + reach) / tempo);
    }

    /**
     * The frequency ratio of a shift in semitones: 2^(semitones / 12).
     *
     * @throws IllegalArgumentException for a shift the engine does not take: not finite or
     *     beyond {@link #MAX_PITCH_SHIFT} either way
     */
    public static double pitchRatio(float semitones) {
        checkPitchShift(semitones);
        return semitones == 0.0f ? 1.0 : Math.pow(2.0, semitones / 12.0);
    }

    static void checkPitchShift(float semitones) {
        if (!Float.isFinite(semitones) || Math.abs(semitones) > MAX_PITCH_SHIFT) {
            throw new IllegalArgumentException(
                    "pitch shift must be a finite number of semitones in -24..24, got " + semitones);
        }
    }

    private static void checkFineFrame(int frameSize) {
        if (frameSize < 8 || frameSize > 4096 || (frameSize & (frameSize - 1)) != 0) {
            throw new IllegalArgumentException("frame size " + frameSize + " is not a power of two in 8..4096");
        }
    }

    /** The tempos the fine mode plays: an analysis hop of 1..frameSize at its fixed synthesis hop. */
    private static void checkFineTempo(int frameSize, int overSampling, double tempo) {
        analysisHop(frameSize, overSampling);
        double slowest = (double) overSampling / frameSize;
        if (!(tempo >= slowest && tempo <= overSampling)) {
            throw new IllegalArgumentException("tempo " + tempo + " is outside the fine mode's " + slowest + ".."
                    + overSampling + " for frame size " + frameSize + " and oversampling " + overSampling);
        }
    }

    private static void checkTempo(double tempo) {
        if (!(tempo > 0) || Double.isInfinite(tempo)) {
            throw new IllegalArgumentException("tempo " + tempo + " is not a positive number");
        }
    }

    /**
     * Sets the engine up for a stream, before its first block; again for a
     * new stream (never while a block runs). The other settings stay.
     *
     * @param frameSize the FFT frame, a power of two in 8..4096
     * @param overSampling frames overlapping each sample, 1..frameSize
     * @param sampleRate in Hz, at least 32
     * @param channels 1, or 2 for interleaved stereo
     * @throws IllegalArgumentException for a value out of range, the engine unchanged
     * @throws OutOfMemoryError when its buffers cannot be had, the stream playing unchanged
     */
    public native void dspInit(int frameSize, int overSampling, int sampleRate, int channels);

    /** Voice removal on (non-zero) or off, stereo only; give the filter with {@link #dspVoiceRemovalFilter} first. */
    public native void dspVoiceRemovalEnable(int enabled);

    /** The most that {@link #dspSetPreamp} takes: a linear gain of 64 (+36 dB). */
    public static final float MAX_PREAMP = 64.0f;

    /** The most that an equaliser gain of {@link #dspEQSetBands} may be: 1000 (+60 dB). */
    public static final float MAX_EQ_GAIN = 1000.0f;

    /**
     * The largest gain of a voice-removal filter ({@link #dspVoiceRemovalFilter}): the sum of
     * the magnitudes of its impulse response, the most by which it can raise a full-scale
     * input. The filter that {@link VoiceFilter} designs has about 2.3.
     */
    public static final double MAX_VOICE_FILTER_GAIN = 1e6;

    /**
     * The samples, after its numerator ends, within which the impulse response of a
     * voice-removal filter must die away for its gain to be bounded: a filter with a pole on
     * the unit circle, outside it, or within about 10⁻⁵ of it does not.
     */
    public static final int VOICE_FILTER_SETTLE = 1 << 20;

    /**
     * How much of the centre voice removal subtracts: 0 (nothing) to 1 (all of it); 0 or
     * below leaves the voice in, as 0 does.
     *
     * @throws IllegalArgumentException when not finite or above 1; the amount then stays as it was
     */
    public native void dspVoiceRemovalAmount(float amount);

    /**
     * The linear gain after the stretch, 0 to {@link #MAX_PREAMP} (1 = unchanged); a soft
     * limiter catches the peaks.
     *
     * @throws IllegalArgumentException when not finite or outside 0..64; the preamp then stays as it was
     */
    public native void dspSetPreamp(float preamp);

    /** Runs the note spectrum analyser (non-zero, the default) or stops it (0). */
    public native void dspSpectrumEnable(int enabled);

    /**
     * Hands over the voice-removal filter: denominator {@code coeffA} (a[0] = 1)
     * and numerator {@code coeffB}, the first {@code sizeA} and {@code sizeB}
     * values of each (see {@link VoiceFilter}). The engine runs
     * y[n] = Σ b[i]·x[n−i] − Σ(i ≥ 1) a[i]·y[n−i] and never reads a[0]. Both
     * channels' filters start afresh; a block in progress finishes its sample
     * first.
     *
     * <p>A filter that could make the stream non-finite is refused: every one
     * of the values used must be finite, and the filter's gain, the sum of the
     * magnitudes of its impulse response as the engine runs it, at most
     * {@link #MAX_VOICE_FILTER_GAIN}. The check runs the impulse response until
     * its tail is provably negligible, so an unstable filter (a pole on or
     * outside the unit circle) is refused, and so is one whose response does
     * not die away within {@link #VOICE_FILTER_SETTLE} samples. It takes some
     * 20 µs for a voice filter at 44.1 kHz, about 2 ms at 1 MHz.
     *
     * @throws NullPointerException for a null array
     * @throws IllegalArgumentException for a count outside 1..the array's length, a value that
     *     is not finite, or a filter that is unstable, too loud or rings too long; the old filter
     *     then stays, with its history
     * @throws OutOfMemoryError when the copies cannot be had; the old filter stays
     */
    public native void dspVoiceRemovalFilter(double[] coeffA, double[] coeffB, int sizeA, int sizeB);

    /** The peak level of the last block, before the limiter (1.0 = full scale); 0 before the first. */
    public native float dspGetMaxLevel();

    /**
     * One block: {@code samplesIn} frames of 16-bit PCM (interleaved when
     * stereo) in {@code samples} become {@code samplesOut} frames in the same
     * array. One thread at a time; see {@link #outputFrames} for a
     * {@code samplesOut} that the engine fills exactly.
     *
     * @param pitchShiftAmount unused: pass 0
     * @throws IllegalStateException before {@link #dspInit}
     * @throws NullPointerException for a null array
     * @throws IllegalArgumentException for sizes out of range or an array too short for them;
     *     nothing processed and the array untouched
     * @throws OutOfMemoryError when a larger block's buffers cannot be had
     */
    public native void dspProcess(short[] samples, int samplesIn, int samplesOut, float pitchShiftAmount);

    /**
     * Panning, stereo only: on while {@code panningActive} is non-zero; then
     * {@code monoActive} non-zero folds both channels to their average, else
     * {@code panningLevel} 0..100 pans (50 = each channel keeps its own input).
     *
     * @throws IllegalArgumentException for a level outside 0..100, whatever the two switches;
     *     the panning then stays as it was
     */
    public native void dspPanning(int panningActive, int monoActive, int panningLevel);

    /**
     * The equaliser's gains, one linear gain per bin of half the process's
     * first frame (1 = unchanged), each 0 to {@link #MAX_EQ_GAIN}; switch it
     * on with {@link #dspEQEnable}. Gains beyond the bands are checked and not
     * used; before the first {@link #dspInit} there are no bands, and a valid
     * array is taken and not used.
     *
     * @throws NullPointerException for a null array
     * @throws IllegalArgumentException for an array shorter than the bands, or a gain that is
     *     not finite or outside 0..1000; the gains then stay as they were
     */
    public native void dspEQSetBands(float[] levels);

    /** The equaliser on (non-zero) or off. */
    public native void dspEQEnable(int enabled);

    /**
     * Copies the first {@code size} of the 72 note levels (C1 to B6) into
     * {@code spectrum}, at most its length; the rest of the array is left alone.
     * A size above 72 or the array's length copies what there is.
     *
     * @throws NullPointerException for a null array
     * @throws IllegalArgumentException for a negative size, the array untouched
     */
    public native void dspGetSpectrum(float[] spectrum, int size);

    /**
     * Selects the quality mode: {@link #QUALITY_EXACT} (0, the default: every
     * output sample exactly as always) or {@link #QUALITY_FINE} (1). May be
     * called from any thread at any time; the mode takes effect at the next
     * block, and a switch restarts both channels' phases. In the fine mode
     * every block returns exactly {@code samplesOut} fresh frames, the block's
     * tempo is {@code samplesIn / samplesOut}, and the time is carried exactly
     * from block to block, so that blocks sized by cumulative rounding play the
     * requested tempo exactly on average; the output starts after
     * {@link #fineLatency} frames of delay. {@link #dspProcess} raises the same
     * exceptions in both modes; its tempo limit differs: the exact mode needs a
     * synthesis hop ({@code frameSize / overSampling * samplesOut / samplesIn})
     * of 1..frameSize, the fine mode, whose synthesis hop is fixed, an analysis
     * hop ({@code frameSize / overSampling * samplesIn / samplesOut}) of
     * 1..frameSize (tempos {@code overSampling / frameSize} to
     * {@code overSampling}).
     *
     * @throws IllegalArgumentException when {@code mode} is neither 0 nor 1;
     *     the mode then stays as it was
     */
    public native void dspQualityMode(int mode);

    /** The largest transposition, up or down, in semitones. */
    public static final float MAX_PITCH_SHIFT = 24.0f;

    /**
     * Transposes the fine mode's output by {@code semitones} (fractions are
     * cents: 0.1 is ten cents), independently of the tempo: the output still
     * lasts exactly what the blocks ask for, and every partial moves by the
     * shift. May be called from any thread at any time; the next block plays
     * it. Once a stream has played, a change glides to the new pitch over
     * about 1024 output frames (23 ms at 44.1 kHz), with no click or gap; a
     * stream that starts (or restarts, at a switch of mode) starts at it.
     * A shift of 0 on a stream that was never shifted plays exactly the
     * untransposed fine mode. The exact mode ignores the setting and stays
     * bit-identical; {@code dspProcess}'s {@code pitchShiftAmount} is still
     * not read. A shift adds nothing to the start-up delay beyond what
     * {@link #fineLatency(int, int, double, float)} states.
     *
     * @throws IllegalArgumentException when {@code semitones} is not finite
     *     or beyond {@link #MAX_PITCH_SHIFT} either way; the shift then stays
     *     as it was
     */
    public native void dspPitchShift(float semitones);

    /**
     * With {@code keep} non-zero, a transposition keeps the spectral envelope
     * (the formants: the timbre of a voice, an instrument's body) where it
     * was while the partials move, so that a voice a fifth up does not sound
     * like a smaller person. Off by default; any thread, the next block takes
     * it; no effect without a shift or in the exact mode. It costs a pass
     * over the frame's bins (an envelope and a gain per bin) per frame.
     */
    public native void dspPitchFormants(int keep);
}
