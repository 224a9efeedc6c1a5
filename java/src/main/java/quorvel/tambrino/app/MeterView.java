// The practice window's peak meter of what is heard.
package quorvel.tambrino.app;

import java.awt.Color;
import java.awt.Dimension;
import java.awt.Graphics;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import javax.swing.JComponent;
import quorvel.tambrino.practice.Terminal;

/**
 * The peak meter of what is heard: 48 dB across, green to yellow to red,
 * with a clip indicator that stays lit for a second after the output
 * reached full scale, and reads LIMIT (amber) while the limiter held louder
 * music below it. Event dispatch thread only.
 */
final class MeterView extends JComponent {
    private static final long CLIP_HOLD_NANOS = 1_000_000_000L;
    private float level;
    private long clipUntil = Long.MIN_VALUE;
    private long limitUntil = Long.MIN_VALUE;

    MeterView() {
        setPreferredSize(new Dimension(240, 22));
        setMinimumSize(new Dimension(120, 18));
    }

    void setLevel(float level, boolean clipped, boolean limited) {
        this.level = level;
        if (clipped) {
            clipUntil = System.nanoTime() + CLIP_HOLD_NANOS;
        }
        if (limited) {
            limitUntil = System.nanoTime() + CLIP_HOLD_NANOS;
        }
        repaint();
    }

    float level() {
        return level;
    }

    boolean clipLit() {
        return System.nanoTime() < clipUntil;
    }

    boolean limitLit() {
        return !clipLit() && System.nanoTime() < limitUntil;
    }

    @Override
    protected void paintComponent(Graphics g0) {
        Graphics2D g = (Graphics2D) g0.create();
        try {
            g.setRenderingHint(RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
            int w = getWidth();
            int h = getHeight();
            String text = Terminal.dbfs(level);
            int textW = g.getFontMetrics().stringWidth("-99.9 dBFS") + 8;
            int clipW = g.getFontMetrics().stringWidth("LIMIT") + 10;
            int barW = Math.max(20, w - textW - clipW);
            g.setColor(new Color(0x1d2330));
            g.fillRect(0, 0, barW, h);
            double db = level > 0 ? 20 * Math.log10(level) : -99;
            int filled = (int) Math.round(Math.max(0, Math.min(1, (db + 48) / 48)) * barW);
            for (int x = 0; x < filled; x++) {
                double at = (double) x / barW * 48 - 48;
                g.setColor(at > -3 ? new Color(0xe05050) : at > -12 ? new Color(0xe0c050) : new Color(0x50c070));
                g.drawLine(x, 2, x, h - 3);
            }
            g.setColor(getForeground());
            int base = (h + g.getFontMetrics().getAscent() - g.getFontMetrics().getDescent()) / 2;
            g.drawString(text, barW + 6, base);
            boolean lit = clipLit();
            boolean limit = limitLit();
            g.setColor(lit ? new Color(0xff3030) : limit ? new Color(0xd09020) : new Color(0x553333));
            g.fillRoundRect(w - clipW + 2, 1, clipW - 3, h - 2, 6, 6);
            g.setColor(lit || limit ? Color.WHITE : new Color(0x998888));
            g.drawString(limit ? "LIMIT" : "CLIP", w - clipW + 6, base);
        } finally {
            g.dispose();
        }
    }
}
