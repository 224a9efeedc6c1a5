// The fine mode's per-bin and per-sample steps, portable and AVX2: the
// power of both channels, the rotation of the bins, the overlap-add and its
// normalisation, the Nyquist bin, and the atan2 and sine/cosine of the
// peaks. Both paths make the same single-precision operations in the same
// order (no fused multiply-add), so they give the same results.
//
// Owns: nothing (pure functions over caller-given arrays).
// Threads: any; the choice of path is made once, on first use.
// Audio path: allocates, locks and logs nothing.
#pragma once

struct FineKernels {
  // p = lr^2 + li^2 (+ rr^2 + ri^2 when rr is not null).
  void (*power)(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n);
  // y = x * (cr + i ci), times g unless g is null.
  void (*rotate)(const float* xr, const float* xi, const float* cr, const float* ci, const float* g,
                 float* yr, float* yi, int n);
  void (*addProduct)(float* acc, const float* x, const float* w, int n);  // acc += x * w
  void (*add)(float* acc, const float* w, int n);                         // acc += w
  // a (and b unless null) divided by sum where sum > 1e-3, else 0; sum cleared.
  void (*normalise)(float* a, float* b, float* sum, int n);
  // Sum of (-1)^k x[k] w[k], n a multiple of 8.
  float (*nyquist)(const float* x, const float* w, int n);
  void (*addAlternating)(float* x, float h, int n);  // x[k] += (-1)^k h
  // atan2(y, x) to about 1e-7 rad (0 for 0/0).
  void (*atan2)(const float* y, const float* x, float* out, int n);
  // sin and cos of angles within a few turns, to about 1e-7.
  void (*sincos)(const float* angle, float* sine, float* cosine, int n);
};

// The AVX2 steps where the processor has them, else the portable ones.
const FineKernels& fine_kernels();

// One path or the other, for tests (the AVX2 one only where the processor
// has it).
FineKernels fine_kernels_for(bool avx2);
