// The readers checked against ffmpeg on a corpus of every variant they accept or refuse, made here.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.InputFile;
import quorvel.tambrino.practice.Transport;

/**
 * Decoding checked against ffmpeg, the independent reference: a corpus of
 * every layout the readers accept or should refuse, written byte by byte here
 * or made by Debian's encoders (sox, lame, oggenc, ffmpeg), is decoded as
 * {@code stretch} and {@code play} read it and by ffmpeg. Lossless formats
 * must give ffmpeg's samples, each rounded to 16 bits as the README says;
 * lossy ones ffmpeg's length and, window by window, the same audio. A file
 * that ffmpeg reads is read whole or refused with a reason; one cut short
 * gives what is there and a warning.
 */
class DecodeReferenceTest {
    static final int RATE = 44100;
    static final int FRAMES = 22050;

    @TempDir
    static Path dir;

    /** The music of the corpus, two channels of partials and noise bursts, peaks near full scale. */
    static double[][] master = new double[2][FRAMES];

    @BeforeAll
    static void corpusTools() throws Exception {
        for (String tool : new String[] {"ffmpeg", "sox", "lame", "oggenc"}) {
            Launcher.Result r = Launcher.run(List.of("sh", "-c", "command -v " + tool), null);
            Assumptions.assumeTrue(r.exit == 0, tool + " is not installed (scripts/install-deps.sh installs it)");
        }
        long seed = 12345;
        double[][] partials = {{220, 330, 495, 1210}, {275, 412.5, 660, 1730}};
        for (int i = 0; i < FRAMES; i++) {
            seed = seed * 6364136223846793005L + 1442695040888963407L;
            double noise = ((seed >>> 11) / (double) (1L << 53) - 0.5) * Math.exp(-(i % 4410) / 400.0);
            for (int c = 0; c < 2; c++) {
                double x = 0;
                for (int k = 0; k < 4; k++) {
                    x += 0.18 / (k + 1) * Math.sin(2 * Math.PI * partials[c][k] * i / RATE + k);
                }
                master[c][i] = x + (c == 0 ? 0.6 : -0.5) * noise;
            }
        }
        // Full scale both ways, and beyond it for the float formats.
        master[0][100] = 1.0;
        master[1][100] = -1.0;
        master[0][101] = 1.4;
        master[1][101] = -1.4;
        master[0][102] = 0.99999;
        master[1][102] = -0.99999;
    }

    // -----------------------------------------------------------------
    // Decoding, both ways

    /** What a decoder gave: interleaved samples, or why it refused. */
    static final class Decoded {
        int channels;
        int rate;
        short[] pcm;
        double[] ref;
        String warning;
        String refusal;

        int frames() {
            return (pcm != null ? pcm.length : ref.length) / channels;
        }
    }

    /** The file as {@code stretch} and {@code play} read it. */
    static Decoded ours(Path file) throws IOException {
        Decoded d = new Decoded();
        try (InputFile.Reader r = InputFile.openAudio(file.toString())) {
            d.pcm = Transport.readAll(r);
            d.channels = r.channels();
            d.rate = r.sampleRate();
            d.warning = r.warning();
        } catch (CliException e) {
            d.refusal = e.getMessage();
        }
        return d;
    }

    /** The file's first audio stream as ffmpeg decodes it, in 64-bit float; null when ffmpeg refuses it. */
    static Decoded ffmpeg(Path file) throws Exception {
        return ffmpeg(List.of(file)).get(0);
    }

    /**
     * ffmpeg's decoding of each file, by one run of it (a run costs ffmpeg
     * more than a short file does), or by one each when that run fails.
     */
    static List<Decoded> ffmpeg(List<Path> files) throws Exception {
        List<String> cmd = new ArrayList<>(List.of("ffmpeg", "-v", "error", "-nostdin", "-y"));
        for (Path f : files) {
            cmd.addAll(List.of("-i", f.toString()));
        }
        List<Path> outs = new ArrayList<>();
        for (int i = 0; i < files.size(); i++) {
            Path out = dir.resolve("ref-" + files.get(i).getFileName() + ".wav");
            outs.add(out);
            cmd.addAll(List.of("-map", i + ":a:0", "-c:a", "pcm_f64le", "-f", "wav", out.toString()));
        }
        Process p = new ProcessBuilder(cmd).redirectError(ProcessBuilder.Redirect.DISCARD)
                .redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
        assertTrue(p.waitFor(120, TimeUnit.SECONDS));
        List<Decoded> refs = new ArrayList<>();
        if (p.exitValue() != 0 && files.size() > 1) {
            for (Path f : files) {
                refs.add(ffmpeg(f));
            }
            return refs;
        }
        for (Path out : outs) {
            refs.add(p.exitValue() == 0 ? readF64(Files.readAllBytes(out)) : null);
            Files.deleteIfExists(out);
        }
        return refs;
    }

    /** A WAV file of 64-bit float samples, as ffmpeg writes it. */
    static Decoded readF64(byte[] out) {
        ByteBuffer b = ByteBuffer.wrap(out).order(ByteOrder.LITTLE_ENDIAN);
        Decoded d = new Decoded();
        for (int pos = 12; pos + 8 <= out.length; ) {
            String id = new String(out, pos, 4, StandardCharsets.ISO_8859_1);
            long size = b.getInt(pos + 4) & 0xffffffffL;
            if (id.equals("fmt ")) {
                d.channels = b.getShort(pos + 10);
                d.rate = b.getInt(pos + 12);
            } else if (id.equals("data")) {
                int n = (int) Math.min(size, out.length - pos - 8) / 8;
                d.ref = new double[n];
                for (int i = 0; i < n; i++) {
                    d.ref[i] = b.getDouble(pos + 8 + 8 * i);
                }
                return d;
            }
            pos += 8 + size + (size & 1);
        }
        return null;
    }

    /** Every file decoded both ways: each must give ffmpeg's samples, with no warning. */
    static void allLossless(List<Path> files) throws Exception {
        List<Decoded> refs = ffmpeg(files);
        for (int i = 0; i < files.size(); i++) {
            Decoded d = ours(files.get(i));
            assertLossless(files.get(i).getFileName().toString(), d, refs.get(i));
            assertNull(d.warning, files.get(i) + ": " + d.warning);
        }
    }

    /** A reference sample as the readers round it: to nearest, halves up, clipped to 16 bits. */
    static int rounded(double x) {
        return (int) Math.max(-32768, Math.min(32767, Math.floor(x * 32768 + 0.5)));
    }

    /** Ours gives ffmpeg's frames and, rounded, its every sample. */
    static void assertLossless(String what, Decoded ours, Decoded ref) {
        assertNull(ours.refusal, what);
        assertNotNull(ref, what + ": ffmpeg refused it");
        assertEquals(ref.channels, ours.channels, what + " channels");
        assertEquals(ref.rate, ours.rate, what + " rate");
        assertEquals(ref.frames(), ours.frames(), what + " frames");
        for (int i = 0; i < ours.pcm.length; i++) {
            if (ours.pcm[i] != rounded(ref.ref[i])) {
                fail(String.format(Locale.ROOT, "%s: frame %d channel %d is %d, ffmpeg's is %.8f", what,
                        i / ours.channels, i % ours.channels, ours.pcm[i], ref.ref[i] * 32768));
            }
        }
    }

    /**
     * Ours is ffmpeg's audio from ffmpeg's frame {@code lag} on, {@code missing}
     * frames shorter at the end: each channel correlates in every window of
     * 2,048 frames that holds sound, and the lag is where the correlation peaks.
     */
    static void assertSameAudio(String what, Decoded ours, Decoded ref, int lag, int missing, double minimum) {
        assertNull(ours.refusal, what);
        assertNotNull(ref, what + ": ffmpeg refused it");
        assertEquals(ref.channels, ours.channels, what + " channels");
        assertEquals(ref.rate, ours.rate, what + " rate");
        assertEquals(ref.frames() - lag - missing, ours.frames(), what + " frames");
        int ch = ours.channels;
        int window = 2048;
        for (int c = 0; c < ch; c++) {
            assertEquals(lag, bestLag(ours, ref, c, lag), what + ": where ours lines up with the reference, channel " + c);
            for (int from = 0; from + window <= ours.frames(); from += window) {
                double sxy = 0;
                double sxx = 0;
                double syy = 0;
                for (int i = from; i < from + window; i++) {
                    double x = ours.pcm[i * ch + c] / 32768.0;
                    double y = ref.ref[(i + lag) * ch + c];
                    sxy += x * y;
                    sxx += x * x;
                    syy += y * y;
                }
                if (syy < window * 1e-6) {
                    assertTrue(sxx < window * 4e-6, what + ": sound where ffmpeg has silence at frame " + from);
                    continue;
                }
                double r = sxy / Math.sqrt(sxx * syy);
                assertTrue(r >= minimum, String.format(Locale.ROOT, "%s: channel %d, frames %d to %d correlate"
                        + " %.5f with the reference", what, c, from, from + window, r));
            }
        }
    }

    /** The offset into ffmpeg's frames, within 700 of {@code expected}, where ours correlates best. */
    static int bestLag(Decoded ours, Decoded ref, int c, int expected) {
        int ch = ours.channels;
        int n = Math.min(ours.frames(), 8192);
        int best = expected;
        double bestSum = -1e300;
        for (int lag = Math.max(0, expected - 700); lag <= expected + 700; lag++) {
            if (lag + n > ref.frames()) {
                break;
            }
            double s = 0;
            for (int i = 0; i < n; i += 3) {
                s += ours.pcm[i * ch + c] * ref.ref[(i + lag) * ch + c];
            }
            if (s > bestSum) {
                bestSum = s;
                best = lag;
            }
        }
        return best;
    }

    // -----------------------------------------------------------------
    // Files written byte by byte

    static byte[] le16(int v) {
        return new byte[] {(byte) v, (byte) (v >> 8)};
    }

    static byte[] le32(long v) {
        return new byte[] {(byte) v, (byte) (v >> 8), (byte) (v >> 16), (byte) (v >> 24)};
    }

    static byte[] concat(byte[]... parts) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        for (byte[] p : parts) {
            out.writeBytes(p);
        }
        return out.toByteArray();
    }

    /** A chunk whose size field says {@code declared}, with its pad byte when {@code pad}. */
    static byte[] chunk(String id, long declared, byte[] body, boolean pad) {
        return concat(id.getBytes(StandardCharsets.ISO_8859_1), le32(declared), body,
                pad && body.length % 2 == 1 ? new byte[1] : new byte[0]);
    }

    static byte[] chunk(String id, byte[] body) {
        return chunk(id, body.length, body, true);
    }

    /** A RIFF (or RF64) WAVE file of these chunks, its size field {@code declared} or, when negative, true. */
    static Path riff(String name, String magic, long declared, byte[]... chunks) throws IOException {
        byte[] body = concat(chunks);
        Path f = dir.resolve(name);
        Files.write(f, concat(magic.getBytes(StandardCharsets.ISO_8859_1),
                le32(declared >= 0 ? declared : body.length + 4), "WAVE".getBytes(StandardCharsets.ISO_8859_1),
                body));
        return f;
    }

    static byte[] fmt(int tag, int channels, int bits, int blockAlign) {
        return concat(le16(tag), le16(channels), le32(RATE), le32((long) RATE * blockAlign), le16(blockAlign),
                le16(bits));
    }

    /** WAVE_FORMAT_EXTENSIBLE: {@code bits} a container, {@code valid} of them used, stereo. */
    static byte[] fmtExtensible(int tag, int bits, int valid) {
        return concat(fmt(0xFFFE, 2, bits, 2 * bits / 8), le16(22), le16(valid), le32(3), le16(tag),
                new byte[] {0, 0, 0, 0, 0x10, 0, (byte) 0x80, 0, 0, (byte) 0xAA, 0, 0x38, (byte) 0x9B, 0x71});
    }

    /** The master, interleaved, each sample coded into {@code bytes} little-endian bytes by {@code code}. */
    static byte[] samples(int bytes, java.util.function.DoubleToLongFunction code) {
        ByteBuffer b = ByteBuffer.allocate(FRAMES * 2 * bytes).order(ByteOrder.LITTLE_ENDIAN);
        for (int i = 0; i < FRAMES; i++) {
            for (int c = 0; c < 2; c++) {
                long v = code.applyAsLong(master[c][i]);
                for (int k = 0; k < bytes; k++) {
                    b.put((byte) (v >> (8 * k)));
                }
            }
        }
        return b.array();
    }

    static long scaled(double x, int bits) {
        double full = Math.pow(2, bits - 1);
        return (long) Math.max(-full, Math.min(full - 1, Math.round(x * full)));
    }

    /** Little-endian signed samples of {@code bytes} bytes as full-scale values: the reference where ffmpeg errs. */
    static Decoded written(byte[] data, int bytes, int channels) {
        Decoded d = new Decoded();
        d.channels = channels;
        d.rate = RATE;
        d.ref = new double[data.length / bytes];
        for (int i = 0; i < d.ref.length; i++) {
            long v = data[i * bytes + bytes - 1];
            for (int k = bytes - 2; k >= 0; k--) {
                v = (v << 8) | (data[i * bytes + k] & 0xff);
            }
            d.ref[i] = v / Math.pow(2, 8 * bytes - 1);
        }
        return d;
    }

    static void run(String... cmd) throws Exception {
        Launcher.Result r = Launcher.run(List.of(cmd), null);
        assertEquals(0, r.exit, r.toString());
    }

    // -----------------------------------------------------------------
    // The corpus

    @Test
    void wavLayoutsGiveFfmpegsSamples() throws Exception {
        byte[] pcm16 = samples(2, x -> scaled(x, 16));
        byte[] fmt16 = chunk("fmt ", fmt(1, 2, 16, 4));
        byte[] list = chunk("LIST", concat("INFOISFT".getBytes(StandardCharsets.ISO_8859_1), le32(5),
                "tool\0".getBytes(StandardCharsets.ISO_8859_1), new byte[1]));
        List<Path> files = new ArrayList<>();
        files.add(riff("u8.wav", "RIFF", -1, chunk("fmt ", fmt(1, 2, 8, 2)),
                chunk("data", samples(1, x -> scaled(x, 8) + 128))));
        files.add(riff("s16.wav", "RIFF", -1, fmt16, chunk("data", pcm16)));
        files.add(riff("s24.wav", "RIFF", -1, chunk("fmt ", fmt(1, 2, 24, 6)),
                chunk("data", samples(3, x -> scaled(x, 24)))));
        files.add(riff("s32.wav", "RIFF", -1, chunk("fmt ", fmt(1, 2, 32, 8)),
                chunk("data", samples(4, x -> scaled(x, 32)))));
        files.add(riff("s20in24.wav", "RIFF", -1, chunk("fmt ", fmt(1, 2, 20, 6)),
                chunk("data", samples(3, x -> scaled(x, 20) << 4))));
        files.add(riff("f32.wav", "RIFF", -1, chunk("fmt ", fmt(3, 2, 32, 8)),
                chunk("data", samples(4, x -> Float.floatToIntBits((float) x)))));
        files.add(riff("f64.wav", "RIFF", -1, chunk("fmt ", fmt(3, 2, 64, 16)),
                chunk("data", samples(8, Double::doubleToLongBits))));
        files.add(riff("ext16.wav", "RIFF", -1, chunk("fmt ", fmtExtensible(1, 16, 16)), chunk("data", pcm16)));
        files.add(riff("extf32.wav", "RIFF", -1, chunk("fmt ", fmtExtensible(3, 32, 32)),
                chunk("data", samples(4, x -> Float.floatToIntBits((float) x)))));
        // Chunks around the samples: LIST, fact, odd-sized ones with their pad byte, unknown ones.
        files.add(riff("chunks.wav", "RIFF", -1, chunk("JUNK", new byte[27]), fmt16, chunk("fact", le32(FRAMES)),
                chunk("odd!", new byte[] {1, 2, 3}), list, chunk("data", pcm16), list, chunk("id3 ", new byte[9])));
        // Odd-sized data: 8-bit mono, an odd number of frames, its pad byte, then more chunks.
        byte[] mono8 = Arrays.copyOf(samples(1, x -> scaled(x, 8) + 128), FRAMES + 1);
        files.add(riff("odd8.wav", "RIFF", -1, chunk("fmt ", fmt(1, 1, 8, 1)), chunk("data", mono8), list));
        // Sizes that writers which stream leave behind, and wrong RIFF sizes.
        files.add(riff("streamed.wav", "RIFF", 0xFFFFFFFFL, fmt16, chunk("data", 0xFFFFFFFFL, pcm16, false)));
        files.add(riff("zero.wav", "RIFF", 0, fmt16, chunk("data", 0, pcm16, false)));
        // RF64: the sizes in the ds64 chunk.
        byte[] ds64 = chunk("ds64", concat(le32(pcm16.length + 36), le32(0), le32(pcm16.length), le32(0),
                le32(FRAMES), le32(0), le32(0)));
        files.add(riff("rf64.wav", "RF64", 0xFFFFFFFFL, ds64, fmt16, chunk("data", 0xFFFFFFFFL, pcm16, false)));
        // G.711, and more samples after a sox header.
        run("sox", dir.resolve("s16.wav").toString(), "-e", "a-law", dir.resolve("alaw.wav").toString());
        run("sox", dir.resolve("s16.wav").toString(), "-e", "u-law", dir.resolve("ulaw.wav").toString());
        files.add(dir.resolve("alaw.wav"));
        files.add(dir.resolve("ulaw.wav"));
        allLossless(files);
        // 24 valid bits in 32-bit containers: ffmpeg 5.1 takes them for 24-bit floats and sox refuses them, so
        // the reference is what was written.
        byte[] in32 = samples(4, x -> scaled(x, 24) << 8);
        Path ext24 = riff("ext24in32.wav", "RIFF", -1, chunk("fmt ", fmtExtensible(1, 32, 24)), chunk("data", in32));
        assertLossless("ext24in32.wav", ours(ext24), written(in32, 4, 2));

        // Cut short: inside a sample, and before the end that the header states: a warning and what is there.
        byte[] whole = Files.readAllBytes(dir.resolve("s16.wav"));
        byte[] streamed = Files.readAllBytes(dir.resolve("streamed.wav"));
        List<Path> cuts = new ArrayList<>();
        for (int cut : new int[] {whole.length - 1, whole.length - 3, whole.length / 2 + 1}) {
            cuts.add(dir.resolve("cut" + cut + ".wav"));
            Files.write(cuts.get(cuts.size() - 1), Arrays.copyOf(whole, cut));
        }
        cuts.add(dir.resolve("streamed-cut.wav"));
        Files.write(cuts.get(3), Arrays.copyOf(streamed, streamed.length - 3));
        List<Decoded> refs = ffmpeg(cuts);
        for (int i = 0; i < cuts.size(); i++) {
            Decoded d = ours(cuts.get(i));
            assertLossless(cuts.get(i).getFileName().toString(), d, refs.get(i));
            String expected = i < 3 ? "ends after" : "in the middle of a frame";
            assertTrue(d.warning != null && d.warning.contains(expected), cuts.get(i) + ": " + d.warning);
        }
    }

    /** The master as a 32-bit float WAV file, from which the encoders make the rest. */
    static Path masterFile() throws IOException {
        Path f = dir.resolve("master.wav");
        if (!Files.exists(f)) {
            riff("master.wav", "RIFF", -1, chunk("fmt ", fmt(3, 2, 32, 8)),
                    chunk("data", samples(4, x -> Float.floatToIntBits((float) Math.max(-1, Math.min(1, x))))));
        }
        return f;
    }

    /** A file that a command ("IN" its input, "OUT" the file) makes of the 32-bit float master. */
    static Path made(String name, String... cmd) throws Exception {
        return made(masterFile(), name, cmd);
    }

    static Path made(Path input, String name, String... cmd) throws Exception {
        Path f = dir.resolve(name);
        List<String> c = new ArrayList<>();
        for (String a : cmd) {
            c.add(a.equals("IN") ? input.toString() : a.equals("OUT") ? f.toString() : a);
        }
        run(c.toArray(new String[0]));
        return f;
    }

    /** Files that one run of ffmpeg encodes of {@code input}: each a name and the options that write it. */
    static List<Path> byFfmpeg(Path input, String[][] outputs) throws Exception {
        List<String> cmd = new ArrayList<>(List.of("ffmpeg", "-v", "error", "-nostdin", "-y", "-i", input.toString()));
        List<Path> files = new ArrayList<>();
        for (String[] o : outputs) {
            cmd.addAll(Arrays.asList(o).subList(1, o.length));
            files.add(dir.resolve(o[0]));
            cmd.add(files.get(files.size() - 1).toString());
        }
        run(cmd.toArray(new String[0]));
        return files;
    }

    static byte[] be32(long v) {
        return new byte[] {(byte) (v >> 24), (byte) (v >> 16), (byte) (v >> 8), (byte) v};
    }

    static byte[] beChunk(String id, byte[] body) {
        return concat(id.getBytes(StandardCharsets.ISO_8859_1), be32(body.length), body,
                new byte[body.length % 2]);
    }

    /** An AIFF file of these chunks. */
    static Path aiff(String name, byte[]... chunks) throws IOException {
        byte[] body = concat(chunks);
        Path f = dir.resolve(name);
        Files.write(f, concat("FORM".getBytes(StandardCharsets.ISO_8859_1), be32(body.length + 4),
                "AIFF".getBytes(StandardCharsets.ISO_8859_1), body));
        return f;
    }

    @Test
    void aiffAndAuGiveFfmpegsSamples() throws Exception {
        List<Path> files = new ArrayList<>();
        for (String bits : new String[] {"8", "16", "24", "32"}) {
            files.add(made("s" + bits + ".aiff", "sox", "IN", "-b", bits, "OUT"));
            files.add(made("s" + bits + ".au", "sox", "IN", "-b", bits, "-e", "signed", "OUT"));
        }
        files.add(made("none.aifc", "sox", "IN", "-b", "16", "-t", "aifc", "OUT"));
        files.addAll(byFfmpeg(masterFile(), new String[][] {{"sowt.aifc", "-c:a", "pcm_s16le", "-f", "aiff"},
                {"fl32.aifc", "-c:a", "pcm_f32be", "-f", "aiff"}, {"fl64.aifc", "-c:a", "pcm_f64be", "-f", "aiff"},
                {"alaw.aifc", "-c:a", "pcm_alaw", "-f", "aiff"}, {"ulaw.aifc", "-c:a", "pcm_mulaw", "-f", "aiff"}}));
        for (String[] e : new String[][] {{"f32.au", "floating-point", "32"}, {"f64.au", "floating-point", "64"},
                {"ulaw.au", "u-law", "8"}, {"alaw.au", "a-law", "8"}}) {
            files.add(made(e[0], "sox", "IN", "-e", e[1], "-b", e[2], "OUT"));
        }
        // By hand: the format after the samples, an odd-sized chunk, an offset into the sound data.
        byte[] be16 = samples(2, x -> Short.reverseBytes((short) scaled(x, 16)));
        byte[] comm = beChunk("COMM", concat(new byte[] {0, 2}, be32(FRAMES), new byte[] {0, 16},
                new byte[] {0x40, 0x0E, (byte) 0xAC, 0x44, 0, 0, 0, 0, 0, 0}));
        byte[] ssnd = beChunk("SSND", concat(be32(4), be32(0), new byte[4], be16));
        files.add(aiff("late-comm.aiff", beChunk("ANNO", "abc".getBytes(StandardCharsets.ISO_8859_1)), ssnd, comm));
        files.add(aiff("early-comm.aiff", comm, beChunk("NAME", "odd".getBytes(StandardCharsets.ISO_8859_1)), ssnd,
                beChunk("ANNO", new byte[5])));
        // AU: an annotation before the samples, and the size of a stream.
        byte[] au = Files.readAllBytes(dir.resolve("s16.au"));
        int offset = java.nio.ByteBuffer.wrap(au).getInt(4);
        byte[] data = Arrays.copyOfRange(au, offset, au.length);
        Path streamed = dir.resolve("streamed.au");
        Files.write(streamed, concat(".snd".getBytes(StandardCharsets.ISO_8859_1), be32(32), be32(0xFFFFFFFFL),
                be32(3), be32(RATE), be32(2), "annotate".getBytes(StandardCharsets.ISO_8859_1), data));
        files.add(streamed);
        allLossless(files);

        // Cut short, inside a sample: the whole frames and a warning.
        List<Path> cuts = new ArrayList<>();
        for (String name : new String[] {"s24.aiff", "s16.au"}) {
            byte[] whole = Files.readAllBytes(dir.resolve(name));
            cuts.add(dir.resolve("cut-" + name));
            Files.write(cuts.get(cuts.size() - 1), Arrays.copyOf(whole, whole.length - 2));
        }
        List<Decoded> refs = ffmpeg(cuts);
        for (int i = 0; i < cuts.size(); i++) {
            Decoded d = ours(cuts.get(i));
            assertLossless(cuts.get(i).getFileName().toString(), d, refs.get(i));
            assertNotNull(d.warning, cuts.get(i).toString());
        }
    }

    /** The master at 16 bits, which the lossy encoders take. */
    static Path master16() throws IOException {
        Path f = dir.resolve("master16.wav");
        if (!Files.exists(f)) {
            riff("master16.wav", "RIFF", -1, chunk("fmt ", fmt(1, 2, 16, 4)),
                    chunk("data", samples(2, x -> scaled(x, 16))));
        }
        return f;
    }

    /** A lossy file that a command makes of the 16-bit master. */
    static Path encoded(String name, String... cmd) throws Exception {
        return made(master16(), name, cmd);
    }

    /** Files joined end to end, as {@code cat} joins them. */
    static Path joined(String name, Path... parts) throws IOException {
        Path f = dir.resolve(name);
        List<byte[]> all = new ArrayList<>();
        for (Path p : parts) {
            all.add(Files.readAllBytes(p));
        }
        Files.write(f, concat(all.toArray(new byte[0][])));
        return f;
    }

    /** References one after the other, each as {@code channels} channels (a mono one on both sides). */
    static Decoded concatenated(int channels, Decoded... parts) {
        Decoded d = new Decoded();
        d.channels = channels;
        d.rate = parts[0].rate;
        int frames = 0;
        for (Decoded p : parts) {
            frames += p.frames();
        }
        d.ref = new double[frames * channels];
        int at = 0;
        for (Decoded p : parts) {
            for (int i = 0; i < p.frames(); i++, at++) {
                for (int c = 0; c < channels; c++) {
                    d.ref[at * channels + c] = p.ref[i * p.channels + Math.min(c, p.channels - 1)];
                }
            }
        }
        return d;
    }

    /** The lowest correlation the lossy decoders may show against ffmpeg's in a window. */
    static final double LOSSY = 0.995;

    @Test
    void mp3GivesFfmpegsMusicWhereTheReadmeSaysIt() throws Exception {
        Path art = dir.resolve("cover.jpg");
        byte[] picture = new byte[60000];
        new java.util.Random(7).nextBytes(picture);
        System.arraycopy(new byte[] {(byte) 0xFF, (byte) 0xD8, (byte) 0xFF, (byte) 0xE0}, 0, picture, 0, 4);
        Files.write(art, picture);
        Path cbr = encoded("cbr.mp3", "lame", "--quiet", "-b", "128", "IN", "OUT");
        Path vbr = encoded("vbr.mp3", "lame", "--quiet", "-V", "2", "IN", "OUT");
        List<Path> files = new ArrayList<>(List.of(cbr, vbr,
                // ID3v2 with a picture whose bytes look like frames, and ID3v1 at the end.
                encoded("tags.mp3", "lame", "--quiet", "-b", "160", "--add-id3v2", "--tt", "Title", "--ta", "Artist",
                        "--ti", art.toString(), "IN", "OUT"),
                encoded("mono22.mp3", "lame", "--quiet", "-m", "m", "--resample", "22.05", "-b", "64", "IN", "OUT"),
                // No LAME tag: only the decoder's delay goes, which ffmpeg keeps.
                encoded("untagged.mp3", "lame", "--quiet", "-t", "-b", "128", "IN", "OUT"),
                // MPEG-2.5 at 8 kHz, whose frames are too small for the tag.
                encoded("low8.mp3", "lame", "--quiet", "--resample", "8", "-b", "16", "IN", "OUT")));
        files.addAll(byFfmpeg(master16(), new String[][] {{"ffmpeg.mp3", "-c:a", "libmp3lame", "-b:a", "128k"},
                {"layer2.mp2", "-c:a", "mp2"}}));
        int[] lags = {0, 0, 0, 0, 529, 529, 0, 0};
        // Files joined end to end: each plays whole, as it does alone.
        files.add(joined("joined.mp3", cbr, vbr));
        // Cut inside a frame: the whole frames and a warning; ffmpeg makes one more frame of what is left.
        byte[] whole = Files.readAllBytes(cbr);
        Path cut = dir.resolve("cut.mp3");
        Files.write(cut, Arrays.copyOf(whole, whole.length * 2 / 3));
        files.add(cut);
        List<Decoded> refs = ffmpeg(files);
        for (int i = 0; i < lags.length; i++) {
            Decoded d = ours(files.get(i));
            assertSameAudio(files.get(i).getFileName().toString(), d, refs.get(i), lags[i], 0, LOSSY);
            assertNull(d.warning, files.get(i) + ": " + d.warning);
        }
        assertSameAudio("joined.mp3", ours(files.get(8)), concatenated(2, refs.get(0), refs.get(1)), 0, 0, LOSSY);
        Decoded d = ours(cut);
        assertSameAudio("cut.mp3", d, refs.get(9), 0, 1152, LOSSY);
        assertTrue(d.warning != null && d.warning.contains("ends inside an MP3 frame"), d.warning);
    }

    /** A sweep whose last page the sound provider's decoder lost (1.50 s of 2). */
    static Path sweep() throws Exception {
        Path tone = dir.resolve("sweep.ogg");
        if (!Files.exists(tone)) {
            Path wav = dir.resolve("sweep.wav");
            run("sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav.toString(), "synth", "2", "sine", "440:880");
            run("oggenc", "-Q", wav.toString(), "-o", tone.toString());
        }
        return tone;
    }

    @Test
    void oggVorbisGivesFfmpegsMusicToItsLastPage() throws Exception {
        Path stereo = encoded("v.ogg", "oggenc", "-Q", "-q", "4", "IN", "-o", "OUT");
        Path mono = encoded("mono.ogg", "oggenc", "-Q", "-q", "10", "--downmix", "IN", "-o", "OUT");
        // Comment headers over many pages (album art is carried this way).
        String big = "x".repeat(100000);
        Path comments = encoded("comments.ogg", "oggenc", "-Q", "-c", "ART=" + big, "-c", "MORE=" + big, "IN", "-o",
                "OUT");
        Path tone = sweep();
        // Cut inside a page: every whole page, and a warning.
        byte[] whole = Files.readAllBytes(stereo);
        Path cut = dir.resolve("cut.ogg");
        Files.write(cut, Arrays.copyOf(whole, whole.length - 100));
        // A page that fails its checksum: passed over, as ffmpeg passes it, and said.
        Path damaged = dir.resolve("damaged.ogg");
        whole[whole.length / 2] ^= 0x55;
        Files.write(damaged, whole);
        List<Decoded> refs = ffmpeg(List.of(stereo, mono, comments, tone, cut, damaged));
        for (int i = 0; i < 4; i++) {
            Path f = List.of(stereo, mono, comments, tone).get(i);
            Decoded d = ours(f);
            assertSameAudio(f.getFileName().toString(), d, refs.get(i), 0, 0, LOSSY);
            assertNull(d.warning, f + ": " + d.warning);
        }
        assertEquals(88200, ours(tone).frames());
        Decoded d = ours(cut);
        assertSameAudio("cut.ogg", d, refs.get(4), 0, 0, LOSSY);
        assertTrue(d.warning != null && d.warning.contains("cut short"), d.warning);
        d = ours(damaged);
        assertEquals(refs.get(5).frames(), d.frames());
        assertTrue(d.warning != null && d.warning.contains("is damaged"), d.warning);

        // Chained: one stream after another, the same one twice (its serial number repeated), a mono one
        // played on both sides. ffmpeg's own reading of a chain adds 128 frames at each seam, so the
        // reference is its reading of each stream.
        Path chain = joined("chain.ogg", stereo, tone, stereo, mono);
        d = ours(chain);
        assertSameAudio("chain.ogg", d, concatenated(2, refs.get(0), refs.get(3), refs.get(0), refs.get(1)), 0, 0,
                LOSSY);
        assertNull(d.warning, d.warning);

        // Seven and eight channels, each its own tone: mixed to stereo as the WAV file they were made of is.
        for (int ch : new int[] {7, 8}) {
            ByteBuffer b = ByteBuffer.allocate(FRAMES * ch * 2).order(ByteOrder.LITTLE_ENDIAN);
            for (int i = 0; i < FRAMES; i++) {
                for (int c = 0; c < ch; c++) {
                    b.putShort((short) Math.round(8000 * Math.sin(2 * Math.PI * (300 + 170 * c) * i / RATE)));
                }
            }
            Path wav = riff("surround" + ch + ".wav", "RIFF", -1, chunk("fmt ", fmt(1, ch, 16, 2 * ch)),
                    chunk("data", b.array()));
            Decoded mixed = ours(wav);
            Decoded wanted = written(TestAudio.le16(mixed.pcm), 2, 2);
            assertSameAudio("surround" + ch + ".ogg", ours(made(wav, "surround" + ch + ".ogg", "oggenc", "-Q", "IN",
                    "-o", "OUT")), wanted, 0, 0, 0.99);
        }

        // A stream on one page, its first also its last: the position it ends at cuts the end, as the
        // format says. ffmpeg trims such a stream by other rules (by 111 or -128 frames here), so the
        // reference is the WAV file it was made of.
        byte[] tenth = Arrays.copyOf(samples(2, x -> scaled(x, 16)), 4 * 4410);
        Path shortWav = riff("short.wav", "RIFF", -1, chunk("fmt ", fmt(1, 2, 16, 4)), chunk("data", tenth));
        Path onePage = dir.resolve("one-page.ogg");
        run("oggenc", "-Q", shortWav.toString(), "-o", onePage.toString());
        assertSameAudio("one-page.ogg", ours(onePage), written(tenth, 2, 2), 0, 0, 0.8);
    }

    @Test
    void formatsThatFfmpegDecodesComeThroughItUnchanged() throws Exception {
        List<Path> files = byFfmpeg(masterFile(), new String[][] {{"in.flac", "-sample_fmt", "s32"},
                {"in.opus", "-c:a", "libopus", "-ar", "48000"}, {"in.m4a", "-c:a", "aac"},
                {"adpcm.wav", "-c:a", "adpcm_ms"}, {"gsm.wav", "-c:a", "gsm_ms", "-ar", "8000", "-ac", "1"}});
        List<Decoded> refs = ffmpeg(files);
        // A 24-bit FLAC file is rounded to 16 bits as a 24-bit WAV file is.
        assertLossless("in.flac", ours(files.get(0)), refs.get(0));
        for (int k = 1; k < files.size(); k++) {
            Decoded d = ours(files.get(k));
            Decoded ref = refs.get(k);
            assertEquals(ref.frames(), d.frames(), files.get(k).toString());
            for (int i = 0; i < d.pcm.length; i++) {
                // The float decoders' samples reach the readers at 32 bits.
                assertEquals(rounded(ref.ref[i]), d.pcm[i], 1, files.get(k) + " sample " + i);
            }
        }
        // From standard input too: the header that was read to find the encoding is handed on with the rest.
        assertEquals(Arrays.toString(ours(files.get(3)).pcm), Arrays.toString(fromStandardInput(files.get(3)).pcm));
        // Ogg Vorbis in 5.1, whose headers JOrbis refuses, goes to ffmpeg too.
        String m = master16().toString();
        Path six = dir.resolve("six.wav");
        run("sox", "-M", m, m, m, six.toString());
        Path sixOgg = made(six, "six.ogg", "oggenc", "-Q", "IN", "-o", "OUT");
        Decoded d = ours(sixOgg);
        assertTrue(d.refusal == null && d.channels == 2 && d.frames() == FRAMES, d.refusal);
    }

    /** The file as the readers take it on standard input. */
    static Decoded fromStandardInput(Path file) throws IOException {
        java.io.InputStream stdin = System.in;
        try (java.io.InputStream in = Files.newInputStream(file)) {
            System.setIn(in);
            return ours(Path.of("-"));
        } finally {
            System.setIn(stdin);
        }
    }

    /** Runs the command line in this JVM and wants exit 1 with a message holding every part and no exception. */
    static void refused(String[] parts, String... args) {
        Launcher.Result r = Launcher.inProcess(args);
        assertEquals(1, r.exit, r.toString());
        for (String part : parts) {
            assertTrue(r.err.contains(part), "message lacks '" + part + "': " + r);
        }
        assertTrue(!r.err.contains("Exception") && !r.err.contains("installed?"), r.toString());
    }

    static String[] msg(String... parts) {
        return parts;
    }

    @Test
    void whatCannotBeReadIsRefusedWithTheReason() throws Exception {
        String out = dir.resolve("refused.wav").toString();
        Path outDir = dir.resolve("refused");
        byte[] fmt16 = chunk("fmt ", fmt(1, 2, 16, 4));
        // An empty data chunk followed by a LIST chunk: no audio, not the LIST chunk's bytes.
        byte[] list = chunk("LIST", concat("INFOISFT".getBytes(StandardCharsets.ISO_8859_1), le32(6),
                "tools\0".getBytes(StandardCharsets.ISO_8859_1)));
        Path empty = riff("empty-list.wav", "RIFF", -1, fmt16, chunk("data", new byte[0]), list);
        refused(msg("holds no audio"), "stretch", empty.toString(), out);
        assertEquals("standard input holds no audio", fromStandardInput(empty).refusal);
        // A block align that disagrees with the format: a damaged header, not an unsupported format.
        Path align = riff("align3.wav", "RIFF", -1, chunk("fmt ", fmt(1, 1, 16, 3)), chunk("data", new byte[300]));
        refused(msg("damaged WAV file", "3 bytes a frame", "1 channel of 16-bit PCM takes 2"), "stretch",
                align.toString(), out);
        // MP3 files too short for a frame of music: cut inside the Info frame or the first frame after it.
        Path mp3 = encoded("short.mp3", "lame", "--quiet", "-b", "128", "IN", "OUT");
        byte[] whole = Files.readAllBytes(mp3);
        for (int size : new int[] {300, 600}) {
            Path cut = dir.resolve("cut" + size + ".mp3");
            Files.write(cut, Arrays.copyOf(whole, size));
            refused(msg("holds no audio", "cut short"), "stretch", cut.toString(), out);
        }
        // Ogg Vorbis cut inside its headers, in every command that reads it.
        Path ogg = encoded("headers.ogg", "oggenc", "-Q", "IN", "-o", "OUT");
        whole = Files.readAllBytes(ogg);
        for (int size : new int[] {58, 200, 1000, 3000}) {
            Path cut = dir.resolve("cut" + size + ".ogg");
            Files.write(cut, Arrays.copyOf(whole, size));
            String[] why = msg(cut + " is cut short", "inside its Ogg Vorbis headers");
            refused(why, "stretch", cut.toString(), out);
            refused(why, "play", cut.toString());
            refused(why, "stretch", cut.toString(), "--out-dir", outDir.toString());
        }
        // A chain whose second stream is at another rate: an error, not a file that ends there.
        Path rate48 = made(ogg, "48k.wav", "ffmpeg", "-v", "error", "-i", "IN", "-ar", "48000", "OUT");
        Path other = made(rate48, "48k.ogg", "oggenc", "-Q", "IN", "-o", "OUT");
        refused(msg("its stream 2, from 0.50 s on, is at 48000 Hz"), "stretch", joined("rates.ogg", ogg, other)
                .toString(), out);
        // Without ffmpeg, what needs it says so, and a program named that does not exist is called that.
        List<Path> needs = byFfmpeg(masterFile(), new String[][] {{"needs.wav", "-c:a", "adpcm_ima_wav"},
                {"needs.flac"}});
        Path adpcm = needs.get(0);
        Path flac = needs.get(1);
        System.setProperty("tambrino.ffmpeg", "/nonexistent/ff");
        try {
            refused(msg("IMA ADPCM", "ffmpeg opens it", "/nonexistent/ff, does not exist"), "stretch",
                    adpcm.toString(), out);
            refused(msg("is FLAC", "/nonexistent/ff, does not exist"), "stretch", flac.toString(), out);
        } finally {
            System.clearProperty("tambrino.ffmpeg");
        }
        assertTrue(Files.notExists(Path.of(out)) && Files.notExists(outDir.resolve("cut58.wav")));
    }

    @Test
    void everyCommandAndTheApiGetTheWholeFile() throws Exception {
        Path tone = sweep();
        Path v = encoded("api.ogg", "oggenc", "-Q", "-q", "4", "IN", "-o", "OUT");
        Path chain = joined("api-chain.ogg", tone, v);
        Path cbr = encoded("api.mp3", "lame", "--quiet", "-b", "128", "IN", "OUT");
        Path mp3s = joined("api-joined.mp3", cbr, cbr);
        List<Decoded> refs = ffmpeg(List.of(tone, v, cbr));
        int[] frames = {refs.get(0).frames(), refs.get(0).frames() + refs.get(1).frames(), 2 * refs.get(2).frames()};
        Path[] inputs = {tone, chain, mp3s};
        assertEquals(88200, frames[0]);

        // stretch, alone and several at once, at tempo 1 in exact mode: as many frames out as in.
        Launcher.Result r = Launcher.inProcess("stretch", tone.toString(), dir.resolve("one.wav").toString(),
                "--tempo", "1", "--quality", "exact");
        assertEquals(0, r.exit, r.toString());
        assertEquals(frames[0], TestAudio.read16(dir.resolve("one.wav")).frames());
        r = Launcher.inProcess("stretch", chain.toString(), mp3s.toString(), "--out-dir", dir.resolve("many").toString(),
                "--tempo", "1", "--quality", "exact");
        assertEquals(0, r.exit, r.toString());
        assertEquals(frames[1], TestAudio.read16(dir.resolve("many/api-chain.wav")).frames());
        assertEquals(frames[2], TestAudio.read16(dir.resolve("many/api-joined.wav")).frames());
        // play: the last half second, which lies in the page that was lost.
        r = Launcher.inProcess("play", tone.toString(), "--start", "1.5", "--tempo", "1", "--quality", "exact",
                "--output-file", dir.resolve("heard.wav").toString());
        assertEquals(0, r.exit, r.toString());
        assertEquals(frames[0] - 66150, TestAudio.read16(dir.resolve("heard.wav")).frames());

        // TempoStream.of on the stream that Java's sound providers open.
        for (int k = 0; k < inputs.length; k++) {
            try (javax.sound.sampled.AudioInputStream in = javax.sound.sampled.AudioSystem.getAudioInputStream(
                    inputs[k].toFile());
                 javax.sound.sampled.AudioInputStream same = quorvel.tambrino.TempoStream.of(in, 1.0)) {
                assertEquals(frames[k], same.readAllBytes().length / 4, inputs[k].toString());
            }
        }
    }
}
