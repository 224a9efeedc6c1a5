// One audio output shared by the window's successive engines.
package quorvel.tambrino.app;

import quorvel.tambrino.audio.AudioSink;

/**
 * One audio output shared by the successive engines of a window (a new
 * song, the trainer started or stopped, after an export): each engine counts
 * what is heard from its own start, so the output's count is taken from
 * where it began. Closing it leaves the output open for the next engine.
 */
final class RebasedSink implements AudioSink {
    private final AudioSink out;
    private final long base;

    /** Drops what the output holds unheard and counts from there; the output plays (a new engine starts playing). */
    RebasedSink(AudioSink out) {
        this.out = out;
        out.resume();
        long kept = out.discardUnheard();
        long heard = out.heardFrames();
        this.base = kept >= 0 ? kept : Math.max(0, heard);
    }

    @Override
    public void write(byte[] bytes, int offset, int length) {
        out.write(bytes, offset, length);
    }

    @Override
    public void drain() {
        out.drain();
    }

    @Override
    public long heardFrames() {
        long h = out.heardFrames();
        return h < 0 ? -1 : Math.max(0, h - base);
    }

    @Override
    public void pause() {
        out.pause();
    }

    @Override
    public void resume() {
        out.resume();
    }

    @Override
    public long discardUnheard() {
        long kept = out.discardUnheard();
        return kept < 0 ? -1 : Math.max(0, kept - base);
    }

    @Override
    public String trouble() {
        return out.trouble();
    }

    @Override
    public void retry() {
        out.retry();
    }

    @Override
    public void close() {
        // The output outlives the engine.
    }
}
