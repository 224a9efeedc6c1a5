// A source streamed through a Session, aligned with its input.
package quorvel.tambrino;

import java.io.IOException;
import java.io.InputStream;
import java.util.Arrays;
import java.util.Objects;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import quorvel.tambrino.audio.InputFile;

/**
 * A source streamed through a {@link Session}, aligned with its input: the
 * engine's start-up delay is dropped and silence is fed after the input's
 * end, so that the stream starts with the input's first frame and lasts its
 * length times the stretch actually played (the input's duration divided by
 * the tempo). The last block is padded with zeros, which is the same as
 * feeding silence, so the samples do not depend on where the input ends
 * within a block.
 *
 * <p>The stream ends where the source does (or at the length given), or
 * where {@link #finish()} says; {@link #reset(long)} starts a new time line
 * after a seek; {@link #session()} is the handle for the tempo and every
 * other setting while it plays. One thread reads a stream.
 *
 * <p>{@link #of(AudioInputStream, double)} puts any
 * {@code javax.sound.sampled} stream through the engine in one line:
 * <pre>{@code
 * TempoStream.Audio slow = TempoStream.of(AudioSystem.getAudioInputStream(file), 0.75);
 * slow.session().setTempo(0.6);   // before or while it is read
 * slow.session().setPitchShift(-2); // a whole tone lower, the tempo kept
 * }</pre>
 */
public final class TempoStream {
    /** Where the input frames come from. */
    public interface Source {
        /**
         * Reads up to {@code frames} interleaved 16-bit frames into
         * {@code buffer} from frame {@code offset} on; returns how many, 0 or
         * less only at the end.
         */
        int read(short[] buffer, int offset, int frames) throws IOException;
    }

    /** Told about every block whose output overlaps the stream. */
    public interface BlockListener {
        /**
         * @param start first frame of the block's output in the stream (negative inside the start-up delay)
         * @param end one past its last frame
         * @param level the block's peak level (1.0 = full scale)
         * @param spectrum the 72 note levels after the block (reused: copy to keep)
         */
        void block(long start, long end, float level, float[] spectrum);
    }

    private final Session session;
    private final Source source;
    /** What the engine is fed after the input instead of silence, or null. */
    private Source continuation;
    private final BlockListener listener;
    private final int channels;
    private final short[] block;
    private final float[] spectrum = new float[Session.NOTES];

    /** Input frames in the stream: known from the start, or -1 until the input ends. */
    private long inputFrames;
    /** Output frames in the stream, -1 until the input has ended. */
    private long end;
    /** Output frames dropped at the start: the delay at the first block's tempo. */
    private int latency;
    private long consumed;
    private boolean inputEnded;
    /** Output frames the input so far stands for, as played. */
    private double owed;
    /** The stretch of the first block, and whether every block since had the same. */
    private double firstStretch;
    private boolean steady;
    private long produced;
    private long delivered;
    private int pendingStart;
    private int pendingEnd;
    private float peak;
    /** Input frames of the next block already taken from the source (a read that threw left them). */
    private int filled;
    /** What the listener or the source threw during a read that had frames to return: the next read throws it. */
    private Throwable deferred;

    /**
     * A stream of a source through an open session. The session's tempo and
     * other settings may change while the stream plays: {@link #session()}
     * is the handle for them.
     *
     * @param inputFrames the source's length in frames, at most {@link Session#MAX_FRAMES}, or -1
     *     (any negative number) when it is known only at its end; a source that ends early is
     *     padded with silence to that length, one that goes on is not read beyond it
     * @param listener told about every block, or null
     * @throws NullPointerException for a null session or source
     * @throws IllegalArgumentException for a length above {@link Session#MAX_FRAMES}
     * @throws IllegalStateException when the session is closed
     */
    public TempoStream(Session session, Source source, long inputFrames, BlockListener listener) {
        Objects.requireNonNull(session, "session");
        Objects.requireNonNull(source, "source");
        checkLength(inputFrames);
        this.session = session;
        this.source = source;
        this.listener = listener;
        this.channels = session.channels();
        this.block = session.newBuffer();
        start(inputFrames);
    }

    private static void checkLength(long length) {
        if (length > Session.MAX_FRAMES) {
            throw new IllegalArgumentException("input of " + length + " frames: a stream holds at most "
                    + Session.MAX_FRAMES);
        }
    }

    private void start(long length) {
        inputFrames = length < 0 ? -1 : length;
        filled = 0;
        deferred = null;
        end = -1;
        latency = 0;
        consumed = 0;
        inputEnded = false;
        owed = 0;
        firstStretch = -1;
        steady = true;
        produced = 0;
        delivered = 0;
        pendingStart = 0;
        pendingEnd = 0;
        peak = 0;
        if (inputFrames == 0) {
            settle();
        }
    }

    /** The session that plays the stream: set its tempo, voice removal, equaliser and so on there. */
    public Session session() {
        return session;
    }

    /**
     * Frames the stream holds: final once the input has ended; before that,
     * for an input of known length, what it will hold if the tempo stays as
     * it is now; -1 while the input's length is not known yet.
     */
    public long frameLength() {
        if (end >= 0 || inputFrames < 0) {
            return end;
        }
        if (steady) {
            return session.outputFramesFor(inputFrames);
        }
        return Math.round(owed + (inputFrames - consumed) / session.playedTempo());
    }

    /** Input frames taken from the source so far. */
    public long consumed() {
        return consumed;
    }

    /** Share of the input consumed, 0 to 1; -1 when the input's length is not known. */
    public double progress() {
        if (inputFrames < 0) {
            return -1;
        }
        return inputFrames == 0 ? 1.0 : Math.min(1.0, (double) consumed / inputFrames);
    }

    /**
     * The frame of the stream at which the input consumed so far ends: the
     * input's length so far times the stretch played. A player that knows
     * which frame of the stream is being heard finds the input frame under it
     * from these two, block by block.
     */
    public double alignedFrames() {
        return owed;
    }

    /** The highest block peak level within the stream so far (1.0 = full scale). */
    public float peak() {
        return peak;
    }

    /**
     * Reads up to {@code frames} stretched frames into {@code buffer} from
     * frame {@code offset} on; returns how many, 0 only at the end (and at
     * every read after it).
     *
     * <p>What the listener or the source throws loses nothing: a read that
     * has frames to return returns them and the next read throws it; a read
     * that throws has delivered nothing, and the reads after it go on where
     * the stream was, the source's frames taken before it threw included.
     *
     * @throws NullPointerException for a null buffer, nothing read
     * @throws IllegalArgumentException when the frames do not fit in {@code buffer}, nothing read
     * @throws IllegalStateException once the session is closed
     * @throws IOException what the source throws
     */
    public int read(short[] buffer, int offset, int frames) throws IOException {
        checkRead(buffer, offset, frames);
        if (deferred != null) {
            Throwable t = deferred;
            deferred = null;
            throwUnchecked(t);
        }
        int copied = 0;
        while (copied < frames && (end < 0 || delivered < end)) {
            if (pendingStart == pendingEnd) {
                try {
                    processBlock();
                } catch (IOException | RuntimeException | Error e) {
                    if (copied == 0) {
                        throw e;
                    }
                    deferred = e;
                    break;
                }
                continue;
            }
            int n = Math.min(pendingEnd - pendingStart, frames - copied);
            if (end >= 0) {
                n = (int) Math.min(n, end - delivered);
            }
            System.arraycopy(block, pendingStart * channels, buffer, (offset + copied) * channels, n * channels);
            pendingStart += n;
            copied += n;
            delivered += n;
        }
        return copied;
    }

    private void checkRead(short[] buffer, int offset, int frames) {
        if (session.isClosed()) {
            throw new IllegalStateException("the session is closed");
        }
        Objects.requireNonNull(buffer, "buffer");
        if (offset < 0 || frames < 0 || (offset + (long) frames) * channels > buffer.length) {
            throw new IllegalArgumentException(frames + " frames from frame " + offset + " do not fit in "
                    + buffer.length + " samples of " + channels + " channels");
        }
    }

    /**
     * Feeds the engine {@code after} once the input has ended, instead of
     * silence: the music that would follow, for a player that splices the
     * stream's end into something else and wants it to end as the music goes
     * on rather than as if cut off. The stream keeps its length (the input's
     * over the tempo); what the engine makes of {@code after} is read with
     * {@link #readTail}. A source that ends is followed by silence, and so
     * is the input again after {@code continueWith(null)}.
     */
    public void continueWith(Source after) {
        this.continuation = after;
    }

    /**
     * Reads on past the stream's end, up to {@code frames} frames into
     * {@code buffer} from frame {@code offset} on: the engine's stretch of
     * the silence after the input, in which the input's last moments die
     * away (or of what {@link #continueWith} feeds). For a player that fades it out under what it plays next rather
     * than cut the sound off where the stream ends; the stream itself still
     * ends at {@link #frameLength()}. Returns how many frames it read: 0
     * until every frame of the stream has been read.
     *
     * @throws NullPointerException for a null buffer, nothing read
     * @throws IllegalArgumentException when the frames do not fit in {@code buffer}, nothing read
     * @throws IllegalStateException once the session is closed
     */
    public int readTail(short[] buffer, int offset, int frames) throws IOException {
        checkRead(buffer, offset, frames);
        if (end < 0 || delivered < end) {
            return 0;
        }
        int copied = 0;
        while (copied < frames) {
            if (pendingStart == pendingEnd) {
                processBlock();
                continue;
            }
            int n = Math.min(pendingEnd - pendingStart, frames - copied);
            System.arraycopy(block, pendingStart * channels, buffer, (offset + copied) * channels, n * channels);
            pendingStart += n;
            copied += n;
            delivered += n;
        }
        return copied;
    }

    /**
     * Ends the input here, for a source that cannot say when it ends (a live
     * input, a stream that the user stops): the source is not read again,
     * and the following reads play out what the engine still holds, so that
     * the stream lasts the input taken so far times the stretch played.
     */
    public void finish() {
        if (!inputEnded) {
            inputEnded = true;
            // Frames a read took from the source before it threw are input too.
            inputFrames = consumed + filled;
            if (filled == 0) {
                settle();
            }
        }
    }

    /**
     * Starts a new time line, after the caller has moved the source (a seek):
     * the engine forgets the old input ({@link Session#reset()}), the tempo
     * and every other setting stay, and the stream starts again at frame 0
     * with the source's next frame, as a new stream would.
     *
     * @param inputFrames the source's length from here, at most {@link Session#MAX_FRAMES}, or -1
     *     (any negative number) when it is known only at its end
     * @throws IllegalArgumentException for a length above {@link Session#MAX_FRAMES}, nothing reset
     * @throws IllegalStateException when the session is closed
     */
    public void reset(long inputFrames) {
        checkLength(inputFrames);
        session.reset();
        start(inputFrames);
    }

    /** Rethrows what {@link #read} held back: the source's IOException, or an unchecked one. */
    private static void throwUnchecked(Throwable t) throws IOException {
        if (t instanceof IOException) {
            throw (IOException) t;
        }
        if (t instanceof RuntimeException) {
            throw (RuntimeException) t;
        }
        throw (Error) t;
    }

    /** Fixes the stream's length once the input's is known. */
    private void settle() {
        long total = inputFrames >= 0 ? inputFrames : consumed;
        if (firstStretch < 0) {
            end = session.outputFramesFor(total);
        } else if (steady) {
            // At a steady tempo, the same count as for a length known in advance.
            end = session.outputFramesFor(total, session.lastQuality(), session.lastTempo());
        } else {
            end = Math.round(owed + (total - consumed) * session.lastStretch());
        }
    }

    private void processBlock() throws IOException {
        int blockIn = session.blockFrames();
        int want = inputFrames >= 0 ? (int) Math.min(blockIn, inputFrames - consumed) : blockIn;
        // A source that threw keeps what it gave before: the block goes on from there.
        int got = filled;
        while (!inputEnded && got < want) {
            int n = source.read(block, got, want - got);
            if (n <= 0) {
                inputEnded = true;
            }
            got += Math.max(0, Math.min(n, want - got));
            filled = got;
        }
        if (inputFrames >= 0 && consumed + got >= inputFrames) {
            inputEnded = true;
        }
        int fed = got;
        while (inputEnded && continuation != null && fed < blockIn) {
            int n = continuation.read(block, fed, blockIn - fed);
            if (n <= 0) {
                continuation = null;
                break;
            }
            fed += Math.min(n, blockIn - fed);
        }
        // Silence after the input's end: the same samples wherever it falls in a block.
        Arrays.fill(block, fed * channels, blockIn * channels, (short) 0);

        int blockOut = session.process(block, blockIn);
        filled = 0;
        consumed += got;
        double stretch = session.lastStretch();
        owed += got * stretch;
        if (firstStretch < 0) {
            firstStretch = stretch;
            latency = session.latencyFrames(session.lastQuality(), session.lastTempo(),
                    session.lastPitchShift());
        }
        steady &= stretch == firstStretch;
        if (inputEnded && end < 0) {
            settle();
        }
        float level = session.peakLevel();
        session.spectrum(spectrum);

        long rawStart = produced;
        produced += blockOut;
        // Frames still inside the start-up delay are dropped.
        pendingStart = (int) Math.max(0, Math.min(blockOut, latency - rawStart));
        pendingEnd = blockOut;
        long start = rawStart - latency;
        long stop = produced - latency;
        if (stop > 0 && (end < 0 || start < end)) {
            peak = Math.max(peak, level);
            if (listener != null) {
                // Last, so that a listener that throws loses no output.
                listener.block(start, stop, level, spectrum);
            }
        }
    }

    // ---------------------------------------------------------------------
    // javax.sound.sampled

    /**
     * The stream at another tempo, same pitch, as 16-bit PCM at its rate and
     * channels (mono or stereo). It opens a {@link Session} (fine mode where
     * the engine has it), which closing the returned stream closes, together
     * with {@code source}; {@link Audio#session()} changes the tempo and the
     * other settings while it plays. The length is known when the source's is.
     * An MP3 or Ogg Vorbis stream that a sound provider opened is decoded, from
     * its first byte, by the readers that the command-line tool uses (every
     * page and chained stream, joined files, the gapless length).
     *
     * @throws NullPointerException for a null source
     * @throws IllegalArgumentException when the source cannot be converted to
     *     16-bit PCM, has more than two channels, its rate is out of the
     *     engine's range, or the tempo is out of range; nothing is read
     */
    public static Audio of(AudioInputStream source, double tempo) {
        Objects.requireNonNull(source, "source");
        AudioFormat f = source.getFormat();
        int ch = f.getChannels();
        if (ch != 1 && ch != 2) {
            throw new IllegalArgumentException(ch + " channels: the engine takes mono or stereo");
        }
        float rate = f.getSampleRate();
        AudioFormat pcm = new AudioFormat(AudioFormat.Encoding.PCM_SIGNED, rate, 16, ch, 2 * ch, rate, false);
        // MP3 and Ogg Vorbis are decoded as the tool decodes them, whole and to their gapless length.
        AudioInputStream decoded = f.matches(pcm) ? source : InputFile.decoded(source);
        AudioInputStream in = decoded != null ? decoded : AudioSystem.getAudioInputStream(pcm, source);
        Session session = Session.builder(Math.round(rate), ch)
                .quality(Session.fineModeAvailable() ? Quality.FINE : Quality.EXACT).tempo(tempo).open();
        byte[][] bytes = {new byte[0]};
        Source frames = (buffer, offset, n) -> {
            int want = n * 2 * ch;
            if (bytes[0].length < want) {
                bytes[0] = new byte[want];
            }
            byte[] b = bytes[0];
            int got = 0;
            while (got < want) {
                int r = in.read(b, got, want - got);
                if (r < 0) {
                    break;
                }
                got += r;
            }
            int samples = got / 2 / ch * ch;
            for (int i = 0; i < samples; i++) {
                buffer[offset * ch + i] = (short) ((b[2 * i] & 0xff) | (b[2 * i + 1] << 8));
            }
            return samples / ch;
        };
        try {
            TempoStream stream = new TempoStream(session, frames, in.getFrameLength(), null);
            return new Audio(new Bytes(stream, in, ch), pcm, stream);
        } catch (RuntimeException | Error e) {
            session.close();
            throw e;
        }
    }

    /**
     * The {@code javax.sound.sampled} form of a tempo stream, with its
     * session as the handle for the tempo and the other settings. Its frame
     * length follows the tempo: set the tempo before the first read when a
     * writer needs the final length up front (a WAV header).
     */
    public static final class Audio extends AudioInputStream {
        private final TempoStream stream;
        private volatile boolean closed;

        private Audio(Bytes bytes, AudioFormat format, TempoStream stream) {
            super(bytes, format, stream.frameLength() < 0 ? AudioSystem.NOT_SPECIFIED : stream.frameLength());
            this.stream = stream;
        }

        /** The session that plays the stream: {@code session().setTempo(0.6)} and so on. */
        public Session session() {
            return stream.session();
        }

        /** The stretched stream under the bytes. */
        public TempoStream tempoStream() {
            return stream;
        }

        @Override
        public long getFrameLength() {
            if (!closed) {
                follow();
            }
            return frameLength;
        }

        /**
         * As {@link java.io.InputStream#read(byte[], int, int)}: whole frames only, so fewer
         * than a frame's bytes read nothing.
         *
         * @throws NullPointerException for a null array
         * @throws IndexOutOfBoundsException when {@code off} and {@code len} do not lie within it
         */
        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            checkOpen();
            Objects.checkFromIndexSize(off, len, Objects.requireNonNull(b, "buffer").length);
            follow();
            return super.read(b, off, len);
        }

        @Override
        public int available() throws IOException {
            checkOpen();
            follow();
            return super.available();
        }

        @Override
        public long skip(long n) throws IOException {
            checkOpen();
            follow();
            return super.skip(n);
        }

        @Override
        public void close() throws IOException {
            closed = true;
            super.close();
        }

        private void checkOpen() throws IOException {
            if (closed) {
                throw new IOException("the tempo stream is closed");
            }
        }

        /** Keeps the length this stream stops at in step with a tempo changed on the way. */
        private void follow() {
            if (frameLength == AudioSystem.NOT_SPECIFIED || stream.session().isClosed()) {
                return;
            }
            long n = stream.frameLength();
            // Until the input ends the length is an estimate, which must not end the stream early.
            frameLength = stream.end >= 0 ? n : Math.max(n, framePos + 1);
        }
    }

    /** The stream's frames as little-endian bytes. */
    private static final class Bytes extends InputStream {
        private final TempoStream stream;
        private final AudioInputStream source;
        private final int channels;
        private final short[] frames;
        private final byte[] bytes;
        private int pos;
        private int end;
        private boolean closed;

        Bytes(TempoStream stream, AudioInputStream source, int channels) {
            this.stream = stream;
            this.source = source;
            this.channels = channels;
            this.frames = new short[1024 * channels];
            this.bytes = new byte[frames.length * 2];
        }

        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            return read(one, 0, 1) < 0 ? -1 : one[0] & 0xff;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            if (closed) {
                throw new IOException("the tempo stream is closed");
            }
            if (len == 0) {
                return 0;
            }
            if (pos == end) {
                int n = stream.read(frames, 0, 1024);
                if (n <= 0) {
                    return -1;
                }
                int samples = n * channels;
                for (int i = 0; i < samples; i++) {
                    bytes[2 * i] = (byte) frames[i];
                    bytes[2 * i + 1] = (byte) (frames[i] >> 8);
                }
                pos = 0;
                end = samples * 2;
            }
            int n = Math.min(len, end - pos);
            System.arraycopy(bytes, pos, b, off, n);
            pos += n;
            return n;
        }

        @Override
        public int available() {
            return closed ? 0 : end - pos;
        }

        @Override
        public void close() throws IOException {
            if (!closed) {
                closed = true;
                stream.session().close();
                source.close();
            }
        }
    }
}
