// Output in the formats people share (MP3, AAC, Ogg Vorbis, Opus, FLAC), encoded by an ffmpeg program on a pipe.
package quorvel.tambrino.audio;

import java.io.BufferedOutputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * An output file named {@code .mp3}, {@code .m4a}, {@code .aac},
 * {@code .ogg}, {@code .opus} or {@code .flac}, encoded by the {@code ffmpeg}
 * program that {@link FfmpegReader} decodes with (on the {@code PATH}, or
 * named by the system property {@code tambrino.ffmpeg}). The samples go to
 * ffmpeg's standard input as they are made, so a long result is never held
 * whole; ffmpeg writes the temporary file that {@link OutputFiles} moves into
 * place once ffmpeg has finished and succeeded, so a failing or killed ffmpeg
 * leaves no file, and its own message is the error (exit 1). Without ffmpeg
 * such a name is refused before any work (exit 2), naming the package.
 *
 * <p>ffmpeg writes the file through its descriptor, not its name: a run
 * interrupted at any moment leaves nothing behind that the next run does not
 * tidy. The title, artist and album tags of an input file, where it has them,
 * are carried over (read by ffmpeg, whatever reads the samples).
 *
 * <p>Streams (standard output, a device, a FIFO, a descriptor) stay WAV
 * whatever their name, as they always were. One thread writes an instance;
 * daemon threads of its own keep ffmpeg's messages.
 */
public final class FfmpegWriter implements AutoCloseable {
    /** An output format, from the output's name. */
    public enum Format {
        WAV("WAV", List.of(".wav", ".wave"), List.of(), null),
        MP3("MP3", List.of(".mp3"), List.of("-c:a", "libmp3lame", "-id3v2_version", "3", "-f", "mp3"),
                new int[] {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000}),
        M4A("AAC (M4A)", List.of(".m4a"), List.of("-c:a", "aac", "-movflags", "+faststart", "-f", "ipod"),
                Rates.AAC),
        AAC("AAC", List.of(".aac"), List.of("-c:a", "aac", "-write_id3v2", "1", "-f", "adts"), Rates.AAC),
        VORBIS("Ogg Vorbis", List.of(".ogg", ".oga"), List.of("-c:a", "libvorbis", "-f", "ogg"), null),
        // Opus has one rate, 48 kHz, whatever the input's.
        OPUS("Opus", List.of(".opus"), List.of("-c:a", "libopus", "-f", "opus"), new int[] {48000}),
        FLAC("FLAC", List.of(".flac"), List.of("-c:a", "flac", "-f", "flac"), null);

        /** As people call it, for messages. */
        public final String label;
        /** The name endings that ask for it, in lower case, the usual one first. */
        public final List<String> names;
        private final List<String> codec;
        /** The sample rates it holds, rising; null for any. */
        private final int[] rates;

        Format(String label, List<String> names, List<String> codec, int[] rates) {
            this.label = label;
            this.names = names;
            this.codec = codec;
            this.rates = rates;
        }

        /** Whether ffmpeg encodes it. */
        public boolean encoded() {
            return this != WAV;
        }

        /** Whether it keeps every sample (the others are lossy and take a {@code --bitrate}). */
        public boolean lossless() {
            return this == WAV || this == FLAC;
        }

        /** The format a name ending asks for ("out.MP3" is MP3); null for an ending that names none of them. */
        public static Format ofName(String fileName) {
            int dot = fileName.lastIndexOf('.');
            if (dot <= 0 || dot == fileName.length() - 1) {
                return WAV;
            }
            String ext = fileName.substring(dot).toLowerCase(Locale.ROOT);
            for (Format f : values()) {
                if (f.names.contains(ext)) {
                    return f;
                }
            }
            return null;
        }

        /** The rate it is written at for an input at {@code rate}: the same where it can, else the nearest above (or its highest). */
        public int rateFor(int rate) {
            if (rates == null) {
                return rate;
            }
            for (int r : rates) {
                if (r >= rate) {
                    return r;
                }
            }
            return rates[rates.length - 1];
        }

        /** What the summary adds after the output's name when it is written at another rate than the input's. */
        public String rateNote(int rate) {
            int to = rateFor(rate);
            // Opus is always 48 kHz: its decoders give that rate whatever was encoded.
            return to == rate || this == OPUS ? "" : " (at " + to + " Hz, " + (to > rate ? "the lowest" : "the highest")
                    + " rate " + label + " holds)";
        }

        /** The bit rates a lossy format takes in kb/s, {min, max}. */
        int[] bitrates() {
            switch (this) {
                case MP3:
                    return new int[] {8, 320};
                case VORBIS:
                    return new int[] {32, 500};
                case OPUS:
                    return new int[] {6, 510};
                default:
                    return new int[] {16, 512};
            }
        }

        /** The encoder's quality options: the given bit rate, or the format's default. */
        List<String> quality(String bitrate) {
            if (lossless()) {
                return List.of();
            }
            if (bitrate != null && bitrate.startsWith("V")) {
                return List.of("-q:a", bitrate.substring(1));
            }
            if (bitrate != null) {
                return List.of("-b:a", bitrate + "k");
            }
            switch (this) {
                case MP3:
                    // LAME's V2: transparent for most music at about 190 kb/s.
                    return List.of("-q:a", "2");
                case VORBIS:
                    // About 160 kb/s.
                    return List.of("-q:a", "5");
                case OPUS:
                    return List.of("-b:a", "128k");
                default:
                    return List.of("-b:a", "192k");
            }
        }
    }

    /** The rates AAC holds (an enum's constants cannot use its own static fields). */
    private static final class Rates {
        static final int[] AAC = {7350, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200,
            96000};
    }

    /** How an output is encoded beyond its format: the bit rate and the tags to carry. */
    public static final class Encoding {
        /** The format's default quality, no tags. */
        public static final Encoding DEFAULT = new Encoding(null, Map.of());

        final String bitrate;
        final Map<String, String> tags;

        /**
         * @param bitrate as {@link #parseBitrate} gives it, null for the format's default
         * @param tags names of {@link #TAGS} and their values
         */
        public Encoding(String bitrate, Map<String, String> tags) {
            this.bitrate = bitrate;
            this.tags = Map.copyOf(tags);
        }

        /**
         * How {@code out} is encoded from {@code input}: with {@code bitrate}
         * and, when ffmpeg encodes it, the input's tags (an input that is no
         * file has none).
         */
        public static Encoding of(Path out, String bitrate, Path input) {
            Format f = formatOf(out);
            return new Encoding(bitrate, f != null && f.encoded() ? tagsOf(input) : Map.of());
        }
    }

    /** Every audio name a stretch writes: WAV and the encoded formats. */
    public static final String[] OUTPUT_NAMES = allNames();

    /** What {@link #OUTPUT_NAMES} are, for messages. */
    public static final String OUTPUT_FORMATS = "WAV or, through ffmpeg, MP3, AAC, Ogg Vorbis, Opus or FLAC";

    /** The tags carried over from the input, as ffmpeg names them. */
    static final List<String> TAGS = List.of("title", "artist", "album");

    private static String[] allNames() {
        List<String> names = new ArrayList<>();
        for (Format f : Format.values()) {
            names.addAll(f.names);
        }
        return names.toArray(new String[0]);
    }

    /** Whether ffmpeg is there to encode the formats other than WAV. */
    public static boolean available() {
        return FfmpegReader.program() != null;
    }

    /**
     * The format that {@code out} is written in: WAV for standard output, a
     * device, a FIFO or a descriptor whatever they are called, else the
     * format its name asks for (null for an ending that names none).
     */
    public static Format formatOf(Path out) {
        if (OutputFiles.isStandardOutput(out) || Descriptors.of(out) >= 0
                || Files.exists(out) && !Files.isRegularFile(out) || out.getFileName() == null) {
            return Format.WAV;
        }
        return Format.ofName(out.getFileName().toString());
    }

    /**
     * Checks, before any work, that {@code out} can be written as its name
     * asks with {@code bitrate} (null for the format's default): ffmpeg is
     * there for an encoded format, and the bit rate suits it. Returns the
     * format.
     *
     * @throws CliException (usage) naming the package when ffmpeg is missing,
     *         or the bit rates the format takes
     */
    public static Format check(Path out, String option, String bitrate) {
        Format f = formatOf(out);
        if (f == null) {
            // The name's check says what is written.
            return null;
        }
        checkBitrate(f, bitrate, out);
        if (f.encoded() && FfmpegReader.program() == null) {
            throw CliException.usage(out + ": " + option + " is written as " + f.label + " through ffmpeg, but "
                    + FfmpegReader.missing() + "; or name it .wav");
        }
        return f;
    }

    /**
     * A bit rate as typed: kb/s ("192", "192k") or, for MP3, one of LAME's
     * variable-rate levels V0 (best) to V9; returned as kb/s digits or "V"
     * and the level. Null stays null.
     */
    public static String parseBitrate(String typed) {
        if (typed == null) {
            return null;
        }
        String t = typed.strip();
        if (t.matches("[vV][0-9]")) {
            return "V" + t.substring(1);
        }
        String digits = t.replaceFirst("(?i)\\s*k(b(it)?/?s)?$", "");
        if (!digits.matches("[0-9]{1,6}")) {
            throw CliException.usage("--bitrate '" + typed + "' is not a bit rate: give kb/s (128, 192k), or for MP3"
                    + " a variable-rate level V0 (best) to V9");
        }
        return Integer.toString(Integer.parseInt(digits));
    }

    private static void checkBitrate(Format f, String bitrate, Path out) {
        if (bitrate == null) {
            return;
        }
        if (f.lossless()) {
            throw CliException.usage("--bitrate " + bitrate + " is for lossy outputs (MP3, AAC, Ogg Vorbis, Opus); "
                    + (OutputFiles.isStandardOutput(out) ? "standard output" : out) + " is " + f.label
                    + ", which keeps every sample");
        }
        if (bitrate.startsWith("V")) {
            if (f != Format.MP3) {
                throw CliException.usage("--bitrate " + bitrate + " is a level of MP3's variable rate; " + out
                        + " is " + f.label + ": give kb/s");
            }
            return;
        }
        int kbps = Integer.parseInt(bitrate);
        int[] range = f.bitrates();
        if (kbps < range[0] || kbps > range[1]) {
            throw CliException.usage("--bitrate " + bitrate + " is out of range for " + f.label + ": from " + range[0]
                    + " to " + range[1] + " kb/s");
        }
    }

    /**
     * The title, artist and album of {@code input} as ffmpeg reads them (the
     * file's own tags, else its first audio stream's), empty for standard
     * input, for a file without them or when ffmpeg cannot read it: tags are
     * a courtesy, never a reason to fail.
     */
    public static Map<String, String> tagsOf(Path input) {
        Map<String, String> tags = new LinkedHashMap<>();
        Path ffmpeg = FfmpegReader.program();
        if (input == null || ffmpeg == null || InputFile.isStdio(input.toString()) || !Files.isRegularFile(input)) {
            return tags;
        }
        List<String> cmd = List.of(ffmpeg.toString(), "-hide_banner", "-nostdin", "-v", "error", "-i",
                "file:" + input.toAbsolutePath(), "-map", "0:a:0?", "-c", "copy", "-frames:a", "0",
                "-f", "ffmetadata", "pipe:1");
        try {
            Process p = new ProcessBuilder(cmd).redirectError(ProcessBuilder.Redirect.DISCARD)
                    .redirectInput(ProcessBuilder.Redirect.from(new java.io.File("/dev/null"))).start();
            byte[] text;
            try (InputStream in = p.getInputStream()) {
                text = in.readNBytes(1 << 20);
            } finally {
                if (!p.waitFor(10, TimeUnit.SECONDS)) {
                    p.destroyForcibly();
                }
            }
            if (p.exitValue() == 0) {
                parseMetadata(new String(text, StandardCharsets.UTF_8), tags);
            }
        } catch (IOException | RuntimeException e) {
            // No tags.
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        return tags;
    }

    /**
     * The tags of {@link #TAGS} from ffmpeg's metadata text: the global ones,
     * then the first stream's where the file has none (Ogg keeps them there).
     */
    static void parseMetadata(String text, Map<String, String> into) {
        String section = "";
        Map<String, String> stream = new LinkedHashMap<>();
        StringBuilder line = new StringBuilder();
        for (String raw : text.split("\n", -1)) {
            // A value's line break is escaped: the line goes on.
            line.append(raw);
            if (endsInEscape(raw)) {
                line.setLength(line.length() - 1);
                line.append('\n');
                continue;
            }
            String l = line.toString();
            line.setLength(0);
            if (l.startsWith(";") || l.startsWith("#") || l.isEmpty()) {
                continue;
            }
            if (l.startsWith("[")) {
                section = l;
                continue;
            }
            int eq = unescapedEquals(l);
            if (eq < 0) {
                continue;
            }
            String key = unescape(l.substring(0, eq)).toLowerCase(Locale.ROOT);
            String value = unescape(l.substring(eq + 1)).strip();
            if (!TAGS.contains(key) || value.isEmpty()) {
                continue;
            }
            if (section.isEmpty()) {
                into.putIfAbsent(key, value);
            } else if (section.equals("[STREAM]")) {
                stream.putIfAbsent(key, value);
            }
        }
        stream.forEach(into::putIfAbsent);
    }

    private static boolean endsInEscape(String s) {
        int n = 0;
        for (int i = s.length() - 1; i >= 0 && s.charAt(i) == '\\'; i--) {
            n++;
        }
        return n % 2 == 1;
    }

    private static int unescapedEquals(String s) {
        for (int i = 0; i < s.length(); i++) {
            if (s.charAt(i) == '\\') {
                i++;
            } else if (s.charAt(i) == '=') {
                return i;
            }
        }
        return -1;
    }

    private static String unescape(String s) {
        StringBuilder b = new StringBuilder();
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c == '\\' && i + 1 < s.length()) {
                c = s.charAt(++i);
            }
            b.append(c);
        }
        return b.toString();
    }

    // ---------------------------------------------------------------------
    // One encoding

    private final String name;
    private final Path tmp;
    private final Process process;
    private final OutputStream pcm;
    private final ByteArrayOutputStream errors;
    private final Thread errorReader;
    private boolean finished;

    private FfmpegWriter(String name, Path tmp, Process process, ByteArrayOutputStream errors, Thread errorReader) {
        this.name = name;
        this.tmp = tmp;
        this.process = process;
        this.pcm = new BufferedOutputStream(process.getOutputStream(), 1 << 16);
        this.errors = errors;
        this.errorReader = errorReader;
    }

    /**
     * Starts ffmpeg encoding 16-bit samples at {@code rate} with
     * {@code channels} into {@code out} as {@code format}, through a
     * temporary file of {@code files} that its {@link OutputFiles#commit()}
     * moves into place, with {@code encoding}'s bit rate and tags.
     */
    public static FfmpegWriter open(OutputFiles files, Path out, Format format, int rate, int channels,
            Encoding encoding) {
        Path ffmpeg = FfmpegReader.program();
        if (ffmpeg == null) {
            throw CliException.usage(out + " is written as " + format.label + " through ffmpeg, but "
                    + FfmpegReader.missing());
        }
        Path tmp = files.temporaryFor(out);
        List<String> cmd = new ArrayList<>(List.of(ffmpeg.toString(), "-hide_banner", "-nostats", "-nostdin", "-v",
                "error", "-f", "s16le", "-ar", Integer.toString(rate), "-ac", Integer.toString(channels), "-i",
                "pipe:0", "-map", "0:a", "-map_metadata", "-1"));
        for (String tag : TAGS) {
            if (encoding.tags.containsKey(tag)) {
                cmd.addAll(List.of("-metadata", tag + "=" + encoding.tags.get(tag)));
            }
        }
        cmd.addAll(format.quality(encoding.bitrate));
        int to = format.rateFor(rate);
        if (to != rate) {
            cmd.addAll(List.of("-ar", Integer.toString(to)));
        }
        cmd.addAll(format.codec);
        // The file is ffmpeg's standard output, reopened by ffmpeg so that it can seek back to write the
        // headers that state the length and the encoder's delay and padding. Where there is no /proc, by name.
        boolean byDescriptor = Files.isDirectory(Path.of("/proc/self/fd"));
        cmd.addAll(List.of("-y", "file:" + (byDescriptor ? "/proc/self/fd/1" : tmp.toString())));
        ProcessBuilder pb = new ProcessBuilder(cmd);
        if (byDescriptor) {
            pb.redirectOutput(ProcessBuilder.Redirect.appendTo(tmp.toFile()));
        } else {
            pb.redirectOutput(ProcessBuilder.Redirect.DISCARD);
        }
        Process p;
        try {
            p = pb.start();
        } catch (IOException e) {
            throw CliException.file("cannot write " + out + ": " + ffmpeg + " cannot be run: "
                    + OutputFiles.reason(e), e);
        }
        ByteArrayOutputStream errors = new ByteArrayOutputStream();
        Thread errorReader = FfmpegReader.daemon("ffmpeg errors", () -> FfmpegReader.keepErrors(p.getErrorStream(),
                errors));
        return new FfmpegWriter(out.toString(), tmp, p, errors, errorReader);
    }

    /** The samples, 16-bit little-endian, interleaved. */
    public OutputStream samples() {
        return new OutputStream() {
            @Override
            public void write(int b) {
                write(new byte[] {(byte) b}, 0, 1);
            }

            @Override
            public void write(byte[] b, int off, int len) {
                try {
                    pcm.write(b, off, len);
                } catch (IOException e) {
                    // ffmpeg stopped reading: it failed, or was stopped, which it tells.
                    throw failure();
                }
            }

            @Override
            public void flush() {
                try {
                    pcm.flush();
                } catch (IOException e) {
                    throw failure();
                }
            }
        };
    }

    /**
     * Ends the samples and waits for ffmpeg to finish the file, which is then
     * on the disk, ready to be moved into place.
     *
     * @throws CliException (file) with ffmpeg's own message when it failed
     */
    public void finish() {
        finished = true;
        try {
            pcm.close();
        } catch (IOException e) {
            throw failure();
        }
        try {
            int status = process.waitFor();
            errorReader.join(1000);
            if (status != 0) {
                throw failure();
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            process.destroy();
            throw CliException.file("cannot write " + name + ": interrupted while ffmpeg was encoding it");
        }
        try (FileChannel ch = FileChannel.open(tmp, StandardOpenOption.WRITE)) {
            // On the disk before it replaces anything.
            ch.force(true);
        } catch (IOException e) {
            throw CliException.file("cannot write " + name + ": " + OutputFiles.reason(e), e);
        }
    }

    /** ffmpeg's exit status when SIGINT or SIGTERM made it stop. */
    private static final int STOPPED_BY_SIGNAL = 255;

    /** What ffmpeg said when it failed, or how it ended. */
    private CliException failure() {
        try {
            if (!process.waitFor(10, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                process.waitFor(5, TimeUnit.SECONDS);
            }
            errorReader.join(1000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        String said;
        synchronized (errors) {
            said = errors.toString(StandardCharsets.UTF_8).strip().replace("\n", "\n  ");
        }
        int status = process.isAlive() ? -1 : process.exitValue();
        if (status == STOPPED_BY_SIGNAL) {
            // Ctrl-C reaches ffmpeg with this process, whose own handler is the one to say what became of
            // the outputs: it is given the time to take over before this failure is told as ffmpeg's.
            try {
                Thread.sleep(1000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        // A process that a signal ended has the status 128 + the signal's number.
        String ended = status < 0 ? "did not end" : status == 0 ? "ended before the last sample"
                : status == STOPPED_BY_SIGNAL ? "was stopped by a signal (exit status 255)"
                : status > 128 && status <= 128 + 64 ? "was killed (signal " + (status - 128) + ")"
                : "failed (exit status " + status + ")";
        return CliException.file("cannot write " + name + ": ffmpeg " + ended + (said.isEmpty() ? "" : ": " + said));
    }

    /** Stops ffmpeg if it has not finished; the temporary file goes with the run's others. */
    @Override
    public void close() {
        if (!finished) {
            process.destroyForcibly();
            try {
                process.waitFor(5, TimeUnit.SECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        try {
            pcm.close();
        } catch (IOException ignored) {
            // ffmpeg has gone.
        }
    }
}
