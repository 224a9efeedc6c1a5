// The fine mode's AVX2 kernels: the shared vector steps with eight lanes.
#include "cpu.h"
#include "fine_kernels.h"
// The steps take and return wide vectors without the target attribute, but
// every one is inlined into the kernels below, which carry it: no such
// vector ever crosses a call (GCC's note on how such vectors are passed is
// turned off for this file in CMakeLists.txt).
#include "fine_steps.h"

namespace {
typedef float V8 __attribute__((vector_size(32)));
}  // namespace

namespace fine_avx2 {

TAMBRINO_AVX2 int power(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n) {
  return fine_steps::power<V8>(lr, li, rr, ri, p, n);
}

TAMBRINO_AVX2 int rotate(const float* xr, const float* xi, const float* cr, const float* ci, const float* g,
                         float* yr, float* yi, int n) {
  return fine_steps::rotate<V8>(xr, xi, cr, ci, g, yr, yi, n);
}

TAMBRINO_AVX2 int overlapAdd(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq, int n) {
  return fine_steps::overlapAdd<V8>(acc, pacc, x, h, w, wq, n);
}

TAMBRINO_AVX2 int add(float* acc, const float* w, int n) {
  return fine_steps::add<V8>(acc, w, n);
}

TAMBRINO_AVX2 int finish(float* a, float* b, float* pa, float* pb, float* w, float* s, int n, int chunk,
                         float* outSums, float* carriedSums) {
  return fine_steps::finish<V8>(a, b, pa, pb, w, s, n, chunk, outSums, carriedSums);
}

TAMBRINO_AVX2 int ramp(float* a, float* b, const float* from, const float* step, int n, int chunk) {
  return fine_steps::ramp<V8>(a, b, from, step, n, chunk);
}

TAMBRINO_AVX2 int nyquist(const float* x, const float* w, int n, float* lanes) {
  return fine_steps::nyquist<V8>(x, w, n, lanes);
}

TAMBRINO_AVX2 int atan2(const float* y, const float* x, float* out, int n) {
  return fine_steps::atan2<V8>(y, x, out, n);
}

TAMBRINO_AVX2 int sincos(const float* angle, float* sine, float* cosine, int n) {
  return fine_steps::sincos<V8>(angle, sine, cosine, n);
}

TAMBRINO_AVX2 int onsets(const float* left, const float* right, int n, float last, float* energy, float* level) {
  return fine_steps::onsets<V8>(left, right, n, last, energy, level);
}

TAMBRINO_AVX2 int softPcm(const float* left, const float* right, int n, float gain, int16_t* dest, float& maxLevel) {
  return fine_steps::softPcm<V8>(left, right, n, gain, dest, maxLevel);
}

}  // namespace fine_avx2
