package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quorvel.tambrino.EngineRuns.DSP;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * The quality modes as the Java side sees them: the fine mode's helpers, the
 * switch's error policy, and a click that comes out of the fine mode exactly
 * {@link NativeInterface#fineLatency} frames late at tempo 1.
 */
class QualityModeTest {
    @AfterEach
    void backToExact() {
        DSP.dspQualityMode(NativeInterface.QUALITY_EXACT);
    }

    @Test
    void fineFrameSizeIsAbout90Milliseconds() {
        assertEquals(4096, NativeInterface.fineFrameSize(44100));
        assertEquals(4096, NativeInterface.fineFrameSize(48000));
        assertEquals(4096, NativeInterface.fineFrameSize(96000));
        assertEquals(2048, NativeInterface.fineFrameSize(22050));
        assertEquals(512, NativeInterface.fineFrameSize(8000));
        assertEquals(8, NativeInterface.fineFrameSize(32));
        assertThrows(IllegalArgumentException.class, () -> NativeInterface.fineFrameSize(0));
    }

    @Test
    void fineOverSamplingAndLatency() {
        assertEquals(8, NativeInterface.fineOverSampling(4096, 0.75));
        assertEquals(8, NativeInterface.fineOverSampling(4096, 2.0));
        assertEquals(8192, NativeInterface.fineLatency(4096, 8, 1.0));
        assertEquals(10240, NativeInterface.fineLatency(4096, 8, 0.75));
        assertEquals(14336, NativeInterface.fineLatency(4096, 8, 0.5));
        // Transposed, the values the engine's own fine_latency_shifted gives.
        assertEquals(10240, NativeInterface.fineLatency(4096, 8, 0.75, 0.0f));
        assertEquals(13033, NativeInterface.fineLatency(4096, 8, 0.75, 5.0f));
        assertEquals(10240, NativeInterface.fineLatency(4096, 8, 0.75, -5.0f));
        assertThrows(IllegalArgumentException.class, () -> NativeInterface.fineOverSampling(3000, 1.0));
        assertThrows(IllegalArgumentException.class, () -> NativeInterface.fineOverSampling(4096, 0.0));
        assertThrows(IllegalArgumentException.class, () -> NativeInterface.fineLatency(4096, 8, Double.NaN));
        assertThrows(IllegalArgumentException.class, () -> NativeInterface.fineLatency(4096, 5000, 1.0));
    }

    @Test
    void anUnknownModeIsRefusedAndChangesNothing() {
        EngineRuns.neutralSettings();
        short[] expected = EngineRuns.run(2);
        for (int mode : new int[] {2, -1, Integer.MAX_VALUE}) {
            IllegalArgumentException e =
                    assertThrows(IllegalArgumentException.class, () -> DSP.dspQualityMode(mode));
            assertTrue(e.getMessage().contains("dspQualityMode"), e.getMessage());
        }
        assertArrayEquals(expected, EngineRuns.run(2));
    }

    @Test
    void aClickComesOutAfterTheStartUpDelay() {
        EngineRuns.neutralSettings();
        int frameSize = NativeInterface.fineFrameSize(44100);
        int overSampling = NativeInterface.fineOverSampling(frameSize, 1.0);
        DSP.dspInit(frameSize, overSampling, 44100, 2);
        DSP.dspQualityMode(NativeInterface.QUALITY_FINE);
        int latency = NativeInterface.fineLatency(frameSize, overSampling, 1.0);
        int click = 1000;
        int block = 4096;
        int loudestAt = -1;
        int loudest = 0;
        for (int b = 0; b < 6; b++) {
            short[] samples = new short[2 * block];
            if (b == 0) {
                samples[2 * click] = 20000;
                samples[2 * click + 1] = -20000;
            }
            DSP.dspProcess(samples, block, block, 0f);
            for (int i = 0; i < block; i++) {
                if (Math.abs(samples[2 * i]) > loudest) {
                    loudest = Math.abs(samples[2 * i]);
                    loudestAt = b * block + i;
                }
            }
        }
        assertEquals(latency + click, loudestAt);
        assertTrue(loudest > 19000, "click level " + loudest);
    }
}
