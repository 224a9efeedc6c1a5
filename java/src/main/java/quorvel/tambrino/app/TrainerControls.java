// The practice window's speed trainer: from, to and step in percent, and the button that starts and stops it.
package quorvel.tambrino.app;

import java.util.Locale;
import javax.swing.JButton;
import javax.swing.JComponent;
import javax.swing.JLabel;
import javax.swing.JTextField;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.SongSettings;

/**
 * The speed trainer: plays the loop (when on) or the song once per tempo,
 * from a tempo to another by a step, each pass whole at its tempo, on an
 * engine of its own that the window starts; stopping it goes back to normal
 * play where the music is. Event dispatch thread only.
 */
final class TrainerControls {
    private final PracticeWindow w;
    final JTextField from = new JTextField("60", 3);
    final JTextField to = new JTextField("100", 3);
    final JTextField step = new JTextField("10", 3);
    final JButton button = new JButton("Start trainer");
    private boolean running;
    private final JComponent panel;

    TrainerControls(PracticeWindow w) {
        this.w = w;
        Controls.byKeyboard(button);
        button.setToolTipText("Start or stop the trainer (T)");
        button.addActionListener(e -> toggle());
        Controls.wideEnough(button, "Stop trainer");
        for (JTextField f : new JTextField[] {from, to, step}) {
            f.setHorizontalAlignment(JTextField.RIGHT);
            f.setToolTipText("A tempo in percent (25 to 200); the trainer reads it when it starts");
            Controls.field(f, () -> { }, () -> { });
        }
        JLabel what = new JLabel("plays the loop (when it is on) or the song once at each tempo, from the first"
                + " to the last, each pass whole");
        what.setForeground(javax.swing.UIManager.getColor("nimbusDisabledText"));
        panel = Controls.stack(
                new Controls.Line().add(new JLabel("From"), from, new JLabel("%   to"), to, new JLabel("%   by"), step,
                        new JLabel("%")).gap().add(button).done(),
                new Controls.Line().add(what).done());
    }

    JComponent panel() {
        return panel;
    }

    boolean running() {
        return running;
    }

    void toggle() {
        if (w.song() == null) {
            return;
        }
        if (running) {
            stop(w.playback() != null ? w.playback().heardFrame() : 0);
            return;
        }
        double f;
        double t;
        double s;
        try {
            f = Double.parseDouble(from.getText().trim()) / 100;
            t = Double.parseDouble(to.getText().trim()) / 100;
            s = Double.parseDouble(step.getText().trim()) / 100;
        } catch (NumberFormatException e) {
            f = Double.NaN;
            t = Double.NaN;
            s = Double.NaN;
        }
        start(f, t, s);
    }

    /** Plays the loop (when on) or the song at {@code from}, then {@code step} faster each pass until {@code to}. */
    void start(double f, double t, double s) {
        if (!(f >= 0.25 && t <= 2 && f <= t && s > 0)) {
            w.status("trainer: from and to between 25 and 200 %, from no higher than to, and a step above 0");
            return;
        }
        Song song = w.song();
        LoopControls loop = w.loopControls();
        try {
            Passage.Trainer trainer = Passage.parseTrainer(f + ":" + t + ":" + s);
            Double a = loop.hasLoop() && loop.on() ? (double) loop.a() / song.sampleRate : null;
            Double b = loop.hasLoop() && loop.on() ? (double) loop.b() / song.sampleRate : null;
            Passage p = Passage.of(song.name, a, b, trainer, song.frames(), song.sampleRate);
            running = true;
            button.setText("Stop trainer");
            w.startEngine(0, p, true);
            w.trainerChanged();
            w.status(String.format(Locale.ROOT, "trainer: %d passes of the %s from %.0f %% to %.0f %%",
                    trainer.passes(), a != null ? "loop" : "song", f * 100, t * 100));
        } catch (IllegalArgumentException | CliException e) {
            w.status("trainer: " + e.getMessage());
        }
    }

    /** Back to normal play, paused at input frame {@code at}. */
    void stop(long at) {
        running = false;
        button.setText("Start trainer");
        w.startEngine(at, null, false);
        w.showTempo(w.tempo());
        w.trainerChanged();
    }

    /** Forgets a run without restarting the engine (a new song). */
    void reset() {
        running = false;
        button.setText("Start trainer");
    }

    void save(SongSettings k) {
        k.trainer = from.getText().trim() + ":" + to.getText().trim() + ":" + step.getText().trim();
    }

    void show(SongSettings k) {
        String[] tr = k.trainer.split(":");
        from.setText(tr[0]);
        to.setText(tr[1]);
        step.setText(tr[2]);
    }
}
