package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The public API over the engine: one session per process, block sizes that
 * the engine fills exactly, settings from any thread, the aligned stream and
 * the {@code javax.sound.sampled} adapter, and the README's example. Each
 * test closes what it opens, so that the order of the tests does not matter.
 */
class SessionTest {
    static final int RATE = 44100;

    @TempDir
    Path dir;

    private final List<AutoCloseable> open = new ArrayList<>();

    @AfterEach
    void closeAll() throws Exception {
        for (AutoCloseable c : open) {
            c.close();
        }
    }

    private Session opened(Session.Builder b) {
        Session s = b.open();
        open.add(s);
        return s;
    }

    /** Interleaved stereo: 440 Hz on the left, 660 Hz on the right, from frame {@code start} on. */
    static void music(short[] block, long start, int frames, int channels) {
        for (int i = 0; i < frames; i++) {
            double t = (double) (start + i) / RATE;
            block[i * channels] = (short) Math.round(12000 * Math.sin(2 * Math.PI * 440 * t));
            if (channels == 2) {
                block[i * channels + 1] = (short) Math.round(9000 * Math.sin(2 * Math.PI * 660 * t));
            }
        }
    }

    @Test
    void oneSessionPerProcessAndASecondOpensOnlyAfterTheFirstCloses() {
        Session first = opened(Session.builder(RATE, 2).quality(Quality.EXACT));
        IllegalStateException e = assertThrows(IllegalStateException.class,
                () -> Session.builder(RATE, 1).quality(Quality.EXACT).open());
        assertTrue(e.getMessage().contains("one per process"), e.getMessage());
        // The first is untouched: still stereo, still streaming.
        short[] block = first.newBuffer();
        music(block, 0, first.blockFrames(), 2);
        assertEquals(NativeInterface.outputFrames(2048, 4, first.blockFrames(), 1.0), first.process(block,
                first.blockFrames()));
        first.close();
        assertThrows(IllegalStateException.class, () -> first.process(block, first.blockFrames()));
        Session second = opened(Session.builder(RATE, 1).quality(Quality.EXACT));
        assertEquals(1, second.channels());
        first.close();
        // Closing the first again does not close the second.
        assertThrows(IllegalStateException.class, () -> Session.builder(RATE, 1).open());
    }

    @Test
    void anExactSessionGivesTheSamplesOfTheEngineDrivenByHand() {
        int blocks = 12;
        short[] byHand = new short[0];
        NativeInterface dsp = new NativeInterface();
        dsp.dspInit(2048, 4, RATE, 2);
        dsp.dspQualityMode(NativeInterface.QUALITY_EXACT);
        dsp.dspSetPreamp(1.0f);
        dsp.dspPanning(0, 0, 50);
        dsp.dspVoiceRemovalEnable(0);
        dsp.dspEQEnable(0);
        dsp.dspSpectrumEnable(1);
        int out = NativeInterface.outputFrames(2048, 4, 4096, 0.75);
        short[] block = new short[Math.max(4096, out) * 2];
        for (int b = 0; b < blocks; b++) {
            music(block, (long) b * 4096, 4096, 2);
            dsp.dspProcess(block, 4096, out, 0f);
            byHand = concat(byHand, Arrays.copyOf(block, out * 2));
        }

        Session s = opened(Session.builder(RATE, 2).quality(Quality.EXACT).tempo(0.75).blockFrames(4096));
        short[] viaSession = new short[0];
        short[] buffer = s.newBuffer();
        for (int b = 0; b < blocks; b++) {
            music(buffer, (long) b * 4096, 4096, 2);
            int n = s.process(buffer, 4096);
            viaSession = concat(viaSession, Arrays.copyOf(buffer, n * 2));
        }
        assertArrayEquals(byHand, viaSession);
        assertTrue(s.peakLevel() > 0.2f);
    }

    @Test
    void settingsFromAnotherThreadApplyAtTheNextBlockAndBadOnesChangeNothing() throws Exception {
        Session s = opened(Session.builder(RATE, 2).quality(Quality.EXACT).tempo(1.0));
        assertThrows(IllegalArgumentException.class, () -> s.setTempo(0.2));
        assertThrows(IllegalArgumentException.class, () -> s.setTempo(Double.NaN));
        assertEquals(1.0, s.tempo());
        assertThrows(IllegalArgumentException.class, () -> s.setPanning(101, false));
        assertThrows(IllegalArgumentException.class, () -> s.setVoiceRemoval(1.5, 150));
        assertThrows(IllegalArgumentException.class, () -> s.setVoiceRemoval(1, 10));
        assertEquals(0.0, s.voiceRemoval());
        assertThrows(IllegalArgumentException.class, () -> s.setEqualizer(new float[10]));
        assertThrows(IllegalArgumentException.class, () -> s.setPreamp(Float.NaN));

        short[] buffer = s.newBuffer();
        int in = s.blockFrames();
        // The tempo set from another thread is the one the next block is sized for.
        for (double t : new double[] {0.5, 1.25, 0.8}) {
            Thread setter = new Thread(() -> s.setTempo(t));
            setter.start();
            setter.join();
            music(buffer, 0, in, 2);
            assertEquals(NativeInterface.outputFrames(2048, 4, in, t), s.process(buffer, in), "tempo " + t);
        }

        // Everything at once from a second thread while this one streams.
        AtomicBoolean stop = new AtomicBoolean();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        float[] gains = new float[1024];
        Arrays.fill(gains, 0.5f);
        Thread ui = new Thread(() -> {
            float[] spectrum = new float[Session.NOTES];
            int i = 0;
            try {
                while (!stop.get()) {
                    s.setTempo(0.5 + (i % 10) * 0.1);
                    s.setPanning(i % 101, i % 7 == 0);
                    s.setVoiceRemoval((i % 3) / 2.0, 100 + i % 200);
                    s.setEqualizer(i % 2 == 0 ? gains : null);
                    s.setPreamp(0.5f + (i % 4) * 0.25f);
                    assertTrue(s.peakLevel() >= 0);
                    for (float v : s.spectrum(spectrum)) {
                        assertTrue(v >= 0 && Float.isFinite(v));
                    }
                    i++;
                }
            } catch (Throwable t) {
                failure.set(t);
            }
        });
        ui.start();
        for (int b = 0; b < 200; b++) {
            music(buffer, (long) b * in, in, 2);
            int n = s.process(buffer, in);
            assertTrue(n >= in / 1.5 - 1 && n <= in / 0.5 + 1, "block " + b + ": " + n);
        }
        stop.set(true);
        ui.join(TimeUnit.SECONDS.toMillis(10));
        if (failure.get() != null) {
            throw new AssertionError(failure.get());
        }
    }

    @Test
    void theEqualizerTakesEachSessionsOwnBinsWhateverFrameCameFirst() {
        for (int frame : new int[] {4096, 512, 2048}) {
            Session s = opened(Session.builder(RATE, 1).quality(Quality.EXACT).frameSize(frame));
            float[] gains = new float[frame / 2];
            Arrays.fill(gains, 0.5f);
            s.setEqualizer(gains);
            assertThrows(IllegalArgumentException.class, () -> s.setEqualizer(new float[frame / 2 - 1]));
            short[] buffer = s.newBuffer();
            music(buffer, 0, s.blockFrames(), 1);
            assertTrue(s.process(buffer, s.blockFrames()) > 0);
            s.close();
        }
    }

    /**
     * The stated range is the one a session plays: the fine mode's ends come
     * from the oversampling it would use, also when the tempo asked for is
     * unusable, and a fine session at its fastest tempo runs.
     */
    @Test
    void theTempoRangeIsStatedForTheSettingsThatPlay() {
        assertEquals(0.1, Session.minTempo(Quality.FINE, 4096, 8));
        assertEquals(8.0, Session.maxTempo(Quality.FINE, 4096, 8));
        assertEquals(0.25, Session.minTempo(Quality.EXACT, 2048, 4));
        assertEquals(10.0, Session.maxTempo(Quality.EXACT, 2048, 4));
        // An analysis hop of a sample at least: frame 8 over 3 hops 2 samples.
        assertEquals(0.5, Session.minTempo(Quality.FINE, 8, 3));
        assertThrows(IllegalArgumentException.class, () -> Session.maxTempo(Quality.FINE, 4096, 0));
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class,
                () -> Session.builder(RATE, 2).tempo(-1).open());
        assertTrue(e.getMessage().contains("oversampling 8 plays from 0.1 to 8.0"), e.getMessage());
        Session s = opened(Session.builder(RATE, 2).tempo(8));
        short[] buffer = s.newBuffer();
        for (int i = 0; i < 4; i++) {
            assertEquals(s.blockFrames() / 8, s.process(buffer, s.blockFrames()));
        }
        s.close();
        // At the end of the range a block's rounding alone would take the
        // analysis hop past the frame (682 / 113 frames at 4096/6).
        Session edge = opened(Session.builder(RATE, 2).overSampling(6).tempo(6).blockFrames(682));
        short[] b = edge.newBuffer();
        long out = 0;
        for (int i = 0; i < 12; i++) {
            out += edge.process(b, 682);
        }
        // No block refused; where the frame cannot take a shorter block, the
        // output is longer by at most a frame per block.
        assertTrue(out >= Math.round(12 * 682 / 6.0) && out <= 12 * 114, "frames out " + out);
    }

    @Test
    void fineBlocksCarryTheTempoExactlyAcrossChanges() {
        Session s = opened(Session.builder(RATE, 2).quality(Quality.FINE).tempo(0.75));
        assertEquals(NativeInterface.fineFrameSize(RATE), s.frameSize());
        assertEquals(NativeInterface.fineOverSampling(s.frameSize(), 0.75), s.overSampling());
        short[] buffer = s.newBuffer();
        int in = s.blockFrames();
        double owed = 0;
        long out = 0;
        double[] tempos = {0.75, 0.75, 0.75, 0.6, 0.6, 1.3, 1.3, 1.3, 0.9};
        for (int b = 0; b < tempos.length; b++) {
            s.setTempo(tempos[b]);
            music(buffer, (long) b * in, in, 2);
            out += s.process(buffer, in);
            owed += in / tempos[b];
            assertTrue(Math.abs(out - owed) <= 0.5, "block " + b + ": " + out + " frames for " + owed);
        }
        // Switching the mode keeps the tempo inside the new mode's range.
        s.setTempo(s.maxTempo());
        s.setQuality(Quality.EXACT);
        assertTrue(s.tempo() <= s.maxTempo());
        assertEquals(NativeInterface.outputFrames(s.frameSize(), s.overSampling(), in, s.tempo()),
                s.process(buffer, in));
    }

    @Test
    void aTempoStreamStartsWithItsInputAndLastsItsLengthOverTheTempo() throws Exception {
        int frames = 3 * RATE;
        int click = RATE + 12345;
        short[] input = new short[frames];
        // A quiet tone with one loud click: where the click lands shows the alignment.
        for (int i = 0; i < frames; i++) {
            input[i] = (short) Math.round(1000 * Math.sin(2 * Math.PI * 220 * i / RATE));
        }
        for (int i = 0; i < 32; i++) {
            input[click + i] = (short) (i % 2 == 0 ? 30000 : -30000);
        }
        for (Quality q : new Quality[] {Quality.EXACT, Quality.FINE}) {
            for (boolean lengthKnown : new boolean[] {true, false}) {
                try (Session s = Session.builder(RATE, 1).quality(q).tempo(0.8).open()) {
                    int[] pos = {0};
                    TempoStream.Source src = (buffer, offset, n) -> {
                        int k = Math.min(n, frames - pos[0]);
                        System.arraycopy(input, pos[0], buffer, offset, k);
                        pos[0] += k;
                        return k;
                    };
                    TempoStream stream = new TempoStream(s, src, lengthKnown ? frames : -1, null);
                    short[] all = new short[(int) (frames / 0.8) + 10000];
                    int total = 0;
                    int n;
                    while ((n = stream.read(all, total, 1000)) > 0) {
                        total += n;
                    }
                    assertEquals(s.outputFramesFor(frames), total, q + " " + lengthKnown);
                    assertEquals(total, stream.frameLength());
                    assertEquals(Math.round(frames / s.playedTempo()), total, 1.0);
                    int loudest = 0;
                    for (int i = 1; i < total; i++) {
                        if (Math.abs(all[i]) > Math.abs(all[loudest])) {
                            loudest = i;
                        }
                    }
                    // Within a few milliseconds of where the click belongs.
                    assertEquals(click / s.playedTempo(), loudest, 0.006 * RATE, q + " " + lengthKnown);
                }
            }
        }
    }

    @Test
    void anyAudioInputStreamSlowsDownInOneLine() throws Exception {
        int frames = RATE;
        // 16-bit big-endian stereo: the adapter converts it first.
        AudioFormat be = new AudioFormat(RATE, 16, 2, true, true);
        byte[] bytes = new byte[frames * 4];
        short[] pcm = new short[frames * 2];
        music(pcm, 0, frames, 2);
        for (int i = 0; i < pcm.length; i++) {
            bytes[2 * i] = (byte) (pcm[i] >> 8);
            bytes[2 * i + 1] = (byte) pcm[i];
        }
        AudioInputStream source = new AudioInputStream(new ByteArrayInputStream(bytes), be, frames);
        AudioInputStream slow = TempoStream.of(source, 0.5);
        AudioFormat f = slow.getFormat();
        assertEquals(AudioFormat.Encoding.PCM_SIGNED, f.getEncoding());
        assertEquals(16, f.getSampleSizeInBits());
        assertEquals(2, f.getChannels());
        assertTrue(!f.isBigEndian());
        long expected = Session.fineModeAvailable() ? 2L * frames
                : (frames * (long) NativeInterface.synthesisHop(2048, 4, 0.5) + 256) / 512;
        assertEquals(expected, slow.getFrameLength());
        ByteArrayOutputStream written = new ByteArrayOutputStream();
        AudioSystem.write(slow, AudioFileFormat.Type.WAVE, written);
        assertEquals(44 + expected * 4, written.size());
        // Another session cannot open while the stream is open; closing it frees the engine.
        assertThrows(IllegalStateException.class, () -> Session.builder(RATE, 2).open());
        slow.close();
        opened(Session.builder(RATE, 2));
    }

    /**
     * The README's example, compiled and run with the very commands that the
     * README prints, against the built jar (whose own copy of the engine
     * loads), in this JVM's Java and in every other one installed beside it:
     * each runs without a warning.
     */
    @Test
    void theReadmeExampleRunsWithTheCommandsItPrints() throws Exception {
        Path readme = Path.of(System.getProperty("tambrino.source", "."), "README.md");
        String text = Files.readString(readme, StandardCharsets.UTF_8);
        int at = text.indexOf("```java\n", text.indexOf("SlowDown.java"));
        assertTrue(at > 0, "no java block after 'SlowDown.java' in " + readme);
        int close = text.indexOf("```", at + 8);
        String code = text.substring(at + 8, close);
        assertTrue(code.split("\n").length <= 14, code);
        Files.writeString(dir.resolve("SlowDown.java"), code);
        List<String> commands = new ArrayList<>();
        for (String line : text.substring(close).split("\n")) {
            if (line.startsWith("    javac ") || line.startsWith("    java ")) {
                commands.add(line.trim());
            }
        }
        assertEquals(2, commands.size(), "the javac and java commands after the example: " + commands);

        Path jar = Path.of(System.getProperty(NativeInterface.LIBRARY_PROPERTY)).getParent()
                .resolve("java/tambrino.jar");
        assertTrue(Files.isRegularFile(jar), "the jar is built: " + jar);
        Path in = dir.resolve("song.wav");
        short[] pcm = new short[RATE * 2];
        music(pcm, 0, RATE, 2);
        byte[] le = new byte[pcm.length * 2];
        for (int i = 0; i < pcm.length; i++) {
            le[2 * i] = (byte) pcm[i];
            le[2 * i + 1] = (byte) (pcm[i] >> 8);
        }
        AudioSystem.write(new AudioInputStream(new ByteArrayInputStream(le), new AudioFormat(RATE, 16, 2, true, false),
                RATE), AudioFileFormat.Type.WAVE, in.toFile());
        Path home = Path.of(System.getProperty("java.home"));
        assertEquals("", run(home, commands.get(0), jar));

        Set<Path> javas = new LinkedHashSet<>(List.of(home.toRealPath()));
        try (DirectoryStream<Path> jvms = Files.newDirectoryStream(Path.of("/usr/lib/jvm"))) {
            for (Path j : jvms) {
                if (Files.isExecutable(j.resolve("bin/java"))) {
                    javas.add(j.toRealPath());
                }
            }
        } catch (IOException e) {
            // No other Java is installed.
        }
        for (Path java : javas) {
            Files.deleteIfExists(dir.resolve("song-slow.wav"));
            assertEquals("", run(java, commands.get(1), jar), java.toString());
            AudioInputStream result = AudioSystem.getAudioInputStream(dir.resolve("song-slow.wav").toFile());
            assertEquals(Math.round(RATE / 0.75), result.getFrameLength(), RATE * 0.005, java.toString());
            assertEquals(2, result.getFormat().getChannels());
            result.close();
        }
    }

    /** Runs one of the README's commands in the example's folder with a Java home's tools; returns its output. */
    private String run(Path javaHome, String command, Path jar) throws Exception {
        List<String> args = new ArrayList<>(Arrays.asList(command.replace("build/java/tambrino.jar", jar.toString())
                .split(" +")));
        args.set(0, javaHome.resolve("bin").resolve(args.get(0)).toString());
        ProcessBuilder pb = new ProcessBuilder(args).directory(dir.toFile()).redirectErrorStream(true);
        Process p = pb.start();
        String log = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(60, TimeUnit.SECONDS));
        assertEquals(0, p.exitValue(), args + "\n" + log);
        return log;
    }

    private static short[] concat(short[] a, short[] b) {
        short[] r = Arrays.copyOf(a, a.length + b.length);
        System.arraycopy(b, 0, r, a.length, b.length);
        return r;
    }
}
