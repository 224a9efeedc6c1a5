package quorvel.tambrino.audio;

import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.security.SecureRandom;
import java.util.LinkedHashMap;
import java.util.Locale;
import java.util.Map;

/**
 * The tool's outputs, which never destroy what was there and never fail
 * silently.
 *
 * <p>A regular file (new or existing, or whatever a symbolic link leads to)
 * is written whole or not at all: to a hidden temporary file in the target's
 * folder, moved into place only when every output of the run has succeeded.
 * A failure, or the process being interrupted, removes the temporary files
 * (except a recording's, which {@link #finishOnExit} completes instead). What
 * exists and is no regular file or folder (a device such as {@code /dev/null},
 * a FIFO) and standard output ({@code -}) are written into as streams.
 *
 * <p>Every write error ends the run with a message naming the output and the
 * system's reason (exit 1); a reader that goes away (a closed pipe) ends it
 * quietly, with the same exit code.
 *
 * <p>A new file gets the usual permissions (0666 less the umask); a replaced
 * file keeps its own.
 */
public final class OutputFiles implements AutoCloseable {
    /** Names an audio output may have (or none at all). */
    public static final String[] AUDIO_NAMES = {".wav", ".wave"};
    /** Names a picture output may have (or none at all). */
    public static final String[] PICTURE_NAMES = {".png"};

    /** How many symbolic links a path may pass through, as the system allows. */
    private static final int MAX_LINKS = 40;

    /**
     * Temporary files (a Path) and outputs (an {@link Output}) not yet
     * finished, with what to do with each if the process ends first: null
     * removes the temporary file.
     */
    private static final Map<Object, Runnable> LIVE = new LinkedHashMap<>();

    static {
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            Map<Object, Runnable> live;
            synchronized (LIVE) {
                live = new LinkedHashMap<>(LIVE);
            }
            for (Map.Entry<Object, Runnable> e : live.entrySet()) {
                try {
                    if (e.getValue() != null) {
                        e.getValue().run();
                    } else if (e.getKey() instanceof Path) {
                        Files.deleteIfExists((Path) e.getKey());
                    }
                } catch (IOException | RuntimeException ignored) {
                    // Best effort while the process dies.
                }
            }
        }, "tambrino-cleanup"));
    }

    private static final SecureRandom RANDOM = new SecureRandom();

    /** Target file (links followed) to its temporary file. */
    private final Map<Path, Path> pending = new LinkedHashMap<>();
    private boolean committed;

    /** What an output argument names. */
    static final class Target {
        /** As typed, or "standard output". */
        final String name;
        /** The file written, symbolic links followed; null for standard output. */
        final Path file;
        /** Written into as it is (standard output, a device, a FIFO), not replaced. */
        final boolean stream;

        private Target(String name, Path file, boolean stream) {
            this.name = name;
            this.file = file;
            this.stream = stream;
        }

        boolean isStdout() {
            return file == null;
        }
    }

    /** What {@code arg} names: standard output, an existing device or FIFO, or a regular file (new or not). */
    public static Target target(Path arg, String option) {
        if (InputFile.isStdio(arg.toString())) {
            return new Target("standard output", null, true);
        }
        // The system follows the links first: /dev/stdout and /proc/self/fd/N lead to pipes and
        // terminals that have no name of their own to follow to.
        BasicFileAttributes a;
        try {
            a = Files.readAttributes(arg, BasicFileAttributes.class);
        } catch (IOException e) {
            a = null;
        }
        if (a != null && a.isDirectory()) {
            throw CliException.file(arg + " is a folder; " + option + " needs a file name");
        }
        if (a != null && a.isOther()) {
            return new Target(arg.toString(), arg.toAbsolutePath(), true);
        }
        return new Target(arg.toString(), followLinks(arg), false);
    }

    /** Whether {@code arg} is this process's standard output: '-', or another name for it such as /dev/stdout. */
    public static boolean isStandardOutput(Path arg) {
        if (InputFile.isStdio(arg.toString())) {
            return true;
        }
        try {
            return Files.isSameFile(arg, Path.of("/proc/self/fd/1"));
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    /** The file that {@code path} ends at, through any chain of symbolic links, even when it does not exist yet. */
    static Path followLinks(Path path) {
        Path p = path.toAbsolutePath();
        for (int i = 0; i < MAX_LINKS; i++) {
            if (!Files.isSymbolicLink(p)) {
                return p;
            }
            try {
                p = p.resolveSibling(Files.readSymbolicLink(p));
            } catch (IOException e) {
                throw CliException.file("cannot follow the link " + path + ": " + reason(e), e);
            }
        }
        throw CliException.file("cannot follow the link " + path + ": too many levels of symbolic links");
    }

    /**
     * Checks that {@code arg} can take the output of {@code option} before any
     * work is done: a name that promises no other format than {@code names}
     * say, an existing folder for a new file, permission to write, and none
     * of the {@code inputs} (compared as files, so that a link or a second
     * name of the input counts as the input).
     */
    public static Target checkOutput(Path arg, String option, String[] names, Path... inputs) {
        Target t = target(arg, option);
        if (t.isStdout()) {
            return t;
        }
        if (!t.stream) {
            checkFormat(arg, option, names);
            Path dir = t.file.getParent();
            if (dir == null || !Files.isDirectory(dir)) {
                throw CliException.file("cannot write " + arg + ": the folder " + (dir == null ? "/" : dir)
                        + " does not exist");
            }
            if (!Files.isWritable(dir)) {
                throw CliException.file("cannot write " + arg + ": the folder " + dir + " is not writable");
            }
        }
        if (Files.exists(t.file) && !Files.isWritable(t.file)) {
            throw CliException.file("cannot write " + arg + ": permission denied"
                    + (t.stream ? "" : " (the file is write-protected)"));
        }
        for (Path in : inputs) {
            if (in != null && !InputFile.isStdio(in.toString()) && sameFile(in, t.file)) {
                throw CliException.usage(arg + " is the input file; choose another name for " + option);
            }
        }
        return t;
    }

    /** The same without a format, for outputs whose names the tool chooses. */
    public static void checkWritable(Path target, String option, Path... inputs) {
        checkOutput(target, option, null, inputs);
    }

    /**
     * Refuses two outputs of one run that are the same file, also through a
     * link (a device excepted: /dev/null takes both).
     */
    public static void checkDistinct(Path a, String optionA, Path b, String optionB) {
        if (InputFile.isStdio(a.toString()) || InputFile.isStdio(b.toString()) || !sameFile(a, b)
                || isCharacterDevice(a)) {
            return;
        }
        throw CliException.usage("the two outputs collide: " + optionB + " " + b + " is also " + optionA
                + (a.toString().equals(b.toString()) ? "" : " (" + a + ")") + "; give each its own file");
    }

    /**
     * Refuses a name that promises another format, such as out.mp3 for WAV
     * (a name without one is taken, and so is whatever a device or FIFO is called).
     */
    public static void checkFormat(Path arg, String option, String[] names) {
        if (names == null || InputFile.isStdio(arg.toString()) || arg.getFileName() == null) {
            return;
        }
        if (Files.exists(arg) && !Files.isRegularFile(arg)) {
            return;
        }
        String name = arg.getFileName().toString();
        int dot = name.lastIndexOf('.');
        if (dot <= 0 || dot == name.length() - 1) {
            return;
        }
        String ext = name.substring(dot).toLowerCase(Locale.ROOT);
        for (String ok : names) {
            if (ok.equals(ext)) {
                return;
            }
        }
        throw CliException.usage(arg + ": " + option + " is written as "
                + (names == AUDIO_NAMES ? "WAV" : "PNG") + " only, not " + ext + "; end the name with "
                + String.join(" or ", names));
    }

    private static boolean sameFile(Path a, Path b) {
        try {
            if (Files.exists(a) && Files.exists(b)) {
                return Files.isSameFile(a, b);
            }
        } catch (IOException ignored) {
            // Fall back to comparing names.
        }
        return followLinks(a).normalize().equals(followLinks(b).normalize());
    }

    private static boolean isCharacterDevice(Path p) {
        try {
            return ((Integer) Files.getAttribute(p, "unix:mode") & 0170000) == 0020000;
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    /**
     * Opens an output for writing: standard output or a device or FIFO as
     * they are, a regular file through a temporary file beside it, which
     * {@link #commit()} moves onto it.
     */
    public Output open(Target t) {
        if (t.isStdout()) {
            System.out.flush();
            // Not through System.out, which hides write errors such as a closed pipe.
            return new Output(t, new FileOutputStream(FileDescriptor.out), null);
        }
        if (t.stream) {
            try {
                return new Output(t, new FileOutputStream(t.file.toFile()), null);
            } catch (IOException e) {
                throw CliException.file("cannot write " + t.name + ": " + reason(e), e);
            }
        }
        Path tmp = temporaryFor(t.file, t.name);
        try {
            return new Output(t, new FileOutputStream(tmp.toFile()), tmp);
        } catch (IOException e) {
            throw CliException.file("cannot write " + t.name + ": " + reason(e), e);
        }
    }

    /**
     * A fresh temporary file beside {@code target}, moved onto it by
     * {@link #commit()}. Unlike {@link Files#createTempFile}, which makes it
     * private to the owner, it is created with the default mode so that the
     * umask decides, as for any new file; it takes the mode of a file it
     * is to replace.
     *
     * @throws CliException when the folder does not accept the file, with the reason
     */
    public Path temporaryFor(Path target) {
        return temporaryFor(followLinks(target), target.toString());
    }

    private Path temporaryFor(Path file, String name) {
        Path abs = file.toAbsolutePath();
        Path dir = abs.getParent();
        Path tmp;
        while (true) {
            String base = abs.getFileName().toString();
            // Within the 255 bytes a name may have, however long the target's is.
            while (base.getBytes(StandardCharsets.UTF_8).length > 200) {
                base = base.substring(0, base.length() - 1);
            }
            tmp = dir.resolve("." + base + "." + Long.toUnsignedString(RANDOM.nextLong(), 36) + ".part");
            try {
                Files.createFile(tmp);
                break;
            } catch (FileAlreadyExistsException e) {
                // Another name.
            } catch (IOException e) {
                throw CliException.file("cannot write " + name + ": cannot create a file in " + dir + " ("
                        + reason(e) + ")", e);
            }
        }
        synchronized (LIVE) {
            LIVE.put(tmp, null);
        }
        pending.put(abs, tmp);
        try {
            if (Files.isRegularFile(abs, LinkOption.NOFOLLOW_LINKS)) {
                Files.setPosixFilePermissions(tmp, Files.getPosixFilePermissions(abs));
            }
        } catch (IOException | UnsupportedOperationException ignored) {
            // The umask's mode, as for a new file.
        }
        return tmp;
    }

    /** Moves every temporary file onto its target. */
    public void commit() throws IOException {
        for (Map.Entry<Path, Path> e : pending.entrySet()) {
            try {
                Files.move(e.getValue(), e.getKey(), StandardCopyOption.REPLACE_EXISTING,
                        StandardCopyOption.ATOMIC_MOVE);
            } catch (AtomicMoveNotSupportedException ex) {
                Files.move(e.getValue(), e.getKey(), StandardCopyOption.REPLACE_EXISTING);
            }
            forget(e.getValue());
        }
        committed = true;
    }

    /** Removes whatever was not committed. */
    @Override
    public void close() {
        if (committed) {
            return;
        }
        for (Path tmp : pending.values()) {
            try {
                Files.deleteIfExists(tmp);
            } catch (IOException ignored) {
                // Left for the shutdown hook.
                continue;
            }
            forget(tmp);
        }
    }

    /**
     * One output being written. Its failures are {@link CliException}s that
     * name it, so that an {@link IOException} around it can only be the
     * input's. Closing it flushes a temporary file to the disk, so that the
     * move that follows never puts an empty file in place of a good one.
     */
    public static final class Output extends OutputStream {
        private final Target target;
        private final FileOutputStream out;
        private final Path tmp;
        private boolean closed;

        private Output(Target target, FileOutputStream out, Path tmp) {
            this.target = target;
            this.out = out;
            this.tmp = tmp;
        }

        @Override
        public void write(int b) {
            write(new byte[] {(byte) b}, 0, 1);
        }

        @Override
        public void write(byte[] bytes, int offset, int length) {
            try {
                out.write(bytes, offset, length);
            } catch (IOException e) {
                throw failed(e);
            }
        }

        @Override
        public void close() {
            if (closed) {
                return;
            }
            closed = true;
            try {
                if (tmp != null) {
                    out.getFD().sync();
                }
                if (!target.isStdout()) {
                    out.close();
                }
            } catch (IOException e) {
                throw failed(e);
            }
        }

        /**
         * Cuts a temporary file back to {@code bytes}, writing on from there;
         * false for a stream, which cannot take back what it passed on.
         */
        boolean truncate(long bytes) {
            if (tmp == null) {
                return false;
            }
            try {
                out.getChannel().truncate(bytes);
                out.getChannel().position(bytes);
            } catch (IOException e) {
                throw failed(e);
            }
            return true;
        }

        /** Puts the real sizes into a WAV file's header once it is closed; a stream keeps the streaming sizes. */
        public void finishWav(int channels, long frames) {
            if (tmp == null) {
                return;
            }
            try {
                WavWriter.fixSizes(tmp, channels, frames);
            } catch (IOException e) {
                throw failed(e);
            }
        }

        private CliException failed(IOException e) {
            if (target.stream && isClosedPipe(e)) {
                // The reader went away, as with `| head`: no complaint, but no success either.
                return CliException.quiet(CliException.EXIT_FILE);
            }
            return CliException.file("cannot write " + target.name + ": " + reason(e), e);
        }
    }

    private static boolean isClosedPipe(IOException e) {
        String m = e.getMessage();
        return m != null && m.contains("Broken pipe");
    }

    /**
     * Why an input or output operation failed, in words: the system's reason
     * where Java keeps it apart from the file name, which is all that
     * {@code getMessage()} of some exceptions holds.
     */
    public static String reason(IOException e) {
        if (e instanceof AccessDeniedException) {
            return "permission denied";
        }
        if (e instanceof NoSuchFileException) {
            return "no such file or folder";
        }
        if (e instanceof FileSystemException && ((FileSystemException) e).getReason() != null) {
            return ((FileSystemException) e).getReason();
        }
        String m = e.getMessage();
        return m == null || m.isEmpty() ? e.getClass().getSimpleName() : m;
    }

    /**
     * Instead of removing {@code output}'s temporary file when the process is
     * interrupted, or leaving a stream's last bytes unwritten, runs
     * {@code finisher}, which completes it: for a recording, where what was
     * done so far is the result.
     */
    static void finishOnExit(Output output, Runnable finisher) {
        synchronized (LIVE) {
            LIVE.put(output.tmp != null ? output.tmp : output, finisher);
        }
    }

    /** A recording is finished or abandoned: nothing is left to do on exit. */
    static void finished(Output output) {
        forget(output);
        if (output.tmp != null) {
            forget(output.tmp);
        }
    }

    private static void forget(Object key) {
        synchronized (LIVE) {
            LIVE.remove(key);
        }
    }
}
