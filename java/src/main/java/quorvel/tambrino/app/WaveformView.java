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
import quorvel.tambrino.practice.Terminal;

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
        setToolTipText("Click to go there, drag to select a loop, drag a yellow handle to move its end");
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

    /** Shows frames {@code from} to {@code to} (the whole song when from >= to). */
    void setView(long from, long to) {
        if (from >= to) {
            from = 0;
            to = frames;
        }
        viewFrom = Math.max(0, from);
        viewTo = Math.min(frames, Math.max(viewFrom + 1, to));
        repaint();
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

    @Override
    protected void paintComponent(Graphics g0) {
        Graphics2D g = (Graphics2D) g0.create();
        try {
            int w = getWidth();
            int h = getHeight();
            g.setColor(BACKGROUND);
            g.fillRect(0, 0, w, h);
            g.setRenderingHint(RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
            if (summary == null) {
                g.setColor(Color.LIGHT_GRAY);
                g.drawString("Open a song: File \u25b8 Open, drop a file here, or a recent file", 12, h / 2);
                return;
            }
            int mid = h / 2;
            float[] range = new float[3];
            for (int x = 0; x < w; x++) {
                long a = viewFrom + (long) ((double) x / w * (viewTo - viewFrom));
                long b = viewFrom + (long) ((double) (x + 1) / w * (viewTo - viewFrom));
                if (!summary.range(a, Math.max(a + 1, b), range)) {
                    g.setColor(WAVE_PENDING);
                    g.drawLine(x, mid, x, mid);
                    continue;
                }
                g.setColor(WAVE);
                int top = mid - Math.round(range[1] * (mid - 4));
                int bottom = mid - Math.round(range[0] * (mid - 4));
                g.drawLine(x, top, x, Math.max(top, bottom));
            }
            if (summary.progress() < 1) {
                g.setColor(Color.LIGHT_GRAY);
                g.drawString(String.format("drawing the waveform\u2026 %d %%", (int) (summary.progress() * 100)),
                        8, 16);
            }
            if (loopA >= 0 && loopB > loopA) {
                int xa = xOf(loopA);
                int xb = xOf(loopB);
                g.setColor(loopOn ? LOOP : LOOP_OFF);
                g.fillRect(xa, 0, Math.max(1, xb - xa), h);
                g.setColor(HANDLE);
                for (int x : new int[] {xa, xb}) {
                    g.drawLine(x, 0, x, h);
                    g.fillPolygon(new int[] {x - 5, x + 5, x}, new int[] {0, 0, 8}, 3);
                    g.fillPolygon(new int[] {x - 5, x + 5, x}, new int[] {h, h, h - 8}, 3);
                }
                g.drawString("A", xa + 3, 20);
                g.drawString("B", xb + 3, 20);
            }
            g.setStroke(new BasicStroke(1f, BasicStroke.CAP_BUTT, BasicStroke.JOIN_MITER, 1f, new float[] {3f, 3f},
                    0f));
            for (Marker m : markers) {
                int x = xOf(m.frame);
                if (x < 0 || x > w) {
                    continue;
                }
                g.setColor(MARKER);
                g.drawLine(x, 0, x, h);
                g.drawString(m.name, x + 3, h - 6);
            }
            g.setStroke(new BasicStroke(2f));
            if (playhead >= 0) {
                int x = xOf(playhead);
                g.setColor(PLAYHEAD);
                g.drawLine(x, 0, x, h);
            }
            if (zoomed()) {
                g.setColor(Color.LIGHT_GRAY);
                String z = String.format("zoomed: %s \u2013 %s", Terminal.clock((double) viewFrom / sampleRate),
                        Terminal.clock((double) viewTo / sampleRate));
                g.drawString(z, w - g.getFontMetrics().stringWidth(z) - 8, 16);
            }
        } finally {
            g.dispose();
        }
    }
}
