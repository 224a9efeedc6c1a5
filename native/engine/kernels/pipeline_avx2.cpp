// The block pipeline's AVX2 kernels (see pipeline_kernels.h).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "cpu.h"
#include "pipeline_kernels.h"

namespace {

using namespace pipeline_internal;

// The limiter and the conversion to PCM of eight samples, with the same
// operations per sample as pipeline_convert_output; raises peak to their levels.
// The peak is a maximum, which the order of the samples cannot change (a NaN
// level never wins, as with fmax).
struct Limiter8 {
  __m256 scaling, gain, slope;
};

TAMBRINO_AVX2 inline __m256i pcm8(const float* out, const Limiter8& l, __m256& peak) {
  const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 threshold = _mm256_set1_ps(kLimiterThreshold);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 minusOne = _mm256_set1_ps(-1.0f);
  const __m256 output = _mm256_mul_ps(_mm256_div_ps(_mm256_loadu_ps(out), l.scaling), l.gain);
  const __m256 level = _mm256_and_ps(output, absMask);
  const __m256 factor =
      _mm256_blendv_ps(_mm256_sub_ps(one, _mm256_mul_ps(_mm256_sub_ps(level, threshold), l.slope)), one,
                       _mm256_cmp_ps(level, threshold, _CMP_LT_OQ));
  peak = _mm256_max_ps(level, peak);  // a NaN level keeps the peak
  const __m256 x = _mm256_mul_ps(output, factor);
  __m256i pcm = _mm256_cvttps_epi32(_mm256_mul_ps(x, _mm256_set1_ps(32767.0f)));
  pcm = _mm256_blendv_epi8(pcm, _mm256_set1_epi32(-32767),
                           _mm256_castps_si256(_mm256_cmp_ps(x, minusOne, _CMP_LT_OQ)));
  pcm = _mm256_blendv_epi8(pcm, _mm256_set1_epi32(32767),
                           _mm256_castps_si256(_mm256_cmp_ps(x, one, _CMP_GT_OQ)));
  return _mm256_andnot_si256(_mm256_castps_si256(_mm256_cmp_ps(x, x, _CMP_UNORD_Q)), pcm);  // NaN writes 0
}

TAMBRINO_AVX2 float peakOf(__m256 peak) {
  __m128 m = _mm_max_ps(_mm256_castps256_ps128(peak), _mm256_extractf128_ps(peak, 1));
  m = _mm_max_ps(m, _mm_movehl_ps(m, m));
  m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
  return _mm_cvtss_f32(m);
}

// The values are clamped to 16 bits, so packing them loses nothing.
TAMBRINO_AVX2 int convertOutput(const float* out, int count, float overlapScaling, float gain, float slope,
                                int16_t* dest, int stride, float& maxLevel) {
  const Limiter8 l{_mm256_set1_ps(overlapScaling), _mm256_set1_ps(gain), _mm256_set1_ps(slope)};
  __m256 peak = _mm256_set1_ps(maxLevel);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i pcm = pcm8(out + i, l, peak);
    if (stride == 1) {
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(pcm, pcm), _MM_SHUFFLE(3, 1, 2, 0));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + i), _mm256_castsi256_si128(packed));
      continue;
    }
    alignas(32) int32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), pcm);
    for (int k = 0; k < 8; k++)
      dest[static_cast<size_t>(i + k) * static_cast<size_t>(stride)] = static_cast<int16_t>(lanes[k]);
  }
  maxLevel = peakOf(peak);
  return i;
}

TAMBRINO_AVX2 int convertPair(const float* left, const float* right, int count, float overlapScaling,
                              float gain, float slope, int16_t* dest, float& maxLevel) {
  const Limiter8 l{_mm256_set1_ps(overlapScaling), _mm256_set1_ps(gain), _mm256_set1_ps(slope)};
  __m256 peak = _mm256_set1_ps(maxLevel);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i l8 = pcm8(left + i, l, peak);
    const __m256i r8 = pcm8(right + i, l, peak);
    // Per 128-bit lane: frames 0, 1 | 4, 5 and 2, 3 | 6, 7, packed in order.
    const __m256i frames = _mm256_packs_epi32(_mm256_unpacklo_epi32(l8, r8), _mm256_unpackhi_epi32(l8, r8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + 2 * static_cast<size_t>(i)), frames);
  }
  maxLevel = peakOf(peak);
  return i;
}

TAMBRINO_AVX2 int pannedFrames(const int16_t* c_samples, int count, const StereoImage& s, float scale,
                               float* left, float* right) {
  const __m256 sc = _mm256_set1_ps(scale);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    // Each 32-bit word holds one frame: left in the low half, right in the high.
    const __m256i frames = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c_samples + 2 * i));
    __m256 l = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(frames, 16), 16));
    __m256 r = _mm256_cvtepi32_ps(_mm256_srai_epi32(frames, 16));
    if (s.panning) {
      if (s.fold) {
        l = r = _mm256_mul_ps(_mm256_add_ps(l, r), _mm256_set1_ps(0.5f));
      } else {
        const __m256 newLeft = _mm256_add_ps(_mm256_mul_ps(l, _mm256_set1_ps(s.g.leftLevelLeft)),
                                             _mm256_mul_ps(r, _mm256_set1_ps(s.g.leftLevelRight)));
        const __m256 newRight = _mm256_add_ps(_mm256_mul_ps(r, _mm256_set1_ps(s.g.rightLevelRight)),
                                              _mm256_mul_ps(l, _mm256_set1_ps(s.g.rightLevelLeft)));
        l = newLeft;
        r = newRight;
      }
    }
    if (scale != 1.0f) {
      l = _mm256_mul_ps(l, sc);
      r = _mm256_mul_ps(r, sc);
    }
    _mm256_storeu_ps(left + i, l);
    _mm256_storeu_ps(right + i, r);
  }
  return i;
}

TAMBRINO_AVX2 int removeVoice(const double* from, const double* y, double amount, float* out, int count) {
  const __m256d a = _mm256_set1_pd(amount);
  const __m256d scale = _mm256_set1_pd(kInputScaleDouble);
  int j = 0;
  for (; j + 4 <= count; j += 4) {
    const __m256d v = _mm256_sub_pd(_mm256_loadu_pd(from + j), _mm256_mul_pd(_mm256_loadu_pd(y + j), a));
    _mm_storeu_ps(out + j, _mm256_cvtpd_ps(_mm256_mul_pd(v, scale)));
  }
  return j;
}

TAMBRINO_AVX2 int widenFloats(const float* in, double* out, int count) {
  int j = 0;
  for (; j + 4 <= count; j += 4) _mm256_storeu_pd(out + j, _mm256_cvtps_pd(_mm_loadu_ps(in + j)));
  return j;
}

}  // namespace

namespace pipeline_avx2 {

int convert_output(const float* out, int count, float overlapScaling, float gain, float slope, int16_t* dest,
                   int stride, float& maxLevel) {
  return convertOutput(out, count, overlapScaling, gain, slope, dest, stride, maxLevel);
}

int convert_output_pair(const float* left, const float* right, int count, float overlapScaling, float gain,
                        float slope, int16_t* dest, float& maxLevel) {
  return convertPair(left, right, count, overlapScaling, gain, slope, dest, maxLevel);
}

int panned_frames(const int16_t* frames, int count, const StereoImage& s, float scale, float* left,
                  float* right) {
  return pannedFrames(frames, count, s, scale, left, right);
}

int remove_voice(const double* from, const double* y, double amount, float* out, int count) {
  return removeVoice(from, y, amount, out, count);
}

int widen(const float* in, double* out, int count) {
  return widenFloats(in, out, count);
}

}  // namespace pipeline_avx2
