// The vocoder's AVX-512 kernels: the AVX2 kernels eight lanes wide in double
// precision (sixteen in single), with the same operations in every lane and
// so the same results (see vocoder_kernels.h).
#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "cpu.h"
#include "vocoder_kernels.h"

namespace {

using namespace vocoder_internal;

// GCC 12's AVX-512 headers start some conversions from an "undefined" value
// and then warn about it wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

TAMBRINO_AVX512 inline __m512d splat8(double v) {
  return _mm512_set1_pd(v);
}

// As the AVX2 kernels' ambiguousLanes, for eight lanes, on the bit pattern: a double that is
// zero or of a float's normal magnitude rounds to float by its low 29 bits,
// halfway at 2^28; when these are more than 2^13 (units in the last place of
// the double, at least 2^-40 of the value) away from halfway, every value
// within the margin rounds to the same float. A subnormal float rounds
// elsewhere, so those lanes (not zeros) count as ambiguous. Values of 2^128
// and beyond, NaN included, come only from non-finite input, which the
// callers check. Returns the clear lanes.
TAMBRINO_AVX512 inline __mmask8 clearLanes8(__m512d r) {
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

// As the AVX2 kernels' atan2Kernel, for eight lanes, without a division: c comes from a 14-bit
// reciprocal of hi (|t - c| <= 1/16 + 2^-14 keeps |u| <= 0.0626), and u
// from a 14-bit reciprocal of the denominator refined by two Newton steps
// (relative error below 2^-51). Zeros need no special case: hi is kept
// above zero (where lo and hi are both zero the quotient is then 0), and
// the sign bit of x rather than x < 0 picks pi - r, so that atan2(+-0, -0)
// is +-pi and atan2(y, -0) is pi - pi/2. Non-finite lanes give garbage.
TAMBRINO_AVX512 inline __m512d atan2Kernel8(__m512d y, __m512d x) {
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
// must come from the portable function.
TAMBRINO_AVX512 inline int analyze8(const float* re, const float* im, float* mag, float* phi, int k) {
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

TAMBRINO_AVX512 int analyze(const float* re, const float* im, float* mag, float* phi, int count) {
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

// As the AVX2 kernels' sinCosKernel, for eight lanes; the tables are read by a permutation.
// The sign change for k mod 32 >= 16 is left to the caller: the returned
// lanes hold -sin x and -cos x (one sign change of the magnitude serves both).
TAMBRINO_AVX512 inline __mmask8 sinCosKernel8(__m512d x, __m512d& sinx, __m512d& cosx) {
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

TAMBRINO_AVX512 int synthesize(const float* mag, const float* gains, const float* psi, float* re, float* im,
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

// As the AVX2 kernels' princarg4, for eight phases.
TAMBRINO_AVX512 inline __m256 princarg8(__m256 phase, int& fits) {
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
TAMBRINO_AVX512 inline __m256 princargNear8(__m256 phase, int& far) {
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

TAMBRINO_AVX512 int overlapAdd(float* wave, const float* real, const float* windowOut, int size) {
  int n = 0;
  for (; n + 16 <= size; n += 16)
    _mm512_storeu_ps(wave + n,
                     _mm512_add_ps(_mm512_mul_ps(_mm512_loadu_ps(real + n), _mm512_loadu_ps(windowOut + n)),
                                   _mm512_loadu_ps(wave + n)));
  return n;
}

// A bin's phase and its region's rotation both lie within [-pi, pi] unless
// the input was not finite, so the sum's quotient is small.
TAMBRINO_AVX512 int rotate(const float* phi, const float* rot, float* psi, int count) {
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

TAMBRINO_AVX512 int peakRotations(const float* phi, const float* phi0, const float* psi, const float* omega,
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

// Regions of at most sixteen bins (most of them) without a loop; the AVX2
// kernel takes longer ones.
TAMBRINO_AVX512 int valleyOf(const float* mag, int lo, int hi) {
  const int len = hi - lo;
  if (len > 16) return vocoder_avx2::valley(mag, lo, hi);
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

// Sixteen bins at a time. Each step stores sixteen entries, which stay below
// peaks[until]: a peak needs three bins, so count + 16 <= until.
TAMBRINO_AVX512 int collectPeaks(const float* mag, int from, int until, int* peaks, int& countInOut,
                                 const PeakInputs& in) {
  int count = countInOut;
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
  countInOut = count;
  return bin - from;
}

#pragma GCC diagnostic pop

}  // namespace

namespace vocoder_avx512 {

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

int collect_peaks(const float* mag, int from, int until, int* peaks, int& count, const PeakInputs& in) {
  return collectPeaks(mag, from, until, peaks, count, in);
}

int valley(const float* mag, int lo, int hi) {
  return valleyOf(mag, lo, hi);
}

int overlap_add(float* wave, const float* real, const float* windowOut, int size) {
  return overlapAdd(wave, real, windowOut, size);
}

}  // namespace vocoder_avx512
