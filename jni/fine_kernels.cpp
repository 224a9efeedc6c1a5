#include "fine_kernels.h"

#include <immintrin.h>

#include <climits>
#include <cmath>
#include <cstdint>

namespace {

void powerPlain(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n) {
  for (int k = 0; k < n; k++) {
    const float l = lr[k] * lr[k] + li[k] * li[k];
    p[k] = rr ? l + (rr[k] * rr[k] + ri[k] * ri[k]) : l;
  }
}

void rotatePlain(const float* xr, const float* xi, const float* cr, const float* ci, const float* g,
                 float* yr, float* yi, int n) {
  for (int k = 0; k < n; k++) {
    float r = xr[k] * cr[k] - xi[k] * ci[k];
    float i = xr[k] * ci[k] + xi[k] * cr[k];
    if (g) {
      r = r * g[k];
      i = i * g[k];
    }
    yr[k] = r;
    yi[k] = i;
  }
}

void addProductPlain(float* acc, const float* x, const float* w, int n) {
  for (int k = 0; k < n; k++) acc[k] = acc[k] + x[k] * w[k];
}

void addPlain(float* acc, const float* w, int n) {
  for (int k = 0; k < n; k++) acc[k] = acc[k] + w[k];
}

// Divides a and (unless null) b by sum where the sum is not negligible (a hop
// above half a frame can leave gaps that the windows hardly cover; they stay
// silent), and clears the sum.
void normalisePlain(float* a, float* b, float* sum, int n) {
  for (int k = 0; k < n; k++) {
    const float inv = sum[k] > 1e-3f ? 1.0f / sum[k] : 0.0f;
    a[k] = a[k] * inv;
    if (b) b[k] = b[k] * inv;
    sum[k] = 0.0f;
  }
}

// The Nyquist bin of the windowed frame: sum of (-1)^k x[k] w[k], in eight
// running sums (k mod 8) added at the end, on both paths. n is a multiple
// of 8.
float nyquistPlain(const float* x, const float* w, int n) {
  float lanes[8] = {};
  for (int k = 0; k < n; k += 8)
    for (int j = 0; j < 8; j++) {
      const float v = x[k + j] * w[k + j];
      lanes[j] = lanes[j] + ((j & 1) ? -v : v);
    }
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// x[k] += h for even k, -h for odd k.
void addAlternatingPlain(float* x, float h, int n) {
  for (int k = 0; k < n; k++) x[k] = x[k] + ((k & 1) ? -h : h);
}

// atan2 of single-precision pairs by range reduction and a polynomial
// (about 1e-7 radians), the same operations on both paths.
constexpr float kPiF = 3.14159265358979f;
constexpr float kHalfPiF = 1.57079632679490f;
constexpr float kQuarterPiF = 0.785398163397448f;

inline float atanReduced(float t, float& offset) {
  // t >= 0; returns the reduced argument, offset its angle.
  if (t > 2.414213562373095f) {
    offset = kHalfPiF;
    return -1.0f / t;
  }
  if (t > 0.4142135623730950f) {
    offset = kQuarterPiF;
    return (t - 1.0f) / (t + 1.0f);
  }
  offset = 0.0f;
  return t;
}

void atan2Plain(const float* y, const float* x, float* out, int n) {
  for (int k = 0; k < n; k++) {
    const float q = y[k] / x[k];
    float offset;
    const float t = atanReduced(std::fabs(q), offset);
    const float z = t * t;
    const float r =
        offset +
        ((((8.05374449538e-2f * z - 1.38776856032e-1f) * z + 1.99777106478e-1f) * z - 3.33329491539e-1f) * z *
             t +
         t);
    float a = q < 0.0f ? -r : r;
    if (x[k] < 0.0f) a = a + (y[k] < 0.0f ? -kPiF : kPiF);
    if (x[k] == 0.0f && y[k] == 0.0f) a = 0.0f;
    if (q != q && !(x[k] == 0.0f && y[k] == 0.0f)) a = q;  // NaN in, NaN out
    out[k] = a;
  }
}

// Sine and cosine of angles within a few turns, by reduction to an octant
// and polynomials (about 1e-7), the same operations on both paths.
constexpr float kFourOverPiF = 1.27323954473516f;
constexpr float kDp1 = 0.78515625f;
constexpr float kDp2 = 2.4187564849853515625e-4f;
constexpr float kDp3 = 3.77489497744594108e-8f;

void sincosPlain(const float* angle, float* sine, float* cosine, int n) {
  for (int k = 0; k < n; k++) {
    const float x = std::fabs(angle[k]);
    int j = static_cast<int>(x * kFourOverPiF);
    j = (j + 1) & ~1;
    const float y = static_cast<float>(j);
    const float r = ((x - y * kDp1) - y * kDp2) - y * kDp3;
    const float z = r * r;
    const float s = ((-1.9515295891e-4f * z + 8.3321608736e-3f) * z - 1.6666654611e-1f) * z * r + r;
    const float c =
        ((2.443315711809948e-5f * z - 1.388731625493765e-3f) * z + 4.166664568298827e-2f) * z * z - 0.5f * z +
        1.0f;
    const bool swap = (j & 2) != 0;
    float sv = swap ? c : s;
    float cv = swap ? s : c;
    if (((j & 4) != 0) != (angle[k] < 0.0f)) sv = -sv;
    if (((j + 2) & 4) != 0) cv = -cv;
    sine[k] = sv;
    cosine[k] = cv;
  }
}

__attribute__((target("avx2"))) float nyquistAvx2(const float* x, const float* w, int n) {
  const __m256 sign =
      _mm256_castsi256_ps(_mm256_setr_epi32(0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN));
  __m256 sum = _mm256_setzero_ps();
  for (int k = 0; k < n; k += 8)
    sum = _mm256_add_ps(sum,
                        _mm256_xor_ps(_mm256_mul_ps(_mm256_loadu_ps(x + k), _mm256_loadu_ps(w + k)), sign));
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, sum);
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

__attribute__((target("avx2"))) void addAlternatingAvx2(float* x, float h, int n) {
  const __m256 alt = _mm256_setr_ps(h, -h, h, -h, h, -h, h, -h);
  int k = 0;
  for (; k + 8 <= n; k += 8) _mm256_storeu_ps(x + k, _mm256_add_ps(_mm256_loadu_ps(x + k), alt));
  addAlternatingPlain(x + k, h, n - k);
}

__attribute__((target("avx2"))) void powerAvx2(const float* lr, const float* li, const float* rr,
                                               const float* ri, float* p, int n) {
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
  powerPlain(lr + k, li + k, rr ? rr + k : nullptr, ri ? ri + k : nullptr, p + k, n - k);
}

__attribute__((target("avx2"))) void rotateAvx2(const float* xr, const float* xi, const float* cr,
                                                const float* ci, const float* g, float* yr, float* yi,
                                                int n) {
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
  rotatePlain(xr + k, xi + k, cr + k, ci + k, g ? g + k : nullptr, yr + k, yi + k, n - k);
}

__attribute__((target("avx2"))) void addProductAvx2(float* acc, const float* x, const float* w, int n) {
  int k = 0;
  for (; k + 8 <= n; k += 8)
    _mm256_storeu_ps(acc + k, _mm256_add_ps(_mm256_loadu_ps(acc + k),
                                            _mm256_mul_ps(_mm256_loadu_ps(x + k), _mm256_loadu_ps(w + k))));
  addProductPlain(acc + k, x + k, w + k, n - k);
}

__attribute__((target("avx2"))) void addAvx2(float* acc, const float* w, int n) {
  int k = 0;
  for (; k + 8 <= n; k += 8)
    _mm256_storeu_ps(acc + k, _mm256_add_ps(_mm256_loadu_ps(acc + k), _mm256_loadu_ps(w + k)));
  addPlain(acc + k, w + k, n - k);
}

__attribute__((target("avx2"))) void normaliseAvx2(float* a, float* b, float* sum, int n) {
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
  normalisePlain(a + k, b ? b + k : nullptr, sum + k, n - k);
}

__attribute__((target("avx2"))) void atan2Avx2(const float* y, const float* x, float* out, int n) {
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
  atan2Plain(y + k, x + k, out + k, n - k);
}

__attribute__((target("avx2"))) void sincosAvx2(const float* angle, float* sine, float* cosine, int n) {
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
  sincosPlain(angle + k, sine + k, cosine + k, n - k);
}

}  // namespace

FineKernels fine_kernels_for(bool avx2) {
  if (avx2)
    return {powerAvx2,   rotateAvx2,         addProductAvx2, addAvx2,   normaliseAvx2,
            nyquistAvx2, addAlternatingAvx2, atan2Avx2,      sincosAvx2};
  return {powerPlain,   rotatePlain,         addProductPlain, addPlain,   normalisePlain,
          nyquistPlain, addAlternatingPlain, atan2Plain,      sincosPlain};
}

const FineKernels& fine_kernels() {
  static const FineKernels chosen = [] {
    __builtin_cpu_init();
    return fine_kernels_for(__builtin_cpu_supports("avx2") != 0);
  }();
  return chosen;
}
