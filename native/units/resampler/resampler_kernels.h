// The resampler's per-instruction-set kernels and what they share with its
// portable code. A kernel does whole vectors of eight taps and returns how
// many taps it did; the portable code finishes, in the same lanes and the
// same order, so every path gives the same bits.
#pragma once

namespace resampler_avx2 {
// For j in whole eights of n: w = w0[j] + a * (w1[j] - w0[j]);
// lanesL[j % 8] += xl[j] * w, and lanesR likewise unless xr is null.
int steady_taps(const float* w0, const float* w1, float a, const float* xl, const float* xr, int n,
                float* lanesL, float* lanesR);
}  // namespace resampler_avx2
