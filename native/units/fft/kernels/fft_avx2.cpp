// The FFT's AVX2 kernels: eight butterflies to a vector (see fft_kernels.h).
#include <immintrin.h>

#include <cmath>

#include "cpu.h"
#include "fft_avx2_steps.h"
#include "fft_kernels.h"

namespace {

using namespace fft_internal;
// Two stages in one pass over the data, of spans h and 2h (the butterflies
// are the same, only their order changes, and each butterfly's inputs are
// final when it runs), 8 butterflies at a time.
TAMBRINO_AVX2 void radix4Pass(float* re, float* im, int n, int dir, int h) {
  const float* w1r = splitRe[dir] + h - 1;
  const float* w1i = splitIm[dir] + h - 1;
  const float* w2r = splitRe[dir] + 2 * h - 1;
  const float* w2i = splitIm[dir] + 2 * h - 1;
  for (int b = 0; b < n; b += 4 * h) {
    for (int m = 0; m < h; m += 8) {
      float* r0 = re + b + m;
      float* i0 = im + b + m;
      V2 x0 = load8(r0, i0), x1 = load8(r0 + h, i0 + h);
      V2 x2 = load8(r0 + 2 * h, i0 + 2 * h), x3 = load8(r0 + 3 * h, i0 + 3 * h);
      const __m256 wr = _mm256_loadu_ps(w1r + m), wi = _mm256_loadu_ps(w1i + m);
      // Stage of span h: (x0, x1) and (x2, x3), both with twiddle m.
      butterfly8(x0, x1, wr, wi);
      butterfly8(x2, x3, wr, wi);
      // Stage of span 2h: (x0, x2) with twiddle m, (x1, x3) with m + h.
      butterfly8(x0, x2, _mm256_loadu_ps(w2r + m), _mm256_loadu_ps(w2i + m));
      butterfly8(x1, x3, _mm256_loadu_ps(w2r + h + m), _mm256_loadu_ps(w2i + h + m));
      _mm256_storeu_ps(r0, x0.r);
      _mm256_storeu_ps(i0, x0.i);
      _mm256_storeu_ps(r0 + h, x1.r);
      _mm256_storeu_ps(i0 + h, x1.i);
      _mm256_storeu_ps(r0 + 2 * h, x2.r);
      _mm256_storeu_ps(i0 + 2 * h, x2.i);
      _mm256_storeu_ps(r0 + 3 * h, x3.r);
      _mm256_storeu_ps(i0 + 3 * h, x3.i);
    }
  }
}

TAMBRINO_AVX2 void radix2Pass(float* re, float* im, int n, int dir, int h) {
  for (int b = 0; b < n; b += 2 * h)
    for (int m = 0; m < h; m += 8)
      butterfly(re + b + m, im + b + m, re + b + h + m, im + b + h + m, splitRe[dir] + h - 1 + m,
                splitIm[dir] + h - 1 + m);
}

// The last two stages (spans N/4 and N/2) in one pass, the last one pruned:
// the forward transform (kDir 0) keeps the lower half of the bins, the
// inverse one (kDir 1) the real parts.
template <int kDir>
TAMBRINO_AVX2 void lastTwo(float* re, float* im, int n) {
  const int q = n / 4;
  const float* w1r = splitRe[kDir] + q - 1;
  const float* w1i = splitIm[kDir] + q - 1;
  const float* w2r = splitRe[kDir] + 2 * q - 1;
  const float* w2i = splitIm[kDir] + 2 * q - 1;
  for (int m = 0; m < q; m += 8) {
    V2 x0 = load8(re + m, im + m), x1 = load8(re + q + m, im + q + m);
    V2 x2 = load8(re + 2 * q + m, im + 2 * q + m), x3 = load8(re + 3 * q + m, im + 3 * q + m);
    const __m256 wr = _mm256_loadu_ps(w1r + m), wi = _mm256_loadu_ps(w1i + m);
    butterfly8(x0, x1, wr, wi);
    butterfly8(x2, x3, wr, wi);
    if constexpr (kDir == 0) {
      V2 t = cmul(x2.r, x2.i, _mm256_loadu_ps(w2r + m), _mm256_loadu_ps(w2i + m));
      _mm256_storeu_ps(re + m, _mm256_add_ps(x0.r, t.r));
      _mm256_storeu_ps(im + m, _mm256_add_ps(x0.i, t.i));
      t = cmul(x3.r, x3.i, _mm256_loadu_ps(w2r + q + m), _mm256_loadu_ps(w2i + q + m));
      _mm256_storeu_ps(re + q + m, _mm256_add_ps(x1.r, t.r));
      _mm256_storeu_ps(im + q + m, _mm256_add_ps(x1.i, t.i));
    } else {
      if (m == 0) _mm256_storeu_ps(im, x0.i);  // for the finiteness check
      __m256 tr = _mm256_sub_ps(_mm256_mul_ps(x2.r, _mm256_loadu_ps(w2r + m)),
                                _mm256_mul_ps(x2.i, _mm256_loadu_ps(w2i + m)));
      _mm256_storeu_ps(re + 2 * q + m, _mm256_sub_ps(x0.r, tr));
      _mm256_storeu_ps(re + m, _mm256_add_ps(x0.r, tr));
      tr = _mm256_sub_ps(_mm256_mul_ps(x3.r, _mm256_loadu_ps(w2r + q + m)),
                         _mm256_mul_ps(x3.i, _mm256_loadu_ps(w2i + q + m)));
      _mm256_storeu_ps(re + 3 * q + m, _mm256_sub_ps(x1.r, tr));
      _mm256_storeu_ps(re + q + m, _mm256_add_ps(x1.r, tr));
    }
  }
}
// The stages from span h up to N/8, two per pass where possible, and then
// the last two together (frames of at least 32 points).
void laterStages(float* re, float* im, int n, int dir, int h) {
  while (h < n / 4) {
    const bool two = 4 * h <= n / 4;
    two ? radix4Pass(re, im, n, dir, h) : radix2Pass(re, im, n, dir, h);
    h <<= two ? 2 : 1;
  }
  dir == 0 ? lastTwo<0>(re, im, n) : lastTwo<1>(re, im, n);
}

// Forward transform of a real, finite frame. The imaginary inputs are +0, so
// the first stage (twiddle (1, +0)) gives exactly (a + b, +0) and (a - b, +0):
// b * 1 - 0 * 0 = b, and b * 0 + 0 * 1 = +0 whatever the sign of b.
//
// Group g (values 8g .. 8g + 7 after reordering) takes value t from
// x[base + rev3(t) * N/8], base = revGroup[g]: rows of x at N/8 apart hold the
// same element of eight consecutive bases.

template <bool kWindowed>
TAMBRINO_AVX2 void forwardReal(const FftState& s, const float* x, const float* window, float* re, float* im) {
  const int n = s.frameSize;
  const int eighth = n / 8;
  for (int b = 0; b < eighth; b += 8) {
    __m256 row[8];
    FFT_UNROLL
    for (int j = 0; j < 8; j++) row[j] = loadFrame8<kWindowed>(x, window, j * eighth + b);
    // First stage: pairs of rows rev3(2m) and rev3(2m) + 4, m = 0 .. 3.
    __m256 er[8];
    __m256 ei[8];
    static constexpr int upper[4] = {0, 2, 1, 3};
    FFT_UNROLL
    for (int m = 0; m < 4; m++) {
      er[2 * m] = _mm256_add_ps(row[upper[m]], row[upper[m] + 4]);
      er[2 * m + 1] = _mm256_sub_ps(row[upper[m]], row[upper[m] + 4]);
    }
    earlyStagesReal(er, ei);
    storeGroups(s.revGroup, er, ei, b, re, im);
  }
  laterStages(re, im, n, 0, 8);
}

// Inverse transform of a spectrum whose upper half is +0. After reordering
// every second value is +0, so the first stage gives p1 + 0 (which turns -0
// into +0) and p1 itself (p1 - (+0) = p1).
TAMBRINO_AVX2 void inverseHalf(const FftState& s, const float* specRe, const float* specIm, float* re,
                               float* im) {
  const int n = s.frameSize;
  const int eighth = n / 8;
  const __m256 zero = _mm256_setzero_ps();
  for (int b = 0; b < eighth; b += 8) {
    // Only rows 0 .. 3 lie in the lower half; rows 4 .. 7 are the zeros.
    __m256 er[8];
    __m256 ei[8];
    static constexpr int upper[4] = {0, 2, 1, 3};
    FFT_UNROLL
    for (int m = 0; m < 4; m++) {
      const __m256 yr = _mm256_loadu_ps(specRe + upper[m] * eighth + b);
      const __m256 yi = _mm256_loadu_ps(specIm + upper[m] * eighth + b);
      er[2 * m] = _mm256_add_ps(yr, zero);
      er[2 * m + 1] = yr;
      ei[2 * m] = _mm256_add_ps(yi, zero);
      ei[2 * m + 1] = yi;
    }
    earlyStagesVertical(er, ei, 1);
    storeGroups(s.revGroup, er, ei, b, re, im);
  }
  laterStages(re, im, n, 1, 8);
}

}  // namespace

namespace fft_avx2 {

int forward_real(const FftState& s, const float* x, const float* window, float* re, float* im) {
  const int n = s.frameSize;
  if (n < 64) return 0;  // eight groups of eight after reordering
  if (window != nullptr) {
    forwardReal<true>(s, x, window, re, im);
  } else {
    forwardReal<false>(s, x, nullptr, re, im);
  }
  return std::isfinite(re[0]) && std::isfinite(im[0]) ? n : 0;
}

int inverse_half(const FftState& s, const float* specRe, const float* specIm, float* re, float* im) {
  const int n = s.frameSize;
  if (n < 64) return 0;
  inverseHalf(s, specRe, specIm, re, im);
  return std::isfinite(re[0]) && std::isfinite(im[0]) ? n : 0;
}

}  // namespace fft_avx2
