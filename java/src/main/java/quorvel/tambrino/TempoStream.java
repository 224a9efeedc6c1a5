package quorvel.tambrino;

import java.io.IOException;
import java.io.InputStream;
import java.util.Arrays;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;

/**
 * A source streamed through a {@link Session}, aligned with its input: the
 * engine's start-up delay is dropped and silence is fed after the input's
 * end, so that the stream starts with the input's first frame and lasts its
 * length times the stretch actually played (the input's duration divided by
 * the tempo). The last block is padded with zeros, which is the same as
 * feeding silence, so the samples do not depend on where the input ends
 * within a block.
 *
 * <p>{@link #of(AudioInputStream, double)} puts any
 * {@code javax.sound.sampled} stream through the engine in one line:
 * <pre>{@code
 * AudioInputStream slow = TempoStream.of(AudioSystem.getAudioInputStream(file), 0.75);
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
    private final BlockListener listener;
    private final int channels;
    private final short[] block;
    private final float[] spectrum = new float[Session.NOTES];
    private final int latency;

    private long inputFrames;
    private long outputFrames;
    private long consumed;
    private boolean inputEnded;
    /** Output frames the input so far stands for, as played. */
    private double owed;
    /** The stretch of the first block, and whether every block since had the same. */
    private double firstStretch = -1;
    private boolean steady = true;
    private long produced;
    private long delivered;
    private int pendingStart;
    private int pendingEnd;
    private float peak;

    /**
     * @param inputFrames the source's length in frames, or -1 when it is known only at its end
     * @param listener told about every block, or null
     */
    public TempoStream(Session session, Source source, long inputFrames, BlockListener listener) {
        this.session = session;
        this.source = source;
        this.listener = listener;
        this.channels = session.channels();
        this.block = session.newBuffer();
        this.latency = session.latencyFrames();
        this.inputFrames = inputFrames;
        this.outputFrames = inputFrames < 0 ? -1 : session.outputFramesFor(inputFrames);
    }

    /** Frames the stream holds; -1 while the input's length is not known yet. */
    public long frameLength() {
        return outputFrames;
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
     * frame {@code offset} on; returns how many, 0 only at the end.
     */
    public int read(short[] buffer, int offset, int frames) throws IOException {
        int copied = 0;
        while (copied < frames && (outputFrames < 0 || delivered < outputFrames)) {
            if (pendingStart == pendingEnd) {
                processBlock();
                continue;
            }
            int n = Math.min(pendingEnd - pendingStart, frames - copied);
            if (outputFrames >= 0) {
                n = (int) Math.min(n, outputFrames - delivered);
            }
            System.arraycopy(block, pendingStart * channels, buffer, (offset + copied) * channels, n * channels);
            pendingStart += n;
            copied += n;
            delivered += n;
        }
        return copied;
    }

    private void processBlock() throws IOException {
        int blockIn = session.blockFrames();
        int got = 0;
        while (!inputEnded && got < blockIn) {
            int n = source.read(block, got, blockIn - got);
            if (n <= 0) {
                inputEnded = true;
            }
            got += Math.max(0, n);
        }
        Arrays.fill(block, got * channels, blockIn * channels, (short) 0);
        consumed += got;

        int blockOut = session.process(block, blockIn);
        double stretch = session.lastStretch();
        owed += got * stretch;
        if (firstStretch < 0) {
            firstStretch = stretch;
        }
        steady &= stretch == firstStretch;
        if (inputEnded && outputFrames < 0) {
            inputFrames = consumed;
            // At a steady tempo, the same count as for a length known in advance.
            outputFrames = steady ? session.outputFramesFor(consumed) : Math.round(owed);
        }
        float level = session.peakLevel();
        session.spectrum(spectrum);

        long rawStart = produced;
        produced += blockOut;
        long start = rawStart - latency;
        long end = produced - latency;
        if (end > 0 && (outputFrames < 0 || start < outputFrames)) {
            peak = Math.max(peak, level);
            if (listener != null) {
                listener.block(start, end, level, spectrum);
            }
        }
        // Frames still inside the start-up delay are dropped.
        pendingStart = (int) Math.max(0, Math.min(blockOut, latency - rawStart));
        pendingEnd = blockOut;
    }

    // ---------------------------------------------------------------------
    // javax.sound.sampled

    /**
     * The stream at another tempo, same pitch, as 16-bit PCM at its rate and
     * channels (mono or stereo). It opens a {@link Session} (fine mode where
     * the engine has it), which closing the returned stream closes, together
     * with {@code source}. The length is known when the source's is.
     *
     * @throws IllegalArgumentException when the source cannot be converted to
     *     16-bit PCM, has more than two channels, or the tempo is out of range
     * @throws IllegalStateException when another session is open in this process
     */
    public static AudioInputStream of(AudioInputStream source, double tempo) {
        AudioFormat f = source.getFormat();
        int ch = f.getChannels();
        if (ch != 1 && ch != 2) {
            throw new IllegalArgumentException(ch + " channels: the engine takes mono or stereo");
        }
        float rate = f.getSampleRate();
        AudioFormat pcm = new AudioFormat(AudioFormat.Encoding.PCM_SIGNED, rate, 16, ch, 2 * ch, rate, false);
        AudioInputStream in = f.matches(pcm) ? source : AudioSystem.getAudioInputStream(pcm, source);
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
        long length = in.getFrameLength();
        TempoStream stream = new TempoStream(session, frames, length, null);
        return new AudioInputStream(new Bytes(stream, session, in, ch), pcm,
                length < 0 ? AudioSystem.NOT_SPECIFIED : stream.frameLength());
    }

    /** The stream's frames as little-endian bytes. */
    private static final class Bytes extends InputStream {
        private final TempoStream stream;
        private final Session session;
        private final AudioInputStream source;
        private final short[] frames;
        private final byte[] bytes;
        private int pos;
        private int end;

        Bytes(TempoStream stream, Session session, AudioInputStream source, int channels) {
            this.stream = stream;
            this.session = session;
            this.source = source;
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
            if (len == 0) {
                return 0;
            }
            if (pos == end) {
                int n = stream.read(frames, 0, 1024);
                if (n <= 0) {
                    return -1;
                }
                int samples = n * session.channels();
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
            return end - pos;
        }

        @Override
        public void close() throws IOException {
            session.close();
            source.close();
        }
    }
}
