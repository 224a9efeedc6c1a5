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
import java.util.concurrent.atomic.AtomicLong;
import quorvel.tambrino.Quality;
import quorvel.tambrino.Session;

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
 * restored on every way out: the end of the music, q, an error, and Ctrl-C
 * (from a shutdown hook).
 */
final class Player {
    static final double SEEK_SECONDS = 5.0;
    static final double TEMPO_STEP = 0.05;
    /** Semitone keys move by one, cent keys by this many cents. */
    static final int CENTS_STEP = 5;
    static final long REDRAW_MILLIS = 50;
    private static final int CHUNK = 1024;
    private static final String LEVELS = " .:-=+*#%@";
    /** Spectrum value drawn at the top of the scale (as in the spectrum picture). */
    private static final double FULL_SCALE_NOTE = 0.3125;
    /** How long the clip indicator stays lit after a block at full scale is heard. */
    private static final long CLIP_HOLD_NANOS = 1_000_000_000L;
    /** The widest the screen's text grows, however wide the terminal. */
    private static final int MAX_WIDTH = 80;
    /** A seek to the frame being heard: the engine starts again from there (a new quality mode). */
    private static final long HERE = Long.MIN_VALUE;

    private final Settings settings;
    private final Transport transport;
    private final Stretcher stretcher;
    private final PlayCommand.AudioSink sink;
    private final Meter meter;
    private final String title;
    private final String description;
    private final Session session;

    private volatile boolean paused;
    private final Object pauseLock = new Object();
    private volatile boolean quit;
    private volatile boolean finished;
    private volatile boolean voiceOn;
    private volatile boolean monoOn;
    private volatile String message = "";
    private volatile Throwable failure;
    /** Frames of the stretched stream written to the output (less those discarded unheard). */
    private volatile long written;
    /** The input frame to seek to, -1 = none, {@link #HERE} = where it is heard; the playback thread takes it. */
    private final AtomicLong seekTo = new AtomicLong(-1);
    /** A tempo key was pressed and its tempo is not heard yet: until then the screen shows the new one. */
    private volatile boolean tempoKeyed;
    private volatile long tempoKeyNanos;
    /** The transposition the keys last set (the summary states it). */
    private volatile float lastShift = Float.NaN;

    /** The transposition at the end, in semitones, when a key changed it; NaN otherwise. */
    float keyedShift() {
        return lastShift;
    }
    private long clipUntil;
    private long lastHeard;
    private volatile int rows = 24;
    private volatile int columns = 80;

    Player(Settings settings, Transport transport, Stretcher stretcher, PlayCommand.AudioSink sink, Meter meter,
            String title, String description) {
        this.settings = settings;
        this.transport = transport;
        this.stretcher = stretcher;
        this.sink = sink;
        this.meter = meter;
        this.title = title;
        this.description = description;
        this.session = stretcher.session();
        this.voiceOn = settings.voiceAmount > 0;
        this.monoOn = settings.mono;
    }

    /** Plays until the music (or the trainer's last pass) ends or q; returns whether it ended by itself. */
    boolean run() throws IOException, InterruptedException {
        TerminalMode tty = TerminalMode.enter();
        Thread hook = new Thread(tty::restore, "tambrino-terminal");
        Runtime.getRuntime().addShutdownHook(hook);
        try {
            Thread playback = new Thread(this::playback, "tambrino-playback");
            Thread screen = new Thread(() -> screen(tty), "tambrino-screen");
            Thread keys = new Thread(() -> keys(System.in), "tambrino-keys");
            keys.setDaemon(true);
            screen.setDaemon(true);
            playback.start();
            screen.start();
            keys.start();
            playback.join();
            finished = true;
            screen.interrupt();
            screen.join(TimeUnit.SECONDS.toMillis(2));
            draw(tty.out);
        } finally {
            tty.restore();
            try {
                Runtime.getRuntime().removeShutdownHook(hook);
            } catch (IllegalStateException e) {
                // Already shutting down: the hook restores the terminal.
            }
        }
        if (failure instanceof RuntimeException) {
            throw (RuntimeException) failure;
        }
        if (failure instanceof IOException) {
            throw (IOException) failure;
        }
        if (failure != null) {
            throw new IllegalStateException(failure);
        }
        return !quit;
    }

    private void playback() {
        int ch = settings.channels;
        short[] frames = new short[CHUNK * ch];
        byte[] bytes = new byte[frames.length * 2];
        // The output written lately, whose unheard part a seek fades out under the new position's start.
        int recentFrames = Math.max(CHUNK, settings.sampleRate);
        short[] recent = new short[recentFrames * ch];
        int fadeFrames = Math.max(1, settings.sampleRate / 100);
        short[] fade = new short[fadeFrames * ch];
        int fadeLength = 0;
        int fadeDone = 0;
        try {
            while (!quit) {
                long to = seekTo.getAndSet(-1);
                if (to != -1) {
                    long before = written;
                    discardUnheard();
                    if (to == HERE) {
                        to = stretcher.inputAt(written);
                    }
                    // What would have been heard next, where the seek cuts in: kept to fade out, not to click.
                    fadeLength = (int) Math.min(fadeFrames, before - written);
                    if (before - written > recentFrames) {
                        fadeLength = 0;
                    }
                    for (int i = 0; i < fadeLength * ch; i++) {
                        fade[i] = recent[(int) (((written * ch + i) % recent.length))];
                    }
                    fadeDone = 0;
                    stretcher.restart(to, written);
                }
                if (paused) {
                    Thread.sleep(10);
                    continue;
                }
                int n = stretcher.read(frames, 0, CHUNK);
                if (n <= 0) {
                    break;
                }
                for (int f = 0; f < n && fadeDone < fadeLength; f++, fadeDone++) {
                    // Equal gains summing to one (sine squared in, cosine squared out): no overflow.
                    double in = Math.sin(Math.PI / 2 * (fadeDone + 0.5) / fadeLength);
                    for (int c = 0; c < ch; c++) {
                        int k = f * ch + c;
                        frames[k] = (short) Math.round(frames[k] * in * in + fade[fadeDone * ch + c] * (1 - in * in));
                    }
                }
                for (int i = 0; i < n * ch; i++) {
                    recent[(int) ((written * ch + i) % recent.length)] = frames[i];
                }
                PlayCommand.toBytes(frames, n * ch, bytes);
                sink.write(bytes, 0, n * ch * 2);
                written += n;
                stretcher.heard(heardOutput());
            }
            if (quit) {
                // What was not heard when q came is not played, nor counted.
                discardUnheard();
            } else {
                sink.drain();
            }
            stretcher.heard(written);
        } catch (Throwable t) {
            failure = t;
        }
    }

    private void discardUnheard() {
        long kept = sink.discardUnheard();
        if (kept >= 0 && kept < written) {
            written = kept;
        }
        meter.cut(written);
    }

    /** Frames of the stretched stream heard so far. */
    long heardOutput() {
        long heard = sink.heardFrames();
        long w = written;
        return heard >= 0 ? Math.min(heard, w) : w;
    }

    /** The input frame being heard. */
    long heardFrame() {
        return stretcher.inputAt(heardOutput());
    }

    /** Seconds of the stretched stream heard so far. */
    double heardSeconds() {
        return (double) heardOutput() / settings.sampleRate;
    }

    private void seekBy(double seconds) {
        long from = seekTo.get();
        seekTo.set(transport.clamp((from >= 0 ? from : heardFrame()) + Math.round(seconds * settings.sampleRate)));
    }

    void key(int k) {
        switch (k) {
            case ' ':
                // The output stops here and now, not when the playback thread next looks.
                synchronized (pauseLock) {
                    if (paused) {
                        sink.resume();
                        tempoKeyNanos = System.nanoTime();
                    } else {
                        sink.pause();
                    }
                    paused = !paused;
                }
                break;
            case 'q':
            case 'Q':
                quit = true;
                break;
            case Keys.LEFT:
                seekBy(-SEEK_SECONDS);
                break;
            case Keys.RIGHT:
                seekBy(SEEK_SECONDS);
                break;
            case Keys.UP:
            case Keys.DOWN:
                double t = Math.rint((session.tempo() + (k == Keys.UP ? TEMPO_STEP : -TEMPO_STEP)) * 100) / 100;
                session.setTempo(Math.max(session.minTempo(), Math.min(session.maxTempo(), t)));
                tempoKeyNanos = System.nanoTime();
                tempoKeyed = true;
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
                transport.loopFrom(heardFrame());
                break;
            case ']':
                long from = transport.loopTo(heardFrame());
                if (from >= 0) {
                    seekTo.set(from);
                }
                break;
            case '\\':
                transport.clearLoop();
                break;
            case 'v':
            case 'V':
                voiceOn = !voiceOn;
                session.setVoiceRemoval(voiceOn ? (settings.voiceAmount > 0 ? settings.voiceAmount : 1.0) : 0,
                        settings.voiceCutoff);
                message = settings.channels == 1 ? "voice removal acts on stereo only" : "";
                break;
            case 'm':
            case 'M':
                monoOn = !monoOn;
                session.setPanning(settings.pan == -1 ? 50 : settings.pan, monoOn);
                message = settings.channels == 1 ? "mono acts on stereo only" : "";
                break;
            case 'f':
            case 'F':
                try {
                    session.setQuality(session.quality() == Quality.FINE ? Quality.EXACT : Quality.FINE);
                    tempoKeyNanos = System.nanoTime();
                    tempoKeyed = true;
                    // Heard at once, and without the jump that the modes' different delays would make
                    // mid-stream: the new mode starts again, primed, from what is being heard.
                    seekTo.compareAndSet(-1, HERE);
                    message = "";
                } catch (UnsupportedOperationException e) {
                    message = "this engine has no fine mode";
                }
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
            draw(tty.out);
            try {
                Thread.sleep(REDRAW_MILLIS);
            } catch (InterruptedException e) {
                return;
            }
        }
    }

    private synchronized void draw(PrintStream out) {
        StringBuilder sb = new StringBuilder("\033[H");
        List<String> lines = screenLines(columns, rows);
        for (int i = 0; i < lines.size(); i++) {
            // No line feed after the last line, which would scroll a screen that it fills.
            sb.append(lines.get(i)).append(i + 1 < lines.size() ? "\033[K\r\n" : "\033[K");
        }
        sb.append("\033[J");
        out.print(sb);
        out.flush();
    }

    /** The tempo heard, or the one just asked for by a key until it is heard; as played. */
    private double shownTempo(long heard) {
        double asked = session.playedTempo();
        double t = stretcher.tempoAt(heard);
        if (tempoKeyed) {
            // Nothing is heard while paused, so the time-out runs only while playing.
            if (paused || System.nanoTime() - tempoKeyNanos < 3_000_000_000L && Math.abs(t - asked) >= 1e-6) {
                return asked;
            }
            tempoKeyed = false;
        }
        return Double.isNaN(t) ? asked : t;
    }

    /** What the screen shows, line by line, fitted to a terminal of {@code columns} × {@code rows}. */
    List<String> screenLines(int columns, int rows) {
        int width = Math.max(20, Math.min(MAX_WIDTH, columns));
        double rate = settings.sampleRate;
        long heard = heardOutput();
        long[] loop = transport.loop();
        long loopFrom = transport.loopStartOnly();
        String state = finished ? (quit ? "stopped" : "finished") : paused ? "paused" : "playing";
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
        lines.add(String.format(Locale.ROOT, " %-8s  %s / %s   tempo %s   key %s", state,
                clock(stretcher.inputAt(heard) / rate), clock(transport.end() / rate), tempoText(shownTempo(heard)),
                keyText(session.pitchShift())));
        lines.add(" loop " + (loop != null ? clock(loop[0] / rate) + " - " + clock(loop[1] / rate)
                : loopFrom >= 0 ? "from " + clock(loopFrom / rate) + ", ] sets its end" : "off")
                + (trainer == null ? "" : String.format(Locale.ROOT, "   trainer pass %d of %d",
                        stretcher.passAt(heard) + 1, trainer.passes())));
        lines.add(" voice removal " + onOff(voiceOn) + "   mono " + onOff(monoOn) + "   quality "
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

    /** m:ss.s */
    static String clock(double seconds) {
        long tenths = Math.max(0, Math.round(seconds * 10));
        return String.format(Locale.ROOT, "%d:%02d.%d", tenths / 600, tenths / 10 % 60, tenths % 10);
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

    /**
     * The level and spectrum of every block by the output frames it made, so
     * that the meter shows the block being heard rather than the one read
     * ahead. The streaming thread adds blocks and cuts off those discarded
     * unheard; the screen looks up. Fixed arrays: nothing allocated per block.
     */
    static final class Meter implements Stretcher.BlockListener {
        private static final int BLOCKS = 256;
        private final long[] start = new long[BLOCKS];
        private final long[] end = new long[BLOCKS];
        private final float[] level = new float[BLOCKS];
        private final float[][] notes = new float[BLOCKS][Session.NOTES];
        private long added;

        @Override
        public synchronized void block(long s, long e, float lvl, float[] spectrum) {
            int i = (int) (added % BLOCKS);
            start[i] = s;
            end[i] = e;
            level[i] = lvl;
            System.arraycopy(spectrum, 0, notes[i], 0, Session.NOTES);
            added++;
        }

        /** Forgets the blocks from output frame {@code out} on. */
        synchronized void cut(long out) {
            long oldest = Math.max(0, added - BLOCKS);
            while (added > oldest && start[(int) ((added - 1) % BLOCKS)] >= out) {
                added--;
            }
        }

        /** The level of the block heard at output frame {@code out}, its spectrum into {@code into}. */
        synchronized float at(long out, float[] into) {
            for (long k = added - 1; k >= Math.max(0, added - BLOCKS); k--) {
                int i = (int) (k % BLOCKS);
                if (start[i] <= out) {
                    System.arraycopy(notes[i], 0, into, 0, Session.NOTES);
                    return level[i];
                }
            }
            return 0;
        }

        /** Whether a block heard between output frames {@code from} and {@code to} reached full scale. */
        synchronized boolean clipped(long from, long to) {
            for (long k = added - 1; k >= Math.max(0, added - BLOCKS); k--) {
                int i = (int) (k % BLOCKS);
                if (start[i] < to && end[i] > from && level[i] >= 1.0f) {
                    return true;
                }
            }
            return false;
        }
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
