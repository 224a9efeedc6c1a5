// The test songs for the real-sound tests: a steady tone and a rising sweep that tells its position.
package quorvel.tambrino.sound;

import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.function.IntToDoubleFunction;
import quorvel.tambrino.audio.PcmSource;
import quorvel.tambrino.audio.WavWriter;

/** The songs the real-sound tests play: signals whose every sample tells what is heard. */
final class Songs {
    private Songs() {}

    static final int RATE = SoundServer.RATE;
    /** The steady tone's pitch and peak (full scale 32767). */
    static final double HZ = 440;
    static final double PEAK = 0.5 * 32767;

    /** A steady 440 Hz sine at half scale on both channels: any gap or jump in it is the output's. */
    static Path tone(Path dir, double seconds) throws IOException {
        return write(dir.resolve("tone.wav"), seconds, i -> 0.5 * Math.sin(2 * Math.PI * HZ * i / RATE));
    }

    /** A rising sine whose pitch tells the position: 200 Hz at the start and 50 Hz more every second. */
    static Path sweep(Path dir, double seconds) throws IOException {
        return write(dir.resolve("sweep.wav"), seconds,
                i -> 0.5 * Math.sin(2 * Math.PI * (200 + 25.0 * i / RATE) * i / RATE));
    }

    /** The position in seconds that the sweep's pitch {@code hz} tells. */
    static double sweepPosition(double hz) {
        return (hz - 200) / 50;
    }

    private static Path write(Path file, double seconds, IntToDoubleFunction wave) throws IOException {
        int frames = (int) (seconds * RATE);
        short[] pcm = new short[2 * frames];
        for (int i = 0; i < frames; i++) {
            short v = (short) Math.round(32767 * wave.applyAsDouble(i));
            pcm[2 * i] = v;
            pcm[2 * i + 1] = v;
        }
        try (OutputStream out = Files.newOutputStream(file)) {
            WavWriter.write(PcmSource.of(pcm, 2, RATE), out);
        }
        return file;
    }

    /**
     * The frequency of a sine in x[from, to), from its zero crossings (with
     * the crossing points interpolated between samples).
     */
    static double frequency(double[] x, int from, int to) {
        double first = -1;
        double last = -1;
        int crossings = 0;
        for (int i = Math.max(1, from); i < Math.min(to, x.length); i++) {
            if (x[i - 1] < 0 && x[i] >= 0) {
                double at = i - 1 + (-x[i - 1]) / (x[i] - x[i - 1]);
                if (first < 0) {
                    first = at;
                } else {
                    crossings++;
                }
                last = at;
            }
        }
        return crossings == 0 ? 0 : crossings * RATE / (last - first);
    }
}
