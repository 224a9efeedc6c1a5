#include "spectrum.h"

#include <math.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

std::atomic<int> spectrum_enabled{1};

namespace {

constexpr double kTwoPi = 6.283185307179586;
// The history keeps every fourth output sample.
constexpr int kDecimation = 4;
// About 32 analyses per second: one per eighth of a second of history.
constexpr int kAnalysesPerHistorySecond = 8;

int channels = 0;
int sampleRate = 0;
int analysisSamples = 0;
int samplesIn = 0;

float spectrum_samples[SPECTRUM_HISTORY];
float spectrum_buffer[SPECTRUM_HISTORY];
// One row per note, positions in history order, so that each note's sums run
// over contiguous memory.
alignas(64) float coeff_cos[SPECTRUM_NOTES][SPECTRUM_HISTORY];
alignas(64) float coeff_sin[SPECTRUM_NOTES][SPECTRUM_HISTORY];
std::atomic<float> spectrum_values[SPECTRUM_NOTES];

// Equal temperament around A4 = 440 Hz at note 45. The exponent is a float
// quotient and the power is rounded to float before the multiplication, so
// that every A comes out exact.
float noteFrequency(int note) {
  const float exponent = static_cast<float>(note - 45) / 12.0f;
  const float power = static_cast<float>(std::pow(2.0, static_cast<double>(exponent)));
  return 440.0f * power;
}

void buildTables() {
  for (int i = 0; i < SPECTRUM_NOTES; ++i) {
    spectrum_values[i].store(0.0f, std::memory_order_relaxed);
    if (sampleRate <= 0) {
      // No usable rate: the tables would be NaN; an idle analyser never reads them.
      std::fill(coeff_cos[i], coeff_cos[i] + SPECTRUM_HISTORY, 0.0f);
      std::fill(coeff_sin[i], coeff_sin[i] + SPECTRUM_HISTORY, 0.0f);
      continue;
    }
    const double freq = static_cast<double>(noteFrequency(i));
    const double rate = static_cast<double>(sampleRate);
    for (int p = 0; p < SPECTRUM_HISTORY; ++p) {
      // The phase is rounded to float before the single-precision sincos; the
      // rounding is part of the table.
      const float arg = static_cast<float>(kTwoPi * freq * static_cast<double>(p) / rate);
      float s;
      float c;
      ::sincosf(arg, &s, &c);
      coeff_cos[i][p] = c;
      coeff_sin[i][p] = -s;
    }
  }
}

// Decimated samples of a chunk: samples[0], samples[4], ..., at most a whole history.
int takenCount(int size) {
  return std::min(size / kDecimation, SPECTRUM_HISTORY);
}

void shiftAndAppend(const float* samples, int inputSize) {
  const int kept = SPECTRUM_HISTORY - inputSize;
  std::memmove(spectrum_samples, spectrum_samples + inputSize, sizeof(float) * static_cast<size_t>(kept));
  for (int k = 0; k < inputSize; ++k) spectrum_samples[kept + k] = samples[kDecimation * k];
}

void averageIntoNewest(const float* samples, int inputSize) {
  const int first = SPECTRUM_HISTORY - inputSize;
  for (int k = 0; k < inputSize; ++k) {
    spectrum_samples[first + k] = (spectrum_samples[first + k] + samples[kDecimation * k]) * 0.5f;
  }
}

// Counts a chunk and tells whether an analysis is due. At most one analysis
// runs per push and the remainder is carried, but never more than one whole
// interval: a larger backlog could only repeat analyses of an almost unchanged
// history at every following push, and a long run of chunks longer than the
// interval would otherwise overflow the count.
bool countChunk(int size) {
  if (analysisSamples <= 0) return false;
  const int64_t total = static_cast<int64_t>(samplesIn) + size;
  if (total < analysisSamples) {
    samplesIn = static_cast<int>(total);
    return false;
  }
  samplesIn = static_cast<int>(std::min<int64_t>(total - analysisSamples, analysisSamples));
  return true;
}

// Periodic Hann window of the whole history, in double precision.
void applyWindow() {
  for (int j = 0; j < SPECTRUM_HISTORY; ++j) {
    const double w = 0.5 - 0.5 * std::cos(kTwoPi * j / SPECTRUM_HISTORY);
    spectrum_buffer[j] = static_cast<float>(static_cast<double>(spectrum_samples[j]) * w);
  }
}

// Correlates the windowed history with one note's sinusoid and smooths the
// level. The sums run in float with k ascending; their order is fixed.
void resonate(int bin) {
  const float* cosRow = coeff_cos[bin];
  const float* sinRow = coeff_sin[bin];
  float sinPart = 0.0f;
  float cosPart = 0.0f;
  for (int k = 0; k < SPECTRUM_HISTORY; ++k) {
    sinPart += spectrum_buffer[k] * sinRow[k];
    cosPart += spectrum_buffer[k] * cosRow[k];
  }
  const float power = sinPart * sinPart + cosPart * cosPart;
  const float magnitude = static_cast<float>(std::sqrt(static_cast<double>(power)) / SPECTRUM_HISTORY);
  const float old = spectrum_values[bin].load(std::memory_order_relaxed);
  spectrum_values[bin].store(magnitude + 0.2f * old, std::memory_order_relaxed);
}

void analyse() {
  applyWindow();
  for (int i = 0; i < SPECTRUM_NOTES; ++i) resonate(i);
}

}  // namespace

void spectrum_init(int sampleFreq, int sampleChannels) {
  channels = sampleChannels;
  sampleRate = sampleFreq / kDecimation;
  analysisSamples = sampleRate / kAnalysesPerHistorySecond;
  std::fill(spectrum_samples, spectrum_samples + SPECTRUM_HISTORY, 0.0f);
  buildTables();
}

void spectrum_push(const float* samples, int size, int channel) {
  if (spectrum_enabled.load(std::memory_order_relaxed) == 0) return;
  if (samples == nullptr || size < 0) return;

  const int inputSize = takenCount(size);
  if (channel == 0 && channels == 2) {
    // First channel of a stereo stream: the second channel's push mixes into
    // these positions and then counts for both.
    shiftAndAppend(samples, inputSize);
    return;
  }
  if (channels == 1) {
    shiftAndAppend(samples, inputSize);
  } else {
    averageIntoNewest(samples, inputSize);
  }
  if (countChunk(size)) analyse();
}

int spectrum_size() {
  return SPECTRUM_NOTES;
}

const std::atomic<float>* spectrum_get() {
  return spectrum_values;
}

SpectrumInspect spectrum_inspect() {
  return SpectrumInspect{channels, sampleRate, analysisSamples, samplesIn, spectrum_samples};
}

float spectrum_note_frequency(int note) {
  if (note < 0 || note >= SPECTRUM_NOTES) return 0.0f;
  return noteFrequency(note);
}

void spectrum_coefficients(int note, int p, float* cosValue, float* minusSinValue) {
  const bool inRange = note >= 0 && note < SPECTRUM_NOTES && p >= 0 && p < SPECTRUM_HISTORY;
  if (cosValue != nullptr) *cosValue = inRange ? coeff_cos[note][p] : 0.0f;
  if (minusSinValue != nullptr) *minusSinValue = inRange ? coeff_sin[note][p] : 0.0f;
}
