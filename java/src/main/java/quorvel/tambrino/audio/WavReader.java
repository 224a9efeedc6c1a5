// A WAV file's header: where its samples start, how many there are and how they are stored.
package quorvel.tambrino.audio;

import java.io.IOException;
import java.io.InputStream;
import java.util.Locale;

/**
 * Reads a WAV file's header, walking its RIFF chunks itself so that it knows
 * where the samples start and can trust the file, not the header, about how
 * many there are; {@link PcmReader} then reads the samples.
 *
 * <p>A data size of 0 or 0xFFFFFFFF (what writers that cannot seek back
 * leave behind) means "to the end of the file", unless what follows the data
 * chunk's header is more chunks to the end of the file: then the data chunk
 * is empty and the file holds no audio. RF64 files give their size in a ds64
 * chunk.
 *
 * <p>8-bit (unsigned), 16-, 24- and 32-bit PCM (and fewer valid bits in those
 * containers), 32- and 64-bit float, A-law and mu-law are converted to 16
 * bits, also inside WAVE_FORMAT_EXTENSIBLE; more than two channels are mixed
 * down to stereo. Compressed encodings (ADPCM, GSM, MP3 inside WAV, ...) go
 * to ffmpeg ({@link InputFile.ForFfmpeg}); other sizes and rates outside
 * {@link PcmReader#MIN_RATE}..{@link PcmReader#MAX_RATE} are refused with a
 * message that says what is supported.
 */
final class WavReader {
    private WavReader() {}

    static final int MIN_RATE = PcmReader.MIN_RATE;
    static final int MAX_RATE = PcmReader.MAX_RATE;
    static final String SUPPORTED = "supported: 8-, 16-, 24- and 32-bit PCM or 32- and 64-bit float WAV, also A-law"
            + " and mu-law";

    private static final int TAG_PCM = 1;
    private static final int TAG_FLOAT = 3;
    private static final int TAG_ALAW = 6;
    private static final int TAG_MULAW = 7;
    private static final int TAG_EXTENSIBLE = 0xFFFE;
    private static final long STREAMING_SIZE = 0xFFFFFFFFL;
    /** Chunks that writers put after the samples, by which an empty data chunk is told from a streamed one on a pipe. */
    private static final java.util.Set<String> TRAILING_CHUNKS = java.util.Set.of("LIST", "id3 ", "ID3 ", "fact",
            "cue ", "smpl", "inst", "bext", "JUNK", "junk", "PAD ", "iXML", "acid", "PEAK", "_PMX", "DISP", "axml",
            "cart", "umid", "labl", "plst");

    /** A wave header whose first twelve bytes ("RIFF", size, "WAVE") have been read. */
    static PcmReader open(String name, InputStream in, boolean rf64, long fileSize) throws IOException {
        long offset = 12;
        PcmReader.Layout format = null;
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
                } else if (size == STREAMING_SIZE || size == 0 && !emptyData(in, fileSize - offset)) {
                    size = -1;
                }
                return new PcmReader(name, in, format, offset, size, fileSize);
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
     * Whether a data chunk whose size field is 0 is really empty: in a file,
     * when the bytes after its header are chunks that end where the file
     * ends; on a pipe ({@code available} &lt; 0), when they start with a
     * chunk that writers put after the samples. Otherwise the size was left
     * at 0 by a writer that streamed, and the samples run to the end.
     */
    private static boolean emptyData(InputStream in, long available) throws IOException {
        if (available == 0) {
            return true;
        }
        if (!in.markSupported()) {
            return false;
        }
        byte[] h = new byte[8];
        if (available < 0) {
            in.mark(8);
            try {
                return readFully(in, h, 8) && TRAILING_CHUNKS.contains(InputFile.ascii(h, 0, 4));
            } finally {
                in.reset();
            }
        }
        int limit = (int) Math.min(available, 1 << 20);
        in.mark(limit);
        try {
            long pos = 0;
            while (pos + 8 <= limit && readFully(in, h, 8)) {
                String id = InputFile.ascii(h, 0, 4);
                if (!id.equals(printable(id))) {
                    return false;
                }
                long size = le32(h, 4) & 0xffffffffL;
                long next = pos + 8 + size + (size & 1);
                // The last chunk's pad byte may be missing.
                if (next == available || next - 1 == available && (size & 1) != 0) {
                    return true;
                }
                if (next + 8 > limit) {
                    return false;
                }
                in.skipNBytes(next - pos - 8);
                pos = next;
            }
            return false;
        } finally {
            in.reset();
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

    private static PcmReader.Layout parseFormat(String name, byte[] b) throws IOException {
        if (b.length < 16) {
            throw CliException.file(name + " is a damaged WAV file: its format chunk is too short");
        }
        int tag = le16(b, 0);
        int channels = le16(b, 2);
        long rate = le32(b, 4) & 0xffffffffL;
        int blockAlign = le16(b, 12);
        int bits = le16(b, 14);
        int validBits = bits;
        long mask = 0;
        boolean extensible = tag == TAG_EXTENSIBLE && b.length >= 26;
        if (extensible) {
            // The sub-format's GUID starts with the plain format tag.
            tag = le16(b, 24);
            mask = le32(b, 20) & 0xffffffffL;
            int valid = le16(b, 18);
            validBits = valid > 0 && valid <= bits ? valid : bits;
        }
        if (channels == 0) {
            throw CliException.file(name + " is a damaged WAV file: its format chunk states 0 channels");
        }
        int hz = PcmReader.checkRate(name, rate);
        String what = describe(tag, validBits);
        SampleDecoder.Decoder decoder;
        int container = (bits + 7) / 8;
        if (tag == TAG_PCM) {
            decoder = bits < 1 || bits > 32 ? null : container == 1 ? SampleDecoder.forPcm(8, false, false)
                    : SampleDecoder.forPcm(container * 8, true, false);
        } else if (tag == TAG_FLOAT) {
            decoder = SampleDecoder.forFloat(bits, false);
        } else if (tag == TAG_ALAW || tag == TAG_MULAW) {
            decoder = bits != 8 ? null : tag == TAG_ALAW ? SampleDecoder.forAlaw() : SampleDecoder.forUlaw();
        } else {
            throw new InputFile.ForFfmpeg(what + " WAV", name + " is " + what + ", which is not supported; "
                    + SUPPORTED);
        }
        if (decoder == null) {
            throw CliException.file(name + " is " + what + ", which is not supported; " + SUPPORTED);
        }
        if (blockAlign != channels * container) {
            throw CliException.file(String.format(Locale.ROOT, "%s is a damaged WAV file: its format chunk gives %d"
                    + " bytes a frame, where %d channel%s of %s take%s %d", name, blockAlign, channels,
                    channels == 1 ? "" : "s", what, channels == 1 ? "s" : "", channels * container));
        }
        return new PcmReader.Layout(channels, mask, hz, blockAlign, decoder, what);
    }

    private static String describe(int tag, int bits) {
        switch (tag) {
            case TAG_PCM:
                return bits + "-bit PCM";
            case TAG_FLOAT:
                return bits + "-bit float";
            case 2:
                return "MS ADPCM";
            case 0x11:
                return "IMA ADPCM";
            case TAG_ALAW:
                return "A-law";
            case TAG_MULAW:
                return "mu-law";
            case 0x31:
                return "GSM 6.10";
            case 0x50:
                return "MPEG audio";
            case 0x55:
                return "MP3";
            default:
                return String.format(Locale.ROOT, "format 0x%04x", tag);
        }
    }

    private static String printable(String id) {
        return id.replaceAll("[^\\x20-\\x7e]", "?");
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
