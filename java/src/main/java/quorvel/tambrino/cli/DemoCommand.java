// tambrino demo: a synthesised piece, slowed without its voice, and its spectrum.
package quorvel.tambrino.cli;

import java.io.BufferedOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Locale;
import java.util.concurrent.Callable;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import quorvel.tambrino.Quality;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.OutputFiles;
import quorvel.tambrino.audio.PcmSource;
import quorvel.tambrino.audio.WavWriter;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.SpectrumPicture;
import quorvel.tambrino.practice.StretchJob;
import quorvel.tambrino.practice.Terminal;

@Command(name = "demo", mixinStandardHelpOptions = true, versionProvider = Tambrino.Version.class,
        description = {"Synthesises a short piece and slows it to 75 %% speed without its voice.",
            "Writes the original, the result and the result's spectrum picture, and prints their paths."})
final class DemoCommand implements Callable<Integer> {
    static final String ORIGINAL = "demo-original.wav";
    static final String RESULT = "demo-slow-no-voice.wav";
    static final String PICTURE = "demo-spectrum.png";
    static final double TEMPO = 0.75;

    @Option(names = "--out-dir", defaultValue = "out", paramLabel = "DIR",
            description = "Folder for the three files (made if missing). Default: ${DEFAULT-VALUE}.")
    Path outDir;

    @Option(names = "--quality", defaultValue = "fine", paramLabel = "MODE",
            converter = EngineOptions.QualityConverter.class,
            description = "fine or exact (see 'tambrino stretch --help'). Default: ${DEFAULT-VALUE}.")
    Quality quality;

    @Override
    public Integer call() {
        OutputFiles.checkFolder(outDir, "--out-dir");
        OutputFiles.makeFolders(outDir);
        try {
            return write();
        } finally {
            // A folder made for the three files, of which none could be written, goes again.
            OutputFiles.removeMadeFolders();
        }
    }

    private int write() {
        Path original = outDir.resolve(ORIGINAL);
        Path result = outDir.resolve(RESULT);
        Path picture = outDir.resolve(PICTURE);
        OutputFiles.checkWritable(original, "the demo");

        short[] pcm = DemoSong.render(DemoSong.SAMPLE_RATE);
        try (OutputFiles files = new OutputFiles()) {
            Path tmp = files.temporaryFor(original);
            try (OutputStream os = new BufferedOutputStream(Files.newOutputStream(tmp), 1 << 16)) {
                WavWriter.write(PcmSource.of(pcm, 2, DemoSong.SAMPLE_RATE), os);
            }
            files.commit();
        } catch (IOException e) {
            throw CliException.file("cannot write " + original + ": " + OutputFiles.reason(e), e);
        }
        System.out.printf(Locale.ROOT, "synthesised %s (%.1f s of stereo music at %d Hz)%n", original,
                (double) pcm.length / 2 / DemoSong.SAMPLE_RATE, DemoSong.SAMPLE_RATE);

        Settings.Builder b = new Settings.Builder();
        b.channels = 2;
        b.sampleRate = DemoSong.SAMPLE_RATE;
        b.tempo = TEMPO;
        b.voiceAmount = 1.0;
        b.quality = quality;
        Settings settings = b.build();
        String summary = StretchJob.run(settings, PcmSource.of(pcm, 2, DemoSong.SAMPLE_RATE),
                original.toString(), result, picture, SpectrumPicture.DEFAULT_PLOT_WIDTH, Terminal.stderr());
        System.out.println(summary);
        System.out.println("slowed to 75 % with the centre voice removed: " + result);
        System.out.println("spectrum picture: " + picture);
        return 0;
    }
}
