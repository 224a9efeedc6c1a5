package quorvel.tambrino.audio;

import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.LineUnavailableException;
import javax.sound.sampled.SourceDataLine;

/**
 * Where played samples go: the sound card, or a file written in real time.
 * The playback thread writes; any thread may ask what was heard, pause,
 * resume or drop what is not heard yet.
 */
public interface AudioSink extends AutoCloseable {
    void write(byte[] bytes, int offset, int length);

    /** Waits until everything written has been heard. */
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
     * next is heard at once; returns the frames kept (heard), or -1 when
     * the output cannot drop anything.
     */
    default long discardUnheard() {
        return -1;
    }

    @Override
    void close();

    /** The system's default audio output, opened for {@code format} and started. */
    static AudioSink openDefaultLine(AudioFormat format) {
        SourceDataLine line;
        try {
            line = AudioSystem.getSourceDataLine(format);
            // About a fifth of a second of buffer: the meter stays close to what is heard.
            line.open(format, Math.max(4096, (int) (format.getFrameRate() / 5) * format.getFrameSize()));
        } catch (LineUnavailableException | IllegalArgumentException | SecurityException e) {
            throw new CliException(CliException.EXIT_NO_AUDIO, "no audio output is available to play "
                    + (int) format.getSampleRate() + " Hz " + (format.getChannels() == 1 ? "mono" : "stereo")
                    + " (" + e.getMessage() + "); use --output-file FILE.wav to write what would be heard, or"
                    + " 'tambrino stretch IN.wav OUT.wav' to write a file instead");
        }
        line.start();
        return new AudioSink() {
            @Override
            public void write(byte[] bytes, int offset, int length) {
                int done = 0;
                while (done < length) {
                    int n = line.write(bytes, offset + done, length - done);
                    if (n <= 0 && !line.isOpen()) {
                        throw new CliException(CliException.EXIT_NO_AUDIO, "the audio output was closed while playing");
                    }
                    done += n;
                }
            }

            @Override
            public void drain() {
                line.drain();
            }

            @Override
            public synchronized long heardFrames() {
                return line.getLongFramePosition() - skipped;
            }

            private boolean paused;

            @Override
            public synchronized void pause() {
                paused = true;
                line.stop();
            }

            @Override
            public synchronized void resume() {
                paused = false;
                line.start();
            }

            /** Frames that the line counts as played but were dropped unheard (lines differ on this). */
            private long skipped;

            @Override
            public synchronized long discardUnheard() {
                line.stop();
                long kept = line.getLongFramePosition() - skipped;
                line.flush();
                skipped = line.getLongFramePosition() - kept;
                if (!paused) {
                    line.start();
                }
                return kept;
            }

            @Override
            public void close() {
                line.stop();
                line.close();
            }
        };
    }
}
