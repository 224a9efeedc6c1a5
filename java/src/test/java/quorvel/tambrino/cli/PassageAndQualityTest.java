// Tests: --start, --end, --trainer and the two quality modes on stretch.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quorvel.tambrino.NativeInterface;
import quorvel.tambrino.practice.Stretcher;

/**
 * --start, --end and --trainer on stretch, and the two quality modes' output
 * lengths and summaries, on a file of three one-second tones (440, 660 and
 * 880 Hz) whose pitch tells which part of it was used.
 */
class PassageAndQualityTest {
    static final int RATE = 44100;

    @TempDir
    Path dir;

    Path tones;

    @BeforeEach
    void threeTones() throws Exception {
        tones = dir.resolve("tones.wav");
        TestAudio.write16(tones, TestAudio.pcm16(3 * RATE, 1,
                i -> 0.5 * Math.sin(2 * Math.PI * (i < RATE ? 440 : i < 2 * RATE ? 660 : 880) * i / RATE)), 1, RATE);
    }

    private Launcher.Result run(String out, String... options) throws Exception {
        List<String> args = new ArrayList<>(List.of("stretch", tones.toString(), dir.resolve(out).toString()));
        args.addAll(List.of(options));
        return Launcher.tambrino(args.toArray(new String[0]));
    }

    private TestAudio.Wav stretch(String out, String... options) throws Exception {
        Launcher.Result r = run(out, options);
        assertEquals(0, r.exit, r.toString());
        return TestAudio.read16(dir.resolve(out));
    }

    private static double pitch(TestAudio.Wav w, double fromSeconds, double toSeconds) {
        return TestAudio.frequency(w.channel(0), (int) (fromSeconds * RATE), (int) (toSeconds * RATE), RATE);
    }

    @Test
    void startAndEndCutThePassageInSecondsOrMinutes() throws Exception {
        TestAudio.Wav middle = stretch("middle.wav", "--start", "1", "--end", "0:02", "--quality", "exact");
        assertEquals(RATE, middle.frames());
        assertEquals(660, pitch(middle, 0.2, 0.8), 2);
        // From 1.5 s to the end, at half speed: 3 s, 660 Hz first and 880 Hz after.
        TestAudio.Wav tail = stretch("tail.wav", "--start", "0:01.5", "--tempo", "0.5", "--quality", "exact",
                "--oversampling", "8");
        assertEquals(Math.round(1.5 * RATE * NativeInterface.synthesisHop(2048, 8, 0.5) / 256.0), tail.frames());
        assertEquals(660, pitch(tail, 0.1, 0.8), 2);
        assertEquals(880, pitch(tail, 1.3, 2.8), 2);
        // An end beyond the input is its end.
        assertEquals(2 * RATE, stretch("late.wav", "--start", "1", "--end", "9", "--quality", "exact").frames());

        String[][] refused = {{"--start", "3"}, {"--start", "1:75"}, {"--start", "2", "--end", "1"},
            {"--end", "-1"}, {"--trainer", "1:0.5:0.1"}, {"--trainer", "0.5:1"}, {"--trainer", "0.5:1:0.1",
                "--tempo", "0.7"}};
        String[] says = {"--start 3 is at or after the end", "is not a time", "--end 1 is not after --start 2",
            "is not a time", "must rise", "FROM:TO:STEP", "cannot be used together"};
        for (int i = 0; i < refused.length; i++) {
            Launcher.Result r = Launcher.inProcess(concat(new String[] {"stretch", tones.toString(),
                dir.resolve("x.wav").toString()}, refused[i]));
            assertEquals(2, r.exit, r.toString());
            assertTrue(r.err.contains(says[i]), r.toString());
        }
    }

    @Test
    void theTrainerWritesEveryPassAsIfStretchedAlone() throws Exception {
        for (String quality : new String[] {"exact", "fine"}) {
            Launcher.Result r = run("trained.wav", "--start", "1", "--end", "2", "--trainer", "0.5:1:0.25",
                    "--quality", quality);
            assertEquals(0, r.exit, r.toString());
            // The input is the passage, once; the tempos are the passes'.
            assertTrue(r.out.contains("tones.wav 1.00 s -> ") && r.out.contains(" 4.33 s, tempos 0.5 to 1 (")
                    && r.out.contains("trainer: 3 passes, tempo 0.5 to 1 in steps of 0.25"), r.toString());
            short[] trained = TestAudio.read16(dir.resolve("trained.wav")).samples;
            int at = 0;
            for (String tempo : new String[] {"0.5", "0.75", "1"}) {
                short[] pass = stretch("pass.wav", "--start", "1", "--end", "2", "--tempo", tempo, "--quality",
                        quality).samples;
                // The fine mode's rounding of output frames runs on over the passes: a step at most. Each
                // pass after the first fades in under the last one's tail, from where it best continues it
                // (its start moved on by up to twice the splice's reach, and as much of its own tail at its
                // end); a pass that another follows ends as the music goes on past the passage (the engine
                // hears what follows its end a fifth of a second ahead at these tempos).
                int fade = (int) Math.round(Stretcher.SPLICE_FADE_SECONDS * RATE);
                int reach = at == 0 ? 0 : 2 * (int) Math.round(Stretcher.SPLICE_REACH_SECONDS * RATE);
                int ahead = tempo.equals("1") ? 0 : (int) Math.round(0.2 * RATE / Double.parseDouble(tempo));
                int worst = Integer.MAX_VALUE;
                for (int skip = 0; skip <= reach; skip++) {
                    // The input is mono: a sample a frame.
                    int w = 0;
                    for (int i = at == 0 ? 0 : fade; i + skip < pass.length - reach - ahead; i++) {
                        w = Math.max(w, Math.abs(trained[at + i] - pass[i + skip]));
                    }
                    worst = Math.min(worst, w);
                }
                assertTrue(worst <= (quality.equals("exact") ? 0 : 1), quality + " pass at " + tempo + ": " + worst);
                at += pass.length;
            }
            assertEquals(at, trained.length, quality);
            TestAudio.Wav w = TestAudio.read16(dir.resolve("trained.wav"));
            assertEquals(660, pitch(w, 0.2, w.frames() / (double) RATE - 0.2), 2);
        }
    }

    @Test
    void fineModeIsTheDefaultAndLastsTheInputOverTheTempo() throws Exception {
        for (double tempo : new double[] {0.5, 0.75, 1.3}) {
            Launcher.Result r = run("fine.wav", "--tempo", Double.toString(tempo));
            assertEquals(0, r.exit, r.toString());
            int frame = NativeInterface.fineFrameSize(RATE);
            assertTrue(r.out.contains("fine, " + frame + "/" + NativeInterface.fineOverSampling(frame, tempo)
                    + " chosen for 44100 Hz"), r.toString());
            TestAudio.Wav w = TestAudio.read16(dir.resolve("fine.wav"));
            assertEquals(Math.round(3 * RATE / tempo), w.frames(), "tempo " + tempo);
        }
        // Given sizes are used as given, and exact mode says so too.
        Launcher.Result r = run("given.wav", "--frame-size", "2048", "--oversampling", "8");
        assertTrue(r.out.contains("(fine, 2048/8)"), r.toString());
        r = run("exact.wav", "--quality", "exact", "--tempo", "0.75");
        assertTrue(r.out.contains("tempo 0.75 (played 0.7496) (exact, 2048/4)"), r.toString());
    }

    private static String[] concat(String[] a, String[] b) {
        String[] r = java.util.Arrays.copyOf(a, a.length + b.length);
        System.arraycopy(b, 0, r, a.length, b.length);
        return r;
    }
}
