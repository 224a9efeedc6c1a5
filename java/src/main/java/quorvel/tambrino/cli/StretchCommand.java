package quorvel.tambrino.cli;

import java.nio.file.Path;
import java.util.concurrent.Callable;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import quorvel.tambrino.NativeInterface;

@Command(name = "stretch", mixinStandardHelpOptions = true, sortOptions = false,
        description = {"Writes IN.wav at another tempo, same pitch, to OUT.wav (16-bit PCM, same rate and channels).",
            "Reads 8-, 16- and 24-bit PCM and 32/64-bit float WAV, mono or stereo, at any rate from 2 to 384 kHz."})
final class StretchCommand implements Callable<Integer> {
    @Parameters(index = "0", paramLabel = "IN.wav", description = "The music to stretch.")
    Path input;

    @Parameters(index = "1", paramLabel = "OUT.wav", description = "Where to write the result (replaced if it exists).")
    Path output;

    @Mixin
    EngineOptions engineOptions;

    @Option(names = "--spectrum-png", paramLabel = "FILE",
            description = "Also write a picture of the 72-note spectrum over time and the peak meter.")
    Path png;

    @Option(names = "--png-width", defaultValue = "960", paramLabel = "PIXELS",
            description = "Width of the picture's time axis, 64 to 16384. Default: ${DEFAULT-VALUE}.")
    int plotWidth;

    @Override
    public Integer call() {
        checkPictureOptions(png, plotWidth, engineOptions.spectrum);
        // Option errors first, before any file is looked at.
        engineOptions.resolve(2, 44100);
        try (WavReader in = WavReader.open(input)) {
            OutputFiles.checkWritable(output, "OUT.wav", input);
            if (png != null) {
                OutputFiles.checkWritable(png, "--spectrum-png", input, output);
            }
            if (in.frameLength() == 0) {
                throw CliException.file(input + " holds no audio");
            }
            Settings settings = engineOptions.resolve(in.channels(), in.sampleRate());
            if (in.channels() == 1 && settings.usesStereoFeatures()) {
                System.err.println("tambrino: note: panning, --mono and voice removal act on stereo only;"
                        + " " + input + " is mono");
            }
            Settings.hints(settings, System.err);
            NativeInterface engine = Tambrino.openEngine();
            String summary = StretchJob.run(engine, settings, in, input.toString(), output, png, plotWidth,
                    Terminal.stderr());
            if (in.cutShort()) {
                System.err.printf("tambrino: warning: %s ends after %.2f s, before the length its header states;"
                        + " the rest is silence%n", input, (double) in.framesRead() / in.sampleRate());
            }
            System.out.println(summary);
            if (png != null) {
                System.out.println("spectrum picture: " + png);
            }
        }
        return 0;
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
