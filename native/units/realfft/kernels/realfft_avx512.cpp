// The real transform's AVX-512 kernels: the shared steps with sixteen lanes.
#include "cpu.h"
#include "realfft_kernels.h"
// The steps take and return wide vectors without the target attribute, but
// every one is inlined into the kernels below, which carry it: no such
// vector ever crosses a call, so the calling convention the warning is
// about never applies.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "realfft_steps.h"

namespace {
typedef float V16 __attribute__((vector_size(64)));
constexpr int kLanes16 = 16;
}  // namespace

namespace realfft_avx512 {

TAMBRINO_AVX512 int forward(RealFftState& s, const float* x, const float* window, float* re, float* im) {
  if (s.half / 4 < kLanes16) return 0;
  realfft_steps::forward<V16>(s, x, window, re, im);
  return s.n;
}

TAMBRINO_AVX512 int inverse(RealFftState& s, const float* specRe, const float* specIm, float* out) {
  if (s.half / 4 < kLanes16) return 0;
  realfft_steps::inverse<V16>(s, specRe, specIm, out);
  return s.n;
}

}  // namespace realfft_avx512
