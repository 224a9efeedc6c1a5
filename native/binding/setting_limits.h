// The limits that the entry points hold the engine's settings to: a value
// that could make the stream non-finite for good (a NaN or infinite gain, a
// voice filter that is unstable or so loud that its output overflows) is
// refused before anything is stored, while every value inside the limits is
// stored exactly as given.
//
// Owns: nothing; pure functions and the limits themselves.
// Threads: any; nothing here touches an engine.
// Audio path: never called on it. The voice filter's check runs once per
// hand-over, on the setter's thread: the filter's impulse response until it
// has provably died away (a few thousand samples for a voice filter at
// 44.1 kHz, some hundred thousand at 1 MHz, at most SETTING_FILTER_SETTLE
// after the numerator ends), sizeA multiply-adds twice per sample.
#pragma once

// The preamp: a linear gain of 0 to 64 (+36 dB).
constexpr float SETTING_MAX_PREAMP = 64.0f;
// The voice-removal amount: at most 1 (all of the centre); 0 or below
// switches the removal off, as the block pipeline defines it.
constexpr float SETTING_MAX_VOICE_AMOUNT = 1.0f;
// The panning level: 0 (both outputs carry the right input) to 100 (both
// carry the left input), 50 neutral.
constexpr int SETTING_MAX_PANNING_LEVEL = 100;
// An equaliser gain: linear, 0 to 1000 (+60 dB).
constexpr float SETTING_MAX_EQ_GAIN = 1000.0f;
// The voice filter's gain: the sum of the magnitudes of its impulse
// response, the most by which it can raise a full-scale input (a voice
// filter has about 2.3).
constexpr double SETTING_MAX_FILTER_GAIN = 1e6;
// Samples after its numerator ends within which the voice filter's impulse
// response must have died away: poles that close to the unit circle ring
// for longer than the check can bound their gain.
constexpr int SETTING_FILTER_SETTLE = 1 << 20;

bool setting_preamp_ok(float preamp);
bool setting_voice_amount_ok(float amount);
bool setting_panning_level_ok(int level);
bool setting_eq_gain_ok(float gain);

enum class FilterCheck {
  Ok,
  NotFinite,     // a coefficient is NaN or infinite (index: a's, then b's)
  TooLoud,       // gain above SETTING_MAX_FILTER_GAIN, or growing without bound
  RingsTooLong,  // not died away within SETTING_FILTER_SETTLE samples
};

struct FilterVerdict {
  FilterCheck check;
  int index;     // the coefficient (NotFinite)
  double value;  // that coefficient, or the gain found
};

// Checks the filter as the engine runs it: y[n] = Σ b[i]·x[n−i] −
// Σ(i ≥ 1) a[i]·y[n−i], a[0] never read. Every coefficient must be finite,
// and the gain at most SETTING_MAX_FILTER_GAIN, bounded from above by
// running the impulse response until its tail is provably negligible, which
// a filter with a pole on or outside the unit circle never reaches: it grows
// past the limit or rings on. sizeA, sizeB >= 1.
FilterVerdict setting_check_filter(const double* a, const double* b, int sizeA, int sizeB);
