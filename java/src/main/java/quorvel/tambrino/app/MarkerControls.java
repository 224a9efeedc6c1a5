// The practice window's markers: named positions and kept loops, listed, added, gone to and deleted.
package quorvel.tambrino.app;

import java.awt.BorderLayout;
import java.awt.GridLayout;
import java.awt.event.KeyEvent;
import java.util.ArrayList;
import java.util.List;
import javax.swing.DefaultListModel;
import javax.swing.JComponent;
import javax.swing.JList;
import javax.swing.JOptionPane;
import javax.swing.JPanel;
import javax.swing.JScrollPane;
import javax.swing.KeyStroke;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.SongSettings.Mark;
import quorvel.tambrino.practice.Terminal;

/**
 * The song's markers (a named position) and kept loops (a named A to B):
 * the list, the buttons that add, go to and delete them, and the loop's
 * nudge and zoom buttons beside them. The markers are drawn on the waveform.
 * Event dispatch thread only.
 */
final class MarkerControls {
    private final PracticeWindow w;
    private final List<Mark> marks = new ArrayList<>();
    private final DefaultListModel<String> model = new DefaultListModel<>();
    final JList<String> list = new JList<>(model);
    private final JComponent panel;

    MarkerControls(PracticeWindow w, LoopControls loop) {
        this.w = w;
        list.setVisibleRowCount(4);
        // In the list: Enter goes to the marker, Delete deletes it.
        list.getInputMap(JComponent.WHEN_FOCUSED).put(KeyStroke.getKeyStroke(KeyEvent.VK_ENTER, 0), "go");
        list.getActionMap().put("go", action(this::goToSelected));
        list.getInputMap(JComponent.WHEN_FOCUSED).put(KeyStroke.getKeyStroke(KeyEvent.VK_DELETE, 0), "delete");
        list.getActionMap().put("delete", action(this::deleteSelected));
        list.addMouseListener(new java.awt.event.MouseAdapter() {
            @Override
            public void mouseClicked(java.awt.event.MouseEvent e) {
                if (e.getClickCount() == 2) {
                    goToSelected();
                }
            }
        });
        list.getInputMap(JComponent.WHEN_FOCUSED).put(KeyStroke.getKeyStroke(KeyEvent.VK_F2, 0), "rename");
        list.getActionMap().put("rename", action(this::renameSelected));
        list.setToolTipText("Double-click or Enter: go there; F2: rename; Delete: delete");
        JPanel buttons = new JPanel(new GridLayout(0, 3, 6, 4));
        buttons.add(Controls.button("Add marker", "A named marker where the music is (Ctrl+M)", this::addHere));
        buttons.add(Controls.button("Keep the loop", "Keep the loop under a name, to loop it again (Ctrl+K)",
                this::keepLoop));
        buttons.add(Controls.button("Go", "Go to the marker, or loop the kept loop (Enter; 1 to 9)",
                this::goToSelected));
        buttons.add(Controls.button("Rename\u2026", "Rename the marker or kept loop (F2)", this::renameSelected));
        buttons.add(Controls.button("Delete", "Delete the marker or kept loop (Delete)", this::deleteSelected));
        JPanel east = new JPanel(new BorderLayout());
        east.add(buttons, BorderLayout.NORTH);
        JPanel p = new JPanel(new BorderLayout(10, 0));
        p.setBorder(javax.swing.BorderFactory.createEmptyBorder(4, 10, 4, 10));
        JScrollPane scroll = new JScrollPane(list);
        scroll.setPreferredSize(new java.awt.Dimension(200, 60));
        p.add(scroll, BorderLayout.CENTER);
        p.add(east, BorderLayout.EAST);
        panel = p;
    }

    private static javax.swing.Action action(Runnable r) {
        return new javax.swing.AbstractAction() {
            @Override
            public void actionPerformed(java.awt.event.ActionEvent e) {
                r.run();
            }
        };
    }

    JComponent panel() {
        return panel;
    }

    List<Mark> marks() {
        return new ArrayList<>(marks);
    }

    /** Replaces the markers (a new song, or what was kept). */
    void set(List<Mark> m) {
        marks.clear();
        marks.addAll(m);
        marks.sort(BY_TIME);
        show();
    }

    void add(Mark m) {
        marks.add(m);
        marks.sort(BY_TIME);
        show();
        int i = marks.indexOf(m);
        list.setSelectedIndex(i);
        list.ensureIndexIsVisible(i);
        w.saveSongSoon();
    }

    /** In the song's order: by where they start, a marker before a loop from the same place, then by name. */
    static final java.util.Comparator<Mark> BY_TIME = java.util.Comparator.<Mark>comparingLong(m -> m.a)
            .thenComparingLong(m -> m.b).thenComparing(m -> m.name);

    void addHere() {
        Playback p = w.playback();
        if (p == null) {
            return;
        }
        long at = p.heardFrame();
        String name = ask("Marker name", "marker at " + Terminal.tenths((double) at / w.song().sampleRate));
        if (name != null) {
            add(new Mark(name, at, -1));
        }
    }

    void keepLoop() {
        LoopControls loop = w.loopControls();
        if (!loop.hasLoop()) {
            w.status("drag over the waveform, or press [ and ], to choose the loop first");
            return;
        }
        double rate = w.song().sampleRate;
        String name = ask("Loop name", "loop " + Terminal.tenths(loop.a() / rate) + " \u2013 "
                + Terminal.tenths(loop.b() / rate));
        if (name != null) {
            add(new Mark(name, loop.a(), loop.b()));
        }
    }

    private String ask(String title, String suggestion) {
        if (w.quiet) {
            return suggestion;
        }
        Object v = JOptionPane.showInputDialog(w.frame(), title, "tambrino", JOptionPane.PLAIN_MESSAGE, null, null,
                suggestion);
        return v == null || v.toString().isBlank() ? null : v.toString().trim();
    }

    private void show() {
        model.clear();
        List<WaveformView.Marker> shown = new ArrayList<>();
        for (int i = 0; i < marks.size(); i++) {
            Mark m = marks.get(i);
            double rate = w.song().sampleRate;
            // The first nine go by their number's key.
            String number = i < 9 ? (i + 1) + "   " : "     ";
            model.addElement(number + (m.b < 0 ? m.name + "  (" + Terminal.tenths(m.a / rate) + ")"
                    : m.name + "  (loop " + Terminal.tenths(m.a / rate) + " \u2013 " + Terminal.tenths(m.b / rate)
                            + ")"));
            if (m.b < 0) {
                shown.add(new WaveformView.Marker(m.name, m.a));
            }
        }
        w.waveform().setMarkers(shown);
    }

    private void goToSelected() {
        goTo(list.getSelectedIndex());
    }

    int count() {
        return marks.size();
    }

    /** Goes to marker {@code i} (from 0, as listed), or loops the kept loop. */
    void goTo(int i) {
        if (i < 0 || i >= marks.size()) {
            return;
        }
        list.setSelectedIndex(i);
        Mark m = marks.get(i);
        if (m.b < 0) {
            w.seek(m.a);
        } else {
            w.loopControls().set(m.a, m.b, true);
            w.seek(m.a);
        }
    }

    private void renameSelected() {
        int i = list.getSelectedIndex();
        if (i < 0 || i >= marks.size()) {
            w.status("choose a marker in the list to rename");
            return;
        }
        String name = ask(marks.get(i).b < 0 ? "The marker's name" : "The loop's name", marks.get(i).name);
        if (name != null) {
            rename(i, name);
        }
    }

    /** Marker {@code i} (as listed) under a new name. */
    void rename(int i, String name) {
        Mark m = marks.get(i);
        Mark renamed = new Mark(name, m.a, m.b);
        marks.set(i, renamed);
        marks.sort(BY_TIME);
        show();
        list.setSelectedIndex(marks.indexOf(renamed));
        w.saveSongSoon();
    }

    private void deleteSelected() {
        int i = list.getSelectedIndex();
        if (i >= 0 && i < marks.size()) {
            marks.remove(i);
            show();
            w.saveSongSoon();
        }
    }
}
