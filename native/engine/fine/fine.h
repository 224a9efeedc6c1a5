// The fine quality mode: a phase vocoder built for listening rather than for
// reproducing the exact engine, selected per block by the host binding.
//
// How it differs from the exact vocoder:
// - The synthesis hop is fixed (frameSize / overSampling, at most half a
//   frame) and the analysis positions follow a time map built from the
//   blocks' cumulative input and output counts, so that a block's tempo is
//   samplesIn / samplesOut, time is carried exactly from block to block and a
//   tempo change needs no phase restart. Where the analysis hop is too long
//   for the phase advance from the last frame to be unwrapped (beyond half a
//   frame: fast tempos), each partial's frequency is measured from a second
//   analysis a short step before the frame, so that the phases stay coherent
//   and a steady tone keeps its level at every tempo.
// - The overlap-add is divided by the overlap-added sum of the analysis and
//   synthesis windows, so a steady tone keeps its level at any hop; what the
//   frames lose by adding up incoherently (noise, fast tempos) is restored
//   by a slow gain, common to both channels, that brings the output's power
//   to the power the frames carry.
// - Both channels share one phase advance per bin, taken from a reference
//   (their sum, or the louder channel where the sum cancels), and every bin of
//   both channels is rotated by the same angle: the level and phase
//   differences between the channels survive exactly.
// - Onsets are found ahead in the input; the frames that hold an attack are
//   analysed at the synthesis hop from analysis phases (a phase reset), so the
//   attack comes out once and sharp, and the time is made up in the frames
//   between onsets.
// - An output store makes every block return exactly samplesOut fresh
//   samples; at a constant tempo the output is the input delayed by
//   fine_latency() output samples.
//
// Transposition up: a band-limited resampler (units/resampler) reads the
// input the pitch ratio faster and the stretch runs at the tempo divided by
// the ratio, so that the output keeps the block's length, every partial moves
// by the ratio and the stretch makes as many frames as without a shift.
// Down, reading slower would lengthen every attack by the inverse of the
// ratio: the stretch runs at the tempo and each frame's peak regions are
// moved down in the spectrum (spectral_shift), a partial's to its new
// frequency, an attack's noise in wide bands turned to the attack's time, so
// that attacks keep their width.
//
// Owns: per state (one per engine), the resampler's state, the table of the
// spectral moves' taps, the input history of both channels
// (always fed, so that a switch into the fine mode starts from the recent
// input), the onset detector, the time map, the spectra and phases of the
// last frame, the overlap-add store, the window tables and the frames' real
// transform (units/realfft, with its work space; heap, made by fine_init).
// It uses, and never owns, its engine's equaliser and analyser, and its
// exact transform (sized by the exact vocoder's set-up), which only tests
// make the frames take (fine_testing.h).
// Threads: the playback thread makes the block calls (fine_feed, fine_restart,
// fine_process); fine_init, fine_prepare and fine_commit come from the
// stream's set-up, which never overlaps a block; fine_latency and
// fine_input_lag read no state and may be called from any thread.
// Audio path: fine_feed, fine_restart and fine_process allocate, lock and log
// nothing.
#pragma once

#include <cstdint>

struct EqState;
struct FftState;
struct FineState;
struct SpectrumState;

// A state that is not set up, working with the given units, which must
// outlive it (null when memory is short); fine_destroy frees it.
FineState* fine_create(const FftState& fft, const EqState& eq, SpectrumState& spectrum);
void fine_destroy(FineState* state);

// (Re)builds the state for frames of frameSize samples (a power of two in
// 8..4096) and a synthesis hop of hop samples (1..frameSize; a hop beyond
// half a frame is taken as half a frame), with empty history. Returns false, leaving the previous state intact, when an argument
// is out of range or an allocation fails.
bool fine_init(FineState& state, int frameSize, int hop);

// fine_init in two steps, for a set-up that must fail without touching
// anything: fine_prepare builds the new state aside (false, and nothing
// built, on failure); fine_commit puts the last prepared state in place.
bool fine_prepare(FineState& state, int frameSize, int hop);
void fine_commit(FineState& state);

// Appends a block of input to the history without producing output (the exact
// mode calls it, so that a later switch finds the recent input). right is
// null for a mono stream.
void fine_feed(FineState& state, const float* left, const float* right, int count);

// Starts a new time line at the current input: phases, time map, onsets and
// the output store start afresh; the history is kept.
void fine_restart(FineState& state);

// Consumes samplesIn input samples per channel and writes exactly samplesOut
// (>= 0) output samples per channel to outLeft (and outRight unless right is
// null), at full scale, each output sample also passed to spectrum_push.
// Returns false without touching anything when the state is not set up.
bool fine_process(FineState& state, const float* left, const float* right, int samplesIn, float* outLeft,
                  float* outRight, int samplesOut);

// The pitch ratio (2^(semitones / 12), clamped to 0.25..4) of the next
// fine_process: playback thread only (the host keeps the setting). From the
// first block of a time line on, a change ramps over about 1024 output
// samples. A ratio of 1 on a time line that never had another leaves the
// output exactly as without transposition.
void fine_set_pitch(FineState& state, double ratio);
// Whether a transposition keeps the spectral envelope (the formants) where
// it was; playback thread only, like fine_set_pitch.
void fine_set_formants(FineState& state, bool keep);

// Output samples before the output of the first input sample at a constant
// tempo (the same value as NativeInterface.fineLatency), untransposed and at a
// pitch ratio (below 1 the untransposed value).
int fine_latency(int frameSize, double tempo);
int fine_latency_shifted(int frameSize, double tempo, double ratio);

// How far (input samples) the analysis runs behind the input on the time map.
int fine_input_lag(int frameSize);
