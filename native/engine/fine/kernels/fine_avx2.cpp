// The fine mode's AVX2 kernels (see fine_kernels.h).
#include <immintrin.h>

#include <climits>
#include <cstdint>

#include "cpu.h"
#include "fine_kernels.h"

namespace fine_avx2 {

using namespace fine_internal;

TAMBRINO_AVX2 int nyquist(const float* x, const float* w, int n, float* lanes) {
  const __m256 sign =
      _mm256_castsi256_ps(_mm256_setr_epi32(0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN));
  __m256 sum = _mm256_loadu_ps(lanes);
  int k = 0;
  for (; k + 8 <= n; k += 8)
    sum = _mm256_add_ps(sum,
                        _mm256_xor_ps(_mm256_mul_ps(_mm256_loadu_ps(x + k), _mm256_loadu_ps(w + k)), sign));
  _mm256_storeu_ps(lanes, sum);
  return k;
}

TAMBRINO_AVX2 int addAlternating(float* x, float h, int n) {
  const __m256 alt = _mm256_setr_ps(h, -h, h, -h, h, -h, h, -h);
  int k = 0;
  for (; k + 8 <= n; k += 8) _mm256_storeu_ps(x + k, _mm256_add_ps(_mm256_loadu_ps(x + k), alt));
  return k;
}

TAMBRINO_AVX2 int power(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n) {
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    const __m256 a = _mm256_loadu_ps(lr + k);
    const __m256 b = _mm256_loadu_ps(li + k);
    __m256 v = _mm256_add_ps(_mm256_mul_ps(a, a), _mm256_mul_ps(b, b));
    if (rr) {
      const __m256 c = _mm256_loadu_ps(rr + k);
      const __m256 d = _mm256_loadu_ps(ri + k);
      v = _mm256_add_ps(v, _mm256_add_ps(_mm256_mul_ps(c, c), _mm256_mul_ps(d, d)));
    }
    _mm256_storeu_ps(p + k, v);
  }
  return k;
}

TAMBRINO_AVX2 int rotate(const float* xr, const float* xi, const float* cr, const float* ci, const float* g,
                         float* yr, float* yi, int n) {
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    const __m256 a = _mm256_loadu_ps(xr + k);
    const __m256 b = _mm256_loadu_ps(xi + k);
    const __m256 c = _mm256_loadu_ps(cr + k);
    const __m256 d = _mm256_loadu_ps(ci + k);
    __m256 r = _mm256_sub_ps(_mm256_mul_ps(a, c), _mm256_mul_ps(b, d));
    __m256 i = _mm256_add_ps(_mm256_mul_ps(a, d), _mm256_mul_ps(b, c));
    if (g) {
      const __m256 gk = _mm256_loadu_ps(g + k);
      r = _mm256_mul_ps(r, gk);
      i = _mm256_mul_ps(i, gk);
    }
    _mm256_storeu_ps(yr + k, r);
    _mm256_storeu_ps(yi + k, i);
  }
  return k;
}

TAMBRINO_AVX2 int addProduct(float* acc, const float* x, const float* w, int n) {
  int k = 0;
  for (; k + 8 <= n; k += 8)
    _mm256_storeu_ps(acc + k, _mm256_add_ps(_mm256_loadu_ps(acc + k),
                                            _mm256_mul_ps(_mm256_loadu_ps(x + k), _mm256_loadu_ps(w + k))));
  return k;
}

TAMBRINO_AVX2 int add(float* acc, const float* w, int n) {
  int k = 0;
  for (; k + 8 <= n; k += 8)
    _mm256_storeu_ps(acc + k, _mm256_add_ps(_mm256_loadu_ps(acc + k), _mm256_loadu_ps(w + k)));
  return k;
}

TAMBRINO_AVX2 int normalise(float* a, float* b, float* sum, int n) {
  const __m256 floor = _mm256_set1_ps(1e-3f);
  const __m256 one = _mm256_set1_ps(1.0f);
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    const __m256 s = _mm256_loadu_ps(sum + k);
    const __m256 inv = _mm256_and_ps(_mm256_div_ps(one, s), _mm256_cmp_ps(s, floor, _CMP_GT_OQ));
    _mm256_storeu_ps(a + k, _mm256_mul_ps(_mm256_loadu_ps(a + k), inv));
    if (b) _mm256_storeu_ps(b + k, _mm256_mul_ps(_mm256_loadu_ps(b + k), inv));
    _mm256_storeu_ps(sum + k, _mm256_setzero_ps());
  }
  return k;
}

TAMBRINO_AVX2 int atan2(const float* y, const float* x, float* out, int n) {
  const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 signMask = _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MIN));
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    const __m256 yv = _mm256_loadu_ps(y + k);
    const __m256 xv = _mm256_loadu_ps(x + k);
    const __m256 q = _mm256_div_ps(yv, xv);
    const __m256 t0 = _mm256_and_ps(q, absMask);
    const __m256 big = _mm256_cmp_ps(t0, _mm256_set1_ps(2.414213562373095f), _CMP_GT_OQ);
    const __m256 mid =
        _mm256_andnot_ps(big, _mm256_cmp_ps(t0, _mm256_set1_ps(0.4142135623730950f), _CMP_GT_OQ));
    __m256 t = _mm256_blendv_ps(t0, _mm256_div_ps(_mm256_sub_ps(t0, one), _mm256_add_ps(t0, one)), mid);
    t = _mm256_blendv_ps(t, _mm256_div_ps(_mm256_set1_ps(-1.0f), t0), big);
    __m256 offset = _mm256_and_ps(mid, _mm256_set1_ps(kQuarterPiF));
    offset = _mm256_blendv_ps(offset, _mm256_set1_ps(kHalfPiF), big);
    const __m256 z = _mm256_mul_ps(t, t);
    __m256 p =
        _mm256_sub_ps(_mm256_mul_ps(_mm256_set1_ps(8.05374449538e-2f), z), _mm256_set1_ps(1.38776856032e-1f));
    p = _mm256_add_ps(_mm256_mul_ps(p, z), _mm256_set1_ps(1.99777106478e-1f));
    p = _mm256_sub_ps(_mm256_mul_ps(p, z), _mm256_set1_ps(3.33329491539e-1f));
    const __m256 r = _mm256_add_ps(offset, _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(p, z), t), t));
    __m256 a = _mm256_blendv_ps(r, _mm256_xor_ps(r, signMask), _mm256_cmp_ps(q, zero, _CMP_LT_OQ));
    const __m256 half =
        _mm256_blendv_ps(_mm256_set1_ps(kPiF), _mm256_set1_ps(-kPiF), _mm256_cmp_ps(yv, zero, _CMP_LT_OQ));
    a = _mm256_blendv_ps(a, _mm256_add_ps(a, half), _mm256_cmp_ps(xv, zero, _CMP_LT_OQ));
    const __m256 origin =
        _mm256_and_ps(_mm256_cmp_ps(xv, zero, _CMP_EQ_OQ), _mm256_cmp_ps(yv, zero, _CMP_EQ_OQ));
    a = _mm256_blendv_ps(a, q, _mm256_andnot_ps(origin, _mm256_cmp_ps(q, q, _CMP_UNORD_Q)));
    a = _mm256_andnot_ps(origin, a);
    _mm256_storeu_ps(out + k, a);
  }
  return k;
}

TAMBRINO_AVX2 int sincos(const float* angle, float* sine, float* cosine, int n) {
  const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256i signBit = _mm256_set1_epi32(INT32_MIN);
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    const __m256 a = _mm256_loadu_ps(angle + k);
    const __m256 x = _mm256_and_ps(a, absMask);
    __m256i j = _mm256_cvttps_epi32(_mm256_mul_ps(x, _mm256_set1_ps(kFourOverPiF)));
    j = _mm256_and_si256(_mm256_add_epi32(j, _mm256_set1_epi32(1)), _mm256_set1_epi32(~1));
    const __m256 y = _mm256_cvtepi32_ps(j);
    __m256 r = _mm256_sub_ps(x, _mm256_mul_ps(y, _mm256_set1_ps(kDp1)));
    r = _mm256_sub_ps(r, _mm256_mul_ps(y, _mm256_set1_ps(kDp2)));
    r = _mm256_sub_ps(r, _mm256_mul_ps(y, _mm256_set1_ps(kDp3)));
    const __m256 z = _mm256_mul_ps(r, r);
    __m256 s =
        _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(-1.9515295891e-4f), z), _mm256_set1_ps(8.3321608736e-3f));
    s = _mm256_sub_ps(_mm256_mul_ps(s, z), _mm256_set1_ps(1.6666654611e-1f));
    s = _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(s, z), r), r);
    __m256 c = _mm256_sub_ps(_mm256_mul_ps(_mm256_set1_ps(2.443315711809948e-5f), z),
                             _mm256_set1_ps(1.388731625493765e-3f));
    c = _mm256_add_ps(_mm256_mul_ps(c, z), _mm256_set1_ps(4.166664568298827e-2f));
    c = _mm256_add_ps(
        _mm256_sub_ps(_mm256_mul_ps(_mm256_mul_ps(c, z), z), _mm256_mul_ps(_mm256_set1_ps(0.5f), z)),
        _mm256_set1_ps(1.0f));
    const __m256 swap = _mm256_castsi256_ps(
        _mm256_cmpeq_epi32(_mm256_and_si256(j, _mm256_set1_epi32(2)), _mm256_set1_epi32(2)));
    __m256 sv = _mm256_blendv_ps(s, c, swap);
    __m256 cv = _mm256_blendv_ps(c, s, swap);
    // Sine: negative for octants 4 and 6, flipped again for a negative angle.
    const __m256i sinFlip = _mm256_xor_si256(_mm256_slli_epi32(_mm256_and_si256(j, _mm256_set1_epi32(4)), 29),
                                             _mm256_and_si256(_mm256_castps_si256(a), signBit));
    sv = _mm256_xor_ps(sv, _mm256_castsi256_ps(sinFlip));
    const __m256i cosFlip = _mm256_slli_epi32(
        _mm256_and_si256(_mm256_add_epi32(j, _mm256_set1_epi32(2)), _mm256_set1_epi32(4)), 29);
    cv = _mm256_xor_ps(cv, _mm256_castsi256_ps(cosFlip));
    _mm256_storeu_ps(sine + k, sv);
    _mm256_storeu_ps(cosine + k, cv);
  }
  return k;
}

}  // namespace fine_avx2
