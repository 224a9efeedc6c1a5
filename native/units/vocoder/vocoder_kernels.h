// Internal to the vocoder: the portable steps that the vector kernels fall
// back on lane by lane, the constants of the kernels' polynomials, and the
// kernels of each instruction set (vocoder_avx2.cpp, vocoder_avx512.cpp).
//
// Every kernel follows the engine's one convention: it does what it can in
// whole vectors and returns how much it did (bins, peaks or samples); the
// caller finishes the rest with the next narrower kernel or the portable
// step. The valley search and the region fill are whole steps.
//
// The vector steps give the portable steps' results bit for bit:
// - float and double additions, multiplications, divisions and square roots
//   round the same in a vector lane; no fused multiply-add is used (the
//   targets do not enable FMA and contraction is off);
// - atan2, sin and cos are evaluated by short polynomials after a table
//   reduction; a result is kept only when every value within a margin around
//   it rounds to the same float. Otherwise, and for every non-finite or
//   out-of-range input, the lane is recomputed with the engine's own
//   functions (detmath.h), which are the same on every platform. The
//   margin, 2^-40 of the value, covers the error of these kernels (below
//   2^-47 of the value, proven by tools/fit_kernels.py: the polynomials'
//   minimax error plus every rounding on the way) and detmath's own
//   (below one unit in the last place of a double), 8 times over.
//   A value falls within the margin of a float's rounding boundary with a
//   probability of about 2^-15, so that a frame of 1024 bins sends a lane to
//   the portable function only now and then.
//
// Owns: nothing but constants (functions over caller-given arrays).
// Threads: the kernels run on the thread of the vocoder call that takes them.
// Audio path: they allocate, lock and log nothing.

#pragma once

#include <math.h>

#include <cmath>
#include <cstdint>

#include "detmath.h"

namespace vocoder_internal {

constexpr double kPi = 3.141592653589793;

// Subtracts an even multiple of pi: non-negative phases land in [-pi, pi),
// negative ones in (-pi, pi]. The quotient is truncated to 64 bits.
inline float princarg(float phase) {
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

// A phase p with |p| below kThreePi has the quotient 0, 1 or 2 (or their
// negatives), so princarg subtracts 0 or 2 pi with the phase's sign exactly
// when |p| >= kOnePi: a comparison instead of a division. Both are the
// smallest floats whose quotient by pi truncates to 1 and 3.
extern const float kOnePi;
extern const float kThreePi;

// The angle by which a peak's region turns: the peak's measured phase
// advance, stretched, added to its previous synthesis phase.
inline float peakRotation(const float* phi, const float* phi0, const float* psi, const float* omega, int peak,
                          float stretchFactor) {
  const float pomega = omega[peak];
  const float peakDeltaPhi = princarg(phi[peak] - phi0[peak] - pomega);
  const float peakTargetPhase = princarg((peakDeltaPhi + pomega) * stretchFactor + psi[peak]);
  return princarg(peakTargetPhase - phi[peak]);
}

// The analysis phase of one bin, by the engine's own arctangent.
inline float phaseOf(float real, float imag) {
  return static_cast<float>(tmath_atan2(static_cast<double>(imag), static_cast<double>(real)));
}

// One synthesised bin, by the engine's own sine and cosine.
inline void rectOf(float magTmp, float psiTmp, float* re, float* im) {
  double s;
  double c;
  tmath_sincos(static_cast<double>(psiTmp), &s, &c);
  *re = static_cast<float>(static_cast<double>(magTmp) * c);
  *im = static_cast<float>(static_cast<double>(magTmp) * s);
}

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

}  // namespace vocoder_internal

namespace vocoder_avx2 {

int analyze_bins(const float* re, const float* im, float* mag, float* phi, int count);
int synthesize_bins(const float* mag, const float* gains, const float* psi, float* re, float* im, int count);
int rotate_bins(const float* phi, const float* rot, float* psi, int count);
// peakRotation of peaks[0 ..]; with packed set, the peaks' inputs come from
// it (see PeakInputs) instead of being gathered bin by bin.
int peak_rotations(const float* phi, const float* phi0, const float* psi, const float* omega,
                   const int* peaks, int nPeaks, float stretchFactor, const float* packed, int stride,
                   float* rotation);
// The peak test of bins from, from + 1, ..., eight at a time: masks[i] has
// bit j set when bin from + 8 i + j is a peak. Returns the bins tested.
int peak_masks(const float* mag, int from, int until, uint8_t* masks);
// The valley of mag[lo .. hi-1]: the lowest value below FLT_MAX, at its first
// position (0 when there is none), as the strict scan "mag[i] < min" from
// min = FLT_MAX finds it.
int valley(const float* mag, int lo, int hi);
// rotation[b] = peakRotation[q] for every bin b of region q (valleys[q] ..
// valleys[q + 1] - 1); rotation needs seven floats of room after the last
// region.
void fill_regions(const float* peakRotation, const int* valleys, int nPeaks, float* rotation);
// wave[n] = real[n] * windowOut[n] + wave[n].
int overlap_add(float* wave, const float* real, const float* windowOut, int size);

}  // namespace vocoder_avx2

namespace vocoder_avx512 {

int analyze_bins(const float* re, const float* im, float* mag, float* phi, int count);
int synthesize_bins(const float* mag, const float* gains, const float* psi, float* re, float* im, int count);
int rotate_bins(const float* phi, const float* rot, float* psi, int count);
int peak_rotations(const float* phi, const float* phi0, const float* psi, const float* omega,
                   const int* peaks, int nPeaks, float stretchFactor, const float* packed, int stride,
                   float* rotation);
// The peaks among bins from .. until - 1 (from >= 2, until + 2 <= half + 2),
// appended to peaks[count ..] (and their inputs to in.packed, if set);
// count is raised to the new count. Returns the bins scanned.
int collect_peaks(const float* mag, int from, int until, int* peaks, int& count,
                  const vocoder_internal::PeakInputs& in);
int valley(const float* mag, int lo, int hi);
int overlap_add(float* wave, const float* real, const float* windowOut, int size);

}  // namespace vocoder_avx512
