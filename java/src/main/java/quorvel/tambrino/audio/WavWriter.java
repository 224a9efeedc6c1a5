// Writes 16-bit PCM WAV: the header, the samples, and the sizes once they are known.
package quorvel.tambrino.audio;

import java.io.IOException;
import java.io.OutputStream;
import java.io.RandomAccessFile;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Path;

/**
 * Writes 16-bit PCM WAV with the canonical 44-byte header. When the length is
 * not known in advance (a decoded or piped input) the header carries the
 * streaming sizes 0xFFFFFFFF, which a file gets corrected by
 * {@link #fixSizes(Path, int, long)} once it is complete; a pipe keeps them, as
 * every streaming writer does.
 */
public final class WavWriter {
    private WavWriter() {}

    static final int HEADER_BYTES = 44;
    private static final long UNKNOWN = 0xFFFFFFFFL;

    /** The header for {@code frames} frames, or for a stream of unknown length when negative. */
    static byte[] header(int sampleRate, int channels, long frames) {
        int blockAlign = 2 * channels;
        long data = frames < 0 ? UNKNOWN : Math.min(UNKNOWN, frames * blockAlign);
        long riff = frames < 0 ? UNKNOWN : Math.min(UNKNOWN, data + HEADER_BYTES - 8);
        ByteBuffer h = ByteBuffer.allocate(HEADER_BYTES).order(ByteOrder.LITTLE_ENDIAN);
        h.put(new byte[] {'R', 'I', 'F', 'F'}).putInt((int) riff).put(new byte[] {'W', 'A', 'V', 'E'});
        h.put(new byte[] {'f', 'm', 't', ' '}).putInt(16).putShort((short) 1).putShort((short) channels)
                .putInt(sampleRate).putInt(sampleRate * blockAlign).putShort((short) blockAlign).putShort((short) 16);
        h.put(new byte[] {'d', 'a', 't', 'a'}).putInt((int) data);
        return h.array();
    }

    /**
     * Writes the whole source, header first, and returns the number of frames
     * written. The header states {@code source.frameLength()}.
     */
    public static long write(PcmSource source, OutputStream out) throws IOException {
        out.write(header(source.sampleRate(), source.channels(), source.frameLength()));
        int channels = source.channels();
        short[] frames = new short[4096 * channels];
        byte[] bytes = new byte[frames.length * 2];
        long total = 0;
        int n;
        while ((n = source.read(frames, 0, 4096)) > 0) {
            int samples = n * channels;
            for (int i = 0; i < samples; i++) {
                bytes[2 * i] = (byte) frames[i];
                bytes[2 * i + 1] = (byte) (frames[i] >> 8);
            }
            out.write(bytes, 0, samples * 2);
            total += n;
        }
        out.flush();
        return total;
    }

    /** Puts the real sizes of {@code frames} frames into a finished file's header. */
    static void fixSizes(Path file, int channels, long frames) throws IOException {
        try (RandomAccessFile f = new RandomAccessFile(file.toFile(), "rw")) {
            for (long[] field : sizeFields(channels, frames)) {
                f.seek(field[0]);
                f.writeInt(Integer.reverseBytes((int) field[1]));
            }
        }
    }

    /**
     * The header's two sizes for {@code frames} frames, each as its offset
     * from the header's start and its value (capped at 0xFFFFFFFF, as a
     * stream of unknown length states).
     */
    static long[][] sizeFields(int channels, long frames) {
        long data = Math.min(UNKNOWN, frames * 2 * channels);
        return new long[][] {{4, Math.min(UNKNOWN, data + HEADER_BYTES - 8)}, {40, data}};
    }
}
