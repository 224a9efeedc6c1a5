// Input that only ffmpeg decodes (FLAC, Opus, M4A, compressed WAV, ...), through an ffmpeg program on a pipe.
package quorvel.tambrino.audio;

import java.io.BufferedInputStream;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * FLAC, Opus, M4A/AAC and the other formats that Java cannot decode, through
 * an {@code ffmpeg} program found on the {@code PATH} when the user has one
 * (Debian's package ffmpeg; the system property {@code tambrino.ffmpeg} names
 * another). It decodes the first audio stream to 32-bit WAV on a pipe, mono
 * and stereo as they are and more channels mixed to stereo, which
 * {@link WavReader} reads as it arrives, so that a long file is never held
 * whole; the samples are rounded to 16 bits as a WAV file's are (ffmpeg's own
 * conversion would cut a 24-bit FLAC file's instead). A file is named to ffmpeg by its absolute path with the {@code file:}
 * protocol, so that no name is taken for an option or a URL; standard input
 * is copied to ffmpeg's by a thread of its own.
 *
 * <p>When ffmpeg fails, its own message is the error; when it is missing,
 * the message names the package that opens the file.
 *
 * <p>One thread opens, reads and closes it; daemon threads of its own keep
 * ffmpeg's error output and feed it standard input. Closing it early stops
 * ffmpeg.
 */
final class FfmpegReader implements InputFile.Reader {
    /** The most of ffmpeg's error output that is kept for the message. */
    private static final int MAX_ERROR = 4096;

    private final String name;
    private final String input;
    private final String label;
    private final Process process;
    private final PcmReader wav;
    private final ByteArrayOutputStream errors;
    private final Thread errorReader;

    private FfmpegReader(String name, String input, String label, Process process, PcmReader wav,
            ByteArrayOutputStream errors, Thread errorReader) {
        this.name = name;
        this.input = input;
        this.label = label;
        this.process = process;
        this.wav = wav;
        this.errors = errors;
        this.errorReader = errorReader;
    }

    /**
     * The name of the format that ffmpeg is needed for, from the first bytes
     * (and, for Ogg, its first page), or null when the format is not one of them.
     */
    static String recognise(byte[] h, int n, BufferedInputStream in) throws IOException {
        String four = n >= 4 ? InputFile.ascii(h, 0, 4) : "";
        String second = n >= 8 ? InputFile.ascii(h, 4, 4) : "";
        if (four.equals("fLaC")) {
            return "FLAC";
        }
        if (four.equals("OggS")) {
            String codec = InputFile.oggCodec(in);
            return "Vorbis".equals(codec) ? null : codec;
        }
        if (second.equals("ftyp")) {
            return n >= 12 && InputFile.ascii(h, 8, 4).startsWith("M4") ? "M4A" : "MP4";
        }
        if (n >= 2 && (h[0] & 0xff) == 0xff && (h[1] & 0xf6) == 0xf0) {
            // An ADTS header: the MPEG sync with layer 0.
            return "AAC";
        }
        if (n >= 4 && (h[0] & 0xff) == 0x30 && (h[1] & 0xff) == 0x26 && (h[2] & 0xff) == 0xb2
                && (h[3] & 0xff) == 0x75) {
            return "WMA";
        }
        if (n >= 4 && (h[0] & 0xff) == 0x1a && (h[1] & 0xff) == 0x45 && (h[2] & 0xff) == 0xdf
                && (h[3] & 0xff) == 0xa3) {
            return "Matroska or WebM";
        }
        if (n >= 2 && (h[0] & 0xff) == 0x0b && (h[1] & 0xff) == 0x77) {
            return "AC-3";
        }
        switch (four) {
            case "caff":
                return "CAF";
            case "MAC ":
                return "Monkey's Audio";
            case "wvpk":
                return "WavPack";
            case "TTA1":
                return "TTA";
            case "DSD ":
            case "FRM8":
                return "DSD";
            default:
                return null;
        }
    }

    /** The system property that names the ffmpeg program to run instead of the one on the PATH. */
    static final String PROPERTY = "tambrino.ffmpeg";

    /** The ffmpeg program to run, or null when there is none on the PATH (nor one named by {@link #PROPERTY}). */
    static Path program() {
        String named = System.getProperty(PROPERTY);
        if (named != null) {
            Path p = Path.of(named);
            return Files.isExecutable(p) && !Files.isDirectory(p) ? p : null;
        }
        String path = System.getenv("PATH");
        for (String dir : (path == null ? "" : path).split(File.pathSeparator)) {
            if (dir.isEmpty()) {
                continue;
            }
            Path p = Path.of(dir, "ffmpeg");
            if (Files.isExecutable(p) && !Files.isDirectory(p)) {
                return p;
            }
        }
        return null;
    }

    /** Why there is no ffmpeg to run: none installed, or the one named by the property is not a program. */
    private static String missing() {
        String named = System.getProperty(PROPERTY);
        if (named == null) {
            return "ffmpeg is not installed (Debian package ffmpeg: apt install ffmpeg)";
        }
        Path p = Path.of(named);
        String what = !Files.exists(p) ? "does not exist" : Files.isDirectory(p) ? "is a folder"
                : "is not an executable program";
        return "the ffmpeg named by -D" + PROPERTY + ", " + named + ", " + what + " (without the property, the one"
                + " on the PATH is run: Debian package ffmpeg)";
    }

    /**
     * Decodes {@code file}, or, when it is null, {@code in} (standard input,
     * from its first byte). {@code refusal} is the message when ffmpeg is
     * missing for a file that another reader recognised, or null.
     */
    static FfmpegReader open(String name, String label, Path file, InputStream in, String refusal)
            throws IOException {
        Path ffmpeg = program();
        if (ffmpeg == null) {
            throw CliException.file(refusal != null ? refusal + "; ffmpeg opens it, but " + missing()
                    : name + " is " + label + ", which opens through ffmpeg, but " + missing()
                    + "; or convert the file to WAV first");
        }
        List<String> cmd = new ArrayList<>(List.of(ffmpeg.toString(), "-hide_banner", "-nostats", "-v", "error"));
        if (file != null) {
            cmd.add("-nostdin");
        }
        String input = file != null ? "file:" + file.toAbsolutePath() : "pipe:0";
        cmd.addAll(List.of("-i", input, "-map", "0:a:0",
                "-af", "aformat=channel_layouts=mono|stereo", "-c:a", "pcm_s32le", "-f", "wav", "-bitexact",
                "pipe:1"));
        Process p;
        try {
            p = new ProcessBuilder(cmd).start();
        } catch (IOException e) {
            throw CliException.file(name + " is " + label + ", but " + ffmpeg + " cannot be run: "
                    + OutputFiles.reason(e), e);
        }
        ByteArrayOutputStream errors = new ByteArrayOutputStream();
        Thread errorReader = daemon("ffmpeg errors", () -> keepErrors(p.getErrorStream(), errors));
        if (file != null) {
            InputFile.closeQuietly(p.getOutputStream());
        } else {
            daemon("ffmpeg input", () -> feed(in, p.getOutputStream()));
        }
        BufferedInputStream out = new BufferedInputStream(p.getInputStream(), 1 << 16);
        try {
            byte[] head = out.readNBytes(12);
            if (head.length < 12 || !InputFile.ascii(head, 0, 4).equals("RIFF")
                    || !InputFile.ascii(head, 8, 4).equals("WAVE")) {
                throw failure(name, input, p, errors, errorReader);
            }
            PcmReader wav = WavReader.open(name, out, false, -1);
            return new FfmpegReader(name, input, label, p, wav, errors, errorReader);
        } catch (IOException | RuntimeException e) {
            p.destroy();
            InputFile.closeQuietly(out);
            throw e;
        }
    }

    private static Thread daemon(String what, Runnable r) {
        Thread t = new Thread(r, what);
        t.setDaemon(true);
        t.start();
        return t;
    }

    private static void keepErrors(InputStream err, ByteArrayOutputStream kept) {
        byte[] b = new byte[4096];
        try (err) {
            for (int n; (n = err.read(b)) >= 0; ) {
                synchronized (kept) {
                    kept.write(b, 0, Math.max(0, Math.min(n, MAX_ERROR - kept.size())));
                }
            }
        } catch (IOException ignored) {
            // The process is gone; what was said is kept.
        }
    }

    private static void feed(InputStream in, OutputStream to) {
        try (to) {
            in.transferTo(to);
        } catch (IOException ignored) {
            // ffmpeg stopped reading: it ended, failed or was stopped, which its exit status tells.
        }
    }

    /** The error to report when ffmpeg failed, in its own words where it gave any. */
    private static CliException failure(String name, String input, Process p, ByteArrayOutputStream errors,
            Thread errorReader) {
        try {
            p.waitFor(10, TimeUnit.SECONDS);
            errorReader.join(1000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        String said;
        synchronized (errors) {
            said = errors.toString(StandardCharsets.UTF_8).strip();
        }
        if (said.contains("matches no streams")) {
            return CliException.file(name + " holds no audio: ffmpeg finds no audio stream in it");
        }
        String status = p.isAlive() ? "" : " (exit status " + p.exitValue() + ")";
        said = said.replace(input + ": ", "").replace("\n", "\n  ");
        return CliException.file(name + ": ffmpeg cannot decode it" + (said.isEmpty() ? status : ": " + said));
    }

    @Override
    public int read(short[] buffer, int offset, int frames) throws IOException {
        int n = wav.read(buffer, offset, frames);
        if (n == 0 && frames > 0) {
            try {
                if (process.waitFor() != 0) {
                    throw failure(name, input, process, errors, errorReader);
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new java.io.InterruptedIOException("interrupted while waiting for ffmpeg");
            }
        }
        return n;
    }

    @Override
    public String description() {
        return label + ", " + (wav.channels() == 1 ? "mono" : "stereo") + ", " + wav.sampleRate()
                + " Hz (through ffmpeg)";
    }

    @Override
    public String warning() {
        return null;
    }

    @Override
    public int channels() {
        return wav.channels();
    }

    @Override
    public int sampleRate() {
        return wav.sampleRate();
    }

    @Override
    public long frameLength() {
        return -1;
    }

    @Override
    public void close() throws IOException {
        process.destroy();
        wav.close();
        try {
            if (!process.waitFor(5, TimeUnit.SECONDS)) {
                process.destroyForcibly();
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
