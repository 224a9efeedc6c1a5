package quorvel.tambrino.audio;

import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.util.Locale;

/**
 * Reads a WAV stream as 16-bit frames, walking its RIFF chunks itself so that
 * it knows where the samples start and can trust the file, not the header,
 * about how many there are.
 *
 * <p>The data chunk's size is believed only as far as the file goes: a size
 * of 0 or 0xFFFFFFFF (what writers that cannot seek back leave behind) means
 * "to the end of the file"; a size beyond the end is a file cut short, of
 * which the frames that are there are used and one warning is given. No
 * silence is ever added. RF64 files give their size in a ds64 chunk.
 *
 * <p>8-bit (unsigned), 16-, 24- and 32-bit PCM and 32- and 64-bit float are
 * converted to 16 bits, also inside WAVE_FORMAT_EXTENSIBLE; more than two
 * channels are mixed down to stereo ({@link Downmix}); every other encoding
 * and rates outside {@link #MIN_RATE}..{@link #MAX_RATE} are refused with a
 * message that says what is supported.
 */
final class WavReader implements InputFile.Reader {
    static final int MIN_RATE = 2000;
    static final int MAX_RATE = 384000;
    static final String SUPPORTED = "supported: 8-, 16-, 24- and 32-bit PCM or 32- and 64-bit float WAV";

    private static final int TAG_PCM = 1;
    private static final int TAG_FLOAT = 3;
    private static final int TAG_EXTENSIBLE = 0xFFFE;
    private static final long STREAMING_SIZE = 0xFFFFFFFFL;

    private final String name;
    private final InputStream in;
    private final int channels;
    private final int sampleRate;
    private final int blockAlign;
    private final SampleDecoder.Decoder decoder;
    /** The mix to stereo of a file with more channels, or null. */
    private final Downmix downmix;
    private final int fileChannels;
    private short[] unmixed = new short[0];
    private final String description;
    /** Bytes of samples still to read; -1 = up to the end of the stream. */
    private long remaining;
    /** What the header promised, in bytes, when it promised a real size; else -1. */
    private final long declared;
    private final long frameLength;
    private byte[] bytes = new byte[0];
    private long framesRead;
    private String warning;

    private WavReader(String name, InputStream in, Format f, long dataOffset, long declaredSize, long fileSize) {
        this.name = name;
        this.in = in;
        this.fileChannels = f.channels;
        this.downmix = f.downmix;
        this.channels = f.downmix != null ? 2 : f.channels;
        this.sampleRate = f.rate;
        this.blockAlign = f.blockAlign;
        this.decoder = f.decoder;
        this.description = f.description;
        boolean streaming = declaredSize == 0 || declaredSize == STREAMING_SIZE;
        this.declared = streaming ? -1 : declaredSize;
        long available = fileSize < 0 ? -1 : Math.max(0, fileSize - dataOffset);
        if (available < 0) {
            // A pipe: the header's size is an upper bound, checked as the samples arrive.
            remaining = declared;
            frameLength = -1;
        } else if (declared < 0 || declared > available) {
            remaining = available;
            frameLength = available / blockAlign;
            if (declared > available) {
                warning = cutShortWarning(frameLength);
            }
        } else {
            remaining = declared;
            frameLength = declared / blockAlign;
        }
    }

    /** A wave header whose first twelve bytes ("RIFF", size, "WAVE") have been read. */
    static WavReader open(String name, InputStream in, boolean rf64, long fileSize) throws IOException {
        long offset = 12;
        Format format = null;
        long ds64DataSize = -1;
        byte[] head = new byte[8];
        while (true) {
            if (!readFully(in, head, 8)) {
                throw CliException.file(name + " holds no audio: its WAV header ends before the samples");
            }
            offset += 8;
            String id = new String(head, 0, 4, java.nio.charset.StandardCharsets.ISO_8859_1);
            long size = le32(head, 4) & 0xffffffffL;
            if (id.equals("data")) {
                if (format == null) {
                    throw CliException.file(name + " is a damaged WAV file: the samples come before their format");
                }
                if (rf64 && size == STREAMING_SIZE && ds64DataSize >= 0) {
                    size = ds64DataSize;
                }
                return new WavReader(name, in, format, offset, size, fileSize);
            }
            if (size > Integer.MAX_VALUE / 2) {
                throw CliException.file(name + " is a damaged WAV file: its '" + printable(id) + "' chunk claims "
                        + size + " bytes");
            }
            byte[] body = new byte[(int) size];
            if (!readFully(in, body, body.length)) {
                throw CliException.file(name + " holds no audio: it ends inside its WAV header");
            }
            offset += size;
            if ((size & 1) != 0 && skipPad(in)) {
                offset++;
            }
            if (id.equals("fmt ")) {
                format = parseFormat(name, body);
            } else if (id.equals("ds64") && body.length >= 16) {
                ds64DataSize = (le32(body, 8) & 0xffffffffL) | ((long) le32(body, 12) << 32);
            }
        }
    }

    /**
     * Skips the pad byte that evens out an odd-sized chunk. Some writers leave
     * it out; a byte that is not 0 is then the next chunk's first and is kept
     * when the stream can step back. Returns whether a byte was skipped.
     */
    private static boolean skipPad(InputStream in) throws IOException {
        if (!in.markSupported()) {
            return in.read() >= 0;
        }
        in.mark(4);
        byte[] next = new byte[4];
        int n = in.readNBytes(next, 0, 4);
        in.reset();
        boolean chunkId = n == 4;
        for (int i = 0; i < n; i++) {
            chunkId &= next[i] >= 0x20 && next[i] <= 0x7e;
        }
        if (chunkId) {
            return false;
        }
        return in.read() >= 0;
    }

    private static final class Format {
        int channels;
        Downmix downmix;
        int rate;
        int blockAlign;
        String description;
        SampleDecoder.Decoder decoder;
    }

    private static Format parseFormat(String name, byte[] b) {
        if (b.length < 16) {
            throw CliException.file(name + " is a damaged WAV file: its format chunk is too short");
        }
        int tag = le16(b, 0);
        Format f = new Format();
        f.channels = le16(b, 2);
        long rate = le32(b, 4) & 0xffffffffL;
        f.blockAlign = le16(b, 12);
        int bits = le16(b, 14);
        long mask = 0;
        if (tag == TAG_EXTENSIBLE && b.length >= 26) {
            // The sub-format's GUID starts with the plain format tag.
            tag = le16(b, 24);
            mask = le32(b, 20) & 0xffffffffL;
        }
        if (f.channels == 0) {
            throw CliException.file(name + " is a damaged WAV file: its format chunk states 0 channels");
        }
        if (f.channels > 2) {
            f.downmix = Downmix.of(f.channels, mask);
        }
        if (rate < MIN_RATE || rate > MAX_RATE) {
            throw CliException.file(name + " has a sample rate of " + rate + " Hz; supported: whole rates from "
                    + MIN_RATE + " to " + MAX_RATE + " Hz");
        }
        f.rate = (int) rate;
        String what = describe(tag, bits);
        f.description = what;
        if (bits < 1 || f.blockAlign != f.channels * ((bits + 7) / 8)) {
            throw CliException.file(name + " is " + what + ", which is not supported; " + SUPPORTED);
        }
        if (tag == TAG_PCM && bits == 8) {
            f.decoder = SampleDecoder.forPcm(8, false, false);
        } else if (tag == TAG_PCM && (bits == 16 || bits == 24 || bits == 32)) {
            f.decoder = SampleDecoder.forPcm(bits, true, false);
        } else if (tag == TAG_FLOAT && (bits == 32 || bits == 64)) {
            f.decoder = SampleDecoder.forFloat(bits, false);
        }
        if (f.decoder == null) {
            throw CliException.file(name + " is " + what + ", which is not supported; " + SUPPORTED);
        }
        return f;
    }

    private static String describe(int tag, int bits) {
        switch (tag) {
            case TAG_PCM:
                return bits + "-bit PCM";
            case TAG_FLOAT:
                return bits + "-bit float";
            case 2:
            case 0x11:
                return "ADPCM";
            case 6:
                return "A-law";
            case 7:
                return "mu-law";
            case 0x55:
                return "MP3 inside WAV";
            default:
                return String.format(Locale.ROOT, "format 0x%04x", tag);
        }
    }

    private static String printable(String id) {
        return id.replaceAll("[^\\x20-\\x7e]", "?");
    }

    private String cutShortWarning(long frames) {
        return String.format(Locale.ROOT, "%s ends after %.2f s, before the %.2f s its header states; only what is"
                + " there is used", name, (double) frames / sampleRate, (double) declared / blockAlign / sampleRate);
    }

    @Override
    public String description() {
        String layout = downmix != null ? fileChannels + " channels mixed to stereo"
                : channels == 1 ? "mono" : "stereo";
        return description + ", " + layout + ", " + sampleRate + " Hz";
    }

    @Override
    public int channels() {
        return channels;
    }

    @Override
    public int sampleRate() {
        return sampleRate;
    }

    @Override
    public long frameLength() {
        return frameLength;
    }

    @Override
    public String warning() {
        return warning;
    }

    @Override
    public int read(short[] buffer, int offset, int frames) throws IOException {
        long wantBytes = (long) frames * blockAlign;
        if (remaining >= 0) {
            wantBytes = Math.min(wantBytes, remaining - remaining % blockAlign);
        }
        if (wantBytes <= 0) {
            return 0;
        }
        int want = (int) wantBytes;
        if (bytes.length < want) {
            bytes = new byte[want];
        }
        int got = 0;
        try {
            while (got < want) {
                int n = in.read(bytes, got, want - got);
                if (n < 0) {
                    break;
                }
                got += n;
            }
        } catch (EOFException e) {
            // What was read is kept.
        }
        int n = got / blockAlign;
        if (downmix == null) {
            decode(bytes, n * channels, blockAlign / channels, buffer, offset * channels);
        } else {
            if (unmixed.length < n * fileChannels) {
                unmixed = new short[n * fileChannels];
            }
            decode(bytes, n * fileChannels, blockAlign / fileChannels, unmixed, 0);
            downmix.mix(unmixed, n, buffer, offset);
        }
        framesRead += n;
        if (remaining >= 0) {
            remaining -= got;
        }
        if (got < want) {
            remaining = 0;
            if (declared >= 0 && frameLength < 0 && warning == null) {
                warning = cutShortWarning(framesRead);
            }
        }
        return n;
    }

    private void decode(byte[] from, int samples, int bytesPerSample, short[] to, int at) {
        for (int i = 0, o = 0; i < samples; i++, o += bytesPerSample) {
            to[at + i] = decoder.sample(from, o);
        }
    }

    @Override
    public void close() throws IOException {
        in.close();
    }

    static boolean readFully(InputStream in, byte[] b, int n) throws IOException {
        int got = 0;
        while (got < n) {
            int r = in.read(b, got, n - got);
            if (r < 0) {
                return false;
            }
            got += r;
        }
        return true;
    }

    static int le16(byte[] b, int o) {
        return (b[o] & 0xff) | ((b[o + 1] & 0xff) << 8);
    }

    static int le32(byte[] b, int o) {
        return (b[o] & 0xff) | ((b[o + 1] & 0xff) << 8) | ((b[o + 2] & 0xff) << 16) | (b[o + 3] << 24);
    }
}
