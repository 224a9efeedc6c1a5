package quorvel.tambrino.cli;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.Callable;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioSystem;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import quorvel.tambrino.NativeInterface;

@Command(name = "demo", mixinStandardHelpOptions = true,
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

    @Override
    public Integer call() {
        try {
            Files.createDirectories(outDir);
        } catch (IOException e) {
            throw CliException.file("cannot make the folder " + outDir + ": " + e.getMessage(), e);
        }
        Path original = outDir.resolve(ORIGINAL);
        Path result = outDir.resolve(RESULT);
        Path picture = outDir.resolve(PICTURE);
        OutputFiles.checkWritable(original, "the demo");

        short[] pcm = DemoSong.render(DemoSong.SAMPLE_RATE);
        try (OutputFiles files = new OutputFiles()) {
            Path tmp = files.temporaryFor(original);
            AudioSystem.write(PcmInputStream.audio(PcmSource.of(pcm, 2, DemoSong.SAMPLE_RATE)),
                    AudioFileFormat.Type.WAVE, tmp.toFile());
            files.commit();
        } catch (IOException e) {
            throw CliException.file("cannot write " + original + ": " + e.getMessage(), e);
        }
        System.out.printf("synthesised %s (%.1f s of stereo music at %d Hz)%n", original,
                (double) pcm.length / 2 / DemoSong.SAMPLE_RATE, DemoSong.SAMPLE_RATE);

        Settings.Builder b = new Settings.Builder();
        b.channels = 2;
        b.sampleRate = DemoSong.SAMPLE_RATE;
        b.tempo = TEMPO;
        b.voiceAmount = 1.0;
        Settings settings = b.build();
        NativeInterface engine = Tambrino.openEngine();
        String summary = StretchJob.run(engine, settings, PcmSource.of(pcm, 2, DemoSong.SAMPLE_RATE),
                original.toString(), result, picture, SpectrumPicture.DEFAULT_PLOT_WIDTH, Terminal.stderr());
        System.out.println(summary);
        System.out.println("slowed to 75 % with the centre voice removed: " + result);
        System.out.println("spectrum picture: " + picture);
        return 0;
    }
}
