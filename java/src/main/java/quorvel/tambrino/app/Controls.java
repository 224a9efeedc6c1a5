// Small builders shared by the practice window's panels: buttons, fields, lines of controls, sliders' values.
package quorvel.tambrino.app;

import java.awt.Component;
import java.awt.Dimension;
import java.awt.FlowLayout;
import java.awt.GridBagConstraints;
import java.awt.GridBagLayout;
import java.awt.Insets;
import java.awt.event.FocusAdapter;
import java.awt.event.FocusEvent;
import java.util.function.IntFunction;
import javax.swing.Box;
import javax.swing.JButton;
import javax.swing.JComponent;
import javax.swing.JLabel;
import javax.swing.JPanel;
import javax.swing.JSlider;
import javax.swing.JTextField;

/** Builders of the window's buttons and rows. Event dispatch thread only. */
final class Controls {
    private Controls() {}

    /**
     * Reached by Tab, never taken by a click: a click on a button or a slider
     * leaves the keyboard where it was (the waveform's shortcuts), while a
     * keyboard user gets to every control.
     */
    static void byKeyboard(JComponent... cs) {
        for (JComponent c : cs) {
            c.setRequestFocusEnabled(false);
        }
    }

    /** The button as wide as the widest of the words it may show, so that nothing moves when they change. */
    static void wideEnough(javax.swing.AbstractButton b, String... texts) {
        String shown = b.getText();
        Dimension widest = b.getPreferredSize();
        for (String t : texts) {
            b.setText(t);
            Dimension d = b.getPreferredSize();
            widest = new Dimension(Math.max(widest.width, d.width), Math.max(widest.height, d.height));
        }
        b.setText(shown);
        b.setPreferredSize(widest);
        b.setMinimumSize(widest);
    }

    static JButton button(String text, String tip, Runnable action) {
        JButton b = new JButton(text);
        b.setToolTipText(tip);
        byKeyboard(b);
        b.addActionListener(e -> action.run());
        return b;
    }

    /**
     * A field whose value is taken by Enter, and when the keyboard leaves it
     * changed; Escape puts back the value it shows ({@link Keys}).
     */
    static void field(JTextField f, Runnable take, Runnable putBack) {
        String[] shown = {f.getText()};
        f.addActionListener(e -> {
            take.run();
            shown[0] = f.getText();
        });
        f.addFocusListener(new FocusAdapter() {
            @Override
            public void focusGained(FocusEvent e) {
                shown[0] = f.getText();
            }

            @Override
            public void focusLost(FocusEvent e) {
                if (!e.isTemporary() && !f.getText().equals(shown[0])) {
                    take.run();
                }
            }
        });
        f.putClientProperty(Keys.REVERT, putBack);
    }

    /** Every control inside {@code c} on or off (a window without a song has nothing to act on). */
    static void enableAll(java.awt.Container c, boolean on) {
        for (Component k : c.getComponents()) {
            if (k instanceof javax.swing.AbstractButton || k instanceof javax.swing.JSlider
                    || k instanceof JTextField || k instanceof javax.swing.JSpinner
                    || k instanceof javax.swing.JComboBox || k instanceof javax.swing.JList) {
                k.setEnabled(on);
            }
            if (k instanceof java.awt.Container && !(k instanceof javax.swing.JSpinner)) {
                enableAll((java.awt.Container) k, on);
            }
        }
    }

    static JPanel row(Component... cs) {
        JPanel p = new JPanel(new FlowLayout(FlowLayout.LEFT, 6, 2));
        for (Component c : cs) {
            p.add(c);
        }
        return p;
    }

    /**
     * A line of controls across the panel's width: each at its own width,
     * the ones added by {@link #stretch} sharing what is left (a slider
     * grows with a large window instead of leaving the controls clustered at
     * the left).
     */
    static final class Line {
        private final JPanel panel = new JPanel(new GridBagLayout());
        private int column;
        private boolean stretched;

        Line add(Component... cs) {
            for (Component c : cs) {
                put(c, 0);
            }
            return this;
        }

        Line stretch(Component c) {
            stretched = true;
            put(c, 1);
            return this;
        }

        /** Space between groups of controls. */
        Line gap() {
            put(Box.createHorizontalStrut(16), 0);
            return this;
        }

        private void put(Component c, double weight) {
            if (c instanceof JLabel && ((JLabel) c).getBorder() == null) {
                // A pixel spare: on a scaled screen the text's width rounds up past the label's.
                ((JLabel) c).setBorder(javax.swing.BorderFactory.createEmptyBorder(0, 0, 0, 1));
            }
            GridBagConstraints g = new GridBagConstraints();
            g.gridx = column++;
            g.weightx = weight;
            g.fill = weight > 0 ? GridBagConstraints.HORIZONTAL : GridBagConstraints.NONE;
            g.anchor = GridBagConstraints.WEST;
            g.insets = new Insets(2, column == 1 ? 0 : 5, 2, 0);
            panel.add(c, g);
        }

        JPanel done() {
            if (!stretched) {
                put(Box.createHorizontalGlue(), 1);
            }
            return panel;
        }
    }

    /** Lines stacked, with a margin: a tab's content. */
    static JPanel stack(JComponent... lines) {
        JPanel p = new JPanel();
        p.setLayout(new javax.swing.BoxLayout(p, javax.swing.BoxLayout.Y_AXIS));
        p.setBorder(javax.swing.BorderFactory.createEmptyBorder(4, 10, 4, 10));
        for (JComponent l : lines) {
            l.setAlignmentX(0);
            p.add(l);
        }
        return p;
    }

    /**
     * The slider's value beside it, as {@code text} words it, kept as wide as
     * its widest value so that nothing moves as it changes.
     */
    static JLabel value(JSlider s, IntFunction<String> text) {
        JLabel l = new JLabel(text.apply(s.getValue()));
        int widest = 0;
        for (int v = s.getMinimum(); v <= s.getMaximum(); v++) {
            widest = Math.max(widest, l.getFontMetrics(l.getFont()).stringWidth(text.apply(v)));
        }
        Dimension d = new Dimension(widest + 4, l.getPreferredSize().height);
        l.setPreferredSize(d);
        l.setMinimumSize(d);
        s.addChangeListener(e -> l.setText(text.apply(s.getValue())));
        return l;
    }

    /** A level in dB with its sign: "+3 dB", "0 dB", "\u22126 dB". */
    static String db(int v) {
        return (v > 0 ? "+" + v : v < 0 ? "\u2212" + -v : "0") + " dB";
    }
}
