// stretch's MP3, AAC, Ogg Vorbis, Opus and FLAC outputs, decoded back by ffmpeg; a missing, failing or killed ffmpeg.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The encoded outputs checked against ffmpeg, the independent reference: each
 * decodes to the WAV output's length, apart from the padding that AAC's
 * containers do not state, and correlates with it where it is lossy (FLAC
 * gives its very samples); the input's tags are in each. When ffmpeg is
 * missing, fails or is killed, the target keeps what it held and no
 * temporary file is left.
 */
class EncodedOutputTest {
    static final int RATE = 44100;

    @TempDir
    Path dir;

    Path in;

    @BeforeEach
    void source() throws Exception {
        // Glides, so that the lag search finds one best offset, not every period of a tone.
        int frames = RATE * 3 / 2;
        short[] pcm = new short[frames * 2];
        double pl = 0;
        double pr = 0;
        for (int i = 0; i < frames; i++) {
            double t = (double) i / frames;
            pl += 2 * Math.PI * (220 + 440 * t) / RATE;
            pr += 2 * Math.PI * (330 + 550 * t * t) / RATE;
            double env = 0.6 + 0.4 * Math.sin(2 * Math.PI * 3 * t);
            pcm[2 * i] = (short) (8000 * env * (Math.sin(pl) + 0.5 * Math.sin(2 * pl) + 0.25 * Math.sin(3 * pl)));
            pcm[2 * i + 1] = (short) (8000 * env * (Math.sin(pr) + 0.4 * Math.sin(3 * pr)));
        }
        Path wav = dir.resolve("src.wav");
        TestAudio.write16(wav, pcm, 2, RATE);
        in = dir.resolve("in.wav");
        Assumptions.assumeTrue(Launcher.run(List.of("sh", "-c", "command -v ffmpeg"), null).exit == 0,
                "ffmpeg is not installed (scripts/install-deps.sh installs it)");
        ffmpeg("-i", wav.toString(), "-metadata", "title=Étude n° 3", "-metadata", "artist=The Players",
                "-metadata", "album=Practice", "-c:a", "pcm_s16le", in.toString());
    }

    private static void ffmpeg(String... args) throws Exception {
        List<String> cmd = new java.util.ArrayList<>(List.of("ffmpeg", "-v", "error", "-nostdin", "-y"));
        cmd.addAll(List.of(args));
        Launcher.Result r = Launcher.run(cmd, null);
        assertEquals(0, r.exit, r.toString());
    }

    private Launcher.Result stretch(String out, String... more) throws Exception {
        List<String> args = new java.util.ArrayList<>(List.of("stretch", in.toString(), dir.resolve(out).toString(),
                "--tempo", "0.8", "--quality", "exact"));
        args.addAll(List.of(more));
        return Launcher.tambrino(args.toArray(new String[0]));
    }

    /** ffmpeg's decoding of {@code file} at the input's rate, as 16-bit samples. */
    private TestAudio.Wav decoded(Path file) throws Exception {
        Path wav = dir.resolve(file.getFileName() + ".decoded.wav");
        ffmpeg("-i", file.toString(), "-map_metadata", "-1", "-bitexact", "-ar", Integer.toString(RATE),
                "-c:a", "pcm_s16le", wav.toString());
        TestAudio.Wav w = TestAudio.read16(wav);
        Files.delete(wav);
        return w;
    }

    /** Normalised correlation of {@code b}, from frame {@code lag}, with {@code a}, over {@code n} frames from {@code from}. */
    private static double correlation(double[] a, double[] b, int lag, int from, int n) {
        double ab = 0;
        double aa = 0;
        double bb = 0;
        for (int i = from; i < from + n && i + lag < b.length && i < a.length; i++) {
            ab += a[i] * b[i + lag];
            aa += a[i] * a[i];
            bb += b[i + lag] * b[i + lag];
        }
        return ab / Math.sqrt(aa * bb + 1e-30);
    }

    /** Where {@code b} starts {@code a}'s audio: the lag from 0 to {@code max} frames that correlates best. */
    private static int lag(double[] a, double[] b, int max) {
        int best = 0;
        double top = -2;
        for (int lag = 0; lag <= max; lag++) {
            double r = correlation(a, b, lag, RATE / 4, 4096);
            if (r > top) {
                top = r;
                best = lag;
            }
        }
        return best;
    }

    private String tags(Path file) throws Exception {
        Launcher.Result r = Launcher.run(List.of("ffprobe", "-v", "error", "-show_entries",
                "format_tags=title,artist,album:stream_tags=title,artist,album", "-of", "default=nw=1", file.toString()),
                null);
        assertEquals(0, r.exit, r.toString());
        return r.out.toLowerCase(Locale.ROOT);
    }

    @Test
    void eachFormatDecodesToTheStretchedLengthAndSound() throws Exception {
        assertEquals(0, stretch("ref.wav").exit);
        TestAudio.Wav ref = TestAudio.read16(dir.resolve("ref.wav"));
        int n = ref.frames();
        // {name, extra frames at the start, most extra frames in all, least correlation}: AAC in ADTS states
        // neither its encoder's delay nor its last frame's padding, and M4A as ffmpeg writes it only the delay.
        Object[][] formats = {
            {"out.mp3", 0, 0, 0.99}, {"out.m4a", 0, 1023, 0.99}, {"out.aac", 1024, 2047, 0.99},
            {"out.ogg", 0, 0, 0.99}, {"out.opus", 0, 1, 0.98}, {"out.flac", 0, 0, 1.0},
        };
        StringBuilder measured = new StringBuilder();
        for (Object[] f : formats) {
            String name = (String) f[0];
            Launcher.Result r = stretch(name);
            assertEquals(0, r.exit, r.toString());
            assertTrue(r.out.contains("-> " + dir.resolve(name) + " "), r.toString());
            Path out = dir.resolve(name);
            String t = tags(out);
            assertTrue(t.contains("title=étude n° 3") && t.contains("artist=the players") && t.contains("album=practice"),
                    name + " tags: " + t);
            TestAudio.Wav w = decoded(out);
            assertEquals(2, w.channels, name);
            int extra = w.frames() - n;
            int start = lag(ref.channel(0), w.channel(0), 2100);
            double c = Math.min(correlation(ref.channel(0), w.channel(0), start, 0, n),
                    correlation(ref.channel(1), w.channel(1), start, 0, n));
            measured.append(String.format(Locale.ROOT, " %s %+d frames, lag %d, r %.4f;", name, extra, start, c));
            assertEquals((int) f[1], start, name + " starts late:" + measured);
            assertTrue(extra >= 0 && extra <= (int) f[2], name + " length:" + measured);
            assertTrue(c >= (double) f[3], name + " sound:" + measured);
            if (name.endsWith(".flac")) {
                assertArrayEquals(ref.samples, w.samples, "FLAC keeps every sample");
            }
        }
        System.out.println("encoded outputs:" + measured);

        // The quality option: a lower bit rate makes a smaller file; V0 a larger one than the default V2.
        long v2 = Files.size(dir.resolve("out.mp3"));
        assertEquals(0, stretch("v0.mp3", "--bitrate", "V0").exit);
        assertEquals(0, stretch("low.opus", "--bitrate", "32k").exit);
        assertTrue(Files.size(dir.resolve("v0.mp3")) > v2, "V0 is larger than V2");
        assertTrue(Files.size(dir.resolve("low.opus")) * 2 < Files.size(dir.resolve("out.opus")), "32 kb/s Opus");
        // Refused before any work: a bit rate for a lossless output, a level for another format than MP3.
        for (String[] bad : new String[][] {{"x.flac", "128", "lossy outputs"}, {"x.ogg", "V2", "give kb/s"},
                {"x.opus", "600", "from 6 to 510"}, {"x.mp3", "fast", "is not a bit rate"}}) {
            Launcher.Result r = Launcher.inProcess("stretch", in.toString(), dir.resolve(bad[0]).toString(),
                    "--bitrate", bad[1]);
            assertEquals(2, r.exit, r.toString());
            assertTrue(r.err.contains(bad[2]), r.toString());
            assertTrue(Files.notExists(dir.resolve(bad[0])));
        }
    }

    @Test
    void aMissingFailingOrKilledFfmpegLeavesTheTargetAsItWas() throws Exception {
        Path target = dir.resolve("song.mp3");
        Files.writeString(target, "the user's own song");
        System.setProperty("tambrino.ffmpeg", dir.resolve("no-ffmpeg").toString());
        try {
            Launcher.Result r = Launcher.inProcess("stretch", in.toString(), target.toString());
            assertEquals(2, r.exit, r.toString());
            assertTrue(r.err.contains("written as MP3 through ffmpeg") && r.err.contains("Debian package ffmpeg"),
                    r.toString());
        } finally {
            System.clearProperty("tambrino.ffmpeg");
        }

        // An ffmpeg that starts a file, takes some samples and then fails, or is killed. It tells the
        // tag reading apart by its output format, and fails that too: tags never stop a stretch.
        Path bin = dir.resolve("bin");
        Files.createDirectories(bin);
        Path fake = bin.resolve("ffmpeg");
        List<String> before = Launcher.listing(dir);
        for (String[] how : new String[][] {
                {"echo 'Encoder libmp3lame: out of cheese' >&2; exit 1", "failed (exit status 1): Encoder libmp3lame:"
                        + " out of cheese"},
                {"kill -9 $$", "was killed (signal 9)"},
                {"exec 0<&-; exit 0", "ended before the last sample"}}) {
            Files.writeString(fake, "#!/bin/sh\ncase \"$*\" in *ffmetadata*) exit 1;; esac\n"
                    + "printf 'ID3 partial' >&1\nhead -c 65536 >/dev/null\n" + how[0] + "\n");
            fake.toFile().setExecutable(true);
            Launcher.Result r = Launcher.run(List.of(Launcher.launcher().toString(), "stretch", in.toString(),
                    target.toString(), "--tempo", "0.8"), Map.of("PATH", bin + ":" + System.getenv("PATH")));
            assertEquals(1, r.exit, r.toString());
            assertTrue(r.err.contains("cannot write " + target + ": ffmpeg") && r.err.contains(how[1]), r.toString());
            assertTrue(!r.err.contains("Exception"), r.toString());
            assertEquals("the user's own song", Files.readString(target, StandardCharsets.UTF_8), how[0]);
            assertEquals(before, Launcher.listing(dir), how[0]);
        }
    }
}
