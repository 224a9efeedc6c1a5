// Bad input of every kind: the message, the exit code, and nothing left behind.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Every kind of bad input: a message that says what is wrong and what is
 * allowed, the documented exit code, and no output file left behind.
 */
class BadInputTest {
    static final int RATE = 44100;

    @TempDir
    Path dir;

    Path good;
    List<String> before;

    @BeforeEach
    void goodInput() throws Exception {
        good = dir.resolve("good.wav");
        TestAudio.write16(good, TestAudio.pcm16(RATE / 4, 2, sine(440, 0.5, RATE), sine(440, 0.5, RATE)), 2, RATE);
    }

    /**
     * Runs the tool in this JVM (none of these cases reaches the engine) and
     * checks the exit code, the message, and that the folder holds only what it held.
     */
    private void refused(int exit, String[] messageParts, String... args) throws Exception {
        check(false, exit, messageParts, args);
    }

    /** The same through the launcher, in a process of its own. */
    private void refusedByLauncher(int exit, String[] messageParts, String... args) throws Exception {
        check(true, exit, messageParts, args);
    }

    private void check(boolean launcher, int exit, String[] messageParts, String... args) throws Exception {
        before = Launcher.listing(dir);
        Launcher.Result r = launcher ? Launcher.tambrino(args) : Launcher.inProcess(args);
        assertEquals(exit, r.exit, r.toString());
        for (String part : messageParts) {
            assertTrue(r.err.contains(part), "message lacks '" + part + "': " + r);
        }
        assertTrue(r.err.startsWith("tambrino: "), r.toString());
        assertEquals("", r.out, r.toString());
        assertEquals(before, Launcher.listing(dir), "files left behind");
    }

    private String[] stretch(String... options) {
        List<String> a = new ArrayList<>(List.of("stretch", good.toString(), dir.resolve("out.wav").toString()));
        a.addAll(Arrays.asList(options));
        return a.toArray(new String[0]);
    }

    private static String[] msg(String... parts) {
        return parts;
    }

    @Test
    void unusableInputFiles() throws Exception {
        String out = dir.resolve("out.wav").toString();
        refusedByLauncher(1, msg("missing.wav", "no such file"), "stretch", dir.resolve("missing.wav").toString(), out);
        Files.createDirectory(dir.resolve("folder.wav"));
        refused(1, msg("is a folder"), "stretch", dir.resolve("folder.wav").toString(), out);
        Files.writeString(dir.resolve("text.wav"), "these are not the samples you are looking for\n");
        refused(1, msg("not a WAV file", "supported: 8-, 16-, 24- and 32-bit PCM", "with ffmpeg installed"), "stretch",
                dir.resolve("text.wav").toString(), out);
        TestAudio.writeRaw(dir.resolve("half.wav"), TestAudio.FLOAT, 1, RATE, 16, new byte[4000]);
        refused(1, msg("16-bit float", "not supported", "supported: 8-, 16-, 24- and 32-bit PCM or 32- and 64-bit"
                + " float"), "stretch", dir.resolve("half.wav").toString(), out);
        TestAudio.writeRaw(dir.resolve("wide.wav"), TestAudio.PCM, 1, 8000, 40, new byte[4000]);
        refused(1, msg("40-bit PCM", "not supported", "supported:"), "stretch", dir.resolve("wide.wav").toString(),
                out);
        TestAudio.writeRaw(dir.resolve("none.wav"), TestAudio.PCM, 0, RATE, 16, new byte[12000]);
        refused(1, msg("damaged", "0 channels"), "stretch", dir.resolve("none.wav").toString(), out);
        TestAudio.writeRaw(dir.resolve("slow.wav"), TestAudio.PCM, 1, 1000, 16, new byte[2000]);
        refused(1, msg("1000", "from 2000 to 384000 Hz"), "stretch", dir.resolve("slow.wav").toString(), out);
        TestAudio.writeRaw(dir.resolve("empty.wav"), TestAudio.PCM, 2, RATE, 16, new byte[0]);
        refused(1, msg("holds no audio"), "stretch", dir.resolve("empty.wav").toString(), out);
    }

    @Test
    void unusableOutputs() throws Exception {
        refusedByLauncher(1, msg("nowhere", "does not exist"), "stretch", good.toString(),
                dir.resolve("nowhere/out.wav").toString());
        refused(2, msg("is the input file"), "stretch", good.toString(), good.toString());
        Files.createDirectory(dir.resolve("sub"));
        refused(1, msg("is a folder"), "stretch", good.toString(), dir.resolve("sub").toString());
        refused(1, msg("does not exist"), stretch("--spectrum-png", dir.resolve("none/p.png").toString()));
        refused(2, msg("--spectrum-png needs the spectrum analyser"),
                stretch("--no-spectrum", "--spectrum-png", dir.resolve("p.png").toString()));
        refused(2, msg("--png-width 10", "between 64 and 16384"),
                stretch("--spectrum-png", dir.resolve("p.png").toString(), "--png-width", "10"));

        // Names that promise another format get none of its data.
        for (String name : new String[] {"out.mp3", "out.FLAC"}) {
            refused(2, msg(name + ": OUT.wav is written as WAV only", "end the name with .wav or .wave"), "stretch",
                    good.toString(), dir.resolve(name).toString());
        }
        refused(2, msg("p.jpg: --spectrum-png is written as PNG only"),
                stretch("--spectrum-png", dir.resolve("p.jpg").toString()));
        refused(2, msg("rec.ogg: --output-file is written as WAV only"), "play", good.toString(), "--output-file",
                dir.resolve("rec.ogg").toString());
        refused(2, msg("the two outputs collide", "--spectrum-png " + dir.resolve("out.wav")),
                stretch("--spectrum-png", dir.resolve("out.wav").toString()));
    }

    @Test
    void optionsOutsideTheEngineRange() throws Exception {
        refusedByLauncher(2, msg("--tempo 0.2", "between 0.25 and 10"), stretch("--tempo", "0.2", "--quality",
                "exact"));
        refused(2, msg("--tempo 11", "between 0.25 and 10"), stretch("--tempo", "11", "--quality", "exact"));
        refused(2, msg("--tempo", "between 0.125 and 10"), stretch("--tempo", "0", "--oversampling", "8",
                "--quality", "exact"));
        refused(2, msg("--tempo 9", "between 0.1 and 8 in fine mode", "--oversampling 16 plays up to 10"),
                stretch("--tempo", "9"));
        // The range is that of the oversampling and frame size the tool plays with: 8 at any rate,
        // the frame size (chosen for the rate, 512 at 8 kHz) unnamed where it sets no limit.
        refused(2, msg("--tempo -1", "with oversampling 8 the tempo must lie between 0.1 and 8 in fine mode"),
                stretch("--tempo", "-1"));
        Path low = dir.resolve("low.wav");
        TestAudio.write16(low, TestAudio.pcm16(2000, 1, sine(440, 0.5, 8000)), 1, 8000);
        Launcher.Result r = Launcher.inProcess("stretch", low.toString(), dir.resolve("out.wav").toString(),
                "--tempo", "-1");
        assertTrue(r.exit == 2 && r.err.contains("between 0.1 and 8") && !r.err.contains("frame size"), r.toString());
        Files.delete(low);
        refused(2, msg("--tempo 0.1", "with frame size 16 and oversampling 4", "between 0.25 and 4"),
                stretch("--tempo", "0.1", "--frame-size", "16"));
        refused(2, msg("'best'", "fine or exact"), stretch("--quality", "best"));
        refused(2, msg("--tempo", "fast"), stretch("--tempo", "fast"));
        refused(2, msg("--frame-size 1000", "power of two from 8 to 4096"), stretch("--frame-size", "1000"));
        refused(2, msg("--frame-size 8192", "power of two from 8 to 4096"), stretch("--frame-size", "8192"));
        refused(2, msg("--oversampling 0", "between 1 and 32"), stretch("--oversampling", "0"));
        refused(2, msg("--oversampling 16", "between 1 and 8 with frame size 8"),
                stretch("--frame-size", "8", "--oversampling", "16"));
        refused(2, msg("--block 1000", "multiple of the analysis hop 512"), stretch("--block", "1000"));
        refused(2, msg("--preamp 30", "between -60 and +24 dB"), stretch("--preamp", "30"));
        refused(2, msg("--pan 101", "between 0"), stretch("--pan", "101"));
        refused(2, msg("--pan and --mono"), stretch("--pan", "30", "--mono"));
        refused(2, msg("--voice-amount 1.5", "between 0 and 1"), stretch("--voice-amount", "1.5"));
        refused(2, msg("--voice-cutoff 20", "between 50 and 400 Hz"), stretch("--remove-voice", "--voice-cutoff",
                "20"));
        refused(2, msg("'loud'", "HZ:DB"), stretch("--eq", "loud"));
        refused(2, msg("'1000:-99'", "between -60 and +24 dB"), stretch("--eq", "1000:-99"));
        refused(2, msg("'100:0'", "must rise"), stretch("--eq", "1000:-3,100:0"));
        refused(2, msg("'x:3'", "not a number"), stretch("--eq", "x:3"));
    }

    @Test
    void malformedCommandLines() throws Exception {
        refused(2, msg("Missing required parameter", "OUT.wav", "--help"), "stretch", good.toString());
        refusedByLauncher(2, msg("Unknown option", "--speed"), stretch("--speed", "2"));
        refused(2, msg("command is missing"));
        refused(2, msg("--end 0 is not after the start of the input"), stretch("--end", "0"));
        refused(2, msg("--end 0:02 is not after --start 2"), stretch("--start", "2", "--end", "0:02"));
        // Found only at the end of a stream: still the passage's fault, named as such.
        Launcher.Result r = Launcher.run(List.of("sh", "-c", Launcher.launcher() + " stretch - "
                + dir.resolve("out.wav") + " --start 5 < " + good), null);
        assertEquals(2, r.exit, r.toString());
        assertTrue(r.err.contains("--start 5 is at or after the end of standard input (0:00"), r.toString());
        assertEquals(List.of("good.wav"), Launcher.listing(dir));

        // Each command's help lists what it takes.
        Launcher.Result play = Launcher.inProcess("play", "--help");
        Launcher.Result stretch = Launcher.inProcess("stretch", "--help");
        assertEquals(0, play.exit + stretch.exit);
        assertTrue(play.out.contains("--output-file") && play.out.contains("--[no-]spectrum"), play.toString());
        assertFalse(play.out.contains("-png"), play.toString());
        assertTrue(stretch.out.contains("--spectrum-png") && !stretch.out.contains("--output-file"),
                stretch.toString());
        refused(2, msg("'stretchh' is not a command", "did you mean stretch?", "stretch, play, demo"), "stretchh",
                good.toString());
        refused(2, msg("'frobnicate' is not a command", "stretch, play, demo"), "frobnicate");
        refused(2, msg("unexpected argument 'extra'", "stretch takes IN and OUT.wav"), stretch("extra"));
        refused(2, msg("unexpected argument 'extra'", "play takes IN"), "play", good.toString(), "extra");
    }

    /**
     * A message quotes what was typed, names the option that set what is
     * wrong and the setting that would work; help and summary say the same;
     * an option that does nothing is refused rather than ignored.
     */
    @Test
    void messagesQuoteWhatWasTypedAndNameWhatWouldWork() throws Exception {
        refused(2, msg("--tempo 1e-400 is out of range"), stretch("--tempo", "1e-400"));
        refused(2, msg("--start 1:5 is at or after the end of"), stretch("--start", "1:5"));
        refused(2, msg("--preamp 0x1p5 dB is out of range"), stretch("--preamp", "0x1p5"));
        refused(2, msg("--tempo 0.2 is out of range", "in exact mode", "; --oversampling 8 plays down to 0.125"),
                stretch("--tempo", "0.2", "--quality", "exact"));
        refused(2, msg("--tempo 0.11 is out of range", "; --oversampling 4 plays down to 0.1"),
                stretch("--tempo", "0.11", "--frame-size", "64"));
        refused(2, msg("--varispeed 3.9 is out of range", "the speed must lie between 0.1 and 2",
                "; --oversampling 4 plays up to 4"), stretch("--varispeed", "3.9", "--oversampling", "2"));
        refused(2, msg("--trainer 0.5:12:0.5: the tempo 12 is out of range"), stretch("--trainer", "0.5:12:0.5"));
        refused(2, msg("'abc' is not a number"), stretch("--transpose", "abc"));
        refused(2, msg("'2.5' is not a whole number"), stretch("--oversampling", "2.5"));
        refused(2, msg("--jobs 3 needs --out-dir DIR"), stretch("--jobs", "3"));
        refused(2, msg("--out-dir /dev/null is a device, not a folder"), "stretch", good.toString(), "--out-dir",
                "/dev/null");
        refused(2, msg("--out-dir " + good + " is a file, not a folder"), "demo", "--out-dir", good.toString());

        // --tuning 452 lowers by 46.6 cents: 47 in the help and in the summary alike.
        assertTrue(Launcher.inProcess("stretch", "--help").out.replaceAll("\\s+", " ")
                .contains("--tuning 452 lowers a record tuned to A = 452 Hz by 47 cents"));
        Launcher.Result r = Launcher.inProcess(stretch("--tuning", "452", "--trainer", "0.5:0.5:0.1"));
        assertEquals(0, r.exit, r.toString());
        assertTrue(r.out.contains(", transposed -47 cents ") && r.out.contains("trainer: 1 pass, tempo 0.5 to 0.5"),
                r.toString());
    }

    /** Every command says its version; the window without a display is a missing device, not a usage error. */
    @Test
    void everyCommandSaysItsVersionAndTheWindowNeedsADisplay() throws Exception {
        for (String command : new String[] {"stretch", "play", "app", "demo"}) {
            for (String option : new String[] {"-V", "--version"}) {
                Launcher.Result r = Launcher.inProcess(command, option);
                assertEquals(0, r.exit, r.toString());
                assertTrue(r.out.startsWith("tambrino ") && r.out.contains("engine: "), command + " " + r);
            }
        }
        for (String display : new String[] {"env -u DISPLAY", "env DISPLAY="}) {
            Launcher.Result r = Launcher.run(List.of("sh", "-c", display + " " + Launcher.launcher() + " app"), null);
            assertEquals(3, r.exit, r.toString());
            assertTrue(r.err.startsWith("tambrino: no display to open the window on"), r.toString());
        }
    }

    @Test
    void interruptedRunLeavesNoPartialFile() throws Exception {
        int frames = 120 * RATE;
        Path big = dir.resolve("long.wav");
        TestAudio.write16(big, TestAudio.pcm16(frames, 2, sine(220, 0.3, RATE), sine(330, 0.3, RATE)), 2, RATE);
        List<String> before = Launcher.listing(dir);
        ProcessBuilder pb = new ProcessBuilder(Launcher.launcher().toString(), "stretch", big.toString(),
                dir.resolve("out.wav").toString(), "--tempo", "0.5", "--oversampling", "8");
        pb.environment().put("TAMBRINO_JAR", Launcher.jar().toString());
        pb.redirectErrorStream(true);
        pb.redirectOutput(ProcessBuilder.Redirect.DISCARD);
        Process p = pb.start();
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
        boolean partSeen = false;
        while (!partSeen && p.isAlive() && System.nanoTime() < deadline) {
            partSeen = Launcher.listing(dir).stream().anyMatch(n -> n.endsWith(".part"));
            Thread.sleep(20);
        }
        assertTrue(partSeen && p.isAlive(), "the run ended before it could be interrupted");
        Thread.sleep(300);
        p.destroy();
        assertTrue(p.waitFor(30, TimeUnit.SECONDS));
        assertEquals(before, Launcher.listing(dir));
        // As a write error: exit 1 and a message (SIGTERM's, from destroy()).
        assertEquals(1, p.exitValue());
    }
}
