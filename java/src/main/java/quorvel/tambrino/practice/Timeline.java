package quorvel.tambrino.practice;

/**
 * Which input frame, trainer pass and tempo lie under each frame of a
 * stretched stream that jumps (seeks, loops, passes) and changes its tempo as
 * it goes. Reading runs ahead of what is heard, so whatever the screen and
 * the summary say about "now" is looked up here by the frame being heard.
 *
 * <p>The stream is kept as pieces: one per contiguous read of the input,
 * placed where the block that took it put it in the output, with the block's
 * stretch. The streaming thread adds pieces and cuts off those after a point
 * whose output was discarded; any thread may look up. Fixed arrays, so the
 * streaming thread allocates nothing here.
 */
public final class Timeline {
    private static final int PIECES = 1024;
    private final double[] outStart = new double[PIECES];
    private final long[] inStart = new long[PIECES];
    private final int[] length = new int[PIECES];
    private final double[] stretch = new double[PIECES];
    private final int[] pass = new int[PIECES];
    private final long first;
    private final long last;
    /** Pieces ever added, less those cut off; piece {@code k} lives at {@code k % PIECES}. */
    private long added;
    /** Pieces already counted in the tempos heard. */
    private long folded;
    private double slowest = Double.NaN;
    private double fastest = Double.NaN;
    private double latest = Double.NaN;

    /** @param first, last the input frames that a lookup may return (the passage's first and last) */
    public Timeline(long first, long last) {
        this.first = first;
        this.last = Math.max(first, last);
    }

    /** Input frames {@code from .. from + frames} are heard from output frame {@code out}, {@code stretch} per frame. */
    public synchronized void add(double out, long from, int frames, double stretch, int pass) {
        int i = (int) (added % PIECES);
        outStart[i] = out;
        inStart[i] = from;
        length[i] = frames;
        this.stretch[i] = stretch;
        this.pass[i] = pass;
        added++;
    }

    /** Forgets the pieces from output frame {@code out} on: that output was discarded before it was heard. */
    public synchronized void cut(long out) {
        long oldest = Math.max(0, added - PIECES);
        while (added > Math.max(oldest, folded) && outStart[(int) ((added - 1) % PIECES)] >= out) {
            added--;
        }
    }

    /** The newest piece that starts at or before output frame {@code out}, or -1 before any. */
    private int pieceAt(long out) {
        long oldest = Math.max(0, added - PIECES);
        for (long k = added - 1; k >= oldest; k--) {
            int i = (int) (k % PIECES);
            if (outStart[i] <= out) {
                return i;
            }
        }
        return added > oldest ? (int) (oldest % PIECES) : -1;
    }

    /** The input frame heard at output frame {@code out}. */
    public synchronized long inputAt(long out) {
        int i = pieceAt(out);
        if (i < 0) {
            return first;
        }
        double offset = Math.max(0, Math.min(length[i], (out - outStart[i]) / stretch[i]));
        return Math.max(first, Math.min(last, inStart[i] + Math.round(offset)));
    }

    /** The trainer's pass heard at output frame {@code out} (0 = the first). */
    public synchronized int passAt(long out) {
        int i = pieceAt(out);
        return i < 0 ? 0 : pass[i];
    }

    /** The tempo played at output frame {@code out}, NaN before any output. */
    synchronized double tempoAt(long out) {
        int i = pieceAt(out);
        return i < 0 ? Double.NaN : 1 / stretch[i];
    }

    /**
     * Counts the pieces heard before output frame {@code heard} in the
     * tempos played ({@code Long.MAX_VALUE}: all of them). Call it as the
     * output is heard, at least every few hundred pieces, and once at the end.
     */
    public synchronized void heard(long heard) {
        for (long k = Math.max(folded, added - PIECES); k < added; k++) {
            int i = (int) (k % PIECES);
            if (outStart[i] >= heard) {
                break;
            }
            folded = k + 1;
            if (length[i] == 0) {
                // A marker, not output.
                continue;
            }
            double t = 1 / stretch[i];
            slowest = Double.isNaN(slowest) ? t : Math.min(slowest, t);
            fastest = Double.isNaN(fastest) ? t : Math.max(fastest, t);
            latest = t;
        }
    }

    /** The slowest, fastest and latest tempos heard, as played; NaN before any. */
    public synchronized double[] tempos() {
        return new double[] {slowest, fastest, latest};
    }
}
