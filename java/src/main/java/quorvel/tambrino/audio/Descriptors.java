// The process's own open file descriptors, as Linux's /proc shows them: what an output name leads to.
package quorvel.tambrino.audio;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Names of this process's descriptors ({@code /dev/stdout}, {@code /dev/fd/3},
 * {@code /proc/self/fd/1}) and what each descriptor is. Opening such a name
 * on Linux opens the file anew, truncating it and losing the shell's append
 * mode, so an output named this way is written through the descriptor the
 * process was given instead. Without /proc (another system) no name is a
 * descriptor and everything here answers "unknown".
 */
final class Descriptors {
    private Descriptors() {}

    /** The access mode bits of the descriptor's flags, and those that matter here. */
    private static final int O_ACCMODE = 03;
    private static final int O_RDONLY = 0;
    private static final int O_APPEND = 02000;

    private static final Pattern OWN_FD_DIR = Pattern.compile(
            "/proc/" + ProcessHandle.current().pid() + "(/task/\\d+)?/fd");

    /** How many symbolic links a path may pass through, as the system allows. */
    static final int MAX_LINKS = 40;

    /** One open descriptor. */
    static final class Info {
        final int fd;
        /** Its name in /proc, which opens the same file, pipe or device. */
        final Path link;
        /** Where it leads: a path, or "pipe:[...]" and the like. */
        final String leadsTo;
        /** The offset where the next write lands (a regular file not in append mode). */
        final long position;
        final boolean append;
        final boolean readOnly;
        final boolean regularFile;
        final boolean terminal;

        private Info(int fd, Path link, String leadsTo, long position, int flags, boolean regularFile) {
            this.fd = fd;
            this.link = link;
            this.leadsTo = leadsTo;
            this.position = position;
            this.append = (flags & O_APPEND) != 0;
            this.readOnly = (flags & O_ACCMODE) == O_RDONLY;
            this.regularFile = regularFile;
            this.terminal = isTerminalName(leadsTo);
        }
    }

    /**
     * The descriptor of this process that {@code arg} names, through any
     * chain of links ({@code /dev/stdout} leads to {@code /proc/self/fd/1}),
     * or -1 when it names none.
     */
    static int of(Path arg) {
        Path p = arg.toAbsolutePath();
        for (int i = 0; i < MAX_LINKS; i++) {
            int fd = named(p);
            if (fd >= 0) {
                return fd;
            }
            try {
                if (!Files.isSymbolicLink(p)) {
                    return -1;
                }
                p = p.resolveSibling(Files.readSymbolicLink(p));
            } catch (IOException | RuntimeException e) {
                return -1;
            }
        }
        return -1;
    }

    /** The descriptor whose /proc entry {@code p} is, its folder's links followed; -1 otherwise. */
    private static int named(Path p) {
        Path name = p.getFileName();
        Path parent = p.getParent();
        if (name == null || parent == null || !name.toString().matches("\\d{1,9}")) {
            return -1;
        }
        try {
            if (OWN_FD_DIR.matcher(parent.toRealPath().toString()).matches()) {
                return Integer.parseInt(name.toString());
            }
        } catch (IOException | RuntimeException e) {
            // Not a folder of descriptors.
        }
        return -1;
    }

    /** What descriptor {@code fd} is, or null when it is not open. */
    static Info info(int fd) {
        Path link = Path.of("/proc/self/fd/" + fd);
        try {
            String leadsTo = Files.readSymbolicLink(link).toString();
            String fdinfo = Files.readString(Path.of("/proc/self/fdinfo/" + fd), StandardCharsets.US_ASCII);
            long pos = field(fdinfo, "pos", 10);
            int flags = (int) field(fdinfo, "flags", 8);
            return new Info(fd, link, leadsTo, pos, flags, Files.isRegularFile(link));
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    private static long field(String fdinfo, String name, int radix) {
        Matcher m = Pattern.compile("(?m)^" + name + ":\\s*([0-9]+)").matcher(fdinfo);
        if (!m.find()) {
            throw new IllegalStateException("no " + name + " in fdinfo");
        }
        return Long.parseLong(m.group(1), radix);
    }

    /** Whether {@code p} is a terminal, where audio bytes would only garble the screen. */
    static boolean isTerminal(Path p) {
        try {
            return isTerminalName(p.toRealPath().toString());
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    private static boolean isTerminalName(String real) {
        return real.startsWith("/dev/pts/") || real.startsWith("/dev/tty") || real.equals("/dev/console");
    }
}
