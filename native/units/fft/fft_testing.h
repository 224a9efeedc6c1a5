// Test hooks of the FFT unit: for tests, the benchmark and the fuzz target
// only.
#pragma once

#include "fft.h"

// Read-only view of the tables.
struct FftTables {
  const int* bitSwapPos;
  int bitSwapLen;
  long logFrame;
  const float* pur;
  const float* pui;
  const float* purInv;
  const float* puiInv;
};
FftTables fft_tables(const FftState& state);
