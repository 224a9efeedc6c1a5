// The exact mode's phase vocoder: framing, analysis, phase locking, synthesis.
#include "vocoder.h"

#include <math.h>
#if defined(_WIN32)
#include <malloc.h>
#endif

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "cpu.h"
#include "detmath.h"
#include "eq.h"
#include "fft.h"
#include "spectrum.h"
#include "vocoder_kernels.h"
#include "vocoder_testing.h"

namespace vocoder_internal {

// The smallest float whose quotient by pi truncates to m or more. The
// quotient (a correctly rounded division) never falls as the phase rises, so
// for a phase p >= 0 the truncated quotient is m or more exactly when
// p >= princargThreshold(m); and division is symmetric in sign.
float princargThreshold(int m) {
  auto truncated = [](float x) { return static_cast<int64_t>(static_cast<double>(x) / kPi); };
  float t = static_cast<float>(m * kPi);
  while (truncated(t) >= m) t = std::nextafter(t, 0.0f);
  while (truncated(t) < m) t = std::nextafter(t, INFINITY);
  return t;
}

const float kOnePi = princargThreshold(1);
const float kThreePi = princargThreshold(3);

}  // namespace vocoder_internal

namespace {

using namespace vocoder_internal;

constexpr double kTwoPi = 6.283185307179586;
constexpr int kChannels = 2;
constexpr int kMinWinSize = 8;  // the peak search reads mag[0..2] and two sentinels

// Heap arrays aligned for vector loads; zero-filled at allocation.
struct AlignedFree {
#if defined(_WIN32)
  void operator()(void* p) const { _aligned_free(p); }
#else
  void operator()(void* p) const { std::free(p); }
#endif
};
template <typename T>
using Buffer = std::unique_ptr<T[], AlignedFree>;

template <typename T>
Buffer<T> allocZeroed(int count) {
  const size_t bytes = (sizeof(T) * static_cast<size_t>(count) + 63) / 64 * 64;
#if defined(_WIN32)  // the Windows C library has no aligned_alloc
  void* p = _aligned_malloc(bytes, 64);
#else
  void* p = std::aligned_alloc(64, bytes);
#endif
  if (p != nullptr) std::memset(p, 0, bytes);
  return Buffer<T>(static_cast<T*>(p));
}

// The input history and the overlap-add accumulator are windows of one frame
// that slide forward through a store of kSlideFrames frames; only when a
// window reaches the store's end is it moved back to the front, instead of
// moving a whole frame at every hop.
constexpr int kSlideFrames = 4;

// Everything that vocoder_init makes, so that a new set can be built in full
// before the old one is given up.
struct Buffers {
  Buffer<float> window;
  Buffer<float> windowOut;
  Buffer<float> omega;
  Buffer<float> phi0s[kChannels];
  Buffer<float> psis[kChannels];
  Buffer<float> inputs[kChannels];
  Buffer<float> waves[kChannels];
  Buffer<float> mags[kChannels];
  Buffer<float> phis[kChannels];
  Buffer<int> peakBins[kChannels];
  Buffer<int> valleyBins[kChannels];
  // Work buffers of a frame, shared by the channels (never processed at the
  // same time): the transform in split form (real parts, then imaginary
  // parts), the synthesised half spectrum, the rotation of every bin's
  // region, the peaks' packed inputs, and the equaliser's gains.
  Buffer<float> transform;
  Buffer<float> synthesis;
  Buffer<float> rotation;
  Buffer<float> peakRotation;
  Buffer<float> peakInputs;
  Buffer<float> gains;
};

}  // namespace

struct VocoderState {
  bool init(int pWinSize, int step);
  int process(const float* inputBuffer, int inSize, float* outputBuffer, int pStepOut, int channel);
  void restart();
  int framesFor(int inSize, int channel) const;
  void resetPhases();
  void analyze(const float* input, const float* window, float* re, float* im, float* mag, float* phi,
               int half) const;
  void synthesize(const float* mag, const float* psi, float* spectrumRe, float* spectrumIm, float* re,
                  float* im, int half);
  void processFrame(const float* input, float* output, float stretchFactor, int channel);
  int currentInIndex(int channel) const;

  // The engine's other units that the frames use: its transform (set up here),
  // its equaliser's gains and its analyser.
  FftState* fft;
  const EqState* eq;
  SpectrumState* spectrum;

  Buffers buffers;
  int winSize = 0;
  int winHalf = 0;
  int stepIn = 0;
  int stepOut = 0;
  int inIndexes[kChannels] = {0, 0};
  // Where each channel's history and overlap-add windows start in their stores.
  int inputStarts[kChannels] = {0, 0};
  int waveStarts[kChannels] = {0, 0};
  // The equaliser's gains as copied for the frames, and the version they had.
  bool gainsCopied = false;
  unsigned gainsVersion = 0;
  double lastStretchFactor = 0.0;
  bool initialized = false;
};

namespace {

bool isPowerOfTwo(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

bool allocate(Buffers& b, int size) {
  b.window = allocZeroed<float>(size);
  b.windowOut = allocZeroed<float>(size);
  b.omega = allocZeroed<float>(size);
  b.transform = allocZeroed<float>(2 * size);
  b.synthesis = allocZeroed<float>(size);
  b.rotation = allocZeroed<float>(size + 8);  // room for the region fill
  b.peakRotation = allocZeroed<float>(size);
  b.gains = allocZeroed<float>(size);
  b.peakInputs = allocZeroed<float>(4 * (size / 2 + 16));
  if (!b.peakInputs || !b.window || !b.windowOut || !b.omega || !b.transform || !b.synthesis || !b.rotation ||
      !b.peakRotation || !b.gains)
    return false;
  for (int ch = 0; ch < kChannels; ch++) {
    b.phi0s[ch] = allocZeroed<float>(size);
    b.psis[ch] = allocZeroed<float>(size);
    b.inputs[ch] = allocZeroed<float>(kSlideFrames * size);
    b.waves[ch] = allocZeroed<float>(kSlideFrames * size);
    b.mags[ch] = allocZeroed<float>(size / 2 + 2);
    b.phis[ch] = allocZeroed<float>(size);
    b.peakBins[ch] = allocZeroed<int>(size);
    b.valleyBins[ch] = allocZeroed<int>(size + 1);
    if (!b.phi0s[ch] || !b.psis[ch] || !b.inputs[ch] || !b.waves[ch] || !b.mags[ch] || !b.phis[ch] ||
        !b.peakBins[ch] || !b.valleyBins[ch]) {
      return false;
    }
  }
  return true;
}

// Periodic Hann window; the synthesis window carries the 2/N that turns the
// unscaled one-sided inverse transform back into a windowed frame.
void initWindow(float* window, float* windowOut, int size) {
  for (int n = 0; n < size; n++) {
    window[n] = static_cast<float>(0.5 + (-0.5) * tmath_cos(static_cast<double>(n) * kTwoPi / size));
    windowOut[n] = (window[n] + window[n]) / static_cast<float>(size);
  }
}

// Nominal phase advance of each bin over one analysis hop.
void initOmega(float* omega, int size, int step) {
  const double perBin = static_cast<double>(step) * kTwoPi;
  for (int n = 0; n < size; n++) omega[n] = static_cast<float>(static_cast<double>(n) * perBin / size);
}

}  // namespace

void VocoderState::resetPhases() {
  for (int ch = 0; ch < kChannels; ch++) {
    std::fill_n(buffers.phi0s[ch].get(), winSize, 0.0f);
    std::fill_n(buffers.psis[ch].get(), winSize, 0.0f);
  }
}

namespace {

// The portable steps: the definition of every result.

void analyzeScalar(const float* re, const float* im, float* mag, float* phi, int from, int to) {
  for (int k = from; k < to; k++) {
    const float real = re[k];
    const float imag = im[k];
    const float power = real * real + imag * imag;
    mag[k] = sqrtf(power);
    phi[k] = phaseOf(real, imag);
  }
}

void rotateScalar(const float* phi, const float* rot, float* psi, int from, int to) {
  for (int b = from; b < to; b++) psi[b] = princarg(phi[b] + rot[b]);
}

void synthesizeScalar(const float* mag, const float* gains, const float* psi, float* re, float* im, int from,
                      int to) {
  for (int k = from; k < to; k++) {
    const float magTmp = gains != nullptr ? mag[k] * gains[k] : mag[k];
    rectOf(magTmp, psi[k], re + k, im + k);
  }
}

// Each step takes the widest vectors that cpu_level allows and leaves the
// rest of the bins to the next narrower kernel, and the last few to the
// portable step.
void analyzeBins(const float* re, const float* im, float* mag, float* phi, int count) {
  const CpuLevel level = cpu_level();
  int k = 0;
  if (level >= CpuLevel::Avx512) k = vocoder_avx512::analyze_bins(re, im, mag, phi, count);
  if (level >= CpuLevel::Avx2) k += vocoder_avx2::analyze_bins(re + k, im + k, mag + k, phi + k, count - k);
  analyzeScalar(re, im, mag, phi, k, count);
}

void synthesizeBins(const float* mag, const float* gains, const float* psi, float* re, float* im, int count) {
  const CpuLevel level = cpu_level();
  int k = 0;
  if (level >= CpuLevel::Avx512) k = vocoder_avx512::synthesize_bins(mag, gains, psi, re, im, count);
  if (level >= CpuLevel::Avx2)
    k += vocoder_avx2::synthesize_bins(mag + k, gains != nullptr ? gains + k : nullptr, psi + k, re + k,
                                       im + k, count - k);
  synthesizeScalar(mag, gains, psi, re, im, k, count);
}

void rotateBins(const float* phi, const float* rot, float* psi, int count) {
  const CpuLevel level = cpu_level();
  int k = 0;
  if (level >= CpuLevel::Avx512) k = vocoder_avx512::rotate_bins(phi, rot, psi, count);
  if (level >= CpuLevel::Avx2) k += vocoder_avx2::rotate_bins(phi + k, rot + k, psi + k, count - k);
  rotateScalar(phi, rot, psi, k, count);
}

}  // namespace

// The transform forms the windowed frame as it loads it.
void VocoderState::analyze(const float* input, const float* window, float* re, float* im, float* mag,
                           float* phi, int half) const {
  fft_forward_windowed(*fft, input, window, re, im);
  analyzeBins(re, im, mag, phi, half);
}

namespace {

// The portable peak search's 128-bit vectors (SSE2 on x86-64, NEON on
// aarch64); like every path, they find the scalar scan's peaks and valleys.
typedef float V4 __attribute__((vector_size(16)));
typedef int I4 __attribute__((vector_size(16)));

V4 load4(const float* p) {
  V4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Bins from .. from + 3 strictly above both neighbours on either side, as
// four bits (mag[from - 2 .. from + 5] are read).
int peakMask4(const float* mag, int from) {
  const V4 c = load4(mag + from);
  const I4 gt = (c > load4(mag + from - 1)) & (c > load4(mag + from + 1)) & (c > load4(mag + from - 2)) &
                (c > load4(mag + from + 2));
  return (gt[0] & 1) | (gt[1] & 2) | (gt[2] & 4) | (gt[3] & 8);
}

// The lowest bin of lo .. hi - 1 (the first of equals; 0 when none is below
// FLT_MAX): each lane keeps its lowest and where it was (0 while it has
// none), then the lanes' lowest and the earliest lane holding it, without
// branches (regions are short: a branch per lane mispredicts), then the
// last few bins in order.
int valleyOf(const float* mag, int lo, int hi) {
  V4 best = V4{} + FLT_MAX;
  I4 where = I4{};
  I4 at = I4{0, 1, 2, 3} + lo;
  int i = lo;
  for (; i + 4 <= hi; i += 4, at += 4) {
    const V4 v = load4(mag + i);
    const I4 lower = v < best;
    best = lower ? v : best;
    where = lower ? at : where;
  }
  V4 low = best < __builtin_shuffle(best, I4{2, 3, 0, 1}) ? best : __builtin_shuffle(best, I4{2, 3, 0, 1});
  low = low < __builtin_shuffle(low, I4{1, 0, 3, 2}) ? low : __builtin_shuffle(low, I4{1, 0, 3, 2});
  I4 first = best == low ? where : I4{} + INT_MAX;
  first = first < __builtin_shuffle(first, I4{2, 3, 0, 1}) ? first : __builtin_shuffle(first, I4{2, 3, 0, 1});
  first = first < __builtin_shuffle(first, I4{1, 0, 3, 2}) ? first : __builtin_shuffle(first, I4{1, 0, 3, 2});
  float min = low[0];
  int minLoc = first[0];
  for (; i < hi; i++) {
    const bool lower = mag[i] < min;
    min = lower ? mag[i] : min;
    minLoc = lower ? i : minLoc;
  }
  return minLoc;
}

// A peak is a bin strictly above its two neighbours on either side (two
// virtual bins of FLT_MIN below bin 0, the sentinels above the last); the
// valley before each peak after the first is the lowest bin since the
// previous peak (ties to the lowest index). mag needs half + 2 entries,
// peaks and valleys half and half + 1.
//
// This is the sliding five-bin scan that skips the two bins after each
// peak: those two are below the peak they follow and can never be peaks, so
// testing every bin finds the same peaks.
int findPeaks(float* mag, int half, int* peaks, int* valleys, const PeakInputs& in) {
  mag[half] = FLT_MIN;
  mag[half + 1] = FLT_MIN;
  int nPeaks = 0;
  int lastPeak = 0;
  valleys[0] = 0;
  auto at = [&](int i) { return i < 0 ? FLT_MIN : mag[i]; };
  auto isPeak = [&](int bin) {
    const float c = mag[bin];
    return c > at(bin - 1) && c > at(bin + 1) && c > at(bin - 2) && c > at(bin + 2);
  };
  const CpuLevel level = cpu_level();
  if (level >= CpuLevel::Avx512) {
    // All the peaks first, then every valley on its own: no branch depends
    // on where the peaks fall.
    auto append = [&](int bin) {
      if (in.packed != nullptr) {
        in.packed[nPeaks] = in.phi[bin];
        in.packed[in.stride + nPeaks] = in.phi0[bin];
        in.packed[2 * in.stride + nPeaks] = in.psi[bin];
        in.packed[3 * in.stride + nPeaks] = in.omega[bin];
      }
      peaks[nPeaks++] = bin;
    };
    int bin = 0;
    for (; bin < 2 && bin < half; bin++)
      if (isPeak(bin)) append(bin);
    if (half >= 2) bin += vocoder_avx512::collect_peaks(mag, 2, half, peaks, nPeaks, in);
    for (; bin < half; bin++)
      if (isPeak(bin)) append(bin);
    for (int p = 1; p < nPeaks; p++) valleys[p] = vocoder_avx512::valley(mag, peaks[p - 1], peaks[p]);
    return nPeaks;
  }
  const bool avx2 = level >= CpuLevel::Avx2;
  auto addPeak = [&](int bin) {
    if (in.packed != nullptr) {
      in.packed[nPeaks] = in.phi[bin];
      in.packed[in.stride + nPeaks] = in.phi0[bin];
      in.packed[2 * in.stride + nPeaks] = in.psi[bin];
      in.packed[3 * in.stride + nPeaks] = in.omega[bin];
    }
    peaks[nPeaks] = bin;
    if (nPeaks > 0) valleys[nPeaks] = avx2 ? vocoder_avx2::valley(mag, lastPeak, bin) : valleyOf(mag, lastPeak, bin);
    lastPeak = bin;
    nPeaks++;
  };
  int bin = 0;
  for (; bin < 2 && bin < half; bin++)
    if (isPeak(bin)) addPeak(bin);
  if (avx2) {
    uint8_t masks[FFT_MAX_SIZE / 2 / 8];
    const int tested = vocoder_avx2::peak_masks(mag, bin, half, masks);
    for (int m = 0; m < tested / 8; m++) {
      for (int mask = masks[m]; mask != 0; mask &= mask - 1) addPeak(bin + 8 * m + __builtin_ctz(mask));
    }
    bin += tested;
  } else {
    for (; bin + 4 <= half; bin += 4) {
      for (int mask = peakMask4(mag, bin); mask != 0; mask &= mask - 1) addPeak(bin + __builtin_ctz(mask));
    }
  }
  for (; bin < half; bin++)
    if (isPeak(bin)) addPeak(bin);
  return nPeaks;
}

// Identity phase locking: each peak's phase advances by its measured
// frequency times the stretch factor, and every bin of its region turns by
// the same angle as the peak. Without peaks psi keeps the previous frame's
// phases. Every peak reads its own psi before any region is written (a peak
// lies in its own region), so the rotations are computed first.
// rotation holds half + 8 floats and peakRotations one per peak.
void phaseLock(const float* phi, const float* phi0, float* psi, const float* omega, const int* peaks,
               int* valleys, int nPeaks, int half, float stretchFactor, float* rotation, float* peakRotations,
               const PeakInputs& in) {
  valleys[nPeaks] = half;
  if (nPeaks == 0) return;
  const CpuLevel level = cpu_level();
  int p = 0;
  if (level >= CpuLevel::Avx512)
    p = vocoder_avx512::peak_rotations(phi, phi0, psi, omega, peaks, nPeaks, stretchFactor, in.packed,
                                       in.stride, peakRotations);
  if (level >= CpuLevel::Avx2)
    p += vocoder_avx2::peak_rotations(phi, phi0, psi, omega, peaks + p, nPeaks - p, stretchFactor,
                                      in.packed != nullptr ? in.packed + p : nullptr, in.stride,
                                      peakRotations + p);
  for (; p < nPeaks; p++) peakRotations[p] = peakRotation(phi, phi0, psi, omega, peaks[p], stretchFactor);
  // Every bin of a region turns with its peak.
  if (level >= CpuLevel::Avx2) {
    vocoder_avx2::fill_regions(peakRotations, valleys, nPeaks, rotation);
  } else {
    for (int q = 0; q < nPeaks; q++)
      for (int b = valleys[q]; b < valleys[q + 1]; b++) rotation[b] = peakRotations[q];
  }
  rotateBins(phi, rotation, psi, half);
}

}  // namespace

// One-sided synthesis: the upper half (Nyquist and negative frequencies) is
// zero, and only the real part of the inverse transform is used.
void VocoderState::synthesize(const float* mag, const float* psi, float* spectrumRe, float* spectrumIm,
                              float* re, float* im, int half) {
  const float* gains = nullptr;
  if (eq_is_enabled(*eq) != 0) {
    // The copy is renewed only when the gains have changed since it was made.
    const unsigned version = eq_version(*eq);
    if (!gainsCopied || version != gainsVersion) {
      eq_copy_gains(*eq, buffers.gains.get(), half);
      gainsVersion = version;
      gainsCopied = true;
    }
    gains = buffers.gains.get();
  }
  synthesizeBins(mag, gains, psi, spectrumRe, spectrumIm, half);
  fft_inverse_half(*fft, spectrumRe, spectrumIm, re, im);
}

namespace {

// wave is the channel's accumulator window at waveStarts[channel] in its
// store of kSlideFrames frames; the window moves forward by the hop, and
// its first hop samples are the frame's output.
void overlapAdd(float* output, float* store, int& start, const float* real, const float* windowOut, int size,
                int hop) {
  float* wave = store + start;
  const CpuLevel level = cpu_level();
  int n = 0;
  if (level >= CpuLevel::Avx512) n = vocoder_avx512::overlap_add(wave, real, windowOut, size);
  if (level >= CpuLevel::Avx2) n += vocoder_avx2::overlap_add(wave + n, real + n, windowOut + n, size - n);
  for (; n < size; n++) wave[n] = real[n] * windowOut[n] + wave[n];
  std::copy_n(wave, hop, output);
  start += hop;
  if (start + size > kSlideFrames * size) {
    // A hop of 0 never gets here; memmove allows the overlap of a short hop.
    std::memmove(store, store + start, static_cast<size_t>(size - hop) * sizeof(float));
    start = 0;
  }
  // The samples that enter the window start from silence.
  std::fill(store + start + size - hop, store + start + size, 0.0f);
}

}  // namespace

void VocoderState::processFrame(const float* input, float* output, float stretchFactor, int channel) {
  float* re = buffers.transform.get();
  float* im = re + winSize;
  float* mag = buffers.mags[channel].get();
  float* phi = buffers.phis[channel].get();
  float* psi = buffers.psis[channel].get();
  int* valleys = buffers.valleyBins[channel].get();
  int* peaks = buffers.peakBins[channel].get();
  float* spectrumRe = buffers.synthesis.get();
  float* spectrumIm = spectrumRe + winHalf;

  analyze(input, buffers.window.get(), re, im, mag, phi, winHalf);
  // Only the vector steps read the peaks' packed inputs.
  float* packed = cpu_level() >= CpuLevel::Avx2 ? buffers.peakInputs.get() : nullptr;
  const float* phi0 = buffers.phi0s[channel].get();
  const PeakInputs peakInputs{phi, phi0, psi, buffers.omega.get(), packed, winHalf + 16};
  const int nPeaks = findPeaks(mag, winHalf, peaks, valleys, peakInputs);
  phaseLock(phi, phi0, psi, peakInputs.omega, peaks, valleys, nPeaks, winHalf, stretchFactor,
            buffers.rotation.get(), buffers.peakRotation.get(), peakInputs);
  synthesize(mag, psi, spectrumRe, spectrumIm, re, im, winHalf);
  overlapAdd(output, buffers.waves[channel].get(), waveStarts[channel], re, buffers.windowOut.get(), winSize,
             stepOut);
  // The next frame measures its phase advance from this one.
  std::copy_n(phi, winHalf, buffers.phi0s[channel].get());
}

// Fill position of the channel's history; a stored 0 means no history yet,
// whose first winSize - stepIn samples are the zeros left by set-up.
int VocoderState::currentInIndex(int channel) const {
  return inIndexes[channel] == 0 ? winSize - stepIn : inIndexes[channel];
}

VocoderState* vocoder_create(FftState& fft, const EqState& eq, SpectrumState& spectrum) {
  VocoderState* state = new (std::nothrow) VocoderState();
  if (state == nullptr) return nullptr;
  state->fft = &fft;
  state->eq = &eq;
  state->spectrum = &spectrum;
  return state;
}

void vocoder_destroy(VocoderState* state) {
  delete state;
}

bool vocoder_init(VocoderState& state, int pWinSize, int step) {
  return state.init(pWinSize, step);
}

bool VocoderState::init(int pWinSize, int step) {
  if (!isPowerOfTwo(pWinSize) || pWinSize < kMinWinSize || pWinSize > FFT_MAX_SIZE) return false;
  if (step < 1 || step > pWinSize) return false;

  Buffers fresh;
  if (!allocate(fresh, pWinSize)) return false;
  initWindow(fresh.window.get(), fresh.windowOut.get(), pWinSize);
  initOmega(fresh.omega.get(), pWinSize, step);
  // The transform's tables are shared: change them only once nothing else can fail.
  if (!fft_init(*fft, pWinSize)) return false;

  // Histories, overlap-add tails and phases start at zero (allocZeroed).
  // lastStretchFactor and stepOut are left as they were.
  buffers = std::move(fresh);
  winSize = pWinSize;
  winHalf = pWinSize / 2;
  stepIn = step;
  inIndexes[0] = 0;
  inIndexes[1] = 0;
  for (int ch = 0; ch < kChannels; ch++) inputStarts[ch] = waveStarts[ch] = 0;
  gainsCopied = false;
  initialized = true;
  return true;
}

int vocoder_process(VocoderState& state, const float* inputBuffer, int inSize, float* outputBuffer,
                    int pStepOut, int channel) {
  return state.process(inputBuffer, inSize, outputBuffer, pStepOut, channel);
}

int VocoderState::process(const float* inputBuffer, int inSize, float* outputBuffer, int pStepOut,
                          int channel) {
  if (!initialized || channel < 0 || channel >= kChannels || pStepOut < 0 || pStepOut > winSize) return -1;

  stepOut = pStepOut;
  float* store = buffers.inputs[channel].get();
  int& start = inputStarts[channel];

  // One factor for both channels: a change resets both, in the first call
  // that sees it, so that the channels restart their phases in the same block.
  const double stretchFactor = static_cast<float>(pStepOut) / static_cast<float>(stepIn);
  if (!(stretchFactor == lastStretchFactor)) {
    lastStretchFactor = stretchFactor;
    resetPhases();
  }

  const int inStart = winSize - stepIn;
  int inIndex = currentInIndex(channel);
  int outIndex = 0;
  int consumed = 0;
  while (consumed < inSize) {
    float* input = store + start;
    const int count = std::min(inSize - consumed, winSize - inIndex);
    std::copy_n(inputBuffer + consumed, count, input + inIndex);
    consumed += count;
    inIndex += count;
    if (inIndex == winSize) {
      float* output = outputBuffer + outIndex;
      processFrame(input, output, static_cast<float>(stretchFactor), channel);
      // The history drops its oldest hop: its window moves forward.
      start += stepIn;
      if (start + winSize > kSlideFrames * winSize) {
        std::memmove(store, store + start, sizeof(float) * static_cast<size_t>(inStart));
        start = 0;
      }
      spectrum_push(*spectrum, output, stepOut, channel);
      inIndex = inStart;
      outIndex += stepOut;
    }
  }
  inIndexes[channel] = inIndex;
  return outIndex;
}

void vocoder_restart(VocoderState& state) {
  state.restart();
}

void VocoderState::restart() {
  if (!initialized) return;
  for (int ch = 0; ch < kChannels; ch++) {
    std::fill_n(buffers.inputs[ch].get(), kSlideFrames * winSize, 0.0f);
    std::fill_n(buffers.waves[ch].get(), kSlideFrames * winSize, 0.0f);
    inputStarts[ch] = waveStarts[ch] = 0;
    inIndexes[ch] = 0;
  }
  resetPhases();
}

int vocoder_frames_for(const VocoderState& state, int inSize, int channel) {
  return state.framesFor(inSize, channel);
}

int VocoderState::framesFor(int inSize, int channel) const {
  if (!initialized || channel < 0 || channel >= kChannels || inSize <= 0) return 0;
  const int64_t pending = currentInIndex(channel) - (winSize - stepIn);
  return static_cast<int>((pending + inSize) / stepIn);
}

int vocoder_win_size(const VocoderState& state) {
  return state.winSize;
}

int vocoder_step_in(const VocoderState& state) {
  return state.stepIn;
}

VocoderInspect vocoder_inspect(const VocoderState& s) {
  const Buffers& buffers = s.buffers;
  VocoderInspect v{};
  v.winSize = s.winSize;
  v.winHalf = s.winHalf;
  v.stepIn = s.stepIn;
  v.stepOut = s.stepOut;
  v.window = buffers.window.get();
  v.windowOut = buffers.windowOut.get();
  v.omega = buffers.omega.get();
  for (int ch = 0; ch < kChannels; ch++) {
    v.phi0s[ch] = buffers.phi0s[ch].get();
    v.psis[ch] = buffers.psis[ch].get();
    v.inputs[ch] = buffers.inputs[ch] ? buffers.inputs[ch].get() + s.inputStarts[ch] : nullptr;
    v.waves[ch] = buffers.waves[ch] ? buffers.waves[ch].get() + s.waveStarts[ch] : nullptr;
    v.mags[ch] = buffers.mags[ch].get();
    v.phis[ch] = buffers.phis[ch].get();
    v.inIndexes[ch] = s.inIndexes[ch];
  }
  v.lastStretchFactor = s.lastStretchFactor;
  return v;
}

float vocoder_princarg(float phase) {
  return princarg(phase);
}

int vocoder_find_peaks(float* mag, int half, int* peaks, int* valleys) {
  return findPeaks(mag, half, peaks, valleys, PeakInputs{});
}

void vocoder_phase_lock(const float* phi, const float* phi0, float* psi, const float* omega, const int* peaks,
                        int* valleys, int nPeaks, int half, float stretchFactor) {
  std::unique_ptr<float[]> rotation(new float[static_cast<size_t>(std::max(half, 0)) + 8]);
  std::unique_ptr<float[]> peakRotations(new float[static_cast<size_t>(std::max(nPeaks, 1))]);
  phaseLock(phi, phi0, psi, omega, peaks, valleys, nPeaks, half, stretchFactor, rotation.get(),
            peakRotations.get(), PeakInputs{});
}

void vocoder_analyze_bins(const float* re, const float* im, float* mag, float* phi, int count) {
  analyzeBins(re, im, mag, phi, count);
}

void vocoder_synthesize_bins(const float* mag, const float* gains, const float* psi, float* re, float* im,
                             int count) {
  synthesizeBins(mag, gains, psi, re, im, count);
}

void vocoder_rotate_bins(const float* phi, const float* rot, float* psi, int count) {
  rotateBins(phi, rot, psi, count);
}
