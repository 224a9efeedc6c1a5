// Notes when the machine kept the test's own work from running, so that breaks then are reported, not counted.
package quorvel.tambrino.sound;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/**
 * When the machine was too busy for any player: a thread that asks to run
 * every 2 ms notes the times it was kept waiting {@link #LONG_NANOS} or
 * more, and the times the kernel had more than three runnable tasks per
 * processor ({@code procs_running} in /proc/stat; the test's own load, a
 * busy process, the player, the sound server and its recorder, stays well
 * under that). A break in the sound then is the machine's, not the
 * program's under test: no buffer of a practice player's size rides out
 * other programs holding the processors.
 */
final class Stalls implements AutoCloseable {
    static final long LONG_NANOS = 50_000_000L;

    private final List<long[]> stalls = new ArrayList<>();
    private final int most = 3 * Runtime.getRuntime().availableProcessors();
    private final Thread probe;
    private volatile boolean done;
    private int overloaded;

    Stalls() {
        probe = new Thread(() -> {
            long last = System.nanoTime();
            long busySince = -1;
            for (int n = 0; !done; n++) {
                try {
                    Thread.sleep(2);
                } catch (InterruptedException e) {
                    return;
                }
                long now = System.nanoTime();
                if (now - last >= LONG_NANOS) {
                    add(last, now);
                }
                if (n % 10 == 0) {
                    boolean busy = running() > most;
                    if (busy && busySince < 0) {
                        busySince = now;
                    } else if (!busy && busySince >= 0) {
                        add(busySince, now);
                        busySince = -1;
                        overloaded++;
                    }
                }
                last = now;
            }
            if (busySince >= 0) {
                add(busySince, System.nanoTime());
                overloaded++;
            }
        }, "stalls");
        probe.setDaemon(true);
        probe.start();
    }

    private static int running() {
        try {
            for (String line : Files.readAllLines(Path.of("/proc/stat"))) {
                if (line.startsWith("procs_running ")) {
                    return Integer.parseInt(line.substring(14).trim());
                }
            }
        } catch (IOException | NumberFormatException e) {
            // Not Linux: only the stalls count.
        }
        return 0;
    }

    private void add(long from, long to) {
        synchronized (stalls) {
            stalls.add(new long[] {from, to});
        }
    }

    /** Whether the machine was too busy within the {@code beforeMillis} before {@code nanos} (or just after). */
    boolean explains(long nanos, long beforeMillis) {
        synchronized (stalls) {
            for (long[] s : stalls) {
                if (s[0] <= nanos + 50_000_000L && s[1] + beforeMillis * 1_000_000L >= nanos) {
                    return true;
                }
            }
        }
        return false;
    }

    @Override
    public String toString() {
        synchronized (stalls) {
            long stalled = 0;
            for (long[] s : stalls) {
                stalled += s[1] - s[0];
            }
            return stalls.size() + " busy spells (" + overloaded + " with more than " + most
                    + " runnable tasks), " + stalled / 1_000_000 + " ms in all";
        }
    }

    @Override
    public void close() {
        done = true;
        try {
            probe.join(1000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
