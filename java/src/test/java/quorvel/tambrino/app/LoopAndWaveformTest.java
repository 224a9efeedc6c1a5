// The practice window's loop and waveform as a musician works them: typed ends, snaps, nudges, a gap, exports, zoom.
package quorvel.tambrino.app;

import static java.awt.event.KeyEvent.VK_A;
import static java.awt.event.KeyEvent.VK_CONTROL;
import static java.awt.event.KeyEvent.VK_ENTER;
import static java.awt.event.KeyEvent.VK_EQUALS;
import static java.awt.event.KeyEvent.VK_F2;
import static java.awt.event.KeyEvent.VK_MINUS;
import static java.awt.event.KeyEvent.VK_PAGE_DOWN;
import static java.awt.event.KeyEvent.VK_RIGHT;
import static java.awt.event.KeyEvent.VK_0;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.app.AppDriver.RATE;
import static quorvel.tambrino.app.AppDriver.click;
import static quorvel.tambrino.app.AppDriver.onEdt;
import static quorvel.tambrino.app.AppDriver.press;
import static quorvel.tambrino.app.AppDriver.run;
import static quorvel.tambrino.app.AppDriver.type;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The loop made precise (its ends typed, snapped to rising zero crossings,
 * nudged), the gap between its repeats measured in what is heard and in an
 * export of it repeated, the waveform zoomed and scrolled by keys and wheel
 * down to single samples, its ruler's times where they belong, and a marker
 * renamed: keys and clicks for real, results as audio.
 */
class LoopAndWaveformTest {
    @TempDir
    Path dir;

    @AfterEach
    void closeWindows() throws Exception {
        AppDriver.closeAll();
    }

    private static long[] loop(PracticeWindow w) throws Exception {
        return onEdt(w::loop);
    }

    /** Whether the song's mix rises through zero at {@code frame}. */
    private static boolean risesThroughZero(short[] pcm, long frame) {
        return pcm[(int) (frame - 1) * 2] + pcm[(int) (frame - 1) * 2 + 1] < 0
                && pcm[(int) frame * 2] + pcm[(int) frame * 2 + 1] >= 0;
    }

    @Test
    void theLoopsEndsTypedSnappedAndNudgedAndAMarkerRenamed() throws Exception {
        Path song = dir.resolve("etude.wav");
        AppDriver.writeChirp(song, 8);
        PracticeWindow w = AppDriver.open(null, dir.resolve("config"), false);
        AppDriver.openSong(w, song);
        AppDriver.focus(w);
        short[] pcm = onEdt(() -> w.song().pcm);
        LoopControls l = onEdt(w::loopControls);
        // Typed: seconds, then m:ss.sss; each end snapped to a rising zero crossing within 10 ms.
        click(l.aField);
        type("1.5");
        press(VK_ENTER);
        click(l.bField);
        press(VK_CONTROL, VK_A);
        type("0:02.750");
        press(VK_ENTER);
        long[] typed = loop(w);
        assertEquals(1.5 * RATE, typed[0], RATE / 100.0, "A typed");
        assertEquals(2.75 * RATE, typed[1], RATE / 100.0, "B typed");
        assertTrue(risesThroughZero(pcm, typed[0]) && risesThroughZero(pcm, typed[1]), "both ends on a rising zero");
        assertEquals(LoopControls.time(typed[0], RATE), onEdt(() -> l.aField.getText()), "A shown where it went");
        // Ctrl+right: A 50 ms later, snapped again.
        press(VK_CONTROL, VK_RIGHT);
        long nudged = loop(w)[0];
        assertEquals(typed[0] + RATE / 20, nudged, RATE / 100.0, "A nudged by 50 ms");
        assertTrue(risesThroughZero(pcm, nudged));
        // Without snapping, a typed time is taken to the sample.
        run(() -> l.snapBox.doClick());
        click(l.aField);
        press(VK_CONTROL, VK_A);
        type("1.25");
        press(VK_ENTER);
        assertEquals(Math.round(1.25 * RATE), loop(w)[0], "A exactly where typed");
        // A time that makes no loop is refused and said so; the loop stays.
        click(l.bField);
        press(VK_CONTROL, VK_A);
        type("1.0");
        press(VK_ENTER);
        assertEquals(Math.round(1.25 * RATE), loop(w)[0]);
        assertTrue(onEdt(w::statusText).startsWith("B: the loop's end must come after its start"),
                onEdt(w::statusText));

        // A marker renamed in the list with F2: the dialog asks, the list shows the new name.
        run(() -> w.addMark(new quorvel.tambrino.practice.SongSettings.Mark("marker at 0:03.0", 3 * RATE, -1)));
        run(() -> w.tabs().setSelectedIndex(w.tabs().indexOfTab("Markers")));
        click(onEdt(() -> w.markerControls().list), 10, 5);
        press(VK_F2);
        javax.swing.JDialog ask = AppDriver.dialogOf(w.frame());
        assertTrue(ask != null, "F2 asks for the name");
        AppDriver.focusWindow(ask);
        press(VK_CONTROL, VK_A);
        type("Cadenza");
        press(VK_ENTER);
        assertEquals("Cadenza", onEdt(() -> w.marks().get(0).name));
        assertTrue(onEdt(() -> w.markerControls().list.getModel().getElementAt(0)).contains("Cadenza"));
    }

    /** The frames where the sound starts again after at least a tenth of a second of silence. */
    private static List<Integer> onsets(short[] pcm, int channels) {
        List<Integer> found = new ArrayList<>();
        int quiet = 0;
        int window = RATE / 200;
        for (int i = 0; i + window <= pcm.length / channels; i += window) {
            int peak = 0;
            for (int k = i; k < i + window; k++) {
                peak = Math.max(peak, Math.abs(pcm[k * channels]));
            }
            if (peak < 300) {
                quiet += window;
            } else {
                if (quiet >= RATE / 10 || found.isEmpty() && i == 0) {
                    found.add(i);
                }
                quiet = 0;
            }
        }
        return found;
    }

    @Test
    void aGapBetweenRepeatsIsHeardAndExportedWithTheLoopRepeated() throws Exception {
        Path song = dir.resolve("run.wav");
        AppDriver.writeChirp(song, 6);
        Path heard = dir.resolve("heard.wav");
        PracticeWindow w = AppDriver.open(heard, dir.resolve("config"));
        AppDriver.openSong(w, song);
        // Half a second looped with a second of silence between: a repeat every 1.5 s, heard.
        run(() -> {
            w.loopControls().snapBox.setSelected(false);
            w.setLoop(RATE, RATE + RATE / 2, true);
            w.loopControls().gap.setValue(1.0);
            w.seek(RATE);
            w.togglePause();
        });
        AppDriver.await(() -> w.playback().heardOutput() > 4 * RATE, 20);
        run(w::togglePause);
        int[] format = new int[2];
        // Export the loop three times at half speed, half a second between: 3 x 1 s + 2 x 0.5 s.
        run(() -> {
            w.setTempoPercent(50);
            w.loopControls().gap.setValue(0.5);
            w.loopControls().repeats.setValue(3);
        });
        Path out = dir.resolve("three times.wav");
        String summary = onEdt(() -> w.export(out, true, null)).get(60, TimeUnit.SECONDS);
        run(w::close);

        short[] played = AppDriver.readWav(heard, format);
        List<Integer> starts = onsets(played, 2);
        assertTrue(starts.size() >= 3, "repeats heard: " + starts);
        for (int i = 1; i < 3; i++) {
            assertEquals(1.5 * RATE, starts.get(i) - starts.get(i - 1), RATE / 50.0, "a repeat every 1.5 s: " + starts);
            // Each repeat starts at the loop's start: 1.0 s of the rising tone.
            double at = AppDriver.chirpSeconds(played, 2, starts.get(i) + RATE / 20, starts.get(i) + RATE / 4);
            assertEquals(1.0 + 0.15, at, 0.03, "where the repeat starts in the song");
        }

        short[] exported = AppDriver.readWav(out, format);
        assertEquals(4.0 * RATE, exported.length / 2, RATE / 50.0, summary);
        List<Integer> parts = onsets(exported, 2);
        assertEquals(3, parts.size(), "three repeats exported: " + parts);
        for (int i = 0; i < 3; i++) {
            assertEquals(1.5 * RATE * i, parts.get(i), RATE / 50.0, "a repeat every 1.5 s: " + parts);
            double at = AppDriver.chirpSeconds(exported, 2, parts.get(i) + RATE / 10, parts.get(i) + RATE / 2);
            // At half speed the middle of 0.1 to 0.5 s is 0.15 s into the loop, heard at the song's pitch.
            assertEquals(1.15, at, 0.03, "repeat " + (i + 1) + " at the loop's start and the song's pitch");
        }
    }

    @Test
    void theWaveformZoomsAndScrollsToSingleSamplesAndItsRulerTellsTheTime() throws Exception {
        Path song = dir.resolve("long.wav");
        AppDriver.writeSong(song, 60);
        PracticeWindow w = AppDriver.open(null, dir.resolve("config"));
        AppDriver.openSong(w, song);
        AppDriver.focus(w);
        WaveformView v = onEdt(w::waveform);
        run(() -> w.seek(30 * RATE));
        press(VK_CONTROL, VK_EQUALS);
        long[] view = onEdt(() -> new long[] {v.viewFrom(), v.viewTo()});
        assertEquals(30 * RATE, view[1] - view[0], RATE / 100.0, "Ctrl+= shows half");
        assertTrue(view[0] < 30 * RATE && view[1] > 30 * RATE, "around the playhead");
        assertTrue(onEdt(() -> w.scrollBar().isVisible() && w.scrollBar().getVisibleAmount() > 0));
        press(VK_PAGE_DOWN);
        assertEquals(view[0] + 15 * RATE, onEdt(v::viewFrom), RATE / 100.0, "Page Down scrolls half a view");
        assertEquals(onEdt(v::viewFrom), onEdt(() -> (long) w.scrollBar().getValue()), RATE / 100.0,
                "the scroll bar follows");
        press(VK_CONTROL, VK_MINUS);
        press(VK_CONTROL, VK_MINUS);
        assertFalse(onEdt(v::zoomed), "Ctrl+- back to the whole song");
        // Ctrl and the wheel zoom where the pointer is: the frame under it stays under it.
        int x = onEdt(() -> v.getWidth() / 3);
        long under = onEdt(() -> v.frameAt(x));
        click(v, x, onEdt(v::getHeight) / 2);
        java.awt.Robot r = AppDriver.robot();
        r.keyPress(VK_CONTROL);
        for (int i = 0; i < 60; i++) {
            r.mouseWheel(-1);
        }
        r.keyRelease(VK_CONTROL);
        AppDriver.settle();
        assertEquals(under, onEdt(() -> v.frameAt(x)), onEdt(() -> (double) (v.viewTo() - v.viewFrom()) / 50),
                "the frame under the pointer stays");
        // Down to single samples, drawn as such, and no further.
        assertEquals(onEdt(v::minView), onEdt(() -> v.viewTo() - v.viewFrom()), "down to eight pixels a sample");
        run(() -> v.paintImmediately(0, 0, v.getWidth(), v.getHeight()));
        r.mouseWheel(3);
        AppDriver.settle();
        assertTrue(onEdt(v::viewFrom) > under - onEdt(v::minView), "the wheel scrolls");
        // The ruler's times lie where those times are, at any zoom.
        for (long[] shown : new long[][] {{0, 60 * RATE}, {10 * RATE, 13 * RATE}, {RATE, RATE + RATE / 50}}) {
            List<WaveformView.Label> labels = onEdt(() -> {
                v.setView(shown[0], shown[1]);
                v.paintImmediately(0, 0, v.getWidth(), v.getHeight());
                return v.labels();
            });
            int ticks = 0;
            for (WaveformView.Label l : labels) {
                if (l.text.matches("\\d+:\\d\\d(\\.\\d+)?")) {
                    double t = quorvel.tambrino.practice.Passage.parseTime(l.text);
                    int at = onEdt(() -> v.xOf(Math.round(t * RATE)));
                    assertEquals(at + 3, l.bounds.x, 2, l.text + " at its time");
                    ticks++;
                }
            }
            assertTrue(ticks >= 3, "ticks on the ruler: " + ticks);
        }
        press(VK_CONTROL, VK_0);
        assertFalse(onEdt(v::zoomed), "Ctrl+0 shows the whole song");
    }
}
