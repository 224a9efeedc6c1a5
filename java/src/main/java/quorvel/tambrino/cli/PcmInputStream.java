package quorvel.tambrino.cli;

import java.io.IOException;
import java.io.InputStream;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;

/** The bytes of a {@link PcmSource} as 16-bit signed little-endian PCM. */
final class PcmInputStream extends InputStream {
    private final PcmSource source;
    private final short[] frames;
    private final byte[] bytes;
    private int pos;
    private int end;
    private boolean done;

    PcmInputStream(PcmSource source, int framesPerRead) {
        this.source = source;
        this.frames = new short[framesPerRead * source.channels()];
        this.bytes = new byte[frames.length * 2];
    }

    static AudioFormat format(int sampleRate, int channels) {
        return new AudioFormat(sampleRate, 16, channels, true, false);
    }

    /** The source as an audio stream of known length, for {@code AudioSystem.write}. */
    static AudioInputStream audio(PcmSource source) {
        return new AudioInputStream(new PcmInputStream(source, 4096),
                format(source.sampleRate(), source.channels()), source.frameLength());
    }

    private boolean fill() throws IOException {
        if (done) {
            return false;
        }
        int n = source.read(frames, 0, frames.length / source.channels());
        if (n <= 0) {
            done = true;
            return false;
        }
        int samples = n * source.channels();
        for (int i = 0; i < samples; i++) {
            bytes[2 * i] = (byte) frames[i];
            bytes[2 * i + 1] = (byte) (frames[i] >> 8);
        }
        pos = 0;
        end = samples * 2;
        return true;
    }

    @Override
    public int read() throws IOException {
        if (pos == end && !fill()) {
            return -1;
        }
        return bytes[pos++] & 0xff;
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
        if (len == 0) {
            return 0;
        }
        if (pos == end && !fill()) {
            return -1;
        }
        int n = Math.min(len, end - pos);
        System.arraycopy(bytes, pos, b, off, n);
        pos += n;
        return n;
    }

    @Override
    public int available() {
        return end - pos;
    }
}
