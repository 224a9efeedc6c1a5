// The engine's settings as command-line options, shared by stretch and play.
package quorvel.tambrino.cli;

import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import picocli.CommandLine.ITypeConverter;
import picocli.CommandLine.ParseResult;
import picocli.CommandLine.Model.OptionSpec;
import picocli.CommandLine.Option;
import picocli.CommandLine.TypeConversionException;
import quorvel.tambrino.Quality;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.practice.EqCurve;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Settings;

/** The engine's settings as command-line options, shared by stretch and play. */
final class EngineOptions {
    /** Each option given, by name, as it was typed; filled from the command's parse before it runs. */
    private final Map<String, String> typed = new HashMap<>();

    @Option(names = "--tempo", paramLabel = "FACTOR",
            description = "Speed without changing the pitch: 0.75 = 75 %% of the original tempo (slower),"
                    + " 1.5 = faster. Fine mode: from 0.1 to the oversampling (8 unless given) and at most 10;"
                    + " exact mode: from 1/oversampling (and at least 0.1) to 10. Default: 1.")
    Double tempo;

    @Option(names = "--transpose", paramLabel = "SEMITONES",
            description = "Change the key without changing the tempo: -2 = a whole tone down, +1.5 = a semitone"
                    + " and a half up (fine mode). With --cents and --tuning the total lies within -24..+24.")
    Double transpose;

    @Option(names = "--cents", paramLabel = "CENTS",
            description = "Fine-tune the pitch in cents (100 to a semitone), e.g. -15 (fine mode).")
    Double cents;

    @Option(names = "--tuning", paramLabel = "HZ",
            description = "The recording's A4 in Hz, brought to 440: --tuning 452 lowers a record tuned to"
                    + " A = 452 Hz by 47 cents (fine mode). From 220 to 880.")
    Double tuning;

    @Option(names = "--varispeed", paramLabel = "FACTOR",
            description = "Tape-style speed: tempo and pitch change together, as on a turntable: 0.9 plays 10 %%"
                    + " slower and 1.8 semitones lower (fine mode). Replaces --tempo; --transpose, --cents and"
                    + " --tuning add to its pitch.")
    Double varispeed;

    @Option(names = "--keep-formants",
            description = "With a transposition, keep the timbre (the formants of a voice, an instrument's body)"
                    + " where it was, so that a voice moved up does not sound smaller.")
    boolean keepFormants;

    @Option(names = "--start", paramLabel = "TIME", converter = TimeConverter.class,
            description = "Start at this time of the input: seconds (12.5) or m:ss (1:02.5). Default: its start.")
    Double start;

    @Option(names = "--end", paramLabel = "TIME", converter = TimeConverter.class,
            description = "End at this time of the input: seconds or m:ss. Default: its end.")
    Double end;

    @Option(names = "--trainer", paramLabel = "FROM:TO:STEP", converter = TrainerConverter.class,
            description = "Speed trainer: play the passage (--start to --end) at tempo FROM, then again STEP"
                    + " faster at each pass until TO, e.g. 0.6:1:0.1. Replaces --tempo.")
    Passage.Trainer trainer;

    @Option(names = "--quality", defaultValue = "fine", paramLabel = "MODE",
            converter = QualityConverter.class,
            description = "fine (linked stereo, steady level, sharp attacks, the exact tempo on average) or exact"
                    + " (every sample as the engine has always made it). Default: ${DEFAULT-VALUE}.")
    Quality quality;

    @Option(names = "--frame-size", paramLabel = "N",
            description = "FFT frame size: a power of two from 8 to 4096. Default: 2048 in exact mode; in fine"
                    + " mode about 90 ms (4096 at 44.1 kHz).")
    Integer frameSize;

    @Option(names = "--oversampling", paramLabel = "N",
            description = "Frames overlapping each sample (hop = frame size / N), 1 to 32. Default: 4 in exact"
                    + " mode, 8 in fine mode.")
    Integer overSampling;

    @Option(names = "--block", paramLabel = "FRAMES",
            description = "Input frames per engine block, a multiple of the analysis hop (up to 65536)."
                    + " The output does not depend on it in exact mode, nor in fine mode at tempos whose"
                    + " analysis hop is a whole number of samples (0.5, 0.75, 1.25, ...); at other tempos fine"
                    + " mode's output differs slightly with it. Default: about 4096.")
    Integer block;

    @Option(names = "--preamp", defaultValue = "0", paramLabel = "DB",
            description = "Gain after the stretch, -60 to +24 dB; a soft limiter catches peaks above"
                    + " 0.95 of full scale. Default: ${DEFAULT-VALUE}.")
    double preampDb;

    @Option(names = "--pan", paramLabel = "LEVEL",
            description = "Stereo panning level 0 to 100: 50 leaves both channels, 0 puts the right input in"
                    + " both, 100 the left.")
    Integer pan;

    @Option(names = "--mono", description = "Fold stereo to mono (both channels carry the average).")
    boolean mono;

    @Option(names = "--remove-voice",
            description = "Remove what is panned to the centre (usually the voice), keeping the bass below the"
                    + " cut-off.")
    boolean removeVoice;

    @Option(names = "--voice-amount", paramLabel = "AMOUNT",
            description = "How much of the centre to remove, 0 to 1 (implies --remove-voice). Default: 1.")
    Double voiceAmount;

    @Option(names = "--voice-cutoff", defaultValue = "150", paramLabel = "HZ",
            description = "Below this frequency the centre is kept (bass, kick), 50 to 400 Hz."
                    + " Default: ${DEFAULT-VALUE}.")
    double voiceCutoff;

    @Option(names = "--eq", split = ",", paramLabel = "HZ:DB",
            description = "Equaliser curve as frequency:gain points in rising frequency, e.g."
                    + " --eq 100:-6,1k:0,8k:3 (gains -60 to +24 dB, interpolated over log-frequency, flat"
                    + " beyond the ends).")
    List<String> eq;

    /** Set by each command's own --[no-]spectrum, whose help says what the analyser feeds there. */
    boolean spectrum = true;

    /** "fine" or "exact", in any case. */
    static final class QualityConverter implements ITypeConverter<Quality> {
        @Override
        public Quality convert(String value) {
            switch (value.toLowerCase(Locale.ROOT)) {
                case "fine":
                    return Quality.FINE;
                case "exact":
                    return Quality.EXACT;
                default:
                    throw new TypeConversionException("'" + value + "' is not a quality: choose fine or exact");
            }
        }
    }

    /** Keeps each option of {@code parsed} as it was typed (its last value when given twice), for messages. */
    void rememberTyped(ParseResult parsed) {
        typed.clear();
        for (OptionSpec o : parsed.matchedOptions()) {
            List<String> values = o.originalStringValues();
            if (!values.isEmpty()) {
                typed.put(o.longestName(), values.get(values.size() - 1));
            }
        }
    }

    /** Each option given, by name, as it was typed. */
    Map<String, String> typed() {
        return new HashMap<>(typed);
    }

    Settings resolve(int channels, int sampleRate) {
        Map<String, String> typed = typed();
        Passage.checkTimes(start, end, typed);
        Settings.Builder b = new Settings.Builder();
        b.typed.putAll(typed);
        b.channels = channels;
        b.sampleRate = sampleRate;
        if (trainer != null && tempo != null) {
            throw CliException.usage("--tempo and --trainer cannot be used together: the trainer sets the tempo of"
                    + " each pass, from FROM to TO");
        }
        if (varispeed != null && (tempo != null || trainer != null)) {
            throw CliException.usage("--varispeed sets the tempo: it cannot be used with --tempo or --trainer");
        }
        if (varispeed != null && !(varispeed >= 0.25 && varispeed <= 4)) {
            throw CliException.usage("--varispeed " + typed.getOrDefault("--varispeed", Settings.fmt(varispeed)) + " is out of range: it must lie between"
                    + " 0.25 and 4 (two octaves either way)");
        }
        b.tempo = trainer != null ? trainer.from : tempo != null ? tempo : varispeed != null ? varispeed : 1.0;
        b.varispeed = varispeed;
        b.tempoOption = varispeed != null ? "--varispeed" : "--tempo";
        b.quality = quality;
        b.frameSize = frameSize;
        b.overSampling = overSampling;
        b.block = block;
        b.preampDb = preampDb;
        b.pan = pan;
        b.mono = mono;
        b.voiceAmount = voiceAmount != null ? voiceAmount : removeVoice ? 1.0 : 0.0;
        b.voiceCutoff = voiceCutoff;
        b.eq = eq == null ? null : EqCurve.parse(eq);
        b.spectrum = spectrum;
        b.transpose = transpose;
        b.cents = cents;
        b.tuning = tuning;
        b.keepFormants = keepFormants;
        if (trainer == null) {
            return b.build();
        }
        b.tempoLabel = "--trainer " + trainer.text + ": the tempo " + Settings.fmt(trainer.from);
        Settings s = b.build();
        // The last pass's tempo must suit the same oversampling (the frame
        // size, chosen for the rate alone, is the same; left unpinned so
        // that the message names it only where the user gave it).
        b.tempo = trainer.to;
        b.tempoLabel = "--trainer " + trainer.text + ": the tempo " + Settings.fmt(trainer.to);
        b.overSampling = s.overSampling;
        b.build();
        return s;
    }

    /** The passage of an input of {@code frames} frames (-1 = unknown) at a rate that --start and --end choose. */
    Passage passage(String inName, long frames, int sampleRate) {
        return Passage.of(inName, start, end, typed(), trainer, frames, sampleRate);
    }

    /** Seconds (12.5) or [h:]m:ss with an optional fraction (1:02.5). */
    static final class TimeConverter implements ITypeConverter<Double> {
        @Override
        public Double convert(String value) {
            try {
                return Passage.parseTime(value);
            } catch (IllegalArgumentException e) {
                throw new TypeConversionException(e.getMessage());
            }
        }
    }

    /** FROM:TO:STEP, three tempos with FROM ≤ TO and STEP > 0. */
    static final class TrainerConverter implements ITypeConverter<Passage.Trainer> {
        @Override
        public Passage.Trainer convert(String value) {
            try {
                return Passage.parseTrainer(value);
            } catch (IllegalArgumentException e) {
                throw new TypeConversionException(e.getMessage());
            }
        }
    }
}
