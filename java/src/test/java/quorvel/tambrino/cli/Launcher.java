package quorvel.tambrino.cli;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/** Runs the tool as a user does, through bin/tambrino, in a separate process. */
final class Launcher {
    private Launcher() {}

    static final class Result {
        final int exit;
        final String out;
        final String err;

        Result(int exit, String out, String err) {
            this.exit = exit;
            this.out = out;
            this.err = err;
        }

        @Override
        public String toString() {
            return "exit " + exit + "\n--- stdout\n" + out + "--- stderr\n" + err;
        }
    }

    static Path launcher() {
        String p = System.getenv("TAMBRINO_LAUNCHER");
        return Path.of(p != null ? p : "bin/tambrino");
    }

    static Path jar() {
        String p = System.getenv("TAMBRINO_JAR");
        return Path.of(p != null ? p : "build/java/tambrino.jar");
    }

    static Result tambrino(String... args) throws IOException, InterruptedException {
        List<String> cmd = new ArrayList<>();
        cmd.add(launcher().toString());
        cmd.addAll(Arrays.asList(args));
        return run(cmd, null);
    }

    /**
     * Runs the command line inside this JVM, for checks that end before the
     * engine is loaded; standard output and error are captured.
     */
    static synchronized Result inProcess(String... args) {
        java.io.PrintStream out = System.out;
        java.io.PrintStream err = System.err;
        java.io.ByteArrayOutputStream o = new java.io.ByteArrayOutputStream();
        java.io.ByteArrayOutputStream e = new java.io.ByteArrayOutputStream();
        int exit;
        // Whatever the test runner's standard input is, play here is never the interactive player.
        System.setProperty("tambrino.noninteractive", "true");
        try {
            System.setOut(new java.io.PrintStream(o, true, StandardCharsets.UTF_8));
            System.setErr(new java.io.PrintStream(e, true, StandardCharsets.UTF_8));
            exit = Tambrino.execute(args);
        } finally {
            System.setOut(out);
            System.setErr(err);
        }
        return new Result(exit, o.toString(StandardCharsets.UTF_8), e.toString(StandardCharsets.UTF_8));
    }

    /** Runs a command with the jar named in the environment, stdin closed, output captured. */
    static Result run(List<String> cmd, Map<String, String> env) throws IOException, InterruptedException {
        ProcessBuilder pb = new ProcessBuilder(cmd);
        pb.environment().put("TAMBRINO_JAR", jar().toString());
        pb.environment().remove("LD_LIBRARY_PATH");
        if (env != null) {
            pb.environment().putAll(env);
        }
        Path out = Files.createTempFile("tambrino-out", ".txt");
        Path err = Files.createTempFile("tambrino-err", ".txt");
        try {
            pb.redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")));
            pb.redirectOutput(out.toFile());
            pb.redirectError(err.toFile());
            Process p = pb.start();
            if (!p.waitFor(120, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                throw new IOException("timed out: " + cmd);
            }
            return new Result(p.exitValue(), Files.readString(out, StandardCharsets.UTF_8),
                    Files.readString(err, StandardCharsets.UTF_8));
        } finally {
            Files.deleteIfExists(out);
            Files.deleteIfExists(err);
        }
    }

    /** Names of the files in a folder, sorted. */
    static List<String> listing(Path dir) throws IOException {
        List<String> names = new ArrayList<>();
        try (var s = Files.list(dir)) {
            s.forEach(p -> names.add(p.getFileName().toString()));
        }
        names.sort(null);
        return names;
    }
}
