package quorvel.tambrino.practice;

import quorvel.tambrino.Session;
import quorvel.tambrino.TempoStream;
import quorvel.tambrino.audio.PcmSource;

/**
 * The input in memory, read the way a player reads it: a passage of it, from
 * a position that the user may move, around a loop that the user may set,
 * and again at rising tempos when the speed trainer runs.
 *
 * <p>Each read returns contiguous input frames only, so that the stretcher
 * knows where every frame it stretched came from ({@link #lastRead()}). A
 * trainer's pass ends the reads (0); {@link #nextPass()} starts the next.
 * {@link #read}, {@link #moveTo} and {@link #nextPass} run on the streaming
 * thread; the loop may be set from any other thread and acts at the next
 * read.
 */
public final class Transport implements TempoStream.Source, PcmSource {
    private final short[] pcm;
    private final int channels;
    private final int sampleRate;
    private final long start;
    private final long end;
    private final Passage.Trainer trainer;
    /** Whether the user may move the position and loop (interactive play). */
    private final boolean steered;
    private volatile Session session;

    /** The next frame to read; before the passage's start while silence primes the engine. */
    private volatile long position;
    private long lastRead;
    private volatile long loopStart = -1;
    private volatile long loopEnd = -1;
    private volatile int pass;
    /** Frames of silence between a loop's repeats (0: none); set from any thread, heard from the next repeat. */
    private volatile long loopGap;
    /** Frames of the gap read so far at the loop's end (streaming thread). */
    private long gapRead;

    /**
     * @param steered whether keys may move the position and set a loop (the
     *     interactive player); the stream's length is then not known in advance
     */
    public Transport(short[] pcm, int channels, int sampleRate, Passage passage, boolean steered) {
        this.pcm = pcm;
        this.channels = channels;
        this.sampleRate = sampleRate;
        this.start = passage.start;
        this.end = passage.end < 0 ? pcm.length / channels : passage.end;
        this.trainer = passage.trainer;
        this.steered = steered;
        this.position = start;
    }

    /** The session whose tempo the trainer sets at each pass; set before the first read. */
    void attach(Session s) {
        this.session = s;
    }

    @Override
    public int channels() {
        return channels;
    }

    @Override
    public int sampleRate() {
        return sampleRate;
    }

    /** The length of one pass through the passage; -1 when the keys may loop or move it. */
    @Override
    public long frameLength() {
        return steered ? -1 : end - start;
    }

    long start() {
        return start;
    }

    public long end() {
        return end;
    }

    /** The speed trainer, or null. */
    public Passage.Trainer trainer() {
        return trainer;
    }

    /** The trainer's pass being read, 0 = the first. */
    int pass() {
        return pass;
    }

    /** A frame kept inside the passage. */
    public long clamp(long frame) {
        return Math.max(start, Math.min(end - 1, frame));
    }

    /**
     * Reading goes on from {@code frame} (kept inside the passage), after
     * {@code preroll} frames before it that prime the engine (silence where
     * they fall before the passage, as when it is played from its start).
     */
    void moveTo(long frame, long preroll) {
        gapRead = 0;
        position = clamp(frame) - Math.max(0, preroll);
    }

    /**
     * At the end of a pass, starts the next at the passage's start and sets
     * its tempo (kept within what the session's mode plays); false when
     * there is none.
     */
    boolean nextPass() {
        if (trainer == null || pass >= trainer.passes() - 1) {
            return false;
        }
        pass++;
        Session s = session;
        s.setTempo(Math.max(s.minTempo(), Math.min(s.maxTempo(), trainer.tempo(pass))));
        position = start;
        return true;
    }

    /** Sets the loop's start at a frame; a loop end before it is dropped. */
    public void loopFrom(long frame) {
        long f = clamp(frame);
        if (loopEnd >= 0 && loopEnd <= f) {
            loopEnd = -1;
        }
        loopStart = f;
    }

    /**
     * Sets the loop's end at a frame (the loop starts at the passage's start
     * unless set); returns the loop's start, or -1 when the end is not after it.
     */
    public long loopTo(long frame) {
        long f = Math.max(start, Math.min(end, frame));
        long from = loopStart >= 0 ? loopStart : start;
        if (f <= from) {
            return -1;
        }
        loopStart = from;
        loopEnd = f;
        return from;
    }

    /**
     * Silence of {@code frames} input frames (heard as their length over the
     * tempo) between the loop's repeats, before it starts again: time to
     * breathe, or to count in. 0 for none.
     */
    public void setLoopGap(long frames) {
        loopGap = Math.max(0, frames);
    }

    public void clearLoop() {
        loopStart = -1;
        loopEnd = -1;
    }

    /** The loop as {start, end} frames, or null when none is set. */
    public long[] loop() {
        long a = loopStart;
        long b = loopEnd;
        return a >= 0 && b > a ? new long[] {a, b} : null;
    }

    /** Where a loop's start is set while its end is not; -1 otherwise. */
    public long loopStartOnly() {
        long a = loopStart;
        return a >= 0 && loopEnd < 0 ? a : -1;
    }

    /** The input frame of the first frame that the last read returned (before the passage: silence). */
    long lastRead() {
        return lastRead;
    }

    @Override
    public int read(short[] buffer, int offset, int frames) {
        long p = position;
        if (frames <= 0) {
            return 0;
        }
        if (p < start) {
            int k = (int) Math.min(frames, start - p);
            java.util.Arrays.fill(buffer, offset * channels, (offset + k) * channels, (short) 0);
            lastRead = p;
            position = p + k;
            return k;
        }
        long a = loopStart;
        long b = loopEnd;
        // A loop catches the position anywhere up to its end (not past it, after a seek).
        boolean inLoop = a >= 0 && b > a && p <= b;
        if (inLoop && p >= b) {
            long gap = loopGap;
            if (gapRead < gap) {
                // The gap, placed just before the loop's start: what is heard during it runs in to A.
                int k = (int) Math.min(frames, gap - gapRead);
                java.util.Arrays.fill(buffer, offset * channels, (offset + k) * channels, (short) 0);
                lastRead = a - (gap - gapRead);
                gapRead += k;
                return k;
            }
            gapRead = 0;
            p = a;
        }
        long stop = inLoop ? b : end;
        if (p >= stop) {
            return 0;
        }
        int k = (int) Math.min(frames, stop - p);
        System.arraycopy(pcm, (int) (p * channels), buffer, (offset) * channels, k * channels);
        lastRead = p;
        position = p + k;
        return k;
    }

    /** Reads a whole source into memory. */
    public static short[] readAll(PcmSource in) throws java.io.IOException {
        int ch = in.channels();
        long known = in.frameLength();
        short[] pcm = new short[(int) Math.min(Integer.MAX_VALUE - 8, known > 0 ? known * ch : 1 << 20)];
        int frames = 0;
        while (true) {
            if ((frames + 4096) * ch > pcm.length) {
                pcm = java.util.Arrays.copyOf(pcm, Math.max(pcm.length * 2, (frames + 4096) * ch));
            }
            int n = in.read(pcm, frames, 4096);
            if (n <= 0) {
                break;
            }
            frames += n;
        }
        return java.util.Arrays.copyOf(pcm, frames * ch);
    }
}
