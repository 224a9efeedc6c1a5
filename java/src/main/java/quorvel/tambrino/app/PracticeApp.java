// The practice window's entry point.
package quorvel.tambrino.app;

import java.awt.GraphicsEnvironment;
import java.lang.reflect.InvocationTargetException;
import java.nio.file.Path;
import javax.swing.SwingUtilities;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.practice.SongStore;

/** Starts the practice window and waits until it is closed. */
public final class PracticeApp {
    private PracticeApp() {}

    /**
     * Opens the window (with {@code file} when not null; what would be
     * heard goes to {@code outputFile} when not null) and returns when it is
     * closed.
     *
     * @throws CliException when there is no display to open a window on
     */
    public static void run(Path file, Path outputFile) throws InterruptedException {
        // The launcher starts the JVM without a display for the terminal commands; the window needs one.
        System.setProperty("java.awt.headless", "false");
        if (GraphicsEnvironment.isHeadless()) {
            throw new CliException(CliException.EXIT_USAGE, "no display to open the window on (DISPLAY is not"
                    + " set); on a machine without one, 'tambrino play' and 'tambrino stretch' work in a terminal");
        }
        PracticeWindow[] window = new PracticeWindow[1];
        try {
            SwingUtilities.invokeAndWait(() -> {
                Theme.install();
                window[0] = new PracticeWindow(outputFile, SongStore.forUser());
                window[0].show(file);
            });
        } catch (InvocationTargetException e) {
            Throwable cause = e.getCause();
            if (cause instanceof RuntimeException) {
                throw (RuntimeException) cause;
            }
            throw new IllegalStateException(cause);
        } catch (java.awt.AWTError e) {
            throw new CliException(CliException.EXIT_USAGE, "cannot open the window: "
                    + String.valueOf(e.getMessage()).replaceAll("\\.$", "")
                    + "; without a display, 'tambrino play' and 'tambrino stretch' work in a terminal");
        }
        window[0].awaitClose();
    }
}
