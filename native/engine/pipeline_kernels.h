// Internal to the block pipeline: its conversions' AVX2 kernels
// (pipeline_avx2.cpp) and what they share with the pipeline's own code.
//
// Every kernel follows the engine's one convention: it does what it can in
// whole vectors and returns how much it did; the caller finishes with the
// portable step, which performs the same operations per sample.
//
// Owns: nothing (functions over caller-given arrays).
// Threads: the kernels run on the thread of the block or conversion that
// takes them.
// Audio path: they allocate, lock and log nothing.
#pragma once

#include <cstdint>

#include "pipeline.h"

namespace pipeline_internal {

// 16-bit PCM to full scale: 2^-15, exact in both precisions.
constexpr float kInputScale = 1.0f / 32768.0f;
constexpr double kInputScaleDouble = 1.0 / 32768.0;
constexpr float kLimiterThreshold = 0.95f;

// How a stereo block's frames are panned or folded before they are stretched.
struct StereoImage {
  bool panning;
  bool fold;
  PipelinePanGains g;
};

}  // namespace pipeline_internal

namespace pipeline_avx2 {

// pipeline_convert_output, eight samples at a time; leaves maxLevel raised
// to the largest level of those done (maxLevel must not be NaN).
int convert_output(const float* out, int count, float overlapScaling, float gain, float slope, int16_t* dest,
                   int stride, float& maxLevel);
// The same for both channels into interleaved frames, eight frames (one
// store) at a time.
int convert_output_pair(const float* left, const float* right, int count, float overlapScaling, float gain,
                        float slope, int16_t* dest, float& maxLevel);
// Frames 0, 1, ... of interleaved stereo PCM after panning or folding, times
// scale (1 leaves them as they are), into left and right.
int panned_frames(const int16_t* frames, int count, const pipeline_internal::StereoImage& s, float scale,
                  float* left, float* right);
// out[j] = (float)((from[j] - y[j] * amount) * 2^-15) in double precision.
int remove_voice(const double* from, const double* y, double amount, float* out, int count);
// out[j] = (double)in[j].
int widen(const float* in, double* out, int count);

}  // namespace pipeline_avx2
