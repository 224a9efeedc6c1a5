package quorvel.tambrino.cli;

import java.io.BufferedOutputStream;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Locale;

/** One stretch of a stream into a WAV file and, optionally, its spectrum picture. */
final class StretchJob {
    private StretchJob() {}

    /**
     * Stretches {@code in} into {@code out} (and the picture into {@code png}
     * when not null); both files appear only when everything succeeded.
     * Returns the one-line summary.
     */
    static String run(Settings settings, PcmSource in, String inName, Path out, Path png,
            int plotWidth, Terminal terminal) {
        SpectrumPicture picture = png == null ? null : new SpectrumPicture();
        long start = System.nanoTime();
        Stretcher[] holder = new Stretcher[1];
        Stretcher.BlockListener listener = (s, e, level, spectrum) -> {
            if (picture != null) {
                picture.block(s, e, level, spectrum);
            }
            Stretcher st = holder[0];
            double done = st.progress();
            double seconds = (double) st.consumed() / settings.sampleRate;
            terminal.status(done < 0
                    ? String.format(Locale.ROOT, "stretching %s  %s", inName, Terminal.clock(seconds))
                    : String.format(Locale.ROOT, "stretching %s %s %3d%%  %s / %s", inName,
                            Terminal.bar(done, 24), (int) Math.floor(done * 100), Terminal.clock(seconds),
                            Terminal.clock((double) in.frameLength() / settings.sampleRate)), false);
        };
        boolean toStdout = InputFile.isStdio(out.toString());
        try (Stretcher stretcher = new Stretcher(settings, in, listener); OutputFiles files = new OutputFiles()) {
            holder[0] = stretcher;
            FullScaleCounter counted = new FullScaleCounter(stretcher);
            long written;
            if (toStdout) {
                System.out.flush();
                try {
                    // Not through System.out, which hides write errors such as a closed pipe.
                    OutputStream os = new BufferedOutputStream(new FileOutputStream(FileDescriptor.out), 1 << 16);
                    written = WavWriter.write(counted, os);
                } catch (IOException e) {
                    throw CliException.file("cannot write to standard output: " + OutputFiles.reason(e), e);
                }
            } else {
                Path wavTmp = files.temporaryFor(out);
                try (OutputStream os = new BufferedOutputStream(Files.newOutputStream(wavTmp), 1 << 16)) {
                    written = WavWriter.write(counted, os);
                } catch (IOException e) {
                    throw CliException.file("cannot write " + out + ": " + OutputFiles.reason(e), e);
                }
                try {
                    WavWriter.fixSizes(wavTmp, settings.channels, written);
                } catch (IOException e) {
                    throw CliException.file("cannot write " + out + ": " + OutputFiles.reason(e), e);
                }
            }
            if (stretcher.consumed() == 0) {
                throw CliException.file(inName + " holds no audio" + (in instanceof Transport ? "" : " in the passage"));
            }
            double elapsed = (System.nanoTime() - start) / 1e9;
            if (picture != null) {
                Path pngTmp = files.temporaryFor(png);
                try {
                    SpectrumPicture.writePng(picture.render(plotWidth, written, settings.sampleRate), pngTmp);
                } catch (IOException e) {
                    throw CliException.file("cannot write " + png + ": " + OutputFiles.reason(e), e);
                }
            }
            try {
                files.commit();
            } catch (IOException e) {
                throw CliException.file("cannot move the result into place: " + OutputFiles.reason(e), e);
            }
            terminal.clear();
            return summary(inName, (double) stretcher.consumed() / settings.sampleRate,
                    toStdout ? "standard output" : out.toString(), (double) written / settings.sampleRate, settings,
                    stretcher.peak(), counted.count, elapsed);
        } finally {
            terminal.clear();
        }
    }

    static String summary(String inName, double inSeconds, String outName, double outSeconds, Settings s, float peak,
            long fullScale, double elapsed) {
        String tempo = Settings.fmt(s.tempo);
        double played = s.realisedTempo();
        String playedNote = Math.abs(played - s.tempo) < 5e-5 ? ""
                : String.format(Locale.ROOT, " (played %.4f)", played);
        return String.format(Locale.ROOT,
                "%s %.2f s -> %s %.2f s, tempo %s%s (%s), peak %s%s, took %.2f s (%.1fx real time)",
                inName, inSeconds, outName, outSeconds, tempo, playedNote, s.modeSummary(), Terminal.dbfs(peak),
                loudness(s.preampDb, peak, fullScale), elapsed, elapsed > 0 ? inSeconds / elapsed : 0.0);
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
