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
#include <cstdint>
#include <cstring>

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

template <typename V>
struct Unsigned {
  typedef unsigned type __attribute__((vector_size(sizeof(V))));
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

// acc += v w and pacc += v^2 wq with v = x[k] +- h (W even, so each vector
// starts at an even k).
template <typename V>
TAMBRINO_INLINE int overlapAdd(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq,
                               int n) {
  constexpr int W = kLanes<V>;
  V alt;
  for (int j = 0; j < W; j++) alt[j] = (j & 1) ? -h : h;
  int k = 0;
  for (; k + W <= n; k += W) {
    const V v = load<V>(x + k) + alt;
    store(acc + k, load<V>(acc + k) + v * load<V>(w + k));
    store(pacc + k, load<V>(pacc + k) + (v * v) * load<V>(wq + k));
  }
  return k;
}

template <typename V>
TAMBRINO_INLINE int add(float* acc, const float* w, int n) {
  constexpr int W = kLanes<V>;
  int k = 0;
  for (; k + W <= n; k += W) store(acc + k, load<V>(acc + k) + load<V>(w + k));
  return k;
}

// Whole chunks of 16 samples (kFineLanes): each chunk's values go to the
// shared sum by halves as the scalar step's do.
template <typename V>
TAMBRINO_INLINE int finish(float* a, float* b, float* pa, float* pb, float* w, float* s, int n, int chunk,
                           float* outSums, float* carriedSums) {
  constexpr int W = kLanes<V>;
  static_assert(kFineLanes % W == 0, "a chunk holds whole vectors");
  if (chunk != kFineLanes) return 0;
  int k = 0;
  for (; k + kFineLanes <= n; k += kFineLanes) {
    float o[kFineLanes], q[kFineLanes];
    for (int j = 0; j < kFineLanes; j += W) {
      const V wv = load<V>(w + k + j), sv = load<V>(s + k + j);
      const auto covered = wv > 1e-3f;
      const auto carries = covered & (sv > 0.0f);
      const V inv = select(covered, splat<V>(1.0f) / wv, V{});
      const V l = load<V>(a + k + j) * inv;
      store(a + k + j, l);
      V sq = l * l;
      V pw = select(carries, load<V>(pa + k + j) / sv, V{});
      if (b) {
        const V r = load<V>(b + k + j) * inv;
        store(b + k + j, r);
        sq = sq + r * r;
        pw = pw + select(carries, load<V>(pb + k + j) / sv, V{});
        store(pb + k + j, V{});
      }
      store(pa + k + j, V{});
      store(w + k + j, V{});
      store(s + k + j, V{});
      store(o + j, sq);
      store(q + j, pw);
    }
    outSums[k / kFineLanes] = fine_sum16(o);
    carriedSums[k / kFineLanes] = fine_sum16(q);
  }
  return k;
}

template <typename V>
TAMBRINO_INLINE int ramp(float* a, float* b, const float* from, const float* step, int n, int chunk) {
  constexpr int W = kLanes<V>;
  if (chunk % W != 0) return 0;
  V count;  // j + 1 for the vector's first sample j = 0
  for (int j = 0; j < W; j++) count[j] = static_cast<float>(j + 1);
  int k = 0;
  for (; k + chunk <= n; k += chunk) {
    const int c = k / chunk;
    for (int j = 0; j < chunk; j += W) {
      const V g = splat<V>(from[c]) + splat<V>(step[c]) * (count + static_cast<float>(j));
      store(a + k + j, load<V>(a + k + j) * g);
      if (b) store(b + k + j, load<V>(b + k + j) * g);
    }
  }
  return k;
}

// From a position that is a multiple of 16, in whole groups of 16: lane j of
// the sums is vector j / W's element j mod W. last is the mean before
// sample 0; the means before the others are made again as the scalar step
// made them.
template <typename V>
TAMBRINO_INLINE V meanOf(const float* left, const float* right) {
  return right ? (load<V>(left) + load<V>(right)) * 0.5f : load<V>(left);
}

template <typename V>
TAMBRINO_INLINE int onsets(const float* left, const float* right, int n, float last, float* energy, float* level) {
  constexpr int W = kLanes<V>;
  constexpr int kVectors = kFineLanes / W;
  V e[kVectors], l[kVectors];
  for (int v = 0; v < kVectors; v++) {
    e[v] = load<V>(energy + v * W);
    l[v] = load<V>(level + v * W);
  }
  int k = 0;
  for (; k + kFineLanes <= n; k += kFineLanes)
    for (int v = 0; v < kVectors; v++) {
      const int at = k + v * W;
      const V m = meanOf<V>(left + at, right ? right + at : nullptr);
      V before;
      if (at == 0) {
        float shifted[W + 1];
        shifted[0] = last;
        store(shifted + 1, m);
        before = load<V>(shifted);
      } else {
        before = meanOf<V>(left + at - 1, right ? right + at - 1 : nullptr);
      }
      const V d = m - before;
      e[v] = e[v] + d * d;
      l[v] = l[v] + m * m;
    }
  for (int v = 0; v < kVectors; v++) {
    store(energy + v * W, e[v]);
    store(level + v * W, l[v]);
  }
  return k;
}

// The soft limiter and the conversion to 16 bits, interleaved when right is
// not null: each frame's two samples go as one 32-bit word, left in the low
// half (a little-endian processor's order of dest[2k], dest[2k + 1]).
template <typename V>
TAMBRINO_INLINE typename Ints<V>::type pcmOf(V x, float gain, V& peak) {
  using I = typename Ints<V>::type;
  constexpr float kThreshold = 0.95f, kRoom = 1.0f - kThreshold;
  const V output = x * gain;
  const V level = absolute(output);
  peak = select(level > peak, level, peak);  // a NaN level never wins, as with fmax
  const V bent = splat<V>(1.0f) - splat<V>(kRoom) / (splat<V>(1.0f) + (level - kThreshold) / kRoom);
  const I sign = reinterpret_cast<I>(output) & INT_MIN;
  const V limited = select(level > kThreshold, reinterpret_cast<V>(reinterpret_cast<I>(bent) | sign), output);
  const auto inside = (limited >= -1.0f) & (limited <= 1.0f);  // false for a NaN
  I pcm = __builtin_convertvector(select(inside, limited, V{}) * 32767.0f, I);
  pcm = select(limited < -1.0f, I{} - 32767, pcm);
  pcm = select(limited > 1.0f, I{} + 32767, pcm);
  return pcm;
}

template <typename V>
TAMBRINO_INLINE int softPcm(const float* left, const float* right, int n, float gain, int16_t* dest,
                            float& maxLevel) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "frames are stored as little-endian words");
  using I = typename Ints<V>::type;
  constexpr int W = kLanes<V>;
  V peak = splat<V>(maxLevel);
  int k = 0;
  for (; k + W <= n; k += W) {
    const I l = pcmOf(load<V>(left + k), gain, peak);
    if (right) {
      const I r = pcmOf(load<V>(right + k), gain, peak);
      using U = typename Unsigned<V>::type;
      const U frames = (reinterpret_cast<U>(l) & 0xffffu) | (reinterpret_cast<U>(r) << 16);
      std::memcpy(dest + 2 * k, &frames, sizeof frames);
    } else {
      typedef int16_t S __attribute__((vector_size(sizeof(V) / 2)));
      const S samples = __builtin_convertvector(l, S);  // within 16 bits: exact
      std::memcpy(dest + k, &samples, sizeof samples);
    }
  }
  for (int j = 0; j < W; j++) maxLevel = peak[j] > maxLevel ? peak[j] : maxLevel;
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
