package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.UUID;
import java.util.function.Predicate;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

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
        String script = "cd " + dir + "; s0=$(stty -g); TAMBRINO_JAR=" + Launcher.jar() + " " + Launcher.launcher()
                + " play " + music + " " + options + "; echo EXITED $?;"
                + " [ \"$(stty -g)\" = \"$s0\" ] && echo TTY-RESTORED; echo DONE; sleep 120";
        Launcher.Result r = tmux("new-session", "-d", "-s", "p", "-x", "100", "-y", "30", script);
        assertEquals(0, r.exit, r.toString());
    }

    private String screen() throws Exception {
        return tmux("capture-pane", "-p", "-t", "p").out;
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
        List<String> args = new ArrayList<>(List.of("send-keys", "-t", "p"));
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

        keys("Up", "Up");
        waitFor("tempo 1.10");
        keys("Down");
        waitFor("tempo 1.05");
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

    @Test
    void ctrlCEndsThePlayerRestoresTheTerminalAndKeepsWhatWasHeard() throws Exception {
        Path out = dir.resolve("cut.wav");
        start("--quality exact --output-file " + out);
        waitFor(x -> x.contains("playing") && position(x) > 1, "a second played");
        keys("C-c");
        String s = waitFor("DONE");
        assertTrue(s.contains("EXITED 130") && s.contains("TTY-RESTORED"), s);
        TestAudio.Wav w = TestAudio.read16(out);
        assertTrue(w.frames() > RATE / 2 && w.frames() < 10 * RATE, w.frames() + " frames");
        assertTrue(Launcher.listing(dir).stream().noneMatch(n -> n.endsWith(".part")));
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
    void audioIsNotPouredOntoATerminal() throws Exception {
        String script = "TAMBRINO_JAR=" + Launcher.jar() + " " + Launcher.launcher() + " stretch " + music
                + " -; echo EXITED $?; echo DONE; sleep 120";
        assertEquals(0, tmux("new-session", "-d", "-s", "p", "-x", "100", "-y", "30", script).exit);
        String s = waitFor("DONE");
        assertTrue(s.contains("standard output is a terminal") && s.contains("EXITED 2"), s);
    }

    @Test
    void theTrainerRaisesTheTempoAtEachPassIntoTheFile() throws Exception {
        Path out = dir.resolve("trained.wav");
        // Not a terminal: plays once, the trainer's passes one after another, then ends.
        Launcher.Result r = Launcher.tambrino("play", music.toString(), "--output-file", out.toString(), "--start",
                "2", "--end", "0:03", "--trainer", "0.5:1:0.25", "--quality", "exact");
        assertEquals(0, r.exit, r.toString());
        assertTrue(r.out.contains("trainer: 3 passes, tempo 0.5 to 1 in steps of 0.25"), r.toString());
        TestAudio.Wav w = TestAudio.read16(out);
        // Passes of 1 s at 0.5, 0.75 and 1: 2 + 1.33 + 1 s, each change at the next block.
        double seconds = (double) w.frames() / RATE;
        assertEquals(2 + 4 / 3.0 + 1, seconds, 0.15);
        assertEquals(440, TestAudio.frequency(w.channel(0), RATE / 5, w.frames() - RATE / 5, RATE), 2);
    }
}
