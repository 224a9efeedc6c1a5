// In-place, unscaled radix-2 complex FFT over interleaved (re, im) floats,
// and the two transforms that the vocoder runs, on split arrays, with the
// very same results (every butterfly rounds as in fft_process), by the
// instruction set that cpu_level allows (kernels in fft_avx2.cpp and
// fft_avx512.cpp).
//
// Owns: per state (one per engine), the frame size and its bit-reversal swap
// list and group order (about 18 KiB, made by fft_create); process-wide, the
// twiddle tables of every stage, which do not depend on the frame size and
// are built once, by the first fft_init of the process (thread-safe), and
// only read after that.
// Threads: fft_init rewrites its state and must not overlap a transform on
// the same state; the transforms only read it and write the caller's
// buffers, so both channels may transform concurrently. Different states
// share nothing mutable.
// Audio path: the transforms allocate, lock and log nothing.
#pragma once

constexpr int FFT_MAX_SIZE = 4096;

struct FftState;

// A state with no size yet (null when memory is short); fft_destroy frees it.
FftState* fft_create();
void fft_destroy(FftState* state);

// Builds the tables for frames of fftFrameSize complex values. Returns false,
// leaving the tables as they were, when the size is not a power of two in
// 1..FFT_MAX_SIZE.
bool fft_init(FftState& state, int fftFrameSize);

// Transforms 2 x N floats in place, N being the size of the last successful
// fft_init. sign 1: positive exponent; any other value: negative exponent.
void fft_process(const FftState& state, float* fftBuffer, int sign);

// fft_process(buffer, -1) of the real frame x[0 .. N-1] (imaginary parts
// +0), of which only the bins 0 .. N/2-1 are kept: on return they are in
// re[0 .. N/2-1] and im[0 .. N/2-1]. re and im are N floats each of work
// space; x may be any array of N floats that overlaps neither.
void fft_forward_real(const FftState& state, const float* x, float* re, float* im);

// fft_forward_real of the frame x[k] * window[k], k = 0 .. N-1, each value
// one single-precision product, formed as the transform loads it (no frame
// is stored). Neither x nor window may overlap re or im.
void fft_forward_windowed(const FftState& state, const float* x, const float* window, float* re, float* im);

// fft_process(buffer, 1) of the spectrum whose bins 0 .. N/2-1 are
// (specRe[k], specIm[k]) and whose upper half is +0, of which only the real
// parts are kept: on return they are in re[0 .. N-1]. re and im are N floats
// each of work space, apart from specRe and specIm (N/2 floats each).
void fft_inverse_half(const FftState& state, const float* specRe, const float* specIm, float* re, float* im);
