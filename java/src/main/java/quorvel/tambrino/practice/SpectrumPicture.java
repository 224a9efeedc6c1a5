package quorvel.tambrino.practice;

import java.awt.image.BufferedImage;
import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import javax.imageio.ImageIO;

/**
 * The picture of a run: the engine's 72-note spectrum over time as a piano
 * roll (C1 at the bottom to B6 at the top, C notes labelled, time across,
 * level in colour) and the peak meter under it, from the values polled after
 * every block.
 *
 * <p>Layout, in pixels: a {@value #LEFT}-wide label column, the plot
 * ({@code plotWidth} wide, {@value #ROW} per note), a gap, the meter strip
 * ({@value #METER_H} high, −48 to +6 dBFS) and a time axis. The size is
 * {@link #width(int)} × {@link #HEIGHT}.
 */
public final class SpectrumPicture implements Stretcher.BlockListener {
    public static final int LEFT = 36;
    static final int RIGHT = 12;
    public static final int TOP = 12;
    public static final int ROW = 5;
    public static final int PLOT_H = Stretcher.NOTES * ROW;
    static final int GAP = 10;
    static final int METER_H = 60;
    static final int AXIS_H = 18;
    static final int BOTTOM = 4;
    public static final int HEIGHT = TOP + PLOT_H + GAP + METER_H + AXIS_H + BOTTOM;
    public static final int DEFAULT_PLOT_WIDTH = 960;
    public static final int MIN_PLOT_WIDTH = 64;
    public static final int MAX_PLOT_WIDTH = 16384;

    /** Spectrum value of a full-scale sine at a note's frequency, once the smoothing has settled. */
    private static final double FULL_SCALE_NOTE = 0.3125;
    private static final double FLOOR_DB = -60.0;
    private static final double METER_MIN_DB = -48.0;
    private static final double METER_MAX_DB = 6.0;

    private static final int BACKGROUND = 0x18181c;
    private static final int TEXT = 0xc8c8c8;
    private static final int GRID = 0x505058;

    private static final class Column {
        final long start;
        final long end;
        final float level;
        final float[] notes;

        Column(long start, long end, float level, float[] notes) {
            this.start = start;
            this.end = end;
            this.level = level;
            this.notes = notes;
        }
    }

    private final List<Column> columns = new ArrayList<>();

    public static int width(int plotWidth) {
        return LEFT + plotWidth + RIGHT;
    }

    @Override
    public void block(long start, long end, float level, float[] spectrum) {
        columns.add(new Column(start, end, level, spectrum == null ? new float[Stretcher.NOTES] : spectrum.clone()));
    }

    /** Renders the picture of a stream of {@code frames} frames at {@code sampleRate}. */
    BufferedImage render(int plotWidth, long frames, int sampleRate) {
        BufferedImage img = new BufferedImage(width(plotWidth), HEIGHT, BufferedImage.TYPE_INT_RGB);
        fill(img, 0, 0, img.getWidth(), img.getHeight(), BACKGROUND);
        int meterTop = TOP + PLOT_H + GAP;

        int first = 0;
        for (int x = 0; x < plotWidth; x++) {
            long t0 = frames * x / plotWidth;
            long t1 = Math.max(t0 + 1, frames * (x + 1) / plotWidth);
            while (first < columns.size() && columns.get(first).end <= t0) {
                first++;
            }
            float[] notes = new float[Stretcher.NOTES];
            float level = 0;
            boolean any = false;
            for (int c = first; c < columns.size() && columns.get(c).start < t1; c++) {
                Column col = columns.get(c);
                any = true;
                level = Math.max(level, col.level);
                for (int n = 0; n < notes.length; n++) {
                    notes[n] = Math.max(notes[n], col.notes[n]);
                }
            }
            int px = LEFT + x;
            for (int n = 0; n < Stretcher.NOTES; n++) {
                int rgb = any ? heat(notes[n]) : 0;
                fill(img, px, TOP + (Stretcher.NOTES - 1 - n) * ROW, 1, ROW, rgb);
            }
            fill(img, px, meterTop, 1, METER_H, 0x0c0c0e);
            if (any && level > 0) {
                double db = 20 * Math.log10(level);
                int y = meterY(db, meterTop);
                int colour = db >= 0 ? 0xe63228 : db >= -6 ? 0xe6c828 : 0x3cc850;
                fill(img, px, y, 1, meterTop + METER_H - y, colour);
            }
        }

        // Octave lines under each C and their labels.
        for (int octave = 0; octave < 6; octave++) {
            int note = octave * 12;
            int rowTop = TOP + (Stretcher.NOTES - 1 - note) * ROW;
            blend(img, LEFT, rowTop + ROW - 1, plotWidth, 1, GRID);
            String label = "C" + (octave + 1);
            PixelFont.draw(img, label, LEFT - 4 - PixelFont.width(label), rowTop + ROW / 2 - PixelFont.GLYPH_H / 2,
                    TEXT);
        }
        // Meter scale.
        for (int db = 0; db >= -48; db -= 12) {
            int y = meterY(db, meterTop);
            blend(img, LEFT, y, plotWidth, 1, db == 0 ? 0x909098 : GRID);
            if (db % 24 == 0) {
                String label = Integer.toString(db);
                int ly = Math.min(meterTop + METER_H - PixelFont.GLYPH_H, Math.max(meterTop, y - 3));
                PixelFont.draw(img, label, LEFT - 4 - PixelFont.width(label), ly, TEXT);
            }
        }
        PixelFont.draw(img, "dB", LEFT - 4 - PixelFont.width("dB"), meterTop + 13, TEXT);
        timeAxis(img, plotWidth, frames, sampleRate, meterTop + METER_H);
        return img;
    }

    private static int meterY(double db, int meterTop) {
        double f = (Math.max(METER_MIN_DB, Math.min(METER_MAX_DB, db)) - METER_MIN_DB) / (METER_MAX_DB - METER_MIN_DB);
        return meterTop + (int) Math.round((1 - f) * (METER_H - 1));
    }

    private static void timeAxis(BufferedImage img, int plotWidth, long frames, int sampleRate, int top) {
        double seconds = (double) frames / sampleRate;
        if (seconds <= 0) {
            return;
        }
        int[] steps = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1800, 3600};
        int step = steps[steps.length - 1];
        for (int s : steps) {
            if (s * plotWidth / seconds >= 60) {
                step = s;
                break;
            }
        }
        for (int s = 0; s <= seconds; s += step) {
            int x = LEFT + (int) Math.round(s * plotWidth / seconds);
            if (x >= LEFT + plotWidth) {
                break;
            }
            fill(img, x, top, 1, 4, TEXT);
            String label = Terminal.clock(s);
            int lx = Math.max(0, Math.min(img.getWidth() - PixelFont.width(label), x - PixelFont.width(label) / 2));
            PixelFont.draw(img, label, lx, top + 6, TEXT);
        }
    }

    /** Black through blue, purple, red and yellow to white over −60..0 dB of a full-scale note. */
    static int heat(float value) {
        if (!(value > 0)) {
            return 0;
        }
        double db = 20 * Math.log10(value / FULL_SCALE_NOTE);
        double t = Math.max(0, Math.min(1, (db - FLOOR_DB) / -FLOOR_DB));
        double[][] stops = {
            {0.0, 0, 0, 0}, {0.25, 20, 10, 90}, {0.5, 140, 20, 140}, {0.7, 230, 60, 30},
            {0.88, 255, 200, 0}, {1.0, 255, 255, 220},
        };
        for (int i = 1; i < stops.length; i++) {
            if (t <= stops[i][0]) {
                double f = (t - stops[i - 1][0]) / (stops[i][0] - stops[i - 1][0]);
                int r = (int) Math.round(stops[i - 1][1] + f * (stops[i][1] - stops[i - 1][1]));
                int g = (int) Math.round(stops[i - 1][2] + f * (stops[i][2] - stops[i - 1][2]));
                int b = (int) Math.round(stops[i - 1][3] + f * (stops[i][3] - stops[i - 1][3]));
                return (r << 16) | (g << 8) | b;
            }
        }
        return 0xffffdc;
    }

    private static void fill(BufferedImage img, int x, int y, int w, int h, int rgb) {
        for (int j = Math.max(0, y); j < Math.min(img.getHeight(), y + h); j++) {
            for (int i = Math.max(0, x); i < Math.min(img.getWidth(), x + w); i++) {
                img.setRGB(i, j, rgb);
            }
        }
    }

    /** Half-transparent line over what is drawn. */
    private static void blend(BufferedImage img, int x, int y, int w, int h, int rgb) {
        for (int j = Math.max(0, y); j < Math.min(img.getHeight(), y + h); j++) {
            for (int i = Math.max(0, x); i < Math.min(img.getWidth(), x + w); i++) {
                int o = img.getRGB(i, j);
                int r = (((o >> 16) & 0xff) + ((rgb >> 16) & 0xff)) / 2;
                int g = (((o >> 8) & 0xff) + ((rgb >> 8) & 0xff)) / 2;
                int b = ((o & 0xff) + (rgb & 0xff)) / 2;
                img.setRGB(i, j, (r << 16) | (g << 8) | b);
            }
        }
    }

    /** The picture as a PNG file's bytes, written out by the caller like any other output. */
    static byte[] encodePng(BufferedImage img) throws IOException {
        java.io.ByteArrayOutputStream bytes = new java.io.ByteArrayOutputStream();
        ImageIO.setUseCache(false);
        if (!ImageIO.write(img, "png", bytes)) {
            throw new IOException("no PNG writer available");
        }
        return bytes.toByteArray();
    }
}
