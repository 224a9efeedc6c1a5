// One golden scenario through the jar's own library in whatever JVM runs this (scripts/cross.sh runs it in an aarch64 JVM under qemu).
//
// The scenario, its input and its digest are those of tests/golden/scenarios.h
// (stereo_2048_4_ragged_full: voice removal, equaliser, panning, preamp and
// ragged blocks), rewritten in Java so that they reach the engine through the
// JVM, the jar's platform lookup and JNI, as an application does. Only + - * /
// and floor make the input, so Java computes the same bits as C++.
//
//   java -cp tambrino.jar:DIR GoldenSmoke DIGESTS            check the scenario
//   java -cp tambrino.jar:DIR GoldenSmoke --input FILE SECS  write SECS of the input as a WAV file
//
// Prints one line; exits 0 on a match, 1 on a mismatch or any failure.

import java.io.IOException;
import java.io.OutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.HashMap;
import java.util.Map;
import quorvel.tambrino.NativeInterface;

public final class GoldenSmoke {
    static final String SCENARIO = "stereo_2048_4_ragged_full";

    public static void main(String[] args) throws IOException {
        if (args.length == 3 && args[0].equals("--input")) {
            writeInput(Path.of(args[1]), Double.parseDouble(args[2]));
            return;
        }
        if (args.length != 1) {
            System.err.println("usage: GoldenSmoke DIGESTS | GoldenSmoke --input FILE SECONDS");
            System.exit(2);
        }
        Map<String, Long> stored = readDigests(Path.of(args[0]));

        // The input first: a wrong port of the synthesiser would otherwise
        // pass for a fault of the engine.
        long input = synthesiserDigest();
        Long storedInput = stored.get("synthetic_input");
        if (storedInput == null || input != storedInput) {
            System.out.println("synthetic input " + hex(input) + ", stored "
                    + (storedInput == null ? "none" : hex(storedInput)) + ": MISMATCH");
            System.exit(1);
        }
        long digest = runScenario();
        Long expected = stored.get(SCENARIO);
        boolean ok = expected != null && digest == expected;
        System.out.println(SCENARIO + " " + hex(digest)
                + (ok ? " as stored" : ", stored " + (expected == null ? "none" : hex(expected)) + ": MISMATCH")
                + " (" + System.getProperty("java.vm.name") + " on " + System.getProperty("os.arch") + ", library "
                + NativeInterface.libraryOrigin() + ")");
        System.exit(ok ? 0 : 1);
    }

    static String hex(long v) {
        String s = Long.toHexString(v);
        return "0".repeat(16 - s.length()) + s;
    }

    static Map<String, Long> readDigests(Path file) throws IOException {
        Map<String, Long> out = new HashMap<>();
        for (String line : Files.readAllLines(file)) {
            String[] f = line.trim().split("\\s+");
            if (f.length < 2 || f[0].startsWith("#")) continue;
            out.put(f[0], Long.parseUnsignedLong(f[1], 16));
        }
        return out;
    }

    // FNV-1a, 64 bits, over little-endian values.
    static final class Digest {
        long h = 0xcbf29ce484222325L;

        void octet(int b) {
            h ^= b & 0xff;
            h *= 0x100000001b3L;
        }

        void shorts(short[] v) {
            for (short s : v) {
                octet(s);
                octet(s >> 8);
            }
        }

        void floatBits(float f) {
            int u = Float.floatToRawIntBits(f);
            for (int i = 0; i < 4; i++) octet(u >> (8 * i));
        }
    }

    // sin(2 pi cycles), from basic operations only.
    static double sineOfCycles(double cycles) {
        double x = cycles - Math.floor(cycles);
        if (x >= 0.5) x -= 1.0;
        if (x > 0.25) x = 0.5 - x;
        if (x < -0.25) x = -0.5 - x;
        double t = x * 6.283185307179586;
        double t2 = t * t;
        double s = 1.0 / 6227020800.0;
        s = s * -t2 + 1.0 / 39916800.0;
        s = s * -t2 + 1.0 / 362880.0;
        s = s * -t2 + 1.0 / 5040.0;
        s = s * -t2 + 1.0 / 120.0;
        s = s * -t2 + 1.0 / 6.0;
        s = s * -t2 + 1.0;
        return s * t;
    }

    static double midiFrequency(int note) {
        double semitone = 1.0594630943592953;
        double f = 440.0;
        for (int n = 69; n < note; n++) f = f * semitone;
        for (int n = 69; n > note; n--) f = f / semitone;
        return f;
    }

    static final class Synth {
        static final int[] ROOTS = {48, 45, 41, 43};
        static final int[] THIRDS = {4, 3, 4, 4};
        static final int[] STEPS = {0, 4, 7, 12, 11, 7, 9, 5};
        final int channels;
        final int rate;
        final double loudness;
        int noise;  // an unsigned 32-bit state
        long n;
        double left;
        double right;

        Synth(int channels, int rate, int seed, double loudness) {
            this.channels = channels;
            this.rate = rate;
            this.noise = seed != 0 ? seed : 1;
            this.loudness = loudness;
        }

        void render(short[] out, int frames) {
            for (int i = 0; i < frames; i++, n++) {
                sample(n);
                if (channels == 1) {
                    out[i] = quantise((left + right) * 0.5);
                } else {
                    out[2 * i] = quantise(left);
                    out[2 * i + 1] = quantise(right);
                }
            }
        }

        static short quantise(double v) {
            double s = Math.floor(v * 32767.0 + 0.5);
            s = Math.min(32767.0, Math.max(-32768.0, s));
            return (short) s;
        }

        double noise() {
            noise ^= noise << 13;
            noise ^= noise >>> 17;
            noise ^= noise << 5;
            return (double) (noise & 0xffffffffL) / 2147483648.0 - 1.0;
        }

        static double tone(double freq, double t) {
            double c = freq * t;
            return sineOfCycles(c) + 0.5 * sineOfCycles(2.0 * c) + 0.25 * sineOfCycles(3.0 * c)
                    + 0.125 * sineOfCycles(4.0 * c);
        }

        void sample(long n) {
            double t = (double) n / rate;
            double beats = t * 2.0;
            int beat = (int) Math.floor(beats);
            double inBeat = beats - beat;
            int bar = beat / 4;

            double cycle = t - 3.5 * Math.floor(t / 3.5);
            if (cycle >= 3.1 && cycle < 3.3) {
                left = right = 0.0;
                noise();
                return;
            }

            int root = ROOTS[bar % 4];
            double chordEnv = 1.0 / (1.0 + 3.0 * (inBeat + (beat % 2)));
            double chord = chordEnv * (tone(midiFrequency(root + 12), t)
                    + tone(midiFrequency(root + 12 + THIRDS[bar % 4]), t) + tone(midiFrequency(root + 19), t));
            double bass = 0.8 * tone(midiFrequency(root - 12), t) * (1.0 - 0.5 * inBeat);

            int half = (int) Math.floor(beats * 2.0);
            double melodyFreq = midiFrequency(root + 24 + STEPS[half % 8]);
            double vibrato = 1.0 + 0.003 * sineOfCycles(5.5 * t);
            double inHalf = beats * 2.0 - half;
            double melodyEnv = inHalf < 0.05 ? inHalf / 0.05 : 1.0 - 0.6 * inHalf;
            double melody = melodyEnv * tone(melodyFreq * vibrato, t);

            double burst = 0.0;
            double n1 = noise();
            if (inBeat >= 0.5) {
                double d = (inBeat - 0.5) * 10.0;
                burst = n1 / (1.0 + d * d * 8.0);
            }
            double kickT = inBeat * 0.5;
            double kick = (1.0 / (1.0 + 40.0 * kickT))
                    * sineOfCycles(60.0 * kickT + 90.0 * kickT / (1.0 + 20.0 * kickT));

            double a = 0.11 * loudness;
            left = a * (0.9 * chord + 0.6 * bass + melody + 0.25 * burst + 1.5 * kick);
            right = a * (0.35 * chord + 0.6 * bass + melody + 0.7 * burst + 1.5 * kick);
        }
    }

    static long synthesiserDigest() {
        Synth synth = new Synth(2, 44100, 12345, 1.0);
        short[] block = new short[2 * 44100];
        Digest d = new Digest();
        for (int i = 0; i < 3; i++) {
            synth.render(block, 44100);
            d.shorts(block);
        }
        return d.h;
    }

    static float[] eqCurve(int n) {
        float[] g = new float[Math.max(n, 0)];
        for (int k = 0; k < n; k++) {
            double x = (double) k / n;
            double v = 1.0 + 0.3 * sineOfCycles(7.0 * x);
            if (x < 0.01) v *= 0.5;
            if (x > 0.05 && x < 0.12) v *= 1.8;
            if (x > 0.2 && x < 0.22) v *= 0.05;
            if (x > 0.5) v *= 1.0 - (x - 0.5);
            g[k] = (float) v;
        }
        return g;
    }

    // The scenario, block by block: the whole array after each call, then the
    // peak level and the 72 spectrum values, as the C++ driver digests them.
    static long runScenario() {
        NativeInterface ni = new NativeInterface();
        Synth synth = new Synth(2, 44100, 12345, 1.0);
        ni.dspInit(2048, 4, 44100, 2);
        double[] a = {1.0, -3.377283899741323, 4.289351813000395, -2.442380214523248, 0.5303749049774029};
        double[] b = {0.03426430802952799, 0.0, -0.068528616059056, 0.0, 0.03426430802952799};
        ni.dspVoiceRemovalFilter(a, b, a.length, b.length);
        ni.dspVoiceRemovalEnable(1);
        ni.dspVoiceRemovalAmount(0.7f);
        ni.dspEQSetBands(eqCurve(1024));
        ni.dspEQEnable(1);
        ni.dspPanning(1, 0, 40);
        ni.dspSetPreamp(1.8f);
        int[] in = {4096, 1000, 3000, 17, 2600, 512, 4000};
        int[] out = {3000, 800, 3100, 20, 1900, 700, 2900};
        Digest d = new Digest();
        float[] spectrum = new float[72];
        Arrays.fill(spectrum, -1.0f);
        for (int r = 0; r < 6; r++) {
            for (int i = 0; i < in.length; i++) {
                short[] samples = new short[2 * Math.max(in[i], out[i])];
                synth.render(samples, in[i]);
                ni.dspProcess(samples, in[i], out[i], 1.0f);
                d.shorts(samples);
                d.floatBits(ni.dspGetMaxLevel());
                ni.dspGetSpectrum(spectrum, 72);
                for (float v : spectrum) d.floatBits(v);
            }
        }
        return d.h;
    }

    // The stereo input at 44.1 kHz as a 16-bit WAV file, for a stretch whose
    // output every platform must give alike.
    static void writeInput(Path file, double seconds) throws IOException {
        int frames = (int) (seconds * 44100);
        short[] pcm = new short[2 * frames];
        new Synth(2, 44100, 12345, 1.0).render(pcm, frames);
        ByteBuffer buf = ByteBuffer.allocate(44 + 2 * pcm.length).order(ByteOrder.LITTLE_ENDIAN);
        buf.put("RIFF".getBytes()).putInt(36 + 2 * pcm.length).put("WAVE".getBytes());
        buf.put("fmt ".getBytes()).putInt(16).putShort((short) 1).putShort((short) 2).putInt(44100)
                .putInt(44100 * 4).putShort((short) 4).putShort((short) 16);
        buf.put("data".getBytes()).putInt(2 * pcm.length);
        for (short s : pcm) buf.putShort(s);
        try (OutputStream o = Files.newOutputStream(file)) {
            o.write(buf.array());
        }
    }
}
