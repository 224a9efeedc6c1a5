// The practice window's undo and redo: the song's loops, markers and settings as they were before each change.
package quorvel.tambrino.app;

import java.util.ArrayDeque;
import java.util.Deque;
import java.util.Properties;
import quorvel.tambrino.practice.SongSettings;

/**
 * What the song's kept state was before each change, to go back to (undo)
 * and forth again (redo): the loop, the markers, the tempo, the key, the
 * trainer and the sound, all of it in each step, so that a step back
 * restores exactly what was there. Changes of one kind in quick succession
 * (a key held, a run of nudges) make one step. A new change drops what
 * could be redone. Event dispatch thread only.
 */
final class History {
    private static final int KEPT = 200;
    private static final long MERGE_NANOS = 400_000_000L;

    private static final class Step {
        final String what;
        final SongSettings state;

        Step(String what, SongSettings state) {
            this.what = what;
            this.state = state;
        }
    }

    private final Deque<Step> undo = new ArrayDeque<>();
    private final Deque<Step> redo = new ArrayDeque<>();
    private long lastNanos;

    void clear() {
        undo.clear();
        redo.clear();
    }

    /** The song's state went from {@code before} to {@code after} (positions at {@code rate}). */
    void changed(SongSettings before, SongSettings after, int rate) {
        String what = difference(before.toProperties(rate), after.toProperties(rate));
        if (what == null) {
            return;
        }
        long now = System.nanoTime();
        redo.clear();
        if (!undo.isEmpty() && undo.peek().what.equals(what) && now - lastNanos < MERGE_NANOS) {
            lastNanos = now;
            return;
        }
        undo.push(new Step(what, before));
        while (undo.size() > KEPT) {
            undo.removeLast();
        }
        lastNanos = now;
    }

    boolean canUndo() {
        return !undo.isEmpty();
    }

    boolean canRedo() {
        return !redo.isEmpty();
    }

    /** What an undo would take back ("the loop"), or null. */
    String undoName() {
        return undo.isEmpty() ? null : undo.peek().what;
    }

    String redoName() {
        return redo.isEmpty() ? null : redo.peek().what;
    }

    /** The state before the last change; {@code now} becomes what a redo brings back. */
    SongSettings undo(SongSettings now) {
        Step s = undo.pop();
        redo.push(new Step(s.what, now));
        lastNanos = 0;
        return s.state;
    }

    SongSettings redo(SongSettings now) {
        Step s = redo.pop();
        undo.push(new Step(s.what, now));
        lastNanos = 0;
        return s.state;
    }

    /** What differs, in words: "the tempo", "the loop", "the markers", "the key", "the trainer", "the sound", or "the settings" for several; null for nothing. */
    static String difference(Properties a, Properties b) {
        String found = null;
        java.util.Set<String> keys = new java.util.TreeSet<>(a.stringPropertyNames());
        keys.addAll(b.stringPropertyNames());
        for (String k : keys) {
            if (java.util.Objects.equals(a.getProperty(k), b.getProperty(k))) {
                continue;
            }
            String what = k.equals("tempo") ? "the tempo" : k.startsWith("loop") ? "the loop"
                    : k.startsWith("mark.") ? "the markers" : k.equals("semitones") || k.equals("cents") ? "the key"
                    : k.equals("trainer") ? "the trainer" : "the sound";
            if (found != null && !found.equals(what)) {
                return "the settings";
            }
            found = what;
        }
        return found;
    }
}
