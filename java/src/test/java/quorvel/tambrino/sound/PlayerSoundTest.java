// The terminal player heard through a private sound server.
package quorvel.tambrino.sound;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * The terminal player ({@code tambrino play}) through a real sound server:
 * run in a tmux pane, keys typed with send-keys, the screen read back with
 * capture-pane, the terminal resized as a person drags its window.
 */
class PlayerSoundTest extends RealSoundScenarios {
    private static final int[][] SIZES = {{100, 30}, {70, 20}, {120, 40}, {60, 16}, {90, 25}};

    private Pane pane;

    static String launcher() {
        String p = System.getenv("TAMBRINO_LAUNCHER");
        return p != null ? p : "bin/tambrino";
    }

    @Override
    void start(Path song) throws Exception {
        // The pane's shell tells how the player ended and whether the terminal came back as it was.
        pane = new Pane("cd " + dir + "; s0=$(stty -g); " + server.environmentWords() + launcher() + " play " + song
                + "; echo EXITED $?; [ \"$(stty -g)\" = \"$s0\" ] && echo TTY-RESTORED; echo DONE; sleep 600",
                SIZES[0][0], SIZES[0][1]);
        waitForScreen(s -> s.contains("playing"), "the player playing", 30_000);
    }

    @Override
    boolean startsPaused() {
        return false;
    }

    @Override
    long press(String key) throws Exception {
        return pane.keys(key.equals("space") ? "Space" : key.equals("up") ? "Up" : key);
    }

    @Override
    String screen() throws Exception {
        return pane.screen();
    }

    @Override
    void resize(int step) throws Exception {
        int[] size = SIZES[(step + 1) % SIZES.length];
        pane.resize(size[0], size[1]);
    }

    @Override
    String tempoUp() {
        return "tempo 1.05";
    }

    @Override
    long quit() throws Exception {
        long t = pane.keys("q");
        String s = waitForScreen(x -> x.contains("DONE"), "the player ended", 10_000);
        long ms = (System.nanoTime() - t) / 1_000_000;
        assertTrue(s.contains("EXITED 0") && s.contains("TTY-RESTORED"), s);
        return ms;
    }

    @Override
    void stop() throws Exception {
        if (pane != null) {
            pane.close();
        }
    }

    @Test
    void playingOnceEndsWithTheAudioDevicesExitCodeWhenTheServerGoesAway() throws Exception {
        Path song = Songs.sweep(dir, 60);
        Path log = dir.resolve("play.log");
        long t0 = System.nanoTime();
        // Standard input is not a terminal: play once, with a meter on standard error.
        Process p = server.startProcess(List.of(launcher(), "play", song.toString()), null, log);
        assertTrue(server.recording().awaitSound(t0, SOUND, 30_000) >= 0, "no sound");
        Thread.sleep(1000);
        long killed = System.nanoTime();
        server.kill();
        assertTrue(p.waitFor(10, TimeUnit.SECONDS), "play hung when the server went away");
        String out = Files.readString(log);
        System.out.printf(Locale.ROOT, "play without a terminal ended %.0f ms after the server went away%n",
                (System.nanoTime() - killed) / 1e6);
        assertEquals(3, p.exitValue(), out);
        assertTrue(out.contains("tambrino: the audio output went away"), out);
    }
}
