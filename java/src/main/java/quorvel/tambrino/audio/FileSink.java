// A recording of what would be heard, written to a WAV file in real time.
package quorvel.tambrino.audio;

import java.io.BufferedOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Path;

/**
 * The audio output of a machine without one: what would be heard goes to a
 * 16-bit WAV file, at the pace of real time (so that the keys and the screen
 * act as they would while listening), and nothing while playback is paused.
 * The file appears when the sink is closed, complete, and also when the
 * process is interrupted (Ctrl-C): what was heard until then. A device or
 * FIFO receives it as a stream, as it is heard. Like an audio output dropping
 * its buffer, {@link #discardUnheard()} takes back the writes' lead on real
 * time (a seek, q) where the output is a file.
 */
public final class FileSink implements AudioSink {
    /** How far ahead of real time the writes may run, like an audio output's buffer. */
    private static final double LEAD_SECONDS = 0.2;

    private final Path target;
    private final int sampleRate;
    private final int channels;
    private final OutputFiles files = new OutputFiles();
    private final OutputFiles.Output output;
    private final OutputStream out;
    private final int header;
    private long frames;
    private volatile long startNanos;
    private long pausedAt = -1;
    private boolean finished;

    public FileSink(Path target, int sampleRate, int channels) {
        this.target = target;
        this.sampleRate = sampleRate;
        this.channels = channels;
        this.output = files.open(OutputFiles.target(target, "--output-file"));
        out = new BufferedOutputStream(output, 1 << 16);
        byte[] head = WavWriter.header(sampleRate, channels, -1);
        header = head.length;
        try {
            out.write(head);
        } catch (IOException e) {
            files.close();
            throw CliException.file("cannot write " + target + ": " + OutputFiles.reason(e), e);
        }
        startNanos = System.nanoTime();
        // Interrupted (Ctrl-C): the file holds what was heard until then, not the writes' lead on it.
        OutputFiles.finishOnExit(output, () -> {
            discardUnheard();
            close();
        });
    }

    @Override
    public void write(byte[] bytes, int offset, int length) {
        synchronized (this) {
            if (finished) {
                return;
            }
            try {
                out.write(bytes, offset, length);
            } catch (IOException e) {
                throw CliException.file("cannot write " + target + ": " + OutputFiles.reason(e), e);
            }
            frames += length / (2 * channels);
        }
        long due = startNanos + (long) ((frames / (double) sampleRate - LEAD_SECONDS) * 1e9);
        long wait = due - System.nanoTime();
        if (wait > 0) {
            try {
                Thread.sleep(wait / 1_000_000, (int) (wait % 1_000_000));
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    @Override
    public void drain() {
        // What is written has been "heard" once real time has caught up with it.
        long wait = startNanos + (long) (frames / (double) sampleRate * 1e9) - System.nanoTime();
        if (wait > 0) {
            try {
                Thread.sleep(wait / 1_000_000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    /** What has been "heard": the frames written, no further than real time has gone while playing. */
    @Override
    public synchronized long heardFrames() {
        long now = pausedAt >= 0 ? pausedAt : System.nanoTime();
        return Math.max(0, Math.min(frames, (long) ((now - startNanos) / 1e9 * sampleRate)));
    }

    @Override
    public synchronized void pause() {
        pausedAt = System.nanoTime();
    }

    @Override
    public synchronized void resume() {
        if (pausedAt >= 0) {
            startNanos += System.nanoTime() - pausedAt;
            pausedAt = -1;
        }
    }

    /**
     * Truncates the file to what has been "heard", as an audio output drops
     * its buffer: the writes' lead on real time is not kept. A stream has
     * already passed it on and keeps it (-1).
     */
    @Override
    public synchronized long discardUnheard() {
        if (finished) {
            return -1;
        }
        long heard = heardFrames();
        try {
            out.flush();
        } catch (IOException e) {
            throw CliException.file("cannot write " + target + ": " + OutputFiles.reason(e), e);
        }
        if (!output.truncate(header + heard * 2L * channels)) {
            return -1;
        }
        frames = heard;
        return heard;
    }

    /** Finishes the file and moves it into place (once: at the end, or from the exit hook). */
    @Override
    public synchronized void close() {
        if (finished) {
            return;
        }
        finished = true;
        try {
            out.close();
            output.finishWav(channels, frames);
            files.commit();
        } catch (IOException e) {
            throw CliException.file("cannot write " + target + ": " + OutputFiles.reason(e), e);
        } finally {
            OutputFiles.finished(output);
            files.close();
        }
    }
}
