// A source read and decoded on a thread of its own, a few chunks ahead of the engine that takes its frames.
package quorvel.tambrino.practice;

import java.io.IOException;
import quorvel.tambrino.audio.PcmSource;

/**
 * A source whose reading (the decoding of an MP3 file, say) runs on a thread
 * of its own, up to {@link #CHUNKS} chunks ahead of the thread that reads
 * this, so that decoding and stretching share the processor's cores. The
 * frames are those of the source, in order; so are its failures, which a
 * read meets after every frame read before them.
 *
 * <p>The thread starts at the first read and ends with the source's end, its
 * failure or {@link #close()}, which waits for it: a source whose read may
 * wait without end (standard input, a FIFO) does not belong here. The
 * source is never closed here and stays its owner's, who may close it and
 * ask its state (its warning, its length) once this is closed. One thread
 * reads this and closes it.
 */
public final class ReadAhead implements PcmSource, AutoCloseable {
    /** Frames a chunk holds: a fifth of a second at 44.1 kHz, enough to keep hand-overs rare. */
    public static final int CHUNK_FRAMES = 8192;
    /** Chunks the thread may read ahead. */
    public static final int CHUNKS = 4;

    private final PcmSource source;
    private final int channels;
    private final int sampleRate;
    /**
     * The length as the source told it before the thread started: the
     * source's fields are the reading thread's until its end has been read.
     */
    private final long lengthBefore;
    private final ChunkPipe pipe;
    private Thread thread;
    private ChunkPipe.Chunk current;
    private int position;
    private boolean endRead;
    private boolean closed;

    public ReadAhead(PcmSource source) {
        this.source = source;
        this.channels = source.channels();
        this.sampleRate = source.sampleRate();
        this.lengthBefore = source.frameLength();
        this.pipe = new ChunkPipe(CHUNKS, CHUNK_FRAMES * channels);
    }

    @Override
    public int channels() {
        return channels;
    }

    @Override
    public int sampleRate() {
        return sampleRate;
    }

    @Override
    public long frameLength() {
        // A length known only at the end (a pipe's) is the source's to tell once the end is read.
        return endRead ? source.frameLength() : lengthBefore;
    }

    @Override
    public int read(short[] buffer, int offset, int frames) throws IOException {
        if (closed) {
            throw new IllegalStateException("read after close");
        }
        if (thread == null) {
            thread = new Thread(this::produce, "tambrino-read");
            // A signal's exit must not wait for a read under way.
            thread.setDaemon(true);
            thread.start();
        }
        int copied = 0;
        while (copied < frames) {
            if (current == null) {
                try {
                    current = pipe.take();
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    throw new java.io.InterruptedIOException("interrupted while reading");
                }
                position = 0;
                if (current == null) {
                    endRead = true;
                    Throwable failure = pipe.endFailure();
                    if (failure != null && copied == 0) {
                        ChunkPipe.rethrow(failure);
                    }
                    // The failure comes with the next read, after the frames before it.
                    break;
                }
            }
            int n = Math.min(frames - copied, current.frames - position);
            System.arraycopy(current.samples, position * channels, buffer, (offset + copied) * channels,
                    n * channels);
            position += n;
            copied += n;
            if (position == current.frames) {
                current = null;
                pipe.release();
            }
        }
        return copied;
    }

    /** The reading thread: whole chunks while the source has frames, then the end or its failure. */
    private void produce() {
        Throwable failure = null;
        try {
            while (failure == null) {
                ChunkPipe.Chunk chunk = pipe.claim();
                if (chunk == null) {
                    return;
                }
                int filled = 0;
                try {
                    int n;
                    while (filled < CHUNK_FRAMES
                            && (n = source.read(chunk.samples, filled, CHUNK_FRAMES - filled)) > 0) {
                        filled += n;
                    }
                } catch (Throwable t) {
                    // The frames read before the failure are passed on first.
                    failure = t;
                }
                if (filled == 0) {
                    break;
                }
                chunk.frames = filled;
                pipe.pass();
                if (filled < CHUNK_FRAMES) {
                    break;
                }
            }
        } catch (InterruptedException e) {
            // Nobody interrupts this thread but the runtime's end: nobody reads on.
        } finally {
            pipe.end(failure);
        }
    }

    /** Ends the reading thread; the source itself stays open. */
    @Override
    public void close() {
        if (closed) {
            return;
        }
        closed = true;
        pipe.stop();
        if (thread != null) {
            boolean interrupted = false;
            while (thread.isAlive()) {
                try {
                    thread.join();
                } catch (InterruptedException e) {
                    interrupted = true;
                }
            }
            if (interrupted) {
                Thread.currentThread().interrupt();
            }
        }
    }
}
