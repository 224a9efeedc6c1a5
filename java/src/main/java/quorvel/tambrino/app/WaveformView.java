// The practice window's waveform with its loop, markers and playhead.
package quorvel.tambrino.app;

import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Dimension;
import java.awt.Graphics;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.event.MouseAdapter;
import java.awt.event.MouseEvent;
import java.util.ArrayList;
import java.util.List;
import javax.swing.JComponent;

/**
 * The whole song's waveform: its outline (filled in as the background
 * summary comes in), the loop as a shaded span with two handles, the
 * markers and the playhead. A click seeks, a drag selects a loop, a drag of
 * a handle moves that end. It may show the whole song or a part of it
 * (zoomed into the loop). Event dispatch thread only.
 */
final class WaveformView extends JComponent {
    /** What the mouse asks for. */
    interface Listener {
        void seek(long frame);

        /** A loop from {@code a} to {@code b} (a < b) was drawn or moved. */
        void loopChanged(long a, long b);
    }

    static final class Marker {
        final String name;
        final long frame;

        Marker(String name, long frame) {
            this.name = name;
            this.frame = frame;
        }
    }

    private static final Color BACKGROUND = new Color(0x1d2330);
    private static final Color WAVE = new Color(0x6fb3e0);
    private static final Color WAVE_PENDING = new Color(0x3a4456);
    private static final Color LOOP = new Color(255, 214, 102, 60);
    private static final Color LOOP_OFF = new Color(200, 200, 200, 35);
    private static final Color HANDLE = new Color(0xffd666);
    private static final Color PLAYHEAD = new Color(0xff5a5a);
    private static final Color MARKER = new Color(0x9be39b);
    private static final Color RULER = new Color(0x151a24);
    private static final Color RULER_TICK = new Color(0x5a6478);
    private static final Color RULER_TEXT = new Color(0xa8b2c4);
    private static final int GRAB = 6;

    private final Listener listener;
    private WaveformSummary summary;
    private long frames = 1;
    private int sampleRate = 44100;
    private long viewFrom;
    private long viewTo = 1;
    private long playhead = -1;
    private long loopA = -1;
    private long loopB = -1;
    private boolean loopOn;
    private List<Marker> markers = new ArrayList<>();
    private Runnable viewChanged = () -> { };
    /** When the user last scrolled: the view does not follow the playhead for a while after. */
    private long manualNanos = System.nanoTime() - 10_000_000_000L;
    /** 0 = nothing, 1 = a new selection, 2 = handle A, 3 = handle B. */
    private int dragging;
    private int pressX;
    private long pressFrame;

    WaveformView(Listener listener) {
        this.listener = listener;
        setPreferredSize(new Dimension(760, 150));
        setMinimumSize(new Dimension(200, 70));
        setFocusable(true);
        MouseAdapter mouse = new MouseAdapter() {
            @Override
            public void mousePressed(MouseEvent e) {
                // A click here takes the keyboard back from a field or a control.
                requestFocusInWindow();
                if (summary == null) {
                    return;
                }
                pressX = e.getX();
                pressFrame = frameAt(e.getX());
                dragging = 0;
                if (loopA >= 0 && Math.abs(e.getX() - xOf(loopA)) <= GRAB) {
                    dragging = 2;
                } else if (loopB >= 0 && Math.abs(e.getX() - xOf(loopB)) <= GRAB) {
                    dragging = 3;
                }
            }

            @Override
            public void mouseDragged(MouseEvent e) {
                if (summary == null) {
                    return;
                }
                long f = frameAt(e.getX());
                if (dragging == 0 && Math.abs(e.getX() - pressX) > 3) {
                    dragging = 1;
                }
                if (dragging == 1) {
                    setLoopShown(Math.min(pressFrame, f), Math.max(pressFrame, f), loopOn);
                } else if (dragging == 2) {
                    setLoopShown(Math.min(f, loopB - 1), loopB, loopOn);
                } else if (dragging == 3) {
                    setLoopShown(loopA, Math.max(f, loopA + 1), loopOn);
                }
            }

            @Override
            public void mouseReleased(MouseEvent e) {
                if (summary == null) {
                    return;
                }
                if (dragging == 0) {
                    listener.seek(frameAt(e.getX()));
                } else if (loopB > loopA) {
                    listener.loopChanged(loopA, loopB);
                }
                dragging = 0;
            }
        };
        addMouseListener(mouse);
        addMouseMotionListener(mouse);
        // Ctrl and the wheel zoom where the pointer is; the wheel alone (or sideways) scrolls a zoomed view.
        addMouseWheelListener(e -> {
            if (summary == null) {
                return;
            }
            double turns = e.getPreciseWheelRotation();
            if (e.isControlDown()) {
                zoom(Math.pow(1.25, turns), frameAt(e.getX()));
            } else if (zoomed()) {
                scroll(Math.round(turns * 0.1 * (viewTo - viewFrom)));
            }
        });
        setToolTipText("Click to go there, drag to choose a loop, drag a yellow handle to move its end;"
                + " Ctrl and the wheel zoom, the wheel scrolls");
    }

    void setSong(WaveformSummary s, long frames, int sampleRate) {
        this.summary = s;
        this.frames = Math.max(1, frames);
        this.sampleRate = sampleRate;
        this.viewFrom = 0;
        this.viewTo = this.frames;
        this.playhead = 0;
        this.loopA = -1;
        this.loopB = -1;
        markers = new ArrayList<>();
        repaint();
    }

    /** Shows frames {@code from} to {@code to} (the whole song when from >= to), at least {@link #minView()}. */
    void setView(long from, long to) {
        if (from >= to) {
            from = 0;
            to = frames;
        }
        long length = Math.max(Math.min(minView(), frames), Math.min(frames, to - from));
        viewFrom = Math.max(0, Math.min(from, frames - length));
        viewTo = viewFrom + length;
        repaint();
        viewChanged.run();
    }

    /** The narrowest view: eight pixels a sample, where each sample is drawn. */
    long minView() {
        return Math.max(16, getWidth() / 8);
    }

    long viewFrom() {
        return viewFrom;
    }

    long viewTo() {
        return viewTo;
    }

    long frames() {
        return frames;
    }

    /** Told whenever the part shown changes (the scroll bar follows). */
    void onViewChanged(Runnable r) {
        viewChanged = r;
    }

    /**
     * Zooms by {@code factor} (below 1: in) keeping {@code around} where it
     * is on the screen; it may go down to single samples.
     */
    void zoom(double factor, long around) {
        long length = viewTo - viewFrom;
        long wanted = Math.max(Math.min(minView(), frames), Math.min(frames, Math.round(length * factor)));
        double at = Math.max(0, Math.min(1, (double) (around - viewFrom) / length));
        long from = around - Math.round(at * wanted);
        setView(from, from + wanted);
    }

    /** Moves the part shown by {@code by} frames, its length kept. */
    void scroll(long by) {
        manualNanos = System.nanoTime();
        setView(viewFrom + by, viewTo + by);
    }

    /**
     * Keeps the playhead in sight while the music plays: when it leaves the
     * part shown, the next part is shown, unless the user moved the view in
     * the last two seconds.
     */
    void follow(long frame) {
        if (!zoomed() || frame >= viewFrom && frame < viewTo || System.nanoTime() - manualNanos < 2_000_000_000L) {
            return;
        }
        long length = viewTo - viewFrom;
        setView(frame - length / 20, frame - length / 20 + length);
    }

    /** How much of the waveform is summarised: 1 when it is all drawn. */
    double summaryProgress() {
        return summary == null ? 0 : summary.progress();
    }

    boolean zoomed() {
        return viewFrom > 0 || viewTo < frames;
    }

    void setPlayhead(long frame) {
        if (frame != playhead) {
            int oldX = xOf(playhead);
            playhead = frame;
            int newX = xOf(playhead);
            // Only the strips the playhead left and entered need drawing again.
            repaint(Math.min(oldX, newX) - 2, 0, Math.abs(newX - oldX) + 5, getHeight());
        }
    }

    long playhead() {
        return playhead;
    }

    void setLoopShown(long a, long b, boolean on) {
        loopA = a;
        loopB = b;
        loopOn = on;
        repaint();
    }

    void setMarkers(List<Marker> m) {
        markers = new ArrayList<>(m);
        repaint();
    }

    long frameAt(int x) {
        int w = Math.max(1, getWidth());
        long f = viewFrom + Math.round((double) x / w * (viewTo - viewFrom));
        return Math.max(0, Math.min(frames - 1, f));
    }

    int xOf(long frame) {
        return (int) Math.round((double) (frame - viewFrom) / (viewTo - viewFrom) * getWidth());
    }

    /** The labels drawn at the last paint, each with what it says: where they lie, for the tests. */
    private final List<Label> drawnLabels = new ArrayList<>();

    static final class Label {
        final String text;
        final java.awt.Rectangle bounds;

        Label(String text, java.awt.Rectangle bounds) {
            this.text = text;
            this.bounds = bounds;
        }
    }

    List<Label> labels() {
        return new ArrayList<>(drawnLabels);
    }

    /** The height of the time ruler along the top. */
    int rulerHeight() {
        return getFontMetrics(getFont()).getHeight() + 4;
    }

    /** Seconds between the ruler's ticks: the smallest step that leaves room for each tick's time. */
    static double tickStep(double secondsShown, int width, int labelWidth) {
        double[] steps = {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600,
            1200, 1800, 3600};
        for (double step : steps) {
            if (secondsShown / step * (labelWidth + 24) <= width) {
                return step;
            }
        }
        return 7200;
    }

    /** m:ss with as many decimals as the step needs. */
    static String time(double seconds, double step) {
        int decimals = step >= 1 ? 0 : step >= 0.1 ? 1 : step >= 0.01 ? 2 : 3;
        double scale = Math.pow(10, decimals);
        long units = Math.round(Math.max(0, seconds) * scale);
        long whole = (long) (units / scale);
        String s = String.format(java.util.Locale.ROOT, "%d:%02d", whole / 60, whole % 60);
        if (decimals > 0) {
            s += String.format(java.util.Locale.ROOT, ".%0" + decimals + "d", units % (long) scale);
        }
        return s;
    }

    private void label(Graphics2D g, String text, int x, int baseline) {
        java.awt.FontMetrics fm = g.getFontMetrics();
        g.drawString(text, x, baseline);
        drawnLabels.add(new Label(text, new java.awt.Rectangle(x, baseline - fm.getAscent(), fm.stringWidth(text),
                fm.getAscent() + fm.getDescent())));
    }

    @Override
    protected void paintComponent(Graphics g0) {
        Graphics2D g = (Graphics2D) g0.create();
        drawnLabels.clear();
        try {
            int w = getWidth();
            int h = getHeight();
            g.setColor(BACKGROUND);
            g.fillRect(0, 0, w, h);
            g.setRenderingHint(RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
            java.awt.FontMetrics fm = g.getFontMetrics();
            if (summary == null) {
                g.setColor(Color.LIGHT_GRAY);
                g.drawString("Open a song: File \u25b8 Open, drop a file here, or a recent file", 12, h / 2);
                return;
            }
            int ruler = rulerHeight();
            paintRuler(g, w, ruler);
            int top = ruler;
            int mid = top + (h - top) / 2;
            int half = (h - top) / 2;
            float[] range = new float[3];
            double perPixel = (double) (viewTo - viewFrom) / w;
            if (perPixel < 1) {
                paintSamples(g, w, mid, half);
            } else {
                for (int x = 0; x < w; x++) {
                    long a = viewFrom + (long) ((double) x / w * (viewTo - viewFrom));
                    long b = viewFrom + (long) ((double) (x + 1) / w * (viewTo - viewFrom));
                    // Closer than the summary's buckets, the samples themselves.
                    boolean known = perPixel < WaveformSummary.MIN_BUCKET ? summary.exactRange(a, Math.max(a + 1, b),
                            range) : summary.range(a, Math.max(a + 1, b), range);
                    if (!known) {
                        g.setColor(WAVE_PENDING);
                        g.drawLine(x, mid, x, mid);
                        continue;
                    }
                    g.setColor(WAVE);
                    int hi = mid - Math.round(range[1] * (half - 4));
                    int lo = mid - Math.round(range[0] * (half - 4));
                    g.drawLine(x, hi, x, Math.max(hi, lo));
                }
            }
            if (summary.progress() < 1) {
                g.setColor(Color.LIGHT_GRAY);
                label(g, String.format("drawing the waveform\u2026 %d %%", (int) (summary.progress() * 100)), 8,
                        top + fm.getAscent() + 2);
            }
            if (loopA >= 0 && loopB > loopA) {
                int xa = xOf(loopA);
                int xb = xOf(loopB);
                g.setColor(loopOn ? LOOP : LOOP_OFF);
                g.fillRect(xa, top, Math.max(1, xb - xa), h - top);
                g.setColor(HANDLE);
                for (int x : new int[] {xa, xb}) {
                    g.drawLine(x, top, x, h);
                    g.fillPolygon(new int[] {x - 5, x + 5, x}, new int[] {top, top, top + 8}, 3);
                    g.fillPolygon(new int[] {x - 5, x + 5, x}, new int[] {h, h, h - 8}, 3);
                }
                // Each end's letter inside the loop, so that neither runs off the edge; outside a narrow one.
                int base = top + 10 + fm.getAscent();
                boolean room = xb - xa >= fm.stringWidth("AB") + 16;
                label(g, "A", room ? xa + 4 : xa - 4 - fm.stringWidth("A"), base);
                label(g, "B", room ? xb - 4 - fm.stringWidth("B") : xb + 4, base);
            }
            g.setStroke(new BasicStroke(1f, BasicStroke.CAP_BUTT, BasicStroke.JOIN_MITER, 1f, new float[] {3f, 3f},
                    0f));
            for (Marker m : markers) {
                int x = xOf(m.frame);
                if (x < 0 || x > w) {
                    continue;
                }
                g.setColor(MARKER);
                g.drawLine(x, top, x, h);
                label(g, m.name, x + 3, h - 6);
            }
            g.setStroke(new BasicStroke(2f));
            if (playhead >= 0) {
                int x = xOf(playhead);
                g.setColor(PLAYHEAD);
                g.drawLine(x, top, x, h);
            }
        } finally {
            g.dispose();
        }
    }

    /** Zoomed in to fewer samples than pixels: the wave as a line through its samples, each a dot when far apart. */
    private void paintSamples(Graphics2D g, int w, int mid, int half) {
        g.setColor(WAVE);
        g.setRenderingHint(RenderingHints.KEY_ANTIALIASING, RenderingHints.VALUE_ANTIALIAS_ON);
        int px = -1;
        int py = mid;
        boolean dots = (double) w / (viewTo - viewFrom) >= 4;
        for (long f = viewFrom; f <= Math.min(viewTo, frames - 1); f++) {
            int x = xOf(f);
            int y = mid - Math.round(summary.sample(f) * (half - 4));
            if (px >= 0) {
                g.drawLine(px, py, x, y);
            }
            if (dots) {
                g.fillOval(x - 2, y - 2, 5, 5);
            }
            px = x;
            py = y;
        }
        g.setRenderingHint(RenderingHints.KEY_ANTIALIASING, RenderingHints.VALUE_ANTIALIAS_OFF);
        g.setColor(new Color(0x3a4456));
        g.drawLine(0, mid, w, mid);
    }

    /** The time ruler: ticks at a step that fits their times, and the part shown when zoomed, at its right. */
    private void paintRuler(Graphics2D g, int w, int ruler) {
        java.awt.FontMetrics fm = g.getFontMetrics();
        g.setColor(RULER);
        g.fillRect(0, 0, w, ruler);
        String zoom = null;
        int zoomX = w;
        if (zoomed()) {
            double step = tickStep((double) (viewTo - viewFrom) / sampleRate, w, 0);
            zoom = "showing " + time((double) viewFrom / sampleRate, step) + " \u2013 "
                    + time((double) viewTo / sampleRate, step);
            zoomX = w - fm.stringWidth(zoom) - 6;
        }
        double from = (double) viewFrom / sampleRate;
        double to = (double) viewTo / sampleRate;
        double step = tickStep(to - from, w, fm.stringWidth(time(to, 0.001)));
        int base = ruler - fm.getDescent() - 2;
        for (double t = Math.ceil(from / step) * step; t <= to; t += step) {
            int x = xOf(Math.round(t * sampleRate));
            g.setColor(RULER_TICK);
            g.drawLine(x, ruler - 4, x, ruler - 1);
            String text = time(t, step);
            if (x + 3 + fm.stringWidth(text) < zoomX - 8) {
                g.setColor(RULER_TEXT);
                label(g, text, x + 3, base);
            }
        }
        if (zoom != null) {
            g.setColor(HANDLE);
            label(g, zoom, zoomX, base);
        }
    }
}
