// The note spectrum analyser: history, note tables, correlation and smoothing.
#include "spectrum.h"

#include <math.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cpu.h"
#include "detmath.h"
#include "spectrum_kernels.h"
#include "spectrum_testing.h"

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
// The carried count: output samples pushed since the last analysis, minus
// nothing but the analyses that ran. When chunks are longer than the interval
// (slow tempos) it builds a backlog that the following pushes drain, one
// analysis each. 64 bits, saturating at kCountLimit: a push adds at most
// 2^31 - 1, so the sum never overflows, and even at a hundred million output
// samples a second a stream would need over a thousand years to reach it.
int64_t samplesIn = 0;
constexpr int64_t kCountLimit = INT64_C(1) << 62;

// The history is the SPECTRUM_HISTORY values from spectrum_samples, oldest
// first, inside a longer store: appending moves the start forward, and only
// when the store's end is reached is the history moved back to its front.
constexpr int kHistoryStore = 4 * SPECTRUM_HISTORY;
float historyStore[kHistoryStore];
int historyStart = 0;
float* spectrum_samples = historyStore;
// The windowed histories of the analyses not yet correlated, oldest first.
// Inside a batch the analyses of one block wait here, so that one pass over
// the note tables (too large for the core's own caches) serves all of them;
// outside a batch each analysis passes through slot 0 at once.
constexpr int kMaxPending = 8;
alignas(64) float spectrum_buffer[kMaxPending][SPECTRUM_HISTORY];
int pendingCount = 0;
bool batching = false;
// The note tables, one row per history position holding all 72 notes, so
// that the notes' sums advance together (each note's sum still runs over k
// ascending, in its own lane): the cosine and the negated sine of each
// note's phase.
alignas(64) float noteCos[SPECTRUM_HISTORY][SPECTRUM_NOTES];
alignas(64) float noteMinusSin[SPECTRUM_HISTORY][SPECTRUM_NOTES];
// The periodic Hann window of the history, in double precision: the same
// values at every analysis, so computed once.
double hannWindow[SPECTRUM_HISTORY];
// The levels, which any thread may poll.
std::atomic<float> spectrum_values[SPECTRUM_NOTES];

// Equal temperament around A4 = 440 Hz at note 45. The exponent is a float
// quotient and the power is rounded to float before the multiplication, so
// that every A comes out exact.
float noteFrequency(int note) {
  const float exponent = static_cast<float>(note - 45) / 12.0f;
  const float power = static_cast<float>(tmath_exp2(static_cast<double>(exponent)));
  return 440.0f * power;
}

void buildTables() {
  for (int j = 0; j < SPECTRUM_HISTORY; ++j)
    hannWindow[j] = 0.5 - 0.5 * tmath_cos(kTwoPi * j / SPECTRUM_HISTORY);
  for (int i = 0; i < SPECTRUM_NOTES; ++i) {
    spectrum_values[i].store(0.0f, std::memory_order_relaxed);
    if (sampleRate <= 0) {
      // No usable rate: the tables would be NaN; an idle analyser never reads them.
      for (int p = 0; p < SPECTRUM_HISTORY; ++p) noteCos[p][i] = noteMinusSin[p][i] = 0.0f;
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
      tmath_sincosf(arg, &s, &c);
      noteCos[p][i] = c;
      noteMinusSin[p][i] = -s;
    }
  }
}

// Decimated samples of a chunk: samples[0], samples[4], ..., at most a whole history.
int takenCount(int size) {
  return std::min(size / kDecimation, SPECTRUM_HISTORY);
}

void shiftAndAppend(const float* samples, int inputSize) {
  const int kept = SPECTRUM_HISTORY - inputSize;
  if (historyStart + inputSize + SPECTRUM_HISTORY > kHistoryStore) {
    std::memmove(historyStore, spectrum_samples + inputSize, sizeof(float) * static_cast<size_t>(kept));
    historyStart = 0;
  } else {
    historyStart += inputSize;
  }
  spectrum_samples = historyStore + historyStart;
  for (int k = 0; k < inputSize; ++k) spectrum_samples[kept + k] = samples[kDecimation * k];
}

void averageIntoNewest(const float* samples, int inputSize) {
  const int first = SPECTRUM_HISTORY - inputSize;
  for (int k = 0; k < inputSize; ++k) {
    spectrum_samples[first + k] = (spectrum_samples[first + k] + samples[kDecimation * k]) * 0.5f;
  }
}

// Counts a chunk and tells whether an analysis is due: at most one per push,
// the whole remainder carried to the next.
bool countChunk(int size) {
  if (analysisSamples <= 0) return false;
  samplesIn = samplesIn > kCountLimit - size ? kCountLimit : samplesIn + size;
  if (samplesIn < analysisSamples) return false;
  samplesIn -= analysisSamples;
  return true;
}

// The history from position from on times the periodic Hann window, in
// double precision, rounded to float.
void applyWindow(float* buffer, int from) {
  for (int j = from; j < SPECTRUM_HISTORY; ++j)
    buffer[j] = static_cast<float>(static_cast<double>(spectrum_samples[j]) * hannWindow[j]);
}

// The correlations of all notes: sinPart[i] = sum over k of buffer[k] *
// noteMinusSin[k][i], likewise cosPart; in float, k ascending, from 0.
void correlate(const float* buffer, float* sinPart, float* cosPart) {
  std::fill(sinPart, sinPart + SPECTRUM_NOTES, 0.0f);
  std::fill(cosPart, cosPart + SPECTRUM_NOTES, 0.0f);
  for (int k = 0; k < SPECTRUM_HISTORY; ++k) {
    const float b = buffer[k];
    for (int i = 0; i < SPECTRUM_NOTES; ++i) {
      sinPart[i] += b * noteMinusSin[k][i];
      cosPart[i] += b * noteCos[k][i];
    }
  }
}

// Correlates the pending analyses and smooths each note's level in their
// order: the magnitude of its correlation plus 0.2 of the old level.
void runPending() {
  static float sinParts[kMaxPending][SPECTRUM_NOTES];
  static float cosParts[kMaxPending][SPECTRUM_NOTES];
  const CpuLevel level = cpu_level();
  int a = 0;
  if (level >= CpuLevel::Avx512) {
    a = spectrum_avx512::correlate(noteMinusSin, noteCos, spectrum_buffer, pendingCount, sinParts, cosParts);
  } else if (level >= CpuLevel::Avx2) {
    a = spectrum_avx2::correlate(noteMinusSin, noteCos, spectrum_buffer, pendingCount, sinParts, cosParts);
  }
  for (; a < pendingCount; ++a) correlate(spectrum_buffer[a], sinParts[a], cosParts[a]);
  for (int a = 0; a < pendingCount; ++a) {
    const float* sinPart = sinParts[a];
    const float* cosPart = cosParts[a];
    for (int i = 0; i < SPECTRUM_NOTES; ++i) {
      const float power = sinPart[i] * sinPart[i] + cosPart[i] * cosPart[i];
      const float magnitude = static_cast<float>(std::sqrt(static_cast<double>(power)) / SPECTRUM_HISTORY);
      const float old = spectrum_values[i].load(std::memory_order_relaxed);
      spectrum_values[i].store(magnitude + 0.2f * old, std::memory_order_relaxed);
    }
  }
  pendingCount = 0;
}

// Takes the windowed history of an analysis; outside a batch it runs at once.
void analyse() {
  if (pendingCount == kMaxPending) runPending();
  float* buffer = spectrum_buffer[pendingCount++];
  const CpuLevel level = cpu_level();
  int j = 0;
  if (level >= CpuLevel::Avx512) {
    j = spectrum_avx512::apply_window(spectrum_samples, hannWindow, buffer);
  } else if (level >= CpuLevel::Avx2) {
    j = spectrum_avx2::apply_window(spectrum_samples, hannWindow, buffer);
  }
  applyWindow(buffer, j);
  if (!batching) runPending();
}

}  // namespace

void spectrum_init(int sampleFreq, int sampleChannels) {
  // Analyses taken with the old tables finish with them.
  if (pendingCount > 0) runPending();
  channels = sampleChannels;
  sampleRate = sampleFreq / kDecimation;
  analysisSamples = sampleRate / kAnalysesPerHistorySecond;
  historyStart = 0;
  spectrum_samples = historyStore;
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

void spectrum_begin_batch() {
  batching = true;
}

void spectrum_end_batch() {
  batching = false;
  // Whatever the switch says now: these analyses were taken while it was on.
  if (pendingCount > 0) runPending();
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

void spectrum_set_carried_count(int64_t count) {
  samplesIn = std::max<int64_t>(0, std::min(count, kCountLimit));
}

float spectrum_note_frequency(int note) {
  if (note < 0 || note >= SPECTRUM_NOTES) return 0.0f;
  return noteFrequency(note);
}

void spectrum_coefficients(int note, int p, float* cosValue, float* minusSinValue) {
  const bool inRange = note >= 0 && note < SPECTRUM_NOTES && p >= 0 && p < SPECTRUM_HISTORY;
  if (cosValue != nullptr) *cosValue = inRange ? noteCos[p][note] : 0.0f;
  if (minusSinValue != nullptr) *minusSinValue = inRange ? noteMinusSin[p][note] : 0.0f;
}
