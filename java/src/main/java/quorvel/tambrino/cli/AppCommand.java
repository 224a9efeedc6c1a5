package quorvel.tambrino.cli;

import java.nio.file.Path;
import java.util.concurrent.Callable;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import quorvel.tambrino.app.PracticeApp;
import quorvel.tambrino.audio.OutputFiles;

@Command(name = "app", mixinStandardHelpOptions = true, sortOptions = false,
        description = {"Opens the practice window: the song's waveform, loop and markers, its notes on a keyboard,"
                + " the tempo, the speed trainer, voice removal, the equaliser, and export to WAV.",
            "Keys as in 'play': space, left/right, up/down, [ ] \\, v, m, f; Ctrl+Q quits."})
final class AppCommand implements Callable<Integer> {
    @Parameters(index = "0", arity = "0..1", paramLabel = "FILE", description = "The song to open (or open one"
            + " from the window's File menu, or drop it on the window).")
    Path input;

    @Option(names = "--output-file", paramLabel = "FILE.wav",
            description = "Write what would be heard to this WAV file, in real time, instead of playing it (for"
                    + " machines without a sound card).")
    Path outputFile;

    @Override
    public Integer call() throws Exception {
        if (outputFile != null) {
            if (OutputFiles.isStandardOutput(outputFile)) {
                throw quorvel.tambrino.audio.CliException.usage("--output-file needs a file name");
            }
            OutputFiles.checkFormat(outputFile, "--output-file", OutputFiles.AUDIO_NAMES);
            if (input != null) {
                OutputFiles.checkOutput(outputFile, "--output-file", OutputFiles.AUDIO_NAMES, input);
            }
        }
        PracticeApp.run(input, outputFile);
        return 0;
    }
}
