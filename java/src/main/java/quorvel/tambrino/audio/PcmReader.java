// The samples of an uncompressed file (WAV, AIFF, AU) once its header has been read, as 16-bit frames.
package quorvel.tambrino.audio;

import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.util.Locale;

/**
 * Reads the sample data that a WAV, AIFF or AU header has described, converts
 * each sample to 16 bits ({@link SampleDecoder}) and mixes more than two
 * channels down to stereo ({@link Downmix}).
 *
 * <p>The header's data size is believed only as far as the file goes: an
 * unknown size (what writers that cannot seek back leave behind) means "to
 * the end of the file"; a size beyond the end is a file cut short, of which
 * the frames that are there are used and one warning is given, as is a last
 * frame cut in the middle. No silence is ever added. On a pipe the size is an
 * upper bound, checked as the samples arrive.
 *
 * <p>One thread opens, reads and closes it.
 */
final class PcmReader implements InputFile.Reader {
    static final int MIN_RATE = 2000;
    static final int MAX_RATE = 384000;

    /** What a header says about the samples. */
    static final class Layout {
        final int channels;
        final int rate;
        /** Bytes per frame: the channels' samples, each in a container of {@code blockAlign / channels} bytes. */
        final int blockAlign;
        final SampleDecoder.Decoder decoder;
        /** The encoding, for messages: "24-bit PCM". */
        final String encoding;
        /** The mix to stereo of more channels, or null. */
        final Downmix downmix;

        Layout(int channels, long speakerMask, int rate, int blockAlign, SampleDecoder.Decoder decoder,
                String encoding) {
            this.channels = channels;
            this.rate = rate;
            this.blockAlign = blockAlign;
            this.decoder = decoder;
            this.encoding = encoding;
            this.downmix = channels > 2 ? Downmix.of(channels, speakerMask) : null;
        }
    }

    /** The rate as a whole number of Hz, or a {@link CliException} that says which rates are read. */
    static int checkRate(String name, double rate) {
        if (!(rate >= MIN_RATE && rate <= MAX_RATE) || rate != Math.rint(rate)) {
            throw CliException.file(name + " has a sample rate of " + formatRate(rate) + " Hz; supported: whole rates"
                    + " from " + MIN_RATE + " to " + MAX_RATE + " Hz");
        }
        return (int) rate;
    }

    private static String formatRate(double rate) {
        return rate == Math.rint(rate) && Math.abs(rate) < 1e15 ? Long.toString((long) rate)
                : String.format(Locale.ROOT, "%.3f", rate);
    }

    private final String name;
    private final InputStream in;
    private final Layout layout;
    private final int channels;
    private final int blockAlign;
    private short[] unmixed = new short[0];
    /** Bytes of samples still to read; -1 = up to the end of the stream. */
    private long remaining;
    /** What the header promised, in bytes, when it promised a size; else -1. */
    private final long declared;
    private final long frameLength;
    private byte[] bytes = new byte[0];
    private long framesRead;
    private String warning;

    /**
     * The samples of {@code in}, which stands at the first of them, {@code dataOffset}
     * bytes into a file of {@code fileSize} bytes (-1 on a pipe); {@code declared}
     * is the data size the header gives, or -1 when it gives none.
     */
    PcmReader(String name, InputStream in, Layout layout, long dataOffset, long declared, long fileSize) {
        this.name = name;
        this.in = in;
        this.layout = layout;
        this.channels = layout.downmix != null ? 2 : layout.channels;
        this.blockAlign = layout.blockAlign;
        this.declared = declared;
        long available = fileSize < 0 ? -1 : Math.max(0, fileSize - dataOffset);
        if (available < 0) {
            remaining = declared;
            frameLength = -1;
        } else if (declared < 0 || declared > available) {
            remaining = available;
            frameLength = available / blockAlign;
            if (declared > available || available % blockAlign != 0) {
                warning = cutShortWarning(frameLength);
            }
        } else {
            remaining = declared;
            frameLength = declared / blockAlign;
        }
    }

    private String cutShortWarning(long frames) {
        if (declared < 0) {
            return String.format(Locale.ROOT, "%s ends in the middle of a frame after %.2f s: it was cut short;"
                    + " the whole frames are used", name, (double) frames / layout.rate);
        }
        return String.format(Locale.ROOT, "%s ends after %.2f s, before the %.2f s its header states; only what is"
                + " there is used", name, (double) frames / layout.rate, (double) declared / blockAlign / layout.rate);
    }

    @Override
    public String description() {
        String mix = layout.downmix != null ? layout.channels + " channels mixed to stereo"
                : channels == 1 ? "mono" : "stereo";
        return layout.encoding + ", " + mix + ", " + layout.rate + " Hz";
    }

    @Override
    public int channels() {
        return channels;
    }

    @Override
    public int sampleRate() {
        return layout.rate;
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
        int fileChannels = layout.channels;
        if (layout.downmix == null) {
            decode(bytes, n * channels, blockAlign / channels, buffer, offset * channels);
        } else {
            if (unmixed.length < n * fileChannels) {
                unmixed = new short[n * fileChannels];
            }
            decode(bytes, n * fileChannels, blockAlign / fileChannels, unmixed, 0);
            layout.downmix.mix(unmixed, n, buffer, offset);
        }
        framesRead += n;
        if (remaining >= 0) {
            remaining -= got;
        }
        if (got < want) {
            remaining = 0;
            if (frameLength < 0 && warning == null && (declared >= 0 || got % blockAlign != 0)) {
                warning = cutShortWarning(framesRead);
            }
        }
        return n;
    }

    private void decode(byte[] from, int samples, int bytesPerSample, short[] to, int at) {
        SampleDecoder.Decoder decoder = layout.decoder;
        for (int i = 0, o = 0; i < samples; i++, o += bytesPerSample) {
            to[at + i] = decoder.sample(from, o);
        }
    }

    @Override
    public void close() throws IOException {
        in.close();
    }
}
