// tambrino stretch: one input into one output, or many into a folder.
package quorvel.tambrino.cli;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.function.Consumer;
import java.util.function.DoubleConsumer;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.InputFile;
import quorvel.tambrino.audio.OutputFiles;
import quorvel.tambrino.audio.PcmSource;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.SpectrumPicture;
import quorvel.tambrino.practice.StretchJob;
import quorvel.tambrino.practice.Terminal;
import quorvel.tambrino.practice.Transport;

@Command(name = "stretch", mixinStandardHelpOptions = true, versionProvider = Tambrino.Version.class, sortOptions = false,
        customSynopsis = {"tambrino stretch [OPTIONS] IN OUT.wav",
            "       tambrino stretch [OPTIONS] IN... --out-dir DIR [--jobs N]"},
        description = {"Writes IN at another tempo, same pitch, to OUT.wav (16-bit PCM, same rate and channels).",
            "Reads WAV (8- to 32-bit PCM, 32/64-bit float), AIFF, AU, MP3 and Ogg Vorbis, and with ffmpeg installed"
                    + " FLAC, Opus, M4A and more, at any rate from 2 to 384 kHz; surround is mixed to stereo."
                    + " '-' reads standard input or writes standard output.",
            "With --out-dir every file named is an input, written into DIR under its own name ending in .wav"
                    + " (song.mp3 -> DIR/song.wav), several at once. A file that fails is reported and the others"
                    + " finish; the exit code is 0 when all succeeded, else that of the first input (in the order"
                    + " given) that failed."})
final class StretchCommand implements Callable<Integer> {

    @Parameters(paramLabel = "IN", arity = "0..*", description = "The music to stretch ('-' = standard input),"
            + " then OUT.wav, where to write the result: a .wav or .wave file (replaced when complete; a link's"
            + " target is), a device or FIFO (written into), or '-' for standard output. With --out-dir, every"
            + " file named is an input.")
    List<Path> files = new ArrayList<>();

    @Option(names = "--out-dir", paramLabel = "DIR", description = "Stretch every file named into the folder DIR,"
            + " made when missing.")
    Path outDir;

    @Option(names = "--jobs", paramLabel = "N", description = "With --out-dir: how many files are stretched at"
            + " once, each by an engine of its own, 1 to " + StretchBatch.MAX_JOBS + ". Default: the number of"
            + " processors.")
    Integer jobs;

    @Mixin
    EngineOptions engineOptions;

    @Option(names = "--spectrum", negatable = true, defaultValue = "true", fallbackValue = "true",
            description = "Run the engine's 72-note spectrum analyser (default: on; needed by --spectrum-png).")
    void spectrum(boolean on) {
        engineOptions.spectrum = on;
    }

    @Option(names = "--spectrum-png", paramLabel = "FILE",
            description = "Also write a picture (PNG) of the 72-note spectrum over time and the peak meter"
                    + " (one input only).")
    Path png;

    @Option(names = "--png-width", defaultValue = "960", paramLabel = "PIXELS",
            description = "Width of the picture's time axis, 64 to 16384. Default: ${DEFAULT-VALUE}.")
    int plotWidth;

    /** A usage error of this command, with where its options are told. */
    private static CliException usage(String message) {
        return CliException.usage(message + "\nTry 'tambrino stretch --help' for the options.");
    }

    @Override
    public Integer call() {
        if (outDir == null) {
            if (files.size() < 2) {
                throw usage(files.isEmpty()
                        ? "Missing required parameters: 'IN', 'OUT.wav'"
                        : "Missing required parameter: 'OUT.wav' (or --out-dir DIR to write into a folder)");
            }
            if (files.size() > 2) {
                throw usage("unexpected argument '" + files.get(2)
                        + "': tambrino stretch takes IN and OUT.wav and options, or several inputs with"
                        + " --out-dir DIR");
            }
        } else if (files.isEmpty()) {
            throw usage("Missing required parameter: 'IN'");
        }
        if (jobs != null && outDir == null) {
            throw usage("--jobs " + jobs + " needs --out-dir DIR: it sets how many of several inputs are stretched"
                    + " at once, and one input into one output is a single job");
        }
        checkPictureOptions(png, plotWidth, engineOptions.spectrum);
        if (png != null && outDir != null && files.size() > 1) {
            throw CliException.usage("--spectrum-png draws one input's picture: give it with a single input,"
                    + " not with " + files.size());
        }
        // Option errors first, before any file is looked at.
        engineOptions.resolve(2, 44100);
        if (jobs != null && (jobs < 1 || jobs > StretchBatch.MAX_JOBS)) {
            throw CliException.usage("--jobs " + jobs + " is out of range: from 1 to " + StretchBatch.MAX_JOBS
                    + " files at once");
        }
        if (outDir != null) {
            List<Path> outputs = StretchBatch.outputs(files, outDir);
            if (png != null) {
                checkPicture(outputs.get(0), "the output of " + files.get(0));
            }
            int parallel = jobs != null ? jobs : Runtime.getRuntime().availableProcessors();
            return new StretchBatch(files, outputs, outDir, parallel, Terminal.stderr())
                    .run((in, out, progress, notes) -> stretch(in, out, "--out-dir", new Terminal(System.err, false), progress,
                            notes));
        }
        Path input = files.get(0);
        Path output = files.get(1);
        boolean toStdout = OutputFiles.isStandardOutput(output);
        // A terminal, standard input or standard error as the output: refused before any work.
        OutputFiles.target(output, "OUT.wav");
        if (png != null) {
            checkPicture(output, "OUT.wav");
        }
        try {
            OutputFiles.checkFormat(output, "OUT.wav", OutputFiles.AUDIO_NAMES);
        } catch (CliException e) {
            // An existing song as OUT: more likely a second input than a name for the result.
            throw !Files.isRegularFile(output) ? e : CliException.usage(e.getMessage()
                    + "; to stretch several files, name a folder for them with --out-dir DIR");
        }
        List<String> lines = stretch(input, output, "OUT.wav", Terminal.stderr(), null, System.err::println);
        // Standard output carries the audio when it is the output.
        PrintStream to = toStdout ? System.err : System.out;
        lines.forEach(to::println);
        return 0;
    }

    /** The picture's name, and that it is not the audio output. */
    private void checkPicture(Path output, String outputOption) {
        if (OutputFiles.isStandardOutput(png)) {
            throw CliException.usage("--spectrum-png needs a file name; '-' is for the audio only");
        }
        OutputFiles.checkDistinct(output, outputOption, png, "--spectrum-png");
        OutputFiles.checkFormat(png, "--spectrum-png", OutputFiles.PICTURE_NAMES);
    }

    /**
     * Stretches one input into {@code output} (and the picture, when asked
     * for), from any thread. Notes and warnings go to {@code notes} as they
     * come; the summary's lines are returned.
     *
     * @throws CliException naming what failed
     */
    List<String> stretch(Path input, Path output, String outputOption, Terminal terminal, DoubleConsumer progress,
            Consumer<String> notes) {
        String inArg = input.toString();
        List<String> lines = new ArrayList<>();
        try (InputFile.Reader in = InputFile.openAudio(inArg)) {
            OutputFiles.checkOutput(output, outputOption, OutputFiles.AUDIO_NAMES, input);
            if (png != null) {
                OutputFiles.checkOutput(png, "--spectrum-png", OutputFiles.PICTURE_NAMES, input);
            }
            String inName = InputFile.displayName(inArg);
            Settings settings = engineOptions.resolve(in.channels(), in.sampleRate());
            if (in.channels() == 1 && settings.usesStereoFeatures()) {
                notes.accept("tambrino: note: panning, --mono and voice removal act on stereo only;"
                        + " " + inName + " is mono");
            }
            ByteArrayOutputStream hints = new ByteArrayOutputStream();
            Settings.hints(settings, new PrintStream(hints, true, StandardCharsets.UTF_8));
            hints.toString(StandardCharsets.UTF_8).lines().forEach(notes);
            if (in.warning() != null) {
                notes.accept("tambrino: warning: " + in.warning());
            }
            Passage passage = engineOptions.passage(inName, in.frameLength(), in.sampleRate());
            PcmSource source = passage.whole(in.frameLength()) ? in : passage.once(in);
            if (passage.trainer != null) {
                short[] pcm = Transport.readAll(source);
                Passage all = Passage.of(inName, null, null, passage.trainer, pcm.length / in.channels(),
                        in.sampleRate());
                source = new Transport(pcm, in.channels(), in.sampleRate(), all, false);
            }
            lines.add(progress == null
                    ? StretchJob.run(settings, source, inName, output, png, plotWidth, terminal)
                    : StretchJob.run(settings, source, inName, output, png, plotWidth, new StretchJob.Progress() {
                        @Override
                        public void update(double done, double seconds, double total) {
                            progress.accept(done);
                        }
                    }));
            if (in.warning() != null && in.frameLength() < 0) {
                // Found only at the end of a pipe.
                notes.accept("tambrino: warning: " + in.warning());
            }
            if (png != null) {
                lines.add("spectrum picture: " + png);
            }
            if (passage.trainer != null) {
                lines.add(trainerSummary(passage.trainer));
            }
        } catch (IOException e) {
            // Only the input's close can fail here, after the work is done.
            notes.accept("tambrino: note: closing " + inArg + " failed: " + OutputFiles.reason(e));
        }
        return lines;
    }

    /** "trainer: 5 passes, tempo 0.6 to 1 in steps of 0.1" */
    static String trainerSummary(Passage.Trainer t) {
        return "trainer: " + t.passes() + (t.passes() == 1 ? " pass" : " passes") + ", tempo " + Settings.fmt(t.from) + " to " + Settings.fmt(t.to)
                + " in steps of " + Settings.fmt(t.step);
    }

    static void checkPictureOptions(Path png, int plotWidth, boolean spectrum) {
        if (plotWidth < SpectrumPicture.MIN_PLOT_WIDTH || plotWidth > SpectrumPicture.MAX_PLOT_WIDTH) {
            throw CliException.usage("--png-width " + plotWidth + " is out of range: it must lie between "
                    + SpectrumPicture.MIN_PLOT_WIDTH + " and " + SpectrumPicture.MAX_PLOT_WIDTH + " pixels");
        }
        if (png != null && !spectrum) {
            throw CliException.usage("--spectrum-png needs the spectrum analyser: drop --no-spectrum");
        }
    }
}
