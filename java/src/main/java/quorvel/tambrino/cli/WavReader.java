package quorvel.tambrino.cli;

import java.io.BufferedInputStream;
import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;

/**
 * Reads a WAV file as 16-bit frames, converting 8- and 24-bit PCM and 32- and
 * 64-bit float on the way. Every other encoding, more than two channels and
 * sample rates outside {@link #MIN_RATE}..{@link #MAX_RATE} are refused with a
 * message that says what is supported.
 */
final class WavReader implements PcmSource, AutoCloseable {
    static final int MIN_RATE = 2000;
    static final int MAX_RATE = 384000;
    static final String SUPPORTED = "supported: 8-, 16- and 24-bit PCM or 32- and 64-bit float WAV, mono or stereo";

    private final Path path;
    private final AudioInputStream stream;
    private final InputStream in;
    private final AudioFormat format;
    private final long frameLength;
    private final Decoder decoder;
    private byte[] bytes = new byte[0];
    private long framesRead;
    private boolean cutShort;

    private interface Decoder {
        short sample(byte[] b, int offset);
    }

    private WavReader(Path path, AudioInputStream stream, Decoder decoder) {
        this.path = path;
        this.stream = stream;
        this.in = new BufferedInputStream(stream, 1 << 16);
        this.format = stream.getFormat();
        this.frameLength = stream.getFrameLength();
        this.decoder = decoder;
    }

    /** Opens a WAV file or throws a {@link CliException} that says why it cannot be used. */
    static WavReader open(Path path) {
        if (!Files.exists(path)) {
            throw CliException.file(path + ": no such file");
        }
        if (Files.isDirectory(path)) {
            throw CliException.file(path + " is a folder, not a WAV file");
        }
        if (!Files.isReadable(path)) {
            throw CliException.file(path + ": permission denied, the file cannot be read");
        }
        AudioFileFormat fileFormat;
        AudioInputStream stream;
        try {
            fileFormat = AudioSystem.getAudioFileFormat(path.toFile());
            if (fileFormat.getType() != AudioFileFormat.Type.WAVE) {
                throw CliException.file(path + " is a " + fileFormat.getType() + " file, not a WAV file; " + SUPPORTED);
            }
            stream = AudioSystem.getAudioInputStream(path.toFile());
        } catch (UnsupportedAudioFileException e) {
            throw CliException.file(path + " is not a WAV file that can be read (unknown or unsupported format); "
                    + SUPPORTED);
        } catch (IOException e) {
            throw CliException.file(path + " cannot be read: " + e.getMessage(), e);
        }
        try {
            return new WavReader(path, stream, check(path, stream));
        } catch (RuntimeException e) {
            closeQuietly(stream);
            throw e;
        }
    }

    private static Decoder check(Path path, AudioInputStream stream) {
        AudioFormat f = stream.getFormat();
        int channels = f.getChannels();
        if (channels != 1 && channels != 2) {
            throw CliException.file(path + " has " + channels + " channels; only mono and stereo are supported");
        }
        float rate = f.getSampleRate();
        if (!(rate >= MIN_RATE && rate <= MAX_RATE) || rate != Math.rint(rate)) {
            throw CliException.file(path + " has a sample rate of " + rate + " Hz; supported: whole rates from "
                    + MIN_RATE + " to " + MAX_RATE + " Hz");
        }
        if (stream.getFrameLength() == AudioSystem.NOT_SPECIFIED) {
            throw CliException.file(path + " does not state its length; the WAV header is damaged");
        }
        AudioFormat.Encoding enc = f.getEncoding();
        int bits = f.getSampleSizeInBits();
        boolean big = f.isBigEndian();
        String what = describe(f);
        if (f.getFrameSize() != channels * ((bits + 7) / 8)) {
            throw CliException.file(path + " is " + what + ", which is not supported; " + SUPPORTED);
        }
        if (enc.equals(AudioFormat.Encoding.PCM_SIGNED)) {
            switch (bits) {
                case 8:
                    return (b, o) -> (short) (b[o] << 8);
                case 16:
                    return big ? (b, o) -> (short) ((b[o] << 8) | (b[o + 1] & 0xff))
                               : (b, o) -> (short) ((b[o + 1] << 8) | (b[o] & 0xff));
                case 24:
                    return big ? (b, o) -> from24((b[o] << 16) | ((b[o + 1] & 0xff) << 8) | (b[o + 2] & 0xff))
                               : (b, o) -> from24((b[o + 2] << 16) | ((b[o + 1] & 0xff) << 8) | (b[o] & 0xff));
                default:
                    break;
            }
        } else if (enc.equals(AudioFormat.Encoding.PCM_UNSIGNED) && bits == 8) {
            return (b, o) -> (short) (((b[o] & 0xff) - 128) << 8);
        } else if (enc.equals(AudioFormat.Encoding.PCM_FLOAT) && (bits == 32 || bits == 64)) {
            if (bits == 32) {
                return (b, o) -> fromFloat(Float.intBitsToFloat(big ? be32(b, o) : le32(b, o)));
            }
            return (b, o) -> {
                long v = big ? ((long) be32(b, o) << 32) | (be32(b, o + 4) & 0xffffffffL)
                             : ((long) le32(b, o + 4) << 32) | (le32(b, o) & 0xffffffffL);
                return fromFloat(Double.longBitsToDouble(v));
            };
        }
        throw CliException.file(path + " is " + what + ", which is not supported; " + SUPPORTED);
    }

    private static String describe(AudioFormat f) {
        String enc = f.getEncoding().equals(AudioFormat.Encoding.PCM_SIGNED) ? "PCM"
                : f.getEncoding().equals(AudioFormat.Encoding.PCM_UNSIGNED) ? "unsigned PCM"
                : f.getEncoding().equals(AudioFormat.Encoding.PCM_FLOAT) ? "float" : f.getEncoding().toString();
        return f.getSampleSizeInBits() > 0 ? f.getSampleSizeInBits() + "-bit " + enc : enc;
    }

    private static int le32(byte[] b, int o) {
        return (b[o] & 0xff) | ((b[o + 1] & 0xff) << 8) | ((b[o + 2] & 0xff) << 16) | (b[o + 3] << 24);
    }

    private static int be32(byte[] b, int o) {
        return (b[o] << 24) | ((b[o + 1] & 0xff) << 16) | ((b[o + 2] & 0xff) << 8) | (b[o + 3] & 0xff);
    }

    /** 24 to 16 bits, rounded to nearest. */
    private static short from24(int v) {
        return (short) Math.min(32767, (v + 128) >> 8);
    }

    /** Full scale ±1.0 to 16 bits, rounded to nearest and clipped; NaN becomes silence. */
    private static short fromFloat(double x) {
        if (x != x) {
            return 0;
        }
        return (short) Math.max(-32768, Math.min(32767, Math.round(x * 32768.0)));
    }

    Path path() {
        return path;
    }

    /** How the file is encoded, for messages: "24-bit PCM, stereo, 48000 Hz". */
    String formatDescription() {
        return describe(format) + ", " + (channels() == 1 ? "mono" : "stereo") + ", " + sampleRate() + " Hz";
    }

    @Override
    public int channels() {
        return format.getChannels();
    }

    @Override
    public int sampleRate() {
        return (int) format.getSampleRate();
    }

    @Override
    public long frameLength() {
        return frameLength;
    }

    /** Frames delivered so far. */
    long framesRead() {
        return framesRead;
    }

    /** Whether the file ended before the length its header states. */
    boolean cutShort() {
        return cutShort;
    }

    @Override
    public int read(short[] buffer, int offset, int frames) {
        int frameSize = format.getFrameSize();
        int want = (int) Math.min(frames, frameLength - framesRead);
        if (want <= 0 || cutShort) {
            return 0;
        }
        if (bytes.length < want * frameSize) {
            bytes = new byte[want * frameSize];
        }
        int got = 0;
        try {
            int total = want * frameSize;
            while (got < total) {
                int n = in.read(bytes, got, total - got);
                if (n < 0) {
                    break;
                }
                got += n;
            }
        } catch (EOFException e) {
            // A file cut short ends here; what was read is kept.
        } catch (IOException e) {
            throw CliException.file("error while reading " + path + ": " + e.getMessage(), e);
        }
        int n = got / frameSize;
        int bytesPerSample = frameSize / format.getChannels();
        int base = offset * format.getChannels();
        for (int i = 0, o = 0; i < n * format.getChannels(); i++, o += bytesPerSample) {
            buffer[base + i] = decoder.sample(bytes, o);
        }
        framesRead += n;
        if (n < want) {
            // The header promised more than the file holds.
            cutShort = true;
        }
        return n;
    }

    @Override
    public void close() {
        closeQuietly(stream);
    }

    private static void closeQuietly(AutoCloseable c) {
        try {
            c.close();
        } catch (Exception ignored) {
            // Nothing useful to do about a failed close of an input.
        }
    }
}
