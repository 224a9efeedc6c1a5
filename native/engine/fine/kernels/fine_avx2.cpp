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

TAMBRINO_AVX2 int addProduct(float* acc, const float* x, const float* w, int n) {
  return fine_steps::addProduct<V8>(acc, x, w, n);
}

TAMBRINO_AVX2 int add(float* acc, const float* w, int n) {
  return fine_steps::add<V8>(acc, w, n);
}

TAMBRINO_AVX2 int normalise(float* a, float* b, float* sum, int n) {
  return fine_steps::normalise<V8>(a, b, sum, n);
}

TAMBRINO_AVX2 int carried(float* p, const float* w, const float* s, int n) {
  return fine_steps::carried<V8>(p, w, s, n);
}

TAMBRINO_AVX2 int nyquist(const float* x, const float* w, int n, float* lanes) {
  return fine_steps::nyquist<V8>(x, w, n, lanes);
}

TAMBRINO_AVX2 int addAlternating(float* x, float h, int n) {
  return fine_steps::addAlternating<V8>(x, h, n);
}

TAMBRINO_AVX2 int atan2(const float* y, const float* x, float* out, int n) {
  return fine_steps::atan2<V8>(y, x, out, n);
}

TAMBRINO_AVX2 int sincos(const float* angle, float* sine, float* cosine, int n) {
  return fine_steps::sincos<V8>(angle, sine, cosine, n);
}

}  // namespace fine_avx2
