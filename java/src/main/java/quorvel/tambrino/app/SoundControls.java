// The practice window's sound: voice removal, mono and pan, preamp, three-band equaliser, quality and transposition.
package quorvel.tambrino.app;

import java.awt.Dimension;
import java.util.List;
import javax.swing.JCheckBox;
import javax.swing.JComboBox;
import javax.swing.JComponent;
import javax.swing.JLabel;
import javax.swing.JPanel;
import javax.swing.JSlider;
import javax.swing.JSpinner;
import javax.swing.SpinnerNumberModel;
import quorvel.tambrino.EqualizerCurve;
import quorvel.tambrino.Quality;
import quorvel.tambrino.Session;
import quorvel.tambrino.practice.EqCurve;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.SongSettings;

/**
 * The sound's controls and what they ask of the engine: voice removal and
 * its amount, mono and pan, preamp, bass / middle / treble (±12 dB at 100 Hz,
 * 1 kHz and 8 kHz), fine or exact quality, and the transposition in
 * semitones and cents (fine quality). The same values go into an export.
 * Event dispatch thread only.
 */
final class SoundControls {
    private final PracticeWindow w;
    final JCheckBox voiceBox = new JCheckBox("Voice removal");
    final JSlider voiceAmount = new JSlider(0, 100, 100);
    final JCheckBox monoBox = new JCheckBox("Mono");
    final JSlider panSlider = new JSlider(0, 100, 50);
    final JSlider preampSlider = new JSlider(-12, 12, 0);
    final JSlider bassSlider = new JSlider(-12, 12, 0);
    final JSlider middleSlider = new JSlider(-12, 12, 0);
    final JSlider trebleSlider = new JSlider(-12, 12, 0);
    final JComboBox<String> qualityBox = new JComboBox<>(new String[] {"fine", "exact"});
    final JSpinner semitones = new JSpinner(new SpinnerNumberModel(0, -12, 12, 1));
    final JSpinner cents = new JSpinner(new SpinnerNumberModel(0, -50, 50, 1));
    private final JComponent panel;
    /** Set while the controls are set from what was kept: their listeners act only on the user's changes. */
    private boolean updating;

    SoundControls(PracticeWindow w) {
        this.w = w;
        semitones.setToolTipText("Change the key by semitones, the tempo kept (fine quality)");
        cents.setToolTipText("Fine-tune the pitch in cents (fine quality)");
        semitones.addChangeListener(e -> {
            if (!updating) {
                apply();
            }
        });
        cents.addChangeListener(e -> {
            if (!updating) {
                apply();
            }
        });
        Controls.byKeyboard(voiceBox, monoBox, qualityBox, semitones, cents);
        for (JSlider s : new JSlider[] {voiceAmount, panSlider, preampSlider, bassSlider, middleSlider, trebleSlider}) {
            Controls.byKeyboard(s);
            s.setPreferredSize(new Dimension(90, s.getPreferredSize().height));
            s.setMinimumSize(new Dimension(50, s.getPreferredSize().height));
            s.addChangeListener(e -> {
                if (!updating && !s.getValueIsAdjusting()) {
                    apply();
                }
            });
        }
        voiceBox.addActionListener(e -> apply());
        monoBox.addActionListener(e -> apply());
        qualityBox.addActionListener(e -> {
            if (!updating) {
                applyQuality();
            }
        });
        voiceBox.setToolTipText("Remove what is in the middle of a stereo mix, usually the voice (V)");
        monoBox.setToolTipText("Fold the two channels into one (M)");
        qualityBox.setToolTipText("Fine: the smoothest sound, and the key can change; exact: the same result bit"
                + " for bit on every machine (F)");
        panSlider.setToolTipText("Left to right");
        preampSlider.setToolTipText("Louder or softer before everything else");
        bassSlider.setToolTipText("Bass, at 100 Hz");
        middleSlider.setToolTipText("Middle, at 1 kHz");
        trebleSlider.setToolTipText("Treble, at 8 kHz");
        panel = Controls.stack(
                new Controls.Line().add(new JLabel("Key"), semitones, new JLabel("semitones"), cents,
                        new JLabel("cents")).gap().add(new JLabel("Quality"), qualityBox).gap()
                        .add(voiceBox).stretch(voiceAmount).add(Controls.value(voiceAmount, v -> v + " %")).done(),
                new Controls.Line().add(monoBox).gap().add(new JLabel("Pan")).stretch(panSlider)
                        .add(Controls.value(panSlider, SoundControls::pan)).gap().add(new JLabel("Preamp"))
                        .stretch(preampSlider).add(Controls.value(preampSlider, Controls::db)).done(),
                new Controls.Line().add(new JLabel("Bass")).stretch(bassSlider)
                        .add(Controls.value(bassSlider, Controls::db)).gap().add(new JLabel("Middle"))
                        .stretch(middleSlider).add(Controls.value(middleSlider, Controls::db)).gap()
                        .add(new JLabel("Treble")).stretch(trebleSlider)
                        .add(Controls.value(trebleSlider, Controls::db)).done());
    }

    /** The pan's place in words: "centre", "L 20", "R 35". */
    static String pan(int v) {
        return v == 50 ? "centre" : v < 50 ? "L " + (50 - v) * 2 : "R " + (v - 50) * 2;
    }

    JComponent panel() {
        return panel;
    }

    Quality quality() {
        return qualityBox.getSelectedIndex() == 1 ? Quality.EXACT : Quality.FINE;
    }

    /** The transposition the spinners ask for, in semitones. */
    float pitchShift() {
        return ((Number) semitones.getValue()).intValue() + ((Number) cents.getValue()).intValue() / 100f;
    }

    /** The transposition in words, for the top line: "original key", "key −2 st +5 ct". */
    String keyText() {
        int st = ((Number) semitones.getValue()).intValue();
        int ct = ((Number) cents.getValue()).intValue();
        if (st == 0 && ct == 0) {
            return "original key";
        }
        String text = "key " + signed(st) + " st" + (ct != 0 ? " " + signed(ct) + " ct" : "");
        // The exact mode plays at the original pitch.
        return quality() == Quality.EXACT ? text + " (not in exact quality)" : text;
    }

    private static String signed(int v) {
        return v > 0 ? "+" + v : v < 0 ? "−" + -v : "0";
    }

    /** Moves the transposition by semitones and cents, within the spinners' range (the key's shortcuts). */
    void transpose(int st, int ct) {
        int s = ((Number) semitones.getValue()).intValue() + st;
        int c = ((Number) cents.getValue()).intValue() + ct;
        semitones.setValue(Math.max(-12, Math.min(12, s)));
        cents.setValue(Math.max(-50, Math.min(50, c)));
    }

    void toggleVoice() {
        voiceBox.setSelected(!voiceBox.isSelected());
        apply();
    }

    void toggleMono() {
        monoBox.setSelected(!monoBox.isSelected());
        apply();
    }

    void toggleQuality() {
        qualityBox.setSelectedIndex(1 - qualityBox.getSelectedIndex());
    }

    /** The sound controls into the engine. */
    void apply() {
        Playback playback = w.playback();
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
        Song song = w.song();
        if (song != null && song.channels == 1 && (voiceBox.isSelected() || monoBox.isSelected())) {
            w.status(voiceBox.isSelected() ? "voice removal acts on stereo only" : note);
        }
        w.saveSongSoon();
    }

    private void applyQuality() {
        Playback playback = w.playback();
        if (playback == null) {
            return;
        }
        String note = playback.setQuality(quality());
        if (!note.isEmpty()) {
            w.status(note);
            updating = true;
            qualityBox.setSelectedIndex(playback.session().quality() == Quality.EXACT ? 1 : 0);
            updating = false;
        }
        w.saveSongSoon();
    }

    /** The sound settings into an export's settings. */
    void into(Settings.Builder b) {
        b.quality = quality();
        b.preampDb = preampSlider.getValue();
        b.voiceAmount = voiceBox.isSelected() ? voiceAmount.getValue() / 100.0 : 0;
        b.mono = monoBox.isSelected();
        b.pan = monoBox.isSelected() ? null : panSlider.getValue();
        int bass = bassSlider.getValue();
        int middle = middleSlider.getValue();
        int treble = trebleSlider.getValue();
        b.eq = bass == 0 && middle == 0 && treble == 0 ? null
                : EqCurve.parse(List.of("100:" + bass, "1000:" + middle, "8000:" + treble));
        // The exact mode plays at the original pitch, as the window's playback does.
        b.transpose = b.quality == Quality.FINE ? (double) pitchShift() : null;
    }

    void save(SongSettings k) {
        k.exact = qualityBox.getSelectedIndex() == 1;
        k.voice = voiceBox.isSelected();
        k.voiceAmount = voiceAmount.getValue();
        k.mono = monoBox.isSelected();
        k.pan = panSlider.getValue();
        k.preampDb = preampSlider.getValue();
        k.bassDb = bassSlider.getValue();
        k.middleDb = middleSlider.getValue();
        k.trebleDb = trebleSlider.getValue();
        k.semitones = ((Number) semitones.getValue()).intValue();
        k.cents = ((Number) cents.getValue()).intValue();
    }

    /** Sets the controls from what was kept, without telling the engine. */
    void show(SongSettings k) {
        updating = true;
        try {
            qualityBox.setSelectedIndex(k.exact ? 1 : 0);
            voiceBox.setSelected(k.voice);
            voiceAmount.setValue(k.voiceAmount);
            monoBox.setSelected(k.mono);
            panSlider.setValue(k.pan);
            preampSlider.setValue(k.preampDb);
            bassSlider.setValue(k.bassDb);
            middleSlider.setValue(k.middleDb);
            trebleSlider.setValue(k.trebleDb);
            semitones.setValue(k.semitones);
            cents.setValue(k.cents);
        } finally {
            updating = false;
        }
    }
}
