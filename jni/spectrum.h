// Note spectrum analyser: 72 semitone levels, C1 to B6, of the engine's
// output, for the application's display.
//
// Owns: static history, window buffer, note tables and levels (no heap).
// Threads: spectrum_init and spectrum_push run on the playback thread (init
// never during a push). spectrum_get/spectrum_size and spectrum_enabled may be
// used from any thread: the levels and the switch are relaxed atomics, so a
// poll may mix two analyses but never reads a torn or racy value.
// Audio path: spectrum_push allocates, locks and logs nothing.
#pragma once

#include <atomic>

// 0: pushes are ignored; any other value: pushes are taken. Initially 1.
extern std::atomic<int> spectrum_enabled;

constexpr int SPECTRUM_NOTES = 72;
constexpr int SPECTRUM_HISTORY = 4096;

void spectrum_init(int sampleFreq, int sampleChannels);

// samples: size consecutive samples of one channel. A negative size or a null
// pointer changes nothing.
void spectrum_push(const float* samples, int size, int channel);

int spectrum_size();

// The levels themselves (not a copy), spectrum_size() of them.
const std::atomic<float>* spectrum_get();
