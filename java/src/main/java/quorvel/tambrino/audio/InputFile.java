package quorvel.tambrino.audio;

import java.io.BufferedInputStream;
import java.io.FileInputStream;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * Opens the music to work on, a file or standard input ("-"), recognising its
 * format from its first bytes rather than its name: WAV (read here, see
 * {@link WavReader}), AIFF, AU, MP3 and Ogg Vorbis through
 * {@code javax.sound.sampled} and the sound service providers on the class
 * path (see {@link SampledReader}), and FLAC, Opus, M4A and the other formats
 * that ffmpeg knows through ffmpeg when it is installed (see {@link FfmpegReader}).
 */
public final class InputFile {
    private InputFile() {}

    /** The argument that names standard input (or output). */
    static final String STDIO = "-";

    static final String ALL_FORMATS = "8-, 16-, 24- and 32-bit PCM or 32- and 64-bit float WAV, AIFF or AU; MP3;"
            + " Ogg Vorbis; with ffmpeg installed also FLAC, Opus, M4A/AAC, WMA and others";

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
        if (isStdio(arg)) {
            raw = System.in;
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
            } catch (FileNotFoundException | AccessDeniedException e) {
                throw CliException.file(path + " cannot be read: " + OutputFiles.reason(e), e);
            } catch (IOException e) {
                throw CliException.file(path + " cannot be read: " + OutputFiles.reason(e), e);
            }
        }
        BufferedInputStream in = new BufferedInputStream(raw, 1 << 16);
        try {
            return open(name, path, in, fileSize);
        } catch (RuntimeException | Error e) {
            closeQuietly(in);
            throw e;
        } catch (IOException e) {
            closeQuietly(in);
            throw CliException.file(name + " cannot be read: " + OutputFiles.reason(e), e);
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
                throw CliException.file(displayName(arg) + " holds no audio");
            }
            if (r.frameLength() < 0) {
                short[] first = new short[1024 * r.channels()];
                int n = r.read(first, 0, 1024);
                if (n <= 0) {
                    throw CliException.file(displayName(arg) + " holds no audio");
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
        int n = 0;
        while (n < head.length) {
            int r = in.read(head, n, head.length - n);
            if (r < 0) {
                break;
            }
            n += r;
        }
        String riff = ascii(head, 0, 4);
        String wave = ascii(head, 8, 4);
        if (n == 12 && (riff.equals("RIFF") || riff.equals("RF64")) && wave.equals("WAVE")) {
            return WavReader.open(name, in, riff.equals("RF64"), fileSize);
        }
        in.reset();
        if (n == 0) {
            throw CliException.file(name + " holds no audio: it is empty");
        }
        String viaFfmpeg = FfmpegReader.recognise(head, n, in);
        if (viaFfmpeg != null) {
            if (path != null) {
                // ffmpeg reads the file itself, by name.
                closeQuietly(in);
            }
            return FfmpegReader.open(name, viaFfmpeg, path, in);
        }
        if (n == 12 && riff.equals("RIFF")) {
            throw CliException.file(name + " is a RIFF file but not a WAV file that can be read; " + WavReader.SUPPORTED);
        }
        return SampledReader.open(name, in, head, n);
    }

    static String ascii(byte[] b, int offset, int length) {
        return new String(b, offset, length, StandardCharsets.ISO_8859_1);
    }

    /** The next {@code size} bytes of {@code in} (fewer at its end) as text, left unread. */
    static String peek(BufferedInputStream in, int size) throws IOException {
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
