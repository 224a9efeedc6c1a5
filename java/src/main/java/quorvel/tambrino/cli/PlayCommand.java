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
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

@Command(name = "play", mixinStandardHelpOptions = true, sortOptions = false,
        description = {"Plays IN at another tempo, same pitch, through the default audio output (or into a file).",
            "On a terminal it is an interactive player: space pause, left/right seek 5 s, up/down tempo +/-0.05,"
                    + " [ and ] loop start and end, \\ clear the loop, v voice removal, m mono, f fine/exact,"
                    + " q quit. Otherwise it plays once and shows a level meter."})
final class PlayCommand implements Callable<Integer> {
    /** Where the samples go. */
    interface AudioSink extends AutoCloseable {
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
    }

    /** Opens the output for a format; replaced by tests. */
    static volatile Function<AudioFormat, AudioSink> sinks = PlayCommand::openDefaultLine;

    static final String[] NOTE_NAMES = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};

    @Parameters(index = "0", paramLabel = "IN", description = "The music to play.")
    Path input;

    @Option(names = "--output-file", paramLabel = "FILE.wav",
            description = "Write what would be heard to this WAV file (.wav or .wave, or a device or FIFO), in"
                    + " real time, instead of playing it (for machines without a sound card; the keys work as"
                    + " usual).")
    Path outputFile;

    @Mixin
    EngineOptions engineOptions;

    @Option(names = "--spectrum", negatable = true, defaultValue = "true", fallbackValue = "true",
            description = "Run the engine's 72-note spectrum analyser (default: on; the meter's note and the"
                    + " player's spectrum).")
    void spectrum(boolean on) {
        engineOptions.spectrum = on;
    }

    @Override
    public Integer call() throws Exception {
        engineOptions.resolve(2, 44100);
        if (outputFile != null && OutputFiles.isStandardOutput(outputFile)) {
            throw CliException.usage("--output-file needs a file name: standard output carries the player's"
                    + " messages (use 'tambrino stretch IN -' for a pipe)");
        }
        if (outputFile != null) {
            OutputFiles.checkFormat(outputFile, "--output-file", OutputFiles.AUDIO_NAMES);
        }
        boolean interactive = Terminal.stdinIsTerminal() && Player.TerminalMode.available();
        String inArg = input.toString();
        if (interactive && InputFile.isStdio(inArg)) {
            throw CliException.usage("the interactive player reads its keys from standard input, so the music"
                    + " cannot come from there; name a file");
        }
        String inName = InputFile.displayName(inArg);
        short[] pcm;
        Settings settings;
        String description;
        try (InputFile.Reader in = InputFile.openAudio(inArg)) {
            if (outputFile != null) {
                OutputFiles.checkOutput(outputFile, "--output-file", OutputFiles.AUDIO_NAMES, input);
            }
            settings = engineOptions.resolve(in.channels(), in.sampleRate());
            Settings.hints(settings, System.err);
            description = in.description();
            try {
                pcm = Transport.readAll(in);
            } catch (IOException e) {
                throw CliException.file("error while reading " + inName + ": " + OutputFiles.reason(e), e);
            }
            if (in.warning() != null) {
                System.err.println("tambrino: warning: " + in.warning());
            }
        }
        int ch = settings.channels;
        Passage passage = engineOptions.passage(inName, pcm.length / ch, settings.sampleRate);
        Transport transport = new Transport(pcm, ch, settings.sampleRate, passage, interactive);
        AudioFormat format = new AudioFormat(settings.sampleRate, 16, ch, true, false);
        float peak;
        long heard;
        String key = settings.pitchSummary();
        double[] tempos;
        try (AudioSink sink = outputFile != null ? new FileSink(outputFile, settings.sampleRate, ch)
                : sinks.apply(format)) {
            Player.Meter meter = interactive ? new Player.Meter() : null;
            try (Stretcher stretcher = new Stretcher(settings, transport, meter)) {
                if (interactive) {
                    Player player = new Player(settings, transport, stretcher, sink, meter, inName, description);
                    boolean ended = player.run();
                    heard = player.heardOutput();
                    if (!Float.isNaN(player.keyedShift())) {
                        key = player.keyedShift() == 0 ? "" : ", transposed " + Settings.transposition(player.keyedShift());
                    }
                    if (!ended) {
                        System.out.printf(Locale.ROOT, "stopped %s at %s%n", inName,
                                Player.clock((double) player.heardFrame() / settings.sampleRate));
                    }
                } else {
                    heard = playOnce(settings, stretcher, sink);
                }
                peak = stretcher.peak();
                tempos = stretcher.temposHeard();
            }
        }
        System.out.printf(Locale.ROOT, "played %s at %s%s, peak %s, %.2f s%s%n", inName,
                temposText(tempos, settings.realisedTempo()), key, Terminal.dbfs(peak), (double) heard / settings.sampleRate,
                outputFile != null ? " -> " + outputFile : "");
        if (passage.trainer != null) {
            System.out.println(StretchCommand.trainerSummary(passage.trainer));
        }
        return 0;
    }

    /** "tempo 0.75", or "tempos 0.95 to 4.6, last 0.95" when it changed; as played, to four decimals. */
    static String temposText(double[] heard, double fallback) {
        if (Double.isNaN(heard[2])) {
            return "tempo " + Settings.fmt(Math.rint(fallback * 1e4) / 1e4);
        }
        String[] t = new String[3];
        for (int i = 0; i < 3; i++) {
            t[i] = Settings.fmt(Math.rint(heard[i] * 1e4) / 1e4);
        }
        if (t[0].equals(t[1])) {
            return "tempo " + t[0];
        }
        return "tempos " + t[0] + " to " + t[1] + (t[2].equals(t[1]) ? "" : ", last " + t[2]);
    }

    /**
     * Plays the passage through (the trainer's passes included) with a meter
     * on standard error that follows what is heard; returns the frames played.
     */
    private static long playOnce(Settings settings, Stretcher stretcher, AudioSink sink) {
        Terminal terminal = Terminal.stderr();
        int ch = settings.channels;
        Player.Meter meter = new Player.Meter();
        stretcher.listen(meter);
        float[] spectrum = new float[Stretcher.NOTES];
        long clipUntil = Long.MIN_VALUE;
        long lastHeard = 0;
        long played = 0;
        try {
            short[] frames = new short[1024 * ch];
            byte[] bytes = new byte[frames.length * 2];
            int n;
            while ((n = stretcher.read(frames, 0, 1024)) > 0) {
                toBytes(frames, n * ch, bytes);
                sink.write(bytes, 0, n * ch * 2);
                played += n;
                long heard = sink.heardFrames() >= 0 ? Math.min(sink.heardFrames(), played) : played;
                float level = meter.at(heard, spectrum);
                long now = System.nanoTime();
                if (meter.clipped(lastHeard, heard + 1)) {
                    // Lit for a second, though the status line is drawn only ten times a second.
                    clipUntil = now + 1_000_000_000L;
                }
                lastHeard = heard;
                long total = stretcher.frameLength();
                terminal.status(meterLine(level, spectrum, (double) heard / settings.sampleRate,
                        total < 0 ? -1 : (double) total / settings.sampleRate, now < clipUntil), false);
            }
            sink.drain();
            stretcher.heard(Long.MAX_VALUE);
        } catch (IOException e) {
            throw CliException.file("error while playing: " + OutputFiles.reason(e), e);
        } finally {
            terminal.clear();
        }
        return played;
    }

    /** 16-bit samples to little-endian bytes. */
    static void toBytes(short[] samples, int count, byte[] bytes) {
        for (int i = 0; i < count; i++) {
            bytes[2 * i] = (byte) samples[i];
            bytes[2 * i + 1] = (byte) (samples[i] >> 8);
        }
    }

    /** "[##########..........] -12.3 dBFS  A4   0:12 / 1:30" */
    static String meterLine(float level, float[] spectrum, double position, double total, boolean clip) {
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
                Terminal.clock(total), clip ? "  CLIP" : "");
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
