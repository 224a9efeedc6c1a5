package quorvel.tambrino.sound;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.UUID;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;

/**
 * A terminal of the test's own: a tmux server on a private socket with one
 * pane, which runs a shell line, takes keys (send-keys, as typed) and shows
 * its screen (capture-pane); it can be resized as a person resizes a window.
 */
final class Pane implements AutoCloseable {
    private final String socket = "tambrino-sound-" + UUID.randomUUID();

    /** Runs {@code shellLine} in a new pane of {@code columns} × {@code rows}. */
    Pane(String shellLine, int columns, int rows) throws IOException, InterruptedException {
        tmux("new-session", "-d", "-s", "p", "-x", Integer.toString(columns), "-y", Integer.toString(rows),
                shellLine);
    }

    /** Types keys (tmux key names: Space, Up, q); returns the time just before they were sent. */
    long keys(String... keys) throws IOException, InterruptedException {
        List<String> args = new ArrayList<>(List.of("send-keys", "-t", "p"));
        args.addAll(List.of(keys));
        long now = System.nanoTime();
        tmux(args.toArray(new String[0]));
        return now;
    }

    String screen() throws IOException, InterruptedException {
        return tmux("capture-pane", "-p", "-t", "p");
    }

    void resize(int columns, int rows) throws IOException, InterruptedException {
        tmux("resize-window", "-t", "p", "-x", Integer.toString(columns), "-y", Integer.toString(rows));
    }

    /** Waits up to {@code millis} for the screen to meet {@code condition}; returns that screen. */
    String waitFor(Predicate<String> condition, String what, long millis) throws IOException, InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        String s = screen();
        while (!condition.test(s)) {
            if (System.nanoTime() > deadline) {
                throw new AssertionError("the screen never showed " + what + ":\n" + s);
            }
            Thread.sleep(50);
            s = screen();
        }
        return s;
    }

    String waitFor(String text, long millis) throws IOException, InterruptedException {
        return waitFor(s -> s.contains(text), "'" + text + "'", millis);
    }

    private String tmux(String... args) throws IOException, InterruptedException {
        List<String> cmd = new ArrayList<>(List.of("tmux", "-L", socket));
        cmd.addAll(List.of(args));
        Path out = Files.createTempFile("tmux", ".txt");
        try {
            Process p = new ProcessBuilder(cmd).redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")))
                    .redirectErrorStream(true).redirectOutput(out.toFile()).start();
            if (!p.waitFor(20, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                throw new IOException("tmux timed out: " + cmd);
            }
            String text = Files.readString(out, StandardCharsets.UTF_8);
            if (p.exitValue() != 0) {
                throw new IOException(cmd + " failed: " + text);
            }
            return text;
        } finally {
            Files.deleteIfExists(out);
        }
    }

    @Override
    public void close() throws IOException {
        try {
            String path = tmux("display-message", "-p", "#{socket_path}").trim();
            tmux("kill-server");
            if (path.endsWith(socket)) {
                Files.deleteIfExists(Path.of(path));
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
