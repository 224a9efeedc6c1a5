// The real transform's AVX-512 kernels: the shared steps with sixteen lanes.
#include "cpu.h"
#include "realfft_kernels.h"
// The steps take and return wide vectors without the target attribute, but
// every one is inlined into the kernels below, which carry it: no such
// vector ever crosses a call (GCC's note on how such vectors are passed is
// turned off for this file in CMakeLists.txt).
#include "realfft_steps.h"

namespace {
typedef float V16 __attribute__((vector_size(64)));
}  // namespace

TAMBRINO_AVX512 int realfft_avx512::forward(RealFftState& s, const float* x, const float* window, float* re, float* im,
                                            int bins) {
  return realfft_steps::forwardWhole<V16>(s, x, window, re, im, bins);
}

TAMBRINO_AVX512 int realfft_avx512::inverse(RealFftState& s, const float* specRe, const float* specIm, float* out) {
  return realfft_steps::inverseWhole<V16>(s, specRe, specIm, out);
}
