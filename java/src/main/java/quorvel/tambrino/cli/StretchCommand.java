package quorvel.tambrino.cli;

import java.io.IOException;
import java.nio.file.Path;
import java.util.concurrent.Callable;
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

@Command(name = "stretch", mixinStandardHelpOptions = true, sortOptions = false,
        description = {"Writes IN at another tempo, same pitch, to OUT.wav (16-bit PCM, same rate and channels).",
            "Reads WAV (8- to 32-bit PCM, 32/64-bit float), AIFF, AU, MP3 and Ogg Vorbis, and with ffmpeg installed"
                    + " FLAC, Opus, M4A and more, at any rate from 2 to 384 kHz; surround is mixed to stereo."
                    + " '-' reads standard input or writes standard output."})
final class StretchCommand implements Callable<Integer> {
    @Parameters(index = "0", paramLabel = "IN", description = "The music to stretch ('-' = standard input).")
    Path input;

    @Parameters(index = "1", paramLabel = "OUT.wav", description = "Where to write the result: a .wav or .wave"
            + " file (replaced when complete; a link's target is), a device or FIFO (written into), or '-' for"
            + " standard output.")
    Path output;

    @Mixin
    EngineOptions engineOptions;

    @Option(names = "--spectrum", negatable = true, defaultValue = "true", fallbackValue = "true",
            description = "Run the engine's 72-note spectrum analyser (default: on; needed by --spectrum-png).")
    void spectrum(boolean on) {
        engineOptions.spectrum = on;
    }

    @Option(names = "--spectrum-png", paramLabel = "FILE",
            description = "Also write a picture (PNG) of the 72-note spectrum over time and the peak meter.")
    Path png;

    @Option(names = "--png-width", defaultValue = "960", paramLabel = "PIXELS",
            description = "Width of the picture's time axis, 64 to 16384. Default: ${DEFAULT-VALUE}.")
    int plotWidth;

    @Override
    public Integer call() {
        checkPictureOptions(png, plotWidth, engineOptions.spectrum);
        // Option errors first, before any file is looked at.
        engineOptions.resolve(2, 44100);
        String inArg = input.toString();
        boolean toStdout = OutputFiles.isStandardOutput(output);
        if (toStdout && Terminal.stdoutIsTerminal()) {
            throw CliException.usage("standard output is a terminal: send the audio to a file or a pipe"
                    + " (... - | aplay), or name OUT.wav");
        }
        if (png != null && InputFile.isStdio(png.toString())) {
            throw CliException.usage("--spectrum-png needs a file name; '-' is for the audio only");
        }
        if (png != null) {
            OutputFiles.checkDistinct(output, "OUT.wav", png, "--spectrum-png");
            OutputFiles.checkFormat(png, "--spectrum-png", OutputFiles.PICTURE_NAMES);
        }
        OutputFiles.checkFormat(output, "OUT.wav", OutputFiles.AUDIO_NAMES);
        try (InputFile.Reader in = InputFile.openAudio(inArg)) {
            OutputFiles.checkOutput(output, "OUT.wav", OutputFiles.AUDIO_NAMES, input);
            if (png != null) {
                OutputFiles.checkOutput(png, "--spectrum-png", OutputFiles.PICTURE_NAMES, input);
            }
            String inName = InputFile.displayName(inArg);
            Settings settings = engineOptions.resolve(in.channels(), in.sampleRate());
            if (in.channels() == 1 && settings.usesStereoFeatures()) {
                System.err.println("tambrino: note: panning, --mono and voice removal act on stereo only;"
                        + " " + inName + " is mono");
            }
            Settings.hints(settings, System.err);
            if (in.warning() != null) {
                System.err.println("tambrino: warning: " + in.warning());
            }
            Passage passage = engineOptions.passage(inName, in.frameLength(), in.sampleRate());
            PcmSource source = passage.whole(in.frameLength()) ? in : passage.once(in);
            if (passage.trainer != null) {
                short[] pcm = Transport.readAll(source);
                Passage all = Passage.of(inName, null, null, passage.trainer, pcm.length / in.channels(),
                        in.sampleRate());
                source = new Transport(pcm, in.channels(), in.sampleRate(), all, false);
            }
            String summary = StretchJob.run(settings, source, inName, output, png, plotWidth, Terminal.stderr());
            if (in.warning() != null && in.frameLength() < 0) {
                // Found only at the end of a pipe.
                System.err.println("tambrino: warning: " + in.warning());
            }
            // Standard output carries the audio when it is the output.
            (toStdout ? System.err : System.out).println(summary);
            if (png != null) {
                (toStdout ? System.err : System.out).println("spectrum picture: " + png);
            }
            if (passage.trainer != null) {
                (toStdout ? System.err : System.out).println(trainerSummary(passage.trainer));
            }
        } catch (IOException e) {
            // Only the input's close can fail here, after the work is done.
            System.err.println("tambrino: note: closing " + inArg + " failed: " + OutputFiles.reason(e));
        }
        return 0;
    }

    /** "trainer: 5 passes, tempo 0.6 to 1 in steps of 0.1" */
    static String trainerSummary(Passage.Trainer t) {
        return "trainer: " + t.passes() + " passes, tempo " + Settings.fmt(t.from) + " to " + Settings.fmt(t.to)
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
