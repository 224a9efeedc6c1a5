// The resampler's AVX2 kernels (see resampler_kernels.h).
#include <immintrin.h>

#include "cpu.h"
#include "resampler_kernels.h"

namespace resampler_avx2 {

TAMBRINO_AVX2 int steady_taps(const float* w0, const float* w1, float a, const float* xl, const float* xr, int n,
                              float* lanesL, float* lanesR) {
  const __m256 va = _mm256_set1_ps(a);
  __m256 sl = _mm256_loadu_ps(lanesL);
  __m256 sr = _mm256_loadu_ps(lanesR);
  int j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256 lo = _mm256_loadu_ps(w0 + j);
    const __m256 w = _mm256_add_ps(lo, _mm256_mul_ps(va, _mm256_sub_ps(_mm256_loadu_ps(w1 + j), lo)));
    sl = _mm256_add_ps(sl, _mm256_mul_ps(_mm256_loadu_ps(xl + j), w));
    if (xr) sr = _mm256_add_ps(sr, _mm256_mul_ps(_mm256_loadu_ps(xr + j), w));
  }
  _mm256_storeu_ps(lanesL, sl);
  _mm256_storeu_ps(lanesR, sr);
  return j;
}

}  // namespace resampler_avx2
