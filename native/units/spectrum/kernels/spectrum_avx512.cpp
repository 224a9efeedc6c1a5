// The spectrum analyser's AVX-512 kernels (see spectrum_kernels.h).
#include <immintrin.h>

#include <algorithm>

#include "cpu.h"
#include "spectrum_kernels.h"

namespace {

using namespace spectrum_internal;

SPECTRUM_PAIR_KERNEL(correlatePairRows, TAMBRINO_AVX512)

TAMBRINO_AVX512 void correlateTable(const float (*table)[SPECTRUM_NOTES],
                                    const float (*buffers)[SPECTRUM_HISTORY], int count, int k0,
                                    float (*parts)[SPECTRUM_NOTES]) {
  int a = 0;
  for (; a + 1 < count; a += 2)
    correlatePairRows<0, 9>(table, buffers[a], buffers[a + 1], k0, parts[a], parts[a + 1]);
  if (a < count) correlateTile(table, buffers[a], k0, parts[a]);
}

// Every analysis, tile by tile.
TAMBRINO_AVX512 void correlateAll(const float (*minusSinTable)[SPECTRUM_NOTES],
                                  const float (*cosTable)[SPECTRUM_NOTES],
                                  const float (*buffers)[SPECTRUM_HISTORY], int count,
                                  float (*sinParts)[SPECTRUM_NOTES], float (*cosParts)[SPECTRUM_NOTES]) {
  for (int a = 0; a < count; ++a) {
    std::fill(sinParts[a], sinParts[a] + SPECTRUM_NOTES, 0.0f);
    std::fill(cosParts[a], cosParts[a] + SPECTRUM_NOTES, 0.0f);
  }
  for (int k0 = 0; k0 < SPECTRUM_HISTORY; k0 += kTileRows) {
    correlateTable(minusSinTable, buffers, count, k0, sinParts);
    correlateTable(cosTable, buffers, count, k0, cosParts);
  }
}

// GCC 12's AVX-512 headers start the conversions from an "undefined" value
// and then warn about it wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
TAMBRINO_AVX512 void applyWindow(const float* history, const double* window, float* buffer) {
  for (int j = 0; j < SPECTRUM_HISTORY; j += 8) {
    const __m512d v =
        _mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(history + j)), _mm512_loadu_pd(window + j));
    _mm256_store_ps(buffer + j, _mm512_cvtpd_ps(v));
  }
}
#pragma GCC diagnostic pop

}  // namespace

namespace spectrum_avx512 {

int correlate(const float (*minusSinTable)[SPECTRUM_NOTES], const float (*cosTable)[SPECTRUM_NOTES],
              const float (*buffers)[SPECTRUM_HISTORY], int count, float (*sinParts)[SPECTRUM_NOTES],
              float (*cosParts)[SPECTRUM_NOTES]) {
  correlateAll(minusSinTable, cosTable, buffers, count, sinParts, cosParts);
  return count;
}

int apply_window(const float* history, const double* window, float* buffer) {
  applyWindow(history, window, buffer);
  return SPECTRUM_HISTORY;
}

}  // namespace spectrum_avx512
