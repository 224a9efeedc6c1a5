// Where the practice window's windows go: within the usable part of the screen they open on.
package quorvel.tambrino.app;

import java.awt.Component;
import java.awt.GraphicsConfiguration;
import java.awt.Insets;
import java.awt.Rectangle;
import java.awt.Toolkit;
import java.awt.Window;

/** The screen's usable area, and windows kept within it. Event dispatch thread only. */
final class Screens {
    private Screens() {}

    /** The screen less its panels, in the units that the desktop's scaling leaves. */
    static Rectangle usable(GraphicsConfiguration gc) {
        Rectangle u = gc.getBounds();
        Insets in = Toolkit.getDefaultToolkit().getScreenInsets(gc);
        return new Rectangle(u.x + in.left, u.y + in.top, Math.max(1, u.width - in.left - in.right),
                Math.max(1, u.height - in.top - in.bottom));
    }

    /** Escape in {@code d} does {@code action} (closes it, cancels what it shows). */
    static void onEscape(javax.swing.JDialog d, Runnable action) {
        javax.swing.JRootPane root = d.getRootPane();
        root.getInputMap(javax.swing.JComponent.WHEN_IN_FOCUSED_WINDOW)
                .put(javax.swing.KeyStroke.getKeyStroke(java.awt.event.KeyEvent.VK_ESCAPE, 0), "escape");
        root.getActionMap().put("escape", new javax.swing.AbstractAction() {
            @Override
            public void actionPerformed(java.awt.event.ActionEvent e) {
                action.run();
            }
        });
    }

    /** Shrinks {@code w} to fit the usable screen and centres it over {@code over}, within the screen. */
    static void fit(Window w, Component over) {
        Rectangle u = usable(over != null ? over.getGraphicsConfiguration() : w.getGraphicsConfiguration());
        int width = Math.min(w.getWidth(), u.width);
        int height = Math.min(w.getHeight(), u.height);
        w.setSize(width, height);
        w.setLocationRelativeTo(over);
        int x = Math.max(u.x, Math.min(w.getX(), u.x + u.width - width));
        int y = Math.max(u.y, Math.min(w.getY(), u.y + u.height - height));
        w.setLocation(x, y);
    }
}
