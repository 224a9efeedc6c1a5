package quorvel.tambrino.cli;

import java.io.IOException;
import java.nio.file.Path;
import java.util.Locale;
import java.util.concurrent.Callable;
import java.util.function.Function;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.LineUnavailableException;
import javax.sound.sampled.SourceDataLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Parameters;

@Command(name = "play", mixinStandardHelpOptions = true, sortOptions = false,
        description = {"Plays IN.wav at another tempo, same pitch, through the default audio output.",
            "Processes while it plays and shows a live level meter and the loudest note on the terminal."})
final class PlayCommand implements Callable<Integer> {
    /** Where the samples go. */
    interface AudioSink extends AutoCloseable {
        void write(byte[] bytes, int offset, int length);

        /** Waits until everything written has been heard. */
        void drain();

        @Override
        void close();
    }

    /** Opens the output for a format; replaced by tests. */
    static volatile Function<AudioFormat, AudioSink> sinks = PlayCommand::openDefaultLine;

    static final String[] NOTE_NAMES = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};

    @Parameters(index = "0", paramLabel = "IN.wav", description = "The music to play.")
    Path input;

    @Mixin
    EngineOptions engineOptions;

    @Override
    public Integer call() {
        engineOptions.resolve(2, 44100);
        try (InputFile.Reader in = InputFile.openAudio(input.toString())) {
            if (in.warning() != null) {
                System.err.println("tambrino: warning: " + in.warning());
            }
            Settings settings = engineOptions.resolve(in.channels(), in.sampleRate());
            Settings.hints(settings, System.err);
            AudioFormat format = PcmInputStream.format(in.sampleRate(), in.channels());
            try (AudioSink sink = sinks.apply(format)) {
                Terminal terminal = Terminal.stderr();
                double[] total = {-1};
                float[] peak = new float[1];
                Stretcher.BlockListener meter = (start, end, level, spectrum) -> {
                    peak[0] = Math.max(peak[0], level);
                    terminal.status(meterLine(level, spectrum, Math.max(0, start) / (double) in.sampleRate(), total[0]),
                            false);
                };
                try (Stretcher stretcher = new Stretcher(settings, in, meter)) {
                total[0] = (double) stretcher.frameLength() / in.sampleRate();
                long t0 = System.nanoTime();
                PcmInputStream bytes = new PcmInputStream(stretcher, 1024);
                byte[] buffer = new byte[1024 * 2 * in.channels()];
                try {
                    int n;
                    while ((n = bytes.read(buffer, 0, buffer.length)) > 0) {
                        sink.write(buffer, 0, n);
                    }
                } catch (IOException e) {
                    throw CliException.file("error while reading " + input + ": " + OutputFiles.reason(e), e);
                }
                if (total[0] < 0) {
                    total[0] = (double) stretcher.frameLength() / in.sampleRate();
                }
                sink.drain();
                terminal.clear();
                System.out.printf(Locale.ROOT, "played %s: %.2f s at tempo %s, peak %s, %.1f s%n", input, total[0],
                        Settings.fmt(settings.tempo), Terminal.dbfs(peak[0]), (System.nanoTime() - t0) / 1e9);
                }
            }
        } catch (IOException e) {
            System.err.println("tambrino: note: closing " + input + " failed: " + OutputFiles.reason(e));
        }
        return 0;
    }

    /** "[##########..........] -12.3 dBFS  A4   0:12 / 1:30" */
    static String meterLine(float level, float[] spectrum, double position, double total) {
        double db = level > 0 ? 20 * Math.log10(level) : -99;
        // 48 dB across the bar.
        String bar = Terminal.bar((db + 48) / 48, 24);
        String note = "--";
        if (spectrum != null) {
            int best = -1;
            for (int i = 0; i < spectrum.length; i++) {
                if (spectrum[i] > 1e-4f && (best < 0 || spectrum[i] > spectrum[best])) {
                    best = i;
                }
            }
            if (best >= 0) {
                note = noteName(best);
            }
        }
        return String.format(Locale.ROOT, "%s %6s  %-3s  %s / %s%s", bar,
                level > 0 ? String.format(Locale.ROOT, "%.1f", db) : "-inf", note, Terminal.clock(position),
                Terminal.clock(total), level >= 1.0f ? "  CLIP" : "");
    }

    /** Name of note index 0..71: C1 .. B6. */
    static String noteName(int index) {
        return NOTE_NAMES[index % 12] + (index / 12 + 1);
    }

    private static AudioSink openDefaultLine(AudioFormat format) {
        SourceDataLine line;
        try {
            line = AudioSystem.getSourceDataLine(format);
            // About a fifth of a second of buffer: the meter stays close to what is heard.
            line.open(format, Math.max(4096, (int) (format.getFrameRate() / 5) * format.getFrameSize()));
        } catch (LineUnavailableException | IllegalArgumentException | SecurityException e) {
            throw new CliException(CliException.EXIT_NO_AUDIO, "no audio output is available to play "
                    + (int) format.getSampleRate() + " Hz " + (format.getChannels() == 1 ? "mono" : "stereo")
                    + " (" + e.getMessage() + "); use 'tambrino stretch IN.wav OUT.wav' to write a file instead");
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
            public void close() {
                line.stop();
                line.close();
            }
        };
    }
}
