package quorvel.tambrino.stress;

import java.io.File;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.TreeMap;

import quorvel.tambrino.NativeInterface;

/**
 * Hammers the engine through the real virtual machine: many iterations of
 * every native method with hostile arguments (null arrays, negative and huge
 * sizes, short arrays, NaN and infinite floats, impossible frame sizes,
 * channel counts and rates, a block far larger than the first) mixed with
 * valid blocks. Each refused call must raise its documented exception and
 * leave the caller's array alone. Afterwards a fixed valid stream is
 * processed and digested; a second, fresh virtual machine processes the same
 * stream, and the two digests must be equal to the last bit.
 *
 * <p>That stream starts with a dspInit, which rebuilds most of the engine, so
 * a third virtual machine replays the whole sequence without the refused
 * calls: every accepted call then meets the same engine state, and the
 * digests of all the blocks of the two runs must be equal too. A refused call
 * that changed anything at all would show there.
 *
 * <p>Usage: {@code StressDriver [--iterations N] [--seed S] [--fresh | --replay]}.
 * With {@code --fresh} only the valid stream runs; with {@code --replay} the
 * sequence runs without its refused calls; both print their digests. Without
 * either the driver stresses this virtual machine, starts the other two itself
 * (same java, class path and library) and compares.
 */
public final class StressDriver {
    private static final int FINAL_STREAM_BLOCKS = 120;

    private final NativeInterface ni = new NativeInterface();
    private final Random random;
    private final Map<String, Integer> refused = new TreeMap<>();
    private final MessageDigest blockDigest;
    // Replaying: the refused calls are skipped (their arguments are still
    // drawn, so that the sequence stays the same).
    private final boolean replay;
    private int validBlocks;
    private int acceptedCalls;

    // Configuration in force: that of the last dspInit that raised nothing.
    private int frameSize;
    private int overSampling;
    private int channels;

    private StressDriver(long seed, boolean replay) throws NoSuchAlgorithmException {
        random = new Random(seed);
        this.replay = replay;
        blockDigest = MessageDigest.getInstance("SHA-256");
    }

    public static void main(String[] args) throws Exception {
        int iterations = 50000;
        long seed = 20261208L;
        String mode = "";
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--iterations" -> iterations = Integer.parseInt(args[++i]);
                case "--seed" -> seed = Long.parseLong(args[++i]);
                case "--fresh", "--replay" -> mode = args[i];
                default -> throw new IllegalArgumentException("unknown argument " + args[i]);
            }
        }
        StressDriver driver = new StressDriver(seed, mode.equals("--replay"));
        if (mode.equals("--fresh")) {
            System.out.println("stream " + driver.finalStream());
            return;
        }
        if (mode.equals("--replay")) {
            driver.stress(iterations);
            System.out.println("blocks " + driver.blocksDigest());
            System.out.println("stream " + driver.finalStream());
            return;
        }
        // The other two virtual machines run while this one is stressed.
        List<String> common = List.of("--iterations", Integer.toString(iterations), "--seed", Long.toString(seed));
        Child freshChild = new Child(common, "--fresh");
        Child replayChild = new Child(common, "--replay");
        long start = System.nanoTime();
        driver.stress(iterations);
        String blocks = driver.blocksDigest();
        String stream = driver.finalStream();
        double stressSeconds = (System.nanoTime() - start) / 1e9;
        Map<String, String> fresh = freshChild.digests();
        Map<String, String> replayed = replayChild.digests();
        int refusals = driver.refused.values().stream().mapToInt(Integer::intValue).sum();
        System.out.printf("stress: %d iterations in %.1f s: %d refused calls (each with its documented exception), "
                + "%d accepted calls, %d valid blocks%n", iterations, stressSeconds, refusals, driver.acceptedCalls,
                driver.validBlocks);
        System.out.println("refused by kind: " + driver.refused);
        System.out.println("stream after stress   " + stream);
        System.out.println("stream in a fresh JVM " + fresh.get("stream"));
        System.out.println("blocks under stress   " + blocks);
        System.out.println("blocks, refusals left out " + replayed.get("blocks"));
        boolean ok = true;
        if (!stream.equals(fresh.get("stream")) || !stream.equals(replayed.get("stream"))) {
            System.out.println("FAIL: the stream after the hostile calls differs from the same stream in a fresh JVM");
            ok = false;
        }
        if (!blocks.equals(replayed.get("blocks"))) {
            System.out.println("FAIL: the refused calls changed what the accepted ones produced");
            ok = false;
        }
        if (!ok) System.exit(1);
        System.out.println("OK: bit-identical");
    }

    private String blocksDigest() {
        return HexFormat.of().formatHex(blockDigest.digest());
    }

    // ---- The fresh virtual machine ------------------------------------------------------------

    /** A second virtual machine running this driver in another mode; its output goes to a file. */
    private static final class Child {
        private final String mode;
        private final Process process;
        private final File output;

        Child(List<String> common, String mode) throws IOException {
            this.mode = mode;
            String java = ProcessHandle.current().info().command().orElse("java");
            List<String> command = new ArrayList<>();
            command.add(java);
            command.add("-Xcheck:jni");
            String library = System.getProperty(NativeInterface.LIBRARY_PROPERTY);
            if (library != null) command.add("-D" + NativeInterface.LIBRARY_PROPERTY + "=" + library);
            command.add("-cp");
            command.add(System.getProperty("java.class.path"));
            command.add(StressDriver.class.getName());
            command.addAll(common);
            command.add(mode);
            output = File.createTempFile("tambrino-stress", ".log");
            output.deleteOnExit();
            process = new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(output).start();
        }

        Map<String, String> digests() throws IOException, InterruptedException {
            int status = process.waitFor();
            String text = Files.readString(output.toPath(), StandardCharsets.UTF_8);
            Files.deleteIfExists(output.toPath());
            Map<String, String> digests = new TreeMap<>();
            for (String line : text.split("\n")) {
                String[] words = line.trim().split(" ");
                if (words.length == 2 && (words[0].equals("stream") || words[0].equals("blocks"))) {
                    digests.put(words[0], words[1]);
                }
            }
            if (status != 0 || !digests.containsKey("stream") || text.contains("WARNING in native method")) {
                throw new IllegalStateException("the JVM run with " + mode + " failed (status " + status + "):\n"
                        + text);
            }
            return digests;
        }
    }

    // ---- The valid stream ---------------------------------------------------------------------

    /**
     * A stream that depends on nothing the engine carries across dspInit: every
     * setting is given, the filter histories restart with the coefficients,
     * every block is a whole number of analysis hops and its output a whole
     * number of synthesis hops (so no stale output position is read), and the
     * first block's hop is at least two analysis intervals of the spectrum, so
     * that the analyser's carried count is the same afterwards whatever it was.
     */
    private String finalStream() throws NoSuchAlgorithmException {
        MessageDigest md = MessageDigest.getInstance("SHA-256");
        // Stereo at 8000 Hz: the analyser's interval is 250 samples.
        ni.dspInit(2048, 4, 8000, 2);
        ni.dspSpectrumEnable(1);
        float[] bands = new float[1024];
        for (int k = 0; k < bands.length; k++) bands[k] = 0.5f + (k % 7) / 7.0f;
        ni.dspEQSetBands(bands);
        ni.dspEQEnable(1);
        ni.dspSetPreamp(1.5f);
        ni.dspPanning(1, 0, 40);
        ni.dspVoiceRemovalFilter(new double[] {1.0, -0.5}, new double[] {0.5, 0.5}, 2, 2);
        ni.dspVoiceRemovalEnable(1);
        ni.dspVoiceRemovalAmount(0.7f);
        int[][] blocks = {{1024, 1024}, {1024, 768}, {2048, 1536}, {512, 1024}, {1024, 1280}, {1536, 0}};
        long frame = 0;
        for (int n = 0; n < FINAL_STREAM_BLOCKS; n++) {
            int[] b = blocks[n % blocks.length];
            frame = digestBlock(md, 2, b[0], b[1], frame);
            if (n == FINAL_STREAM_BLOCKS / 2) ni.dspPanning(1, 1, 40);
        }
        // Then mono, at 1024 / 2.
        ni.dspInit(1024, 2, 8000, 1);
        int[][] monoBlocks = {{1024, 1024}, {512, 384}, {1024, 1536}};
        for (int n = 0; n < FINAL_STREAM_BLOCKS / 2; n++) {
            int[] b = monoBlocks[n % monoBlocks.length];
            frame = digestBlock(md, 1, b[0], b[1], frame);
        }
        return HexFormat.of().formatHex(md.digest());
    }

    private long digestBlock(MessageDigest md, int nChannels, int samplesIn, int samplesOut, long frame) {
        short[] pcm = music(nChannels, Math.max(samplesIn, samplesOut), frame);
        ni.dspProcess(pcm, samplesIn, samplesOut, 1.0f);
        ByteBuffer bytes = ByteBuffer.allocate(2 * pcm.length + 4 + 4 * 72);
        for (short s : pcm) bytes.putShort(s);
        bytes.putInt(Float.floatToRawIntBits(ni.dspGetMaxLevel()));
        float[] spectrum = new float[72];
        ni.dspGetSpectrum(spectrum, 72);
        for (float v : spectrum) bytes.putInt(Float.floatToRawIntBits(v));
        md.update(bytes.array());
        return frame + samplesIn;
    }

    /** A voice in the centre over two instruments panned apart, with a slow swell. */
    private static short[] music(int nChannels, int frames, long offset) {
        short[] pcm = new short[frames * nChannels];
        for (int i = 0; i < frames; i++) {
            double t = (offset + i) / 8000.0;
            double swell = 0.6 + 0.4 * Math.sin(2 * Math.PI * 0.3 * t);
            double voice = 0.35 * swell * Math.sin(2 * Math.PI * 330.0 * t);
            double left = voice + 0.3 * Math.sin(2 * Math.PI * 110.0 * t);
            double right = voice + 0.25 * Math.sin(2 * Math.PI * 1475.0 * t);
            if (nChannels == 1) {
                pcm[i] = (short) (32767 * (left + right) / 2);
            } else {
                pcm[2 * i] = (short) (32767 * left);
                pcm[2 * i + 1] = (short) (32767 * right);
            }
        }
        return pcm;
    }

    // ---- The hostile phase --------------------------------------------------------------------

    private void stress(int iterations) {
        // Before any set-up a block has nothing to run on.
        expect("dspProcess before dspInit", IllegalStateException.class, "dspProcess",
                () -> ni.dspProcess(new short[2048], 1024, 1024, 1.0f));
        validInit(2048, 4, 44100, 2);
        validBlock(1024, 1024);  // the first block fixes the buffers' first capacity
        for (int i = 0; i < iterations; i++) {
            int kind = random.nextInt(20);
            switch (kind) {
                case 0, 1, 2, 3, 4, 5 -> validBlock(1 + random.nextInt(2048), -1);
                case 6 -> hostileInit();
                case 7 -> rarely(() -> validInit(pick(256, 512, 1024, 2048), pick(1, 2, 4, 8),
                        pick(8000, 22050, 44100, 48000), pick(1, 2)));
                case 8, 9 -> hostileBlock();
                case 10 -> hostileFilter();
                case 11 -> hostileBands();
                case 12 -> hostileSpectrum();
                case 13 -> hostileSetters();
                case 14 -> validSetters();
                case 15 -> rarely(() -> validBlock(20000 + random.nextInt(40000), -1));  // far larger than the first
                default -> validBlock(pick(256, 512, 1024), -1);
            }
        }
        // Leave the settings sane: extreme flags and the like are accepted,
        // and the stream sets everything it needs anyway.
        validSetters();
    }

    private void rarely(Runnable action) {
        if (random.nextInt(8) == 0) action.run();
    }

    private int pick(int... values) {
        return values[random.nextInt(values.length)];
    }

    private float pickFloat(float... values) {
        return values[random.nextInt(values.length)];
    }

    private void validInit(int frame, int over, int rate, int nChannels) {
        ni.dspInit(frame, over, rate, nChannels);
        frameSize = frame;
        overSampling = over;
        channels = nChannels;
        acceptedCalls++;
    }

    private int stepIn() {
        return frameSize / overSampling;
    }

    /** A block of samplesIn frames at a tempo whose hop lies in 1..frameSize (or samplesOut as given). */
    private void validBlock(int samplesIn, int samplesOut) {
        if (samplesOut < 0) {
            int stepOut = 1 + random.nextInt(frameSize);
            samplesOut = (int) Math.min(200000L, Math.max(1L, (long) samplesIn * stepOut / stepIn()));
            // Keep the hop inside 1..frameSize after the float rounding.
            float hop = (float) stepIn() * ((float) samplesOut / (float) samplesIn);
            if (hop < 1.0f || hop >= frameSize + 1.0f) samplesOut = samplesIn;
            if (random.nextInt(16) == 0) samplesOut = pick(0, -1, Integer.MIN_VALUE);  // nothing back
        }
        int frames = Math.max(samplesIn, Math.max(samplesOut, 0));
        short[] pcm = music(channels, frames, random.nextInt(100000));
        short[] before = samplesOut <= 0 ? pcm.clone() : null;
        float pitch = pickFloat(1.0f, 0.0f, Float.NaN, Float.POSITIVE_INFINITY, -3.5f);
        ni.dspProcess(pcm, samplesIn, samplesOut, pitch);
        float level = ni.dspGetMaxLevel();
        if (!(level >= 0.0f)) throw new AssertionError("peak level " + level);
        float[] spectrum = new float[72];
        ni.dspGetSpectrum(spectrum, 72);
        ByteBuffer bytes = ByteBuffer.allocate(2 * pcm.length + 4 + 4 * 72);
        for (short s : pcm) bytes.putShort(s);
        bytes.putInt(Float.floatToRawIntBits(level));
        for (float v : spectrum) bytes.putInt(Float.floatToRawIntBits(v));
        blockDigest.update(bytes.array());
        if (before != null && !Arrays.equals(before, pcm)) {
            throw new AssertionError("a block with samplesOut " + samplesOut + " changed the array");
        }
        if (before != null && level != 0.0f) throw new AssertionError("peak after a block without output " + level);
        validBlocks++;
        acceptedCalls++;
    }

    private void hostileInit() {
        int frame = frameSize;
        int over = overSampling;
        int rate = 44100;
        int nChannels = channels;
        switch (random.nextInt(4)) {
            case 0 -> frame = pick(0, 3, 8192, 4, -2048, 12, 6000, Integer.MAX_VALUE, Integer.MIN_VALUE);
            case 1 -> over = pick(0, -1, frameSize + 1, Integer.MIN_VALUE, Integer.MAX_VALUE);
            case 2 -> rate = pick(0, -44100, 31, Integer.MIN_VALUE);
            default -> nChannels = pick(0, 3, -1, 8, Integer.MAX_VALUE);
        }
        final int f = frame;
        final int o = over;
        final int r = rate;
        final int c = nChannels;
        expect("dspInit(" + f + ", " + o + ", " + r + ", " + c + ")", IllegalArgumentException.class, "dspInit",
                () -> ni.dspInit(f, o, r, c));
    }

    private void hostileBlock() {
        int ch = channels;
        switch (random.nextInt(8)) {
            case 0 -> expect("dspProcess(null)", NullPointerException.class, "dspProcess",
                    () -> ni.dspProcess(null, 1024, 1024, 1.0f));
            case 1 -> {
                int samplesIn = pick(0, -1, -1024, Integer.MIN_VALUE);
                refusedBlock("samplesIn " + samplesIn, new short[4096], samplesIn, 1024);
            }
            case 2 -> {  // shorter than samplesIn frames
                int samplesIn = 1 + random.nextInt(4096);
                int length = Math.max(0, samplesIn * ch - 1 - random.nextInt(3));
                refusedBlock("short array for samplesIn", new short[length], samplesIn, samplesIn);
            }
            case 3 -> {  // shorter than samplesOut frames
                int samplesIn = 1024;
                int samplesOut = 1025 + random.nextInt(1024);
                refusedBlock("short array for samplesOut", new short[samplesIn * ch + random.nextInt(samplesOut - samplesIn) * ch], samplesIn, samplesOut);
            }
            case 4 -> refusedBlock("huge sizes", new short[2048], pick(Integer.MAX_VALUE, 1 << 30, 2048),
                    pick(Integer.MAX_VALUE, 1 << 29, 2048 * 1024));
            case 5 -> {  // hop above the frame size
                int samplesIn = 1 + random.nextInt(64);
                int samplesOut = samplesIn * (overSampling + 1) + random.nextInt(100);
                refusedBlock("hop above the frame size", new short[samplesOut * ch], samplesIn, samplesOut);
            }
            case 6 -> {  // hop below 1: samplesOut / samplesIn below 1 / stepIn
                int samplesOut = 1 + random.nextInt(3);
                int samplesIn = stepIn() * (samplesOut + 1) + random.nextInt(100);
                refusedBlock("hop below 1", new short[samplesIn * ch], samplesIn, samplesOut);
            }
            default -> refusedBlock("empty array", new short[0], 1, 1);
        }
    }

    private void refusedBlock(String what, short[] pcm, int samplesIn, int samplesOut) {
        for (int i = 0; i < pcm.length; i++) pcm[i] = (short) (i * 7919);
        short[] before = pcm.clone();
        expect("dspProcess " + what + " (" + samplesIn + " -> " + samplesOut + ", length " + pcm.length + ")",
                IllegalArgumentException.class, "dspProcess",
                () -> ni.dspProcess(pcm, samplesIn, samplesOut, Float.NaN));
        if (!Arrays.equals(before, pcm)) throw new AssertionError("a refused block changed the array: " + what);
    }

    private void hostileFilter() {
        double[] a = {1.0, -0.5, 0.25};
        double[] b = {0.5, 0.5, 0.1};
        switch (random.nextInt(6)) {
            case 0 -> expect("dspVoiceRemovalFilter(null, b)", NullPointerException.class, "dspVoiceRemovalFilter",
                    () -> ni.dspVoiceRemovalFilter(null, b, 3, 3));
            case 1 -> expect("dspVoiceRemovalFilter(a, null)", NullPointerException.class, "dspVoiceRemovalFilter",
                    () -> ni.dspVoiceRemovalFilter(a, null, 3, 3));
            case 2, 3 -> {
                int sizeA = pick(0, -1, 4, Integer.MAX_VALUE, Integer.MIN_VALUE);
                expect("dspVoiceRemovalFilter sizeA " + sizeA, IllegalArgumentException.class, "dspVoiceRemovalFilter",
                        () -> ni.dspVoiceRemovalFilter(a, b, sizeA, 3));
            }
            case 4 -> {
                int sizeB = pick(0, -1, 4, Integer.MAX_VALUE);
                expect("dspVoiceRemovalFilter sizeB " + sizeB, IllegalArgumentException.class, "dspVoiceRemovalFilter",
                        () -> ni.dspVoiceRemovalFilter(a, b, 3, sizeB));
            }
            default -> {
                // A filter that could make the stream non-finite: not finite, unstable, or too loud.
                double[][][] poison = {{{1.0, Double.NaN}, {Double.POSITIVE_INFINITY}}, {{1.0, -1.5}, {0.5}},
                    {{1.0, -1.0}, {0.5}}, {{1.0}, {1e300}}};
                double[][] f = poison[random.nextInt(poison.length)];
                expect("dspVoiceRemovalFilter(" + Arrays.toString(f[0]) + ", " + Arrays.toString(f[1]) + ")",
                        IllegalArgumentException.class, "dspVoiceRemovalFilter",
                        () -> ni.dspVoiceRemovalFilter(f[0], f[1], f[0].length, f[1].length));
            }
        }
        if (a[1] != -0.5 || b[2] != 0.1) throw new AssertionError("dspVoiceRemovalFilter changed its arrays");
    }

    private void hostileBands() {
        if (random.nextBoolean()) {
            expect("dspEQSetBands(null)", NullPointerException.class, "dspEQSetBands", () -> ni.dspEQSetBands(null));
        } else {
            float[] shortBands = new float[random.nextInt(1024)];
            expect("dspEQSetBands(" + shortBands.length + " gains)", IllegalArgumentException.class, "dspEQSetBands",
                    () -> ni.dspEQSetBands(shortBands));
        }
    }

    private void hostileSpectrum() {
        switch (random.nextInt(3)) {
            case 0 -> expect("dspGetSpectrum(null)", NullPointerException.class, "dspGetSpectrum",
                    () -> ni.dspGetSpectrum(null, 72));
            case 1 -> {  // a negative size is refused and copies nothing
                float[] values = new float[72];
                Arrays.fill(values, -7.0f);
                int size = pick(-1, Integer.MIN_VALUE);
                expect("dspGetSpectrum(" + size + ")", IllegalArgumentException.class, "dspGetSpectrum",
                        () -> ni.dspGetSpectrum(values, size));
                for (float v : values) if (v != -7.0f) throw new AssertionError("negative size copied values");
            }
            default -> {  // more asked than the array holds, or than there are notes
                float[] values = new float[random.nextInt(100)];
                Arrays.fill(values, -7.0f);
                ni.dspGetSpectrum(values, pick(1000, Integer.MAX_VALUE, 72, 100));
                // A NaN gain set above may have made NaN levels: only a
                // negative level or a touched element past the notes is wrong.
                for (int i = 0; i < values.length; i++) {
                    if (i < 72 ? values[i] < 0.0f : values[i] != -7.0f) {
                        throw new AssertionError("spectrum value " + i + " = " + values[i]);
                    }
                }
                acceptedCalls++;
            }
        }
    }

    /**
     * Gains, amounts and levels outside their limits are refused (a preamp
     * of 0..64, an amount up to 1, a panning level of 0..100, equaliser gains
     * of 0..1000); the switches take any value, non-zero meaning on.
     */
    private void hostileSetters() {
        float f = pickFloat(Float.NaN, Float.POSITIVE_INFINITY, Float.NEGATIVE_INFINITY, Float.MAX_VALUE, -1.0f,
                Float.MIN_VALUE, 1e30f);
        int n = pick(Integer.MIN_VALUE, Integer.MAX_VALUE, -1, 1000, 101, -50);
        switch (random.nextInt(7)) {
            case 0 -> setting("dspSetPreamp(" + f + ")", f >= 0 && f <= 64, "dspSetPreamp", () -> ni.dspSetPreamp(f));
            case 1 -> setting("dspVoiceRemovalAmount(" + f + ")", Float.isFinite(f) && f <= 1, "dspVoiceRemovalAmount",
                    () -> ni.dspVoiceRemovalAmount(f));
            case 2 -> setting("dspVoiceRemovalEnable", true, "", () -> ni.dspVoiceRemovalEnable(n));
            case 3 -> {
                int mono = pick(n, 0, 1);
                setting("dspPanning(" + n + ", " + mono + ", " + n + ")", false, "dspPanning",
                        () -> ni.dspPanning(n, mono, n));
            }
            case 4 -> setting("dspSpectrumEnable", true, "", () -> ni.dspSpectrumEnable(n));
            case 5 -> setting("dspEQEnable", true, "", () -> ni.dspEQEnable(n));
            default -> {
                float[] bands = new float[1024];
                Arrays.fill(bands, f);
                setting("dspEQSetBands(" + f + ")", f >= 0 && f <= 1000, "dspEQSetBands",
                        () -> ni.dspEQSetBands(bands));
            }
        }
    }

    private void setting(String call, boolean valid, String method, Runnable action) {
        if (valid) {
            action.run();
            acceptedCalls++;
        } else {
            expect(call, IllegalArgumentException.class, method, action);
        }
    }

    private void validSetters() {
        ni.dspSetPreamp(pickFloat(0.5f, 1.0f, 2.0f));
        ni.dspVoiceRemovalAmount(pickFloat(0.0f, 0.5f, 1.0f));
        ni.dspVoiceRemovalEnable(pick(0, 1));
        ni.dspPanning(pick(0, 1), pick(0, 1), random.nextInt(101));
        ni.dspSpectrumEnable(1);
        ni.dspEQEnable(pick(0, 1));
        float[] bands = new float[1024];
        for (int k = 0; k < bands.length; k++) bands[k] = random.nextFloat() * 2;
        ni.dspEQSetBands(bands);
        ni.dspVoiceRemovalFilter(new double[] {1.0, -0.3}, new double[] {0.6, 0.4}, 2, 2);
        acceptedCalls += 8;
    }

    private void expect(String call, Class<? extends Throwable> expected, String method, Runnable action) {
        if (replay) {
            refused.merge(method + " " + expected.getSimpleName(), 1, Integer::sum);
            return;
        }
        try {
            action.run();
        } catch (Throwable t) {
            if (t.getClass() != expected) {
                throw new AssertionError(call + " raised " + t + ", expected " + expected.getSimpleName(), t);
            }
            if (t.getMessage() == null || !t.getMessage().contains(method)) {
                throw new AssertionError(call + ": the message does not name " + method + ": " + t.getMessage());
            }
            refused.merge(method + " " + expected.getSimpleName(), 1, Integer::sum);
            return;
        }
        throw new AssertionError(call + " raised nothing, expected " + expected.getSimpleName());
    }
}
