// Ends the tool on SIGINT, SIGTERM and SIGHUP with a message and exit 1, and no partial file.
package quorvel.tambrino.cli;

import java.io.OutputStream;
import java.io.PrintStream;
import java.lang.reflect.Proxy;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.OutputFiles;
import quorvel.tambrino.practice.Terminal;

/**
 * What the tool does when it is told to stop: Ctrl-C (SIGINT), SIGTERM and
 * SIGHUP end it as a write error does, with one message on standard error
 * that says what became of each output, and exit 1. Unfinished files are
 * removed and the previous ones stay; a recording keeps what was heard. In
 * the interactive player Ctrl-C is a key like q instead, and a second one
 * ends the process as above.
 *
 * <p>SIGPIPE is left as the Java runtime has it, ignored: a reader that goes
 * away shows as a failed write, which ends the run quietly with exit 1.
 *
 * <p>The handlers run on threads of their own, whichever thread was working.
 */
final class Interrupts {
    private Interrupts() {}

    /** Set once by whichever decides the exit first: a signal, or the run itself ending. */
    private static final AtomicBoolean ENDING = new AtomicBoolean();
    private static final AtomicInteger QUIT_PRESSES = new AtomicInteger();
    private static volatile Runnable quit;
    private static volatile Runnable beforeMessage;
    private static volatile boolean signalled;

    /**
     * Takes over the signals that end the process, where the runtime lets it.
     * The runtime's signal API (jdk.unsupported) is reached by reflection,
     * so that a runtime without it keeps its defaults.
     */
    static void install() {
        for (String name : new String[] {"INT", "TERM", "HUP"}) {
            try {
                Class<?> signal = Class.forName("sun.misc.Signal");
                Class<?> handler = Class.forName("sun.misc.SignalHandler");
                Object h = Proxy.newProxyInstance(Interrupts.class.getClassLoader(), new Class<?>[] {handler},
                        (proxy, method, args) -> {
                            switch (method.getName()) {
                                case "handle":
                                    signalled(name);
                                    return null;
                                case "hashCode":
                                    return System.identityHashCode(proxy);
                                case "equals":
                                    return proxy == args[0];
                                default:
                                    return "tambrino's SIG" + name + " handler";
                            }
                        });
                signal.getMethod("handle", signal, handler)
                        .invoke(null, signal.getConstructor(String.class).newInstance(name), h);
            } catch (ReflectiveOperationException | RuntimeException | LinkageError e) {
                // A system without the signal, or a runtime that keeps it (-Xrs): its default stays.
            }
        }
    }

    /**
     * While an interactive program runs: Ctrl-C calls {@code onCtrlC} (a
     * quit key) instead, and before the message of a signal that ends the
     * process {@code restore} gives the terminal back, so that the message
     * is seen. Null for both ends it.
     */
    static void interactive(Runnable onCtrlC, Runnable restore) {
        QUIT_PRESSES.set(0);
        quit = onCtrlC;
        beforeMessage = restore;
    }

    /**
     * Ends the process with the run's own code, unless a signal came first: then its handler is already
     * saying what became of the outputs and ends with exit 1, and a summary's exit 0 must not overtake it.
     */
    static void exit(int code) {
        if (ENDING.compareAndSet(false, true)) {
            System.exit(code);
        }
        while (true) {
            try {
                Thread.sleep(Long.MAX_VALUE);
            } catch (InterruptedException ignored) {
                // Only the handler's exit ends this thread.
            }
        }
    }

    private static void signalled(String name) {
        Runnable q = quit;
        if (name.equals("INT") && q != null && QUIT_PRESSES.getAndIncrement() == 0) {
            q.run();
            return;
        }
        if (!ENDING.compareAndSet(false, true)) {
            if (!signalled) {
                // The run had finished and is on its way out with its own code: that code stands.
                return;
            }
            // Told again while ending (a recording that cannot be finished, say): at once.
            Runtime.getRuntime().halt(CliException.EXIT_FILE);
        }
        signalled = true;
        Runnable restore = beforeMessage;
        if (restore != null) {
            try {
                restore.run();
            } catch (RuntimeException ignored) {
                // The terminal may be gone (SIGHUP); the message is still due.
            }
        }
        // The message is the last word: the threads still working (a batch's jobs, their status line) say
        // nothing more, neither their progress nor the failures that the removed files cause them.
        boolean statusLine = Terminal.stderr().enabled();
        Terminal.silence();
        PrintStream err = System.err;
        PrintStream nowhere = new PrintStream(OutputStream.nullOutputStream());
        System.setErr(nowhere);
        System.setOut(nowhere);
        List<String> outputs = OutputFiles.abandon();
        String what = name.equals("INT") ? "interrupted" : name.equals("TERM") ? "terminated" : "hung up";
        // A status line (a progress bar, a meter, ^C) is cleared first, so that the message stands alone.
        err.print(statusLine ? "\r\033[K" : "");
        err.println("tambrino: " + what + " (SIG" + name + ")"
                + (outputs.isEmpty() ? "" : ": " + String.join("; ", outputs)));
        err.flush();
        System.exit(CliException.EXIT_FILE);
    }
}
