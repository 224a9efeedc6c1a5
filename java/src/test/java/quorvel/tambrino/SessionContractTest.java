package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.Arrays;
import java.util.Map;
import java.util.function.BiConsumer;
import java.util.function.Consumer;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/**
 * What a caller of the public API may rely on: a refused call leaves no
 * trace in the stream that follows, a closed session is inert, the builder
 * refuses early, and a tempo stream ends, seeks and changes tempo without
 * the caller padding or trimming anything.
 */
class SessionContractTest {
    static final int RATE = SessionTest.RATE;

    /**
     * Six blocks of stereo music with voice removal; {@code between} before
     * the third block, and before the fourth after a mode switch and a new tempo.
     */
    static short[] run(Session.Builder builder, BiConsumer<Session, short[]> between) {
        try (Session s = builder.tempo(0.8).open()) {
            Quality q = s.quality();
            s.setVoiceRemoval(0.7, 150);
            short[] buf = s.newBuffer();
            int in = s.blockFrames();
            short[] all = new short[0];
            for (int b = 0; b < 6; b++) {
                if (b == 3) {
                    // A switch still pending when the call comes must not be applied by it.
                    s.setQuality(q == Quality.FINE ? Quality.EXACT : Quality.FINE);
                    s.setTempo(0.7);
                }
                if (between != null && (b == 2 || b == 3)) {
                    between.accept(s, buf);
                }
                SessionTest.music(buf, (long) b * in, in, 2);
                int n = s.process(buf, in);
                all = Arrays.copyOf(all, all.length + n * 2);
                System.arraycopy(buf, 0, all, all.length - n * 2, n * 2);
            }
            return all;
        }
    }

    @Test
    void aRefusedCallLeavesTheFollowingStreamBitForBitAsIfItHadNotBeenMade() {
        Map<String, BiConsumer<Session, short[]>> refusals = Map.ofEntries(
                row("short buffer", (s, b) -> s.process(new short[16], s.blockFrames())),
                row("null buffer", (s, b) -> s.process(null, s.blockFrames())),
                row("no frames", (s, b) -> s.process(b, 0)),
                row("not whole hops", (s, b) -> s.process(b, s.blockFrames() - 1)),
                row("block too large", (s, b) -> s.process(b, s.blockFrames() * 2)),
                row("tempo NaN", (s, b) -> s.setTempo(Double.NaN)),
                row("tempo infinite", (s, b) -> s.setTempo(Double.POSITIVE_INFINITY)),
                row("tempo 0", (s, b) -> s.setTempo(0)),
                row("preamp NaN", (s, b) -> s.setPreamp(Float.NaN)),
                row("preamp 65", (s, b) -> s.setPreamp(65)),
                row("panning 101", (s, b) -> s.setPanning(101, true)),
                row("voice NaN", (s, b) -> s.setVoiceRemoval(Double.NaN, 150)),
                row("voice cut-off 10 Hz", (s, b) -> s.setVoiceRemoval(0, 10)),
                row("equaliser short", (s, b) -> s.setEqualizer(new float[3])),
                row("equaliser NaN", (s, b) -> s.setEqualizer(nanGains(s.frameSize() / 2))),
                row("quality null", (s, b) -> s.setQuality(null)),
                row("pitch NaN", (s, b) -> s.setPitchShift(Float.NaN)),
                row("pitch 24.5", (s, b) -> s.setPitchShift(24.5f)),
                row("spectrum short", (s, b) -> s.spectrum(new float[10])),
                row("negative length", (s, b) -> s.outputFramesFor(-1)));
        for (Quality q : Quality.values()) {
            short[] untouched = run(Session.builder(RATE, 2).quality(q), null);
            refusals.forEach((name, call) -> assertArrayEquals(untouched, run(Session.builder(RATE, 2).quality(q),
                    (s, buf) -> {
                        short[] before = buf.clone();
                        assertThrows(RuntimeException.class, () -> call.accept(s, buf));
                        assertArrayEquals(before, buf, "the caller's array");
                    }), q + ": " + name));
        }
    }

    private static Map.Entry<String, BiConsumer<Session, short[]>> row(String name, BiConsumer<Session, short[]> call) {
        return Map.entry(name, call);
    }

    private static float[] nanGains(int n) {
        float[] g = new float[n];
        Arrays.fill(g, 1f);
        g[n / 2] = Float.NaN;
        return g;
    }

    @Test
    void aClosedSessionRefusesEveryCallAndTheNextOnePlaysUntouched() throws Exception {
        Session closed = Session.builder(RATE, 2).open();
        closed.close();
        Map<Class<?>, Object> args = Map.of(int.class, 0, long.class, 0L, float.class, 1f, double.class, 1.0,
                boolean.class, false, Quality.class, Quality.EXACT);
        try (Session next = Session.builder(RATE, 2).open()) {
            for (Method m : Session.class.getMethods()) {
                if (m.getDeclaringClass() != Session.class || Modifier.isStatic(m.getModifiers())
                        || m.getName().equals("close")) {
                    continue;
                }
                Object[] values = Arrays.stream(m.getParameterTypes()).map(args::get).toArray();
                InvocationTargetException e = assertThrows(InvocationTargetException.class,
                        () -> m.invoke(closed, values), m.toString());
                assertInstanceOf(IllegalStateException.class, e.getCause(), m.toString());
            }
            closed.close();
            short[] buf = next.newBuffer();
            for (int b = 0; b < 4; b++) {
                SessionTest.music(buf, (long) b * next.blockFrames(), next.blockFrames(), 2);
                next.process(buf, next.blockFrames());
            }
            // The closed session's preamp of 0 (and its other calls) never reached the engine.
            assertTrue(next.peakLevel() > 0.2f, "peak " + next.peakLevel());
        }
    }

    @Test
    void closeWaitsForTheBlockInProgressSoTheNextSessionStartsClean() throws Exception {
        Consumer<short[][]> fiveBlocks = out -> {
            try (Session s = Session.builder(RATE, 2).quality(Quality.EXACT).open()) {
                short[] buf = s.newBuffer();
                for (int b = 0; b < 5; b++) {
                    SessionTest.music(buf, (long) b * s.blockFrames(), s.blockFrames(), 2);
                    int n = s.process(buf, s.blockFrames());
                    out[b] = Arrays.copyOf(buf, n * 2);
                }
            }
        };
        short[][] reference = new short[5][];
        fiveBlocks.accept(reference);
        for (int round = 0; round < 20; round++) {
            Session busy = Session.builder(RATE, 2).frameSize(4096).overSampling(32).tempo(0.3).open();
            Throwable[] ended = new Throwable[1];
            short[] buf = busy.newBuffer();
            Thread player = new Thread(() -> {
                try {
                    while (true) {
                        busy.process(buf, busy.blockFrames());
                    }
                } catch (Throwable t) {
                    ended[0] = t;
                }
            });
            player.start();
            Thread.sleep(round % 5);
            busy.close();
            short[][] after = new short[5][];
            fiveBlocks.accept(after);
            player.join();
            assertInstanceOf(IllegalStateException.class, ended[0]);
            for (int b = 0; b < 5; b++) {
                assertArrayEquals(reference[b], after[b], "round " + round + ", block " + b);
            }
        }
    }

    @Test
    void theBuilderRefusesAtOnceWhatOpenWouldRefuse() {
        assertThrows(IllegalArgumentException.class, () -> Session.builder(20, 2));
        Session.Builder b = Session.builder(RATE, 2).quality(Quality.EXACT).frameSize(16);
        for (Executable e : new Executable[] {() -> b.tempo(Double.NaN), () -> b.tempo(0), () -> b.tempo(11),
            () -> b.blockFrames(0), () -> b.blockFrames(Session.MAX_BLOCK + 1), () -> b.overSampling(32),
            () -> Session.builder(RATE, 2).overSampling(32).frameSize(16), () -> b.pitchShift(-24.01f),
            () -> b.pitchShift(Float.POSITIVE_INFINITY)}) {
            assertThrows(IllegalArgumentException.class, e);
        }
        // Each refusal left the builder as it was.
        try (Session s = b.open()) {
            assertEquals(16, s.frameSize());
            assertEquals(1.0, s.tempo());
            assertEquals(0f, s.pitchShift());
        }
    }

    /** A mono source that ends at frame {@code end} (-1: endless), read from {@code pos}, which can be moved. */
    static final class Tone implements TempoStream.Source {
        long pos;
        final long end;

        Tone(long end) {
            this.end = end;
        }

        @Override
        public int read(short[] buffer, int offset, int n) {
            int k = (int) (end < 0 ? n : Math.min(n, end - pos));
            short[] part = new short[k];
            SessionTest.music(part, pos, k, 1);
            System.arraycopy(part, 0, buffer, offset, k);
            pos += k;
            return k;
        }
    }

    static short[] readAll(TempoStream s) throws IOException {
        short[] all = new short[1 << 20];
        int total = 0;
        int n;
        while ((n = s.read(all, total, 777)) > 0) {
            total += n;
        }
        assertEquals(0, s.read(all, 0, 777), "a read after the end");
        return Arrays.copyOf(all, total);
    }

    @Test
    void aTempoStreamEndsWhenToldAndStartsAfreshAfterASeekWithItsSettings() throws Exception {
        double[] hz = {200, 4000};
        double[] db = {0, -9};
        short[] fresh;
        try (Session s = Session.builder(RATE, 1).tempo(0.8).open()) {
            s.setEqualizerCurve(EqualizerCurve.of(hz, db));
            Tone tone = new Tone(80000);
            tone.pos = 50000;
            fresh = readAll(new TempoStream(s, tone, -1, null));
        }
        try (Session s = Session.builder(RATE, 1).tempo(0.8).open()) {
            s.setEqualizerCurve(EqualizerCurve.of(hz, db));
            Tone endless = new Tone(-1);
            TempoStream stream = new TempoStream(s, endless, -1, null);
            stream.read(new short[20000], 0, 20000);
            stream.finish();
            short[] rest = readAll(stream);
            assertEquals(Math.round(stream.consumed() / 0.8), 20000 + rest.length);

            Tone tone = new Tone(80000);
            TempoStream seeking = new TempoStream(s, tone, -1, null);
            seeking.read(new short[5000], 0, 5000);
            tone.pos = 50000;
            seeking.reset(-1);
            assertArrayEquals(fresh, readAll(seeking));
        }
    }

    @Test
    void aListenerOrASourceThatThrowsLosesNoFrame() throws Exception {
        short[] clean = readThroughThrows(0, 0);
        assertEquals(Math.round(60000 / 0.8), clean.length);
        assertArrayEquals(clean, readThroughThrows(3, 0), "the listener threw");
        // The source throws on its fifth call, with four of a block's reads taken.
        assertArrayEquals(clean, readThroughThrows(0, 5), "the source threw");
        assertArrayEquals(clean, readThroughThrows(2, 9), "both threw");
    }

    /**
     * A tone of 60,000 frames at tempo 0.8, read 100,000 frames at a time;
     * the listener throws at its call number {@code listenerThrows} and the
     * source at {@code sourceThrows} (0: never). Each exception is caught and
     * reading goes on.
     */
    private static short[] readThroughThrows(int listenerThrows, int sourceThrows) throws IOException {
        try (Session s = Session.builder(RATE, 1).tempo(0.8).open()) {
            Tone tone = new Tone(60000);
            int[] calls = new int[2];
            TempoStream.Source source = (buffer, offset, n) -> {
                if (++calls[1] == sourceThrows) {
                    throw new IOException("the source's own failure");
                }
                return tone.read(buffer, offset, Math.min(n, 1000));
            };
            TempoStream stream = new TempoStream(s, source, 60000, (start, end, level, spectrum) -> {
                if (++calls[0] == listenerThrows) {
                    throw new IllegalStateException("the listener's own failure");
                }
            });
            short[] all = new short[0];
            short[] chunk = new short[100000];
            int failures = 0;
            while (true) {
                int n;
                try {
                    n = stream.read(chunk, 0, chunk.length);
                } catch (IOException | IllegalStateException e) {
                    assertTrue(e.getMessage().contains("own failure"), e.getMessage());
                    failures++;
                    continue;
                }
                if (n == 0) {
                    break;
                }
                all = Arrays.copyOf(all, all.length + n);
                System.arraycopy(chunk, 0, all, all.length - n, n);
            }
            assertEquals((listenerThrows > 0 ? 1 : 0) + (sourceThrows > 0 ? 1 : 0), failures);
            return all;
        }
    }

    @Test
    void theAudioStreamsSessionIsItsTempoHandle() throws Exception {
        int frames = RATE;
        short[] pcm = new short[frames * 2];
        SessionTest.music(pcm, 0, frames, 2);
        byte[] le = new byte[pcm.length * 2];
        for (int i = 0; i < pcm.length; i++) {
            le[2 * i] = (byte) pcm[i];
            le[2 * i + 1] = (byte) (pcm[i] >> 8);
        }
        AudioFormat f = new AudioFormat(RATE, 16, 2, true, false);
        byte[] atHalf;
        try (AudioInputStream half = TempoStream.of(new AudioInputStream(new ByteArrayInputStream(le), f, frames),
                0.5)) {
            atHalf = half.readAllBytes();
        }
        // Set before the first read: the same stream, start and length as if opened at that tempo.
        try (TempoStream.Audio slow = TempoStream.of(new AudioInputStream(new ByteArrayInputStream(le), f, frames),
                1.0)) {
            slow.session().setTempo(0.5);
            assertEquals(2L * frames, slow.getFrameLength());
            assertArrayEquals(atHalf, slow.readAllBytes());
        }
        // Changed half-way: the stream lasts each part's length over its tempo.
        TempoStream.Audio changing = TempoStream.of(new AudioInputStream(new ByteArrayInputStream(le), f, frames),
                1.0);
        long first = changing.readNBytes(4 * 20000).length / 4;
        long atOne = changing.tempoStream().consumed();
        changing.session().setTempo(0.5);
        long total = first + changing.readAllBytes().length / 4;
        assertEquals(total, changing.getFrameLength());
        assertEquals(atOne + 2 * (frames - atOne), total);
        changing.close();
        assertThrows(IOException.class, () -> changing.read(new byte[4]));
    }
}
