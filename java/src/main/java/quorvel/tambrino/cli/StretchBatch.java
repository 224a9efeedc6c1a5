// Several inputs stretched into one folder at once, each by an engine of its own.
package quorvel.tambrino.cli;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.function.Consumer;
import java.util.function.DoubleConsumer;
import quorvel.tambrino.audio.CliException;
import quorvel.tambrino.audio.InputFile;
import quorvel.tambrino.audio.OutputFiles;
import quorvel.tambrino.practice.Terminal;

/**
 * Several inputs stretched into one folder at once, each by a job with an
 * engine of its own, on a pool of threads. A job that fails is reported with
 * the input's name and the others finish. The progress of all of them is one
 * status line; each summary, note and failure is printed whole as it comes.
 */
final class StretchBatch {
    /** The most jobs at once: each holds an engine and a file's buffers. */
    static final int MAX_JOBS = 256;

    /** One input into one output, from any thread; failures are {@link CliException}s. */
    interface Job {
        List<String> stretch(Path input, Path output, DoubleConsumer progress, Consumer<String> notes);
    }

    private final List<Path> inputs;
    private final List<Path> outputs;
    private final Path outDir;
    private final int jobs;
    private final Terminal terminal;

    // Guarded by this: what the status line shows, and the notes already said.
    private final double[] progress;
    private int done;
    private int running;
    private int failed;
    private final Set<String> said = new HashSet<>();

    StretchBatch(List<Path> inputs, List<Path> outputs, Path outDir, int jobs, Terminal terminal) {
        this.inputs = inputs;
        this.outputs = outputs;
        this.outDir = outDir;
        this.jobs = Math.max(1, Math.min(jobs, inputs.size()));
        this.terminal = terminal;
        this.progress = new double[inputs.size()];
    }

    /**
     * Where each input goes in {@code outDir}: its name with .wav instead of
     * its extension. Refused before any work: standard input among the
     * inputs, two inputs with one output, an output that is one of the
     * inputs, a folder that is a file.
     */
    static List<Path> outputs(List<Path> inputs, Path outDir) {
        OutputFiles.checkFolder(outDir, "--out-dir");
        Map<Path, Path> taken = new HashMap<>();
        Set<Object> inputFiles = new HashSet<>();
        List<Path> outputs = new ArrayList<>();
        for (Path in : inputs) {
            if (InputFile.isStdio(in.toString())) {
                throw CliException.usage("'-' (standard input) cannot be one of the inputs of --out-dir: name"
                        + " the files, or stretch standard input alone with 'stretch - OUT.wav'");
            }
            Path name = in.getFileName();
            if (name == null) {
                throw CliException.usage(in + " names no file to stretch");
            }
            String base = name.toString();
            int dot = base.lastIndexOf('.');
            Path out = outDir.resolve((dot > 0 ? base.substring(0, dot) : base) + ".wav");
            Path before = taken.put(out.normalize(), in);
            if (before != null) {
                throw CliException.usage(before + " and " + in + " would both be written to " + out
                        + "; stretch them into different folders");
            }
            outputs.add(out);
            Object key = fileKey(in);
            if (key != null) {
                inputFiles.add(key);
            }
        }
        for (int i = 0; i < outputs.size(); i++) {
            Object key = fileKey(outputs.get(i));
            if (key != null && inputFiles.contains(key)) {
                throw CliException.usage(outputs.get(i) + " is an input: writing " + inputs.get(i)
                        + " there would replace it; choose another --out-dir");
            }
        }
        return outputs;
    }

    /** What identifies a file whatever its name (links and hard links alike); null when it does not exist. */
    private static Object fileKey(Path p) {
        try {
            BasicFileAttributes a = Files.readAttributes(p, BasicFileAttributes.class);
            return a.fileKey() != null ? a.fileKey() : p.toRealPath();
        } catch (IOException e) {
            return null;
        }
    }

    /** Runs every job; returns 0 when all succeeded, else the exit code of the first input that failed. */
    int run(Job job) {
        // An engine that cannot load fails every job alike: said once.
        Tambrino.openEngine();
        OutputFiles.makeFolders(outDir);
        long start = System.nanoTime();
        int[] codes = new int[inputs.size()];
        ExecutorService pool = Executors.newFixedThreadPool(jobs, r -> {
            Thread t = new Thread(r, "tambrino-stretch");
            // Ctrl-C ends the run at once; the outputs' clean-up removes what is unfinished.
            t.setDaemon(true);
            return t;
        });
        try {
            List<Future<?>> futures = new ArrayList<>();
            for (int i = 0; i < inputs.size(); i++) {
                int index = i;
                futures.add(pool.submit(() -> codes[index] = one(job, index)));
            }
            for (Future<?> f : futures) {
                f.get();
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw CliException.quiet(CliException.EXIT_FILE);
        } catch (ExecutionException e) {
            // one() reports every failure itself.
            throw new IllegalStateException(e.getCause());
        } finally {
            pool.shutdownNow();
            // A folder made for outputs of which none was written goes again.
            OutputFiles.removeMadeFolders();
        }
        terminal.clear();
        double seconds = (System.nanoTime() - start) / 1e9;
        List<String> failures = new ArrayList<>();
        int code = 0;
        for (int i = 0; i < codes.length; i++) {
            if (codes[i] != 0) {
                failures.add(inputs.get(i).toString());
                code = code == 0 ? codes[i] : code;
            }
        }
        if (code == 0) {
            System.out.println(String.format(Locale.ROOT, "%d file%s stretched into %s in %.2f s, %d at a time",
                    inputs.size(), inputs.size() == 1 ? "" : "s", outDir, seconds, jobs));
        } else {
            System.err.println("tambrino: " + failures.size() + " of " + inputs.size() + " inputs failed: "
                    + String.join(", ", failures));
        }
        return code;
    }

    /** One job, its failure reported by name; its exit code. */
    private int one(Job job, int index) {
        Path in = inputs.get(index);
        synchronized (this) {
            running++;
            draw(true);
        }
        List<String> lines = null;
        String failure = null;
        int code = 0;
        try {
            lines = job.stretch(in, outputs.get(index), p -> advance(index, p), this::note);
        } catch (CliException e) {
            code = e.exitCode;
            failure = e.getMessage() != null ? e.getMessage() : "the reader of " + outputs.get(index) + " went away";
        } catch (LinkageError e) {
            CliException c = CliException.engineNotLoaded(e);
            code = c.exitCode;
            failure = c.getMessage();
        } catch (RuntimeException | Error e) {
            code = CliException.EXIT_ENGINE;
            failure = "the engine failed: " + e;
        }
        synchronized (this) {
            running--;
            progress[index] = 1;
            terminal.clear();
            if (failure == null) {
                done++;
                lines.forEach(System.out::println);
                System.out.flush();
            } else {
                failed++;
                String name = in.toString();
                System.err.println("tambrino: " + (failure.contains(name) ? failure : name + ": " + failure));
            }
            draw(true);
        }
        return code;
    }

    private synchronized void advance(int index, double share) {
        progress[index] = Math.max(0, share);
        draw(false);
    }

    /** A note or warning, each said once however many jobs come to it. */
    private synchronized void note(String line) {
        if (said.add(line)) {
            terminal.clear();
            System.err.println(line);
            draw(true);
        }
    }

    /** "stretching 5 files [######..........]  38%  1 done, 2 running, 1 failed" */
    private void draw(boolean force) {
        if (!terminal.enabled()) {
            return;
        }
        double sum = 0;
        for (double p : progress) {
            sum += p;
        }
        double share = sum / progress.length;
        terminal.status(String.format(Locale.ROOT, "stretching %d files %s %3d%%  %d done, %d running%s",
                progress.length, Terminal.bar(share, 16), (int) Math.floor(share * 100), done, running,
                failed == 0 ? "" : ", " + failed + " failed"), force);
    }
}
