// Host binding: the JNI entry points of quorvel.tambrino.NativeInterface and
// the block pipeline that turns one PCM block into its stretched, panned or
// folded, voice-removed, preamplified and limited result.
//
// Owns: the engine-wide settings (relaxed atomics), the stream configuration
// of the last successful dspInit, the peak level of the last block, and the
// work buffers: four of floats and one of 16-bit frames (heap, made by the
// first block, grown only by a block larger than any before, never freed
// before the process ends).
// Threads: dspProcess runs on the playback thread, never on two threads at
// once and never overlapping dspInit; the setters and pollers may run on any
// other thread at any time. Nothing takes a lock.
// Audio path: once the work buffers are large enough, dspProcess allocates,
// locks and logs nothing, and neither do dspGetMaxLevel and dspGetSpectrum:
// Java arrays are copied with Get/Set<Type>ArrayRegion into and out of
// engine-owned storage, never pinned (a virtual machine may pin by copying
// into a fresh heap buffer). Every argument is checked before any state or any
// element of the caller's array changes; a violation raises a Java exception
// and the call changes nothing. No failure passes silently: an allocation that
// fails raises OutOfMemoryError, after which the engine is as it was (dspInit
// allocates everything before it sets anything up). No C++ exception leaves
// an entry point.
#pragma once

#include <cstddef>
#include <cstdint>

// The analyser decimates the stream by 4 and analyses every 1/8 of the
// decimated rate: below 32 Hz it would have no analysis interval at all.
constexpr int DSP_MIN_SAMPLE_RATE = 32;
constexpr int DSP_MIN_FRAME_SIZE = 8;
constexpr int DSP_MAX_FRAME_SIZE = 4096;

// Slopes of the soft limiter above 0.95 of full scale.
constexpr float DSP_MONO_LIMITER_SLOPE = 0.25f;
constexpr float DSP_STEREO_LIMITER_SLOPE = 0.125f;

// Gains of the stereo image for a panning level (50: each output keeps its own
// input, 0: both carry the right input, 100: both carry the left input).
struct DspPanGains {
  float leftLevelLeft;    // left input into the left output
  float leftLevelRight;   // right input into the left output
  float rightLevelLeft;   // left input into the right output
  float rightLevelRight;  // right input into the right output
};
DspPanGains dsp_panning_gains(int panningLevel);

// Converts count samples of one channel's vocoder output to 16-bit PCM at
// dest[0], dest[stride], ...: divided by overlapScaling, times gain, softly
// limited above 0.95 with the given slope, clamped to -32767..32767 and
// truncated (a NaN writes 0). Returns the larger of maxLevel and the largest
// level before the limiter.
float dsp_convert_output(const float* out, int count, float overlapScaling, float gain, float slope,
                         int16_t* dest, int stride, float maxLevel);

// dsp_convert_output of both channels of a stereo block into interleaved
// frames: left into dest[0], dest[2], ..., right into dest[1], dest[3], ....
float dsp_convert_output_pair(const float* left, const float* right, int count, float overlapScaling,
                              float gain, float slope, int16_t* dest, float maxLevel);

// Capacities of the work buffers in floats per channel (0 before the first
// block), for tests.
size_t dsp_input_capacity();
size_t dsp_output_capacity();
