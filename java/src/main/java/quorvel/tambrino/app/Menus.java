// The practice window's menu bar: opening songs (also the recent ones), exporting, quitting.
package quorvel.tambrino.app;

import java.awt.event.KeyEvent;
import java.nio.file.Path;
import javax.swing.AbstractAction;
import javax.swing.JMenu;
import javax.swing.JMenuBar;
import javax.swing.JMenuItem;
import javax.swing.KeyStroke;
import quorvel.tambrino.practice.SongStore;

/** The menu bar and its recent files. Event dispatch thread only. */
final class Menus {
    private final PracticeWindow w;
    private final SongStore store;
    private final JMenu recentMenu = new JMenu("Open recent");
    private final JMenuBar bar = new JMenuBar();

    Menus(PracticeWindow w, SongStore store) {
        this.w = w;
        this.store = store;
        JMenu file = new JMenu("File");
        file.setMnemonic('F');
        file.add(item("Open\u2026", KeyStroke.getKeyStroke(KeyEvent.VK_O, KeyEvent.CTRL_DOWN_MASK), w::chooseFile));
        file.add(recentMenu);
        file.addSeparator();
        file.add(item("Export the loop\u2026", null, () -> w.chooseExport(true)));
        file.add(item("Export the whole song\u2026", KeyStroke.getKeyStroke(KeyEvent.VK_E, KeyEvent.CTRL_DOWN_MASK),
                () -> w.chooseExport(false)));
        file.addSeparator();
        file.add(item("Quit", KeyStroke.getKeyStroke(KeyEvent.VK_Q, KeyEvent.CTRL_DOWN_MASK), w::close));
        bar.add(file);
    }

    JMenuBar bar() {
        return bar;
    }

    private static JMenuItem item(String name, KeyStroke key, Runnable action) {
        JMenuItem i = new JMenuItem(new AbstractAction(name) {
            @Override
            public void actionPerformed(java.awt.event.ActionEvent e) {
                action.run();
            }
        });
        if (key != null) {
            i.setAccelerator(key);
        }
        return i;
    }

    void refreshRecent() {
        recentMenu.removeAll();
        for (Path p : store.recent()) {
            recentMenu.add(item(p.getFileName().toString(), null, () -> w.open(p)));
        }
        recentMenu.setEnabled(recentMenu.getItemCount() > 0);
    }
}
