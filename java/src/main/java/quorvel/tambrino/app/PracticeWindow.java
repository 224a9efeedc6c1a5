package quorvel.tambrino.app;

import java.awt.BorderLayout;
import java.awt.Component;
import java.awt.Dimension;
import java.awt.FlowLayout;
import java.awt.Font;
import java.awt.GridLayout;
import java.awt.KeyboardFocusManager;
import java.awt.datatransfer.DataFlavor;
import java.awt.event.KeyEvent;
import java.awt.event.WindowAdapter;
import java.awt.event.WindowEvent;
import java.io.File;
import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Properties;
import java.util.concurrent.CancellationException;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CountDownLatch;
import java.util.function.Consumer;
import javax.sound.sampled.AudioFormat;
import javax.swing.AbstractAction;
import javax.swing.BorderFactory;
import javax.swing.Box;
import javax.swing.BoxLayout;
import javax.swing.DefaultListModel;
import javax.swing.JButton;
import javax.swing.JCheckBox;
import javax.swing.JComboBox;
import javax.swing.JComponent;
import javax.swing.JDialog;
import javax.swing.JFileChooser;
import javax.swing.JFrame;
import javax.swing.JLabel;
import javax.swing.JList;
import javax.swing.JMenu;
import javax.swing.JMenuBar;
import javax.swing.JMenuItem;
import javax.swing.JOptionPane;
import javax.swing.JPanel;
import javax.swing.JProgressBar;
import javax.swing.JScrollPane;
import javax.swing.JSlider;
import javax.swing.JSpinner;
import javax.swing.JTabbedPane;
import javax.swing.JTextField;
import javax.swing.KeyStroke;
import javax.swing.SpinnerNumberModel;
import javax.swing.SwingUtilities;
import javax.swing.Timer;
import javax.swing.TransferHandler;
import javax.swing.filechooser.FileNameExtensionFilter;
import javax.swing.text.JTextComponent;
import quorvel.tambrino.EqualizerCurve;
import quorvel.tambrino.Quality;
import quorvel.tambrino.Session;
import quorvel.tambrino.audio.AudioSink;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.FileSink;
import quorvel.tambrino.audio.InputFile;
import quorvel.tambrino.audio.OutputFiles;
import quorvel.tambrino.practice.EqCurve;
import quorvel.tambrino.practice.Meter;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.SongSettings;
import quorvel.tambrino.practice.SongSettings.Mark;
import quorvel.tambrino.practice.SongStore;
import quorvel.tambrino.practice.StretchJob;
import quorvel.tambrino.practice.Stretcher;
import quorvel.tambrino.practice.Terminal;
import quorvel.tambrino.practice.Transport;

/**
 * The practice window: the song's waveform with the loop and markers, the
 * spectrum as a keyboard, the meter, and the controls of the transport,
 * tempo, trainer and sound. The music streams on a thread of its own
 * through {@link Playback}; the window only sets values and polls what is
 * heard, 25 times a second, so neither a slow repaint nor a resize reaches
 * the sound. Everything here runs on the event dispatch thread except the
 * reading of a song and an export, which run on threads of their own and
 * come back through {@link SwingUtilities#invokeLater}.
 */
public final class PracticeWindow {
    static final int REDRAW_MILLIS = 40;
    /** No modal dialogs (scripts and tests drive the window); what they would say is on the status line. */
    static final boolean QUIET = Boolean.getBoolean("tambrino.app.quiet");
    private static final double NUDGE_SECONDS = 0.05;

    private final JFrame frame = new JFrame("tambrino");
    private final Path outputFile;
    private final SongStore store;
    private final CountDownLatch closed = new CountDownLatch(1);

    private final WaveformView waveform;
    private final KeyboardView keyboard = new KeyboardView();
    private final MeterView meterView = new MeterView();
    private final JLabel position = new JLabel("0:00.0 / 0:00.0");
    private final JLabel tempoLabel = new JLabel("tempo 100 % (\u00d71.00)");
    private final JLabel noteLabel = new JLabel("loudest note: \u2013");
    private final JLabel status = new JLabel(" ");
    private final JButton playButton = new JButton("Play");
    private final JCheckBox loopBox = new JCheckBox("Loop");
    private final JSlider tempoSlider = new JSlider(25, 200, 100);
    private final JTextField tempoField = new JTextField("100", 4);
    private final JTextField trainerFrom = new JTextField("60", 3);
    private final JTextField trainerTo = new JTextField("100", 3);
    private final JTextField trainerStep = new JTextField("10", 3);
    private final JButton trainerButton = new JButton("Start trainer");
    private final JCheckBox voiceBox = new JCheckBox("Voice removal");
    private final JSlider voiceAmount = new JSlider(0, 100, 100);
    private final JCheckBox monoBox = new JCheckBox("Mono");
    private final JSlider panSlider = new JSlider(0, 100, 50);
    private final JSlider preampSlider = new JSlider(-12, 12, 0);
    private final JSlider bassSlider = new JSlider(-12, 12, 0);
    private final JSlider middleSlider = new JSlider(-12, 12, 0);
    private final JSlider trebleSlider = new JSlider(-12, 12, 0);
    private final JComboBox<String> qualityBox = new JComboBox<>(new String[] {"fine", "exact"});
    private final JSpinner semitones = new JSpinner(new SpinnerNumberModel(0, -12, 12, 1));
    private final JSpinner cents = new JSpinner(new SpinnerNumberModel(0, -50, 50, 1));
    private final DefaultListModel<String> markerModel = new DefaultListModel<>();
    private final JList<String> markerList = new JList<>(markerModel);
    private final JMenu recentMenu = new JMenu("Open recent");
    private final Timer redraw;

    /** Set while the controls are being set from the song's state: their listeners act only on the user's changes. */
    private boolean updating;

    private Song song;
    /** The output, opened for the song's format; kept across engines. */
    private AudioSink output;
    private AudioFormat outputFormat;
    private String noOutput;
    private Playback playback;
    private Thread streaming;
    private Stretcher stretcher;
    private Meter meter;
    private boolean trainerRunning;
    private boolean failureShown;
    /** The export running, or null; {@link #close()} cancels it and waits for it. */
    private Thread exportThread;
    private volatile boolean exportCancelled;
    private long loopA = -1;
    private long loopB = -1;
    private final List<Mark> marks = new ArrayList<>();
    private long lastHeard;
    private final float[] spectrum = new float[Session.NOTES];
    private WaveformSummary summary;
    private boolean summaryShown;

    /** A song read into memory. */
    static final class Song {
        final Path path;
        final String name;
        final short[] pcm;
        final int channels;
        final int sampleRate;
        final String description;
        final String key;
        final String warning;

        Song(Path path, short[] pcm, int channels, int sampleRate, String description, String key, String warning) {
            this.path = path;
            this.name = path.getFileName().toString();
            this.pcm = pcm;
            this.channels = channels;
            this.sampleRate = sampleRate;
            this.description = description;
            this.key = key;
            this.warning = warning;
        }

        long frames() {
            return pcm.length / channels;
        }
    }

    public PracticeWindow(Path outputFile, SongStore store) {
        this.outputFile = outputFile;
        this.store = store;
        this.waveform = new WaveformView(new WaveformView.Listener() {
            @Override
            public void seek(long f) {
                PracticeWindow.this.seek(f);
            }

            @Override
            public void loopChanged(long a, long b) {
                setLoop(a, b, true);
            }
        });
        frame.setDefaultCloseOperation(JFrame.DO_NOTHING_ON_CLOSE);
        frame.addWindowListener(new WindowAdapter() {
            @Override
            public void windowClosing(WindowEvent e) {
                close();
            }
        });
        frame.setJMenuBar(menus());
        JPanel top = new JPanel(new BorderLayout(8, 0));
        top.setBorder(BorderFactory.createEmptyBorder(4, 8, 4, 8));
        JPanel info = new JPanel(new FlowLayout(FlowLayout.LEFT, 12, 0));
        position.setFont(position.getFont().deriveFont(Font.BOLD));
        info.add(position);
        info.add(tempoLabel);
        info.add(noteLabel);
        top.add(info, BorderLayout.CENTER);
        top.add(meterView, BorderLayout.EAST);
        JPanel centre = new JPanel(new BorderLayout(0, 3));
        centre.add(waveform, BorderLayout.CENTER);
        centre.add(keyboard, BorderLayout.SOUTH);
        JTabbedPane tabs = new JTabbedPane();
        tabs.addTab("Play", playTab());
        tabs.addTab("Sound", soundTab());
        tabs.addTab("Markers", markersTab());
        tabs.addTab("Keys", keysTab());
        JPanel bottom = new JPanel(new BorderLayout());
        bottom.add(tabs, BorderLayout.CENTER);
        status.setBorder(BorderFactory.createEmptyBorder(2, 8, 2, 8));
        bottom.add(status, BorderLayout.SOUTH);
        JPanel root = new JPanel(new BorderLayout());
        root.add(top, BorderLayout.NORTH);
        root.add(centre, BorderLayout.CENTER);
        root.add(bottom, BorderLayout.SOUTH);
        frame.setContentPane(root);
        root.setTransferHandler(new DropHandler());
        waveform.setTransferHandler(root.getTransferHandler());
        KeyboardFocusManager.getCurrentKeyboardFocusManager().addKeyEventDispatcher(this::key);
        frame.setMinimumSize(new Dimension(800, 500));
        frame.setSize(1000, 680);
        frame.setLocationByPlatform(true);
        redraw = new Timer(REDRAW_MILLIS, e -> poll());
        setControlsEnabled(false);
        refreshRecent();
    }

    // ---- building the window ----

    private JMenuBar menus() {
        JMenuBar bar = new JMenuBar();
        JMenu file = new JMenu("File");
        file.setMnemonic('F');
        file.add(item("Open\u2026", KeyStroke.getKeyStroke(KeyEvent.VK_O, KeyEvent.CTRL_DOWN_MASK), this::chooseFile));
        file.add(recentMenu);
        file.addSeparator();
        file.add(item("Export the loop\u2026", null, () -> chooseExport(true)));
        file.add(item("Export the whole song\u2026", KeyStroke.getKeyStroke(KeyEvent.VK_E, KeyEvent.CTRL_DOWN_MASK),
                () -> chooseExport(false)));
        file.addSeparator();
        file.add(item("Quit", KeyStroke.getKeyStroke(KeyEvent.VK_Q, KeyEvent.CTRL_DOWN_MASK), this::close));
        bar.add(file);
        return bar;
    }

    private static JMenuItem item(String name, KeyStroke key, Runnable action) {
        JMenuItem i = new JMenuItem(new AbstractAction(name) {
            @Override
            public void actionPerformed(java.awt.event.ActionEvent e) {
                action.run();
            }
        });
        if (key != null) {
            i.setAccelerator(key);
        }
        return i;
    }

    private static JButton button(String text, String tip, Runnable action) {
        JButton b = new JButton(text);
        b.setToolTipText(tip);
        b.setFocusable(false);
        b.addActionListener(e -> action.run());
        return b;
    }

    private static JPanel row(Component... cs) {
        JPanel p = new JPanel(new FlowLayout(FlowLayout.LEFT, 6, 2));
        for (Component c : cs) {
            p.add(c);
        }
        return p;
    }

    private JComponent playTab() {
        playButton.setFocusable(false);
        playButton.addActionListener(e -> togglePause());
        loopBox.setFocusable(false);
        loopBox.addActionListener(e -> {
            if (!updating) {
                setLoopOn(loopBox.isSelected());
            }
        });
        tempoSlider.setFocusable(false);
        tempoSlider.setMajorTickSpacing(25);
        tempoSlider.setPaintTicks(true);
        tempoSlider.setPreferredSize(new Dimension(260, tempoSlider.getPreferredSize().height));
        tempoSlider.addChangeListener(e -> {
            if (!updating && !tempoSlider.getValueIsAdjusting()) {
                setTempoPercent(tempoSlider.getValue());
            }
        });
        tempoField.addActionListener(e -> typedTempo());
        tempoField.setToolTipText("Type a tempo in percent (25 to 200) and press Enter");
        trainerButton.setFocusable(false);
        trainerButton.addActionListener(e -> toggleTrainer());
        semitones.setToolTipText("Change the key by semitones, the tempo kept (fine quality)");
        cents.setToolTipText("Fine-tune the pitch in cents (fine quality)");
        semitones.addChangeListener(e -> applySound());
        cents.addChangeListener(e -> applySound());
        JPanel p = new JPanel();
        p.setLayout(new BoxLayout(p, BoxLayout.Y_AXIS));
        p.add(row(playButton, button("To loop start", "Jump to the loop's start ([ ] set it)", this::toLoopStart),
                button("\u2212 5 s", "Back 5 seconds (\u2190)", () -> seekBy(-Playback.SEEK_SECONDS)),
                button("+ 5 s", "On 5 seconds (\u2192)", () -> seekBy(Playback.SEEK_SECONDS)), loopBox));
        p.add(row(new JLabel("Tempo %"), tempoSlider, tempoField,
                button("\u22125", "5 % slower", () -> stepTempo(-5)),
                button("\u22121", "1 % slower", () -> stepTempo(-1)),
                button("+1", "1 % faster", () -> stepTempo(1)), button("+5", "5 % faster", () -> stepTempo(5))));
        p.add(row(new JLabel("Trainer from %"), trainerFrom, new JLabel("to %"), trainerTo, new JLabel("step %"),
                trainerStep, trainerButton, Box.createHorizontalStrut(12), new JLabel("Transpose"), semitones,
                new JLabel("st"), cents, new JLabel("ct")));
        return p;
    }

    private JComponent soundTab() {
        voiceBox.setFocusable(false);
        monoBox.setFocusable(false);
        for (JSlider s : new JSlider[] {voiceAmount, panSlider, preampSlider, bassSlider, middleSlider, trebleSlider}) {
            s.setFocusable(false);
            s.setPreferredSize(new Dimension(120, s.getPreferredSize().height));
            s.addChangeListener(e -> {
                if (!updating && !s.getValueIsAdjusting()) {
                    applySound();
                }
            });
        }
        voiceBox.addActionListener(e -> applySound());
        monoBox.addActionListener(e -> applySound());
        qualityBox.setFocusable(false);
        qualityBox.addActionListener(e -> {
            if (!updating) {
                applyQuality();
            }
        });
        JPanel p = new JPanel(new GridLayout(0, 1));
        p.add(row(voiceBox, new JLabel("amount"), voiceAmount, monoBox, new JLabel("pan L"), panSlider,
                new JLabel("R")));
        p.add(row(new JLabel("Preamp dB"), preampSlider, new JLabel("Bass"), bassSlider, new JLabel("Middle"),
                middleSlider, new JLabel("Treble"), trebleSlider));
        p.add(row(new JLabel("Quality"), qualityBox,
                new JLabel("fine: smoothest sound; exact: the same result bit for bit on every machine")));
        return p;
    }

    private JComponent markersTab() {
        markerList.setVisibleRowCount(4);
        markerList.setFocusable(false);
        markerList.addMouseListener(new java.awt.event.MouseAdapter() {
            @Override
            public void mouseClicked(java.awt.event.MouseEvent e) {
                if (e.getClickCount() == 2) {
                    goToMark();
                }
            }
        });
        JPanel buttons = new JPanel(new GridLayout(0, 4, 4, 2));
        buttons.add(button("Add marker", "A named marker where the music is", this::addMarker));
        buttons.add(button("Save loop", "Keep the loop under a name", this::saveLoop));
        buttons.add(button("Go", "Go to the marker, or loop the saved loop", this::goToMark));
        buttons.add(button("Delete", "Delete the marker or saved loop", this::deleteMark));
        buttons.add(button("A \u25c2", "Move the loop's start earlier", () -> nudge(true, -NUDGE_SECONDS)));
        buttons.add(button("A \u25b8", "Move the loop's start later", () -> nudge(true, NUDGE_SECONDS)));
        buttons.add(button("B \u25c2", "Move the loop's end earlier", () -> nudge(false, -NUDGE_SECONDS)));
        buttons.add(button("B \u25b8", "Move the loop's end later", () -> nudge(false, NUDGE_SECONDS)));
        buttons.add(button("Zoom to loop", "Show the loop across the whole waveform", this::zoomToLoop));
        buttons.add(button("Whole song", "Show the whole song", () -> waveform.setView(0, 0)));
        JPanel p = new JPanel(new BorderLayout(8, 0));
        p.add(new JScrollPane(markerList), BorderLayout.CENTER);
        p.add(buttons, BorderLayout.EAST);
        return p;
    }

    private JComponent keysTab() {
        String[] keys = {"Space", "play / pause", "\u2190 / \u2192", "5 s back / on",
            "\u2191 / \u2193", "tempo + / \u2212 5 %", "[  /  ]", "loop start / end here (] jumps back)",
            "\\", "loop off (it is kept)", "v  /  m  /  f", "voice removal / mono / fine or exact",
            "Ctrl+O  /  Ctrl+E", "open / export", "Ctrl+Q", "quit",
            "click / drag", "go there / choose a loop", "drag a handle", "move the loop's end"};
        JPanel p = new JPanel(new GridLayout(0, 4, 10, 2));
        p.setBorder(BorderFactory.createEmptyBorder(4, 8, 4, 8));
        for (int i = 0; i < keys.length; i++) {
            JLabel l = new JLabel(keys[i]);
            if (i % 2 == 0) {
                l.setFont(l.getFont().deriveFont(Font.BOLD));
                l.setHorizontalAlignment(JLabel.RIGHT);
            }
            p.add(l);
        }
        return p;
    }

    private void setControlsEnabled(boolean on) {
        for (JComponent c : new JComponent[] {playButton, loopBox, tempoSlider, tempoField, trainerButton, voiceBox,
            voiceAmount, monoBox, panSlider, preampSlider, bassSlider, middleSlider, trebleSlider, qualityBox}) {
            c.setEnabled(on);
        }
    }

    // ---- showing and closing ----

    /** Shows the window, opening {@code file} when not null. */
    public void show(Path file) {
        frame.setVisible(true);
        redraw.start();
        if (outputFile == null) {
            try {
                AudioSink probe = AudioSink.openDefaultLine(new AudioFormat(44100, 16, 2, true, false));
                probe.close();
            } catch (CliException e) {
                noOutput = "No audio output on this machine: start the app with --output-file FILE.wav to hear"
                        + " into a file, or use File \u25b8 Export to write the song at this tempo";
                status(noOutput);
            }
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

    void close() {
        if (closed.getCount() == 0) {
            return;
        }
        saveSong();
        if (exportThread != null) {
            exportCancelled = true;
            try {
                exportThread.join(10_000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        stopEngine();
        redraw.stop();
        if (output != null) {
            try {
                output.close();
            } catch (CliException e) {
                JOptionPane.showMessageDialog(frame, e.getMessage(), "tambrino", JOptionPane.ERROR_MESSAGE);
            }
            output = null;
        }
        if (summary != null) {
            summary.cancel();
        }
        frame.dispose();
        closed.countDown();
    }

    void status(String text) {
        status.setText(text == null || text.isEmpty() ? " " : text);
    }

    String statusText() {
        return status.getText();
    }

    // ---- opening a song ----

    private void chooseFile() {
        JFileChooser fc = new JFileChooser(song != null ? song.path.getParent().toFile() : null);
        fc.setDialogTitle("Open a song");
        if (fc.showOpenDialog(frame) == JFileChooser.APPROVE_OPTION) {
            open(fc.getSelectedFile().toPath());
        }
    }

    private void refreshRecent() {
        recentMenu.removeAll();
        for (Path p : store.recent()) {
            recentMenu.add(item(p.getFileName().toString(), null, () -> open(p)));
        }
        recentMenu.setEnabled(recentMenu.getItemCount() > 0);
    }

    /** Reads the song on a thread of its own; the window takes it when it is read. */
    CompletableFuture<Void> open(Path file) {
        status("opening " + file.getFileName() + "\u2026");
        CompletableFuture<Void> done = new CompletableFuture<>();
        Thread t = new Thread(() -> {
            try {
                Song s = read(file);
                SwingUtilities.invokeLater(() -> {
                    if (closed.getCount() == 0) {
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
        if (frame.isShowing() && !QUIET) {
            JOptionPane.showMessageDialog(frame, why, "Cannot open " + file.getFileName(), JOptionPane.ERROR_MESSAGE);
        }
    }

    private static Song read(Path file) throws IOException {
        String arg = file.toString();
        try (InputFile.Reader in = InputFile.openAudio(arg)) {
            short[] pcm = Transport.readAll(in);
            return new Song(file, pcm, in.channels(), in.sampleRate(), in.description(), SongStore.key(file),
                    in.warning());
        } catch (IOException e) {
            throw new IOException("error while reading " + file + ": " + OutputFiles.reason(e), e);
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
        marks.clear();
        loopA = -1;
        loopB = -1;
        trainerRunning = false;
        trainerButton.setText("Start trainer");
        try {
            store.addRecent(s.path);
        } catch (IOException e) {
            // The recent list is a convenience: the song opens without it.
        }
        refreshRecent();
        SongStore.Loaded kept = store.load(s.key);
        String note = s.warning != null ? "warning: " + s.warning : "";
        if (kept.problem != null) {
            note = kept.problem;
        }
        startEngine(0, null, false);
        restore(kept.values);
        setControlsEnabled(true);
        status(note.isEmpty() ? s.name + ": " + s.description + (noOutput != null ? " \u2014 " + noOutput : "")
                : note);
    }

    // ---- the engine ----

    private Settings settingsFor(Song s, double tempo) {
        Settings.Builder b = new Settings.Builder();
        b.channels = s.channels;
        b.sampleRate = s.sampleRate;
        b.tempo = tempo;
        b.quality = qualityBox.getSelectedIndex() == 1 ? Quality.EXACT : Quality.FINE;
        return b.build();
    }

    /**
     * Starts an engine on the song from input frame {@code from}, playing the
     * passage {@code passage} (null: the whole song) with the trainer, paused
     * unless {@code play}; the sound settings of the controls are applied.
     */
    private void startEngine(long from, Passage passage, boolean play) {
        stopEngine();
        Song s = song;
        double tempo = tempoSlider.getValue() / 100.0;
        Settings settings = settingsFor(s, passage != null && passage.trainer != null ? passage.trainer.from : tempo);
        Passage p = passage != null ? passage : Passage.of(s.name, null, null, null, s.frames(), s.sampleRate);
        Transport transport = new Transport(s.pcm, s.channels, s.sampleRate, p, true);
        meter = new Meter();
        try {
            stretcher = new Stretcher(settings, transport, meter);
        } catch (CliException e) {
            status(e.getMessage());
            return;
        }
        AudioSink out = outputFor(s);
        if (out == null) {
            // No output: the engine is there for the positions and the switches, but nothing streams.
            playback = new Playback(settings, transport, stretcher, new AudioSink() {
                @Override
                public void write(byte[] bytes, int offset, int length) {}

                @Override
                public void drain() {}

                @Override
                public void close() {}
            }, meter, true);
            playback.setPaused(true);
        } else {
            playback = new Playback(settings, transport, stretcher, new RebasedSink(out), meter, true);
            if (!play) {
                playback.setPaused(true);
            }
        }
        applySound();
        if (hasLoop() && loopBox.isSelected() && passage == null) {
            playback.setLoop(loopA, loopB);
        }
        if (from > 0) {
            playback.seek(from);
        }
        if (out != null) {
            streaming = new Thread(playback, "tambrino-playback");
            streaming.setPriority(Thread.MAX_PRIORITY);
            streaming.setDaemon(true);
            streaming.start();
        }
        lastHeard = 0;
        failureShown = false;
        updatePlayButton();
    }

    /** The output for the song's format: opened once, again only when the format changes. */
    private AudioSink outputFor(Song s) {
        AudioFormat f = new AudioFormat(s.sampleRate, 16, s.channels, true, false);
        if (output != null && outputFormat.matches(f)) {
            return output;
        }
        if (output != null) {
            output.close();
            output = null;
        }
        try {
            output = outputFile != null ? new FileSink(outputFile, s.sampleRate, s.channels)
                    : noOutput != null ? null : AudioSink.openDefaultLine(f);
            outputFormat = f;
        } catch (CliException e) {
            noOutput = e.getMessage();
            output = null;
        }
        return output;
    }

    private void stopEngine() {
        if (playback != null) {
            playback.stop();
            if (streaming != null) {
                try {
                    streaming.join(5000);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
            Throwable failure = playback.failure();
            if (failure != null) {
                status("playback stopped: " + failure.getMessage());
            }
        }
        if (stretcher != null) {
            stretcher.close();
        }
        playback = null;
        streaming = null;
        stretcher = null;
    }

    // ---- what the controls do ----

    void togglePause() {
        if (playback == null) {
            return;
        }
        if (streaming == null) {
            status(noOutput != null ? noOutput : "nothing to play");
            return;
        }
        playback.togglePause();
        updatePlayButton();
    }

    private void updatePlayButton() {
        playButton.setText(playback != null && !playback.paused() && !playback.atEnd() ? "Pause" : "Play");
    }

    void seek(long f) {
        if (playback != null) {
            playback.seek(f);
            waveform.setPlayhead(playback.transport().clamp(f));
        }
    }

    void seekBy(double seconds) {
        if (playback != null) {
            playback.seekBy(seconds);
        }
    }

    private void toLoopStart() {
        if (loopA >= 0) {
            seek(loopA);
        } else {
            seek(0);
        }
    }

    void setTempoPercent(double percent) {
        if (playback == null) {
            return;
        }
        double t = playback.setTempo(Math.max(25, Math.min(200, percent)) / 100.0);
        showTempoControls(t);
        saveSongSoon();
    }

    private void stepTempo(int percent) {
        if (playback != null) {
            setTempoPercent(Math.rint(playback.session().tempo() * 100) + percent);
        }
    }

    private void typedTempo() {
        typeTempo(tempoField.getText());
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
            if (playback != null) {
                showTempoControls(playback.session().tempo());
            }
        }
    }

    private void showTempoControls(double t) {
        updating = true;
        try {
            tempoSlider.setValue((int) Math.round(t * 100));
            double pct = Math.rint(t * 1000) / 10;
            tempoField.setText(pct == Math.rint(pct) ? Long.toString((long) pct) : Double.toString(pct));
        } finally {
            updating = false;
        }
    }

    /** Whether a loop is chosen: both ends ([ alone sets only its start). */
    private boolean hasLoop() {
        return loopA >= 0 && loopB > loopA;
    }

    void setLoop(long a, long b, boolean on) {
        if (song == null || !(b > a)) {
            return;
        }
        loopA = Math.max(0, a);
        loopB = Math.min(song.frames(), b);
        updating = true;
        loopBox.setSelected(on);
        updating = false;
        if (playback != null && !trainerRunning) {
            if (on) {
                playback.setLoop(loopA, loopB);
            } else {
                playback.transport().clearLoop();
            }
        }
        waveform.setLoopShown(loopA, loopB, on);
        saveSongSoon();
    }

    private void setLoopOn(boolean on) {
        if (!hasLoop()) {
            updating = true;
            loopBox.setSelected(false);
            updating = false;
            status("drag over the waveform, or press [ and ], to choose the loop first");
            return;
        }
        setLoop(loopA, loopB, on);
    }

    private void nudge(boolean start, double seconds) {
        if (!hasLoop() || song == null) {
            return;
        }
        long d = Math.round(seconds * song.sampleRate);
        long a = start ? Math.min(loopB - 1, loopA + d) : loopA;
        long b = start ? loopB : Math.max(loopA + 1, loopB + d);
        setLoop(a, b, loopBox.isSelected());
    }

    private void zoomToLoop() {
        if (hasLoop() && song != null) {
            long margin = (loopB - loopA) / 10;
            waveform.setView(loopA - margin, loopB + margin);
        }
    }

    /** The sound controls into the engine. */
    private void applySound() {
        if (playback == null || updating) {
            return;
        }
        playback.setVoiceRemoval(voiceBox.isSelected(), voiceAmount.getValue() / 100.0);
        String note = playback.setPanning(panSlider.getValue(), monoBox.isSelected());
        Session s = playback.session();
        s.setPreamp((float) Math.pow(10, preampSlider.getValue() / 20.0));
        s.setPitchShift(pitchShift());
        int bass = bassSlider.getValue();
        int middle = middleSlider.getValue();
        int treble = trebleSlider.getValue();
        if (bass == 0 && middle == 0 && treble == 0) {
            s.setEqualizer(null);
        } else {
            s.setEqualizerCurve(EqualizerCurve.of(new double[] {100, 1000, 8000},
                    new double[] {bass, middle, treble}));
        }
        if (song != null && song.channels == 1 && (voiceBox.isSelected() || monoBox.isSelected())) {
            status(voiceBox.isSelected() ? "voice removal acts on stereo only" : note);
        }
        saveSongSoon();
    }

    /** The transposition the spinners ask for, in semitones. */
    private float pitchShift() {
        return ((Number) semitones.getValue()).intValue() + ((Number) cents.getValue()).intValue() / 100f;
    }

    private void applyQuality() {
        if (playback == null) {
            return;
        }
        String note = playback.setQuality(qualityBox.getSelectedIndex() == 1 ? Quality.EXACT : Quality.FINE);
        if (!note.isEmpty()) {
            status(note);
            updating = true;
            qualityBox.setSelectedIndex(playback.session().quality() == Quality.EXACT ? 1 : 0);
            updating = false;
        }
        saveSongSoon();
    }

    private void toggleTrainer() {
        if (song == null) {
            return;
        }
        if (trainerRunning) {
            stopTrainer(playback != null ? playback.heardFrame() : 0);
            return;
        }
        double from;
        double to;
        double step;
        try {
            from = Double.parseDouble(trainerFrom.getText().trim()) / 100;
            to = Double.parseDouble(trainerTo.getText().trim()) / 100;
            step = Double.parseDouble(trainerStep.getText().trim()) / 100;
        } catch (NumberFormatException e) {
            from = Double.NaN;
            to = Double.NaN;
            step = Double.NaN;
        }
        startTrainer(from, to, step);
    }

    /** Plays the loop (when on) or the song at {@code from}, then {@code step} faster each pass until {@code to}. */
    void startTrainer(double from, double to, double step) {
        if (!(from >= 0.25 && to <= 2 && from <= to && step > 0)) {
            status("trainer: from and to between 25 and 200 %, from no higher than to, and a step above 0");
            return;
        }
        try {
            Passage.Trainer t = Passage.parseTrainer(from + ":" + to + ":" + step);
            Double a = hasLoop() && loopBox.isSelected() ? (double) loopA / song.sampleRate : null;
            Double b = hasLoop() && loopBox.isSelected() ? (double) loopB / song.sampleRate : null;
            Passage p = Passage.of(song.name, a, b, t, song.frames(), song.sampleRate);
            trainerRunning = true;
            trainerButton.setText("Stop trainer");
            startEngine(0, p, true);
            status(String.format(Locale.ROOT, "trainer: %d passes of the %s from %.0f %% to %.0f %%", t.passes(),
                    a != null ? "loop" : "song", from * 100, to * 100));
        } catch (IllegalArgumentException | CliException e) {
            status("trainer: " + e.getMessage());
        }
    }

    private void stopTrainer(long at) {
        trainerRunning = false;
        trainerButton.setText("Start trainer");
        startEngine(at, null, false);
        if (playback != null) {
            showTempoControls(playback.session().tempo());
        }
    }

    // ---- markers ----

    private void addMarker() {
        if (playback == null) {
            return;
        }
        long at = playback.heardFrame();
        String name = ask("Marker name", "marker at " + Terminal.tenths((double) at / song.sampleRate));
        if (name != null) {
            addMark(new Mark(name, at, -1));
        }
    }

    private void saveLoop() {
        if (!hasLoop()) {
            status("drag over the waveform, or press [ and ], to choose the loop first");
            return;
        }
        String name = ask("Loop name", "loop " + Terminal.tenths((double) loopA / song.sampleRate) + " \u2013 "
                + Terminal.tenths((double) loopB / song.sampleRate));
        if (name != null) {
            addMark(new Mark(name, loopA, loopB));
        }
    }

    private String ask(String title, String suggestion) {
        if (QUIET) {
            return suggestion;
        }
        Object v = JOptionPane.showInputDialog(frame, title, "tambrino", JOptionPane.PLAIN_MESSAGE, null, null,
                suggestion);
        return v == null || v.toString().isBlank() ? null : v.toString().trim();
    }

    void addMark(Mark m) {
        marks.add(m);
        showMarks();
        saveSongSoon();
    }

    List<Mark> marks() {
        return new ArrayList<>(marks);
    }

    private void showMarks() {
        markerModel.clear();
        List<WaveformView.Marker> shown = new ArrayList<>();
        for (Mark m : marks) {
            double rate = song.sampleRate;
            markerModel.addElement(m.b < 0 ? m.name + "  (" + Terminal.tenths(m.a / rate) + ")"
                    : m.name + "  (loop " + Terminal.tenths(m.a / rate) + " \u2013 " + Terminal.tenths(m.b / rate)
                            + ")");
            if (m.b < 0) {
                shown.add(new WaveformView.Marker(m.name, m.a));
            }
        }
        waveform.setMarkers(shown);
    }

    private void goToMark() {
        int i = markerList.getSelectedIndex();
        if (i < 0 || i >= marks.size()) {
            return;
        }
        Mark m = marks.get(i);
        if (m.b < 0) {
            seek(m.a);
        } else {
            setLoop(m.a, m.b, true);
            seek(m.a);
        }
    }

    private void deleteMark() {
        int i = markerList.getSelectedIndex();
        if (i >= 0 && i < marks.size()) {
            marks.remove(i);
            showMarks();
            saveSongSoon();
        }
    }

    // ---- keys ----

    private boolean key(KeyEvent e) {
        if (e.getID() != KeyEvent.KEY_PRESSED || !frame.isActive()) {
            return false;
        }
        Component owner = KeyboardFocusManager.getCurrentKeyboardFocusManager().getFocusOwner();
        if (owner instanceof JTextComponent || e.isControlDown() || e.isAltDown() || e.isMetaDown()) {
            // Typing into a field, and the menus' shortcuts, go where they go.
            return false;
        }
        return keyPressed(e.getKeyCode(), e.getKeyChar());
    }

    /** The terminal player's keys; whether the key was one of them. */
    boolean keyPressed(int code, char ch) {
        switch (code) {
            case KeyEvent.VK_SPACE:
                togglePause();
                return true;
            case KeyEvent.VK_LEFT:
                seekBy(-Playback.SEEK_SECONDS);
                return true;
            case KeyEvent.VK_RIGHT:
                seekBy(Playback.SEEK_SECONDS);
                return true;
            case KeyEvent.VK_UP:
                stepTempo(5);
                return true;
            case KeyEvent.VK_DOWN:
                stepTempo(-5);
                return true;
            default:
                break;
        }
        if (playback == null) {
            return false;
        }
        switch (Character.toLowerCase(ch)) {
            case '[':
                loopA = playback.heardFrame();
                loopB = loopB > loopA ? loopB : -1;
                if (loopB < 0) {
                    if (!trainerRunning) {
                        // As in the terminal: a start after the loop's end leaves no loop until ] sets one.
                        playback.transport().loopFrom(loopA);
                    }
                    updating = true;
                    loopBox.setSelected(false);
                    updating = false;
                    waveform.setLoopShown(loopA, loopA + 1, false);
                    status("loop starts at " + Terminal.tenths((double) loopA / song.sampleRate) + "; ] sets its end");
                } else {
                    setLoop(loopA, loopB, loopBox.isSelected());
                }
                return true;
            case ']':
                long b = playback.heardFrame();
                long a = loopA >= 0 ? loopA : 0;
                if (b > a) {
                    setLoop(a, b, true);
                    seek(a);
                }
                return true;
            case '\\':
                setLoopOn(false);
                return true;
            case 'v':
                voiceBox.setSelected(!voiceBox.isSelected());
                applySound();
                return true;
            case 'm':
                monoBox.setSelected(!monoBox.isSelected());
                applySound();
                return true;
            case 'f':
                qualityBox.setSelectedIndex(1 - qualityBox.getSelectedIndex());
                return true;
            default:
                return false;
        }
    }

    // ---- what is heard, 25 times a second ----

    private void poll() {
        if (summary != null && !summaryShown) {
            // The waveform fills in as its summary comes: drawn whole until it is complete, then once more.
            summaryShown = summary.progress() >= 1;
            waveform.repaint();
        }
        Playback p = playback;
        if (p == null || song == null) {
            return;
        }
        long heard = p.heardOutput();
        float level = meter.at(heard, spectrum);
        boolean clipped = meter.clipped(Math.min(lastHeard, heard), heard + 1);
        boolean limited = meter.limited(Math.min(lastHeard, heard), heard + 1);
        lastHeard = heard;
        long at = p.heardFrame();
        if (p.paused() || streaming == null) {
            // Nothing heard: the playhead stays where a seek put it.
            at = waveform.playhead();
        }
        waveform.setPlayhead(at);
        keyboard.setSpectrum(spectrum);
        meterView.setLevel(level, clipped, limited);
        double rate = song.sampleRate;
        position.setText(Terminal.tenths(at / rate) + " / " + Terminal.tenths(song.frames() / rate));
        double t = p.shownTempo(heard);
        tempoLabel.setText(String.format(Locale.ROOT, "tempo %.1f %% (\u00d7%.3f)%s", t * 100, t,
                trainerRunning ? String.format(Locale.ROOT, ", trainer pass %d of %d",
                        p.stretcher().passAt(heard) + 1, p.transport().trainer().passes()) : ""));
        int loud = KeyboardView.loudest(spectrum);
        noteLabel.setText(loud < 0 || p.paused() ? "loudest note: \u2013"
                : "loudest note: " + KeyboardView.noteName(loud) + " (" + KeyboardView.noteWords(loud) + ")");
        if (p.failure() != null && !failureShown) {
            failureShown = true;
            status("playback stopped: " + p.failure().getMessage());
        }
        if (p.atEnd() && trainerRunning) {
            status("trainer finished");
            stopTrainer(0);
        }
        updatePlayButton();
    }

    // ---- the song's kept state ----

    private Timer saveTimer;

    private void saveSongSoon() {
        if (updating || song == null) {
            return;
        }
        if (saveTimer == null) {
            saveTimer = new Timer(500, e -> saveSong());
            saveTimer.setRepeats(false);
        }
        saveTimer.restart();
    }

    void saveSong() {
        if (saveTimer != null) {
            saveTimer.stop();
        }
        if (song == null) {
            return;
        }
        SongSettings k = new SongSettings();
        k.tempo = tempoSlider.getValue() / 100.0;
        k.exact = qualityBox.getSelectedIndex() == 1;
        k.voice = voiceBox.isSelected();
        k.voiceAmount = voiceAmount.getValue();
        k.mono = monoBox.isSelected();
        k.pan = panSlider.getValue();
        k.preampDb = preampSlider.getValue();
        k.bassDb = bassSlider.getValue();
        k.middleDb = middleSlider.getValue();
        k.trebleDb = trebleSlider.getValue();
        k.trainer = trainerFrom.getText().trim() + ":" + trainerTo.getText().trim() + ":"
                + trainerStep.getText().trim();
        if (hasLoop()) {
            k.loopA = loopA;
            k.loopB = loopB;
        }
        k.loopOn = loopBox.isSelected();
        k.marks.addAll(marks);
        Properties p = k.toProperties(song.sampleRate);
        try {
            store.save(song.key, p);
        } catch (IOException e) {
            status("cannot keep this song's markers and settings in " + store.folder() + ": "
                    + OutputFiles.reason(e));
        }
    }

    /** Sets the controls (and so the engine) from what was kept. */
    private void restore(Properties kept) {
        SongSettings k = SongSettings.of(kept, song.sampleRate, song.frames());
        updating = true;
        try {
            tempoSlider.setValue((int) Math.round(k.tempo * 100));
            qualityBox.setSelectedIndex(k.exact ? 1 : 0);
            voiceBox.setSelected(k.voice);
            voiceAmount.setValue(k.voiceAmount);
            monoBox.setSelected(k.mono);
            panSlider.setValue(k.pan);
            preampSlider.setValue(k.preampDb);
            bassSlider.setValue(k.bassDb);
            middleSlider.setValue(k.middleDb);
            trebleSlider.setValue(k.trebleDb);
            String[] tr = k.trainer.split(":");
            trainerFrom.setText(tr[0]);
            trainerTo.setText(tr[1]);
            trainerStep.setText(tr[2]);
            loopBox.setSelected(false);
            marks.addAll(k.marks);
        } finally {
            updating = false;
        }
        if (playback != null) {
            playback.setQuality(k.exact ? Quality.EXACT : Quality.FINE);
            playback.setTempo(k.tempo);
            showTempoControls(playback.session().tempo());
            applySound();
        }
        if (k.loopA >= 0) {
            setLoop(k.loopA, k.loopB, k.loopOn);
        } else {
            waveform.setLoopShown(-1, -1, false);
        }
        showMarks();
    }

    // ---- export ----

    private void chooseExport(boolean loopOnly) {
        if (song == null) {
            status("open a song first");
            return;
        }
        if (loopOnly && !hasLoop()) {
            status("drag over the waveform, or press [ and ], to choose the loop first");
            return;
        }
        JFileChooser fc = new JFileChooser(song.path.getParent().toFile());
        fc.setDialogTitle(loopOnly ? "Export the loop" : "Export the song");
        fc.setFileFilter(new FileNameExtensionFilter("WAV files", "wav", "wave"));
        String base = song.name.replaceFirst("\\.[^.]*$", "");
        fc.setSelectedFile(new File(song.path.getParent().toFile(),
                base + "-" + tempoSlider.getValue() + (loopOnly ? "-loop" : "") + ".wav"));
        if (fc.showSaveDialog(frame) != JFileChooser.APPROVE_OPTION) {
            return;
        }
        Path target = fc.getSelectedFile().toPath();
        if (!target.getFileName().toString().matches("(?i).*\\.wave?$")) {
            target = target.resolveSibling(target.getFileName() + ".wav");
        }
        if (target.toFile().exists() && JOptionPane.showConfirmDialog(frame, target + " exists. Replace it?",
                "tambrino", JOptionPane.OK_CANCEL_OPTION) != JOptionPane.OK_OPTION) {
            return;
        }
        export(target, loopOnly, null);
    }

    /**
     * Writes the loop or the song, with the current settings, to {@code target}
     * through the same stretch as the command line, with a progress bar and a
     * Cancel button. The export has an engine of its own, so the song plays
     * on while it is written.
     */
    CompletableFuture<String> export(Path target, boolean loopOnly, Consumer<JDialog> shown) {
        CompletableFuture<String> result = new CompletableFuture<>();
        Settings.Builder b = new Settings.Builder();
        b.channels = song.channels;
        b.sampleRate = song.sampleRate;
        b.tempo = tempoSlider.getValue() / 100.0;
        b.quality = qualityBox.getSelectedIndex() == 1 ? Quality.EXACT : Quality.FINE;
        b.preampDb = preampSlider.getValue();
        b.voiceAmount = voiceBox.isSelected() ? voiceAmount.getValue() / 100.0 : 0;
        b.mono = monoBox.isSelected();
        b.pan = monoBox.isSelected() ? null : panSlider.getValue();
        int bass = bassSlider.getValue();
        int middle = middleSlider.getValue();
        int treble = trebleSlider.getValue();
        b.eq = bass == 0 && middle == 0 && treble == 0 ? null
                : EqCurve.parse(List.of("100:" + bass, "1000:" + middle, "8000:" + treble));
        b.spectrum = false;
        // The exact mode plays at the original pitch, as the window's playback does.
        b.transpose = b.quality == Quality.FINE ? (double) pitchShift() : null;
        Settings settings;
        Passage passage;
        try {
            settings = b.build();
            passage = Passage.of(song.name, loopOnly ? (double) loopA / song.sampleRate : null,
                    loopOnly ? (double) loopB / song.sampleRate : null, null, song.frames(), song.sampleRate);
        } catch (CliException e) {
            status("export: " + e.getMessage());
            result.completeExceptionally(e);
            return result;
        }
        JDialog dialog = new JDialog(frame, "Exporting " + target.getFileName(), false);
        JProgressBar bar = new JProgressBar(0, 1000);
        bar.setStringPainted(true);
        JButton cancel = new JButton("Cancel");
        exportCancelled = false;
        cancel.addActionListener(e -> exportCancelled = true);
        JPanel pane = new JPanel(new BorderLayout(8, 8));
        pane.setBorder(BorderFactory.createEmptyBorder(12, 12, 12, 12));
        pane.add(new JLabel("Writing " + target + (loopOnly ? " (the loop)" : "")), BorderLayout.NORTH);
        pane.add(bar, BorderLayout.CENTER);
        pane.add(cancel, BorderLayout.EAST);
        dialog.setContentPane(pane);
        dialog.pack();
        dialog.setLocationRelativeTo(frame);
        dialog.setVisible(true);
        if (shown != null) {
            shown.accept(dialog);
        }
        Song s = song;
        Thread t = new Thread(() -> {
            String summaryText = null;
            Throwable failure = null;
            try {
                Transport source = new Transport(s.pcm, s.channels, s.sampleRate, passage, false);
                summaryText = StretchJob.run(settings, source, s.name, target, null, 0, new StretchJob.Progress() {
                    @Override
                    public void update(double done, double seconds, double total) {
                        if (exportCancelled) {
                            throw new CancellationException("export cancelled");
                        }
                        int v = (int) Math.round(Math.max(0, done) * 1000);
                        SwingUtilities.invokeLater(() -> bar.setValue(v));
                    }
                });
            } catch (RuntimeException e) {
                failure = e;
            }
            String text = summaryText;
            Throwable why = failure;
            SwingUtilities.invokeLater(() -> {
                dialog.dispose();
                exportThread = null;
                if (closed.getCount() == 0) {
                    return;
                }
                if (why instanceof CancellationException) {
                    status("export cancelled; " + target.getFileName() + " was not written");
                    result.completeExceptionally(why);
                } else if (why != null) {
                    status("export failed: " + why.getMessage());
                    if (!QUIET) {
                        JOptionPane.showMessageDialog(frame, why.getMessage(), "Export failed",
                                JOptionPane.ERROR_MESSAGE);
                    }
                    result.completeExceptionally(why);
                } else {
                    status("exported: " + text);
                    result.complete(text);
                }
            });
        }, "tambrino-export");
        exportThread = t;
        t.start();
        return result;
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

    Playback playback() {
        return playback;
    }

    WaveformView waveform() {
        return waveform;
    }

    KeyboardView keyboard() {
        return keyboard;
    }

    Song song() {
        return song;
    }

    long[] loop() {
        return hasLoop() ? new long[] {loopA, loopB} : null;
    }
}
