// One stretch of a stream into a WAV file and its spectrum picture, as the command line and the window make it.
package quorvel.tambrino.practice;

import java.io.BufferedOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Path;
import java.util.Locale;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.InputFile;
import quorvel.tambrino.audio.OutputFiles;
import quorvel.tambrino.audio.PcmSource;
import quorvel.tambrino.audio.WavWriter;

/** One stretch of a stream into a WAV file and, optionally, its spectrum picture. */
public final class StretchJob {
    private StretchJob() {}

    /**
     * Stretches {@code in} into {@code out} (and the picture into {@code png}
     * when not null); both files appear only when everything succeeded.
     * Returns the one-line summary.
     */
    public static String run(Settings settings, PcmSource in, String inName, Path out, Path png,
            int plotWidth, Terminal terminal) {
        return run(settings, in, inName, out, png, plotWidth, new Progress() {
            @Override
            public void update(double done, double seconds, double total) {
                terminal.status(done < 0
                        ? String.format(Locale.ROOT, "stretching %s  %s", inName, Terminal.clock(seconds))
                        : String.format(Locale.ROOT, "stretching %s %s %3d%%  %s / %s", inName,
                                Terminal.bar(done, 24), (int) Math.floor(done * 100), Terminal.clock(seconds),
                                Terminal.clock(total)), false);
            }

            @Override
            public void clear() {
                terminal.clear();
            }
        });
    }

    /**
     * Told how far a stretch has come after every block, on the stretching
     * thread; it may throw (a {@link java.util.concurrent.CancellationException}
     * to cancel), which leaves no file behind.
     */
    public interface Progress {
        /**
         * @param done the fraction done, -1 when the input's length is not known
         * @param seconds input read so far, over all passes
         * @param total the input to read, over all passes
         */
        void update(double done, double seconds, double total);

        /** The stretch has ended, however it ended. */
        default void clear() {}
    }

    /** As {@link #run(Settings, PcmSource, String, Path, Path, int, Terminal)}, telling {@code progress}. */
    public static String run(Settings settings, PcmSource in, String inName, Path out, Path png,
            int plotWidth, Progress progress) {
        SpectrumPicture picture = png == null ? null : new SpectrumPicture();
        long start = System.nanoTime();
        Stretcher[] holder = new Stretcher[1];
        Passage.Trainer trainer = in instanceof Transport ? ((Transport) in).trainer() : null;
        int passes = trainer == null ? 1 : trainer.passes();
        Stretcher.BlockListener listener = (s, e, level, spectrum) -> {
            if (picture != null) {
                picture.block(s, e, level, spectrum);
            }
            Stretcher st = holder[0];
            double done = st.progress();
            double seconds = (double) st.consumed() / settings.sampleRate;
            // A trainer's passes: all of them, the passage once per pass.
            double total = (double) in.frameLength() * passes / settings.sampleRate;
            progress.update(done, seconds, total);
        };
        boolean toStdout = InputFile.isStdio(out.toString());
        try (Stretcher stretcher = new Stretcher(settings, in, listener); OutputFiles files = new OutputFiles()) {
            holder[0] = stretcher;
            FullScaleCounter counted = new FullScaleCounter(stretcher);
            long written;
            OutputFiles.Output wav = files.open(OutputFiles.target(out, "OUT.wav"));
            try (OutputStream os = new BufferedOutputStream(wav, 1 << 16)) {
                written = WavWriter.write(counted, os);
            } catch (IOException e) {
                // The output names its own failures: this one is the input's.
                throw CliException.file("error while reading " + inName + ": " + OutputFiles.reason(e), e);
            }
            wav.finishWav(settings.channels, written);
            if (stretcher.consumed() == 0) {
                throw CliException.file(inName + " holds no audio" + (in instanceof Transport ? "" : " in the passage"));
            }
            double elapsed = (System.nanoTime() - start) / 1e9;
            if (picture != null) {
                try {
                    byte[] image;
                    try {
                        image = SpectrumPicture.encodePng(picture.render(plotWidth, written, settings.sampleRate));
                    } catch (IOException e) {
                        throw CliException.file("cannot write " + png + ": " + OutputFiles.reason(e), e);
                    }
                    try (OutputFiles.Output os = files.open(OutputFiles.target(png, "--spectrum-png"))) {
                        os.write(image, 0, image.length);
                    }
                } catch (CliException e) {
                    // The audio is finished, but a run writes its files together or not at all.
                    throw !wav.isFile() ? e : new CliException(e.exitCode, (e.getMessage() != null ? e.getMessage()
                            : "the reader of " + png + " went away") + "; " + wav.name()
                            + " was not written either (the audio and its picture are written together)", e);
                }
            }
            try {
                files.commit();
            } catch (IOException e) {
                throw CliException.file("cannot move the result into place: " + OutputFiles.reason(e), e);
            }
            progress.clear();
            // The input is the passage, however many passes played it.
            double consumed = (double) stretcher.consumed() / settings.sampleRate;
            String tempos = null;
            if (trainer != null) {
                stretcher.heard(Long.MAX_VALUE);
                tempos = Stretcher.temposText(stretcher.temposHeard(), settings.realisedTempo());
            }
            return summary(inName, consumed / passes, consumed,
                    toStdout ? "standard output" : out.toString(), (double) written / settings.sampleRate, settings,
                    tempos, stretcher.peak(), counted.count, elapsed);
        } finally {
            progress.clear();
        }
    }

    /**
     * @param processedSeconds input stretched, for the speed: the input's length times the trainer's passes
     * @param tempos the trainer's tempos as played ("tempos 0.5 to 1"), null for the one tempo of the settings
     * @param fullScale samples written at full scale
     */
    static String summary(String inName, double inSeconds, double processedSeconds, String outName, double outSeconds,
            Settings s, String tempos, float peak, long fullScale, double elapsed) {
        double played = s.realisedTempo();
        String tempo = tempos != null ? tempos : "tempo " + Settings.fmt(s.tempo)
                + (Math.abs(played - s.tempo) < 5e-5 ? "" : String.format(Locale.ROOT, " (played %.4f)", played));
        tempo += s.pitchSummary();
        return String.format(Locale.ROOT,
                "%s %.2f s -> %s %.2f s, %s (%s), peak %s%s, took %.2f s (%.1fx real time)",
                inName, inSeconds, outName, outSeconds, tempo, s.modeSummary(), Terminal.dbfs(peak),
                loudness(s.preampDb, peak, fullScale), elapsed,
                elapsed > 0 ? processedSeconds / elapsed : 0.0);
    }

    /**
     * What the summary says after the peak when the output was too loud:
     * how many samples reached full scale, or that the limiter held the peaks
     * back, and the preamp whose peak stays at or below full scale (the peak
     * is measured before the limiter), rounded down to a tenth of a dB.
     */
    static String loudness(double preampDb, float peak, long fullScale) {
        if (fullScale == 0 && !(peak > 1.0f)) {
            return "";
        }
        String what = fullScale > 0
                ? String.format(Locale.ROOT, ", %,d sample%s at full scale", fullScale, fullScale == 1 ? "" : "s")
                : ", held below full scale by the limiter";
        if (!(peak > 1.0f)) {
            return what;
        }
        // A peak above full scale: the preamp less the overshoot avoids it.
        double suggested = Math.max(Settings.MIN_PREAMP_DB,
                Math.floor((preampDb - 20 * Math.log10(peak)) * 10) / 10);
        return what + " (--preamp " + Settings.fmt(suggested) + " avoids it)";
    }

    /** Counts the samples that pass through at full scale (|value| >= 32767). */
    private static final class FullScaleCounter implements PcmSource {
        private final PcmSource source;
        long count;

        FullScaleCounter(PcmSource source) {
            this.source = source;
        }

        @Override
        public int channels() {
            return source.channels();
        }

        @Override
        public int sampleRate() {
            return source.sampleRate();
        }

        @Override
        public long frameLength() {
            return source.frameLength();
        }

        @Override
        public int read(short[] buffer, int offset, int frames) throws IOException {
            int n = source.read(buffer, offset, frames);
            int channels = source.channels();
            for (int i = offset * channels, end = (offset + n) * channels; i < end; i++) {
                if (buffer[i] >= Short.MAX_VALUE || buffer[i] <= -Short.MAX_VALUE) {
                    count++;
                }
            }
            return n;
        }
    }
}
