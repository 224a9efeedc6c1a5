package quorvel.tambrino.cli;

import java.io.IOException;
import quorvel.tambrino.Session;
import quorvel.tambrino.TempoStream;

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
 */
final class Stretcher implements PcmSource, AutoCloseable {
    /** Told about every block whose output overlaps the stretched stream. */
    interface BlockListener extends TempoStream.BlockListener {}

    static final int NOTES = Session.NOTES;

    private final Settings settings;
    private final Session session;
    private final TempoStream stream;

    /** Opens the engine's session; {@link #close()} ends it. */
    Stretcher(Settings settings, PcmSource input, TempoStream.BlockListener listener) {
        if (input.channels() != settings.channels || input.sampleRate() != settings.sampleRate) {
            throw new IllegalArgumentException("settings resolved for another stream");
        }
        this.settings = settings;
        this.session = settings.open();
        if (input instanceof Transport) {
            // The speed trainer raises the tempo at each pass.
            ((Transport) input).attach(session);
        }
        this.stream = new TempoStream(session, input::read, input.frameLength(), listener);
    }

    Session session() {
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

    /** The length of the stretched stream; -1 while the input's length is not known yet. */
    @Override
    public long frameLength() {
        return stream.frameLength();
    }

    /** Share of the input consumed so far, 0 to 1; -1 when the input's length is not known. */
    double progress() {
        return stream.progress();
    }

    /** Input frames read from the source so far. */
    long consumed() {
        return stream.consumed();
    }

    /** The frame of the stretched stream at which the input read so far ends (see {@link TempoStream}). */
    double alignedFrames() {
        return stream.alignedFrames();
    }

    /** Highest peak level of the blocks that overlap the stretched stream (1.0 = full scale). */
    float peak() {
        return stream.peak();
    }

    @Override
    public int read(short[] buffer, int offset, int frames) throws IOException {
        return stream.read(buffer, offset, frames);
    }

    @Override
    public void close() {
        session.close();
    }
}
