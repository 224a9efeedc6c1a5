// The fine mode's per-bin and per-sample steps: the power of both channels,
// the rotation of the bins, the overlap-add, its normalisation and the power
// the frames carry, the Nyquist bin, the atan2 and sine/cosine of the
// peaks, the onset detector's sums and the output's soft limiter. The vector steps are written once (kernels/fine_steps.h) and
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

#include <cstdint>

// Sums that the paths share are kept in sixteen lanes (value k in lane k mod
// 16, or one value a lane) and added by halves (fine_sum16): the same order
// on every path, whatever its vectors' width.
constexpr int kFineLanes = 16;

struct FineKernels {
  // p = lr^2 + li^2 (+ rr^2 + ri^2 when rr is not null).
  void (*power)(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n);
  // y = x * (cr + i ci), times g unless g is null.
  void (*rotate)(const float* xr, const float* xi, const float* cr, const float* ci, const float* g,
                 float* yr, float* yi, int n);
  // A frame overlap-added with its power beside it: v = x[k] + h for even k,
  // - h for odd k (the Nyquist bin put back), acc += v w, pacc += v^2 wq.
  void (*overlapAdd)(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq, int n);
  void (*add)(float* acc, const float* w, int n);  // acc += w
  // The output finished, in chunks of `chunk` (1..16) samples, the last one
  // possibly shorter: a (and b unless null) divided by the window sum w where
  // w > 1e-3 (else 0), the power carried pa (+ pb) divided by its window
  // power sum s where w > 1e-3 and s > 0 (else 0); w, s, pa and pb cleared.
  // Per chunk, into outSums and carriedSums: the sums of a^2 (+ b^2) as
  // divided and of the powers carried, each by fine_sum16 over its values.
  void (*finish)(float* a, float* b, float* pa, float* pb, float* w, float* s, int n, int chunk,
                 float* outSums, float* carriedSums);
  // a (and b unless null) times a gain ramped across each chunk of `chunk`
  // samples: from[c] + step[c] (j + 1) at the chunk's sample j.
  void (*ramp)(float* a, float* b, const float* from, const float* step, int n, int chunk);
  // Sum of (-1)^k x[k] w[k], n a multiple of 8.
  float (*nyquist)(const float* x, const float* w, int n);
  // atan2(y, x) to about 1e-7 rad (0 for 0/0).
  void (*atan2)(const float* y, const float* x, float* out, int n);
  // sin and cos of angles within a few turns, to about 1e-7 (NaN for a NaN).
  void (*sincos)(const float* angle, float* sine, float* cosine, int n);
  // The onset detector's sums: m = (left + right) / 2 (left when right is
  // null), d its first difference (from last before sample 0), d^2 added
  // into energy[(at + k) mod 16] and m^2 into level[(at + k) mod 16].
  // Returns the last m.
  float (*onsets)(const float* left, const float* right, int n, int64_t at, float last, float* energy,
                  float* level);
  // The output to 16 bits: x = s * gain, beyond a level of 0.95 bent to
  // 1 - 0.05 / (1 + (|x| - 0.95) / 0.05) with its sign (a NaN written 0),
  // at dest[k] (right null) or interleaved at dest[2k] and dest[2k + 1].
  // Returns the largest of maxLevel and the levels |x| (a NaN level left out).
  float (*softPcm)(const float* left, const float* right, int n, float gain, int16_t* dest, float maxLevel);
};

// The sum of 16 values by halves (x[j] + x[j + 8], then + 4, + 2, + 1); x
// is used as work space.
inline float fine_sum16(float* x) {
  for (int half = kFineLanes / 2; half >= 1; half /= 2)
    for (int j = 0; j < half; j++) x[j] = x[j] + x[j + half];
  return x[0];
}

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
int overlapAdd(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq, int n);
int add(float* acc, const float* w, int n);
// Whole chunks of 16 only (none for another chunk size).
int finish(float* a, float* b, float* pa, float* pb, float* w, float* s, int n, int chunk, float* outSums,
           float* carriedSums);
int ramp(float* a, float* b, const float* from, const float* step, int n, int chunk);
// Adds into lanes[0..7] (k mod 8) as the portable step does.
int nyquist(const float* x, const float* w, int n, float* lanes);
int atan2(const float* y, const float* x, float* out, int n);
int sincos(const float* angle, float* sine, float* cosine, int n);
// From a multiple of 16, whole groups of 16; last is the mean before sample 0.
int onsets(const float* left, const float* right, int n, float last, float* energy, float* level);
int softPcm(const float* left, const float* right, int n, float gain, int16_t* dest, float& maxLevel);
}  // namespace fine_avx2

// Sixteen lanes; no Nyquist kernel (its sums keep eight lanes), and atan2
// and the finish go to AVX2 (see fine_avx512.cpp).
namespace fine_avx512 {
int power(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n);
int rotate(const float* xr, const float* xi, const float* cr, const float* ci, const float* g, float* yr,
           float* yi, int n);
int overlapAdd(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq, int n);
int add(float* acc, const float* w, int n);
int ramp(float* a, float* b, const float* from, const float* step, int n, int chunk);
int sincos(const float* angle, float* sine, float* cosine, int n);
int onsets(const float* left, const float* right, int n, float last, float* energy, float* level);
int softPcm(const float* left, const float* right, int n, float gain, int16_t* dest, float& maxLevel);
}  // namespace fine_avx512
