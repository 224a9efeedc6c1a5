// Status lines on standard error, drawn only on a terminal.
package quorvel.tambrino.practice;

import java.io.Console;
import java.io.PrintStream;
import java.lang.reflect.Method;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Locale;

/**
 * Status lines on standard error (a progress bar or a live meter), drawn only
 * when standard error is a terminal so that logs and pipes stay clean.
 */
public final class Terminal {
    private static final long MIN_INTERVAL_NANOS = 100_000_000L;
    private static final int WIDTH = 78;

    /** Set once the process is ending on a signal: its message is the last line, no status line follows it. */
    private static volatile boolean silenced;

    private final PrintStream err;
    private final boolean enabled;
    private long lastDraw;
    private int lastLength;

    public Terminal(PrintStream err, boolean enabled) {
        this.err = err;
        this.enabled = enabled;
    }

    /** A status line on {@code System.err} when it is a terminal. */
    public static Terminal stderr() {
        return new Terminal(System.err, stderrIsTerminal());
    }

    /**
     * Whether standard error is an interactive terminal. On Linux the link
     * behind file descriptor 2 names the device. Java has no direct test
     * otherwise: {@link System#console()} says whether the process is
     * attached to one, but before Java 22 only when standard input and output
     * are terminals too (so a player fed from a pipe would draw no meter),
     * and from Java 22 it also exists when redirected and says so through
     * {@code isTerminal()}.
     */
    static boolean stderrIsTerminal() {
        Boolean linked = linkedToTerminal(2);
        if (linked != null) {
            return linked;
        }
        Console console = System.console();
        if (console == null) {
            return false;
        }
        try {
            Method isTerminal = Console.class.getMethod("isTerminal");
            return (Boolean) isTerminal.invoke(console);
        } catch (ReflectiveOperationException e) {
            // Before Java 22 a console exists only on a terminal.
            return true;
        }
    }

    /** Whether standard input is an interactive terminal (the link behind descriptor 0 names one). */
    public static boolean stdinIsTerminal() {
        if (Boolean.getBoolean("tambrino.noninteractive")) {
            return false;
        }
        Boolean linked = linkedToTerminal(0);
        return linked != null ? linked : System.console() != null;
    }

    /** Whether standard output is a terminal, where audio bytes would only garble the screen. */
    public static boolean stdoutIsTerminal() {
        Boolean linked = linkedToTerminal(1);
        return linked != null && linked;
    }

    /** Whether the link behind a file descriptor names a terminal device; null without /proc. */
    private static Boolean linkedToTerminal(int fd) {
        try {
            Path link = Paths.get("/proc/self/fd/" + fd);
            if (Files.exists(link)) {
                String target = Files.readSymbolicLink(link).toString();
                return target.startsWith("/dev/pts/") || target.startsWith("/dev/tty");
            }
        } catch (Exception e) {
            // No /proc.
        }
        return null;
    }

    public boolean enabled() {
        return enabled && !silenced;
    }

    /** No status line is drawn or cleared any more, by any thread. */
    public static void silence() {
        silenced = true;
    }

    /** Redraws the status line, at most ten times a second unless {@code force}. */
    public void status(String line, boolean force) {
        if (!enabled()) {
            return;
        }
        long now = System.nanoTime();
        if (!force && now - lastDraw < MIN_INTERVAL_NANOS) {
            return;
        }
        lastDraw = now;
        String s = line.length() > WIDTH ? line.substring(0, WIDTH) : line;
        StringBuilder sb = new StringBuilder("\r").append(s);
        for (int i = s.length(); i < lastLength; i++) {
            sb.append(' ');
        }
        lastLength = s.length();
        err.print(sb);
        err.flush();
    }

    /** Removes the status line. */
    public void clear() {
        if (!enabled() || lastLength == 0) {
            return;
        }
        err.print("\r" + " ".repeat(lastLength) + "\r");
        err.flush();
        lastLength = 0;
    }

    /** "[#########.........]" of {@code width} cells filled to {@code fraction}. */
    public static String bar(double fraction, int width) {
        int filled = (int) Math.round(Math.max(0, Math.min(1, fraction)) * width);
        return "[" + "#".repeat(filled) + ".".repeat(width - filled) + "]";
    }

    /** m:ss of a number of seconds; "?:??" for an unknown (negative) length. */
    public static String clock(double seconds) {
        if (seconds < 0) {
            return "?:??";
        }
        long s = Math.max(0, Math.round(seconds));
        return String.format(Locale.ROOT, "%d:%02d", s / 60, s % 60);
    }

    /** m:ss.s */
    public static String tenths(double seconds) {
        long tenths = Math.max(0, Math.round(seconds * 10));
        return String.format(Locale.ROOT, "%d:%02d.%d", tenths / 600, tenths / 10 % 60, tenths % 10);
    }

    /**
     * Level in dB relative to full scale, "-inf" for silence: a level below
     * one 16-bit step truncates to 0 in the output, so it is shown as silence
     * rather than as the -700 dB of a float's tail.
     */
    public static String dbfs(float level) {
        if (!(level >= 1.0f / 32767)) {
            return "-inf dBFS";
        }
        return String.format(Locale.ROOT, "%.1f dBFS", 20 * Math.log10(level));
    }
}
