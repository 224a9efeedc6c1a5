// Note spectrum analyser: 72 semitone levels, C1 to B6, of the engine's
// output, for the application's display.
//
// Owns: per state (one per engine, about 220 KiB, and 250 KiB more for the
// fine mode's reading), the history, the pending analyses, the levels, the
// switch and the fine mode's transform; process-wide and read-only once
// built, the history's window (built once) and the note tables of each rate
// in use (2.3 MiB a rate, shared by the engines at that rate and freed with
// the last of them). The tables hold one row per history position with all
// 72 notes, so that an analysis runs the notes' sums side by side (by the
// instruction set that cpu_level allows: spectrum_avx2.cpp,
// spectrum_avx512.cpp), each still in its own order.
// The analyses of one processed block are batched: their windowed histories
// wait in a store of a few slots and are correlated together in one pass
// over the tables when the block ends (or when the store is full).
// Threads: spectrum_prepare, spectrum_init, spectrum_push and the batch calls
// run on the playback thread (prepare and init never during a push; they
// take the tables' lock, which nothing on the audio path takes).
// spectrum_get/spectrum_size and the switch may be used from any thread: the levels and the switch are
// relaxed atomics, so a poll may mix two analyses but never reads a torn or
// racy value. A block's analyses reach the levels when its batch ends: a poll
// after the block sees them all; a poll during a block may see levels up to
// one block old.
// Audio path: spectrum_push allocates, locks and logs nothing.
#pragma once

#include <atomic>

constexpr int SPECTRUM_NOTES = 72;
constexpr int SPECTRUM_HISTORY = 4096;

struct SpectrumState;

// An idle analyser with the switch on (null when memory is short);
// spectrum_destroy frees it and lets go of its tables.
SpectrumState* spectrum_create();
void spectrum_destroy(SpectrumState* state);

// 0: pushes are ignored; any other value: pushes are taken. Initially 1.
void spectrum_enable(SpectrumState& state, int enabled);
int spectrum_is_enabled(const SpectrumState& state);

// Takes the note tables for the rate ahead of spectrum_init, so that the
// init cannot fail. Returns false when memory is short (nothing changes).
bool spectrum_prepare(SpectrumState& state, int sampleFreq);

// Sets the stream's rate (Hz) and channel count, clears the history and the
// levels and takes the note tables; the carried sample count and the switch
// are kept. A rate below 32 Hz leaves the analyser idle: pushes still feed the
// history, but no analysis runs and the count stays as it is. Returns false,
// changing nothing, when the tables could not be made (never after a
// spectrum_prepare for the same rate).
bool spectrum_init(SpectrumState& state, int sampleFreq, int sampleChannels);

// samples: size consecutive samples of one channel. A negative size or a null
// pointer changes nothing. At most one analysis runs per push and the whole
// remainder is carried: chunks longer than the interval build a backlog that
// later pushes drain, one analysis per push (in stereo, per push of channel 1).
void spectrum_push(SpectrumState& state, const float* samples, int size, int channel);

// Between begin and end, pushes only take the analyses' histories; end runs
// them (even if the switch was turned off meanwhile), with the same results
// as unbatched pushes. Outside a batch a push analyses at once.
void spectrum_begin_batch(SpectrumState& state);
void spectrum_end_batch(SpectrumState& state);

// The fine mode's reading, for the analyses from the next batch (or
// unbatched push) on: each note's level from one real transform of the same
// windowed history zero-padded to twice its length, read between the two
// nearest bins, instead of the correlation with the note tables. Within a
// fraction of a dB of the correlation where a note sounds, at about a fifth
// of its cost; the exact mode keeps the correlation and its bits. At a rate
// whose notes do not all lie inside the transform's band the correlation
// runs anyway. Playback thread, between blocks.
void spectrum_set_fine(SpectrumState& state, bool fine);

int spectrum_size();

// The levels themselves (not a copy), spectrum_size() of them.
const std::atomic<float>* spectrum_get(const SpectrumState& state);
