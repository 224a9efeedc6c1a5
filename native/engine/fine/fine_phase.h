// The fine mode's phase propagation: each bin's rotation from its analysis
// phase to its synthesis phase, one angle per peak region, from the phase
// advance of a reference common to both channels; an attack's regions start
// again from their analysis phases.
//
// Owns (in the record, fine_state.h): the power of the frame (both
// channels), its peaks and valleys, the per-peak work space (peakAngle,
// peakCos, peakSin, peakCross, peakDot, peakRaw, turning), and the rotation
// of every bin (rotation, rotRe, rotIm), which the next frame continues.
// Moved down, it has the transposition plan the frame's moves first.
// Threads: the playback thread (fine_process).
// Audio path: allocates, locks and logs nothing.
#pragma once

#include <cmath>
#include <cstdint>

namespace fine_internal {

constexpr double kTwoPi = 6.283185307179586;

// A peak whose power rose more than this since the last frame belongs to the
// attack (6 dB); over the later frames of an attack, a hop apart as the
// synthesis, a held sound keeps its power and a smaller rise (1 dB) is the
// attack's too. A region left to turn on rebuilds the attack's share in it
// turned, spread over the window: sound ahead of the hit.
constexpr double kAttackRise = 4.0;
// Moved down, a frame of an attack's lock carries a partial's rotation on
// from the last frame only if the partial's peak rose less than this there
// (15 dB): from a frame where it had barely entered the window, it is
// turned to the attack's time afresh.
constexpr double kCarryRise = 32.0;
constexpr double kLockRise = 1.26;

// The rotations are filled a region at a time in whole stores of this many
// values (fine_phase.cpp): the arrays hold this many more than the half
// spectrum.
constexpr int kFillSlack = 8;

// The phase less the nearest multiple of 2 pi. Only a non-finite phase (from
// non-finite input, which a runaway voice-removal filter can feed) reaches
// 2^62 turns; converting it would be undefined, and it is kept as it is.
inline double wrap(double phase) {
  const double turns = phase * (1.0 / kTwoPi);
  if (!(std::fabs(turns) < 4.6e18)) return phase;
  const int64_t whole = static_cast<int64_t>(turns + (turns >= 0 ? 0.5 : -0.5));
  return phase - static_cast<double>(whole) * kTwoPi;
}

}  // namespace fine_internal
