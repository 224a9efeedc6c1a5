// The input in memory, read as a player reads it: passage, position, loop.
package quorvel.tambrino.practice;

import quorvel.tambrino.Session;
import quorvel.tambrino.TempoStream;
import quorvel.tambrino.audio.PcmSource;

/**
 * The input in memory, read the way a player reads it: a passage of it, from
 * a position that the user may move, around a loop that the user may set,
 * and again at rising tempos when the speed trainer runs.
 *
 * <p>The loop's wrap is spliced: its last {@link #LOOP_FADE_SECONDS} of
 * music blend into the lead-in of its start, which is moved by at most
 * {@link #LOOP_REACH_SECONDS} to where it best continues its end (a held
 * note keeps its phase), with gains that keep the level of what the two
 * share; the engine then stretches a seamless input. A wrap cut without a
 * fade stepped from +0.32 to −0.50 in one sample on a 0.5 tone, and at
 * tempo 0.75 the engine smeared the step into a burst of 20 ms. With a
 * gap of silence between the repeats, the end fades out into the gap and
 * the lead-in fades in at its end instead.
 *
 * <p>Each read returns contiguous input frames only, so that the stretcher
 * knows where every frame it stretched came from ({@link #lastRead()}). A
 * trainer's pass ends the reads (0); {@link #nextPass()} starts the next.
 * {@link #read}, {@link #moveTo} and {@link #nextPass} run on the streaming
 * thread; the loop may be set from any other thread and acts at the next
 * read.
 */
public final class Transport implements TempoStream.Source, PcmSource {
    /** How much of the music the loop's end and the lead-in to its start are cross-faded over. */
    public static final double LOOP_FADE_SECONDS = 0.01;
    /** How far the loop's start may move to continue its end best. */
    public static final double LOOP_REACH_SECONDS = 0.005;
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
    /** The loop whose wrap is worked out (streaming thread): its ends, its start's move and the runs' correlation. */
    private long splicedStart = -1;
    private long splicedEnd = -1;
    private int spliceShift;
    private double spliceCommon;
    private boolean spliceFades;
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

    /** Whether the trainer has a pass after the one being read. */
    boolean morePasses() {
        return trainer != null && pass < trainer.passes() - 1;
    }

    /**
     * At the end of a pass, starts the next at the passage's start and sets
     * its tempo (kept within what the session's mode plays); false when
     * there is none.
     */
    boolean nextPass() {
        if (!morePasses()) {
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
        long gap = loopGap;
        if (inLoop) {
            prepareSplice(a, b);
        }
        if (inLoop && p >= b) {
            if (gapRead < gap) {
                // The gap, placed just before the loop's start: what is heard during it runs in to A,
                // its last frames the lead-in to A faded in, as the loop's end faded out into it.
                int k = (int) Math.min(frames, gap - gapRead);
                long q = a - (gap - gapRead);
                leadInto(buffer, offset, q, k, a, inLoop && spliceFades);
                lastRead = q;
                gapRead += k;
                return k;
            }
            gapRead = 0;
            p = gap > 0 ? a : a + spliceShift;
        }
        long stop = inLoop ? b : end;
        if (p >= stop) {
            return 0;
        }
        int k = (int) Math.min(frames, stop - p);
        System.arraycopy(pcm, (int) (p * channels), buffer, (offset) * channels, k * channels);
        if (inLoop && spliceFades) {
            spliceInto(buffer, offset, p, k, a, b, gap > 0);
        }
        lastRead = p;
        position = p + k;
        return k;
    }

    /** Works out the wrap of the loop from {@code a} to {@code b}, once for each loop. */
    private void prepareSplice(long a, long b) {
        if (a == splicedStart && b == splicedEnd) {
            return;
        }
        splicedStart = a;
        splicedEnd = b;
        int fade = Math.max(1, (int) Math.round(LOOP_FADE_SECONDS * sampleRate));
        int reach = (int) Math.round(LOOP_REACH_SECONDS * sampleRate);
        // A loop too short to hold the fade and the move wraps as it is.
        spliceFades = b - a > 2 * (fade + reach);
        if (!spliceFades) {
            spliceShift = 0;
            return;
        }
        // Compared over 20 ms at least: a low note's period is longer than the fade.
        int window = Math.max(fade, sampleRate / 50);
        spliceShift = Splice.align(pcm, b - window, pcm, a - window, window, reach, channels, start, end);
        spliceCommon = Splice.correlation(pcm, b - fade, pcm, a + spliceShift - fade, fade, channels, start, end);
    }

    /**
     * The loop's last frames, from {@code p} on for {@code k} frames in
     * {@code buffer}, blended with the lead-in to its (moved) start; before
     * the passage, and with a gap between the repeats, the lead-in is
     * silence.
     */
    private void spliceInto(short[] buffer, int offset, long p, int k, long a, long b, boolean gap) {
        int fade = Math.max(1, (int) Math.round(LOOP_FADE_SECONDS * sampleRate));
        long from = Math.max(p, b - fade);
        for (long f = from; f < p + k; f++) {
            double w = (f - (b - fade) + 0.5) / fade;
            double common = gap ? 0 : spliceCommon;
            double out = Splice.gainOut(w, common);
            double in = gap ? 0 : Splice.gainOut(1 - w, common);
            long lead = f - b + a + spliceShift;
            for (int c = 0; c < channels; c++) {
                int i = (int) ((offset + f - p) * channels + c);
                double leadIn = Splice.at(pcm, lead * channels + c, start * channels, end * channels);
                buffer[i] = Splice.clip(out * buffer[i] + in * leadIn);
            }
        }
    }

    /**
     * The gap's frames from input frame {@code q} on ({@code k} of them, all
     * before the loop's start {@code a}): silence, but for its last
     * {@link #LOOP_FADE_SECONDS}, where the lead-in to the start fades in
     * when the loop is long enough to be spliced.
     */
    private void leadInto(short[] buffer, int offset, long q, int k, long a, boolean fades) {
        java.util.Arrays.fill(buffer, offset * channels, (offset + k) * channels, (short) 0);
        int fade = Math.max(1, (int) Math.round(LOOP_FADE_SECONDS * sampleRate));
        for (long f = Math.max(q, a - fade); fades && f < q + k; f++) {
            double in = Splice.gainOut(1 - (f - (a - fade) + 0.5) / fade, 0);
            for (int c = 0; c < channels; c++) {
                buffer[(int) ((offset + f - q) * channels + c)] =
                        Splice.clip(in * Splice.at(pcm, f * channels + c, start * channels, end * channels));
            }
        }
    }

    /**
     * Reads the input from frame {@code from} on, regardless of the passage
     * and the loop (silence beyond the input's end): what follows the
     * passage, for a pass that ends as the music goes on.
     */
    int readAt(long from, short[] buffer, int offset, int frames) {
        long have = pcm.length / channels;
        int k = (int) Math.max(0, Math.min(frames, have - from));
        if (k > 0) {
            System.arraycopy(pcm, (int) (from * channels), buffer, offset * channels, k * channels);
        }
        java.util.Arrays.fill(buffer, (offset + k) * channels, (offset + frames) * channels, (short) 0);
        return frames;
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
