#include "spectrum.h"

#include <immintrin.h>
#include <math.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

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
// ascending, in its own lane).
alignas(64) float coeff_cos[SPECTRUM_HISTORY][SPECTRUM_NOTES];
alignas(64) float coeff_sin[SPECTRUM_HISTORY][SPECTRUM_NOTES];
// The periodic Hann window of the history, in double precision: the same
// values at every analysis, so computed once.
double hannWindow[SPECTRUM_HISTORY];
// The AVX2 analysis runs where the processor has AVX2 (checked at set-up);
// tests may switch it off.
bool vectorAllowed = true;
bool vectorPath = false;
// Where the processor has AVX-512, the batched analyses use its 32 vector
// registers for whole rows of two analyses at once (still eight notes a
// vector: 512-bit operations would not be faster).
bool wideAllowed = true;
bool widePath = false;

bool cpuHasAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}

bool cpuHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
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
  for (int j = 0; j < SPECTRUM_HISTORY; ++j)
    hannWindow[j] = 0.5 - 0.5 * std::cos(kTwoPi * j / SPECTRUM_HISTORY);
  for (int i = 0; i < SPECTRUM_NOTES; ++i) {
    spectrum_values[i].store(0.0f, std::memory_order_relaxed);
    if (sampleRate <= 0) {
      // No usable rate: the tables would be NaN; an idle analyser never reads them.
      for (int p = 0; p < SPECTRUM_HISTORY; ++p) coeff_cos[p][i] = coeff_sin[p][i] = 0.0f;
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
      coeff_cos[p][i] = c;
      coeff_sin[p][i] = -s;
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

// The history times the periodic Hann window, in double precision, rounded
// to float.
void applyWindow(float* buffer) {
  for (int j = 0; j < SPECTRUM_HISTORY; ++j)
    buffer[j] = static_cast<float>(static_cast<double>(spectrum_samples[j]) * hannWindow[j]);
}

// The correlations of all notes: sinPart[i] = sum over k of buffer[k] *
// coeff_sin[k][i], likewise cosPart; in float, k ascending, from 0.
void correlate(const float* buffer, float* sinPart, float* cosPart) {
  std::fill(sinPart, sinPart + SPECTRUM_NOTES, 0.0f);
  std::fill(cosPart, cosPart + SPECTRUM_NOTES, 0.0f);
  for (int k = 0; k < SPECTRUM_HISTORY; ++k) {
    const float b = buffer[k];
    for (int i = 0; i < SPECTRUM_NOTES; ++i) {
      sinPart[i] += b * coeff_sin[k][i];
      cosPart[i] += b * coeff_cos[k][i];
    }
  }
}

#define SPECTRUM_AVX2 __attribute__((target("avx2")))

// The same sums, eight notes to a vector (a product and a sum per lane,
// never fused), for every pending analysis. The history runs in tiles that
// stay in the first-level cache: the first analysis brings a tile of a table
// in, the others find it there. Each analysis keeps its nine sums of one
// table in registers through a tile and in part[] between tiles, so that
// every lane still adds its products with k ascending, from 0.
constexpr int kTileRows = 32;
static_assert(SPECTRUM_HISTORY % kTileRows == 0, "whole tiles");

SPECTRUM_AVX2 void correlateTileAvx2(const float (*table)[SPECTRUM_NOTES], const float* buffer, int k0,
                                     float* part) {
  static_assert(SPECTRUM_NOTES == 72, "nine vectors of notes");
  __m256 a0 = _mm256_loadu_ps(part), a1 = _mm256_loadu_ps(part + 8), a2 = _mm256_loadu_ps(part + 16),
         a3 = _mm256_loadu_ps(part + 24), a4 = _mm256_loadu_ps(part + 32), a5 = _mm256_loadu_ps(part + 40),
         a6 = _mm256_loadu_ps(part + 48), a7 = _mm256_loadu_ps(part + 56), a8 = _mm256_loadu_ps(part + 64);
  for (int k = k0; k < k0 + kTileRows; ++k) {
    const __m256 b = _mm256_broadcast_ss(buffer + k);
    const float* row = table[k];
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(b, _mm256_load_ps(row)));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(b, _mm256_load_ps(row + 8)));
    a2 = _mm256_add_ps(a2, _mm256_mul_ps(b, _mm256_load_ps(row + 16)));
    a3 = _mm256_add_ps(a3, _mm256_mul_ps(b, _mm256_load_ps(row + 24)));
    a4 = _mm256_add_ps(a4, _mm256_mul_ps(b, _mm256_load_ps(row + 32)));
    a5 = _mm256_add_ps(a5, _mm256_mul_ps(b, _mm256_load_ps(row + 40)));
    a6 = _mm256_add_ps(a6, _mm256_mul_ps(b, _mm256_load_ps(row + 48)));
    a7 = _mm256_add_ps(a7, _mm256_mul_ps(b, _mm256_load_ps(row + 56)));
    a8 = _mm256_add_ps(a8, _mm256_mul_ps(b, _mm256_load_ps(row + 64)));
  }
  _mm256_storeu_ps(part, a0);
  _mm256_storeu_ps(part + 8, a1);
  _mm256_storeu_ps(part + 16, a2);
  _mm256_storeu_ps(part + 24, a3);
  _mm256_storeu_ps(part + 32, a4);
  _mm256_storeu_ps(part + 40, a5);
  _mm256_storeu_ps(part + 48, a6);
  _mm256_storeu_ps(part + 56, a7);
  _mm256_storeu_ps(part + 64, a8);
}

// Two analyses at once over notes 8*kFirst to 8*(kFirst+kCount)-1: each row
// vector is loaded once for both, so that the loads from the shared cache
// overlap with twice the arithmetic. Defined for AVX2 (half rows, to fit 16
// registers) and for AVX-512 (whole rows in 32 registers).
#define SPECTRUM_PAIR_KERNEL(NAME, TARGET)                                                                 \
  template <int kFirst, int kCount>                                                                        \
  TARGET inline void NAME(const float(*table)[SPECTRUM_NOTES], const float* buffer0, const float* buffer1, \
                          int k0, float* part0, float* part1) {                                            \
    __m256 x[kCount];                                                                                      \
    __m256 y[kCount];                                                                                      \
    _Pragma("GCC unroll 9") for (int v = 0; v < kCount; ++v) {                                             \
      x[v] = _mm256_loadu_ps(part0 + 8 * (kFirst + v));                                                    \
      y[v] = _mm256_loadu_ps(part1 + 8 * (kFirst + v));                                                    \
    }                                                                                                      \
    for (int k = k0; k < k0 + kTileRows; ++k) {                                                            \
      const __m256 b0 = _mm256_broadcast_ss(buffer0 + k);                                                  \
      const __m256 b1 = _mm256_broadcast_ss(buffer1 + k);                                                  \
      const float* row = table[k] + 8 * kFirst;                                                            \
      _Pragma("GCC unroll 9") for (int v = 0; v < kCount; ++v) {                                           \
        const __m256 r = _mm256_load_ps(row + 8 * v);                                                      \
        x[v] = _mm256_add_ps(x[v], _mm256_mul_ps(b0, r));                                                  \
        y[v] = _mm256_add_ps(y[v], _mm256_mul_ps(b1, r));                                                  \
      }                                                                                                    \
    }                                                                                                      \
    _Pragma("GCC unroll 9") for (int v = 0; v < kCount; ++v) {                                             \
      _mm256_storeu_ps(part0 + 8 * (kFirst + v), x[v]);                                                    \
      _mm256_storeu_ps(part1 + 8 * (kFirst + v), y[v]);                                                    \
    }                                                                                                      \
  }

#define SPECTRUM_AVX512 __attribute__((target("avx2,avx512f,avx512vl")))

SPECTRUM_PAIR_KERNEL(correlatePairChunkAvx2, SPECTRUM_AVX2)
SPECTRUM_PAIR_KERNEL(correlatePairRowsAvx512, SPECTRUM_AVX512)

SPECTRUM_AVX2 void correlateTablePendingAvx2(const float (*table)[SPECTRUM_NOTES], int k0,
                                             float (*parts)[SPECTRUM_NOTES]) {
  int a = 0;
  for (; a + 1 < pendingCount; a += 2) {
    correlatePairChunkAvx2<0, 5>(table, spectrum_buffer[a], spectrum_buffer[a + 1], k0, parts[a],
                                 parts[a + 1]);
    correlatePairChunkAvx2<5, 4>(table, spectrum_buffer[a], spectrum_buffer[a + 1], k0, parts[a],
                                 parts[a + 1]);
  }
  if (a < pendingCount) correlateTileAvx2(table, spectrum_buffer[a], k0, parts[a]);
}

SPECTRUM_AVX512 void correlateTablePendingAvx512(const float (*table)[SPECTRUM_NOTES], int k0,
                                                 float (*parts)[SPECTRUM_NOTES]) {
  int a = 0;
  for (; a + 1 < pendingCount; a += 2)
    correlatePairRowsAvx512<0, 9>(table, spectrum_buffer[a], spectrum_buffer[a + 1], k0, parts[a],
                                  parts[a + 1]);
  if (a < pendingCount) correlateTileAvx2(table, spectrum_buffer[a], k0, parts[a]);
}

SPECTRUM_AVX2 void correlatePendingAvx2(float (*sinParts)[SPECTRUM_NOTES],
                                        float (*cosParts)[SPECTRUM_NOTES]) {
  for (int a = 0; a < pendingCount; ++a) {
    std::fill(sinParts[a], sinParts[a] + SPECTRUM_NOTES, 0.0f);
    std::fill(cosParts[a], cosParts[a] + SPECTRUM_NOTES, 0.0f);
  }
  for (int k0 = 0; k0 < SPECTRUM_HISTORY; k0 += kTileRows) {
    if (widePath) {
      correlateTablePendingAvx512(coeff_sin, k0, sinParts);
      correlateTablePendingAvx512(coeff_cos, k0, cosParts);
    } else {
      correlateTablePendingAvx2(coeff_sin, k0, sinParts);
      correlateTablePendingAvx2(coeff_cos, k0, cosParts);
    }
  }
}

SPECTRUM_AVX2 void applyWindowAvx2(float* buffer) {
  for (int j = 0; j < SPECTRUM_HISTORY; j += 4) {
    const __m256d v =
        _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(spectrum_samples + j)), _mm256_loadu_pd(hannWindow + j));
    _mm_store_ps(buffer + j, _mm256_cvtpd_ps(v));
  }
}

// GCC 12's AVX-512 headers start the conversions from an "undefined" value
// and then warn about it wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
SPECTRUM_AVX512 void applyWindowAvx512(float* buffer) {
  for (int j = 0; j < SPECTRUM_HISTORY; j += 8) {
    const __m512d v = _mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(spectrum_samples + j)),
                                    _mm512_loadu_pd(hannWindow + j));
    _mm256_store_ps(buffer + j, _mm512_cvtpd_ps(v));
  }
}
#pragma GCC diagnostic pop

// Correlates the pending analyses and smooths each note's level in their
// order: the magnitude of its correlation plus 0.2 of the old level.
void runPending() {
  static float sinParts[kMaxPending][SPECTRUM_NOTES];
  static float cosParts[kMaxPending][SPECTRUM_NOTES];
  if (vectorPath) {
    correlatePendingAvx2(sinParts, cosParts);
  } else {
    for (int a = 0; a < pendingCount; ++a) correlate(spectrum_buffer[a], sinParts[a], cosParts[a]);
  }
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
  if (widePath) {
    applyWindowAvx512(buffer);
  } else if (vectorPath) {
    applyWindowAvx2(buffer);
  } else {
    applyWindow(buffer);
  }
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
  vectorPath = vectorAllowed && cpuHasAvx2();
  widePath = vectorPath && wideAllowed && cpuHasAvx512();
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
  if (cosValue != nullptr) *cosValue = inRange ? coeff_cos[p][note] : 0.0f;
  if (minusSinValue != nullptr) *minusSinValue = inRange ? coeff_sin[p][note] : 0.0f;
}

bool spectrum_set_vector_path(bool enabled, bool wide) {
  vectorAllowed = enabled;
  wideAllowed = wide;
  vectorPath = vectorAllowed && cpuHasAvx2();
  widePath = vectorPath && wideAllowed && cpuHasAvx512();
  return vectorPath;
}
