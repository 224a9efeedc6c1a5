// Internal to the FFT unit: the tables as its vector kernels read them, and
// the kernels of each instruction set (fft_avx2.cpp, fft_avx512.cpp).
//
// Every kernel follows the engine's one convention: it does what it can in
// whole vectors and returns how much it did; the caller finishes with the
// portable step. A transform cannot be finished in part, so an FFT kernel
// returns N (the frame is transformed) or 0 (the portable transform must do
// the whole frame: too few points for the kernel's vectors, or a value that
// is not finite; see below).
//
// Results: every butterfly performs the same IEEE operations, on the same
// operands in the same order, as fft_process: (tr, ti) = p2 * w with two
// products and one subtraction or addition each, then p1 - t and p1 + t.
// No fused multiply-add is ever used (the targets do not enable FMA).
//
// A frame with an infinity or a NaN must take the portable path, where every
// operation is fft_process's own (the kernels' early stages take shortcuts
// that hold for finite values only, and NaN payloads follow operand order).
// The kernels tell such frames afterwards, from bin 0: on its chain of
// butterflies every twiddle is (1, +0), and p * (1, +0) has a non-finite real
// part whenever either part of p is non-finite, so a non-finite value
// anywhere reaches the real part of bin 0, unless it only ever met the chain
// in an imaginary part, which the chain keeps. The forward transform keeps
// bin 0 whole; the inverse one leaves the imaginary part of its last-but-one
// chain value in im[0]. (Finite values that overflow on the chain are sent
// to the portable path as well, which costs time, not bits.)
//
// Owns: nothing; the tables declared here belong to fft.cpp, which fills
// the twiddles once per process and a state's tables in fft_init.
// Threads: a kernel runs on the thread of the transform that takes it, never
// while fft_init rebuilds its state.
// Audio path: the kernels allocate, lock and log nothing.
#pragma once

#include "fft.h"

// The tables of one frame size, one state per engine.
struct FftState {
  bool init(int fftFrameSize);
  void process(float* fftBuffer, int sign) const;
  void transformSplitScalar(float* re, float* im, int sign) const;

  int interleavedLength = 0;  // 2 N floats: the complex buffer of fft_process
  int bitSwapPos[FFT_MAX_SIZE] = {};
  int bitSwapLen = 0;
  long logFrame = 0;
  // The reordered values 8g .. 8g + 7 come from x[base + j * N/8], j = 0 .. 7,
  // with base = revGroup[g] (bit reversal over log2(N) - 3 bits, its own inverse).
  int revGroup[FFT_MAX_SIZE / 8] = {};
  // N, the size of the last successful init.
  int frameSize = 0;
};

namespace fft_internal {

// The twiddles, one direction per table, stage s holding its 2^s values
// contiguously from index 2^s - 1: vector loads need them adjacent.
// Direction 0 is the negative exponent (sign -1), 1 the positive one.
alignas(32) extern float splitRe[2][FFT_MAX_SIZE];
alignas(32) extern float splitIm[2][FFT_MAX_SIZE];
}  // namespace fft_internal

// The kernels of fft_forward_real (window null), fft_forward_windowed and
// fft_inverse_half, with the same arguments and results.
namespace fft_avx2 {
int forward_real(const FftState& s, const float* x, const float* window, float* re, float* im);  // N >= 64
int inverse_half(const FftState& s, const float* specRe, const float* specIm, float* re, float* im);
}  // namespace fft_avx2

// Frames of fewer than 128 points go to the AVX2 kernels.
namespace fft_avx512 {
int forward_real(const FftState& s, const float* x, const float* window, float* re, float* im);
int inverse_half(const FftState& s, const float* specRe, const float* specIm, float* re, float* im);
}  // namespace fft_avx512
