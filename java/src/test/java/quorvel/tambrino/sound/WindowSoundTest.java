// The practice window heard through a private sound server, driven by xdotool on a virtual desktop.
package quorvel.tambrino.sound;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;

/**
 * The practice window ({@code tambrino app}) through a real sound server, on
 * a virtual display with a window manager (openbox): keys pressed with
 * xdotool into the focused window, the window resized by xdotool, and what
 * it says read by {@link WindowText} in its own virtual machine.
 */
class WindowSoundTest extends RealSoundScenarios {
    private static final int[][] SIZES = {{1000, 700}, {820, 520}, {1200, 780}, {900, 600}, {1100, 650}};

    private Process app;
    private String window;
    private Path text;

    @BeforeEach
    void desktop() throws Exception {
        Assumptions.assumeTrue(System.getenv("DISPLAY") != null, "no display (the test runs under xvfb-run)");
        server.startProcess(List.of("openbox", "--sm-disable"), null, dir.resolve("openbox.log"));
        // Windows mapped before the window manager is up are left unmanaged.
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
        while (!SoundServer.run(List.of("xprop", "-root", "_NET_SUPPORTING_WM_CHECK")).contains("window id")) {
            assertTrue(System.nanoTime() < deadline, "openbox did not start");
            Thread.sleep(50);
        }
    }

    @Override
    void start(Path song) throws Exception {
        text = dir.resolve("window.txt");
        Path home = Files.createDirectories(dir.resolve("home"));
        String agent = "-javaagent:" + WindowText.agentJar(dir) + "=" + text;
        app = server.startProcess(List.of(PlayerSoundTest.launcher(), "app", song.toString()),
                Map.of("HOME", home.toString(), "XDG_CONFIG_HOME", home.resolve(".config").toString(),
                        "TAMBRINO_JAVA_OPTS", agent), dir.resolve("app.log"));
        String name = song.getFileName().toString();
        window = SoundServer.run(List.of("timeout", "60", "xdotool", "search", "--sync", "--onlyvisible", "--name",
                name)).trim().split("\n")[0];
        SoundServer.run(List.of("xdotool", "windowactivate", "--sync", window));
        waitForScreen(s -> s.contains(name + ":") && s.contains("Play"), "the song open", 30_000);
    }

    @Override
    boolean startsPaused() {
        return true;
    }

    @Override
    long press(String key) throws Exception {
        String name = key.equals("[") ? "bracketleft" : key.equals("]") ? "bracketright" : key.equals("up") ? "Up" : key;
        long t = System.nanoTime();
        SoundServer.run(List.of("xdotool", "key", "--clearmodifiers", name));
        return t;
    }

    @Override
    String screen() throws Exception {
        return Files.exists(text) ? Files.readString(text) : "";
    }

    @Override
    void resize(int step) throws Exception {
        int[] size = SIZES[(step + 1) % SIZES.length];
        SoundServer.run(List.of("xdotool", "windowsize", window, Integer.toString(size[0]),
                Integer.toString(size[1])));
    }

    @Override
    String tempoUp() {
        return "tempo 105.0 %";
    }

    @Override
    long quit() throws Exception {
        long t = press("ctrl+q");
        assertTrue(app.waitFor(10, TimeUnit.SECONDS), "the window did not close");
        return (System.nanoTime() - t) / 1_000_000;
    }

    @Override
    void shot(String name) throws Exception {
        String folder = System.getenv("TAMBRINO_SOUND_SHOTS");
        if (folder != null) {
            java.awt.Rectangle screen = new java.awt.Rectangle(java.awt.Toolkit.getDefaultToolkit().getScreenSize());
            javax.imageio.ImageIO.write(new java.awt.Robot().createScreenCapture(screen), "png",
                    Files.createDirectories(Path.of(folder)).resolve(name + ".png").toFile());
        }
    }

    @Override
    void stop() {
        // The window and openbox are the server's to end.
    }
}
