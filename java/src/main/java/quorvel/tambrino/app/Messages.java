// The practice window's messages: the status line, its history, and error dialogs whose text wraps to fit the screen.
package quorvel.tambrino.app;

import java.awt.BorderLayout;
import java.awt.Component;
import java.awt.Cursor;
import java.awt.Dimension;
import java.awt.event.MouseAdapter;
import java.awt.event.MouseEvent;
import java.util.ArrayDeque;
import java.util.Deque;
import javax.swing.BorderFactory;
import javax.swing.JComponent;
import javax.swing.JDialog;
import javax.swing.JFrame;
import javax.swing.JLabel;
import javax.swing.JOptionPane;
import javax.swing.JScrollPane;
import javax.swing.JTextArea;
import javax.swing.UIManager;

/**
 * What the window has to say: the status line, which shows the latest
 * message on one line (its tooltip and a click show the whole of it and the
 * ones before), and the error dialogs, whose text wraps at a readable width
 * that the screen holds, however long a path or a reason is. Event dispatch
 * thread only.
 */
final class Messages {
    /** The widest a message's text is drawn before it wraps, in the width of an average character. */
    static final int COLUMNS = 60;
    private static final int KEPT = 50;

    private final JFrame frame;
    private final JLabel status = new JLabel(" ");
    private final Deque<String> history = new ArrayDeque<>();
    private JDialog shown;
    private JTextArea shownText;

    Messages(JFrame frame) {
        this.frame = frame;
        status.setBorder(BorderFactory.createEmptyBorder(2, 8, 2, 8));
        status.setCursor(Cursor.getPredefinedCursor(Cursor.HAND_CURSOR));
        status.addMouseListener(new MouseAdapter() {
            @Override
            public void mouseClicked(MouseEvent e) {
                showHistory();
            }
        });
        // The line may be narrower than its text: its minimum leaves room for the rest of the window.
        status.setMinimumSize(new Dimension(0, status.getPreferredSize().height));
    }

    JComponent line() {
        return status;
    }

    void status(String text) {
        boolean empty = text == null || text.isEmpty();
        status.setText(empty ? " " : text);
        status.setToolTipText(empty ? null : "<html><body style='width: " + COLUMNS / 2 + "em'>" + escape(text)
                + "<br><i>Click for the messages so far</i></body></html>");
        if (!empty && !text.equals(history.peekLast())) {
            history.addLast(text);
            while (history.size() > KEPT) {
                history.removeFirst();
            }
            if (shownText != null) {
                shownText.setText(String.join("\n\n", history));
            }
        }
    }

    String statusText() {
        return status.getText();
    }

    /** The messages so far, newest last, in a window of their own whose text may be selected and copied. */
    void showHistory() {
        if (shown == null) {
            shownText = wrapped("");
            shownText.setRows(12);
            JScrollPane scroll = new JScrollPane(shownText);
            scroll.setBorder(BorderFactory.createEmptyBorder(8, 8, 8, 8));
            shown = new JDialog(frame, "Messages \u2014 tambrino", false);
            shown.getContentPane().add(scroll, BorderLayout.CENTER);
            Screens.onEscape(shown, () -> shown.setVisible(false));
        }
        shownText.setText(String.join("\n\n", history));
        shown.pack();
        Screens.fit(shown, frame);
        shown.setVisible(true);
    }

    JDialog historyWindow() {
        return shown;
    }

    /**
     * Text that wraps at word boundaries within {@link #COLUMNS} columns,
     * drawn like a label but selectable, for dialogs.
     */
    static JTextArea wrapped(String text) {
        JTextArea a = new JTextArea(text);
        a.setEditable(false);
        a.setLineWrap(true);
        a.setWrapStyleWord(true);
        a.setOpaque(false);
        a.setFont(UIManager.getFont("Label.font"));
        a.setColumns(COLUMNS);
        // Laid out at that width first, so that its preferred height counts the wrapped lines.
        a.setSize(a.getPreferredSize().width, Short.MAX_VALUE);
        a.setBorder(BorderFactory.createEmptyBorder());
        return a;
    }

    /** An error in a dialog whose text wraps; the status line says it too. */
    static void error(Component parent, String title, String message) {
        JOptionPane.showMessageDialog(parent, wrapped(message), title, JOptionPane.ERROR_MESSAGE);
    }

    private static String escape(String s) {
        return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;");
    }
}
