// Tests: the practice window under a virtual display.
package quorvel.tambrino.app;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.app.AppDriver.RATE;
import static quorvel.tambrino.app.AppDriver.onEdt;
import static quorvel.tambrino.app.AppDriver.run;

import java.awt.Color;
import java.awt.event.KeyEvent;
import java.awt.image.BufferedImage;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Properties;
import java.util.concurrent.CancellationException;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import javax.swing.JDialog;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.SongSettings;
import quorvel.tambrino.practice.SongStore;

/**
 * The practice window under a virtual display, driven through its
 * components: a generated song is opened, played, looped, slowed and
 * exported, and the results are checked as audio (what was heard, what was
 * exported) and as pictures (the waveform, the playhead); the markers must
 * survive a restart, and a bad file or a bad settings file must be reported.
 */
class PracticeWindowTest {
    @TempDir
    Path dir;

    @AfterEach
    void closeWindows() throws Exception {
        // A failed test must not leave its window, and the engine's session, to the next.
        AppDriver.closeAll();
    }

    @Test
    void playLoopSlowDownResizeAndExport() throws Exception {
        Path song = dir.resolve("song.wav");
        AppDriver.writeSong(song, 8);
        Path heard = dir.resolve("heard.wav");
        PracticeWindow w = AppDriver.open(heard, dir.resolve("config"));
        run(() -> w.frame().setSize(900, 600));
        AppDriver.openSong(w, song);
        assertEquals("song.wav \u2014 tambrino", onEdt(() -> w.frame().getTitle()));

        // The waveform is drawn: its colour fills a good part of the middle rows.
        // As a person looks again until the picture is there: a busy machine paints late.
        BufferedImage wave;
        int drawn;
        long until = System.nanoTime() + TimeUnit.SECONDS.toNanos(15);
        do {
            AppDriver.settle();
            wave = AppDriver.captureWaveform(w);
            drawn = 0;
            for (int x = 0; x < wave.getWidth(); x++) {
                if (new Color(wave.getRGB(x, wave.getHeight() / 2 - 5)).getBlue() > 180) {
                    drawn++;
                }
            }
        } while (drawn <= wave.getWidth() / 2 && System.nanoTime() < until);
        assertTrue(drawn > wave.getWidth() / 2, "waveform columns drawn: " + drawn + " of " + wave.getWidth());

        assertTrue(onEdt(() -> w.keyPressed(KeyEvent.VK_SPACE, ' ')), "space plays");
        Thread.sleep(1500);
        long playhead = onEdt(() -> w.waveform().playhead());
        assertTrue(playhead > RATE / 2, "the playhead moves: " + playhead);
        // Painted now, then captured: the line lies where the playhead was at
        // that paint or, painted again meanwhile, where it moved on to by the
        // capture (a loaded machine paints late, never early).
        int paintedAt = onEdt(() -> {
            w.waveform().paintImmediately(0, 0, w.waveform().getWidth(), w.waveform().getHeight());
            java.awt.Toolkit.getDefaultToolkit().sync();
            return w.waveform().xOf(w.waveform().playhead());
        });
        BufferedImage moved = AppDriver.captureWaveform(w);
        int capturedBy = onEdt(() -> w.waveform().xOf(w.waveform().playhead()));
        assertTrue(isPlayhead(moved, paintedAt, capturedBy),
                "the playhead is drawn where the music is, between x = " + paintedAt + " and " + capturedBy);
        assertEquals(45, KeyboardView.loudest(onEdt(() -> w.keyboard().spectrumCopy())), "the loudest note is A4");

        // Loop 2 s to 3 s at half speed, and resize the window all the while: the sound must not wait on it.
        run(() -> {
            w.setTempoPercent(50);
            w.setLoop(2 * RATE, 3 * RATE, true);
        });
        for (int i = 0; i < 30; i++) {
            int k = i;
            run(() -> w.frame().setSize(800 + (k % 5) * 60, 500 + (k % 3) * 50));
            Thread.sleep(60);
        }
        long at = onEdt(() -> w.playback().heardFrame());
        assertTrue(at >= 2 * RATE - RATE / 20 && at <= 3 * RATE + RATE / 20, "inside the loop: " + at);
        // A sound that waited on the window would run dry at every one of the thirty resizes; one late
        // block is left to the shared machine's scheduler.
        long dry = onEdt(() -> w.playback().underruns());
        System.out.println("the output ran dry " + dry + " times while the window was resized 30 times");
        assertTrue(dry <= 1, "the output ran dry " + dry + " times while the window was resized");

        // Export the loop at half speed: twice its length, same pitch.
        Path out = dir.resolve("loop slow.wav");
        long before = onEdt(() -> w.playback().heardFrame());
        String summary = onEdt(() -> w.export(out, true, null)).get(60, TimeUnit.SECONDS);
        assertTrue(summary.contains("tempo 0.5"), summary);
        int[] format = new int[2];
        short[] pcm = AppDriver.readWav(out, format);
        assertEquals(2 * RATE, pcm.length / format[1], RATE / 50, "the loop's second lasts two");
        assertEquals(440, AppDriver.frequency(pcm, 2, RATE, RATE / 4, 7 * RATE / 4), 3);
        // The song played on while the export wrote, on an engine of its own.
        assertNotNull(onEdt(w::playback));
        Thread.sleep(200);
        long after = onEdt(() -> w.playback().heardFrame());
        assertTrue(after != before, "the song stood still during the export: " + before + " -> " + after);
        if (quorvel.tambrino.audio.FfmpegWriter.available()) {
            // The export's other formats: Ogg Vorbis through ffmpeg, decoded back by ffmpeg.
            Path ogg = dir.resolve("loop slow.ogg");
            onEdt(() -> w.export(ogg, true, null)).get(60, TimeUnit.SECONDS);
            Path back = dir.resolve("ogg.wav");
            Process p = new ProcessBuilder("ffmpeg", "-v", "error", "-nostdin", "-i", ogg.toString(), "-c:a",
                    "pcm_s16le", "-bitexact", back.toString()).inheritIO().start();
            assertEquals(0, p.waitFor());
            short[] decoded = AppDriver.readWav(back, format);
            assertEquals(pcm.length, decoded.length, "the Ogg export lasts as the WAV one");
            assertEquals(440, AppDriver.frequency(decoded, 2, RATE, RATE / 4, 7 * RATE / 4), 3);
        }

        run(w::close);
        short[] played = AppDriver.readWav(heard, format);
        assertTrue(played.length / 2 > RATE, "what was heard is in the file: " + played.length / 2);
        assertEquals(440, AppDriver.frequency(played, 2, RATE, RATE / 10, RATE), 3);
    }

    private static boolean isPlayhead(BufferedImage img, int from, int to) {
        for (int xx = Math.max(0, from - 2); xx <= Math.min(img.getWidth() - 1, to + 2); xx++) {
            Color c = new Color(img.getRGB(xx, img.getHeight() / 4));
            if (c.getRed() > 200 && c.getGreen() < 120) {
                return true;
            }
        }
        return false;
    }

    @Test
    void markersLoopTempoAndKeySurviveARestartAndAMove() throws Exception {
        Path song = dir.resolve("take.wav");
        AppDriver.writeSong(song, 5);
        Path config = dir.resolve("config");
        PracticeWindow w = AppDriver.open(null, config);
        AppDriver.openSong(w, song);
        run(() -> {
            w.addMark(new SongSettings.Mark("bridge", 3 * RATE, -1));
            w.addMark(new SongSettings.Mark("hard bit = yes", RATE, 2 * RATE));
            w.setLoop(RATE / 2, 4 * RATE, true);
            w.setTempoPercent(70);
            w.soundControls().semitones.setValue(-2);
            w.soundControls().cents.setValue(5);
        });
        Thread.sleep(3 * PracticeWindow.REDRAW_MILLIS);
        assertEquals("key \u22122 st +5 ct", onEdt(w::keyText), "the top line shows the key");
        // Another song has its own key: the one it was left in, or the original.
        Path other = dir.resolve("other.wav");
        AppDriver.writeSong(other, 2);
        AppDriver.openSong(w, other);
        Thread.sleep(3 * PracticeWindow.REDRAW_MILLIS);
        assertEquals(0, onEdt(() -> w.soundControls().semitones.getValue()));
        assertEquals(0, onEdt(() -> w.soundControls().cents.getValue()));
        assertEquals(0f, onEdt(() -> w.playback().session().pitchShift()));
        assertEquals("original key", onEdt(w::keyText));
        run(w::close);

        Path moved = Files.createDirectories(dir.resolve("elsewhere")).resolve("renamed.wav");
        Files.move(song, moved);
        PracticeWindow again = AppDriver.open(null, config);
        AppDriver.openSong(again, moved);
        List<SongSettings.Mark> marks = onEdt(again::marks);
        assertEquals(2, marks.size());
        assertEquals("hard bit = yes", marks.get(0).name, "in the song's order");
        assertEquals(2 * RATE, marks.get(0).b);
        assertEquals("bridge", marks.get(1).name);
        assertEquals(3 * RATE, marks.get(1).a);
        long[] loop = onEdt(again::loop);
        assertEquals(RATE / 2, loop[0]);
        assertEquals(4 * RATE, loop[1]);
        assertEquals(0.7, onEdt(() -> again.playback().session().tempo()), 1e-9);
        assertEquals(-2, onEdt(() -> again.soundControls().semitones.getValue()));
        assertEquals(5, onEdt(() -> again.soundControls().cents.getValue()));
        assertEquals(-1.95f, onEdt(() -> again.playback().session().pitchShift()), 1e-6f);
        run(again::close);
    }

    @Test
    void badFilesAreReportedAndNothingBreaks() throws Exception {
        Path config = dir.resolve("config");
        Path song = dir.resolve("a.wav");
        AppDriver.writeSong(song, 2);
        Path songs = Files.createDirectories(config.resolve("songs"));
        Path kept = songs.resolve(quorvel.tambrino.practice.SongStore.key(song) + ".properties");
        Files.writeString(kept, "\u0000\u00ff garbage \\u12");

        // No output file and no sound card here: the window says so, and how to export instead.
        PracticeWindow w = AppDriver.open(null, config);
        String noAudio = onEdt(w::statusText);
        AppDriver.openSong(w, song);
        String status = onEdt(w::statusText);
        assertTrue(status.contains("could not be read") && status.contains(".bad"), status);
        assertTrue(Files.exists(songs.resolve(kept.getFileName() + ".bad")));
        assertFalse(Files.exists(kept));
        if (noAudio.contains("No audio output")) {
            assertTrue(noAudio.contains("--output-file") && noAudio.contains("Export"), noAudio);
        }

        Path text = dir.resolve("notes.wav");
        Files.writeString(text, "these are not sounds");
        try {
            onEdt(() -> w.open(text)).get(10, TimeUnit.SECONDS);
        } catch (java.util.concurrent.ExecutionException expected) {
            // Reported on the status line below.
        }
        String refused = onEdt(w::statusText);
        assertTrue(refused.startsWith("cannot open notes.wav: ") && !refused.contains("Exception"), refused);
        // The song that was open stays open.
        assertEquals("a.wav", onEdt(() -> w.song().name));
        run(w::close);
    }

    @Test
    void trainerPlaysTheLoopAtEachTempoAndACancelledExportWritesNothing() throws Exception {
        Path song = dir.resolve("solo.wav");
        AppDriver.writeSong(song, 4);
        PracticeWindow w = AppDriver.open(dir.resolve("heard.wav"), dir.resolve("config"));
        AppDriver.openSong(w, song);
        // A half-second loop at 50 % then 100 %: one second and half a second.
        run(() -> {
            w.setLoop(RATE, RATE + RATE / 2, true);
            w.startTrainer(0.5, 1.0, 0.5);
        });
        assertTrue(onEdt(w::statusText).startsWith("trainer: 2 passes of the loop"), onEdt(w::statusText));
        // What was heard, looked up afterwards at fixed points of the trainer's output (its first pass lasts
        // a second, the second half a second): how late the test looks on a busy machine does not matter.
        Playback trainer = onEdt(w::playback);
        assertTrue(AppDriver.await(() -> trainer.heardOutput() > RATE * 5 / 4, 15), "the second pass heard");
        for (long out : new long[] {RATE / 4, RATE * 3 / 4, RATE * 5 / 4}) {
            int pass = out < RATE ? 0 : 1;
            assertEquals(pass, trainer.stretcher().passAt(out), "the pass heard at output frame " + out);
            assertEquals(pass == 0 ? 0.5 : 1.0, trainer.stretcher().tempoAt(out), 1e-9, "its tempo");
            long in = trainer.stretcher().inputAt(out);
            assertTrue(in >= RATE && in < RATE + RATE / 2, "in the loop: " + in);
        }
        AppDriver.await(() -> w.statusText().equals("trainer finished"), 6);
        assertEquals("trainer finished", onEdt(w::statusText));

        Path out = dir.resolve("never.wav");
        CompletableFuture<String> export = onEdt(() -> w.export(out, false, dialog -> cancel(dialog)));
        assertThrows(CancellationException.class, () -> export.get(30, TimeUnit.SECONDS));
        assertFalse(Files.exists(out));
        try (var left = Files.list(dir)) {
            assertEquals(0, left.filter(f -> f.getFileName().toString().contains("never")).count());
        }
        assertTrue(onEdt(w::statusText).startsWith("export cancelled"), onEdt(w::statusText));
        run(w::close);
    }

    @Test
    void keysTypedTempoAndASecondSongWhilePlaying() throws Exception {
        Path first = dir.resolve("first.wav");
        Path second = dir.resolve("second.wav");
        AppDriver.writeSong(first, 6);
        AppDriver.writeSong(second, 3);
        PracticeWindow w = AppDriver.open(dir.resolve("heard.wav"), dir.resolve("config"));
        AppDriver.openSong(w, first);
        run(() -> w.keyPressed(KeyEvent.VK_SPACE, ' '));
        Thread.sleep(1200);
        // [ and ] set the loop where the music is heard, \ turns it off and keeps it.
        run(() -> w.keyPressed(KeyEvent.VK_OPEN_BRACKET, '['));
        Thread.sleep(500);
        run(() -> w.keyPressed(KeyEvent.VK_CLOSE_BRACKET, ']'));
        long[] loop = onEdt(w::loop);
        assertNotNull(loop);
        assertEquals(RATE / 2, loop[1] - loop[0], RATE / 5, "half a second between [ and ]");
        run(() -> w.keyPressed(KeyEvent.VK_BACK_SLASH, '\\'));
        assertNotNull(onEdt(w::loop));
        assertEquals(null, onEdt(() -> w.playback().transport().loop()), "the loop is off");
        // Up is 5 % faster; a typed value that is no tempo changes nothing and says what is wanted.
        run(() -> w.keyPressed(KeyEvent.VK_UP, (char) 0));
        assertEquals(1.05, onEdt(() -> w.playback().session().tempo()), 1e-9);
        run(() -> w.typeTempo("fast"));
        assertTrue(onEdt(w::statusText).contains("25 to 200"), onEdt(w::statusText));
        assertEquals(1.05, onEdt(() -> w.playback().session().tempo()), 1e-9);
        run(() -> w.typeTempo("80 %"));
        assertEquals(0.8, onEdt(() -> w.playback().session().tempo()), 1e-9);
        // A tempo typed to a tenth is kept (and exported) as typed, not as the slider rounds it.
        run(() -> w.typeTempo("87,5"));
        run(w::saveSong);
        Properties kept = new SongStore(dir.resolve("config")).load(SongStore.key(first)).values;
        assertEquals(0.875, SongSettings.of(kept, RATE, 6 * RATE).tempo, 1e-9);
        assertEquals("87.5", onEdt(() -> w.transportControls().tempoField.getText()));
        run(() -> w.keyPressed(KeyEvent.VK_F, 'f'));
        assertEquals(quorvel.tambrino.Quality.EXACT, onEdt(() -> w.playback().session().quality()));

        // A second song while the first plays: its position starts at its own start and moves on.
        AppDriver.openSong(w, second);
        assertEquals("second.wav \u2014 tambrino", onEdt(() -> w.frame().getTitle()));
        run(() -> w.keyPressed(KeyEvent.VK_SPACE, ' '));
        Thread.sleep(1000);
        long at = onEdt(() -> w.playback().heardFrame());
        assertTrue(at > RATE / 2 && at < 2 * RATE, "the second song plays from its start: " + at);
        assertTrue(onEdt(() -> w.playback().underruns()) <= 1);
        run(w::close);
    }

    /** Whether the meter and the keys show silence: no level, no note, no key lit. */
    private static boolean showsSilence(PracticeWindow w) throws Exception {
        return onEdt(() -> w.meterLevel() == 0 && KeyboardView.loudest(w.keyboard().spectrumCopy()) < 0
                && w.noteText().equals("loudest note: \u2013"));
    }

    @Test
    void whatIsShownIsWhatIsHeardAfterAPauseATrainerAndAnotherSong() throws Exception {
        Path song = dir.resolve("loud.wav");
        AppDriver.writeSong(song, 8);
        PracticeWindow w = AppDriver.open(dir.resolve("heard.wav"), dir.resolve("config"));
        AppDriver.openSong(w, song);
        run(() -> w.keyPressed(KeyEvent.VK_SPACE, ' '));
        Thread.sleep(1000);
        assertTrue(onEdt(() -> w.meterLevel() > 0.1f), "the meter moves while the song plays");
        assertEquals(45, KeyboardView.loudest(onEdt(() -> w.keyboard().spectrumCopy())));
        run(() -> w.keyPressed(KeyEvent.VK_SPACE, ' '));
        Thread.sleep(4 * PracticeWindow.REDRAW_MILLIS);
        assertTrue(showsSilence(w), "paused, the meter and the keys still show the last sound");

        // The trainer: its controls show each pass's tempo, and the song's own tempo after it.
        run(() -> {
            w.setTempoPercent(80);
            w.setLoop(RATE, RATE + RATE / 2, true);
            w.startTrainer(0.5, 1.0, 0.5);
        });
        // Shown while the first pass is heard (it lasts a second).
        assertTrue(AppDriver.await(() -> w.playback().heardOutput() > RATE / 10
                && w.transportControls().tempoSlider.getValue() == 50, 10), "the first pass's tempo shown");
        assertEquals("50", onEdt(() -> w.transportControls().tempoField.getText()));
        // Shown while the second pass is heard (half a second): waited for, not timed.
        assertTrue(AppDriver.await(() -> w.transportControls().tempoSlider.getValue() == 100, 10),
                "the second pass's tempo shown");
        AppDriver.await(() -> w.statusText().equals("trainer finished"), 10);
        Thread.sleep(3 * PracticeWindow.REDRAW_MILLIS);
        assertTrue(showsSilence(w), "after the trainer, the meter and the keys still show its last sound");
        assertEquals("80", onEdt(() -> w.transportControls().tempoField.getText()), "the song's tempo again");
        assertEquals(0.8, onEdt(() -> w.playback().session().tempo()), 1e-9);

        // Another song opened while this one plays: nothing of this one stays on the screen.
        run(() -> w.keyPressed(KeyEvent.VK_SPACE, ' '));
        Thread.sleep(600);
        Path other = dir.resolve("other.wav");
        AppDriver.writeSong(other, 3);
        AppDriver.openSong(w, other);
        // Looked at over a few redraws, as a person looks: the first song's last block may still be drawn once.
        boolean silent = showsSilence(w);
        for (long until = System.nanoTime() + 3_000_000_000L; !silent && System.nanoTime() < until; ) {
            Thread.sleep(PracticeWindow.REDRAW_MILLIS);
            silent = showsSilence(w);
        }
        assertTrue(silent, "another song opened, the meter and the keys still show the first");
        Thread.sleep(4 * PracticeWindow.REDRAW_MILLIS);
        assertTrue(showsSilence(w));
    }

    @Test
    void aSeekWhilePausedShowsAndPlaysFromWhereItWent() throws Exception {
        Path song = dir.resolve("chirp.wav");
        AppDriver.writeChirp(song, 12);
        Path heard = dir.resolve("heard.wav");
        PracticeWindow w = AppDriver.open(heard, dir.resolve("config"));
        AppDriver.openSong(w, song);
        // Paused at 4.0 s; then on 5 s, back 5 s, on 5 s: 9.0 s shown, and heard when played.
        run(() -> w.seek(4 * RATE));
        int[] keys = {KeyEvent.VK_RIGHT, KeyEvent.VK_LEFT, KeyEvent.VK_RIGHT};
        String[] wanted = {"0:09.0 / 0:12.0 at " + 9 * RATE, "0:04.0 / 0:12.0 at " + 4 * RATE,
            "0:09.0 / 0:12.0 at " + 9 * RATE};
        String[] what = {"on 5 s while paused", "back 5 s while paused", "on 5 s again while paused"};
        for (int i = 0; i < 3; i++) {
            int k = keys[i];
            run(() -> w.keyPressed(k, (char) 0));
            // The time is shown at the next redraw, late on a busy machine: waited for, then compared.
            String want = wanted[i];
            AppDriver.await(() -> (w.positionText() + " at " + w.waveform().playhead()).equals(want), 5);
            assertEquals(want, onEdt(() -> w.positionText() + " at " + w.waveform().playhead()), what[i]);
        }
        run(() -> w.keyPressed(KeyEvent.VK_SPACE, ' '));
        Thread.sleep(800);
        run(w::close);
        int[] format = new int[2];
        short[] played = AppDriver.readWav(heard, format);
        // The first fifth of a second heard, its middle at 0.1 s: 9.1 s of the song.
        double from = AppDriver.chirpSeconds(played, 2, RATE / 50, RATE / 50 + RATE / 5) - 0.12;
        assertEquals(9.0, from, 0.02, "play after the seeks starts where they went");
    }

    @Test
    void markersInTheSongsOrderEscapeCancelsAnExportAndNothingActsWithoutASong() throws Exception {
        PracticeWindow w = AppDriver.open(null, dir.resolve("config"));
        // Without a song, no control acts: every one is off.
        List<String> on = onEdt(() -> {
            List<String> found = new java.util.ArrayList<>();
            enabledControls(w.tabs(), found);
            return found;
        });
        assertEquals(List.of(), on, "controls on without a song");
        Path song = Files.createDirectories(dir.resolve("lessons")).resolve("scales.wav");
        // Long enough for its export to run while Escape is pressed.
        AppDriver.writeSong(song, 120);
        AppDriver.openSong(w, song);
        run(() -> {
            w.addMark(new SongSettings.Mark("third", 3 * RATE, -1));
            w.addMark(new SongSettings.Mark("first", RATE, -1));
            w.addMark(new SongSettings.Mark("second", 2 * RATE, -1));
        });
        assertEquals(List.of("first", "second", "third"), onEdt(() -> w.marks().stream().map(m -> m.name).toList()));
        assertTrue(onEdt(() -> w.markerControls().list.getModel().getElementAt(0)).startsWith("1   first"));
        run(() -> w.keyPressed(KeyEvent.VK_3, '3'));
        assertEquals(3 * RATE, onEdt(() -> w.waveform().playhead()), "3 goes to the third in the song's order");
        // Open recent names the folder too.
        String recent = onEdt(() -> {
            javax.swing.JMenu file = w.frame().getJMenuBar().getMenu(0);
            for (java.awt.Component c : file.getMenuComponents()) {
                if (c instanceof javax.swing.JMenu && ((javax.swing.JMenu) c).getText().equals("Open recent")) {
                    return ((javax.swing.JMenu) c).getItem(0).getText();
                }
            }
            return null;
        });
        assertTrue(recent.contains("scales.wav") && recent.contains("lessons"), recent);

        // Escape in the export's dialog cancels it: no file.
        Path out = dir.resolve("never.wav");
        JDialog[] shown = new JDialog[1];
        run(() -> w.setTempoPercent(50));
        // Escape as the dialog receives it, the moment it is shown: the export can end within a second, sooner
        // than a window manager hands a new dialog the keyboard, and a key sent later would prove nothing.
        CompletableFuture<String> export = onEdt(() -> w.export(out, false, d -> {
            shown[0] = d;
            javax.swing.SwingUtilities.invokeLater(() -> {
                javax.swing.JRootPane root = d.getRootPane();
                root.dispatchEvent(new KeyEvent(root, KeyEvent.KEY_PRESSED, System.currentTimeMillis(), 0,
                        KeyEvent.VK_ESCAPE, KeyEvent.CHAR_UNDEFINED));
            });
        }));
        assertThrows(CancellationException.class, () -> {
            try {
                export.get(30, TimeUnit.SECONDS);
            } catch (java.util.concurrent.ExecutionException e) {
                throw e.getCause();
            }
        });
        assertFalse(Files.exists(out));
    }

    private static void enabledControls(java.awt.Container c, List<String> found) {
        for (java.awt.Component k : c.getComponents()) {
            if ((k instanceof javax.swing.AbstractButton || k instanceof javax.swing.JSlider
                    || k instanceof javax.swing.text.JTextComponent || k instanceof javax.swing.JSpinner
                    || k instanceof javax.swing.JComboBox || k instanceof javax.swing.JList) && k.isEnabled()) {
                found.add(k instanceof javax.swing.AbstractButton ? ((javax.swing.AbstractButton) k).getText()
                        : k.getClass().getSimpleName());
            }
            if (k instanceof java.awt.Container && !(k instanceof javax.swing.JSpinner)) {
                enabledControls((java.awt.Container) k, found);
            }
        }
    }

    private static void cancel(java.awt.Container c) {
        for (java.awt.Component k : c.getComponents()) {
            if (k instanceof javax.swing.JButton && "Cancel".equals(((javax.swing.JButton) k).getText())) {
                ((javax.swing.JButton) k).doClick();
            } else if (k instanceof java.awt.Container) {
                cancel((java.awt.Container) k);
            }
        }
    }
}
