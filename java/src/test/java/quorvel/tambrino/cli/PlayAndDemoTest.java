// Tests: play into a recording sink, and demo.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.awt.image.BufferedImage;
import java.io.ByteArrayOutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import javax.imageio.ImageIO;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioSystem;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quorvel.tambrino.audio.AudioSink;
import quorvel.tambrino.practice.SpectrumPicture;

/** play (in this JVM, into a recording sink; the engine is loaded once here) and demo. */
class PlayAndDemoTest {
    @TempDir
    Path dir;

    @Test
    void playSendsTheSameSamplesAsStretchWrites() throws Exception {
        Path in = dir.resolve("in.wav");
        TestAudio.write16(in, TestAudio.pcm16(30000, 2, sine(330, 0.4, 44100), sine(990, 0.4, 44100)), 2, 44100);
        String[] options = {"--tempo", "0.8", "--remove-voice", "--eq", "500:-3,5k:2", "--pan", "40"};

        ByteArrayOutputStream played = new ByteArrayOutputStream();
        AudioFormat[] opened = new AudioFormat[1];
        boolean[] drained = new boolean[1];
        PlayCommand.sinks = format -> {
            opened[0] = format;
            return new AudioSink() {
                @Override
                public void write(byte[] bytes, int offset, int length) {
                    played.write(bytes, offset, length);
                }

                @Override
                public void drain() {
                    drained[0] = true;
                }

                @Override
                public void close() {}
            };
        };
        String[] playArgs = new String[options.length + 2];
        playArgs[0] = "play";
        playArgs[1] = in.toString();
        System.arraycopy(options, 0, playArgs, 2, options.length);
        Launcher.Result p = Launcher.inProcess(playArgs);
        assertEquals(0, p.exit, p.toString());
        assertTrue(p.out.startsWith("played "), p.toString());
        assertEquals(44100f, opened[0].getSampleRate());
        assertEquals(2, opened[0].getChannels());
        assertTrue(drained[0]);

        String[] stretchArgs = new String[options.length + 3];
        stretchArgs[0] = "stretch";
        stretchArgs[1] = in.toString();
        stretchArgs[2] = dir.resolve("out.wav").toString();
        System.arraycopy(options, 0, stretchArgs, 3, options.length);
        Launcher.Result s = Launcher.tambrino(stretchArgs);
        assertEquals(0, s.exit, s.toString());
        byte[] file = Files.readAllBytes(dir.resolve("out.wav"));
        assertArrayEquals(Arrays.copyOfRange(file, 44, file.length), played.toByteArray());
    }

    @Test
    void playWithoutAnAudioOutputSaysSoAndFails() throws Exception {
        boolean noLine;
        try {
            AudioSystem.getSourceDataLine(new AudioFormat(44100, 16, 2, true, false)).open();
            noLine = false;
        } catch (Exception e) {
            noLine = true;
        }
        Assumptions.assumeTrue(noLine, "this machine has an audio output");
        Path in = dir.resolve("in.wav");
        TestAudio.write16(in, TestAudio.pcm16(4410, 1, sine(440, 0.5, 44100)), 1, 44100);
        Launcher.Result r = Launcher.tambrino("play", in.toString(), "--tempo", "0.75");
        assertEquals(3, r.exit, r.toString());
        assertTrue(r.err.contains("no audio output is available"), r.toString());
        assertTrue(r.err.contains("tambrino stretch") && r.err.contains("--output-file"), r.toString());
    }

    @Test
    void meterShowsLevelAndLoudestNote() {
        float[] spectrum = new float[72];
        spectrum[45] = 0.2f;
        spectrum[33] = 0.1f;
        String line = PlayCommand.meterLine(0.5f, spectrum, 12.4, 90, false, false);
        assertTrue(line.startsWith("[" + "#".repeat(21) + "..." + "]"), line);
        assertTrue(line.contains(" -6.0 ") && line.contains("A4") && line.contains("0:12 / 1:30"), line);
        assertTrue(PlayCommand.meterLine(0.2f, null, 0, 1, true, true).endsWith("  CLIP"));
        assertTrue(PlayCommand.meterLine(0.2f, null, 0, 1, false, true).endsWith("  LIMIT"));
        assertEquals("C1", PlayCommand.noteName(0));
        assertEquals("B6", PlayCommand.noteName(71));
    }

    @Test
    void demoWritesThePieceTheSlowResultAndItsPicture() throws Exception {
        Path out = dir.resolve("out");
        Launcher.Result r = Launcher.tambrino("demo", "--out-dir", out.toString());
        assertEquals(0, r.exit, r.toString());
        for (String name : new String[] {DemoCommand.ORIGINAL, DemoCommand.RESULT, DemoCommand.PICTURE}) {
            assertTrue(r.out.contains(out.resolve(name).toString()), r.toString());
        }
        TestAudio.Wav original = TestAudio.read16(out.resolve(DemoCommand.ORIGINAL));
        TestAudio.Wav result = TestAudio.read16(out.resolve(DemoCommand.RESULT));
        assertEquals(2, original.channels);
        assertEquals(Math.round(DemoSong.SECONDS * 44100), original.frames());
        // Fine mode by default: exactly the input's length over the tempo.
        assertEquals(Math.round(original.frames() / 0.75), result.frames());
        BufferedImage img = ImageIO.read(out.resolve(DemoCommand.PICTURE).toFile());
        assertEquals(SpectrumPicture.width(SpectrumPicture.DEFAULT_PLOT_WIDTH), img.getWidth());
        assertEquals(SpectrumPicture.HEIGHT, img.getHeight());
        // The same piece every time.
        short[] again = DemoSong.render(44100);
        assertArrayEquals(original.samples, again);
        assertEquals(3, Launcher.listing(out).size());
    }
}
