// Phase vocoder with identity phase locking: time-stretches one channel at a
// time by the ratio of the synthesis and analysis hops.
//
// Owns: per state (one per engine), the windows, phase increments and
// per-channel buffers of both channels, and the work buffers of a frame
// (heap, remade by every successful vocoder_init). It uses, and never owns,
// its engine's transform (which vocoder_init sets up), equaliser and analyser.
// The input history and the overlap-add tail are one-frame windows that slide
// through stores of four frames, so that a hop moves no samples except when a
// window is brought back to the front.
// Results: the vector kernels (vocoder_avx2.cpp and vocoder_avx512.cpp, as
// cpu_level allows) give the portable steps' results bit for bit; atan2 and
// sincos come from the engine's own functions (detmath.h) or, where
// provably the same after
// rounding, from vector polynomials.
// Threads: per state, one thread (the playback thread) makes every call;
// vocoder_init must not overlap vocoder_process; the two channels are
// processed one after the other, never concurrently.
// Audio path: vocoder_process and vocoder_restart allocate, lock and log
// nothing.
#pragma once

struct EqState;
struct FftState;
struct SpectrumState;
struct VocoderState;

// A vocoder with no buffers, working with the given units, which must
// outlive it (null when memory is short); vocoder_destroy frees it.
VocoderState* vocoder_create(FftState& fft, const EqState& eq, SpectrumState& spectrum);
void vocoder_destroy(VocoderState* state);

// (Re)builds everything for frame size pWinSize and analysis hop step.
// Returns false, leaving the previous state intact, when pWinSize is not a
// power of two in 8..4096, step lies outside 1..pWinSize, or an allocation
// fails.
bool vocoder_init(VocoderState& state, int pWinSize, int step);

// Consumes inSize samples of channel (0 or 1) and writes pStepOut samples to
// outputBuffer per frame that the call completes. Returns the number of
// samples written, or -1 without touching any state when the vocoder is not
// set up, channel is not 0 or 1, or pStepOut lies outside 0..winSize.
int vocoder_process(VocoderState& state, const float* inputBuffer, int inSize, float* outputBuffer,
                    int pStepOut, int channel);

// Frames that vocoder_process(_, inSize, _, _, channel) would fire now.
// Lets the caller size its output buffer before the call.
int vocoder_frames_for(const VocoderState& state, int inSize, int channel);

// Starts both channels afresh, as set-up leaves them (empty histories and
// overlap-add tails, phases at zero), without allocating; the tables and
// lastStretchFactor stay.
void vocoder_restart(VocoderState& state);

int vocoder_win_size(const VocoderState& state);  // 0 before the first successful vocoder_init
int vocoder_step_in(const VocoderState& state);

// The frame's steps on caller-given arrays, for other frame loops and for
// checks of each step alone.
// Wraps a phase into [-pi, pi] by an even multiple of pi.
float vocoder_princarg(float phase);
// Peaks of mag[0 .. winHalf-1] and the valleys between them; writes the
// sentinels to mag[winHalf] and mag[winHalf + 1]. Returns the peak count.
int vocoder_find_peaks(float* mag, int winHalf, int* peaks, int* valleys);
// The per-bin steps, by the instruction set that cpu_level allows:
// magnitudes and phases of count bins; the synthesised bins mag * gain at
// phase psi (gains may be null); and psi = princarg(phi + rot).
void vocoder_analyze_bins(const float* re, const float* im, float* mag, float* phi, int count);
void vocoder_synthesize_bins(const float* mag, const float* gains, const float* psi, float* re, float* im,
                             int count);
void vocoder_rotate_bins(const float* phi, const float* rot, float* psi, int count);
