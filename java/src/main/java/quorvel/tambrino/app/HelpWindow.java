// The practice window's Help: every key and mouse gesture with what it does, from the commands themselves.
package quorvel.tambrino.app;

import java.awt.BorderLayout;
import java.awt.Dimension;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import javax.swing.BorderFactory;
import javax.swing.JDialog;
import javax.swing.JFrame;
import javax.swing.JScrollPane;
import javax.swing.JTable;
import javax.swing.table.AbstractTableModel;

/**
 * A window listing every command with its keys and its menu, then the mouse
 * gestures on the waveform and the keys of the fields and lists, built from
 * {@link Commands} so that it never differs from what the keys do. It scrolls
 * where the screen is small. Event dispatch thread only.
 */
final class HelpWindow {
    private static final String[][] OTHERS = {
        {"Click the waveform", "go there (and take the keyboard back)", "mouse"},
        {"Drag over the waveform", "choose a loop", "mouse"},
        {"Drag a yellow handle", "move the loop's end", "mouse"},
        {"Tab / Shift+Tab", "the next / previous control", "keyboard"},
        {"Enter / Escape", "in a field: take / put back the value, and leave it", "keyboard"},
        {"Escape", "back to the waveform, whose keys are the shortcuts", "keyboard"},
        {"Enter / Delete", "in the marker list: go to / delete the marker", "keyboard"},
    };

    private final JDialog dialog;
    private final List<String[]> rows = new ArrayList<>();

    HelpWindow(JFrame frame, Commands commands) {
        for (Map.Entry<String, List<Command>> e : commands.menus.entrySet()) {
            for (Command c : e.getValue()) {
                if (c != null && !c.keysText().isEmpty()) {
                    rows.add(new String[] {c.keysText(), c.help(), e.getKey()});
                }
            }
        }
        for (String[] o : OTHERS) {
            rows.add(o);
        }
        JTable table = new JTable(new AbstractTableModel() {
            private final String[] names = {"Keys", "What they do", "Menu"};

            @Override
            public int getRowCount() {
                return rows.size();
            }

            @Override
            public int getColumnCount() {
                return 3;
            }

            @Override
            public String getColumnName(int column) {
                return names[column];
            }

            @Override
            public Object getValueAt(int row, int column) {
                return rows.get(row)[column];
            }
        });
        table.setRowHeight(table.getFontMetrics(table.getFont()).getHeight() + 6);
        table.getColumnModel().getColumn(0).setPreferredWidth(170);
        table.getColumnModel().getColumn(1).setPreferredWidth(430);
        table.getColumnModel().getColumn(2).setPreferredWidth(80);
        table.setPreferredScrollableViewportSize(new Dimension(680, table.getRowHeight() * 24));
        table.setFillsViewportHeight(true);
        JScrollPane scroll = new JScrollPane(table);
        scroll.setBorder(BorderFactory.createEmptyBorder(8, 8, 8, 8));
        dialog = new JDialog(frame, "Keys and mouse \u2014 tambrino", false);
        dialog.getContentPane().add(scroll, BorderLayout.CENTER);
        dialog.pack();
        Screens.onEscape(dialog, () -> dialog.setVisible(false));
    }

    void show(JFrame over) {
        Screens.fit(dialog, over);
        dialog.setVisible(true);
        dialog.toFront();
    }

    JDialog dialog() {
        return dialog;
    }

    /** Each row: keys, what they do, where (the menu, "mouse" or "keyboard"). */
    List<String[]> rows() {
        return rows;
    }
}
