// A tmux pane the real-sound tests run the player in: keys, screen and size.
package quorvel.tambrino.sound;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.UUID;

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

    private String tmux(String... args) throws IOException, InterruptedException {
        List<String> cmd = new ArrayList<>(List.of("tmux", "-L", socket));
        cmd.addAll(List.of(args));
        return SoundServer.run(cmd);
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
