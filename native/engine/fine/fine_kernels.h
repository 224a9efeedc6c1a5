// The fine mode's per-bin and per-sample steps: the power of both channels,
// the rotation of the bins, the overlap-add, its normalisation and the power
// the frames carry, the Nyquist bin, and the atan2 and sine/cosine of the
// peaks. The vector steps are written once (kernels/fine_steps.h) and
// compiled with 128-bit vectors for the portable path, with AVX2
// (fine_avx2.cpp) and with AVX-512 (fine_avx512.cpp, AVX2 finishing what its
// 16 lanes leave, and taking whole the Nyquist bin's eight-lane sums, atan2
// and the carried power); the scalar steps are their reference. Every path
// makes the same single-precision operations in the same order (no fused
// multiply-add), so all give the same results.
//
// Every vector kernel follows the engine's one convention: it does what it
// can in whole vectors and returns how much it did; the scalar step
// finishes.
//
// Owns: nothing (pure functions over caller-given arrays).
// Threads: any; each call takes the instruction set that cpu_level() allows
// at the time.
// Audio path: allocates, locks and logs nothing.
#pragma once

struct FineKernels {
  // p = lr^2 + li^2 (+ rr^2 + ri^2 when rr is not null).
  void (*power)(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n);
  // y = x * (cr + i ci), times g unless g is null.
  void (*rotate)(const float* xr, const float* xi, const float* cr, const float* ci, const float* g,
                 float* yr, float* yi, int n);
  void (*addProduct)(float* acc, const float* x, const float* w, int n);  // acc += x * w
  void (*add)(float* acc, const float* w, int n);                         // acc += w
  // a (and b unless null) divided by sum where sum > 1e-3, else 0; sum cleared.
  void (*normalise)(float* a, float* b, float* sum, int n);
  // p = p / s where w > 1e-3 and s > 0, else 0: the power the frames carry,
  // from the overlap-added power p, its window power sum s and window sum w.
  void (*carried)(float* p, const float* w, const float* s, int n);
  // Sum of (-1)^k x[k] w[k], n a multiple of 8.
  float (*nyquist)(const float* x, const float* w, int n);
  void (*addAlternating)(float* x, float h, int n);  // x[k] += (-1)^k h
  // atan2(y, x) to about 1e-7 rad (0 for 0/0).
  void (*atan2)(const float* y, const float* x, float* out, int n);
  // sin and cos of angles within a few turns, to about 1e-7 (NaN for a NaN).
  void (*sincos)(const float* angle, float* sine, float* cosine, int n);
};

// The widest steps that cpu_level() allows at each call.
const FineKernels& fine_kernels();

// One path, for tests: the scalar steps alone (the reference), the portable
// vectors, AVX2 or AVX-512 (only where the processor has it).
enum class FinePath { Scalar, Portable, Avx2, Avx512 };
FineKernels fine_kernels_for(FinePath path);

namespace fine_internal {
// The polynomials' constants (atan2 and the sine/cosine reduction).
constexpr float kPiF = 3.14159265358979f;
constexpr float kHalfPiF = 1.57079632679490f;
constexpr float kQuarterPiF = 0.785398163397448f;
constexpr float kFourOverPiF = 1.27323954473516f;
constexpr float kDp1 = 0.78515625f;
constexpr float kDp2 = 2.4187564849853515625e-4f;
constexpr float kDp3 = 3.77489497744594108e-8f;
}  // namespace fine_internal

namespace fine_avx2 {
int power(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n);
int rotate(const float* xr, const float* xi, const float* cr, const float* ci, const float* g, float* yr,
           float* yi, int n);
int addProduct(float* acc, const float* x, const float* w, int n);
int add(float* acc, const float* w, int n);
int normalise(float* a, float* b, float* sum, int n);
int carried(float* p, const float* w, const float* s, int n);
// Adds into lanes[0..7] (k mod 8) as the portable step does.
int nyquist(const float* x, const float* w, int n, float* lanes);
int addAlternating(float* x, float h, int n);
int atan2(const float* y, const float* x, float* out, int n);
int sincos(const float* angle, float* sine, float* cosine, int n);
}  // namespace fine_avx2

// Sixteen lanes; no Nyquist kernel (its sums keep eight lanes), and atan2
// and the carried power go to AVX2 (see fine_avx512.cpp).
namespace fine_avx512 {
int power(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n);
int rotate(const float* xr, const float* xi, const float* cr, const float* ci, const float* g, float* yr,
           float* yi, int n);
int addProduct(float* acc, const float* x, const float* w, int n);
int add(float* acc, const float* w, int n);
int normalise(float* a, float* b, float* sum, int n);
int addAlternating(float* x, float h, int n);
int sincos(const float* angle, float* sine, float* cosine, int n);
}  // namespace fine_avx512
