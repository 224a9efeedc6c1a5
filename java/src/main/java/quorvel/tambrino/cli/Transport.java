package quorvel.tambrino.cli;

import quorvel.tambrino.Session;
import quorvel.tambrino.TempoStream;

/**
 * The input in memory, read the way a player reads it: a passage of it, from
 * a position that the user may move, around a loop that the user may set,
 * and again and again at rising tempos when the speed trainer runs.
 *
 * <p>{@link #read} runs on the streaming thread; the setters may be called
 * from any other thread and act at the next read. A new tempo (a trainer
 * pass) goes to the session, which plays it from its next block.
 */
final class Transport implements TempoStream.Source, PcmSource {
    private final short[] pcm;
    private final int channels;
    private final int sampleRate;
    private final long start;
    private final long end;
    private final Passage.Trainer trainer;
    private volatile Session session;
    /** Whether the passage repeats at the last trainer tempo once the trainer is done (interactive play). */
    private final boolean repeatLastPass;

    private volatile long position;
    private volatile long seekTo = -1;
    private volatile long loopStart = -1;
    private volatile long loopEnd = -1;
    private volatile int pass;

    /**
     * @param repeatLastPass keep looping the passage at the trainer's last tempo (interactive play)
     *     instead of ending after it; the stream's length is then not known in advance
     */
    Transport(short[] pcm, int channels, int sampleRate, Passage passage, boolean repeatLastPass) {
        this.pcm = pcm;
        this.channels = channels;
        this.sampleRate = sampleRate;
        this.start = passage.start;
        this.end = passage.end < 0 ? pcm.length / channels : passage.end;
        this.trainer = passage.trainer;
        this.repeatLastPass = repeatLastPass;
        this.position = start;
    }

    /** The session whose tempo the trainer raises; set before the first read. */
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

    /** The passage's length when it is played once; -1 when it may repeat or jump. */
    @Override
    public long frameLength() {
        return trainer != null || repeatLastPass ? -1 : end - start;
    }

    long start() {
        return start;
    }

    long end() {
        return end;
    }

    /** The next frame to be read. */
    long position() {
        return position;
    }

    /** The speed trainer, or null. */
    Passage.Trainer trainer() {
        return trainer;
    }

    /** The trainer's pass, 0 = the first. */
    int pass() {
        return pass;
    }

    /** Moves to a frame (kept inside the passage) at the next read. */
    void seek(long frame) {
        seekTo = Math.max(start, Math.min(end - 1, frame));
    }

    /** Sets the loop's start at a frame; a loop end before it is dropped. */
    void loopFrom(long frame) {
        long f = Math.max(start, Math.min(end - 1, frame));
        if (loopEnd >= 0 && loopEnd <= f) {
            loopEnd = -1;
        }
        loopStart = f;
    }

    /**
     * Sets the loop's end at a frame (the loop starts at the passage's start
     * unless set). Reading runs ahead of what is heard, so when it is already
     * past the new end it goes back to the loop's start at once.
     */
    void loopTo(long frame) {
        long f = Math.max(start, Math.min(end, frame));
        long from = loopStart >= 0 ? loopStart : start;
        if (f > from) {
            loopStart = from;
            loopEnd = f;
            if (position >= f) {
                seekTo = from;
            }
        }
    }

    void clearLoop() {
        loopStart = -1;
        loopEnd = -1;
    }

    /** The loop as {start, end} frames, or null when none is set. */
    long[] loop() {
        long a = loopStart;
        long b = loopEnd;
        return a >= 0 && b > a ? new long[] {a, b} : null;
    }

    @Override
    public int read(short[] buffer, int offset, int frames) {
        long s = seekTo;
        if (s >= 0) {
            seekTo = -1;
            position = s;
        }
        int copied = 0;
        while (copied < frames) {
            long[] loop = loop();
            // A loop catches the position anywhere up to its end (not past it, after a seek).
            boolean inLoop = loop != null && position <= loop[1];
            long stop = inLoop ? loop[1] : end;
            if (position >= stop) {
                if (inLoop) {
                    position = loop[0];
                    continue;
                }
                if (trainer != null && pass < trainer.passes() - 1) {
                    pass++;
                    session.setTempo(trainer.tempo(pass));
                    position = start;
                    continue;
                }
                if (trainer != null && repeatLastPass) {
                    position = start;
                    continue;
                }
                return copied;
            }
            int k = (int) Math.min(frames - copied, stop - position);
            System.arraycopy(pcm, (int) (position * channels), buffer, (offset + copied) * channels, k * channels);
            position += k;
            copied += k;
        }
        return copied;
    }

    /** Reads a whole source into memory. */
    static short[] readAll(PcmSource in) throws java.io.IOException {
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
