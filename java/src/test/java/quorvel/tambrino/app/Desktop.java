// Runs the practice app as a person starts it (bin/tambrino app) on a virtual desktop of its own, driven by xdotool.
package quorvel.tambrino.app;

import java.awt.Rectangle;
import java.awt.Robot;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import javax.imageio.ImageIO;

/**
 * The app in a process of its own, started through {@code bin/tambrino app}
 * on a desktop of its own ({@code scripts/desktop.sh}: a virtual screen of
 * the size asked for, with a window manager), driven by a shell script of
 * xdotool commands: real key presses and clicks, as a person makes them. The
 * script finds the window as {@code $wid} and may call {@code shot FILE} for
 * a picture of the whole screen.
 */
final class Desktop {
    private Desktop() {}

    static Path launcher() {
        String p = System.getenv("TAMBRINO_LAUNCHER");
        return Path.of(p != null ? p : "bin/tambrino");
    }

    static Path desktop() {
        String p = System.getenv("TAMBRINO_DESKTOP");
        return Path.of(p != null ? p : "scripts/desktop.sh");
    }

    /**
     * Runs {@code bin/tambrino app ARGS} with {@code javaOptions} on a
     * {@code screen} ("1600x1000") desktop, waits for its window to name
     * {@code title}, runs {@code script} (bash, with {@code $wid}, {@code shot}
     * and {@code $dir}), then waits for the app to end (the script quits it)
     * and returns what the script and the app printed, the app's exit code
     * last ("exit N").
     */
    static String run(Path dir, String screen, String javaOptions, String title, String script, String... args)
            throws IOException, InterruptedException {
        StringBuilder sh = new StringBuilder();
        sh.append("set -u\n");
        sh.append("shot() { \"$TEST_JAVA\" -cp \"$TEST_CP\" quorvel.tambrino.app.Desktop \"$1\"; }\n");
        sh.append("\"$LAUNCHER\"");
        for (String a : args) {
            sh.append(" '").append(a.replace("'", "'\\''")).append('\'');
        }
        sh.append(" > \"$dir/app.out\" 2>&1 &\napp=$!\n");
        sh.append("wid=$(timeout 60 xdotool search --sync --onlyvisible --name '")
                .append(title.replace("'", "")).append("' | head -1)\n");
        sh.append("if [ -z \"$wid\" ]; then echo 'no window'; kill $app; wait $app; cat \"$dir/app.out\"; exit 1; fi\n");
        sh.append(script).append('\n');
        sh.append("for _ in $(seq 300); do kill -0 $app 2>/dev/null || break; sleep 0.1; done\n");
        sh.append("if kill -0 $app 2>/dev/null; then echo 'still running: killed'; kill $app; fi\n");
        sh.append("wait $app; rc=$?\ncat \"$dir/app.out\"\necho \"exit $rc\"\n");
        Path file = dir.resolve("drive.sh");
        Files.writeString(file, sh.toString());
        List<String> cmd = new ArrayList<>(List.of(desktop().toString(), "--screen", screen, "bash", file.toString()));
        ProcessBuilder pb = new ProcessBuilder(cmd).redirectErrorStream(true);
        pb.environment().put("LAUNCHER", launcher().toAbsolutePath().toString());
        pb.environment().put("TAMBRINO_JAVA_OPTS", javaOptions + " -Dtambrino.library="
                + System.getProperty("tambrino.library", ""));
        pb.environment().put("TEST_JAVA", ProcessHandle.current().info().command().orElse("java"));
        pb.environment().put("TEST_CP", codeSource(Desktop.class) + java.io.File.pathSeparator
                + codeSource(PracticeWindow.class));
        pb.environment().put("dir", dir.toString());
        // What the app keeps goes into the test's folder, never the user's: its home is the test's.
        pb.environment().remove("XDG_CONFIG_HOME");
        pb.environment().put("HOME", dir.toString());
        Process p = pb.start();
        byte[] out = p.getInputStream().readAllBytes();
        if (!p.waitFor(120, TimeUnit.SECONDS)) {
            p.destroyForcibly();
        }
        return new String(out, StandardCharsets.UTF_8);
    }

    private static String codeSource(Class<?> c) {
        try {
            return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
        } catch (java.net.URISyntaxException e) {
            throw new IllegalStateException(e);
        }
    }

    /** The script's line that prints the window's geometry on the screen, for {@link #geometry}. */
    static final String GEOMETRY = "xwininfo -id $wid | grep -E 'Absolute upper-left|Width:|Height:'";

    /** The window's geometry on the screen, {x, y, width, height}, from what {@link #GEOMETRY} printed. */
    static int[] geometry(String output) {
        int[] g = {-1, -1, -1, -1};
        String[] keys = {"Absolute upper-left X:", "Absolute upper-left Y:", "Width:", "Height:"};
        for (String line : output.split("\n")) {
            for (int i = 0; i < 4; i++) {
                int at = line.indexOf(keys[i]);
                if (at >= 0) {
                    g[i] = Integer.parseInt(line.substring(at + keys[i].length()).trim());
                }
            }
        }
        return g;
    }

    /** A picture of the whole screen into the PNG named (the script's {@code shot}). */
    public static void main(String[] args) throws Exception {
        Rectangle screen = java.awt.GraphicsEnvironment.getLocalGraphicsEnvironment().getDefaultScreenDevice()
                .getDefaultConfiguration().getBounds();
        ImageIO.write(new Robot().createScreenCapture(screen), "png", Path.of(args[0]).toFile());
    }
}
