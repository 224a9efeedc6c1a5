// The fine mode's AVX-512 kernels: the shared vector steps with sixteen lanes.
// atan2 and the finish are left to AVX2: GCC 12 turns their combined
// 512-bit comparisons into one scalar comparison per lane.
#include "cpu.h"
#include "fine_kernels.h"
// The steps take and return wide vectors without the target attribute, but
// every one is inlined into the kernels below, which carry it: no such
// vector ever crosses a call (GCC's note on how such vectors are passed is
// turned off for this file in CMakeLists.txt).
#include "fine_steps.h"

namespace {
typedef float V16 __attribute__((vector_size(64)));
}  // namespace

namespace fine_avx512 {

TAMBRINO_AVX512 int power(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n) {
  return fine_steps::power<V16>(lr, li, rr, ri, p, n);
}

TAMBRINO_AVX512 int rotate(const float* xr, const float* xi, const float* cr, const float* ci, const float* g,
                         float* yr, float* yi, int n) {
  return fine_steps::rotate<V16>(xr, xi, cr, ci, g, yr, yi, n);
}

TAMBRINO_AVX512 int overlapAdd(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq, int n) {
  return fine_steps::overlapAdd<V16>(acc, pacc, x, h, w, wq, n);
}

TAMBRINO_AVX512 int add(float* acc, const float* w, int n) {
  return fine_steps::add<V16>(acc, w, n);
}

TAMBRINO_AVX512 int ramp(float* a, float* b, const float* from, const float* step, int n, int chunk) {
  return fine_steps::ramp<V16>(a, b, from, step, n, chunk);
}

TAMBRINO_AVX512 int sincos(const float* angle, float* sine, float* cosine, int n) {
  return fine_steps::sincos<V16>(angle, sine, cosine, n);
}

TAMBRINO_AVX512 int onsets(const float* left, const float* right, int n, float last, float* energy, float* level) {
  return fine_steps::onsets<V16>(left, right, n, last, energy, level);
}

TAMBRINO_AVX512 int softPcm(const float* left, const float* right, int n, float gain, int16_t* dest, float& maxLevel) {
  return fine_steps::softPcm<V16>(left, right, n, gain, dest, maxLevel);
}

}  // namespace fine_avx512
