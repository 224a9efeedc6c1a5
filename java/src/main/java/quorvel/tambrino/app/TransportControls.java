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
    /** The bar, once made. */
    JComponent bar;
    /** Set while the controls are set from the engine: their listeners act only on the user's changes. */
    private boolean updating;

    TransportControls(PracticeWindow w) {
        this.w = w;
        Controls.byKeyboard(playButton);
        playButton.setToolTipText("Play or pause (Space)");
        playButton.addActionListener(e -> w.togglePause());
        Controls.wideEnough(playButton, "Pause");
        Controls.byKeyboard(tempoSlider);
        tempoSlider.setMajorTickSpacing(25);
        tempoSlider.setPaintTicks(true);
        java.util.Hashtable<Integer, JComponent> marks = new java.util.Hashtable<>();
        for (int v : new int[] {25, 100, 200}) {
            JLabel l = new JLabel(Integer.toString(v));
            l.setFont(l.getFont().deriveFont(l.getFont().getSize2D() * 0.85f));
            marks.put(v, l);
        }
        tempoSlider.setLabelTable(marks);
        tempoSlider.setPaintLabels(true);
        tempoSlider.setToolTipText("The tempo, 25 to 200 % (\u2191 \u2193: 5 %, Shift: 1 %)");
        tempoSlider.setMinimumSize(new Dimension(120, tempoSlider.getPreferredSize().height));
        tempoSlider.setPreferredSize(new Dimension(220, tempoSlider.getPreferredSize().height));
        tempoSlider.addChangeListener(e -> {
            if (!updating && !tempoSlider.getValueIsAdjusting()) {
                w.setTempoPercent(tempoSlider.getValue());
            }
        });
        Controls.field(tempoField, () -> w.typeTempo(tempoField.getText()), () -> w.showTempo(w.tempo()));
        tempoField.setToolTipText("Type a tempo in percent (25 to 200) and press Enter");
        tempoField.setHorizontalAlignment(JTextField.RIGHT);
        tempoField.setMinimumSize(tempoField.getPreferredSize());
        toStart = Controls.button("To A", "To the loop's start, or the song's (Home)", w::toLoopStart);
        back = Controls.button("\u2212 5 s", "Back 5 seconds (\u2190; Shift: 1 s)",
                () -> w.seekBy(-Playback.SEEK_SECONDS));
        on = Controls.button("+ 5 s", "On 5 seconds (\u2192; Shift: 1 s)", () -> w.seekBy(Playback.SEEK_SECONDS));
        steps = new JButton[] {Controls.button("\u22125", "5 % slower (\u2193)", () -> w.stepTempo(-5)),
            Controls.button("\u22121", "1 % slower (Shift+\u2193)", () -> w.stepTempo(-1)),
            Controls.button("+1", "1 % faster (Shift+\u2191)", () -> w.stepTempo(1)),
            Controls.button("+5", "5 % faster (\u2191)", () -> w.stepTempo(5))};
    }

    /** The transport's bar: play, to A, back, on, {@code loopBox}, then the tempo across the rest. */
    JComponent bar(JComponent loopBox) {
        bar = new Controls.Line().add(playButton, toStart, back, on, loopBox).gap()
                .add(new JLabel("Tempo")).stretch(tempoSlider).add(tempoField, new JLabel("%"))
                .add(steps).done();
        bar.setBorder(javax.swing.BorderFactory.createEmptyBorder(2, 10, 0, 10));
        return bar;
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
