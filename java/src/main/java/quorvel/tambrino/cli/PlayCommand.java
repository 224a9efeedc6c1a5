// tambrino play: the interactive player on a terminal, or one pass with a meter.
package quorvel.tambrino.cli;

import java.io.IOException;
import java.nio.file.Path;
import java.util.Locale;
import java.util.concurrent.Callable;
import java.util.function.Function;
import javax.sound.sampled.AudioFormat;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import quorvel.tambrino.audio.AudioSink;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.FileSink;
import quorvel.tambrino.audio.InputFile;
import quorvel.tambrino.audio.OutputFiles;
import quorvel.tambrino.practice.Meter;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.Stretcher;
import quorvel.tambrino.practice.Terminal;
import quorvel.tambrino.practice.Transport;

@Command(name = "play", mixinStandardHelpOptions = true, versionProvider = Tambrino.Version.class, sortOptions = false,
        description = {"Plays IN at another tempo, same pitch, through the default audio output (or into a file).",
            "On a terminal it is an interactive player: space pause, left/right seek 5 s, up/down tempo +/-0.05,"
                    + " [ and ] loop start and end, \\ clear the loop, v voice removal, m mono, f fine/exact,"
                    + " q quit. Otherwise it plays once and shows a level meter."})
final class PlayCommand implements Callable<Integer> {
    /** Opens the output for a format; replaced by tests. */
    static volatile Function<AudioFormat, AudioSink> sinks = AudioSink::openDefaultLine;

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
            Meter meter = interactive ? new Meter() : null;
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
                                Terminal.tenths((double) player.heardFrame() / settings.sampleRate));
                    }
                } else {
                    heard = playOnce(settings, stretcher, sink);
                }
                peak = stretcher.peak();
                tempos = stretcher.temposHeard();
            }
        }
        System.out.printf(Locale.ROOT, "played %s at %s%s, peak %s, %.2f s%s%n", inName,
                Stretcher.temposText(tempos, settings.realisedTempo()), key, Terminal.dbfs(peak), (double) heard / settings.sampleRate,
                outputFile != null ? " -> " + outputFile : "");
        if (passage.trainer != null) {
            System.out.println(StretchCommand.trainerSummary(passage.trainer));
        }
        return 0;
    }

    /**
     * Plays the passage through (the trainer's passes included) with a meter
     * on standard error that follows what is heard; returns the frames played.
     */
    private static long playOnce(Settings settings, Stretcher stretcher, AudioSink sink) {
        Terminal terminal = Terminal.stderr();
        int ch = settings.channels;
        Meter meter = new Meter();
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
                Playback.toBytes(frames, n * ch, bytes);
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
}
