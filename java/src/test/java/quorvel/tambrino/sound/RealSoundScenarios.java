// The scenes both programs are heard in through a real sound server, measured in its recording.
package quorvel.tambrino.sound;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * A person practising with a song, heard through a real sound server: the
 * same scenes for the terminal player and the window, each driven through
 * its own keys and read from its own screen, each measured in what the
 * server's sink played ({@link Recording}) against the moments of the keys.
 *
 * <p>Tolerances (from runs on the project's shared 2-core machine, busy
 * with other work): a key is heard within two seconds (typically 20 to 60 ms
 * to sound, 80 to 300 ms to silence, over a second at the worst, see the
 * figures printed); a pause, a
 * play and every start are faded, so no step between samples exceeds 1.5
 * times the tone's own largest; a minute of play, resized 30 times beside a
 * busy process, has at most {@link #LATE_BLOCKS} breaks besides those at
 * times the machine was busy beyond the test's own load (see
 * {@link Stalls}), which break any player.
 */
abstract class RealSoundScenarios {
    /** Breaks allowed in the minute where the machine let the test's own thread run in time. */
    static final int LATE_BLOCKS = 1;
    /** A sample beyond this is sound; within it for {@link #QUIET_RUN} samples in a row, silence. */
    static final double SOUND = 300;
    static final double QUIET = 50;
    static final int QUIET_RUN = 64;
    /** The tone's own largest step between samples. */
    static final double OWN_STEP = Songs.PEAK * 2 * Math.PI * Songs.HZ / Songs.RATE;

    @TempDir
    Path dir;
    SoundServer server;

    /** Starts the program on {@code song} (the window opens it paused) and waits for its screen. */
    abstract void start(Path song) throws Exception;

    /** Whether the program starts paused (the window) rather than playing (the player). */
    abstract boolean startsPaused();

    /** Presses a key, "space", "[", "]" or "up"; returns the clock just before. */
    abstract long press(String key) throws Exception;

    /** What the program shows, as text. */
    abstract String screen() throws Exception;

    /** The {@code step}th of a series of resizes of the program's window or terminal. */
    abstract void resize(int step) throws Exception;

    /** What the screen says once the tempo went up a step from 1. */
    abstract String tempoUp();

    /** Quits (q, Ctrl+Q) and waits for the program to end; returns the milliseconds that took. */
    abstract long quit() throws Exception;

    /** Ends whatever of the program is left (after the test, also a failed one). */
    abstract void stop() throws Exception;

    /** Keeps a picture of the screen as {@code name}.png in $TAMBRINO_SOUND_SHOTS when that is set, to look at. */
    void shot(String name) throws Exception {}

    @BeforeEach
    void startServer() throws Exception {
        String missing = SoundServer.missing();
        Assumptions.assumeTrue(missing == null, missing);
        server = new SoundServer(dir.resolve("s"));
    }

    @AfterEach
    void stopAll() throws Exception {
        try {
            stop();
        } finally {
            if (server != null) {
                server.close();
            }
        }
    }

    String waitForScreen(Predicate<String> condition, String what, long millis) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        String s = screen();
        while (!condition.test(s)) {
            if (System.nanoTime() > deadline) {
                throw new AssertionError("the screen never showed " + what + ":\n" + s);
            }
            Thread.sleep(50);
            s = screen();
        }
        return s;
    }

    static boolean noSound(String screen) {
        return screen.toLowerCase(Locale.ROOT).contains("no sound");
    }

    /** Starts the song playing; returns the frame of its first sound in the recording. */
    int startPlaying(Path song) throws Exception {
        long t0 = System.nanoTime();
        start(song);
        Recording r = server.recording();
        int first;
        if (startsPaused()) {
            long t = press("space");
            first = r.awaitSound(t - 20_000_000L, SOUND, 10_000);
            assertTrue(first >= 0, "Space did not start the sound");
            System.out.printf(Locale.ROOT, "Space to sound, the first play of the song: %.0f ms%n",
                    (r.nanosAt(first) - t) / 1e6);
        } else {
            first = r.awaitSound(t0, SOUND, 30_000);
            assertTrue(first >= 0, "no sound");
        }
        return first;
    }

    @Test
    void aMinuteHeardThroughTheServerHasNoGapAndPauseAndPlayDoNotClick() throws Exception {
        startPlaying(Songs.tone(dir, 100));
        Recording r = server.recording();
        Thread.sleep(1000);

        // Pause and play, four times: how soon each is heard, and no click either way. As in the minute below, a
        // cut or a late key while the machine did not run the test's own thread in time is an underrun of a
        // starved process, reported and not counted.
        List<Double> toSilence = new ArrayList<>();
        List<Double> toSound = new ArrayList<>();
        double step = 0;
        int starved = 0;
        Stalls pauseStalls = new Stalls();
        for (int k = 0; k < 4; k++) {
            long pauseKey = press("space");
            Thread.sleep(700);
            long playKey = press("space");
            int sound = r.awaitSound(playKey - 20_000_000L, SOUND, 10_000);
            assertTrue(sound > 0, "play was not heard");
            Thread.sleep(700);
            r.awaitPlayed(playKey, 300);
            double[] x = r.samples();
            int silent = Recording.silence(x, r.frameAt(pauseKey - 20_000_000L), QUIET, QUIET_RUN);
            assertTrue(silent > 0 && silent < sound, "the pause was not heard");
            double silenceMs = (r.nanosAt(silent) - pauseKey) / 1e6;
            double soundMs = (r.nanosAt(sound) - playKey) / 1e6;
            // Where a cut would be: the 10 ms fade into the silence and out of it, and a little more.
            int near = Songs.RATE / 50;
            double here = Math.max(Recording.largestStep(x, silent - near, silent + QUIET_RUN),
                    Recording.largestStep(x, sound - QUIET_RUN, sound + near));
            boolean late = silenceMs >= 2000 || soundMs >= 2000;
            if (here >= 1.5 * OWN_STEP || late) {
                // The line holds up to a quarter of a second: a stall shows up to that much later.
                boolean explained = pauseStalls.explains(r.nanosAt(silent), 400)
                        || pauseStalls.explains(r.nanosAt(sound), 400);
                System.out.println((late ? "a late key" : "a click") + " near the pause at frame " + silent
                        + " or the play at frame " + sound + (explained ? ", while the machine was too busy" : "")
                        + ": " + Recording.around(x, silent - near, silent + QUIET_RUN, here) + " / "
                        + Recording.around(x, sound - QUIET_RUN, sound + near, here));
                if (explained) {
                    starved++;
                    continue;
                }
            }
            toSilence.add(silenceMs);
            toSound.add(soundMs);
            step = Math.max(step, here);
        }
        pauseStalls.close();
        System.out.println(starved + " of 4 pauses and plays fell while the machine was too busy ("
                + pauseStalls + ")");
        System.out.printf(Locale.ROOT, "pause, Space to silence: %s ms; play, Space to sound: %s ms;"
                + " largest step around them %.2f times the tone's own%n", whole(toSilence), whole(toSound),
                step / OWN_STEP);
        for (int k = 0; k < toSound.size(); k++) {
            assertTrue(toSilence.get(k) < 2000 && toSound.get(k) < 2000, "a key took two seconds to be heard");
        }
        assertTrue(step < 1.5 * OWN_STEP, "a click: a step of " + step + " where the tone's own is " + OWN_STEP);

        // A minute of play, resized every two seconds beside a process that keeps a core busy.
        Process busy = server.startProcess(List.of("sh", "-c", "while :; do :; done"), null, null);
        long from = System.nanoTime();
        Stalls stalls = new Stalls();
        try {
            for (int i = 0; i < 30; i++) {
                resize(i);
                long next = from + (i + 1) * 2_000_000_000L;
                Thread.sleep(Math.max(0, (next - System.nanoTime()) / 1_000_000));
            }
        } finally {
            stalls.close();
            SoundServer.end(busy);
        }
        long to = System.nanoTime();
        r.awaitPlayed(to, 100);
        Recording.Breaks minute = Recording.breaks(r.samples(), r.frameAt(from), r.frameAt(to), Songs.HZ, Songs.PEAK,
                0.05, Songs.RATE);
        List<Integer> ours = new ArrayList<>();
        for (int f : minute.events(Songs.RATE)) {
            // The line holds up to a quarter of a second: a stall shows as a gap up to that much later.
            if (!stalls.explains(r.nanosAt(f), 400)) {
                ours.add(f);
            }
        }
        System.out.printf(Locale.ROOT, "a minute with 30 resizes and a busy core: %d breaks, %d of them while the"
                + " machine was too busy (%s); %s%n", minute.events(Songs.RATE).size(),
                minute.events(Songs.RATE).size() - ours.size(), stalls, minute);
        assertTrue(ours.size() <= LATE_BLOCKS, "the sound broke at frames " + ours + " while the machine ran the"
                + " test's own thread in time: " + minute);

        // A loop of about a second, heard wrapping three times: no silence at the wraps.
        Stalls loopStalls = new Stalls();
        press("[");
        Thread.sleep(1000);
        long loopSet = press("]");
        Thread.sleep(3600);
        long loopEnd = System.nanoTime();
        loopStalls.close();
        r.awaitPlayed(loopEnd, 100);
        double[] x = r.samples();
        int a = r.frameAt(loopSet + 400_000_000L);
        int b = r.frameAt(loopEnd);
        Recording.Breaks loop = Recording.breaks(x, a, b, Songs.HZ, Songs.PEAK, 0.05, Songs.RATE);
        // A dip within a wrap's splice (20 ms) is the seam's business and is reported (the seam suite holds the
        // splice to its bounds); a longer silence is the output running dry at the wrap.
        List<Integer> ourGaps = new ArrayList<>();
        for (int i = 0; i < loop.gaps.size(); i++) {
            int f = loop.gaps.get(i);
            boolean withinSplice = i < loop.gapFrames.size() && loop.gapFrames.get(i) <= Songs.RATE / 50;
            if (!withinSplice && !loopStalls.explains(r.nanosAt(f), 400)) {
                ourGaps.add(f);
            }
        }
        System.out.printf(Locale.ROOT, "the loop's wraps: %d jumps in the tone, largest step %.2f times its own;"
                + " %d gaps (%s), %d of them longer than a splice while the machine ran the test in time%n",
                loop.jumps.size(), Recording.largestStep(x, a, b) / OWN_STEP, loop.gaps.size(), loop, ourGaps.size());
        assertTrue(ourGaps.isEmpty(), "silence at the loop's wrap at " + ourGaps + ": " + loop);

        long quit = quit();
        System.out.printf(Locale.ROOT, "quit took %d ms%n", quit);
    }

    @Test
    void theServerGoingAwayIsShownAndPlayComesBackWhereTheSoundStopped() throws Exception {
        int first = startPlaying(Songs.sweep(dir, 90));
        Recording r = server.recording();
        Thread.sleep(3000);

        // Gone mid-song: the screen says so, and keys still work.
        long killed = System.nanoTime();
        server.kill();
        double[] x = r.samples();
        int last = lastSound(x);
        // The pitch read over a tenth of a second tells the position at its middle.
        double stopped = Songs.sweepPosition(Songs.frequency(x, last - 4410, last)) + 0.05;
        waitForScreen(RealSoundScenarios::noSound, "that there is no sound", 10_000);
        shot("server-gone");
        System.out.printf(Locale.ROOT, "the server killed 3 s in: 'no sound' shown after %.0f ms, at %.2f s of the"
                + " song (first sound at frame %d)%n", (System.nanoTime() - killed) / 1e6, stopped, first);
        press("up");
        waitForScreen(s -> s.contains(tempoUp()), "the tempo up, the keys answering", 5000);
        Thread.sleep(1500);

        // Back: it plays on by itself, from where the sound stopped.
        long back = System.nanoTime();
        server.start();
        r = server.recording();
        int again = r.awaitSound(back, SOUND, 5000);
        assertTrue(again >= 0, "the sound did not come back with the server");
        r.awaitPlayed(r.nanosAt(again), 200);
        x = r.samples();
        double resumed = Songs.sweepPosition(Songs.frequency(x, again + 882, again + 882 + 4410)) - 0.07;
        System.out.printf(Locale.ROOT, "the server back: sound after %.0f ms, from %.2f s of the song%n",
                (r.nanosAt(again) - back) / 1e6, resumed);
        // Nothing skipped; what the line held when the server went is played again, no more.
        assertTrue(resumed > stopped - 0.5 && resumed < stopped + 0.05, "resumed at " + resumed + " s, stopped at "
                + stopped + " s");
        waitForScreen(s -> !noSound(s), "the sound back", 5000);
        shot("server-back");

        // Paused when it goes: paused when it is back, until play.
        press("space");
        Thread.sleep(500);
        server.kill();
        Thread.sleep(1000);
        server.start();
        r = server.recording();
        Thread.sleep(2500);
        assertTrue(Recording.onset(r.samples(), 0, SOUND) < 0, "the server's return started a paused song");
        long play = press("space");
        int played = r.awaitSound(play - 20_000_000L, SOUND, 3000);
        assertTrue(played >= 0, "play did not play after the server came back");
        System.out.printf(Locale.ROOT, "paused through the server's return, then Space to sound: %.0f ms%n",
                (r.nanosAt(played) - play) / 1e6);

        // A server that stops responding for four seconds: shown, and the sound comes back after.
        Thread freeze = new Thread(() -> {
            try {
                server.freeze(4000);
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        long frozen = System.nanoTime();
        freeze.start();
        waitForScreen(RealSoundScenarios::noSound, "that there is no sound while the server is frozen", 4000);
        System.out.printf(Locale.ROOT, "the server frozen: 'no sound' shown after %.0f ms%n",
                (System.nanoTime() - frozen) / 1e6);
        freeze.join();
        int thawed = r.frames();
        waitForScreen(s -> !noSound(s), "the sound back after the freeze", 8000);
        assertTrue(r.awaitSoundAfter(thawed + Songs.RATE, SOUND, 8000) >= 0, "no sound after the freeze");

        // Gone for good: quitting still ends the program at once.
        server.kill();
        waitForScreen(RealSoundScenarios::noSound, "that there is no sound", 10_000);
        long quit = quit();
        System.out.printf(Locale.ROOT, "quit with the server gone took %d ms%n", quit);
        assertTrue(quit < 5000, "quitting took " + quit + " ms");
    }

    private static int lastSound(double[] x) {
        int i = x.length - 1;
        while (i > 0 && Math.abs(x[i]) <= SOUND) {
            i--;
        }
        return i;
    }

    private static String whole(List<Double> ms) {
        StringBuilder sb = new StringBuilder();
        for (double m : ms) {
            sb.append(sb.length() == 0 ? "" : ", ").append(Math.round(m));
        }
        return sb.toString();
    }
}
