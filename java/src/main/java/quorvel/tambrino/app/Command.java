// One thing the practice window does, with the keys that do it, as its menus, its Help window and its keyboard know it.
package quorvel.tambrino.app;

import java.awt.event.ActionEvent;
import java.awt.event.InputEvent;
import java.awt.event.KeyEvent;
import java.util.function.BooleanSupplier;
import javax.swing.AbstractAction;
import javax.swing.Action;
import javax.swing.KeyStroke;

/**
 * A command of the window: its name in the menus, the key shown beside it
 * and any other keys that do the same, whether it may act while a text field
 * is edited, and when it is available. Keys are matched by the key pressed
 * and its modifiers, or (for the punctuation keys, wherever a keyboard
 * layout puts them) by the character typed. Event dispatch thread only.
 */
final class Command extends AbstractAction {
    /** What the command does. */
    private final Runnable action;
    /** Keys pressed (code and modifiers) that do it; the first is shown in the menu. */
    final KeyStroke[] keys;
    /** Characters typed that do it, without Ctrl or Alt; the first is shown when there is no key. */
    final String typed;
    /** Whether it acts even while a text field is edited (open, quit, help). */
    boolean global;
    private BooleanSupplier available = () -> true;
    private BooleanSupplier selected;
    private java.util.function.Supplier<String> named;

    Command(String name, String help, Runnable action, String typed, KeyStroke... keys) {
        super(name);
        this.action = action;
        this.keys = keys;
        this.typed = typed == null ? "" : typed;
        putValue(Action.SHORT_DESCRIPTION, help);
        if (keys.length > 0) {
            putValue(Action.ACCELERATOR_KEY, keys[0]);
        } else if (!this.typed.isEmpty()) {
            putValue(Action.ACCELERATOR_KEY, KeyStroke.getKeyStroke(this.typed.charAt(0)));
        }
    }

    /** Acts even while a text field is edited. */
    Command global() {
        this.global = true;
        return this;
    }

    /** Available only while {@code when} holds (checked as the window redraws). */
    Command when(BooleanSupplier when) {
        this.available = when;
        return this;
    }

    /** A switch, shown ticked in the menu while {@code on} holds. */
    Command ticked(BooleanSupplier on) {
        this.selected = on;
        putValue(Action.SELECTED_KEY, on.getAsBoolean());
        return this;
    }

    /** Named anew as the window redraws ("Undo the loop"). */
    Command named(java.util.function.Supplier<String> name) {
        this.named = name;
        return this;
    }

    boolean isSwitch() {
        return selected != null;
    }

    String name() {
        return (String) getValue(Action.NAME);
    }

    String help() {
        return (String) getValue(Action.SHORT_DESCRIPTION);
    }

    /** Brings the enabled and ticked states up to date. */
    void refresh() {
        if (named != null) {
            String n = named.get();
            if (!n.equals(getValue(Action.NAME))) {
                putValue(Action.NAME, n);
            }
        }
        boolean on = available.getAsBoolean();
        if (on != isEnabled()) {
            setEnabled(on);
        }
        if (selected != null) {
            boolean s = selected.getAsBoolean();
            if (!Boolean.valueOf(s).equals(getValue(Action.SELECTED_KEY))) {
                putValue(Action.SELECTED_KEY, s);
            }
        }
    }

    private static final int MODIFIERS = InputEvent.SHIFT_DOWN_MASK | InputEvent.CTRL_DOWN_MASK
            | InputEvent.ALT_DOWN_MASK | InputEvent.META_DOWN_MASK;

    /** Whether this key press is one of the command's keys. */
    boolean matches(int code, int modifiers, char ch) {
        int mods = modifiers & MODIFIERS;
        for (KeyStroke k : keys) {
            if (k.getKeyCode() == code && (k.getModifiers() & MODIFIERS) == mods) {
                return true;
            }
        }
        boolean plain = (mods & (InputEvent.CTRL_DOWN_MASK | InputEvent.ALT_DOWN_MASK | InputEvent.META_DOWN_MASK)) == 0;
        return plain && ch != KeyEvent.CHAR_UNDEFINED && ch != 0 && typed.indexOf(Character.toLowerCase(ch)) >= 0;
    }

    /** The keys as shown in the Help window ("Ctrl+Shift+E", "[ ", "+ or ="). */
    String keysText() {
        StringBuilder sb = new StringBuilder();
        for (KeyStroke k : keys) {
            sb.append(sb.length() > 0 ? " or " : "").append(keyText(k));
        }
        for (char c : typed.toCharArray()) {
            sb.append(sb.length() > 0 ? " or " : "").append(c == ' ' ? "Space" : String.valueOf(Character.toUpperCase(c)));
        }
        return sb.toString();
    }

    static String keyText(KeyStroke k) {
        String mods = InputEvent.getModifiersExText(k.getModifiers() & MODIFIERS);
        String key = k.getKeyCode() == KeyEvent.VK_UNDEFINED ? String.valueOf(k.getKeyChar())
                : KeyEvent.getKeyText(k.getKeyCode());
        return mods.isEmpty() ? key : mods + "+" + key;
    }

    @Override
    public void actionPerformed(ActionEvent e) {
        if (isEnabled()) {
            action.run();
        }
    }

    /** Does it, when available. */
    void run() {
        refresh();
        if (isEnabled()) {
            action.run();
        }
    }
}
