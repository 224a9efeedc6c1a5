// The per-song memory and the recent files, in the user's configuration folder.
package quorvel.tambrino.practice;

import java.io.IOException;
import java.io.InputStream;
import java.io.Reader;
import java.io.StringReader;
import java.io.StringWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import java.util.Properties;

/**
 * What a musician keeps per song (markers, loops, the last tempo and
 * settings) and the list of recent files, in the user's configuration
 * folder ({@code $XDG_CONFIG_HOME/tambrino}, else {@code $HOME/.config/tambrino}).
 * A song is known by its content's digest, so a moved or renamed file keeps
 * its markers. Files are written beside their place and moved into it, so a
 * crash leaves the previous one; a file there that cannot be read as ours is
 * moved aside (renamed {@code .bad}) and reported, never fatal. Called from
 * any one thread at a time; nothing here is on the audio path.
 */
public final class SongStore {
    private static final String FORMAT = "tambrino-song 1";
    private static final int RECENT = 10;
    private final Path folder;

    public SongStore(Path folder) {
        this.folder = folder;
    }

    /** The store in the user's configuration folder. */
    public static SongStore forUser() {
        return new SongStore(folderFor(System.getenv(), System.getProperty("user.home")));
    }

    /**
     * The configuration folder for an environment: {@code $XDG_CONFIG_HOME}
     * when it is an absolute path, else {@code $HOME/.config} when
     * {@code $HOME} is (the user may point it elsewhere; Java's own home is
     * the account's), else {@code userHome/.config}; with {@code tambrino}
     * below.
     */
    public static Path folderFor(java.util.Map<String, String> env, String userHome) {
        String xdg = env.get("XDG_CONFIG_HOME");
        String home = env.get("HOME");
        Path base = absolute(xdg) ? Path.of(xdg)
                : absolute(home) ? Path.of(home, ".config") : Path.of(userHome, ".config");
        return base.resolve("tambrino");
    }

    private static boolean absolute(String p) {
        try {
            return p != null && !p.isEmpty() && Path.of(p).isAbsolute();
        } catch (java.nio.file.InvalidPathException e) {
            return false;
        }
    }

    public Path folder() {
        return folder;
    }

    /** The content's SHA-256, in hex: the song's key. */
    public static String key(Path file) throws IOException {
        MessageDigest md;
        try {
            md = MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
        byte[] buf = new byte[1 << 16];
        try (InputStream in = Files.newInputStream(file)) {
            int n;
            while ((n = in.read(buf)) > 0) {
                md.update(buf, 0, n);
            }
        }
        return HexFormat.of().formatHex(md.digest());
    }

    /** What was kept for a song, with a note when a file was set aside. */
    public static final class Loaded {
        public final Properties values;
        /** Null, or why the stored file was set aside. */
        public final String problem;

        Loaded(Properties values, String problem) {
            this.values = values;
            this.problem = problem;
        }
    }

    /** The song's values: empty when nothing is stored or the stored file is unreadable (then set aside). */
    public Loaded load(String key) {
        Path file = songFile(key);
        if (!Files.exists(file)) {
            return new Loaded(new Properties(), null);
        }
        Properties p = new Properties();
        try (Reader r = new StringReader(Files.readString(file, StandardCharsets.UTF_8))) {
            p.load(r);
            if (!FORMAT.equals(p.getProperty("format"))) {
                throw new IOException("it is not a tambrino song file");
            }
            return new Loaded(p, null);
        } catch (IOException | IllegalArgumentException e) {
            return new Loaded(new Properties(), setAside(file, e));
        }
    }

    /** Keeps the song's values (replacing what was kept). */
    public void save(String key, Properties values) throws IOException {
        Properties p = new Properties();
        p.putAll(values);
        p.setProperty("format", FORMAT);
        StringWriter w = new StringWriter();
        p.store(w, "tambrino: markers, loops and settings of one song");
        writeAtomically(songFile(key), w.toString());
    }

    /** The recent files, newest first, those that no longer exist left out. */
    public List<Path> recent() {
        List<Path> out = new ArrayList<>();
        Path file = folder.resolve("recent.txt");
        try {
            for (String line : Files.readAllLines(file, StandardCharsets.UTF_8)) {
                if (!line.isBlank()) {
                    Path p = Path.of(line.trim());
                    if (Files.isRegularFile(p) && !out.contains(p)) {
                        out.add(p);
                    }
                }
            }
        } catch (IOException | RuntimeException e) {
            // No list yet, or an unreadable one: it is rebuilt by the next file opened.
        }
        return out;
    }

    /** Puts {@code file} first in the recent files. */
    public void addRecent(Path file) throws IOException {
        List<Path> list = recent();
        Path abs = file.toAbsolutePath().normalize();
        list.remove(abs);
        list.add(0, abs);
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < Math.min(RECENT, list.size()); i++) {
            sb.append(list.get(i)).append('\n');
        }
        writeAtomically(folder.resolve("recent.txt"), sb.toString());
    }

    private Path songFile(String key) {
        if (!key.matches("[0-9a-f]{64}")) {
            throw new IllegalArgumentException("not a song key: " + key);
        }
        return folder.resolve("songs").resolve(key + ".properties");
    }

    private static String setAside(Path file, Exception why) {
        Path aside = file.resolveSibling(file.getFileName() + ".bad");
        try {
            Files.move(file, aside, StandardCopyOption.REPLACE_EXISTING);
            return "the kept settings " + file + " could not be read (" + why.getMessage() + "); moved to " + aside;
        } catch (IOException e) {
            return "the kept settings " + file + " could not be read (" + why.getMessage() + ") nor moved aside";
        }
    }

    private static void writeAtomically(Path target, String text) throws IOException {
        Files.createDirectories(target.getParent());
        Path tmp = Files.createTempFile(target.getParent(), "." + target.getFileName(), ".tmp");
        try {
            Files.writeString(tmp, text, StandardCharsets.UTF_8);
            try {
                Files.move(tmp, target, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
            } catch (AtomicMoveNotSupportedException e) {
                Files.move(tmp, target, StandardCopyOption.REPLACE_EXISTING);
            }
        } finally {
            Files.deleteIfExists(tmp);
        }
    }
}
