// The practice app started as a person starts it, on desktops of several sizes and scales, driven by xdotool.
package quorvel.tambrino.app;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * {@code bin/tambrino app} on virtual desktops with a window manager: the
 * window opens within the screen whatever its size and scale, and the keys
 * pressed for real reach it (Ctrl+Q quits, and the file heard is complete).
 */
class DesktopTest {
    @TempDir
    Path dir;

    @Test
    void opensWithinAScreenScaledTwiceAndQuitsByItsKey() throws Exception {
        Path song = dir.resolve("scaled.wav");
        AppDriver.writeSong(song, 3);
        Path heard = dir.resolve("heard.wav");
        String out = Desktop.run(dir, "1600x1000", "-Dsun.java2d.uiScale=2", "scaled.wav",
                "sleep 1\n" + Desktop.GEOMETRY + "\nshot \"$dir/scaled.png\"\n"
                        + "xdotool key space\nsleep 1\nxdotool key ctrl+q",
                "app", song.toString(), "--output-file", heard.toString());
        int[] g = Desktop.geometry(out);
        // Scaled twice, the frame's insets are rounded to whole units: a pixel may be left over.
        assertTrue(g[2] > 0 && g[0] >= 0 && g[1] >= 0 && g[0] + g[2] <= 1600 + 2 && g[1] + g[3] <= 1000 + 2,
                "the window lies within the 1600 x 1000 screen: " + out);
        assertTrue(out.endsWith("exit 0\n"), "Ctrl+Q ends the app: " + out);
        // Space played about a second before Ctrl+Q.
        int[] format = new int[2];
        short[] played = AppDriver.readWav(heard, format);
        assertTrue(played.length / format[1] > AppDriver.RATE / 2, "what was heard is kept: " + out);
        // What it keeps went to the home it was given, whoever the account's home is.
        assertTrue(java.nio.file.Files.exists(dir.resolve(".config/tambrino/recent.txt")), "kept under $HOME");
    }
}
