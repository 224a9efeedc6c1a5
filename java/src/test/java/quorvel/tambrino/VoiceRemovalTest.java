package quorvel.tambrino;

import static org.junit.jupiter.api.Assertions.assertFalse;
import static quorvel.tambrino.EngineRuns.DSP;
import static quorvel.tambrino.EngineRuns.assertSameSamples;

import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Voice removal acts on stereo streams with a positive amount only. The
 * filters keep their history from block to block, so a block that stepped
 * them shows in every later output until the coefficients are given again.
 */
class VoiceRemovalTest {
    @BeforeEach
    void neutral() {
        EngineRuns.neutralSettings();
        EngineRuns.loadFilter();
    }

    /** The test music after voice removal at 0.6 from fresh filter histories. */
    private static short[] removalFromFreshFilters() {
        EngineRuns.loadFilter();
        DSP.dspVoiceRemovalEnable(1);
        DSP.dspVoiceRemovalAmount(0.6f);
        return EngineRuns.run(2);
    }

    @Test
    void aPositiveAmountChangesTheOutput() {
        short[] plain = EngineRuns.run(2);
        short[] removed = removalFromFreshFilters();
        assertFalse(Arrays.equals(plain, removed));
        // The filter histories matter: the same run again, without reloading, differs.
        assertFalse(Arrays.equals(removed, EngineRuns.run(2)));
    }

    /**
     * The engine refuses a filter whose response does not die away or is too
     * loud; the designed one, poles clustered near 1 at a low cut-off and a
     * high rate, is neither at any rate and cut-off that a session takes.
     */
    @Test
    void everyFilterThatASessionDesignsIsOneTheEngineTakes() {
        try (Engine engine = new Engine()) {
            for (int rate : List.of(224, 8000, 44100, 192000, 768000, Session.MAX_SAMPLE_RATE)) {
                for (double cutoff : List.of(VoiceFilter.MIN_CUTOFF_HZ, VoiceFilter.DEFAULT_CUTOFF_HZ,
                        VoiceFilter.MAX_CUTOFF_HZ)) {
                    if (cutoff <= rate / 4.0) {
                        VoiceFilter.Coefficients c = VoiceFilter.design(cutoff, rate);
                        engine.dspVoiceRemovalFilter(c.a, c.b, c.a.length, c.b.length);
                    }
                }
            }
        }
        try (Session s = Session.builder(Session.MAX_SAMPLE_RATE, 2).open()) {
            s.setVoiceRemoval(1, VoiceFilter.MIN_CUTOFF_HZ);
        }
    }

    @Test
    void anAmountOfZeroOrBelowStepsNoFilter() {
        short[] plain = EngineRuns.run(2);
        short[] expected = removalFromFreshFilters();
        for (float amount : new float[] {0.0f, -0.0f, -0.5f}) {
            EngineRuns.loadFilter();
            DSP.dspVoiceRemovalEnable(1);
            DSP.dspVoiceRemovalAmount(amount);
            assertSameSamples(plain, EngineRuns.run(2), "amount " + amount + ": only panned and scaled");
            // Had the blocks above stepped the filters, their histories would
            // now differ from fresh ones and so would this output.
            DSP.dspVoiceRemovalAmount(0.6f);
            assertSameSamples(expected, EngineRuns.run(2), "after amount " + amount);
        }
    }

    @Test
    void aMonoStreamIgnoresPanningFoldAndVoiceRemoval() {
        short[] plain = EngineRuns.run(1);
        DSP.dspVoiceRemovalEnable(1);
        DSP.dspVoiceRemovalAmount(1.0f);
        DSP.dspPanning(1, 1, 0);
        assertSameSamples(plain, EngineRuns.run(1), "fold and voice removal on a mono stream");
        DSP.dspPanning(1, 0, 0);
        assertSameSamples(plain, EngineRuns.run(1), "level 0 and voice removal on a mono stream");
        DSP.dspPanning(1, 0, 100);
        assertSameSamples(plain, EngineRuns.run(1), "level 100 and voice removal on a mono stream");

        // Nor did the mono blocks step the filters.
        DSP.dspPanning(0, 0, 50);
        DSP.dspVoiceRemovalAmount(0.6f);
        short[] stereo = EngineRuns.run(2);
        assertSameSamples(removalFromFreshFilters(), stereo, "filters untouched by the mono stream");
    }
}
