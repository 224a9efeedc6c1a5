#include "fft.h"

#include <immintrin.h>

#include <cmath>
#include <utility>

namespace {

constexpr int kMaxStages = 12;
constexpr int kRow = 4096;
constexpr double kPi = 3.141592653589793;

// The tables are sized for the largest frame so that neither set-up nor a
// transform ever allocates.
int doubleFrameSize;
int bitSwapPos[4096];
int bitSwapLen;
long logFrame;
float pur[kMaxStages * kRow];
float pui[kMaxStages * kRow];
float pur_inv[kMaxStages * kRow];
float pui_inv[kMaxStages * kRow];

// The same twiddles, one direction per table, stage s holding its 2^s values
// contiguously from index 2^s - 1: vector loads need them adjacent.
// Direction 0 is the negative exponent (sign -1), 1 the positive one.
alignas(32) float splitRe[2][FFT_MAX_SIZE];
alignas(32) float splitIm[2][FFT_MAX_SIZE];
// The reordered values 8g .. 8g + 7 come from x[base + j * N/8], j = 0 .. 7,
// with base = revGroup[g] (bit reversal over log2(N) - 3 bits, its own inverse).
int revGroup[FFT_MAX_SIZE / 8];
int frameSize;
// The AVX2 transforms run where the processor has AVX2 (checked at set-up)
// and the frame has at least 64 points; tests may switch them off.
bool vectorAllowed = true;
bool vectorPath = false;
// AVX-512 as well: the first pass then takes stage 3 too, and the stages of
// spans 16 and more run sixteen lanes wide.
bool wideAllowed = true;
bool wideVectors = false;

// The vector transforms need AVX2 and at least 64 points (eight groups of
// eight after reordering).
void choosePath() {
  __builtin_cpu_init();
  vectorPath = vectorAllowed && frameSize >= 64 && __builtin_cpu_supports("avx2");
  wideVectors =
      vectorPath && wideAllowed && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}

bool isPowerOfTwo(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

// Running products rather than fresh sines: the transform's results are
// defined by these exact roundings.
void walkTwiddles(float* re, float* im, int row, int le2, float wr, float wi) {
  float ur = 1.0f;
  float ui = 0.0f;
  for (int j = 0; j < le2; j += 2) {
    re[row + j] = ur;
    im[row + j] = ui;
    float tr = ur * wr - ui * wi;
    ui = ur * wi + ui * wr;
    ur = tr;
  }
}

// ---------------------------------------------------------------------------
// Portable path on split arrays: exactly the operations of fft_process.

void transformSplitScalar(float* re, float* im, int sign) {
  for (int s = 0; s < bitSwapLen; s += 2) {
    const int i = bitSwapPos[s] >> 1;
    const int j = bitSwapPos[s + 1] >> 1;
    std::swap(re[i], re[j]);
    std::swap(im[i], im[j]);
  }
  const float* tr = splitRe[sign == 1 ? 1 : 0];
  const float* ti = splitIm[sign == 1 ? 1 : 0];
  const int n = frameSize;
  for (int h = 1; h < n; h <<= 1) {
    for (int m = 0; m < h; m++) {
      const float ur = tr[h - 1 + m];
      const float ui = ti[h - 1 + m];
      for (int i = m; i < n; i += 2 * h) {
        const float p2r = re[i + h];
        const float p2i = im[i + h];
        const float xr = p2r * ur - p2i * ui;
        const float xi = p2r * ui + p2i * ur;
        re[i + h] = re[i] - xr;
        im[i + h] = im[i] - xi;
        re[i] = re[i] + xr;
        im[i] = im[i] + xi;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// AVX2 path. Every butterfly performs the same IEEE operations, on the same
// operands in the same order, as fft_process: (tr, ti) = p2 * w with two
// products and one subtraction or addition each, then p1 - t and p1 + t.
// No fused multiply-add is ever used (the target does not enable FMA).

#define FFT_AVX2 __attribute__((target("avx2")))
// The small helpers must melt into their callers: as calls, their arrays of
// vectors live on the stack and every stage goes through memory.
#define FFT_INLINE inline __attribute__((always_inline))
// Loops over a fixed handful of vectors, unrolled so that the arrays become
// registers (GCC does not unroll them at -O2 by itself).
#define FFT_UNROLL _Pragma("GCC unroll 8")

struct V2 {
  __m256 r;
  __m256 i;
};

FFT_AVX2 FFT_INLINE V2 cmul(__m256 pr, __m256 pi, __m256 wr, __m256 wi) {
  return {_mm256_sub_ps(_mm256_mul_ps(pr, wr), _mm256_mul_ps(pi, wi)),
          _mm256_add_ps(_mm256_mul_ps(pr, wi), _mm256_mul_ps(pi, wr))};
}

// One radix-2 butterfly on 8 lanes, in place.
FFT_AVX2 FFT_INLINE V2 load8(const float* r, const float* i) {
  return {_mm256_loadu_ps(r), _mm256_loadu_ps(i)};
}

// One radix-2 butterfly on 8 lanes held in registers.
FFT_AVX2 FFT_INLINE void butterfly8(V2& p1, V2& p2, __m256 wr, __m256 wi) {
  const V2 t = cmul(p2.r, p2.i, wr, wi);
  p2.r = _mm256_sub_ps(p1.r, t.r);
  p2.i = _mm256_sub_ps(p1.i, t.i);
  p1.r = _mm256_add_ps(p1.r, t.r);
  p1.i = _mm256_add_ps(p1.i, t.i);
}

FFT_AVX2 FFT_INLINE void butterfly(float* r1, float* i1, float* r2, float* i2, const float* twr,
                                   const float* twi) {
  const __m256 ar = _mm256_loadu_ps(r1);
  const __m256 ai = _mm256_loadu_ps(i1);
  const V2 t = cmul(_mm256_loadu_ps(r2), _mm256_loadu_ps(i2), _mm256_loadu_ps(twr), _mm256_loadu_ps(twi));
  _mm256_storeu_ps(r2, _mm256_sub_ps(ar, t.r));
  _mm256_storeu_ps(i2, _mm256_sub_ps(ai, t.i));
  _mm256_storeu_ps(r1, _mm256_add_ps(ar, t.r));
  _mm256_storeu_ps(i1, _mm256_add_ps(ai, t.i));
}

// Two stages in one pass over the data, of spans h and 2h (the butterflies
// are the same, only their order changes, and each butterfly's inputs are
// final when it runs), 8 butterflies at a time.
FFT_AVX2 void radix4PassAvx2(float* re, float* im, int n, int dir, int h) {
  const float* w1r = splitRe[dir] + h - 1;
  const float* w1i = splitIm[dir] + h - 1;
  const float* w2r = splitRe[dir] + 2 * h - 1;
  const float* w2i = splitIm[dir] + 2 * h - 1;
  for (int b = 0; b < n; b += 4 * h) {
    for (int m = 0; m < h; m += 8) {
      float* r0 = re + b + m;
      float* i0 = im + b + m;
      V2 x0 = load8(r0, i0), x1 = load8(r0 + h, i0 + h);
      V2 x2 = load8(r0 + 2 * h, i0 + 2 * h), x3 = load8(r0 + 3 * h, i0 + 3 * h);
      const __m256 wr = _mm256_loadu_ps(w1r + m), wi = _mm256_loadu_ps(w1i + m);
      // Stage of span h: (x0, x1) and (x2, x3), both with twiddle m.
      butterfly8(x0, x1, wr, wi);
      butterfly8(x2, x3, wr, wi);
      // Stage of span 2h: (x0, x2) with twiddle m, (x1, x3) with m + h.
      butterfly8(x0, x2, _mm256_loadu_ps(w2r + m), _mm256_loadu_ps(w2i + m));
      butterfly8(x1, x3, _mm256_loadu_ps(w2r + h + m), _mm256_loadu_ps(w2i + h + m));
      _mm256_storeu_ps(r0, x0.r);
      _mm256_storeu_ps(i0, x0.i);
      _mm256_storeu_ps(r0 + h, x1.r);
      _mm256_storeu_ps(i0 + h, x1.i);
      _mm256_storeu_ps(r0 + 2 * h, x2.r);
      _mm256_storeu_ps(i0 + 2 * h, x2.i);
      _mm256_storeu_ps(r0 + 3 * h, x3.r);
      _mm256_storeu_ps(i0 + 3 * h, x3.i);
    }
  }
}

FFT_AVX2 void radix2PassAvx2(float* re, float* im, int n, int dir, int h) {
  for (int b = 0; b < n; b += 2 * h)
    for (int m = 0; m < h; m += 8)
      butterfly(re + b + m, im + b + m, re + b + h + m, im + b + h + m, splitRe[dir] + h - 1 + m,
                splitIm[dir] + h - 1 + m);
}

// The last two stages (spans N/4 and N/2) in one pass, the last one pruned:
// the forward transform (kDir 0) keeps the lower half of the bins, the
// inverse one (kDir 1) the real parts.
template <int kDir>
FFT_AVX2 void lastTwoAvx2(float* re, float* im, int n) {
  const int q = n / 4;
  const float* w1r = splitRe[kDir] + q - 1;
  const float* w1i = splitIm[kDir] + q - 1;
  const float* w2r = splitRe[kDir] + 2 * q - 1;
  const float* w2i = splitIm[kDir] + 2 * q - 1;
  for (int m = 0; m < q; m += 8) {
    V2 x0 = load8(re + m, im + m), x1 = load8(re + q + m, im + q + m);
    V2 x2 = load8(re + 2 * q + m, im + 2 * q + m), x3 = load8(re + 3 * q + m, im + 3 * q + m);
    const __m256 wr = _mm256_loadu_ps(w1r + m), wi = _mm256_loadu_ps(w1i + m);
    butterfly8(x0, x1, wr, wi);
    butterfly8(x2, x3, wr, wi);
    if constexpr (kDir == 0) {
      V2 t = cmul(x2.r, x2.i, _mm256_loadu_ps(w2r + m), _mm256_loadu_ps(w2i + m));
      _mm256_storeu_ps(re + m, _mm256_add_ps(x0.r, t.r));
      _mm256_storeu_ps(im + m, _mm256_add_ps(x0.i, t.i));
      t = cmul(x3.r, x3.i, _mm256_loadu_ps(w2r + q + m), _mm256_loadu_ps(w2i + q + m));
      _mm256_storeu_ps(re + q + m, _mm256_add_ps(x1.r, t.r));
      _mm256_storeu_ps(im + q + m, _mm256_add_ps(x1.i, t.i));
    } else {
      if (m == 0) _mm256_storeu_ps(im, x0.i);  // for the finiteness check
      __m256 tr = _mm256_sub_ps(_mm256_mul_ps(x2.r, _mm256_loadu_ps(w2r + m)),
                                _mm256_mul_ps(x2.i, _mm256_loadu_ps(w2i + m)));
      _mm256_storeu_ps(re + 2 * q + m, _mm256_sub_ps(x0.r, tr));
      _mm256_storeu_ps(re + m, _mm256_add_ps(x0.r, tr));
      tr = _mm256_sub_ps(_mm256_mul_ps(x3.r, _mm256_loadu_ps(w2r + q + m)),
                         _mm256_mul_ps(x3.i, _mm256_loadu_ps(w2i + q + m)));
      _mm256_storeu_ps(re + 3 * q + m, _mm256_sub_ps(x1.r, tr));
      _mm256_storeu_ps(re + q + m, _mm256_add_ps(x1.r, tr));
    }
  }
}

// The same passes 16 butterflies at a time, for spans of 16 and more, where
// the processor has AVX-512: the same operations in every lane.
#define FFT_AVX512 __attribute__((target("avx512f")))

struct V16 {
  __m512 r;
  __m512 i;
};

FFT_AVX512 FFT_INLINE V16 cmul16(__m512 pr, __m512 pi, __m512 wr, __m512 wi) {
  return {_mm512_sub_ps(_mm512_mul_ps(pr, wr), _mm512_mul_ps(pi, wi)),
          _mm512_add_ps(_mm512_mul_ps(pr, wi), _mm512_mul_ps(pi, wr))};
}

FFT_AVX512 void radix4PassAvx512(float* re, float* im, int n, int dir, int h) {
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

FFT_AVX512 void radix2PassAvx512(float* re, float* im, int n, int dir, int h) {
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

FFT_AVX512 FFT_INLINE C16 load16(const float* r, const float* i) {
  return {_mm512_loadu_ps(r), _mm512_loadu_ps(i)};
}

FFT_AVX512 FFT_INLINE void store16(float* r, float* i, C16 v) {
  _mm512_storeu_ps(r, v.r);
  _mm512_storeu_ps(i, v.i);
}

FFT_AVX512 FFT_INLINE void butterfly16(C16& p1, C16& p2, __m512 wr, __m512 wi) {
  const V16 t = cmul16(p2.r, p2.i, wr, wi);
  p2.r = _mm512_sub_ps(p1.r, t.r);
  p2.i = _mm512_sub_ps(p1.i, t.i);
  p1.r = _mm512_add_ps(p1.r, t.r);
  p1.i = _mm512_add_ps(p1.i, t.i);
}

// Three stages in one pass, of spans h, 2h and 4h (h >= 16): eight values
// 0, h, .. 7h apart go through all three in registers.
FFT_AVX512 void radix8PassAvx512(float* re, float* im, int n, int dir, int h) {
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

// lastTwoAvx2, sixteen lanes wide.
template <int kDir>
FFT_AVX512 void lastTwoAvx512(float* re, float* im, int n) {
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
void laterStagesWide(float* re, float* im, int n, int dir) {
  int h = 16;
  while (h < n / 4) {
    const int left = __builtin_ctz(static_cast<unsigned>(n / 4)) - __builtin_ctz(static_cast<unsigned>(h));
    if (left == 1) {
      radix2PassAvx512(re, im, n, dir, h);
      h <<= 1;
    } else if (left == 2 || left == 4) {
      radix4PassAvx512(re, im, n, dir, h);
      h <<= 2;
    } else {
      radix8PassAvx512(re, im, n, dir, h);
      h <<= 3;
    }
  }
  dir == 0 ? lastTwoAvx512<0>(re, im, n) : lastTwoAvx512<1>(re, im, n);
}

// The stages from span h up to N/8, two per pass where possible, and then
// the last two together (frames of at least 32 points).
void laterStages(float* re, float* im, int n, int dir, int h) {
  while (h < n / 4) {
    const bool two = 4 * h <= n / 4;
    if (wideVectors && h >= 16) {
      two ? radix4PassAvx512(re, im, n, dir, h) : radix2PassAvx512(re, im, n, dir, h);
    } else {
      two ? radix4PassAvx2(re, im, n, dir, h) : radix2PassAvx2(re, im, n, dir, h);
    }
    h <<= two ? 2 : 1;
  }
  dir == 0 ? lastTwoAvx2<0>(re, im, n) : lastTwoAvx2<1>(re, im, n);
}

FFT_AVX2 FFT_INLINE void transpose8(__m256 r[8]) {
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
FFT_AVX2 FFT_INLINE void verticalButterfly(__m256 er[8], __m256 ei[8], int t1, int t2, int dir, int tw) {
  const V2 t = cmul(er[t2], ei[t2], _mm256_set1_ps(splitRe[dir][tw]), _mm256_set1_ps(splitIm[dir][tw]));
  er[t2] = _mm256_sub_ps(er[t1], t.r);
  ei[t2] = _mm256_sub_ps(ei[t1], t.i);
  er[t1] = _mm256_add_ps(er[t1], t.r);
  ei[t1] = _mm256_add_ps(ei[t1], t.i);
}

FFT_AVX2 FFT_INLINE void earlyStagesVertical(__m256 er[8], __m256 ei[8], int dir) {
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
FFT_AVX2 FFT_INLINE void realTimesTwiddle(__m256 pr, const float* twr, const float* twi, int tw, __m256& tr,
                                          __m256& ti) {
  const float wr = twr[tw];
  const float wi = twi[tw];
  tr = _mm256_sub_ps(_mm256_mul_ps(pr, _mm256_set1_ps(wr)), _mm256_set1_ps(0.0f * wi));
  ti = _mm256_add_ps(_mm256_mul_ps(pr, _mm256_set1_ps(wi)), _mm256_set1_ps(0.0f * wr));
}

// Butterfly of two values with zero imaginary parts: (p1, +0) and (p2, +0).
FFT_AVX2 FFT_INLINE void realButterfly(__m256 er[8], __m256 ei[8], int t1, int t2, int tw) {
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
FFT_AVX2 FFT_INLINE void plainButterfly(__m256 er[8], int t1, int t2) {
  const __m256 p2 = er[t2];
  er[t2] = _mm256_sub_ps(er[t1], p2);
  er[t1] = _mm256_add_ps(er[t1], p2);
}

// Stages 1 and 2 after the first one, of a real frame: er holds the first
// stage's results, whose imaginary parts are all +0.
FFT_AVX2 FFT_INLINE void earlyStagesReal(__m256 er[8], __m256 ei[8]) {
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
FFT_AVX2 FFT_INLINE void storeGroups(__m256 er[8], __m256 ei[8], int b, float* re, float* im) {
  transpose8(er);
  transpose8(ei);
  FFT_UNROLL
  for (int c = 0; c < 8; c++) {
    const int g = revGroup[b + c];
    _mm256_storeu_ps(re + 8 * g, er[c]);
    _mm256_storeu_ps(im + 8 * g, ei[c]);
  }
}

// Forward transform of a real, finite frame. The imaginary inputs are +0, so
// the first stage (twiddle (1, +0)) gives exactly (a + b, +0) and (a - b, +0):
// b * 1 - 0 * 0 = b, and b * 0 + 0 * 1 = +0 whatever the sign of b.
//
// Group g (values 8g .. 8g + 7 after reordering) takes value t from
// x[base + rev3(t) * N/8], base = revGroup[g]: rows of x at N/8 apart hold the
// same element of eight consecutive bases.
//
// With a window, each frame value x[k] * window[k] is formed as it is loaded:
// the same single product as in a separate pass, without storing the frame.
template <bool kWindowed>
FFT_AVX2 FFT_INLINE __m256 loadFrame8(const float* x, const float* window, int at) {
  if (!kWindowed) return _mm256_loadu_ps(x + at);
  return _mm256_mul_ps(_mm256_loadu_ps(x + at), _mm256_loadu_ps(window + at));
}

template <bool kWindowed>
FFT_AVX2 void forwardRealAvx2(const float* x, const float* window, float* re, float* im) {
  const int n = frameSize;
  const int eighth = n / 8;
  for (int b = 0; b < eighth; b += 8) {
    __m256 row[8];
    FFT_UNROLL
    for (int j = 0; j < 8; j++) row[j] = loadFrame8<kWindowed>(x, window, j * eighth + b);
    // First stage: pairs of rows rev3(2m) and rev3(2m) + 4, m = 0 .. 3.
    __m256 er[8];
    __m256 ei[8];
    static constexpr int upper[4] = {0, 2, 1, 3};
    FFT_UNROLL
    for (int m = 0; m < 4; m++) {
      er[2 * m] = _mm256_add_ps(row[upper[m]], row[upper[m] + 4]);
      er[2 * m + 1] = _mm256_sub_ps(row[upper[m]], row[upper[m] + 4]);
    }
    earlyStagesReal(er, ei);
    storeGroups(er, ei, b, re, im);
  }
  laterStages(re, im, n, 0, 8);
}

// Inverse transform of a spectrum whose upper half is +0. After reordering
// every second value is +0, so the first stage gives p1 + 0 (which turns -0
// into +0) and p1 itself (p1 - (+0) = p1).
FFT_AVX2 void inverseHalfAvx2(const float* specRe, const float* specIm, float* re, float* im) {
  const int n = frameSize;
  const int eighth = n / 8;
  const __m256 zero = _mm256_setzero_ps();
  for (int b = 0; b < eighth; b += 8) {
    // Only rows 0 .. 3 lie in the lower half; rows 4 .. 7 are the zeros.
    __m256 er[8];
    __m256 ei[8];
    static constexpr int upper[4] = {0, 2, 1, 3};
    FFT_UNROLL
    for (int m = 0; m < 4; m++) {
      const __m256 yr = _mm256_loadu_ps(specRe + upper[m] * eighth + b);
      const __m256 yi = _mm256_loadu_ps(specIm + upper[m] * eighth + b);
      er[2 * m] = _mm256_add_ps(yr, zero);
      er[2 * m + 1] = yr;
      ei[2 * m] = _mm256_add_ps(yi, zero);
      ei[2 * m + 1] = yi;
    }
    earlyStagesVertical(er, ei, 1);
    storeGroups(er, ei, b, re, im);
  }
  laterStages(re, im, n, 1, 8);
}

// With AVX-512's 32 vector registers the first pass also does stage 3 (span
// 8), which pairs element t of group g with element t of group g + 1, whose
// base is N/16 higher: the bases b .. b + 7 and b + N/16 .. b + N/16 + 7 go
// through together. Frames of at least 128 points.
#define FFT_WIDE __attribute__((target("avx512f,avx512vl")))

// After earlyStagesReal, elements 0 and 4 of every group are still real.
template <bool kRealFrame>
FFT_WIDE FFT_INLINE void stage3AndStore(__m256 er[2][8], __m256 ei[2][8], int b, int dir, float* re,
                                        float* im) {
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
  storeGroups(er[0], ei[0], b, re, im);
  storeGroups(er[1], ei[1], b + frameSize / 16, re, im);
}

template <bool kWindowed>
FFT_WIDE void forwardRealWide(const float* x, const float* window, float* re, float* im) {
  const int n = frameSize;
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
    stage3AndStore<true>(er, ei, b, 0, re, im);
  }
  laterStagesWide(re, im, n, 0);
}

FFT_WIDE void inverseHalfWide(const float* specRe, const float* specIm, float* re, float* im) {
  const int n = frameSize;
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
    stage3AndStore<false>(er, ei, b, 1, re, im);
  }
  laterStagesWide(re, im, n, 1);
}

// A frame with an infinity or a NaN must take the portable path, where every
// operation is fft_process's own (the vector paths' early stages take
// shortcuts that hold for finite values only, and NaN payloads follow operand
// order). The vector paths tell such frames afterwards, from bin 0: on its
// chain of butterflies every twiddle is (1, +0), and p * (1, +0) has a
// non-finite real part whenever either part of p is non-finite, so a
// non-finite value anywhere reaches the real part of bin 0, unless it only
// ever met the chain in an imaginary part, which the chain keeps. The forward
// transform keeps bin 0 whole; the inverse one leaves the imaginary part of
// its last-but-one chain value in im[0]. (Finite values that overflow on the
// chain are sent to the portable path as well, which costs time, not bits.)
bool isFinite(float v) {
  return std::isfinite(v);
}

}  // namespace

bool fft_init(int fftFrameSize) {
  if (!isPowerOfTwo(fftFrameSize) || fftFrameSize > FFT_MAX_SIZE) return false;
  const int n2 = 2 * fftFrameSize;
  doubleFrameSize = n2;
  frameSize = fftFrameSize;

  int pos = 0;
  for (int i = 2; i < n2 - 2; i += 2) {
    int j = 0;
    for (int bitm = 2; bitm < n2; bitm <<= 1) {
      if ((i & bitm) != 0) j++;
      j <<= 1;
    }
    if (i < j) {
      bitSwapPos[pos] = i;
      bitSwapPos[pos + 1] = j;
      pos += 2;
    }
  }
  bitSwapLen = pos;

  logFrame = static_cast<long>(std::log(static_cast<double>(fftFrameSize)) / 0.6931471805599453 + 0.5);

  for (long k = 0; k < logFrame; k++) {
    const int le = 1 << (k + 2);
    const int le2 = le >> 1;
    const float arg = static_cast<float>(kPi / (le2 >> 1));
    const float wr = std::cos(arg);
    const float wi = std::sin(arg);
    const int row = static_cast<int>(k) * kRow;
    walkTwiddles(pur, pui, row, le2, wr, wi);
    walkTwiddles(pur_inv, pui_inv, row, le2, wr, -wi);
    const int h = 1 << k;
    for (int m = 0; m < h; m++) {
      splitRe[0][h - 1 + m] = pur_inv[row + 2 * m];
      splitIm[0][h - 1 + m] = pui_inv[row + 2 * m];
      splitRe[1][h - 1 + m] = pur[row + 2 * m];
      splitIm[1][h - 1 + m] = pui[row + 2 * m];
    }
  }
  const int groupBits = static_cast<int>(logFrame) - 3;
  for (int g = 0; g < fftFrameSize / 8; g++) {
    int r = 0;
    for (int bit = 0; bit < groupBits; bit++) r |= ((g >> bit) & 1) << (groupBits - 1 - bit);
    revGroup[g] = r;
  }
  choosePath();
  return true;
}

void fft_process(float* fftBuffer, int sign, int /*channel*/) {
  for (int s = 0; s < bitSwapLen; s += 2) {
    const int i = bitSwapPos[s];
    const int j = bitSwapPos[s + 1];
    float t = fftBuffer[i];
    fftBuffer[i] = fftBuffer[j];
    fftBuffer[j] = t;
    t = fftBuffer[i + 1];
    fftBuffer[i + 1] = fftBuffer[j + 1];
    fftBuffer[j + 1] = t;
  }

  const float* tabR = sign == 1 ? pur : pur_inv;
  const float* tabI = sign == 1 ? pui : pui_inv;
  const int n2 = doubleFrameSize;
  for (long k = 0; k < logFrame; k++) {
    const int le = 1 << (k + 2);
    const int le2 = le >> 1;
    const int row = static_cast<int>(k) * kRow;
    for (int j = 0; j < le2; j += 2) {
      const float ur = tabR[row + j];
      const float ui = tabI[row + j];
      for (int i = j; i < n2; i += le) {
        float* p1 = fftBuffer + i;
        float* p2 = fftBuffer + i + le2;
        const float tr = p2[0] * ur - p2[1] * ui;
        const float ti = p2[0] * ui + p2[1] * ur;
        p2[0] = p1[0] - tr;
        p2[1] = p1[1] - ti;
        p1[0] = p1[0] + tr;
        p1[1] = p1[1] + ti;
      }
    }
  }
}

namespace {

template <bool kWindowed>
void forwardReal(const float* x, const float* window, float* re, float* im) {
  const int n = frameSize;
  if (vectorPath) {
    if (wideVectors && n >= 128) {
      forwardRealWide<kWindowed>(x, window, re, im);
    } else {
      forwardRealAvx2<kWindowed>(x, window, re, im);
    }
    if (isFinite(re[0]) && isFinite(im[0])) return;
  }
  for (int k = 0; k < n; k++) {
    re[k] = kWindowed ? x[k] * window[k] : x[k];
    im[k] = 0.0f;
  }
  transformSplitScalar(re, im, -1);
}

}  // namespace

void fft_forward_real(const float* x, float* re, float* im) {
  forwardReal<false>(x, nullptr, re, im);
}

void fft_forward_windowed(const float* x, const float* window, float* re, float* im) {
  forwardReal<true>(x, window, re, im);
}

void fft_inverse_half(const float* specRe, const float* specIm, float* re, float* im) {
  const int n = frameSize;
  const int half = n / 2;
  if (vectorPath) {
    // Both leave the imaginary part of the lower half's bin-0 chain in im[0].
    if (wideVectors && n >= 128) {
      inverseHalfWide(specRe, specIm, re, im);
    } else {
      inverseHalfAvx2(specRe, specIm, re, im);
    }
    if (isFinite(re[0]) && isFinite(im[0])) return;
  }
  for (int k = 0; k < half; k++) {
    re[k] = specRe[k];
    im[k] = specIm[k];
  }
  for (int k = half; k < n; k++) re[k] = im[k] = 0.0f;
  transformSplitScalar(re, im, 1);
}

bool fft_set_vector_path(bool enabled, bool wide) {
  vectorAllowed = enabled;
  wideAllowed = wide;
  choosePath();
  return vectorAllowed && __builtin_cpu_supports("avx2");
}

FftTables fft_tables() {
  return {bitSwapPos, bitSwapLen, logFrame, pur, pui, pur_inv, pui_inv};
}
