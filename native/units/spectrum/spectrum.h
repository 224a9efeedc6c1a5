// Note spectrum analyser: 72 semitone levels, C1 to B6, of the engine's
// output, for the application's display.
//
// Owns: static history, window, note tables and levels (no heap). The
// tables hold one row per history position with all 72 notes, so that an
// analysis runs the notes' sums side by side (by the instruction set that
// cpu_level allows: spectrum_avx2.cpp, spectrum_avx512.cpp), each still in
// its own order.
// The analyses of one processed block are batched: their windowed histories
// wait in a static store of a few slots and are correlated together in one
// pass over the tables when the block ends (or when the store is full).
// Threads: spectrum_init, spectrum_push and the batch calls run on the
// playback thread (init never during a push). spectrum_get/spectrum_size and
// spectrum_enabled may be used from any thread: the levels and the switch are
// relaxed atomics, so a poll may mix two analyses but never reads a torn or
// racy value. A block's analyses reach the levels when its batch ends: a poll
// after the block sees them all; a poll during a block may see levels up to
// one block old.
// Audio path: spectrum_push allocates, locks and logs nothing.
#pragma once

#include <atomic>

// 0: pushes are ignored; any other value: pushes are taken. Initially 1.
extern std::atomic<int> spectrum_enabled;

constexpr int SPECTRUM_NOTES = 72;
constexpr int SPECTRUM_HISTORY = 4096;

// Sets the stream's rate (Hz) and channel count, clears the history and the
// levels and rebuilds the note tables; the carried sample count and the switch
// are kept. A rate below 32 Hz leaves the analyser idle: pushes still feed the
// history, but no analysis runs and the count stays as it is.
void spectrum_init(int sampleFreq, int sampleChannels);

// samples: size consecutive samples of one channel. A negative size or a null
// pointer changes nothing. At most one analysis runs per push and the whole
// remainder is carried: chunks longer than the interval build a backlog that
// later pushes drain, one analysis per push (in stereo, per push of channel 1).
void spectrum_push(const float* samples, int size, int channel);

// Between begin and end, pushes only take the analyses' histories; end runs
// them (even if the switch was turned off meanwhile), with the same results
// as unbatched pushes. Outside a batch a push analyses at once.
void spectrum_begin_batch();
void spectrum_end_batch();

int spectrum_size();

// The levels themselves (not a copy), spectrum_size() of them.
const std::atomic<float>* spectrum_get();
