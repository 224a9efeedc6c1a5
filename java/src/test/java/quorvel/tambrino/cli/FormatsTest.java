package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * AIFF, AU, MP3 and Ogg Vorbis input, from short files that Debian's
 * encoders (sox, lame, oggenc) make here, through the launcher: lossless
 * formats give exactly the WAV file's result; lossy ones keep the length
 * (within the encoder's padding), the pitch and the stereo channels apart.
 */
class FormatsTest {
    static final int RATE = 44100;
    static final int FRAMES = RATE;

    @TempDir
    Path dir;

    Path wav;

    @BeforeEach
    void source() throws Exception {
        wav = dir.resolve("src.wav");
        TestAudio.write16(wav, TestAudio.pcm16(FRAMES, 2, sine(440, 0.5, RATE), sine(1000, 0.3, RATE)), 2, RATE);
    }

    private static void requireTool(String tool) throws Exception {
        Launcher.Result r = Launcher.run(List.of("sh", "-c", "command -v " + tool), null);
        Assumptions.assumeTrue(r.exit == 0, tool + " is not installed (scripts/install-deps.sh installs it)");
    }

    private void encode(String... cmd) throws Exception {
        Launcher.Result r = Launcher.run(List.of(cmd), null);
        assertEquals(0, r.exit, r.toString());
    }

    private TestAudio.Wav stretch(Path in, String out, String... more) throws Exception {
        List<String> args = new ArrayList<>(List.of("stretch", in.toString(), dir.resolve(out).toString(),
                "--tempo", "0.8", "--quality", "exact"));
        args.addAll(List.of(more));
        Launcher.Result r = Launcher.tambrino(args.toArray(new String[0]));
        assertEquals(0, r.exit, r.toString());
        return TestAudio.read16(dir.resolve(out));
    }

    @Test
    void aiffAndAuGiveTheSameSamplesAsWav() throws Exception {
        requireTool("sox");
        short[] expected = stretch(wav, "ref.wav").samples;
        for (String name : new String[] {"in.aiff", "in.au", "in24.aiff"}) {
            List<String> cmd = new ArrayList<>(List.of("sox", wav.toString()));
            if (name.startsWith("in24")) {
                cmd.addAll(List.of("-b", "24"));
            }
            cmd.add(dir.resolve(name).toString());
            encode(cmd.toArray(new String[0]));
            assertArrayEquals(expected, stretch(dir.resolve(name), "o-" + name + ".wav").samples, name);
        }
    }

    @Test
    void mp3AndVorbisDecodeToTheMusic() throws Exception {
        requireTool("lame");
        requireTool("oggenc");
        Path mp3 = dir.resolve("in.mp3");
        Path ogg = dir.resolve("in.ogg");
        encode("lame", "--quiet", "-b", "192", wav.toString(), mp3.toString());
        encode("oggenc", "-Q", "-q", "6", wav.toString(), "-o", ogg.toString());
        for (Path in : new Path[] {mp3, ogg}) {
            TestAudio.Wav w = stretch(in, in.getFileName() + ".wav");
            assertEquals(2, w.channels, in.toString());
            assertEquals(RATE, w.rate, in.toString());
            // The decoders add at most a few tens of milliseconds of encoder delay and padding.
            double seconds = (double) w.frames() / RATE;
            assertTrue(Math.abs(seconds - 1.0 / 0.8) < 0.1, in + ": " + seconds + " s");
            int from = RATE / 5;
            int to = w.frames() - RATE / 5;
            double[] left = w.channel(0);
            double[] right = w.channel(1);
            assertEquals(440, TestAudio.frequency(left, from, to, RATE), 2, in + " left");
            assertEquals(1000, TestAudio.frequency(right, from, to, RATE), 4, in + " right");
        }

        // Standard input too: the format is found from the bytes, not the name.
        Launcher.Result r = Launcher.run(List.of("sh", "-c", Launcher.launcher() + " stretch - "
                + dir.resolve("piped.wav") + " --tempo 0.8 --quality exact < " + mp3), null);
        assertEquals(0, r.exit, r.toString());
        assertEquals(TestAudio.read16(dir.resolve("in.mp3.wav")).frames(),
                TestAudio.read16(dir.resolve("piped.wav")).frames());
    }

    @Test
    void formatsWithoutADecoderAreNamedWithTheOnesThatOpen() throws Exception {
        requireTool("sox");
        Path flac = dir.resolve("in.flac");
        encode("sox", wav.toString(), flac.toString());
        // A FLAC file named .wav is still told apart.
        Path disguised = dir.resolve("flac.wav");
        Files.copy(flac, disguised);
        for (Path in : new Path[] {flac, disguised}) {
            Launcher.Result r = Launcher.inProcess("stretch", in.toString(), dir.resolve("o.wav").toString());
            assertEquals(1, r.exit, r.toString());
            assertTrue(r.err.contains("FLAC") && r.err.contains("AIFF") && r.err.contains("MP3")
                    && r.err.contains("Ogg Vorbis"), r.toString());
        }
        assertTrue(Files.notExists(dir.resolve("o.wav")));
        // Ogg that is not Vorbis (here: an Opus-like identification header).
        byte[] page = new byte[64];
        System.arraycopy("OggS".getBytes(), 0, page, 0, 4);
        System.arraycopy("OpusHead".getBytes(), 0, page, 28, 8);
        Files.write(dir.resolve("opus.ogg"), page);
        Launcher.Result r = Launcher.inProcess("stretch", dir.resolve("opus.ogg").toString(),
                dir.resolve("o.wav").toString());
        assertEquals(1, r.exit, r.toString());
        assertTrue(r.err.contains("without Vorbis audio"), r.toString());
    }
}
