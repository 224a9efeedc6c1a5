#include "vocoder.h"

#include <immintrin.h>
#include <math.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "eq.h"
#include "fft.h"
#include "spectrum.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr int kChannels = 2;
constexpr int kMinWinSize = 8;  // the peak search reads mag[0..2] and two sentinels

// Heap arrays aligned for vector loads; zero-filled at allocation.
struct AlignedFree {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Buffer = std::unique_ptr<T[], AlignedFree>;

template <typename T>
Buffer<T> allocZeroed(int count) {
  const size_t bytes = (sizeof(T) * static_cast<size_t>(count) + 63) / 64 * 64;
  void* p = std::aligned_alloc(64, bytes);
  if (p != nullptr) std::memset(p, 0, bytes);
  return Buffer<T>(static_cast<T*>(p));
}

// The input history and the overlap-add accumulator are windows of one frame
// that slide forward through a store of kSlideFrames frames; only when a
// window reaches the store's end is it moved back to the front, instead of
// moving a whole frame at every hop.
constexpr int kSlideFrames = 4;

// Everything that vocoder_init makes, so that a new set can be built in full
// before the old one is given up.
struct Buffers {
  Buffer<float> window;
  Buffer<float> windowOut;
  Buffer<float> omega;
  Buffer<float> phi0s[kChannels];
  Buffer<float> psis[kChannels];
  Buffer<float> inputs[kChannels];
  Buffer<float> waves[kChannels];
  Buffer<float> mags[kChannels];
  Buffer<float> phis[kChannels];
  Buffer<int> peakBins[kChannels];
  Buffer<int> valleyBins[kChannels];
  // Work buffers of a frame, shared by the channels (never processed at the
  // same time): the windowed frame, the transform in split form (real parts,
  // then imaginary parts), the synthesised half spectrum, the rotation of
  // every bin's region, and the equaliser's gains.
  Buffer<float> frame;
  Buffer<float> transform;
  Buffer<float> synthesis;
  Buffer<float> rotation;
  Buffer<float> peakRotation;
  Buffer<float> gains;
};

Buffers buffers;
int winSize = 0;
int winHalf = 0;
int stepIn = 0;
int stepOut = 0;
int inIndexes[kChannels] = {0, 0};
// Where each channel's history and overlap-add windows start in their stores.
int inputStarts[kChannels] = {0, 0};
int waveStarts[kChannels] = {0, 0};
// The equaliser's gains as copied for the frames, and the version they had.
bool gainsCopied = false;
unsigned gainsVersion = 0;
double lastStretchFactor = 0.0;
bool initialized = false;
// The AVX2 steps run where the processor has AVX2 (checked at set-up); tests
// may switch them off.
bool vectorAllowed = true;
bool vectorPath = false;
bool wideAllowed = true;
bool wideVectors = false;  // AVX-512 as well

bool isPowerOfTwo(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

bool cpuHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

bool cpuHasAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}

bool allocate(Buffers& b, int size) {
  b.window = allocZeroed<float>(size);
  b.windowOut = allocZeroed<float>(size);
  b.omega = allocZeroed<float>(size);
  b.frame = allocZeroed<float>(size);
  b.transform = allocZeroed<float>(2 * size);
  b.synthesis = allocZeroed<float>(size);
  b.rotation = allocZeroed<float>(size + 8);  // room for the region fill
  b.peakRotation = allocZeroed<float>(size);
  b.gains = allocZeroed<float>(size);
  if (!b.window || !b.windowOut || !b.omega || !b.frame || !b.transform || !b.synthesis || !b.rotation ||
      !b.peakRotation || !b.gains)
    return false;
  for (int ch = 0; ch < kChannels; ch++) {
    b.phi0s[ch] = allocZeroed<float>(size);
    b.psis[ch] = allocZeroed<float>(size);
    b.inputs[ch] = allocZeroed<float>(kSlideFrames * size);
    b.waves[ch] = allocZeroed<float>(kSlideFrames * size);
    b.mags[ch] = allocZeroed<float>(size / 2 + 2);
    b.phis[ch] = allocZeroed<float>(size);
    b.peakBins[ch] = allocZeroed<int>(size);
    b.valleyBins[ch] = allocZeroed<int>(size + 1);
    if (!b.phi0s[ch] || !b.psis[ch] || !b.inputs[ch] || !b.waves[ch] || !b.mags[ch] || !b.phis[ch] ||
        !b.peakBins[ch] || !b.valleyBins[ch]) {
      return false;
    }
  }
  return true;
}

// Periodic Hann window; the synthesis window carries the 2/N that turns the
// unscaled one-sided inverse transform back into a windowed frame.
void initWindow(float* window, float* windowOut, int size) {
  for (int n = 0; n < size; n++) {
    window[n] = static_cast<float>(0.5 + (-0.5) * std::cos(static_cast<double>(n) * kTwoPi / size));
    windowOut[n] = (window[n] + window[n]) / static_cast<float>(size);
  }
}

// Nominal phase advance of each bin over one analysis hop.
void initOmega(float* omega, int size, int step) {
  const double perBin = static_cast<double>(step) * kTwoPi;
  for (int n = 0; n < size; n++) omega[n] = static_cast<float>(static_cast<double>(n) * perBin / size);
}

void resetPhases() {
  for (int ch = 0; ch < kChannels; ch++) {
    std::fill_n(buffers.phi0s[ch].get(), winSize, 0.0f);
    std::fill_n(buffers.psis[ch].get(), winSize, 0.0f);
  }
}

// Subtracts an even multiple of pi: non-negative phases land in [-pi, pi),
// negative ones in (-pi, pi]. The quotient is truncated to 64 bits.
float princarg(float phase) {
  const double quotient = static_cast<double>(phase) / kPi;
  // Only a non-finite phase (from non-finite input) gets here: converting it
  // to an integer would be undefined, and no multiple of pi would change it.
  if (!(std::fabs(quotient) < 9.2e18)) return phase;
  int64_t qpd = static_cast<int64_t>(quotient);
  if (qpd >= 0) {
    qpd += qpd & 1;
  } else {
    qpd -= qpd & 1;
  }
  return static_cast<float>(static_cast<double>(phase) - static_cast<double>(qpd) * kPi);
}

// The smallest float whose quotient by pi truncates to m or more. The
// quotient (a correctly rounded division) never falls as the phase rises, so
// for a phase p >= 0 the truncated quotient is m or more exactly when
// p >= princargThreshold(m); and division is symmetric in sign.
float princargThreshold(int m) {
  auto truncated = [](float x) { return static_cast<int64_t>(static_cast<double>(x) / kPi); };
  float t = static_cast<float>(m * kPi);
  while (truncated(t) >= m) t = std::nextafter(t, 0.0f);
  while (truncated(t) < m) t = std::nextafter(t, INFINITY);
  return t;
}

// A phase p with |p| below kThreePi has the quotient 0, 1 or 2 (or their
// negatives), so princarg subtracts 0 or 2 pi with the phase's sign exactly
// when |p| >= kOnePi: a comparison instead of a division.
const float kOnePi = princargThreshold(1);
const float kThreePi = princargThreshold(3);

// The angle by which a peak's region turns: the peak's measured phase
// advance, stretched, added to its previous synthesis phase.
float peakRotation(const float* phi, const float* phi0, const float* psi, const float* omega, int peak,
                   float stretchFactor) {
  const float pomega = omega[peak];
  const float peakDeltaPhi = princarg(phi[peak] - phi0[peak] - pomega);
  const float peakTargetPhase = princarg((peakDeltaPhi + pomega) * stretchFactor + psi[peak]);
  return princarg(peakTargetPhase - phi[peak]);
}

// The analysis phase of one bin, as the C library computes it.
float phaseOf(float real, float imag) {
  return static_cast<float>(std::atan2(static_cast<double>(imag), static_cast<double>(real)));
}

// One synthesised bin, as the C library computes it.
void rectOf(float magTmp, float psiTmp, float* re, float* im) {
  double s;
  double c;
  ::sincos(static_cast<double>(psiTmp), &s, &c);
  *re = static_cast<float>(static_cast<double>(magTmp) * c);
  *im = static_cast<float>(static_cast<double>(magTmp) * s);
}

// ---------------------------------------------------------------------------
// Scalar steps: the definition of every result.

void analyzeScalar(const float* re, const float* im, float* mag, float* phi, int half) {
  for (int k = 0; k < half; k++) {
    const float real = re[k];
    const float imag = im[k];
    const float power = real * real + imag * imag;
    mag[k] = sqrtf(power);
    phi[k] = phaseOf(real, imag);
  }
}

void rotateScalar(const float* phi, const float* rot, float* psi, int from, int to) {
  for (int b = from; b < to; b++) psi[b] = princarg(phi[b] + rot[b]);
}

void synthesizeScalar(const float* mag, const float* gains, const float* psi, float* re, float* im, int from,
                      int to) {
  for (int k = from; k < to; k++) {
    const float magTmp = gains != nullptr ? mag[k] * gains[k] : mag[k];
    rectOf(magTmp, psi[k], re + k, im + k);
  }
}

// ---------------------------------------------------------------------------
// AVX2 steps. They give the scalar steps' results bit for bit:
// - float and double additions, multiplications, divisions and square roots
//   round the same in a vector lane; no fused multiply-add is used (the
//   target does not enable FMA and contraction is off);
// - atan2, sin and cos are evaluated by polynomials whose error is far below
//   the distance that the rounding to float needs: a result is kept only
//   when every value within a margin around it (the bound of this evaluation
//   plus the C library's own) rounds to the same float. Otherwise, and for
//   every non-finite or out-of-range input, the lane is recomputed with the C
//   library. The margin, 2^-40 of the value, is more than 1000 times the
//   error of either evaluation (a few units in the last place of a double).

#define VOC_AVX2 __attribute__((target("avx2")))

// Relative margin around a double result; see above.
constexpr double kMargin = 9.094947017729282e-13;  // 2^-40

// Lanes (as a 4-bit mask) whose double result r does not round to float
// unambiguously within the margin, or is NaN.
VOC_AVX2 inline int ambiguousLanes(__m256d r, __m128 f) {
  const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
  const __m256d d = _mm256_mul_pd(_mm256_and_pd(r, absMask), _mm256_set1_pd(kMargin));
  const __m128 lo = _mm256_cvtpd_ps(_mm256_sub_pd(r, d));
  const __m128 hi = _mm256_cvtpd_ps(_mm256_add_pd(r, d));
  const __m128 same = _mm_and_ps(_mm_cmp_ps(lo, f, _CMP_EQ_OQ), _mm_cmp_ps(hi, f, _CMP_EQ_OQ));
  return ~_mm_movemask_ps(same) & 0xf;
}

VOC_AVX2 inline __m256d splat(double v) {
  return _mm256_set1_pd(v);
}

VOC_AVX2 inline __m256d select(__m256d mask, __m256d ifTrue, __m256d ifFalse) {
  return _mm256_blendv_pd(ifFalse, ifTrue, mask);
}

// atan2(y, x) for finite, non-zero x and y (other lanes give garbage): atan
// of min(|x|,|y|)/max(|x|,|y|) by the classic reduction to |u| < 7/16 around
// 0, atan(1/2) and atan(1) and an odd polynomial of degree 23, then the
// octant.
VOC_AVX2 inline __m256d atan2Kernel(__m256d y, __m256d x) {
  const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
  const __m256d ax = _mm256_and_pd(x, absMask);
  const __m256d ay = _mm256_and_pd(y, absMask);
  const __m256d swap = _mm256_cmp_pd(ay, ax, _CMP_GT_OQ);
  // t = lo / hi in [0, 1] picks the reduction; the reduced argument is then
  // formed from lo and hi with a single division. The thresholds compare
  // exactly (7/16 and 11/16 of a float need no rounding in double), and
  // 2 lo - hi and lo - hi are exact where they are used (Sterbenz's lemma).
  const __m256d lo = _mm256_min_pd(ax, ay);
  const __m256d hi = _mm256_max_pd(ax, ay);
  const __m256d two = _mm256_set1_pd(2.0);
  const __m256d near1 = _mm256_cmp_pd(lo, _mm256_mul_pd(hi, _mm256_set1_pd(0.6875)), _CMP_GE_OQ);
  const __m256d nearHalf =
      _mm256_andnot_pd(near1, _mm256_cmp_pd(lo, _mm256_mul_pd(hi, _mm256_set1_pd(0.4375)), _CMP_GE_OQ));
  // u = t, (2t - 1) / (2 + t) or (t - 1) / (t + 1).
  const __m256d num =
      select(near1, _mm256_sub_pd(lo, hi), select(nearHalf, _mm256_sub_pd(_mm256_mul_pd(two, lo), hi), lo));
  const __m256d den =
      select(near1, _mm256_add_pd(lo, hi), select(nearHalf, _mm256_add_pd(_mm256_mul_pd(two, hi), lo), hi));
  const __m256d u = _mm256_div_pd(num, den);
  const __m256d atanHi = select(near1, _mm256_set1_pd(7.85398163397448278999e-01),
                                _mm256_and_pd(nearHalf, _mm256_set1_pd(4.63647609000806093515e-01)));
  const __m256d atanLo = select(near1, _mm256_set1_pd(3.06161699786838301793e-17),
                                _mm256_and_pd(nearHalf, _mm256_set1_pd(2.26987774529616870924e-17)));
  const __m256d z = _mm256_mul_pd(u, u);
  const __m256d w = _mm256_mul_pd(z, z);
  __m256d s1 =
      _mm256_add_pd(splat(4.97687799461593236017e-02), _mm256_mul_pd(w, splat(1.62858201153657823623e-02)));
  s1 = _mm256_add_pd(splat(6.66107313738753120669e-02), _mm256_mul_pd(w, s1));
  s1 = _mm256_add_pd(splat(9.09088713343650656196e-02), _mm256_mul_pd(w, s1));
  s1 = _mm256_add_pd(splat(1.42857142725034663711e-01), _mm256_mul_pd(w, s1));
  s1 = _mm256_add_pd(splat(3.33333333333329318027e-01), _mm256_mul_pd(w, s1));
  s1 = _mm256_mul_pd(z, s1);
  __m256d s2 =
      _mm256_add_pd(splat(-5.83357013379057348645e-02), _mm256_mul_pd(w, splat(-3.65315727442169155270e-02)));
  s2 = _mm256_add_pd(splat(-7.69187620504482999495e-02), _mm256_mul_pd(w, s2));
  s2 = _mm256_add_pd(splat(-1.11111104054623557880e-01), _mm256_mul_pd(w, s2));
  s2 = _mm256_add_pd(splat(-1.99999999998764832476e-01), _mm256_mul_pd(w, s2));
  s2 = _mm256_mul_pd(w, s2);
  __m256d r =
      _mm256_sub_pd(atanHi, _mm256_sub_pd(_mm256_sub_pd(_mm256_mul_pd(u, _mm256_add_pd(s1, s2)), atanLo), u));
  // |y| > |x|: pi/2 - r; then x < 0: pi - r; then the sign of y.
  r = select(
      swap,
      _mm256_sub_pd(splat(1.57079632679489655800e+00), _mm256_sub_pd(r, splat(6.12323399573676603587e-17))),
      r);
  const __m256d xNegative = _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_LT_OQ);
  r = select(
      xNegative,
      _mm256_sub_pd(splat(3.14159265358979311600e+00), _mm256_sub_pd(r, splat(1.22464679914735317720e-16))),
      r);
  const __m256d signMask =
      _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ULL)));
  return _mm256_or_pd(r, _mm256_and_pd(y, signMask));
}

VOC_AVX2 void analyzeAvx2(const float* re, const float* im, float* mag, float* phi, int half) {
  const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
  const __m256d signMask =
      _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ULL)));
  const __m256d inf = _mm256_set1_pd(INFINITY);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d pi = _mm256_set1_pd(kPi);
  const __m256d halfPi = _mm256_set1_pd(kPi / 2);
  int k = 0;
  for (; k + 4 <= half; k += 4) {
    const __m128 re4 = _mm_loadu_ps(re + k);
    const __m128 im4 = _mm_loadu_ps(im + k);
    _mm_storeu_ps(mag + k, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(re4, re4), _mm_mul_ps(im4, im4))));

    const __m256d x = _mm256_cvtps_pd(re4);
    const __m256d y = _mm256_cvtps_pd(im4);
    __m256d r = atan2Kernel(y, x);
    // Zeros, exactly as the C library defines them: atan2(+-0, x) is +-0
    // for x = +0 or x > 0 and +-pi for x = -0 or x < 0; atan2(y, +-0) is
    // +-pi/2 for y other than zero.
    const __m256d ySign = _mm256_and_pd(y, signMask);
    const __m256d yZero = _mm256_cmp_pd(y, zero, _CMP_EQ_OQ);
    const __m256d xZero = _mm256_cmp_pd(x, zero, _CMP_EQ_OQ);
    const __m256d xSignSet = _mm256_castsi256_pd(
        _mm256_cmpgt_epi64(_mm256_setzero_si256(), _mm256_castpd_si256(x)));  // sign bit of x
    r = select(xZero, _mm256_or_pd(halfPi, ySign), r);
    r = select(yZero, select(xSignSet, _mm256_or_pd(pi, ySign), y), r);
    const __m128 f = _mm256_cvtpd_ps(r);
    _mm_storeu_ps(phi + k, f);

    const __m256d finite = _mm256_and_pd(_mm256_cmp_pd(_mm256_and_pd(x, absMask), inf, _CMP_LT_OQ),
                                         _mm256_cmp_pd(_mm256_and_pd(y, absMask), inf, _CMP_LT_OQ));
    int redo = ambiguousLanes(r, f) | (~_mm256_movemask_pd(finite) & 0xf);
    while (redo != 0) {
      const int lane = __builtin_ctz(redo);
      redo &= redo - 1;
      phi[k + lane] = phaseOf(re[k + lane], im[k + lane]);
    }
  }
  for (; k < half; k++) {
    mag[k] = sqrtf(re[k] * re[k] + im[k] * im[k]);
    phi[k] = phaseOf(re[k], im[k]);
  }
}

// sin and cos of |x| <= 4: x = k pi/2 + r with |r| <= pi/4 (the reduction is
// exact: k pi/2 uses a 33-bit head of pi/2, so x - k * head is exact by
// Sterbenz's lemma, and the tail leaves an error far below a double's
// rounding), then the classic kernels (degree 13 and 14).
VOC_AVX2 inline void sinCosKernel(__m256d x, __m256d& sinx, __m256d& cosx) {
  const __m256d k = _mm256_round_pd(_mm256_mul_pd(x, splat(6.36619772367581382433e-01)),
                                    _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  const __m256d kZero = _mm256_cmp_pd(k, _mm256_setzero_pd(), _CMP_EQ_OQ);
  const __m256d reduced = _mm256_sub_pd(_mm256_sub_pd(x, _mm256_mul_pd(k, splat(1.57079632673412561417e+00))),
                                        _mm256_mul_pd(k, splat(6.07710050650619224932e-11)));
  const __m256d r = select(kZero, x, reduced);
  const __m256d z = _mm256_mul_pd(r, r);
  const __m256d w = _mm256_mul_pd(z, z);
  // sin(r) = r + r^3 (S1 + z (S2 + z S3 + z w (S5 + z S6) ... ))
  const __m256d sr = _mm256_add_pd(
      _mm256_add_pd(splat(8.33333333332248946124e-03),
                    _mm256_mul_pd(z, _mm256_add_pd(splat(-1.98412698298579493134e-04),
                                                   _mm256_mul_pd(z, splat(2.75573137070700676789e-06))))),
      _mm256_mul_pd(_mm256_mul_pd(z, w), _mm256_add_pd(splat(-2.50507602534068634195e-08),
                                                       _mm256_mul_pd(z, splat(1.58969099521155010221e-10)))));
  const __m256d v = _mm256_mul_pd(z, r);
  __m256d s = _mm256_add_pd(
      r, _mm256_mul_pd(v, _mm256_add_pd(splat(-1.66666666666666324348e-01), _mm256_mul_pd(z, sr))));
  // cos(r) = 1 - r^2/2 + r^4 C(r^2), with the rounding of 1 - r^2/2 recovered.
  const __m256d cr = _mm256_add_pd(
      _mm256_mul_pd(
          z, _mm256_add_pd(
                 splat(4.16666666666666019037e-02),
                 _mm256_mul_pd(z, _mm256_add_pd(splat(-1.38888888888741095749e-03),
                                                _mm256_mul_pd(z, splat(2.48015872894767294178e-05)))))),
      _mm256_mul_pd(
          _mm256_mul_pd(w, w),
          _mm256_add_pd(
              splat(-2.75573143513906633035e-07),
              _mm256_mul_pd(z, _mm256_add_pd(splat(2.08757232129817482790e-09),
                                             _mm256_mul_pd(z, splat(-1.13596475577881948265e-11)))))));
  const __m256d hz = _mm256_mul_pd(splat(0.5), z);
  const __m256d one = splat(1.0);
  const __m256d wc = _mm256_sub_pd(one, hz);
  __m256d co =
      _mm256_add_pd(wc, _mm256_add_pd(_mm256_sub_pd(_mm256_sub_pd(one, wc), hz), _mm256_mul_pd(z, cr)));
  // sin(+-0) is +-0 and cos(+-0) is 1 exactly.
  const __m256d xZero = _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_EQ_OQ);
  s = select(xZero, x, s);
  co = select(xZero, one, co);
  // Quadrant q = k mod 4: sin x = s, c, -s, -c and cos x = c, -s, -c, s.
  const __m256i q = _mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(k));
  const __m256i bit0 = _mm256_set1_epi64x(1);
  const __m256i bit1 = _mm256_set1_epi64x(2);
  const __m256d odd = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(q, bit0), bit0));
  const __m256d negSin = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(q, bit1), bit1));
  const __m256d negCos =
      _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(_mm256_add_epi64(q, bit0), bit1), bit1));
  const __m256d signMask =
      _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ULL)));
  sinx = _mm256_xor_pd(select(odd, co, s), _mm256_and_pd(negSin, signMask));
  cosx = _mm256_xor_pd(select(odd, s, co), _mm256_and_pd(negCos, signMask));
}

VOC_AVX2 void synthesizeAvx2(const float* mag, const float* gains, const float* psi, float* re, float* im,
                             int half) {
  const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
  const __m256d limit = _mm256_set1_pd(4.0);
  int k = 0;
  for (; k + 4 <= half; k += 4) {
    __m128 m4 = _mm_loadu_ps(mag + k);
    if (gains != nullptr) m4 = _mm_mul_ps(m4, _mm_loadu_ps(gains + k));
    const __m128 p4 = _mm_loadu_ps(psi + k);
    const __m256d x = _mm256_cvtps_pd(p4);
    const __m256d m = _mm256_cvtps_pd(m4);
    __m256d s;
    __m256d c;
    sinCosKernel(x, s, c);
    const __m256d pr = _mm256_mul_pd(m, c);
    const __m256d pi = _mm256_mul_pd(m, s);
    const __m128 fr = _mm256_cvtpd_ps(pr);
    const __m128 fi = _mm256_cvtpd_ps(pi);
    _mm_storeu_ps(re + k, fr);
    _mm_storeu_ps(im + k, fi);
    const __m256d inRange = _mm256_cmp_pd(_mm256_and_pd(x, absMask), limit, _CMP_LE_OQ);
    int redo = ambiguousLanes(pr, fr) | ambiguousLanes(pi, fi) | (~_mm256_movemask_pd(inRange) & 0xf);
    while (redo != 0) {
      const int lane = __builtin_ctz(redo);
      redo &= redo - 1;
      float magTmp;
      _mm_store_ss(&magTmp, _mm_permutevar_ps(m4, _mm_set1_epi32(lane)));
      rectOf(magTmp, psi[k + lane], re + k + lane, im + k + lane);
    }
  }
  synthesizeScalar(mag, gains, psi, re, im, k, half);
}

// psi[b] = princarg(phi[b] + rot[b]), the quotient truncated in 32 bits
// (the same value as in 64 bits while it fits, which is checked).
// princarg of four phases; fits has a lane bit set where the quotient fits
// in 32 bits (elsewhere the result is garbage).
//
// The quotient's truncation comes from the product with 1/pi, which differs
// from the correctly rounded quotient by a few units in the last place: when
// every value within 2^-40 of the product truncates to the same integer, so
// does the quotient. Only a phase within that distance of a multiple of pi
// (practically never) takes the division.
VOC_AVX2 inline __m128 princarg4(__m128 phase, int& fits) {
  const __m256d pi = _mm256_set1_pd(kPi);
  const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
  const __m256d p = _mm256_cvtps_pd(phase);
  __m256d q = _mm256_mul_pd(p, _mm256_set1_pd(1.0 / kPi));
  const __m256d d = _mm256_mul_pd(_mm256_and_pd(q, absMask), _mm256_set1_pd(kMargin));
  const __m128i below = _mm256_cvttpd_epi32(_mm256_sub_pd(q, d));
  const __m128i above = _mm256_cvttpd_epi32(_mm256_add_pd(q, d));
  if (_mm_movemask_epi8(_mm_cmpeq_epi32(below, above)) != 0xffff) q = _mm256_div_pd(p, pi);
  fits =
      _mm256_movemask_pd(_mm256_cmp_pd(_mm256_and_pd(q, absMask), _mm256_set1_pd(2147483647.0), _CMP_LT_OQ));
  const __m128i qi = _mm256_cvttpd_epi32(q);
  // Odd quotients move one step away from zero: q + odd, or q - odd below zero.
  const __m128i odd = _mm_and_si128(qi, _mm_set1_epi32(1));
  const __m128i sign = _mm_srai_epi32(qi, 31);
  const __m128i even = _mm_sub_epi32(_mm_add_epi32(qi, _mm_xor_si128(odd, sign)), sign);
  return _mm256_cvtpd_ps(_mm256_sub_pd(p, _mm256_mul_pd(_mm256_cvtepi32_pd(even), pi)));
}

// peakRotation for peaks[0 .. 4k-1], four at a time; returns how many were
// done. A lane whose quotient does not fit is recomputed by peakRotation.
VOC_AVX2 int peakRotationsAvx2(const float* phi, const float* phi0, const float* psi, const float* omega,
                               const int* peaks, int nPeaks, float stretchFactor, float* rotation) {
  const __m128 stretch = _mm_set1_ps(stretchFactor);
  int p = 0;
  for (; p + 4 <= nPeaks; p += 4) {
    const __m128i idx = _mm_loadu_si128(reinterpret_cast<const __m128i*>(peaks + p));
    const __m128 ph = _mm_i32gather_ps(phi, idx, 4);
    const __m128 pomega = _mm_i32gather_ps(omega, idx, 4);
    int fits1;
    int fits2;
    int fits3;
    const __m128 delta = princarg4(_mm_sub_ps(_mm_sub_ps(ph, _mm_i32gather_ps(phi0, idx, 4)), pomega), fits1);
    const __m128 target = princarg4(
        _mm_add_ps(_mm_mul_ps(_mm_add_ps(delta, pomega), stretch), _mm_i32gather_ps(psi, idx, 4)), fits2);
    _mm_storeu_ps(rotation + p, princarg4(_mm_sub_ps(target, ph), fits3));
    int redo = ~(fits1 & fits2 & fits3) & 0xf;
    while (redo != 0) {
      const int lane = __builtin_ctz(redo);
      redo &= redo - 1;
      rotation[p + lane] = peakRotation(phi, phi0, psi, omega, peaks[p + lane], stretchFactor);
    }
  }
  return p;
}

VOC_AVX2 void rotateAvx2(const float* phi, const float* rot, float* psi, int count) {
  int k = 0;
  for (; k + 4 <= count; k += 4) {
    int fits;
    _mm_storeu_ps(psi + k, princarg4(_mm_add_ps(_mm_loadu_ps(phi + k), _mm_loadu_ps(rot + k)), fits));
    int redo = ~fits & 0xf;
    while (redo != 0) {
      const int lane = __builtin_ctz(redo);
      redo &= redo - 1;
      psi[k + lane] = princarg(phi[k + lane] + rot[k + lane]);
    }
  }
  rotateScalar(phi, rot, psi, k, count);
}

// The valley of mag[lo .. hi-1]: the lowest value below FLT_MAX, at its first
// position (0 when there is none), as the strict scan "mag[i] < min" from
// min = FLT_MAX finds it; eight bins at a time, masked at the end.
VOC_AVX2 int valleyAvx2(const float* mag, int lo, int hi) {
  const __m256 fltMax = _mm256_set1_ps(FLT_MAX);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  float best = FLT_MAX;
  int bestLoc = 0;
  for (int i = lo; i < hi; i += 8) {
    const __m256i inRange = _mm256_cmpgt_epi32(_mm256_set1_epi32(hi - i), lanes);
    const __m256 v = _mm256_maskload_ps(mag + i, inRange);
    const __m256 valid = _mm256_and_ps(_mm256_cmp_ps(v, fltMax, _CMP_LT_OQ), _mm256_castsi256_ps(inRange));
    const __m256 vv = _mm256_blendv_ps(fltMax, v, valid);
    __m256 m = _mm256_min_ps(vv, _mm256_permute2f128_ps(vv, vv, 1));
    m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    const float chunkMin = _mm256_cvtss_f32(m);
    if (chunkMin < best) {
      // Equal values (zeros of either sign included) go to the first.
      const int at = _mm256_movemask_ps(_mm256_and_ps(_mm256_cmp_ps(vv, m, _CMP_EQ_OQ), valid));
      best = chunkMin;
      bestLoc = i + __builtin_ctz(at);
    }
  }
  return bestLoc;
}

// rotation[b] = peakRotation[q] for every bin b of region q. Regions are
// written in ascending order, eight bins per store: a store that runs into
// the next region is overwritten by that region's own. rotation needs seven
// floats of room after the last region.
VOC_AVX2 void fillRegionsAvx2(const float* peakRotation, const int* valleys, int nPeaks, float* rotation) {
  for (int q = 0; q < nPeaks; q++) {
    const __m256 r = _mm256_set1_ps(peakRotation[q]);
    const int end = valleys[q + 1];
    int b = valleys[q];
    do {
      _mm256_storeu_ps(rotation + b, r);
      b += 8;
    } while (b < end);
  }
}

// Bins strictly above both neighbours on either side, as 8 bits per vector:
// mag[k - 2 .. k + 2] for k = from .. from + 7.
VOC_AVX2 inline int peakMask8(const float* mag, int from) {
  const __m256 c = _mm256_loadu_ps(mag + from);
  const __m256 gt =
      _mm256_and_ps(_mm256_and_ps(_mm256_cmp_ps(c, _mm256_loadu_ps(mag + from - 1), _CMP_GT_OQ),
                                  _mm256_cmp_ps(c, _mm256_loadu_ps(mag + from + 1), _CMP_GT_OQ)),
                    _mm256_and_ps(_mm256_cmp_ps(c, _mm256_loadu_ps(mag + from - 2), _CMP_GT_OQ),
                                  _mm256_cmp_ps(c, _mm256_loadu_ps(mag + from + 2), _CMP_GT_OQ)));
  return _mm256_movemask_ps(gt);
}

VOC_AVX2 void applyWindowAvx2(const float* input, const float* window, float* frame, int size) {
  for (int n = 0; n < size; n += 8)
    _mm256_storeu_ps(frame + n, _mm256_mul_ps(_mm256_loadu_ps(input + n), _mm256_loadu_ps(window + n)));
}

VOC_AVX2 void overlapAddAvx2(float* wave, const float* real, const float* windowOut, int size) {
  for (int n = 0; n < size; n += 8)
    _mm256_storeu_ps(wave + n,
                     _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(real + n), _mm256_loadu_ps(windowOut + n)),
                                   _mm256_loadu_ps(wave + n)));
}

// ---------------------------------------------------------------------------
// AVX-512 steps: the AVX2 steps eight lanes wide, with the same operations
// in every lane (and so the same results), where the processor has AVX-512.

#define VOC_AVX512 __attribute__((target("avx512f,avx512dq")))

// GCC 12's AVX-512 headers start some conversions from an "undefined" value
// and then warn about it wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

VOC_AVX512 inline __m512d splat8(double v) {
  return _mm512_set1_pd(v);
}

VOC_AVX512 inline __m512d signOf8(__m512d v) {
  return _mm512_and_pd(v,
                       _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(0x8000000000000000ULL))));
}

// As ambiguousLanes, for eight lanes.
VOC_AVX512 inline int ambiguousLanes8(__m512d r, __m256 f) {
  const __m512d d = _mm512_mul_pd(_mm512_abs_pd(r), splat8(kMargin));
  const __m256 lo = _mm512_cvtpd_ps(_mm512_sub_pd(r, d));
  const __m256 hi = _mm512_cvtpd_ps(_mm512_add_pd(r, d));
  const __m256 same = _mm256_and_ps(_mm256_cmp_ps(lo, f, _CMP_EQ_OQ), _mm256_cmp_ps(hi, f, _CMP_EQ_OQ));
  return ~_mm256_movemask_ps(same) & 0xff;
}

// As atan2Kernel, for eight lanes.
VOC_AVX512 inline __m512d atan2Kernel8(__m512d y, __m512d x) {
  const __m512d ax = _mm512_abs_pd(x);
  const __m512d ay = _mm512_abs_pd(y);
  const __mmask8 swap = _mm512_cmp_pd_mask(ay, ax, _CMP_GT_OQ);
  const __m512d lo = _mm512_min_pd(ax, ay);
  const __m512d hi = _mm512_max_pd(ax, ay);
  const __m512d two = splat8(2.0);
  const __mmask8 near1 = _mm512_cmp_pd_mask(lo, _mm512_mul_pd(hi, splat8(0.6875)), _CMP_GE_OQ);
  const __mmask8 nearHalf =
      _mm512_cmp_pd_mask(lo, _mm512_mul_pd(hi, splat8(0.4375)), _CMP_GE_OQ) & static_cast<__mmask8>(~near1);
  const __m512d num = _mm512_mask_blend_pd(
      near1, _mm512_mask_blend_pd(nearHalf, lo, _mm512_sub_pd(_mm512_mul_pd(two, lo), hi)),
      _mm512_sub_pd(lo, hi));
  const __m512d den = _mm512_mask_blend_pd(
      near1, _mm512_mask_blend_pd(nearHalf, hi, _mm512_add_pd(_mm512_mul_pd(two, hi), lo)),
      _mm512_add_pd(lo, hi));
  const __m512d u = _mm512_div_pd(num, den);
  const __m512d zero = _mm512_setzero_pd();
  const __m512d atanHi =
      _mm512_mask_blend_pd(near1, _mm512_mask_blend_pd(nearHalf, zero, splat8(4.63647609000806093515e-01)),
                           splat8(7.85398163397448278999e-01));
  const __m512d atanLo =
      _mm512_mask_blend_pd(near1, _mm512_mask_blend_pd(nearHalf, zero, splat8(2.26987774529616870924e-17)),
                           splat8(3.06161699786838301793e-17));
  const __m512d z = _mm512_mul_pd(u, u);
  const __m512d w = _mm512_mul_pd(z, z);
  __m512d s1 =
      _mm512_add_pd(splat8(4.97687799461593236017e-02), _mm512_mul_pd(w, splat8(1.62858201153657823623e-02)));
  s1 = _mm512_add_pd(splat8(6.66107313738753120669e-02), _mm512_mul_pd(w, s1));
  s1 = _mm512_add_pd(splat8(9.09088713343650656196e-02), _mm512_mul_pd(w, s1));
  s1 = _mm512_add_pd(splat8(1.42857142725034663711e-01), _mm512_mul_pd(w, s1));
  s1 = _mm512_add_pd(splat8(3.33333333333329318027e-01), _mm512_mul_pd(w, s1));
  s1 = _mm512_mul_pd(z, s1);
  __m512d s2 = _mm512_add_pd(splat8(-5.83357013379057348645e-02),
                             _mm512_mul_pd(w, splat8(-3.65315727442169155270e-02)));
  s2 = _mm512_add_pd(splat8(-7.69187620504482999495e-02), _mm512_mul_pd(w, s2));
  s2 = _mm512_add_pd(splat8(-1.11111104054623557880e-01), _mm512_mul_pd(w, s2));
  s2 = _mm512_add_pd(splat8(-1.99999999998764832476e-01), _mm512_mul_pd(w, s2));
  s2 = _mm512_mul_pd(w, s2);
  __m512d r =
      _mm512_sub_pd(atanHi, _mm512_sub_pd(_mm512_sub_pd(_mm512_mul_pd(u, _mm512_add_pd(s1, s2)), atanLo), u));
  r = _mm512_mask_blend_pd(swap, r,
                           _mm512_sub_pd(splat8(1.57079632679489655800e+00),
                                         _mm512_sub_pd(r, splat8(6.12323399573676603587e-17))));
  const __mmask8 xNegative = _mm512_cmp_pd_mask(x, zero, _CMP_LT_OQ);
  r = _mm512_mask_blend_pd(xNegative, r,
                           _mm512_sub_pd(splat8(3.14159265358979311600e+00),
                                         _mm512_sub_pd(r, splat8(1.22464679914735317720e-16))));
  return _mm512_or_pd(r, signOf8(y));
}

// Magnitudes and phases of bins k .. k + 7; returns the lanes whose phase
// must come from the C library.
VOC_AVX512 inline int analyze8(const float* re, const float* im, float* mag, float* phi, int k) {
  const __m512d zero = _mm512_setzero_pd();
  const __m256 re8 = _mm256_loadu_ps(re + k);
  const __m256 im8 = _mm256_loadu_ps(im + k);
  _mm256_storeu_ps(mag + k, _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(re8, re8), _mm256_mul_ps(im8, im8))));
  const __m512d x = _mm512_cvtps_pd(re8);
  const __m512d y = _mm512_cvtps_pd(im8);
  __m512d r = atan2Kernel8(y, x);
  const __m512d ySign = signOf8(y);
  const __mmask8 yZero = _mm512_cmp_pd_mask(y, zero, _CMP_EQ_OQ);
  const __mmask8 xZero = _mm512_cmp_pd_mask(x, zero, _CMP_EQ_OQ);
  const __mmask8 xSignSet = _mm512_cmplt_epi64_mask(_mm512_castpd_si512(x), _mm512_setzero_si512());
  r = _mm512_mask_blend_pd(xZero, r, _mm512_or_pd(splat8(kPi / 2), ySign));
  r = _mm512_mask_blend_pd(yZero, r, _mm512_mask_blend_pd(xSignSet, y, _mm512_or_pd(splat8(kPi), ySign)));
  const __m256 f = _mm512_cvtpd_ps(r);
  _mm256_storeu_ps(phi + k, f);
  const __m512d inf = splat8(INFINITY);
  const __mmask8 finite = _mm512_cmp_pd_mask(_mm512_abs_pd(x), inf, _CMP_LT_OQ) &
                          _mm512_cmp_pd_mask(_mm512_abs_pd(y), inf, _CMP_LT_OQ);
  return ambiguousLanes8(r, f) | (~finite & 0xff);
}

VOC_AVX512 int analyzeAvx512(const float* re, const float* im, float* mag, float* phi, int count) {
  int k = 0;
  // Two independent vectors per round: each one's polynomial is a long chain
  // of dependent operations, and the processor overlaps the two.
  for (; k + 16 <= count; k += 16) {
    const int redo = analyze8(re, im, mag, phi, k) | analyze8(re, im, mag, phi, k + 8) << 8;
    for (int lanes = redo; lanes != 0; lanes &= lanes - 1) {
      const int at = k + __builtin_ctz(lanes);
      phi[at] = phaseOf(re[at], im[at]);
    }
  }
  for (; k + 8 <= count; k += 8) {
    for (int lanes = analyze8(re, im, mag, phi, k); lanes != 0; lanes &= lanes - 1) {
      const int at = k + __builtin_ctz(lanes);
      phi[at] = phaseOf(re[at], im[at]);
    }
  }
  return k;
}

// As sinCosKernel, for eight lanes.
VOC_AVX512 inline void sinCosKernel8(__m512d x, __m512d& sinx, __m512d& cosx) {
  const __m512d zero = _mm512_setzero_pd();
  const __m512d k = _mm512_roundscale_pd(_mm512_mul_pd(x, splat8(6.36619772367581382433e-01)),
                                         _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  const __mmask8 kZero = _mm512_cmp_pd_mask(k, zero, _CMP_EQ_OQ);
  const __m512d reduced =
      _mm512_sub_pd(_mm512_sub_pd(x, _mm512_mul_pd(k, splat8(1.57079632673412561417e+00))),
                    _mm512_mul_pd(k, splat8(6.07710050650619224932e-11)));
  const __m512d r = _mm512_mask_blend_pd(kZero, reduced, x);
  const __m512d z = _mm512_mul_pd(r, r);
  const __m512d w = _mm512_mul_pd(z, z);
  const __m512d sr = _mm512_add_pd(
      _mm512_add_pd(splat8(8.33333333332248946124e-03),
                    _mm512_mul_pd(z, _mm512_add_pd(splat8(-1.98412698298579493134e-04),
                                                   _mm512_mul_pd(z, splat8(2.75573137070700676789e-06))))),
      _mm512_mul_pd(_mm512_mul_pd(z, w),
                    _mm512_add_pd(splat8(-2.50507602534068634195e-08),
                                  _mm512_mul_pd(z, splat8(1.58969099521155010221e-10)))));
  const __m512d v = _mm512_mul_pd(z, r);
  __m512d s = _mm512_add_pd(
      r, _mm512_mul_pd(v, _mm512_add_pd(splat8(-1.66666666666666324348e-01), _mm512_mul_pd(z, sr))));
  const __m512d cr = _mm512_add_pd(
      _mm512_mul_pd(
          z, _mm512_add_pd(
                 splat8(4.16666666666666019037e-02),
                 _mm512_mul_pd(z, _mm512_add_pd(splat8(-1.38888888888741095749e-03),
                                                _mm512_mul_pd(z, splat8(2.48015872894767294178e-05)))))),
      _mm512_mul_pd(
          _mm512_mul_pd(w, w),
          _mm512_add_pd(
              splat8(-2.75573143513906633035e-07),
              _mm512_mul_pd(z, _mm512_add_pd(splat8(2.08757232129817482790e-09),
                                             _mm512_mul_pd(z, splat8(-1.13596475577881948265e-11)))))));
  const __m512d hz = _mm512_mul_pd(splat8(0.5), z);
  const __m512d one = splat8(1.0);
  const __m512d wc = _mm512_sub_pd(one, hz);
  __m512d co =
      _mm512_add_pd(wc, _mm512_add_pd(_mm512_sub_pd(_mm512_sub_pd(one, wc), hz), _mm512_mul_pd(z, cr)));
  const __mmask8 xZero = _mm512_cmp_pd_mask(x, zero, _CMP_EQ_OQ);
  s = _mm512_mask_blend_pd(xZero, s, x);
  co = _mm512_mask_blend_pd(xZero, co, one);
  const __m512i q = _mm512_cvtepi32_epi64(_mm512_cvtpd_epi32(k));
  const __m512i bit0 = _mm512_set1_epi64(1);
  const __m512i bit1 = _mm512_set1_epi64(2);
  const __mmask8 odd = _mm512_test_epi64_mask(q, bit0);
  const __mmask8 negSin = _mm512_test_epi64_mask(q, bit1);
  const __mmask8 negCos = _mm512_test_epi64_mask(_mm512_add_epi64(q, bit0), bit1);
  const __m512d signBit =
      _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(0x8000000000000000ULL)));
  sinx =
      _mm512_mask_xor_pd(_mm512_mask_blend_pd(odd, s, co), negSin, _mm512_mask_blend_pd(odd, s, co), signBit);
  cosx =
      _mm512_mask_xor_pd(_mm512_mask_blend_pd(odd, co, s), negCos, _mm512_mask_blend_pd(odd, co, s), signBit);
}

VOC_AVX512 int synthesizeAvx512(const float* mag, const float* gains, const float* psi, float* re, float* im,
                                int count) {
  const __m512d limit = splat8(4.0);
  int k = 0;
  for (; k + 8 <= count; k += 8) {
    __m256 m8 = _mm256_loadu_ps(mag + k);
    if (gains != nullptr) m8 = _mm256_mul_ps(m8, _mm256_loadu_ps(gains + k));
    const __m512d x = _mm512_cvtps_pd(_mm256_loadu_ps(psi + k));
    const __m512d m = _mm512_cvtps_pd(m8);
    __m512d s;
    __m512d c;
    sinCosKernel8(x, s, c);
    const __m512d pr = _mm512_mul_pd(m, c);
    const __m512d pi = _mm512_mul_pd(m, s);
    const __m256 fr = _mm512_cvtpd_ps(pr);
    const __m256 fi = _mm512_cvtpd_ps(pi);
    _mm256_storeu_ps(re + k, fr);
    _mm256_storeu_ps(im + k, fi);
    const __mmask8 inRange = _mm512_cmp_pd_mask(_mm512_abs_pd(x), limit, _CMP_LE_OQ);
    int redo = ambiguousLanes8(pr, fr) | ambiguousLanes8(pi, fi) | (~inRange & 0xff);
    if (redo != 0) {
      alignas(32) float lanes[8];
      _mm256_store_ps(lanes, m8);
      while (redo != 0) {
        const int lane = __builtin_ctz(redo);
        redo &= redo - 1;
        rectOf(lanes[lane], psi[k + lane], re + k + lane, im + k + lane);
      }
    }
  }
  return k;
}

// As princarg4, for eight phases.
VOC_AVX512 inline __m256 princarg8(__m256 phase, int& fits) {
  const __m512d pi = splat8(kPi);
  const __m512d p = _mm512_cvtps_pd(phase);
  __m512d q = _mm512_mul_pd(p, splat8(1.0 / kPi));
  const __m512d d = _mm512_mul_pd(_mm512_abs_pd(q), splat8(kMargin));
  const __m256i below = _mm512_cvttpd_epi32(_mm512_sub_pd(q, d));
  const __m256i above = _mm512_cvttpd_epi32(_mm512_add_pd(q, d));
  if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(below, above)) != -1) q = _mm512_div_pd(p, pi);
  fits = _mm512_cmp_pd_mask(_mm512_abs_pd(q), splat8(2147483647.0), _CMP_LT_OQ);
  const __m256i qi = _mm512_cvttpd_epi32(q);
  const __m256i odd = _mm256_and_si256(qi, _mm256_set1_epi32(1));
  const __m256i sign = _mm256_srai_epi32(qi, 31);
  const __m256i even = _mm256_sub_epi32(_mm256_add_epi32(qi, _mm256_xor_si256(odd, sign)), sign);
  return _mm512_cvtpd_ps(_mm512_sub_pd(p, _mm512_mul_pd(_mm512_cvtepi32_pd(even), pi)));
}

// princarg of eight phases below kThreePi in magnitude; far has a lane bit
// set for every other phase, NaN included (its result is garbage).
VOC_AVX512 inline __m256 princargNear8(__m256 phase, int& far) {
  const __m256 limit = _mm256_set1_ps(kThreePi);
  far = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_andnot_ps(_mm256_set1_ps(-0.0f), phase), limit, _CMP_NLT_UQ));
  const __mmask8 up =
      static_cast<__mmask8>(_mm256_movemask_ps(_mm256_cmp_ps(phase, _mm256_set1_ps(kOnePi), _CMP_GE_OQ)));
  const __mmask8 down =
      static_cast<__mmask8>(_mm256_movemask_ps(_mm256_cmp_ps(phase, _mm256_set1_ps(-kOnePi), _CMP_LE_OQ)));
  // Exactly the products 2 * pi and -2 * pi that princarg subtracts.
  __m512d offset = _mm512_mask_blend_pd(up, _mm512_setzero_pd(), splat8(2.0 * kPi));
  offset = _mm512_mask_blend_pd(down, offset, splat8(-2.0 * kPi));
  return _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_cvtps_pd(phase), offset));
}

// A bin's phase and its region's rotation both lie within [-pi, pi] unless
// the input was not finite, so the sum's quotient is small.
VOC_AVX512 int rotateAvx512(const float* phi, const float* rot, float* psi, int count) {
  int k = 0;
  for (; k + 8 <= count; k += 8) {
    int far;
    _mm256_storeu_ps(psi + k,
                     princargNear8(_mm256_add_ps(_mm256_loadu_ps(phi + k), _mm256_loadu_ps(rot + k)), far));
    while (far != 0) {
      const int lane = __builtin_ctz(far);
      far &= far - 1;
      psi[k + lane] = princarg(phi[k + lane] + rot[k + lane]);
    }
  }
  return k;
}

VOC_AVX512 int peakRotationsAvx512(const float* phi, const float* phi0, const float* psi, const float* omega,
                                   const int* peaks, int nPeaks, float stretchFactor, float* rotation) {
  const __m256 stretch = _mm256_set1_ps(stretchFactor);
  int p = 0;
  for (; p + 8 <= nPeaks; p += 8) {
    const __m256i idx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(peaks + p));
    const __m256 ph = _mm256_i32gather_ps(phi, idx, 4);
    const __m256 pomega = _mm256_i32gather_ps(omega, idx, 4);
    int fits1;
    int fits2;
    const __m256 delta =
        princarg8(_mm256_sub_ps(_mm256_sub_ps(ph, _mm256_i32gather_ps(phi0, idx, 4)), pomega), fits1);
    const __m256 target = princarg8(
        _mm256_add_ps(_mm256_mul_ps(_mm256_add_ps(delta, pomega), stretch), _mm256_i32gather_ps(psi, idx, 4)),
        fits2);
    int far3;
    _mm256_storeu_ps(rotation + p, princargNear8(_mm256_sub_ps(target, ph), far3));
    int redo = (~(fits1 & fits2) | far3) & 0xff;
    while (redo != 0) {
      const int lane = __builtin_ctz(redo);
      redo &= redo - 1;
      rotation[p + lane] = peakRotation(phi, phi0, psi, omega, peaks[p + lane], stretchFactor);
    }
  }
  return p;
}

// valleyAvx2 for regions of at most sixteen bins (most of them), without a
// loop: the lowest value below FLT_MAX among them, at its first position.
VOC_AVX512 int valleyAvx512(const float* mag, int lo, int hi) {
  const int len = hi - lo;
  if (len > 16) return valleyAvx2(mag, lo, hi);
  const __mmask16 inRange = static_cast<__mmask16>((1u << len) - 1);
  const __m512 v = _mm512_maskz_loadu_ps(inRange, mag + lo);
  const __mmask16 valid = _mm512_mask_cmp_ps_mask(inRange, v, _mm512_set1_ps(FLT_MAX), _CMP_LT_OQ);
  if (valid == 0) return 0;
  const __m512 vv = _mm512_mask_blend_ps(valid, _mm512_set1_ps(INFINITY), v);
  __m512 m = _mm512_min_ps(vv, _mm512_shuffle_f32x4(vv, vv, _MM_SHUFFLE(1, 0, 3, 2)));
  m = _mm512_min_ps(m, _mm512_shuffle_f32x4(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
  m = _mm512_min_ps(m, _mm512_permute_ps(m, _MM_SHUFFLE(1, 0, 3, 2)));
  m = _mm512_min_ps(m, _mm512_permute_ps(m, _MM_SHUFFLE(2, 3, 0, 1)));
  // Equal values (zeros of either sign included) go to the first.
  return lo + __builtin_ctz(_mm512_mask_cmp_ps_mask(valid, vv, m, _CMP_EQ_OQ));
}

// The peaks among bins from .. until - 1 (from >= 2, until + 2 <= half + 2),
// sixteen bins at a time, appended to peaks[count ..]; returns the new count.
// Each step stores sixteen entries, which stay below peaks[until]: a peak
// needs three bins, so count + 16 <= until.
VOC_AVX512 int collectPeaksAvx512(const float* mag, int from, int until, int* peaks, int count) {
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  int bin = from;
  for (; bin + 16 <= until; bin += 16) {
    const __m512 c = _mm512_loadu_ps(mag + bin);
    __mmask16 m = _mm512_cmp_ps_mask(c, _mm512_loadu_ps(mag + bin - 1), _CMP_GT_OQ);
    m = _mm512_mask_cmp_ps_mask(m, c, _mm512_loadu_ps(mag + bin + 1), _CMP_GT_OQ);
    m = _mm512_mask_cmp_ps_mask(m, c, _mm512_loadu_ps(mag + bin - 2), _CMP_GT_OQ);
    m = _mm512_mask_cmp_ps_mask(m, c, _mm512_loadu_ps(mag + bin + 2), _CMP_GT_OQ);
    const __m512i bins = _mm512_add_epi32(lanes, _mm512_set1_epi32(bin));
    _mm512_storeu_si512(peaks + count, _mm512_maskz_compress_epi32(m, bins));
    count += __builtin_popcount(m);
  }
  return count;
}

#pragma GCC diagnostic pop

// ---------------------------------------------------------------------------
// The frame.

// Each step takes the widest vectors the processor has and leaves the rest
// of the bins to the next narrower one.
void analyzeBins(const float* re, const float* im, float* mag, float* phi, int count) {
  int k = 0;
  if (wideVectors) k = analyzeAvx512(re, im, mag, phi, count);
  if (vectorPath) {
    analyzeAvx2(re + k, im + k, mag + k, phi + k, count - k);
  } else {
    analyzeScalar(re + k, im + k, mag + k, phi + k, count - k);
  }
}

void synthesizeBins(const float* mag, const float* gains, const float* psi, float* re, float* im, int count) {
  int k = 0;
  if (wideVectors) k = synthesizeAvx512(mag, gains, psi, re, im, count);
  if (vectorPath) {
    synthesizeAvx2(mag + k, gains != nullptr ? gains + k : nullptr, psi + k, re + k, im + k, count - k);
  } else {
    synthesizeScalar(mag, gains, psi, re, im, k, count);
  }
}

void rotateBins(const float* phi, const float* rot, float* psi, int count) {
  int k = 0;
  if (wideVectors) k = rotateAvx512(phi, rot, psi, count);
  if (vectorPath) {
    rotateAvx2(phi + k, rot + k, psi + k, count - k);
  } else {
    rotateScalar(phi, rot, psi, k, count);
  }
}

void applyWindow(const float* input, const float* window, float* frame, int size) {
  if (vectorPath && size >= 8) {
    applyWindowAvx2(input, window, frame, size);
    return;
  }
  for (int n = 0; n < size; n++) frame[n] = input[n] * window[n];
}

void analyze(const float* frame, float* re, float* im, float* mag, float* phi, int half) {
  fft_forward_real(frame, re, im);
  analyzeBins(re, im, mag, phi, half);
}

// A peak is a bin strictly above its two neighbours on either side (two
// virtual bins of FLT_MIN below bin 0, the sentinels above the last); the
// valley before each peak after the first is the lowest bin since the
// previous peak (ties to the lowest index). mag needs half + 2 entries,
// peaks and valleys half and half + 1.
//
// This is the sliding five-bin scan that skips the two bins after each
// peak: those two are below the peak they follow and can never be peaks, so
// testing every bin finds the same peaks.
int findPeaks(float* mag, int half, int* peaks, int* valleys) {
  mag[half] = FLT_MIN;
  mag[half + 1] = FLT_MIN;
  int nPeaks = 0;
  int lastPeak = 0;
  valleys[0] = 0;
  auto at = [&](int i) { return i < 0 ? FLT_MIN : mag[i]; };
  auto isPeak = [&](int bin) {
    const float c = mag[bin];
    return c > at(bin - 1) && c > at(bin + 1) && c > at(bin - 2) && c > at(bin + 2);
  };
  if (wideVectors) {
    // All the peaks first, then every valley on its own: no branch depends
    // on where the peaks fall.
    int bin = 0;
    for (; bin < 2 && bin < half; bin++)
      if (isPeak(bin)) peaks[nPeaks++] = bin;
    if (half >= 2) {
      nPeaks = collectPeaksAvx512(mag, 2, half, peaks, nPeaks);
      bin = 2 + (half - 2) / 16 * 16;
    }
    for (; bin < half; bin++)
      if (isPeak(bin)) peaks[nPeaks++] = bin;
    for (int p = 1; p < nPeaks; p++) valleys[p] = valleyAvx512(mag, peaks[p - 1], peaks[p]);
    return nPeaks;
  }
  auto addPeak = [&](int bin) {
    peaks[nPeaks] = bin;
    if (nPeaks > 0 && vectorPath) {
      valleys[nPeaks] = valleyAvx2(mag, lastPeak, bin);
    } else if (nPeaks > 0) {
      float min = FLT_MAX;
      int minLoc = 0;
      for (int i = lastPeak; i < bin; i++) {
        const bool lower = mag[i] < min;
        min = lower ? mag[i] : min;
        minLoc = lower ? i : minLoc;
      }
      valleys[nPeaks] = minLoc;
    }
    lastPeak = bin;
    nPeaks++;
  };
  int bin = 0;
  for (; bin < 2 && bin < half; bin++)
    if (isPeak(bin)) addPeak(bin);
  if (vectorPath) {
    for (; bin + 8 <= half; bin += 8) {
      int mask = peakMask8(mag, bin);
      while (mask != 0) {
        addPeak(bin + __builtin_ctz(mask));
        mask &= mask - 1;
      }
    }
  }
  for (; bin < half; bin++)
    if (isPeak(bin)) addPeak(bin);
  return nPeaks;
}

// Identity phase locking: each peak's phase advances by its measured
// frequency times the stretch factor, and every bin of its region turns by
// the same angle as the peak. Without peaks psi keeps the previous frame's
// phases. Every peak reads its own psi before any region is written (a peak
// lies in its own region), so the rotations are computed first.
// rotation holds half + 8 floats and peakRotations one per peak.
void phaseLock(const float* phi, const float* phi0, float* psi, const float* omega, const int* peaks,
               int* valleys, int nPeaks, int half, float stretchFactor, float* rotation,
               float* peakRotations) {
  valleys[nPeaks] = half;
  if (nPeaks == 0) return;
  int p = 0;
  if (wideVectors)
    p = peakRotationsAvx512(phi, phi0, psi, omega, peaks, nPeaks, stretchFactor, peakRotations);
  if (vectorPath)
    p += peakRotationsAvx2(phi, phi0, psi, omega, peaks + p, nPeaks - p, stretchFactor, peakRotations + p);
  for (; p < nPeaks; p++) peakRotations[p] = peakRotation(phi, phi0, psi, omega, peaks[p], stretchFactor);
  // Every bin of a region turns with its peak.
  if (vectorPath) {
    fillRegionsAvx2(peakRotations, valleys, nPeaks, rotation);
  } else {
    for (int q = 0; q < nPeaks; q++)
      for (int b = valleys[q]; b < valleys[q + 1]; b++) rotation[b] = peakRotations[q];
  }
  rotateBins(phi, rotation, psi, half);
}

// One-sided synthesis: the upper half (Nyquist and negative frequencies) is
// zero, and only the real part of the inverse transform is used.
void synthesize(const float* mag, const float* psi, float* spectrumRe, float* spectrumIm, float* re,
                float* im, int half) {
  const float* gains = nullptr;
  if (eq_is_enabled() != 0) {
    // The copy is renewed only when the gains have changed since it was made.
    const unsigned version = eq_version();
    if (!gainsCopied || version != gainsVersion) {
      eq_copy_gains(buffers.gains.get(), half);
      gainsVersion = version;
      gainsCopied = true;
    }
    gains = buffers.gains.get();
  }
  synthesizeBins(mag, gains, psi, spectrumRe, spectrumIm, half);
  fft_inverse_half(spectrumRe, spectrumIm, re, im);
}

// wave is the channel's accumulator window at waveStarts[channel] in its
// store of kSlideFrames frames; the window moves forward by the hop.
void overlapAdd(float* output, float* store, int& start, const float* real, const float* windowOut,
                float* phi0, const float* phi, int size, int hop) {
  float* wave = store + start;
  if (vectorPath && size % 8 == 0) {
    overlapAddAvx2(wave, real, windowOut, size);
  } else {
    for (int n = 0; n < size; n++) wave[n] = real[n] * windowOut[n] + wave[n];
  }
  std::copy_n(phi, size / 2, phi0);
  std::copy_n(wave, hop, output);
  start += hop;
  if (start + size > kSlideFrames * size) {
    // A hop of 0 never gets here; memmove allows the overlap of a short hop.
    std::memmove(store, store + start, static_cast<size_t>(size - hop) * sizeof(float));
    start = 0;
  }
  // The samples that enter the window start from silence.
  std::fill(store + start + size - hop, store + start + size, 0.0f);
}

void processFrame(const float* input, float* output, float stretchFactor, int channel) {
  float* re = buffers.transform.get();
  float* im = re + winSize;
  float* mag = buffers.mags[channel].get();
  float* phi = buffers.phis[channel].get();
  float* psi = buffers.psis[channel].get();
  int* valleys = buffers.valleyBins[channel].get();
  int* peaks = buffers.peakBins[channel].get();
  float* spectrumRe = buffers.synthesis.get();
  float* spectrumIm = spectrumRe + winHalf;

  applyWindow(input, buffers.window.get(), buffers.frame.get(), winSize);
  analyze(buffers.frame.get(), re, im, mag, phi, winHalf);
  const int nPeaks = findPeaks(mag, winHalf, peaks, valleys);
  phaseLock(phi, buffers.phi0s[channel].get(), psi, buffers.omega.get(), peaks, valleys, nPeaks, winHalf,
            stretchFactor, buffers.rotation.get(), buffers.peakRotation.get());
  synthesize(mag, psi, spectrumRe, spectrumIm, re, im, winHalf);
  overlapAdd(output, buffers.waves[channel].get(), waveStarts[channel], re, buffers.windowOut.get(),
             buffers.phi0s[channel].get(), phi, winSize, stepOut);
}

// Fill position of the channel's history; a stored 0 means no history yet,
// whose first winSize - stepIn samples are the zeros left by set-up.
int currentInIndex(int channel) {
  return inIndexes[channel] == 0 ? winSize - stepIn : inIndexes[channel];
}

}  // namespace

bool vocoder_init(int pWinSize, int step) {
  std::fflush(stdout);
  if (!isPowerOfTwo(pWinSize) || pWinSize < kMinWinSize || pWinSize > FFT_MAX_SIZE) return false;
  if (step < 1 || step > pWinSize) return false;

  Buffers fresh;
  if (!allocate(fresh, pWinSize)) return false;
  initWindow(fresh.window.get(), fresh.windowOut.get(), pWinSize);
  initOmega(fresh.omega.get(), pWinSize, step);
  // The transform's tables are shared: change them only once nothing else can fail.
  if (!fft_init(pWinSize)) return false;

  // Histories, overlap-add tails and phases start at zero (allocZeroed).
  // lastStretchFactor and stepOut are left as they were.
  buffers = std::move(fresh);
  winSize = pWinSize;
  winHalf = pWinSize / 2;
  stepIn = step;
  inIndexes[0] = 0;
  inIndexes[1] = 0;
  for (int ch = 0; ch < kChannels; ch++) inputStarts[ch] = waveStarts[ch] = 0;
  gainsCopied = false;
  initialized = true;
  vectorPath = vectorAllowed && cpuHasAvx2();
  wideVectors = vectorPath && wideAllowed && cpuHasAvx512();
  return true;
}

int vocoder_process(const float* inputBuffer, int inSize, float* outputBuffer, int pStepOut, int channel) {
  if (!initialized || channel < 0 || channel >= kChannels || pStepOut < 0 || pStepOut > winSize) return -1;

  stepOut = pStepOut;
  float* store = buffers.inputs[channel].get();
  int& start = inputStarts[channel];

  // One factor for both channels: a change resets both, in the first call
  // that sees it, so that the channels restart their phases in the same block.
  const double stretchFactor = static_cast<float>(pStepOut) / static_cast<float>(stepIn);
  if (!(stretchFactor == lastStretchFactor)) {
    lastStretchFactor = stretchFactor;
    resetPhases();
  }

  const int inStart = winSize - stepIn;
  int inIndex = currentInIndex(channel);
  int outIndex = 0;
  int consumed = 0;
  while (consumed < inSize) {
    float* input = store + start;
    const int count = std::min(inSize - consumed, winSize - inIndex);
    std::copy_n(inputBuffer + consumed, count, input + inIndex);
    consumed += count;
    inIndex += count;
    if (inIndex == winSize) {
      float* output = outputBuffer + outIndex;
      processFrame(input, output, static_cast<float>(stretchFactor), channel);
      // The history drops its oldest hop: its window moves forward.
      start += stepIn;
      if (start + winSize > kSlideFrames * winSize) {
        std::memmove(store, store + start, sizeof(float) * static_cast<size_t>(inStart));
        start = 0;
      }
      spectrum_push(output, stepOut, channel);
      inIndex = inStart;
      outIndex += stepOut;
    }
  }
  inIndexes[channel] = inIndex;
  return outIndex;
}

int vocoder_frames_for(int inSize, int channel) {
  if (!initialized || channel < 0 || channel >= kChannels || inSize <= 0) return 0;
  const int64_t pending = currentInIndex(channel) - (winSize - stepIn);
  return static_cast<int>((pending + inSize) / stepIn);
}

int vocoder_win_size() {
  return winSize;
}

int vocoder_step_in() {
  return stepIn;
}

VocoderInspect vocoder_inspect() {
  VocoderInspect v{};
  v.winSize = winSize;
  v.winHalf = winHalf;
  v.stepIn = stepIn;
  v.stepOut = stepOut;
  v.window = buffers.window.get();
  v.windowOut = buffers.windowOut.get();
  v.omega = buffers.omega.get();
  for (int ch = 0; ch < kChannels; ch++) {
    v.phi0s[ch] = buffers.phi0s[ch].get();
    v.psis[ch] = buffers.psis[ch].get();
    v.inputs[ch] = buffers.inputs[ch] ? buffers.inputs[ch].get() + inputStarts[ch] : nullptr;
    v.waves[ch] = buffers.waves[ch] ? buffers.waves[ch].get() + waveStarts[ch] : nullptr;
    v.mags[ch] = buffers.mags[ch].get();
    v.phis[ch] = buffers.phis[ch].get();
    v.inIndexes[ch] = inIndexes[ch];
  }
  v.lastStretchFactor = lastStretchFactor;
  return v;
}

float vocoder_princarg(float phase) {
  return princarg(phase);
}

int vocoder_find_peaks(float* mag, int half, int* peaks, int* valleys) {
  return findPeaks(mag, half, peaks, valleys);
}

void vocoder_phase_lock(const float* phi, const float* phi0, float* psi, const float* omega, const int* peaks,
                        int* valleys, int nPeaks, int half, float stretchFactor) {
  std::unique_ptr<float[]> rotation(new float[static_cast<size_t>(std::max(half, 0)) + 8]);
  std::unique_ptr<float[]> peakRotations(new float[static_cast<size_t>(std::max(nPeaks, 1))]);
  phaseLock(phi, phi0, psi, omega, peaks, valleys, nPeaks, half, stretchFactor, rotation.get(),
            peakRotations.get());
}

void vocoder_analyze_bins(const float* re, const float* im, float* mag, float* phi, int count) {
  analyzeBins(re, im, mag, phi, count);
}

void vocoder_synthesize_bins(const float* mag, const float* gains, const float* psi, float* re, float* im,
                             int count) {
  synthesizeBins(mag, gains, psi, re, im, count);
}

void vocoder_rotate_bins(const float* phi, const float* rot, float* psi, int count) {
  rotateBins(phi, rot, psi, count);
}

bool vocoder_set_vector_path(bool enabled, bool wide) {
  vectorAllowed = enabled;
  wideAllowed = wide;
  vectorPath = vectorAllowed && cpuHasAvx2();
  wideVectors = vectorPath && wideAllowed && cpuHasAvx512();
  return vectorPath;
}
