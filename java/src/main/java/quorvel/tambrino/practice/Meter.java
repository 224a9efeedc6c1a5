package quorvel.tambrino.practice;

import quorvel.tambrino.Session;

/**
 * The level and spectrum of every block by the output frames it made, so
 * that the meter shows the block being heard rather than the one read
 * ahead. The streaming thread adds blocks and cuts off those discarded
 * unheard; the screen looks up. Fixed arrays: nothing allocated per block.
 */
public final class Meter implements Stretcher.BlockListener {
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
    public synchronized void cut(long out) {
        long oldest = Math.max(0, added - BLOCKS);
        while (added > oldest && start[(int) ((added - 1) % BLOCKS)] >= out) {
            added--;
        }
    }

    /** The level of the block heard at output frame {@code out}, its spectrum into {@code into}. */
    public synchronized float at(long out, float[] into) {
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
    public synchronized boolean clipped(long from, long to) {
        for (long k = added - 1; k >= Math.max(0, added - BLOCKS); k--) {
            int i = (int) (k % BLOCKS);
            if (start[i] < to && end[i] > from && level[i] >= 1.0f) {
                return true;
            }
        }
        return false;
    }
}
