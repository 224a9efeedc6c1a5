// The music to work on: a file or standard input, opened by the reader its first bytes call for.
package quorvel.tambrino.audio;

import java.io.BufferedInputStream;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;

/**
 * Opens the music to work on, a file or standard input ("-"), recognising its
 * format from its first bytes rather than its name: WAV, AIFF and AU read
 * here ({@link WavReader}, {@link AiffReader}, {@link AuReader}), Ogg Vorbis
 * through JOrbis ({@link VorbisReader}), MP3 through
 * {@code javax.sound.sampled} and its sound service provider
 * ({@link SampledReader}), and FLAC, Opus, M4A and the other formats that
 * ffmpeg knows, compressed WAV, AIFF-C and AU included, through ffmpeg when it
 * is installed ({@link FfmpegReader}).
 *
 * <p>One thread opens a file and then reads and closes what it returned.
 */
public final class InputFile {
    private InputFile() {}

    /** The argument that names standard input (or output). */
    static final String STDIO = "-";

    static final String ALL_FORMATS = "8-, 16-, 24- and 32-bit PCM or 32- and 64-bit float WAV, AIFF or AU (also"
            + " A-law and mu-law); MP3; Ogg Vorbis; with ffmpeg installed also FLAC, Opus, M4A/AAC, WMA and others";

    /** The most of standard input kept while its header is read, to hand it whole to ffmpeg. */
    private static final int REPLAY_LIMIT = 1 << 20;

    /**
     * Thrown by a header reader for an encoding that ffmpeg decodes and the
     * readers here do not (ADPCM inside WAV, say): the file goes to ffmpeg.
     */
    static final class ForFfmpeg extends IOException {
        private static final long serialVersionUID = 1L;

        /** What the file is, for messages: "IMA ADPCM WAV". */
        final String label;

        ForFfmpeg(String label, String refusal) {
            super(refusal);
            this.label = label;
        }
    }

    /** A decoded stream of 16-bit frames. */
    public interface Reader extends PcmSource, AutoCloseable {
        /** How the stream is encoded, for messages: "24-bit PCM, stereo, 48000 Hz". */
        String description();

        /** A warning about the input to show the user once, or null. */
        String warning();

        @Override
        void close() throws IOException;
    }

    public static boolean isStdio(String arg) {
        return STDIO.equals(arg);
    }

    /** The name for messages: the path, or "standard input". */
    public static String displayName(String arg) {
        return isStdio(arg) ? "standard input" : arg;
    }

    /** Opens {@code arg} or throws a {@link CliException} that says why it cannot be used. */
    static Reader open(String arg) {
        String name = displayName(arg);
        InputStream raw;
        long fileSize = -1;
        Path path = null;
        Replay replay = null;
        if (isStdio(arg)) {
            raw = replay = new Replay(System.in);
        } else {
            path = Path.of(arg);
            if (!Files.exists(path)) {
                throw CliException.file(path + ": no such file");
            }
            if (Files.isDirectory(path)) {
                throw CliException.file(path + " is a folder, not an audio file");
            }
            if (!Files.isReadable(path)) {
                throw CliException.file(path + ": permission denied, the file cannot be read");
            }
            try {
                raw = new FileInputStream(path.toFile());
                if (Files.isRegularFile(path)) {
                    fileSize = Files.size(path);
                }
            } catch (IOException e) {
                throw CliException.file(path + " cannot be read: " + OutputFiles.reason(e), e);
            }
        }
        BufferedInputStream in = new BufferedInputStream(raw, 1 << 16);
        try {
            Reader r;
            try {
                r = open(name, path, in, fileSize);
            } catch (ForFfmpeg e) {
                r = throughFfmpeg(name, path, in, replay, e);
            }
            if (replay != null) {
                replay.stop();
            }
            return r;
        } catch (RuntimeException | Error e) {
            closeQuietly(in);
            throw e;
        } catch (IOException e) {
            closeQuietly(in);
            throw CliException.file(name + " cannot be read: " + OutputFiles.reason(e), e);
        }
    }

    /** A file whose encoding only ffmpeg decodes, handed to it from its first byte. */
    private static Reader throughFfmpeg(String name, Path path, BufferedInputStream in, Replay replay, ForFfmpeg e)
            throws IOException {
        if (path != null) {
            // ffmpeg reads the file itself, by name.
            closeQuietly(in);
            return FfmpegReader.open(name, e.label, path, null, e.getMessage());
        }
        InputStream again = replay.again();
        if (again == null) {
            throw CliException.file(e.getMessage() + "; ffmpeg opens it, but its header is too long to pass on"
                    + " from standard input: name the file instead");
        }
        return FfmpegReader.open(name, e.label, null, again, e.getMessage());
    }

    /**
     * Standard input that keeps what was read from it while a header is
     * read, so that the stream can be handed on whole from its first byte.
     */
    private static final class Replay extends java.io.FilterInputStream {
        private java.io.ByteArrayOutputStream kept = new java.io.ByteArrayOutputStream();

        Replay(InputStream in) {
            super(in);
        }

        @Override
        public int read() throws IOException {
            int b = super.read();
            if (b >= 0) {
                keep(new byte[] {(byte) b}, 0, 1);
            }
            return b;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            int n = super.read(b, off, len);
            if (n > 0) {
                keep(b, off, n);
            }
            return n;
        }

        @Override
        public long skip(long n) throws IOException {
            // Read rather than skipped, so that it is kept.
            byte[] b = new byte[(int) Math.min(n, 8192)];
            int got = read(b, 0, b.length);
            return Math.max(0, got);
        }

        private void keep(byte[] b, int off, int n) {
            if (kept != null) {
                kept.write(b, off, n);
                if (kept.size() > REPLAY_LIMIT) {
                    kept = null;
                }
            }
        }

        /** The stream from its first byte, or null when too much was read to keep. */
        InputStream again() {
            if (kept == null) {
                return null;
            }
            InputStream rest = new java.io.SequenceInputStream(new java.io.ByteArrayInputStream(kept.toByteArray()),
                    in);
            stop();
            return rest;
        }

        void stop() {
            kept = null;
        }
    }

    /**
     * Opens {@code arg} like {@link #open(String)} and makes sure that it
     * holds at least one frame, reading ahead when its length is unknown.
     */
    public static Reader openAudio(String arg) {
        Reader r = open(arg);
        try {
            if (r.frameLength() == 0) {
                throw noAudio(arg, r);
            }
            if (r.frameLength() < 0) {
                short[] first = new short[1024 * r.channels()];
                int n = r.read(first, 0, 1024);
                if (n <= 0) {
                    throw noAudio(arg, r);
                }
                return new ReadAhead(r, first, n);
            }
            return r;
        } catch (RuntimeException e) {
            closeQuietly(r);
            throw e;
        } catch (IOException e) {
            closeQuietly(r);
            throw CliException.file("error while reading " + displayName(arg) + ": " + OutputFiles.reason(e), e);
        }
    }

    /**
     * The 16-bit PCM (signed, little-endian, at the stream's rate and
     * channels) of a stream that a sound service provider opened from an
     * MP3 or Ogg Vorbis file and left encoded, decoded from its first byte by
     * the readers that {@code stretch} and {@code play} use: every page and
     * chained stream of an Ogg file, an MP3 file's gapless length. Null for
     * any other encoding, which the caller converts as it would.
     *
     * @throws IllegalArgumentException when the stream cannot be decoded, saying why
     */
    public static AudioInputStream decoded(AudioInputStream source) {
        String encoding = source.getFormat().getEncoding().toString();
        boolean vorbis = encoding.equals("VORBISENC");
        if (!vorbis && !encoding.startsWith("MPEG")) {
            return null;
        }
        String name = vorbis ? "the Ogg Vorbis stream" : "the MP3 stream";
        BufferedInputStream in = new BufferedInputStream(source, 1 << 16);
        Reader r;
        try {
            r = open(name, null, in, -1);
        } catch (CliException e) {
            throw new IllegalArgumentException(e.getMessage(), e);
        } catch (IOException e) {
            throw new IllegalArgumentException(name + " cannot be read: " + OutputFiles.reason(e), e);
        }
        int ch = r.channels();
        AudioFormat pcm = new AudioFormat(r.sampleRate(), 16, ch, true, false);
        return new AudioInputStream(new PcmBytes(r), pcm, AudioSystem.NOT_SPECIFIED);
    }

    /** A reader's frames as the bytes of 16-bit little-endian PCM. */
    private static final class PcmBytes extends InputStream {
        private final Reader r;
        private short[] frames = new short[0];
        private final byte[] one = new byte[1];

        PcmBytes(Reader r) {
            this.r = r;
        }

        @Override
        public int read() throws IOException {
            return read(one, 0, 1) < 0 ? -1 : one[0] & 0xff;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            int ch = r.channels();
            int n = len / (2 * ch);
            if (n == 0) {
                // Callers read whole frames (AudioInputStream does); a smaller read gets nothing yet.
                return len == 0 ? 0 : -1;
            }
            if (frames.length < n * ch) {
                frames = new short[n * ch];
            }
            int got = r.read(frames, 0, n);
            if (got <= 0) {
                return -1;
            }
            for (int i = 0; i < got * ch; i++) {
                b[off + 2 * i] = (byte) frames[i];
                b[off + 2 * i + 1] = (byte) (frames[i] >> 8);
            }
            return got * 2 * ch;
        }

        @Override
        public void close() throws IOException {
            r.close();
        }
    }

    private static CliException noAudio(String arg, Reader r) {
        String why = r.warning() == null ? "" : r.warning().contains(" is damaged") ? ": it is damaged"
                : ": it was cut short before the end of its first block of samples";
        return CliException.file(displayName(arg) + " holds no audio" + why);
    }

    /** A reader whose first frames were read ahead. */
    private static final class ReadAhead implements Reader {
        private final Reader r;
        private final short[] first;
        private int firstFrames;
        private int firstPos;

        ReadAhead(Reader r, short[] first, int frames) {
            this.r = r;
            this.first = first;
            this.firstFrames = frames;
        }

        @Override
        public int read(short[] buffer, int offset, int frames) throws IOException {
            if (firstPos < firstFrames) {
                int n = Math.min(frames, firstFrames - firstPos);
                int ch = r.channels();
                System.arraycopy(first, firstPos * ch, buffer, offset * ch, n * ch);
                firstPos += n;
                return n;
            }
            return r.read(buffer, offset, frames);
        }

        @Override
        public String description() {
            return r.description();
        }

        @Override
        public String warning() {
            return r.warning();
        }

        @Override
        public int channels() {
            return r.channels();
        }

        @Override
        public int sampleRate() {
            return r.sampleRate();
        }

        @Override
        public long frameLength() {
            return r.frameLength();
        }

        @Override
        public void close() throws IOException {
            r.close();
        }
    }

    private static Reader open(String name, Path path, BufferedInputStream in, long fileSize) throws IOException {
        byte[] head = new byte[12];
        in.mark(1 << 15);
        int n = in.readNBytes(head, 0, head.length);
        String four = ascii(head, 0, Math.min(n, 4));
        String type = n == 12 ? ascii(head, 8, 4) : "";
        if (n == 12 && (four.equals("RIFF") || four.equals("RF64")) && type.equals("WAVE")) {
            return WavReader.open(name, in, four.equals("RF64"), fileSize);
        }
        if (n == 12 && four.equals("FORM") && (type.equals("AIFF") || type.equals("AIFC"))) {
            return AiffReader.open(name, in, type.equals("AIFC"), path, fileSize);
        }
        if (n == 12 && four.equals(".snd")) {
            return AuReader.open(name, in, head, fileSize);
        }
        in.reset();
        if (n == 0) {
            throw CliException.file(name + " holds no audio: it is empty");
        }
        if (four.equals("OggS") && "Vorbis".equals(oggCodec(in))) {
            try {
                return VorbisReader.open(name, in);
            } catch (LinkageError e) {
                throw CliException.file(name + " is Ogg Vorbis but its decoder is missing (" + e + "); install"
                        + " Debian's libjorbis-java");
            }
        }
        String viaFfmpeg = FfmpegReader.recognise(head, n, in);
        if (viaFfmpeg != null) {
            if (path != null) {
                // ffmpeg reads the file itself, by name.
                closeQuietly(in);
            }
            return FfmpegReader.open(name, viaFfmpeg, path, in, null);
        }
        if (n == 12 && four.equals("RIFF")) {
            throw CliException.file(name + " is a RIFF file but not a WAV file that can be read; " + WavReader.SUPPORTED);
        }
        if (four.equals("OggS")) {
            throw CliException.file(name + " is an Ogg file without Vorbis, Opus or FLAC audio; supported: "
                    + ALL_FORMATS);
        }
        return SampledReader.open(name, in, head, n);
    }

    /**
     * The codec of an Ogg stream from its first pages (the streams' first
     * pages open a file, one per stream): "Vorbis", "Opus", "FLAC in Ogg",
     * "Speex", or null when none of them is among them. {@code in} is left
     * where it was.
     */
    static String oggCodec(BufferedInputStream in) throws IOException {
        int limit = 1 << 16;
        in.mark(limit);
        byte[] b = in.readNBytes(limit);
        in.reset();
        int p = 0;
        while (p + 27 <= b.length && b[p] == 'O' && b[p + 1] == 'g' && b[p + 2] == 'g' && b[p + 3] == 'S'
                && (b[p + 5] & 2) != 0) {
            int segments = b[p + 26] & 0xff;
            int body = p + 27 + segments;
            int size = 0;
            for (int i = p + 27; i < Math.min(body, b.length); i++) {
                size += b[i] & 0xff;
            }
            String start = body < b.length ? new String(b, body, Math.min(8, b.length - body),
                    StandardCharsets.ISO_8859_1) : "";
            if (start.startsWith("\u0001vorbis")) {
                return "Vorbis";
            }
            if (start.startsWith("OpusHead")) {
                return "Opus";
            }
            if (start.startsWith("\u007fFLAC")) {
                return "FLAC in Ogg";
            }
            if (start.startsWith("Speex   ")) {
                return "Speex";
            }
            p = body + size;
        }
        return null;
    }

    static String ascii(byte[] b, int offset, int length) {
        return new String(b, offset, length, StandardCharsets.ISO_8859_1);
    }

    /** The next {@code size} bytes of {@code in} (fewer at its end) as text, left unread. */
    static String peek(InputStream in, int size) throws IOException {
        in.mark(size);
        byte[] b = in.readNBytes(size);
        in.reset();
        return ascii(b, 0, b.length);
    }

    static void closeQuietly(AutoCloseable c) {
        try {
            c.close();
        } catch (Exception ignored) {
            // Nothing useful to do about a failed close of an input.
        }
    }
}
