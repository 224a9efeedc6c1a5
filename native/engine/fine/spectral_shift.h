// Moving a frame's partials down in the spectrum without stretching their
// time envelopes: the fine mode's transposition below the input's pitch.
//
// A region of bins (a partial's peak and its skirts, or a band of an attack)
// is moved as a whole by a fractional number of bins, which is a
// multiplication of the frame by a complex exponential: done in the spectrum
// as a short convolution whose taps are fitted, for each of SHIFT_STEPS
// fractions of a bin, to that exponential under the squared Hann window of
// the analysis and synthesis (what the overlap-add hears of the frame).
// Moved whole, a region keeps its bins' relative phases, so a partial keeps
// its shape and an attack its width; what a resampler would do, scaling the
// spectrum, lengthens an attack by the inverse of the ratio.
//
// Owns: the taps' table, which the caller keeps (built once, off the audio
// path). Threads: any; nothing shared. Audio path: spectral_shift_add
// allocates, locks and logs nothing.
#pragma once

constexpr int SHIFT_TAPS = 8;    // per moved bin
constexpr int SHIFT_STEPS = 64;  // fractions of a bin in the table
constexpr int SHIFT_CENTRE = SHIFT_TAPS / 2 - 1;  // the tap that stays on its bin

struct SpectralShiftTable {
  float taps[SHIFT_STEPS + 1][SHIFT_TAPS];
};

// Fits the taps (a few thousand operations; not for the audio path).
void spectral_shift_build(SpectralShiftTable& table);

// Adds bins [from, to) of (xr, xi), a one-sided spectrum of a frame of
// 2 * half samples whose phases refer to the frame's first sample, moved up
// by `by` bins (negative: down) to (yr, yi), half bins each; what lands
// outside 0..half-1 is dropped.
void spectral_shift_add(const SpectralShiftTable& table, const float* xr, const float* xi, int from, int to,
                        double by, float* yr, float* yi, int half);
