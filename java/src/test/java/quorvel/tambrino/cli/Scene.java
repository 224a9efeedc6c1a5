// Test helpers for outputs: folder snapshots, FIFOs and their readers, shell scripts run as a user would.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.CompletableFuture;
import java.util.stream.Stream;

/** What a folder holds, FIFOs with readers, and shell scripts: the stage the output tests set. */
final class Scene {
    private Scene() {}

    /**
     * Everything under {@code root}, by relative path: a file's digest, a
     * link's target, or what else it is, so that two snapshots are equal
     * exactly when nothing was added, removed or changed.
     */
    static Map<String, String> snapshot(Path root) throws IOException {
        Map<String, String> m = new TreeMap<>();
        try (Stream<Path> s = Files.walk(root)) {
            for (Path p : (Iterable<Path>) s::iterator) {
                String key = root.relativize(p).toString();
                if (Files.isSymbolicLink(p)) {
                    m.put(key, "link to " + Files.readSymbolicLink(p));
                } else if (Files.isRegularFile(p, LinkOption.NOFOLLOW_LINKS)) {
                    m.put(key, digest(Files.readAllBytes(p)));
                } else {
                    m.put(key, Files.isDirectory(p) ? "folder" : "other");
                }
            }
        }
        return m;
    }

    static String digest(byte[] bytes) {
        try {
            StringBuilder sb = new StringBuilder();
            for (byte b : MessageDigest.getInstance("SHA-256").digest(bytes)) {
                sb.append(String.format("%02x", b));
            }
            return sb.toString();
        } catch (java.security.NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }

    static Path mkfifo(Path p) throws Exception {
        Process mk = new ProcessBuilder("mkfifo", p.toString()).start();
        assertEquals(0, mk.waitFor());
        return p;
    }

    /** Reads the FIFO in a thread, up to {@code limit} bytes, then closes it as a reader that goes away. */
    static CompletableFuture<byte[]> reader(Path fifo, int limit) {
        return CompletableFuture.supplyAsync(() -> {
            try (InputStream s = Files.newInputStream(fifo)) {
                return s.readNBytes(limit);
            } catch (IOException e) {
                throw new IllegalStateException(e);
            }
        });
    }

    /** Runs a bash script in {@code cwd} with the tool as $T (the launcher, the jar named) and these variables. */
    static Launcher.Result bash(Path cwd, String script, Map<String, String> env) throws Exception {
        Map<String, String> all = new HashMap<>(env);
        all.put("T", Launcher.launcher().toAbsolutePath().toString());
        return Launcher.run(List.of("bash", "-c", "cd \"$0\" && " + script, cwd.toString()), all);
    }

    /** The bytes of {@code a} followed by those of {@code b}. */
    static byte[] concat(byte[]... parts) {
        int n = 0;
        for (byte[] p : parts) {
            n += p.length;
        }
        byte[] all = new byte[n];
        int at = 0;
        for (byte[] p : parts) {
            System.arraycopy(p, 0, all, at, p.length);
            at += p.length;
        }
        return all;
    }
}
