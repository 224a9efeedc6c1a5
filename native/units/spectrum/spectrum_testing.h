// Test hooks of the spectrum analyser: for tests, the benchmark and the fuzz
// target only.
#pragma once

#include <cstdint>

#include "spectrum.h"

// Read-only view of the analyser's state, for inspection by tests and tools.
struct SpectrumInspect {
  int channels;
  int sampleRate;        // rate of the decimated history (Hz)
  int analysisSamples;   // per-channel output samples between analyses
  int64_t samplesIn;     // carried count since the last analysis
  const float* history;  // SPECTRUM_HISTORY values, oldest first, until the next push
};
SpectrumInspect spectrum_inspect(const SpectrumState& state);

// Frequency of a note (0 for an index outside 0..SPECTRUM_NOTES-1).
float spectrum_note_frequency(int note);

// The note tables at history position p: cos and negated sin of the note's
// phase (both 0 for indices out of range).
void spectrum_coefficients(const SpectrumState& state, int note, int p, float* cosValue,
                           float* minusSinValue);

// Sets the carried count (clamped to 0 .. the saturation limit), so that a
// test can start runs from the same count; spectrum_init keeps it.
void spectrum_set_carried_count(SpectrumState& state, int64_t count);
