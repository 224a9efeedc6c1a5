package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.Test;

/** Engines as objects through a real virtual machine: identity, isolation and life. */
class EngineTest {
    /** The operations that both NativeInterface and Engine offer. */
    private interface Ops {
        void init(int frameSize, int overSampling, int rate, int channels);

        void process(short[] samples, int in, int out);

        void voice(double[] a, double[] b);

        void eq(float[] gains);

        float level();
    }

    private static Ops of(NativeInterface n) {
        return new Ops() {
            public void init(int f, int o, int r, int c) { n.dspInit(f, o, r, c); }
            public void process(short[] s, int in, int out) { n.dspProcess(s, in, out, 0f); }
            public void voice(double[] a, double[] b) {
                n.dspVoiceRemovalFilter(a, b, a.length, b.length);
                n.dspVoiceRemovalAmount(0.8f);
                n.dspVoiceRemovalEnable(1);
            }
            public void eq(float[] g) { n.dspEQSetBands(g); n.dspEQEnable(1); }
            public float level() { return n.dspGetMaxLevel(); }
        };
    }

    private static Ops of(Engine e) {
        return new Ops() {
            public void init(int f, int o, int r, int c) { e.dspInit(f, o, r, c); }
            public void process(short[] s, int in, int out) { e.dspProcess(s, in, out, 0f); }
            public void voice(double[] a, double[] b) {
                e.dspVoiceRemovalFilter(a, b, a.length, b.length);
                e.dspVoiceRemovalAmount(0.8f);
                e.dspVoiceRemovalEnable(1);
            }
            public void eq(float[] g) { e.dspEQSetBands(g); e.dspEQEnable(1); }
            public float level() { return e.dspGetMaxLevel(); }
        };
    }

    /** A stereo stream with voice removal and an equaliser: every block's output and peak, concatenated. */
    private static short[] stream(Ops ops, int blocks) {
        ops.init(512, 4, 44100, 2);
        ops.voice(new double[] {1.0, -1.1429805, 0.4128016}, new double[] {0.0674553, 0.1349105, 0.0674553});
        float[] gains = new float[256];
        for (int k = 0; k < gains.length; k++) {
            gains[k] = k < 20 ? 0.5f : 1.2f;
        }
        ops.eq(gains);
        short[] out = new short[blocks * (900 * 2 + 1)];
        for (int b = 0; b < blocks; b++) {
            short[] s = EngineRuns.inputBlock(2, (long) b * 1024, 1024, 900);
            ops.process(s, 1024, 900);
            System.arraycopy(s, 0, out, b * 1801, 1800);
            out[b * 1801 + 1800] = (short) Float.floatToIntBits(ops.level());
        }
        return out;
    }

    @Test
    void anEngineGivesWhatTheDefaultEngineGivesAndTwoAtOnceGiveWhatEachGivesAlone() throws Exception {
        short[] reference = stream(of(new NativeInterface()), 40);
        try (Engine one = new Engine(); Engine two = new Engine()) {
            assertArrayEquals(reference, stream(of(one), 40));
            List<AtomicReference<short[]>> results = new ArrayList<>();
            List<Thread> threads = new ArrayList<>();
            for (Engine e : new Engine[] {one, two}) {
                AtomicReference<short[]> r = new AtomicReference<>();
                results.add(r);
                threads.add(new Thread(() -> r.set(stream(of(e), 40))));
            }
            threads.forEach(Thread::start);
            for (Thread t : threads) {
                t.join();
            }
            for (AtomicReference<short[]> r : results) {
                assertArrayEquals(reference, r.get());
            }
        }
    }

    @Test
    void settingsOfOneEngineNeverReachAnother() {
        try (Engine plain = new Engine(); Engine loud = new Engine()) {
            short[] alone = runPlain(plain);
            loud.dspInit(1024, 4, 22050, 2);
            loud.dspSetPreamp(8f);
            loud.dspPanning(1, 1, 0);
            loud.dspSpectrumEnable(0);
            loud.dspQualityMode(NativeInterface.QUALITY_FINE);
            loud.dspEQEnable(1);
            assertArrayEquals(alone, runPlain(plain));
            float[] spectrum = new float[72];
            plain.dspGetSpectrum(spectrum, 72);
            float sum = 0;
            for (float v : spectrum) {
                sum += v;
            }
            assertTrue(sum > 0, "the plain engine's spectrum is on");
        }
    }

    private static short[] runPlain(Engine e) {
        e.dspInit(512, 4, 44100, 1);
        short[] out = new short[0];
        for (int b = 0; b < 10; b++) {
            short[] s = EngineRuns.inputBlock(1, (long) b * 1024, 1024, 1024);
            e.dspProcess(s, 1024, 1024, 0f);
            short[] joined = new short[out.length + 1024];
            System.arraycopy(out, 0, joined, 0, out.length);
            System.arraycopy(s, 0, joined, out.length, 1024);
            out = joined;
        }
        return out;
    }

    @Test
    void aClosedEngineRefusesEveryCallAndClosingAgainDoesNothing() {
        Engine e = new Engine();
        e.dspInit(512, 4, 44100, 1);
        e.close();
        e.close();
        assertTrue(e.isClosed());
        short[] samples = {1, 2, 3, 4};
        IllegalStateException x = assertThrows(IllegalStateException.class, () -> e.dspProcess(samples, 2, 2, 0f));
        assertTrue(x.getMessage().contains("closed"), x.getMessage());
        assertArrayEquals(new short[] {1, 2, 3, 4}, samples);
        assertThrows(IllegalStateException.class, () -> e.dspSetPreamp(1f));
        assertThrows(IllegalStateException.class, e::dspGetMaxLevel);
        assertThrows(IllegalStateException.class, () -> e.dspGetSpectrum(new float[72], 72));
        assertThrows(IllegalStateException.class, () -> e.dspInit(512, 4, 44100, 1));
    }

    @Test
    void aRefusedCallRaisesAsNativeInterfaceDoesAndTheEngineStaysUsable() {
        try (Engine e = new Engine()) {
            assertThrows(IllegalStateException.class, () -> e.dspProcess(new short[8], 4, 4, 0f));
            assertThrows(IllegalArgumentException.class, () -> e.dspInit(1000, 4, 44100, 2));
            assertThrows(IllegalArgumentException.class, () -> e.dspQualityMode(2));
            e.dspInit(512, 4, 44100, 1);
            assertThrows(NullPointerException.class, () -> e.dspProcess(null, 4, 4, 0f));
            assertFalse(e.isClosed());
            e.dspProcess(new short[1024], 1024, 1024, 0f);
        }
    }

    @Test
    void closeWaitsForABlockRunningOnAnotherThread() throws Exception {
        Engine e = new Engine();
        e.dspInit(4096, 16, 44100, 2);
        AtomicReference<Throwable> failure = new AtomicReference<>();
        Thread player = new Thread(() -> {
            try {
                for (int b = 0; ; b++) {
                    short[] s = EngineRuns.inputBlock(2, (long) b * 8192, 8192, 8192);
                    e.dspProcess(s, 8192, 8192, 0f);
                }
            } catch (IllegalStateException closed) {
                // the engine was closed between two blocks: the expected end
            } catch (Throwable t) {
                failure.set(t);
            }
        });
        player.start();
        Thread.sleep(100);
        e.close();
        player.join();
        assertEquals(null, failure.get());
    }

    @Test
    void forgottenEnginesAreFreedAndManyMayLiveAtOnce() throws Exception {
        new NativeInterface();
        long before = EngineNative.liveCount();
        List<Engine> open = new ArrayList<>();
        for (int i = 0; i < 50; i++) {
            Engine e = new Engine();
            e.dspInit(2048, 4, 44100, 2);
            open.add(e);
        }
        assertEquals(before + 50, EngineNative.liveCount());
        for (Engine e : open) {
            e.close();
        }
        assertEquals(before, EngineNative.liveCount());
        for (int i = 0; i < 200; i++) {
            new Engine().dspInit(2048, 4, 44100, 2);
        }
        long deadline = System.nanoTime() + 20_000_000_000L;
        while (EngineNative.liveCount() > before && System.nanoTime() < deadline) {
            System.gc();
            Thread.sleep(20);
        }
        assertEquals(before, EngineNative.liveCount(), "engines nobody closed are freed once unreachable");
    }
}
