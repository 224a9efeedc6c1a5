// Internal to the spectrum analyser: its vector kernels
// (spectrum_avx2.cpp, spectrum_avx512.cpp) and the steps they share.
//
// Every kernel follows the engine's one convention: it does what it can in
// whole vectors and returns how much it did; the caller finishes with the
// portable step. The analyser's kernels always do it all.
//
// Owns: nothing (functions over the analyser's tables and buffers).
// Threads: the kernels run on the thread that pushes samples to the analyser.
// Audio path: they allocate, lock and log nothing.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu.h"
#include "spectrum.h"

namespace spectrum_avx2 {

// The correlations of count windowed histories (buffers[a], a < count) with
// the note tables: sinParts[a][i] = sum over k of buffers[a][k] *
// minusSinTable[k][i], likewise cosParts; in float, k ascending, from 0.
// Returns count.
int correlate(const float (*minusSinTable)[SPECTRUM_NOTES], const float (*cosTable)[SPECTRUM_NOTES],
              const float (*buffers)[SPECTRUM_HISTORY], int count, float (*sinParts)[SPECTRUM_NOTES],
              float (*cosParts)[SPECTRUM_NOTES]);
// buffer[j] = (float)(history[j] * window[j]), in double precision, for the
// whole history. Returns SPECTRUM_HISTORY.
int apply_window(const float* history, const double* window, float* buffer);

}  // namespace spectrum_avx2

// The same, with whole rows of two analyses at once in AVX-512's 32 vector
// registers (still eight notes a vector: 512-bit operations would not be
// faster).
namespace spectrum_avx512 {

int correlate(const float (*minusSinTable)[SPECTRUM_NOTES], const float (*cosTable)[SPECTRUM_NOTES],
              const float (*buffers)[SPECTRUM_HISTORY], int count, float (*sinParts)[SPECTRUM_NOTES],
              float (*cosParts)[SPECTRUM_NOTES]);
int apply_window(const float* history, const double* window, float* buffer);

}  // namespace spectrum_avx512

#if defined(__x86_64__)  // the vector steps exist only where their kernels do
namespace spectrum_internal {

// The same sums, eight notes to a vector (a product and a sum per lane,
// never fused), for every pending analysis. The history runs in tiles that
// stay in the first-level cache: the first analysis brings a tile of a table
// in, the others find it there. Each analysis keeps its nine sums of one
// table in registers through a tile and in part[] between tiles, so that
// every lane still adds its products with k ascending, from 0.
constexpr int kTileRows = 32;
static_assert(SPECTRUM_HISTORY % kTileRows == 0, "whole tiles");

TAMBRINO_AVX2 inline void correlateTile(const float (*table)[SPECTRUM_NOTES], const float* buffer, int k0,
                                        float* part) {
  static_assert(SPECTRUM_NOTES == 72, "nine vectors of notes");
  __m256 a0 = _mm256_loadu_ps(part), a1 = _mm256_loadu_ps(part + 8), a2 = _mm256_loadu_ps(part + 16),
         a3 = _mm256_loadu_ps(part + 24), a4 = _mm256_loadu_ps(part + 32), a5 = _mm256_loadu_ps(part + 40),
         a6 = _mm256_loadu_ps(part + 48), a7 = _mm256_loadu_ps(part + 56), a8 = _mm256_loadu_ps(part + 64);
  for (int k = k0; k < k0 + kTileRows; ++k) {
    const __m256 b = _mm256_broadcast_ss(buffer + k);
    const float* row = table[k];
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(b, _mm256_load_ps(row)));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(b, _mm256_load_ps(row + 8)));
    a2 = _mm256_add_ps(a2, _mm256_mul_ps(b, _mm256_load_ps(row + 16)));
    a3 = _mm256_add_ps(a3, _mm256_mul_ps(b, _mm256_load_ps(row + 24)));
    a4 = _mm256_add_ps(a4, _mm256_mul_ps(b, _mm256_load_ps(row + 32)));
    a5 = _mm256_add_ps(a5, _mm256_mul_ps(b, _mm256_load_ps(row + 40)));
    a6 = _mm256_add_ps(a6, _mm256_mul_ps(b, _mm256_load_ps(row + 48)));
    a7 = _mm256_add_ps(a7, _mm256_mul_ps(b, _mm256_load_ps(row + 56)));
    a8 = _mm256_add_ps(a8, _mm256_mul_ps(b, _mm256_load_ps(row + 64)));
  }
  _mm256_storeu_ps(part, a0);
  _mm256_storeu_ps(part + 8, a1);
  _mm256_storeu_ps(part + 16, a2);
  _mm256_storeu_ps(part + 24, a3);
  _mm256_storeu_ps(part + 32, a4);
  _mm256_storeu_ps(part + 40, a5);
  _mm256_storeu_ps(part + 48, a6);
  _mm256_storeu_ps(part + 56, a7);
  _mm256_storeu_ps(part + 64, a8);
}

// Two analyses at once over notes 8*kFirst to 8*(kFirst+kCount)-1: each row
// vector is loaded once for both, so that the loads from the shared cache
// overlap with twice the arithmetic. Defined for AVX2 (half rows, to fit 16
// registers) and for AVX-512 (whole rows in 32 registers).
#define SPECTRUM_PAIR_KERNEL(NAME, TARGET)                                                                 \
  template <int kFirst, int kCount>                                                                        \
  TARGET inline void NAME(const float(*table)[SPECTRUM_NOTES], const float* buffer0, const float* buffer1, \
                          int k0, float* part0, float* part1) {                                            \
    __m256 x[kCount];                                                                                      \
    __m256 y[kCount];                                                                                      \
    _Pragma("GCC unroll 9") for (int v = 0; v < kCount; ++v) {                                             \
      x[v] = _mm256_loadu_ps(part0 + 8 * (kFirst + v));                                                    \
      y[v] = _mm256_loadu_ps(part1 + 8 * (kFirst + v));                                                    \
    }                                                                                                      \
    for (int k = k0; k < k0 + kTileRows; ++k) {                                                            \
      const __m256 b0 = _mm256_broadcast_ss(buffer0 + k);                                                  \
      const __m256 b1 = _mm256_broadcast_ss(buffer1 + k);                                                  \
      const float* row = table[k] + 8 * kFirst;                                                            \
      _Pragma("GCC unroll 9") for (int v = 0; v < kCount; ++v) {                                           \
        const __m256 r = _mm256_load_ps(row + 8 * v);                                                      \
        x[v] = _mm256_add_ps(x[v], _mm256_mul_ps(b0, r));                                                  \
        y[v] = _mm256_add_ps(y[v], _mm256_mul_ps(b1, r));                                                  \
      }                                                                                                    \
    }                                                                                                      \
    _Pragma("GCC unroll 9") for (int v = 0; v < kCount; ++v) {                                             \
      _mm256_storeu_ps(part0 + 8 * (kFirst + v), x[v]);                                                    \
      _mm256_storeu_ps(part1 + 8 * (kFirst + v), y[v]);                                                    \
    }                                                                                                      \
  }

}  // namespace spectrum_internal
#endif
