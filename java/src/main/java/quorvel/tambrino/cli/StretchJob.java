package quorvel.tambrino.cli;

import java.io.IOException;
import java.nio.file.Path;
import java.util.Locale;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioSystem;
import quorvel.tambrino.NativeInterface;

/** One stretch of a stream into a WAV file and, optionally, its spectrum picture. */
final class StretchJob {
    private StretchJob() {}

    /**
     * Stretches {@code in} into {@code out} (and the picture into {@code png}
     * when not null); both files appear only when everything succeeded.
     * Returns the one-line summary.
     */
    static String run(NativeInterface engine, Settings settings, PcmSource in, String inName, Path out, Path png,
            int plotWidth, Terminal terminal) {
        SpectrumPicture picture = png == null ? null : new SpectrumPicture();
        long inputFrames = in.frameLength();
        double inputSeconds = (double) inputFrames / settings.sampleRate;
        long start = System.nanoTime();
        Stretcher[] holder = new Stretcher[1];
        Stretcher.BlockListener listener = (s, e, level, spectrum) -> {
            if (picture != null) {
                picture.block(s, e, level, spectrum);
            }
            Stretcher st = holder[0];
            double done = st.progress();
            terminal.status(String.format(Locale.ROOT, "stretching %s %s %3d%%  %s / %s", inName,
                    Terminal.bar(done, 24), (int) Math.floor(done * 100),
                    Terminal.clock(done * inputSeconds), Terminal.clock(inputSeconds)), false);
        };
        Stretcher stretcher = new Stretcher(engine, settings, in, listener);
        holder[0] = stretcher;
        try (OutputFiles files = new OutputFiles()) {
            Path wavTmp = files.temporaryFor(out);
            try {
                AudioSystem.write(PcmInputStream.audio(stretcher), AudioFileFormat.Type.WAVE, wavTmp.toFile());
            } catch (IOException e) {
                throw CliException.file("cannot write " + out + ": " + e.getMessage(), e);
            }
            double elapsed = (System.nanoTime() - start) / 1e9;
            if (picture != null) {
                try {
                    Path pngTmp = files.temporaryFor(png);
                    SpectrumPicture.writePng(picture.render(plotWidth, stretcher.frameLength(), settings.sampleRate),
                            pngTmp);
                } catch (IOException e) {
                    throw CliException.file("cannot write " + png + ": " + e.getMessage(), e);
                }
            }
            try {
                files.commit();
            } catch (IOException e) {
                throw CliException.file("cannot move the result into place: " + e.getMessage(), e);
            }
            terminal.clear();
            return summary(inName, inputSeconds, out.toString(),
                    (double) stretcher.frameLength() / settings.sampleRate, settings, stretcher.peak(), elapsed);
        } catch (IOException e) {
            throw CliException.file("cannot create a file beside " + out + ": " + e.getMessage(), e);
        } finally {
            terminal.clear();
        }
    }

    static String summary(String inName, double inSeconds, String outName, double outSeconds, Settings s, float peak,
            double elapsed) {
        String tempo = Settings.fmt(s.tempo);
        double played = s.realisedTempo();
        String playedNote = Math.abs(played - s.tempo) < 5e-5 ? ""
                : String.format(Locale.ROOT, " (played %.4f)", played);
        return String.format(Locale.ROOT, "%s %.2f s -> %s %.2f s, tempo %s%s, peak %s, took %.2f s (%.1fx real time)",
                inName, inSeconds, outName, outSeconds, tempo, playedNote, Terminal.dbfs(peak), elapsed,
                elapsed > 0 ? inSeconds / elapsed : 0.0);
    }
}
