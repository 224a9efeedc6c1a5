// The part of the input to work on, and the speed trainer.
package quorvel.tambrino.practice;

import java.io.IOException;
import java.util.Locale;
import java.util.Map;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.PcmSource;

/**
 * The part of the input to work on (--start, --end) and the speed trainer
 * (--trainer), in frames of one input.
 */
public final class Passage {
    /** First frame of the passage. */
    final long start;
    /** One past its last frame; -1 = the input's end, when its length is not known. */
    final long end;
    /** null without --trainer. */
    public final Trainer trainer;

    /** For the message when a stream of unknown length ends before the passage starts. */
    private final String inName;
    private final String startShown;
    private final int rate;

    private Passage(long start, long end, Trainer trainer, String inName, String startShown, int rate) {
        this.start = start;
        this.end = end;
        this.trainer = trainer;
        this.inName = inName;
        this.startShown = startShown;
        this.rate = rate;
    }

    /** Whether the passage is the whole input, played once. */
    public boolean whole(long inputFrames) {
        return start == 0 && (end < 0 || end == inputFrames) && trainer == null;
    }

    /** Tempos FROM, FROM + STEP, ... up to TO, which is always the last. */
    public static final class Trainer {
        public final double from;
        public final double to;
        public final double step;
        public final String text;

        public Trainer(double from, double to, double step, String text) {
            this.from = from;
            this.to = to;
            this.step = step;
            this.text = text;
        }

        /** The tempo of pass {@code n} (0 = the first). */
        double tempo(int pass) {
            // Rounded to a millionth so that 0.6 + 4 × 0.1 is 1.0, not 0.9999999999999999.
            double t = Math.rint((from + pass * step) * 1e6) / 1e6;
            return Math.min(to, t);
        }

        /** Number of passes: the one at TO included. */
        public int passes() {
            int n = 1;
            while (tempo(n - 1) < to) {
                n++;
            }
            return n;
        }
    }

    public static Passage of(String inName, Double startSeconds, Double endSeconds, Trainer trainer, long frames, int rate) {
        return of(inName, startSeconds, endSeconds, Map.of(), trainer, frames, rate);
    }

    /**
     * The passage from {@code startSeconds} to {@code endSeconds} (null = the
     * input's start or end); {@code typed} holds --start and --end as typed,
     * which messages quote.
     */
    public static Passage of(String inName, Double startSeconds, Double endSeconds, Map<String, String> typed,
            Trainer trainer, long frames, int rate) {
        checkTimes(startSeconds, endSeconds, typed);
        long start = startSeconds == null ? 0 : Math.round(startSeconds * rate);
        long end = endSeconds == null ? frames : Math.round(endSeconds * rate);
        if (endSeconds != null && !(end > start)) {
            // Apart when typed, but the same sample at this rate.
            throw notAfterStart(startSeconds, endSeconds, typed);
        }
        if (frames == 0) {
            throw CliException.file(inName + " holds no audio");
        }
        if (frames >= 0 && start >= frames) {
            throw startBeyondEnd(inName, Settings.shown(typed, "--start", startSeconds), frames, rate);
        }
        if (frames >= 0 && end > frames) {
            // An end beyond the input is its end.
            end = frames;
        }
        return new Passage(start, end, trainer, inName,
                startSeconds == null ? null : Settings.shown(typed, "--start", startSeconds), rate);
    }

    /** Refuses an --end that is not after --start (or the input's start), before any file is opened. */
    public static void checkTimes(Double startSeconds, Double endSeconds, Map<String, String> typed) {
        if (endSeconds != null && !(endSeconds > (startSeconds == null ? 0 : startSeconds))) {
            throw notAfterStart(startSeconds, endSeconds, typed);
        }
    }

    private static CliException notAfterStart(Double startSeconds, Double endSeconds, Map<String, String> typed) {
        return CliException.usage("--end " + Settings.shown(typed, "--end", endSeconds) + " is not after "
                + (startSeconds == null ? "the start of the input" : "--start " + Settings.shown(typed, "--start", startSeconds))
                + ": the passage would be empty");
    }

    private static CliException startBeyondEnd(String inName, String startShown, long frames, int rate) {
        return CliException.usage(String.format(Locale.ROOT, "--start %s is at or after the end of %s (%s)",
                startShown, inName, Terminal.clock((double) frames / rate)));
    }

    /**
     * The passage of a stream, read once: frames before it are skipped, and
     * the stream ends at its end. The length is known when the input's is.
     */
    public PcmSource once(PcmSource in) {
        long inLength = in.frameLength();
        return new PcmSource() {
            private long position;
            private short[] skip;

            @Override
            public int channels() {
                return in.channels();
            }

            @Override
            public int sampleRate() {
                return in.sampleRate();
            }

            @Override
            public long frameLength() {
                long stop = end >= 0 ? end : inLength;
                return stop < 0 ? -1 : stop - start;
            }

            @Override
            public int read(short[] buffer, int offset, int frames) throws IOException {
                while (position < start) {
                    if (skip == null) {
                        skip = new short[4096 * in.channels()];
                    }
                    int n = in.read(skip, 0, (int) Math.min(4096, start - position));
                    if (n <= 0) {
                        // Known only now for a stream: the passage lies beyond its end.
                        throw position == 0 ? CliException.file(inName + " holds no audio")
                                : startBeyondEnd(inName, startShown, position, rate);
                    }
                    position += n;
                }
                int want = end >= 0 ? (int) Math.min(frames, end - position) : frames;
                if (want <= 0) {
                    return 0;
                }
                int n = in.read(buffer, offset, want);
                position += Math.max(0, n);
                return n;
            }
        };
    }

    /** Seconds (12.5) or [h:]m:ss with an optional fraction (1:02.5); a message for anything else. */
    public static double parseTime(String value) {
        String v = value.trim();
        if (!v.matches("(\\d+:){0,2}\\d+(\\.\\d*)?|\\.\\d+")) {
            throw badTime(value);
        }
        String[] parts = v.split(":");
        double seconds = 0;
        for (int i = 0; i < parts.length; i++) {
            double p = Double.parseDouble(parts[i]);
            if (i > 0 && p >= 60) {
                throw badTime(value);
            }
            seconds = seconds * 60 + p;
        }
        return seconds;
    }

    private static IllegalArgumentException badTime(String value) {
        return new IllegalArgumentException("'" + value + "' is not a time: give seconds (12.5) or m:ss (1:02.5)");
    }

    /** FROM:TO:STEP, three tempos with FROM ≤ TO and STEP > 0; a message for anything else. */
    public static Trainer parseTrainer(String value) {
        String[] p = value.split(":");
        if (p.length != 3) {
            throw new IllegalArgumentException("'" + value + "' is not FROM:TO:STEP, e.g. 0.6:1:0.1");
        }
        double[] v = new double[3];
        for (int i = 0; i < 3; i++) {
            try {
                v[i] = Double.parseDouble(p[i].trim());
            } catch (NumberFormatException e) {
                throw new IllegalArgumentException("'" + value + "': '" + p[i] + "' is not a number");
            }
        }
        if (!(v[2] > 0) || !(v[0] <= v[1]) || Double.isInfinite(v[1])) {
            throw new IllegalArgumentException("'" + value + "': the tempo must rise from FROM to TO by a"
                    + " positive STEP, e.g. 0.6:1:0.1");
        }
        Trainer t = new Trainer(v[0], v[1], v[2], value);
        if ((v[1] - v[0]) / v[2] > 1000) {
            throw new IllegalArgumentException("'" + value + "': more than 1000 passes");
        }
        return t;
    }
}
