// The FFT unit: tables, the portable transform and the dispatch to the kernels.
#include "fft.h"

#include <cmath>
#include <mutex>
#include <new>
#include <utility>

#include "cpu.h"
#include "detmath.h"
#include "fft_kernels.h"
#include "fft_testing.h"

namespace fft_internal {

alignas(32) float splitRe[2][FFT_MAX_SIZE];
alignas(32) float splitIm[2][FFT_MAX_SIZE];

}  // namespace fft_internal

namespace {

using fft_internal::splitIm;
using fft_internal::splitRe;

constexpr int kMaxStages = 12;
constexpr int kRow = 4096;
constexpr double kPi = 3.141592653589793;

// The twiddles of stage k do not depend on the frame size, so one set for
// the largest frame, built once, serves every size and every engine; they
// are read-only after that.
float pur[kMaxStages * kRow];
float pui[kMaxStages * kRow];
float pur_inv[kMaxStages * kRow];
float pui_inv[kMaxStages * kRow];

bool isPowerOfTwo(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

// Running products rather than fresh sines: the transform's results are
// defined by these exact roundings.
void walkTwiddles(float* re, float* im, int row, int le2, float wr, float wi) {
  float ur = 1.0f;
  float ui = 0.0f;
  for (int j = 0; j < le2; j += 2) {
    re[row + j] = ur;
    im[row + j] = ui;
    float tr = ur * wr - ui * wi;
    ui = ur * wi + ui * wr;
    ur = tr;
  }
}

// Every stage's twiddles, both directions, interleaved and split.
void buildTwiddles() {
  for (long k = 0; k < kMaxStages; k++) {
    const int le = 1 << (k + 2);
    const int le2 = le >> 1;
    const float arg = static_cast<float>(kPi / (le2 >> 1));
    const float wr = tmath_cosf(arg);
    const float wi = tmath_sinf(arg);
    const int row = static_cast<int>(k) * kRow;
    walkTwiddles(pur, pui, row, le2, wr, wi);
    walkTwiddles(pur_inv, pui_inv, row, le2, wr, -wi);
    const int h = 1 << k;
    for (int m = 0; m < h; m++) {
      splitRe[0][h - 1 + m] = pur_inv[row + 2 * m];
      splitIm[0][h - 1 + m] = pui_inv[row + 2 * m];
      splitRe[1][h - 1 + m] = pur[row + 2 * m];
      splitIm[1][h - 1 + m] = pui[row + 2 * m];
    }
  }
}

std::once_flag twiddlesBuilt;

}  // namespace

// The portable transform on split arrays: exactly the operations of
// fft_process.
void FftState::transformSplitScalar(float* re, float* im, int sign) const {
  for (int s = 0; s < bitSwapLen; s += 2) {
    const int i = bitSwapPos[s] >> 1;
    const int j = bitSwapPos[s + 1] >> 1;
    std::swap(re[i], re[j]);
    std::swap(im[i], im[j]);
  }
  const float* tr = splitRe[sign == 1 ? 1 : 0];
  const float* ti = splitIm[sign == 1 ? 1 : 0];
  const int n = frameSize;
  for (int h = 1; h < n; h <<= 1) {
    for (int m = 0; m < h; m++) {
      const float ur = tr[h - 1 + m];
      const float ui = ti[h - 1 + m];
      for (int i = m; i < n; i += 2 * h) {
        const float p2r = re[i + h];
        const float p2i = im[i + h];
        const float xr = p2r * ur - p2i * ui;
        const float xi = p2r * ui + p2i * ur;
        re[i + h] = re[i] - xr;
        im[i + h] = im[i] - xi;
        re[i] = re[i] + xr;
        im[i] = im[i] + xi;
      }
    }
  }
}

FftState* fft_create() {
  return new (std::nothrow) FftState();
}

void fft_destroy(FftState* state) {
  delete state;
}

bool fft_init(FftState& state, int fftFrameSize) {
  return state.init(fftFrameSize);
}

bool FftState::init(int fftFrameSize) {
  if (!isPowerOfTwo(fftFrameSize) || fftFrameSize > FFT_MAX_SIZE) return false;
  std::call_once(twiddlesBuilt, buildTwiddles);
  const int n2 = 2 * fftFrameSize;
  interleavedLength = n2;
  frameSize = fftFrameSize;

  int pos = 0;
  for (int i = 2; i < n2 - 2; i += 2) {
    int j = 0;
    for (int bitm = 2; bitm < n2; bitm <<= 1) {
      if ((i & bitm) != 0) j++;
      j <<= 1;
    }
    if (i < j) {
      bitSwapPos[pos] = i;
      bitSwapPos[pos + 1] = j;
      pos += 2;
    }
  }
  bitSwapLen = pos;

  logFrame = static_cast<long>(std::log(static_cast<double>(fftFrameSize)) / 0.6931471805599453 + 0.5);

  const int groupBits = static_cast<int>(logFrame) - 3;
  for (int g = 0; g < fftFrameSize / 8; g++) {
    int r = 0;
    for (int bit = 0; bit < groupBits; bit++) r |= ((g >> bit) & 1) << (groupBits - 1 - bit);
    revGroup[g] = r;
  }
  return true;
}

void fft_process(const FftState& state, float* fftBuffer, int sign) {
  state.process(fftBuffer, sign);
}

void FftState::process(float* fftBuffer, int sign) const {
  for (int s = 0; s < bitSwapLen; s += 2) {
    const int i = bitSwapPos[s];
    const int j = bitSwapPos[s + 1];
    float t = fftBuffer[i];
    fftBuffer[i] = fftBuffer[j];
    fftBuffer[j] = t;
    t = fftBuffer[i + 1];
    fftBuffer[i + 1] = fftBuffer[j + 1];
    fftBuffer[j + 1] = t;
  }

  const float* tabR = sign == 1 ? pur : pur_inv;
  const float* tabI = sign == 1 ? pui : pui_inv;
  const int n2 = interleavedLength;
  for (long k = 0; k < logFrame; k++) {
    const int le = 1 << (k + 2);
    const int le2 = le >> 1;
    const int row = static_cast<int>(k) * kRow;
    for (int j = 0; j < le2; j += 2) {
      const float ur = tabR[row + j];
      const float ui = tabI[row + j];
      for (int i = j; i < n2; i += le) {
        float* p1 = fftBuffer + i;
        float* p2 = fftBuffer + i + le2;
        const float tr = p2[0] * ur - p2[1] * ui;
        const float ti = p2[0] * ui + p2[1] * ur;
        p2[0] = p1[0] - tr;
        p2[1] = p1[1] - ti;
        p1[0] = p1[0] + tr;
        p1[1] = p1[1] + ti;
      }
    }
  }
}

void fft_forward_real(const FftState& state, const float* x, float* re, float* im) {
  fft_forward_windowed(state, x, nullptr, re, im);
}

void fft_forward_windowed(const FftState& state, const float* x, const float* window, float* re, float* im) {
  const int n = state.frameSize;
  const CpuLevel level = cpu_level();
  int done = 0;
  if (level >= CpuLevel::Avx512) {
    done = fft_avx512::forward_real(state, x, window, re, im);
  } else if (level >= CpuLevel::Avx2) {
    done = fft_avx2::forward_real(state, x, window, re, im);
  }
  if (done == n) return;
  if (window != nullptr) {
    for (int k = 0; k < n; k++) re[k] = x[k] * window[k];
  } else {
    for (int k = 0; k < n; k++) re[k] = x[k];
  }
  for (int k = 0; k < n; k++) im[k] = 0.0f;
  state.transformSplitScalar(re, im, -1);
}

void fft_inverse_half(const FftState& state, const float* specRe, const float* specIm, float* re, float* im) {
  const int n = state.frameSize;
  const CpuLevel level = cpu_level();
  int done = 0;
  if (level >= CpuLevel::Avx512) {
    done = fft_avx512::inverse_half(state, specRe, specIm, re, im);
  } else if (level >= CpuLevel::Avx2) {
    done = fft_avx2::inverse_half(state, specRe, specIm, re, im);
  }
  if (done == n) return;
  const int half = n / 2;
  for (int k = 0; k < half; k++) {
    re[k] = specRe[k];
    im[k] = specIm[k];
  }
  for (int k = half; k < n; k++) re[k] = im[k] = 0.0f;
  state.transformSplitScalar(re, im, 1);
}

FftTables fft_tables(const FftState& state) {
  return {state.bitSwapPos, state.bitSwapLen, state.logFrame, pur, pui, pur_inv, pui_inv};
}
