// The tool's outputs: what an output name leads to, and writing it without destroying what was there.
package quorvel.tambrino.audio;

import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.Channels;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileTime;
import java.security.SecureRandom;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Optional;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The tool's outputs, which never destroy what was there and never fail
 * silently.
 *
 * <p>What an output argument names ({@link #target}), in the order looked at:
 * <ul>
 * <li>{@code -}, or any other name of one of the process's descriptors
 * ({@code /dev/stdout}, {@code /dev/fd/3}, {@code /proc/self/fd/1}): written
 * through that descriptor as the shell opened it, so a file it leads to is
 * neither truncated nor replaced, and one opened for appending is appended
 * to. Standard input and standard error, a descriptor open for reading only
 * and a terminal are refused.
 * <li>an existing folder: refused.
 * <li>an existing device or FIFO: written into as a stream, never replaced; a
 * terminal is refused.
 * <li>anything else is a regular file (new or existing, or whatever a chain of
 * symbolic links leads to), written whole or not at all: to a hidden
 * temporary file in the target's folder, moved into place only when every
 * output of the run has succeeded ({@link #commit()}).
 * </ul>
 *
 * <p>A failure, or the process ending early, removes the temporary files
 * (except a recording's, which {@link #finishOnExit} completes instead);
 * {@link #abandon()} says what became of each. A temporary file left by a run
 * that was killed outright (SIGKILL, a power cut) is removed by the next run
 * that writes into the same folder, once its process is gone.
 *
 * <p>Every write error ends the run with a message naming the output and the
 * system's reason (exit 1); a reader that goes away (a closed pipe) ends it
 * quietly, with the same exit code. A new file gets the usual permissions
 * (0666 less the umask); a replaced file keeps its own.
 *
 * <p>Instances are used by one thread; the process-wide record of unfinished
 * outputs may be reached from any thread, a signal's included.
 */
public final class OutputFiles implements AutoCloseable {
    /** Names an audio output may have (or none at all). */
    public static final String[] AUDIO_NAMES = {".wav", ".wave"};
    /** Names a picture output may have (or none at all). */
    public static final String[] PICTURE_NAMES = {".png"};

    private static final SecureRandom RANDOM = new SecureRandom();

    /**
     * The temporary files' names: ".NAME.tambrino-HOST-PID-RANDOM.part",
     * where HOST is four characters of the machine's name, so that a file
     * left in a shared folder by another machine's run is not taken for one
     * of ours whose process has gone.
     */
    private static final Pattern TEMPORARY = Pattern.compile("\\..+\\.tambrino-([0-9a-z]{4})-(\\d+)-[0-9a-z]+\\.part");
    private static final String HOST = hostTag();
    private static final long PID = ProcessHandle.current().pid();
    /** How long a temporary file of another machine (or an older version) must lie untouched to be stale. */
    private static final Duration FOREIGN_STALE_AFTER = Duration.ofDays(1);

    // The process-wide record, guarded by LIVE.
    /** Outputs not yet finished: a temporary file (its Path), or a recording's stream (its Output). */
    private static final Map<Object, Pending> LIVE = new LinkedHashMap<>();
    /** Outputs of this process moved into place, for the message of a run cut short. */
    private static final List<String> WRITTEN = new ArrayList<>();
    /** Folders this process made for its outputs, removed again when they stay empty. */
    private static final List<Path> MADE = new ArrayList<>();
    /** Set once the process is ending early: nothing more is moved into place. */
    private static boolean ending;

    static {
        // Loaded now: a class loader may be closed by the time the hook runs (a test runner's).
        Pending.class.getName();
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            try {
                abandon();
            } catch (LinkageError e) {
                // Nothing more can be loaded while the process ends; the next run tidies up.
            }
        }, "tambrino-cleanup"));
    }

    /** An output not finished yet, and what to do with it if the process ends first. */
    private static final class Pending {
        final String name;
        final Path tmp;
        final Path target;
        final boolean existed;
        /** Completes it (a recording); null removes the temporary file. */
        Runnable finisher;

        Pending(String name, Path tmp, Path target, boolean existed) {
            this.name = name;
            this.tmp = tmp;
            this.target = target;
            this.existed = existed;
        }
    }

    /** This instance's temporary files, by target (links followed), in the order made. */
    private final Map<Path, Pending> pending = new LinkedHashMap<>();
    private boolean committed;

    /** How an output is written. */
    enum Kind {
        /** A regular file, through a temporary file moved onto it. */
        FILE,
        /** A device or FIFO opened by its name and written into. */
        STREAM,
        /** A descriptor the process was given, written through as it is. */
        DESCRIPTOR
    }

    /** What an output argument names. */
    public static final class Target {
        /** As typed, or "standard output" for '-'. */
        final String name;
        /** The file written (links followed), the device or FIFO, or the descriptor's /proc entry. */
        final Path file;
        final Kind kind;
        /** The descriptor's state when it was looked at; null unless {@link Kind#DESCRIPTOR}. */
        final Descriptors.Info descriptor;

        private Target(String name, Path file, Kind kind, Descriptors.Info descriptor) {
            this.name = name;
            this.file = file;
            this.kind = kind;
            this.descriptor = descriptor;
        }

        boolean isStdout() {
            return kind == Kind.DESCRIPTOR && descriptor.fd == 1;
        }

        boolean isStream() {
            return kind != Kind.FILE;
        }
    }

    /**
     * What {@code arg} names, for {@code option}: a descriptor, a device or
     * FIFO, or a regular file (new or not).
     *
     * @throws CliException for a folder, a terminal, standard input or error,
     *         or a descriptor that is not open for writing
     */
    public static Target target(Path arg, String option) {
        int fd = InputFile.isStdio(arg.toString()) ? 1 : Descriptors.of(arg);
        if (fd >= 0) {
            return descriptorTarget(arg, option, fd);
        }
        // The system follows the links first, to whatever they lead to.
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
            if (Descriptors.isTerminal(arg)) {
                throw onTerminal(arg.toString(), option);
            }
            return new Target(arg.toString(), arg.toAbsolutePath(), Kind.STREAM, null);
        }
        return new Target(arg.toString(), followLinks(arg), Kind.FILE, null);
    }

    private static Target descriptorTarget(Path arg, String option, int fd) {
        String name = InputFile.isStdio(arg.toString()) ? "standard output" : arg.toString();
        if (fd == 0) {
            throw CliException.usage(arg + " is standard input, which is read, not written: name a file for "
                    + option + ", or '-' for standard output");
        }
        if (fd == 2) {
            throw CliException.usage(arg + " is standard error, which carries the messages: name a file for "
                    + option + ", or '-' for standard output");
        }
        Descriptors.Info info = Descriptors.info(fd);
        if (info == null) {
            if (fd == 1) {
                // No /proc to look in: standard output as it is.
                return new Target(name, null, Kind.DESCRIPTOR, null);
            }
            throw CliException.file("cannot write " + arg + ": descriptor " + fd + " is not open (a shell opens it"
                    + " with " + fd + ">FILE)");
        }
        if (info.terminal) {
            throw onTerminal(fd == 1 ? "standard output" : arg.toString(), option);
        }
        if (info.readOnly) {
            throw CliException.file("cannot write " + arg + ": descriptor " + fd + " is open for reading only");
        }
        return new Target(name, info.link, Kind.DESCRIPTOR, info);
    }

    private static CliException onTerminal(String what, String option) {
        return CliException.usage(what + " is a terminal: send the audio to a file or a pipe"
                + " (... - | aplay), or name a file for " + option);
    }

    /** Whether {@code arg} is this process's standard output: '-', or another name for it such as /dev/stdout. */
    public static boolean isStandardOutput(Path arg) {
        return InputFile.isStdio(arg.toString()) || Descriptors.of(arg) == 1;
    }

    /** The file that {@code path} ends at, through any chain of symbolic links, even when it does not exist yet. */
    static Path followLinks(Path path) {
        Path p = path.toAbsolutePath();
        for (int i = 0; i < Descriptors.MAX_LINKS; i++) {
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
     * of the {@code inputs} (compared as files, so that a link, a second name
     * or standard input reading the same file counts as the input).
     */
    public static Target checkOutput(Path arg, String option, String[] names, Path... inputs) {
        Target t = target(arg, option);
        if (t.kind == Kind.FILE) {
            checkFormat(arg, option, names);
            Path dir = t.file.getParent();
            if (dir == null || !Files.isDirectory(dir)) {
                throw CliException.file("cannot write " + arg + ": the folder " + (dir == null ? "/" : dir)
                        + " does not exist");
            }
            if (!Files.isWritable(dir)) {
                throw CliException.file("cannot write " + arg + ": the folder " + dir + " is not writable");
            }
            if (Files.exists(t.file) && !Files.isWritable(t.file)) {
                throw CliException.file("cannot write " + arg + ": permission denied (the file is write-protected)");
            }
        } else if (t.kind == Kind.STREAM && !Files.isWritable(t.file)) {
            throw CliException.file("cannot write " + arg + ": permission denied");
        }
        for (Path in : inputs) {
            if (in != null && isInput(t, in)) {
                throw CliException.usage(t.name + " is " + (InputFile.isStdio(in.toString())
                        ? "the file that standard input reads" : "the input file") + "; choose another name for "
                        + option);
            }
        }
        return t;
    }

    /** Whether writing {@code t} would write into the input {@code in} ('-' is what standard input reads). */
    private static boolean isInput(Target t, Path in) {
        Path input = InputFile.isStdio(in.toString()) ? Path.of("/proc/self/fd/0") : in;
        if (t.file == null || isCharacterDevice(input)) {
            // A device such as /dev/null may be read and written at once.
            return false;
        }
        if (t.kind == Kind.FILE && !InputFile.isStdio(in.toString())) {
            return sameFile(in, t.file);
        }
        try {
            return Files.exists(input) && Files.exists(t.file) && Files.isSameFile(input, t.file);
        } catch (IOException | RuntimeException e) {
            return false;
        }
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
        boolean same = InputFile.isStdio(a.toString()) || InputFile.isStdio(b.toString())
                ? isStandardOutput(a) && isStandardOutput(b) : sameFile(a, b) && !isCharacterDevice(a);
        if (same) {
            throw CliException.usage("the two outputs collide: " + optionB + " " + b + " is also " + optionA
                    + (a.toString().equals(b.toString()) ? "" : " (" + a + ")") + "; give each its own file");
        }
    }

    /**
     * Refuses a name that promises another format, such as out.mp3 for WAV
     * (a name without one is taken, and so is whatever a device, FIFO or
     * descriptor is called).
     */
    public static void checkFormat(Path arg, String option, String[] names) {
        if (names == null || InputFile.isStdio(arg.toString()) || arg.getFileName() == null) {
            return;
        }
        if (Files.exists(arg) && !Files.isRegularFile(arg) || Descriptors.of(arg) >= 0) {
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
     * Opens an output for writing: a descriptor, device or FIFO as it is, a
     * regular file through a temporary file beside it, which
     * {@link #commit()} moves onto it.
     */
    public Output open(Target t) {
        try {
            switch (t.kind) {
                case DESCRIPTOR:
                    return openDescriptor(t);
                case STREAM:
                    // Neither created nor truncated: what is there is written into.
                    return new Output(t, FileChannel.open(t.file, StandardOpenOption.WRITE), null, -1);
                default:
                    Path tmp = temporaryFor(t.file, t.name);
                    return new Output(t, new FileOutputStream(tmp.toFile()).getChannel(), tmp, -1);
            }
        } catch (IOException e) {
            throw CliException.file("cannot write " + t.name + ": " + reason(e), e);
        }
    }

    /**
     * Standard output through the process's own descriptor; another one
     * through its /proc entry, opened without truncation where the shell's
     * descriptor stands (at its end in append mode). A regular file not in
     * append mode can have the header's sizes put right at the end.
     */
    private static Output openDescriptor(Target t) throws IOException {
        Descriptors.Info d = t.descriptor;
        FileChannel ch;
        if (d == null || d.fd == 1) {
            System.out.flush();
            // Not through System.out, which hides write errors such as a closed pipe.
            ch = new FileOutputStream(FileDescriptor.out).getChannel();
        } else if (d.append) {
            ch = FileChannel.open(d.link, StandardOpenOption.WRITE, StandardOpenOption.APPEND);
        } else {
            ch = FileChannel.open(d.link, StandardOpenOption.WRITE);
            if (d.regularFile) {
                ch.position(d.position);
            }
        }
        long headerAt = d != null && d.regularFile && !d.append ? ch.position() : -1;
        return new Output(t, ch, null, headerAt);
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
        String base = abs.getFileName().toString();
        // Within the 255 bytes a name may have, however long the target's is.
        while (base.getBytes(StandardCharsets.UTF_8).length > 200) {
            base = base.substring(0, base.length() - 1);
        }
        removeStale(dir, base);
        Path tmp;
        while (true) {
            tmp = dir.resolve("." + base + ".tambrino-" + HOST + "-" + PID + "-"
                    + Long.toUnsignedString(RANDOM.nextLong(), 36) + ".part");
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
        Pending p = new Pending(name, tmp, abs, Files.exists(abs));
        synchronized (LIVE) {
            LIVE.put(tmp, p);
        }
        pending.put(abs, p);
        try {
            if (Files.isRegularFile(abs, LinkOption.NOFOLLOW_LINKS)) {
                Files.setPosixFilePermissions(tmp, Files.getPosixFilePermissions(abs));
            }
        } catch (IOException | UnsupportedOperationException ignored) {
            // The umask's mode, as for a new file.
        }
        return tmp;
    }

    /**
     * Removes the temporary files in {@code dir} that runs which were killed
     * outright left behind: ours whose process is gone (or is another that
     * took its number later), another machine's once untouched for a day,
     * and those of older versions, named ".BASE.RANDOM.part", for this
     * target only and after a day too. Only the user's own files are touched.
     */
    private static void removeStale(Path dir, String base) {
        Pattern older = Pattern.compile("\\." + Pattern.quote(base) + "\\.[0-9a-z]{1,13}\\.part");
        Instant now = Instant.now();
        try (DirectoryStream<Path> s = Files.newDirectoryStream(dir, ".*.part")) {
            for (Path p : s) {
                String n = p.getFileName().toString();
                Matcher m = TEMPORARY.matcher(n);
                boolean ours = m.matches();
                if (!ours && !older.matcher(n).matches()) {
                    continue;
                }
                BasicFileAttributes a = Files.readAttributes(p, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
                if (!a.isRegularFile() || !Files.getOwner(p, LinkOption.NOFOLLOW_LINKS).getName()
                        .equals(System.getProperty("user.name"))) {
                    continue;
                }
                boolean stale = ours && m.group(1).equals(HOST) ? !running(Long.parseLong(m.group(2)), a.lastModifiedTime())
                        : a.lastModifiedTime().toInstant().plus(FOREIGN_STALE_AFTER).isBefore(now);
                if (stale) {
                    Files.deleteIfExists(p);
                }
            }
        } catch (IOException | RuntimeException e) {
            // Tidying is a courtesy: the run itself goes on.
        }
    }

    /** Whether process {@code pid} is alive and was already running when a file was last written. */
    private static boolean running(long pid, FileTime written) {
        Optional<ProcessHandle> h = ProcessHandle.of(pid);
        if (h.isEmpty() || !h.get().isAlive()) {
            return false;
        }
        Optional<Instant> started = h.get().info().startInstant();
        return started.isEmpty() || !started.get().isAfter(written.toInstant().plusSeconds(1));
    }

    /** Four characters of the machine's name, the same on every run. */
    private static String hostTag() {
        String host = "";
        try {
            host = Files.readString(Path.of("/proc/sys/kernel/hostname"), StandardCharsets.UTF_8).trim();
        } catch (IOException | RuntimeException e) {
            String env = System.getenv("HOSTNAME");
            host = env != null ? env : System.getenv().getOrDefault("COMPUTERNAME", "");
        }
        String tag = Integer.toString(Math.floorMod(host.hashCode(), 36 * 36 * 36 * 36), 36);
        return "0".repeat(4 - tag.length()) + tag;
    }

    /**
     * Moves every temporary file onto its target.
     *
     * @throws CliException naming the output that could not be moved, and
     *         those that were, or quietly when the process is ending early
     */
    public void commit() throws IOException {
        List<String> moved = new ArrayList<>();
        for (Pending p : pending.values()) {
            synchronized (LIVE) {
                if (ending) {
                    throw CliException.quiet(CliException.EXIT_FILE);
                }
                try {
                    try {
                        Files.move(p.tmp, p.target, StandardCopyOption.REPLACE_EXISTING,
                                StandardCopyOption.ATOMIC_MOVE);
                    } catch (AtomicMoveNotSupportedException ex) {
                        Files.move(p.tmp, p.target, StandardCopyOption.REPLACE_EXISTING);
                    }
                } catch (IOException e) {
                    throw CliException.file("cannot write " + p.name + ": cannot move it into place (" + reason(e)
                            + ")" + (moved.isEmpty() ? "" : "; " + names(moved) + (moved.size() == 1 ? " was" : " were")
                            + " written"), e);
                }
                LIVE.remove(p.tmp);
                WRITTEN.add(p.name);
            }
            moved.add(p.name);
        }
        committed = true;
    }

    /** Removes whatever was not committed. */
    @Override
    public void close() {
        if (committed) {
            return;
        }
        for (Pending p : pending.values()) {
            try {
                Files.deleteIfExists(p.tmp);
            } catch (IOException ignored) {
                // Left for the shutdown hook.
                continue;
            }
            forget(p.tmp);
        }
    }

    /** Refuses a folder for outputs ({@code option}) that is something else: a file, a device, a FIFO. */
    public static void checkFolder(Path dir, String option) {
        if (Files.exists(dir) && !Files.isDirectory(dir)) {
            throw CliException.usage(option + " " + dir + " is " + kindOf(dir) + ", not a folder");
        }
    }

    /** "a file", "a device", "a FIFO": what is there instead of a folder. */
    private static String kindOf(Path p) {
        if (Files.isRegularFile(p)) {
            return "a file";
        }
        try {
            int type = (Integer) Files.getAttribute(p, "unix:mode") & 0170000;
            return type == 0020000 || type == 0060000 ? "a device" : type == 0010000 ? "a FIFO" : type == 0140000
                    ? "a socket" : "something else";
        } catch (IOException | RuntimeException e) {
            return "something else";
        }
    }

    /**
     * Makes {@code dir} and whichever of its parents are missing, each
     * remembered so that {@link #removeMadeFolders()} (or the process ending
     * early) takes away those that stay empty.
     *
     * @throws CliException when a folder cannot be made or written into, with the reason
     */
    public static void makeFolders(Path dir) {
        List<Path> missing = new ArrayList<>();
        for (Path p = dir.toAbsolutePath().normalize(); p != null && !Files.exists(p); p = p.getParent()) {
            missing.add(0, p);
        }
        for (Path p : missing) {
            try {
                Files.createDirectory(p);
            } catch (FileAlreadyExistsException e) {
                if (Files.isDirectory(p)) {
                    // Made by another run meanwhile: not ours to remove.
                    continue;
                }
                throw CliException.file("cannot make the folder " + dir + ": a link that leads nowhere has its name",
                        e);
            } catch (IOException e) {
                throw CliException.file("cannot make the folder " + dir + ": " + reason(e), e);
            }
            synchronized (LIVE) {
                MADE.add(p);
            }
        }
        if (!Files.isWritable(dir)) {
            throw CliException.file("cannot write into " + dir + ": the folder is not writable");
        }
    }

    /** Removes the folders {@link #makeFolders} made that are still empty, the deepest first. */
    public static void removeMadeFolders() {
        synchronized (LIVE) {
            for (int i = MADE.size() - 1; i >= 0; i--) {
                try {
                    Files.deleteIfExists(MADE.get(i));
                } catch (IOException e) {
                    // Not empty: something was written there after all.
                }
            }
            MADE.clear();
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
        private final FileChannel channel;
        private final OutputStream out;
        private final Path tmp;
        /** Where a WAV header's sizes can be put right in place (a regular file given as a descriptor); -1 = not. */
        private final long headerAt;
        private boolean closed;

        private Output(Target target, FileChannel channel, Path tmp, long headerAt) {
            this.target = target;
            this.channel = channel;
            this.out = Channels.newOutputStream(channel);
            this.tmp = tmp;
            this.headerAt = headerAt;
        }

        /** The name of the output, for messages. */
        public String name() {
            return target.name;
        }

        /** Whether it is a file that appears only when complete (not a stream, which has passed its bytes on). */
        public boolean isFile() {
            return tmp != null;
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
                    channel.force(true);
                }
                if (!target.isStdout()) {
                    channel.close();
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
                channel.truncate(bytes);
                channel.position(bytes);
            } catch (IOException e) {
                throw failed(e);
            }
            return true;
        }

        /**
         * Puts the real sizes into a WAV header once the data is written: in a
         * temporary file, or where a file given as a descriptor took it; a
         * pipe or device keeps the streaming sizes.
         */
        public void finishWav(int channels, long frames) {
            try {
                if (tmp != null) {
                    WavWriter.fixSizes(tmp, channels, frames);
                } else if (headerAt >= 0) {
                    // The shell's descriptor stays where the data ended; the header is written beside it.
                    try (FileChannel ch = FileChannel.open(target.file, StandardOpenOption.WRITE)) {
                        ByteBuffer size = ByteBuffer.allocate(4).order(ByteOrder.LITTLE_ENDIAN);
                        for (long[] field : WavWriter.sizeFields(channels, frames)) {
                            size.clear();
                            size.putInt((int) field[1]).flip();
                            ch.write(size, headerAt + field[0]);
                        }
                    }
                }
            } catch (IOException e) {
                throw failed(e);
            }
        }

        private CliException failed(IOException e) {
            if (target.isStream() && isClosedPipe(e)) {
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
     * Instead of removing {@code output}'s temporary file when the process
     * ends early, or leaving a stream's last bytes unwritten, runs
     * {@code finisher}, which completes it: for a recording, where what was
     * done so far is the result.
     */
    static void finishOnExit(Output output, Runnable finisher) {
        synchronized (LIVE) {
            Pending p = output.tmp != null ? LIVE.get(output.tmp) : null;
            if (p == null) {
                p = new Pending(output.target.name, null, output.target.file, true);
                LIVE.put(output, p);
            }
            p.finisher = finisher;
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

    /**
     * Ends every output not finished, as the process ends before its work
     * is done (a signal, or an exit with outputs still open): a recording is
     * completed where it is, a temporary file removed, a folder made for the
     * outputs removed when empty, and nothing is moved into place afterwards.
     * Safe to call more than once, from any thread.
     *
     * @return what became of the outputs, for a message ("out.wav was not
     *         written"); empty when there were none
     */
    public static List<String> abandon() {
        List<Pending> finishing = new ArrayList<>();
        synchronized (LIVE) {
            for (Iterator<Pending> i = LIVE.values().iterator(); i.hasNext();) {
                Pending p = i.next();
                if (p.finisher != null) {
                    finishing.add(p);
                    i.remove();
                }
            }
        }
        List<String> heard = new ArrayList<>();
        List<String> failed = new ArrayList<>();
        // Outside the lock: a recording's finisher moves its own file into place.
        for (Pending p : finishing) {
            try {
                p.finisher.run();
                heard.add(p.name);
            } catch (RuntimeException e) {
                failed.add(e.getMessage() != null ? e.getMessage() : p.name + " could not be finished");
            }
        }
        List<String> notWritten = new ArrayList<>();
        List<String> leftAsItWas = new ArrayList<>();
        List<String> written;
        synchronized (LIVE) {
            ending = true;
            for (Pending p : LIVE.values()) {
                try {
                    if (p.tmp != null) {
                        Files.deleteIfExists(p.tmp);
                    }
                } catch (IOException ignored) {
                    // Best effort while the process ends; the next run removes it.
                }
                (p.existed ? leftAsItWas : notWritten).add(p.name);
            }
            LIVE.clear();
            written = new ArrayList<>(WRITTEN);
            WRITTEN.clear();
            // A recording finished just now is what was heard, not a whole result.
            written.removeAll(heard);
        }
        removeMadeFolders();
        List<String> said = new ArrayList<>();
        if (!notWritten.isEmpty()) {
            said.add(names(notWritten) + (notWritten.size() == 1 ? " was" : " were") + " not written");
        }
        if (!leftAsItWas.isEmpty()) {
            said.add(names(leftAsItWas) + (leftAsItWas.size() == 1 ? " was left as it was" : " were left as they were"));
        }
        if (!heard.isEmpty()) {
            said.add(names(heard) + (heard.size() == 1 ? " holds" : " hold") + " what was heard until then");
        }
        said.addAll(failed);
        if (!written.isEmpty()) {
            said.add((written.size() > 3 ? written.size() + " files" : names(written))
                    + (written.size() == 1 ? " was" : " were") + " written in full");
        }
        return said;
    }

    /** "a.wav", "a.wav and b.wav", "a.wav, b.wav and c.wav" */
    private static String names(List<String> names) {
        if (names.size() == 1) {
            return names.get(0);
        }
        return String.join(", ", names.subList(0, names.size() - 1)) + " and " + names.get(names.size() - 1);
    }
}
