package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Where the result goes when the output is not a plain new file: devices and
 * FIFOs are written into, links lead to the file that is replaced, and every
 * failed write says so with exit 1 and leaves what was there as it was.
 */
class OutputTargetsTest {
    static final int RATE = 22050;

    @TempDir
    Path dir;

    Path in;
    byte[] expected;

    @BeforeEach
    void input() throws Exception {
        in = dir.resolve("in.wav");
        // 10 s of stereo: far more than a pipe buffers.
        TestAudio.write16(in, TestAudio.pcm16(10 * RATE, 2, sine(440, 0.5, RATE), sine(660, 0.4, RATE)), 2, RATE);
        // Either spelling of the format, in either case.
        Launcher.Result r = stretch("ref.WAVE");
        assertEquals(0, r.exit, r.toString());
        expected = Files.readAllBytes(dir.resolve("ref.WAVE"));
    }

    private Launcher.Result stretch(String out, String... more) throws Exception {
        List<String> a = new ArrayList<>(List.of("stretch", in.toString(),
                out.startsWith("/") ? out : dir.resolve(out).toString(), "--quality", "exact"));
        a.addAll(Arrays.asList(more));
        return Launcher.tambrino(a.toArray(new String[0]));
    }

    private static Path mkfifo(Path p) throws Exception {
        Process mk = new ProcessBuilder("mkfifo", p.toString()).start();
        assertEquals(0, mk.waitFor());
        return p;
    }

    /** Reads the FIFO in a thread, up to {@code limit} bytes, then closes it as a reader that goes away. */
    private static CompletableFuture<byte[]> reader(Path fifo, int limit) {
        return CompletableFuture.supplyAsync(() -> {
            try (InputStream s = Files.newInputStream(fifo)) {
                return s.readNBytes(limit);
            } catch (Exception e) {
                throw new RuntimeException(e);
            }
        });
    }

    @Test
    void devicesAndFifosAreWrittenIntoNeverReplaced() throws Exception {
        Path devNull = Path.of("/dev/null");
        Launcher.Result r = stretch("/dev/null", "--spectrum-png", "/dev/null");
        assertEquals(0, r.exit, r.toString());
        assertFalse(Files.isRegularFile(devNull));

        // A full device fails the run, with its reason, and stays a device.
        Path full = Path.of("/dev/full");
        if (Files.isWritable(full)) {
            for (String[] outputs : new String[][] {{"/dev/full"}, {"png-on-full.wav", "--spectrum-png", "/dev/full"}}) {
                r = stretch(outputs[0], Arrays.copyOfRange(outputs, 1, outputs.length));
                assertEquals(1, r.exit, r.toString());
                assertTrue(r.err.contains("cannot write /dev/full: No space left on device"), r.toString());
                assertFalse(Files.isRegularFile(full));
            }
            assertFalse(Files.exists(dir.resolve("png-on-full.wav")), "the WAV of a failed run");
        }

        // A FIFO's reader gets exactly what a file gets, the sizes included; the FIFO stays.
        Path fifo = mkfifo(dir.resolve("fifo.wav"));
        CompletableFuture<byte[]> got = reader(fifo, Integer.MAX_VALUE);
        r = stretch(fifo.toString());
        assertEquals(0, r.exit, r.toString());
        assertArrayEquals(expected, got.get(30, TimeUnit.SECONDS));
        assertFalse(Files.isRegularFile(fifo));

        // A reader that goes away: a failure, without a message or a stack trace.
        got = reader(fifo, 100);
        r = stretch(fifo.toString());
        assertEquals(100, got.get(30, TimeUnit.SECONDS).length);
        assertEquals(1, r.exit, r.toString());
        assertEquals("", r.err, r.toString());
        assertEquals(List.of("fifo.wav", "in.wav", "ref.WAVE"), Launcher.listing(dir));
    }

    @Test
    void linksLeadToTheFileThatIsReplaced() throws Exception {
        Path sub = Files.createDirectory(dir.resolve("sub"));
        Path target = sub.resolve("target.wav");
        Files.writeString(target, "old");
        Files.setPosixFilePermissions(target, PosixFilePermissions.fromString("rw-r-----"));
        Path link = Files.createSymbolicLink(dir.resolve("link.wav"), Path.of("sub/target.wav"));
        Launcher.Result r = stretch("link.wav");
        assertEquals(0, r.exit, r.toString());
        assertTrue(Files.isSymbolicLink(link));
        assertArrayEquals(expected, Files.readAllBytes(target));
        // A replaced file keeps its mode, as when written over in place.
        assertEquals("rw-r-----", PosixFilePermissions.toString(Files.getPosixFilePermissions(target)));
        // No temporary file beside the link or the target.
        assertEquals(List.of("in.wav", "link.wav", "ref.WAVE", "sub"), Launcher.listing(dir));
        assertEquals(List.of("target.wav"), Launcher.listing(sub));

        // A link to a file not there yet makes it.
        Path dangling = Files.createSymbolicLink(dir.resolve("new.wav"), sub.resolve("made.wav"));
        r = stretch("new.wav");
        assertEquals(0, r.exit, r.toString());
        assertTrue(Files.isSymbolicLink(dangling));
        assertArrayEquals(expected, Files.readAllBytes(sub.resolve("made.wav")));

        // The input under another name, through a link or a hard link, is refused before any work.
        Files.createSymbolicLink(dir.resolve("in-link.wav"), in);
        Files.createLink(dir.resolve("in-hard.wav"), in);
        byte[] input = Files.readAllBytes(in);
        for (String name : new String[] {"in-link.wav", "in-hard.wav"}) {
            r = stretch(name);
            assertEquals(2, r.exit, r.toString());
            assertTrue(r.err.contains(name + " is the input file"), r.toString());
        }
        assertArrayEquals(input, Files.readAllBytes(in));
        // The picture onto the audio through a link collides.
        r = stretch("link.wav", "--spectrum-png", target.toString());
        assertEquals(2, r.exit, r.toString());
        assertTrue(r.err.contains("the two outputs collide"), r.toString());

        Files.createSymbolicLink(dir.resolve("nowhere.wav"), Path.of("missing/x.wav"));
        r = stretch("nowhere.wav");
        assertEquals(1, r.exit, r.toString());
        assertTrue(r.err.contains("does not exist"), r.toString());
        assertTrue(Files.isSymbolicLink(dir.resolve("nowhere.wav"))
                && !Files.exists(dir.resolve("nowhere.wav")), "the link itself stays");
    }
}
