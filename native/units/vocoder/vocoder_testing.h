// Test hooks of the vocoder: for tests, the benchmark and the fuzz target
// only.
#pragma once

#include "vocoder.h"

// Read-only view of the vocoder's state, for inspection by tests and tools.
// The pointers stay valid until the next successful vocoder_init; all are
// null before the first one.
struct VocoderInspect {
  int winSize;
  int winHalf;
  int stepIn;
  int stepOut;
  const float* window;     // winSize values
  const float* windowOut;  // winSize values
  const float* omega;      // winSize values
  const float* phi0s[2];   // previous analysis phases, winSize values
  const float* psis[2];    // synthesis phases, winSize values
  const float* inputs[2];  // input history, first winSize values used
  const float* waves[2];   // overlap-add tail, first winSize values used
  const float* mags[2];    // magnitudes of the last frame, winHalf + 2 values
  const float* phis[2];    // analysis phases of the last frame, winHalf values
  int inIndexes[2];
  double lastStretchFactor;
};
VocoderInspect vocoder_inspect(const VocoderState& state);

// vocoder_find_peaks's peaks and valleys, with set-up's omega: propagates
// the synthesis phases psi at the peaks and rotates each peak's region with
// it; closes valleys[nPeaks] = winHalf. Allocates its work space.
void vocoder_phase_lock(const float* phi, const float* phi0, float* psi, const float* omega, const int* peaks,
                        int* valleys, int nPeaks, int winHalf, float stretchFactor);
