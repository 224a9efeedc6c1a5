// The real transform's steps, written once over a vector type V of W floats
// (GCC vector extensions; float itself for the scalar steps) and compiled by
// each path for its own width: the portable code with 128-bit vectors, the
// AVX2 and AVX-512 kernels with 256 and 512 bits. Every step is inlined into
// its caller, whose target attribute decides the instructions; everything
// here has internal linkage, so no copy built for one instruction set can
// stand in for another's.
//
// Values are never combined across lanes: each output value comes from the
// same operations in the same order whatever W is.
#pragma once

#include <utility>

#include "cpu.h"
#include "vector_access.h"
#include "realfft_kernels.h"

namespace {
namespace realfft_steps {

template <typename V>
constexpr int kLanes = sizeof(V) / sizeof(float);

template <int W>
struct IndexVector {
  typedef int type __attribute__((vector_size(W * sizeof(int))));
};

using vector_access::load;
using vector_access::store;

// Lane e of the first (hi false) or second half of the interleave of a and
// b in blocks of g lanes: a's block, b's block, a's next block, ...
template <int W, int G>
constexpr int zipIndex(int e, bool hi) {
  const int block = e / G;
  const int pair = block / 2 + (hi ? W / G / 2 : 0);
  return ((block & 1) ? W : 0) + pair * G + e % G;
}

template <typename V, int G, bool Hi, int... E>
TAMBRINO_INLINE V zipWith(V a, V b, std::integer_sequence<int, E...>) {
  using I = typename IndexVector<kLanes<V>>::type;
  return __builtin_shuffle(a, b, I{zipIndex<kLanes<V>, G>(E, Hi)...});
}

template <typename V, int G, bool Hi>
TAMBRINO_INLINE V zip(V a, V b) {
  return zipWith<V, G, Hi>(a, b, std::make_integer_sequence<int, kLanes<V>>());
}

template <typename V, int... E>
TAMBRINO_INLINE V reverseWith(V a, std::integer_sequence<int, E...>) {
  using I = typename IndexVector<kLanes<V>>::type;
  return __builtin_shuffle(a, I{(kLanes<V> - 1 - E)...});
}

template <typename V>
TAMBRINO_INLINE V reverse(V a) {
  if constexpr (kLanes<V> == 1) {
    return a;
  } else {
    return reverseWith(a, std::make_integer_sequence<int, kLanes<V>>());
  }
}

// The even (Odd false) or odd lanes of the 2W values a, b.
template <typename V, bool Odd, int... E>
TAMBRINO_INLINE V pickWith(V a, V b, std::integer_sequence<int, E...>) {
  using I = typename IndexVector<kLanes<V>>::type;
  return __builtin_shuffle(a, b, I{(2 * E + (Odd ? 1 : 0))...});
}

template <typename V, bool Odd>
TAMBRINO_INLINE V pick(V a, V b) {
  if constexpr (kLanes<V> == 1) {
    return Odd ? b : a;
  } else {
    return pickWith<V, Odd>(a, b, std::make_integer_sequence<int, kLanes<V>>());
  }
}

// y0..y3 become the memory order of blocks of G lanes taken in turn from
// y0, y1, y2, y3 (a transposition of 4 x W/G blocks).
template <typename V, int G>
TAMBRINO_INLINE void interleave4(V& y0, V& y1, V& y2, V& y3) {
  const V t0 = zip<V, G, false>(y0, y2), t1 = zip<V, G, true>(y0, y2);
  const V t2 = zip<V, G, false>(y1, y3), t3 = zip<V, G, true>(y1, y3);
  y0 = zip<V, G, false>(t0, t2);
  y1 = zip<V, G, true>(t0, t2);
  y2 = zip<V, G, false>(t1, t3);
  y3 = zip<V, G, true>(t1, t3);
}

// u times the twiddle w, or times its conjugate for the inverse.
template <typename V, typename T, bool Inverse>
TAMBRINO_INLINE void turn(V ur, V ui, T wr, T wi, V& yr, V& yi) {
  if constexpr (Inverse) {
    yr = ur * wr + ui * wi;
    yi = ui * wr - ur * wi;
  } else {
    yr = ur * wr - ui * wi;
    yi = ur * wi + ui * wr;
  }
}

// The four-point transform of split values a, b, c, d (forward: negative
// exponent) into u[0..3], untwiddled.
template <typename V, bool Inverse>
TAMBRINO_INLINE void dft4(V ar, V ai, V br, V bi, V cr, V ci, V dr, V di, V* ur, V* ui) {
  const V apcR = ar + cr, apcI = ai + ci;
  const V amcR = ar - cr, amcI = ai - ci;
  const V bpdR = br + dr, bpdI = bi + di;
  const V bmdR = br - dr, bmdI = bi - di;
  ur[0] = apcR + bpdR;
  ui[0] = apcI + bpdI;
  ur[2] = apcR - bpdR;
  ui[2] = apcI - bpdI;
  // u1 = (a - c) -+ i (b - d), u3 = (a - c) +- i (b - d).
  ur[1] = Inverse ? amcR - bmdI : amcR + bmdI;
  ui[1] = Inverse ? amcI + bmdR : amcI - bmdR;
  ur[3] = Inverse ? amcR + bmdI : amcR - bmdI;
  ui[3] = Inverse ? amcI - bmdR : amcI + bmdR;
}

// One radix-4 butterfly on split values a, b, c, d, its outputs 1..3 turned
// by the twiddles (T: V or float, broadcast), in the direction the
// transform runs.
template <typename V, typename T, bool Inverse>
TAMBRINO_INLINE void butterfly(V ar, V ai, V br, V bi, V cr, V ci, V dr, V di, T w1r, T w1i, T w2r, T w2i,
                               T w3r, T w3i, V* yr, V* yi) {
  V ur[4], ui[4];
  dft4<V, Inverse>(ar, ai, br, bi, cr, ci, dr, di, ur, ui);
  yr[0] = ur[0];
  yi[0] = ui[0];
  turn<V, T, Inverse>(ur[1], ui[1], w1r, w1i, yr[1], yi[1]);
  turn<V, T, Inverse>(ur[2], ui[2], w2r, w2i, yr[2], yi[2]);
  turn<V, T, Inverse>(ur[3], ui[3], w3r, w3i, yr[3], yi[3]);
}

// Where a pass takes its complex values: split arrays, or the frame itself,
// windowed, whose value i is (x[2i] w[2i], x[2i+1] w[2i+1]) (the first pass
// of the forward transform reads it so, and nothing stores it).
template <typename V>
struct SplitIn {
  const float* re;
  const float* im;
  TAMBRINO_INLINE void get(int i, V& r, V& m) const {
    r = load<V>(re + i);
    m = load<V>(im + i);
  }
};

template <typename V>
struct FrameIn {
  const float* x;
  const float* w;
  TAMBRINO_INLINE void get(int i, V& r, V& m) const {
    constexpr int W = kLanes<V>;
    const V a = load<V>(x + 2 * i) * load<V>(w + 2 * i);
    const V b = load<V>(x + 2 * i + W) * load<V>(w + 2 * i + W);
    r = pick<V, false>(a, b);
    m = pick<V, true>(a, b);
  }
};

// A frame of which only the first N/2 samples are given, unwindowed, and
// the rest are zeros (a zero-padded transform): value i is
// (x[2i], x[2i+1]) below M/2 and zero from there on.
template <typename V>
struct HalfFrameIn {
  const float* x;
  int given;  // M/2
  TAMBRINO_INLINE void get(int i, V& r, V& m) const {
    constexpr int W = kLanes<V>;
    if (i >= given) {
      r = V{};
      m = V{};
      return;
    }
    const V a = load<V>(x + 2 * i), b = load<V>(x + 2 * i + W);
    r = pick<V, false>(a, b);
    m = pick<V, true>(a, b);
  }
};

// Where a pass puts them: split arrays, or interleaved as the real output of
// the inverse transform (value i to out[2i] and out[2i+1]: the last pass of
// the inverse writes it so).
template <typename V>
struct SplitOut {
  float* re;
  float* im;
  TAMBRINO_INLINE void put(int i, V r, V m) const {
    store(re + i, r);
    store(im + i, m);
  }
};

template <typename V>
struct InterleavedOut {
  float* out;
  TAMBRINO_INLINE void put(int i, V r, V m) const {
    if constexpr (kLanes<V> == 1) {
      store(out + 2 * i, r);
      store(out + 2 * i + 1, m);
    } else {
      store(out + 2 * i, zip<V, 1, false>(r, m));
      store(out + 2 * i + kLanes<V>, zip<V, 1, true>(r, m));
    }
  }
};

// One autosorting radix-4 pass over M values (x to y): with stride s and
// q = 0..s-1, p = 0..M/(4s)-1, i = s p + q, the four values x[i + j M/4]
// give y[q + s (4p + k)], k = 0..3.
template <typename V, bool Inverse, typename In, typename Out>
TAMBRINO_INLINE void radix4Pass(const RealFftState& st, int t, const In& x, const Out& y) {
  constexpr int W = kLanes<V>;
  const int quarter = st.half / 4;
  const RealFftPass& tw = st.pass[t];
  const int s = tw.stride;
  V ar, ai, br, bi, cr, ci, dr, di;
  V outR[4], outI[4];
  if (s >= W) {
    // Each vector lies within one group: its twiddles are broadcast.
    const int groups = quarter / s;
    for (int p = 0; p < groups; p++) {
      const int e = tw.perValue ? s * p : p;
      const float w1r = tw.wr[0][e], w1i = tw.wi[0][e], w2r = tw.wr[1][e], w2i = tw.wi[1][e];
      const float w3r = tw.wr[2][e], w3i = tw.wi[2][e];
      for (int q = 0; q < s; q += W) {
        const int i = s * p + q;
        x.get(i, ar, ai);
        x.get(i + quarter, br, bi);
        x.get(i + 2 * quarter, cr, ci);
        x.get(i + 3 * quarter, dr, di);
        butterfly<V, float, Inverse>(ar, ai, br, bi, cr, ci, dr, di, w1r, w1i, w2r, w2i, w3r, w3i, outR, outI);
#pragma GCC unroll 4
        for (int k = 0; k < 4; k++) y.put(4 * s * p + q + k * s, outR[k], outI[k]);
      }
    }
    return;
  }
  if constexpr (W > 1) {
    // A vector spans W / s groups: per-value twiddles, and the four outputs
    // interleaved in blocks of s before they are stored, contiguously from
    // y[4 i].
    for (int i = 0; i < quarter; i += W) {
      x.get(i, ar, ai);
      x.get(i + quarter, br, bi);
      x.get(i + 2 * quarter, cr, ci);
      x.get(i + 3 * quarter, dr, di);
      butterfly<V, V, Inverse>(ar, ai, br, bi, cr, ci, dr, di, load<V>(tw.wr[0] + i), load<V>(tw.wi[0] + i),
                               load<V>(tw.wr[1] + i), load<V>(tw.wi[1] + i), load<V>(tw.wr[2] + i),
                               load<V>(tw.wi[2] + i), outR, outI);
      if (s == 1) {
        interleave4<V, 1>(outR[0], outR[1], outR[2], outR[3]);
        interleave4<V, 1>(outI[0], outI[1], outI[2], outI[3]);
      } else if constexpr (W >= 8) {
        interleave4<V, 4>(outR[0], outR[1], outR[2], outR[3]);
        interleave4<V, 4>(outI[0], outI[1], outI[2], outI[3]);
      }
#pragma GCC unroll 4
      for (int k = 0; k < 4; k++) y.put(4 * i + k * W, outR[k], outI[k]);
    }
  }
}

// One autosorting radix-8 pass, stride s >= W (every vector within one
// group, its twiddles broadcast): with p = 0..M/(8s)-1, i = s p + q, the
// eight values x[i + j M/8] give y[q + s (8p + k)], k = 0..7. The eight-point
// transform is two four-point ones (even and odd j) joined by the eighth
// roots of unity.
template <typename V, bool Inverse, typename In, typename Out>
TAMBRINO_INLINE void radix8Pass(const RealFftState& st, int t, const In& x, const Out& y) {
  constexpr int W = kLanes<V>;
  constexpr float kHalfRoot2 = 0.70710678118654752f;
  const int eighth = st.half / 8;
  const RealFftPass& tw = st.pass[t];
  const int s = tw.stride;
  const int groups = eighth / s;
  for (int p = 0; p < groups; p++) {
    float wr[7], wi[7];
#pragma GCC unroll 8
    for (int k = 0; k < 7; k++) {
      wr[k] = tw.wr[k][p];
      wi[k] = tw.wi[k][p];
    }
    for (int q = 0; q < s; q += W) {
      const int i = s * p + q;
      V ar[8], ai[8];
#pragma GCC unroll 8
      for (int j = 0; j < 8; j++) x.get(i + j * eighth, ar[j], ai[j]);
      V er[4], ei[4], orr[4], oi[4];
      dft4<V, Inverse>(ar[0], ai[0], ar[2], ai[2], ar[4], ai[4], ar[6], ai[6], er, ei);
      dft4<V, Inverse>(ar[1], ai[1], ar[3], ai[3], ar[5], ai[5], ar[7], ai[7], orr, oi);
      // The odd half times e^{-+2 pi i k / 8}, k = 1, 2, 3.
      V tr[4], ti[4];
      tr[0] = orr[0];
      ti[0] = oi[0];
      if constexpr (Inverse) {
        tr[1] = (orr[1] - oi[1]) * kHalfRoot2;
        ti[1] = (orr[1] + oi[1]) * kHalfRoot2;
        tr[2] = -oi[2];
        ti[2] = orr[2];
        tr[3] = (-orr[3] - oi[3]) * kHalfRoot2;
        ti[3] = (orr[3] - oi[3]) * kHalfRoot2;
      } else {
        tr[1] = (orr[1] + oi[1]) * kHalfRoot2;
        ti[1] = (oi[1] - orr[1]) * kHalfRoot2;
        tr[2] = oi[2];
        ti[2] = -orr[2];
        tr[3] = (oi[3] - orr[3]) * kHalfRoot2;
        ti[3] = (-orr[3] - oi[3]) * kHalfRoot2;
      }
      V outR, outI;
      y.put(8 * s * p + q, er[0] + tr[0], ei[0] + ti[0]);
#pragma GCC unroll 8
      for (int k = 1; k < 8; k++) {
        const V ur = k < 4 ? er[k] + tr[k] : er[k - 4] - tr[k - 4];
        const V ui = k < 4 ? ei[k] + ti[k] : ei[k - 4] - ti[k - 4];
        turn<V, float, Inverse>(ur, ui, wr[k - 1], wi[k - 1], outR, outI);
        y.put(8 * s * p + q + k * s, outR, outI);
      }
    }
  }
}

// The last pass when log2(M) is odd: stride M/2, no twiddles.
template <typename V, typename In, typename Out>
TAMBRINO_INLINE void radix2Pass(const RealFftState& st, const In& x, const Out& y) {
  constexpr int W = kLanes<V>;
  const int s = st.half / 2;
  V ar, ai, br, bi;
  for (int q = 0; q < s; q += W) {
    x.get(q, ar, ai);
    x.get(q + s, br, bi);
    y.put(q, ar + br, ai + bi);
    y.put(q + s, ar - br, ai - bi);
  }
}

// The number of passes; pass t reads work array t % 2 (the first one reads
// in) and writes work array (t + 1) % 2 (the last one writes out).
inline int passCount(const RealFftState& st) {
  return st.passes;
}

template <typename V, bool Inverse, typename In, typename Out>
TAMBRINO_INLINE void onePass(RealFftState& st, int t, const In& in, const Out& out) {
  switch (st.pass[t].radix) {
    case 2:
      radix2Pass<V>(st, in, out);
      break;
    case 8:
      radix8Pass<V, Inverse>(st, t, in, out);
      break;
    default:
      radix4Pass<V, Inverse>(st, t, in, out);
      break;
  }
}

// The complex transform's first `passes` passes from in to out through the
// work arrays. The first pass is never radix 2 or 8 (N/2 >= 4; radix 8
// starts at stride 16).
template <typename V, bool Inverse, typename In, typename Out>
TAMBRINO_INLINE void complexTransform(RealFftState& st, int passes, const In& in, const Out& out) {
  for (int t = 0; t < passes; t++) {
    const SplitIn<V> src{st.workRe[t & 1], st.workIm[t & 1]};
    const SplitOut<V> dst{st.workRe[(t + 1) & 1], st.workIm[(t + 1) & 1]};
    const bool first = t == 0;
    const bool last = t == passes - 1;
    if (first && last) {
      radix4Pass<V, Inverse>(st, t, in, out);
    } else if (first) {
      radix4Pass<V, Inverse>(st, t, in, dst);
    } else if (last) {
      onePass<V, Inverse>(st, t, src, out);
    } else {
      onePass<V, Inverse>(st, t, src, dst);
    }
  }
}

// Values k .. k+W-1 and their mirrors M-k .. M-k-W+1 as sums and
// differences (v_k + v_{M-k} and v_k - v_{M-k}, real and imaginary parts),
// with the halved split factors of k.
template <typename V>
struct Mirrored {
  V sumR, difR, sumI, difI, hc, hs;
};

// From the values at k (a) and at the mirrors, in the order of k (b).
template <typename V>
TAMBRINO_INLINE Mirrored<V> mirroredOf(const RealFftState& st, V ar, V ai, V br, V bi, int k) {
  return {ar + br, ar - br, ai + bi, ai - bi, load<V>(st.splitCos + k), load<V>(st.splitSin + k)};
}

template <typename V>
TAMBRINO_INLINE Mirrored<V> mirrored(const RealFftState& st, const float* vr, const float* vi, int k) {
  constexpr int W = kLanes<V>;
  const int mirror = st.half - k - (W - 1);
  return mirroredOf<V>(st, load<V>(vr + k), load<V>(vi + k), reverse(load<V>(vr + mirror)),
                       reverse(load<V>(vi + mirror)), k);
}

// Bins k .. k+W-1 of the real frame from Z (the transform of the frame's
// even samples plus i times its odd ones) at k and at M - k.
template <typename V>
TAMBRINO_INLINE void splitForward(const Mirrored<V>& z, int k, float* re, float* im) {
  store(re + k, z.sumR * 0.5f - z.hs * z.difR + z.hc * z.sumI);
  store(im + k, z.difI * 0.5f - z.hs * z.sumI - z.hc * z.difR);
}

// When the last pass is the radix-2 one, it is made here as the split pass
// reads its input x, and Z is never stored: Z_j = x_j + x_{j+M/2} and
// Z_{j+M/2} = x_j - x_{j+M/2}, as that pass makes them. Values k .. k+W-1
// and their mirrors below M/2 give bins k .. k+W-1 (from Z_k and Z_{M-k})
// and k+M/2 .. (from Z_{k+M/2} and Z_{M/2-k}).
template <typename V>
TAMBRINO_INLINE void splitForwardHalves(const RealFftState& st, const float* xr, const float* xi, int k,
                                        float* re, float* im) {
  constexpr int W = kLanes<V>;
  const int h = st.half / 2;
  const int m = h - k - (W - 1);
  const V aR = load<V>(xr + k), aI = load<V>(xi + k), bR = load<V>(xr + k + h), bI = load<V>(xi + k + h);
  const V cR = load<V>(xr + m), cI = load<V>(xi + m), dR = load<V>(xr + m + h), dI = load<V>(xi + m + h);
  splitForward<V>(mirroredOf<V>(st, aR + bR, aI + bI, reverse(cR - dR), reverse(cI - dI), k), k, re, im);
  splitForward<V>(mirroredOf<V>(st, aR - bR, aI - bI, reverse(cR + dR), reverse(cI + dI), k + h), k + h, re,
                  im);
}

// The work array 0 that the inverse complex transform takes, for values
// k .. k+W-1 (k >= 1), from the one-sided spectrum at k and at M - k.
template <typename V>
TAMBRINO_INLINE void splitInverse(const RealFftState& st, const float* xr, const float* xi, int k) {
  const Mirrored<V> x = mirrored<V>(st, xr, xi, k);
  store(st.workRe[0] + k, x.sumR * 0.5f - x.hs * x.difR - x.hc * x.sumI);
  store(st.workIm[0] + k, x.difI * 0.5f + x.hc * x.difR - x.hs * x.sumI);
}

template <typename V, typename In>
TAMBRINO_INLINE void forwardFrom(RealFftState& st, const In& in, float* re, float* im, int bins) {
  constexpr int W = kLanes<V>;
  const int half = st.half;
  const int passes = passCount(st);
  const bool fused = st.pass[passes - 1].radix == 2;
  const int at = (fused ? passes - 1 : passes) & 1;
  const float* zr = st.workRe[at];
  const float* zi = st.workIm[at];
  complexTransform<V, false>(st, fused ? passes - 1 : passes, in, SplitOut<V>{st.workRe[at], st.workIm[at]});
  if (fused) {
    // Bins k and k + M/2 come together: all are made.
    const int h = half / 2;
    re[0] = (zr[0] + zr[h]) + (zi[0] + zi[h]);
    im[0] = 0.0f;
    const float midR = zr[0] - zr[h], midI = zi[0] - zi[h];
    splitForward<float>(mirroredOf<float>(st, midR, midI, midR, midI, h), h, re, im);
    int k = 1;
    for (; k + W <= h; k += W) splitForwardHalves<V>(st, zr, zi, k, re, im);
    for (; k < h; k++) splitForwardHalves<float>(st, zr, zi, k, re, im);
    return;
  }
  re[0] = zr[0] + zi[0];
  im[0] = 0.0f;
  int k = 1;
  for (; k + W <= bins; k += W) splitForward<V>(mirrored<V>(st, zr, zi, k), k, re, im);
  for (; k < bins; k++) splitForward<float>(mirrored<float>(st, zr, zi, k), k, re, im);
}

// The forward transform with vectors V (the frame holding whole vectors of
// a quarter of its complex values): of the windowed frame, or (window null)
// of the first N/2 samples and zeros, bins 0 .. bins-1 at least.
template <typename V>
TAMBRINO_INLINE void forward(RealFftState& st, const float* x, const float* window, float* re, float* im,
                             int bins) {
  if (window != nullptr) {
    forwardFrom<V>(st, FrameIn<V>{x, window}, re, im, bins);
  } else {
    forwardFrom<V>(st, HalfFrameIn<V>{x, st.half / 2}, re, im, bins);
  }
}

template <typename V>
TAMBRINO_INLINE void inverse(RealFftState& st, const float* specRe, const float* specIm, float* out) {
  constexpr int W = kLanes<V>;
  const int half = st.half;
  // The DC bin stands for both ends of the Hermitian extension (its
  // imaginary part cannot survive a real output).
  st.workRe[0][0] = specRe[0];
  st.workIm[0][0] = specRe[0];
  int k = 1;
  for (; k + W <= half; k += W) splitInverse<V>(st, specRe, specIm, k);
  for (; k < half; k++) splitInverse<float>(st, specRe, specIm, k);
  complexTransform<V, true>(st, passCount(st), SplitIn<V>{st.workRe[0], st.workIm[0]}, InterleavedOut<V>{out});
}

// The kernels' convention: the whole frame (N) or nothing (0) when a
// quarter of its complex values does not fill a vector.
template <typename V>
TAMBRINO_INLINE int forwardWhole(RealFftState& st, const float* x, const float* window, float* re, float* im,
                                 int bins) {
  if (st.half / 4 < kLanes<V>) return 0;
  forward<V>(st, x, window, re, im, bins);
  return st.n;
}

template <typename V>
TAMBRINO_INLINE int inverseWhole(RealFftState& st, const float* specRe, const float* specIm, float* out) {
  if (st.half / 4 < kLanes<V>) return 0;
  inverse<V>(st, specRe, specIm, out);
  return st.n;
}

}  // namespace realfft_steps
}  // namespace
