package quorvel.tambrino.cli;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import quorvel.tambrino.Quality;
import quorvel.tambrino.Session;
import quorvel.tambrino.TempoStream;

/**
 * The interactive player: a playback thread streams blocks through the
 * engine into the audio output while the keys change the tempo, the loop and
 * the switches, and a screen thread redraws position, tempo, loop, switches,
 * peak meter and the 72-note spectrum twenty times a second, polling the
 * engine as the application does.
 *
 * <p>The terminal is put in a mode that passes keys one by one without echo
 * (Ctrl-C still interrupts) and switched to its alternate screen; both are
 * restored on every way out: the end of the music, q, an error, and Ctrl-C
 * (from a shutdown hook).
 */
final class Player {
    static final double SEEK_SECONDS = 5.0;
    static final double TEMPO_STEP = 0.05;
    static final long REDRAW_MILLIS = 50;
    private static final int CHUNK = 1024;
    private static final String LEVELS = " .:-=+*#%@";
    /** Spectrum value drawn at the top of the scale (as in the spectrum picture). */
    private static final double FULL_SCALE_NOTE = 0.3125;

    private final Settings settings;
    private final Transport transport;
    private final Stretcher stretcher;
    private final PlayCommand.AudioSink sink;
    private final Clock clock;
    private final String title;
    private final String details;
    private final Session session;

    private volatile boolean paused;
    private final Object pauseLock = new Object();
    private volatile boolean quit;
    private volatile boolean finished;
    private volatile boolean voiceOn;
    private volatile boolean monoOn;
    private volatile String message = "";
    private volatile Throwable failure;
    /** Frames of the stretched stream written to the output. */
    private volatile long written;

    Player(Settings settings, Transport transport, Stretcher stretcher, PlayCommand.AudioSink sink, Clock clock,
            String title, String details) {
        this.settings = settings;
        this.transport = transport;
        this.stretcher = stretcher;
        this.sink = sink;
        this.clock = clock;
        clock.attach(stretcher);
        this.title = title;
        this.details = details;
        this.session = stretcher.session();
        this.voiceOn = settings.voiceAmount > 0;
        this.monoOn = settings.mono;
    }

    /** Plays until the music ends or q; returns whether it ended by itself. */
    boolean run() throws IOException, InterruptedException {
        TerminalMode tty = TerminalMode.enter();
        Thread hook = new Thread(tty::restore, "tambrino-terminal");
        Runtime.getRuntime().addShutdownHook(hook);
        try {
            Thread playback = new Thread(this::playback, "tambrino-playback");
            Thread screen = new Thread(() -> screen(tty.out), "tambrino-screen");
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
        try {
            while (!quit) {
                if (paused) {
                    Thread.sleep(10);
                    continue;
                }
                int n = stretcher.read(frames, 0, CHUNK);
                if (n <= 0) {
                    break;
                }
                PlayCommand.toBytes(frames, n * ch, bytes);
                sink.write(bytes, 0, n * ch * 2);
                written += n;
            }
            if (!quit) {
                sink.drain();
            }
        } catch (Throwable t) {
            failure = t;
        }
    }

    /** The input frame being heard: the output's frame mapped back through the blocks that made it. */
    long heardFrame() {
        long heard = sink.heardFrames();
        return clock.inputAt(heard >= 0 ? heard : written);
    }

    /**
     * Which input frame each frame of the stretched stream comes from. Reading
     * runs ahead of what is heard by the engine's start-up delay, a block and
     * the output's buffer, and the tempo, seeks and loops change the mapping
     * as it goes; so after every block the stream's frame at the end of the
     * input read so far is recorded with the input's position and the block's
     * stretch, and a heard frame is placed by the record of its block.
     */
    static final class Clock implements TempoStream.BlockListener {
        private static final int RECORDS = 256;
        private final Transport transport;
        private final double[] aligned = new double[RECORDS];
        private final long[] position = new long[RECORDS];
        private final double[] stretch = new double[RECORDS];
        private int count;
        private int next;
        private Stretcher stretcher;

        Clock(Transport transport) {
            this.transport = transport;
        }

        void attach(Stretcher s) {
            this.stretcher = s;
        }

        @Override
        public synchronized void block(long start, long end, float level, float[] spectrum) {
            if (stretcher == null) {
                return;
            }
            aligned[next] = stretcher.alignedFrames();
            position[next] = transport.position();
            stretch[next] = stretcher.session().lastStretch();
            next = (next + 1) % RECORDS;
            count = Math.min(RECORDS, count + 1);
        }

        /** The input frame under frame {@code heard} of the stretched stream. */
        synchronized long inputAt(long heard) {
            if (count == 0) {
                return transport.start();
            }
            // The oldest record that reaches the heard frame, else the newest.
            int pick = (next - 1 + RECORDS) % RECORDS;
            for (int k = count; k >= 1; k--) {
                int i = (next - k + RECORDS) % RECORDS;
                if (aligned[i] >= heard) {
                    pick = i;
                    break;
                }
            }
            long frame = position[pick] - Math.round((aligned[pick] - heard) / stretch[pick]);
            return Math.max(transport.start(), Math.min(transport.end(), frame));
        }
    }

    void key(int k) {
        long rate = settings.sampleRate;
        switch (k) {
            case ' ':
                // The output stops here and now, not when the playback thread next looks.
                synchronized (pauseLock) {
                    if (paused) {
                        sink.resume();
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
                transport.seek(heardFrame() - Math.round(SEEK_SECONDS * rate));
                break;
            case Keys.RIGHT:
                transport.seek(heardFrame() + Math.round(SEEK_SECONDS * rate));
                break;
            case Keys.UP:
            case Keys.DOWN:
                double t = Math.rint((session.tempo() + (k == Keys.UP ? TEMPO_STEP : -TEMPO_STEP)) * 100) / 100;
                session.setTempo(Math.max(session.minTempo(), Math.min(session.maxTempo(), t)));
                break;
            case '[':
                transport.loopFrom(heardFrame());
                break;
            case ']':
                transport.loopTo(heardFrame());
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
                    message = "";
                } catch (UnsupportedOperationException e) {
                    message = "this engine has no fine mode";
                }
                break;
            default:
                break;
        }
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

    private void screen(PrintStream out) {
        while (!finished) {
            draw(out);
            try {
                Thread.sleep(REDRAW_MILLIS);
            } catch (InterruptedException e) {
                return;
            }
        }
    }

    private synchronized void draw(PrintStream out) {
        StringBuilder sb = new StringBuilder("\033[H");
        for (String line : screenLines()) {
            sb.append(line).append("\033[K\r\n");
        }
        sb.append("\033[J");
        out.print(sb);
        out.flush();
    }

    /** What the screen shows, line by line. */
    String[] screenLines() {
        double rate = settings.sampleRate;
        long[] loop = transport.loop();
        String state = finished ? (quit ? "stopped" : "finished") : paused ? "paused" : "playing";
        String trainer = transport.trainer() == null ? ""
                : String.format(Locale.ROOT, "   trainer pass %d of %d", transport.pass() + 1,
                        transport.trainer().passes());
        float level = session.peakLevel();
        float[] spectrum = session.spectrum(new float[Session.NOTES]);
        return new String[] {
            " tambrino play  " + title,
            " " + details,
            "",
            String.format(Locale.ROOT, " %-8s  %s / %s   tempo %.2f%s", state, clock(heardFrame() / rate),
                    clock(transport.end() / rate), session.tempo(), trainer),
            " loop " + (loop == null ? "off" : clock(loop[0] / rate) + " - " + clock(loop[1] / rate)),
            " voice removal " + onOff(voiceOn) + "   mono " + onOff(monoOn) + "   quality "
                    + session.quality().name().toLowerCase(Locale.ROOT),
            "",
            " level  " + meter(level),
            "",
            " spectrum, 72 notes",
            " |" + bars(spectrum) + "|",
            "  " + octaveMarks(),
            "",
            " " + message,
            " space pause   left/right seek 5 s   up/down tempo +/-0.05   q quit",
            " [ ] loop start/end   \\ clear loop   v voice   m mono   f fine/exact",
        };
    }

    private static String onOff(boolean b) {
        return b ? "on" : "off";
    }

    /** m:ss.s */
    static String clock(double seconds) {
        long tenths = Math.max(0, Math.round(seconds * 10));
        return String.format(Locale.ROOT, "%d:%02d.%d", tenths / 600, tenths / 10 % 60, tenths % 10);
    }

    /** "[##########..........]  -12.3 dBFS", 48 dB across the bar. */
    static String meter(float level) {
        double db = level > 0 ? 20 * Math.log10(level) : -99;
        return Terminal.bar((db + 48) / 48, 30) + "  " + Terminal.dbfs(level) + (level >= 1.0f ? "  CLIP" : "");
    }

    /** One character per note, from ' ' (60 dB below the top or less) to '@'. */
    static String bars(float[] spectrum) {
        StringBuilder sb = new StringBuilder(spectrum.length);
        for (float v : spectrum) {
            double db = v > 0 ? 20 * Math.log10(v / FULL_SCALE_NOTE) : -120;
            int i = (int) Math.round((db + 60) / 60 * (LEVELS.length() - 1));
            sb.append(LEVELS.charAt(Math.max(0, Math.min(LEVELS.length() - 1, i))));
        }
        return sb.toString();
    }

    /** C1 under the first note, then every octave. */
    static String octaveMarks() {
        StringBuilder sb = new StringBuilder();
        for (int octave = 1; octave <= 6; octave++) {
            String mark = "C" + octave;
            sb.append(mark).append(" ".repeat(octave < 6 ? 12 - mark.length() : 0));
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
