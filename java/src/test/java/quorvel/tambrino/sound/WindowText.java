// An agent in the window's virtual machine that writes the text it shows, as a screen reader reads it.
package quorvel.tambrino.sound;

import java.awt.Component;
import java.awt.Container;
import java.awt.Frame;
import java.awt.Window;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.reflect.InvocationTargetException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.jar.Attributes;
import java.util.jar.JarEntry;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;
import javax.swing.AbstractButton;
import javax.swing.JLabel;
import javax.swing.JToggleButton;
import javax.swing.SwingUtilities;

/**
 * What a window says, read as a screen reader reads it, whatever classes
 * make it up: a Java agent ({@code -javaagent:JAR=FILE}) that ten times a
 * second writes the title of every window shown and the text of every
 * label and button in it, a toggle's state as {@code [x]} or {@code [ ]},
 * one per line, to FILE (replaced whole each time).
 */
public final class WindowText {
    private WindowText() {}

    public static void premain(String file) {
        Path out = Path.of(file);
        Thread t = new Thread(() -> {
            while (true) {
                try {
                    StringBuilder sb = new StringBuilder();
                    SwingUtilities.invokeAndWait(() -> read(sb));
                    Path tmp = out.resolveSibling(out.getFileName() + ".tmp");
                    Files.writeString(tmp, sb, StandardCharsets.UTF_8);
                    Files.move(tmp, out, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
                    Thread.sleep(100);
                } catch (InterruptedException | InvocationTargetException | IOException e) {
                    return;
                }
            }
        }, "window-text");
        t.setDaemon(true);
        t.start();
    }

    private static void read(StringBuilder sb) {
        for (Window w : Window.getWindows()) {
            if (w.isShowing()) {
                if (w instanceof Frame) {
                    sb.append("title: ").append(((Frame) w).getTitle()).append('\n');
                }
                read(w, sb);
            }
        }
    }

    private static void read(Component c, StringBuilder sb) {
        if (!c.isShowing()) {
            return;
        }
        String text = c instanceof JLabel ? ((JLabel) c).getText()
                : c instanceof AbstractButton ? ((AbstractButton) c).getText() : null;
        if (text != null && !text.isBlank()) {
            if (c instanceof JToggleButton) {
                sb.append(((JToggleButton) c).isSelected() ? "[x] " : "[ ] ");
            }
            sb.append(text.replace('\n', ' ')).append('\n');
        }
        if (c instanceof Container) {
            for (Component child : ((Container) c).getComponents()) {
                read(child, sb);
            }
        }
    }

    /** Makes the agent's jar in {@code dir} from this class as the tests were compiled; returns its path. */
    static Path agentJar(Path dir) throws IOException {
        Path jar = dir.resolve("window-text.jar");
        Manifest m = new Manifest();
        m.getMainAttributes().put(Attributes.Name.MANIFEST_VERSION, "1.0");
        m.getMainAttributes().put(new Attributes.Name("Premain-Class"), WindowText.class.getName());
        String entry = WindowText.class.getName().replace('.', '/') + ".class";
        try (OutputStream os = Files.newOutputStream(jar); JarOutputStream out = new JarOutputStream(os, m);
                InputStream in = WindowText.class.getResourceAsStream("WindowText.class")) {
            out.putNextEntry(new JarEntry(entry));
            in.transferTo(out);
            out.closeEntry();
        }
        return jar;
    }
}
