// The practice window's words as a person reads them: never cut off, never over one another, always readable whole.
package quorvel.tambrino.app;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.app.AppDriver.RATE;
import static quorvel.tambrino.app.AppDriver.onEdt;
import static quorvel.tambrino.app.AppDriver.run;

import java.awt.Rectangle;
import java.awt.event.KeyEvent;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import javax.swing.JDialog;
import javax.swing.JTable;
import javax.swing.JTextArea;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Text in the window and its dialogs: a long message wraps within the
 * screen, the status line's whole text can be read, the Help window lists
 * every key, a dialog's title fits it, and the waveform's labels never lie
 * over one another.
 */
class TextTest {
    @TempDir
    Path dir;

    @AfterEach
    void closeWindows() throws Exception {
        AppDriver.closeAll();
    }

    /** A folder name long enough to make any one-line message wider than the screen. */
    private Path longFolder() throws Exception {
        return Files.createDirectories(dir.resolve("the practice songs of this week, with the difficult bits of the"
                + " solo that the teacher marked, and the ones to learn for the concert in the spring"));
    }

    @Test
    void longMessagesWrapWithinTheScreenAndAreReadWhole() throws Exception {
        Path song = dir.resolve("song.wav");
        AppDriver.writeSong(song, 2);
        PracticeWindow w = AppDriver.open(null, dir.resolve("config"), false);
        run(() -> w.frame().setSize(800, 500));
        AppDriver.openSong(w, song);
        Path notes = longFolder().resolve("notes for the solo.wav");
        Files.writeString(notes, "these are not sounds");
        CompletableFuture<Void> opening = onEdt(() -> w.open(notes));
        JDialog error = AppDriver.dialogOf(w.frame());
        assertNotNull(error, "an error dialog");
        Rectangle screen = onEdt(() -> Screens.usable(w.frame().getGraphicsConfiguration()));
        Rectangle bounds = onEdt(error::getBounds);
        assertTrue(screen.contains(bounds), "the error dialog " + bounds + " lies within the screen " + screen);
        JTextArea text = onEdt(() -> AppDriver.findIn(error, JTextArea.class));
        String message = onEdt(text::getText);
        assertTrue(message.contains(notes.toString()) && message.contains("supported:"), message);
        // Every line of it within the dialog: the text is as tall as its wrapped lines.
        assertTrue(onEdt(() -> text.getHeight() >= text.getPreferredSize().height && text.getWidth() > 100));
        AppDriver.focusWindow(error);
        AppDriver.press(KeyEvent.VK_ESCAPE);
        assertFalse(onEdt(error::isShowing), "Escape closes the error dialog");
        try {
            opening.get(10, TimeUnit.SECONDS);
        } catch (java.util.concurrent.ExecutionException expected) {
            // The status line says it too.
        }

        // The status line is cut at the window's width; its tooltip and a click give the whole of it.
        String status = onEdt(w::statusText);
        assertTrue(status.startsWith("cannot open notes for the solo.wav"), status);
        assertTrue(onEdt(() -> w.messages().line().getWidth() < w.messages().line().getPreferredSize().width),
                "the message is longer than the line");
        assertTrue(onEdt(() -> w.messages().line().getToolTipText()).contains("supported:"));
        AppDriver.click(onEdt(() -> w.messages().line()));
        JDialog history = onEdt(() -> w.messages().historyWindow());
        assertTrue(onEdt(history::isShowing), "a click on the status line shows the messages");
        assertTrue(onEdt(() -> AppDriver.findIn(history, JTextArea.class).getText()).contains(status));
        assertTrue(screen.contains(onEdt(() -> history.getBounds())));
    }

    @Test
    void theHelpListsEveryKeyAndTheExportDialogItsFileWhole() throws Exception {
        Path song = longFolder().resolve("song.wav");
        AppDriver.writeSong(song, 3);
        PracticeWindow w = AppDriver.open(null, dir.resolve("config"));
        AppDriver.openSong(w, song);
        AppDriver.focus(w);
        AppDriver.press(KeyEvent.VK_F1);
        JDialog help = onEdt(() -> w.help().dialog());
        assertTrue(onEdt(help::isShowing), "F1 shows the keys");
        Rectangle screen = onEdt(() -> Screens.usable(w.frame().getGraphicsConfiguration()));
        assertTrue(screen.contains(onEdt(() -> help.getBounds())), "the Help window lies within the screen");
        JTable table = onEdt(() -> AppDriver.findIn(help, JTable.class));
        List<String> keys = onEdt(() -> {
            List<String> k = new java.util.ArrayList<>();
            for (int r = 0; r < table.getRowCount(); r++) {
                k.add(table.getValueAt(r, 0) + " = " + table.getValueAt(r, 1));
            }
            return k;
        });
        for (Command c : onEdt(() -> w.commands().all())) {
            if (!c.keysText().isEmpty()) {
                assertTrue(keys.contains(c.keysText() + " = " + c.help()), "the Help lists " + c.keysText());
            }
        }
        AppDriver.focusWindow(help);
        AppDriver.press(KeyEvent.VK_ESCAPE);
        assertFalse(onEdt(help::isShowing), "Escape closes the Help");

        // The export's dialog: its title fits it, its text names the file and its folder whole.
        run(() -> w.setLoop(RATE / 2, RATE, true));
        Path out = song.resolveSibling("the loop of the solo at a slower tempo.wav");
        JDialog[] shown = new JDialog[1];
        onEdt(() -> w.export(out, true, d -> shown[0] = d)).get(60, TimeUnit.SECONDS);
        JDialog d = shown[0];
        String title = d.getTitle();
        assertEquals("Exporting the loop", title);
        int titleWidth = d.getFontMetrics(d.getFont().deriveFont(java.awt.Font.BOLD)).stringWidth(title);
        // Room for the title and the window manager's buttons beside it.
        assertTrue(d.getWidth() >= titleWidth + 120, "the dialog " + d.getWidth() + " wide for its title");
        assertTrue(screen.width >= d.getWidth(), "the dialog within the screen");
        String text = AppDriver.findIn(d, JTextArea.class).getText();
        assertTrue(text.contains(out.getFileName().toString()) && text.contains(out.getParent().toString()), text);
    }

    @Test
    void theWaveformsLabelsNeverLieOverOneAnother() throws Exception {
        Path song = dir.resolve("song.wav");
        AppDriver.writeSong(song, 12);
        PracticeWindow w = AppDriver.open(null, dir.resolve("config"));
        run(() -> w.frame().setSize(800, 500));
        AppDriver.openSong(w, song);
        // Zoomed to a loop, its end near the right edge where the part shown is named; and a narrow loop.
        long[][] loops = {{3 * RATE, 6 * RATE}, {3 * RATE, 3 * RATE + RATE / 50}, {11 * RATE, 12 * RATE}};
        for (long[] l : loops) {
            int[] width = new int[1];
            List<WaveformView.Label> labels = onEdt(() -> {
                w.setLoop(l[0], l[1], true);
                w.loopControls().zoomToLoop();
                WaveformView v = w.waveform();
                v.paintImmediately(0, 0, v.getWidth(), v.getHeight());
                width[0] = v.getWidth();
                return v.labels();
            });
            assertTrue(labels.stream().anyMatch(x -> x.text.equals("B")), "B is drawn");
            assertTrue(labels.stream().anyMatch(x -> x.text.startsWith("showing")), "the part shown is named");
            for (int i = 0; i < labels.size(); i++) {
                for (int j = i + 1; j < labels.size(); j++) {
                    WaveformView.Label a = labels.get(i);
                    WaveformView.Label b = labels.get(j);
                    assertFalse(a.bounds.intersects(b.bounds), "'" + a.text + "' lies over '" + b.text + "'");
                }
            }
            for (WaveformView.Label x : labels) {
                assertTrue(x.bounds.x >= 0 && x.bounds.x + x.bounds.width <= width[0], x.text + " " + x.bounds
                        + " within the waveform, " + width[0] + " wide");
            }
        }
    }
}
