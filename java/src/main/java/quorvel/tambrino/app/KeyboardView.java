// The 72-note spectrum drawn as a piano keyboard.
package quorvel.tambrino.app;

import java.awt.Color;
import java.awt.Dimension;
import java.awt.Font;
import java.awt.Graphics;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import javax.swing.JComponent;
import quorvel.tambrino.Session;

/**
 * The engine's 72-note spectrum as a piano keyboard from C1 to B6: a bar
 * above each key as loud as its note (60 dB from the top of the scale to
 * nothing), the loudest key lit, the octaves named under their C. Event
 * dispatch thread only; {@link #setSpectrum} copies the values.
 */
final class KeyboardView extends JComponent {
    static final String[] NAMES = {"C", "C\u266f", "D", "D\u266f", "E", "F", "F\u266f", "G", "G\u266f", "A",
        "A\u266f", "B"};
    private static final String[] WORDS = {"C", "C sharp", "D", "D sharp", "E", "F", "F sharp", "G", "G sharp", "A",
        "A sharp", "B"};
    private static final boolean[] BLACK = {false, true, false, true, false, false, true, false, true, false, true,
        false};
    /** Position of each note's key in white-key widths within its octave (black keys between two whites). */
    private static final double[] OFFSET = {0, 0.65, 1, 1.75, 2, 3, 3.6, 4, 4.7, 5, 5.75, 6};
    /** Spectrum value at the top of the scale (as in the spectrum picture and the terminal's bars). */
    static final double FULL_SCALE_NOTE = 0.3125;
    private static final int WHITE_KEYS = Session.NOTES / 12 * 7;
    private static final Color BAR = new Color(0x6fb3e0);
    private static final Color LIT = new Color(0xffb347);

    private final float[] spectrum = new float[Session.NOTES];
    private int loudest = -1;

    KeyboardView() {
        setPreferredSize(new Dimension(760, 110));
        setMinimumSize(new Dimension(300, 90));
    }

    void setSpectrum(float[] values) {
        System.arraycopy(values, 0, spectrum, 0, Session.NOTES);
        loudest = loudest(values);
        repaint();
    }

    float[] spectrumCopy() {
        return spectrum.clone();
    }

    /** The loudest note's index, or -1 when all are silent (below 1e-4). */
    static int loudest(float[] values) {
        int best = -1;
        for (int i = 0; i < values.length; i++) {
            if (values[i] > 1e-4f && (best < 0 || values[i] > values[best])) {
                best = i;
            }
        }
        return best;
    }

    /** "A4", with the sharp sign. */
    static String noteName(int index) {
        return NAMES[index % 12] + (index / 12 + 1);
    }

    /** "A sharp, octave 4" */
    static String noteWords(int index) {
        return WORDS[index % 12] + ", octave " + (index / 12 + 1);
    }

    /** Bar height 0..1 for a spectrum value: 60 dB below the top of the scale is nothing. */
    static double barHeight(float v) {
        double db = v > 0 ? 20 * Math.log10(v / FULL_SCALE_NOTE) : -120;
        return Math.max(0, Math.min(1, (db + 60) / 60));
    }

    @Override
    protected void paintComponent(Graphics g0) {
        Graphics2D g = (Graphics2D) g0.create();
        try {
            g.setRenderingHint(RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
            int w = getWidth();
            int h = getHeight();
            g.setColor(new Color(0x1d2330));
            g.fillRect(0, 0, w, h);
            Font small = getFont().deriveFont(Math.max(9f, getFont().getSize2D() - 2));
            g.setFont(small);
            int labelH = g.getFontMetrics().getHeight();
            int keysH = Math.max(24, (h - labelH) * 2 / 5);
            int barsH = h - labelH - keysH - 2;
            double white = (double) w / WHITE_KEYS;
            int keysTop = barsH + 2;
            // White keys, then black keys over them.
            for (int n = 0; n < Session.NOTES; n++) {
                if (BLACK[n % 12]) {
                    continue;
                }
                int x0 = (int) Math.round(keyX(n) * white);
                int x1 = (int) Math.round((keyX(n) + 1) * white);
                g.setColor(n == loudest ? LIT : Color.WHITE);
                g.fillRect(x0, keysTop, x1 - x0, keysH);
                g.setColor(Color.GRAY);
                g.drawRect(x0, keysTop, x1 - x0, keysH);
            }
            for (int n = 0; n < Session.NOTES; n++) {
                if (!BLACK[n % 12]) {
                    continue;
                }
                int x0 = (int) Math.round(keyX(n) * white);
                int bw = (int) Math.max(2, Math.round(white * 0.6));
                g.setColor(n == loudest ? LIT : Color.BLACK);
                g.fillRect(x0, keysTop, bw, keysH * 3 / 5);
            }
            // The bars: over the middle of each key, white keys' bars wider.
            for (int n = 0; n < Session.NOTES; n++) {
                double height = barHeight(spectrum[n]);
                if (height <= 0) {
                    continue;
                }
                boolean black = BLACK[n % 12];
                double bw = black ? white * 0.45 : white * 0.7;
                double cx = (keyX(n) + (black ? 0.3 : 0.5)) * white;
                int bh = (int) Math.round(height * barsH);
                g.setColor(n == loudest ? LIT : black ? BAR.darker() : BAR);
                g.fillRect((int) Math.round(cx - bw / 2), barsH - bh, (int) Math.max(1, Math.round(bw)), bh);
            }
            g.setColor(Color.LIGHT_GRAY);
            for (int o = 0; o < Session.NOTES / 12; o++) {
                int x = (int) Math.round(o * 7 * white);
                g.drawString("C" + (o + 1), x + 2, h - g.getFontMetrics().getDescent());
            }
        } finally {
            g.dispose();
        }
    }

    /** The key's left edge in white-key widths from C1. */
    private static double keyX(int note) {
        return note / 12 * 7 + OFFSET[note % 12];
    }
}
