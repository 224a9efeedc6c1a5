// The real transform's unit: set-up, the scalar and portable vector paths,
// and the dispatch to the kernels.
#include "realfft.h"

#include <cmath>
#include <cstdint>
#include <new>

#include "cpu.h"
#include "realfft_kernels.h"
#include "realfft_steps.h"
#include "realfft_testing.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

// 128-bit vectors: SSE2 on x86-64, NEON on aarch64, from the same source.
typedef float V4 __attribute__((vector_size(16)));

// Each table starts on a 64-byte boundary.
constexpr size_t kAlign = 16;
size_t padded(size_t floats) {
  return (floats + kAlign - 1) / kAlign * kAlign;
}

bool forwardBy(RealFftPath path, RealFftState& st, const float* x, const float* window, float* re, float* im) {
  switch (path) {
    case RealFftPath::Avx512:
      return realfft_avx512::forward(st, x, window, re, im) == st.n;
    case RealFftPath::Avx2:
      return realfft_avx2::forward(st, x, window, re, im) == st.n;
    case RealFftPath::Portable:
      return realfft_steps::forwardWhole<V4>(st, x, window, re, im) == st.n;
    case RealFftPath::Scalar:
      realfft_steps::forward<float>(st, x, window, re, im);
      return true;
  }
  return false;
}

bool inverseBy(RealFftPath path, RealFftState& st, const float* specRe, const float* specIm, float* out) {
  switch (path) {
    case RealFftPath::Avx512:
      return realfft_avx512::inverse(st, specRe, specIm, out) == st.n;
    case RealFftPath::Avx2:
      return realfft_avx2::inverse(st, specRe, specIm, out) == st.n;
    case RealFftPath::Portable:
      return realfft_steps::inverseWhole<V4>(st, specRe, specIm, out) == st.n;
    case RealFftPath::Scalar:
      realfft_steps::inverse<float>(st, specRe, specIm, out);
      return true;
  }
  return false;
}

// The widest path that cpu_level allows, down to the scalar steps.
RealFftPath widest() {
  const CpuLevel level = cpu_level();
  if (level >= CpuLevel::Avx512) return RealFftPath::Avx512;
  if (level >= CpuLevel::Avx2) return RealFftPath::Avx2;
  return RealFftPath::Portable;
}

bool available(RealFftPath path) {
  if (path == RealFftPath::Avx512) return cpu_level() >= CpuLevel::Avx512;
  if (path == RealFftPath::Avx2) return cpu_level() >= CpuLevel::Avx2;
  return true;
}

}  // namespace

RealFftState* realfft_create(int n) {
  if (n < REALFFT_MIN_SIZE || n > REALFFT_MAX_SIZE || (n & (n - 1)) != 0) return nullptr;
  RealFftState* st = new (std::nothrow) RealFftState();
  if (st == nullptr) return nullptr;
  const int half = n / 2;
  const int quarter = half / 4;
  st->n = n;
  st->half = half;
  int log2Half = 0;
  while ((1 << log2Half) < half) log2Half++;
  st->radix4 = log2Half / 2;
  st->radix2 = (log2Half & 1) != 0;

  // Count the tables, then carve them from one block.
  size_t total = 4 * padded(half) + 2 * padded(half);
  int entries[REALFFT_MAX_PASSES] = {};
  for (int t = 0; t < st->radix4; t++) {
    const int s = 1 << (2 * t);
    const bool perValue = s < realfft_internal::kPerValueBelow;
    entries[t] = perValue ? quarter : quarter / s;
    total += 6 * padded(static_cast<size_t>(entries[t]));
  }
  st->storage.reset(new (std::nothrow) float[total + kAlign]());
  if (!st->storage) {
    delete st;
    return nullptr;
  }
  float* at = st->storage.get();
  at += (kAlign - (reinterpret_cast<uintptr_t>(at) / sizeof(float)) % kAlign) % kAlign;
  auto take = [&at](size_t floats) {
    float* p = at;
    at += padded(floats);
    return p;
  };
  for (int b = 0; b < 2; b++) {
    st->workRe[b] = take(half);
    st->workIm[b] = take(half);
  }
  float* hc = take(half);
  float* hs = take(half);
  for (int k = 0; k < half; k++) {
    hc[k] = static_cast<float>(0.5 * std::cos(kTwoPi * k / n));
    hs[k] = static_cast<float>(0.5 * std::sin(kTwoPi * k / n));
  }
  st->splitCos = hc;
  st->splitSin = hs;
  for (int t = 0; t < st->radix4; t++) {
    const int s = 1 << (2 * t);
    const int length = half / s;  // the length of the sub-transforms this pass starts
    RealFftPass& pass = st->pass[t];
    pass.perValue = s < realfft_internal::kPerValueBelow;
    float* w[6];
    for (float*& table : w) table = take(static_cast<size_t>(entries[t]));
    for (int e = 0; e < entries[t]; e++) {
      const int p = pass.perValue ? e / s : e;
      for (int k = 1; k <= 3; k++) {
        const double angle = kTwoPi * k * p / length;
        w[2 * (k - 1)][e] = static_cast<float>(std::cos(angle));
        w[2 * (k - 1) + 1][e] = static_cast<float>(-std::sin(angle));
      }
    }
    pass.w1r = w[0];
    pass.w1i = w[1];
    pass.w2r = w[2];
    pass.w2i = w[3];
    pass.w3r = w[4];
    pass.w3i = w[5];
  }
  return st;
}

void realfft_destroy(RealFftState* state) {
  delete state;
}

int realfft_size(const RealFftState& state) {
  return state.n;
}

void realfft_forward(RealFftState& state, const float* x, const float* window, float* re, float* im) {
  for (int p = static_cast<int>(widest()); p > 0; p--)
    if (forwardBy(static_cast<RealFftPath>(p), state, x, window, re, im)) return;
  forwardBy(RealFftPath::Scalar, state, x, window, re, im);
}

void realfft_inverse(RealFftState& state, const float* specRe, const float* specIm, float* out) {
  for (int p = static_cast<int>(widest()); p > 0; p--)
    if (inverseBy(static_cast<RealFftPath>(p), state, specRe, specIm, out)) return;
  inverseBy(RealFftPath::Scalar, state, specRe, specIm, out);
}

bool realfft_forward_by(RealFftPath path, RealFftState& state, const float* x, const float* window, float* re,
                        float* im) {
  return available(path) && forwardBy(path, state, x, window, re, im);
}

bool realfft_inverse_by(RealFftPath path, RealFftState& state, const float* specRe, const float* specIm,
                        float* out) {
  return available(path) && inverseBy(path, state, specRe, specIm, out);
}
