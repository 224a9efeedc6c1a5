// Test hooks of the real transform's unit: for tests and the benchmark only.
#pragma once

#include "realfft.h"

// The paths of the transform, from the plain scalar steps to the widest
// vectors.
enum class RealFftPath : int { Scalar = 0, Portable = 1, Avx2 = 2, Avx512 = 3 };

// The transform by one path alone: returns false, having written nothing,
// when the path cannot take the frame (too short for its vectors, or an
// instruction set the processor, or the build, lacks).
bool realfft_forward_by(RealFftPath path, RealFftState& state, const float* x, const float* window, float* re,
                        float* im);
bool realfft_forward_padded_by(RealFftPath path, RealFftState& state, const float* x, float* re, float* im,
                               int bins);
bool realfft_inverse_by(RealFftPath path, RealFftState& state, const float* specRe, const float* specIm,
                        float* out);
