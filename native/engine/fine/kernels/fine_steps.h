// The fine mode's vector steps, written once over a vector type V of W
// floats (GCC vector extensions) and compiled by each path for its width:
// the portable kernels with 128-bit vectors (SSE2 on x86-64, NEON on
// aarch64) in fine_kernels.cpp, the AVX2 and AVX-512 kernels with 256 and
// 512 bits in fine_avx2.cpp and fine_avx512.cpp. Each step makes, value by value, the operations of the
// scalar step in fine_kernels.cpp in the same order (no fused multiply-add),
// so every path gives the scalar step's bits; a step does whole vectors and
// returns how many values it did, and the scalar step finishes.
//
// Everything here has internal linkage and is inlined into its caller,
// whose target attribute decides the instructions.
#pragma once

#include <climits>

#include "cpu.h"
#include "vector_access.h"
#include "fine_kernels.h"

namespace {
namespace fine_steps {

template <typename V>
constexpr int kLanes = sizeof(V) / sizeof(float);

template <typename V>
struct Ints {
  typedef int type __attribute__((vector_size(sizeof(V))));
};

using vector_access::load;
using vector_access::store;

template <typename V>
TAMBRINO_INLINE V splat(float x) {
  return V{} + x;
}

// Lanes where the mask is set take a, the others b.
template <typename V, typename M>
TAMBRINO_INLINE V select(M mask, V a, V b) {
  using I = typename Ints<V>::type;
  return reinterpret_cast<V>((reinterpret_cast<I>(a) & mask) | (reinterpret_cast<I>(b) & ~mask));
}

// |v|, by clearing the sign bit as fabs does (NaN and -0 included).
template <typename V>
TAMBRINO_INLINE V absolute(V v) {
  using I = typename Ints<V>::type;
  return reinterpret_cast<V>(reinterpret_cast<I>(v) & INT_MAX);
}

template <typename V>
TAMBRINO_INLINE int power(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n) {
  constexpr int W = kLanes<V>;
  int k = 0;
  for (; k + W <= n; k += W) {
    const V a = load<V>(lr + k), b = load<V>(li + k);
    V v = a * a + b * b;
    if (rr) {
      const V c = load<V>(rr + k), d = load<V>(ri + k);
      v = v + (c * c + d * d);
    }
    store(p + k, v);
  }
  return k;
}

template <typename V>
TAMBRINO_INLINE int rotate(const float* xr, const float* xi, const float* cr, const float* ci, const float* g,
                           float* yr, float* yi, int n) {
  constexpr int W = kLanes<V>;
  int k = 0;
  for (; k + W <= n; k += W) {
    const V a = load<V>(xr + k), b = load<V>(xi + k), c = load<V>(cr + k), d = load<V>(ci + k);
    V r = a * c - b * d;
    V i = a * d + b * c;
    if (g) {
      const V gk = load<V>(g + k);
      r = r * gk;
      i = i * gk;
    }
    store(yr + k, r);
    store(yi + k, i);
  }
  return k;
}

template <typename V>
TAMBRINO_INLINE int addProduct(float* acc, const float* x, const float* w, int n) {
  constexpr int W = kLanes<V>;
  int k = 0;
  for (; k + W <= n; k += W) store(acc + k, load<V>(acc + k) + load<V>(x + k) * load<V>(w + k));
  return k;
}

template <typename V>
TAMBRINO_INLINE int add(float* acc, const float* w, int n) {
  constexpr int W = kLanes<V>;
  int k = 0;
  for (; k + W <= n; k += W) store(acc + k, load<V>(acc + k) + load<V>(w + k));
  return k;
}

template <typename V>
TAMBRINO_INLINE int normalise(float* a, float* b, float* sum, int n) {
  constexpr int W = kLanes<V>;
  int k = 0;
  for (; k + W <= n; k += W) {
    const V s = load<V>(sum + k);
    const V inv = select(s > 1e-3f, splat<V>(1.0f) / s, V{});
    store(a + k, load<V>(a + k) * inv);
    if (b) store(b + k, load<V>(b + k) * inv);
    store(sum + k, V{});
  }
  return k;
}

template <typename V>
TAMBRINO_INLINE int carried(float* p, const float* w, const float* s, int n) {
  constexpr int W = kLanes<V>;
  int k = 0;
  for (; k + W <= n; k += W) {
    const V sv = load<V>(s + k);
    store(p + k, select((load<V>(w + k) > 1e-3f) & (sv > 0.0f), load<V>(p + k) / sv, V{}));
  }
  return k;
}

// (-1)^k x[k] w[k] into lanes[k mod 8], in eight-value steps (W divides 8).
// The odd lanes are negated by their sign bit, as the scalar step's
// negation does (a product by -1 would keep a NaN's sign).
template <typename V>
TAMBRINO_INLINE int nyquist(const float* x, const float* w, int n, float* lanes) {
  using I = typename Ints<V>::type;
  constexpr int W = kLanes<V>;
  static_assert(8 % W == 0, "the sums keep eight lanes");
  V sum[8 / W];
  I sign;
  for (int j = 0; j < W; j++) sign[j] = (j & 1) ? INT_MIN : 0;
  for (int v = 0; v < 8 / W; v++) sum[v] = load<V>(lanes + v * W);
  int k = 0;
  for (; k + 8 <= n; k += 8)
    for (int v = 0; v < 8 / W; v++) {
      const V p = load<V>(x + k + v * W) * load<V>(w + k + v * W);
      sum[v] = sum[v] + reinterpret_cast<V>(reinterpret_cast<I>(p) ^ sign);
    }
  for (int v = 0; v < 8 / W; v++) store(lanes + v * W, sum[v]);
  return k;
}

// x[k] += h for even k, -h for odd k (W even, so each vector starts even).
template <typename V>
TAMBRINO_INLINE int addAlternating(float* x, float h, int n) {
  constexpr int W = kLanes<V>;
  V alt;
  for (int j = 0; j < W; j++) alt[j] = (j & 1) ? -h : h;
  int k = 0;
  for (; k + W <= n; k += W) store(x + k, load<V>(x + k) + alt);
  return k;
}

template <typename V>
TAMBRINO_INLINE int atan2(const float* y, const float* x, float* out, int n) {
  using namespace fine_internal;
  constexpr int W = kLanes<V>;
  const V zero{};
  const V one = splat<V>(1.0f);
  int k = 0;
  for (; k + W <= n; k += W) {
    const V yv = load<V>(y + k), xv = load<V>(x + k);
    const V q = yv / xv;
    const V t0 = absolute(q);
    const auto big = t0 > 2.414213562373095f;
    const auto mid = ~big & (t0 > 0.4142135623730950f);
    V t = select(mid, (t0 - one) / (t0 + one), t0);
    t = select(big, splat<V>(-1.0f) / t0, t);
    V offset = select(mid, splat<V>(kQuarterPiF), zero);
    offset = select(big, splat<V>(kHalfPiF), offset);
    const V z = t * t;
    V p = splat<V>(8.05374449538e-2f) * z - 1.38776856032e-1f;
    p = p * z + 1.99777106478e-1f;
    p = p * z - 3.33329491539e-1f;
    const V r = offset + (p * z * t + t);
    V a = select(q < 0.0f, -r, r);
    a = select(xv < 0.0f, a + select(yv < 0.0f, splat<V>(-kPiF), splat<V>(kPiF)), a);
    const auto origin = (xv == 0.0f) & (yv == 0.0f);
    a = select(~origin & (q != q), q, a);  // NaN in, NaN out
    a = select(origin, zero, a);
    store(out + k, a);
  }
  return k;
}

template <typename V>
TAMBRINO_INLINE int sincos(const float* angle, float* sine, float* cosine, int n) {
  using namespace fine_internal;
  using I = typename Ints<V>::type;
  constexpr int W = kLanes<V>;
  int k = 0;
  for (; k + W <= n; k += W) {
    const V a = load<V>(angle + k);
    const V x = absolute(a);
    // A NaN or a value beyond int's range gives INT_MIN, on every
    // processor (a plain conversion's result would depend on it).
    const V octants = x * kFourOverPiF;
    const auto inRange = octants < 2147483648.0f;
    I j = select(inRange, __builtin_convertvector(select(inRange, octants, V{}), I), I{} + INT_MIN);
    j = (j + 1) & ~1;
    const V yv = __builtin_convertvector(j, V);
    const V r = ((x - yv * kDp1) - yv * kDp2) - yv * kDp3;
    const V z = r * r;
    V s = splat<V>(-1.9515295891e-4f) * z + 8.3321608736e-3f;
    s = s * z - 1.6666654611e-1f;
    s = s * z * r + r;
    V c = splat<V>(2.443315711809948e-5f) * z - 1.388731625493765e-3f;
    c = c * z + 4.166664568298827e-2f;
    c = (c * z * z - 0.5f * z) + 1.0f;
    const I swap = (j & 2) != 0;
    V sv = select(swap, c, s);
    V cv = select(swap, s, c);
    sv = select(((j & 4) != 0) ^ (a < 0.0f), -sv, sv);
    cv = select(((j + 2) & 4) != 0, -cv, cv);
    store(sine + k, sv);
    store(cosine + k, cv);
  }
  return k;
}

}  // namespace fine_steps
}  // namespace
