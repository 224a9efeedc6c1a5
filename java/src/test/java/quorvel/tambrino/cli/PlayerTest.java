// The interactive player in a tmux pane: keys, screen, what is heard, and how it ends.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.UUID;
import java.util.function.Predicate;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quorvel.tambrino.practice.Terminal;
import quorvel.tambrino.practice.Timeline;

/**
 * The interactive player for real: run by the launcher inside a tmux pane (a
 * terminal of its own), steered by keys that tmux types, read back from the
 * screen that tmux captures, and checked in the file it writes. The pane's
 * shell reports the exit code and whether the terminal's settings came back.
 */
class PlayerTest {
    static final int RATE = 44100;

    @TempDir
    Path dir;

    String socket;
    /** The tmux session that start() opens and the other helpers address. */
    String pane = "p";
    Path music;

    @BeforeEach
    void setUp() throws Exception {
        Launcher.Result r = Launcher.run(List.of("sh", "-c", "command -v tmux"), null);
        Assumptions.assumeTrue(r.exit == 0, "tmux is not installed (scripts/install-deps.sh installs it)");
        socket = "tambrino-test-" + UUID.randomUUID();
        music = dir.resolve("music.wav");
        // A tone on the left only, which voice removal and the tempo keys leave at its pitch.
        TestAudio.write16(music, TestAudio.pcm16(20 * RATE, 2, sine(440, 0.5, RATE), i -> 0), 2, RATE);
    }

    @AfterEach
    void tearDown() throws Exception {
        if (socket != null) {
            // The server's socket file outlives kill-server.
            String path = tmux("display-message", "-p", "#{socket_path}").out.trim();
            tmux("kill-server");
            if (path.endsWith(socket)) {
                Files.deleteIfExists(Path.of(path));
            }
        }
    }

    private Launcher.Result tmux(String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of("tmux", "-L", socket));
        cmd.addAll(List.of(args));
        return Launcher.run(cmd, null);
    }

    /** Starts the player in a new 100 × 30 pane; the shell reports "EXITED n", "TTY-RESTORED" and "DONE" after it. */
    private void start(String options) throws Exception {
        start(music, options, 100, 30);
    }

    private void start(Path input, String options, int columns, int rows) throws Exception {
        // The player's process number goes to the file "pid" (exec keeps it), for signals.
        String script = "cd " + dir + "; s0=$(stty -g); TAMBRINO_JAR=" + Launcher.jar() + " sh -c 'echo $$ > pid;"
                + " exec \"$0\" \"$@\"' " + Launcher.launcher() + " play " + input + " " + options + "; echo EXITED $?;"
                + " [ \"$(stty -g)\" = \"$s0\" ] && echo TTY-RESTORED; echo DONE; sleep 120";
        Launcher.Result r = tmux("new-session", "-d", "-s", pane, "-x", Integer.toString(columns), "-y",
                Integer.toString(rows), script);
        assertEquals(0, r.exit, r.toString());
    }

    private String screen() throws Exception {
        return tmux("capture-pane", "-p", "-t", pane).out;
    }

    private String waitFor(Predicate<String> condition, String what) throws Exception {
        long deadline = System.nanoTime() + 30_000_000_000L;
        String s = screen();
        while (!condition.test(s)) {
            if (System.nanoTime() > deadline) {
                throw new AssertionError("screen never showed " + what + ":\n" + s);
            }
            Thread.sleep(50);
            s = screen();
        }
        return s;
    }

    private String waitFor(String text) throws Exception {
        return waitFor(s -> s.contains(text), "'" + text + "'");
    }

    private void keys(String... keys) throws Exception {
        List<String> args = new ArrayList<>(List.of("send-keys", "-t", pane));
        args.addAll(List.of(keys));
        assertEquals(0, tmux(args.toArray(new String[0])).exit);
    }

    private static final Pattern POSITION = Pattern.compile("(playing|paused) +(\\d+):(\\d\\d\\.\\d) /");

    private static double position(String screen) {
        Matcher m = POSITION.matcher(screen);
        assertTrue(m.find(), screen);
        return Integer.parseInt(m.group(2)) * 60 + Double.parseDouble(m.group(3));
    }

    @Test
    void keysSteerThePlayerTheScreenFollowsAndTheFileHoldsWhatWasHeard() throws Exception {
        Path out = dir.resolve("heard.wav");
        start("--quality exact --output-file " + out);
        String s = waitFor("tempo 1.00");
        assertTrue(s.contains("music.wav") && s.contains("16-bit PCM, stereo, 44100 Hz"), s);
        assertTrue(s.contains("level") && s.contains("dBFS"), s);
        assertTrue(s.contains("C1          C2          C3          C4          C5          C6"), s);
        for (String line : s.split("\n")) {
            assertTrue(line.stripTrailing().length() <= 80 || line.contains("music.wav"), "wider than 80: " + line);
        }
        assertTrue(s.contains("loop off") && s.contains("voice removal off") && s.contains("mono off")
                && s.contains("quality exact"), s);
        // The spectrum row: 72 cells between bars, with the tone's note lit.
        Matcher row = Pattern.compile("\\|(.{72})\\|").matcher(waitFor(
                x -> x.matches("(?s).*\\|[^|\n]*[#%@][^|\n]*\\|.*"), "a lit note"));
        assertTrue(row.find());
        String levels = " .:-=+*#%@";
        int lit = 0;
        for (int i = 0; i < 72; i++) {
            if (levels.indexOf(row.group(1).charAt(i)) > levels.indexOf(row.group(1).charAt(lit))) {
                lit = i;
            }
        }
        assertTrue(Math.abs(lit - 45) <= 1, "A4 is note 45: " + row.group(1));

        // As the exact mode plays them: 512 / 465 and 512 / 488.
        keys("Up", "Up");
        waitFor("tempo 1.101");
        keys("Down");
        waitFor("tempo 1.049");
        keys("v");
        waitFor("voice removal on");
        keys("m");
        waitFor("mono on");
        keys("m");
        waitFor("mono off");
        keys("f");
        waitFor("quality fine");
        keys("f");
        waitFor("quality exact");

        // Pause: the position stands still; play: it moves on.
        keys("Space");
        s = waitFor("paused");
        double at = position(s);
        Thread.sleep(600);
        assertEquals(at, position(screen()), 0.01);
        keys("Space");
        waitFor(x -> x.contains("playing") && position(x) > at + 0.2, "the position moving on");

        // Seek 5 s on.
        double before = position(screen());
        keys("Right");
        waitFor(x -> position(x) > before + 4, "a seek of 5 s");

        // A loop between two presses, then cleared.
        keys("[");
        Thread.sleep(700);
        keys("]");
        s = waitFor(x -> x.matches("(?s).*loop \\d+:\\d\\d\\.\\d - \\d+:\\d\\d\\.\\d.*"), "a loop");
        Matcher loop = Pattern.compile("loop (\\d+):(\\d\\d\\.\\d) - (\\d+):(\\d\\d\\.\\d)").matcher(s);
        assertTrue(loop.find());
        double a = Integer.parseInt(loop.group(1)) * 60 + Double.parseDouble(loop.group(2));
        double b = Integer.parseInt(loop.group(3)) * 60 + Double.parseDouble(loop.group(4));
        assertTrue(b - a > 0.3 && b - a < 2, s);
        // Inside the loop the position stays between its ends.
        Thread.sleep(1500);
        double inLoop = position(screen());
        assertTrue(inLoop >= a - 0.2 && inLoop <= b + 0.2, inLoop + " outside " + a + " - " + b);
        keys("-l", "\\");
        waitFor("loop off");

        keys("q");
        s = waitFor("DONE");
        assertTrue(s.contains("EXITED 0") && s.contains("TTY-RESTORED") && s.contains("stopped " + music), s);

        TestAudio.Wav w = TestAudio.read16(out);
        // The summary tells what was heard: the file's duration (not the time the pause added) and the tempos.
        // 1.101 may be shown and left again before a block plays it (a block lasts longer than a redraw),
        // and the fine mode plays 1.05 itself; the highest tempo heard is one of those or 1.0492, which is
        // the last, and the summary names a tempo once when it is both.
        Matcher played = Pattern.compile(
                "played .* at tempos 1 to (1\\.\\d+)(, last (1\\.\\d+))?, peak [^,]*,\\s*(\\d+\\.\\d\\d) s")
                .matcher(s.replace("\n", ""));
        assertTrue(played.find(), s);
        assertEquals("1.0492", played.group(3) != null ? played.group(3) : played.group(1), s);
        assertTrue(List.of("1.0492", "1.05", "1.1011").contains(played.group(1)), s);
        assertEquals(w.frames() / (double) RATE, Double.parseDouble(played.group(4)), 0.006);
        assertEquals(2, w.channels);
        assertEquals(RATE, w.rate);
        assertTrue(w.frames() > 2 * RATE && w.frames() < 20 * RATE, "heard " + w.frames() + " frames");
        // The tone at its pitch, whatever the keys did: in nearly every tenth of a second (the seeks',
        // loops' and switches' joins aside) 440 Hz stands well above its neighbouring notes.
        double[] left = w.channel(0);
        int windows = 0;
        int tonal = 0;
        for (int i = 0; i + RATE / 10 <= left.length; i += RATE / 10) {
            double a440 = TestAudio.amplitude(left, i, i + RATE / 10, 440, RATE);
            windows++;
            if (a440 > 0.1 && a440 > 5 * TestAudio.amplitude(left, i, i + RATE / 10, 392, RATE)
                    && a440 > 5 * TestAudio.amplitude(left, i, i + RATE / 10, 494, RATE)) {
                tonal++;
            }
        }
        assertTrue(tonal >= 0.8 * windows, tonal + " of " + windows + " tenths hold the tone");
    }

    /**
     * Ctrl-C is a key like q: the closing lines follow on the restored
     * screen, each on a line of its own. SIGTERM and SIGHUP end the player as
     * they end any run, after the terminal is restored, so that their
     * message is seen; the recording holds what was heard either way.
     */
    @Test
    void ctrlCQuitsLikeQAndSignalsEndThePlayerWithTheTerminalRestored() throws Exception {
        for (String how : new String[] {"C-c", "TERM", "HUP"}) {
            Path out = dir.resolve("cut-" + how + ".wav");
            start("--quality exact --output-file " + out);
            waitFor(x -> x.contains("playing") && position(x) > 1, "a second played");
            if (how.equals("C-c")) {
                keys("C-c");
            } else {
                String pid = Files.readString(dir.resolve("pid")).trim();
                assertEquals(0, Launcher.run(List.of("kill", "-" + how, pid), null).exit);
            }
            waitFor("DONE");
            // Lines joined where the pane wrapped them.
            String s = tmux("capture-pane", "-p", "-J", "-t", pane).out;
            if (how.equals("C-c")) {
                String song = Pattern.quote(music.toString());
                assertTrue(Pattern.compile("(?m)^stopped " + song + " at 0:0\\d\\.\\d$").matcher(s).find()
                        && Pattern.compile("(?m)^played " + song + " at tempo 1, .* -> " + Pattern.quote(out.toString())
                                + "$").matcher(s).find() && s.contains("\nEXITED 0\n"), s);
            } else {
                assertTrue(s.contains("tambrino: " + (how.equals("TERM") ? "terminated" : "hung up") + " (SIG" + how
                        + "): " + out + " holds what was heard until then\nEXITED 1\n"), s);
            }
            assertTrue(s.contains("TTY-RESTORED"), s);
            TestAudio.Wav w = TestAudio.read16(out);
            assertTrue(w.frames() > RATE / 2 && w.frames() < 10 * RATE, w.frames() + " frames");
            assertTrue(Launcher.listing(dir).stream().noneMatch(n -> n.endsWith(".part")));
            tmux("kill-session", "-t", pane);
        }
    }

    @Test
    void theMeterReadsSilenceBelowOneOutputStep() {
        assertEquals("-inf dBFS", Terminal.dbfs(0));
        assertEquals("-inf dBFS", Terminal.dbfs(1e-39f));
        assertEquals("-inf dBFS", Terminal.dbfs(Float.NaN));
        assertEquals("-6.0 dBFS", Terminal.dbfs(0.5f));
        assertEquals("-90.3 dBFS", Terminal.dbfs(1.0f / 32767));
    }

    @Test
    void theTimelineMapsWhatIsHeardBackToTheInput() {
        Timeline t = new Timeline(100, 99999);
        // Half speed from frame 1000, then a loop back to 1000 at output frame 2000, at tempo 1 in pass 2.
        t.add(0, 1000, 1000, 2.0, 0);
        t.add(2000, 1000, 500, 1.0, 1);
        assertEquals(1250, t.inputAt(500));
        assertEquals(1100, t.inputAt(2100));
        assertEquals(1, t.passAt(2100));
        t.heard(1200);
        // A seek heard from output frame 1500: what was read for after it is forgotten, the new place is
        // heard at once, then the primed engine's pieces (the first from silence before the passage).
        t.cut(1500);
        t.add(1500, 20000, 0, 1.0, 0);
        assertEquals(20000, t.inputAt(1600));
        assertEquals(0, t.passAt(2100));
        t.add(1400, 50, 50, 1.0, 0);
        assertEquals(100, t.inputAt(1420));
        t.add(1450, 19950, 600, 1.0, 0);
        assertEquals(20100, t.inputAt(1600));
        t.heard(Long.MAX_VALUE);
        // Heard: the half speed, and the new place at tempo 1 (the forgotten loop and the marker not counted).
        assertArrayEquals(new double[] {0.5, 1.0, 1.0}, t.tempos());
    }

    @Test
    void audioIsNotPouredOntoATerminal() throws Exception {
        String script = "TAMBRINO_JAR=" + Launcher.jar() + " " + Launcher.launcher() + " stretch " + music
                + " -; echo EXITED $?; echo DONE; sleep 120";
        assertEquals(0, tmux("new-session", "-d", "-s", "p", "-x", "100", "-y", "30", script).exit);
        String s = waitFor("DONE");
        assertTrue(s.contains("standard output is a terminal") && s.contains("EXITED 2"), s);
    }

    @Test
    void theTrainerPlaysEachPassWholeAtItsTempoAndStopsAfterTheLast() throws Exception {
        Path stretched = dir.resolve("stretched.wav");
        String trainer = " --start 2 --end 0:03 --trainer 0.5:1:0.25 --quality exact";
        Launcher.Result r = Launcher.tambrino(("stretch " + music + " " + stretched + trainer).split(" "));
        assertEquals(0, r.exit, r.toString());
        // Without a terminal on standard input: played once, with the meter on standard error.
        Path once = dir.resolve("once.wav");
        start(music, "--output-file " + once + trainer + " < /dev/null", 100, 30);
        waitFor(x -> x.matches("(?s).*\\[#+\\.*\\] +-?\\d+\\.\\d .*"), "the meter");
        String s = waitFor("DONE");
        assertTrue(s.contains("EXITED 0") && s.contains("at tempos 0.5 to 1, peak") && s.contains("4.33 s")
                && s.contains("trainer: 3 passes, tempo 0.5 to 1 in steps of 0.25"), s);
        pane = "q";
        // The interactive player hears the same passes, each tempo from the passage's start, and then stops.
        Path interactive = dir.resolve("interactive.wav");
        start(music, "--output-file " + interactive + trainer, 100, 30);
        s = waitFor("DONE");
        assertTrue(s.contains("EXITED 0") && !s.contains("stopped"), s);
        byte[] expected = Files.readAllBytes(stretched);
        assertEquals(2 + 4 / 3.0 + 1, TestAudio.read16(stretched).frames() / (double) RATE, 0.001);
        assertArrayEquals(expected, Files.readAllBytes(once));
        assertArrayEquals(expected, Files.readAllBytes(interactive));
        TestAudio.Wav w = TestAudio.read16(interactive);
        assertEquals(440, TestAudio.frequency(w.channel(0), RATE / 5, w.frames() - RATE / 5, RATE), 2);
    }

    @Test
    void aSeekIsHeardAndShownAtOnceAndNeitherItNorAModeSwitchClicks() throws Exception {
        // The pitch tells the position: 200 Hz and 100 Hz more every second.
        Path sweep = dir.resolve("sweep.wav");
        TestAudio.write16(sweep, TestAudio.pcm16(20 * RATE, 1,
                i -> 0.5 * Math.sin(2 * Math.PI * (200 + 50.0 * i / RATE) * i / RATE)), 1, RATE);
        Path out = dir.resolve("seek.wav");
        start(sweep, "--output-file " + out, 100, 30);
        double before = position(waitFor(x -> x.contains("playing") && position(x) >= 2, "two seconds played"));
        long t0 = System.nanoTime();
        keys("Right");
        waitFor(x -> position(x) > before + 4, "the seek");
        double shownMillis = (System.nanoTime() - t0) / 1e6;
        Thread.sleep(500);
        keys("f");
        waitFor("quality exact");
        Thread.sleep(500);
        keys("q");
        waitFor("DONE");
        double[] x = TestAudio.read16(out).channel(0);
        // Position by hundredths of a second: it moves on steadily but for the one jump of the seek.
        int win = RATE / 100;
        int jump = -1;
        // The windows either side of one left out: the 10 ms fade may fall
        // across two of them, each then reading a pitch in between.
        for (int i = win; i + 3 * win < x.length && jump < 0; i += win) {
            if (TestAudio.frequency(x, i + win, i + 2 * win, RATE) > TestAudio.frequency(x, i - win, i, RATE) + 400) {
                jump = i + win / 2;
            }
        }
        assertTrue(jump > 0, "no seek in what was heard");
        for (int i = win; i + win < x.length; i += win) {
            double step = (TestAudio.frequency(x, i, i + win, RATE) - TestAudio.frequency(x, i - win, i, RATE)) / 100;
            if (Math.abs(i - jump) > 3 * win) {
                assertEquals(0.01, step, 0.03, "the position jumps at " + (double) i / RATE + " s of the output");
            }
        }
        double from = (TestAudio.frequency(x, jump - 3 * win, jump - win, RATE) - 200) / 100;
        double to = (TestAudio.frequency(x, jump + win, jump + 3 * win, RATE) - 200) / 100;
        System.out.printf(Locale.ROOT, "seek: the screen moved %.0f ms after the key; the sound jumped at %.3f s,"
                + " %.0f ms of music after the position shown before the key (%.1f s)%n", shownMillis, from,
                (from - before) * 1000, before);
        assertEquals(5, to - from, 0.1);
        // Shown to a tenth, up to a redraw old: the sound follows the key, not the output's lead on it.
        assertTrue(from - before < 0.25, "heard " + from + " s after a key at " + before + " s");
        // Faded across, not cut: no step between samples beyond the sweep's own at its highest pitch heard.
        double highest = 0.5 * 32767 * 2 * Math.PI * (200 + 100 * (to + 2)) / RATE;
        for (int i = 1; i < x.length; i++) {
            assertTrue(Math.abs(x[i] - x[i - 1]) < 1.5 * highest, "a click at " + (double) i / RATE + " s");
        }
    }

    @Test
    void theScreenFitsASmallTerminalAndShowsWhatIsPlayed() throws Exception {
        // A fine-mode tempo that the exact mode cannot play, and a gain that clips.
        start(music, "--tempo 0.1 --preamp 12 --output-file " + dir.resolve("small.wav"), 60, 16);
        String s = waitFor(x -> x.contains("tempo 0.10") && x.contains("CLIP"), "tempo 0.10 and the clip indicator");
        String[] lines = s.split("\n", -1);
        assertTrue(lines[0].startsWith(" tambrino play  " + dir) && lines[1].contains("fine, 4096/8"), s);
        for (String line : lines) {
            assertTrue(line.length() <= 60, "wider than the terminal: " + line);
        }
        assertTrue(s.contains("  C1    C2    C3    C4    C5    C6") && s.contains("f fine/exact"), s);
        keys("f");
        s = waitFor("tempo 0.125");
        assertTrue(s.split("\n")[1].contains("exact, 4096/8"), s);
        keys("[");
        waitFor(x -> x.matches("(?s).*loop from \\d+:\\d\\d\\.\\d, \\] sets its end.*"), "the loop's start");
        keys("q");
        waitFor("DONE");
    }
}
