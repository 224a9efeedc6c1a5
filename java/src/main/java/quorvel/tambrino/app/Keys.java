// The practice window's keyboard: which key press is a shortcut and which belongs to a menu, a field or a control.
package quorvel.tambrino.app;

import java.awt.Component;
import java.awt.KeyEventDispatcher;
import java.awt.KeyboardFocusManager;
import java.awt.event.KeyEvent;
import javax.swing.JComponent;
import javax.swing.KeyStroke;
import javax.swing.MenuSelectionManager;
import javax.swing.SwingUtilities;
import javax.swing.text.JTextComponent;

/**
 * Sees every key pressed in the window before its components do and decides
 * whose it is. An open menu takes its keys (the arrows move in it); a text
 * field being edited takes its keys, and Enter or Escape there leaves it
 * (Escape puts back the value it shows) so that the keyboard is the
 * window's again; a control that has the keyboard keeps the keys it uses
 * (Space on a button, the arrows on a slider or in the marker list). Every
 * other key is offered to the window's shortcuts. Event dispatch thread only.
 */
final class Keys implements KeyEventDispatcher {
    /** A field's client property: a {@link Runnable} that puts back the value it shows (Escape). */
    static final String REVERT = "tambrino.revert";

    private final PracticeWindow w;

    Keys(PracticeWindow w) {
        this.w = w;
    }

    void install() {
        KeyboardFocusManager.getCurrentKeyboardFocusManager().addKeyEventDispatcher(this);
    }

    void uninstall() {
        KeyboardFocusManager.getCurrentKeyboardFocusManager().removeKeyEventDispatcher(this);
    }

    @Override
    public boolean dispatchKeyEvent(KeyEvent e) {
        if (e.getID() != KeyEvent.KEY_PRESSED || !w.frame().isFocused()) {
            return false;
        }
        if (MenuSelectionManager.defaultManager().getSelectedPath().length > 0) {
            return false;
        }
        Component owner = KeyboardFocusManager.getCurrentKeyboardFocusManager().getFocusOwner();
        int code = e.getKeyCode();
        if (owner instanceof JTextComponent) {
            Command global = w.commands().find(code, e.getModifiersEx(), e.getKeyChar(), true);
            if (global != null) {
                global.run();
                return true;
            }
            if (code == KeyEvent.VK_ENTER || code == KeyEvent.VK_ESCAPE) {
                Object revert = ((JComponent) owner).getClientProperty(REVERT);
                if (code == KeyEvent.VK_ESCAPE && revert instanceof Runnable) {
                    ((Runnable) revert).run();
                }
                // The field acts on the key first (takes or resets its value), then lets the keyboard go.
                SwingUtilities.invokeLater(w::focusHome);
            }
            return false;
        }
        if (wants(owner, e)) {
            return false;
        }
        if (code == KeyEvent.VK_ESCAPE && owner != w.home()) {
            w.focusHome();
            return true;
        }
        return w.keyPressed(code, e.getModifiersEx(), e.getKeyChar());
    }

    /** Whether the component that has the keyboard acts on this key itself. */
    static boolean wants(Component owner, KeyEvent e) {
        if (!(owner instanceof JComponent)) {
            return false;
        }
        KeyStroke ks = KeyStroke.getKeyStrokeForEvent(e);
        return ((JComponent) owner).getInputMap(JComponent.WHEN_FOCUSED).get(ks) != null;
    }
}
