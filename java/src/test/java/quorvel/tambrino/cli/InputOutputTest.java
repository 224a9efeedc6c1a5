// Headers, pipes, permissions and messages of the input and output, through the launcher.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * WAV files whose headers do not match their contents, pipes, the output's
 * permissions and the messages of failed writes, through the launcher and
 * the real engine. Runs use exact mode, whose output length is a whole
 * number of synthesis hops per analysis hop of input.
 */
class InputOutputTest {
    static final int RATE = 22050;
    static final int FRAMES = 11025;

    @TempDir
    Path dir;

    short[] pcm;
    Path reference;
    TestAudio.Wav expected;

    @BeforeEach
    void referenceRun() throws Exception {
        pcm = TestAudio.pcm16(FRAMES, 2, sine(440, 0.5, RATE), sine(660, 0.4, RATE));
        reference = dir.resolve("ref.wav");
        TestAudio.write16(reference, pcm, 2, RATE);
        expected = stretch(reference, "ref-out.wav");
    }

    private TestAudio.Wav stretch(Path in, String out, String... more) throws Exception {
        Launcher.Result r = run(in, out, more);
        assertEquals(0, r.exit, r.toString());
        return TestAudio.read16(dir.resolve(out));
    }

    private Launcher.Result run(Path in, String out, String... more) throws Exception {
        String[] args = {"stretch", in.toString(), dir.resolve(out).toString(), "--tempo", "0.75", "--quality",
            "exact"};
        String[] all = Arrays.copyOf(args, args.length + more.length);
        System.arraycopy(more, 0, all, args.length, more.length);
        return Launcher.tambrino(all);
    }

    /** Output frames for an input of {@code frames} at tempo 0.75, exact mode's defaults (hop 683 per 512). */
    private static long exactFrames(long frames) {
        return (frames * 683 + 256) / 512;
    }

    private static Launcher.Result shell(String script) throws Exception {
        return Launcher.run(List.of("sh", "-c", script), null);
    }

    @Test
    void headersThatPromiseMoreThanTheFileHoldsReadWhatIsThere() throws Exception {
        byte[] data = TestAudio.le16(pcm);
        byte[] fmt = TestAudio.fmt(TestAudio.PCM, 2, RATE, 16);
        assertEquals(exactFrames(FRAMES), expected.frames());

        // Streaming writers leave 0xFFFFFFFF (or 0): the file's end is the data's end, with no warning.
        for (long size : new long[] {0xFFFFFFFFL, 0}) {
            Path p = dir.resolve("streamed-" + size + ".wav");
            TestAudio.writeChunks(p, fmt, new byte[0][], size, data);
            Launcher.Result r = run(p, "streamed.wav");
            assertEquals(0, r.exit, r.toString());
            assertFalse(r.err.contains("warning"), r.toString());
            assertArrayEquals(expected.samples, TestAudio.read16(dir.resolve("streamed.wav")).samples);
        }

        // A file cut short: the frames that are there, one warning, no silence added.
        int kept = FRAMES / 2;
        Path cut = dir.resolve("cut.wav");
        TestAudio.writeChunks(cut, fmt, new byte[0][], data.length, Arrays.copyOf(data, kept * 4 + 3));
        Launcher.Result r = run(cut, "cut-out.wav");
        assertEquals(0, r.exit, r.toString());
        assertEquals(1, r.err.split("warning", -1).length - 1, r.toString());
        assertTrue(r.err.contains("ends after 0.25 s, before the 0.50 s its header states"), r.toString());
        TestAudio.Wav w = TestAudio.read16(dir.resolve("cut-out.wav"));
        assertEquals(exactFrames(kept), w.frames());
        // The same as the first half alone: no padding became sound.
        Path half = dir.resolve("half.wav");
        TestAudio.write16(half, Arrays.copyOf(pcm, kept * 2), 2, RATE);
        assertArrayEquals(stretch(half, "half-out.wav").samples, w.samples);

        // A header with no samples after it, whatever it promises.
        Path none = dir.resolve("none.wav");
        TestAudio.writeChunks(none, fmt, new byte[0][], 40000, new byte[0]);
        r = run(none, "none-out.wav");
        assertEquals(1, r.exit, r.toString());
        assertTrue(r.err.contains("holds no audio"), r.toString());
        assertFalse(Files.exists(dir.resolve("none-out.wav")));
    }

    @Test
    void chunkLayoutsAndExtensibleFormatsDecodeToTheSameSamples() throws Exception {
        byte[] data = TestAudio.le16(pcm);
        // An odd-sized chunk (with its pad byte) and a list chunk before the data.
        Path listed = dir.resolve("listed.wav");
        TestAudio.writeChunks(listed, TestAudio.fmt(TestAudio.PCM, 2, RATE, 16), new byte[][] {
            TestAudio.chunk("odd ", new byte[] {1, 2, 3}, 3), TestAudio.chunk("LIST", new byte[26], 26)},
            data.length, data);
        assertArrayEquals(expected.samples, stretch(listed, "listed-out.wav").samples);

        // RF64: the sizes are in the ds64 chunk, the 32-bit fields say 0xFFFFFFFF.
        Path rf64 = dir.resolve("rf64.wav");
        TestAudio.writeChunks(rf64, TestAudio.fmt(TestAudio.PCM, 2, RATE, 16), new byte[][] {
            TestAudio.chunk("ds64", ByteBuffer.allocate(28).order(ByteOrder.LITTLE_ENDIAN).putLong(0)
                    .putLong(data.length).putLong(FRAMES).putInt(0).array(), 28)}, 0xFFFFFFFFL, data);
        byte[] bytes = Files.readAllBytes(rf64);
        System.arraycopy("RF64".getBytes(), 0, bytes, 0, 4);
        // A trailing chunk that only the ds64 size keeps out of the samples.
        byte[] trailer = TestAudio.chunk("LIST", new byte[40], 40);
        byte[] withTrailer = Arrays.copyOf(bytes, bytes.length + trailer.length);
        System.arraycopy(trailer, 0, withTrailer, bytes.length, trailer.length);
        Files.write(rf64, withTrailer);
        assertArrayEquals(expected.samples, stretch(rf64, "rf64-out.wav").samples);

        // WAVE_FORMAT_EXTENSIBLE, 16-bit PCM and 32-bit float.
        Path ext16 = dir.resolve("ext16.wav");
        TestAudio.writeChunks(ext16, TestAudio.fmtExtensible(TestAudio.PCM, 2, RATE, 16), new byte[0][],
                data.length, data);
        assertArrayEquals(expected.samples, stretch(ext16, "ext16-out.wav").samples);
        ByteBuffer f32 = ByteBuffer.allocate(pcm.length * 4).order(ByteOrder.LITTLE_ENDIAN);
        for (short s : pcm) {
            f32.putFloat(s / 32768f);
        }
        Path extFloat = dir.resolve("extf.wav");
        TestAudio.writeChunks(extFloat, TestAudio.fmtExtensible(TestAudio.FLOAT, 2, RATE, 32), new byte[0][],
                f32.capacity(), f32.array());
        assertArrayEquals(expected.samples, stretch(extFloat, "extf-out.wav").samples);
    }

    @Test
    void standardInputAndOutputMakeAPipe() throws Exception {
        String tool = Launcher.launcher().toString();
        Path out = dir.resolve("piped.wav");
        Launcher.Result r = shell(tool + " stretch - - --tempo 0.75 --quality exact < " + reference + " > " + out);
        assertEquals(0, r.exit, r.toString());
        // Standard output carries only the audio; the summary goes to standard error.
        assertTrue(r.err.contains("standard input") && r.err.contains("-> standard output"), r.toString());
        TestAudio.Wav w = TestAudio.read16(out);
        assertEquals(2, w.channels);
        assertEquals(RATE, w.rate);
        assertArrayEquals(expected.samples, w.samples);

        // Two stages in one pipe: the second reads the first's streaming header.
        r = shell(tool + " stretch - - --tempo 0.75 --quality exact < " + reference + " | " + tool
                + " stretch - " + dir.resolve("twice.wav") + " --tempo 1.5 --quality exact");
        assertEquals(0, r.exit, r.toString());
        assertEquals((exactFrames(FRAMES) * 341 + 256) / 512, TestAudio.read16(dir.resolve("twice.wav")).frames());

        // A reader that goes away is a failure, not a success (more output than a pipe buffers), but no alarm.
        Path longer = dir.resolve("long.wav");
        TestAudio.write16(longer, TestAudio.pcm16(10 * RATE, 2, sine(440, 0.5, RATE), sine(660, 0.4, RATE)), 2, RATE);
        r = Launcher.run(List.of("bash", "-c", tool + " stretch " + longer + " - --quality exact"
                + " | head -c 100 > /dev/null; exit ${PIPESTATUS[0]}"), null);
        assertEquals(1, r.exit, r.toString());
        assertEquals("", r.err, r.toString());
    }

    @Test
    void outputsGetTheUsualPermissionsAndFailuresKeepTheirCause() throws Exception {
        String tool = Launcher.launcher().toString();
        for (String[] c : new String[][] {{"022", "rw-r--r--"}, {"002", "rw-rw-r--"}, {"077", "rw-------"}}) {
            Path out = dir.resolve("perm-" + c[0] + ".wav");
            Launcher.Result r = shell("umask " + c[0] + " && exec " + tool + " stretch " + reference + " " + out
                    + " --spectrum-png " + dir.resolve("perm-" + c[0] + ".png"));
            assertEquals(0, r.exit, r.toString());
            assertEquals(c[1], PosixFilePermissions.toString(Files.getPosixFilePermissions(out)), "umask " + c[0]);
            assertEquals(c[1], PosixFilePermissions.toString(
                    Files.getPosixFilePermissions(dir.resolve("perm-" + c[0] + ".png"))), "umask " + c[0]);
        }

        // /proc takes no new files: the message names the target and the system's reason, not a temporary file.
        Launcher.Result r = Launcher.tambrino("stretch", reference.toString(), "/proc/tambrino-out.wav");
        assertEquals(1, r.exit, r.toString());
        assertTrue(r.err.startsWith("tambrino: cannot write /proc/tambrino-out.wav: "), r.toString());
        assertTrue(r.err.contains("(") && !r.err.contains(".part"), r.toString());
    }

    @Test
    void numbersInMessagesAppearAsTyped() {
        String out = dir.resolve("o.wav").toString();
        String[][] cases = {{"--tempo", "1e-10"}, {"--tempo", "12.5"}, {"--voice-amount", "1.0000001"},
            {"--preamp", "-1e3"}, {"--voice-cutoff", "0.001"}};
        String[] shown = {"--tempo 1e-10 ", "--tempo 12.5 ", "--voice-amount 1.0000001 ", "--preamp -1e3 dB",
            "--voice-cutoff 0.001 Hz"};
        for (int i = 0; i < cases.length; i++) {
            Launcher.Result r = Launcher.inProcess("stretch", reference.toString(), out, cases[i][0], cases[i][1]);
            assertEquals(2, r.exit, r.toString());
            assertTrue(r.err.contains(shown[i]), r.toString());
        }
    }
}
