package quorvel.tambrino.cli;

import java.io.IOException;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * Output files written whole or not at all: each is written to a hidden
 * temporary file in the target's folder and moved into place only when every
 * output of the run has succeeded. A failure, or the process being
 * interrupted, removes the temporary files, so no partial output is left.
 */
final class OutputFiles implements AutoCloseable {
    private static final List<Path> LIVE = new ArrayList<>();

    static {
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            synchronized (LIVE) {
                for (Path p : LIVE) {
                    try {
                        Files.deleteIfExists(p);
                    } catch (IOException ignored) {
                        // Best effort while the process dies.
                    }
                }
            }
        }, "tambrino-cleanup"));
    }

    private final Map<Path, Path> pending = new LinkedHashMap<>();
    private boolean committed;

    /**
     * Checks that {@code target} can be written, before any work is done:
     * its folder exists, it is not a folder itself and it is none of the inputs.
     */
    static void checkWritable(Path target, String option, Path... inputs) {
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

    /** A fresh temporary file beside {@code target}, moved onto it by {@link #commit()}. */
    Path temporaryFor(Path target) throws IOException {
        Path abs = target.toAbsolutePath().normalize();
        Path tmp = Files.createTempFile(abs.getParent(), "." + abs.getFileName() + ".", ".part");
        synchronized (LIVE) {
            LIVE.add(tmp);
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

    private static void forget(Path tmp) {
        synchronized (LIVE) {
            LIVE.remove(tmp);
        }
    }
}
