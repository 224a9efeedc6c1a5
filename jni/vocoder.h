// Phase vocoder with identity phase locking: time-stretches one channel at a
// time by the ratio of the synthesis and analysis hops.
//
// Owns: the windows, phase increments and nine per-channel buffers of both
// channels (heap, remade by every successful vocoder_init).
// Threads: one thread (the playback thread) makes every call; vocoder_init
// must not overlap vocoder_process; the two channels are processed one after
// the other, never concurrently.
// Audio path: vocoder_process allocates, locks and logs nothing.
#pragma once

// (Re)builds everything for frame size pWinSize and analysis hop step.
// Returns false, leaving the previous state intact, when pWinSize is not a
// power of two in 8..4096, step lies outside 1..pWinSize, or an allocation
// fails.
bool vocoder_init(int pWinSize, int step);

// Consumes inSize samples of channel (0 or 1) and writes pStepOut samples to
// outputBuffer per frame that the call completes. Returns the number of
// samples written, or -1 without touching any state when the vocoder is not
// set up, channel is not 0 or 1, or pStepOut lies outside 0..winSize.
int vocoder_process(const float* inputBuffer, int inSize, float* outputBuffer, int pStepOut, int channel);

// Frames that vocoder_process(_, inSize, _, _, channel) would fire now.
// Lets the caller size its output buffer before the call.
int vocoder_frames_for(int inSize, int channel);

int vocoder_win_size();  // 0 before the first successful vocoder_init
int vocoder_step_in();
