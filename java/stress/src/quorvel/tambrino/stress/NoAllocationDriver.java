package quorvel.tambrino.stress;

import quorvel.tambrino.NativeInterface;

/**
 * Proves in a real virtual machine that the audio path and the pollers make
 * no C-heap allocation: a stereo stream at 2048/4 with voice removal, the
 * equaliser and the spectrum on, each block followed by a peak and a
 * spectrum poll, with malloc and its family counted on this thread (by the
 * preloaded {@link MallocCounter} library) around every block's three calls.
 * The first block makes the work buffers, and in the first blocks the
 * virtual machine itself allocates a little on this thread (once, when the
 * native methods have been called 128 times, while it decides whether to
 * compile them); after that warm-up nothing may be allocated.
 *
 * <p>Usage: {@code NoAllocationDriver [--warm-up N] [--blocks N]}. Prints the
 * counts; a line starting with {@code FAIL:} marks a failure.
 */
public final class NoAllocationDriver {
    private static final int FRAME_SIZE = 2048;
    private static final int OVERSAMPLING = 4;
    private static final int RATE = 44100;
    private static final int SAMPLES_IN = 2048;
    private static final int SAMPLES_OUT = 2731; // tempo 0.75

    private NoAllocationDriver() {}

    public static void main(String[] args) {
        int warmUp = 200;
        int blocks = 400;
        for (int i = 0; i + 1 < args.length; i += 2) {
            if (args[i].equals("--warm-up")) {
                warmUp = Integer.parseInt(args[i + 1]);
            } else if (args[i].equals("--blocks")) {
                blocks = Integer.parseInt(args[i + 1]);
            }
        }
        if (!MallocCounter.active()) {
            System.out.println("FAIL: the counting library is not preloaded (LD_PRELOAD)");
            System.exit(1);
        }
        NativeInterface ni = new NativeInterface();
        ni.dspInit(FRAME_SIZE, OVERSAMPLING, RATE, 2);
        // A second-order Butterworth low-pass at 3 kHz.
        ni.dspVoiceRemovalFilter(new double[] {1.0, -1.407505343915143, 0.5466494936820961},
                new double[] {0.03478603744173827, 0.06957207488347654, 0.03478603744173827}, 3, 3);
        ni.dspVoiceRemovalEnable(1);
        ni.dspVoiceRemovalAmount(0.8f);
        float[] gains = new float[FRAME_SIZE / 2];
        for (int k = 0; k < gains.length; k++) {
            gains[k] = (float) (1.0 + 0.4 * Math.sin(k * 0.01));
        }
        ni.dspEQSetBands(gains);
        ni.dspEQEnable(1);
        ni.dspSpectrumEnable(1);
        ni.dspSetPreamp(1.5f);

        short[] samples = new short[2 * Math.max(SAMPLES_IN, SAMPLES_OUT)];
        float[] spectrum = new float[72];
        long firstBlock = 0;
        long warmUpRest = 0;
        long measured = 0;
        long frame = 0;
        boolean finite = true;
        for (int b = 0; b < warmUp + blocks; b++) {
            for (int i = 0; i < SAMPLES_IN; i++, frame++) {
                double t = frame / (double) RATE;
                double voice = 0.3 * Math.sin(2 * Math.PI * 440.0 * t * (1.0 + 0.003 * Math.sin(2 * Math.PI * 5.5 * t)));
                double left = 0.2 * Math.sin(2 * Math.PI * 196.0 * t) + voice;
                double right = 0.2 * Math.sin(2 * Math.PI * 293.7 * t) + voice;
                samples[2 * i] = (short) (left * 20000);
                samples[2 * i + 1] = (short) (right * 20000);
            }
            MallocCounter.start();
            ni.dspProcess(samples, SAMPLES_IN, SAMPLES_OUT, 1.0f);
            float level = ni.dspGetMaxLevel();
            ni.dspGetSpectrum(spectrum, spectrum.length);
            long n = MallocCounter.stop();
            if (n != 0 && b > 0) {
                System.out.printf("%s block %d: %d allocations%n", b < warmUp ? "warm-up" : "measured", b + 1, n);
            }
            if (b == 0) {
                firstBlock = n;
            } else if (b < warmUp) {
                warmUpRest += n;
            } else {
                measured += n;
            }
            finite &= Float.isFinite(level);
            for (float v : spectrum) {
                finite &= Float.isFinite(v) && v >= 0.0f;
            }
        }
        System.out.printf("C-heap allocations on the calling thread: first block %d, blocks 2 to %d %d,"
                + " then %d in %d stereo %d/%d blocks (%d in, %d out) with voice removal, equaliser,"
                + " spectrum and a peak and spectrum poll after each%n",
                firstBlock, warmUp, warmUpRest, measured, blocks, FRAME_SIZE, OVERSAMPLING, SAMPLES_IN,
                SAMPLES_OUT);
        if (!finite) {
            System.out.println("FAIL: a peak level or spectrum value that is not finite and non-negative");
        }
        if (measured != 0) {
            System.out.println("FAIL: allocations after the warm-up");
        }
        System.exit(finite && measured == 0 ? 0 : 1);
    }
}
