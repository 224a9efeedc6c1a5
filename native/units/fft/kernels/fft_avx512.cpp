// The FFT's AVX-512 kernels: sixteen butterflies to a vector from span 16
// on, and stage 3 in the first pass (see fft_kernels.h).
#include <immintrin.h>

#include <cmath>

#include "cpu.h"
#include "fft_avx2_steps.h"
#include "fft_kernels.h"

namespace {

using namespace fft_internal;

// The AVX2 kernels' passes 16 butterflies at a time, for spans of 16 and
// more: the same operations in every lane.

struct V16 {
  __m512 r;
  __m512 i;
};

TAMBRINO_AVX512 TAMBRINO_INLINE V16 cmul16(__m512 pr, __m512 pi, __m512 wr, __m512 wi) {
  return {_mm512_sub_ps(_mm512_mul_ps(pr, wr), _mm512_mul_ps(pi, wi)),
          _mm512_add_ps(_mm512_mul_ps(pr, wi), _mm512_mul_ps(pi, wr))};
}

TAMBRINO_AVX512 void radix4Pass(float* re, float* im, int n, int dir, int h) {
  const float* w1r = splitRe[dir] + h - 1;
  const float* w1i = splitIm[dir] + h - 1;
  const float* w2r = splitRe[dir] + 2 * h - 1;
  const float* w2i = splitIm[dir] + 2 * h - 1;
  for (int b = 0; b < n; b += 4 * h) {
    for (int m = 0; m < h; m += 16) {
      float* r0 = re + b + m;
      float* i0 = im + b + m;
      __m512 x0r = _mm512_loadu_ps(r0), x0i = _mm512_loadu_ps(i0);
      __m512 x1r = _mm512_loadu_ps(r0 + h), x1i = _mm512_loadu_ps(i0 + h);
      __m512 x2r = _mm512_loadu_ps(r0 + 2 * h), x2i = _mm512_loadu_ps(i0 + 2 * h);
      __m512 x3r = _mm512_loadu_ps(r0 + 3 * h), x3i = _mm512_loadu_ps(i0 + 3 * h);
      const __m512 wr = _mm512_loadu_ps(w1r + m), wi = _mm512_loadu_ps(w1i + m);
      V16 t = cmul16(x1r, x1i, wr, wi);
      x1r = _mm512_sub_ps(x0r, t.r);
      x1i = _mm512_sub_ps(x0i, t.i);
      x0r = _mm512_add_ps(x0r, t.r);
      x0i = _mm512_add_ps(x0i, t.i);
      t = cmul16(x3r, x3i, wr, wi);
      x3r = _mm512_sub_ps(x2r, t.r);
      x3i = _mm512_sub_ps(x2i, t.i);
      x2r = _mm512_add_ps(x2r, t.r);
      x2i = _mm512_add_ps(x2i, t.i);
      t = cmul16(x2r, x2i, _mm512_loadu_ps(w2r + m), _mm512_loadu_ps(w2i + m));
      _mm512_storeu_ps(r0 + 2 * h, _mm512_sub_ps(x0r, t.r));
      _mm512_storeu_ps(i0 + 2 * h, _mm512_sub_ps(x0i, t.i));
      _mm512_storeu_ps(r0, _mm512_add_ps(x0r, t.r));
      _mm512_storeu_ps(i0, _mm512_add_ps(x0i, t.i));
      t = cmul16(x3r, x3i, _mm512_loadu_ps(w2r + h + m), _mm512_loadu_ps(w2i + h + m));
      _mm512_storeu_ps(r0 + 3 * h, _mm512_sub_ps(x1r, t.r));
      _mm512_storeu_ps(i0 + 3 * h, _mm512_sub_ps(x1i, t.i));
      _mm512_storeu_ps(r0 + h, _mm512_add_ps(x1r, t.r));
      _mm512_storeu_ps(i0 + h, _mm512_add_ps(x1i, t.i));
    }
  }
}

TAMBRINO_AVX512 void radix2Pass(float* re, float* im, int n, int dir, int h) {
  const float* twr = splitRe[dir] + h - 1;
  const float* twi = splitIm[dir] + h - 1;
  for (int b = 0; b < n; b += 2 * h) {
    for (int m = 0; m < h; m += 16) {
      float* r1 = re + b + m;
      float* i1 = im + b + m;
      const __m512 ar = _mm512_loadu_ps(r1);
      const __m512 ai = _mm512_loadu_ps(i1);
      const V16 t = cmul16(_mm512_loadu_ps(r1 + h), _mm512_loadu_ps(i1 + h), _mm512_loadu_ps(twr + m),
                           _mm512_loadu_ps(twi + m));
      _mm512_storeu_ps(r1 + h, _mm512_sub_ps(ar, t.r));
      _mm512_storeu_ps(i1 + h, _mm512_sub_ps(ai, t.i));
      _mm512_storeu_ps(r1, _mm512_add_ps(ar, t.r));
      _mm512_storeu_ps(i1, _mm512_add_ps(ai, t.i));
    }
  }
}

// A complex vector of sixteen lanes in registers, and one butterfly on two of
// them with the twiddle (wr, wi): p2 = p1 - p2 * w, p1 = p1 + p2 * w.
struct C16 {
  __m512 r;
  __m512 i;
};

TAMBRINO_AVX512 TAMBRINO_INLINE C16 load16(const float* r, const float* i) {
  return {_mm512_loadu_ps(r), _mm512_loadu_ps(i)};
}

TAMBRINO_AVX512 TAMBRINO_INLINE void store16(float* r, float* i, C16 v) {
  _mm512_storeu_ps(r, v.r);
  _mm512_storeu_ps(i, v.i);
}

TAMBRINO_AVX512 TAMBRINO_INLINE void butterfly16(C16& p1, C16& p2, __m512 wr, __m512 wi) {
  const V16 t = cmul16(p2.r, p2.i, wr, wi);
  p2.r = _mm512_sub_ps(p1.r, t.r);
  p2.i = _mm512_sub_ps(p1.i, t.i);
  p1.r = _mm512_add_ps(p1.r, t.r);
  p1.i = _mm512_add_ps(p1.i, t.i);
}

// Three stages in one pass, of spans h, 2h and 4h (h >= 16): eight values
// 0, h, .. 7h apart go through all three in registers.
TAMBRINO_AVX512 void radix8Pass(float* re, float* im, int n, int dir, int h) {
  const float* w1r = splitRe[dir] + h - 1;
  const float* w1i = splitIm[dir] + h - 1;
  const float* w2r = splitRe[dir] + 2 * h - 1;
  const float* w2i = splitIm[dir] + 2 * h - 1;
  const float* w4r = splitRe[dir] + 4 * h - 1;
  const float* w4i = splitIm[dir] + 4 * h - 1;
  for (int b = 0; b < n; b += 8 * h) {
    for (int m = 0; m < h; m += 16) {
      float* r0 = re + b + m;
      float* i0 = im + b + m;
      C16 x[8];
      FFT_UNROLL
      for (int k = 0; k < 8; k++) x[k] = load16(r0 + k * h, i0 + k * h);
      const __m512 ar = _mm512_loadu_ps(w1r + m), ai = _mm512_loadu_ps(w1i + m);
      FFT_UNROLL
      for (int k = 0; k < 8; k += 2) butterfly16(x[k], x[k + 1], ar, ai);
      const __m512 br = _mm512_loadu_ps(w2r + m), bi = _mm512_loadu_ps(w2i + m);
      const __m512 cr = _mm512_loadu_ps(w2r + h + m), ci = _mm512_loadu_ps(w2i + h + m);
      butterfly16(x[0], x[2], br, bi);
      butterfly16(x[1], x[3], cr, ci);
      butterfly16(x[4], x[6], br, bi);
      butterfly16(x[5], x[7], cr, ci);
      FFT_UNROLL
      for (int k = 0; k < 4; k++) {
        butterfly16(x[k], x[k + 4], _mm512_loadu_ps(w4r + k * h + m), _mm512_loadu_ps(w4i + k * h + m));
        store16(r0 + (k + 4) * h, i0 + (k + 4) * h, x[k + 4]);
        store16(r0 + k * h, i0 + k * h, x[k]);
      }
    }
  }
}

// The AVX2 kernels' lastTwo, sixteen lanes wide.
template <int kDir>
TAMBRINO_AVX512 void lastTwo(float* re, float* im, int n) {
  const int q = n / 4;
  const float* w1r = splitRe[kDir] + q - 1;
  const float* w1i = splitIm[kDir] + q - 1;
  const float* w2r = splitRe[kDir] + 2 * q - 1;
  const float* w2i = splitIm[kDir] + 2 * q - 1;
  for (int m = 0; m < q; m += 16) {
    C16 x0 = load16(re + m, im + m), x1 = load16(re + q + m, im + q + m);
    C16 x2 = load16(re + 2 * q + m, im + 2 * q + m), x3 = load16(re + 3 * q + m, im + 3 * q + m);
    const __m512 wr = _mm512_loadu_ps(w1r + m), wi = _mm512_loadu_ps(w1i + m);
    butterfly16(x0, x1, wr, wi);
    butterfly16(x2, x3, wr, wi);
    if constexpr (kDir == 0) {
      V16 t = cmul16(x2.r, x2.i, _mm512_loadu_ps(w2r + m), _mm512_loadu_ps(w2i + m));
      _mm512_storeu_ps(re + m, _mm512_add_ps(x0.r, t.r));
      _mm512_storeu_ps(im + m, _mm512_add_ps(x0.i, t.i));
      t = cmul16(x3.r, x3.i, _mm512_loadu_ps(w2r + q + m), _mm512_loadu_ps(w2i + q + m));
      _mm512_storeu_ps(re + q + m, _mm512_add_ps(x1.r, t.r));
      _mm512_storeu_ps(im + q + m, _mm512_add_ps(x1.i, t.i));
    } else {
      if (m == 0) _mm512_storeu_ps(im, x0.i);  // for the finiteness check
      __m512 tr = _mm512_sub_ps(_mm512_mul_ps(x2.r, _mm512_loadu_ps(w2r + m)),
                                _mm512_mul_ps(x2.i, _mm512_loadu_ps(w2i + m)));
      _mm512_storeu_ps(re + 2 * q + m, _mm512_sub_ps(x0.r, tr));
      _mm512_storeu_ps(re + m, _mm512_add_ps(x0.r, tr));
      tr = _mm512_sub_ps(_mm512_mul_ps(x3.r, _mm512_loadu_ps(w2r + q + m)),
                         _mm512_mul_ps(x3.i, _mm512_loadu_ps(w2i + q + m)));
      _mm512_storeu_ps(re + 3 * q + m, _mm512_sub_ps(x1.r, tr));
      _mm512_storeu_ps(re + q + m, _mm512_add_ps(x1.r, tr));
    }
  }
}

// The wide transforms' stages from span 16 on (N >= 128): three per pass
// while more than two remain before the last two, which go together.
void laterStages(float* re, float* im, int n, int dir) {
  int h = 16;
  while (h < n / 4) {
    const int left = __builtin_ctz(static_cast<unsigned>(n / 4)) - __builtin_ctz(static_cast<unsigned>(h));
    if (left == 1) {
      radix2Pass(re, im, n, dir, h);
      h <<= 1;
    } else if (left == 2 || left == 4) {
      radix4Pass(re, im, n, dir, h);
      h <<= 2;
    } else {
      radix8Pass(re, im, n, dir, h);
      h <<= 3;
    }
  }
  dir == 0 ? lastTwo<0>(re, im, n) : lastTwo<1>(re, im, n);
}

// With AVX-512's 32 vector registers the first pass also does stage 3 (span
// 8), which pairs element t of group g with element t of group g + 1, whose
// base is N/16 higher: the bases b .. b + 7 and b + N/16 .. b + N/16 + 7 go
// through together. Frames of at least 128 points.

// After earlyStagesReal, elements 0 and 4 of every group are still real.
template <bool kRealFrame>
TAMBRINO_AVX512 TAMBRINO_INLINE void stage3AndStore(const FftState& s, __m256 er[2][8], __m256 ei[2][8],
                                                    int b, int dir, float* re, float* im) {
  FFT_UNROLL
  for (int t = 0; t < 8; t++) {
    if (kRealFrame && t == 0) {
      const __m256 p2 = er[1][0];
      er[1][0] = _mm256_sub_ps(er[0][0], p2);
      er[0][0] = _mm256_add_ps(er[0][0], p2);
      continue;
    }
    V2 w;
    if (kRealFrame && t == 4) {
      realTimesTwiddle(er[1][t], splitRe[dir], splitIm[dir], 7 + t, w.r, w.i);
    } else {
      w = cmul(er[1][t], ei[1][t], _mm256_set1_ps(splitRe[dir][7 + t]), _mm256_set1_ps(splitIm[dir][7 + t]));
    }
    er[1][t] = _mm256_sub_ps(er[0][t], w.r);
    ei[1][t] = _mm256_sub_ps(ei[0][t], w.i);
    er[0][t] = _mm256_add_ps(er[0][t], w.r);
    ei[0][t] = _mm256_add_ps(ei[0][t], w.i);
  }
  storeGroups(s.revGroup, er[0], ei[0], b, re, im);
  storeGroups(s.revGroup, er[1], ei[1], b + s.frameSize / 16, re, im);
}

template <bool kWindowed>
TAMBRINO_AVX512 void forwardReal(const FftState& s, const float* x, const float* window, float* re,
                                 float* im) {
  const int n = s.frameSize;
  const int eighth = n / 8;
  static constexpr int upper[4] = {0, 2, 1, 3};
  for (int b = 0; b < n / 16; b += 8) {
    __m256 er[2][8];
    __m256 ei[2][8];
    FFT_UNROLL
    for (int set = 0; set < 2; set++) {
      const int at = b + set * (n / 16);
      FFT_UNROLL
      for (int m = 0; m < 4; m++) {
        const __m256 a = loadFrame8<kWindowed>(x, window, at + upper[m] * eighth);
        const __m256 c = loadFrame8<kWindowed>(x, window, at + (upper[m] + 4) * eighth);
        er[set][2 * m] = _mm256_add_ps(a, c);
        er[set][2 * m + 1] = _mm256_sub_ps(a, c);
      }
      earlyStagesReal(er[set], ei[set]);
    }
    stage3AndStore<true>(s, er, ei, b, 0, re, im);
  }
  laterStages(re, im, n, 0);
}

TAMBRINO_AVX512 void inverseHalf(const FftState& s, const float* specRe, const float* specIm, float* re,
                                 float* im) {
  const int n = s.frameSize;
  const int eighth = n / 8;
  const __m256 zero = _mm256_setzero_ps();
  static constexpr int upper[4] = {0, 2, 1, 3};
  for (int b = 0; b < n / 16; b += 8) {
    __m256 er[2][8];
    __m256 ei[2][8];
    FFT_UNROLL
    for (int set = 0; set < 2; set++) {
      const int at = b + set * (n / 16);
      FFT_UNROLL
      for (int m = 0; m < 4; m++) {
        const __m256 yr = _mm256_loadu_ps(specRe + upper[m] * eighth + at);
        const __m256 yi = _mm256_loadu_ps(specIm + upper[m] * eighth + at);
        er[set][2 * m] = _mm256_add_ps(yr, zero);
        er[set][2 * m + 1] = yr;
        ei[set][2 * m] = _mm256_add_ps(yi, zero);
        ei[set][2 * m + 1] = yi;
      }
      earlyStagesVertical(er[set], ei[set], 1);
    }
    stage3AndStore<false>(s, er, ei, b, 1, re, im);
  }
  laterStages(re, im, n, 1);
}

}  // namespace

namespace fft_avx512 {

int forward_real(const FftState& s, const float* x, const float* window, float* re, float* im) {
  const int n = s.frameSize;
  if (n < 128) return fft_avx2::forward_real(s, x, window, re, im);
  if (window != nullptr) {
    forwardReal<true>(s, x, window, re, im);
  } else {
    forwardReal<false>(s, x, nullptr, re, im);
  }
  return std::isfinite(re[0]) && std::isfinite(im[0]) ? n : 0;
}

int inverse_half(const FftState& s, const float* specRe, const float* specIm, float* re, float* im) {
  const int n = s.frameSize;
  if (n < 128) return fft_avx2::inverse_half(s, specRe, specIm, re, im);
  // Leaves the imaginary part of the lower half's bin-0 chain in im[0].
  inverseHalf(s, specRe, specIm, re, im);
  return std::isfinite(re[0]) && std::isfinite(im[0]) ? n : 0;
}

}  // namespace fft_avx512
