// A bounded hand-over of sample chunks between two threads, so that reading, stretching and writing run at once.
package quorvel.tambrino.practice;

import java.io.IOException;

/**
 * Chunks of interleaved 16-bit frames passed from one producing thread to
 * one consuming thread through a ring of buffers allocated once: the
 * producer {@link #claim()}s a free chunk, fills it and {@link #pass}es it
 * on; the consumer {@link #take()}s it, uses it and {@link #release()}s it.
 * The producer ends the stream with {@link #end(Throwable)}, with or without
 * a failure, which the consumer meets after every chunk passed before it;
 * the consumer gives up with {@link #stop()}, which the producer
 * meets at its next claim. Neither side ever waits for the other once that
 * side has ended or stopped.
 *
 * <p>One producing and one consuming thread; {@link #stop} from any thread.
 */
final class ChunkPipe {
    /** A buffer of the ring: {@code frames} frames of {@code samples} are in use. */
    static final class Chunk {
        final short[] samples;
        int frames;

        Chunk(int samples) {
            this.samples = new short[samples];
        }
    }

    private final Chunk[] ring;
    // Guarded by this.
    /** The oldest chunk passed and not yet released. */
    private int first;
    /** Chunks passed and not yet released. */
    private int passed;
    private boolean ended;
    private Throwable endFailure;
    private boolean stopped;

    ChunkPipe(int chunks, int samplesPerChunk) {
        ring = new Chunk[chunks];
        for (int i = 0; i < chunks; i++) {
            ring[i] = new Chunk(samplesPerChunk);
        }
    }

    /**
     * A free chunk for the producer to fill (it may keep it across calls
     * until it passes it), waiting while all are passed on; null once the
     * consumer has stopped.
     */
    synchronized Chunk claim() throws InterruptedException {
        while (passed == ring.length && !stopped) {
            wait();
        }
        return stopped ? null : ring[(first + passed) % ring.length];
    }

    /** Passes the claimed chunk on to the consumer. */
    synchronized void pass() {
        passed++;
        notifyAll();
    }

    /** No chunk follows: the stream ends, with {@code failure} when not null. */
    synchronized void end(Throwable failure) {
        if (!ended) {
            ended = true;
            endFailure = failure;
            notifyAll();
        }
    }

    /**
     * The oldest chunk passed, waiting for one; null at the end of the
     * stream, after which {@link #endFailure()} says whether it failed. The
     * same chunk again until it is released.
     */
    synchronized Chunk take() throws InterruptedException {
        while (passed == 0 && !ended && !stopped) {
            wait();
        }
        return passed > 0 && !stopped ? ring[first] : null;
    }

    /** Gives the chunk taken back to the producer. */
    synchronized void release() {
        first = (first + 1) % ring.length;
        passed--;
        notifyAll();
    }

    /** The consumer wants no more chunks. */
    synchronized void stop() {
        stopped = true;
        notifyAll();
    }

    synchronized Throwable endFailure() {
        return endFailure;
    }

    /** Throws {@code t} as it is: an IOException, an unchecked exception or an error. */
    static void rethrow(Throwable t) throws IOException {
        if (t instanceof IOException) {
            throw (IOException) t;
        }
        if (t instanceof RuntimeException) {
            throw (RuntimeException) t;
        }
        if (t instanceof Error) {
            throw (Error) t;
        }
        throw new IllegalStateException(t);
    }
}
