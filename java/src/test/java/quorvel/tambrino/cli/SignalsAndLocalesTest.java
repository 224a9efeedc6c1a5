// Signals at the start of a run, mid-write and at its end, under three locales; names beyond ASCII in each.
package quorvel.tambrino.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.cli.TestAudio.sine;

import java.io.File;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileTime;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import java.util.function.BooleanSupplier;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * What SIGINT, SIGTERM and SIGHUP do to a run at each of three moments,
 * caught deterministically rather than by sleeping: at the start (the tool
 * waits for its first input byte from a FIFO), mid-write (it has written part
 * of its temporary file and waits for more input) and at the end (its output
 * is in place and it waits to print its summary into a full pipe). Every
 * signal meets every moment, and each locale (none set, C.UTF-8, and a
 * compiled de_DE.UTF-8) meets every signal and every moment once, the
 * output in a folder whose name is not ASCII. The rule: exit 1, one message
 * naming what became of the output, no temporary file, and the previous
 * file intact unless the new one was complete.
 */
class SignalsAndLocalesTest {
    static final int RATE = 22050;
    static final String[] SIGNALS = {"INT", "TERM", "HUP"};
    static final String[] SAID = {"interrupted", "terminated", "hung up"};

    @TempDir
    static Path shared;
    /** LOCPATH for de_DE.UTF-8, or null where the locale cannot be compiled. */
    static Path locales;

    @TempDir
    Path dir;
    Path folder;
    Path out;

    @BeforeAll
    static void compileLocale() throws Exception {
        Path where = Files.createDirectory(shared.resolve("locales"));
        Launcher.Result r = Launcher.run(List.of("localedef", "-i", "de_DE", "-f", "UTF-8",
                where.resolve("de_DE.UTF-8").toString()), null);
        locales = r.exit == 0 || Files.isDirectory(where.resolve("de_DE.UTF-8")) ? where : null;
    }

    @BeforeEach
    void folder() throws Exception {
        // Names beyond ASCII, where this JVM itself can spell them (it reads names in its own locale).
        boolean utf8 = "UTF-8".equals(System.getProperty("sun.jnu.encoding"));
        folder = Files.createDirectory(dir.resolve(utf8 ? "Übung é" : "practice"));
        out = folder.resolve(utf8 ? "langsam ü.wav" : "slow.wav");
        Files.writeString(out, "previous");
    }

    /** The environment of locale {@code i}: none at all, C.UTF-8, or German in UTF-8. */
    private static Map<String, String> locale(int i) {
        Map<String, String> env = new HashMap<>();
        if (i == 1) {
            env.put("LC_ALL", "C.UTF-8");
        } else if (i == 2) {
            Assumptions.assumeTrue(locales != null, "localedef cannot compile de_DE.UTF-8 here");
            env.put("LANG", "de_DE.UTF-8");
            env.put("LOCPATH", locales.toString());
        }
        return env;
    }

    /** Starts the launcher with {@code args} under a locale, standard output where given, standard error to a file. */
    private Process start(Map<String, String> locale, File stdout, String... args) throws IOException {
        List<String> cmd = new ArrayList<>(List.of(Launcher.launcher().toString()));
        cmd.addAll(Arrays.asList(args));
        ProcessBuilder pb = new ProcessBuilder(cmd);
        pb.environment().keySet().removeIf(k -> k.startsWith("LC_") || k.equals("LANG") || k.equals("LANGUAGE"));
        pb.environment().putAll(locale);
        pb.environment().put("TAMBRINO_JAR", Launcher.jar().toString());
        pb.redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")));
        pb.redirectOutput(stdout);
        pb.redirectError(dir.resolve("err.txt").toFile());
        return pb.start();
    }

    private static void kill(Process p, String signal) throws Exception {
        assertEquals(0, new ProcessBuilder("kill", "-" + signal, Long.toString(p.pid())).start().waitFor());
    }

    private static void await(BooleanSupplier condition, Process p, String what) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        while (!condition.getAsBoolean()) {
            assertTrue(p.isAlive(), "the run ended before " + what);
            assertTrue(System.nanoTime() < deadline, "never " + what);
            Thread.sleep(10);
        }
    }

    private long partBytes() throws IOException {
        try (var s = Files.list(folder)) {
            return s.filter(f -> f.getFileName().toString().endsWith(".part")).mapToLong(f -> f.toFile().length())
                    .max().orElse(-1);
        }
    }

    /** A WAV header for {@code frames} stereo frames at the test's rate, and that many frames of two tones. */
    private static byte[][] song(int frames) {
        return song(frames, frames);
    }

    /** The same with a header that promises {@code declared} frames, more than a feed may give before it waits. */
    private static byte[][] song(int frames, int declared) {
        byte[] data = TestAudio.le16(TestAudio.pcm16(frames, 2, sine(440, 0.5, RATE), sine(660, 0.4, RATE)));
        ByteBuffer h = ByteBuffer.allocate(44).order(java.nio.ByteOrder.LITTLE_ENDIAN);
        h.put("RIFF".getBytes(StandardCharsets.US_ASCII)).putInt(36 + declared * 4)
                .put("WAVE".getBytes(StandardCharsets.US_ASCII))
                .put(TestAudio.chunk("fmt ", TestAudio.fmt(TestAudio.PCM, 2, RATE, 16), 16))
                .put("data".getBytes(StandardCharsets.US_ASCII)).putInt(declared * 4);
        return new byte[][] {h.array(), data};
    }

    /** Holds a FIFO open for reading and writing and fills it, so that the next write into it waits. */
    private static final class FullPipe implements AutoCloseable {
        final FileChannel channel;
        final Thread filler;

        FullPipe(Path fifo) throws Exception {
            channel = FileChannel.open(fifo, StandardOpenOption.READ, StandardOpenOption.WRITE);
            AtomicLong written = new AtomicLong();
            filler = new Thread(() -> {
                ByteBuffer b = ByteBuffer.allocate(512);
                try {
                    while (true) {
                        b.clear();
                        written.addAndGet(channel.write(b));
                    }
                } catch (IOException e) {
                    // Closed by the interrupt: done.
                }
            });
            filler.setDaemon(true);
            filler.start();
            long last = -1;
            while (written.get() != last || last <= 0) {
                last = written.get();
                Thread.sleep(200);
            }
        }

        @Override
        public void close() throws IOException {
            filler.interrupt();
            try {
                filler.join(5000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            channel.close();
        }
    }

    /**
     * One cell: {@code signal} at {@code moment} (0 start, 1 mid-write, 2 the
     * end) under locale {@code loc}.
     */
    private void cell(int signal, int moment, int loc) throws Exception {
        String name = "SIG" + SIGNALS[signal] + " at " + new String[] {"the start", "mid-write", "the end"}[moment]
                + " under locale " + loc;
        Files.writeString(out, "previous");
        // Three seconds promised, two given: fed through a FIFO, the tool writes what it can and waits.
        byte[][] song = song(2 * RATE, moment < 2 ? 3 * RATE : 2 * RATE);
        Path fullFifo;
        Process p;
        String expected;
        if (moment < 2) {
            Path fifo = Scene.mkfifo(dir.resolve("in-" + signal + moment + ".wav"));
            p = start(locale(loc), dir.resolve("out.txt").toFile(), "stretch", fifo.toString(), out.toString(),
                    "--quality", "exact");
            // Opening the FIFO returns once the tool has opened it: it is running, its handlers in place.
            CompletableFuture<OutputStream> opened = CompletableFuture.supplyAsync(() -> {
                try {
                    return Files.newOutputStream(fifo);
                } catch (IOException e) {
                    throw new IllegalStateException(e);
                }
            });
            try (OutputStream feed = opened.get(60, TimeUnit.SECONDS)) {
                if (moment == 1) {
                    feed.write(song[0]);
                    feed.write(song[1]);
                    feed.flush();
                    await(() -> {
                        try {
                            return partBytes() >= 65536;
                        } catch (IOException e) {
                            return false;
                        }
                    }, p, "a temporary file was being written");
                }
                kill(p, SIGNALS[signal]);
                assertTrue(p.waitFor(60, TimeUnit.SECONDS), name);
            } catch (IOException e) {
                // The reader went away with the signal: nothing more to feed.
            }
            expected = moment == 0 ? "" : ": " + out + " was left as it was";
        } else {
            Path input = dir.resolve("in.wav");
            Files.write(input, Scene.concat(song[0], song[1]));
            fullFifo = Scene.mkfifo(dir.resolve("full-" + signal));
            FullPipe full = new FullPipe(fullFifo);
            try {
                p = start(locale(loc), fullFifo.toFile(), "stretch", input.toString(), out.toString(), "--quality",
                        "exact");
                await(() -> {
                    try {
                        return Files.size(out) > 1000 && partBytes() < 0;
                    } catch (IOException e) {
                        return false;
                    }
                }, p, "the output was in place");
                kill(p, SIGNALS[signal]);
                assertTrue(p.waitFor(60, TimeUnit.SECONDS), name);
            } finally {
                full.close();
            }
            expected = ": " + out + " was written in full";
        }
        String err = Files.readString(dir.resolve("err.txt"), StandardCharsets.UTF_8);
        assertEquals(1, p.exitValue(), name + ": " + err);
        assertEquals("tambrino: " + SAID[signal] + " (SIG" + SIGNALS[signal] + ")" + expected + "\n", err, name);
        assertEquals(-1, partBytes(), name + ": a temporary file stayed");
        if (moment < 2) {
            assertEquals("previous", Files.readString(out), name + ": the previous file");
        } else {
            TestAudio.Wav w = TestAudio.read16(out);
            assertEquals(2 * RATE, w.frames(), name + ": the complete output");
            assertTrue(TestAudio.amplitude(w.channel(0), RATE / 2, RATE, 440, RATE) > 0.2, name + ": the music");
        }
    }

    @Test
    void everySignalAtEveryMomentUnderEveryLocale() throws Exception {
        for (int signal = 0; signal < 3; signal++) {
            for (int moment = 0; moment < 3; moment++) {
                cell(signal, moment, (signal + moment) % 3);
            }
        }
    }

    /**
     * SIGPIPE on its own changes nothing (a reader that goes away shows as
     * a failed write instead), and a German locale neither garbles the
     * names nor turns the summary's decimal points into commas.
     */
    @Test
    void aStraySigpipeIsIgnoredAndTheSummaryKeepsItsDecimalPoints() throws Exception {
        byte[][] song = song(RATE);
        Path fifo = Scene.mkfifo(dir.resolve("in.wav"));
        Process p = start(locale(2), dir.resolve("out.txt").toFile(), "stretch", fifo.toString(), out.toString(),
                "--quality", "exact");
        try (OutputStream feed = Files.newOutputStream(fifo)) {
            feed.write(song[0]);
            kill(p, "PIPE");
            feed.write(song[1]);
        }
        assertTrue(p.waitFor(60, TimeUnit.SECONDS));
        String summary = Files.readString(dir.resolve("out.txt"), StandardCharsets.UTF_8);
        assertEquals(0, p.exitValue(), summary + Files.readString(dir.resolve("err.txt")));
        assertTrue(summary.contains(out + " 1.00 s"), summary);
        assertFalse(summary.matches("(?s).*\\d,\\d.*"), summary);
        assertEquals(RATE, TestAudio.read16(out).frames());
    }

    /**
     * Names beyond ASCII open and are named correctly whatever the locale,
     * also with none set, where the runtime alone would read them as ASCII.
     */
    @Test
    void namesBeyondAsciiWorkUnderEveryLocale() throws Exception {
        Assumptions.assumeTrue(out.toString().contains("ü"), "this JVM cannot spell the names");
        Path input = folder.resolve("é.wav");
        byte[][] song = song(RATE / 4);
        Files.write(input, Scene.concat(song[0], song[1]));
        for (int loc = 0; loc < 3; loc++) {
            Files.writeString(out, "previous");
            Process p = start(locale(loc), dir.resolve("out.txt").toFile(), "stretch", input.toString(),
                    out.toString(), "--quality", "exact");
            assertTrue(p.waitFor(60, TimeUnit.SECONDS));
            String said = Files.readString(dir.resolve("out.txt"), StandardCharsets.UTF_8);
            assertEquals(0, p.exitValue(), "locale " + loc + ": " + Files.readString(dir.resolve("err.txt")));
            assertTrue(said.startsWith(input + " 0.25 s -> " + out + " 0.25 s"), "locale " + loc + ": " + said);
            assertEquals(RATE / 4, TestAudio.read16(out).frames());
        }
    }

    /**
     * A run killed outright (SIGKILL) leaves its temporary file; the next
     * run that writes into the folder removes it, and leaves alone the one
     * of a run still going, another machine's that is recent, and the
     * unmarked ones of older versions that are recent; old ones go.
     */
    @Test
    void temporaryFilesOfKilledRunsAreRemovedByTheNext() throws Exception {
        byte[][] song = song(2 * RATE, 4 * RATE);
        List<Process> running = new ArrayList<>();
        List<OutputStream> feeds = new ArrayList<>();
        List<Path> parts = new ArrayList<>();
        try {
            for (int i = 0; i < 2; i++) {
                Path fifo = Scene.mkfifo(dir.resolve("in" + i + ".wav"));
                Process p = start(Map.of(), dir.resolve("out.txt").toFile(), "stretch", fifo.toString(),
                        folder.resolve("out" + i + ".wav").toString(), "--quality", "exact");
                OutputStream feed = Files.newOutputStream(fifo);
                feed.write(song[0]);
                feed.write(song[1]);
                feed.flush();
                await(() -> {
                    try {
                        return partBytes() >= 0 && parts(folder).size() == running.size() + 1;
                    } catch (IOException e) {
                        return false;
                    }
                }, p, "a temporary file appeared");
                running.add(p);
                feeds.add(feed);
            }
            parts.addAll(parts(folder));
            Process killed = running.get(0);
            Path stale = parts.stream().filter(f -> f.getFileName().toString().contains("-" + killed.pid() + "-"))
                    .findFirst().orElseThrow();
            Path live = parts.stream().filter(f -> !f.equals(stale)).findFirst().orElseThrow();
            kill(killed, "KILL");
            killed.waitFor(60, TimeUnit.SECONDS);
            assertTrue(Files.exists(stale), "SIGKILL leaves the temporary file");

            // Another machine's, and the unmarked ones of older versions: kept while recent, removed once old.
            String host = stale.getFileName().toString().replaceAll(".*\\.tambrino-([0-9a-z]{4})-.*", "$1");
            String foreignHost = host.equals("zzzz") ? "yyyy" : "zzzz";
            Path foreignRecent = Files.writeString(folder.resolve(".a.wav.tambrino-" + foreignHost + "-1-x.part"), "");
            Path foreignOld = Files.writeString(folder.resolve(".b.wav.tambrino-" + foreignHost + "-1-x.part"), "");
            Path olderRecent = Files.writeString(folder.resolve("." + out.getFileName() + ".1abc.part"), "");
            Path olderOld = Files.writeString(folder.resolve("." + out.getFileName() + ".2abc.part"), "");
            FileTime twoDaysAgo = FileTime.from(Instant.now().minus(Duration.ofDays(2)));
            Files.setLastModifiedTime(foreignOld, twoDaysAgo);
            Files.setLastModifiedTime(olderOld, twoDaysAgo);
            Path small = dir.resolve("small.wav");
            Files.write(small, Scene.concat(song(RATE / 10)[0], song(RATE / 10)[1]));

            Process next = start(Map.of(), dir.resolve("out.txt").toFile(), "stretch", small.toString(),
                    out.toString(), "--quality", "exact");
            assertTrue(next.waitFor(60, TimeUnit.SECONDS));
            assertEquals(0, next.exitValue(), Files.readString(dir.resolve("err.txt")));
            assertFalse(Files.exists(stale), "the killed run's temporary file");
            assertTrue(Files.exists(live), "the running one's");
            assertTrue(Files.exists(foreignRecent) && Files.exists(olderRecent), "recent ones of others");
            assertFalse(Files.exists(foreignOld) || Files.exists(olderOld), "old ones of others");
        } finally {
            for (Process p : running) {
                p.destroyForcibly();
            }
            for (OutputStream f : feeds) {
                try {
                    f.close();
                } catch (IOException e) {
                    // Its reader is gone.
                }
            }
        }
    }

    private static List<Path> parts(Path folder) throws IOException {
        try (var s = Files.list(folder)) {
            return s.filter(f -> f.getFileName().toString().matches("\\..*\\.tambrino-.*\\.part")).toList();
        }
    }
}
