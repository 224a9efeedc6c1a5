// The resampler's per-instruction-set kernels and what they share with its
// portable code: a kernel does every tap in the same lanes and the same order
// as the portable code, so every path gives the same bits.
#pragma once

namespace resampler_avx2 {
// One output sample at a steady ratio: for j in 0..n rounded up to eight,
// w = w0[j] + a * d[j] and sum[j % 16] += xl[j] * w, the taps from
// n on read as zero; then s[l] = sum[l] + sum[8 + l] and left =
// ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7)); right likewise from xr
// (0 when xr is null).
void steady_sample(const float* w0, const float* d, float a, const float* xl, const float* xr, int n, float& left,
                   float& right);
}  // namespace resampler_avx2
