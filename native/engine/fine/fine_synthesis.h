// The fine mode's synthesis and level: each frame's spectrum turned (or
// moved down) and brought back to time, overlap-added with the sum of the
// windows beside it; the samples that receive nothing more normalised by
// that sum, their level brought back to the power the frames carry, and
// handed out to the block and the analyser.
//
// Owns (in the record, fine_state.h): the synthesised spectra (yRe, yIm),
// the overlap-add store and its window sums (acc, wsum), the power the
// frames carry and its window sums (pacc, psum), the level's smoothing and
// gain, and the output's progress (finalEnd, emitted). It swaps each
// frame's spectra into prevRe and prevIm for the next frame's phase advance.
// Threads: the playback thread (fine_process).
// Audio path: allocates, locks and logs nothing.
#pragma once
