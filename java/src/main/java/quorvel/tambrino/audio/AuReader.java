// An AU (Sun/NeXT) file's header: where its samples start, how many there are and how they are stored.
package quorvel.tambrino.audio;

import java.io.IOException;
import java.io.InputStream;

/**
 * Reads the header of an AU file, which {@link PcmReader} then reads:
 * 8-, 16-, 24- and 32-bit PCM, 32- and 64-bit float, A-law and mu-law, all
 * big-endian. Other encodings (the G.72x ADPCMs) go to ffmpeg
 * ({@link InputFile.ForFfmpeg}). A data size of 0xFFFFFFFF, which writers
 * that stream leave, means "to the end".
 */
final class AuReader {
    private AuReader() {}

    static final String SUPPORTED = "supported: AU of 8-, 16-, 24- and 32-bit PCM, 32- and 64-bit float, A-law and"
            + " mu-law";

    /** An AU header whose first twelve bytes (".snd", data offset, data size) have been read. */
    static PcmReader open(String name, InputStream in, byte[] first, long fileSize) throws IOException {
        byte[] b = new byte[12];
        if (!WavReader.readFully(in, b, 12)) {
            throw CliException.file(name + " holds no audio: it ends inside its AU header");
        }
        long dataOffset = AiffReader.be32(first, 4) & 0xffffffffL;
        long size = AiffReader.be32(first, 8) & 0xffffffffL;
        int encoding = AiffReader.be32(b, 0);
        long rate = AiffReader.be32(b, 4) & 0xffffffffL;
        long channels = AiffReader.be32(b, 8) & 0xffffffffL;
        if (dataOffset < 24 || dataOffset > 1 << 20) {
            throw CliException.file(name + " is a damaged AU file: its samples would start at byte " + dataOffset);
        }
        int bytes;
        SampleDecoder.Decoder decoder;
        String what;
        switch (encoding) {
            case 1:
                bytes = 1;
                decoder = SampleDecoder.forUlaw();
                what = "mu-law";
                break;
            case 27:
                bytes = 1;
                decoder = SampleDecoder.forAlaw();
                what = "A-law";
                break;
            case 2:
            case 3:
            case 4:
            case 5:
                bytes = encoding - 1;
                decoder = SampleDecoder.forPcm(8 * bytes, true, true);
                what = 8 * bytes + "-bit PCM";
                break;
            case 6:
            case 7:
                bytes = encoding == 6 ? 4 : 8;
                decoder = SampleDecoder.forFloat(8 * bytes, true);
                what = 8 * bytes + "-bit float";
                break;
            default:
                String label = "AU with encoding " + encoding;
                throw new InputFile.ForFfmpeg(label, name + " is " + label + ", which is not supported; "
                        + SUPPORTED);
        }
        if (channels == 0) {
            throw CliException.file(name + " is a damaged AU file: its header states 0 channels");
        }
        if (channels > 2) {
            throw CliException.file(name + " has " + channels + " channels; AU files are read in mono and stereo");
        }
        int hz = PcmReader.checkRate(name, rate);
        if (!AiffReader.skip(in, dataOffset - 24)) {
            throw CliException.file(name + " holds no audio: it ends inside its AU header");
        }
        PcmReader.Layout layout = new PcmReader.Layout((int) channels, 0, hz, (int) channels * bytes, decoder,
                "AU " + what);
        return new PcmReader(name, in, layout, dataOffset, size == 0xFFFFFFFFL ? -1 : size, fileSize);
    }
}
