// Every way of naming an output, for every writer: the table of docs/testing.md, cell by cell.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Arrays;
import java.util.EnumMap;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.function.Function;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quorvel.tambrino.Quality;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.StretchJob;
import quorvel.tambrino.practice.Transport;

/**
 * Every way of naming an output (a file, a link, the input under another
 * name, a descriptor in each mode, a FIFO, a device, a folder, a read-only
 * folder, a full disk) against every writer that takes one: {@code stretch},
 * its {@code --spectrum-png}, {@code --out-dir}, {@code play --output-file}
 * and the window's export (through {@link StretchJob}, as the window calls
 * it). Each cell is the table's in docs/testing.md: written, streamed,
 * refused (exit 2) or failed (exit 1), and in every refused or failed cell
 * nothing the user had changed. What a plain new file receives is the
 * reference: every stream must carry the same bytes.
 *
 * <p>Cells that need no descriptor of their own run inside this JVM; those
 * about standard input and output, other descriptors and terminals run the
 * launcher from bash; the read-only folder and the full disk are small tmpfs
 * mounts in a mount namespace of their own (skipped where the system allows
 * none).
 */
class OutputTargetsTest {
    static final int RATE = 22050;
    static final int FRAMES = RATE / 4;

    @TempDir
    Path dir;

    Path in;
    short[] pcm;

    /** The writers, and the file each writes in a cell: the picture is a .png, --out-dir writes DIR/in.wav. */
    enum Writer {
        STRETCH("in.wav"), PICTURE("in.png"), OUT_DIR("in.wav"), PLAY("in.wav"), EXPORT("in.wav");

        final String file;

        Writer(String file) {
            this.file = file;
        }
    }

    /** What each writer puts into a plain new file. */
    private final Map<Writer, byte[]> reference = new EnumMap<>(Writer.class);
    private int cells;

    @BeforeEach
    void input() throws Exception {
        in = dir.resolve("in.wav");
        pcm = TestAudio.pcm16(FRAMES, 2, sine(440, 0.5, RATE), sine(660, 0.4, RATE));
        TestAudio.write16(in, pcm, 2, RATE);
    }

    /** A fresh folder for one cell. */
    private Path cell() throws Exception {
        return Files.createDirectory(dir.resolve("cell" + cells++));
    }

    /** Runs {@code w} with {@code target} as its output, in this JVM. */
    private Launcher.Result write(Writer w, Path target) throws Exception {
        String t = target.toString();
        String i = in.toString();
        switch (w) {
            case STRETCH:
                return Launcher.inProcess("stretch", i, t, "--quality", "exact");
            case PICTURE:
                return Launcher.inProcess("stretch", i, audioBeside(target).toString(), "--quality", "exact",
                        "--spectrum-png", t);
            case OUT_DIR:
                return Launcher.inProcess("stretch", i, "--out-dir", target.getParent().toString(), "--quality",
                        "exact");
            case PLAY:
                return Launcher.inProcess("play", i, "--output-file", t, "--quality", "exact");
            default:
                return export(target);
        }
    }

    /** The picture's audio output, in a folder of its own beside the cell. */
    private Path audioBeside(Path target) {
        return dir.resolve(target.getParent().getFileName() + "-audio.wav");
    }

    /** The window's export of the whole song, as the window makes it. */
    private synchronized Launcher.Result export(Path target) {
        Settings.Builder b = new Settings.Builder();
        b.channels = 2;
        b.sampleRate = RATE;
        b.quality = Quality.EXACT;
        b.spectrum = false;
        Transport source = new Transport(pcm, 2, RATE, Passage.of("in.wav", null, null, null, pcm.length / 2, RATE),
                false);
        try {
            StretchJob.run(b.build(), source, "in.wav", target, null, 0, (done, seconds, total) -> { });
            return new Launcher.Result(0, "", "");
        } catch (CliException e) {
            return new Launcher.Result(e.exitCode, "", e.getMessage() == null ? "" : "tambrino: " + e.getMessage() + "\n");
        }
    }

    /** Runs {@code run} with the input a second long, more than a pipe buffers of its output. */
    private Launcher.Result longer(java.util.concurrent.Callable<Launcher.Result> run) throws Exception {
        byte[] was = Files.readAllBytes(in);
        short[] short1 = pcm;
        pcm = TestAudio.pcm16(RATE, 2, sine(440, 0.5, RATE), sine(660, 0.4, RATE));
        TestAudio.write16(in, pcm, 2, RATE);
        try {
            return run.call();
        } finally {
            Files.write(in, was);
            pcm = short1;
        }
    }

    /** What {@code w} writes into a plain new file. */
    private byte[] reference(Writer w) throws Exception {
        if (!reference.containsKey(w)) {
            Path target = cell().resolve(w.file);
            Launcher.Result r = write(w, target);
            assertEquals(0, r.exit, w + ": " + r);
            reference.put(w, Files.readAllBytes(target));
        }
        return reference.get(w);
    }

    /** The data after a WAV's header, or the whole of a picture: a stream's header may carry the streaming sizes. */
    private static byte[] body(Writer w, byte[] bytes) {
        return w == Writer.PICTURE ? bytes : Arrays.copyOfRange(bytes, Math.min(44, bytes.length), bytes.length);
    }

    /** Refused (2) or failed (1) with the message, and nothing under {@link #dir} changed. */
    private void nothingChanged(String what, Writer w, int exit, String message, Function<Path, Launcher.Result> run,
            Path target) throws Exception {
        Map<String, String> before = Scene.snapshot(dir);
        Launcher.Result r = run.apply(target);
        String cellName = what + ", " + w + ": " + r;
        assertEquals(exit, r.exit, cellName);
        assertTrue(r.err.contains(message), cellName);
        assertEquals(before, Scene.snapshot(dir), "what the user had, after " + cellName);
    }

    private Function<Path, Launcher.Result> writer(Writer w) {
        return t -> {
            try {
                return write(w, t);
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        };
    }

    @Test
    void filesAndLinksAreReplacedWholeAndLinksStayLinks() throws Exception {
        for (Writer w : Writer.values()) {
            byte[] expected = reference(w);

            // An existing file is replaced whole and keeps its mode; no temporary file stays.
            Path c = cell();
            Path existing = c.resolve(w.file);
            Files.writeString(existing, "old");
            Files.setPosixFilePermissions(existing, PosixFilePermissions.fromString("rw-r-----"));
            Launcher.Result r = write(w, existing);
            assertEquals(0, r.exit, w + ": " + r);
            assertArrayEquals(expected, Files.readAllBytes(existing), w + " into an existing file");
            assertEquals("rw-r-----", PosixFilePermissions.toString(Files.getPosixFilePermissions(existing)));
            assertEquals(List.of(w.file), Launcher.listing(c));

            // A link leads to the file that is replaced, an existing one or one made; the link stays.
            for (boolean there : new boolean[] {true, false}) {
                c = cell();
                Path sub = Files.createDirectory(c.resolve("sub"));
                Path file = sub.resolve("target");
                if (there) {
                    Files.writeString(file, "old");
                }
                Path link = Files.createSymbolicLink(c.resolve(w.file), Path.of("sub/target"));
                r = write(w, link);
                assertEquals(0, r.exit, w + ": " + r);
                assertTrue(Files.isSymbolicLink(link), w + ": the link stays a link");
                assertArrayEquals(expected, Files.readAllBytes(file), w + " through a link");
                assertEquals(List.of("target"), Launcher.listing(sub), w + ": no temporary file left");
            }

            // A link into a folder that does not exist: nothing is made, the link stays.
            c = cell();
            Files.createSymbolicLink(c.resolve(w.file), Path.of("missing/x"));
            nothingChanged("a link into a missing folder", w, 1, w == Writer.EXPORT ? "cannot write" : "does not exist",
                    writer(w), c.resolve(w.file));
        }
        // Either spelling of the format, in any case.
        Path upper = cell().resolve("new.WAVE");
        assertEquals(0, write(Writer.STRETCH, upper).exit);
        assertArrayEquals(reference(Writer.STRETCH), Files.readAllBytes(upper));
    }

    @Test
    void theInputUnderAnotherNameAndCollidingOutputsAreRefused() throws Exception {
        byte[] input = Files.readAllBytes(in);
        // The window's export writes the song it holds in memory; its own dialog asks before replacing a file.
        for (Writer w : new Writer[] {Writer.STRETCH, Writer.PICTURE, Writer.OUT_DIR, Writer.PLAY}) {
            for (String kind : new String[] {"link", "hard link"}) {
                Path c = cell();
                Path other = c.resolve(w.file);
                if (kind.equals("link")) {
                    Files.createSymbolicLink(other, in);
                } else {
                    Files.createLink(other, in);
                }
                nothingChanged("a " + kind + " to the input", w, 2, w == Writer.OUT_DIR ? "is an input"
                        : "is the input file", writer(w), other);
            }
        }
        assertArrayEquals(input, Files.readAllBytes(in));

        // The picture onto the audio through a link; --out-dir that is a file or a device.
        Path c = cell();
        Path audio = c.resolve("audio.wav");
        Files.createSymbolicLink(c.resolve("pic.png"), audio);
        nothingChanged("the picture onto the audio", Writer.PICTURE, 2, "the two outputs collide",
                t -> Launcher.inProcess("stretch", in.toString(), audio.toString(), "--spectrum-png", t.toString()),
                c.resolve("pic.png"));
        for (String[] folder : new String[][] {{in.toString(), "is a file, not a folder"},
            {"/dev/null", "is a device, not a folder"}}) {
            nothingChanged("--out-dir " + folder[0], Writer.OUT_DIR, 2, folder[1],
                    t -> Launcher.inProcess("stretch", in.toString(), "--out-dir", t.toString()), Path.of(folder[0]));
        }
    }

    @Test
    void devicesAndFifosAreWrittenIntoNeverReplaced() throws Exception {
        for (Writer w : Writer.values()) {
            byte[] expected = reference(w);

            // A FIFO's reader gets what a file gets (a recording's header with the streaming sizes); it stays a FIFO.
            Path c = cell();
            Path fifo = Scene.mkfifo(c.resolve(w.file));
            CompletableFuture<byte[]> got = Scene.reader(fifo, Integer.MAX_VALUE);
            Launcher.Result r = write(w, fifo);
            assertEquals(0, r.exit, w + ": " + r);
            byte[] streamed = got.get(30, TimeUnit.SECONDS);
            if (w == Writer.PLAY) {
                assertArrayEquals(body(w, expected), body(w, streamed), w + " into a FIFO");
            } else {
                assertArrayEquals(expected, streamed, w + " into a FIFO");
            }
            assertFalse(Files.isRegularFile(fifo));

            // A reader that goes away: a failure without a message (among several inputs, which one it was).
            // The input is longer than a pipe holds, so that the writes reach the closed end (a picture is
            // smaller than that: written whole before the reader goes, it has succeeded).
            if (w != Writer.PICTURE) {
                got = Scene.reader(fifo, 100);
                Map<String, String> before = Scene.snapshot(dir);
                r = longer(() -> write(w, fifo));
                assertEquals(100, got.get(30, TimeUnit.SECONDS).length);
                assertEquals(1, r.exit, w + ": " + r);
                assertTrue(w == Writer.OUT_DIR ? r.err.contains("the reader of " + fifo + " went away")
                        : r.err.isEmpty(), w + ": " + r);
                assertEquals(before, Scene.snapshot(dir), w + ": what the user had");
            }

            // /dev/null takes anything (through a link for --out-dir, whose outputs are named for it).
            Path devNull = Path.of("/dev/null");
            Path named = w == Writer.OUT_DIR ? Files.createSymbolicLink(cell().resolve(w.file), devNull) : devNull;
            r = write(w, named);
            assertEquals(0, r.exit, w + ": " + r);
            assertFalse(Files.isRegularFile(devNull));

            // A full device fails the run with its reason; a picture's failure keeps its audio back and says so.
            Path full = Path.of("/dev/full");
            if (Files.isWritable(full)) {
                named = w == Writer.OUT_DIR ? Files.createSymbolicLink(cell().resolve(w.file), full) : full;
                nothingChanged("/dev/full", w, 1, "No space left on device" + (w == Writer.PICTURE
                        ? "; " + audioBeside(named) + " was not written either" : ""), writer(w), named);
                assertFalse(Files.isRegularFile(full));
            }
        }
        // The same device for both outputs of one run.
        Launcher.Result r = Launcher.inProcess("stretch", in.toString(), "/dev/null", "--spectrum-png", "/dev/null");
        assertEquals(0, r.exit, r.toString());
    }

    @Test
    void aFolderIsNoFileAndAFolderMadeForNothingGoesAgain() throws Exception {
        for (Writer w : Writer.values()) {
            Path c = cell();
            Path folder = Files.createDirectory(c.resolve(w.file));
            Files.writeString(folder.resolve("kept"), "kept");
            nothingChanged("a folder", w, 1, "is a folder", writer(w), folder);
        }
    }

    /**
     * Standard input and output under each of their names, other
     * descriptors in write and append mode, pipes and terminals, through
     * bash as a user types them. The picture never goes to standard output
     * (it carries the summary); the player's messages do, so its recording
     * never does either.
     */
    @Test
    void descriptorsAreWrittenThroughAsTheShellOpenedThem() throws Exception {
        byte[] wav = reference(Writer.STRETCH);
        byte[] png = reference(Writer.PICTURE);
        byte[] heard = reference(Writer.PLAY);
        Path c = cell();
        Map<String, String> env = Map.of("IN", in.toString());
        String stretch = "$T stretch \"$IN\" ";
        String exact = " --quality exact";
        byte[] before = "BEFORE\n".getBytes(StandardCharsets.US_ASCII);
        byte[] after = "AFTER\n".getBytes(StandardCharsets.US_ASCII);
        byte[] log = "LOG\n".getBytes(StandardCharsets.US_ASCII);

        // Standard output into a file the shell truncated: what came before and after stays around it.
        for (String name : new String[] {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
            Launcher.Result r = Scene.bash(c, "{ echo BEFORE; " + stretch + name + exact + "; echo AFTER; } > f", env);
            assertEquals(0, r.exit, name + ": " + r);
            assertArrayEquals(Scene.concat(before, wav, after), Files.readAllBytes(c.resolve("f")), name);
        }
        // Appended to a log, into a pipe, through a descriptor of the user's own; the header's sizes are put
        // right where the descriptor is a file it can seek in.
        String[][] streams = {
            {"echo LOG > f; " + stretch + "/dev/stdout" + exact + " >> f", "LOG+"},
            {stretch + "/proc/self/fd/1" + exact + " | cat > f", ""},
            {stretch + "/dev/fd/3" + exact + " 3> f", ""},
            {"echo LOG > f; " + stretch + "/dev/fd/3" + exact + " 3>> f", "LOG+"},
            {"{ " + stretch + "/dev/fd/3" + exact + " > /dev/null; } 3>&1 | cat > f", ""},
            {"echo LOG > f; " + stretch + "out.wav" + exact + " --spectrum-png /dev/fd/3 3>> f", "LOG+png"},
            {"$T play \"$IN\" --output-file /dev/fd/3" + exact + " 3> f", "heard"},
            {"$T play \"$IN\" --output-file /dev/fd/3" + exact + " 3>&1 > /dev/null | cat > f", "heard-stream"},
        };
        for (String[] s : streams) {
            Launcher.Result r = Scene.bash(c, s[0], env);
            assertEquals(0, r.exit, s[0] + ": " + r);
            byte[] got = Files.readAllBytes(c.resolve("f"));
            byte[] head = s[1].startsWith("LOG+") ? log : new byte[0];
            if (s[1].equals("heard-stream")) {
                assertArrayEquals(body(Writer.PLAY, heard), body(Writer.PLAY, got), s[0]);
            } else {
                assertArrayEquals(Scene.concat(head, s[1].endsWith("png") ? png : s[1].equals("heard") ? heard : wav),
                        got, s[0]);
            }
        }

        // An input of unknown length (a pipe's streaming sizes): the header into a file the shell opened gets the
        // real sizes, which ffprobe, where installed, reads as the reference does; a pipe keeps the streaming ones.
        byte[] streaming = Files.readAllBytes(in);
        ByteBuffer.wrap(streaming).order(ByteOrder.LITTLE_ENDIAN).putInt(4, -1).putInt(40, -1);
        Files.write(c.resolve("streaming.wav"), streaming);
        for (String[] s : new String[][] {{"> f", "real"}, {"| cat > f", "streaming"}}) {
            Launcher.Result r = Scene.bash(c, "cat streaming.wav | $T stretch - -" + exact + " " + s[0], env);
            assertEquals(0, r.exit, s[0] + ": " + r);
            byte[] got = Files.readAllBytes(c.resolve("f"));
            assertArrayEquals(body(Writer.STRETCH, wav), body(Writer.STRETCH, got), s[0]);
            ByteBuffer h = ByteBuffer.wrap(got).order(ByteOrder.LITTLE_ENDIAN);
            int data = s[1].equals("real") ? wav.length - 44 : -1;
            assertEquals(List.of(s[1].equals("real") ? data + 36 : -1, data), List.of(h.getInt(4), h.getInt(40)), s[0]);
            Launcher.Result probe = Launcher.run(List.of("ffprobe", "-v", "error", "-show_entries",
                    "stream=duration_ts", "-of", "csv=p=0", c.resolve("f").toString()), null);
            if (s[1].equals("real") && probe.exit == 0) {
                assertEquals(Integer.toString(data / 4), probe.out.trim(), "ffprobe's frames");
            }
        }

        // Refused before any work, and nothing the user had changed.
        String[][] refused = {
            {"$T stretch - in.wav < in.wav", "in.wav is the file that standard input reads"},
            {"$T stretch - /dev/stdin < in.wav", "/dev/stdin is standard input"},
            {"$T play - --output-file in.wav < in.wav", "in.wav is the file that standard input reads"},
            {"$T stretch in.wav - >> in.wav", "standard output is the input file"},
            {"$T stretch in.wav /dev/stderr", "/dev/stderr is standard error"},
            {"$T stretch in.wav x.wav --spectrum-png /dev/stdout >> f", "--spectrum-png needs a file name"},
            {"$T play in.wav --output-file /dev/fd/1 >> f", "--output-file needs a file name"},
            {"$T stretch in.wav /dev/fd/3 3< in.wav", "descriptor 3 is open for reading only"},
            {"$T stretch in.wav /dev/fd/250", "descriptor 250 is not open"},
        };
        Files.copy(in, c.resolve("in.wav"));
        Files.writeString(c.resolve("f"), "kept");
        for (String[] s : refused) {
            Map<String, String> snapshot = Scene.snapshot(dir);
            Launcher.Result r = Scene.bash(c, s[0], env);
            assertEquals(s[1].contains("descriptor") ? 1 : 2, r.exit, s[0] + ": " + r);
            assertTrue(r.err.contains(s[1]), s[0] + ": " + r);
            assertEquals(snapshot, Scene.snapshot(dir), s[0]);
        }

        // A terminal, under any name, takes no audio (script gives the command one).
        for (String onTty : new String[] {stretch + "/dev/stdout", stretch + "/dev/fd/3 3>/dev/tty",
            stretch + "/dev/tty", "$T play \"$IN\" --output-file /dev/fd/3 3>/dev/tty"}) {
            Launcher.Result r = Scene.bash(c, "script -qec '" + onTty + "; echo EXIT=$?' /dev/null", env);
            assertTrue(r.out.contains("is a terminal") && r.out.contains("EXIT=2"), onTty + ": " + r);
        }
    }

    /**
     * A read-only folder and a full disk, each a small tmpfs in a mount
     * namespace of this test's own (root or not): every writer fails with
     * exit 1 and its reason, the file that was there is intact, no temporary
     * file stays, and --out-dir leaves no folder it made.
     */
    @Test
    void aReadOnlyFolderAndAFullDiskLoseNothing() throws Exception {
        Launcher.Result probe = Launcher.run(List.of("unshare", "-rm", "sh", "-c",
                "mount -t tmpfs -o size=64k none \"$0\"", dir.toString()), null);
        Assumptions.assumeTrue(probe.exit == 0, "no mount namespace here: " + probe);
        Path mnt = Files.createDirectory(dir.resolve("mnt"));
        Path away = Files.createDirectory(dir.resolve("away"));
        String java = System.getenv().getOrDefault("TAMBRINO_TEST_JAVA", "java");
        String export = java + " -Dtambrino.library=" + System.getProperty("tambrino.library") + " -cp "
                + classPath() + " '" + Export.class.getName() + "' \"$IN\"";
        String[] writers = {
            "$T stretch \"$IN\" prev.wav --quality exact",
            "$T stretch \"$IN\" \"$AWAY/audio.wav\" --quality exact --spectrum-png prev.png",
            "$T stretch \"$IN\" --out-dir new --quality exact",
            "$T play \"$IN\" --output-file prev.wav --quality exact",
            export + " prev.wav",
        };
        // Sixteen pages, of which the two files and the filler leave one: room for a header, not for a result.
        StringBuilder script = new StringBuilder("set -u; mount -t tmpfs -o size=64k none \"$M\" || exit 9; cd \"$M\";"
                + " echo previous > prev.wav; echo previous > prev.png;");
        for (String mode : new String[] {"full", "read-only"}) {
            script.append(mode.equals("full") ? " head -c 53248 /dev/zero > filler;"
                    : " rm filler; mount -o remount,ro \"$M\" || exit 9;");
            for (int i = 0; i < writers.length; i++) {
                script.append(" ").append(writers[i]).append(" 2> \"$ERR\"; echo \"CELL ").append(mode).append(' ')
                        .append(i).append(" EXIT $? [$(ls -A | tr '\\n' ' ')]")
                        .append(" [$(cat prev.wav prev.png | tr '\\n' ' ')] [$(ls -A \"$AWAY\")] $(tr '\\n' ' ' < \"$ERR\")\";");
            }
        }
        Map<String, String> env = new HashMap<>(Map.of("IN", in.toString(), "M", mnt.toString(), "AWAY",
                away.toString(), "ERR", dir.resolve("err.txt").toString(),
                "T", Launcher.launcher().toAbsolutePath().toString()));
        Launcher.Result r = Launcher.run(List.of("unshare", "-rm", "bash", "-c", script.toString()), env);
        assertEquals(0, r.exit, r.toString());
        Matcher m = Pattern.compile("CELL (\\S+) (\\d) EXIT (\\d+) \\[([^\\]]*)\\] \\[([^\\]]*)\\] \\[([^\\]]*)\\] (.*)")
                .matcher(r.out);
        int seen = 0;
        while (m.find()) {
            seen++;
            String cellName = m.group(1) + " disk, writer " + m.group(2) + ": " + m.group();
            assertEquals("1", m.group(3), cellName);
            assertEquals((m.group(1).equals("full") ? "filler " : "") + "prev.png prev.wav ", m.group(4), cellName);
            assertEquals("previous previous ", m.group(5), cellName);
            assertEquals("", m.group(6), cellName);
            assertTrue(m.group(7).contains(m.group(1).equals("full") ? "No space left on device" : "not writable")
                    || m.group(7).contains("Read-only file system"), cellName);
        }
        assertEquals(10, seen, r.toString());
    }

    /** The classes of the tool, the tests and picocli, for a JVM of the test's own. */
    private static String classPath() {
        StringBuilder cp = new StringBuilder();
        for (Class<?> c : new Class<?>[] {OutputTargetsTest.class, Tambrino.class, picocli.CommandLine.class}) {
            try {
                cp.append(cp.length() == 0 ? "" : ":").append(Path.of(c.getProtectionDomain().getCodeSource()
                        .getLocation().toURI()));
            } catch (java.net.URISyntaxException e) {
                throw new IllegalStateException(e);
            }
        }
        return cp.toString();
    }

    /** The window's export into a file, as a program of its own (for the mount namespace); prints its message. */
    static final class Export {
        public static void main(String[] args) throws Exception {
            OutputTargetsTest t = new OutputTargetsTest();
            t.pcm = TestAudio.read16(Path.of(args[0])).samples;
            Launcher.Result r = t.export(Path.of(args[1]));
            System.err.print(r.err);
            System.exit(r.exit);
        }
    }
}
