// The practice window: the frame that holds the song's picture and the panels, opens songs and keeps their settings.
package quorvel.tambrino.app;

import java.awt.BorderLayout;
import java.awt.Component;
import java.awt.Dimension;
import java.awt.FlowLayout;
import java.awt.Font;
import java.awt.datatransfer.DataFlavor;
import java.awt.event.KeyEvent;
import java.awt.event.WindowAdapter;
import java.awt.event.WindowEvent;
import java.io.File;
import java.io.IOException;
import java.nio.file.Path;
import java.util.List;
import java.util.Locale;
import java.util.Properties;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CountDownLatch;
import java.util.function.Consumer;
import javax.swing.BorderFactory;
import javax.swing.Box;
import javax.swing.BoxLayout;
import javax.swing.JComponent;
import javax.swing.JDialog;
import javax.swing.JFileChooser;
import javax.swing.JFrame;
import javax.swing.JLabel;
import javax.swing.JPanel;
import javax.swing.JTabbedPane;
import javax.swing.SwingUtilities;
import javax.swing.Timer;
import javax.swing.TransferHandler;
import quorvel.tambrino.Quality;
import quorvel.tambrino.Session;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.OutputFiles;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.SongSettings;
import quorvel.tambrino.practice.SongSettings.Mark;
import quorvel.tambrino.practice.SongStore;
import quorvel.tambrino.practice.Terminal;

/**
 * The practice window: the song's waveform with the loop and markers, the
 * spectrum as a keyboard, the meter, and the panels of the transport, loop,
 * markers, trainer and sound, each a class of its own. The music streams on a
 * thread of its own through {@link SongPlayer}; the window only sets values
 * and polls what is heard, 25 times a second, so neither a slow repaint nor a
 * resize reaches the sound. Everything here runs on the event dispatch thread
 * except the reading of a song and an export, which run on threads of their
 * own and come back through {@link SwingUtilities#invokeLater}.
 */
public final class PracticeWindow {
    static final int REDRAW_MILLIS = 40;
    /** No modal dialogs (scripts and tests drive the window); what they would say is on the status line. */
    final boolean quiet = Boolean.getBoolean("tambrino.app.quiet");

    private final JFrame frame = new JFrame("tambrino");
    private final SongStore store;
    private final CountDownLatch closed = new CountDownLatch(1);
    private final SongPlayer player;

    private final WaveformView waveform;
    private final KeyboardView keyboard = new KeyboardView();
    private final MeterView meterView = new MeterView();
    private final JLabel position = new JLabel("0:00.0 / 0:00.0");
    private final JLabel tempoLabel = new JLabel("tempo 100 % (\u00d71.00)");
    private final JLabel keyLabel = new JLabel("original key");
    private final JLabel noteLabel = new JLabel("loudest note: \u2013");
    private final Messages messages = new Messages(frame);
    private HelpWindow help;
    private final TransportControls transport;
    private final LoopControls loop;
    private final MarkerControls markers;
    private final SoundControls sound;
    private final TrainerControls trainer;
    private final Commands commands;
    private final Menus menus;
    private final Exporter exporter = new Exporter(this);
    private final JTabbedPane tabs = new JTabbedPane();
    /** Under the waveform: the part shown when zoomed, to scroll. */
    private final javax.swing.JScrollBar scrollBar = new javax.swing.JScrollBar(javax.swing.JScrollBar.HORIZONTAL);
    /** Frames per unit of the scroll bar, whose values are ints. */
    private long scrollUnit = 1;
    /** Set while the scroll bar is set from the view. */
    private boolean viewing;
    private final Keys keys = new Keys(this);
    private final Timer redraw;

    /** Set while the controls are set from what was kept: nothing is saved meanwhile. */
    private boolean restoring;

    private Song song;
    /** The song's tempo as chosen (typed to a tenth of a percent), which the trainer leaves alone. */
    private double tempoChosen = 1.0;
    /** Where the last seek went, and when: until it is heard, a further step goes on from there. */
    private long seekTarget;
    private long seekNanos = System.nanoTime() - SEEK_SETTLES_NANOS;
    private static final long SEEK_SETTLES_NANOS = 150_000_000L;
    private boolean failureShown;
    /** What the status line last said of the output playing nothing; null while it plays. */
    private String troubleShown;
    private long lastHeard;
    private final float[] spectrum = new float[Session.NOTES];
    private WaveformSummary summary;
    private boolean summaryShown;

    public PracticeWindow(Path outputFile, SongStore store) {
        this.store = store;
        this.player = new SongPlayer(outputFile);
        this.waveform = new WaveformView(new WaveformView.Listener() {
            @Override
            public void seek(long f) {
                PracticeWindow.this.seek(f);
            }

            @Override
            public void loopChanged(long a, long b) {
                loop.setByHand(a, b, true);
            }
        });
        transport = new TransportControls(this);
        loop = new LoopControls(this);
        markers = new MarkerControls(this, loop);
        sound = new SoundControls(this);
        trainer = new TrainerControls(this);
        commands = new Commands(this);
        menus = new Menus(this, store, commands);
        frame.setDefaultCloseOperation(JFrame.DO_NOTHING_ON_CLOSE);
        frame.addWindowListener(new WindowAdapter() {
            @Override
            public void windowClosing(WindowEvent e) {
                close();
            }
        });
        frame.setJMenuBar(menus.bar());
        JPanel top = new JPanel(new BorderLayout(8, 0));
        top.setBorder(BorderFactory.createEmptyBorder(4, 8, 4, 8));
        position.setFont(position.getFont().deriveFont(Font.BOLD));
        // One line that never wraps: the words at their width, the meter taking what is left.
        top.add(new Controls.Line().add(position).gap().add(tempoLabel).gap().add(keyLabel).gap().add(noteLabel)
                .gap().stretch(meterView).done(), BorderLayout.CENTER);
        JPanel wave = new JPanel(new BorderLayout());
        wave.add(waveform, BorderLayout.CENTER);
        wave.add(scrollBar, BorderLayout.SOUTH);
        scrollBar.setVisible(false);
        scrollBar.setFocusable(false);
        scrollBar.addAdjustmentListener(e -> {
            if (!viewing) {
                long from = (long) scrollBar.getValue() * scrollUnit;
                waveform.scroll(from - waveform.viewFrom());
            }
        });
        waveform.onViewChanged(this::showView);
        JPanel centre = new JPanel(new BorderLayout(0, 3));
        centre.add(wave, BorderLayout.CENTER);
        centre.add(keyboard, BorderLayout.SOUTH);
        Controls.byKeyboard(tabs);
        tabs.addTab("Loop", loop.panel());
        tabs.addTab("Markers", markers.panel());
        tabs.addTab("Trainer", trainer.panel());
        tabs.addTab("Sound", sound.panel());
        JPanel bottom = new JPanel(new BorderLayout());
        bottom.add(transport.bar(loop.loopBox), BorderLayout.NORTH);
        bottom.add(tabs, BorderLayout.CENTER);
        bottom.add(messages.line(), BorderLayout.SOUTH);
        JPanel root = new JPanel(new BorderLayout());
        root.add(top, BorderLayout.NORTH);
        root.add(centre, BorderLayout.CENTER);
        root.add(bottom, BorderLayout.SOUTH);
        frame.setContentPane(root);
        root.setTransferHandler(new DropHandler());
        waveform.setTransferHandler(root.getTransferHandler());
        keys.install();
        place();
        redraw = new Timer(REDRAW_MILLIS, e -> poll());
        setControlsEnabled(false);
        menus.refreshRecent();
    }

    // ---- building the window ----

    private void setControlsEnabled(boolean on) {
        Controls.enableAll(tabs, on);
        Controls.enableAll(transport.bar, on);
        if (on) {
            trainerChanged();
        }
    }

    /** The smallest window that shows every control, and the size a window opens at where the screen has room. */
    static final Dimension SMALLEST = new Dimension(800, 500);
    static final Dimension OPENS_AT = new Dimension(1000, 680);

    /**
     * Sizes and places the window within the screen's usable area (the
     * screen less its panels, in the units the desktop's scaling leaves):
     * a screen smaller than the window, or one scaled up, gets a window that
     * fits it, never one whose controls lie off the screen. A large screen
     * gets a larger window. Placed by the window rather than by the window
     * manager, so that it opens centred where it fits.
     */
    private void place() {
        java.awt.Rectangle u = Screens.usable(frame.getGraphicsConfiguration());
        int width = Math.min(u.width, Math.max(OPENS_AT.width, Math.min(1400, u.width * 3 / 4)));
        int height = Math.min(u.height, Math.max(OPENS_AT.height, Math.min(900, u.height * 4 / 5)));
        frame.setMinimumSize(new Dimension(Math.min(SMALLEST.width, u.width), Math.min(SMALLEST.height, u.height)));
        frame.setBounds(u.x + (u.width - width) / 2, u.y + (u.height - height) / 2, width, height);
        if (width == u.width || height == u.height) {
            // As large as the screen: the window manager fits it, its frame and title included.
            frame.setExtendedState(JFrame.MAXIMIZED_BOTH);
        }
    }

    // ---- showing and closing ----

    /** Shows the window, opening {@code file} when not null. */
    public void show(Path file) {
        frame.setVisible(true);
        focusHome();
        redraw.start();
        String noOutput = player.probe();
        if (noOutput != null) {
            status(noOutput);
        }
        if (file != null) {
            open(file);
        }
    }

    /** Blocks until the window is closed. */
    public void awaitClose() throws InterruptedException {
        closed.await();
    }

    JFrame frame() {
        return frame;
    }

    boolean isClosed() {
        return closed.getCount() == 0;
    }

    void close() {
        if (isClosed()) {
            return;
        }
        saveSong();
        exporter.cancelAndWait();
        stopEngine();
        redraw.stop();
        try {
            player.close();
        } catch (CliException e) {
            Messages.error(frame, "tambrino", e.getMessage());
        }
        if (summary != null) {
            summary.cancel();
        }
        keys.uninstall();
        frame.dispose();
        closed.countDown();
    }

    void status(String text) {
        messages.status(text);
    }

    String statusText() {
        return messages.statusText();
    }

    Messages messages() {
        return messages;
    }

    void showMessages() {
        messages.showHistory();
    }

    /** The Help window (made when first asked for). */
    HelpWindow help() {
        if (help == null) {
            help = new HelpWindow(frame, commands);
        }
        return help;
    }

    void showAbout() {
        AboutBox.show(frame);
    }

    void showHelp() {
        help().show(frame);
    }

    // ---- opening a song ----

    void chooseFile() {
        JFileChooser fc = new JFileChooser(song != null ? song.path.getParent().toFile() : null);
        fc.setDialogTitle("Open a song");
        if (fc.showOpenDialog(frame) == JFileChooser.APPROVE_OPTION) {
            open(fc.getSelectedFile().toPath());
        }
    }

    /** Reads the song on a thread of its own; the window takes it when it is read. */
    CompletableFuture<Void> open(Path file) {
        status("opening " + file.getFileName() + "\u2026");
        CompletableFuture<Void> done = new CompletableFuture<>();
        Thread t = new Thread(() -> {
            try {
                Song s = Song.read(file);
                SwingUtilities.invokeLater(() -> {
                    if (isClosed()) {
                        // Closed while the song was read: nothing more to do with it.
                        done.cancel(false);
                        return;
                    }
                    try {
                        take(s);
                        done.complete(null);
                    } catch (RuntimeException e) {
                        failed(file, e);
                        done.completeExceptionally(e);
                    }
                });
            } catch (RuntimeException | IOException | OutOfMemoryError e) {
                SwingUtilities.invokeLater(() -> {
                    failed(file, e);
                    done.completeExceptionally(e);
                });
            }
        }, "tambrino-open");
        t.setDaemon(true);
        t.start();
        return done;
    }

    private void failed(Path file, Throwable e) {
        String why = e instanceof OutOfMemoryError ? file + " is too long to hold in memory"
                : e.getMessage() != null ? e.getMessage() : e.toString();
        status("cannot open " + file.getFileName() + ": " + why);
        if (frame.isShowing() && !quiet) {
            Messages.error(frame, "Cannot open " + file.getFileName(), why);
        }
    }

    private void take(Song s) {
        saveSong();
        stopEngine();
        if (summary != null) {
            summary.cancel();
        }
        song = s;
        frame.setTitle(s.name + " \u2014 tambrino");
        summary = new WaveformSummary(s.pcm, s.channels);
        summaryShown = false;
        Thread t = new Thread(summary, "tambrino-waveform");
        t.setDaemon(true);
        t.setPriority(Thread.MIN_PRIORITY);
        t.start();
        waveform.setSong(summary, s.frames(), s.sampleRate);
        java.util.Arrays.fill(spectrum, 0f);
        keyboard.setSpectrum(spectrum);
        meterView.setLevel(0, false, false);
        markers.set(List.of());
        loop.clear();
        trainer.reset();
        try {
            store.addRecent(s.path);
        } catch (IOException e) {
            // The recent list is a convenience: the song opens without it.
        }
        menus.refreshRecent();
        SongStore.Loaded kept = store.load(s.key);
        String note = s.warning != null ? "warning: " + s.warning : "";
        if (kept.problem != null) {
            note = kept.problem;
        }
        startEngine(0, null, false);
        apply(SongSettings.of(kept.values, s.sampleRate, s.frames()));
        history.clear();
        setControlsEnabled(true);
        String noOutput = player.noOutput();
        status(note.isEmpty() ? s.name + ": " + s.description + (noOutput != null ? " \u2014 " + noOutput : "")
                : note);
    }

    // ---- the engine ----

    private Settings settingsFor(Song s, double tempo) {
        Settings.Builder b = new Settings.Builder();
        b.channels = s.channels;
        b.sampleRate = s.sampleRate;
        b.tempo = tempo;
        b.quality = sound.quality();
        return b.build();
    }

    /**
     * Starts an engine on the song from input frame {@code from}, playing the
     * passage {@code passage} (null: the whole song) with the trainer, paused
     * unless {@code play}; the sound settings of the controls are applied.
     */
    void startEngine(long from, Passage passage, boolean play) {
        stopEngine();
        Song s = song;
        double tempo = tempoChosen;
        Settings settings = settingsFor(s, passage != null && passage.trainer != null ? passage.trainer.from : tempo);
        Passage p = passage != null ? passage : Passage.of(s.name, null, null, null, s.frames(), s.sampleRate);
        String refused = player.start(s, settings, p, play);
        if (refused != null) {
            status(refused);
            return;
        }
        Playback playback = player.playback();
        // The engine takes the settings as they are: nothing changes that would be kept or undone.
        boolean was = restoring;
        restoring = true;
        try {
            sound.apply();
        } finally {
            restoring = was;
        }
        applyLoopGap();
        if (loop.hasLoop() && loop.on() && passage == null) {
            playback.setLoop(loop.a(), loop.b());
        }
        if (from > 0) {
            playback.seek(from);
        }
        player.stream();
        lastHeard = 0;
        failureShown = false;
        transport.updatePlayButton(playback);
    }

    private void stopEngine() {
        String failed = player.stop();
        if (failed != null) {
            status(failed);
        }
    }

    // ---- what the controls do ----

    Playback playback() {
        return player.playback();
    }

    Song song() {
        return song;
    }

    LoopControls loopControls() {
        return loop;
    }

    boolean trainerRunning() {
        return trainer.running();
    }

    void togglePause() {
        Playback p = player.playback();
        if (p == null) {
            return;
        }
        if (!player.streaming()) {
            String noOutput = player.noOutput();
            status(noOutput != null ? noOutput : "nothing to play");
            return;
        }
        p.togglePause();
        transport.updatePlayButton(p);
    }

    void seek(long f) {
        Playback p = player.playback();
        if (p != null) {
            p.seek(f);
            seekTarget = p.transport().clamp(f);
            seekNanos = System.nanoTime();
            waveform.setPlayhead(seekTarget);
        }
    }

    /**
     * Moves by {@code seconds} from what is shown: paused, where the
     * playhead stands (a seek's target, which nothing heard has moved);
     * playing, from what is heard, or from a seek's target until the music
     * there is heard (keys pressed in quick succession add up).
     */
    void seekBy(double seconds) {
        Playback p = player.playback();
        if (p == null) {
            return;
        }
        long from;
        if (System.nanoTime() - seekNanos < SEEK_SETTLES_NANOS) {
            from = seekTarget;
        } else if (p.paused() || !player.streaming()) {
            from = waveform.playhead();
        } else {
            from = p.heardFrame();
        }
        seek(from + Math.round(seconds * song.sampleRate));
    }

    void toLoopStart() {
        if (loop.a() >= 0) {
            seek(loop.a());
        } else {
            seek(0);
        }
    }

    void setTempoPercent(double percent) {
        Playback p = player.playback();
        if (p == null || trainer.running()) {
            return;
        }
        tempoChosen = p.setTempo(Math.max(25, Math.min(200, percent)) / 100.0);
        showTempo(tempoChosen);
        applyLoopGap();
        saveSongSoon();
    }

    void stepTempo(int percent) {
        setTempoPercent(Math.rint(tempoChosen * 100) + percent);
    }

    /** A tempo typed as a percentage ("75", "75 %", "87,5"). */
    void typeTempo(String typed) {
        String text = typed.trim().replace("%", "").trim().replace(',', '.');
        try {
            double v = Double.parseDouble(text);
            if (!(v >= 25 && v <= 200)) {
                throw new NumberFormatException();
            }
            setTempoPercent(v);
            status("");
        } catch (NumberFormatException e) {
            status("tempo: type a percentage from 25 to 200, such as 75");
            showTempo(tempoChosen);
        }
    }

    /** The tempo chosen for the song (the trainer's passes aside). */
    double tempo() {
        return tempoChosen;
    }

    void showTempo(double t) {
        transport.showTempo(t);
    }

    /** The gap between the loop's repeats into the engine, in input frames at the tempo. */
    void applyLoopGap() {
        Playback p = player.playback();
        if (p != null && song != null) {
            p.transport().setLoopGap(Math.round(loop.gapSeconds() * song.sampleRate * tempoChosen));
        }
    }

    /** The trainer started or stopped: the tempo's controls are its while it runs. */
    void trainerChanged() {
        transport.setTempoEnabled(song != null && !trainer.running());
        commands.refresh();
    }

    void toggleTrainer() {
        trainer.toggle();
    }

    void transpose(int semitones, int cents) {
        sound.transpose(semitones, cents);
    }

    void toggleVoice() {
        sound.toggleVoice();
    }

    void toggleMono() {
        sound.toggleMono();
    }

    void toggleQuality() {
        sound.toggleQuality();
    }

    boolean voiceOn() {
        return sound.voiceBox.isSelected();
    }

    boolean monoOn() {
        return sound.monoBox.isSelected();
    }

    boolean exactOn() {
        return sound.quality() == Quality.EXACT;
    }

    void addMarkerHere() {
        markers.addHere();
    }

    void keepLoop() {
        markers.keepLoop();
    }

    void goToMarker(int i) {
        markers.goTo(i);
    }

    int markerCount() {
        return markers.count();
    }

    void setLoop(long a, long b, boolean on) {
        loop.set(a, b, on);
    }

    void startTrainer(double from, double to, double step) {
        trainer.start(from, to, step);
    }

    void addMark(Mark m) {
        markers.add(m);
    }

    List<Mark> marks() {
        return markers.marks();
    }

    // ---- keys ----

    /** The scroll bar shows the part of the song the waveform shows. */
    private void showView() {
        viewing = true;
        try {
            long frames = waveform.frames();
            scrollUnit = Math.max(1, frames / 1_000_000_000L + 1);
            int length = (int) Math.max(1, (waveform.viewTo() - waveform.viewFrom()) / scrollUnit);
            scrollBar.setValues((int) (waveform.viewFrom() / scrollUnit), length, 0, (int) (frames / scrollUnit));
            scrollBar.setBlockIncrement(Math.max(1, length * 9 / 10));
            scrollBar.setUnitIncrement(Math.max(1, length / 10));
            // Only a zoomed view has anywhere to scroll to.
            scrollBar.setVisible(waveform.zoomed());
        } finally {
            viewing = false;
        }
    }

    /** Zooms in ({@code factor} below 1) or out around the playhead when it is in sight, else the middle. */
    void zoom(double factor) {
        long p = waveform.playhead();
        long around = p >= waveform.viewFrom() && p < waveform.viewTo() ? p
                : (waveform.viewFrom() + waveform.viewTo()) / 2;
        waveform.zoom(factor, around);
    }

    /** Scrolls the view by {@code pages} of its width. */
    void scrollView(double pages) {
        waveform.scroll(Math.round(pages * (waveform.viewTo() - waveform.viewFrom())));
    }

    /** Where the keyboard goes back to when a field or a control lets it go: the waveform. */
    Component home() {
        return waveform;
    }

    void focusHome() {
        waveform.requestFocusInWindow();
    }

    Commands commands() {
        return commands;
    }

    /** A key pressed where the shortcuts act; whether it was one of them. */
    boolean keyPressed(int code, char ch) {
        return keyPressed(code, 0, ch);
    }

    boolean keyPressed(int code, int modifiers, char ch) {
        Command c = commands.find(code, modifiers, ch, false);
        if (c == null) {
            return false;
        }
        c.run();
        return true;
    }

    // ---- what is heard, 25 times a second ----

    private void poll() {
        if (summary != null && !summaryShown) {
            // The waveform fills in as its summary comes: drawn whole until it is complete, then once more.
            summaryShown = summary.progress() >= 1;
            waveform.repaint();
        }
        Playback p = player.playback();
        if (p == null || song == null) {
            commands.refresh();
            return;
        }
        long heard = p.heardOutput();
        float level = player.meter().at(heard, spectrum);
        if (p.paused() || p.atEnd() || !player.streaming()) {
            // Nothing is heard: the meter and the keys show silence, not the last block heard.
            level = 0;
            java.util.Arrays.fill(spectrum, 0f);
        }
        boolean clipped = player.meter().clipped(Math.min(lastHeard, heard), heard + 1);
        boolean limited = player.meter().limited(Math.min(lastHeard, heard), heard + 1);
        lastHeard = heard;
        long at = p.heardFrame();
        if (p.paused() || !player.streaming()) {
            // Nothing heard: the playhead stays where a seek put it.
            at = waveform.playhead();
        }
        waveform.setPlayhead(at);
        if (!p.paused() && player.streaming()) {
            waveform.follow(at);
        }
        keyboard.setSpectrum(spectrum);
        meterView.setLevel(level, clipped, limited);
        double rate = song.sampleRate;
        position.setText(Terminal.tenths(at / rate) + " / " + Terminal.tenths(song.frames() / rate));
        double t = p.shownTempo(heard);
        if (trainer.running()) {
            // The trainer's pass sets the tempo: its controls show the one heard.
            transport.showTempo(t);
        }
        tempoLabel.setText(trainer.running()
                ? String.format(Locale.ROOT, "tempo %.1f %%, trainer pass %d of %d", t * 100,
                        p.stretcher().passAt(heard) + 1, p.transport().trainer().passes())
                : String.format(Locale.ROOT, "tempo %.1f %% (\u00d7%.3f)", t * 100, t));
        keyLabel.setText(sound.keyText());
        int loud = KeyboardView.loudest(spectrum);
        boolean none = loud < 0 || p.paused();
        noteLabel.setText(none ? "loudest note: \u2013" : "loudest note: " + KeyboardView.noteName(loud));
        // In words for a screen reader and the tooltip: "D sharp, octave 1".
        String words = none ? "no note" : KeyboardView.noteWords(loud);
        noteLabel.getAccessibleContext().setAccessibleName("loudest note: " + words);
        noteLabel.setToolTipText(words);
        if (p.failure() != null && !failureShown) {
            failureShown = true;
            status("playback stopped: " + p.failure().getMessage());
        }
        String trouble = p.outputTrouble();
        if (trouble != null && !trouble.equals(troubleShown)) {
            status("No sound: " + trouble + ". Playback goes on when the output is back; press Play to try now.");
        } else if (trouble == null && troubleShown != null) {
            status("the audio output is back");
        }
        troubleShown = trouble;
        if (p.atEnd() && trainer.running()) {
            status("trainer finished");
            trainer.stop(0);
        }
        transport.updatePlayButton(player.playback());
        commands.refresh();
    }

    // ---- the song's kept state ----

    private Timer saveTimer;
    private final History history = new History();
    /** The song's state after the last change, from which the next change is told apart. */
    private SongSettings lastState = new SongSettings();

    void saveSongSoon() {
        if (restoring || song == null) {
            return;
        }
        SongSettings now = current();
        history.changed(lastState, now, song.sampleRate);
        lastState = now;
        if (saveTimer == null) {
            saveTimer = new Timer(500, e -> saveSong());
            saveTimer.setRepeats(false);
        }
        saveTimer.restart();
    }

    /** The song's state as the controls show it: what is kept, and what an undo goes back to. */
    private SongSettings current() {
        SongSettings k = new SongSettings();
        k.tempo = tempoChosen;
        sound.save(k);
        trainer.save(k);
        if (loop.hasLoop()) {
            k.loopA = loop.a();
            k.loopB = loop.b();
        }
        k.loopOn = loop.on();
        loop.save(k);
        k.marks.addAll(markers.marks());
        return k;
    }

    void saveSong() {
        if (saveTimer != null) {
            saveTimer.stop();
        }
        if (song == null) {
            return;
        }
        Properties p = current().toProperties(song.sampleRate);
        try {
            store.save(song.key, p);
        } catch (IOException e) {
            status("cannot keep this song's markers and settings in " + store.folder() + ": "
                    + OutputFiles.reason(e));
        }
    }

    /**
     * Sets the controls and the engine to {@code k}: what was kept for the
     * song, or the state an undo or redo goes to. The playhead stays.
     */
    private void apply(SongSettings k) {
        restoring = true;
        try {
            tempoChosen = k.tempo;
            transport.showTempo(k.tempo);
            sound.show(k);
            trainer.show(k);
            loop.show(k);
            markers.set(k.marks);
            Playback playback = player.playback();
            if (playback != null) {
                playback.setQuality(k.exact ? Quality.EXACT : Quality.FINE);
                if (!trainer.running()) {
                    tempoChosen = playback.setTempo(k.tempo);
                }
                showTempo(tempoChosen);
                sound.apply();
                applyLoopGap();
            }
            if (k.loopA >= 0) {
                loop.set(k.loopA, k.loopB, k.loopOn);
            } else {
                loop.remove();
            }
        } finally {
            restoring = false;
        }
        lastState = current();
    }

    void undo() {
        step(true);
    }

    void redo() {
        step(false);
    }

    /** Back to the state before the last change ({@code back}), or forth to the one taken back. */
    private void step(boolean back) {
        if (song == null || !(back ? history.canUndo() : history.canRedo())) {
            return;
        }
        String what = back ? history.undoName() : history.redoName();
        apply(back ? history.undo(current()) : history.redo(current()));
        saveSong();
        status((back ? "undone: " : "redone: ") + what);
    }

    History history() {
        return history;
    }

    // ---- export ----

    /** The window's settings for an export. */
    private Settings.Builder exportSettings() {
        Settings.Builder b = new Settings.Builder();
        b.channels = song.channels;
        b.sampleRate = song.sampleRate;
        b.tempo = tempoChosen;
        sound.into(b);
        b.spectrum = false;
        return b;
    }

    void chooseExport(boolean loopOnly) {
        if (song == null) {
            status("open a song first");
            return;
        }
        exporter.choose(loopOnly, exportSettings());
    }

    /**
     * Writes the loop or the song, with the current settings, to {@code target}
     * through the same stretch as the command line, with a progress bar and a
     * Cancel button. The export has an engine of its own, so the song plays
     * on while it is written.
     */
    CompletableFuture<String> export(Path target, boolean loopOnly, Consumer<JDialog> shown) {
        return exporter.export(target, loopOnly, exportSettings(), shown);
    }

    // ---- dropping a file on the window ----

    private final class DropHandler extends TransferHandler {
        @Override
        public boolean canImport(TransferSupport support) {
            return support.isDataFlavorSupported(DataFlavor.javaFileListFlavor);
        }

        @Override
        public boolean importData(TransferSupport support) {
            try {
                @SuppressWarnings("unchecked")
                List<File> files = (List<File>) support.getTransferable()
                        .getTransferData(DataFlavor.javaFileListFlavor);
                if (files.isEmpty()) {
                    return false;
                }
                open(files.get(0).toPath());
                return true;
            } catch (java.awt.datatransfer.UnsupportedFlavorException | IOException e) {
                status("cannot take what was dropped: " + e.getMessage());
                return false;
            }
        }
    }

    // ---- for tests and scripts ----

    WaveformView waveform() {
        return waveform;
    }

    KeyboardView keyboard() {
        return keyboard;
    }

    float meterLevel() {
        return meterView.level();
    }

    String noteText() {
        return noteLabel.getText();
    }

    String keyText() {
        return keyLabel.getText();
    }

    String positionText() {
        return position.getText();
    }

    javax.swing.JScrollBar scrollBar() {
        return scrollBar;
    }

    TransportControls transportControls() {
        return transport;
    }

    JTabbedPane tabs() {
        return tabs;
    }

    MarkerControls markerControls() {
        return markers;
    }

    TrainerControls trainerControls() {
        return trainer;
    }

    SoundControls soundControls() {
        return sound;
    }

    long[] loop() {
        return loop.hasLoop() ? new long[] {loop.a(), loop.b()} : null;
    }
}
