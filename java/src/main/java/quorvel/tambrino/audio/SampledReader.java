// MP3 input: the frames picked out by Mp3Stream, decoded through javax.sound.sampled and Debian's mp3spi.
package quorvel.tambrino.audio;

import java.io.BufferedInputStream;
import java.io.IOException;
import java.util.Locale;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;

/**
 * MP3 through {@code javax.sound.sampled}: the sound service provider that
 * the jar's manifest names (Debian's mp3spi with JLayer and Tritonus) decodes
 * it when asked for 16-bit signed PCM at the source's rate and channels, from
 * the frames that {@link Mp3Stream} picks out.
 *
 * <p>The format is recognised from the first bytes before any provider sees
 * the stream, so that a decoder that scans for a frame header cannot take an
 * unrelated file for music. The length of a decoded stream is not known in
 * advance ({@link #frameLength()} is -1): it ends where the decoder says so.
 * A file cut inside a frame gives the frames before it and a warning.
 *
 * <p>One thread opens, reads and closes it.
 */
final class SampledReader implements InputFile.Reader {
    private final String name;
    private final AudioInputStream stream;
    private final int channels;
    private final int sampleRate;
    private final int frameSize;
    private final SampleDecoder.Decoder decoder;
    private final String description;
    private byte[] bytes = new byte[0];
    private boolean ended;
    /** Where the music lies in the decoded frames, the one being played, and how many frames were decoded. */
    private final java.util.List<Mp3Stream.Segment> segments;
    private int segment;
    private long position;
    private final Mp3Stream mp3;
    private long delivered;

    private SampledReader(String name, AudioInputStream stream, SampleDecoder.Decoder decoder, String description,
            Mp3Stream mp3) {
        this.name = name;
        this.stream = stream;
        AudioFormat f = stream.getFormat();
        this.channels = f.getChannels();
        this.sampleRate = (int) f.getSampleRate();
        this.frameSize = f.getFrameSize();
        this.decoder = decoder;
        this.description = description;
        this.mp3 = mp3;
        this.segments = mp3.segments();
    }

    /** The three jars of the MP3 decoder, each by a class of its own. */
    private static final String[][] DECODER_CLASSES = {
        {"javazoom.spi.mpeg.sampled.file.MpegAudioFileReader", "libmp3spi-java"},
        {"javazoom.jl.decoder.Bitstream", "libjlayer-java"},
        {"org.tritonus.share.sampled.file.TAudioFileReader", "libtritonus-java"},
    };

    private static boolean isMp3(byte[] h, int n) {
        if (n >= 3 && h[0] == 'I' && h[1] == 'D' && h[2] == '3') {
            return true;
        }
        // An MPEG audio frame header: eleven set sync bits and a layer.
        return n >= 2 && (h[0] & 0xff) == 0xff && (h[1] & 0xe0) == 0xe0 && (h[1] & 0x06) != 0;
    }

    /** The Debian packages of the MP3 decoder that are missing, or null when it is all there. */
    private static String missingDecoder() {
        StringBuilder missing = new StringBuilder();
        for (String[] c : DECODER_CLASSES) {
            try {
                Class.forName(c[0], false, SampledReader.class.getClassLoader());
            } catch (ClassNotFoundException | LinkageError e) {
                missing.append(missing.length() > 0 ? ", " : "").append(c[1]);
            }
        }
        return missing.length() > 0 ? missing.toString() : null;
    }

    static SampledReader open(String name, BufferedInputStream in, byte[] head, int n) throws IOException {
        if (!isMp3(head, n)) {
            throw CliException.file(name + " is not a WAV file nor another format that can be read (unknown or"
                    + " unsupported format); supported: " + InputFile.ALL_FORMATS);
        }
        String missing = missingDecoder();
        if (missing != null) {
            throw CliException.file(name + " is MP3, but its decoder is not installed: install Debian's " + missing
                    + " (see the README)");
        }
        Mp3Stream mp3 = new Mp3Stream(in);
        mp3.start();
        if (!mp3.anyMusic()) {
            throw CliException.file(name + " holds no audio: " + (mp3.cutShort() ? "it ends inside its first MP3"
                    + " frame of music (it was cut short)" : "it has no MP3 frames of music"));
        }
        AudioInputStream source;
        try {
            source = AudioSystem.getAudioInputStream(new BufferedInputStream(mp3, 1 << 16));
        } catch (UnsupportedAudioFileException e) {
            throw CliException.file(name + " is a damaged MP3 file: its frames cannot be decoded");
        } catch (LinkageError e) {
            throw CliException.file(name + " is MP3 but its decoder is incomplete (" + e + "); install Debian's"
                    + " libmp3spi-java, libjlayer-java and libtritonus-java");
        }
        AudioFormat f = source.getFormat();
        int channels = f.getChannels();
        if (channels != 1 && channels != 2) {
            InputFile.closeQuietly(source);
            throw CliException.file(name + " has " + channels + " channels; only mono and stereo are supported");
        }
        float rate = f.getSampleRate();
        try {
            PcmReader.checkRate(name, rate);
        } catch (CliException e) {
            InputFile.closeQuietly(source);
            throw e;
        }
        String description = "MP3, " + (channels == 1 ? "mono" : "stereo") + ", " + (int) rate + " Hz";
        AudioFormat pcm = new AudioFormat(AudioFormat.Encoding.PCM_SIGNED, rate, 16, channels, 2 * channels, rate,
                false);
        try {
            AudioInputStream decoded = AudioSystem.getAudioInputStream(pcm, source);
            return new SampledReader(name, decoded, SampleDecoder.forPcm(16, true, false), description, mp3);
        } catch (IllegalArgumentException e) {
            InputFile.closeQuietly(source);
            throw CliException.file(name + " is MP3 encoded as " + f.getEncoding() + ", which cannot be decoded;"
                    + " supported: " + InputFile.ALL_FORMATS);
        }
    }

    @Override
    public String description() {
        return description;
    }

    @Override
    public String warning() {
        if (!mp3.cutShort()) {
            return null;
        }
        return String.format(Locale.ROOT, "%s ends inside an MP3 frame after %.2f s: it was cut short; the audio up to"
                + " there is used", name, (double) delivered / sampleRate);
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
        return -1;
    }

    @Override
    public int read(short[] buffer, int offset, int frames) throws IOException {
        int done = 0;
        while (done < frames) {
            // The caller's buffer holds what is dropped: only the frames returned count.
            int n = decode(buffer, offset + done, frames - done);
            if (n == 0) {
                break;
            }
            done += keepMusic(buffer, offset + done, n);
        }
        delivered += done;
        return done;
    }

    /**
     * Keeps of the {@code n} frames just decoded at {@code at} those that are
     * music, moved to the front; returns how many.
     */
    private int keepMusic(short[] buffer, int at, int n) {
        long p = position;
        long end = position + n;
        int kept = 0;
        while (p < end) {
            Mp3Stream.Segment s = segments.get(segment);
            Mp3Stream.Segment next = segment + 1 < segments.size() ? segments.get(segment + 1) : null;
            long stop = s.to >= 0 ? s.to : Long.MAX_VALUE;
            if (next != null) {
                stop = Math.min(stop, next.begin);
            }
            if (p >= stop) {
                if (next == null) {
                    break;
                }
                segment++;
                continue;
            }
            long from = Math.max(p, s.from);
            long to = Math.min(end, stop);
            if (from < to) {
                System.arraycopy(buffer, (at + (int) (from - position)) * channels, buffer, (at + kept) * channels,
                        (int) (to - from) * channels);
                kept += (int) (to - from);
            }
            p = Math.max(p, to);
        }
        position = end;
        return kept;
    }

    private int decode(short[] buffer, int offset, int frames) throws IOException {
        if (ended || frames <= 0) {
            return 0;
        }
        int want = frames * frameSize;
        if (bytes.length < want) {
            bytes = new byte[want];
        }
        int got = 0;
        try {
            while (got < want) {
                int n = stream.read(bytes, got, want - got);
                if (n < 0) {
                    ended = true;
                    break;
                }
                got += n;
            }
        } catch (IOException | RuntimeException e) {
            // Decoders report damaged data in many ways; the frames before it are kept.
            throw CliException.file("error while decoding " + name + ": " + e.getMessage(), e);
        }
        int n = got / frameSize;
        int base = offset * channels;
        int bytesPerSample = frameSize / channels;
        for (int i = 0, o = 0; i < n * channels; i++, o += bytesPerSample) {
            buffer[base + i] = decoder.sample(bytes, o);
        }
        return n;
    }

    @Override
    public void close() throws IOException {
        stream.close();
    }
}
