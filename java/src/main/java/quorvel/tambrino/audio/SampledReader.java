package quorvel.tambrino.audio;

import java.io.BufferedInputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;
import quorvel.tambrino.practice.Settings;

/**
 * AIFF, AU, MP3 and Ogg Vorbis through {@code javax.sound.sampled}: the JDK
 * reads AIFF and AU, and the sound service providers that the jar's manifest
 * names (Debian's mp3spi with JLayer and Tritonus, vorbisspi with JOrbis)
 * decode MP3 and Vorbis when asked for 16-bit signed PCM at the source's rate
 * and channels.
 *
 * <p>The format is recognised from the first bytes before any provider sees
 * the stream, so that a decoder that scans for a frame header cannot take an
 * unrelated file for music. The length of a decoded stream is not known in
 * advance ({@link #frameLength()} is -1): it ends where the decoder says so.
 * The Vorbis decoder may return no bytes before the end, so reading goes on
 * until it reports the end.
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
    /** Decoded frames still to drop before the music: an MP3 encoder's and decoder's delays. */
    private long skip;
    /** Frames of music still to deliver, when the file says how many it has; else -1. */
    private long remaining;

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
        this.skip = mp3 != null ? mp3.skip() : 0;
        this.remaining = mp3 != null ? mp3.length() : -1;
    }

    private enum Kind {
        AIFF("AIFF"), AU("AU"), MP3("MP3"), VORBIS("Ogg Vorbis");

        final String label;

        Kind(String label) {
            this.label = label;
        }
    }

    private static Kind recognise(byte[] h, int n) {
        String four = n >= 4 ? new String(h, 0, 4, StandardCharsets.ISO_8859_1) : "";
        if (four.equals("FORM") && n >= 12) {
            String type = new String(h, 8, 4, StandardCharsets.ISO_8859_1);
            return type.equals("AIFF") || type.equals("AIFC") ? Kind.AIFF : null;
        }
        if (four.equals(".snd")) {
            return Kind.AU;
        }
        if (four.equals("OggS")) {
            return Kind.VORBIS;
        }
        if (n >= 3 && four.startsWith("ID3")) {
            return Kind.MP3;
        }
        if (n >= 2 && (h[0] & 0xff) == 0xff && (h[1] & 0xe0) == 0xe0 && (h[1] & 0x06) != 0) {
            // An MPEG audio frame header: eleven set sync bits and a layer.
            return Kind.MP3;
        }
        return null;
    }

    static SampledReader open(String name, BufferedInputStream in, byte[] head, int n) throws IOException {
        Kind kind = recognise(head, n);
        if (kind == null) {
            throw CliException.file(name + " is not a WAV file nor another format that can be read (unknown or"
                    + " unsupported format); supported: " + InputFile.ALL_FORMATS);
        }
        if (kind == Kind.VORBIS && !InputFile.peek(in, 64).contains("\u0001vorbis")) {
            throw CliException.file(name + " is an Ogg file without Vorbis, Opus or FLAC audio; supported: "
                    + InputFile.ALL_FORMATS);
        }
        Mp3Stream mp3 = null;
        AudioInputStream source;
        try {
            if (kind == Kind.MP3) {
                mp3 = new Mp3Stream(in);
                mp3.start();
                if (!mp3.anyFrame()) {
                    throw CliException.file(name + " holds no audio: it has no MP3 frames");
                }
            }
            source = AudioSystem.getAudioInputStream(mp3 != null ? new BufferedInputStream(mp3, 1 << 16) : in);
        } catch (UnsupportedAudioFileException e) {
            String missing = kind == Kind.MP3 || kind == Kind.VORBIS ? " (is its decoder, " + decoderJars(kind)
                    + ", installed? see the README)" : "";
            throw CliException.file(name + " looks like " + kind.label + " but cannot be decoded" + missing
                    + "; supported: " + InputFile.ALL_FORMATS);
        } catch (LinkageError e) {
            throw CliException.file(name + " is " + kind.label + " but its decoder is incomplete (" + e
                    + "); install " + decoderJars(kind));
        }
        AudioFormat f = source.getFormat();
        int channels = f.getChannels();
        if (channels != 1 && channels != 2) {
            InputFile.closeQuietly(source);
            throw CliException.file(name + " has " + channels + " channels; only mono and stereo are supported");
        }
        float rate = f.getSampleRate();
        if (!(rate >= WavReader.MIN_RATE && rate <= WavReader.MAX_RATE) || rate != Math.rint(rate)) {
            InputFile.closeQuietly(source);
            throw CliException.file(name + " has a sample rate of " + Settings.fmt(rate) + " Hz; supported: whole"
                    + " rates from " + WavReader.MIN_RATE + " to " + WavReader.MAX_RATE + " Hz");
        }
        String description = kind.label + ", " + (channels == 1 ? "mono" : "stereo") + ", " + (int) rate + " Hz";
        SampleDecoder.Decoder own = ownDecoder(f);
        if (own != null) {
            return new SampledReader(name, source, own, description, mp3);
        }
        AudioFormat pcm = new AudioFormat(AudioFormat.Encoding.PCM_SIGNED, rate, 16, channels, 2 * channels, rate,
                false);
        try {
            AudioInputStream decoded = AudioSystem.getAudioInputStream(pcm, source);
            return new SampledReader(name, decoded, SampleDecoder.forPcm(16, true, false), description, mp3);
        } catch (IllegalArgumentException e) {
            InputFile.closeQuietly(source);
            throw CliException.file(name + " is " + kind.label + " encoded as " + f.getEncoding() + ", which cannot be"
                    + " decoded; supported: " + InputFile.ALL_FORMATS);
        }
    }

    /** Plain PCM and float samples are converted here, also those sizes that the JDK does not convert. */
    private static SampleDecoder.Decoder ownDecoder(AudioFormat f) {
        int bits = f.getSampleSizeInBits();
        if (f.getFrameSize() != f.getChannels() * ((bits + 7) / 8)) {
            return null;
        }
        AudioFormat.Encoding e = f.getEncoding();
        if (e.equals(AudioFormat.Encoding.PCM_SIGNED) || e.equals(AudioFormat.Encoding.PCM_UNSIGNED)) {
            return SampleDecoder.forPcm(bits, e.equals(AudioFormat.Encoding.PCM_SIGNED), f.isBigEndian());
        }
        if (e.equals(AudioFormat.Encoding.PCM_FLOAT)) {
            return SampleDecoder.forFloat(bits, f.isBigEndian());
        }
        return null;
    }

    private static String decoderJars(Kind kind) {
        return kind == Kind.MP3 ? "Debian's libmp3spi-java, libjlayer-java and libtritonus-java"
                : "Debian's libvorbisspi-java and libjorbis-java";
    }

    @Override
    public String description() {
        return description;
    }

    @Override
    public String warning() {
        return null;
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
        while (skip > 0) {
            // The caller's buffer holds what is dropped: only the frames returned count.
            int n = decode(buffer, offset, (int) Math.min(frames, skip));
            if (n == 0) {
                return 0;
            }
            skip -= n;
        }
        if (remaining >= 0) {
            frames = (int) Math.min(frames, remaining);
        }
        int n = decode(buffer, offset, frames);
        if (remaining >= 0) {
            remaining -= n;
        }
        return n;
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
