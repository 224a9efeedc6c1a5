// The resampler's AVX2 kernels (see resampler_kernels.h).
#include <immintrin.h>

#include "cpu.h"
#include "resampler_kernels.h"

namespace resampler_avx2 {

namespace {

// Lanes 0..count-1 set (count 0..8), as a load mask.
TAMBRINO_AVX2 __m256i firstLanes(int count) {
  const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(count), index);
}

template <bool Masked>
TAMBRINO_AVX2 inline __m256 load(const float* p, __m256i mask) {
  return Masked ? _mm256_maskload_ps(p, mask) : _mm256_loadu_ps(p);
}

// Eight taps at j into the sums; under a mask, the lanes outside it read zero.
template <bool Masked>
TAMBRINO_AVX2 inline void eight(const float* w0, const float* d, __m256 va, const float* xl, const float* xr, int j,
                                __m256i mask, __m256& sl, __m256& sr) {
  const __m256 w = _mm256_add_ps(load<Masked>(w0 + j, mask), _mm256_mul_ps(va, load<Masked>(d + j, mask)));
  sl = _mm256_add_ps(sl, _mm256_mul_ps(load<Masked>(xl + j, mask), w));
  if (xr) sr = _mm256_add_ps(sr, _mm256_mul_ps(load<Masked>(xr + j, mask), w));
}

}  // namespace

// Two sums of eight lanes, alternating by eight taps, so that the additions
// of one sample overlap; the last, partial eight is read under a mask (the
// lanes beyond n add zero, as the portable loop does). The sums are reduced
// in the registers, pairwise as the portable code does.
TAMBRINO_AVX2 void steady_sample(const float* w0, const float* d, float a, const float* xl, const float* xr, int n,
                                 float& left, float& right) {
  const __m256 va = _mm256_set1_ps(a);
  const __m256i all = _mm256_set1_epi32(-1);
  __m256 sl0 = _mm256_setzero_ps(), sl1 = sl0, sr0 = sl0, sr1 = sl0;
  int j = 0;
  for (; j + 16 <= n; j += 16) {
    eight<false>(w0, d, va, xl, xr, j, all, sl0, sr0);
    eight<false>(w0, d, va, xl, xr, j + 8, all, sl1, sr1);
  }
  if (j + 8 <= n) {
    eight<false>(w0, d, va, xl, xr, j, all, sl0, sr0);
    j += 8;
    if (j < n) eight<true>(w0, d, va, xl, xr, j, firstLanes(n - j), sl1, sr1);
  } else if (j < n) {
    eight<true>(w0, d, va, xl, xr, j, firstLanes(n - j), sl0, sr0);
  }
  const __m256 l = _mm256_add_ps(sl0, sl1), r = _mm256_add_ps(sr0, sr1);
  // Both channels' pairs, then their pairs of pairs side by side:
  // ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7)) for each.
  const __m128 pairsL = _mm_hadd_ps(_mm256_castps256_ps128(l), _mm256_extractf128_ps(l, 1));
  const __m128 pairsR = _mm_hadd_ps(_mm256_castps256_ps128(r), _mm256_extractf128_ps(r, 1));
  const __m128 quads = _mm_hadd_ps(pairsL, pairsR);
  const __m128 sums = _mm_hadd_ps(quads, quads);
  left = _mm_cvtss_f32(sums);
  right = _mm_cvtss_f32(_mm_shuffle_ps(sums, sums, 1));
}

}  // namespace resampler_avx2
