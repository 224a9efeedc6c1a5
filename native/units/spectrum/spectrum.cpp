// The note spectrum analyser: history, note tables, correlation and smoothing.
#include "spectrum.h"

#include <math.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "cpu.h"
#include "detmath.h"
#include "realfft.h"
#include "spectrum_kernels.h"
#include "spectrum_testing.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
// The history keeps every fourth output sample.
constexpr int kDecimation = 4;
// About 32 analyses per second: one per eighth of a second of history.
constexpr int kAnalysesPerHistorySecond = 8;
constexpr int64_t kCountLimit = INT64_C(1) << 62;
constexpr int kHistoryStore = 4 * SPECTRUM_HISTORY;
constexpr int kMaxPending = 8;

// The note tables of one rate, one row per history position holding all 72
// notes, so that the notes' sums advance together (each note's sum still runs
// over k ascending, in its own lane): the cosine and the negated sine of each
// note's phase. They depend on the rate alone and are read-only once built,
// so every engine at that rate shares one set (about 2.3 MiB).
struct NoteTables {
  alignas(64) float noteCos[SPECTRUM_HISTORY][SPECTRUM_NOTES];
  alignas(64) float noteMinusSin[SPECTRUM_HISTORY][SPECTRUM_NOTES];
};

}  // namespace

struct SpectrumState {
  bool init(int sampleFreq, int sampleChannels);
  void push(const float* samples, int size, int channel);
  void endBatch();
  void shiftAndAppend(const float* samples, int inputSize);
  void averageIntoNewest(const float* samples, int inputSize);
  bool countChunk(int size);
  void applyWindow(float* buffer, int from) const;
  void correlate(const float* buffer, float* sinPart, float* cosPart) const;
  void runPending();
  void analyse();

  // 0: pushes are ignored; any other value: pushes are taken.
  std::atomic<int> spectrum_enabled{1};
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

  // The history is the SPECTRUM_HISTORY values from spectrum_samples, oldest
  // first, inside a longer store: appending moves the start forward, and only
  // when the store's end is reached is the history moved back to its front.
  float historyStore[kHistoryStore] = {};
  int historyStart = 0;
  float* spectrum_samples = historyStore;
  // The windowed histories of the analyses not yet correlated, oldest first.
  // Inside a batch the analyses of one block wait here, so that one pass over
  // the note tables (too large for the core's own caches) serves all of them;
  // outside a batch each analysis passes through slot 0 at once.
  alignas(64) float spectrum_buffer[kMaxPending][SPECTRUM_HISTORY] = {};
  int pendingCount = 0;
  bool batching = false;
  // The note tables of the current rate (null while the analyser is idle),
  // and those that spectrum_prepare took for the next init.
  std::shared_ptr<const NoteTables> tables;
  std::shared_ptr<const NoteTables> prepared;
  int preparedRate = -1;
  float sinParts[kMaxPending][SPECTRUM_NOTES] = {};
  float cosParts[kMaxPending][SPECTRUM_NOTES] = {};
  // The levels, which any thread may poll.
  std::atomic<float> spectrum_values[SPECTRUM_NOTES] = {};

  // The fine mode's reading: its transform and work arrays (made by
  // spectrum_create, which fails without them), and where each note falls
  // among the padded transform's bins at the current rate.
  bool fine = false;
  bool fineUsable = false;
  RealFftPtr transform;
  std::unique_ptr<float[]> binRe, binIm;
  int noteBin[SPECTRUM_NOTES] = {};
  int bins = 0;  // the bins the notes read: up to the highest note's upper neighbour
  float noteOffset[SPECTRUM_NOTES] = {};  // from noteBin, in bins, -0.5 .. 0.5
  bool makeFineReading();
  void placeNotes();
  void readFine(const float* buffer, float* sinPart, float* cosPart);
};

namespace {

// The periodic Hann window of the history, in double precision: the same
// values at every analysis and in every engine, so computed once.
double hannWindow[SPECTRUM_HISTORY];
std::once_flag hannBuilt;

void buildHann() {
  for (int j = 0; j < SPECTRUM_HISTORY; ++j)
    hannWindow[j] = 0.5 - 0.5 * tmath_cos(kTwoPi * j / SPECTRUM_HISTORY);
}

// Equal temperament around A4 = 440 Hz at note 45. The exponent is a float
// quotient and the power is rounded to float before the multiplication, so
// that every A comes out exact.
float noteFrequency(int note) {
  const float exponent = static_cast<float>(note - 45) / 12.0f;
  const float power = static_cast<float>(tmath_exp2(static_cast<double>(exponent)));
  return 440.0f * power;
}

void buildTables(NoteTables& t, int sampleRate) {
  float(*noteCos)[SPECTRUM_NOTES] = t.noteCos;
  float(*noteMinusSin)[SPECTRUM_NOTES] = t.noteMinusSin;
  for (int i = 0; i < SPECTRUM_NOTES; ++i) {
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

// The tables of a decimated rate, shared while any engine holds them; the
// last set taken is also kept when no engine holds it, so that engines made
// one after another (a batch job, a player's next song) build it only once.
// Set-up only: the cache takes a lock and may allocate. Null when memory is
// short, and for a rate that leaves the analyser idle (it never reads tables
// then).
std::shared_ptr<const NoteTables> tablesFor(int sampleRate) {
  if (sampleRate <= 0) return nullptr;
  static std::mutex cacheMutex;
  // Made on first use and never destroyed: an engine may outlive the static
  // objects when the process ends.
  static std::map<int, std::weak_ptr<const NoteTables>>* cache = nullptr;
  static std::shared_ptr<const NoteTables>* lastTaken = nullptr;
  std::lock_guard<std::mutex> lock(cacheMutex);
  try {
    if (cache == nullptr) cache = new std::map<int, std::weak_ptr<const NoteTables>>();
    if (lastTaken == nullptr) lastTaken = new std::shared_ptr<const NoteTables>();
    for (auto it = cache->begin(); it != cache->end();) it = it->second.expired() ? cache->erase(it) : ++it;
    std::shared_ptr<const NoteTables> shared;
    auto found = cache->find(sampleRate);
    if (found != cache->end()) shared = found->second.lock();
    if (!shared) {
      std::unique_ptr<NoteTables> fresh(new (std::nothrow) NoteTables);
      if (!fresh) return nullptr;
      buildTables(*fresh, sampleRate);
      shared = std::move(fresh);
      (*cache)[sampleRate] = shared;
    }
    *lastTaken = shared;
    return shared;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Decimated samples of a chunk: samples[0], samples[4], ..., at most a whole history.
int takenCount(int size) {
  return std::min(size / kDecimation, SPECTRUM_HISTORY);
}

}  // namespace

void SpectrumState::shiftAndAppend(const float* samples, int inputSize) {
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

void SpectrumState::averageIntoNewest(const float* samples, int inputSize) {
  const int first = SPECTRUM_HISTORY - inputSize;
  for (int k = 0; k < inputSize; ++k) {
    spectrum_samples[first + k] = (spectrum_samples[first + k] + samples[kDecimation * k]) * 0.5f;
  }
}

// Counts a chunk and tells whether an analysis is due: at most one per push,
// the whole remainder carried to the next.
bool SpectrumState::countChunk(int size) {
  if (analysisSamples <= 0) return false;
  samplesIn = samplesIn > kCountLimit - size ? kCountLimit : samplesIn + size;
  if (samplesIn < analysisSamples) return false;
  samplesIn -= analysisSamples;
  return true;
}

// The history from position from on times the periodic Hann window, in
// double precision, rounded to float.
void SpectrumState::applyWindow(float* buffer, int from) const {
  for (int j = from; j < SPECTRUM_HISTORY; ++j)
    buffer[j] = static_cast<float>(static_cast<double>(spectrum_samples[j]) * hannWindow[j]);
}

// The correlations of all notes: sinPart[i] = sum over k of buffer[k] *
// noteMinusSin[k][i], likewise cosPart; in float, k ascending, from 0.
void SpectrumState::correlate(const float* buffer, float* sinPart, float* cosPart) const {
  const float(*noteCos)[SPECTRUM_NOTES] = tables->noteCos;
  const float(*noteMinusSin)[SPECTRUM_NOTES] = tables->noteMinusSin;
  // The sums run in local arrays, which nothing else can alias, so that the
  // compiler may keep them across the rows (the same sums in the same order).
  float sums[SPECTRUM_NOTES] = {};
  float cosSums[SPECTRUM_NOTES] = {};
  for (int k = 0; k < SPECTRUM_HISTORY; ++k) {
    const float b = buffer[k];
    for (int i = 0; i < SPECTRUM_NOTES; ++i) {
      sums[i] += b * noteMinusSin[k][i];
      cosSums[i] += b * noteCos[k][i];
    }
  }
  std::copy(sums, sums + SPECTRUM_NOTES, sinPart);
  std::copy(cosSums, cosSums + SPECTRUM_NOTES, cosPart);
}

// Correlates the pending analyses and smooths each note's level in their
// order: the magnitude of its correlation plus 0.2 of the old level.
void SpectrumState::runPending() {
  const float(*noteCos)[SPECTRUM_NOTES] = tables->noteCos;
  const float(*noteMinusSin)[SPECTRUM_NOTES] = tables->noteMinusSin;
  const CpuLevel level = cpu_level();
  int a = 0;
  if (fine && fineUsable) {
    for (; a < pendingCount; ++a) readFine(spectrum_buffer[a], sinParts[a], cosParts[a]);
  } else if (level >= CpuLevel::Avx512) {
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
void SpectrumState::analyse() {
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

SpectrumState* spectrum_create() {
  std::call_once(hannBuilt, buildHann);
  SpectrumState* state = new (std::nothrow) SpectrumState();
  if (state != nullptr && !state->makeFineReading()) {
    delete state;
    return nullptr;
  }
  return state;
}

constexpr int kPadded = 2 * SPECTRUM_HISTORY;

bool SpectrumState::makeFineReading() {
  transform.reset(realfft_create(kPadded));
  binRe.reset(new (std::nothrow) float[kPadded / 2]);
  binIm.reset(new (std::nothrow) float[kPadded / 2]);
  return transform && binRe && binIm;
}

// Each note's place among the bins of the padded transform at the current
// rate (bin k is k * rate / kPadded Hz); usable only if every note has a
// bin on either side below half the rate.
void SpectrumState::placeNotes() {
  fineUsable = sampleRate > 0;
  bins = 0;
  for (int i = 0; i < SPECTRUM_NOTES && fineUsable; ++i) {
    const double bin = static_cast<double>(noteFrequency(i)) * kPadded / sampleRate;
    noteBin[i] = static_cast<int>(std::lround(bin));
    noteOffset[i] = static_cast<float>(bin - noteBin[i]);
    fineUsable = noteBin[i] >= 1 && noteBin[i] + 1 < kPadded / 2;
    bins = std::max(bins, noteBin[i] + 2);
  }
}

// A note's level from the magnitudes of the three bins around it, by the
// parabola through them: zero padding puts the bins at a quarter of the
// history's own spacing from any frequency, where the window's main lobe is
// smooth, so the parabola stays within a few hundredths of a dB of the
// correlation's value on a tone.
void SpectrumState::readFine(const float* buffer, float* sinPart, float* cosPart) {
  realfft_forward_padded(*transform, buffer, binRe.get(), binIm.get(), bins);
  const float* re = binRe.get();
  const float* im = binIm.get();
  auto magnitude = [&](int k) { return std::sqrt(re[k] * re[k] + im[k] * im[k]); };
  for (int i = 0; i < SPECTRUM_NOTES; ++i) {
    const int k = noteBin[i];
    const float d = noteOffset[i];
    const float below = magnitude(k - 1), at = magnitude(k), above = magnitude(k + 1);
    const float value = at + 0.5f * d * (above - below) + 0.5f * d * d * (above - 2.0f * at + below);
    sinPart[i] = std::max(value, 0.0f);
    cosPart[i] = 0.0f;
  }
}

void spectrum_set_fine(SpectrumState& state, bool fine) {
  state.fine = fine;
}

void spectrum_destroy(SpectrumState* state) {
  delete state;
}

bool spectrum_prepare(SpectrumState& state, int sampleFreq) {
  const int rate = sampleFreq / kDecimation;
  std::shared_ptr<const NoteTables> t = tablesFor(rate);
  if (t == nullptr && rate > 0) return false;
  state.prepared = std::move(t);
  state.preparedRate = rate;
  return true;
}

bool spectrum_init(SpectrumState& state, int sampleFreq, int sampleChannels) {
  return state.init(sampleFreq, sampleChannels);
}

bool SpectrumState::init(int sampleFreq, int sampleChannels) {
  if (preparedRate != sampleFreq / kDecimation) {
    std::shared_ptr<const NoteTables> t = tablesFor(sampleFreq / kDecimation);
    if (t == nullptr && sampleFreq / kDecimation > 0) return false;
    prepared = std::move(t);
  }
  // Analyses taken with the old tables finish with them.
  if (pendingCount > 0) runPending();
  channels = sampleChannels;
  sampleRate = sampleFreq / kDecimation;
  analysisSamples = sampleRate / kAnalysesPerHistorySecond;
  placeNotes();
  historyStart = 0;
  spectrum_samples = historyStore;
  std::fill(spectrum_samples, spectrum_samples + SPECTRUM_HISTORY, 0.0f);
  for (int i = 0; i < SPECTRUM_NOTES; ++i) spectrum_values[i].store(0.0f, std::memory_order_relaxed);
  tables = std::move(prepared);
  prepared = nullptr;
  preparedRate = -1;
  return true;
}

void spectrum_push(SpectrumState& state, const float* samples, int size, int channel) {
  state.push(samples, size, channel);
}

void SpectrumState::push(const float* samples, int size, int channel) {
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

void spectrum_begin_batch(SpectrumState& state) {
  state.batching = true;
}

void spectrum_end_batch(SpectrumState& state) {
  state.endBatch();
}

void SpectrumState::endBatch() {
  batching = false;
  // Whatever the switch says now: these analyses were taken while it was on.
  if (pendingCount > 0) runPending();
}

void spectrum_enable(SpectrumState& state, int enabled) {
  state.spectrum_enabled.store(enabled, std::memory_order_relaxed);
}

int spectrum_is_enabled(const SpectrumState& state) {
  return state.spectrum_enabled.load(std::memory_order_relaxed);
}

int spectrum_size() {
  return SPECTRUM_NOTES;
}

const std::atomic<float>* spectrum_get(const SpectrumState& state) {
  return state.spectrum_values;
}

SpectrumInspect spectrum_inspect(const SpectrumState& state) {
  return SpectrumInspect{state.channels, state.sampleRate, state.analysisSamples, state.samplesIn,
                         state.spectrum_samples};
}

void spectrum_set_carried_count(SpectrumState& state, int64_t count) {
  state.samplesIn = std::max<int64_t>(0, std::min(count, kCountLimit));
}

float spectrum_note_frequency(int note) {
  if (note < 0 || note >= SPECTRUM_NOTES) return 0.0f;
  return noteFrequency(note);
}

void spectrum_coefficients(const SpectrumState& state, int note, int p, float* cosValue,
                           float* minusSinValue) {
  const bool inRange =
      state.tables != nullptr && note >= 0 && note < SPECTRUM_NOTES && p >= 0 && p < SPECTRUM_HISTORY;
  if (cosValue != nullptr) *cosValue = inRange ? state.tables->noteCos[p][note] : 0.0f;
  if (minusSinValue != nullptr) *minusSinValue = inRange ? state.tables->noteMinusSin[p][note] : 0.0f;
}
