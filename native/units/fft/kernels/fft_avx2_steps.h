// Internal to the FFT unit: the AVX2 steps that both vector kernels build
// their transforms from (the AVX-512 kernels keep eight-lane vectors for the
// early stages, where the values of eight groups meet). Inline only.
#pragma once

#include <immintrin.h>

#include "cpu.h"
#include "fft_kernels.h"

// Loops over a fixed handful of vectors, unrolled so that the arrays become
// registers (GCC does not unroll them at -O2 by itself).
#define FFT_UNROLL _Pragma("GCC unroll 8")

namespace fft_internal {

struct V2 {
  __m256 r;
  __m256 i;
};

TAMBRINO_AVX2 TAMBRINO_INLINE V2 cmul(__m256 pr, __m256 pi, __m256 wr, __m256 wi) {
  return {_mm256_sub_ps(_mm256_mul_ps(pr, wr), _mm256_mul_ps(pi, wi)),
          _mm256_add_ps(_mm256_mul_ps(pr, wi), _mm256_mul_ps(pi, wr))};
}

TAMBRINO_AVX2 TAMBRINO_INLINE V2 load8(const float* r, const float* i) {
  return {_mm256_loadu_ps(r), _mm256_loadu_ps(i)};
}

// One radix-2 butterfly on 8 lanes held in registers.
TAMBRINO_AVX2 TAMBRINO_INLINE void butterfly8(V2& p1, V2& p2, __m256 wr, __m256 wi) {
  const V2 t = cmul(p2.r, p2.i, wr, wi);
  p2.r = _mm256_sub_ps(p1.r, t.r);
  p2.i = _mm256_sub_ps(p1.i, t.i);
  p1.r = _mm256_add_ps(p1.r, t.r);
  p1.i = _mm256_add_ps(p1.i, t.i);
}

// One radix-2 butterfly on 8 lanes, in place.
TAMBRINO_AVX2 TAMBRINO_INLINE void butterfly(float* r1, float* i1, float* r2, float* i2, const float* twr,
                                             const float* twi) {
  const __m256 ar = _mm256_loadu_ps(r1);
  const __m256 ai = _mm256_loadu_ps(i1);
  const V2 t = cmul(_mm256_loadu_ps(r2), _mm256_loadu_ps(i2), _mm256_loadu_ps(twr), _mm256_loadu_ps(twi));
  _mm256_storeu_ps(r2, _mm256_sub_ps(ar, t.r));
  _mm256_storeu_ps(i2, _mm256_sub_ps(ai, t.i));
  _mm256_storeu_ps(r1, _mm256_add_ps(ar, t.r));
  _mm256_storeu_ps(i1, _mm256_add_ps(ai, t.i));
}

TAMBRINO_AVX2 TAMBRINO_INLINE void transpose8(__m256 r[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
  const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
  const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
  const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
  const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44);
  const __m256 s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44);
  const __m256 s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44);
  const __m256 s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44);
  const __m256 s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// Stages 1 and 2 of eight groups at once: e[t] holds element t (of the
// eight after reordering) of eight groups, one group per lane, so every
// butterfly is a plain vertical operation with the same twiddle in all lanes.
TAMBRINO_AVX2 TAMBRINO_INLINE void verticalButterfly(__m256 er[8], __m256 ei[8], int t1, int t2, int dir,
                                                     int tw) {
  const V2 t = cmul(er[t2], ei[t2], _mm256_set1_ps(splitRe[dir][tw]), _mm256_set1_ps(splitIm[dir][tw]));
  er[t2] = _mm256_sub_ps(er[t1], t.r);
  ei[t2] = _mm256_sub_ps(ei[t1], t.i);
  er[t1] = _mm256_add_ps(er[t1], t.r);
  ei[t1] = _mm256_add_ps(ei[t1], t.i);
}

TAMBRINO_AVX2 TAMBRINO_INLINE void earlyStagesVertical(__m256 er[8], __m256 ei[8], int dir) {
  // Stage 1 (span 2, twiddles 1 and 2 of the split table), stage 2 (span 4,
  // twiddles 3 .. 6).
  verticalButterfly(er, ei, 0, 2, dir, 1);
  verticalButterfly(er, ei, 1, 3, dir, 2);
  verticalButterfly(er, ei, 4, 6, dir, 1);
  verticalButterfly(er, ei, 5, 7, dir, 2);
  verticalButterfly(er, ei, 0, 4, dir, 3);
  verticalButterfly(er, ei, 1, 5, dir, 4);
  verticalButterfly(er, ei, 2, 6, dir, 5);
  verticalButterfly(er, ei, 3, 7, dir, 6);
}

// The forward transform's early stages know more zeros. A value whose
// imaginary part is exactly +0 (every value after the first stage, and half
// of them after the second) times the twiddle (wr, wi) is p * wr - 0 * wi and
// p * wi + 0 * wr: the products with zero are the same two constants for all
// lanes. With the twiddle (1, +0) as well, it is exactly (p, +0) when p is
// finite: p * 1 - 0 * 0 = p, p * 0 + 0 * 1 = +0. Only the values on the chain
// of bin 0 ever take that twiddle with a zero imaginary part here; if one of
// them overflows, so does bin 0, and the frame is done again on the portable
// path.
TAMBRINO_AVX2 TAMBRINO_INLINE void realTimesTwiddle(__m256 pr, const float* twr, const float* twi, int tw,
                                                    __m256& tr, __m256& ti) {
  const float wr = twr[tw];
  const float wi = twi[tw];
  tr = _mm256_sub_ps(_mm256_mul_ps(pr, _mm256_set1_ps(wr)), _mm256_set1_ps(0.0f * wi));
  ti = _mm256_add_ps(_mm256_mul_ps(pr, _mm256_set1_ps(wi)), _mm256_set1_ps(0.0f * wr));
}

// Butterfly of two values with zero imaginary parts: (p1, +0) and (p2, +0).
TAMBRINO_AVX2 TAMBRINO_INLINE void realButterfly(__m256 er[8], __m256 ei[8], int t1, int t2, int tw) {
  __m256 tr, ti;
  realTimesTwiddle(er[t2], splitRe[0], splitIm[0], tw, tr, ti);
  const __m256 zero = _mm256_setzero_ps();
  er[t2] = _mm256_sub_ps(er[t1], tr);
  ei[t2] = _mm256_sub_ps(zero, ti);
  er[t1] = _mm256_add_ps(er[t1], tr);
  ei[t1] = _mm256_add_ps(zero, ti);
}

// Butterfly of (p1, +0) and (p2, +0) with the twiddle (1, +0): the imaginary
// parts stay +0.
TAMBRINO_AVX2 TAMBRINO_INLINE void plainButterfly(__m256 er[8], int t1, int t2) {
  const __m256 p2 = er[t2];
  er[t2] = _mm256_sub_ps(er[t1], p2);
  er[t1] = _mm256_add_ps(er[t1], p2);
}

// Stages 1 and 2 after the first one, of a real frame: er holds the first
// stage's results, whose imaginary parts are all +0.
TAMBRINO_AVX2 TAMBRINO_INLINE void earlyStagesReal(__m256 er[8], __m256 ei[8]) {
  const __m256 zero = _mm256_setzero_ps();
  // Span 2: twiddles 1 = (1, +0) and 2.
  plainButterfly(er, 0, 2);
  realButterfly(er, ei, 1, 3, 2);
  plainButterfly(er, 4, 6);
  realButterfly(er, ei, 5, 7, 2);
  ei[0] = ei[2] = ei[4] = ei[6] = zero;
  // Span 4: twiddles 3 = (1, +0) .. 6; values 0, 2, 4 and 6 are still real.
  plainButterfly(er, 0, 4);
  verticalButterfly(er, ei, 1, 5, 0, 4);
  realButterfly(er, ei, 2, 6, 5);
  verticalButterfly(er, ei, 3, 7, 0, 6);
}

// After the early stages the lanes are groups: transposed, each vector is
// one group's eight values, stored at its place.
TAMBRINO_AVX2 TAMBRINO_INLINE void storeGroups(const int* revGroup, __m256 er[8], __m256 ei[8], int b,
                                               float* re, float* im) {
  transpose8(er);
  transpose8(ei);
  FFT_UNROLL
  for (int c = 0; c < 8; c++) {
    const int g = revGroup[b + c];
    _mm256_storeu_ps(re + 8 * g, er[c]);
    _mm256_storeu_ps(im + 8 * g, ei[c]);
  }
}

// With a window, each frame value x[k] * window[k] is formed as it is loaded:
// the same single product as in a separate pass, without storing the frame.
template <bool kWindowed>
TAMBRINO_AVX2 TAMBRINO_INLINE __m256 loadFrame8(const float* x, const float* window, int at) {
  if (!kWindowed) return _mm256_loadu_ps(x + at);
  return _mm256_mul_ps(_mm256_loadu_ps(x + at), _mm256_loadu_ps(window + at));
}

}  // namespace fft_internal
