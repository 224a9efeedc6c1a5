// A source stretched by the engine as the playback loop drives it.
package quorvel.tambrino.practice;

import java.io.IOException;
import quorvel.tambrino.NativeInterface;
import quorvel.tambrino.Quality;
import quorvel.tambrino.Session;
import quorvel.tambrino.TempoStream;
import quorvel.tambrino.audio.PcmSource;

/**
 * A source stretched by the engine the way the application's playback loop
 * drives it: a {@link Session} opened with the run's settings, and a
 * {@link TempoStream} that trims its start-up delay and feeds silence after
 * the input, so that the stretched stream starts with the input and lasts its
 * duration divided by the tempo played. Every block returns exactly the
 * frames that the engine wrote for it. In the exact mode the samples
 * therefore do not depend on the block size; in the fine mode they do not
 * where the tempo times the synthesis hop is a whole number of samples, and
 * elsewhere differ only by where the analysis positions round.
 *
 * <p>A {@link Transport} is streamed in runs, one session throughout: each
 * trainer pass is a run of its own, flushed to exactly its length at its
 * tempo and begun as if stretched alone (the engine's delay trimmed again),
 * so that the passes last what they last one by one and each tempo begins
 * at the passage's start; the last pass's tail fades out under the next
 * one's start. A seek ({@link #restart}) discards what the engine
 * holds and primes it from the input just before the new position, faster
 * than real time, so that the next frame out is the new position's, faded
 * in under what would have been heard next. Both splices start where the
 * new music best continues what fades out, within a few milliseconds.
 *
 * <p>One streaming thread reads and restarts; the lookups of what is heard
 * ({@link #inputAt} and the like) may come from any thread.
 */
public final class Stretcher implements PcmSource, AutoCloseable {
    /** Told about every block whose output overlaps the stretched stream. */
    interface BlockListener extends TempoStream.BlockListener {}

    public static final int NOTES = Session.NOTES;
    /** How long what would have been heard fades out under a new start (a seek, the trainer's next pass). */
    public static final double SPLICE_FADE_SECONDS = 0.01;
    /** How far a new start may move to continue best what fades out under it. */
    public static final double SPLICE_REACH_SECONDS = 0.005;

    private final Settings settings;
    private final Session session;
    private final PcmSource input;
    private final Transport transport;
    private TempoStream.BlockListener listener;
    private final Timeline timeline;
    private final short[] scratch;
    /** The last pass's tail, and a new start's first frames with what fades out mixed in; those still to deliver. */
    private final short[] tail;
    private final short[] head;
    private int headFrames;
    private int headAt;
    /** Frames of the tail that a pass still plays at its end, as many as its start passed over. */
    private long tailOwed;

    private TempoStream stream;
    /** Output frames returned so far (less those discarded by {@link #restart}). */
    private long delivered;
    /** The output frame of the current run's first frame. */
    private long runOrigin;
    /** Output frames of the current run kept from here on; those before prime the engine. */
    private long runKeep;
    private long dropLeft;
    private long trainerLength = -1;
    private long consumedBefore;
    private float peak;
    /** Per block: the run's aligned frame and the transport reads that it took. */
    private double blockAligned;
    private final long[] readFrom = new long[64];
    private final int[] readOffset = new int[64];
    private final int[] readFrames = new int[64];
    private final int[] readPass = new int[64];
    private int reads;

    /** Opens the engine's session; {@link #close()} ends it. */
    public Stretcher(Settings settings, PcmSource input, TempoStream.BlockListener listener) {
        if (input.channels() != settings.channels || input.sampleRate() != settings.sampleRate) {
            throw new IllegalArgumentException("settings resolved for another stream");
        }
        this.settings = settings;
        this.session = settings.open();
        this.input = input;
        this.listener = listener;
        if (input instanceof Transport) {
            transport = (Transport) input;
            // The speed trainer sets the tempo at each pass.
            transport.attach(session);
            timeline = new Timeline(transport.start(), transport.end() - 1);
        } else {
            transport = null;
            timeline = null;
        }
        this.scratch = session.newBuffer();
        int fade = Math.max(1, (int) Math.round(SPLICE_FADE_SECONDS * settings.sampleRate));
        int reach = (int) Math.round(SPLICE_REACH_SECONDS * settings.sampleRate);
        this.tail = new short[fade * settings.channels];
        this.head = new short[(fade + 2 * reach) * settings.channels];
        startRun(0);
    }

    /** Sets who is told about every block, before the first read. */
    public void listen(TempoStream.BlockListener l) {
        this.listener = l;
    }

    public Session session() {
        return session;
    }

    @Override
    public int channels() {
        return settings.channels;
    }

    @Override
    public int sampleRate() {
        return settings.sampleRate;
    }

    /**
     * The length of the stretched stream; -1 while it is not known (a
     * trainer, or input whose length is known only at its end).
     */
    @Override
    public long frameLength() {
        Passage.Trainer t = transport == null ? null : transport.trainer();
        if (t == null || t.passes() == 1 || stream.frameLength() < 0) {
            return stream.frameLength();
        }
        if (trainerLength >= 0) {
            return trainerLength;
        }
        // Each pass lasts what it lasts alone at its tempo.
        long passage = transport.end() - transport.start();
        int stepIn = NativeInterface.analysisHop(session.frameSize(), session.overSampling());
        long total = 0;
        for (int p = 0; p < t.passes(); p++) {
            double tempo = t.tempo(p);
            total += session.quality() == Quality.FINE ? Math.round(passage / tempo)
                    : (passage * NativeInterface.synthesisHop(session.frameSize(), session.overSampling(), tempo)
                            + stepIn / 2) / stepIn;
        }
        trainerLength = total;
        return total;
    }

    /** Share of the input consumed so far, 0 to 1 (all passes); -1 when the input's length is not known. */
    double progress() {
        double p = stream.progress();
        Passage.Trainer t = transport == null ? null : transport.trainer();
        return t == null || p < 0 ? p : (transport.pass() + p) / t.passes();
    }

    /** Input frames read from the source so far, over all passes. */
    long consumed() {
        return consumedBefore + stream.consumed();
    }

    /** Highest peak level of the blocks that overlap the stretched stream (1.0 = full scale). */
    public float peak() {
        return peak;
    }

    @Override
    public int read(short[] buffer, int offset, int frames) throws IOException {
        int copied = 0;
        while (copied < frames) {
            int n;
            if (headAt < headFrames) {
                n = Math.min(headFrames - headAt, frames - copied);
                System.arraycopy(head, headAt * settings.channels, buffer, (offset + copied) * settings.channels,
                        n * settings.channels);
                headAt += n;
            } else if (dropLeft > 0) {
                n = stream.read(scratch, 0, (int) Math.min(dropLeft, scratch.length / settings.channels));
                dropLeft -= Math.max(0, n);
                if (n > 0) {
                    continue;
                }
            } else {
                n = Math.max(0, stream.read(buffer, offset + copied, frames - copied));
                if (n == 0 && tailOwed > 0) {
                    // A pass that began a little in keeps its length with as much of its tail.
                    n = stream.readTail(buffer, offset + copied, (int) Math.min(tailOwed, frames - copied));
                    tailOwed -= n;
                }
            }
            copied += n;
            delivered += n;
            if (n > 0) {
                continue;
            }
            settleReads();
            // The run is over: the next trainer pass, or the end.
            if (transport == null || !transport.morePasses()) {
                break;
            }
            spliceNextPass();
        }
        settleReads();
        return copied;
    }

    /**
     * Starts the next trainer pass with the last one's tail, what its
     * stretch plays on into the silence after the passage, faded out under
     * the new pass's start: a pass cut off where the next one began stepped
     * by up to 31 times a tone's own largest step. Every pass still lasts its
     * length at its tempo.
     */
    private void spliceNextPass() throws IOException {
        // The tail at the last pass's tempo, then silence until the engine
        // has forgotten the music (as a pass stretched alone ends), and the
        // next pass at its own tempo, begun as if stretched alone.
        int kept = stream.readTail(tail, 0, tail.length / settings.channels);
        stream.continueWith(null);
        long flush = 2 * (session.latencyFrames() + session.outputFramesFor(session.blockFrames()));
        while (flush > 0) {
            int n = stream.readTail(scratch, 0, (int) Math.min(flush, scratch.length / settings.channels));
            if (n <= 0) {
                break;
            }
            flush -= n;
        }
        transport.nextPass();
        startRun(0);
        tailOwed = spliceHead(tail, kept, (int) Math.round(SPLICE_REACH_SECONDS * settings.sampleRate));
    }

    /**
     * Fades the run just started in under {@code fading} ({@code frames}
     * frames of what would have been heard next) over
     * {@link #SPLICE_FADE_SECONDS}, from the first of its frames {@code 0}
     * to {@code reach * 2} on that best continues what fades out (a held
     * note keeps its phase), with gains for what the two have in common.
     * The frames before it count as priming. Returns how many it passed
     * over.
     */
    private int spliceHead(short[] fading, int frames, int reach) throws IOException {
        int ch = settings.channels;
        int fade = Math.min(frames, tail.length / ch);
        int want = fade + 2 * reach;
        headFrames = 0;
        headAt = 0;
        while (headFrames < want) {
            int n;
            if (dropLeft > 0) {
                n = stream.read(scratch, 0, (int) Math.min(dropLeft, scratch.length / ch));
                dropLeft -= Math.max(0, n);
            } else {
                n = stream.read(head, headFrames, want - headFrames);
                headFrames += Math.max(0, n);
            }
            if (n <= 0) {
                break;
            }
        }
        if (fade <= 0 || headFrames < want) {
            return 0;
        }
        int skip = reach + Splice.align(fading, 0, head, reach, fade, reach, ch, 0, fade + 2 * reach);
        double common = Splice.correlation(fading, 0, head, skip, fade, ch, 0, want);
        for (int f = 0; f < fade; f++) {
            double w = (f + 0.5) / fade;
            double out = Splice.gainOut(w, common);
            double in = Splice.gainOut(1 - w, common);
            for (int c = 0; c < ch; c++) {
                int i = (skip + f) * ch + c;
                head[i] = Splice.clip(in * head[i] + out * fading[f * ch + c]);
            }
        }
        headAt = skip;
        runOrigin -= skip;
        return skip;
    }

    /**
     * Discards what the engine holds and goes on from input frame
     * {@code frame}, at output frame {@code outputFrame} (what the caller
     * has kept of the output so far). The engine is primed from the input
     * just before the frame (silence before the passage), and the output
     * of the priming is dropped. The new start fades in under
     * {@code fading}, the first {@code frames} frames of what would have
     * been heard next (none: it starts as it is), from within
     * {@link #SPLICE_REACH_SECONDS} of the frame where it best continues
     * them. Streaming thread, transport only.
     */
    public void restart(long frame, long outputFrame, short[] fading, int frames) throws IOException {
        settleReads();
        headFrames = 0;
        headAt = 0;
        tailOwed = 0;
        delivered = outputFrame;
        timeline.cut(outputFrame);
        // The first frame kept must owe nothing to what came before: the
        // synthesis window's half at the tempo plus the analysis window's
        // half, and a frame more for the phases to settle.
        int stepIn = NativeInterface.analysisHop(session.frameSize(), session.overSampling());
        long preroll = (long) Math.ceil(session.frameSize() * (1.5 + session.playedTempo() / 2) / stepIn) * stepIn;
        transport.moveTo(frame, preroll);
        // Until the primed engine's output is placed, what is heard from here on is the new position.
        timeline.add(outputFrame, transport.clamp(frame), 0, 1 / session.playedTempo(), transport.pass());
        long drop = session.outputFramesFor(preroll);
        int reach = frames > 0 ? (int) Math.min(drop, Math.round(SPLICE_REACH_SECONDS * settings.sampleRate)) : 0;
        startRun(drop - reach);
        if (frames > 0) {
            spliceHead(fading, frames, reach);
        }
    }

    private void startRun(long drop) {
        if (stream != null) {
            consumedBefore += stream.consumed();
        }
        runOrigin = delivered - drop;
        runKeep = delivered;
        dropLeft = drop;
        reads = 0;
        TempoStream.Source source = transport != null ? this::readTransport : input::read;
        stream = new TempoStream(session, source, input.frameLength(), this::block);
        if (transport != null && transport.morePasses()) {
            // A pass that another follows ends as the music goes on, to fade out under the next one's start.
            long[] after = {transport.end()};
            stream.continueWith((buffer, offset, frames) -> {
                int n = transport.readAt(after[0], buffer, offset, frames);
                after[0] += n;
                return n;
            });
        }
    }

    private void block(long start, long end, float level, float[] spectrum) {
        if (end + runOrigin <= runKeep) {
            return;
        }
        peak = Math.max(peak, level);
        if (listener != null) {
            listener.block(start + runOrigin, end + runOrigin, level, spectrum);
        }
    }

    /** Reads the transport for the engine, noting where each read came from. */
    private int readTransport(short[] buffer, int offset, int frames) {
        if (offset == 0) {
            // A new block: the previous one is stretched, its reads can be placed.
            settleReads();
            blockAligned = stream.alignedFrames();
        }
        int n = transport.read(buffer, offset, frames);
        if (n > 0 && reads < readFrom.length) {
            readFrom[reads] = transport.lastRead();
            readOffset[reads] = offset;
            readFrames[reads] = n;
            readPass[reads] = transport.pass();
            reads++;
        }
        return n;
    }

    /** Places the reads of the last block stretched in the timeline. */
    private void settleReads() {
        if (reads == 0) {
            return;
        }
        double stretch = session.lastStretch();
        for (int i = 0; i < reads; i++) {
            timeline.add(runOrigin + blockAligned + readOffset[i] * stretch, readFrom[i], readFrames[i], stretch,
                    readPass[i]);
        }
        reads = 0;
    }

    /** The input frame heard at output frame {@code out} (transport only). */
    public long inputAt(long out) {
        return timeline.inputAt(out);
    }

    /** The trainer pass heard at output frame {@code out}, 0 = the first (transport only). */
    public int passAt(long out) {
        return timeline.passAt(out);
    }

    /** The tempo played at output frame {@code out}, NaN before any output (transport only). */
    public double tempoAt(long out) {
        return timeline.tempoAt(out);
    }

    /**
     * Counts the output before frame {@code out} as heard, for
     * {@link #temposHeard()} (transport only).
     */
    public void heard(long out) {
        timeline.heard(out);
    }

    /** The slowest, fastest and latest tempos heard, as played (transport only). */
    public double[] temposHeard() {
        return timeline.tempos();
    }

    @Override
    public void close() {
        session.close();
    }

    /** "tempo 0.75", or "tempos 0.95 to 4.6, last 0.95" when it changed; as played, to four decimals. */
    public static String temposText(double[] heard, double fallback) {
        if (Double.isNaN(heard[2])) {
            return "tempo " + Settings.fmt(Math.rint(fallback * 1e4) / 1e4);
        }
        String[] t = new String[3];
        for (int i = 0; i < 3; i++) {
            t[i] = Settings.fmt(Math.rint(heard[i] * 1e4) / 1e4);
        }
        if (t[0].equals(t[1])) {
            return "tempo " + t[0];
        }
        return "tempos " + t[0] + " to " + t[1] + (t[2].equals(t[1]) ? "" : ", last " + t[2]);
    }
}
