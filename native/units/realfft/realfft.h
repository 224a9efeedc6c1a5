// The fine mode's transform of real frames: a complex transform of half the
// frame's length (autosorted passes: radix 4 up to stride 16, then radix 8,
// and a radix-4 or radix-2 pass for what is left) and a split pass that
// turns it into the spectrum of the real frame, and the same steps
// backwards. Its arithmetic is free (the exact mode never
// runs it): each result lies within log2(N) single-precision roundings of
// the frame's magnitude sum of the true sum, and the vector paths
// (realfft_avx2.cpp, realfft_avx512.cpp, and the portable one, written for
// the compiler's 128-bit vectors) do the same operations per value as the
// scalar steps, so every path gives the same bits.
//
// Owns: per state, the frame size, its twiddles and split factors, and two
// complex work arrays of N/2 values (one heap block of about 4.6 N floats,
// 75 KiB at 4096, made by realfft_create and never resized).
// Threads: a state transforms one frame at a time (its work space is in the
// state): one thread at a time per state; different states share nothing.
// Audio path: realfft_forward and realfft_inverse allocate, lock and log
// nothing.
#pragma once

#include <memory>

constexpr int REALFFT_MIN_SIZE = 8;
constexpr int REALFFT_MAX_SIZE = 8192;  // the analyser's history, zero-padded to twice its length

struct RealFftState;

// A state for frames of n samples, a power of two in
// REALFFT_MIN_SIZE..REALFFT_MAX_SIZE; null for any other n or when memory is
// short. realfft_destroy frees it.
RealFftState* realfft_create(int n);
void realfft_destroy(RealFftState* state);
int realfft_size(const RealFftState& state);

struct RealFftFree {
  void operator()(RealFftState* state) const { realfft_destroy(state); }
};
using RealFftPtr = std::unique_ptr<RealFftState, RealFftFree>;

// X_k = sum over n of x[n] w[n] e^{-2 pi i k n / N}, for k = 0 .. N/2 - 1,
// into re[k] and im[k] (N/2 floats each, overlapping neither x nor window).
void realfft_forward(RealFftState& state, const float* x, const float* window, float* re, float* im);

// The same of a frame whose first N/2 samples are x (unwindowed) and the
// rest zeros, for bins 0 .. bins-1 (1..N/2) at least: a zero-padded
// transform, which skips the zeros and the bins not asked for. re and im
// still hold N/2 floats; the bins asked for are those of realfft_forward on
// the padded frame with a window of ones, to the bit.
void realfft_forward_padded(RealFftState& state, const float* x, float* re, float* im, int bins);

// out[n] = Re sum over k of X_k e^{+2 pi i k n / N}, k = 0 .. N/2 - 1 and
// X_k = (specRe[k], specIm[k]), for n = 0 .. N-1, unscaled: the imaginary
// part of X_0 plays no part. out (N floats) overlaps neither input.
void realfft_inverse(RealFftState& state, const float* specRe, const float* specIm, float* out);
