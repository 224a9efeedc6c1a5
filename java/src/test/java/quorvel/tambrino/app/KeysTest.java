// The practice window's keyboard as a person uses it: real key presses and clicks through the X server.
package quorvel.tambrino.app;

import static java.awt.event.KeyEvent.VK_1;
import static java.awt.event.KeyEvent.VK_A;
import static java.awt.event.KeyEvent.VK_CLOSE_BRACKET;
import static java.awt.event.KeyEvent.VK_E;
import static java.awt.event.KeyEvent.VK_H;
import static java.awt.event.KeyEvent.VK_Y;
import static java.awt.event.KeyEvent.VK_Z;
import static java.awt.event.KeyEvent.VK_HOME;
import static java.awt.event.KeyEvent.VK_LEFT;
import static java.awt.event.KeyEvent.VK_M;
import static java.awt.event.KeyEvent.VK_OPEN_BRACKET;
import static java.awt.event.KeyEvent.VK_SHIFT;
import static java.awt.event.KeyEvent.VK_T;
import static java.awt.event.KeyEvent.VK_TAB;
import static java.awt.event.KeyEvent.VK_ALT;
import static java.awt.event.KeyEvent.VK_CONTROL;
import static java.awt.event.KeyEvent.VK_DOWN;
import static java.awt.event.KeyEvent.VK_ENTER;
import static java.awt.event.KeyEvent.VK_ESCAPE;
import static java.awt.event.KeyEvent.VK_F;
import static java.awt.event.KeyEvent.VK_RIGHT;
import static java.awt.event.KeyEvent.VK_SPACE;
import static java.awt.event.KeyEvent.VK_UP;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.app.AppDriver.click;
import static quorvel.tambrino.app.AppDriver.focusOwner;
import static quorvel.tambrino.app.AppDriver.menuOpen;
import static quorvel.tambrino.app.AppDriver.onEdt;
import static quorvel.tambrino.app.AppDriver.press;
import static quorvel.tambrino.app.AppDriver.run;
import static quorvel.tambrino.app.AppDriver.type;

import java.awt.Component;
import java.awt.Container;
import java.nio.file.Path;
import java.util.HashSet;
import java.util.Set;
import javax.swing.JButton;
import javax.swing.JDialog;
import javax.swing.JFileChooser;
import javax.swing.JList;
import javax.swing.JTabbedPane;
import javax.swing.JComponent;
import javax.swing.JMenu;
import javax.swing.JMenuItem;
import javax.swing.JPopupMenu;
import javax.swing.JSpinner;
import javax.swing.MenuElement;
import javax.swing.MenuSelectionManager;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The window's keys pressed for real (java.awt.Robot through the X server,
 * under a window manager), against the menus, the fields and the controls
 * that want the same keys: a shortcut acts only when no menu is open and no
 * field is being edited, Enter or Escape leaves a field, a click on the
 * waveform takes the keyboard back, and Tab reaches every control.
 */
class KeysTest {
    @TempDir
    static Path dir;
    private static PracticeWindow w;

    @BeforeAll
    static void openSong() throws Exception {
        Path song = dir.resolve("keys.wav");
        AppDriver.writeSong(song, 30);
        w = AppDriver.open(dir.resolve("heard.wav"), dir.resolve("config"));
        run(() -> w.frame().setSize(1000, 680));
        AppDriver.openSong(w, song);
        AppDriver.focus(w);
    }

    @BeforeEach
    void backToThePlayTab() throws Exception {
        run(() -> w.tabs().setSelectedIndex(0));
        AppDriver.focus(w);
        press(VK_ESCAPE);
    }

    @AfterAll
    static void close() throws Exception {
        AppDriver.closeAll();
    }

    /** The text of the menu item chosen in the open menu, or "". */
    private static String selected() throws Exception {
        return onEdt(() -> {
            MenuElement[] path = MenuSelectionManager.defaultManager().getSelectedPath();
            for (int i = path.length - 1; i >= 0; i--) {
                if (path[i] instanceof JMenuItem) {
                    return ((JMenuItem) path[i]).getText();
                }
            }
            return "";
        });
    }

    private static double tempo() throws Exception {
        return onEdt(() -> w.playback().session().tempo());
    }

    private static boolean paused() throws Exception {
        return onEdt(() -> w.playback().paused());
    }

    @Test
    void menusAndFieldsTakeTheirKeysAndGiveTheKeyboardBack() throws Exception {
        run(() -> w.setTempoPercent(75));
        long playhead = onEdt(() -> w.waveform().playhead());
        // The File menu open: the arrows move in it, and right opens "Open recent".
        press(VK_ALT, VK_F);
        assertTrue(menuOpen(), "Alt+F opens the File menu");
        press(VK_DOWN);
        press(VK_DOWN);
        assertEquals(0.75, tempo(), 1e-9, "down in an open menu changed the tempo");
        // Up until "Open recent" is chosen, then right opens it.
        for (int i = 0; i < 4 && !selected().equals("Open recent"); i++) {
            press(VK_UP);
        }
        assertEquals("Open recent", selected(), "up and down move in the menu");
        assertEquals(0.75, tempo(), 1e-9, "up in an open menu changed the tempo");
        press(VK_RIGHT);
        boolean recentOpen = false;
        for (MenuElement e : onEdt(() -> MenuSelectionManager.defaultManager().getSelectedPath())) {
            recentOpen |= e instanceof JPopupMenu && ((JPopupMenu) e).getInvoker() instanceof JMenu
                    && ((JMenu) ((JPopupMenu) e).getInvoker()).getText().equals("Open recent");
        }
        assertTrue(recentOpen, "right in the File menu opens Open recent");
        assertEquals(playhead, onEdt(() -> w.waveform().playhead()), "right in an open menu seeks");
        press(VK_ESCAPE);
        press(VK_ESCAPE);
        press(VK_ESCAPE);
        assertFalse(menuOpen());

        // A typed tempo: Enter takes it and leaves the field, so that Space plays.
        JComponent field = onEdt(() -> w.transportControls().tempoField);
        click(field);
        assertSame(field, focusOwner());
        press(VK_CONTROL, VK_A);
        type("80");
        press(VK_ENTER);
        assertEquals(0.8, tempo(), 1e-9);
        assertNotSame(field, focusOwner(), "Enter leaves the field");
        assertTrue(paused());
        press(VK_SPACE);
        assertFalse(paused(), "Space after a typed tempo plays");
        assertEquals("80", onEdt(() -> w.transportControls().tempoField.getText()));
        press(VK_SPACE);
        assertTrue(paused());

        // A click on the waveform takes the keyboard from the field; Escape leaves it too.
        click(field);
        type("9");
        click(w.waveform(), 5, 5);
        assertSame(w.waveform(), focusOwner(), "a click on the waveform takes the keyboard back");
        click(field);
        press(VK_ESCAPE);
        assertNotSame(field, focusOwner(), "Escape leaves the field");
        press(VK_SPACE);
        assertFalse(paused(), "Space after Escape plays");
        press(VK_SPACE);

        // A typed transposition: Enter leaves its field, and up is the tempo's again.
        showTab("Sound");
        JSpinner semitones = onEdt(() -> w.soundControls().semitones);
        JComponent text = onEdt(() -> ((JSpinner.DefaultEditor) semitones.getEditor()).getTextField());
        click(text);
        press(VK_CONTROL, VK_A);
        type("-2");
        press(VK_ENTER);
        assertEquals(-2, onEdt(semitones::getValue));
        double before = tempo();
        press(VK_UP);
        assertEquals(before + 0.05, tempo(), 1e-9, "up after a typed transposition is the tempo's");
        assertEquals(-2, onEdt(semitones::getValue));
    }

    /** Presses Tab until the keyboard is back where it started; what it reached on the way. */
    private static Set<Component> tabAround() throws Exception {
        Component start = focusOwner();
        Set<Component> reached = new HashSet<>();
        for (int i = 0; i < 80; i++) {
            press(VK_TAB);
            Component now = focusOwner();
            if (now == start) {
                break;
            }
            reached.add(now);
        }
        return reached;
    }

    private static JButton button(String text) throws Exception {
        return onEdt(() -> find(w.frame().getContentPane(), text));
    }

    private static JButton find(Container c, String text) {
        for (Component k : c.getComponents()) {
            if (k instanceof JButton && text.equals(((JButton) k).getText())) {
                return (JButton) k;
            }
            if (k instanceof Container) {
                JButton b = find((Container) k, text);
                if (b != null) {
                    return b;
                }
            }
        }
        return null;
    }

    /** Shows a tab as a person does: a click on its title. */
    private static void showTab(String title) throws Exception {
        JTabbedPane tabs = onEdt(w::tabs);
        int i = onEdt(() -> tabs.indexOfTab(title));
        java.awt.Rectangle r = onEdt(() -> tabs.getBoundsAt(i));
        click(tabs, r.x + r.width / 2, r.y + r.height / 2);
    }

    /** The components Tab goes through in the window, as its focus cycle orders them. */
    private static Set<Component> tabCycle() throws Exception {
        return onEdt(() -> {
            java.awt.FocusTraversalPolicy policy = w.frame().getFocusTraversalPolicy();
            Set<Component> cycle = new HashSet<>();
            Component c = policy.getFirstComponent(w.frame());
            while (c != null && cycle.add(c)) {
                c = policy.getComponentAfter(w.frame(), c);
            }
            return cycle;
        });
    }

    @Test
    void everyControlIsReachedAndTheMarkersTrainerAndExportHaveKeys() throws Exception {
        press(VK_ESCAPE);
        assertSame(w.waveform(), focusOwner(), "Escape gives the keyboard to the waveform");
        // Tab pressed for real through the transport and the Loop tab.
        Set<Component> reached = tabAround();
        TransportControls t = onEdt(w::transportControls);
        LoopControls l = onEdt(w::loopControls);
        for (Component c : new Component[] {t.playButton, t.tempoSlider, t.tempoField, l.loopBox, l.aField, l.bField,
            l.snapBox, button("To A"), button("\u2212 5 s"), button("+ 5 s"), button("+1"), onEdt(w::tabs)}) {
            assertTrue(reached.contains(c), "Tab reaches " + c);
        }
        // The other tabs' controls are in the same cycle when shown.
        for (String[] tab : new String[][] {{"Trainer", "Start trainer"}, {"Sound", null}}) {
            showTab(tab[0]);
            Set<Component> cycle = tabCycle();
            if (tab[1] != null) {
                assertTrue(cycle.contains(button(tab[1])), "Tab reaches " + tab[1]);
            } else {
                SoundControls s = onEdt(w::soundControls);
                for (Component c : new Component[] {s.voiceBox, s.voiceAmount, s.monoBox, s.panSlider, s.bassSlider,
                    s.qualityBox}) {
                    assertTrue(cycle.contains(c), "Tab reaches " + c);
                }
            }
        }
        showTab("Loop");

        // Three markers by their key, at 10 s, 5 s and 15 s: the arrows and Enter in the list.
        press(VK_HOME);
        press(VK_RIGHT);
        press(VK_RIGHT);
        press(VK_CONTROL, VK_M);
        press(VK_LEFT);
        press(VK_CONTROL, VK_M);
        press(VK_RIGHT);
        press(VK_RIGHT);
        press(VK_CONTROL, VK_M);
        assertEquals(3, onEdt(w::markerCount), "Ctrl+M adds a marker");
        showTab("Markers");
        JList<String> list = onEdt(() -> w.markerControls().list);
        Set<Component> inMarkers = tabAround();
        for (Component c : new Component[] {list, button("Add marker"), button("Go"), button("Rename\u2026"),
            button("Delete")}) {
            assertTrue(inMarkers.contains(c), "Tab reaches " + c);
        }
        double before = tempo();
        click(list, 10, 5);
        assertEquals(0, onEdt(list::getSelectedIndex));
        press(VK_DOWN);
        assertEquals(1, onEdt(list::getSelectedIndex), "down in the marker list moves in it");
        assertEquals(before, tempo(), 1e-9, "down in the marker list changed the tempo");
        long second = onEdt(() -> w.marks().get(1).a);
        press(VK_ENTER);
        assertEquals(second, onEdt(() -> w.waveform().playhead()), "Enter goes to the marker");
        press(VK_ESCAPE);
        press(VK_1);
        assertEquals(onEdt(() -> w.marks().get(0).a), onEdt(() -> w.waveform().playhead()), "1 goes to marker 1");

        // T starts the trainer and stops it.
        press(VK_T);
        assertTrue(onEdt(w::trainerRunning), "T starts the trainer");
        press(VK_T);
        assertFalse(onEdt(w::trainerRunning), "T stops the trainer");

        // A loop by [ and ] (paused: where the playhead is), then Ctrl+Shift+E exports it.
        press(VK_HOME);
        press(VK_OPEN_BRACKET);
        press(VK_RIGHT);
        press(VK_CLOSE_BRACKET);
        assertEquals(5 * AppDriver.RATE, onEdt(() -> w.loop()[1] - w.loop()[0]), AppDriver.RATE / 10);
        press(VK_CONTROL, VK_SHIFT, VK_E);
        JFileChooser chooser = null;
        for (int i = 0; i < 100 && chooser == null; i++) {
            Thread.sleep(50);
            chooser = onEdt(() -> {
                for (java.awt.Window d : java.awt.Window.getWindows()) {
                    if (d instanceof JDialog && d.isShowing()) {
                        return AppDriver.findIn((JDialog) d, JFileChooser.class);
                    }
                }
                return null;
            });
        }
        assertTrue(chooser != null, "Ctrl+Shift+E asks where to export the loop");
        AppDriver.settle();
        press(VK_ENTER);
        AppDriver.await(() -> w.statusText().startsWith("exported"), 60);
        assertTrue(onEdt(w::statusText).startsWith("exported: keys.wav"), onEdt(w::statusText));
        String written = onEdt(w::statusText).replaceFirst(".* -> (.*-loop\\.wav) .*", "$1");
        assertTrue(java.nio.file.Files.exists(Path.of(written)), onEdt(w::statusText));
    }

    @Test
    void undoAndRedoTakeBackLoopsMarkersAndTheTempoAndTheHelpMenuHasAbout() throws Exception {
        long rate = AppDriver.RATE;
        run(() -> w.setLoop(rate, 2 * rate, true));
        Thread.sleep(500);
        run(() -> w.setLoop(3 * rate, 4 * rate, true));
        press(VK_CONTROL, VK_Z);
        assertEquals(rate, onEdt(() -> w.loop()[0]), "Ctrl+Z brings the loop replaced back");
        assertEquals(2 * rate, onEdt(() -> w.loop()[1]));
        press(VK_CONTROL, VK_SHIFT, VK_Z);
        assertEquals(3 * rate, onEdt(() -> w.loop()[0]), "Ctrl+Shift+Z makes the change again");
        press(VK_CONTROL, VK_Z);
        press(VK_CONTROL, VK_Y);
        assertEquals(3 * rate, onEdt(() -> w.loop()[0]), "so does Ctrl+Y");

        int marks = onEdt(w::markerCount);
        Thread.sleep(500);
        press(VK_CONTROL, VK_M);
        assertEquals(marks + 1, onEdt(w::markerCount));
        press(VK_CONTROL, VK_Z);
        assertEquals(marks, onEdt(w::markerCount), "the marker added is taken back");
        double before = tempo();
        press(VK_UP);
        press(VK_UP);
        assertEquals(before + 0.1, tempo(), 1e-9);
        press(VK_CONTROL, VK_Z);
        assertEquals(before, tempo(), 1e-9, "two steps of the tempo in quick succession are taken back at once");
        assertEquals("undone: the tempo", onEdt(w::statusText));

        // The Edit menu names what it would undo; Help has the About box.
        press(VK_ALT, VK_E);
        assertTrue(menuOpen());
        assertTrue(onEdt(() -> w.commands().all().stream().anyMatch(c -> c.name().equals("Undo the loop"))),
                "Undo names what it takes back");
        press(VK_ESCAPE);
        press(VK_ESCAPE);
        press(VK_ALT, VK_H);
        for (int i = 0; i < 6 && !selected().equals("About tambrino"); i++) {
            press(VK_UP);
        }
        assertEquals("About tambrino", selected());
        press(VK_ENTER);
        JDialog about = AppDriver.dialogOf(w.frame());
        assertTrue(about != null, "the About box");
        String text = onEdt(() -> AppDriver.findIn(about, javax.swing.JTextArea.class).getText());
        assertTrue(text.startsWith("tambrino ") && text.contains("engine: ") && text.contains("platform: Linux on amd64")
                && text.contains("Java 17"), text);
        AppDriver.focusWindow(about);
        press(VK_ESCAPE);
        assertFalse(onEdt(about::isShowing), "Escape closes the About box");
    }
}
