// Small builders shared by the practice window's panels: buttons and rows of controls.
package quorvel.tambrino.app;

import java.awt.Component;
import java.awt.FlowLayout;
import javax.swing.JButton;
import javax.swing.JPanel;

/** Builders of the window's buttons and rows. Event dispatch thread only. */
final class Controls {
    private Controls() {}

    static JButton button(String text, String tip, Runnable action) {
        JButton b = new JButton(text);
        b.setToolTipText(tip);
        b.setFocusable(false);
        b.addActionListener(e -> action.run());
        return b;
    }

    static JPanel row(Component... cs) {
        JPanel p = new JPanel(new FlowLayout(FlowLayout.LEFT, 6, 2));
        for (Component c : cs) {
            p.add(c);
        }
        return p;
    }
}
