// Where playback's sound goes: the default audio output, or a file of what would be heard.
package quorvel.tambrino.audio;

import javax.sound.sampled.AudioFormat;

/**
 * Where played samples go: the sound card, or a file written in real time.
 * The playback thread writes; any thread may ask what was heard or what is
 * wrong, pause, resume, or ask a lost output to come back; the playback
 * thread drops what is not heard yet.
 */
public interface AudioSink extends AutoCloseable {
    /**
     * Takes {@code length} bytes of whole frames, waiting while the output's
     * buffer is full.
     *
     * @throws Unavailable when the output plays nothing (see {@link #trouble()}):
     *     nothing of these bytes was taken, and they may be written again
     */
    void write(byte[] bytes, int offset, int length);

    /**
     * Waits until everything written has been heard (or the output is paused).
     *
     * @throws Unavailable when the output plays nothing (see {@link #trouble()})
     */
    void drain();

    /** Frames heard so far (played, not only buffered); -1 when the output cannot tell. */
    default long heardFrames() {
        return -1;
    }

    /** Playback pauses: nothing is written until {@link #resume()}. */
    default void pause() {}

    default void resume() {}

    /**
     * Drops what was written but not heard yet, so that what is written
     * next is heard at once; returns the frames kept (heard, or about to
     * be: what is written next follows them without a gap), or -1 when the
     * output cannot drop anything.
     */
    default long discardUnheard() {
        return -1;
    }

    /**
     * Why the output plays nothing while it should, or null while it plays:
     * it went away (the sound server or the device is gone) or stopped taking
     * sound. Such an output tries to come back by itself, and then plays on
     * from what was heard last.
     */
    default String trouble() {
        return null;
    }

    /** Tries at once to get an output in {@link #trouble()} back (the user pressed Play). */
    default void retry() {}

    @Override
    void close();

    /** The output plays nothing for now: nothing was written; {@link AudioSink#trouble()} tells why. */
    final class Unavailable extends CliException {
        private static final long serialVersionUID = 1L;

        public Unavailable(String why) {
            super(CliException.EXIT_NO_AUDIO, why);
        }
    }

    /**
     * The system's default audio output, opened for {@code format} and
     * started (see {@link LineSink}).
     *
     * @throws CliException when there is none to open (exit 3)
     */
    static AudioSink openDefaultLine(AudioFormat format) {
        return new LineSink(format);
    }
}
