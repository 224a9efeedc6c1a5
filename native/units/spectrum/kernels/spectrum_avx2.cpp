// The spectrum analyser's AVX2 kernels (see spectrum_kernels.h).
#include <immintrin.h>

#include <algorithm>

#include "cpu.h"
#include "spectrum_kernels.h"

namespace {

using namespace spectrum_internal;

SPECTRUM_PAIR_KERNEL(correlatePairChunk, TAMBRINO_AVX2)

TAMBRINO_AVX2 void correlateTable(const float (*table)[SPECTRUM_NOTES],
                                  const float (*buffers)[SPECTRUM_HISTORY], int count, int k0,
                                  float (*parts)[SPECTRUM_NOTES]) {
  int a = 0;
  for (; a + 1 < count; a += 2) {
    correlatePairChunk<0, 5>(table, buffers[a], buffers[a + 1], k0, parts[a], parts[a + 1]);
    correlatePairChunk<5, 4>(table, buffers[a], buffers[a + 1], k0, parts[a], parts[a + 1]);
  }
  if (a < count) correlateTile(table, buffers[a], k0, parts[a]);
}

// Every analysis, tile by tile.
TAMBRINO_AVX2 void correlateAll(const float (*minusSinTable)[SPECTRUM_NOTES],
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

TAMBRINO_AVX2 void applyWindow(const float* history, const double* window, float* buffer) {
  for (int j = 0; j < SPECTRUM_HISTORY; j += 4) {
    const __m256d v = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(history + j)), _mm256_loadu_pd(window + j));
    _mm_store_ps(buffer + j, _mm256_cvtpd_ps(v));
  }
}

}  // namespace

namespace spectrum_avx2 {

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

}  // namespace spectrum_avx2
