// A private pulseaudio daemon per test, with a null sink, ALSA routed to it and its monitor recorded.
package quorvel.tambrino.sound;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.TimeUnit;

/**
 * A sound server of a test's own, as a desktop has one: Debian's pulseaudio
 * run as a private daemon (its own runtime folder, socket, home and
 * configuration files, none of the system's or the user's, no D-Bus, no
 * autospawn, so it works as root on a machine without a desktop session),
 * with one null sink. Programs under test reach it through an ALSA
 * configuration that sends ALSA's default device, which Java's audio output
 * opens, to it (libasound2-plugins' pulse plugin), see {@link #environment()}.
 *
 * <p>A silent stream keeps the sink running as a sound card runs, so that
 * the sink's monitor, recorded with parec, has one sample for every sample
 * period of real time: a {@link Recording} maps its samples to the clock.
 *
 * <p>{@link #kill()} takes the server away as a crash does, {@link #start()}
 * brings it back on the same socket (with a new recording), {@link #freeze}
 * stops it responding for a while. {@link #close()} ends every process it
 * started; a watchdog ends the daemon too should the test's JVM die first.
 */
final class SoundServer implements AutoCloseable {
    static final int RATE = 44100;
    static final String SINK = "tambrino_test";

    private final Path dir;
    private final Path socket;
    private final Path alsaConfig;
    private final Map<String, String> serverEnv = new TreeMap<>();
    private Process daemon;
    private Process keeper;
    private Recording recording;
    private final List<Process> others = new ArrayList<>();

    /** Why these tests cannot run here, or null when pulseaudio, its tools and the ALSA plugin are installed. */
    static String missing() {
        for (String tool : new String[] {"pulseaudio", "parec", "pacat", "pactl"}) {
            if (!onPath(tool)) {
                return tool + " is not installed (scripts/install-deps.sh installs pulseaudio and pulseaudio-utils)";
            }
        }
        if (pulsePlugin() == null) {
            return "ALSA's pulse plugin is not installed (scripts/install-deps.sh installs libasound2-plugins)";
        }
        return null;
    }

    private static boolean onPath(String tool) {
        for (String d : System.getenv().getOrDefault("PATH", "/usr/bin:/bin").split(":")) {
            if (!d.isEmpty() && Files.isExecutable(Path.of(d, tool))) {
                return true;
            }
        }
        return false;
    }

    private static Path pulsePlugin() {
        try (var libs = Files.list(Path.of("/usr/lib"))) {
            return libs.map(p -> p.resolve("alsa-lib/libasound_module_pcm_pulse.so")).filter(Files::exists)
                    .findFirst().orElse(null);
        } catch (IOException e) {
            return null;
        }
    }

    /** Sets up the server's files in {@code dir} (which must be short enough for a socket path) and starts it. */
    SoundServer(Path dir) throws IOException, InterruptedException {
        this.dir = dir;
        Path run = Files.createDirectories(dir.resolve("run"));
        Files.setPosixFilePermissions(run, PosixFilePermissions.fromString("rwx------"));
        Path home = Files.createDirectories(dir.resolve("home"));
        socket = run.resolve("native");
        // Only these files configure the daemon and its clients: neither /etc/pulse nor a user's.
        Path daemonConf = Files.writeString(dir.resolve("daemon.conf"), String.join("\n",
                "daemonize = no", "system-instance = no", "exit-idle-time = -1", "realtime-scheduling = no",
                "high-priority = no", "use-pid-file = no", "log-target = stderr", "log-level = error",
                "default-sample-rate = " + RATE, "") );
        Path clientConf = Files.writeString(dir.resolve("client.conf"), "autospawn = no\n");
        alsaConfig = Files.writeString(dir.resolve("asound.conf"), String.join("\n",
                "pcm.!default {", "    type pulse", "    server \"unix:" + socket + "\"", "}",
                "ctl.!default {", "    type pulse", "    server \"unix:" + socket + "\"", "}", ""));
        serverEnv.put("PATH", System.getenv().getOrDefault("PATH", "/usr/bin:/bin"));
        serverEnv.put("HOME", home.toString());
        serverEnv.put("XDG_RUNTIME_DIR", run.toString());
        serverEnv.put("XDG_CONFIG_HOME", home.resolve(".config").toString());
        serverEnv.put("PULSE_RUNTIME_PATH", run.toString());
        serverEnv.put("PULSE_STATE_PATH", dir.resolve("state").toString());
        serverEnv.put("PULSE_CONFIG", daemonConf.toString());
        serverEnv.put("PULSE_CLIENTCONFIG", clientConf.toString());
        serverEnv.put("PULSE_SERVER", "unix:" + socket);
        // No session bus is looked for, nor started through the X display.
        serverEnv.put("DBUS_SESSION_BUS_ADDRESS", "disabled:");
        start();
    }

    /**
     * What a program needs in its environment to play through this server:
     * ALSA's configuration (its default device is the server) and the
     * server's address for the pulse tools.
     */
    Map<String, String> environment() {
        Map<String, String> env = new TreeMap<>();
        env.put("ALSA_CONFIG_PATH", alsaConfig.toString());
        env.put("PULSE_SERVER", serverEnv.get("PULSE_SERVER"));
        env.put("PULSE_CLIENTCONFIG", serverEnv.get("PULSE_CLIENTCONFIG"));
        return env;
    }

    /** The environment as {@code NAME=value} words, to put before a command in a shell line. */
    String environmentWords() {
        StringBuilder sb = new StringBuilder();
        environment().forEach((k, v) -> sb.append(k).append("='").append(v).append("' "));
        return sb.toString();
    }

    /** Starts the daemon (again), the silent stream and a new recording of the sink. */
    void start() throws IOException, InterruptedException {
        Files.deleteIfExists(socket);
        daemon = spawn(List.of("pulseaudio", "--daemonize=no", "--system=no", "-n", "--exit-idle-time=-1",
                "--realtime=no", "--high-priority=no", "--use-pid-file=no", "--log-target=stderr",
                "--log-level=error", "-L", "module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
                "-L", "module-null-sink sink_name=" + SINK + " rate=" + RATE + " channels=2"),
                dir.resolve("pulseaudio.log"));
        watch(daemon);
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(15);
        while (!answers()) {
            if (!daemon.isAlive() || System.nanoTime() > deadline) {
                throw new IOException("pulseaudio did not start: " + log());
            }
            Thread.sleep(50);
        }
        keeper = spawn(List.of("pacat", "--playback", "--raw", "--format=s16le", "--rate=" + RATE, "--channels=2",
                "--latency-msec=10", "--device=" + SINK, "--stream-name=keeper", "/dev/zero"),
                dir.resolve("keeper.log"));
        Process parec = spawn(List.of("parec", "--raw", "--format=s16le", "--rate=" + RATE, "--channels=2",
                "--latency-msec=10", "--device=" + SINK + ".monitor", "--stream-name=recorder"), null);
        recording = new Recording(parec, RATE);
    }

    private boolean answers() throws IOException, InterruptedException {
        Process p = spawn(List.of("pactl", "info"), null);
        p.getInputStream().transferTo(java.io.OutputStream.nullOutputStream());
        return p.waitFor(10, TimeUnit.SECONDS) && p.exitValue() == 0;
    }

    /** The recording of the sink since the server last started (it ends when the server goes away). */
    Recording recording() {
        return recording;
    }

    /** Takes the server away at once, as a crash does: SIGKILL, and its clients here end with it. */
    void kill() throws InterruptedException {
        daemon.destroyForcibly().waitFor(10, TimeUnit.SECONDS);
        keeper.waitFor(10, TimeUnit.SECONDS);
        recording.end();
    }

    /** Stops the server (SIGSTOP) for {@code millis}, then lets it go on: a server that does not respond. */
    void freeze(long millis) throws IOException, InterruptedException {
        signal("STOP");
        try {
            Thread.sleep(millis);
        } finally {
            signal("CONT");
        }
    }

    private void signal(String name) throws IOException, InterruptedException {
        Process p = new ProcessBuilder("kill", "-" + name, Long.toString(daemon.pid())).inheritIO().start();
        if (!p.waitFor(10, TimeUnit.SECONDS) || p.exitValue() != 0) {
            throw new IOException("kill -" + name + " " + daemon.pid() + " failed");
        }
    }

    /** Starts a process of the test's that close() ends, with this server in its environment. */
    Process startProcess(List<String> command, Map<String, String> env, Path log) throws IOException {
        ProcessBuilder pb = new ProcessBuilder(command);
        pb.environment().putAll(environment());
        if (env != null) {
            pb.environment().putAll(env);
        }
        pb.redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")));
        pb.redirectErrorStream(true);
        pb.redirectOutput(log == null ? ProcessBuilder.Redirect.DISCARD : ProcessBuilder.Redirect.to(log.toFile()));
        Process p = pb.start();
        synchronized (others) {
            others.add(p);
        }
        return p;
    }

    private Process spawn(List<String> command, Path log) throws IOException {
        ProcessBuilder pb = new ProcessBuilder(command);
        pb.environment().clear();
        pb.environment().putAll(serverEnv);
        pb.redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")));
        if (log != null) {
            pb.redirectErrorStream(true);
            pb.redirectOutput(ProcessBuilder.Redirect.appendTo(log.toFile()));
        } else {
            pb.redirectError(ProcessBuilder.Redirect.DISCARD);
        }
        return pb.start();
    }

    /** Ends the daemon when this JVM ends without closing it (a test runner killed at its time-out). */
    private void watch(Process p) throws IOException {
        String me = Long.toString(ProcessHandle.current().pid());
        String it = Long.toString(p.pid());
        new ProcessBuilder("sh", "-c", "while kill -0 " + me + " 2>/dev/null && kill -0 " + it
                + " 2>/dev/null; do sleep 1; done; kill -9 " + it + " 2>/dev/null")
                .redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")))
                .redirectOutput(ProcessBuilder.Redirect.DISCARD).redirectError(ProcessBuilder.Redirect.DISCARD)
                .start();
    }

    String log() {
        try {
            return Files.readString(dir.resolve("pulseaudio.log"), StandardCharsets.UTF_8);
        } catch (IOException e) {
            return "(no log: " + e.getMessage() + ")";
        }
    }

    /** Ends the test's processes, the recording, the silent stream and the daemon, each for sure. */
    @Override
    public void close() {
        try {
            closeAll();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    private void closeAll() throws InterruptedException {
        synchronized (others) {
            for (Process p : others) {
                end(p);
            }
            others.clear();
        }
        if (recording != null) {
            recording.end();
        }
        if (keeper != null) {
            end(keeper);
        }
        if (daemon != null) {
            // The daemon can be frozen when a test failed mid-freeze.
            try {
                signal("CONT");
            } catch (IOException e) {
                // Already gone.
            }
            end(daemon);
        }
    }

    /** Runs a command to its end (20 s at most); returns its output, or throws with it when it fails. */
    static String run(List<String> command) throws IOException, InterruptedException {
        Path out = Files.createTempFile("command", ".txt");
        try {
            Process p = new ProcessBuilder(command).redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")))
                    .redirectErrorStream(true).redirectOutput(out.toFile()).start();
            if (!p.waitFor(20, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                throw new IOException("timed out: " + command);
            }
            String text = Files.readString(out, StandardCharsets.UTF_8);
            if (p.exitValue() != 0) {
                throw new IOException(command + " failed (" + p.exitValue() + "): " + text);
            }
            return text;
        } finally {
            Files.deleteIfExists(out);
        }
    }

    /** SIGTERM, then SIGKILL after two seconds; the process's children go with it. */
    static void end(Process p) throws InterruptedException {
        List<ProcessHandle> children = p.descendants().toList();
        p.destroy();
        if (!p.waitFor(2, TimeUnit.SECONDS)) {
            p.destroyForcibly().waitFor(5, TimeUnit.SECONDS);
        }
        for (ProcessHandle c : children) {
            c.destroyForcibly();
        }
    }
}
