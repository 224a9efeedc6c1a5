// The practice window's menu bar, built from its commands, every key shown beside its command.
package quorvel.tambrino.app;

import java.awt.event.KeyEvent;
import java.nio.file.Path;
import java.util.List;
import java.util.Map;
import javax.swing.AbstractAction;
import javax.swing.JCheckBoxMenuItem;
import javax.swing.JMenu;
import javax.swing.JMenuBar;
import javax.swing.JMenuItem;
import javax.swing.KeyStroke;
import quorvel.tambrino.practice.SongStore;

/**
 * The menu bar: a menu per group of {@link Commands}, each item showing its
 * key, and File's recent songs. The items show the keys but do not act on
 * them: {@link Keys} does, so that a key acts only where a shortcut may
 * (never while a field is edited or a menu is open). Event dispatch thread
 * only.
 */
final class Menus {
    private final PracticeWindow w;
    private final SongStore store;
    private final JMenu recentMenu = new JMenu("Open recent");
    private final JMenuBar bar = new JMenuBar();

    Menus(PracticeWindow w, SongStore store, Commands commands) {
        this.w = w;
        this.store = store;
        for (Map.Entry<String, List<Command>> e : commands.menus.entrySet()) {
            JMenu menu = new JMenu(e.getKey());
            menu.setMnemonic(e.getKey().charAt(0));
            for (Command c : e.getValue()) {
                if (c == null) {
                    menu.addSeparator();
                } else {
                    menu.add(item(c));
                }
                if (e.getKey().equals("File") && menu.getItemCount() == 1) {
                    menu.add(recentMenu);
                }
            }
            bar.add(menu);
        }
    }

    JMenuBar bar() {
        return bar;
    }

    static JMenuItem item(Command c) {
        JMenuItem i = c.isSwitch() ? new JCheckBoxMenuItem(c) {
            @Override
            protected boolean processKeyBinding(KeyStroke ks, KeyEvent e, int condition, boolean pressed) {
                return condition != WHEN_IN_FOCUSED_WINDOW && super.processKeyBinding(ks, e, condition, pressed);
            }
        } : new JMenuItem(c) {
            @Override
            protected boolean processKeyBinding(KeyStroke ks, KeyEvent e, int condition, boolean pressed) {
                // The key shown is the window's to act on (Keys), not the menu item's.
                return condition != WHEN_IN_FOCUSED_WINDOW && super.processKeyBinding(ks, e, condition, pressed);
            }
        };
        i.setToolTipText(null);
        return i;
    }

    /** A folder as a person reads it: ~ for the home folder, the middle left out of a long one. */
    static String folderText(Path folder) {
        if (folder == null) {
            return "";
        }
        String home = System.getenv("HOME");
        String text = folder.toString();
        if (home != null && !home.isEmpty() && !home.equals("/") && (text + "/").startsWith(home + "/")) {
            text = "~" + text.substring(home.length());
        }
        if (text.length() > 50) {
            text = text.substring(0, 20) + "\u2026" + text.substring(text.length() - 29);
        }
        return text;
    }

    void refreshRecent() {
        recentMenu.removeAll();
        int n = 0;
        for (Path p : store.recent()) {
            n++;
            // The name first, then the folder it is in (songs of the same name in several folders tell apart).
            JMenuItem i = new JMenuItem(new AbstractAction((n < 10 ? n + "  " : "") + p.getFileName() + "  \u2014  "
                    + folderText(p.getParent())) {
                @Override
                public void actionPerformed(java.awt.event.ActionEvent e) {
                    w.open(p);
                }
            });
            if (n < 10) {
                i.setMnemonic(KeyEvent.VK_0 + n);
            }
            i.setToolTipText(p.toString());
            recentMenu.add(i);
        }
        recentMenu.setEnabled(recentMenu.getItemCount() > 0);
    }
}
