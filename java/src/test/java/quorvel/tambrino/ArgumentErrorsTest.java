// Tests: every public method at the edges of its arguments' types.
package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.EngineRuns.BLOCK_IN;
import static quorvel.tambrino.EngineRuns.BLOCK_OUT;
import static quorvel.tambrino.EngineRuns.DSP;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.lang.reflect.Array;
import java.lang.reflect.Constructor;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Objects;
import java.util.TreeMap;
import java.util.function.Consumer;
import java.util.function.Function;
import java.util.function.Supplier;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/**
 * Every argument outside the documented limits raises an exception naming
 * the method and the argument, and changes nothing: the next block comes out
 * exactly as it would had the bad call never been made. The stream under test
 * uses every stage (panning, voice removal, EQ), so a disturbed stage shows.
 * Every public method of the API is held to this with each argument at the
 * edges of its type, and a value it takes never silences the stream for good.
 */
class ArgumentErrorsTest {
    private static final double[] FILTER_A = {1.0, -0.3};
    private static final double[] FILTER_B = {0.5, 0.25};

    private short[] expectedSecondBlock;
    private float expectedPeak;

    @BeforeEach
    void reference() {
        expectedSecondBlock = twoBlocks(() -> {});
        expectedPeak = DSP.dspGetMaxLevel();
    }

    /** Sets the stream up, processes one block, makes the call, then returns the second block. */
    private static short[] twoBlocks(Runnable between) {
        return twoBlocks(DSP, between);
    }

    /** {@link #twoBlocks(Runnable)} on the default engine or on an {@link Engine}, which share its operations. */
    private static short[] twoBlocks(Object engine, Runnable between) {
        call(engine, "dspInit", 256, 4, 44100, 2);
        stages(engine);
        block(engine, 0);
        between.run();
        return block(engine, 1);
    }

    /** Every stage of the pipeline on, as the second block expects them; the stream itself is kept. */
    private static void stages(Object engine) {
        call(engine, "dspQualityMode", NativeInterface.QUALITY_EXACT);
        call(engine, "dspPitchShift", 0f);
        call(engine, "dspSetPreamp", 1.0f);
        call(engine, "dspSpectrumEnable", 1);
        call(engine, "dspVoiceRemovalFilter", FILTER_A.clone(), FILTER_B.clone(), 2, 2);
        call(engine, "dspVoiceRemovalEnable", 1);
        call(engine, "dspVoiceRemovalAmount", 0.7f);
        call(engine, "dspPanning", 1, 0, 30);
        float[] gains = new float[128];
        for (int k = 0; k < gains.length; k++) {
            gains[k] = k % 3 == 0 ? 0.25f : 1.5f;
        }
        call(engine, "dspEQSetBands", (Object) gains);
        call(engine, "dspEQEnable", 1);
    }

    private static short[] block(Object engine, int index) {
        short[] samples = EngineRuns.inputBlock(2, (long) index * BLOCK_IN, BLOCK_IN, BLOCK_OUT);
        call(engine, "dspProcess", samples, BLOCK_IN, BLOCK_OUT, 0f);
        return Arrays.copyOf(samples, BLOCK_OUT * 2);
    }

    /** The operation of that name and arity on either kind of engine. */
    private static Object call(Object engine, String name, Object... args) {
        try {
            for (Method m : engine.getClass().getMethods()) {
                if (m.getName().equals(name) && m.getParameterCount() == args.length) {
                    return m.invoke(engine, args);
                }
            }
            throw new AssertionError("no " + name);
        } catch (InvocationTargetException e) {
            throw new AssertionError(name + " failed", e.getCause());
        } catch (IllegalAccessException e) {
            throw new AssertionError(e);
        }
    }

    private void assertRefusedWithoutEffect(
            Class<? extends Throwable> type, Executable call, String method, String argument) {
        short[] second = twoBlocks(() -> {
            Throwable e = assertThrows(type, call);
            assertTrue(e.getMessage().contains(method) && e.getMessage().contains(argument), e.getMessage());
        });
        assertArrayEquals(expectedSecondBlock, second, method + " " + argument);
        assertEquals(expectedPeak, DSP.dspGetMaxLevel(), method + " " + argument);
    }

    @Test
    void dspInitRefusesAnUnusableStreamAndKeepsTheRunningOne() {
        Class<IllegalArgumentException> iae = IllegalArgumentException.class;
        for (int frameSize : new int[] {0, -256, 4, 12, 1000, 8192, Integer.MIN_VALUE}) {
            assertRefusedWithoutEffect(iae, () -> DSP.dspInit(frameSize, 4, 44100, 2), "dspInit", "frameSize");
        }
        for (int overSampling : new int[] {0, -4, 257}) {
            assertRefusedWithoutEffect(
                    iae, () -> DSP.dspInit(256, overSampling, 44100, 2), "dspInit", "overSampling");
        }
        for (int rate : new int[] {31, 0, -44100}) {
            assertRefusedWithoutEffect(iae, () -> DSP.dspInit(256, 4, rate, 2), "dspInit", "sampleRate");
        }
        for (int channels : new int[] {0, 3, -1}) {
            assertRefusedWithoutEffect(iae, () -> DSP.dspInit(256, 4, 44100, channels), "dspInit", "channels");
        }
        // The limits themselves are accepted.
        DSP.dspInit(8, 8, 32, 1);
        DSP.dspInit(4096, 1, 32, 2);
    }

    @Test
    void dspProcessRefusesBadBlocksWithoutTouchingTheArray() {
        Class<IllegalArgumentException> iae = IllegalArgumentException.class;
        refusedBlock(NullPointerException.class, null, BLOCK_IN, BLOCK_OUT, "samples");
        short[] room = EngineRuns.inputBlock(2, 999, BLOCK_IN, 5 * BLOCK_IN);
        refusedBlock(iae, room, 0, BLOCK_OUT, "samplesIn");
        refusedBlock(iae, room, -BLOCK_IN, BLOCK_OUT, "samplesIn");
        // Too short for the input, then for the output.
        refusedBlock(iae, Arrays.copyOf(room, 2 * BLOCK_IN - 1), BLOCK_IN, BLOCK_IN / 2, "samples");
        refusedBlock(iae, Arrays.copyOf(room, 2 * BLOCK_OUT - 1), BLOCK_IN, BLOCK_OUT, "samples");
        refusedBlock(iae, Arrays.copyOf(room, 2 * BLOCK_IN), 1, BLOCK_IN, "hop");
        // A synthesis hop above the frame size (64 x 5 = 320 > 256), then below 1 (64 x 7 / 512).
        refusedBlock(iae, room, BLOCK_IN, 5 * BLOCK_IN, "hop");
        refusedBlock(iae, room, BLOCK_IN, 7, "hop");
        refusedBlock(iae, room, 1, Integer.MAX_VALUE, "samples");
    }

    private void refusedBlock(Class<? extends Throwable> type, short[] samples, int in, int out, String argument) {
        short[] before = samples == null ? null : samples.clone();
        assertRefusedWithoutEffect(type, () -> DSP.dspProcess(samples, in, out, 0f), "dspProcess", argument);
        assertArrayEquals(before, samples, "the caller's array");
    }

    @Test
    void aNegativeSamplesOutIsANoOutputBlock() {
        short[] block = EngineRuns.inputBlock(2, 4242, BLOCK_IN, BLOCK_IN);
        short[] afterZero = twoBlocks(() -> DSP.dspProcess(block.clone(), BLOCK_IN, 0, 0f));
        short[] copy = block.clone();
        short[] afterNegative = twoBlocks(() -> {
            DSP.dspProcess(copy, BLOCK_IN, -100, 0f);
            assertEquals(0.0f, DSP.dspGetMaxLevel());
        });
        assertArrayEquals(block, copy);
        assertArrayEquals(afterZero, afterNegative);
    }

    @Test
    void dspVoiceRemovalFilterKeepsTheCoefficientsItHas() {
        Class<IllegalArgumentException> iae = IllegalArgumentException.class;
        double[] a = {1.0, 0.9, 0.5};
        double[] b = {0.1, 0.1, 0.1};
        String m = "dspVoiceRemovalFilter";
        assertRefusedWithoutEffect(NullPointerException.class, () -> DSP.dspVoiceRemovalFilter(null, b, 3, 3), m,
                "coeffA");
        assertRefusedWithoutEffect(NullPointerException.class, () -> DSP.dspVoiceRemovalFilter(a, null, 3, 3), m,
                "coeffB");
        assertRefusedWithoutEffect(iae, () -> DSP.dspVoiceRemovalFilter(a, b, 0, 3), m, "sizeA");
        assertRefusedWithoutEffect(iae, () -> DSP.dspVoiceRemovalFilter(a, b, 4, 3), m, "sizeA");
        assertRefusedWithoutEffect(iae, () -> DSP.dspVoiceRemovalFilter(a, b, 3, -1), m, "sizeB");
        assertRefusedWithoutEffect(iae, () -> DSP.dspVoiceRemovalFilter(a, b, 3, 4), m, "sizeB");
    }

    @Test
    void dspEQSetBandsKeepsTheGainsItHas() {
        assertRefusedWithoutEffect(
                NullPointerException.class, () -> DSP.dspEQSetBands(null), "dspEQSetBands", "levels");
        float[] tooFew = new float[127];
        assertRefusedWithoutEffect(
                IllegalArgumentException.class, () -> DSP.dspEQSetBands(tooFew), "dspEQSetBands", "levels");
    }

    @Test
    void theReferenceIsSensitiveToEveryStage() {
        // The checks above mean something only if each call they refuse would
        // have changed the second block.
        Runnable[] effective = {
            () -> DSP.dspInit(256, 4, 44100, 2),
            () -> DSP.dspInit(512, 4, 44100, 2),
            () -> DSP.dspVoiceRemovalFilter(new double[] {1.0, 0.9, 0.5}, new double[] {0.1, 0.1, 0.1}, 3, 3),
            () -> DSP.dspEQSetBands(new float[128]),
            () -> DSP.dspProcess(EngineRuns.inputBlock(2, 999, BLOCK_IN, BLOCK_OUT), BLOCK_IN, BLOCK_OUT, 0f),
        };
        for (Runnable call : effective) {
            assertTrue(!Arrays.equals(expectedSecondBlock, twoBlocks(call)));
        }
    }

    // ---------------------------------------------------------------------
    // Every public method, each argument at the edges of its type

    /** What a call deserves: acceptance (null), or this exception with this word in its message. */
    private record Refusal(Class<? extends Throwable> type, String word) {}

    /** Where a method's calls are made, and what a refusal must leave as it was. */
    private enum Harness {
        /** Between two blocks of an engine with every stage on: the next block and peak, the arrays. */
        ENGINE,
        /** Before two of six blocks of a session: the rest of the stream, the arrays. */
        SESSION,
        /** On a fresh builder: the session it opens. */
        BUILDER,
        /** Between two reads of a tempo stream: the rest of the stream, the arrays. */
        TEMPO,
        /** Between two reads of the audio stream of a tempo stream: the rest of its bytes. */
        AUDIO,
        /** A static method or one of an immutable object: the arrays. */
        PURE
    }

    /** How a method is called: the harness, its valid arguments (made afresh for each call), the rule. */
    private record Contract(Harness harness, Supplier<Object[]> valid, Function<Object[], Refusal> rule) {}

    private static Refusal iae(String word) {
        return new Refusal(IllegalArgumentException.class, word);
    }

    private static Refusal npe(String word) {
        return new Refusal(NullPointerException.class, word);
    }

    /** The first refusal of a call's checks, null when it passes them all (all are evaluated: each must be safe). */
    private static Refusal first(Refusal... checks) {
        return Arrays.stream(checks).filter(r -> r != null).findFirst().orElse(null);
    }

    private static Refusal unless(boolean ok, Refusal refusal) {
        return ok ? null : refusal;
    }

    private static boolean within(Object value, double lo, double hi) {
        double v = ((Number) value).doubleValue();
        return v >= lo && v <= hi;
    }

    private static boolean frameSize(Object value) {
        int n = (int) value;
        return n >= 8 && n <= 4096 && Integer.bitCount(n) == 1;
    }

    private static Refusal hop(Object[] a) {
        int f = (int) a[0];
        int o = (int) a[1];
        return unless(f >= 1 && o >= 1 && o <= f, iae("oversampling"));
    }

    private static Refusal tempoHop(Object[] a, int tempo) {
        double t = (double) a[tempo];
        int stepIn = (int) a[0] / Math.max(1, (int) a[1]);
        double h = t > 0 && t < Double.POSITIVE_INFINITY ? Math.rint(stepIn / t) : -1;
        return unless(h >= 1 && h <= (int) a[0], iae("tempo"));
    }

    private static Refusal shift(Object semitones) {
        return unless(within(semitones, -24, 24), iae("pitch shift"));
    }

    private static boolean allWithin(float[] values, double lo, double hi) {
        for (float v : values) {
            if (!within(v, lo, hi)) {
                return false;
            }
        }
        return true;
    }

    /** Σ|h| of the filter as the engine runs it, by running it plainly; infinite when it has not died away. */
    private static double filterGain(double[] a, double[] b, int sizeA, int sizeB) {
        double[] y = new double[20000];
        double sum = 0;
        double tail = 0;
        for (int n = 0; n < y.length; n++) {
            double v = n < sizeB ? b[n] : 0;
            for (int i = 1; i < sizeA && i <= n; i++) {
                v -= a[i] * y[n - i];
            }
            y[n] = v;
            sum += Math.abs(v);
            tail = n >= y.length - 100 ? Math.max(tail, Math.abs(v)) : 0;
        }
        return Double.isFinite(sum) && (tail <= 1e-12 * sum || tail < 1e-300) ? sum : Double.POSITIVE_INFINITY;
    }

    private static Refusal filterRule(Object[] a) {
        double[] ca = (double[]) a[0];
        double[] cb = (double[]) a[1];
        int sizeA = (int) a[2];
        int sizeB = (int) a[3];
        if (ca == null || cb == null) {
            return npe(ca == null ? "coeffA" : "coeffB");
        }
        if (sizeA < 1 || sizeA > ca.length || sizeB < 1 || sizeB > cb.length) {
            return iae(sizeA < 1 || sizeA > ca.length ? "sizeA" : "sizeB");
        }
        boolean finite = Arrays.stream(ca, 0, sizeA).allMatch(Double::isFinite)
                && Arrays.stream(cb, 0, sizeB).allMatch(Double::isFinite);
        return finite ? unless(filterGain(ca, cb, sizeA, sizeB) <= NativeInterface.MAX_VOICE_FILTER_GAIN,
                iae("filter")) : iae("finite");
    }

    private static Refusal blockRule(Object[] a) {
        short[] samples = (short[]) a[0];
        int in = (int) a[1];
        int out = (int) a[2];
        if (samples == null) {
            return npe("samples");
        }
        if (in < 1) {
            return iae("samplesIn");
        }
        if (samples.length < 2L * Math.max(in, out)) {
            return iae("samples");
        }
        float hop = 64f * ((float) out / (float) in);
        return unless(out <= 0 || (hop >= 1 && hop < 257), iae("hop"));
    }

    private static final Map<String, Contract> CONTRACTS = new HashMap<>();

    private static void contract(String signature, Harness h, Supplier<Object[]> valid,
            Function<Object[], Refusal> rule) {
        assertTrue(CONTRACTS.put(signature, new Contract(h, valid, rule)) == null, signature);
    }

    private static void contract(String signature, Harness h, Object[] valid, Function<Object[], Refusal> rule) {
        contract(signature, h, () -> copies(valid), rule);
    }

    /** Methods without arguments: nothing to put at an edge; their behaviour is the other tests'. */
    private static void noArguments(String... signatures) {
        for (String s : signatures) {
            contract(s, Harness.PURE, new Object[0], a -> null);
        }
    }

    private static Object[] args(Object... values) {
        return values;
    }

    /** The arrays among the values copied, the rest as they are. */
    private static Object[] copies(Object[] values) {
        Object[] c = values.clone();
        for (int i = 0; i < c.length; i++) {
            if (c[i] != null && c[i].getClass().isArray()) {
                int n = Array.getLength(c[i]);
                c[i] = Array.newInstance(c[i].getClass().getComponentType(), n);
                System.arraycopy(values[i], 0, c[i], 0, n);
            }
        }
        return c;
    }

    /** The session of the tempo streams that the contract of TempoStream's constructor makes. */
    private static Session openSession;

    static {
        for (String engine : new String[] {"NativeInterface.", "Engine."}) {
            Harness e = Harness.ENGINE;
            contract(engine + "dspInit(int,int,int,int)", e, args(512, 4, 44100, 2), a -> first(
                    unless(frameSize(a[0]), iae("frameSize")),
                    unless((int) a[1] >= 1 && (int) a[1] <= (int) a[0], iae("overSampling")),
                    unless((int) a[2] >= 32, iae("sampleRate")),
                    unless((int) a[3] == 1 || (int) a[3] == 2, iae("channels"))));
            for (String flag : new String[] {"dspVoiceRemovalEnable", "dspSpectrumEnable", "dspEQEnable",
                "dspPitchFormants"}) {
                contract(engine + flag + "(int)", e, args(0), a -> null);
            }
            contract(engine + "dspVoiceRemovalAmount(float)", e, args(0.5f),
                    a -> unless(within(a[0], -Float.MAX_VALUE, 1), iae("amount")));
            contract(engine + "dspSetPreamp(float)", e, args(1.5f), a -> unless(within(a[0], 0, 64), iae("preamp")));
            contract(engine + "dspVoiceRemovalFilter(double[],double[],int,int)", e,
                    args(new double[] {1.0, 0.9, 0.5}, new double[] {0.1, 0.1, 0.1}, 3, 3),
                    ArgumentErrorsTest::filterRule);
            contract(engine + "dspProcess(short[],int,int,float)", e,
                    args(EngineRuns.inputBlock(2, 4096, BLOCK_IN, BLOCK_OUT), BLOCK_IN, BLOCK_OUT, 0f),
                    ArgumentErrorsTest::blockRule);
            contract(engine + "dspPanning(int,int,int)", e, args(1, 0, 70),
                    a -> unless(within(a[2], 0, 100), iae("panningLevel")));
            contract(engine + "dspEQSetBands(float[])", e, args(filled(128, 0.8f)), a -> a[0] == null
                    ? npe("levels") : unless(((float[]) a[0]).length >= 128 && allWithin((float[]) a[0], 0, 1000),
                    iae("levels")));
            contract(engine + "dspGetSpectrum(float[],int)", e, args(new float[72], 72),
                    a -> a[0] == null ? npe("spectrum") : unless((int) a[1] >= 0, iae("size")));
            contract(engine + "dspQualityMode(int)", e, args(1), a -> unless(within(a[0], 0, 1), iae("mode")));
            contract(engine + "dspPitchShift(float)", e, args(2f),
                    a -> unless(within(a[0], -24, 24), iae("semitones")));
            noArguments(engine + "<init>()", engine + "dspGetMaxLevel()");
        }
        noArguments("Engine.close()", "Engine.isClosed()", "NativeInterface.libraryOrigin()");
        Harness p = Harness.PURE;
        contract("NativeInterface.analysisHop(int,int)", p, args(256, 4), ArgumentErrorsTest::hop);
        contract("NativeInterface.engineSynthesisHop(int,int,int,int)", p, args(256, 4, 512, 768),
                a -> first(hop(a), unless((int) a[2] >= 1, iae("samplesIn"))));
        contract("NativeInterface.synthesisHop(int,int,double)", p, args(256, 4, 0.75),
                a -> first(hop(a), tempoHop(a, 2)));
        contract("NativeInterface.outputFrames(int,int,int,double)", p, args(256, 4, 512, 0.75), a -> first(hop(a),
                unless((int) a[2] >= 1 && (int) a[2] % Math.max(1, (int) a[0] / Math.max(1, (int) a[1])) == 0,
                        iae("block")), tempoHop(a, 3)));
        contract("NativeInterface.fineFrameSize(int)", p, args(44100),
                a -> unless((int) a[0] >= 1, iae("sample rate")));
        contract("NativeInterface.fineOverSampling(int,double)", p, args(4096, 0.75), a -> first(
                unless(frameSize(a[0]), iae("frame size")), unless(within(a[1], Double.MIN_VALUE, Double.MAX_VALUE),
                iae("tempo"))));
        Function<Object[], Refusal> latency = a -> first(unless(frameSize(a[0]), iae("frame size")), hop(a),
                unless(within(a[2], (double) (int) a[1] / (int) a[0], (int) a[1]), iae("tempo")));
        contract("NativeInterface.fineLatency(int,int,double)", p, args(4096, 8, 0.75), latency);
        contract("NativeInterface.fineLatency(int,int,double,float)", p, args(4096, 8, 0.75, 5f),
                a -> first(latency.apply(a), shift(a[3])));
        contract("NativeInterface.pitchRatio(float)", p, args(5f), a -> shift(a[0]));

        contract("Session.builder(int,int)", p, args(44100, 2), a -> first(
                unless((int) a[1] == 1 || (int) a[1] == 2, iae("channels")),
                unless(within(a[0], 32, 1_000_000), iae("sample rate"))));
        Function<Object[], Refusal> tempoRange = a -> first(a[0] == null ? npe("quality") : null,
                unless(frameSize(a[1]), iae("frame size")), unless(within(a[2], 1, (int) a[1]), iae("oversampling")));
        contract("Session.minTempo(Quality,int,int)", p, args(Quality.FINE, 4096, 8), tempoRange);
        contract("Session.maxTempo(Quality,int,int)", p, args(Quality.FINE, 4096, 8), tempoRange);
        noArguments("Session.fineModeAvailable()");
        Harness s = Harness.SESSION;
        contract("Session.setTempo(double)", s, args(0.75), a -> unless(within(a[0], 0.1, 8), iae("tempo")));
        contract("Session.setQuality(Quality)", s, args(Quality.EXACT), a -> a[0] == null ? npe("quality") : null);
        contract("Session.setPitchShift(float)", s, args(2f), a -> shift(a[0]));
        contract("Session.setKeepFormants(boolean)", s, args(true), a -> null);
        contract("Session.setSpectrumEnabled(boolean)", s, args(false), a -> null);
        contract("Session.outputFramesFor(long)", s, args(1000L),
                a -> unless(within(a[0], 0, Session.MAX_FRAMES), iae("frames")));
        contract("Session.setPreamp(float)", s, args(1.5f), a -> unless(within(a[0], 0, 64), iae("preamp")));
        contract("Session.setPanning(int,boolean)", s, args(70, false),
                a -> unless(within(a[0], 0, 100), iae("panning")));
        contract("Session.setVoiceRemoval(double,double)", s, args(0.5, 200.0), a -> first(
                unless(within(a[0], 0, 1), iae("amount")), unless(within(a[1], 50, 400), iae("cut-off"))));
        // The harness's session: stereo, fine mode, frames of 512, blocks of 4096 in hops of 64.
        contract("Session.setEqualizer(float[])", s, args(filled(256, 0.8f)),
                a -> a[0] == null ? null : unless(((float[]) a[0]).length >= 256
                        && allWithin((float[]) a[0], 0, 1000), iae("equaliser")));
        contract("Session.setEqualizerCurve(EqualizerCurve)", s, args(EqualizerCurve.of(new double[] {300},
                new double[] {-6})), a -> null);
        contract("Session.spectrum(float[])", s, args(new float[72]), a -> a[0] == null ? npe("spectrum")
                : unless(((float[]) a[0]).length >= 72, iae("spectrum")));
        contract("Session.process(short[],int)", s, args(new short[2 * 41026], 4096), a -> a[0] == null
                ? npe("buffer") : first(
                unless((int) a[1] >= 1 && (int) a[1] <= 4096 && (int) a[1] % 64 == 0, iae("block")),
                unless(((short[]) a[0]).length >= 2 * 4096, iae("buffer"))));
        noArguments("Session.sampleRate()", "Session.channels()", "Session.frameSize()", "Session.overSampling()",
                "Session.blockFrames()", "Session.maxOutputFrames()", "Session.newBuffer()", "Session.minTempo()",
                "Session.maxTempo()", "Session.tempo()", "Session.keepFormants()", "Session.pitchShift()",
                "Session.quality()", "Session.latencyFrames()", "Session.playedTempo()", "Session.voiceRemoval()",
                "Session.peakLevel()", "Session.lastStretch()", "Session.reset()", "Session.close()");
        Harness b = Harness.BUILDER;
        contract("Session$Builder.quality(Quality)", b, args(Quality.EXACT), a -> a[0] == null ? npe("quality") : null);
        contract("Session$Builder.frameSize(int)", b, args(1024), a -> unless(frameSize(a[0]), iae("frame size")));
        contract("Session$Builder.overSampling(int)", b, args(4),
                a -> unless(within(a[0], 1, 32), iae("oversampling")));
        contract("Session$Builder.tempo(double)", b, args(0.5), a -> unless(within(a[0], 0.1, 10), iae("tempo")));
        contract("Session$Builder.pitchShift(float)", b, args(-3f), a -> shift(a[0]));
        contract("Session$Builder.keepFormants(boolean)", b, args(true), a -> null);
        contract("Session$Builder.blockFrames(int)", b, args(2048), a -> unless(within(a[0], 1, 65536), iae("block")));
        noArguments("Session$Builder.open()");

        contract("TempoStream.<init>(Session,TempoStream$Source,long,TempoStream$BlockListener)", p,
                () -> args(openSession, new SessionContractTest.Tone(9000), 9000L, null), a -> first(
                        a[0] == null ? npe("session") : null, a[0] != null && ((Session) a[0]).isClosed()
                        ? new Refusal(IllegalStateException.class, "closed") : null,
                        a[1] == null ? npe("source") : null,
                        unless((long) a[2] <= Session.MAX_FRAMES, iae("frames"))));
        contract("TempoStream.of(AudioInputStream,double)", p, () -> args(toneStream(), 0.8), a -> first(
                a[0] == null ? npe("source") : null, unless(within(a[1], 0.1, 10), iae("tempo"))));
        Harness t = Harness.TEMPO;
        Function<Object[], Refusal> fits = a -> a[0] == null ? npe("buffer") : unless((int) a[1] >= 0
                && (int) a[2] >= 0 && (long) (int) a[1] + (int) a[2] <= ((short[]) a[0]).length, iae("fit"));
        contract("TempoStream.read(short[],int,int)", t, args(new short[3000], 0, 3000), fits);
        contract("TempoStream.readTail(short[],int,int)", t, args(new short[3000], 0, 3000), fits);
        contract("TempoStream.continueWith(TempoStream$Source)", t, args(new SessionContractTest.Tone(9000)),
                a -> null);
        contract("TempoStream.reset(long)", t, args(5000L),
                a -> unless((long) a[0] <= Session.MAX_FRAMES, iae("frames")));
        noArguments("TempoStream.session()", "TempoStream.frameLength()", "TempoStream.consumed()",
                "TempoStream.progress()", "TempoStream.alignedFrames()", "TempoStream.peak()", "TempoStream.finish()");
        Harness au = Harness.AUDIO;
        contract("TempoStream$Audio.read(byte[],int,int)", au, args(new byte[4000], 0, 4000), a -> a[0] == null
                ? npe("buffer") : unless((int) a[1] >= 0 && (int) a[2] >= 0
                && (long) (int) a[1] + (int) a[2] <= ((byte[]) a[0]).length,
                new Refusal(IndexOutOfBoundsException.class, "out of bounds")));
        contract("TempoStream$Audio.skip(long)", au, args(400L), a -> null);
        noArguments("TempoStream$Audio.session()", "TempoStream$Audio.tempoStream()",
                "TempoStream$Audio.getFrameLength()", "TempoStream$Audio.available()", "TempoStream$Audio.close()");

        contract("EqualizerCurve.of(double[],double[])", p, args(new double[] {200, 4000}, new double[] {0, -9}),
                a -> a[0] == null || a[1] == null ? npe(a[0] == null ? "hz" : "db") : first(
                        unless(((double[]) a[0]).length == 2, iae("frequencies")),
                        unless(((double[]) a[1]).length == 2, iae("gains")),
                        unless(((double[]) a[0]).length == 2 && ((double[]) a[0])[0] == 200, iae("frequenc")),
                        unless(((double[]) a[1]).length == 2 && within(((double[]) a[1])[0], -60, 24),
                                iae("gain"))));
        contract("EqualizerCurve.gainDb(double)", p, args(1000.0),
                a -> unless(!Double.isNaN((double) a[0]), iae("frequency")));
        contract("EqualizerCurve.binGains(int,int)", p, args(256, 44100),
                a -> first(unless(frameSize(a[0]), iae("frame size")), unless((int) a[1] >= 1, iae("Hz"))));
        noArguments("EqualizerCurve.toString()");
        Function<Object[], Refusal> cutoff = a -> unless((double) a[a.length - 2] > 0
                && (double) a[a.length - 2] < (int) a[a.length - 1] / 2.0, iae("cut-off"));
        contract("VoiceFilter.design(double,int)", p, args(150.0, 44100), cutoff);
        contract("VoiceFilter.butterworthLowPass(int,double,int)", p, args(4, 150.0, 44100),
                a -> first(unless(within(a[0], 1, 16), iae("order")), cutoff.apply(a)));
        contract("VoiceFilter.response(VoiceFilter$Coefficients,double,int)", p,
                args(VoiceFilter.design(150, 44100), 1000.0, 44100), a -> first(
                a[0] == null ? npe("coefficients") : null,
                unless((int) a[2] >= 1, iae("sample rate")),
                unless(Double.isFinite(2 * Math.PI * (double) a[1] / (int) a[2]), iae("frequency"))));
    }

    private static float[] filled(int n, float value) {
        float[] a = new float[n];
        Arrays.fill(a, value);
        return a;
    }

    private static AudioInputStream toneStream() {
        short[] pcm = new short[9000];
        SessionTest.music(pcm, 0, pcm.length, 1);
        byte[] le = new byte[2 * pcm.length];
        for (int i = 0; i < pcm.length; i++) {
            le[2 * i] = (byte) pcm[i];
            le[2 * i + 1] = (byte) (pcm[i] >> 8);
        }
        return new AudioInputStream(new ByteArrayInputStream(le), new AudioFormat(44100, 16, 1, true, false),
                pcm.length);
    }

    /** The edge values of a parameter's type; arrays also filled, at the valid one's length, with each number's. */
    private static List<Object> edges(Class<?> type, Object valid) {
        List<Object> floats = List.of(Float.NaN, Float.POSITIVE_INFINITY, Float.NEGATIVE_INFINITY, 0f, -1f,
                Float.MIN_VALUE, Float.MAX_VALUE, -Float.MAX_VALUE);
        List<Object> doubles = List.of(Double.NaN, Double.POSITIVE_INFINITY, Double.NEGATIVE_INFINITY, 0.0, -1.0,
                Double.MIN_VALUE, Double.MAX_VALUE, -Double.MAX_VALUE);
        List<Object> edges = new ArrayList<>();
        if (type == int.class) {
            edges.addAll(List.of(0, -1, 1, Integer.MIN_VALUE, Integer.MAX_VALUE));
        } else if (type == long.class) {
            edges.addAll(List.of(0L, -1L, 1L, Long.MIN_VALUE, Long.MAX_VALUE));
        } else if (type == float.class) {
            edges.addAll(floats);
        } else if (type == double.class) {
            edges.addAll(doubles);
        } else if (type == boolean.class) {
            edges.addAll(List.of(false, true));
        } else {
            edges.add(null);
            if (type.isArray()) {
                edges.add(Array.newInstance(type.getComponentType(), 0));
                List<Object> values = type == float[].class ? floats : type == double[].class ? doubles : List.of();
                for (Object v : values) {
                    Object array = Array.newInstance(type.getComponentType(), Array.getLength(valid));
                    for (int i = 0; i < Array.getLength(array); i++) {
                        Array.set(array, i, v);
                    }
                    edges.add(array);
                }
            } else if (type.isEnum()) {
                edges.addAll(Arrays.asList(type.getEnumConstants()));
            } else if (type == Session.class) {
                Session closed = Session.builder(44100, 1).open();
                closed.close();
                edges.add(closed);
            }
        }
        return edges;
    }

    @Test
    void everyPublicMethodRefusesOrTakesEachEdgeValueAsDocumentedAndARefusalChangesNothing() throws Exception {
        Class<?>[] api = {NativeInterface.class, Engine.class, Session.class, Session.Builder.class,
            TempoStream.class, TempoStream.Audio.class, EqualizerCurve.class, VoiceFilter.class};
        Map<String, java.lang.reflect.Executable> members = new TreeMap<>();
        for (Class<?> c : api) {
            List<java.lang.reflect.Executable> all = new ArrayList<>(Arrays.asList(c.getDeclaredMethods()));
            all.addAll(Arrays.asList(c.getDeclaredConstructors()));
            for (java.lang.reflect.Executable m : all) {
                if (Modifier.isPublic(m.getModifiers()) && !m.isSynthetic()) {
                    members.put(signature(c, m), m);
                }
            }
        }
        List<String> unclassified = new ArrayList<>(members.keySet());
        unclassified.removeAll(CONTRACTS.keySet());
        assertEquals(List.of(), unclassified, "public methods without a contract here");
        List<String> gone = new ArrayList<>(CONTRACTS.keySet());
        gone.removeAll(members.keySet());
        assertEquals(List.of(), gone, "contracts of methods that are gone");
        List<String> failures = new ArrayList<>();
        try (Engine engine = new Engine(); Session session = Session.builder(44100, 1).open()) {
            openSession = session;
            ownEngine = engine;
            for (Map.Entry<String, java.lang.reflect.Executable> m : members.entrySet()) {
                Contract c = CONTRACTS.get(m.getKey());
                Class<?>[] types = m.getValue().getParameterTypes();
                for (int i = -1; i < types.length; i++) {
                    // i = -1: the valid call itself.
                    int count = i < 0 ? 1 : edges(types[i], c.valid.get()[i]).size();
                    for (int k = 0; k < count; k++) {
                        Object[] a = c.valid.get();
                        if (i >= 0) {
                            a[i] = edges(types[i], a[i]).get(k);
                        }
                        if (types.length > 0) {
                            try {
                                oneCall(m.getKey(), m.getValue(), c, a);
                            } catch (AssertionError | RuntimeException e) {
                                failures.add(e instanceof AssertionError ? e.getMessage() : m.getKey() + ": " + e);
                            }
                        }
                    }
                }
            }
        } finally {
            openSession = null;
            ownEngine = null;
        }
        assertEquals("", String.join("\n", failures));
    }

    private static Engine ownEngine;

    /** As the contracts name them: {@code Owner.name(Type,...)}, nested classes as {@code Outer$Inner}. */
    private static String signature(Class<?> owner, java.lang.reflect.Executable m) {
        StringBuilder sb = new StringBuilder(owner.getName().substring(owner.getPackageName().length() + 1));
        sb.append('.').append(m instanceof Method ? m.getName() : "<init>").append('(');
        Class<?>[] types = m.getParameterTypes();
        for (int i = 0; i < types.length; i++) {
            String t = types[i].getName();
            sb.append(i == 0 ? "" : ",").append(types[i].isArray() ? types[i].getSimpleName()
                    : t.substring(t.lastIndexOf('.') + 1));
        }
        return sb.append(')').toString();
    }

    /** One call in its harness: the verdict, and for a refusal that nothing changed. */
    private void oneCall(String signature, java.lang.reflect.Executable m, Contract c, Object[] a) throws Exception {
        String what = signature + " with " + describe(a);
        Refusal expected = c.rule.apply(a);
        Object[] before = copies(a);
        Throwable[] thrown = new Throwable[1];
        Consumer<Object> call = receiver -> thrown[0] = invoke(m, receiver, a);
        switch (c.harness) {
            case ENGINE -> onEngine(signature.startsWith("Engine.") ? ownEngine : DSP, m, call, thrown, what);
            case SESSION -> onSession(call, thrown, what);
            case BUILDER -> {
                Session.Builder b = Session.builder(44100, 2);
                call.accept(b);
                if (thrown[0] != null) {
                    try (Session fresh = Session.builder(44100, 2).open(); Session after = b.open()) {
                        assertEquals(settings(fresh), settings(after), what + ": the builder changed");
                    }
                }
            }
            case TEMPO -> {
                TempoStream stream = tempoStream();
                try {
                    call.accept(stream);
                    if (thrown[0] != null) {
                        TempoStream same = tempoStream();
                        assertArrayEquals(SessionContractTest.readAll(same), SessionContractTest.readAll(stream),
                                what + ": the stream changed");
                        same.session().close();
                    }
                } finally {
                    stream.session().close();
                }
            }
            case AUDIO -> {
                try (TempoStream.Audio audio = TempoStream.of(toneStream(), 0.8); TempoStream.Audio same =
                        TempoStream.of(toneStream(), 0.8)) {
                    audio.readNBytes(4000);
                    same.readNBytes(4000);
                    call.accept(audio);
                    if (thrown[0] != null) {
                        assertArrayEquals(same.readAllBytes(), audio.readAllBytes(), what + ": the stream changed");
                    }
                }
            }
            default -> call.accept(m.getDeclaringClass() == EqualizerCurve.class
                    ? EqualizerCurve.of(new double[] {100, 1000}, new double[] {-3, 6}) : null);
        }
        Throwable t = thrown[0];
        if (expected == null) {
            assertNull(t, () -> what + " refused, where it is taken: " + t);
            return;
        }
        assertNotNull(t, () -> what + " taken, where it is refused with " + expected.type.getSimpleName());
        assertEquals(expected.type, t.getClass(), () -> what + ": " + t);
        assertTrue(t.getMessage() != null && t.getMessage().toLowerCase(Locale.ROOT)
                .contains(expected.word.toLowerCase(Locale.ROOT)), () -> what + ": the message " + t.getMessage()
                + " does not say \"" + expected.word + "\"");
        for (int i = 0; i < a.length; i++) {
            assertTrue(Objects.deepEquals(before[i], a[i]) || before[i] == a[i], what + ": argument " + i + " changed");
        }
    }

    /** The call's exception, or null; a result that holds resources is closed. */
    private static Throwable invoke(java.lang.reflect.Executable m, Object receiver, Object[] a) {
        try {
            Object result = m instanceof Method method
                    ? method.invoke(Modifier.isStatic(method.getModifiers()) ? null : receiver, a)
                    : ((Constructor<?>) m).newInstance(a);
            if (result instanceof AutoCloseable closeable) {
                closeable.close();
            }
            return null;
        } catch (InvocationTargetException e) {
            return e.getCause();
        } catch (Exception e) {
            throw new AssertionError(e);
        }
    }

    private static final Map<Object, short[]> ENGINE_REFERENCE = new HashMap<>();

    /**
     * Between the two blocks. A refusal leaves the second block and its peak
     * as without the call; after an accepted call, once the stages are set as
     * before, the stream still sounds: no value that is taken can silence it
     * for good.
     */
    private static void onEngine(Object engine, java.lang.reflect.Executable m, Consumer<Object> call,
            Throwable[] thrown, String what) {
        short[] reference = ENGINE_REFERENCE.computeIfAbsent(engine, e -> withPeak(e, twoBlocks(e, () -> {})));
        short[] second = withPeak(engine, twoBlocks(engine, () -> {
            call.accept(engine);
            if (thrown[0] == null && m.getName().equals("dspInit")) {
                // Another stream, which the harness's blocks may not fit: its own again.
                call(engine, "dspInit", 256, 4, 44100, 2);
            }
        }));
        if (thrown[0] != null) {
            assertArrayEquals(reference, second, what + ": the stream changed");
            return;
        }
        stages(engine);
        short[] last = null;
        for (int b = 2; b < 6; b++) {
            last = block(engine, b);
        }
        assertTrue(EngineRuns.peak(last) > 1000, what + ": the stream went quiet for good");
    }

    private static short[] withPeak(Object engine, short[] block) {
        short[] out = Arrays.copyOf(block, block.length + 2);
        int bits = Float.floatToIntBits((float) call(engine, "dspGetMaxLevel"));
        out[block.length] = (short) (bits >> 16);
        out[block.length + 1] = (short) bits;
        return out;
    }

    private static short[] sessionReference;

    /** Six blocks, the call before the third and the fourth; then as {@link #onEngine}. */
    private static void onSession(Consumer<Object> call, Throwable[] thrown, String what) {
        if (sessionReference == null) {
            sessionReference = SessionContractTest.run(Session.builder(44100, 2).frameSize(512), null);
        }
        short[] out = SessionContractTest.run(Session.builder(44100, 2).frameSize(512), (session, buf) -> {
            call.accept(session);
            if (thrown[0] == null) {
                session.setPreamp(1);
                session.setPanning(50, false);
                session.setVoiceRemoval(0.7, 150);
                session.setEqualizer(null);
                session.setSpectrumEnabled(true);
            }
        });
        if (thrown[0] != null) {
            assertArrayEquals(sessionReference, out, what + ": the stream changed");
        } else {
            assertTrue(EngineRuns.peak(Arrays.copyOfRange(out, out.length - 4000, out.length)) > 1000,
                    what + ": the stream went quiet for good");
        }
    }

    private static String settings(Session s) {
        return s.frameSize() + "/" + s.overSampling() + " " + s.quality() + " tempo " + s.tempo() + " shift "
                + s.pitchShift() + " formants " + s.keepFormants() + " block " + s.blockFrames();
    }

    /** A tempo stream of a mono tone, 4,000 frames read. */
    private static TempoStream tempoStream() throws IOException {
        Session s = Session.builder(44100, 1).frameSize(512).tempo(0.8).open();
        TempoStream stream = new TempoStream(s, new SessionContractTest.Tone(20000), 20000, null);
        stream.read(new short[4000], 0, 4000);
        return stream;
    }

    private static String describe(Object[] a) {
        StringBuilder sb = new StringBuilder("(");
        for (Object v : a) {
            sb.append(sb.length() > 1 ? ", " : "");
            if (v != null && v.getClass().isArray()) {
                int n = Array.getLength(v);
                sb.append(v.getClass().getSimpleName().replace("[]", "[" + n + "]"))
                        .append(n > 0 ? " of " + Array.get(v, 0) : "");
            } else {
                sb.append(v);
            }
        }
        return sb.append(')').toString();
    }
}
