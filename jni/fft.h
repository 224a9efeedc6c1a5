// In-place, unscaled radix-2 complex FFT over interleaved (re, im) floats.
//
// Owns: the bit-reversal swap list and four twiddle tables, static arrays
// sized for frames of up to 4096 points (no heap).
// Threads: fft_init rewrites the tables and must not overlap any transform;
// fft_process only reads them, so both channels may transform concurrently.
// Audio path: fft_process allocates, locks and logs nothing.
#pragma once

constexpr int FFT_MAX_SIZE = 4096;

// Builds the tables for frames of fftFrameSize complex values. Returns false,
// leaving the tables as they were, when the size is not a power of two in
// 1..FFT_MAX_SIZE.
bool fft_init(int fftFrameSize);

// Transforms 2 x N floats in place, N being the size of the last successful
// fft_init. sign 1: positive exponent; any other value: negative exponent.
// channel is the caller's channel index and does not affect the result.
void fft_process(float* fftBuffer, int sign, int channel);

// Read-only view of the tables, for inspection by tests and tools.
struct FftTables {
  const int* bitSwapPos;
  int bitSwapLen;
  long logFrame;
  const float* pur;
  const float* pui;
  const float* purInv;
  const float* puiInv;
};
FftTables fft_tables();
