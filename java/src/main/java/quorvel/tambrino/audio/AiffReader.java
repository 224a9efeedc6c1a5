// An AIFF or AIFF-C file's header: where its samples start, how many there are and how they are stored.
package quorvel.tambrino.audio;

import java.io.BufferedInputStream;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Path;

/**
 * Reads the chunks of an AIFF or AIFF-C file up to its sound data, which
 * {@link PcmReader} then reads: big-endian PCM of 1 to 32 bits, and in
 * AIFF-C also little-endian PCM ({@code sowt}, {@code 42ni}, {@code 23ni}),
 * 32- and 64-bit float, A-law and mu-law. Other compressions go to ffmpeg
 * ({@link InputFile.ForFfmpeg}).
 *
 * <p>The chunks may come in any order: when the sound data comes before the
 * format (COMM), a file is opened again at its samples once the format is
 * known; on a pipe that is refused. The SSND chunk's size is the data size,
 * believed only as far as the file goes (0 or a size from 0x7F000000 up, left
 * by writers that stream, means "to the end").
 */
final class AiffReader {
    private AiffReader() {}

    static final String SUPPORTED = "supported: AIFF of 8 to 32 bits, AIFF-C uncompressed (NONE, twos, sowt,"
            + " in24, in32), float (fl32, fl64), A-law and mu-law";

    /** An AIFF header whose first twelve bytes ("FORM", size, "AIFF" or "AIFC") have been read. */
    static PcmReader open(String name, InputStream in, boolean aifc, Path path, long fileSize) throws IOException {
        long offset = 12;
        PcmReader.Layout layout = null;
        long dataStart = -1;
        long declared = -1;
        byte[] head = new byte[8];
        while (true) {
            if (!WavReader.readFully(in, head, 8)) {
                if (layout == null) {
                    throw CliException.file(name + " holds no audio: its AIFF header ends before the format (COMM)"
                            + " chunk");
                }
                if (dataStart < 0) {
                    throw CliException.file(name + " holds no audio: it has no sound data (SSND) chunk");
                }
                // The sound data came first: read it again, now that its format is known.
                in.close();
                InputStream again = new BufferedInputStream(new FileInputStream(path.toFile()), 1 << 16);
                try {
                    again.skipNBytes(dataStart);
                } catch (IOException e) {
                    again.close();
                    throw e;
                }
                return new PcmReader(name, again, layout, dataStart, declared, fileSize);
            }
            offset += 8;
            String id = InputFile.ascii(head, 0, 4);
            long size = be32(head, 4) & 0xffffffffL;
            long padded = size + (size & 1);
            if (id.equals("SSND")) {
                byte[] b = new byte[8];
                if (!WavReader.readFully(in, b, 8)) {
                    throw CliException.file(name + " holds no audio: it ends inside its AIFF header");
                }
                long skip = be32(b, 0) & 0xffffffffL;
                dataStart = offset + 8 + skip;
                declared = size == 0 || size >= 0x7F000000L ? -1 : Math.max(0, size - 8 - skip);
                if (layout != null) {
                    if (!skip(in, skip)) {
                        throw CliException.file(name + " holds no audio: it ends before its samples start");
                    }
                    return new PcmReader(name, in, layout, dataStart, declared, fileSize);
                }
                if (path == null || declared < 0) {
                    throw CliException.file(name + " cannot be read from a pipe: its sound data comes before its"
                            + " format (COMM) chunk; name the file instead");
                }
                skip(in, padded - 8);
                offset += padded;
                continue;
            }
            if (size > Integer.MAX_VALUE / 2) {
                throw CliException.file(name + " is a damaged AIFF file: its '" + id.replaceAll("[^\\x20-\\x7e]", "?")
                        + "' chunk claims " + size + " bytes");
            }
            if (id.equals("COMM")) {
                byte[] body = new byte[(int) size];
                if (!WavReader.readFully(in, body, body.length)) {
                    throw CliException.file(name + " holds no audio: it ends inside its AIFF header");
                }
                layout = parseCommon(name, body, aifc);
                skip(in, padded - size);
            } else {
                skip(in, padded);
            }
            offset += padded;
        }
    }

    private static PcmReader.Layout parseCommon(String name, byte[] b, boolean aifc) throws IOException {
        if (b.length < 18 || aifc && b.length < 22) {
            throw CliException.file(name + " is a damaged AIFF file: its format (COMM) chunk is too short");
        }
        int channels = be16(b, 0);
        int bits = be16(b, 6);
        double rate = extended(b, 8);
        String type = aifc ? InputFile.ascii(b, 18, 4) : "NONE";
        if (channels == 0) {
            throw CliException.file(name + " is a damaged AIFF file: its format chunk states 0 channels");
        }
        int hz = PcmReader.checkRate(name, rate);
        int container = (bits + 7) / 8;
        SampleDecoder.Decoder decoder;
        String what;
        switch (type) {
            case "NONE":
            case "twos":
            case "sowt":
                decoder = bits < 1 || bits > 32 ? null : SampleDecoder.forPcm(container * 8, true,
                        !type.equals("sowt"));
                what = bits + "-bit PCM";
                break;
            case "raw ":
                decoder = bits == 8 ? SampleDecoder.forPcm(8, false, true) : null;
                what = bits + "-bit unsigned PCM";
                break;
            case "in24":
            case "42ni":
                container = 3;
                decoder = SampleDecoder.forPcm(24, true, type.equals("in24"));
                what = "24-bit PCM";
                break;
            case "in32":
            case "23ni":
                container = 4;
                decoder = SampleDecoder.forPcm(32, true, type.equals("in32"));
                what = "32-bit PCM";
                break;
            case "fl32":
            case "FL32":
                container = 4;
                decoder = SampleDecoder.forFloat(32, true);
                what = "32-bit float";
                break;
            case "fl64":
            case "FL64":
                container = 8;
                decoder = SampleDecoder.forFloat(64, true);
                what = "64-bit float";
                break;
            case "alaw":
            case "ALAW":
            case "ulaw":
            case "ULAW":
                container = 1;
                decoder = type.equalsIgnoreCase("alaw") ? SampleDecoder.forAlaw() : SampleDecoder.forUlaw();
                what = type.equalsIgnoreCase("alaw") ? "A-law" : "mu-law";
                break;
            default:
                String label = "AIFF-C with '" + type.replaceAll("[^\\x20-\\x7e]", "?") + "' compression";
                throw new InputFile.ForFfmpeg(label, name + " is " + label + ", which is not supported; "
                        + SUPPORTED);
        }
        if (decoder == null) {
            throw CliException.file(name + " is " + what + " AIFF, which is not supported; " + SUPPORTED);
        }
        if (channels > 2) {
            throw CliException.file(name + " has " + channels + " channels; AIFF files are read in mono and stereo");
        }
        return new PcmReader.Layout(channels, 0, hz, channels * container, decoder,
                (aifc ? "AIFF-C " : "AIFF ") + what);
    }

    /** An 80-bit IEEE 754 extended float, as AIFF gives the sample rate. */
    static double extended(byte[] b, int o) {
        int exponent = ((b[o] & 0x7f) << 8) | (b[o + 1] & 0xff);
        long mantissa = ((long) be32(b, o + 2) << 32) | (be32(b, o + 6) & 0xffffffffL);
        if (exponent == 0x7fff) {
            return Double.NaN;
        }
        double v = Math.scalb((double) (mantissa >>> 11), exponent - 16383 - 52);
        return (b[o] & 0x80) != 0 ? -v : v;
    }

    static int be16(byte[] b, int o) {
        return ((b[o] & 0xff) << 8) | (b[o + 1] & 0xff);
    }

    static int be32(byte[] b, int o) {
        return (b[o] << 24) | ((b[o + 1] & 0xff) << 16) | ((b[o + 2] & 0xff) << 8) | (b[o + 3] & 0xff);
    }

    /** Skips {@code n} bytes; false when the stream ends first. */
    static boolean skip(InputStream in, long n) throws IOException {
        try {
            in.skipNBytes(n);
            return true;
        } catch (java.io.EOFException e) {
            return false;
        }
    }
}
