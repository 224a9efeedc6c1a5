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
  // same time): the transform in split form (real parts, then imaginary
  // parts), the synthesised half spectrum, the rotation of every bin's
  // region, the peaks' packed inputs, and the equaliser's gains.
  Buffer<float> transform;
  Buffer<float> synthesis;
  Buffer<float> rotation;
  Buffer<float> peakRotation;
  Buffer<float> peakInputs;
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
  b.transform = allocZeroed<float>(2 * size);
  b.synthesis = allocZeroed<float>(size);
  b.rotation = allocZeroed<float>(size + 8);  // room for the region fill
  b.peakRotation = allocZeroed<float>(size);
  b.gains = allocZeroed<float>(size);
  b.peakInputs = allocZeroed<float>(4 * (size / 2 + 16));
  if (!b.peakInputs || !b.window || !b.windowOut || !b.omega || !b.transform || !b.synthesis || !b.rotation ||
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
// - atan2, sin and cos are evaluated by short polynomials after a table
//   reduction; a result is kept only when every value within a margin around
//   it rounds to the same float. Otherwise, and for every non-finite or
//   out-of-range input, the lane is recomputed with the C library. The
//   margin, 2^-40 of the value, covers the error of these kernels (below
//   2^-47 of the value, proven by tools/fit_kernels.py: the polynomials'
//   minimax error plus every rounding on the way) and the C library's own
//   (below one unit in the last place of a double), 8 times over.
//   A value falls within the margin of a float's rounding boundary with a
//   probability of about 2^-15, so that a frame of 1024 bins sends a lane to
//   the C library only now and then.

// The inputs of the peaks' phase propagation, gathered in peak order while
// the peaks are found, so that the propagation reads them with plain vector
// loads: gathers of single floats are slow. packed holds four arrays of
// stride floats (phi, phi0, psi and omega of peak 0, 1, ...); stride leaves
// room for sixteen entries past the last peak.
struct PeakInputs {
  const float* phi;
  const float* phi0;
  const float* psi;
  const float* omega;
  float* packed;
  int stride;
};

#define VOC_AVX2 __attribute__((target("avx2")))

// Relative margin around a double result; see above.
constexpr double kMargin = 9.094947017729282e-13;  // 2^-40

// Adding 1.5 * 2^52 rounds a double below 2^51 to an integer, which then
// stands, in two's complement, in the low bits of the sum's pattern.
constexpr double kRoundShift = 6755399441055744.0;

// atan(n/8) for n = 0 .. 8, correctly rounded; zeros fill the rest.
alignas(64) constexpr double kAtanEighths[16] = {0.0,
                                                 1.24354994546761438e-01,
                                                 2.44978663126864143e-01,
                                                 3.58770670270572245e-01,
                                                 4.63647609000806094e-01,
                                                 5.58599315343562441e-01,
                                                 6.43501108793284371e-01,
                                                 7.18829999621624527e-01,
                                                 7.85398163397448279e-01,
                                                 0.0,
                                                 0.0,
                                                 0.0,
                                                 0.0,
                                                 0.0,
                                                 0.0,
                                                 0.0};

// atan(u) = u + u z (A0 + z (A1 + z (A2 + z A3))), z = u^2, minimax for
// |u| <= 0.0635 (relative error 2^-52).
constexpr double kAtanA0 = -3.33333333331671089e-01;
constexpr double kAtanA1 = 1.99999995992336643e-01;
constexpr double kAtanA2 = -1.42854138385513779e-01;
constexpr double kAtanA3 = 1.10222614253565665e-01;

// sin and cos of n pi/16 for n = 0 .. 15, correctly rounded; the zeros and
// ones are exact, so that the result keeps its relative accuracy where sin
// or cos vanishes. sin 0 is -0, so that sin(+-0) = -0 + +-0 keeps the sign
// (sin r is formed as a product with r, which keeps the sign of a zero).
alignas(64) constexpr double kSinSixteenths[16] = {-0.0,
                                                   1.95090322016128276e-01,
                                                   3.82683432365089782e-01,
                                                   5.55570233019602178e-01,
                                                   7.07106781186547573e-01,
                                                   8.31469612302545236e-01,
                                                   9.23879532511286738e-01,
                                                   9.80785280403230431e-01,
                                                   1.0,
                                                   9.80785280403230431e-01,
                                                   9.23879532511286738e-01,
                                                   8.31469612302545236e-01,
                                                   7.07106781186547573e-01,
                                                   5.55570233019602178e-01,
                                                   3.82683432365089782e-01,
                                                   1.95090322016128276e-01};
// cos(n pi/16) = sin((n + 8) pi/16), and -sin((n - 8) pi/16) from n = 8 on
// (where -(-0) gives the +0 of cos(pi/2)).
struct Sixteenths {
  alignas(64) double v[16];
};
constexpr Sixteenths cosSixteenths() {
  Sixteenths c{};
  for (int n = 0; n < 16; n++) c.v[n] = n < 8 ? kSinSixteenths[n + 8] : -kSinSixteenths[n - 8];
  return c;
}
constexpr Sixteenths kCosTable = cosSixteenths();
constexpr const double* kCosSixteenths = kCosTable.v;

// sin(r) = r (1 + z (S0 + z (S1 + z S2))) and cos(r) = 1 + z (C0 + z (C1 + z
// C2)), z = r^2, minimax for |r| <= 0.0985 (relative errors 2^-52 and
// 2^-48.8).
constexpr double kSinS0 = -1.66666666666204749e-01;
constexpr double kSinS1 = 8.33333304447133293e-03;
constexpr double kSinS2 = -1.98361341951510273e-04;
constexpr double kCosC0 = -4.99999999995839384e-01;
constexpr double kCosC1 = 4.16666640657968740e-02;
constexpr double kCosC2 = -1.38842660408103769e-03;

// pi/16 as a 33-bit head (k times it is exact for |k| < 2^20) and a tail.
constexpr double kPiSixteenthHi = 1.57079632673412561417e+00 / 8;
constexpr double kPiSixteenthLo = 6.07710050650619224932e-11 / 8;

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

// table[index] for each lane (the indices, in 64 bits, must be in range).
VOC_AVX2 inline __m256d gatherTable(const double* table, __m256i index) {
  const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  return _mm256_mask_i64gather_pd(_mm256_setzero_pd(), table, index, all, 8);
}

// atan2(y, x) for finite, non-zero x and y (other lanes give garbage), from
// the doubles and the floats they were made of. t = lo / hi in [0, 1], with
// lo and hi the smaller and the larger of |x| and |y|, is reduced around the
// nearest c = n/8: atan t = atan c + atan u, u = (t - c) / (1 + t c) =
// (lo - c hi) / (hi + c lo), |u| <= 1/16. Both lo - c hi and hi + c lo are
// exact in double (floats times a 4-bit c, close in magnitude), so u has
// the one rounding of the division; n needs only a float quotient. Then the
// octant: |y| > |x| gives pi/2 - r, x < 0 gives pi - r, and the sign of y.
VOC_AVX2 inline __m256d atan2Kernel(__m256d y, __m256d x, __m128 yf, __m128 xf) {
  const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
  const __m128 absMaskF = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 axf = _mm_and_ps(xf, absMaskF);
  const __m128 ayf = _mm_and_ps(yf, absMaskF);
  const __m128 lof = _mm_min_ps(axf, ayf);
  const __m128 hif = _mm_max_ps(axf, ayf);
  // n = round(8 t), at most 8; a NaN quotient (a discarded lane) gives 8 too,
  // so that the table read stays inside the table.
  const __m128i n = _mm_min_epu32(
      _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(_mm_div_ps(lof, hif), _mm_set1_ps(8.0f)), _mm_set1_ps(0.5f))),
      _mm_set1_epi32(8));
  const __m256d lo = _mm256_cvtps_pd(lof);
  const __m256d hi = _mm256_cvtps_pd(hif);
  const __m256d c = _mm256_mul_pd(_mm256_cvtepi32_pd(n), splat(0.125));
  const __m256d u =
      _mm256_div_pd(_mm256_sub_pd(lo, _mm256_mul_pd(c, hi)), _mm256_add_pd(hi, _mm256_mul_pd(c, lo)));
  const __m256d z = _mm256_mul_pd(u, u);
  __m256d a = _mm256_add_pd(splat(kAtanA2), _mm256_mul_pd(z, splat(kAtanA3)));
  a = _mm256_add_pd(splat(kAtanA1), _mm256_mul_pd(z, a));
  a = _mm256_add_pd(splat(kAtanA0), _mm256_mul_pd(z, a));
  const __m256d p = _mm256_add_pd(u, _mm256_mul_pd(_mm256_mul_pd(u, z), a));
  __m256d r = _mm256_add_pd(gatherTable(kAtanEighths, _mm256_cvtepi32_epi64(n)), p);
  const __m256d swap = _mm256_cmp_pd(_mm256_and_pd(y, absMask), _mm256_and_pd(x, absMask), _CMP_GT_OQ);
  r = select(swap, _mm256_sub_pd(splat(kPi / 2), r), r);
  r = select(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_LT_OQ), _mm256_sub_pd(splat(kPi), r), r);
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
    __m256d r = atan2Kernel(y, x, im4, re4);
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

// sin and cos of |x| <= 4 (other lanes give garbage): x = k pi/16 + r with
// |r| <= pi/32, exactly enough: k pi/16 uses a 33-bit head of pi/16, so x -
// k * head is exact by Sterbenz's lemma, and the tail leaves an error far
// below a double's rounding even where r is smallest (a float is never
// closer than 4e-8 to a multiple of pi/2). Then sin x = s_k cos r + c_k sin
// r and cos x = c_k cos r - s_k sin r, with s_k, c_k = sin, cos of k pi/16
// from a table of 16 and a sign change for k mod 32 >= 16. Where sin x or
// cos x is small, its table entry is an exact 0 and the other an exact +-1,
// so the small value is the polynomial's own.
VOC_AVX2 inline void sinCosKernel(__m256d x, __m256d& sinx, __m256d& cosx) {
  const __m256d shifted = _mm256_add_pd(_mm256_mul_pd(x, splat(16.0 / kPi)), splat(kRoundShift));
  const __m256d k = _mm256_sub_pd(shifted, splat(kRoundShift));
  const __m256d r = _mm256_sub_pd(_mm256_sub_pd(x, _mm256_mul_pd(k, splat(kPiSixteenthHi))),
                                  _mm256_mul_pd(k, splat(kPiSixteenthLo)));
  const __m256d z = _mm256_mul_pd(r, r);
  const __m256d sr = _mm256_mul_pd(
      r,
      _mm256_add_pd(
          splat(1.0),
          _mm256_mul_pd(z, _mm256_add_pd(splat(kSinS0),
                                         _mm256_mul_pd(z, _mm256_add_pd(splat(kSinS1),
                                                                        _mm256_mul_pd(z, splat(kSinS2))))))));
  const __m256d cr = _mm256_add_pd(
      splat(1.0),
      _mm256_mul_pd(
          z, _mm256_add_pd(splat(kCosC0),
                           _mm256_mul_pd(z, _mm256_add_pd(splat(kCosC1), _mm256_mul_pd(z, splat(kCosC2)))))));
  const __m256i bits = _mm256_castpd_si256(shifted);
  const __m256i index = _mm256_and_si256(bits, _mm256_set1_epi64x(15));
  const __m256d sk = gatherTable(kSinSixteenths, index);
  const __m256d ck = gatherTable(kCosSixteenths, index);
  const __m256d half =
      _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_and_si256(bits, _mm256_set1_epi64x(16)), 59));
  const __m256d s = _mm256_add_pd(_mm256_mul_pd(sk, cr), _mm256_mul_pd(ck, sr));
  const __m256d c = _mm256_sub_pd(_mm256_mul_pd(ck, cr), _mm256_mul_pd(sk, sr));
  sinx = _mm256_xor_pd(s, half);
  cosx = _mm256_xor_pd(c, half);
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
// A four-lane float mask as a four-lane double mask.
VOC_AVX2 inline __m256d widenMask(__m128 mask) {
  return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_castps_si128(mask)));
}

// princarg of four phases below kThreePi in magnitude (see princargNear8);
// far has a lane bit set for every other phase, NaN included.
VOC_AVX2 inline __m128 princargNear4(__m128 phase, int& far) {
  const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), phase);
  far = _mm_movemask_ps(_mm_cmp_ps(magnitude, _mm_set1_ps(kThreePi), _CMP_NLT_UQ));
  // Lane masks widened to 64 bits pick exactly 2 * pi or -2 * pi.
  const __m256d up = widenMask(_mm_cmp_ps(phase, _mm_set1_ps(kOnePi), _CMP_GE_OQ));
  const __m256d down = widenMask(_mm_cmp_ps(phase, _mm_set1_ps(-kOnePi), _CMP_LE_OQ));
  const __m256d offset = _mm256_or_pd(_mm256_and_pd(up, _mm256_set1_pd(2.0 * kPi)),
                                      _mm256_and_pd(down, _mm256_set1_pd(-2.0 * kPi)));
  return _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_cvtps_pd(phase), offset));
}

// With packed set, the peaks' inputs come from it (see PeakInputs) instead
// of being gathered bin by bin.
VOC_AVX2 int peakRotationsAvx2(const float* phi, const float* phi0, const float* psi, const float* omega,
                               const int* peaks, int nPeaks, float stretchFactor, const float* packed,
                               int stride, float* rotation) {
  const __m128 stretch = _mm_set1_ps(stretchFactor);
  int p = 0;
  for (; p + 4 <= nPeaks; p += 4) {
    __m128 ph, pphi0, ppsi, pomega;
    if (packed != nullptr) {
      ph = _mm_loadu_ps(packed + p);
      pphi0 = _mm_loadu_ps(packed + stride + p);
      ppsi = _mm_loadu_ps(packed + 2 * stride + p);
      pomega = _mm_loadu_ps(packed + 3 * stride + p);
    } else {
      const __m128i idx = _mm_loadu_si128(reinterpret_cast<const __m128i*>(peaks + p));
      ph = _mm_i32gather_ps(phi, idx, 4);
      pphi0 = _mm_i32gather_ps(phi0, idx, 4);
      ppsi = _mm_i32gather_ps(psi, idx, 4);
      pomega = _mm_i32gather_ps(omega, idx, 4);
    }
    int fits1;
    int fits2;
    int far3;
    const __m128 delta = princarg4(_mm_sub_ps(_mm_sub_ps(ph, pphi0), pomega), fits1);
    const __m128 target = princarg4(_mm_add_ps(_mm_mul_ps(_mm_add_ps(delta, pomega), stretch), ppsi), fits2);
    _mm_storeu_ps(rotation + p, princargNear4(_mm_sub_ps(target, ph), far3));
    int redo = (~(fits1 & fits2) | far3) & 0xf;
    while (redo != 0) {
      const int lane = __builtin_ctz(redo);
      redo &= redo - 1;
      rotation[p + lane] = peakRotation(phi, phi0, psi, omega, peaks[p + lane], stretchFactor);
    }
  }
  return p;
}

// A bin's phase and its region's rotation both lie within [-pi, pi] unless
// the input was not finite, so the sum's quotient is small.
VOC_AVX2 void rotateAvx2(const float* phi, const float* rot, float* psi, int count) {
  int k = 0;
  for (; k + 4 <= count; k += 4) {
    int far;
    _mm_storeu_ps(psi + k, princargNear4(_mm_add_ps(_mm_loadu_ps(phi + k), _mm_loadu_ps(rot + k)), far));
    while (far != 0) {
      const int lane = __builtin_ctz(far);
      far &= far - 1;
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

// As ambiguousLanes, for eight lanes, on the bit pattern: a double that is
// zero or of a float's normal magnitude rounds to float by its low 29 bits,
// halfway at 2^28; when these are more than 2^13 (units in the last place of
// the double, at least 2^-40 of the value) away from halfway, every value
// within the margin rounds to the same float. A subnormal float rounds
// elsewhere, so those lanes (not zeros) count as ambiguous. Values of 2^128
// and beyond, NaN included, come only from non-finite input, which the
// callers check. Returns the clear lanes.
VOC_AVX512 inline __mmask8 clearLanes8(__m512d r) {
  const __m512i bits = _mm512_castpd_si512(r);
  const __m512i low = _mm512_and_si512(bits, _mm512_set1_epi64(0x1fffffff));
  const __mmask8 far = _mm512_cmpgt_epu64_mask(_mm512_sub_epi64(low, _mm512_set1_epi64(0x10000000 - 0x2000)),
                                               _mm512_set1_epi64(0x4000));
  // |r| - 1 as an unsigned number: zero wraps to the top, floats' subnormal
  // magnitudes fall below that of 2^-126.
  const __m512i magnitude = _mm512_and_si512(bits, _mm512_set1_epi64(0x7fffffffffffffffLL));
  const __mmask8 normal = _mm512_cmpge_epu64_mask(_mm512_sub_epi64(magnitude, _mm512_set1_epi64(1)),
                                                  _mm512_set1_epi64(0x3810000000000000LL - 1));
  return far & normal;
}

// As atan2Kernel, for eight lanes, without a division: c comes from a 14-bit
// reciprocal of hi (|t - c| <= 1/16 + 2^-14 keeps |u| <= 0.0626), and u
// from a 14-bit reciprocal of the denominator refined by two Newton steps
// (relative error below 2^-51). Zeros need no special case: hi is kept
// above zero (where lo and hi are both zero the quotient is then 0), and
// the sign bit of x rather than x < 0 picks pi - r, so that atan2(+-0, -0)
// is +-pi and atan2(y, -0) is pi - pi/2. Non-finite lanes give garbage.
VOC_AVX512 inline __m512d atan2Kernel8(__m512d y, __m512d x) {
  const __m512d ax = _mm512_abs_pd(x);
  const __m512d ay = _mm512_abs_pd(y);
  const __m512d lo = _mm512_min_pd(ax, ay);
  const __m512d hi = _mm512_max_pd(_mm512_max_pd(ax, ay), splat8(0x1p-1000));
  // Adding 1.5 * 2^49 rounds t to a multiple of 1/8, and leaves 8c in the low
  // bits: the table index (the table has 16 entries, any index is inside).
  const __m512d shifted = _mm512_add_pd(_mm512_mul_pd(lo, _mm512_rcp14_pd(hi)), splat8(kRoundShift / 8));
  const __m512d c = _mm512_sub_pd(shifted, splat8(kRoundShift / 8));
  const __m512d num = _mm512_sub_pd(lo, _mm512_mul_pd(c, hi));
  const __m512d den = _mm512_add_pd(hi, _mm512_mul_pd(c, lo));
  const __m512d two = splat8(2.0);
  __m512d inv = _mm512_rcp14_pd(den);
  inv = _mm512_mul_pd(inv, _mm512_sub_pd(two, _mm512_mul_pd(den, inv)));
  inv = _mm512_mul_pd(inv, _mm512_sub_pd(two, _mm512_mul_pd(den, inv)));
  const __m512d u = _mm512_mul_pd(num, inv);
  const __m512d z = _mm512_mul_pd(u, u);
  __m512d a = _mm512_add_pd(splat8(kAtanA2), _mm512_mul_pd(z, splat8(kAtanA3)));
  a = _mm512_add_pd(splat8(kAtanA1), _mm512_mul_pd(z, a));
  a = _mm512_add_pd(splat8(kAtanA0), _mm512_mul_pd(z, a));
  const __m512d p = _mm512_add_pd(u, _mm512_mul_pd(_mm512_mul_pd(u, z), a));
  const __m512d table = _mm512_permutex2var_pd(_mm512_load_pd(kAtanEighths), _mm512_castpd_si512(shifted),
                                               _mm512_load_pd(kAtanEighths + 8));
  __m512d r = _mm512_add_pd(table, p);  // not negative
  r = _mm512_mask_sub_pd(r, _mm512_cmp_pd_mask(ay, ax, _CMP_GT_OQ), splat8(kPi / 2), r);
  r = _mm512_mask_sub_pd(r, _mm512_movepi64_mask(_mm512_castpd_si512(x)), splat8(kPi), r);
  // r | (y & sign bit)
  return _mm512_castsi512_pd(
      _mm512_ternarylogic_epi64(_mm512_set1_epi64(static_cast<long long>(0x8000000000000000ULL)),
                                _mm512_castpd_si512(y), _mm512_castpd_si512(r), 0xea));
}

// Magnitudes and phases of bins k .. k + 7; returns the lanes whose phase
// must come from the C library.
VOC_AVX512 inline int analyze8(const float* re, const float* im, float* mag, float* phi, int k) {
  const __m256 re8 = _mm256_loadu_ps(re + k);
  const __m256 im8 = _mm256_loadu_ps(im + k);
  _mm256_storeu_ps(mag + k, _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(re8, re8), _mm256_mul_ps(im8, im8))));
  const __m512d x = _mm512_cvtps_pd(re8);
  const __m512d y = _mm512_cvtps_pd(im8);
  const __m512d r = atan2Kernel8(y, x);
  _mm256_storeu_ps(phi + k, _mm512_cvtpd_ps(r));
  // The sum of two floats' magnitudes is finite in double unless one is not.
  const __mmask8 finite =
      _mm512_cmp_pd_mask(_mm512_add_pd(_mm512_abs_pd(x), _mm512_abs_pd(y)), splat8(INFINITY), _CMP_LT_OQ);
  return ~(clearLanes8(r) & finite) & 0xff;
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

// As sinCosKernel, for eight lanes; the tables are read by a permutation.
// The sign change for k mod 32 >= 16 is left to the caller: the returned
// lanes hold -sin x and -cos x (one sign change of the magnitude serves both).
VOC_AVX512 inline __mmask8 sinCosKernel8(__m512d x, __m512d& sinx, __m512d& cosx) {
  const __m512d shifted = _mm512_add_pd(_mm512_mul_pd(x, splat8(16.0 / kPi)), splat8(kRoundShift));
  const __m512d k = _mm512_sub_pd(shifted, splat8(kRoundShift));
  const __m512d r = _mm512_sub_pd(_mm512_sub_pd(x, _mm512_mul_pd(k, splat8(kPiSixteenthHi))),
                                  _mm512_mul_pd(k, splat8(kPiSixteenthLo)));
  const __m512d z = _mm512_mul_pd(r, r);
  const __m512d sr = _mm512_mul_pd(
      r, _mm512_add_pd(
             splat8(1.0),
             _mm512_mul_pd(
                 z, _mm512_add_pd(
                        splat8(kSinS0),
                        _mm512_mul_pd(z, _mm512_add_pd(splat8(kSinS1), _mm512_mul_pd(z, splat8(kSinS2))))))));
  const __m512d cr = _mm512_add_pd(
      splat8(1.0),
      _mm512_mul_pd(z, _mm512_add_pd(splat8(kCosC0),
                                     _mm512_mul_pd(z, _mm512_add_pd(splat8(kCosC1),
                                                                    _mm512_mul_pd(z, splat8(kCosC2)))))));
  const __m512i index = _mm512_castpd_si512(shifted);
  const __m512d sk =
      _mm512_permutex2var_pd(_mm512_load_pd(kSinSixteenths), index, _mm512_load_pd(kSinSixteenths + 8));
  const __m512d ck =
      _mm512_permutex2var_pd(_mm512_load_pd(kCosSixteenths), index, _mm512_load_pd(kCosSixteenths + 8));
  sinx = _mm512_add_pd(_mm512_mul_pd(sk, cr), _mm512_mul_pd(ck, sr));
  cosx = _mm512_sub_pd(_mm512_mul_pd(ck, cr), _mm512_mul_pd(sk, sr));
  return _mm512_test_epi64_mask(index, _mm512_set1_epi64(16));
}

VOC_AVX512 int synthesizeAvx512(const float* mag, const float* gains, const float* psi, float* re, float* im,
                                int count) {
  const __m512d limit = splat8(4.0);
  const __m512d signBit =
      _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(0x8000000000000000ULL)));
  int k = 0;
  for (; k + 8 <= count; k += 8) {
    __m256 m8 = _mm256_loadu_ps(mag + k);
    if (gains != nullptr) m8 = _mm256_mul_ps(m8, _mm256_loadu_ps(gains + k));
    const __m512d x = _mm512_cvtps_pd(_mm256_loadu_ps(psi + k));
    __m512d m = _mm512_cvtps_pd(m8);
    __m512d s;
    __m512d c;
    const __mmask8 negate = sinCosKernel8(x, s, c);
    // (-m) c and (-m) s round as m (-c) and m (-s) do, zeros' signs included.
    m = _mm512_mask_xor_pd(m, negate, m, signBit);
    const __m512d pr = _mm512_mul_pd(m, c);
    const __m512d pi = _mm512_mul_pd(m, s);
    _mm256_storeu_ps(re + k, _mm512_cvtpd_ps(pr));
    _mm256_storeu_ps(im + k, _mm512_cvtpd_ps(pi));
    // |x| <= 4 and a finite magnitude (0x99: NaN or infinite).
    const __mmask8 valid = _mm512_cmp_pd_mask(_mm512_abs_pd(x), limit, _CMP_LE_OQ) &
                           static_cast<__mmask8>(~_mm512_fpclass_pd_mask(m, 0x99));
    int redo = ~(clearLanes8(pr) & clearLanes8(pi) & valid) & 0xff;
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

VOC_AVX512 void overlapAddAvx512(float* wave, const float* real, const float* windowOut, int size) {
  for (int n = 0; n < size; n += 16)
    _mm512_storeu_ps(wave + n,
                     _mm512_add_ps(_mm512_mul_ps(_mm512_loadu_ps(real + n), _mm512_loadu_ps(windowOut + n)),
                                   _mm512_loadu_ps(wave + n)));
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

// With packed set, the peaks' inputs come from it (see PeakInputs) instead
// of being gathered bin by bin.
VOC_AVX512 int peakRotationsAvx512(const float* phi, const float* phi0, const float* psi, const float* omega,
                                   const int* peaks, int nPeaks, float stretchFactor, const float* packed,
                                   int stride, float* rotation) {
  const __m256 stretch = _mm256_set1_ps(stretchFactor);
  int p = 0;
  for (; p + 8 <= nPeaks; p += 8) {
    __m256 ph, pphi0, ppsi, pomega;
    if (packed != nullptr) {
      ph = _mm256_loadu_ps(packed + p);
      pphi0 = _mm256_loadu_ps(packed + stride + p);
      ppsi = _mm256_loadu_ps(packed + 2 * stride + p);
      pomega = _mm256_loadu_ps(packed + 3 * stride + p);
    } else {
      const __m256i idx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(peaks + p));
      ph = _mm256_i32gather_ps(phi, idx, 4);
      pphi0 = _mm256_i32gather_ps(phi0, idx, 4);
      ppsi = _mm256_i32gather_ps(psi, idx, 4);
      pomega = _mm256_i32gather_ps(omega, idx, 4);
    }
    int fits1;
    int fits2;
    const __m256 delta = princarg8(_mm256_sub_ps(_mm256_sub_ps(ph, pphi0), pomega), fits1);
    const __m256 target =
        princarg8(_mm256_add_ps(_mm256_mul_ps(_mm256_add_ps(delta, pomega), stretch), ppsi), fits2);
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
VOC_AVX512 int collectPeaksAvx512(const float* mag, int from, int until, int* peaks, int count,
                                  const PeakInputs& in) {
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const float* sources[4] = {in.phi, in.phi0, in.psi, in.omega};
  int bin = from;
  for (; bin + 16 <= until; bin += 16) {
    const __m512 c = _mm512_loadu_ps(mag + bin);
    __mmask16 m = _mm512_cmp_ps_mask(c, _mm512_loadu_ps(mag + bin - 1), _CMP_GT_OQ);
    m = _mm512_mask_cmp_ps_mask(m, c, _mm512_loadu_ps(mag + bin + 1), _CMP_GT_OQ);
    m = _mm512_mask_cmp_ps_mask(m, c, _mm512_loadu_ps(mag + bin - 2), _CMP_GT_OQ);
    m = _mm512_mask_cmp_ps_mask(m, c, _mm512_loadu_ps(mag + bin + 2), _CMP_GT_OQ);
    const __m512i bins = _mm512_add_epi32(lanes, _mm512_set1_epi32(bin));
    _mm512_storeu_si512(peaks + count, _mm512_maskz_compress_epi32(m, bins));
    if (in.packed != nullptr) {
      for (int a = 0; a < 4; a++)
        _mm512_storeu_ps(in.packed + a * in.stride + count,
                         _mm512_maskz_compress_ps(m, _mm512_loadu_ps(sources[a] + bin)));
    }
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

// The transform forms the windowed frame as it loads it.
void analyze(const float* input, const float* window, float* re, float* im, float* mag, float* phi,
             int half) {
  fft_forward_windowed(input, window, re, im);
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
int findPeaks(float* mag, int half, int* peaks, int* valleys, const PeakInputs& in) {
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
    auto append = [&](int bin) {
      if (in.packed != nullptr) {
        in.packed[nPeaks] = in.phi[bin];
        in.packed[in.stride + nPeaks] = in.phi0[bin];
        in.packed[2 * in.stride + nPeaks] = in.psi[bin];
        in.packed[3 * in.stride + nPeaks] = in.omega[bin];
      }
      peaks[nPeaks++] = bin;
    };
    int bin = 0;
    for (; bin < 2 && bin < half; bin++)
      if (isPeak(bin)) append(bin);
    if (half >= 2) {
      nPeaks = collectPeaksAvx512(mag, 2, half, peaks, nPeaks, in);
      bin = 2 + (half - 2) / 16 * 16;
    }
    for (; bin < half; bin++)
      if (isPeak(bin)) append(bin);
    for (int p = 1; p < nPeaks; p++) valleys[p] = valleyAvx512(mag, peaks[p - 1], peaks[p]);
    return nPeaks;
  }
  auto addPeak = [&](int bin) {
    if (in.packed != nullptr) {
      in.packed[nPeaks] = in.phi[bin];
      in.packed[in.stride + nPeaks] = in.phi0[bin];
      in.packed[2 * in.stride + nPeaks] = in.psi[bin];
      in.packed[3 * in.stride + nPeaks] = in.omega[bin];
    }
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
               int* valleys, int nPeaks, int half, float stretchFactor, float* rotation, float* peakRotations,
               const PeakInputs& in) {
  valleys[nPeaks] = half;
  if (nPeaks == 0) return;
  int p = 0;
  if (wideVectors)
    p = peakRotationsAvx512(phi, phi0, psi, omega, peaks, nPeaks, stretchFactor, in.packed, in.stride,
                            peakRotations);
  if (vectorPath)
    p += peakRotationsAvx2(phi, phi0, psi, omega, peaks + p, nPeaks - p, stretchFactor,
                           in.packed != nullptr ? in.packed + p : nullptr, in.stride, peakRotations + p);
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
  if (wideVectors && size % 16 == 0) {
    overlapAddAvx512(wave, real, windowOut, size);
  } else if (vectorPath && size % 8 == 0) {
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

  analyze(input, buffers.window.get(), re, im, mag, phi, winHalf);
  // Only the vector steps read the peaks' packed inputs.
  float* packed = vectorPath ? buffers.peakInputs.get() : nullptr;
  const float* phi0 = buffers.phi0s[channel].get();
  const PeakInputs peakInputs{phi, phi0, psi, buffers.omega.get(), packed, winHalf + 16};
  const int nPeaks = findPeaks(mag, winHalf, peaks, valleys, peakInputs);
  phaseLock(phi, phi0, psi, peakInputs.omega, peaks, valleys, nPeaks, winHalf, stretchFactor,
            buffers.rotation.get(), buffers.peakRotation.get(), peakInputs);
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

void vocoder_restart() {
  if (!initialized) return;
  for (int ch = 0; ch < kChannels; ch++) {
    std::fill_n(buffers.inputs[ch].get(), kSlideFrames * winSize, 0.0f);
    std::fill_n(buffers.waves[ch].get(), kSlideFrames * winSize, 0.0f);
    inputStarts[ch] = waveStarts[ch] = 0;
    inIndexes[ch] = 0;
  }
  resetPhases();
}

float vocoder_princarg(float phase) {
  return princarg(phase);
}

int vocoder_find_peaks(float* mag, int half, int* peaks, int* valleys) {
  return findPeaks(mag, half, peaks, valleys, PeakInputs{});
}

void vocoder_phase_lock(const float* phi, const float* phi0, float* psi, const float* omega, const int* peaks,
                        int* valleys, int nPeaks, int half, float stretchFactor) {
  std::unique_ptr<float[]> rotation(new float[static_cast<size_t>(std::max(half, 0)) + 8]);
  std::unique_ptr<float[]> peakRotations(new float[static_cast<size_t>(std::max(nPeaks, 1))]);
  phaseLock(phi, phi0, psi, omega, peaks, valleys, nPeaks, half, stretchFactor, rotation.get(),
            peakRotations.get(), PeakInputs{});
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
