// The fine mode's portable kernels and the dispatch to the vector ones.
#include "fine_kernels.h"

#include <cmath>
#include <cstdint>

#include "cpu.h"
#include "kernels/fine_steps.h"

namespace {

using namespace fine_internal;

// 128-bit vectors: SSE2 on x86-64, NEON on aarch64, from the same source.
typedef float V4 __attribute__((vector_size(16)));

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

void carriedPlain(float* p, const float* w, const float* s, int n) {
  for (int k = 0; k < n; k++) p[k] = w[k] > 1e-3f && s[k] > 0.0f ? p[k] / s[k] : 0.0f;
}

// The Nyquist bin of the windowed frame: sum of (-1)^k x[k] w[k], in eight
// running sums (k mod 8) added at the end, on both paths. n is a multiple
// of 8.
// Adds (-1)^k x[k] w[k] into lanes[k mod 8] (n a multiple of 8).
void nyquistPlain(const float* x, const float* w, int n, float* lanes) {
  for (int k = 0; k < n; k += 8)
    for (int j = 0; j < 8; j++) {
      const float v = x[k + j] * w[k + j];
      lanes[j] = lanes[j] + ((j & 1) ? -v : v);
    }
}

// x[k] += h for even k, -h for odd k.
void addAlternatingPlain(float* x, float h, int n) {
  for (int k = 0; k < n; k++) x[k] = x[k] + ((k & 1) ? -h : h);
}

// atan2 of single-precision pairs by range reduction and a polynomial
// (about 1e-7 radians), the same operations on both paths.

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

void sincosPlain(const float* angle, float* sine, float* cosine, int n) {
  for (int k = 0; k < n; k++) {
    const float x = std::fabs(angle[k]);
    // As the vector conversion does: a NaN or a value beyond int's range
    // (where a plain conversion would be undefined) gives INT_MIN.
    const float octants = x * kFourOverPiF;
    int j = octants < 2147483648.0f ? static_cast<int>(octants) : INT32_MIN;
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

// The path's vector kernels, widest first, each going on where the last
// stopped (AVX-512, then AVX2 for what its 16 lanes leave; or the portable
// vectors; none on the scalar path): returns where the scalar step goes on.
// call(kernel, at) runs a kernel on the values from at on.
template <FinePath P, typename Call, typename K16, typename K8, typename K4>
int vectors(Call call, K16 k16, K8 k8, K4 k4) {
  int k = 0;
  if constexpr (P == FinePath::Avx512) k = call(k16, 0);
  if constexpr (P == FinePath::Avx512 || P == FinePath::Avx2) k += call(k8, k);
  if constexpr (P == FinePath::Portable) k = call(k4, 0);
  return k;
}

template <FinePath P>
void power(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n) {
  auto call = [&](auto kernel, int at) {
    return kernel(lr + at, li + at, rr ? rr + at : nullptr, ri ? ri + at : nullptr, p + at, n - at);
  };
  const int k = vectors<P>(call, fine_avx512::power, fine_avx2::power, fine_steps::power<V4>);
  powerPlain(lr + k, li + k, rr ? rr + k : nullptr, ri ? ri + k : nullptr, p + k, n - k);
}
template <FinePath P>
void rotate(const float* xr, const float* xi, const float* cr, const float* ci, const float* g, float* yr,
            float* yi, int n) {
  auto call = [&](auto kernel, int at) {
    return kernel(xr + at, xi + at, cr + at, ci + at, g ? g + at : nullptr, yr + at, yi + at, n - at);
  };
  const int k = vectors<P>(call, fine_avx512::rotate, fine_avx2::rotate, fine_steps::rotate<V4>);
  rotatePlain(xr + k, xi + k, cr + k, ci + k, g ? g + k : nullptr, yr + k, yi + k, n - k);
}
template <FinePath P>
void addProduct(float* acc, const float* x, const float* w, int n) {
  auto call = [&](auto kernel, int at) { return kernel(acc + at, x + at, w + at, n - at); };
  const int k = vectors<P>(call, fine_avx512::addProduct, fine_avx2::addProduct, fine_steps::addProduct<V4>);
  addProductPlain(acc + k, x + k, w + k, n - k);
}
template <FinePath P>
void add(float* acc, const float* w, int n) {
  auto call = [&](auto kernel, int at) { return kernel(acc + at, w + at, n - at); };
  const int k = vectors<P>(call, fine_avx512::add, fine_avx2::add, fine_steps::add<V4>);
  addPlain(acc + k, w + k, n - k);
}
template <FinePath P>
void normalise(float* a, float* b, float* sum, int n) {
  auto call = [&](auto kernel, int at) { return kernel(a + at, b ? b + at : nullptr, sum + at, n - at); };
  const int k = vectors<P>(call, fine_avx512::normalise, fine_avx2::normalise, fine_steps::normalise<V4>);
  normalisePlain(a + k, b ? b + k : nullptr, sum + k, n - k);
}
template <FinePath P>
void carried(float* p, const float* w, const float* s, int n) {
  auto call = [&](auto kernel, int at) { return kernel(p + at, w + at, s + at, n - at); };
  const int k = vectors<P>(call, fine_avx2::carried, fine_avx2::carried, fine_steps::carried<V4>);
  carriedPlain(p + k, w + k, s + k, n - k);
}
// Its sums keep eight lanes: the AVX-512 path takes the AVX2 kernel (and for
// the carried power and atan2, see fine_avx512.cpp).
template <FinePath P>
float nyquist(const float* x, const float* w, int n) {
  float lanes[8] = {};
  auto call = [&](auto kernel, int at) { return kernel(x + at, w + at, n - at, lanes); };
  const int k = vectors<P>(call, fine_avx2::nyquist, fine_avx2::nyquist, fine_steps::nyquist<V4>);
  nyquistPlain(x + k, w + k, n - k, lanes);
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}
template <FinePath P>
void addAlternating(float* x, float h, int n) {
  // Every kernel stops at a multiple of 8, so the alternation goes on where
  // it left off.
  auto call = [&](auto kernel, int at) { return kernel(x + at, h, n - at); };
  const int k =
      vectors<P>(call, fine_avx512::addAlternating, fine_avx2::addAlternating, fine_steps::addAlternating<V4>);
  addAlternatingPlain(x + k, h, n - k);
}
template <FinePath P>
void atan2(const float* y, const float* x, float* out, int n) {
  auto call = [&](auto kernel, int at) { return kernel(y + at, x + at, out + at, n - at); };
  const int k = vectors<P>(call, fine_avx2::atan2, fine_avx2::atan2, fine_steps::atan2<V4>);
  atan2Plain(y + k, x + k, out + k, n - k);
}
template <FinePath P>
void sincos(const float* angle, float* sine, float* cosine, int n) {
  auto call = [&](auto kernel, int at) { return kernel(angle + at, sine + at, cosine + at, n - at); };
  const int k = vectors<P>(call, fine_avx512::sincos, fine_avx2::sincos, fine_steps::sincos<V4>);
  sincosPlain(angle + k, sine + k, cosine + k, n - k);
}

template <FinePath P>
FineKernels kernelsOf() {
  return {power<P>,   rotate<P>,         addProduct<P>, add<P>,   normalise<P>, carried<P>,
          nyquist<P>, addAlternating<P>, atan2<P>,      sincos<P>};
}

// The path that cpu_level allows at the time of the call (tests may lower it).
template <typename F>
F now(F avx512, F avx2, F portable) {
  const CpuLevel level = cpu_level();
  return level >= CpuLevel::Avx512 ? avx512 : level >= CpuLevel::Avx2 ? avx2 : portable;
}
#define TAMBRINO_FINE_NOW(step) now(step<FinePath::Avx512>, step<FinePath::Avx2>, step<FinePath::Portable>)

void powerNow(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n) {
  TAMBRINO_FINE_NOW(power)(lr, li, rr, ri, p, n);
}
void rotateNow(const float* xr, const float* xi, const float* cr, const float* ci, const float* g, float* yr,
               float* yi, int n) {
  TAMBRINO_FINE_NOW(rotate)(xr, xi, cr, ci, g, yr, yi, n);
}
void addProductNow(float* acc, const float* x, const float* w, int n) {
  TAMBRINO_FINE_NOW(addProduct)(acc, x, w, n);
}
void addNow(float* acc, const float* w, int n) {
  TAMBRINO_FINE_NOW(add)(acc, w, n);
}
void normaliseNow(float* a, float* b, float* sum, int n) {
  TAMBRINO_FINE_NOW(normalise)(a, b, sum, n);
}
void carriedNow(float* p, const float* w, const float* s, int n) {
  TAMBRINO_FINE_NOW(carried)(p, w, s, n);
}
float nyquistNow(const float* x, const float* w, int n) {
  return TAMBRINO_FINE_NOW(nyquist)(x, w, n);
}
void addAlternatingNow(float* x, float h, int n) {
  TAMBRINO_FINE_NOW(addAlternating)(x, h, n);
}
void atan2Now(const float* y, const float* x, float* out, int n) {
  TAMBRINO_FINE_NOW(atan2)(y, x, out, n);
}
void sincosNow(float const* angle, float* sine, float* cosine, int n) {
  TAMBRINO_FINE_NOW(sincos)(angle, sine, cosine, n);
}
#undef TAMBRINO_FINE_NOW

}  // namespace

const FineKernels& fine_kernels() {
  static const FineKernels now = {powerNow,   rotateNow,         addProductNow, addNow,   normaliseNow, carriedNow,
                                  nyquistNow, addAlternatingNow, atan2Now,      sincosNow};
  return now;
}

FineKernels fine_kernels_for(FinePath path) {
  switch (path) {
    case FinePath::Scalar:
      return kernelsOf<FinePath::Scalar>();
    case FinePath::Portable:
      return kernelsOf<FinePath::Portable>();
    case FinePath::Avx2:
      return kernelsOf<FinePath::Avx2>();
    case FinePath::Avx512:
      break;
  }
  return kernelsOf<FinePath::Avx512>();
}
