// Every command of the practice window with its keys, grouped as its menus show them.
package quorvel.tambrino.app;

import static java.awt.event.InputEvent.CTRL_DOWN_MASK;
import static java.awt.event.InputEvent.SHIFT_DOWN_MASK;

import java.awt.event.KeyEvent;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.function.BooleanSupplier;
import javax.swing.KeyStroke;
import quorvel.tambrino.practice.Playback;

/**
 * The window's commands, each once, with its keys: the menus are built from
 * them, the Help window lists them, and {@link Keys} finds the one a key
 * press asks for. The terminal player's keys keep their meaning here.
 * Event dispatch thread only.
 */
final class Commands {
    /** The menus in order: each a name and its commands, null where a separator goes. */
    final Map<String, List<Command>> menus = new LinkedHashMap<>();
    /** The go-to commands of markers 1 to 9. */
    final Command[] goTo = new Command[9];
    private final List<Command> all = new ArrayList<>();

    Commands(PracticeWindow w) {
        BooleanSupplier song = () -> w.song() != null;
        BooleanSupplier loop = () -> w.loopControls().hasLoop();
        // The trainer sets the tempo while it runs.
        BooleanSupplier tempo = () -> w.song() != null && !w.trainerRunning();
        LoopControls l = w.loopControls();
        menu("File",
                cmd("Open\u2026", "Open a song", w::chooseFile, null, ctrl(KeyEvent.VK_O)).global(),
                null,
                cmd("Export the loop\u2026", "Write the loop with these settings to a WAV file",
                        () -> w.chooseExport(true), null, ctrlShift(KeyEvent.VK_E)).when(loop),
                cmd("Export the whole song\u2026", "Write the song with these settings to a WAV file",
                        () -> w.chooseExport(false), null, ctrl(KeyEvent.VK_E)).when(song),
                null,
                cmd("Quit", "Close the window", w::close, null, ctrl(KeyEvent.VK_Q)).global());
        menu("Edit",
                cmd("Undo", "Take back the last change of the loop, the markers or the settings", w::undo, null,
                        ctrl(KeyEvent.VK_Z)).when(() -> w.history().canUndo())
                        .named(() -> w.history().canUndo() ? "Undo " + w.history().undoName() : "Undo"),
                cmd("Redo", "Make the change taken back again", w::redo, null, ctrlShift(KeyEvent.VK_Z),
                        ctrl(KeyEvent.VK_Y)).when(() -> w.history().canRedo())
                        .named(() -> w.history().canRedo() ? "Redo " + w.history().redoName() : "Redo"));
        menu("Play",
                cmd("Play / pause", "Play or pause", w::togglePause, null, key(KeyEvent.VK_SPACE)).when(song),
                cmd("Back 5 s", "5 seconds back", () -> w.seekBy(-Playback.SEEK_SECONDS), null,
                        key(KeyEvent.VK_LEFT)).when(song),
                cmd("On 5 s", "5 seconds on", () -> w.seekBy(Playback.SEEK_SECONDS), null,
                        key(KeyEvent.VK_RIGHT)).when(song),
                cmd("Back 1 s", "1 second back", () -> w.seekBy(-1), null,
                        shift(KeyEvent.VK_LEFT)).when(song),
                cmd("On 1 s", "1 second on", () -> w.seekBy(1), null, shift(KeyEvent.VK_RIGHT)).when(song),
                cmd("To the loop's start", "To the loop's start, or the song's", w::toLoopStart, null,
                        key(KeyEvent.VK_HOME)).when(song),
                null,
                cmd("Faster 5 %", "Tempo 5 % up", () -> w.stepTempo(5), null, key(KeyEvent.VK_UP)).when(tempo),
                cmd("Slower 5 %", "Tempo 5 % down", () -> w.stepTempo(-5), null, key(KeyEvent.VK_DOWN)).when(tempo),
                cmd("Faster 1 %", "Tempo 1 % up", () -> w.stepTempo(1), null, shift(KeyEvent.VK_UP)).when(tempo),
                cmd("Slower 1 %", "Tempo 1 % down", () -> w.stepTempo(-1), null,
                        shift(KeyEvent.VK_DOWN)).when(tempo),
                cmd("Start or stop the trainer", "The speed trainer: the loop or the song at rising tempos",
                        w::toggleTrainer, "t").when(song),
                null,
                cmd("Key up a semitone", "Transpose up a semitone (fine quality)", () -> w.transpose(1, 0),
                        "+=").when(song),
                cmd("Key down a semitone", "Transpose down a semitone (fine quality)", () -> w.transpose(-1, 0),
                        "-").when(song),
                cmd("Key up 5 cents", "Transpose up 5 cents (fine quality)", () -> w.transpose(0, 5), ".")
                        .when(song),
                cmd("Key down 5 cents", "Transpose down 5 cents (fine quality)", () -> w.transpose(0, -5), ",")
                        .when(song),
                null,
                cmd("Voice removal", "Remove the centred voice (stereo)", w::toggleVoice, "v").when(song)
                        .ticked(w::voiceOn),
                cmd("Mono", "Fold the sound to mono", w::toggleMono, "m").when(song).ticked(w::monoOn),
                cmd("Exact quality", "Fine: the smoothest sound; exact: the same result bit for bit",
                        w::toggleQuality, "f").when(song).ticked(w::exactOn));
        menu("Loop",
                cmd("Loop", "Loop on or off", () -> l.setOn(!l.on()), "l").when(song).ticked(l::on),
                cmd("Loop starts here", "The loop's start where the music is", l::startHere, "[").when(song),
                cmd("Loop ends here", "The loop's end where the music is (and back to its start)", l::endHere, "]")
                        .when(song),
                cmd("Loop off", "Loop off; the loop is kept", () -> l.setOn(false), "\\").when(song),
                null,
                cmd("Start earlier", "The loop's start 50 ms earlier",
                        () -> l.nudge(true, -LoopControls.NUDGE_SECONDS), null, ctrl(KeyEvent.VK_LEFT)).when(loop),
                cmd("Start later", "The loop's start 50 ms later", () -> l.nudge(true, LoopControls.NUDGE_SECONDS),
                        null, ctrl(KeyEvent.VK_RIGHT)).when(loop),
                cmd("End earlier", "The loop's end 50 ms earlier", () -> l.nudge(false, -LoopControls.NUDGE_SECONDS),
                        null, ctrlShift(KeyEvent.VK_LEFT)).when(loop),
                cmd("End later", "The loop's end 50 ms later", () -> l.nudge(false, LoopControls.NUDGE_SECONDS),
                        null, ctrlShift(KeyEvent.VK_RIGHT)).when(loop),
                null,
                cmd("Snap to zero crossings", "Ends set by hand move to where the wave rises through zero: no click",
                        () -> {
                            l.snapBox.setSelected(!l.snapBox.isSelected());
                            w.saveSongSoon();
                        }, null).when(song).ticked(l.snapBox::isSelected));
        List<Command> marks = new ArrayList<>();
        marks.add(cmd("Add a marker here", "A named marker where the music is", w::addMarkerHere, null,
                ctrl(KeyEvent.VK_M)).when(song));
        marks.add(cmd("Keep the loop", "Keep the loop under a name, to loop it again later", w::keepLoop, null,
                ctrl(KeyEvent.VK_K)).when(loop));
        marks.add(null);
        for (int i = 0; i < goTo.length; i++) {
            int n = i;
            goTo[i] = cmd("Go to marker " + (i + 1), "Go to the marker, or loop the kept loop, numbered " + (i + 1),
                    () -> w.goToMarker(n), String.valueOf(i + 1)).when(() -> w.markerCount() > n);
            marks.add(goTo[i]);
        }
        menu("Markers", marks.toArray(new Command[0]));
        menu("View",
                cmd("Zoom in", "Show less of the song, wider", () -> w.zoom(0.5), null, ctrl(KeyEvent.VK_EQUALS),
                        ctrl(KeyEvent.VK_ADD), ctrlShift(KeyEvent.VK_EQUALS)).when(song),
                cmd("Zoom out", "Show more of the song", () -> w.zoom(2), null, ctrl(KeyEvent.VK_MINUS),
                        ctrl(KeyEvent.VK_SUBTRACT)).when(song),
                cmd("Zoom to the loop", "Show the loop across the waveform", l::zoomToLoop, null,
                        ctrl(KeyEvent.VK_L)).when(loop),
                cmd("Whole song", "Show the whole song", () -> w.waveform().setView(0, 0), null,
                        ctrl(KeyEvent.VK_0)).when(song),
                cmd("Scroll left", "The part of the song before the one shown", () -> w.scrollView(-0.5), null,
                        key(KeyEvent.VK_PAGE_UP)).when(song),
                cmd("Scroll right", "The part of the song after the one shown", () -> w.scrollView(0.5), null,
                        key(KeyEvent.VK_PAGE_DOWN)).when(song));
        menu("Help",
                cmd("Keys and mouse\u2026", "Every key and mouse gesture of the window", w::showHelp, null,
                        key(KeyEvent.VK_F1)).global(),
                cmd("Messages\u2026", "The messages of the status line so far", w::showMessages, null),
                null,
                cmd("About tambrino", "The version, and the engine and platform it runs on", w::showAbout, null));
    }

    private static KeyStroke key(int code) {
        return KeyStroke.getKeyStroke(code, 0);
    }

    private static KeyStroke shift(int code) {
        return KeyStroke.getKeyStroke(code, SHIFT_DOWN_MASK);
    }

    private static KeyStroke ctrl(int code) {
        return KeyStroke.getKeyStroke(code, CTRL_DOWN_MASK);
    }

    private static KeyStroke ctrlShift(int code) {
        return KeyStroke.getKeyStroke(code, CTRL_DOWN_MASK | SHIFT_DOWN_MASK);
    }

    private Command cmd(String name, String help, Runnable action, String typed, KeyStroke... keys) {
        Command c = new Command(name, help, action, typed, keys);
        all.add(c);
        return c;
    }

    private void menu(String name, Command... commands) {
        menus.put(name, java.util.Arrays.asList(commands));
    }

    /** The command this key press asks for, or null; while a field is edited, only those that act there. */
    Command find(int code, int modifiers, char ch, boolean editing) {
        for (Command c : all) {
            if ((!editing || c.global) && c.matches(code, modifiers, ch)) {
                return c;
            }
        }
        return null;
    }

    /** Brings every command's enabled and ticked state up to date. */
    void refresh() {
        for (Command c : all) {
            c.refresh();
        }
    }

    List<Command> all() {
        return all;
    }
}
