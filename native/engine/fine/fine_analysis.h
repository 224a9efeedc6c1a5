// The fine mode's analysis: the input history, the onset detector, the time
// map and the choice of each frame's analysis position (at the synthesis hop
// over an attack), and the frames' spectra.
//
// Owns (in the record, fine_state.h): the history ring and its head, the
// onset detector and its queue of onsets, the analysis positions of the last
// frame and the lock over an attack (prevStart, prevNominal, lockLeft,
// lockWhole, attackRise), and what a frame's analysis writes: the spectra of
// both channels (re, im), the Nyquist bins, and the spectra a short step before
// the frame (nearRe, nearIm) that fast tempos measure frequencies from. It
// reads the time map that the driver keeps (mapIn, mapOut, firstFrame).
// Threads: the playback thread (fine_feed, fine_process).
// Audio path: allocates, locks and logs nothing.
#pragma once

namespace fine_internal {

// Onset detector: energy of the first difference of the channels' mean over
// sub-blocks aligned to absolute input positions, so that what it finds does
// not depend on how the input is cut into blocks. The difference weights a
// partial by its frequency (a 100 Hz kick counts 40 dB less than a hi-hat),
// so a kick or a bass note under a held lead never rose far enough: the
// plain energy of the same sub-blocks is watched beside it, and either rising
// starts an attack.
constexpr int kOnsetBlock = 128;      // at most; a quarter frame for short frames
constexpr double kOnsetRise = 8.0;    // rise over the loudest recent sub-block (9 dB)
constexpr double kOnsetFloor = 1e-7;  // per sample: quieter sub-blocks never start an attack
// Recent sub-blocks compared with (70 ms at 44.1 kHz with frames of 512 or
// more): longer than the period of any note, whose waveform would otherwise
// rise sharply once per period.
constexpr int kOnsetMemory = 24;
constexpr int kOnsetQueue = 64;

}  // namespace fine_internal
