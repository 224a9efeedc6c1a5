// The practice window's transport: play and pause, the jumps, and the tempo's slider, field and steps.
package quorvel.tambrino.app;

import java.awt.Dimension;
import javax.swing.JButton;
import javax.swing.JComponent;
import javax.swing.JLabel;
import javax.swing.JSlider;
import javax.swing.JTextField;
import quorvel.tambrino.practice.Playback;

/**
 * The transport's controls: play/pause, to the loop's start, 5 s back and
 * on, and the tempo (a slider from 25 to 200 %, a field for a typed
 * percentage, and steps of 1 and 5 %). They act on the window's engine
 * through the window. Event dispatch thread only.
 */
final class TransportControls {
    private final PracticeWindow w;
    final JButton playButton = new JButton("Play");
    final JSlider tempoSlider = new JSlider(25, 200, 100);
    final JTextField tempoField = new JTextField("100", 4);
    private final JButton toStart;
    private final JButton back;
    private final JButton on;
    private final JButton[] steps;
    /** Set while the controls are set from the engine: their listeners act only on the user's changes. */
    private boolean updating;

    TransportControls(PracticeWindow w) {
        this.w = w;
        Controls.byKeyboard(playButton);
        playButton.addActionListener(e -> w.togglePause());
        Controls.byKeyboard(tempoSlider);
        tempoSlider.setMajorTickSpacing(25);
        tempoSlider.setPaintTicks(true);
        tempoSlider.setPreferredSize(new Dimension(260, tempoSlider.getPreferredSize().height));
        tempoSlider.addChangeListener(e -> {
            if (!updating && !tempoSlider.getValueIsAdjusting()) {
                w.setTempoPercent(tempoSlider.getValue());
            }
        });
        Controls.field(tempoField, () -> w.typeTempo(tempoField.getText()), () -> w.showTempo(w.tempo()));
        tempoField.setToolTipText("Type a tempo in percent (25 to 200) and press Enter");
        toStart = Controls.button("To loop start", "Jump to the loop's start ([ ] set it)", w::toLoopStart);
        back = Controls.button("\u2212 5 s", "Back 5 seconds (\u2190)", () -> w.seekBy(-Playback.SEEK_SECONDS));
        on = Controls.button("+ 5 s", "On 5 seconds (\u2192)", () -> w.seekBy(Playback.SEEK_SECONDS));
        steps = new JButton[] {Controls.button("\u22125", "5 % slower", () -> w.stepTempo(-5)),
            Controls.button("\u22121", "1 % slower", () -> w.stepTempo(-1)),
            Controls.button("+1", "1 % faster", () -> w.stepTempo(1)),
            Controls.button("+5", "5 % faster", () -> w.stepTempo(5))};
    }

    /** Play, to the loop's start, back, on, then {@code loopBox}. */
    JComponent buttonsRow(JComponent loopBox) {
        return Controls.row(playButton, toStart, back, on, loopBox);
    }

    /** The tempo's slider, field and steps. */
    JComponent tempoRow() {
        return Controls.row(new JLabel("Tempo %"), tempoSlider, tempoField, steps[0], steps[1], steps[2], steps[3]);
    }

    JComponent[] controls() {
        return new JComponent[] {playButton, tempoSlider, tempoField};
    }

    void updatePlayButton(Playback p) {
        playButton.setText(p != null && !p.paused() && !p.atEnd() ? "Pause" : "Play");
    }

    /** The tempo in the slider and the field, as a percentage to a tenth. */
    void showTempo(double t) {
        updating = true;
        try {
            tempoSlider.setValue((int) Math.round(t * 100));
            double pct = Math.rint(t * 1000) / 10;
            tempoField.setText(pct == Math.rint(pct) ? Long.toString((long) pct) : Double.toString(pct));
        } finally {
            updating = false;
        }
    }

    /** The tempo's slider, field and steps on or off (off while the trainer sets the tempo). */
    void setTempoEnabled(boolean on) {
        tempoSlider.setEnabled(on);
        tempoField.setEnabled(on);
        for (JButton b : steps) {
            b.setEnabled(on);
        }
    }
}
