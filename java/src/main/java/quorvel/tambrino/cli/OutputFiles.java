package quorvel.tambrino.cli;

import java.io.IOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.security.SecureRandom;
import java.util.LinkedHashMap;
import java.util.Map;

/**
 * Output files written whole or not at all: each is written to a hidden
 * temporary file in the target's folder and moved into place only when every
 * output of the run has succeeded. A failure, or the process being
 * interrupted, removes the temporary files, so no partial output is left
 * (except a recording's, which {@link #finishOnExit} completes instead).
 *
 * <p>The temporary file is made with the usual permissions (0666 less the
 * umask), which the finished file keeps, as if it had been created directly.
 */
final class OutputFiles implements AutoCloseable {
    /** Temporary files not yet moved into place, with what to do with each if the process ends first. */
    private static final Map<Path, Runnable> LIVE = new LinkedHashMap<>();

    static {
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            Map<Path, Runnable> live;
            synchronized (LIVE) {
                live = new LinkedHashMap<>(LIVE);
            }
            for (Map.Entry<Path, Runnable> e : live.entrySet()) {
                try {
                    if (e.getValue() != null) {
                        e.getValue().run();
                    } else {
                        Files.deleteIfExists(e.getKey());
                    }
                } catch (IOException | RuntimeException ignored) {
                    // Best effort while the process dies.
                }
            }
        }, "tambrino-cleanup"));
    }

    private static final SecureRandom RANDOM = new SecureRandom();

    private final Map<Path, Path> pending = new LinkedHashMap<>();
    private boolean committed;

    /**
     * Checks that {@code target} can be written, before any work is done:
     * its folder exists, it is not a folder itself and it is none of the inputs.
     */
    static void checkWritable(Path target, String option, Path... inputs) {
        if (InputFile.isStdio(target.toString())) {
            return;
        }
        Path abs = target.toAbsolutePath().normalize();
        Path dir = abs.getParent();
        if (Files.isDirectory(abs)) {
            throw CliException.file(target + " is a folder; " + option + " needs a file name");
        }
        if (dir == null || !Files.isDirectory(dir)) {
            throw CliException.file("cannot write " + target + ": the folder " + (dir == null ? "/" : dir)
                    + " does not exist");
        }
        if (!Files.isWritable(dir)) {
            throw CliException.file("cannot write " + target + ": the folder " + dir + " is not writable");
        }
        for (Path in : inputs) {
            if (in != null && sameFile(in, abs)) {
                throw CliException.usage(target + " is the input file; choose another name for " + option);
            }
        }
    }

    private static boolean sameFile(Path a, Path b) {
        try {
            if (Files.exists(a) && Files.exists(b)) {
                return Files.isSameFile(a, b);
            }
        } catch (IOException ignored) {
            // Fall back to comparing names.
        }
        return a.toAbsolutePath().normalize().equals(b.toAbsolutePath().normalize());
    }

    /**
     * A fresh temporary file beside {@code target}, moved onto it by
     * {@link #commit()}. Unlike {@link Files#createTempFile}, which makes it
     * private to the owner, it is created with the default mode so that the
     * umask decides, as for any new file.
     *
     * @throws CliException when the folder does not accept the file, with the reason
     */
    Path temporaryFor(Path target) {
        Path abs = target.toAbsolutePath().normalize();
        Path dir = abs.getParent();
        Path tmp;
        while (true) {
            tmp = dir.resolve("." + abs.getFileName() + "." + Long.toUnsignedString(RANDOM.nextLong(), 36) + ".part");
            try {
                Files.createFile(tmp);
                break;
            } catch (FileAlreadyExistsException e) {
                // Another name.
            } catch (IOException e) {
                throw CliException.file("cannot write " + target + ": cannot create a file in " + dir + " ("
                        + reason(e) + ")", e);
            }
        }
        synchronized (LIVE) {
            LIVE.put(tmp, null);
        }
        pending.put(abs, tmp);
        return tmp;
    }

    /** Moves every temporary file onto its target. */
    void commit() throws IOException {
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
     * Why an input or output operation failed, in words: the system's reason
     * where Java keeps it apart from the file name, which is all that
     * {@code getMessage()} of some exceptions holds.
     */
    static String reason(IOException e) {
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
     * Instead of removing {@code tmp} when the process is interrupted, runs
     * {@code finisher}, which completes it and moves it into place: for a
     * recording, where what was done so far is the result.
     */
    static void finishOnExit(Path tmp, Runnable finisher) {
        synchronized (LIVE) {
            if (LIVE.containsKey(tmp)) {
                LIVE.put(tmp, finisher);
            }
        }
    }

    private static void forget(Path tmp) {
        synchronized (LIVE) {
            LIVE.remove(tmp);
        }
    }
}
