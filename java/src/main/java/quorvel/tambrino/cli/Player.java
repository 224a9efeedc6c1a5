// The interactive player: keys, screen and playback on a terminal.
package quorvel.tambrino.cli;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import quorvel.tambrino.Quality;
import quorvel.tambrino.Session;
import quorvel.tambrino.audio.AudioSink;
import quorvel.tambrino.practice.Meter;
import quorvel.tambrino.practice.Passage;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.Settings;
import quorvel.tambrino.practice.Stretcher;
import quorvel.tambrino.practice.Terminal;
import quorvel.tambrino.practice.Transport;

/**
 * The interactive player: a playback thread streams blocks through the
 * engine into the audio output while the keys change the tempo, the loop and
 * the switches, and a screen thread redraws position, tempo, loop, switches,
 * peak meter and the 72-note spectrum twenty times a second. Reading runs
 * ahead of what is heard (the engine's delay, a block, the output's buffer),
 * so the screen shows what is heard: position, trainer pass, tempo, level and
 * spectrum are looked up by the output frame being heard.
 *
 * <p>A seek discards the output not yet heard and primes the engine at the
 * new position, so that sound and screen follow within a few blocks; what
 * would have been heard next fades out under the new start. A switch of
 * quality mode starts the engine again in the same way where it is heard.
 *
 * <p>The terminal is put in a mode that passes keys one by one without echo
 * (Ctrl-C still interrupts) and switched to its alternate screen; both are
 * restored on every way out: the end of the music, q or Ctrl-C (a key like
 * q here), an error, and a signal that ends the process (before its message,
 * and from a shutdown hook).
 */
final class Player {
    static final long REDRAW_MILLIS = 50;
    /** Semitone keys move by one, cent keys by this many cents. */
    static final int CENTS_STEP = 5;
    private static final String LEVELS = " .:-=+*#%@";
    /** Spectrum value drawn at the top of the scale (as in the spectrum picture). */
    private static final double FULL_SCALE_NOTE = 0.3125;
    /** How long the clip indicator stays lit after a block at full scale is heard. */
    private static final long CLIP_HOLD_NANOS = 1_000_000_000L;
    /** The widest the screen's text grows, however wide the terminal. */
    private static final int MAX_WIDTH = 80;

    private final Settings settings;
    private final Transport transport;
    private final Stretcher stretcher;
    private final Playback playback;
    private final Meter meter;
    private final String title;
    private final String description;
    private final Session session;

    private volatile boolean finished;
    private volatile String message = "";
    /** The transposition the keys last set (the summary states it). */
    private volatile float lastShift = Float.NaN;
    private long clipUntil;
    private long lastHeard;
    private volatile int rows = 24;
    private volatile int columns = 80;

    Player(Settings settings, Transport transport, Stretcher stretcher, AudioSink sink, Meter meter,
            String title, String description) {
        this.settings = settings;
        this.transport = transport;
        this.stretcher = stretcher;
        this.meter = meter;
        this.title = title;
        this.description = description;
        this.session = stretcher.session();
        this.playback = new Playback(settings, transport, stretcher, sink, meter, false);
    }

    /** Plays until the music (or the trainer's last pass) ends or q; returns whether it ended by itself. */
    boolean run() throws IOException, InterruptedException {
        TerminalMode tty = TerminalMode.enter();
        Thread hook = new Thread(tty::restore, "tambrino-terminal");
        Runtime.getRuntime().addShutdownHook(hook);
        Interrupts.interactive(playback::stop, tty::restore);
        try {
            Thread streaming = new Thread(playback, "tambrino-playback");
            Thread screen = new Thread(() -> screen(tty), "tambrino-screen");
            Thread keys = new Thread(() -> keys(System.in), "tambrino-keys");
            keys.setDaemon(true);
            screen.setDaemon(true);
            streaming.start();
            screen.start();
            keys.start();
            streaming.join();
            finished = true;
            screen.interrupt();
            screen.join(TimeUnit.SECONDS.toMillis(2));
            draw(tty);
        } finally {
            tty.restore();
            Interrupts.interactive(null, null);
            try {
                Runtime.getRuntime().removeShutdownHook(hook);
            } catch (IllegalStateException e) {
                // Already shutting down: the hook restores the terminal.
            }
        }
        Throwable failure = playback.failure();
        if (failure instanceof RuntimeException) {
            throw (RuntimeException) failure;
        }
        if (failure instanceof IOException) {
            throw (IOException) failure;
        }
        if (failure != null) {
            throw new IllegalStateException(failure);
        }
        return !playback.stopped();
    }

    /** Frames of the stretched stream heard so far. */
    long heardOutput() {
        return playback.heardOutput();
    }

    /** The input frame being heard. */
    long heardFrame() {
        return playback.heardFrame();
    }

    /** The transposition at the end, in semitones, when a key changed it; NaN otherwise. */
    float keyedShift() {
        return lastShift;
    }

    void key(int k) {
        switch (k) {
            case ' ':
                playback.togglePause();
                break;
            case 'q':
            case 'Q':
                playback.stop();
                break;
            case Keys.LEFT:
                playback.seekBy(-Playback.SEEK_SECONDS);
                break;
            case Keys.RIGHT:
                playback.seekBy(Playback.SEEK_SECONDS);
                break;
            case Keys.UP:
            case Keys.DOWN:
                playback.stepTempo(k == Keys.UP ? Playback.TEMPO_STEP : -Playback.TEMPO_STEP);
                break;
            case '+':
            case '=':
            case '-':
            case '.':
            case ',':
                int cents = k == '+' || k == '=' ? 100 : k == '-' ? -100 : k == '.' ? CENTS_STEP : -CENTS_STEP;
                transposeBy(cents);
                break;
            case '[':
                playback.loopFromHere();
                break;
            case ']':
                playback.loopToHere();
                break;
            case '\\':
                transport.clearLoop();
                break;
            case 'v':
            case 'V':
                message = playback.setVoiceRemoval(!playback.voiceRemoval(),
                        settings.voiceAmount > 0 ? settings.voiceAmount : 1.0);
                break;
            case 'm':
            case 'M':
                message = playback.setPanning(settings.pan == -1 ? 50 : settings.pan, !playback.mono());
                break;
            case 'f':
            case 'F':
                message = playback.setQuality(session.quality() == Quality.FINE ? Quality.EXACT : Quality.FINE);
                break;
            default:
                break;
        }
    }

    /** Moves the transposition by whole cents, kept within range and on the cent. */
    private void transposeBy(int cents) {
        long now = Math.round(session.pitchShift() * 100.0);
        long most = Math.round(100.0 * quorvel.tambrino.NativeInterface.MAX_PITCH_SHIFT);
        long next = Math.max(-most, Math.min(most, now + cents));
        session.setPitchShift(next / 100f);
        lastShift = next / 100f;
        message = session.quality() == Quality.FINE ? "" : "transposition plays in fine mode (f)";
    }

    /** "0", "+2 semitones", "-1 semitone 15 cents" style text of a transposition. */
    static String keyText(float semitones) {
        long cents = Math.round(semitones * 100.0);
        if (cents == 0) {
            return "0";
        }
        String sign = cents > 0 ? "+" : "-";
        long whole = Math.abs(cents) / 100;
        long rest = Math.abs(cents) % 100;
        String st = whole == 0 ? "" : whole + (whole == 1 ? " semitone" : " semitones");
        String ct = rest == 0 ? "" : rest + " cents";
        return sign + st + (st.isEmpty() || ct.isEmpty() ? "" : " ") + ct;
    }

    private void keys(InputStream in) {
        Keys parser = new Keys();
        try {
            int b;
            while (!finished && (b = in.read()) >= 0) {
                int k = parser.feed(b);
                if (k != Keys.NONE) {
                    key(k);
                }
            }
        } catch (IOException | RuntimeException e) {
            message = "keys: " + e.getMessage();
        }
    }

    private void screen(TerminalMode tty) {
        for (long n = 0; !finished; n++) {
            if (n % 20 == 0) {
                // The terminal may have been resized.
                int[] size = TerminalMode.size();
                if (size != null) {
                    rows = size[0];
                    columns = size[1];
                }
            }
            draw(tty);
            try {
                Thread.sleep(REDRAW_MILLIS);
            } catch (InterruptedException e) {
                return;
            }
        }
    }

    private synchronized void draw(TerminalMode tty) {
        StringBuilder sb = new StringBuilder("\033[H");
        List<String> lines = screenLines(columns, rows);
        for (int i = 0; i < lines.size(); i++) {
            // No line feed after the last line, which would scroll a screen that it fills.
            sb.append(lines.get(i)).append(i + 1 < lines.size() ? "\033[K\r\n" : "\033[K");
        }
        sb.append("\033[J");
        tty.draw(sb);
    }

    /** What the screen shows, line by line, fitted to a terminal of {@code columns} × {@code rows}. */
    List<String> screenLines(int columns, int rows) {
        int width = Math.max(20, Math.min(MAX_WIDTH, columns));
        double rate = settings.sampleRate;
        long heard = heardOutput();
        long[] loop = transport.loop();
        long loopFrom = transport.loopStartOnly();
        String state = finished ? (playback.stopped() ? "stopped" : "finished") : playback.paused() ? "paused" : "playing";
        Passage.Trainer trainer = transport.trainer();
        float[] spectrum = new float[Session.NOTES];
        float level = meter.at(heard, spectrum);
        long now = System.nanoTime();
        if (meter.clipped(Math.min(lastHeard, heard), heard + 1)) {
            clipUntil = now + CLIP_HOLD_NANOS;
        }
        lastHeard = heard;
        int cells = width >= 76 ? Session.NOTES : Session.NOTES / 2;
        List<String> lines = new ArrayList<>();
        lines.add(" tambrino play  " + title);
        lines.add(" " + description + " - " + session.quality().name().toLowerCase(Locale.ROOT) + ", "
                + session.frameSize() + "/" + session.overSampling());
        lines.add("");
        lines.add(String.format(Locale.ROOT, " %-8s  %s / %s   tempo %s", state,
                Terminal.tenths(stretcher.inputAt(heard) / rate), Terminal.tenths(transport.end() / rate),
                tempoText(playback.shownTempo(heard)),
                keyText(session.pitchShift())));
        lines.add(" loop " + (loop != null ? Terminal.tenths(loop[0] / rate) + " - " + Terminal.tenths(loop[1] / rate)
                : loopFrom >= 0 ? "from " + Terminal.tenths(loopFrom / rate) + ", ] sets its end" : "off")
                + (trainer == null ? "" : String.format(Locale.ROOT, "   trainer pass %d of %d",
                        stretcher.passAt(heard) + 1, trainer.passes())));
        lines.add(" voice removal " + onOff(playback.voiceRemoval()) + "   mono " + onOff(playback.mono()) + "   quality "
                + session.quality().name().toLowerCase(Locale.ROOT));
        lines.add("");
        lines.add(" level  " + meter(level, now < clipUntil, Math.max(10, Math.min(30, width - 30))));
        lines.add("");
        lines.add(" spectrum, 72 notes");
        lines.add(" |" + bars(spectrum, cells) + "|");
        lines.add("  " + octaveMarks(cells));
        lines.add("");
        lines.add(message.isEmpty() ? "" : " " + message);
        lines.addAll(wrap(width, "space pause", "left/right seek 5 s", "up/down tempo +/-0.05",
                "+/- key +/-1 semitone", "./, +/-" + CENTS_STEP + " cents", "q quit",
                "[ ] loop start/end", "\\ clear loop", "v voice", "m mono", "f fine/exact"));
        // Too few rows: the blank lines go first, from the bottom, then the spectrum's caption, then the help.
        for (int i = lines.size() - 1; i >= 0 && lines.size() > rows; i--) {
            if (lines.get(i).isEmpty()) {
                lines.remove(i);
            }
        }
        if (lines.size() > rows) {
            lines.remove(" spectrum, 72 notes");
        }
        while (lines.size() > Math.max(1, rows)) {
            lines.remove(lines.size() - 1);
        }
        lines.replaceAll(l -> l.length() > width ? l.substring(0, width) : l);
        return lines;
    }

    /** The items joined three spaces apart, in lines of at most {@code width}. */
    private static List<String> wrap(int width, String... items) {
        List<String> lines = new ArrayList<>();
        StringBuilder line = new StringBuilder();
        for (String item : items) {
            if (line.length() > 0 && line.length() + 3 + item.length() > width) {
                lines.add(line.toString());
                line.setLength(0);
            }
            line.append(line.length() == 0 ? " " : "   ").append(item);
        }
        lines.add(line.toString());
        return lines;
    }

    private static String onOff(boolean b) {
        return b ? "on" : "off";
    }

    /** A tempo as played: two decimals, three where the mode plays it between hundredths (0.125). */
    static String tempoText(double t) {
        double hundredths = Math.rint(t * 100) / 100;
        return String.format(Locale.ROOT, Math.abs(t - hundredths) < 5e-4 ? "%.2f" : "%.3f", t);
    }

    /** "[##########..........]  -12.3 dBFS", 48 dB across the bar, "  CLIP" when lit. */
    static String meter(float level, boolean clip, int width) {
        double db = level > 0 ? 20 * Math.log10(level) : -99;
        return Terminal.bar((db + 48) / 48, width) + "  " + Terminal.dbfs(level) + (clip ? "  CLIP" : "");
    }

    /**
     * One character per cell, from ' ' (60 dB below the top or less) to '@';
     * 72 cells, one per note, or fewer with the loudest of their notes.
     */
    static String bars(float[] spectrum, int cells) {
        int per = Math.max(1, spectrum.length / cells);
        StringBuilder sb = new StringBuilder(cells);
        for (int c = 0; c < cells; c++) {
            float v = 0;
            for (int n = c * per; n < Math.min(spectrum.length, (c + 1) * per); n++) {
                v = Math.max(v, spectrum[n]);
            }
            double db = v > 0 ? 20 * Math.log10(v / FULL_SCALE_NOTE) : -120;
            int i = (int) Math.round((db + 60) / 60 * (LEVELS.length() - 1));
            sb.append(LEVELS.charAt(Math.max(0, Math.min(LEVELS.length() - 1, i))));
        }
        return sb.toString();
    }

    /** C1 under the first note, then every octave, over {@code cells} cells for the 72 notes. */
    static String octaveMarks(int cells) {
        int octave = cells / 6;
        StringBuilder sb = new StringBuilder();
        for (int o = 1; o <= 6; o++) {
            String mark = "C" + o;
            sb.append(mark).append(" ".repeat(o < 6 ? octave - mark.length() : 0));
        }
        return sb.toString();
    }

    /** Turns the terminal's bytes into keys: plain characters and the arrow keys' escape sequences. */
    static final class Keys {
        static final int NONE = -1;
        static final int UP = 0x10001;
        static final int DOWN = 0x10002;
        static final int RIGHT = 0x10003;
        static final int LEFT = 0x10004;
        private int state;

        int feed(int b) {
            switch (state) {
                case 1:
                    state = b == '[' || b == 'O' ? 2 : 0;
                    return NONE;
                case 2:
                    if (b >= '0' && b <= '9' || b == ';') {
                        // Parameters of a longer sequence.
                        return NONE;
                    }
                    state = 0;
                    switch (b) {
                        case 'A':
                            return UP;
                        case 'B':
                            return DOWN;
                        case 'C':
                            return RIGHT;
                        case 'D':
                            return LEFT;
                        default:
                            return NONE;
                    }
                default:
                    if (b == 0x1b) {
                        state = 1;
                        return NONE;
                    }
                    return b;
            }
        }
    }

    /**
     * The terminal set up for the player: keys without echo or line editing,
     * the alternate screen, no cursor; {@link #restore()} undoes all of it,
     * once, from whichever way out comes first.
     */
    static final class TerminalMode {
        final PrintStream out;
        private final String saved;
        private boolean restored;

        private TerminalMode(PrintStream out, String saved) {
            this.out = out;
            this.saved = saved;
        }

        /** Whether the process has a controlling terminal to draw on. */
        static boolean available() {
            try (FileOutputStream tty = new FileOutputStream("/dev/tty")) {
                return tty.getFD().valid();
            } catch (IOException e) {
                return false;
            }
        }

        /** The terminal's rows and columns, or null when it cannot tell. */
        static int[] size() {
            try {
                String[] rc = stty("size").trim().split("\\s+");
                int r = Integer.parseInt(rc[0]);
                int c = Integer.parseInt(rc[1]);
                return r > 0 && c > 0 ? new int[] {r, c} : null;
            } catch (IOException | RuntimeException e) {
                return null;
            }
        }

        static TerminalMode enter() throws IOException {
            String saved = stty("-g").trim();
            OutputStream tty = new FileOutputStream("/dev/tty");
            PrintStream out = new PrintStream(tty, false, StandardCharsets.UTF_8);
            stty("-icanon", "-echo", "min", "1", "time", "0");
            out.print("\033[?1049h\033[?25l\033[2J\033[H");
            out.flush();
            return new TerminalMode(out, saved);
        }

        /**
         * Draws on the player's screen, and nothing once the terminal is
         * given back: a frame drawn after that would land on the shell's
         * screen, over the lines that follow.
         */
        synchronized void draw(CharSequence frame) {
            if (!restored) {
                out.print(frame);
                out.flush();
            }
        }

        synchronized void restore() {
            if (restored) {
                return;
            }
            restored = true;
            out.print("\033[?25h\033[?1049l");
            out.flush();
            try {
                stty(saved);
            } catch (IOException e) {
                try {
                    stty("sane");
                } catch (IOException ignored) {
                    // Nothing more can be done for the terminal.
                }
            }
        }

        private static String stty(String... args) throws IOException {
            String[] cmd = new String[args.length + 1];
            cmd[0] = "stty";
            System.arraycopy(args, 0, cmd, 1, args.length);
            ProcessBuilder pb = new ProcessBuilder(cmd);
            pb.redirectInput(new java.io.File("/dev/tty"));
            pb.redirectError(ProcessBuilder.Redirect.DISCARD);
            Process p = pb.start();
            String outText = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            try {
                if (p.waitFor() != 0) {
                    throw new IOException("stty " + String.join(" ", args) + " failed");
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new IOException("interrupted while setting up the terminal", e);
            }
            return outText;
        }
    }
}
