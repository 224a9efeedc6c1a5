// Several inputs into one folder at once: outputs, failures and the exit code.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Several inputs stretched into a folder at once, through the launcher. */
class StretchManyTest {
    static final int RATE = 44100;

    @TempDir
    Path dir;

    private Path tone(String name, double seconds, int channels, double hz) throws Exception {
        Path p = dir.resolve(name);
        TestAudio.write16(p, TestAudio.pcm16((int) (seconds * RATE), channels, sine(hz, 0.4, RATE),
                sine(hz * 1.5, 0.3, RATE)), channels, RATE);
        return p;
    }

    /**
     * A bad file among good ones is reported by name and the others are
     * written; each output is, bit for bit, what the single form writes,
     * however many jobs run at once; nothing temporary is left behind.
     */
    @Test
    void theGoodFilesAreWrittenAsAloneAndTheBadOneIsReported() throws Exception {
        Path a = tone("a.wav", 2.5, 2, 440);
        Path b = tone("b.wav", 1.5, 1, 330);
        Path bad = dir.resolve("bad.wav");
        Files.writeString(bad, "not audio at all");
        Path alone = dir.resolve("alone.wav");
        assertEquals(0, Launcher.tambrino("stretch", a.toString(), alone.toString(), "--tempo", "0.8").exit);
        for (String jobs : new String[] {"1", "2"}) {
            Path out = dir.resolve("out" + jobs).resolve("new");
            Launcher.Result r = Launcher.tambrino("stretch", a.toString(), bad.toString(), b.toString(), "--out-dir",
                    out.toString(), "--tempo", "0.8", "--jobs", jobs);
            assertEquals(1, r.exit, r.toString());
            assertEquals(List.of("a.wav", "b.wav"), Launcher.listing(out), r.toString());
            assertEquals(2, r.err.split("\n").length, r.toString());
            assertTrue(r.err.contains("tambrino: " + bad + " ") && r.err.contains("1 of 3 inputs failed"),
                    r.toString());
            assertTrue(r.out.contains(out.resolve("a.wav") + " 3.13 s") && r.out.contains(out.resolve("b.wav")
                    + " 1.88 s"), r.toString());
            assertArrayEquals(Files.readAllBytes(alone), Files.readAllBytes(out.resolve("a.wav")), jobs);
            assertArrayEquals(Files.readAllBytes(dir.resolve("out1/new/b.wav")),
                    Files.readAllBytes(out.resolve("b.wav")), jobs);
        }
    }

    /** The exit code is the first failing input's, in the order given, whatever finishes first. */
    @Test
    void theExitCodeIsTheFirstFailuresInTheOrderGiven() throws Exception {
        Path shortOne = tone("short.wav", 1, 1, 440);
        Path bad = dir.resolve("bad.wav");
        Files.write(bad, new byte[0]);
        Path out = dir.resolve("out");
        // --start 2 is beyond the short file's end: a usage error, the empty file's a file error.
        Launcher.Result r = Launcher.tambrino("stretch", shortOne.toString(), bad.toString(), "--out-dir",
                out.toString(), "--start", "2");
        assertEquals(2, r.exit, r.toString());
        r = Launcher.tambrino("stretch", bad.toString(), shortOne.toString(), "--out-dir", out.toString(),
                "--start", "2");
        assertEquals(1, r.exit, r.toString());
        // The folder made for them is not left behind empty.
        assertFalse(Files.exists(out), "an empty folder made for outputs that were never written");
    }

    /** What cannot work is refused before any work, with nothing made. */
    @Test
    void collisionsStandardInputAndAFileAsFolderAreRefused() throws Exception {
        Path a = tone("a.wav", 0.5, 1, 440);
        Path other = Files.createDirectory(dir.resolve("other"));
        Path twin = tone("other/a.wav", 0.5, 1, 440);
        String out = dir.resolve("out").toString();
        String[][] refusals = {
            {"would both be written to", a.toString(), twin.toString(), "--out-dir", out},
            {"'-' (standard input) cannot be one of the inputs", a.toString(), "-", "--out-dir", out},
            {"is a file, not a folder", twin.toString(), "--out-dir", a.toString()},
            {"is an input: writing " + a + " there would replace it", a.toString(), "--out-dir", dir.toString()},
            {"--spectrum-png draws one input's picture", a.toString(), twin.toString(), "--out-dir", out,
                "--spectrum-png", dir.resolve("p.png").toString()},
            {"--jobs 0 is out of range", a.toString(), twin.toString(), "--out-dir", out, "--jobs", "0"},
            {"several inputs with --out-dir DIR", a.toString(), twin.toString(), dir.resolve("c.wav").toString()},
        };
        for (String[] row : refusals) {
            String[] args = new String[row.length];
            args[0] = "stretch";
            System.arraycopy(row, 1, args, 1, row.length - 1);
            Launcher.Result r = Launcher.inProcess(args);
            assertEquals(2, r.exit, r.toString());
            assertTrue(r.err.contains(row[0]), r.toString());
        }
        assertFalse(Files.exists(dir.resolve("out")));
        assertEquals(List.of("a.wav"), Launcher.listing(other));
        assertEquals(List.of("a.wav", "other"), Launcher.listing(dir));
    }
}
