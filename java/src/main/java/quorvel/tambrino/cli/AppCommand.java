// tambrino app: the practice window.
package quorvel.tambrino.cli;

import java.awt.AWTError;
import java.awt.GraphicsEnvironment;
import java.awt.HeadlessException;
import java.nio.file.Path;
import java.util.concurrent.Callable;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import quorvel.tambrino.app.PracticeApp;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.OutputFiles;

@Command(name = "app", mixinStandardHelpOptions = true, versionProvider = Tambrino.Version.class, sortOptions = false,
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
                throw CliException.usage("--output-file needs a file name");
            }
            OutputFiles.checkFormat(outputFile, "--output-file", OutputFiles.AUDIO_NAMES);
            if (input != null) {
                OutputFiles.checkOutput(outputFile, "--output-file", OutputFiles.AUDIO_NAMES, input);
            }
        }
        checkDisplay();
        PracticeApp.run(input, outputFile);
        return 0;
    }

    /** A display to open the window on, or a device failure (exit 3): nothing the command line can change. */
    private static void checkDisplay() {
        // The launcher starts the terminal commands without a display; the window needs one.
        System.setProperty("java.awt.headless", "false");
        String why;
        String display = System.getenv("DISPLAY");
        try {
            if (display != null && !display.isEmpty() && !GraphicsEnvironment.isHeadless() && GraphicsEnvironment.getLocalGraphicsEnvironment()
                    .getScreenDevices().length > 0) {
                return;
            }
            why = "no display to open the window on (DISPLAY is not set)";
        } catch (AWTError | HeadlessException e) {
            why = "cannot open the window: " + String.valueOf(e.getMessage()).replaceAll("\\.$", "");
        }
        throw new CliException(CliException.EXIT_DEVICE, why
                + "; without a display, 'tambrino play' and 'tambrino stretch' work in a terminal");
    }
}
