// The default audio output: a Java Sound line fed from a ring by a thread of its own.
package quorvel.tambrino.audio;

import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.LineUnavailableException;
import javax.sound.sampled.SourceDataLine;

/**
 * The system's default audio output: a Java Sound line, fed by a thread of
 * its own from a ring that holds what was written and is not heard yet.
 *
 * <p>Owns the line, the ring and the feeding thread. One writer thread
 * calls {@link #write}, {@link #drain} and {@link #discardUnheard}; any
 * thread may pause, resume, retry, and ask what is heard or what is wrong;
 * the owner closes. Only the feeding thread calls the line, because a line
 * whose sound server stops responding blocks in its start, stop and close:
 * the callers never wait on it, the writer at most for room in the ring and
 * never once the output is in trouble.
 *
 * <p>The feeding thread hands the line a lead of sound (see
 * {@link #LINE_LEAD_MS}) and only ever appends to what it holds, so that
 * nothing handed over is cut: a pause fades the music out over 10 ms after
 * what the line holds; a seek's new start follows it, as
 * {@link #discardUnheard()} reports it kept, so the caller's cross-fade
 * meets it exactly; closing fades out too. Where there is no music (paused,
 * or the writer late) the line gets silence, because a line that runs dry
 * loses some of what it is given next; a line that held only silence for a
 * while stops. Play drops that silence (the only flush) and starts with the
 * music faded in, handed over before the line starts so that it is heard at
 * once.
 *
 * <p>A line that takes nothing (its sound server went away), or that holds
 * sound and plays none of it for {@link #STALL_NANOS}, puts the output in
 * {@link #trouble()}: writes and drains throw {@link AudioSink.Unavailable}
 * instead of waiting, and the feeding thread closes the line and opens the
 * default output again every second, or at once after {@link #retry()}.
 * Once one plays, what was written and not heard plays from where the sound
 * stopped, faded in.
 */
final class LineSink implements AudioSink {
    /**
     * The most sound handed to the line at a time on a quiet machine: what
     * a pause or a seek waits for. The line starts with
     * {@link #MAX_LINE_LEAD_MS}, which rides out a feeding thread kept from
     * running (a busy machine, a long garbage collection, the first seconds
     * of a virtual machine), comes down towards this after
     * {@link #CALM_NANOS} in which the thread always came in time, and goes
     * back up whenever it finds the line less than a quarter full with music
     * waiting.
     */
    static final int LINE_LEAD_MS = 60;
    static final int MAX_LINE_LEAD_MS = 250;
    /** How far the writer may run ahead of what is heard: the line's lead and a margin for the writer's own delays. */
    private static final int WRITE_LEAD_MS = MAX_LINE_LEAD_MS + 100;
    private static final long CALM_NANOS = 5_000_000_000L;
    /** A line holding sound that plays none of it for this long is in trouble; twice as long, it is opened again. */
    static final long STALL_NANOS = 1_500_000_000L;
    private static final long RETRY_NANOS = 1_000_000_000L;
    /** After the sound handed over should have played, how long before it is taken as played (the server's own lead). */
    private static final long SETTLE_NANOS = 60_000_000L;
    /** A line that played only silence for this long stops until there is music again. */
    private static final long IDLE_NANOS = 2_000_000_000L;
    /** The frames handed to the line at a time while it holds enough. */
    private static final int BLOCK = 1024;
    /** How long a start may wait for more music than the first block. */
    private static final long START_WAIT_NANOS = 20_000_000L;

    /**
     * PLAYING hands over music (silence when none is written); FADING has
     * handed over a pause's fade-out, PAUSED has played it (both hand over
     * silence); STOPPED has stopped the line, which holds only silence.
     */
    private enum State { PLAYING, FADING, PAUSED, STOPPED }

    private final AudioFormat format;
    private final int frameBytes;
    private final int rate;
    private final int lineBytes;
    private final int baseLead;
    private final int maxLead;
    private final int writeLead;
    private final int fade;
    private final Thread feeder;

    // All below guarded by this.
    private byte[] ring;
    /** Frames the ring holds: frame f lives at (f % ringFrames) * frameBytes. */
    private int ringFrames;
    /** Frames written; the ring holds those from {@link #heard} on. */
    private long written;
    /** Where the old stream's frames left in the ring end after a discard, for a fade-out at a close or pause that follows. */
    private long tailTo;
    /** Frames handed to the line. */
    private long fed;
    private long heard;
    /** What the line last said it had played, by the room it reported while its reports made sense. */
    private long reported;
    /** The frame the current line's position 0 stands for. */
    private long lineStart;
    /** When all that was handed to the line will have played, by the clock. */
    private long dueNanos;
    /** When {@link #heard} last moved, or the line held nothing to play. */
    private long movedNanos;
    /** When the feeding thread last came round; a thread stuck in a line call stops it. */
    private long cycleNanos;
    private boolean paused;
    private boolean closing;
    private boolean closed;
    private boolean retryAsked;
    private long retryNanos;
    /** Why the line was given up, while no new one plays. */
    private String lost;
    /** Opens of a new line that failed since it was given up. */
    private int tries;
    private boolean stalled;
    /** Frames of the fade-in still to come. */
    private int fadeInLeft;
    /** The most frames handed to the line at a time, now (see {@link #LINE_LEAD_MS}). */
    private int lead;
    /** When the line was last found nearly empty with music waiting, or the lead last came down. */
    private long starvedNanos;
    /** The line; set and cleared by the feeding thread only. */
    private SourceDataLine line;
    private State state = State.STOPPED;
    /** When the last music handed to the line will have played. */
    private long musicDueNanos;
    /** Frames of silence handed to the line since its last music. */
    private long silenceAfterMusic;
    /** Since when only silence went to the line (0: music goes). */
    private long quietSince;
    private long lastPosition = -1;
    /** Since when music waits for the line to start (0: none waits). */
    private long musicSince;
    private int lastAvail = -1;

    LineSink(AudioFormat format) {
        this.format = format;
        this.frameBytes = format.getFrameSize();
        this.rate = Math.round(format.getFrameRate());
        this.lineBytes = Math.max(4096, rate * (MAX_LINE_LEAD_MS + 50) / 1000 * frameBytes);
        this.baseLead = Math.max(64, rate * LINE_LEAD_MS / 1000);
        this.maxLead = Math.max(baseLead, rate * MAX_LINE_LEAD_MS / 1000);
        this.lead = maxLead;
        this.writeLead = Math.max(1024, rate * WRITE_LEAD_MS / 1000);
        this.fade = Math.max(1, rate / 100);
        this.ringFrames = writeLead + rate;
        this.ring = new byte[ringFrames * frameBytes];
        try {
            line = open(format, lineBytes);
        } catch (LineUnavailableException | IllegalArgumentException | SecurityException e) {
            throw new CliException(CliException.EXIT_NO_AUDIO, "no audio output is available to play "
                    + rate + " Hz " + (format.getChannels() == 1 ? "mono" : "stereo")
                    + " (" + e.getMessage() + "); use --output-file FILE.wav to write what would be heard, or"
                    + " 'tambrino stretch IN.wav OUT.wav' to write a file instead");
        }
        // Started with its first music (see RESTART), which it then plays at once.
        long now = System.nanoTime();
        dueNanos = now;
        musicDueNanos = now;
        movedNanos = now;
        cycleNanos = now;
        fadeInLeft = fade;
        feeder = new Thread(this::feed, "tambrino-output");
        feeder.setDaemon(true);
        feeder.setPriority(Thread.MAX_PRIORITY);
        feeder.start();
    }

    private static SourceDataLine open(AudioFormat format, int bytes) throws LineUnavailableException {
        SourceDataLine l = AudioSystem.getSourceDataLine(format);
        l.open(format, bytes);
        return l;
    }

    // ---- the writer's side ----

    @Override
    public void write(byte[] bytes, int offset, int length) {
        int frames = length / frameBytes;
        synchronized (this) {
            while (true) {
                if (closed || closing) {
                    return;
                }
                String why = troubleNow();
                // While paused the writer may still be finishing a block: taken if it fits, whatever the output.
                if (why != null && !paused) {
                    throw new Unavailable(why);
                }
                long unheard = written - heard;
                if (unheard == 0 && frames > ringFrames) {
                    grow(frames);
                }
                if (unheard + frames <= ringFrames && (paused || unheard + frames <= Math.max(writeLead, frames))) {
                    break;
                }
                waitHere(10);
            }
            int at = (int) (written % ringFrames);
            int first = Math.min(frames, ringFrames - at);
            System.arraycopy(bytes, offset, ring, at * frameBytes, first * frameBytes);
            System.arraycopy(bytes, offset + first * frameBytes, ring, 0, (frames - first) * frameBytes);
            written += frames;
            tailTo = written;
            notifyAll();
        }
    }

    private void grow(int frames) {
        byte[] bigger = new byte[(writeLead + frames + rate) * frameBytes];
        // Nothing unheard: the ring starts over at the same frame numbers.
        ring = bigger;
        ringFrames = bigger.length / frameBytes;
    }

    @Override
    public synchronized void drain() {
        while (!closed && !closing && !paused && heard < written) {
            String why = troubleNow();
            if (why != null) {
                throw new Unavailable(why);
            }
            waitHere(5);
        }
    }

    @Override
    public synchronized long heardFrames() {
        return heard;
    }

    @Override
    public synchronized void pause() {
        paused = true;
        notifyAll();
    }

    @Override
    public synchronized void resume() {
        paused = false;
        movedNanos = System.nanoTime();
        retryAsked = lost != null;
        notifyAll();
    }

    /**
     * Keeps what the line holds (heard within {@link #LINE_LEAD_MS}) and
     * drops the rest; returns the frames kept, which what is written next
     * follows in the line without a gap.
     */
    @Override
    public synchronized long discardUnheard() {
        tailTo = written;
        written = fed;
        notifyAll();
        return fed;
    }

    @Override
    public synchronized String trouble() {
        return troubleNow();
    }

    private String troubleNow() {
        if (closed) {
            return null;
        }
        if (lost != null) {
            return lost;
        }
        // A feeding thread stuck in a line call for that long: the line's server does not respond.
        boolean stuck = !paused && System.nanoTime() - cycleNanos > STALL_NANOS;
        return stalled || stuck ? STALLED : null;
    }

    @Override
    public synchronized void retry() {
        retryAsked = true;
        notifyAll();
    }

    /** Fades out what plays, then closes the line; waits for that a second at the most. */
    @Override
    public void close() {
        synchronized (this) {
            if (closing) {
                return;
            }
            closing = true;
            notifyAll();
        }
        try {
            feeder.join(1000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        synchronized (this) {
            closed = true;
            notifyAll();
        }
    }

    private void waitHere(long millis) {
        try {
            wait(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new CliException(CliException.EXIT_NO_AUDIO, "interrupted while playing");
        }
    }

    // ---- the feeding thread ----

    private void feed() {
        byte[] chunk = new byte[(maxLead + fade) * frameBytes];
        byte[] silence = new byte[maxLead * frameBytes];
        int refusals = 0;
        while (true) {
            SourceDataLine l;
            boolean open;
            synchronized (this) {
                long now = System.nanoTime();
                cycleNanos = now;
                l = line;
                if (closed || closing && (l == null || state == State.PAUSED || state == State.STOPPED)) {
                    break;
                }
                open = l == null && (retryAsked || now >= retryNanos);
                boolean waiting = state == State.STOPPED && (paused || closing || written == fed);
                if (l == null && !open || l != null && waiting) {
                    waitFeeding(l == null ? 20 : 100);
                    continue;
                }
                if (open) {
                    retryAsked = false;
                    retryNanos = now + RETRY_NANOS;
                }
            }
            if (open) {
                reopen();
                continue;
            }
            try {
                refusals = feedOnce(l, chunk, silence, refusals);
                if (refusals < 0 || refusals >= 3) {
                    // It takes nothing (its server went away), or holds sound and plays none of it.
                    giveUp(l, refusals < 0 ? STALLED : "the audio output went away");
                    refusals = 0;
                }
            } catch (RuntimeException e) {
                giveUp(l, "the audio output failed (" + e.getMessage() + ")");
                refusals = 0;
            }
        }
        SourceDataLine l;
        synchronized (this) {
            l = line;
            line = null;
        }
        if (l != null) {
            l.stop();
            l.close();
        }
    }

    private static final String STALLED = "the audio output stopped playing (it holds sound and plays none)";

    private void waitFeeding(long millis) {
        try {
            wait(millis);
        } catch (InterruptedException e) {
            // Nobody interrupts this thread; it goes on until closed.
        }
    }

    /**
     * One round of the feeding thread with a line: takes in what the line
     * says it holds and has played, then starts, fades out, stops or hands
     * over music or silence as the state asks. Returns the writes the line
     * refused in a row so far, or -1 when it has held sound without playing
     * for twice {@link #STALL_NANOS}.
     */
    private int feedOnce(SourceDataLine l, byte[] chunk, byte[] silence, int refusals) {
        int avail = l.available();
        long position = l.getLongFramePosition();
        int bufferBytes = l.getBufferSize();
        Step step;
        int frames;
        long from;
        synchronized (this) {
            long now = System.nanoTime();
            // What the line holds unplayed. Its report is taken between none and all of its buffer
            // free; a line reports more room than its buffer while it starts or after a flush, all
            // of it on an error (it ran dry: the next write recovers it) and none once it is in
            // that state: then what was handed over and has not had time to play, by the clock.
            int clockHeld = (int) Math.max(0, (dueNanos - now) * rate / 1_000_000_000L);
            boolean told = avail > 0 && avail < bufferBytes || avail == 0 && clockHeld > 0;
            int held = told ? (bufferBytes - avail) / frameBytes : clockHeld;
            if (told) {
                dueNanos = now + held * 1_000_000_000L / rate;
            }
            avail = told ? avail : Math.max(0, bufferBytes - held * frameBytes);
            // The position stands still or even steps back after the line ran dry, and it stands still
            // once the line plays only silence: what was handed over less what the line holds has played.
            long h = now > musicDueNanos + SETTLE_NANOS ? fed : Math.max(lineStart + position, fed - held);
            h = Math.max(heard, Math.min(fed, h));
            if (told) {
                // Not the position, which the line moves on by the clock between the server's reports
                // and goes on moving after the server is gone.
                reported = Math.max(reported, fed - held);
            }
            if (h > heard) {
                heard = h;
                notifyAll();
            }
            if (state != State.STOPPED) {
                if (position != lastPosition || avail != lastAvail) {
                    movedNanos = now;
                    stalled = false;
                } else if (now - movedNanos > STALL_NANOS) {
                    stalled = true;
                    if (now - movedNanos > 2 * STALL_NANOS) {
                        return -1;
                    }
                }
            }
            lastPosition = position;
            lastAvail = avail;
            boolean quiet = paused || closing;
            // The music handed over has played by the clock, and by the line's report where it makes sense:
            // it holds no more than the silence that followed (the server may run late on a busy machine).
            boolean musicPlayed = now > musicDueNanos + SETTLE_NANOS && (!told || held <= silenceAfterMusic);
            if (state == State.PLAYING && written > fed && held < lead / 4) {
                // Nearly run dry with music waiting: this thread came late; the most in the line from now on.
                lead = maxLead;
                starvedNanos = now;
            } else if (lead > baseLead && now - starvedNanos > CALM_NANOS) {
                // Calm: halfway down towards the least, and again two seconds on.
                lead = Math.max(baseLead, lead - (lead - baseLead + 1) / 2);
                starvedNanos = now - CALM_NANOS + 2_000_000_000L;
            }
            int room = Math.max(0, Math.min(avail / frameBytes, lead - held));
            from = fed;
            frames = 0;
            boolean restart = !quiet && written > fed && (state == State.STOPPED || state != State.PLAYING && musicPlayed);
            if (!restart) {
                musicSince = 0;
            } else if (musicSince == 0) {
                musicSince = now;
            }
            if (restart && written - fed < lead / 2 && now - musicSince < START_WAIT_NANOS) {
                // A start waits a moment for more than the first block, which could play out before the next.
                waitFeeding(2);
                return refusals;
            } else if (restart) {
                // Music after a pause or a stop: the line holds only silence, which goes; the music
                // is handed over before the line starts, so that it starts at once.
                musicSince = 0;
                step = Step.RESTART;
                stoppedBefore = state == State.STOPPED;
                frames = (int) Math.min(lead, written - fed);
                fadeInLeft = fade;
                music(from, frames, chunk);
            } else if (quiet && state == State.PLAYING) {
                step = Step.FADE_OUT;
                frames = fadeOutFrames(chunk);
            } else if (!quiet && state == State.FADING) {
                // Play while the fade-out is still to be heard: the music follows it, faded in.
                step = Step.NONE;
                state = State.PLAYING;
                fadeInLeft = fade;
            } else if (quiet || written == fed) {
                // Silence keeps the line playing, as a line that runs dry drops some of what follows;
                // one that played nothing else for a while stops. While the music is only late, just
                // enough to keep the line from running dry, so that the music goes on once it comes.
                int least = quiet ? lead : Math.min(lead, 2 * fade);
                frames = Math.max(0, Math.min(room, least - held));
                if (frames > 0 && quietSince == 0) {
                    quietSince = now;
                }
                if (frames > 0) {
                    // The music comes back after a gap: faded in.
                    fadeInLeft = fade;
                }
                step = musicPlayed && quietSince != 0 && now - quietSince > IDLE_NANOS ? Step.STOP : Step.SILENCE;
                if (state == State.FADING && musicPlayed) {
                    state = State.PAUSED;
                }
            } else {
                step = Step.MUSIC;
                frames = (int) Math.min(room, written - fed);
                music(from, frames, chunk);
            }
            // A block at a time, unless the line runs low: each write costs the sound server's client
            // a round, which on a busy machine can take longer than the few frames it would carry.
            int block = Math.min(BLOCK, lead / 2);
            if ((step == Step.MUSIC || step == Step.SILENCE) && (frames == 0 || frames < block && held >= lead / 2)) {
                long due = (long) (held - (lead - block)) * 1000 / rate;
                waitFeeding(Math.max(2, Math.min(20, due)));
                return refusals;
            }
        }
        switch (step) {
            case RESTART:
                // Stopped before the flush and started once its music is in: a line started empty (as a
                // flush of a running line does) drops the first milliseconds of what it is given next.
                if (!stoppedBefore) {
                    l.stop();
                }
                l.flush();
                synchronized (this) {
                    lineStart = fed - l.getLongFramePosition();
                    reported = fed;
                    dueNanos = System.nanoTime();
                    state = State.PLAYING;
                }
                break;
            case STOP:
                l.stop();
                synchronized (this) {
                    state = State.STOPPED;
                    notifyAll();
                }
                return refusals;
            case NONE:
                return refusals;
            default:
                break;
        }
        boolean music = step != Step.SILENCE;
        byte[] data = music ? chunk : silence;
        int n = Math.max(0, l.write(data, 0, frames * frameBytes) / frameBytes);
        if (step == Step.RESTART) {
            l.start();
        }
        synchronized (this) {
            long now = System.nanoTime();
            dueNanos = Math.max(dueNanos, now) + n * 1_000_000_000L / rate;
            silenceAfterMusic = music ? 0 : silenceAfterMusic + n;
            if (step == Step.FADE_OUT && fadeFromTail || !music) {
                // Not music of the stream: the line's position runs on past it.
                lineStart -= n;
            } else if (fed == from) {
                fed += n;
                fadeInLeft = Math.max(0, fadeInLeft - n);
            }
            if (music) {
                musicDueNanos = dueNanos;
            }
        }
        return frames == 0 || n > 0 ? 0 : refusals + 1;
    }

    /** Whether the line being started again was stopped already (else it plays silence). */
    private boolean stoppedBefore;

    private enum Step { RESTART, STOP, NONE, FADE_OUT, SILENCE, MUSIC }

    /** Puts {@code frames} of the music from frame {@code from} into {@code chunk}, the fade-in applied. */
    private void music(long from, int frames, byte[] chunk) {
        quietSince = 0;
        copy(from, frames, chunk);
        for (int i = 0; i < frames && i < fadeInLeft; i++) {
            double g = Math.sin(Math.PI / 2 * (fade - fadeInLeft + i + 0.5) / fade);
            scale(chunk, i, g * g);
        }
    }

    /** Whether the fade-out being written comes from what a discard dropped (not counted as heard). */
    private boolean fadeFromTail;

    /**
     * Puts a 10 ms fade-out of what follows the line's sound into
     * {@code chunk}: the music written, or when a discard just dropped it,
     * what the old stream had there; returns its frames.
     */
    private int fadeOutFrames(byte[] chunk) {
        fadeFromTail = written == fed;
        int frames = (int) Math.max(0, Math.min(fade, (fadeFromTail ? tailTo : written) - fed));
        // A fade-in under way goes on down from where it got to.
        double start = 1;
        if (fadeInLeft > 0) {
            double g = Math.sin(Math.PI / 2 * (fade - fadeInLeft + 0.5) / fade);
            start = g * g;
            fadeInLeft = 0;
        }
        copy(fed, frames, chunk);
        for (int i = 0; i < frames; i++) {
            double g = Math.cos(Math.PI / 2 * (i + 0.5) / frames);
            scale(chunk, i, start * g * g);
        }
        state = State.FADING;
        quietSince = 0;
        return frames;
    }

    /** Opens the default output again; once it plays, what was not heard plays from there, faded in. */
    private void reopen() {
        SourceDataLine l;
        try {
            l = open(format, lineBytes);
        } catch (LineUnavailableException | IllegalArgumentException | SecurityException e) {
            l = null;
        }
        synchronized (this) {
            if (l != null && !closing && !closed) {
                line = l;
                lost = null;
                tries = 0;
                stalled = false;
                fed = heard;
                // Started by the next round, faded in, unless paused.
                state = State.STOPPED;
                notifyAll();
                return;
            }
            if (l == null) {
                tries++;
                lost = lost.replaceFirst(" \\(not back after.*$", "") + " (not back after " + tries
                        + (tries == 1 ? " try)" : " tries)");
                return;
            }
        }
        l.close();
    }

    /** Gives the line up; the loop opens the default output again. */
    private void giveUp(SourceDataLine l, String why) {
        synchronized (this) {
            line = null;
            lost = why;
            stalled = false;
            // What the line held and did not play comes again from a new line: from what it last said
            // it had played, as what was taken for heard by the clock since may never have sounded.
            heard = Math.max(Math.min(heard, reported), written - ringFrames);
            fed = heard;
            retryNanos = System.nanoTime() + RETRY_NANOS;
            notifyAll();
        }
        // A line whose server stopped responding may block here: only this thread waits.
        try {
            l.close();
        } catch (RuntimeException e) {
            // Gone already.
        }
    }

    private void copy(long from, int frames, byte[] to) {
        int at = (int) (from % ringFrames);
        int first = Math.min(frames, ringFrames - at);
        System.arraycopy(ring, at * frameBytes, to, 0, first * frameBytes);
        System.arraycopy(ring, 0, to, first * frameBytes, (frames - first) * frameBytes);
    }

    /** Scales frame {@code i} of 16-bit little-endian {@code chunk} by {@code gain}. */
    private void scale(byte[] chunk, int i, double gain) {
        for (int b = i * frameBytes; b < (i + 1) * frameBytes; b += 2) {
            int v = (short) ((chunk[b] & 0xff) | (chunk[b + 1] << 8));
            int s = (int) Math.round(v * gain);
            chunk[b] = (byte) s;
            chunk[b + 1] = (byte) (s >> 8);
        }
    }
}
