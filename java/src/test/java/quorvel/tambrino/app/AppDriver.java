// Test support: drives the practice window as a person would.
package quorvel.tambrino.app;

import java.awt.Rectangle;
import java.awt.Robot;
import java.awt.image.BufferedImage;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;
import javax.imageio.ImageIO;
import javax.swing.SwingUtilities;
import quorvel.tambrino.audio.InputFile;
import quorvel.tambrino.audio.PcmSource;
import quorvel.tambrino.audio.WavWriter;
import quorvel.tambrino.practice.SongSettings;
import quorvel.tambrino.practice.SongStore;
import quorvel.tambrino.practice.Transport;

/**
 * Drives the practice window as a person would, through its components on
 * the event dispatch thread, for the tests and the screenshot script: a
 * generated song, what the window shows, what it wrote.
 */
final class AppDriver {
    private AppDriver() {}

    static final int RATE = 44100;

    /**
     * A stereo song of {@code seconds}: A4 (440 Hz) swelling and fading
     * every second over a quiet A2, so that the waveform has a shape and the
     * loudest note is A4.
     */
    static void writeSong(Path file, double seconds) throws IOException {
        int frames = (int) (seconds * RATE);
        short[] pcm = new short[frames * 2];
        for (int i = 0; i < frames; i++) {
            double t = (double) i / RATE;
            double swell = 0.25 + 0.35 * Math.abs(Math.sin(Math.PI * t));
            double v = swell * Math.sin(2 * Math.PI * 440 * t) + 0.05 * Math.sin(2 * Math.PI * 110 * t);
            pcm[2 * i] = (short) Math.round(v * 32767);
            pcm[2 * i + 1] = (short) Math.round(v * 0.9 * 32767);
        }
        writeWav(file, pcm);
    }

    /** Stereo samples at {@link #RATE} into a WAV file. */
    static void writeWav(Path file, short[] pcm) throws IOException {
        try (OutputStream out = Files.newOutputStream(file)) {
            WavWriter.write(PcmSource.of(pcm, 2, RATE), out);
        }
    }

    /** Hz per second of {@link #writeChirp}'s rise, and where it starts. */
    static final double CHIRP_RISE = 100;
    static final double CHIRP_FROM = 200;

    /**
     * A stereo tone rising steadily from 200 Hz by 100 Hz a second: its
     * frequency tells where in the song a stretch of what was heard comes
     * from ({@link #chirpSeconds}), whatever the tempo.
     */
    static void writeChirp(Path file, double seconds) throws IOException {
        int frames = (int) (seconds * RATE);
        short[] pcm = new short[frames * 2];
        for (int i = 0; i < frames; i++) {
            double t = (double) i / RATE;
            double v = 0.5 * Math.sin(2 * Math.PI * (CHIRP_FROM * t + CHIRP_RISE / 2 * t * t));
            pcm[2 * i] = (short) Math.round(v * 32767);
            pcm[2 * i + 1] = pcm[2 * i];
        }
        writeWav(file, pcm);
    }

    /** Where in a {@link #writeChirp} song the frames {@code from} to {@code to} of a recording come from, in seconds of the song (their middle). */
    static double chirpSeconds(short[] pcm, int channels, int from, int to) {
        return (frequency(pcm, channels, RATE, from, to) - CHIRP_FROM) / CHIRP_RISE;
    }

    private static final List<PracticeWindow> OPEN = new ArrayList<>();

    static PracticeWindow open(Path outputFile, Path config) throws Exception {
        return open(outputFile, config, true);
    }

    /** A window that shows its dialogs unless {@code quiet}. */
    static PracticeWindow open(Path outputFile, Path config, boolean quiet) throws Exception {
        System.setProperty("tambrino.app.quiet", Boolean.toString(quiet));
        return onEdt(() -> {
            if (!(javax.swing.UIManager.getLookAndFeel() instanceof javax.swing.plaf.nimbus.NimbusLookAndFeel)) {
                Theme.install();
            }
            PracticeWindow w = new PracticeWindow(outputFile, new SongStore(config));
            w.show(null);
            OPEN.add(w);
            return w;
        });
    }

    /** Closes every window opened here that is still open. */
    static void closeAll() throws Exception {
        run(() -> {
            for (PracticeWindow w : OPEN) {
                if (w.frame().isDisplayable()) {
                    w.close();
                }
            }
            OPEN.clear();
        });
    }

    static void openSong(PracticeWindow w, Path song) throws Exception {
        onEdt(() -> w.open(song)).get(30, TimeUnit.SECONDS);
        // The waveform's summary runs on: wait for it, as a person waits for the picture.
        long until = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
        while (onEdt(() -> w.waveform().summaryProgress()) < 1 && System.nanoTime() < until) {
            Thread.sleep(20);
        }
    }

    private static Robot robot;

    /** Real key presses and clicks, through the X server, to the focused window. */
    static synchronized Robot robot() throws java.awt.AWTException {
        if (robot == null) {
            robot = new Robot();
            robot.setAutoDelay(10);
        }
        return robot;
    }

    /**
     * Presses the keys together, as a person does (a modifier first), and
     * releases them; then waits until the window has dealt with them.
     */
    static void press(int... keys) throws Exception {
        Robot r = robot();
        for (int k : keys) {
            r.keyPress(k);
        }
        for (int i = keys.length - 1; i >= 0; i--) {
            r.keyRelease(keys[i]);
        }
        settle();
    }

    /** Types text as key presses on a US keyboard (digits, letters, '-', '.', ':', ' '). */
    static void type(String text) throws Exception {
        for (char c : text.toCharArray()) {
            int code = c == '-' ? java.awt.event.KeyEvent.VK_MINUS : c == '.' ? java.awt.event.KeyEvent.VK_PERIOD
                    : c == ' ' ? java.awt.event.KeyEvent.VK_SPACE : java.awt.event.KeyEvent.getExtendedKeyCodeForChar(c);
            if (c == ':') {
                press(java.awt.event.KeyEvent.VK_SHIFT, java.awt.event.KeyEvent.VK_SEMICOLON);
            } else if (Character.isUpperCase(c)) {
                press(java.awt.event.KeyEvent.VK_SHIFT, code);
            } else {
                press(code);
            }
        }
    }

    /** Clicks {@code c} at its point {@code x, y}. */
    static void click(java.awt.Component c, int x, int y) throws Exception {
        java.awt.Point p = onEdt(() -> {
            java.awt.Point q = c.getLocationOnScreen();
            return new java.awt.Point(q.x + x, q.y + y);
        });
        Robot r = robot();
        r.mouseMove(p.x, p.y);
        r.mousePress(java.awt.event.InputEvent.BUTTON1_DOWN_MASK);
        r.mouseRelease(java.awt.event.InputEvent.BUTTON1_DOWN_MASK);
        settle();
    }

    /** Clicks the middle of {@code c}. */
    static void click(java.awt.Component c) throws Exception {
        java.awt.Dimension d = onEdt(c::getSize);
        click(c, d.width / 2, d.height / 2);
    }

    /** Waits until the events sent so far are dealt with. */
    static void settle() throws Exception {
        robot().waitForIdle();
        java.awt.Toolkit.getDefaultToolkit().sync();
        Thread.sleep(30);
        robot().waitForIdle();
    }

    /** Waits until the window has the keyboard (the window manager gives it to a new window). */
    static void focus(PracticeWindow w) throws Exception {
        long until = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        while (!onEdt(() -> w.frame().isFocused()) && System.nanoTime() < until) {
            run(() -> {
                w.frame().toFront();
                w.frame().requestFocus();
            });
            Thread.sleep(50);
        }
        if (!onEdt(() -> w.frame().isFocused())) {
            throw new IllegalStateException("the window did not get the keyboard");
        }
        settle();
    }

    /** Waits until a dialog has the keyboard. */
    static void focusWindow(java.awt.Window d) throws Exception {
        long until = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        while (!onEdt(d::isFocused) && System.nanoTime() < until) {
            run(d::toFront);
            Thread.sleep(50);
        }
        settle();
    }

    /** The component that has the keyboard. */
    static java.awt.Component focusOwner() throws Exception {
        return onEdt(() -> java.awt.KeyboardFocusManager.getCurrentKeyboardFocusManager().getFocusOwner());
    }

    /** The first component of {@code type} inside {@code c}, or null. */
    static <T> T findIn(java.awt.Container c, Class<T> type) {
        for (java.awt.Component k : c.getComponents()) {
            if (type.isInstance(k)) {
                return type.cast(k);
            }
            if (k instanceof java.awt.Container) {
                T t = findIn((java.awt.Container) k, type);
                if (t != null) {
                    return t;
                }
            }
        }
        return null;
    }

    /** The dialog of {@code owner} that is showing, waiting up to five seconds for one; null without. */
    static javax.swing.JDialog dialogOf(java.awt.Window owner) throws Exception {
        for (int i = 0; i < 250; i++) {
            javax.swing.JDialog d = onEdt(() -> {
                for (java.awt.Window k : owner.getOwnedWindows()) {
                    if (k instanceof javax.swing.JDialog && k.isShowing()) {
                        return (javax.swing.JDialog) k;
                    }
                }
                return null;
            });
            if (d != null) {
                return d;
            }
            Thread.sleep(20);
        }
        return null;
    }

    /** Whether a menu is open. */
    static boolean menuOpen() throws Exception {
        return onEdt(() -> javax.swing.MenuSelectionManager.defaultManager().getSelectedPath().length > 0);
    }

    /** Waits up to {@code seconds} until {@code done} holds on the event dispatch thread; whether it does. */
    static boolean await(Callable<Boolean> done, double seconds) throws Exception {
        long until = System.nanoTime() + (long) (seconds * 1e9);
        while (!onEdt(done) && System.nanoTime() < until) {
            Thread.sleep(20);
        }
        return onEdt(done);
    }

    static <T> T onEdt(Callable<T> c) throws Exception {
        AtomicReference<T> out = new AtomicReference<>();
        AtomicReference<Exception> failure = new AtomicReference<>();
        SwingUtilities.invokeAndWait(() -> {
            try {
                out.set(c.call());
            } catch (Exception e) {
                failure.set(e);
            }
        });
        if (failure.get() != null) {
            throw failure.get();
        }
        return out.get();
    }

    static void run(Runnable r) throws Exception {
        SwingUtilities.invokeAndWait(r);
    }

    /** The window as it is on the screen, in the screen's pixels (twice its units, scaled twice). */
    static BufferedImage capture(PracticeWindow w) throws Exception {
        return capture(w.frame());
    }

    /** A window or dialog as it is on the screen, in the screen's pixels. */
    static BufferedImage capture(java.awt.Window window) throws Exception {
        Rectangle r = onEdt(window::getBounds);
        java.awt.Image best = null;
        for (java.awt.Image i : new Robot().createMultiResolutionScreenCapture(r).getResolutionVariants()) {
            if (best == null || i.getWidth(null) > best.getWidth(null)) {
                best = i;
            }
        }
        BufferedImage out = new BufferedImage(best.getWidth(null), best.getHeight(null), BufferedImage.TYPE_INT_RGB);
        out.getGraphics().drawImage(best, 0, 0, null);
        return out;
    }

    /** The waveform as it is on the screen. */
    static BufferedImage captureWaveform(PracticeWindow w) throws Exception {
        Rectangle r = onEdt(() -> {
            java.awt.Point p = w.waveform().getLocationOnScreen();
            return new Rectangle(p.x, p.y, w.waveform().getWidth(), w.waveform().getHeight());
        });
        return new Robot().createScreenCapture(r);
    }

    static void savePng(BufferedImage img, Path file) throws IOException {
        ImageIO.write(img, "png", file.toFile());
    }

    /** Samples of a WAV file, channels interleaved; rate and channels in {@code format[0..1]}. */
    static short[] readWav(Path file, int[] format) throws IOException {
        try (InputFile.Reader r = InputFile.openAudio(file.toString())) {
            format[0] = r.sampleRate();
            format[1] = r.channels();
            return Transport.readAll(r);
        }
    }

    /**
     * The left channel's frequency from its rising zero crossings over frames
     * {@code from} to {@code to}, each placed between its two samples.
     */
    static double frequency(short[] pcm, int channels, int rate, int from, int to) {
        double first = -1;
        double last = -1;
        int crossings = 0;
        for (int i = Math.max(1, from + 1); i < Math.min(to, pcm.length / channels); i++) {
            int a = pcm[(i - 1) * channels];
            int b = pcm[i * channels];
            if (a < 0 && b >= 0) {
                double at = i - 1 + (double) -a / (b - a);
                if (first < 0) {
                    first = at;
                } else {
                    crossings++;
                    last = at;
                }
            }
        }
        return crossings == 0 ? 0 : crossings * rate / (last - first);
    }

    /**
     * The README's pictures of the window: opens a song (the one named, or a
     * generated one), sets a loop, a marker or two and 80 %, plays it for a
     * couple of seconds with the tab named shown, and saves the window as it
     * is on the screen. Arguments: the PNG to write, a folder for the
     * settings and what is heard, then optionally the song, the window's
     * size ("1280x800"; "max" fills the screen; "default" as it opens), the tab ("Loop") and what to
     * picture: the window, or over it help, about or export (its progress).
     */
    public static void main(String[] args) throws Exception {
        Path png = Path.of(args[0]);
        Path work = Files.createDirectories(Path.of(args[1]));
        Path song = args.length > 2 ? Path.of(args[2]) : work.resolve("practice-song.wav");
        if (args.length <= 2) {
            writeSong(song, 12);
        }
        String size = args.length > 3 ? args[3] : "1000x680";
        String tab = args.length > 4 ? args[4] : "Loop";
        PracticeWindow w = open(work.resolve("heard.wav"), work.resolve("config"));
        if (size.equals("default")) {
            // As it opens for a user: sized and placed by the window itself.
        } else if (size.equals("max")) {
            run(() -> w.frame().setExtendedState(javax.swing.JFrame.MAXIMIZED_BOTH));
        } else {
            String[] wh = size.split("x");
            run(() -> {
                w.frame().setSize(Integer.parseInt(wh[0]), Integer.parseInt(wh[1]));
                w.frame().setLocationRelativeTo(null);
            });
        }
        openSong(w, song);
        long frames = onEdt(() -> w.song().frames());
        run(() -> {
            w.setLoop(frames * 3 / 10, frames / 2, true);
            w.setTempoPercent(80);
            w.addMark(new SongSettings.Mark("verse", frames / 10, -1));
            w.addMark(new SongSettings.Mark("chorus", frames * 7 / 10, -1));
            w.addMark(new SongSettings.Mark("the hard run", frames * 3 / 10, frames / 2));
            w.soundControls().bassSlider.setValue(3);
            w.soundControls().semitones.setValue(-2);
            w.tabs().setSelectedIndex(w.tabs().indexOfTab(tab));
            w.seek(frames * 3 / 10);
            w.togglePause();
        });
        Thread.sleep(2500);
        String view = args.length > 5 ? args[5] : "window";
        java.awt.Window shown = w.frame();
        if (view.equals("help")) {
            run(w::showHelp);
            shown = dialogOf(w.frame());
        } else if (view.equals("about")) {
            SwingUtilities.invokeLater(w::showAbout);
            shown = dialogOf(w.frame());
        } else if (view.equals("export")) {
            // The loop twenty times at half speed, a second between: long enough to be seen under way.
            run(() -> {
                w.setTempoPercent(50);
                w.loopControls().gap.setValue(1.0);
                w.loopControls().repeats.setValue(20);
            });
            Path target = Files.createDirectories(work.resolve("export"))
                    .resolve(song.getFileName().toString().replaceFirst("\\.[^.]*$", "") + "-50-loop-x20.wav");
            java.util.concurrent.CompletableFuture<javax.swing.JDialog> dialog =
                    new java.util.concurrent.CompletableFuture<>();
            run(() -> w.export(target, true, dialog::complete));
            shown = dialog.get(30, java.util.concurrent.TimeUnit.SECONDS);
            Thread.sleep(500);
        } else if (!view.equals("window")) {
            throw new IllegalArgumentException("a view is window, help, about or export: " + view);
        }
        Thread.sleep(500);
        java.awt.Window picture = shown;
        if (!onEdt(picture::isShowing)) {
            throw new IllegalStateException("the " + view + " was gone before its picture was taken");
        }
        savePng(capture(picture), png);
        run(w::close);
        System.out.println("screenshot: " + png);
        System.exit(0);
    }
}
