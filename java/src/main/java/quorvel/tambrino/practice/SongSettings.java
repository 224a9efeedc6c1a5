// What is remembered of one song.
package quorvel.tambrino.practice;

import java.util.ArrayList;
import java.util.List;
import java.util.Properties;

/**
 * What is remembered of one song: its named markers and loops, the loop in
 * use, the last tempo and transposition, the trainer and the sound settings. Positions are in
 * frames of the song; they are kept in seconds, so that they mean the same
 * whatever reads them. Reading takes what makes sense and leaves the rest
 * at its default, so a hand-edited or older file never stops a song from
 * opening. A plain value: one thread at a time.
 */
public final class SongSettings {
    /** A named marker ({@code b} < 0) or loop ({@code a} to {@code b}), in frames. */
    public static final class Mark {
        public final String name;
        public final long a;
        public final long b;

        public Mark(String name, long a, long b) {
            this.name = name;
            this.a = a;
            this.b = b;
        }
    }

    public double tempo = 1.0;
    public boolean exact;
    public boolean voice;
    /** Percent. */
    public int voiceAmount = 100;
    public boolean mono;
    public int pan = 50;
    public int preampDb;
    public int bassDb;
    public int middleDb;
    public int trebleDb;
    /** The transposition: semitones (-12 to 12) and cents (-50 to 50). */
    public int semitones;
    public int cents;
    /** FROM:TO:STEP in percent, as typed. */
    public String trainer = "60:100:10";
    public long loopA = -1;
    public long loopB = -1;
    public boolean loopOn;
    /** Seconds of silence heard between the loop's repeats (0 to 10). */
    public double loopGap;
    /** Whether the loop's ends set by hand move to the nearest zero crossing. */
    public boolean snap = true;
    /** How many times an export of the loop plays it (1 to 99). */
    public int repeats = 1;
    public final List<Mark> marks = new ArrayList<>();

    /** The values to keep, positions in seconds at {@code rate}. */
    public Properties toProperties(int rate) {
        Properties p = new Properties();
        p.setProperty("tempo", Double.toString(tempo));
        p.setProperty("quality", exact ? "exact" : "fine");
        p.setProperty("voice", Boolean.toString(voice));
        p.setProperty("voiceAmount", Integer.toString(voiceAmount));
        p.setProperty("mono", Boolean.toString(mono));
        p.setProperty("pan", Integer.toString(pan));
        p.setProperty("preampDb", Integer.toString(preampDb));
        p.setProperty("bassDb", Integer.toString(bassDb));
        p.setProperty("middleDb", Integer.toString(middleDb));
        p.setProperty("trebleDb", Integer.toString(trebleDb));
        p.setProperty("semitones", Integer.toString(semitones));
        p.setProperty("cents", Integer.toString(cents));
        p.setProperty("trainer", trainer);
        p.setProperty("loopGap", Double.toString(loopGap));
        p.setProperty("snap", Boolean.toString(snap));
        p.setProperty("repeats", Integer.toString(repeats));
        if (loopA >= 0) {
            p.setProperty("loop", seconds(loopA, rate) + ":" + seconds(loopB, rate));
            p.setProperty("loopOn", Boolean.toString(loopOn));
        }
        for (int i = 0; i < marks.size(); i++) {
            Mark m = marks.get(i);
            p.setProperty("mark." + i + ".name", m.name);
            p.setProperty("mark." + i + ".at", m.b < 0 ? seconds(m.a, rate) : seconds(m.a, rate) + ":" + seconds(m.b, rate));
        }
        return p;
    }

    /**
     * The settings kept in {@code p} for a song of {@code frames} at
     * {@code rate}: values out of range and positions outside the song are
     * left out.
     */
    public static SongSettings of(Properties p, int rate, long frames) {
        SongSettings s = new SongSettings();
        s.tempo = number(p, "tempo", 1.0, 0.25, 2.0);
        s.exact = "exact".equals(p.getProperty("quality"));
        s.voice = Boolean.parseBoolean(p.getProperty("voice"));
        s.voiceAmount = (int) number(p, "voiceAmount", 100, 0, 100);
        s.mono = Boolean.parseBoolean(p.getProperty("mono"));
        s.pan = (int) number(p, "pan", 50, 0, 100);
        s.preampDb = (int) number(p, "preampDb", 0, -12, 12);
        s.bassDb = (int) number(p, "bassDb", 0, -12, 12);
        s.middleDb = (int) number(p, "middleDb", 0, -12, 12);
        s.trebleDb = (int) number(p, "trebleDb", 0, -12, 12);
        s.semitones = (int) number(p, "semitones", 0, -12, 12);
        s.cents = (int) number(p, "cents", 0, -50, 50);
        String trainer = p.getProperty("trainer", s.trainer);
        if (possibleTrainer(trainer)) {
            s.trainer = trainer;
        }
        s.loopGap = number(p, "loopGap", 0, 0, 10);
        s.snap = !"false".equals(p.getProperty("snap"));
        s.repeats = (int) number(p, "repeats", 1, 1, 99);
        long[] loop = span(p.getProperty("loop", ""), rate, frames);
        if (loop != null && loop[1] > loop[0]) {
            s.loopA = loop[0];
            s.loopB = loop[1];
            s.loopOn = Boolean.parseBoolean(p.getProperty("loopOn"));
        }
        for (int i = 0; p.getProperty("mark." + i + ".name") != null; i++) {
            long[] at = span(p.getProperty("mark." + i + ".at", ""), rate, frames);
            if (at != null) {
                s.marks.add(new Mark(p.getProperty("mark." + i + ".name"), at[0], at[1]));
            }
        }
        return s;
    }

    /** FROM:TO:STEP in percent that the trainer can play: 25 to 200, FROM no higher than TO, STEP above 0. */
    static boolean possibleTrainer(String t) {
        if (!t.matches("[0-9.]+:[0-9.]+:[0-9.]+")) {
            return false;
        }
        String[] v = t.split(":");
        try {
            double from = Double.parseDouble(v[0]);
            double to = Double.parseDouble(v[1]);
            double step = Double.parseDouble(v[2]);
            return from >= 25 && to <= 200 && from <= to && step > 0 && (to - from) / step <= 1000;
        } catch (NumberFormatException e) {
            return false;
        }
    }

    private static String seconds(long frame, int rate) {
        return Double.toString((double) frame / rate);
    }

    private static double number(Properties p, String key, double otherwise, double lo, double hi) {
        try {
            double v = Double.parseDouble(p.getProperty(key, ""));
            return v >= lo && v <= hi ? v : otherwise;
        } catch (NumberFormatException e) {
            return otherwise;
        }
    }

    /** "12.5" as {frame, -1}, "12.5:20" as {from, to}, within the song; null for anything else. */
    private static long[] span(String text, int rate, long frames) {
        String[] parts = text.split(":");
        if (parts.length > 2) {
            return null;
        }
        try {
            double from = Double.parseDouble(parts[0]);
            double to = parts.length > 1 ? Double.parseDouble(parts[1]) : 0;
            if (!Double.isFinite(from) || !Double.isFinite(to)) {
                // NaN rounds to 0: a marker at NaN is no marker at the start.
                return null;
            }
            long a = Math.round(from * rate);
            long b = parts.length > 1 ? Math.round(to * rate) : -1;
            boolean inside = a >= 0 && a < frames && (parts.length == 1 || b > a && b <= frames);
            return inside ? new long[] {a, b} : null;
        } catch (NumberFormatException e) {
            return null;
        }
    }
}
