// A failure the user can act on, with its message and exit code.
package quorvel.tambrino.audio;

import quorvel.tambrino.NativeInterface;

/**
 * A failure that the user can act on: it carries the message printed after
 * "tambrino: " (none when null) and the process exit code.
 *
 * <p>The codes are one rule for every command: 0 done, 1 a file (an input
 * that cannot be read or has an unsupported format, an output that cannot be
 * written, a reader that went away), 2 usage (an invalid option, argument or
 * passage, refused before any work), 3 a device (audio output, display), 4 the
 * engine.
 */
public class CliException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** A file could not be read or written, or its format is not supported. */
    public static final int EXIT_FILE = 1;
    /** An option, argument or passage is invalid (picocli's own usage code). */
    public static final int EXIT_USAGE = 2;
    /**
     * A device the command needs is missing or failed: no audio output to
     * play through (or it failed while playing), no display for the window.
     */
    public static final int EXIT_DEVICE = 3;
    /** No audio output device to play through, or it failed while playing. */
    static final int EXIT_NO_AUDIO = EXIT_DEVICE;
    /** The engine could not be loaded or refused a call. */
    public static final int EXIT_ENGINE = 4;

    public final int exitCode;

    public CliException(int exitCode, String message) {
        super(message);
        this.exitCode = exitCode;
    }

    public CliException(int exitCode, String message, Throwable cause) {
        super(message, cause);
        this.exitCode = exitCode;
    }

    public static CliException file(String message) {
        return new CliException(EXIT_FILE, message);
    }

    public static CliException file(String message, Throwable cause) {
        return new CliException(EXIT_FILE, message, cause);
    }

    public static CliException usage(String message) {
        return new CliException(EXIT_USAGE, message);
    }

    /** Ends the run with {@code exitCode} and no message, as when the reader of a pipe goes away. */
    public static CliException quiet(int exitCode) {
        return new CliException(exitCode, null);
    }

    public static CliException engineNotLoaded(LinkageError e) {
        return new CliException(CliException.EXIT_ENGINE, "the engine library libtambrino.so could not be loaded ("
                + e.getMessage() + "); rebuild the jar, or name the library with -D"
                + NativeInterface.LIBRARY_PROPERTY + "=/path/to/libtambrino.so", e);
    }
}
