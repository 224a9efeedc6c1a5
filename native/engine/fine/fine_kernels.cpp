// The fine mode's portable kernels and the dispatch to the vector ones.
#include "fine_kernels.h"

#include <algorithm>
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

void overlapAddPlain(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq, int n) {
  for (int k = 0; k < n; k++) {
    const float v = x[k] + ((k & 1) ? -h : h);
    acc[k] = acc[k] + v * w[k];
    pacc[k] = pacc[k] + (v * v) * wq[k];
  }
}

void addPlain(float* acc, const float* w, int n) {
  for (int k = 0; k < n; k++) acc[k] = acc[k] + w[k];
}

// The windows hardly cover a sample whose sum is 1e-3 or less (only at the
// start of a time line, or between windows a whole frame apart): it stays
// silent rather than being amplified, and carries no power.
void finishPlain(float* a, float* b, float* pa, float* pb, float* w, float* s, int n, int chunk, float* outSums,
                 float* carriedSums) {
  for (int from = 0, c = 0; from < n; from += chunk, c++) {
    float o[kFineLanes] = {}, q[kFineLanes] = {};
    for (int j = 0; j < std::min(chunk, n - from); j++) {
      const int k = from + j;
      const bool covered = w[k] > 1e-3f;
      const bool carries = covered && s[k] > 0.0f;
      const float inv = covered ? 1.0f / w[k] : 0.0f;
      const float l = a[k] * inv;
      a[k] = l;
      float sq = l * l;
      float pw = carries ? pa[k] / s[k] : 0.0f;
      if (b) {
        const float r = b[k] * inv;
        b[k] = r;
        sq = sq + r * r;
        pw = pw + (carries ? pb[k] / s[k] : 0.0f);
        pb[k] = 0.0f;
      }
      pa[k] = 0.0f;
      w[k] = 0.0f;
      s[k] = 0.0f;
      o[j] = sq;
      q[j] = pw;
    }
    outSums[c] = fine_sum16(o);
    carriedSums[c] = fine_sum16(q);
  }
}

void rampPlain(float* a, float* b, const float* from, const float* step, int n, int chunk) {
  for (int k = 0; k < n; k++) {
    const int c = k / chunk;
    const float g = from[c] + step[c] * static_cast<float>(k - c * chunk + 1);
    a[k] = a[k] * g;
    if (b) b[k] = b[k] * g;
  }
}

float onsetsPlain(const float* left, const float* right, int n, int64_t at, float last, float* energy,
                  float* level) {
  for (int k = 0; k < n; k++) {
    const float m = right ? (left[k] + right[k]) * 0.5f : left[k];
    const float d = m - last;
    last = m;
    const int lane = static_cast<int>((at + k) & (kFineLanes - 1));
    energy[lane] = energy[lane] + d * d;
    level[lane] = level[lane] + m * m;
  }
  return last;
}

int16_t toPcm(float x) {
  if (x < -1.0f) return -32767;
  if (x > 1.0f) return 32767;
  if (std::isnan(x)) return 0;
  return static_cast<int16_t>(static_cast<int>(x * 32767.0f));
}

float softPcmPlain(const float* left, const float* right, int n, float gain, int16_t* dest, float maxLevel) {
  constexpr float kThreshold = 0.95f, kRoom = 1.0f - kThreshold;
  const int channels = right ? 2 : 1;
  for (int c = 0; c < channels; c++) {
    const float* x = c == 0 ? left : right;
    for (int k = 0; k < n; k++) {
      const float output = x[k] * gain;
      const float level = std::fabs(output);
      maxLevel = std::fmax(maxLevel, level);
      float limited = output;
      if (level > kThreshold) {
        // An infinite level gives 1 (full scale), a NaN stays NaN (written 0).
        const float bent = 1.0f - kRoom / (1.0f + (level - kThreshold) / kRoom);
        limited = std::copysign(bent, output);
      }
      dest[static_cast<size_t>(k) * channels + c] = toPcm(limited);
    }
  }
  return maxLevel;
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
void overlapAdd(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq, int n) {
  // Every kernel stops at an even k, so the alternation goes on where it
  // left off.
  auto call = [&](auto kernel, int at) { return kernel(acc + at, pacc + at, x + at, h, w + at, wq + at, n - at); };
  const int k =
      vectors<P>(call, fine_avx512::overlapAdd, fine_avx2::overlapAdd, fine_steps::overlapAdd<V4>);
  overlapAddPlain(acc + k, pacc + k, x + k, h, w + k, wq + k, n - k);
}
template <FinePath P>
void add(float* acc, const float* w, int n) {
  auto call = [&](auto kernel, int at) { return kernel(acc + at, w + at, n - at); };
  const int k = vectors<P>(call, fine_avx512::add, fine_avx2::add, fine_steps::add<V4>);
  addPlain(acc + k, w + k, n - k);
}
// Whole chunks of 16 in vectors; every kernel stops at a chunk's end.
template <FinePath P>
void finish(float* a, float* b, float* pa, float* pb, float* w, float* s, int n, int chunk, float* outSums,
            float* carriedSums) {
  auto call = [&](auto kernel, int at) {
    return kernel(a + at, b ? b + at : nullptr, pa + at, pb ? pb + at : nullptr, w + at, s + at, n - at, chunk,
                  outSums + at / chunk, carriedSums + at / chunk);
  };
  const int k = vectors<P>(call, fine_avx2::finish, fine_avx2::finish, fine_steps::finish<V4>);
  finishPlain(a + k, b ? b + k : nullptr, pa + k, pb ? pb + k : nullptr, w + k, s + k, n - k, chunk,
              outSums + k / chunk, carriedSums + k / chunk);
}
template <FinePath P>
void ramp(float* a, float* b, const float* from, const float* step, int n, int chunk) {
  auto call = [&](auto kernel, int at) {
    return kernel(a + at, b ? b + at : nullptr, from + at / chunk, step + at / chunk, n - at, chunk);
  };
  const int k = vectors<P>(call, fine_avx512::ramp, fine_avx2::ramp, fine_steps::ramp<V4>);
  rampPlain(a + k, b ? b + k : nullptr, from + k / chunk, step + k / chunk, n - k, chunk);
}
// The scalar step until a lane group starts, the vectors over whole groups,
// the scalar step for the rest.
template <FinePath P>
float onsets(const float* left, const float* right, int n, int64_t at, float last, float* energy, float* level) {
  const int k = static_cast<int>(std::min<int64_t>(n, (kFineLanes - (at & (kFineLanes - 1))) & (kFineLanes - 1)));
  last = onsetsPlain(left, right, k, at, last, energy, level);
  auto meanBefore = [&](int i) { return right ? (left[i - 1] + right[i - 1]) * 0.5f : left[i - 1]; };
  auto call = [&](auto kernel, int from) {
    const int i = k + from;
    return kernel(left + i, right ? right + i : nullptr, n - i, from > 0 ? meanBefore(i) : last, energy, level);
  };
  const int done = k + vectors<P>(call, fine_avx512::onsets, fine_avx2::onsets, fine_steps::onsets<V4>);
  if (done > k) last = meanBefore(done);
  return onsetsPlain(left + done, right ? right + done : nullptr, n - done, at + done, last, energy, level);
}
template <FinePath P>
float softPcm(const float* left, const float* right, int n, float gain, int16_t* dest, float maxLevel) {
  const int channels = right ? 2 : 1;
  auto call = [&](auto kernel, int at) {
    return kernel(left + at, right ? right + at : nullptr, n - at, gain, dest + at * channels, maxLevel);
  };
  const int k = vectors<P>(call, fine_avx512::softPcm, fine_avx2::softPcm, fine_steps::softPcm<V4>);
  return softPcmPlain(left + k, right ? right + k : nullptr, n - k, gain, dest + k * channels, maxLevel);
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
  return {power<P>,   rotate<P>, overlapAdd<P>, add<P>,    finish<P>, ramp<P>,
          nyquist<P>, atan2<P>,  sincos<P>,     onsets<P>, softPcm<P>};
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
void overlapAddNow(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq, int n) {
  TAMBRINO_FINE_NOW(overlapAdd)(acc, pacc, x, h, w, wq, n);
}
void addNow(float* acc, const float* w, int n) {
  TAMBRINO_FINE_NOW(add)(acc, w, n);
}
void finishNow(float* a, float* b, float* pa, float* pb, float* w, float* s, int n, int chunk, float* outSums,
               float* carriedSums) {
  TAMBRINO_FINE_NOW(finish)(a, b, pa, pb, w, s, n, chunk, outSums, carriedSums);
}
void rampNow(float* a, float* b, const float* from, const float* step, int n, int chunk) {
  TAMBRINO_FINE_NOW(ramp)(a, b, from, step, n, chunk);
}
float nyquistNow(const float* x, const float* w, int n) {
  return TAMBRINO_FINE_NOW(nyquist)(x, w, n);
}
void atan2Now(const float* y, const float* x, float* out, int n) {
  TAMBRINO_FINE_NOW(atan2)(y, x, out, n);
}
void sincosNow(float const* angle, float* sine, float* cosine, int n) {
  TAMBRINO_FINE_NOW(sincos)(angle, sine, cosine, n);
}
float onsetsNow(const float* left, const float* right, int n, int64_t at, float last, float* energy, float* level) {
  return TAMBRINO_FINE_NOW(onsets)(left, right, n, at, last, energy, level);
}
float softPcmNow(const float* left, const float* right, int n, float gain, int16_t* dest, float maxLevel) {
  return TAMBRINO_FINE_NOW(softPcm)(left, right, n, gain, dest, maxLevel);
}
#undef TAMBRINO_FINE_NOW

}  // namespace

const FineKernels& fine_kernels() {
  static const FineKernels now = {powerNow,   rotateNow, overlapAddNow, addNow,    finishNow, rampNow,
                                  nyquistNow, atan2Now,  sincosNow,     onsetsNow, softPcmNow};
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
