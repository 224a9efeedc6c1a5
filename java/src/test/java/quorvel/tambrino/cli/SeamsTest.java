// The seams that a player makes around the engine, read from what is heard.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.function.LongConsumer;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import quorvel.tambrino.Quality;
import quorvel.tambrino.audio.AudioSink;
import quorvel.tambrino.practice.Meter;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.Stretcher;
import quorvel.tambrino.practice.Transport;

/**
 * The seams a musician crosses in the players: the loop's wrap, a seek, a
 * pause, a trainer's next pass and a switch of quality mode, each through
 * {@link Playback} as the terminal player and the window run it, into an
 * output that keeps what a sound card with a fifth of a second of buffer
 * would have played. Each seam is read by the tool {@code seam_measure}
 * (the seam tests' own measures, {@code tests/support/seam_check.h})
 * against an ideal splice of plain stretches of the same music on either
 * side, on a tone, a chord, pink noise and music, in both quality modes at
 * tempos 0.5, 1 and 2, and transposed in the fine mode.
 */
final class SeamsTest {
    private static final int RATE = 44100;
    private static final String[] SIGNALS = {"tone", "chord", "pink", "music"};
    private static final boolean[] SOUND_STEADY = {true, true, false, false};
    private static final String TOOL = System.getenv("TAMBRINO_SEAM_MEASURE");
    private static Path dir;
    private static final short[][] SOUND = new short[SIGNALS.length][];
    private static final List<String> FAILED = new ArrayList<>();

    /**
     * THE KNOWN FAILURES: seams that do not meet their bounds yet, in this one
     * place, read and printed but not held to the bounds: {seam, signal or
     * "" for any, mode, lowest shift, highest shift, tempo or 0 for any,
     * reason}. None now: the trainer's next pass on pink noise moved down
     * and on a chord in the exact mode at tempo 2, the last two, were each
     * one reading of a seam whose windows hold what they happen to hold;
     * read at five seams they are within.
     */
    private static final String[][] KNOWN = {};

    private static String known(String seam, int signal, Settings s) {
        for (String[] k : KNOWN) {
            if (k[0].equals(seam) && (k[1].isEmpty() || k[1].equals(SIGNALS[signal]))
                    && k[2].equals(s.quality.name().toLowerCase(Locale.ROOT))
                    && s.pitchShift >= Double.parseDouble(k[3]) && s.pitchShift <= Double.parseDouble(k[4])
                    && (k[5].equals("0") || Double.parseDouble(k[5]) == s.tempo)) {
                return k[6];
            }
        }
        return null;
    }

    @BeforeAll
    static void material() throws Exception {
        assumeTrue(TOOL != null && Files.isExecutable(Path.of(TOOL)), "seam_measure is not built");
        dir = Files.createTempDirectory("tambrino-seams");
        tool("synth", dir.toString());
        for (int k = 0; k < SIGNALS.length; k++) {
            SOUND[k] = TestAudio.read16(dir.resolve(SIGNALS[k] + ".wav")).samples;
        }
    }

    @AfterAll
    static void cleanUp() throws IOException {
        if (dir != null) {
            try (var files = Files.list(dir)) {
                for (Path p : (Iterable<Path>) files::iterator) {
                    Files.delete(p);
                }
            }
            Files.delete(dir);
        }
    }

    /**
     * What a sound card would have played: written frames are heard a fifth
     * of a second later, and a seek drops what is not heard yet. The test's
     * actions run on the streaming thread at the frames they name.
     */
    private static final class Heard implements AudioSink {
        private short[] samples = new short[1 << 20];
        private long written;
        private final LongConsumer at;

        Heard(LongConsumer at) {
            this.at = at;
        }

        @Override
        public void write(byte[] bytes, int offset, int length) {
            int n = length / 2;
            int from = (int) (written * 2);
            if (from + n > samples.length) {
                samples = Arrays.copyOf(samples, Math.max(2 * samples.length, from + n));
            }
            for (int i = 0; i < n; i++) {
                samples[from + i] = (short) ((bytes[offset + 2 * i] & 0xff) | bytes[offset + 2 * i + 1] << 8);
            }
            written += n / 2;
            at.accept(written);
        }

        @Override
        public void drain() {}

        @Override
        public long heardFrames() {
            return Math.max(0, written - RATE / 5);
        }

        @Override
        public long discardUnheard() {
            written = heardFrames();
            return written;
        }

        @Override
        public void close() {}

        short[] heard() {
            return Arrays.copyOf(samples, (int) written * 2);
        }
    }

    private static Settings settings(Quality q, double tempo, double shift) {
        Settings.Builder b = new Settings.Builder();
        b.quality = q;
        b.tempo = tempo;
        b.transpose = shift == 0 ? null : shift;
        return b.build();
    }

    /** A plain stretch of the whole sound, the reference on either side of a seam. */
    private static Path plain(int signal, Settings s, String name) throws IOException {
        short[] pcm = SOUND[signal];
        Transport t = new Transport(pcm, 2, RATE, Passage.of(name, null, null, null, pcm.length / 2, RATE), false);
        try (Stretcher st = new Stretcher(s, t, null)) {
            short[] out = new short[(int) (2 * st.frameLength())];
            int got = 0;
            while (got < out.length / 2) {
                int n = st.read(out, got, Math.min(4096, out.length / 2 - got));
                if (n <= 0) {
                    break;
                }
                got += n;
            }
            Path p = dir.resolve(name + ".wav");
            TestAudio.write16(p, Arrays.copyOf(out, 2 * got), 2, RATE);
            return p;
        }
    }

    /** A stream played through a Playback; {@link #action} runs on the streaming thread after each write. */
    private static final class Run {
        final Transport transport;
        final Stretcher stretcher;
        final Playback playback;
        final Heard sink;
        LongConsumer action = written -> {};

        Run(int signal, Settings s, Passage passage) {
            short[] pcm = SOUND[signal];
            transport = new Transport(pcm, 2, RATE,
                    passage != null ? passage : Passage.of("in", null, null, null, pcm.length / 2, RATE), true);
            Meter meter = new Meter();
            stretcher = new Stretcher(s, transport, meter);
            sink = new Heard(written -> action.accept(written));
            playback = new Playback(s, transport, stretcher, sink, meter, false);
        }

        /** Plays until the music ends, or stops once {@code frames} are heard; returns what was heard. */
        short[] play(long frames) {
            LongConsumer then = action;
            action = written -> {
                then.accept(written);
                if (written >= frames + RATE / 5) {
                    playback.stop();
                }
            };
            playback.run();
            assertTrue(playback.failure() == null, String.valueOf(playback.failure()));
            stretcher.close();
            return sink.heard();
        }

        /** The output frames at which the input heard jumps by more than a tenth of a second. */
        List<Long> jumps(long frames) {
            List<Long> at = new ArrayList<>();
            long before = stretcher.inputAt(0);
            for (long f = 1; f < frames; f++) {
                long now = stretcher.inputAt(f);
                if (Math.abs(now - before) > RATE / 10) {
                    at.add(f);
                }
                before = now;
            }
            return at;
        }
    }

    /**
     * Reads seams against plain stretches a (before) and b (after), each
     * seam in what one run heard, and notes the seam when the middle figure
     * of a measure is out of bounds.
     */
    private static void check(String what, Path a, Path b, double tempo, boolean power, List<short[]> heard,
            List<String> seams) throws Exception {
        check(what, null, a, b, tempo, power, heard, seams);
    }

    private static void check(String what, String known, Path a, Path b, double tempo, boolean power,
            List<short[]> heard, List<String> seams) throws Exception {
        assertTrue(!seams.isEmpty() && seams.size() == heard.size(), what + ": seams " + seams);
        double[][] figures = new double[3][seams.size()];
        for (int k = 0; k < seams.size(); k++) {
            Path out = dir.resolve("heard.wav");
            TestAudio.write16(out, heard.get(k), 2, RATE);
            String[] f = tool("seam", out.toString(), a.toString(), b.toString(), Double.toString(tempo),
                    power ? "power" : "equal", seams.get(k)).trim().split(" ");
            for (int m = 0; m < 3; m++) {
                figures[m][k] = Double.parseDouble(f[2 * m + 1]);
            }
        }
        for (double[] m : figures) {
            Arrays.sort(m);
        }
        double level = figures[0][seams.size() / 2];
        double peak = figures[1][seams.size() / 2];
        double step = figures[2][seams.size() / 2];
        boolean pass = level <= 0.5 && peak <= 0.5 && step <= 1.1;
        System.out.printf(Locale.ROOT, "%-52s level %+6.2f dB  peak %+6.2f dB  step %5.2f%s%n", what, level, peak, step,
                known != null ? (pass ? "  (known, now within: " : "  (known: ") + known + ")" : pass ? "" : "  FAILS");
        if (!pass && known == null) {
            FAILED.add(String.format(Locale.ROOT, "%s: level %.2f dB, peak %.2f dB, step %.2f", what, level, peak, step));
        }
    }

    /** The seam at output frame {@code at}, from input frame {@code from} of stretch a to {@code to} of stretch b. */
    private static String seam(long at, long from, Path a, long to, Path b) throws IOException {
        return String.format(Locale.ROOT, "%d:%.1f:%.1f", at, from * ratio(a), to * ratio(b));
    }

    /** Output frames per input frame of a plain stretch of a 3 s sound. */
    private static double ratio(Path plain) throws IOException {
        return TestAudio.read16(plain).frames() / (3.0 * RATE);
    }

    private static String tool(String... args) throws Exception {
        String[] cmd = new String[args.length + 1];
        cmd[0] = TOOL;
        System.arraycopy(args, 0, cmd, 1, args.length);
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor() == 0, String.join(" ", cmd) + ": " + out);
        return out;
    }

    private static String name(String seam, int signal, Settings s) {
        return String.format(Locale.ROOT, "%-16s %-6s %-5s tempo %-3s shift %+3.0f", seam, SIGNALS[signal],
                s.quality.name().toLowerCase(Locale.ROOT), Settings.fmt(s.tempo), s.pitchShift);
    }

    /** Every mode, tempo and shift a player's seam is read at (the exact mode does not transpose). */
    private static List<Settings> cases() {
        List<Settings> v = new ArrayList<>();
        for (Quality q : Quality.values()) {
            for (double tempo : new double[] {0.5, 1, 2}) {
                v.add(settings(q, tempo, 0));
            }
        }
        for (double shift : new double[] {-12, -2, 5, 12}) {
            v.add(settings(Quality.FINE, 1, shift));
        }
        return v;
    }

    private static void noneFailed() {
        List<String> failed = new ArrayList<>(FAILED);
        FAILED.clear();
        assertTrue(failed.isEmpty(), String.join("\n", failed));
    }

    /**
     * Noise, music and the chord are read at five seams and the middle figures
     * count, since what a window holds there decides its reading (the chord's
     * partials beat); a tone at one.
     */
    private static int places(int signal) {
        return SIGNALS[signal].equals("tone") ? 1 : 5;
    }

    @Test
    void theLoopWrapsWithoutAClickOrABurst() throws Exception {
        // Loops of about two seconds, none a whole number of the tone's periods, nor of the chord's.
        double[][] loops = {{0.51, 2.4937}, {0.37, 2.3811}, {0.64, 2.5523}, {0.44, 2.4219}, {0.58, 2.5301}};
        for (int signal = 0; signal < SIGNALS.length; signal++) {
            for (Settings s : cases()) {
                Path ref = plain(signal, s, "plain");
                List<String> seams = new ArrayList<>();
                List<short[]> runs = new ArrayList<>();
                for (int k = 0; k < places(signal); k++) {
                    long a = Math.round(loops[k][0] * RATE);
                    long b = Math.round(loops[k][1] * RATE);
                    Run run = new Run(signal, s, null);
                    run.playback.setLoop(a, b);
                    // Played from the loop's start: the first wrap, and the start played on after it.
                    short[] heard = run.play(Math.round((b - a + 1.5 * RATE) / s.tempo));
                    List<Long> wraps = run.jumps(heard.length / 2);
                    assertTrue(wraps.size() == 1, name("loop wrap", signal, s) + ": " + wraps);
                    long x = wraps.get(0);
                    seams.add(seam(x, run.stretcher.inputAt(x - 1) + 1, ref, run.stretcher.inputAt(x), ref));
                    runs.add(heard);
                }
                check(name("loop wrap", signal, s), ref, ref, s.tempo, true, runs, seams);
            }
        }
        noneFailed();
    }

    @Test
    void aSeekAndAPauseAreHeardWithoutAClick() throws Exception {
        for (int signal = 0; signal < SIGNALS.length; signal++) {
            for (Settings s : cases()) {
                Path ref = plain(signal, s, "plain");
                // Seeks each in a run of its own: from 1.2 s to 1.9 s, 1.4 s to 0.8 s, and so on.
                List<String> seams = new ArrayList<>();
                List<short[]> runs = new ArrayList<>();
                double[][] seeks = {{1.2, 1.9}, {1.4, 0.8}, {1.0, 1.7}, {1.3, 2.0}, {1.1, 0.7}};
                for (int k = 0; k < places(signal); k++) {
                    double[] seek = seeks[k];
                    Run run = new Run(signal, s, null);
                    long when = Math.round(seek[0] * RATE / s.tempo);
                    boolean[] done = {false};
                    run.action = written -> {
                        if (!done[0] && written >= when + RATE / 5) {
                            done[0] = true;
                            run.playback.seek(Math.round(seek[1] * RATE));
                        }
                    };
                    short[] heard = run.play(when + Math.round(1.1 * RATE / s.tempo));
                    List<Long> jumps = run.jumps(heard.length / 2);
                    assertTrue(jumps.size() == 1, name("seek", signal, s) + ": " + jumps);
                    long x = jumps.get(0);
                    runs.add(heard);
                    seams.add(seam(x, run.stretcher.inputAt(x - 1) + 1, ref, run.stretcher.inputAt(x), ref));
                }
                check(name("seek", signal, s), ref, ref, s.tempo, true, runs, seams);
                // A pause and a resume write nothing in between: what is heard goes on.
                Run run = new Run(signal, s, null);
                long when = Math.round(1.5 * RATE / s.tempo);
                boolean[] paused = {false};
                run.action = written -> {
                    if (!paused[0] && written >= when) {
                        paused[0] = true;
                        run.playback.togglePause();
                        new Thread(() -> {
                            sleep(30);
                            run.playback.togglePause();
                        }).start();
                    }
                };
                short[] heard = run.play(Math.round(2.8 * RATE / s.tempo));
                check(name("pause/resume", signal, s), ref, ref, s.tempo, false, List.of(heard),
                        List.of(seam(when, Math.round(1.5 * RATE), ref, Math.round(1.5 * RATE), ref)));
            }
        }
        noneFailed();
    }

    @Test
    void theTrainersNextPassAndASwitchOfModeCrossFade() throws Exception {
        for (int signal = 0; signal < SIGNALS.length; signal++) {
            for (Settings s : cases()) {
                // Two passes of a two-second passage (0.5 s to 2.5 s, and so on), the second a quarter faster.
                double faster = Math.rint(s.tempo * 125) / 100;
                String t = Settings.fmt(s.tempo) + ":" + Settings.fmt(faster) + ":" + Settings.fmt(faster - s.tempo);
                Settings second = settings(s.quality, faster, s.pitchShift);
                Path a = plain(signal, s, "plain");
                Path b = plain(signal, second, "faster");
                double[] starts = {0.5, 0.4, 0.6, 0.45, 0.55};
                List<String> seams = new ArrayList<>();
                List<short[]> runs = new ArrayList<>();
                for (int k = 0; k < places(signal); k++) {
                    Passage p = Passage.of("in", starts[k], starts[k] + 2, Passage.parseTrainer(t), 3 * RATE, RATE);
                    Run run = new Run(signal, s, p);
                    short[] passes = run.play(Long.MAX_VALUE / 2);
                    long x = 1;
                    while (x < passes.length / 2 && run.stretcher.passAt(x) == 0) {
                        x++;
                    }
                    runs.add(passes);
                    seams.add(seam(x, Math.round((starts[k] + 2) * RATE), a, Math.round(starts[k] * RATE), b));
                }
                check(name("trainer pass", signal, s), known("trainer pass", signal, s), a, b, s.tempo, true, runs,
                        seams);
                if (s.pitchShift != 0) {
                    continue;
                }
                // Fine to exact or exact to fine, where the music is heard.
                Quality other = s.quality == Quality.FINE ? Quality.EXACT : Quality.FINE;
                Run sw = new Run(signal, s, null);
                long when = Math.round(1.5 * RATE / s.tempo);
                long[] seamAt = {-1};
                sw.action = written -> {
                    if (seamAt[0] < 0 && written >= when + RATE / 5) {
                        seamAt[0] = sw.sink.heardFrames();
                        sw.playback.setQuality(other);
                    }
                };
                short[] heard = sw.play(Math.round(2.8 * RATE / s.tempo));
                Path c = plain(signal, settings(other, s.tempo, 0), "other");
                long in = sw.stretcher.inputAt(seamAt[0]);
                check(name("to " + other.name().toLowerCase(Locale.ROOT), signal, s), a, c, s.tempo, true,
                        List.of(heard), List.of(seam(seamAt[0], in, a, in, c)));
            }
        }
        noneFailed();
    }

    @Test
    void theExactModesSwitchesAreSplicedIn() throws Exception {
        for (int signal = 0; signal < SIGNALS.length; signal++) {
            for (double tempo : new double[] {0.5, 1, 2}) {
                Settings s = settings(Quality.EXACT, tempo, 0);
                Path a = plain(signal, s, "plain");
                for (String what : new String[] {"voice removal on", "mono on", "tempo x1.25"}) {
                    Settings.Builder after = new Settings.Builder();
                    after.quality = Quality.EXACT;
                    after.tempo = what.startsWith("tempo") ? Math.rint(tempo * 125) / 100 : tempo;
                    after.voiceAmount = what.startsWith("voice") ? 1 : 0;
                    after.mono = what.startsWith("mono");
                    Path b = plain(signal, after.build(), "after");
                    List<String> seams = new ArrayList<>();
                    List<short[]> runs = new ArrayList<>();
                    double[] times = {1.2, 1.4, 1.0, 1.3, 1.1};
                    for (int k = 0; k < places(signal); k++) {
                        Run run = new Run(signal, s, null);
                        long when = Math.round(times[k] * RATE / tempo);
                        long[] seamAt = {-1};
                        run.action = written -> {
                            if (seamAt[0] < 0 && written >= when + RATE / 5) {
                                seamAt[0] = run.sink.heardFrames();
                                if (what.startsWith("voice")) {
                                    run.playback.setVoiceRemoval(true, 1);
                                } else if (what.startsWith("mono")) {
                                    run.playback.setPanning(50, true);
                                } else {
                                    run.playback.setTempo(after.tempo);
                                }
                            }
                        };
                        short[] heard = run.play(when + Math.round(1.5 * RATE / tempo));
                        runs.add(heard);
                        long in = run.stretcher.inputAt(seamAt[0]);
                        seams.add(seam(seamAt[0], in, a, in, b));
                        // Heard at once, where the seam is read: the new tempo, or the new level (where
                        // the setting changes a steady sound's) rather than the old.
                        long later = seamAt[0] + RATE / 20;
                        if (what.startsWith("tempo")) {
                            assertEquals(after.tempo, run.stretcher.tempoAt(later), 0.01, name(what, signal, s));
                        } else {
                            double now = rms(heard, later, RATE / 10);
                            double was = rms(TestAudio.read16(a).samples, Math.round(in * ratio(a)), RATE / 10);
                            double will = rms(TestAudio.read16(b).samples, Math.round(in * ratio(b)), RATE / 10);
                            if (SOUND_STEADY[signal] && Math.abs(was - will) > 1) {
                                assertTrue(Math.abs(now - will) < Math.abs(now - was),
                                        name(what, signal, s) + ": " + now + " dB heard, " + was + " before, " + will
                                                + " after");
                            }
                        }
                    }
                    check(name(what, signal, s), a, b, tempo, true, runs, seams);
                }
            }
        }
        noneFailed();
    }

    /** The level of {@code frames} stereo frames from {@code from} on, in dB. */
    private static double rms(short[] samples, long from, int frames) {
        double sum = 0;
        for (long i = 2 * from; i < 2 * (from + frames) && i < samples.length; i++) {
            sum += (double) samples[(int) i] * samples[(int) i];
        }
        return 10 * Math.log10(sum / (2.0 * frames) + 1e-9);
    }

    private static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /**
     * A loop with a gap of silence between its repeats (the window's): the
     * loop's end fades out into the gap and the music before its start fades
     * in at the gap's end, read straight from the transport (cut, a 0.5 tone
     * stepped from its crest to silence and back in one sample).
     */
    @Test
    void aLoopsGapIsEnteredAndLeftWithoutAStep() {
        short[] pcm = TestAudio.pcm16(2 * RATE, 2, TestAudio.sine(440, 0.5, RATE), TestAudio.sine(440, 0.5, RATE));
        Transport t = new Transport(pcm, 2, RATE, Passage.of("tone", null, null, null, 2 * RATE, RATE), true);
        // Ends a quarter period off the zero crossings: the tone's crest at both.
        long a = RATE / 2 + 25, b = RATE + 25 + 50;
        t.loopFrom(a);
        t.loopTo(b);
        t.setLoopGap(RATE / 10);
        short[] out = new short[2 * 3 * RATE];
        short[] block = new short[2 * 300];
        int n = 0;
        while (n < 3 * RATE - 300) {
            int k = t.read(block, 0, 300);
            System.arraycopy(block, 0, out, 2 * n, 2 * k);
            n += k;
        }
        int own = 0;
        for (int i = 2; i < 2 * a; i += 2) {
            own = Math.max(own, Math.abs(out[i] - out[i - 2]));
        }
        int worst = 0;
        int silent = 0;
        for (int i = 2; i < 2 * n; i += 2) {
            worst = Math.max(worst, Math.abs(out[i] - out[i - 2]));
            silent += out[i] == 0 ? 1 : 0;
        }
        // Two gaps passed (the repeats and the gaps follow on), each mostly silent.
        assertTrue(silent > RATE / 10, "silent frames " + silent);
        assertTrue(worst <= 1.1 * own, "largest step " + worst + " against the tone's own " + own);
    }

}
