package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.function.IntToDoubleFunction;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quorvel.tambrino.audio.InputFile;
import quorvel.tambrino.practice.Transport;

/**
 * AIFF, AU, MP3, Ogg Vorbis and, through ffmpeg, FLAC, Opus and M4A input,
 * from short files that Debian's encoders (sox, lame, oggenc, ffmpeg) make
 * here, through the launcher or the readers: lossless formats give exactly
 * the WAV file's samples; lossy ones keep the pitch and the stereo channels
 * apart, and MP3 with gapless information the WAV's length and timing. WAV
 * layouts that other programs write (32-bit PCM, surround, missing pad bytes)
 * are made by hand.
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
        // Without ffmpeg, the message names the package that opens them.
        System.setProperty("tambrino.ffmpeg", dir.resolve("no-ffmpeg").toString());
        try {
            for (Path in : new Path[] {flac, disguised}) {
                Launcher.Result r = Launcher.inProcess("stretch", in.toString(), dir.resolve("o.wav").toString());
                assertEquals(1, r.exit, r.toString());
                assertTrue(r.err.contains("is FLAC") && r.err.contains("Debian package ffmpeg"), r.toString());
            }
        } finally {
            System.clearProperty("tambrino.ffmpeg");
        }
        assertTrue(Files.notExists(dir.resolve("o.wav")));
        // Ogg that holds none of the codecs that open (here: a Theora-like identification header).
        byte[] page = new byte[64];
        System.arraycopy("OggS".getBytes(), 0, page, 0, 4);
        System.arraycopy("theora".getBytes(), 0, page, 28, 6);
        Files.write(dir.resolve("video.ogg"), page);
        Launcher.Result r = Launcher.inProcess("stretch", dir.resolve("video.ogg").toString(),
                dir.resolve("o.wav").toString());
        assertEquals(1, r.exit, r.toString());
        assertTrue(r.err.contains("without Vorbis, Opus or FLAC audio"), r.toString());
    }

    /** Every frame that a reader decodes from {@code file}. */
    private static short[] decode(Path file) throws Exception {
        try (InputFile.Reader r = InputFile.openAudio(file.toString())) {
            return Transport.readAll(r);
        }
    }

    /** Where the loudest sample of channel 0 lies within {@code reach} frames of {@code around}. */
    private static int peak(short[] pcm, int channels, int around, int reach) {
        int best = around;
        for (int i = Math.max(0, around - reach); i < Math.min(pcm.length / channels, around + reach); i++) {
            if (Math.abs(pcm[i * channels]) > Math.abs(pcm[best * channels])) {
                best = i;
            }
        }
        return best;
    }

    /** A click every 10,000 frames from frame 5,000 on. */
    private static final IntToDoubleFunction CLICKS = i -> i % 10000 == 5000 ? 0.6 : 0;

    @Test
    void mp3GaplessInformationPutsTheMusicWhereTheWavHasIt() throws Exception {
        requireTool("lame");
        // CBR with ID3v2 and ID3v1 tags around the frames, VBR, and MPEG-2 mono (576 samples a frame).
        int[][] shapes = {{RATE, 2, 50000}, {RATE, 2, 50000}, {22050, 1, 25000}};
        String[][] options = {{"-b", "192", "--add-id3v2", "--tt", "Clicks", "--ta", "Tambrino"}, {"-V", "2"},
            {"-b", "64"}};
        for (int k = 0; k < shapes.length; k++) {
            int rate = shapes[k][0];
            int ch = shapes[k][1];
            int frames = shapes[k][2];
            Path src = dir.resolve("clicks" + rate + ".wav");
            TestAudio.write16(src, TestAudio.pcm16(frames, ch, CLICKS, CLICKS), ch, rate);
            Path mp3 = dir.resolve("clicks" + k + ".mp3");
            List<String> cmd = new ArrayList<>(List.of("lame", "--quiet"));
            cmd.addAll(List.of(options[k]));
            cmd.addAll(List.of(src.toString(), mp3.toString()));
            encode(cmd.toArray(new String[0]));
            short[] pcm = decode(mp3);
            String what = String.join(" ", options[k]);
            assertEquals(frames, pcm.length / ch, what);
            for (int click = 5000; click < frames; click += 10000) {
                assertEquals(click, peak(pcm, ch, click, 2000), 2, what + ": click at " + click);
            }
        }

        // Without the tag only the decoder's delay goes; the encoder's own (576 samples) stays.
        Path untagged = dir.resolve("untagged.mp3");
        encode("lame", "--quiet", "-t", "-b", "192", dir.resolve("clicks44100.wav").toString(), untagged.toString());
        assertEquals(5000 + 576, peak(decode(untagged), 2, 5000, 2000), 2);

        // --start lands where it does on the WAV, and the passage lasts as long.
        Path tagged = dir.resolve("tagged.mp3");
        encode("lame", "--quiet", "-b", "192", dir.resolve("clicks44100.wav").toString(), tagged.toString());
        TestAudio.Wav fromWav = stretch(dir.resolve("clicks44100.wav"), "start-wav.wav", "--start", "0.1", "--end",
                "0.9");
        TestAudio.Wav fromMp3 = stretch(tagged, "start-mp3.wav", "--start", "0.1", "--end", "0.9");
        assertEquals(fromWav.frames(), fromMp3.frames());
        // The stretch blurs a click by a few samples differently in the two; the delays were 2257 samples.
        int first = (int) Math.round((5000 - 0.1 * RATE) / 0.8);
        assertEquals(peak(fromWav.samples, 2, first, 400), peak(fromMp3.samples, 2, first, 400), 16);
    }

    @Test
    void ffmpegOpensFlacOpusAndM4aAsTheyStreamAndSaysWhyNot() throws Exception {
        requireTool("ffmpeg");
        short[] expected = decode(wav);
        Path flac = dir.resolve("in.flac");
        Path opus = dir.resolve("in.opus");
        Path m4a = dir.resolve("in.m4a");
        encode("ffmpeg", "-v", "error", "-i", wav.toString(), flac.toString());
        encode("ffmpeg", "-v", "error", "-i", wav.toString(), "-c:a", "libopus", "-b:a", "128k", opus.toString());
        encode("ffmpeg", "-v", "error", "-i", wav.toString(), "-c:a", "aac", "-b:a", "192k", m4a.toString());
        assertArrayEquals(expected, decode(flac));
        for (Path lossy : new Path[] {opus, m4a}) {
            try (InputFile.Reader r = InputFile.openAudio(lossy.toString())) {
                assertEquals(2, r.channels(), lossy.toString());
                TestAudio.Wav w = new TestAudio.Wav(2, r.sampleRate(), Transport.readAll(r));
                assertTrue(Math.abs(w.frames() - (double) FRAMES * w.rate / RATE) < w.rate / 20, lossy + " length");
                int from = w.rate / 10;
                int to = w.frames() - w.rate / 10;
                assertEquals(440, TestAudio.frequency(w.channel(0), from, to, w.rate), 2, lossy + " left");
                assertEquals(1000, TestAudio.frequency(w.channel(1), from, to, w.rate), 4, lossy + " right");
            }
        }
        // Standard input streams to ffmpeg: the same result as the WAV file's.
        Launcher.Result r = Launcher.run(List.of("sh", "-c", Launcher.launcher() + " stretch - "
                + dir.resolve("piped.wav") + " --tempo 0.8 --quality exact < " + flac), null);
        assertEquals(0, r.exit, r.toString());
        assertArrayEquals(stretch(wav, "ref.wav").samples, TestAudio.read16(dir.resolve("piped.wav")).samples);

        // ffmpeg's own reason, exit 1 and nothing written.
        Files.write(dir.resolve("bad.flac"), "fLaC and then no FLAC at all".getBytes());
        encode("ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=black:s=32x32:d=0.2", "-c:v", "mpeg4",
                dir.resolve("silent.mp4").toString());
        List<String> before = Launcher.listing(dir);
        for (String[] bad : new String[][] {{"bad.flac", "ffmpeg cannot decode it: Invalid data"},
                {"silent.mp4", "holds no audio"}}) {
            r = Launcher.inProcess("stretch", dir.resolve(bad[0]).toString(), dir.resolve("o.wav").toString());
            assertEquals(1, r.exit, r.toString());
            assertTrue(r.err.contains(bad[1]) && !r.err.contains("Exception"), r.toString());
        }
        assertEquals(before, Launcher.listing(dir));
    }

    @Test
    void wavLayoutsThatOtherProgramsWrite() throws Exception {
        short[] pcm = TestAudio.pcm16(4000, 2, sine(440, 0.5, RATE), sine(660, 0.5, RATE));
        // 32-bit PCM, plain and extensible: rounded to 16 bits, full scale not wrapped.
        pcm[0] = Short.MAX_VALUE;
        pcm[1] = Short.MIN_VALUE;
        ByteBuffer b32 = ByteBuffer.allocate(pcm.length * 4).order(ByteOrder.LITTLE_ENDIAN);
        for (int i = 0; i < pcm.length; i++) {
            b32.putInt(i == 0 ? Integer.MAX_VALUE : (pcm[i] << 16) | (i % 2 == 0 ? 0x7fff : 0x8000));
        }
        short[] rounded = pcm.clone();
        for (int i = 1; i < pcm.length; i += 2) {
            rounded[i] = (short) Math.min(Short.MAX_VALUE, pcm[i] + 1);
        }
        Path int32 = dir.resolve("int32.wav");
        Path ext32 = dir.resolve("ext32.wav");
        TestAudio.writeRaw(int32, TestAudio.PCM, 2, RATE, 32, b32.array());
        TestAudio.writeChunks(ext32, TestAudio.fmtExtensible(TestAudio.PCM, 2, RATE, 32), new byte[0][],
                b32.capacity(), b32.array());
        assertArrayEquals(rounded, decode(int32));
        assertArrayEquals(rounded, decode(ext32));

        // 8- and 24-bit inside WAVE_FORMAT_EXTENSIBLE read as the plain formats do.
        byte[] u8 = new byte[pcm.length];
        byte[] b24 = new byte[pcm.length * 3];
        for (int i = 0; i < pcm.length; i++) {
            u8[i] = (byte) ((pcm[i] >> 8) + 128);
            b24[3 * i + 1] = (byte) pcm[i];
            b24[3 * i + 2] = (byte) (pcm[i] >> 8);
        }
        for (int bits : new int[] {8, 24}) {
            byte[] data = bits == 8 ? u8 : b24;
            TestAudio.writeRaw(dir.resolve("plain.wav"), TestAudio.PCM, 2, RATE, bits, data);
            TestAudio.writeChunks(dir.resolve("ext.wav"), TestAudio.fmtExtensible(TestAudio.PCM, 2, RATE, bits),
                    new byte[0][], data.length, data);
            assertArrayEquals(decode(dir.resolve("plain.wav")), decode(dir.resolve("ext.wav")), bits + " bits");
        }
        assertArrayEquals(pcm, decode(dir.resolve("plain.wav")));

        // An odd-sized chunk whose writer left out the pad byte.
        ByteArrayOutputStream unpadded = new ByteArrayOutputStream();
        unpadded.write(TestAudio.chunk("note", "abc".getBytes(), 3), 0, 11);
        TestAudio.writeChunks(dir.resolve("unpadded.wav"), TestAudio.fmt(TestAudio.PCM, 2, RATE, 16),
                new byte[][] {unpadded.toByteArray()}, pcm.length * 2, TestAudio.le16(pcm));
        assertArrayEquals(pcm, decode(dir.resolve("unpadded.wav")));
    }

    @Test
    void surroundWavIsMixedToStereoWithoutClipping() throws Exception {
        int frames = RATE / 2;
        // 5.1: front left 440 Hz, front right 660 Hz, centre 1000 Hz, LFE 50 Hz, the back silent.
        IntToDoubleFunction silent = i -> 0;
        short[] six = TestAudio.pcm16(frames, 6, sine(440, 0.4, RATE), sine(660, 0.4, RATE), sine(1000, 0.4, RATE),
                sine(50, 0.9, RATE), silent, silent);
        byte[] data = TestAudio.le16(six);
        Path plain = dir.resolve("six.wav");
        Path masked = dir.resolve("six-ext.wav");
        TestAudio.writeRaw(plain, TestAudio.PCM, 6, RATE, 16, data);
        TestAudio.writeChunks(masked, TestAudio.fmtExtensible(TestAudio.PCM, 6, RATE, 16), new byte[0][],
                data.length, data);
        short[] mixed = decode(plain);
        assertArrayEquals(mixed, decode(masked));
        try (InputFile.Reader r = InputFile.openAudio(plain.toString())) {
            assertEquals(2, r.channels());
            assertTrue(r.description().contains("6 channels mixed to stereo"), r.description());
        }
        TestAudio.Wav w = new TestAudio.Wav(2, RATE, mixed);
        double[] left = w.channel(0);
        double[] right = w.channel(1);
        double unit = 0.4 / (1 + 2 * Math.sqrt(0.5));
        assertEquals(unit, TestAudio.amplitude(left, 0, frames, 440, RATE), 0.002);
        assertEquals(unit * Math.sqrt(0.5), TestAudio.amplitude(right, 0, frames, 1000, RATE), 0.002);
        assertTrue(TestAudio.amplitude(right, 0, frames, 440, RATE) < 0.002, "left in the right channel");
        assertTrue(TestAudio.amplitude(left, 0, frames, 50, RATE) < 0.002, "the LFE is left out");

        // Every speaker at full scale at once gives full scale, not a wrapped sample.
        short[] loud = new short[6 * 100];
        java.util.Arrays.fill(loud, Short.MAX_VALUE);
        TestAudio.writeRaw(plain, TestAudio.PCM, 6, RATE, 16, TestAudio.le16(loud));
        for (short s : decode(plain)) {
            assertTrue(s >= 32760, "sample " + s);
        }
    }
}
