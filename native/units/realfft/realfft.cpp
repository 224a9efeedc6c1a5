// The real transform's unit: set-up, the scalar and portable vector paths,
// and the dispatch to the kernels.
#include "realfft.h"

#include <algorithm>
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
// The work arrays lie this many floats more than their length apart: a pass
// reads one array and writes another at strides of a power of two, and
// arrays a multiple of 4 KiB apart would meet in the same cache sets (and
// stall loads behind stores to the same address modulo 4 KiB).
constexpr size_t kSkew = 48;
size_t padded(size_t floats) {
  return (floats + kAlign - 1) / kAlign * kAlign;
}

bool forwardBy(RealFftPath path, RealFftState& st, const float* x, const float* window, float* re, float* im,
               int bins) {
  switch (path) {
    case RealFftPath::Avx512:
      return realfft_avx512::forward(st, x, window, re, im, bins) == st.n;
    case RealFftPath::Avx2:
      return realfft_avx2::forward(st, x, window, re, im, bins) == st.n;
    case RealFftPath::Portable:
      return realfft_steps::forwardWhole<V4>(st, x, window, re, im, bins) == st.n;
    case RealFftPath::Scalar:
      realfft_steps::forward<float>(st, x, window, re, im, bins);
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

// The widest path that takes the frame, down to the scalar steps.
void forwardAny(RealFftState& st, const float* x, const float* window, float* re, float* im, int bins) {
  for (int p = static_cast<int>(widest()); p > 0; p--)
    if (forwardBy(static_cast<RealFftPath>(p), st, x, window, re, im, bins)) return;
  forwardBy(RealFftPath::Scalar, st, x, window, re, im, bins);
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
  st->n = n;
  st->half = half;
  int log2Half = 0;
  while ((1 << log2Half) < half) log2Half++;
  // The plan: radix-4 passes up to stride 16, where every path's vector lies
  // within one group; then radix 8 (fewer passes over the data), and a
  // radix-4 or radix-2 pass for what is left.
  int left = log2Half;
  int stride = 1;
  auto plan = [&](int radix, int bits) {
    st->pass[st->passes].radix = radix;
    st->pass[st->passes].stride = stride;
    st->pass[st->passes].perValue = stride < realfft_internal::kPerValueBelow;
    st->passes++;
    stride <<= bits;
    left -= bits;
  };
  while (left >= 2 && (stride < realfft_internal::kPerValueBelow || left == 2)) plan(4, 2);
  while (left >= 3) plan(8, 3);
  if (left == 2) plan(4, 2);
  if (left == 1) plan(2, 1);

  // Count the tables, then carve them from one block.
  size_t total = 4 * padded(half + kSkew) + 2 * padded(half);
  int entries[REALFFT_MAX_PASSES] = {};
  for (int t = 0; t < st->passes; t++) {
    const RealFftPass& pass = st->pass[t];
    if (pass.radix == 2) continue;
    entries[t] = pass.perValue ? half / pass.radix : half / pass.radix / pass.stride;
    total += 2 * (pass.radix - 1) * padded(static_cast<size_t>(entries[t]));
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
    st->workRe[b] = take(half + kSkew);
    st->workIm[b] = take(half + kSkew);
  }
  float* hc = take(half);
  float* hs = take(half);
  for (int k = 0; k < half; k++) {
    hc[k] = static_cast<float>(0.5 * std::cos(kTwoPi * k / n));
    hs[k] = static_cast<float>(0.5 * std::sin(kTwoPi * k / n));
  }
  st->splitCos = hc;
  st->splitSin = hs;
  for (int t = 0; t < st->passes; t++) {
    RealFftPass& pass = st->pass[t];
    if (pass.radix == 2) continue;
    const int s = pass.stride;
    const int length = half / s;  // the length of the sub-transforms this pass starts
    for (int k = 1; k < pass.radix; k++) {
      float* wr = take(static_cast<size_t>(entries[t]));
      float* wi = take(static_cast<size_t>(entries[t]));
      for (int e = 0; e < entries[t]; e++) {
        const int p = pass.perValue ? e / s : e;
        const double angle = kTwoPi * k * p / length;
        wr[e] = static_cast<float>(std::cos(angle));
        wi[e] = static_cast<float>(-std::sin(angle));
      }
      pass.wr[k - 1] = wr;
      pass.wi[k - 1] = wi;
    }
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
  forwardAny(state, x, window, re, im, state.half);
}

void realfft_forward_padded(RealFftState& state, const float* x, float* re, float* im, int bins) {
  forwardAny(state, x, nullptr, re, im, std::clamp(bins, 1, state.half));
}

void realfft_inverse(RealFftState& state, const float* specRe, const float* specIm, float* out) {
  for (int p = static_cast<int>(widest()); p > 0; p--)
    if (inverseBy(static_cast<RealFftPath>(p), state, specRe, specIm, out)) return;
  inverseBy(RealFftPath::Scalar, state, specRe, specIm, out);
}

bool realfft_forward_by(RealFftPath path, RealFftState& state, const float* x, const float* window, float* re,
                        float* im) {
  return available(path) && forwardBy(path, state, x, window, re, im, state.half);
}

bool realfft_forward_padded_by(RealFftPath path, RealFftState& state, const float* x, float* re, float* im,
                               int bins) {
  return available(path) && forwardBy(path, state, x, nullptr, re, im, std::clamp(bins, 1, state.half));
}

bool realfft_inverse_by(RealFftPath path, RealFftState& state, const float* specRe, const float* specIm,
                        float* out) {
  return available(path) && inverseBy(path, state, specRe, specIm, out);
}
