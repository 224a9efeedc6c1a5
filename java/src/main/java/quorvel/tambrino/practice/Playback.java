// A song played and steered: the streaming thread and its controls.
package quorvel.tambrino.practice;

import java.util.concurrent.atomic.AtomicLong;
import quorvel.tambrino.Quality;
import quorvel.tambrino.Session;
import quorvel.tambrino.audio.AudioSink;

/**
 * A song being played and steered: one thread streams blocks through the
 * engine into the audio output, while any other thread (the terminal's
 * keys, a window's controls) pauses, seeks, loops, changes the tempo and the
 * switches, and asks what is being heard. Reading runs ahead of what is
 * heard (the engine's delay, a block, the output's buffer), so position,
 * tempo, level and spectrum are looked up by the output frame being heard.
 *
 * <p>A seek discards the output not yet heard and primes the engine at the
 * new position, so that sound and picture follow within a few blocks; what
 * would have been heard next fades out under the new start. A switch of
 * quality mode starts the engine again in the same way where it is heard,
 * and so, in the exact mode, do a new tempo, voice removal and mono.
 *
 * <p>The streaming thread never waits on the callers: they set volatile
 * fields and the seek request, which it takes at the next block.
 *
 * <p>When the output plays nothing ({@link AudioSink#trouble()}: its sound
 * server went away or stopped responding), playback counts as paused and
 * the streaming thread holds its block until the output is back, which the
 * output tries every second by itself and at once when play is pressed; it
 * then plays on from where the sound stopped.
 */
public final class Playback implements Runnable {
    public static final double SEEK_SECONDS = 5.0;
    public static final double TEMPO_STEP = 0.05;
    private static final int CHUNK = 1024;
    /** A seek to the frame being heard: the engine starts again from there (a new quality mode). */
    private static final long HERE = Long.MIN_VALUE;

    private final Settings settings;
    private final Transport transport;
    private final Stretcher stretcher;
    private final AudioSink sink;
    private final Meter meter;
    private final Session session;
    /** At the end of the music: stop and wait for a seek (a window) rather than end (a terminal run). */
    private final boolean holdAtEnd;

    private volatile boolean paused;
    private final Object pauseLock = new Object();
    private volatile boolean quit;
    private volatile boolean atEnd;
    private volatile boolean voiceOn;
    private volatile double voiceAmount;
    private volatile boolean monoOn;
    private volatile int pan;
    private volatile Throwable failure;
    /** Frames of the stretched stream written to the output (less those discarded unheard). */
    private volatile long written;
    /** The input frame to seek to, -1 = none, {@link #HERE} = where it is heard; the streaming thread takes it. */
    private final AtomicLong seekTo = new AtomicLong(-1);
    /** A tempo was asked for and is not heard yet: until then {@link #shownTempo} gives the new one. */
    private volatile boolean tempoAsked;
    private volatile long tempoAskedNanos;
    /** Blocks that came after the output had played all it was given, while playing steadily: a gap heard. */
    private volatile long underruns;
    /**
     * The output frame from which the output plays steadily: a start, seek or
     * resume begins with the output's buffer empty, and its first blocks may
     * find it dry while the engine primes, so the count waits until a fifth
     * of a second (an output's usual lead) has been written.
     */
    private long steadyFrom;

    /**
     * @param holdAtEnd whether the end of the music pauses at the end (and
     *     play starts again from the passage's start) instead of ending
     *     {@link #run()}
     */
    public Playback(Settings settings, Transport transport, Stretcher stretcher, AudioSink sink, Meter meter,
            boolean holdAtEnd) {
        this.settings = settings;
        this.transport = transport;
        this.stretcher = stretcher;
        this.sink = sink;
        this.meter = meter;
        this.session = stretcher.session();
        this.holdAtEnd = holdAtEnd;
        this.voiceOn = settings.voiceAmount > 0;
        this.voiceAmount = settings.voiceAmount > 0 ? settings.voiceAmount : 1.0;
        this.monoOn = settings.mono;
        this.pan = settings.pan == -1 ? 50 : settings.pan;
        this.steadyFrom = settings.sampleRate / 5;
    }

    public Session session() {
        return session;
    }

    public Transport transport() {
        return transport;
    }

    public Stretcher stretcher() {
        return stretcher;
    }

    public Meter meter() {
        return meter;
    }

    public int sampleRate() {
        return settings.sampleRate;
    }

    public int channels() {
        return settings.channels;
    }

    /** The streaming loop: until the music (or the trainer's last pass) ends, or {@link #stop()}. */
    @Override
    public void run() {
        int ch = settings.channels;
        short[] frames = new short[CHUNK * ch];
        byte[] bytes = new byte[frames.length * 2];
        // The output written lately, whose unheard part a seek fades out under the new position's start.
        int recentFrames = Math.max(CHUNK, settings.sampleRate);
        short[] recent = new short[recentFrames * ch];
        int fadeFrames = Math.max(1, (int) Math.round(Stretcher.SPLICE_FADE_SECONDS * settings.sampleRate));
        short[] fade = new short[fadeFrames * ch];
        try {
            while (!quit) {
                long to = seekTo.getAndSet(-1);
                if (to != -1) {
                    long before = written;
                    discardUnheard();
                    if (to == HERE) {
                        to = stretcher.inputAt(written);
                    }
                    // What would have been heard next, where the seek cuts in: kept to fade out, not to click.
                    int fadeLength = (int) Math.min(fadeFrames, before - written);
                    if (before - written > recentFrames || atEnd) {
                        fadeLength = 0;
                    }
                    for (int i = 0; i < fadeLength * ch; i++) {
                        fade[i] = recent[(int) (((written * ch + i) % recent.length))];
                    }
                    stretcher.restart(to, written, fade, fadeLength);
                    atEnd = false;
                    steadyFrom = written + settings.sampleRate / 5;
                }
                if (paused || atEnd) {
                    steadyFrom = written + settings.sampleRate / 5;
                    Thread.sleep(10);
                    continue;
                }
                int n = stretcher.read(frames, 0, CHUNK);
                if (n <= 0) {
                    if (!holdAtEnd) {
                        break;
                    }
                    if (!output(null, 0)) {
                        break;
                    }
                    stretcher.heard(written);
                    atEnd = true;
                    continue;
                }
                for (int i = 0; i < n * ch; i++) {
                    recent[(int) ((written * ch + i) % recent.length)] = frames[i];
                }
                if (meter != null) {
                    meter.output(written, frames, n, ch);
                }
                toBytes(frames, n * ch, bytes);
                long heard = sink.heardFrames();
                if (written >= steadyFrom && heard >= 0 && heard >= written) {
                    underruns++;
                }
                if (!output(bytes, n * ch * 2)) {
                    break;
                }
                written += n;
                stretcher.heard(heardOutput());
            }
            if (quit) {
                // What was not heard when the player was stopped is not played, nor counted.
                discardUnheard();
            } else {
                output(null, 0);
            }
            stretcher.heard(written);
        } catch (Throwable t) {
            failure = t;
        }
    }

    /**
     * Writes {@code length} bytes to the output, or with no bytes drains it;
     * while the output plays nothing, waits for it and tries again, the
     * block kept. False when stopped meanwhile.
     */
    private boolean output(byte[] bytes, int length) throws InterruptedException {
        while (!quit) {
            try {
                if (bytes == null) {
                    sink.drain();
                } else {
                    sink.write(bytes, 0, length);
                }
                return true;
            } catch (AudioSink.Unavailable e) {
                // The output starts again with its buffer empty: not a late block.
                steadyFrom = written + settings.sampleRate / 5;
                Thread.sleep(10);
            }
        }
        return false;
    }

    /** 16-bit samples to little-endian bytes. */
    public static void toBytes(short[] samples, int count, byte[] bytes) {
        for (int i = 0; i < count; i++) {
            bytes[2 * i] = (byte) samples[i];
            bytes[2 * i + 1] = (byte) (samples[i] >> 8);
        }
    }

    private void discardUnheard() {
        long kept = sink.discardUnheard();
        if (kept >= 0 && kept < written) {
            written = kept;
        }
        if (meter != null) {
            meter.cut(written);
        }
    }

    /** Ends {@link #run()} at its next block; what is not heard yet is dropped. */
    public void stop() {
        quit = true;
    }

    public boolean stopped() {
        return quit;
    }

    /** What ended {@link #run()} other than the music's end or {@link #stop()}, or null. */
    public Throwable failure() {
        return failure;
    }

    /**
     * How often the output ran dry while playing steadily (the streaming
     * thread came late): 0 when nothing stuttered.
     */
    public long underruns() {
        return underruns;
    }

    /** Whether nothing plays: paused, or the output plays nothing for now ({@link #outputTrouble()}). */
    public boolean paused() {
        return paused || sink.trouble() != null;
    }

    /**
     * Why the output plays nothing, or null while it plays: it went away or
     * stopped responding. Playback goes on by itself when it is back, or
     * when play is pressed and it is back.
     */
    public String outputTrouble() {
        return sink.trouble();
    }

    /** Whether the music has played to its end and waits (see {@code holdAtEnd}). */
    public boolean atEnd() {
        return atEnd;
    }

    /** Frames of the stretched stream heard so far. */
    public long heardOutput() {
        long heard = sink.heardFrames();
        long w = written;
        return heard >= 0 ? Math.min(heard, w) : w;
    }

    /** The input frame being heard. */
    public long heardFrame() {
        return stretcher.inputAt(heardOutput());
    }

    /**
     * Pauses or resumes; the output stops here and now, not when the
     * streaming thread next looks. While the output plays nothing (shown as
     * paused), play asks it to come back at once.
     */
    public void togglePause() {
        synchronized (pauseLock) {
            if (!paused && sink.trouble() != null) {
                sink.retry();
                return;
            }
            if (paused) {
                sink.resume();
                tempoAskedNanos = System.nanoTime();
            } else {
                sink.pause();
            }
            paused = !paused;
            if (!paused && atEnd) {
                // Play after the end starts the passage again.
                seekTo.set(transport.start());
            }
        }
    }

    public void setPaused(boolean p) {
        synchronized (pauseLock) {
            if (p != paused) {
                togglePause();
            }
        }
    }

    /** Goes to input frame {@code frame}, kept inside the passage. */
    public void seek(long frame) {
        seekTo.set(transport.clamp(frame));
    }

    /** Moves by {@code seconds} from where a pending seek goes, or else from what is heard. */
    public void seekBy(double seconds) {
        long from = seekTo.get();
        seekTo.set(transport.clamp((from >= 0 ? from : heardFrame()) + Math.round(seconds * settings.sampleRate)));
    }

    /** Sets the tempo, kept within what the session's mode plays; returns the tempo set. */
    public double setTempo(double t) {
        double kept = Math.max(session.minTempo(), Math.min(session.maxTempo(), t));
        session.setTempo(kept);
        tempoAskedNanos = System.nanoTime();
        tempoAsked = true;
        spliceExact();
        return kept;
    }

    /**
     * In the exact mode, starts the engine again where the music is heard
     * so that a new setting is heard at once and spliced in: the exact
     * engine takes it at a block's edge as it is defined, where a tone
     * stepped up to twelve times its own largest step (voice removal) and a
     * new tempo jumped in level by up to 5 dB. The fine mode glides into it.
     */
    private void spliceExact() {
        if (session.quality() == Quality.EXACT) {
            seekTo.compareAndSet(-1, HERE);
        }
    }

    /** Steps the tempo by {@code delta}, to the hundredth. */
    public double stepTempo(double delta) {
        return setTempo(Math.rint((session.tempo() + delta) * 100) / 100);
    }

    /** The tempo heard, or the one just asked for until it is heard; as played. */
    public double shownTempo(long heard) {
        double asked = session.playedTempo();
        double t = stretcher.tempoAt(heard);
        if (tempoAsked) {
            // Nothing is heard while paused, so the time-out runs only while playing.
            if (paused || System.nanoTime() - tempoAskedNanos < 3_000_000_000L && Math.abs(t - asked) >= 1e-6) {
                return asked;
            }
            tempoAsked = false;
        }
        return Double.isNaN(t) ? asked : t;
    }

    /** Sets the loop's start where the music is heard. */
    public void loopFromHere() {
        transport.loopFrom(heardFrame());
    }

    /** Sets the loop's end where the music is heard and goes back to its start. */
    public void loopToHere() {
        long from = transport.loopTo(heardFrame());
        if (from >= 0) {
            seekTo.set(from);
        }
    }

    /**
     * Loops from input frame {@code a} to {@code b} (kept inside the
     * passage); when what is heard lies outside, goes to {@code a}.
     */
    public void setLoop(long a, long b) {
        transport.clearLoop();
        transport.loopFrom(a);
        long from = transport.loopTo(b);
        long here = heardFrame();
        if (from >= 0 && (here < from || here >= b)) {
            seekTo.set(from);
        }
    }

    public boolean voiceRemoval() {
        return voiceOn;
    }

    public double voiceAmount() {
        return voiceAmount;
    }

    /** Voice removal on or off, at {@code amount} (0..1); returns a note for the user, or "". */
    public String setVoiceRemoval(boolean on, double amount) {
        session.setVoiceRemoval(on ? amount : 0, settings.voiceCutoff);
        voiceOn = on;
        voiceAmount = amount;
        spliceExact();
        return settings.channels == 1 ? "voice removal acts on stereo only" : "";
    }

    public boolean mono() {
        return monoOn;
    }

    public int pan() {
        return pan;
    }

    /** Mono fold and pan (0..100, 50 = centre); returns a note for the user, or "". */
    public String setPanning(int level, boolean mono) {
        session.setPanning(level, mono);
        pan = level;
        monoOn = mono;
        spliceExact();
        return settings.channels == 1 ? "mono acts on stereo only" : "";
    }

    /**
     * Switches between the fine and the exact mode, heard at once: the new
     * mode starts again, primed, from what is being heard, without the jump
     * that the modes' different delays would make mid-stream. Returns a note
     * for the user, or "".
     */
    public String setQuality(Quality q) {
        if (q == session.quality()) {
            return "";
        }
        try {
            session.setQuality(q);
        } catch (UnsupportedOperationException e) {
            return "this engine has no fine mode";
        }
        tempoAskedNanos = System.nanoTime();
        tempoAsked = true;
        seekTo.compareAndSet(-1, HERE);
        return "";
    }
}
