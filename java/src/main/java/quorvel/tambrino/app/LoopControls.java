// The practice window's loop: its two ends, on or off, set by the waveform, the keys and the nudge buttons.
package quorvel.tambrino.app;

import javax.swing.JCheckBox;
import quorvel.tambrino.practice.Playback;
import quorvel.tambrino.practice.Terminal;

/**
 * The loop (A to B, in frames of the song) and whether it plays: chosen by
 * dragging over the waveform, by [ and ] where the music is heard, or from a
 * kept loop; its ends nudged and the waveform zoomed to it. It tells the
 * engine and the waveform. Event dispatch thread only.
 */
final class LoopControls {
    static final double NUDGE_SECONDS = 0.05;
    private final PracticeWindow w;
    final JCheckBox loopBox = new JCheckBox("Loop");
    private long loopA = -1;
    private long loopB = -1;

    LoopControls(PracticeWindow w) {
        this.w = w;
        Controls.byKeyboard(loopBox);
        loopBox.addActionListener(e -> setOn(loopBox.isSelected()));
    }

    /** Whether a loop is chosen: both ends ([ alone sets only its start). */
    boolean hasLoop() {
        return loopA >= 0 && loopB > loopA;
    }

    boolean on() {
        return loopBox.isSelected();
    }

    long a() {
        return loopA;
    }

    long b() {
        return loopB;
    }

    /** No loop (a new song). */
    void clear() {
        loopA = -1;
        loopB = -1;
    }

    /** No loop any more (an undo back to before the first). */
    void remove() {
        clear();
        loopBox.setSelected(false);
        Playback p = w.playback();
        if (p != null && !w.trainerRunning()) {
            p.transport().clearLoop();
        }
        w.waveform().setLoopShown(-1, -1, false);
        w.saveSongSoon();
    }

    void set(long a, long b, boolean on) {
        Song song = w.song();
        if (song == null || !(b > a)) {
            return;
        }
        loopA = Math.max(0, a);
        loopB = Math.min(song.frames(), b);
        loopBox.setSelected(on);
        Playback p = w.playback();
        if (p != null && !w.trainerRunning()) {
            if (on) {
                p.setLoop(loopA, loopB);
            } else {
                p.transport().clearLoop();
            }
        }
        w.waveform().setLoopShown(loopA, loopB, on);
        w.saveSongSoon();
    }

    void setOn(boolean on) {
        if (!hasLoop()) {
            loopBox.setSelected(false);
            w.status("drag over the waveform, or press [ and ], to choose the loop first");
            return;
        }
        set(loopA, loopB, on);
    }

    /** [ : the loop starts where the music is heard. */
    void startHere() {
        Playback p = w.playback();
        Song song = w.song();
        loopA = p.heardFrame();
        loopB = loopB > loopA ? loopB : -1;
        if (loopB < 0) {
            if (!w.trainerRunning()) {
                // As in the terminal: a start after the loop's end leaves no loop until ] sets one.
                p.transport().loopFrom(loopA);
            }
            loopBox.setSelected(false);
            w.waveform().setLoopShown(loopA, loopA + 1, false);
            w.status("loop starts at " + Terminal.tenths((double) loopA / song.sampleRate) + "; ] sets its end");
        } else {
            set(loopA, loopB, loopBox.isSelected());
        }
    }

    /** ] : the loop ends where the music is heard, and plays from its start. */
    void endHere() {
        long b = w.playback().heardFrame();
        long a = loopA >= 0 ? loopA : 0;
        if (b > a) {
            set(a, b, true);
            w.seek(a);
        }
    }

    void nudge(boolean start, double seconds) {
        Song song = w.song();
        if (!hasLoop() || song == null) {
            return;
        }
        long d = Math.round(seconds * song.sampleRate);
        long a = start ? Math.min(loopB - 1, loopA + d) : loopA;
        long b = start ? loopB : Math.max(loopA + 1, loopB + d);
        set(a, b, loopBox.isSelected());
    }

    void zoomToLoop() {
        if (hasLoop() && w.song() != null) {
            long margin = (loopB - loopA) / 10;
            w.waveform().setView(loopA - margin, loopB + margin);
        }
    }
}
