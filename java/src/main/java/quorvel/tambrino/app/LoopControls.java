// The practice window's loop: its two ends as editable times, on or off, nudged, snapped, with a gap between repeats.
package quorvel.tambrino.app;

import javax.swing.JButton;
import javax.swing.JCheckBox;
import javax.swing.JComponent;
import javax.swing.JLabel;
import javax.swing.JSpinner;
import javax.swing.JTextField;
import javax.swing.SpinnerNumberModel;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.SongSettings;
import quorvel.tambrino.practice.Terminal;

/**
 * The loop (A to B, in frames of the song) and whether it plays: chosen by
 * dragging over the waveform, by [ and ] where the music is heard, by typing
 * its ends' times, or from a kept loop; its ends nudged by 50 ms and, when
 * asked, moved to the nearest rising zero crossing so that the repeat joins
 * without a click; an optional gap of silence between repeats; how many
 * times an export plays it. It tells the engine and the waveform. Event
 * dispatch thread only.
 */
final class LoopControls {
    static final double NUDGE_SECONDS = 0.05;
    private final PracticeWindow w;
    final JCheckBox loopBox = new JCheckBox("Loop");
    final JTextField aField = new JTextField(8);
    final JTextField bField = new JTextField(8);
    private final JLabel length = new JLabel("no loop");
    final JCheckBox snapBox = new JCheckBox("Snap to zero crossings", true);
    final JSpinner gap = new JSpinner(new SpinnerNumberModel(0.0, 0.0, 10.0, 0.5));
    final JSpinner repeats = new JSpinner(new SpinnerNumberModel(1, 1, 99, 1));
    private final JComponent panel;
    private long loopA = -1;
    private long loopB = -1;
    /** Set while the controls are set from what was kept: their listeners act only on the user's changes. */
    private boolean updating;

    LoopControls(PracticeWindow w) {
        this.w = w;
        Controls.byKeyboard(loopBox, snapBox, gap, repeats);
        loopBox.setToolTipText("Loop on or off (L; \\ turns it off)");
        loopBox.addActionListener(e -> setOn(loopBox.isSelected()));
        aField.setToolTipText("The loop's start: seconds (12.5) or m:ss.sss (1:02.500); Enter takes it");
        bField.setToolTipText("The loop's end: seconds or m:ss.sss; Enter takes it");
        Controls.field(aField, () -> typed(aField.getText(), true), this::showEnds);
        Controls.field(bField, () -> typed(bField.getText(), false), this::showEnds);
        snapBox.setToolTipText("Move an end set by hand to the nearest point where the wave rises through zero"
                + " (within 10 ms), so that the repeat joins without a click");
        snapBox.addActionListener(e -> w.saveSongSoon());
        gap.setToolTipText("Seconds of silence between the loop's repeats, to breathe or count in");
        gap.addChangeListener(e -> {
            if (!updating) {
                w.applyLoopGap();
                w.saveSongSoon();
            }
        });
        repeats.setToolTipText("How many times an export of the loop plays it (with the gap between)");
        repeats.addChangeListener(e -> {
            if (!updating) {
                w.saveSongSoon();
            }
        });
        JLabel gapLabel = new JLabel("Gap");
        gapLabel.setToolTipText(gap.getToolTipText());
        JButton exportLoop = Controls.button("Export\u2026", "Write the loop, repeated, with these settings"
                + " to a WAV file (Ctrl+Shift+E)", () -> w.chooseExport(true));
        panel = Controls.stack(
                new Controls.Line().add(new JLabel("A"), aField,
                        nudge("\u25c2", "The loop's start 50 ms earlier (Ctrl+\u2190)", true, -1),
                        nudge("\u25b8", "The loop's start 50 ms later (Ctrl+\u2192)", true, 1)).gap()
                        .add(new JLabel("B"), bField,
                                nudge("\u25c2", "The loop's end 50 ms earlier (Ctrl+Shift+\u2190)", false, -1),
                                nudge("\u25b8", "The loop's end 50 ms later (Ctrl+Shift+\u2192)", false, 1)).gap()
                        .add(length).gap().add(snapBox).done(),
                new Controls.Line().add(gapLabel, gap, new JLabel("s")).gap()
                        .add(Controls.button("Zoom to loop", "Show the loop across the waveform (Ctrl+L)",
                                this::zoomToLoop),
                                Controls.button("Whole song", "Show the whole song (Ctrl+0)",
                                        () -> w.waveform().setView(0, 0))).gap()
                        .add(new JLabel("Export it"), repeats, new JLabel("times"), exportLoop).done());
        showEnds();
    }

    private JButton nudge(String text, String tip, boolean start, int sign) {
        return Controls.button(text, tip, () -> nudge(start, sign * NUDGE_SECONDS));
    }

    JComponent panel() {
        return panel;
    }

    /** Whether a loop is chosen: both ends ([ alone sets only its start). */
    boolean hasLoop() {
        return loopA >= 0 && loopB > loopA;
    }

    boolean on() {
        return loopBox.isSelected();
    }

    long a() {
        return loopA;
    }

    long b() {
        return loopB;
    }

    /** No loop (a new song). */
    void clear() {
        loopA = -1;
        loopB = -1;
        showEnds();
    }

    /** No loop any more (an undo back to before the first). */
    void remove() {
        clear();
        loopBox.setSelected(false);
        Playback p = w.playback();
        if (p != null && !w.trainerRunning()) {
            p.transport().clearLoop();
        }
        w.waveform().setLoopShown(-1, -1, false);
        w.saveSongSoon();
    }

    void set(long a, long b, boolean on) {
        Song song = w.song();
        if (song == null || !(b > a)) {
            return;
        }
        loopA = Math.max(0, a);
        loopB = Math.min(song.frames(), b);
        loopBox.setSelected(on);
        Playback p = w.playback();
        if (p != null && !w.trainerRunning()) {
            if (on) {
                p.setLoop(loopA, loopB);
            } else {
                p.transport().clearLoop();
            }
        }
        w.waveform().setLoopShown(loopA, loopB, on);
        showEnds();
        w.saveSongSoon();
    }

    /** A loop chosen by hand (dragged, typed, nudged, by [ and ]): its ends snapped when asked. */
    void setByHand(long a, long b, boolean on) {
        set(snap(a), snap(b), on);
    }

    /** The frame moved to the nearest rising zero crossing, when snapping is on. */
    long snap(long frame) {
        Song s = w.song();
        if (s == null || !snapBox.isSelected()) {
            return frame;
        }
        return ZeroCrossings.nearest(s.pcm, s.channels, frame,
                Math.round(ZeroCrossings.RADIUS_SECONDS * s.sampleRate));
    }

    void setOn(boolean on) {
        if (!hasLoop()) {
            loopBox.setSelected(false);
            w.status("drag over the waveform, or press [ and ], to choose the loop first");
            return;
        }
        set(loopA, loopB, on);
    }

    /** [ : the loop starts where the music is heard. */
    void startHere() {
        Playback p = w.playback();
        Song song = w.song();
        loopA = snap(p.heardFrame());
        loopB = loopB > loopA ? loopB : -1;
        if (loopB < 0) {
            if (!w.trainerRunning()) {
                // As in the terminal: a start after the loop's end leaves no loop until ] sets one.
                p.transport().loopFrom(loopA);
            }
            loopBox.setSelected(false);
            w.waveform().setLoopShown(loopA, loopA + 1, false);
            showEnds();
            w.status("loop starts at " + Terminal.tenths((double) loopA / song.sampleRate) + "; ] sets its end");
        } else {
            set(loopA, loopB, loopBox.isSelected());
        }
    }

    /** ] : the loop ends where the music is heard, and plays from its start. */
    void endHere() {
        long b = snap(w.playback().heardFrame());
        long a = loopA >= 0 ? loopA : 0;
        if (b > a) {
            set(a, b, true);
            w.seek(a);
        }
    }

    void nudge(boolean start, double seconds) {
        Song song = w.song();
        if (!hasLoop() || song == null) {
            return;
        }
        long d = Math.round(seconds * song.sampleRate);
        long a = start ? snap(Math.min(loopB - 1, loopA + d)) : loopA;
        long b = start ? loopB : snap(Math.max(loopA + 1, loopB + d));
        if (b > a) {
            set(a, b, loopBox.isSelected());
        }
    }

    /** A time typed for one end: taken when it makes a loop, else said what is wanted and put back. */
    private void typed(String text, boolean start) {
        Song song = w.song();
        if (song == null) {
            return;
        }
        try {
            long f = snap(Math.round(Passage.parseTime(text) * song.sampleRate));
            long a = start ? f : loopA >= 0 ? loopA : 0;
            long b = start ? (loopB >= 0 ? loopB : song.frames()) : f;
            if (b > song.frames() || !(b > a)) {
                throw new IllegalArgumentException("the loop's end must come after its start, within the song ("
                        + Terminal.tenths((double) song.frames() / song.sampleRate) + ")");
            }
            set(a, b, loopBox.isSelected() || !hasLoop());
        } catch (IllegalArgumentException e) {
            w.status((start ? "A: " : "B: ") + e.getMessage());
            showEnds();
        }
    }

    /** The ends' times and the loop's length in the fields, to the millisecond. */
    private void showEnds() {
        Song song = w.song();
        boolean any = song != null && loopA >= 0;
        aField.setText(any ? time(loopA, song.sampleRate) : "");
        bField.setText(any && loopB > loopA ? time(loopB, song.sampleRate) : "");
        length.setText(any && loopB > loopA
                ? String.format(java.util.Locale.ROOT, "%.3f s long", (double) (loopB - loopA) / song.sampleRate)
                : "no loop");
    }

    static String time(long frame, int rate) {
        return WaveformView.time((double) frame / rate, 0.001);
    }

    void zoomToLoop() {
        if (hasLoop() && w.song() != null) {
            long margin = (loopB - loopA) / 10;
            w.waveform().setView(loopA - margin, loopB + margin);
        }
    }

    /** Seconds of silence heard between repeats. */
    double gapSeconds() {
        return ((Number) gap.getValue()).doubleValue();
    }

    int repeatCount() {
        return ((Number) repeats.getValue()).intValue();
    }

    void save(SongSettings k) {
        k.loopGap = gapSeconds();
        k.snap = snapBox.isSelected();
        k.repeats = repeatCount();
    }

    void show(SongSettings k) {
        updating = true;
        try {
            gap.setValue(k.loopGap);
            snapBox.setSelected(k.snap);
            repeats.setValue(k.repeats);
        } finally {
            updating = false;
        }
    }
}
