// The fine mode's AVX-512 kernels: the shared vector steps with sixteen lanes.
// atan2 and the carried power are left to AVX2: GCC 12 turns their combined
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

TAMBRINO_AVX512 int addProduct(float* acc, const float* x, const float* w, int n) {
  return fine_steps::addProduct<V16>(acc, x, w, n);
}

TAMBRINO_AVX512 int add(float* acc, const float* w, int n) {
  return fine_steps::add<V16>(acc, w, n);
}

TAMBRINO_AVX512 int normalise(float* a, float* b, float* sum, int n) {
  return fine_steps::normalise<V16>(a, b, sum, n);
}

TAMBRINO_AVX512 int addAlternating(float* x, float h, int n) {
  return fine_steps::addAlternating<V16>(x, h, n);
}

TAMBRINO_AVX512 int sincos(const float* angle, float* sine, float* cosine, int n) {
  return fine_steps::sincos<V16>(angle, sine, cosine, n);
}

}  // namespace fine_avx512
