package quorvel.tambrino.cli;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.function.IntToDoubleFunction;

/** Writes and measures the short WAV files of the tests. */
final class TestAudio {
    private TestAudio() {}

    /** WAV format tags. */
    static final int PCM = 1;
    static final int FLOAT = 3;
    static final int MULAW = 7;

    /** One channel of a signal, sample index to full-scale value. */
    static short[] pcm16(int frames, int channels, IntToDoubleFunction... perChannel) {
        short[] out = new short[frames * channels];
        for (int i = 0; i < frames; i++) {
            for (int c = 0; c < channels; c++) {
                out[i * channels + c] = (short) Math.round(perChannel[c].applyAsDouble(i) * 32767);
            }
        }
        return out;
    }

    static IntToDoubleFunction sine(double hz, double amplitude, int rate) {
        return i -> amplitude * Math.sin(2 * Math.PI * hz * i / rate);
    }

    static IntToDoubleFunction sum(IntToDoubleFunction a, IntToDoubleFunction b) {
        return i -> a.applyAsDouble(i) + b.applyAsDouble(i);
    }

    static void write16(Path file, short[] samples, int channels, int rate) throws IOException {
        ByteBuffer data = ByteBuffer.allocate(samples.length * 2).order(ByteOrder.LITTLE_ENDIAN);
        for (short s : samples) {
            data.putShort(s);
        }
        writeRaw(file, PCM, channels, rate, 16, data.array());
    }

    /** A WAV file with any header fields: format tag, bits, raw little-endian data. */
    static void writeRaw(Path file, int tag, int channels, int rate, int bits, byte[] data) throws IOException {
        int blockAlign = channels * bits / 8;
        ByteBuffer h = ByteBuffer.allocate(44).order(ByteOrder.LITTLE_ENDIAN);
        h.put("RIFF".getBytes()).putInt(36 + data.length).put("WAVE".getBytes());
        h.put("fmt ".getBytes()).putInt(16).putShort((short) tag).putShort((short) channels).putInt(rate)
                .putInt(rate * blockAlign).putShort((short) blockAlign).putShort((short) bits);
        h.put("data".getBytes()).putInt(data.length);
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        out.write(h.array());
        out.write(data);
        Files.write(file, out.toByteArray());
    }

    /** The bytes of 16-bit samples, little-endian. */
    static byte[] le16(short[] samples) {
        ByteBuffer data = ByteBuffer.allocate(samples.length * 2).order(ByteOrder.LITTLE_ENDIAN);
        for (short s : samples) {
            data.putShort(s);
        }
        return data.array();
    }

    /**
     * A WAV file laid out by hand: a format chunk of {@code fmt} bytes, the
     * chunks in {@code before} ahead of the data, and a data chunk whose size
     * field says {@code declared} whatever {@code data} holds.
     */
    static void writeChunks(Path file, byte[] fmt, byte[][] before, long declared, byte[] data) throws IOException {
        ByteArrayOutputStream body = new ByteArrayOutputStream();
        body.write("WAVE".getBytes());
        body.write(chunk("fmt ", fmt, fmt.length));
        for (byte[] c : before) {
            body.write(c);
        }
        body.write(chunk("data", new byte[0], declared));
        body.write(data);
        ByteBuffer riff = ByteBuffer.allocate(8).order(ByteOrder.LITTLE_ENDIAN);
        riff.put("RIFF".getBytes()).putInt(body.size());
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        out.write(riff.array());
        out.write(body.toByteArray());
        Files.write(file, out.toByteArray());
    }

    /** A chunk: its id, a size field saying {@code declared}, the body and its pad byte. */
    static byte[] chunk(String id, byte[] body, long declared) {
        ByteBuffer c = ByteBuffer.allocate(8 + body.length + (body.length & 1)).order(ByteOrder.LITTLE_ENDIAN);
        c.put(id.getBytes()).putInt((int) declared).put(body);
        return c.array();
    }

    /** A plain format chunk's body. */
    static byte[] fmt(int tag, int channels, int rate, int bits) {
        int blockAlign = channels * bits / 8;
        return ByteBuffer.allocate(16).order(ByteOrder.LITTLE_ENDIAN).putShort((short) tag).putShort((short) channels)
                .putInt(rate).putInt(rate * blockAlign).putShort((short) blockAlign).putShort((short) bits).array();
    }

    /** A WAVE_FORMAT_EXTENSIBLE format chunk's body whose sub-format is {@code tag}. */
    static byte[] fmtExtensible(int tag, int channels, int rate, int bits) {
        ByteBuffer b = ByteBuffer.allocate(40).order(ByteOrder.LITTLE_ENDIAN);
        b.put(fmt(0xFFFE, channels, rate, bits)).putShort((short) 22).putShort((short) bits)
                .putInt(channels == 1 ? 4 : 3).putShort((short) tag)
                .put(new byte[] {0, 0, 0, 0, 0x10, 0, (byte) 0x80, 0, 0, (byte) 0xAA, 0, 0x38, (byte) 0x9B, 0x71});
        return b.array();
    }

    /** A decoded 16-bit WAV file. */
    static final class Wav {
        final int channels;
        final int rate;
        final short[] samples;

        Wav(int channels, int rate, short[] samples) {
            this.channels = channels;
            this.rate = rate;
            this.samples = samples;
        }

        int frames() {
            return samples.length / channels;
        }

        double[] channel(int c) {
            double[] out = new double[frames()];
            for (int i = 0; i < out.length; i++) {
                out[i] = samples[i * channels + c] / 32768.0;
            }
            return out;
        }
    }

    /** Reads a 16-bit PCM WAV file as written by the tool (canonical 44-byte header). */
    static Wav read16(Path file) throws IOException {
        ByteBuffer b = ByteBuffer.wrap(Files.readAllBytes(file)).order(ByteOrder.LITTLE_ENDIAN);
        if (b.getInt(0) != 0x46464952 || b.getInt(8) != 0x45564157) {
            throw new IOException(file + " is not RIFF/WAVE");
        }
        int pos = 12;
        int channels = 0;
        int rate = 0;
        while (pos + 8 <= b.limit()) {
            int id = b.getInt(pos);
            int size = b.getInt(pos + 4);
            if (id == 0x20746d66) {
                if (b.getShort(pos + 8) != PCM || b.getShort(pos + 22) != 16) {
                    throw new IOException(file + " is not 16-bit PCM");
                }
                channels = b.getShort(pos + 10);
                rate = b.getInt(pos + 12);
            } else if (id == 0x61746164) {
                if (size == -1) {
                    // A stream of unknown length: to the end of the file.
                    size = b.limit() - pos - 8;
                }
                short[] s = new short[size / 2];
                for (int i = 0; i < s.length; i++) {
                    s[i] = b.getShort(pos + 8 + 2 * i);
                }
                return new Wav(channels, rate, s);
            }
            pos += 8 + size + (size & 1);
        }
        throw new IOException(file + " has no data chunk");
    }

    /** Amplitude of the component at {@code hz} over x[from, to), Hann-windowed: a sine of amplitude A gives A. */
    static double amplitude(double[] x, int from, int to, double hz, int rate) {
        double re = 0;
        double im = 0;
        double wsum = 0;
        int n = to - from;
        for (int i = 0; i < n; i++) {
            double w = 0.5 - 0.5 * Math.cos(2 * Math.PI * i / n);
            double a = 2 * Math.PI * hz * (from + i) / rate;
            re += w * x[from + i] * Math.cos(a);
            im -= w * x[from + i] * Math.sin(a);
            wsum += w;
        }
        return 2 * Math.hypot(re, im) / wsum;
    }

    /** Frequency from the interpolated upward zero crossings over x[from, to). */
    static double frequency(double[] x, int from, int to, int rate) {
        double first = -1;
        double last = -1;
        int crossings = 0;
        for (int i = from + 1; i < to; i++) {
            if (x[i - 1] < 0 && x[i] >= 0) {
                double t = i - 1 + x[i - 1] / (x[i - 1] - x[i]);
                if (first < 0) {
                    first = t;
                } else {
                    crossings++;
                }
                last = t;
            }
        }
        return crossings * rate / (last - first);
    }

    static double db(double ratio) {
        return 20 * Math.log10(ratio);
    }
}
