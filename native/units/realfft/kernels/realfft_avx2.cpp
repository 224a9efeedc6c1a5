// The real transform's AVX2 kernels: the shared steps with eight lanes.
#include "cpu.h"
#include "realfft_kernels.h"
// The steps take and return wide vectors without the target attribute, but
// every one is inlined into the kernels below, which carry it: no such
// vector ever crosses a call, so the calling convention the warning is
// about never applies.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "realfft_steps.h"

namespace {
typedef float V8 __attribute__((vector_size(32)));
constexpr int kLanes8 = 8;
}  // namespace

namespace realfft_avx2 {

TAMBRINO_AVX2 int forward(RealFftState& s, const float* x, const float* window, float* re, float* im) {
  if (s.half / 4 < kLanes8) return 0;
  realfft_steps::forward<V8>(s, x, window, re, im);
  return s.n;
}

TAMBRINO_AVX2 int inverse(RealFftState& s, const float* specRe, const float* specIm, float* out) {
  if (s.half / 4 < kLanes8) return 0;
  realfft_steps::inverse<V8>(s, specRe, specIm, out);
  return s.n;
}

}  // namespace realfft_avx2
