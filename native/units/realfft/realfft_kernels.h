// Internal to the real transform's unit: its state as the kernels read it,
// and the kernels of each instruction set (realfft_avx2.cpp,
// realfft_avx512.cpp).
//
// A kernel transforms the whole frame and returns N, or returns 0 when the
// frame is too short for its vectors (a quarter of the N/2 complex values
// must fill at least one); the caller then takes a narrower path. Every path performs, for each value, the same operations
// in the same order as the scalar steps (no fused multiply-add), so the
// paths agree to the bit; only the grouping into vectors differs.
//
// Owns: nothing; the tables belong to the state, made by realfft_create.
// Threads: a kernel runs on the thread of the transform that takes it.
// Audio path: the kernels allocate, lock and log nothing.
#pragma once

#include <memory>

#include "realfft.h"

// The most passes: N/2 = 4096 complex values take two radix-4 passes, two
// radix-8 passes and a radix-4 pass.
constexpr int REALFFT_MAX_PASSES = 6;

// One autosorting pass of radix r (2, 4 or 8) and stride s: the values
// i = s p + q of its r-th part (p the group, q within it) and their
// twiddles, each in the direction of the forward transform:
// w_k = e^{-2 pi i k p / (N/2 / s)}, k = 1 .. r-1 (a radix-2 pass is always
// the last, one group, and has none). Passes of stride 1 or 4 keep one entry
// per i (a vector then holds several groups); the others one entry per
// group p, broadcast over its s values.
struct RealFftPass {
  int radix = 4;
  int stride = 1;
  bool perValue = false;
  const float* wr[7] = {};
  const float* wi[7] = {};
};

struct RealFftState {
  int n = 0;     // frame size N
  int half = 0;  // complex values M = N/2
  int passes = 0;
  RealFftPass pass[REALFFT_MAX_PASSES] = {};
  // Split factors, halved: 0.5 cos(2 pi k / N) and 0.5 sin(2 pi k / N).
  const float* splitCos = nullptr;
  const float* splitSin = nullptr;
  // Two complex work arrays of M values each, split re/im.
  float* workRe[2] = {};
  float* workIm[2] = {};
  std::unique_ptr<float[]> storage;
};

namespace realfft_internal {
// Strides below this keep per-value twiddles (the widest vector holds 16).
constexpr int kPerValueBelow = 16;
}  // namespace realfft_internal

// N >= 64 (eight lanes: a quarter of N/2 holds whole vectors).
namespace realfft_avx2 {
int forward(RealFftState& s, const float* x, const float* window, float* re, float* im, int bins);
int inverse(RealFftState& s, const float* specRe, const float* specIm, float* out);
}  // namespace realfft_avx2

// N >= 128 (sixteen lanes).
namespace realfft_avx512 {
int forward(RealFftState& s, const float* x, const float* window, float* re, float* im, int bins);
int inverse(RealFftState& s, const float* specRe, const float* specIm, float* out);
}  // namespace realfft_avx512
