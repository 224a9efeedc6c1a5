// Tests: the tool end to end, measured on the audio it writes.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.amplitude;
import static quorvel.tambrino.cli.TestAudio.db;
import static quorvel.tambrino.cli.TestAudio.sine;
import static quorvel.tambrino.cli.TestAudio.sum;

import java.awt.image.BufferedImage;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import javax.imageio.ImageIO;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quorvel.tambrino.NativeInterface;
import quorvel.tambrino.practice.SpectrumPicture;
import quorvel.tambrino.practice.Stretcher;

/**
 * The tool end to end, through the launcher and the real engine, measured on
 * the audio it writes, in exact mode (whose output length is a whole number
 * of synthesis hops per analysis hop of input).
 */
class StretchTest {
    static final int RATE = 44100;

    @TempDir
    Path dir;

    private TestAudio.Wav stretch(Path in, String out, String... options) throws Exception {
        List<String> args = new ArrayList<>(List.of("stretch", in.toString(), dir.resolve(out).toString(),
                "--quality", "exact"));
        args.addAll(Arrays.asList(options));
        Launcher.Result r = Launcher.tambrino(args.toArray(new String[0]));
        assertEquals(0, r.exit, r.toString());
        return TestAudio.read16(dir.resolve(out));
    }

    @Test
    void durationIsInputOverTempoAndTheSineKeepsItsPitch() throws Exception {
        int frames = (int) (1.3 * RATE);
        Path in = dir.resolve("a440.wav");
        TestAudio.write16(in, TestAudio.pcm16(frames, 1, sine(440, 0.5, RATE)), 1, RATE);
        for (double tempo : new double[] {0.5, 0.75, 1.0, 1.5}) {
            TestAudio.Wav w = stretch(in, "out-" + tempo + ".wav", "--tempo", Double.toString(tempo));
            assertEquals(1, w.channels);
            assertEquals(RATE, w.rate);
            int hop = NativeInterface.synthesisHop(2048, 4, tempo);
            assertEquals(Math.round((double) frames * hop / 512), w.frames(), "tempo " + tempo);
            assertTrue(Math.abs(w.frames() - frames / tempo) <= hop, "tempo " + tempo + ": " + w.frames());

            double[] x = w.channel(0);
            int margin = (int) (0.2 * RATE);
            double f = TestAudio.frequency(x, margin, x.length - margin, RATE);
            double semitones = 12 * Math.log(f / 440) / Math.log(2);
            assertTrue(Math.abs(semitones) < 0.1, "tempo " + tempo + ": " + f + " Hz");
            // No silent hop anywhere. (The engine plays a steady sine about 2.5 dB below its input, and
            // with a synthesis hop of half the frame, at tempo 0.5, its level ripples by about a third.)
            double a = amplitude(x, margin, x.length - margin, 440, RATE);
            assertTrue(Math.abs(db(a / 0.5)) < 4, "tempo " + tempo + ": amplitude " + a);
            assertTrue(minBlockRms(x, margin, x.length - margin, 256) > 0.5 * a / Math.sqrt(2),
                    "tempo " + tempo + ": a dropout");
        }
    }

    /**
     * Clipping is told: the summary counts the samples written at full scale
     * and names a preamp that avoids them, which it does; the fine mode's
     * limiter keeps +12 dB below full scale and says so.
     */
    @Test
    void transposeCentsAndTuningMoveThePitchAndKeepTheDuration() throws Exception {
        int frames = (int) (2.0 * RATE);
        Path in = dir.resolve("a440-stereo.wav");
        TestAudio.write16(in, TestAudio.pcm16(frames, 2, sine(440, 0.5, RATE), sine(440, 0.5, RATE)), 2, RATE);
        Object[][] cases = {
            {new String[] {"--transpose", "-2", "--tempo", "0.8"}, -2.0, "transposed -2 semitones", 0.8},
            {new String[] {"--transpose", "+1.5", "--cents", "-20"}, 1.3, "transposed +1.3 semitones", 1.0},
            {new String[] {"--tuning", "452"}, 12 * Math.log(440 / 452.0) / Math.log(2), "transposed -47 cents", 1.0},
            {new String[] {"--varispeed", "0.9"}, 12 * Math.log(0.9) / Math.log(2), "tempo 0.9, transposed -1.82", 0.9}};
        for (Object[] c : cases) {
            String[] opts = (String[]) c[0];
            List<String> args = new ArrayList<>(List.of("stretch", in.toString(), dir.resolve("t.wav").toString()));
            args.addAll(Arrays.asList(opts));
            Launcher.Result r = Launcher.tambrino(args.toArray(new String[0]));
            assertEquals(0, r.exit, r.toString());
            assertTrue(r.out.contains((String) c[2]), r.toString());
            TestAudio.Wav w = TestAudio.read16(dir.resolve("t.wav"));
            double tempo = (double) c[3];
            assertEquals(Math.round(frames / tempo), w.frames(), r.toString());
            double[] x = w.channel(1);
            int margin = (int) (0.3 * RATE);
            double f = TestAudio.frequency(x, margin, x.length - margin, RATE);
            double cents = 1200 * Math.log(f / 440) / Math.log(2);
            assertEquals(100 * (double) c[1], cents, 1.0, r.toString());
        }
        Launcher.Result r = Launcher.tambrino("stretch", in.toString(), dir.resolve("x.wav").toString(),
                "--transpose", "1", "--quality", "exact");
        assertEquals(2, r.exit, r.toString());
        r = Launcher.tambrino("stretch", in.toString(), dir.resolve("x.wav").toString(), "--transpose", "20",
                "--cents", "450");
        assertEquals(2, r.exit, r.toString());
        assertTrue(!Files.exists(dir.resolve("x.wav")), r.toString());
    }

    @Test
    void fullScaleSamplesAreCountedAndTheSuggestedPreampAvoidsThem() throws Exception {
        Path in = dir.resolve("loud.wav");
        TestAudio.write16(in, TestAudio.pcm16(RATE, 2, sine(440, 0.9, RATE), sine(660, 0.9, RATE)), 2, RATE);
        Launcher.Result r = Launcher.tambrino("stretch", in.toString(), dir.resolve("clipped.wav").toString(),
                "--quality", "exact", "--preamp", "12");
        java.util.regex.Matcher m = java.util.regex.Pattern
                .compile(", ([0-9,]+) samples at full scale \\(--preamp (-?[0-9.]+) avoids it\\)").matcher(r.out);
        assertTrue(m.find(), r.toString());
        assertEquals(fullScale(TestAudio.read16(dir.resolve("clipped.wav"))),
                Long.parseLong(m.group(1).replace(",", "")));
        String suggested = m.group(2);
        assertTrue(Double.parseDouble(suggested) < 12, r.toString());

        r = Launcher.tambrino("stretch", in.toString(), dir.resolve("fixed.wav").toString(), "--quality", "exact",
                "--preamp", suggested);
        assertEquals(0, fullScale(TestAudio.read16(dir.resolve("fixed.wav"))), r.toString());
        assertTrue(!r.out.contains("full scale"), r.toString());

        r = Launcher.tambrino("stretch", in.toString(), dir.resolve("fine.wav").toString(), "--preamp", "12");
        assertEquals(0, fullScale(TestAudio.read16(dir.resolve("fine.wav"))), r.toString());
        assertTrue(r.out.contains("held below full scale by the limiter (--preamp "), r.toString());
    }

    private static long fullScale(TestAudio.Wav w) {
        return Arrays.stream(toInts(w.samples)).filter(v -> Math.abs(v) >= 32767).count();
    }

    @Test
    void outputDoesNotDependOnTheBlockSize() throws Exception {
        int frames = (int) (1.7 * RATE);
        Path in = dir.resolve("mix.wav");
        TestAudio.write16(in, TestAudio.pcm16(frames, 2, sum(sine(220, 0.3, RATE), sine(1500, 0.2, RATE)),
                sum(sine(220, 0.3, RATE), sine(70, 0.3, RATE))), 2, RATE);
        String[] common = {"--tempo", "0.75", "--remove-voice", "--voice-amount", "0.8", "--eq", "200:3,4k:-6",
            "--preamp", "2"};
        TestAudio.Wav small = stretch(in, "b1024.wav", concat(common, "--block", "1024"));
        TestAudio.Wav large = stretch(in, "b8192.wav", concat(common, "--block", "8192"));
        assertEquals(small.frames(), large.frames());
        assertArrayEquals(small.samples, large.samples);
        assertTrue(Arrays.stream(toInts(small.samples)).anyMatch(s -> Math.abs(s) > 1000), "silent output");
    }

    /**
     * A file is decoded on a thread of its own while the engine runs, standard input on the engine's; the
     * analyser runs only for a picture. Neither changes a bit of the fine mode's output at its defaults.
     */
    @Test
    void readingAheadAndTheAnalyserChangeNoSample() throws Exception {
        int frames = (int) (2.3 * RATE);
        Path in = dir.resolve("song.wav");
        TestAudio.write16(in, TestAudio.pcm16(frames, 2, sum(sine(220, 0.3, RATE), sine(1500, 0.2, RATE)),
                sum(sine(330, 0.3, RATE), sine(70, 0.3, RATE))), 2, RATE);
        Launcher.Result r = Launcher.tambrino("stretch", in.toString(), dir.resolve("ahead.wav").toString(),
                "--tempo", "0.8", "--spectrum-png", dir.resolve("ahead.png").toString());
        assertEquals(0, r.exit, r.toString());
        String command = "exec \"$0\" stretch - " + dir.resolve("piped.wav") + " --tempo 0.8 < " + in;
        r = Launcher.run(List.of("bash", "-c", command, Launcher.launcher().toString()), null);
        assertEquals(0, r.exit, r.toString());
        byte[] ahead = Files.readAllBytes(dir.resolve("ahead.wav"));
        assertArrayEquals(ahead, Files.readAllBytes(dir.resolve("piped.wav")));
        assertTrue(ahead.length > 4 * frames / 0.8, "output too short: " + ahead.length);
    }

    @Test
    void voiceRemovalCancelsTheCentreAboveTheBassAndKeepsTheBass() throws Exception {
        int frames = (int) (1.5 * RATE);
        Path in = dir.resolve("centre.wav");
        var signal = sum(sine(1000, 0.3, RATE), sine(60, 0.3, RATE));
        TestAudio.write16(in, TestAudio.pcm16(frames, 2, signal, signal), 2, RATE);
        TestAudio.Wav plain = stretch(in, "plain.wav", "--tempo", "0.75");
        TestAudio.Wav removed = stretch(in, "removed.wav", "--tempo", "0.75", "--remove-voice");
        for (int c = 0; c < 2; c++) {
            double[] p = plain.channel(c);
            double[] r = removed.channel(c);
            int from = (int) (0.3 * RATE);
            int to = p.length - from;
            double voice = db(amplitude(r, from, to, 1000, RATE) / amplitude(p, from, to, 1000, RATE));
            double bass = db(amplitude(r, from, to, 60, RATE) / amplitude(p, from, to, 60, RATE));
            assertTrue(voice <= -30, "channel " + c + ": centred 1 kHz only " + voice + " dB lower");
            assertTrue(Math.abs(bass) < 3, "channel " + c + ": 60 Hz bass changed by " + bass + " dB");
        }
    }

    @Test
    void equaliserCutShowsInTheOutputSpectrum() throws Exception {
        int frames = RATE;
        Path in = dir.resolve("two.wav");
        TestAudio.write16(in, TestAudio.pcm16(frames, 1, sum(sine(300, 0.25, RATE), sine(3000, 0.25, RATE))), 1, RATE);
        double[] flat = stretch(in, "flat.wav").channel(0);
        double[] cut = stretch(in, "cut.wav", "--eq", "1000:0,2000:-24").channel(0);
        int from = (int) (0.2 * RATE);
        int to = flat.length - from;
        double high = db(amplitude(cut, from, to, 3000, RATE) / amplitude(flat, from, to, 3000, RATE));
        double low = db(amplitude(cut, from, to, 300, RATE) / amplitude(flat, from, to, 300, RATE));
        assertTrue(high < -20 && high > -28, "3 kHz changed by " + high + " dB, expected about -24");
        assertTrue(Math.abs(low) < 0.5, "300 Hz changed by " + low + " dB");
    }

    @Test
    void spectrumPictureHasTheExpectedSizeAndShowsTheNote() throws Exception {
        Path in = dir.resolve("a440.wav");
        TestAudio.write16(in, TestAudio.pcm16(RATE, 2, sine(440, 0.5, RATE), sine(440, 0.5, RATE)), 2, RATE);
        Path png = dir.resolve("picture.png");
        stretch(in, "out.wav", "--tempo", "0.75", "--spectrum-png", png.toString(), "--png-width", "400");
        BufferedImage img = ImageIO.read(png.toFile());
        assertEquals(SpectrumPicture.width(400), img.getWidth());
        assertEquals(SpectrumPicture.HEIGHT, img.getHeight());
        assertEquals(448, img.getWidth());
        // A4 (note 45) shines brighter than a note two octaves down, in the middle of the run.
        int x = SpectrumPicture.LEFT + 200;
        assertTrue(brightness(img.getRGB(x, rowY(45))) > 3 * brightness(img.getRGB(x, rowY(21))) + 100);
    }

    @Test
    void otherSampleFormatsAreConvertedTo16Bits() throws Exception {
        int frames = RATE / 2;
        short[] pcm = TestAudio.pcm16(frames, 2, sine(330, 0.6, RATE), sine(550, 0.4, RATE));
        Path ref = dir.resolve("ref16.wav");
        TestAudio.write16(ref, pcm, 2, RATE);
        ByteBuffer b24 = ByteBuffer.allocate(pcm.length * 3).order(ByteOrder.LITTLE_ENDIAN);
        ByteBuffer f32 = ByteBuffer.allocate(pcm.length * 4).order(ByteOrder.LITTLE_ENDIAN);
        ByteBuffer f64 = ByteBuffer.allocate(pcm.length * 8).order(ByteOrder.LITTLE_ENDIAN);
        for (short s : pcm) {
            int v = s << 8;
            b24.put((byte) v).put((byte) (v >> 8)).put((byte) (v >> 16));
            f32.putFloat(s / 32768f);
            f64.putDouble(s / 32768.0);
        }
        TestAudio.writeRaw(dir.resolve("in24.wav"), TestAudio.PCM, 2, RATE, 24, b24.array());
        TestAudio.writeRaw(dir.resolve("in32f.wav"), TestAudio.FLOAT, 2, RATE, 32, f32.array());
        TestAudio.writeRaw(dir.resolve("in64f.wav"), TestAudio.FLOAT, 2, RATE, 64, f64.array());
        short[] expected = stretch(ref, "ref.wav", "--tempo", "0.8").samples;
        for (String name : new String[] {"in24.wav", "in32f.wav", "in64f.wav"}) {
            assertArrayEquals(expected, stretch(dir.resolve(name), "o-" + name, "--tempo", "0.8").samples, name);
        }
        // 8-bit WAV is unsigned: it matches a 16-bit file holding the same values shifted up.
        byte[] u8 = new byte[pcm.length];
        short[] widened = new short[pcm.length];
        for (int i = 0; i < pcm.length; i++) {
            int v = pcm[i] >> 8;
            u8[i] = (byte) (v + 128);
            widened[i] = (short) (v << 8);
        }
        TestAudio.writeRaw(dir.resolve("in8.wav"), TestAudio.PCM, 2, RATE, 8, u8);
        TestAudio.write16(dir.resolve("wide16.wav"), widened, 2, RATE);
        assertArrayEquals(stretch(dir.resolve("wide16.wav"), "o-wide.wav", "--tempo", "0.8").samples,
                stretch(dir.resolve("in8.wav"), "o-8.wav", "--tempo", "0.8").samples);
    }

    /** Lowest RMS over consecutive windows of {@code n} samples. */
    private static double minBlockRms(double[] x, int from, int to, int n) {
        double min = Double.MAX_VALUE;
        for (int i = from; i + n <= to; i += n) {
            double s = 0;
            for (int j = i; j < i + n; j++) {
                s += x[j] * x[j];
            }
            min = Math.min(min, Math.sqrt(s / n));
        }
        return min;
    }

    private static int rowY(int note) {
        return SpectrumPicture.TOP + (Stretcher.NOTES - 1 - note) * SpectrumPicture.ROW + SpectrumPicture.ROW / 2;
    }

    private static int brightness(int rgb) {
        return ((rgb >> 16) & 0xff) + ((rgb >> 8) & 0xff) + (rgb & 0xff);
    }

    private static String[] concat(String[] a, String... b) {
        String[] r = Arrays.copyOf(a, a.length + b.length);
        System.arraycopy(b, 0, r, a.length, b.length);
        return r;
    }

    private static int[] toInts(short[] s) {
        int[] r = new int[s.length];
        for (int i = 0; i < s.length; i++) {
            r[i] = s[i];
        }
        return r;
    }
}
