// The vocoder's AVX2 kernels: four bins to a vector in double precision,
// eight in single (see vocoder_kernels.h).
#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "cpu.h"
#include "vocoder_kernels.h"

namespace {

using namespace vocoder_internal;

// Lanes (as a 4-bit mask) whose double result r does not round to float
// unambiguously within the margin, or is NaN.
TAMBRINO_AVX2 inline int ambiguousLanes(__m256d r, __m128 f) {
  const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
  const __m256d d = _mm256_mul_pd(_mm256_and_pd(r, absMask), _mm256_set1_pd(kMargin));
  const __m128 lo = _mm256_cvtpd_ps(_mm256_sub_pd(r, d));
  const __m128 hi = _mm256_cvtpd_ps(_mm256_add_pd(r, d));
  const __m128 same = _mm_and_ps(_mm_cmp_ps(lo, f, _CMP_EQ_OQ), _mm_cmp_ps(hi, f, _CMP_EQ_OQ));
  return ~_mm_movemask_ps(same) & 0xf;
}

TAMBRINO_AVX2 inline __m256d splat(double v) {
  return _mm256_set1_pd(v);
}

TAMBRINO_AVX2 inline __m256d select(__m256d mask, __m256d ifTrue, __m256d ifFalse) {
  return _mm256_blendv_pd(ifFalse, ifTrue, mask);
}

// table[index] for each lane (the indices, in 64 bits, must be in range).
TAMBRINO_AVX2 inline __m256d gatherTable(const double* table, __m256i index) {
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
TAMBRINO_AVX2 inline __m256d atan2Kernel(__m256d y, __m256d x, __m128 yf, __m128 xf) {
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

TAMBRINO_AVX2 int analyze(const float* re, const float* im, float* mag, float* phi, int half) {
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
    // Zeros, exactly as C's atan2 defines them: atan2(+-0, x) is +-0
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
  return k;
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
TAMBRINO_AVX2 inline void sinCosKernel(__m256d x, __m256d& sinx, __m256d& cosx) {
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

TAMBRINO_AVX2 int synthesize(const float* mag, const float* gains, const float* psi, float* re, float* im,
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
  return k;
}

// princarg of four phases, the quotient truncated in 32 bits (the same value
// as in 64 bits while it fits): fits has a lane bit set where the quotient
// fits (elsewhere the result is garbage).
//
// The quotient's truncation comes from the product with 1/pi, which differs
// from the correctly rounded quotient by a few units in the last place: when
// every value within 2^-40 of the product truncates to the same integer, so
// does the quotient. Only a phase within that distance of a multiple of pi
// (practically never) takes the division.
TAMBRINO_AVX2 inline __m128 princarg4(__m128 phase, int& fits) {
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

// A four-lane float mask as a four-lane double mask.
TAMBRINO_AVX2 inline __m256d widenMask(__m128 mask) {
  return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_castps_si128(mask)));
}

// princarg of four phases below kThreePi in magnitude (see kOnePi);
// far has a lane bit set for every other phase, NaN included.
TAMBRINO_AVX2 inline __m128 princargNear4(__m128 phase, int& far) {
  const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), phase);
  far = _mm_movemask_ps(_mm_cmp_ps(magnitude, _mm_set1_ps(kThreePi), _CMP_NLT_UQ));
  // Lane masks widened to 64 bits pick exactly 2 * pi or -2 * pi.
  const __m256d up = widenMask(_mm_cmp_ps(phase, _mm_set1_ps(kOnePi), _CMP_GE_OQ));
  const __m256d down = widenMask(_mm_cmp_ps(phase, _mm_set1_ps(-kOnePi), _CMP_LE_OQ));
  const __m256d offset = _mm256_or_pd(_mm256_and_pd(up, _mm256_set1_pd(2.0 * kPi)),
                                      _mm256_and_pd(down, _mm256_set1_pd(-2.0 * kPi)));
  return _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_cvtps_pd(phase), offset));
}

// Four peaks at a time; a lane whose quotient does not fit is recomputed by
// peakRotation.
TAMBRINO_AVX2 int peakRotations(const float* phi, const float* phi0, const float* psi, const float* omega,
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
TAMBRINO_AVX2 int rotate(const float* phi, const float* rot, float* psi, int count) {
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
  return k;
}

// Eight bins at a time, masked at the end.
TAMBRINO_AVX2 int valleyOf(const float* mag, int lo, int hi) {
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

// Regions are written in ascending order, eight bins per store: a store that
// runs into the next region is overwritten by that region's own.
TAMBRINO_AVX2 void fillRegions(const float* peakRotation, const int* valleys, int nPeaks, float* rotation) {
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
TAMBRINO_AVX2 inline int peakMask8(const float* mag, int from) {
  const __m256 c = _mm256_loadu_ps(mag + from);
  const __m256 gt =
      _mm256_and_ps(_mm256_and_ps(_mm256_cmp_ps(c, _mm256_loadu_ps(mag + from - 1), _CMP_GT_OQ),
                                  _mm256_cmp_ps(c, _mm256_loadu_ps(mag + from + 1), _CMP_GT_OQ)),
                    _mm256_and_ps(_mm256_cmp_ps(c, _mm256_loadu_ps(mag + from - 2), _CMP_GT_OQ),
                                  _mm256_cmp_ps(c, _mm256_loadu_ps(mag + from + 2), _CMP_GT_OQ)));
  return _mm256_movemask_ps(gt);
}

TAMBRINO_AVX2 int overlapAdd(float* wave, const float* real, const float* windowOut, int size) {
  int n = 0;
  for (; n + 8 <= size; n += 8)
    _mm256_storeu_ps(wave + n,
                     _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(real + n), _mm256_loadu_ps(windowOut + n)),
                                   _mm256_loadu_ps(wave + n)));
  return n;
}

TAMBRINO_AVX2 int peakMasks(const float* mag, int from, int until, uint8_t* masks) {
  int bin = from;
  for (; bin + 8 <= until; bin += 8) masks[(bin - from) / 8] = static_cast<uint8_t>(peakMask8(mag, bin));
  return bin - from;
}

}  // namespace

namespace vocoder_avx2 {

int analyze_bins(const float* re, const float* im, float* mag, float* phi, int count) {
  return analyze(re, im, mag, phi, count);
}

int synthesize_bins(const float* mag, const float* gains, const float* psi, float* re, float* im, int count) {
  return synthesize(mag, gains, psi, re, im, count);
}

int rotate_bins(const float* phi, const float* rot, float* psi, int count) {
  return rotate(phi, rot, psi, count);
}

int peak_rotations(const float* phi, const float* phi0, const float* psi, const float* omega,
                   const int* peaks, int nPeaks, float stretchFactor, const float* packed, int stride,
                   float* rotation) {
  return peakRotations(phi, phi0, psi, omega, peaks, nPeaks, stretchFactor, packed, stride, rotation);
}

int peak_masks(const float* mag, int from, int until, uint8_t* masks) {
  return peakMasks(mag, from, until, masks);
}

int valley(const float* mag, int lo, int hi) {
  return valleyOf(mag, lo, hi);
}

void fill_regions(const float* peakRotation, const int* valleys, int nPeaks, float* rotation) {
  fillRegions(peakRotation, valleys, nPeaks, rotation);
}

int overlap_add(float* wave, const float* real, const float* windowOut, int size) {
  return overlapAdd(wave, real, windowOut, size);
}

}  // namespace vocoder_avx2
