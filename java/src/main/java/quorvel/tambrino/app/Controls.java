// Small builders shared by the practice window's panels: buttons and rows of controls.
package quorvel.tambrino.app;

import java.awt.Component;
import java.awt.FlowLayout;
import java.awt.event.FocusAdapter;
import java.awt.event.FocusEvent;
import javax.swing.JButton;
import javax.swing.JComponent;
import javax.swing.JPanel;
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
}
