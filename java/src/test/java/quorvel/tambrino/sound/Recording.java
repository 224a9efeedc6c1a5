// What a private sound server's sink played, recorded from its monitor on the test's clock.
package quorvel.tambrino.sound;

import java.io.IOException;
import java.io.InputStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * What the sound server's sink played, as it played it: parec's 16-bit
 * stereo read as it arrives, each read stamped with the clock, so that any
 * sample can be put on the test's clock (a key press, a kill) and any moment
 * found among the samples.
 *
 * <p>The monitor hands each sample over some time after the sink played it;
 * the smallest such delay over all reads, taken as none, puts sample
 * {@code n} at {@code origin + n / rate}: no later than it was heard, and
 * late by at most that smallest delay (a few milliseconds with parec's
 * 10 ms fragments). The analyses below read the left channel.
 */
final class Recording {
    private final Process parec;
    private final int rate;
    private final Thread reader;
    private short[] left = new short[1 << 20];
    private int frames;
    /** The smallest (arrival - frames / rate) over all reads, in nanoseconds. */
    private long origin = Long.MAX_VALUE;

    Recording(Process parec, int rate) {
        this.parec = parec;
        this.rate = rate;
        reader = new Thread(this::read, "recording");
        reader.setDaemon(true);
        reader.start();
    }

    private void read() {
        byte[] buf = new byte[1 << 14];
        int carry = 0;
        try (InputStream in = parec.getInputStream()) {
            int n;
            while ((n = in.read(buf, carry, buf.length - carry)) > 0) {
                long now = System.nanoTime();
                int have = carry + n;
                int whole = have / 4;
                synchronized (this) {
                    if (frames + whole > left.length) {
                        left = Arrays.copyOf(left, Math.max(left.length * 2, frames + whole));
                    }
                    for (int i = 0; i < whole; i++) {
                        left[frames + i] = (short) ((buf[4 * i] & 0xff) | (buf[4 * i + 1] << 8));
                    }
                    frames += whole;
                    origin = Math.min(origin, now - Math.round(frames * 1e9 / rate));
                    notifyAll();
                }
                carry = have - whole * 4;
                System.arraycopy(buf, whole * 4, buf, 0, carry);
            }
        } catch (IOException e) {
            // The server went away: the recording ends here.
        }
    }

    /** Stops recording (parec ends with the server, or here). */
    void end() throws InterruptedException {
        if (parec.isAlive()) {
            SoundServer.end(parec);
        }
        reader.join(5000);
    }

    synchronized int frames() {
        return frames;
    }

    /** The left channel recorded so far. */
    synchronized double[] samples() {
        double[] x = new double[frames];
        for (int i = 0; i < frames; i++) {
            x[i] = left[i];
        }
        return x;
    }

    /** When sample {@code frame} was played, on {@link System#nanoTime()}'s clock. */
    synchronized long nanosAt(double frame) {
        return origin + Math.round(frame * 1e9 / rate);
    }

    /** The sample played at {@code nanos} (it may lie beyond what has arrived). */
    synchronized int frameAt(long nanos) {
        return (int) Math.max(0, Math.floorDiv((nanos - origin) * rate, 1_000_000_000L));
    }

    /** Waits until the samples played up to {@code nanos} (and {@code extraMillis} more) have arrived. */
    void awaitPlayed(long nanos, long extraMillis) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
        synchronized (this) {
            while (origin == Long.MAX_VALUE || frames < frameAt(nanos) + extraMillis * rate / 1000) {
                long left = deadline - System.nanoTime();
                if (left <= 0 || !reader.isAlive()) {
                    throw new AssertionError("the recording stopped at " + frames + " frames");
                }
                wait(Math.max(1, Math.min(100, left / 1_000_000)));
            }
        }
    }

    /**
     * Waits until sound (a sample beyond {@code threshold}) arrives, played
     * at or after {@code fromNanos}; returns its frame, or -1 after
     * {@code millis}.
     */
    int awaitSound(long fromNanos, double threshold, long millis) throws InterruptedException {
        return awaitSound(fromNanos, -1, threshold, millis);
    }

    /** As {@link #awaitSound(long, double, long)}, from frame {@code from} on. */
    int awaitSoundAfter(int from, double threshold, long millis) throws InterruptedException {
        return awaitSound(0, from, threshold, millis);
    }

    private int awaitSound(long fromNanos, int fromFrame, double threshold, long millis)
            throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        int from = fromFrame;
        synchronized (this) {
            while (true) {
                if (from < 0 && origin != Long.MAX_VALUE) {
                    from = frameAt(fromNanos);
                }
                if (from >= 0) {
                    for (int i = from; i < frames; i++) {
                        if (Math.abs(left[i]) > threshold) {
                            return i;
                        }
                    }
                    from = Math.max(from, frames);
                }
                long wait = deadline - System.nanoTime();
                if (wait <= 0 || !reader.isAlive() && from >= frames) {
                    return -1;
                }
                wait(Math.max(1, Math.min(50, wait / 1_000_000)));
            }
        }
    }

    // ---- measures on samples ----

    /** The first sample at or after {@code from} whose magnitude exceeds {@code threshold}; -1 when none. */
    static int onset(double[] x, int from, double threshold) {
        for (int i = Math.max(0, from); i < x.length; i++) {
            if (Math.abs(x[i]) > threshold) {
                return i;
            }
        }
        return -1;
    }

    /** The first of {@code run} samples in a row, at or after {@code from}, all within ±threshold; -1 when none. */
    static int silence(double[] x, int from, double threshold, int run) {
        int quiet = 0;
        for (int i = Math.max(0, from); i < x.length; i++) {
            quiet = Math.abs(x[i]) <= threshold ? quiet + 1 : 0;
            if (quiet == run) {
                return i - run + 1;
            }
        }
        return -1;
    }

    /** The largest difference between neighbouring samples in [from, to). */
    static double largestStep(double[] x, int from, int to) {
        double most = 0;
        for (int i = Math.max(1, from); i < Math.min(to, x.length); i++) {
            most = Math.max(most, Math.abs(x[i] - x[i - 1]));
        }
        return most;
    }

    /** The samples either side of the first step of {@code step} or more in [from, to), for a message. */
    static String around(double[] x, int from, int to, double step) {
        for (int i = Math.max(1, from); i < Math.min(to, x.length); i++) {
            if (Math.abs(x[i] - x[i - 1]) >= step) {
                StringBuilder sb = new StringBuilder("at " + i + ":");
                for (int k = Math.max(0, i - 8); k < Math.min(x.length, i + 8); k++) {
                    sb.append(' ').append(Math.round(x[k]));
                }
                return sb.toString();
            }
        }
        return "none";
    }

    /** Where a sine of {@code hz} breaks in [from, to): runs of silence and jumps in its course. */
    static final class Breaks {
        /** Starting frames of silent runs of a millisecond's eighth or more. */
        final List<Integer> gaps = new ArrayList<>();
        /** Their lengths in frames. */
        final List<Integer> gapFrames = new ArrayList<>();
        /** Frames where the course of the sine jumps by more than the tolerance. */
        final List<Integer> jumps = new ArrayList<>();
        /** The largest departure from the sine's course seen, in sample steps. */
        double worst;

        /** Where the sound broke: gaps and jumps, one frame for those within 50 ms of each other. */
        List<Integer> events(int rate) {
            List<Integer> all = new ArrayList<>(gaps);
            all.addAll(jumps);
            all.sort(null);
            List<Integer> events = new ArrayList<>();
            for (int f : all) {
                if (events.isEmpty() || f - events.get(events.size() - 1) > rate / 20) {
                    events.add(f);
                }
            }
            return events;
        }

        @Override
        public String toString() {
            return gaps.size() + " gaps at " + gaps + " (frames " + gapFrames + "), " + jumps.size() + " jumps at "
                    + jumps + ", worst " + Math.round(worst);
        }
    }

    /**
     * Finds the breaks in a steady sine of {@code hz} and peak
     * {@code amplitude}: a run of at least {@code rate / 8000} samples
     * within 2 % of the amplitude of zero (the sine passes zero in one or
     * two), and a sample off the sine's own course (each sample of a sine is
     * {@code 2 cos(w)} times the last less the one before) by more than
     * {@code tolerance}, a fraction of the amplitude; one break is reported
     * once, not for every sample of it.
     */
    static Breaks breaks(double[] x, int from, int to, double hz, double amplitude, double tolerance, int rate) {
        Breaks b = new Breaks();
        double c = 2 * Math.cos(2 * Math.PI * hz / rate);
        int run = Math.max(3, rate / 8000);
        int quiet = 0;
        int lastJump = -rate;
        for (int i = Math.max(1, from); i + 1 < Math.min(to, x.length); i++) {
            boolean silent = Math.abs(x[i]) <= 0.02 * amplitude;
            if (!silent && quiet >= run) {
                b.gapFrames.add(quiet);
            }
            quiet = silent ? quiet + 1 : 0;
            if (quiet == run) {
                b.gaps.add(i - run + 1);
            }
            double off = Math.abs(x[i + 1] - c * x[i] + x[i - 1]);
            b.worst = Math.max(b.worst, off);
            if (off > tolerance * amplitude) {
                if (i - lastJump > rate / 100) {
                    b.jumps.add(i);
                }
                lastJump = i;
            }
        }
        return b;
    }
}
