#include "vocoder.h"

#include <math.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "eq.h"
#include "fft.h"
#include "spectrum.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr int kChannels = 2;
constexpr int kMinWinSize = 8;  // the peak search reads mag[0..2] and two sentinels
// The input history and the overlap-add accumulator have a fixed capacity;
// only their first winSize samples are used.
constexpr int kHistoryCapacity = 100000;

template <typename T>
using Buffer = std::unique_ptr<T[]>;

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
  Buffer<float> fftBuffers[kChannels];
};

Buffers buffers;
int winSize = 0;
int winHalf = 0;
int stepIn = 0;
int stepOut = 0;
int inIndexes[kChannels] = {0, 0};
double lastStretchFactor = 0.0;
bool initialized = false;

bool isPowerOfTwo(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

// Zero-filled, or null when the heap is exhausted.
template <typename T>
Buffer<T> allocZeroed(int count) {
  return Buffer<T>(new (std::nothrow) T[static_cast<size_t>(count)]());
}

bool allocate(Buffers& b, int size) {
  b.window = allocZeroed<float>(size);
  b.windowOut = allocZeroed<float>(size);
  b.omega = allocZeroed<float>(size);
  if (!b.window || !b.windowOut || !b.omega) return false;
  for (int ch = 0; ch < kChannels; ch++) {
    b.phi0s[ch] = allocZeroed<float>(size);
    b.psis[ch] = allocZeroed<float>(size);
    b.inputs[ch] = allocZeroed<float>(kHistoryCapacity);
    b.waves[ch] = allocZeroed<float>(kHistoryCapacity);
    b.mags[ch] = allocZeroed<float>(size);
    b.phis[ch] = allocZeroed<float>(size);
    b.peakBins[ch] = allocZeroed<int>(size);
    b.valleyBins[ch] = allocZeroed<int>(size);
    b.fftBuffers[ch] = allocZeroed<float>(2 * size);
    if (!b.phi0s[ch] || !b.psis[ch] || !b.inputs[ch] || !b.waves[ch] || !b.mags[ch] || !b.phis[ch] ||
        !b.peakBins[ch] || !b.valleyBins[ch] || !b.fftBuffers[ch]) {
      return false;
    }
  }
  return true;
}

// Periodic Hann window; the synthesis window carries the 2/N that turns the
// unscaled one-sided inverse transform back into a windowed frame.
void initWindow(float* window, float* windowOut, int size) {
  for (int n = 0; n < size; n++) {
    window[n] = static_cast<float>(0.5 + (-0.5) * std::cos(static_cast<double>(n) * kTwoPi / size));
    windowOut[n] = (window[n] + window[n]) / static_cast<float>(size);
  }
}

// Nominal phase advance of each bin over one analysis hop.
void initOmega(float* omega, int size, int step) {
  const double perBin = static_cast<double>(step) * kTwoPi;
  for (int n = 0; n < size; n++) omega[n] = static_cast<float>(static_cast<double>(n) * perBin / size);
}

void resetPhases() {
  for (int ch = 0; ch < kChannels; ch++) {
    std::fill_n(buffers.phi0s[ch].get(), winSize, 0.0f);
    std::fill_n(buffers.psis[ch].get(), winSize, 0.0f);
  }
}

// Subtracts an even multiple of pi: non-negative phases land in [-pi, pi),
// negative ones in (-pi, pi]. The quotient is truncated to 64 bits.
float princarg(float phase) {
  const double quotient = static_cast<double>(phase) / kPi;
  // Only a non-finite phase (from non-finite input) gets here: converting it
  // to an integer would be undefined, and no multiple of pi would change it.
  if (!(std::fabs(quotient) < 9.2e18)) return phase;
  int64_t qpd = static_cast<int64_t>(quotient);
  if (qpd >= 0) {
    qpd += qpd & 1;
  } else {
    qpd -= qpd & 1;
  }
  return static_cast<float>(static_cast<double>(phase) - static_cast<double>(qpd) * kPi);
}

void applyWindow(const float* input, const float* window, float* fftBuffer, int size) {
  for (int n = 0; n < size; n++) {
    fftBuffer[2 * n] = input[n] * window[n];
    fftBuffer[2 * n + 1] = 0.0f;
  }
}

void analyze(float* fftBuffer, float* mag, float* phi, int half, int channel) {
  fft_process(fftBuffer, -1, channel);
  for (int k = 0; k < half; k++) {
    const float real = fftBuffer[2 * k];
    const float imag = fftBuffer[2 * k + 1];
    const float power = real * real + imag * imag;
    mag[k] = sqrtf(power);
    phi[k] = static_cast<float>(std::atan2(static_cast<double>(imag), static_cast<double>(real)));
  }
}

// A peak is a bin strictly above its two neighbours on either side; the
// valley before each peak after the first is the lowest bin since the
// previous peak (ties to the lowest index). mag needs half + 2 entries.
int findPeaks(float* mag, int half, int* peaks, int* valleys) {
  int nPeaks = 0;
  valleys[0] = 0;
  int lastPeak = 0;

  float bin0 = FLT_MIN;
  float bin1 = FLT_MIN;
  float bin2 = mag[0];
  float bin3 = mag[1];
  float bin4 = mag[2];
  mag[half] = FLT_MIN;
  mag[half + 1] = FLT_MIN;

  int bin = 0;
  while (bin < half) {
    if (bin2 > bin1 && bin2 > bin3 && bin2 > bin0 && bin2 > bin4) {
      peaks[nPeaks] = bin;
      if (nPeaks > 0) {
        float min = FLT_MAX;
        int minLoc = 0;
        for (int i = lastPeak; i < bin; i++) {
          if (mag[i] < min) {
            min = mag[i];
            minLoc = i;
          }
        }
        valleys[nPeaks] = minLoc;
      }
      lastPeak = bin;
      nPeaks++;
      // The next two bins are below this peak and cannot be peaks.
      const int next = bin + 3;
      if (next < half) {
        bin0 = mag[bin + 1];
        bin1 = mag[bin + 2];
        bin2 = mag[bin + 3];
        bin3 = mag[bin + 4];
        bin4 = mag[bin + 5];
      }
      bin = next;
    } else {
      const int next = bin + 1;
      if (next < half) {
        bin0 = bin1;
        bin1 = bin2;
        bin2 = bin3;
        bin3 = bin4;
        bin4 = mag[bin + 3];
      }
      bin = next;
    }
  }
  return nPeaks;
}

// Identity phase locking: each peak's phase advances by its measured
// frequency times the stretch factor, and every bin of its region turns by
// the same angle as the peak. Without peaks psi keeps the previous frame's
// phases.
void phaseLock(const float* phi, const float* phi0, float* psi, const float* omega, const int* peaks,
               int* valleys, int nPeaks, int half, float stretchFactor) {
  valleys[nPeaks] = half;
  for (int p = 0; p < nPeaks; p++) {
    const int peak = peaks[p];
    const float pomega = omega[peak];
    const float peakDeltaPhi = princarg(phi[peak] - phi0[peak] - pomega);
    const float peakTargetPhase = princarg((peakDeltaPhi + pomega) * stretchFactor + psi[peak]);
    const float peakPhaseRotation = princarg(peakTargetPhase - phi[peak]);
    for (int b = valleys[p]; b < valleys[p + 1]; b++) psi[b] = princarg(phi[b] + peakPhaseRotation);
  }
}

// One-sided synthesis: the upper half (Nyquist and negative frequencies)
// stays zero, and only the real part of the inverse transform is used.
void synthesize(float* fftBuffer, const float* mag, const float* psi, int size, int half, int channel) {
  const int eqEnabled = eq_is_enabled();
  for (int k = 0; k < half; k++) {
    const float psiTmp = psi[k];
    const float magTmp = eqEnabled ? mag[k] * eq_gain(k) : mag[k];
    double s;
    double c;
    ::sincos(static_cast<double>(psiTmp), &s, &c);
    fftBuffer[2 * k] = static_cast<float>(static_cast<double>(magTmp) * c);
    fftBuffer[2 * k + 1] = static_cast<float>(static_cast<double>(magTmp) * s);
  }
  std::fill(fftBuffer + 2 * half, fftBuffer + 2 * size, 0.0f);
  fft_process(fftBuffer, 1, channel);
}

void overlapAdd(float* output, float* wave, const float* fftBuffer, const float* windowOut, float* phi0,
                const float* phi, int size, int hop) {
  for (int n = 0; n < size; n++) wave[n] = fftBuffer[2 * n] * windowOut[n] + wave[n];
  std::copy_n(phi, size / 2, phi0);
  std::copy_n(wave, hop, output);
  std::copy(wave + hop, wave + size, wave);
  std::fill(wave + size - hop, wave + size, 0.0f);
}

void processFrame(const float* input, float* output, float stretchFactor, int channel) {
  float* fftBuffer = buffers.fftBuffers[channel].get();
  float* mag = buffers.mags[channel].get();
  float* phi = buffers.phis[channel].get();
  float* psi = buffers.psis[channel].get();
  int* valleys = buffers.valleyBins[channel].get();
  int* peaks = buffers.peakBins[channel].get();

  applyWindow(input, buffers.window.get(), fftBuffer, winSize);
  analyze(fftBuffer, mag, phi, winHalf, channel);
  const int nPeaks = findPeaks(mag, winHalf, peaks, valleys);
  phaseLock(phi, buffers.phi0s[channel].get(), psi, buffers.omega.get(), peaks, valleys, nPeaks, winHalf,
            stretchFactor);
  synthesize(fftBuffer, mag, psi, winSize, winHalf, channel);
  overlapAdd(output, buffers.waves[channel].get(), fftBuffer, buffers.windowOut.get(),
             buffers.phi0s[channel].get(), phi, winSize, stepOut);
}

// Fill position of the channel's history; a stored 0 means no history yet,
// whose first winSize - stepIn samples are the zeros left by set-up.
int currentInIndex(int channel) {
  return inIndexes[channel] == 0 ? winSize - stepIn : inIndexes[channel];
}

}  // namespace

bool vocoder_init(int pWinSize, int step) {
  std::fflush(stdout);
  if (!isPowerOfTwo(pWinSize) || pWinSize < kMinWinSize || pWinSize > FFT_MAX_SIZE) return false;
  if (step < 1 || step > pWinSize) return false;

  Buffers fresh;
  if (!allocate(fresh, pWinSize)) return false;
  initWindow(fresh.window.get(), fresh.windowOut.get(), pWinSize);
  initOmega(fresh.omega.get(), pWinSize, step);
  // The transform's tables are shared: change them only once nothing else can fail.
  if (!fft_init(pWinSize)) return false;

  // Histories, overlap-add tails and phases start at zero (allocZeroed).
  // lastStretchFactor and stepOut are left as they were.
  buffers = std::move(fresh);
  winSize = pWinSize;
  winHalf = pWinSize / 2;
  stepIn = step;
  inIndexes[0] = 0;
  inIndexes[1] = 0;
  initialized = true;
  return true;
}

int vocoder_process(const float* inputBuffer, int inSize, float* outputBuffer, int pStepOut, int channel) {
  if (!initialized || channel < 0 || channel >= kChannels || pStepOut < 0 || pStepOut > winSize) return -1;

  stepOut = pStepOut;
  float* input = buffers.inputs[channel].get();

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
    const int count = std::min(inSize - consumed, winSize - inIndex);
    std::copy_n(inputBuffer + consumed, count, input + inIndex);
    consumed += count;
    inIndex += count;
    if (inIndex == winSize) {
      float* output = outputBuffer + outIndex;
      processFrame(input, output, static_cast<float>(stretchFactor), channel);
      std::memmove(input, input + stepIn, sizeof(float) * static_cast<size_t>(inStart));
      spectrum_push(output, stepOut, channel);
      inIndex = inStart;
      outIndex += stepOut;
    }
  }
  inIndexes[channel] = inIndex;
  return outIndex;
}

int vocoder_frames_for(int inSize, int channel) {
  if (!initialized || channel < 0 || channel >= kChannels || inSize <= 0) return 0;
  const int64_t pending = currentInIndex(channel) - (winSize - stepIn);
  return static_cast<int>((pending + inSize) / stepIn);
}

int vocoder_win_size() {
  return winSize;
}

int vocoder_step_in() {
  return stepIn;
}

VocoderInspect vocoder_inspect() {
  VocoderInspect v{};
  v.winSize = winSize;
  v.winHalf = winHalf;
  v.stepIn = stepIn;
  v.stepOut = stepOut;
  v.window = buffers.window.get();
  v.windowOut = buffers.windowOut.get();
  v.omega = buffers.omega.get();
  for (int ch = 0; ch < kChannels; ch++) {
    v.phi0s[ch] = buffers.phi0s[ch].get();
    v.psis[ch] = buffers.psis[ch].get();
    v.inputs[ch] = buffers.inputs[ch].get();
    v.waves[ch] = buffers.waves[ch].get();
    v.mags[ch] = buffers.mags[ch].get();
    v.phis[ch] = buffers.phis[ch].get();
    v.inIndexes[ch] = inIndexes[ch];
  }
  v.lastStretchFactor = lastStretchFactor;
  return v;
}

float vocoder_princarg(float phase) {
  return princarg(phase);
}

int vocoder_find_peaks(float* mag, int half, int* peaks, int* valleys) {
  return findPeaks(mag, half, peaks, valleys);
}

void vocoder_phase_lock(const float* phi, const float* phi0, float* psi, const float* omega, const int* peaks,
                        int* valleys, int nPeaks, int half, float stretchFactor) {
  phaseLock(phi, phi0, psi, omega, peaks, valleys, nPeaks, half, stretchFactor);
}
