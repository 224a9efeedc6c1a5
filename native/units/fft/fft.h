// In-place, unscaled radix-2 complex FFT over interleaved (re, im) floats,
// and the two transforms that the vocoder runs, on split arrays, with the
// very same results (every butterfly rounds as in fft_process), by the
// instruction set that cpu_level allows (kernels in fft_avx2.cpp and
// fft_avx512.cpp).
//
// Owns: the bit-reversal swap list and the twiddle tables, static arrays
// sized for frames of up to 4096 points (no heap).
// Threads: fft_init rewrites the tables and must not overlap any transform;
// the transforms only read them and write the caller's buffers, so both
// channels may transform concurrently.
// Audio path: the transforms allocate, lock and log nothing.
#pragma once

constexpr int FFT_MAX_SIZE = 4096;

// Builds the tables for frames of fftFrameSize complex values. Returns false,
// leaving the tables as they were, when the size is not a power of two in
// 1..FFT_MAX_SIZE.
bool fft_init(int fftFrameSize);

// Transforms 2 x N floats in place, N being the size of the last successful
// fft_init. sign 1: positive exponent; any other value: negative exponent.
void fft_process(float* fftBuffer, int sign);

// fft_process(buffer, -1) of the real frame x[0 .. N-1] (imaginary parts
// +0), of which only the bins 0 .. N/2-1 are kept: on return they are in
// re[0 .. N/2-1] and im[0 .. N/2-1]. re and im are N floats each of work
// space; x may be any array of N floats that overlaps neither.
void fft_forward_real(const float* x, float* re, float* im);

// fft_forward_real of the frame x[k] * window[k], k = 0 .. N-1, each value
// one single-precision product, formed as the transform loads it (no frame
// is stored). Neither x nor window may overlap re or im.
void fft_forward_windowed(const float* x, const float* window, float* re, float* im);

// fft_process(buffer, 1) of the spectrum whose bins 0 .. N/2-1 are
// (specRe[k], specIm[k]) and whose upper half is +0, of which only the real
// parts are kept: on return they are in re[0 .. N-1]. re and im are N floats
// each of work space, apart from specRe and specIm (N/2 floats each).
void fft_inverse_half(const float* specRe, const float* specIm, float* re, float* im);
