package quorvel.tambrino.stress;

import java.util.Random;
import java.util.concurrent.atomic.AtomicBoolean;

import quorvel.tambrino.NativeInterface;

/**
 * The engine's threading contract in a real virtual machine: a playback
 * thread streams stereo blocks with voice removal on, while a second thread
 * calls every setter and both pollers as fast as it can, swapping the
 * voice-removal filter through {@code dspVoiceRemovalFilter} among them
 * ({@code dspInit} is left out: it must not overlap {@code dspProcess}).
 * Meant to run under {@code -Xcheck:jni}. Every written sample must stay
 * within -32767..32767 and every peak level and spectrum value must be finite
 * and non-negative.
 *
 * <p>Usage: {@code ConcurrencyDriver [--seconds S]}. Prints the call counts;
 * a line starting with {@code FAIL:} marks a failure.
 */
public final class ConcurrencyDriver {
    private static final int FRAME_SIZE = 2048;
    private static final int RATE = 44100;

    // Voice-removal filters: second- and fourth-order Butterworth and a
    // three-tap smoother.
    private static final double[][][] FILTERS = {
        {{1.0, -1.407505343915143, 0.5466494936820961},
         {0.03478603744173827, 0.06957207488347654, 0.03478603744173827}},
        {{1.0, -3.377283899741323, 4.289351813000395, -2.442380214523248, 0.5303749049774029},
         {0.03426430802952799, 0.0, -0.068528616059056, 0.0, 0.03426430802952799}},
        {{1.0}, {0.25, 0.5, 0.25}},
    };

    private final NativeInterface ni = new NativeInterface();
    private final AtomicBoolean running = new AtomicBoolean(true);
    private volatile String failure;

    private long blocks;
    private long samplesChecked;
    private long setterCalls;
    private long filterSwaps;
    private long bandSets;
    private long polls;

    private ConcurrencyDriver() {}

    public static void main(String[] args) throws InterruptedException {
        double seconds = 3.0;
        for (int i = 0; i + 1 < args.length; i += 2) {
            if (args[i].equals("--seconds")) {
                seconds = Double.parseDouble(args[i + 1]);
            }
        }
        new ConcurrencyDriver().run(seconds);
    }

    private void fail(String what) {
        if (failure == null) {
            failure = what;
        }
        running.set(false);
    }

    private void run(double seconds) throws InterruptedException {
        ni.dspInit(FRAME_SIZE, 4, RATE, 2);
        ni.dspVoiceRemovalFilter(FILTERS[0][0], FILTERS[0][1], FILTERS[0][0].length, FILTERS[0][1].length);
        ni.dspVoiceRemovalEnable(1);
        ni.dspVoiceRemovalAmount(1.0f);

        Thread playback = new Thread(this::playback, "playback");
        Thread settings = new Thread(this::settings, "settings");
        playback.start();
        settings.start();
        Thread.sleep((long) (seconds * 1000));
        running.set(false);
        playback.join();
        settings.join();

        System.out.printf("Concurrency, %.1f s: %d stereo 2048/4 blocks with voice removal (%d samples"
                + " checked) against %d setter calls, %d filter swaps, %d equaliser band sets and %d polls"
                + " from a second thread%n",
                seconds, blocks, samplesChecked, setterCalls, filterSwaps, bandSets, polls);
        if (failure != null) {
            System.out.println("FAIL: " + failure);
            System.exit(1);
        }
        if (blocks < 10 || setterCalls < 1000 || filterSwaps < 10 || polls < 1000) {
            System.out.println("FAIL: the threads hardly ran side by side");
            System.exit(1);
        }
    }

    // Blocks of 2048 frames at tempos from 0.7 to 1.3, every written sample
    // checked.
    private void playback() {
        short[] samples = new short[2 * 2 * 2048];
        Random random = new Random(1);
        long frame = 0;
        while (running.get()) {
            int samplesOut = 1576 + random.nextInt(1350);
            for (int i = 0; i < 2048; i++, frame++) {
                double t = frame / (double) RATE;
                double voice = 0.4 * Math.sin(2 * Math.PI * 330.0 * t);
                samples[2 * i] = (short) (20000 * (0.3 * Math.sin(2 * Math.PI * 110.0 * t) + voice));
                samples[2 * i + 1] = (short) (20000 * (0.3 * Math.sin(2 * Math.PI * 523.3 * t) + voice));
            }
            ni.dspProcess(samples, 2048, samplesOut, 1.0f);
            for (int i = 0; i < 2 * samplesOut; i++) {
                if (samples[i] == Short.MIN_VALUE) {
                    fail("sample " + i + " of block " + blocks + " is -32768");
                }
            }
            samplesChecked += 2L * samplesOut;
            blocks++;
        }
    }

    private void settings() {
        Random random = new Random(2);
        float[] gains = new float[FRAME_SIZE / 2];
        float[] spectrum = new float[72];
        while (running.get()) {
            switch (random.nextInt(9)) {
                case 0 -> ni.dspVoiceRemovalEnable(random.nextInt(8) == 0 ? 0 : 1 + random.nextInt(2));
                case 1 -> ni.dspVoiceRemovalAmount(0.3f + 0.7f * random.nextFloat());
                case 2 -> ni.dspSetPreamp(0.25f + 3 * random.nextFloat());
                case 3 -> ni.dspSpectrumEnable(random.nextInt(6) == 0 ? 0 : 1 + random.nextInt(2));
                case 4 -> ni.dspPanning(random.nextInt(2), random.nextInt(4) == 0 ? 1 : 0, random.nextInt(101));
                case 5 -> ni.dspEQEnable(random.nextInt(2));
                case 6 -> {
                    double[][] f = FILTERS[random.nextInt(FILTERS.length)];
                    ni.dspVoiceRemovalFilter(f[0], f[1], f[0].length, f[1].length);
                    filterSwaps++;
                }
                case 7 -> {
                    float tilt = random.nextFloat();
                    for (int k = 0; k < gains.length; k++) {
                        gains[k] = 0.5f + tilt * k / gains.length;
                    }
                    ni.dspEQSetBands(gains);
                    bandSets++;
                }
                default -> {
                    float level = ni.dspGetMaxLevel();
                    ni.dspGetSpectrum(spectrum, spectrum.length);
                    if (!(Float.isFinite(level) && level >= 0.0f)) {
                        fail("peak level " + level);
                    }
                    for (float v : spectrum) {
                        if (!(Float.isFinite(v) && v >= 0.0f)) {
                            fail("spectrum value " + v);
                        }
                    }
                    polls += 2;
                    continue;
                }
            }
            setterCalls++;
        }
    }
}
