// The practice window's engine and audio output: one engine per song (or trainer run), one output kept across them.
package quorvel.tambrino.app;

import javax.sound.sampled.AudioFormat;
import quorvel.tambrino.audio.AudioSink;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.FileSink;
import quorvel.tambrino.practice.Meter;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.Stretcher;
import quorvel.tambrino.practice.Transport;

/**
 * Owns what plays the song: the audio output (a device, or the file named
 * by {@code --output-file}), opened once and again only for another format,
 * and the engine that streams into it on a thread of its own through
 * {@link Playback}. The window starts an engine for a song, or for a trainer
 * run, and stops it before the next. Event dispatch thread only; the
 * streaming thread is the {@link Playback}'s, and the window only sets
 * values on it and polls what is heard.
 */
final class SongPlayer {
    private final java.nio.file.Path outputFile;
    /** The output, opened for the song's format; kept across engines. */
    private AudioSink output;
    private AudioFormat outputFormat;
    /** Why there is no output, or null. */
    private String noOutput;
    private Playback playback;
    private Thread streaming;
    private Stretcher stretcher;
    private Meter meter;

    SongPlayer(java.nio.file.Path outputFile) {
        this.outputFile = outputFile;
    }

    /**
     * Whether a sound output can be opened at all: without a file to write
     * and without a device, the window says how to export instead.
     */
    String probe() {
        if (outputFile == null) {
            try {
                AudioSink probe = AudioSink.openDefaultLine(new AudioFormat(44100, 16, 2, true, false));
                probe.close();
            } catch (CliException e) {
                noOutput = "No audio output on this machine: start the app with --output-file FILE.wav to hear"
                        + " into a file, or use File \u25b8 Export to write the song at this tempo";
            }
        }
        return noOutput;
    }

    String noOutput() {
        return noOutput;
    }

    Playback playback() {
        return playback;
    }

    Meter meter() {
        return meter;
    }

    /** Whether the engine streams into an output (else it only keeps positions and switches). */
    boolean streaming() {
        return streaming != null;
    }

    /**
     * Starts an engine on {@code s} for {@code passage}, paused unless
     * {@code play}; it does not stream until {@link #stream()}. Returns a
     * message when the engine cannot be started, else null.
     */
    String start(Song s, Settings settings, Passage passage, boolean play) {
        stop();
        Transport transport = new Transport(s.pcm, s.channels, s.sampleRate, passage, true);
        meter = new Meter();
        try {
            stretcher = new Stretcher(settings, transport, meter);
        } catch (CliException e) {
            return e.getMessage();
        }
        AudioSink out = outputFor(s);
        if (out == null) {
            // No output: the engine is there for the positions and the switches, but nothing streams.
            playback = new Playback(settings, transport, stretcher, new AudioSink() {
                @Override
                public void write(byte[] bytes, int offset, int length) {}

                @Override
                public void drain() {}

                @Override
                public void close() {}
            }, meter, true);
            playback.setPaused(true);
        } else {
            playback = new Playback(settings, transport, stretcher, new RebasedSink(out), meter, true);
            if (!play) {
                playback.setPaused(true);
            }
        }
        return null;
    }

    /** Starts the streaming thread of the engine just started, when there is an output. */
    void stream() {
        if (output != null && playback != null) {
            streaming = new Thread(playback, "tambrino-playback");
            streaming.setPriority(Thread.MAX_PRIORITY);
            streaming.setDaemon(true);
            streaming.start();
        }
    }

    /** The output for the song's format: opened once, again only when the format changes. */
    private AudioSink outputFor(Song s) {
        AudioFormat f = new AudioFormat(s.sampleRate, 16, s.channels, true, false);
        if (output != null && outputFormat.matches(f)) {
            return output;
        }
        if (output != null) {
            output.close();
            output = null;
        }
        try {
            output = outputFile != null ? new FileSink(outputFile, s.sampleRate, s.channels)
                    : noOutput != null ? null : AudioSink.openDefaultLine(f);
            outputFormat = f;
        } catch (CliException e) {
            noOutput = e.getMessage();
            output = null;
        }
        return output;
    }

    /** Stops and frees the engine; returns why playback had stopped on its own, or null. */
    String stop() {
        String failed = null;
        if (playback != null) {
            playback.stop();
            if (streaming != null) {
                try {
                    streaming.join(5000);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
            Throwable failure = playback.failure();
            if (failure != null) {
                failed = "playback stopped: " + failure.getMessage();
            }
        }
        if (stretcher != null) {
            stretcher.close();
        }
        playback = null;
        streaming = null;
        stretcher = null;
        return failed;
    }

    /** Stops the engine and closes the output; throws when the output could not be finished. */
    void close() {
        stop();
        if (output != null) {
            AudioSink o = output;
            output = null;
            o.close();
        }
    }
}
