// What a seam is held to: quality::seamReading around it, against what an
// ideal splice of the sounds on either side gives there, within bounds. For
// the seam tests of the engine (seams_test) and of the players (through the
// tool seam_measure, which the JVM's SeamsTest runs). Header-only and pure;
// allocates (not for the audio path).
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "audio_measures.h"
#include "test_material.h"

namespace seams {

// The bounds over what an ideal splice gives: no window's level beyond the
// range of the steady windows' by more than half a decibel, either in RMS
// or in peak, and no step beyond 1.1 times the sound's own largest.
constexpr double kLevelBoundDb = 0.5;
constexpr double kPeakBoundDb = 0.5;
constexpr double kStepBound = 1.1;

// A seam settles within 0.2 s either way (a frame and a half of the fine
// mode's stretch at tempo 0.5); the steady parts reach a second and a
// quarter of the input (a bar's two kicks of the music) beyond.
inline quality::SeamReading read(const quality::Stereo& s, double rate, double at, double tempo,
                                 quality::SeamSides sides) {
  return quality::seamReading(s.left, s.right, rate, at, 0.2 * rate, 1.25 * rate / tempo, sides);
}

// The larger figure of two readings, each measure on its own.
inline quality::SeamReading worse(const quality::SeamReading& a, const quality::SeamReading& b) {
  return {std::max(a.riseDb, b.riseDb), std::max(a.dipDb, b.dipDb), std::max(a.peakDb, b.peakDb),
          std::max(a.stepRatio, b.stepRatio)};
}

// An ideal splice of two renderings: `a` up to its frame `atA`, then `b`
// from its frame `atB` on, cross-faded over `fade` frames, from there on
// (`glides`: as an engine glides into a setting) or centred there. With
// equal gains where the two renderings share the sound (a setting that
// changes part of it: what both hold keeps its level), with equal power
// where they do not (another key, another place in the music). Read as the
// seam is, together with both renderings at those places (the sound itself
// may be louder there, or step further: a hit lands there).
inline quality::SeamReading idealSplice(const quality::Stereo& a, double atA, const quality::Stereo& b, double atB,
                                        double rate, double tempo, long fade, bool glides, bool power) {
  const long span = static_cast<long>(1.5 * rate / tempo) + fade;
  const auto at = [](const std::vector<float>& x, long n) {
    return n >= 0 && n < static_cast<long>(x.size()) ? static_cast<double>(x[static_cast<size_t>(n)]) : 0.0;
  };
  quality::Stereo z;
  for (long k = -span; k < span; k++) {
    const long i = std::lround(atA) + k, j = std::lround(atB) + k;
    const double w = std::clamp((k + (glides ? 0 : fade / 2) + 0.5) / fade, 0.0, 1.0);
    const double ga = power ? std::cos(w * M_PI / 2) : 1 - w, gb = power ? std::sin(w * M_PI / 2) : w;
    z.left.push_back(static_cast<float>(ga * at(a.left, i) + gb * at(b.left, j)));
    z.right.push_back(static_cast<float>(ga * at(a.right, i) + gb * at(b.right, j)));
  }
  const quality::SeamSides both = quality::SeamSides::Both;
  return worse(worse(read(a, rate, atA, tempo, both), read(b, rate, atB, tempo, both)),
               read(z, rate, static_cast<double>(span), tempo, both));
}

// The sounds every seam is read on, three seconds each at `rate`, stereo:
// a steady −6 dBFS 440 Hz tone in the centre, a held chord spread left and
// right, pink noise, and the start of the music piece (faded out over 10 ms
// where it is cut).
inline std::vector<quality::Stereo> signals(double rate) {
  const std::vector<float> tone = quality::steadyTone(rate, 3.0, 440.0, -6.0);
  quality::Stereo music = quality::musicPiece(rate, 2);
  const size_t n = static_cast<size_t>(3.0 * rate), fade = static_cast<size_t>(0.01 * rate);
  music.left.resize(n);
  music.right.resize(n);
  for (size_t i = n - fade; i < n; i++) {
    const float g = static_cast<float>(quality::material::ramp(n - 1 - i, fade));
    music.left[i] *= g, music.right[i] *= g;
  }
  return {{tone, tone}, quality::heldChord(rate, 3.0), quality::pinkNoise(rate, 3.0, 5), music};
}

// How far a seam's reading goes beyond what an ideal splice gives there.
struct Excess {
  double level, peak, step;
  bool within() const { return level <= kLevelBoundDb && peak <= kPeakBoundDb && step <= kStepBound; }
};

inline Excess excess(const quality::SeamReading& m, const quality::SeamReading& ideal) {
  return {std::max(m.riseDb - ideal.riseDb, m.dipDb - ideal.dipDb), m.peakDb - ideal.peakDb,
          m.stepRatio / std::max(1.0, ideal.stepRatio)};
}

// Of several readings of one seam (noise and music, whose windows hold what
// they happen to hold: several places, or several noises), the middle figure of
// each measure.
inline Excess middle(std::vector<Excess> readings) {
  auto mid = [&](double Excess::*field) {
    std::vector<double> v;
    for (const Excess& e : readings) v.push_back(e.*field);
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  return {mid(&Excess::level), mid(&Excess::peak), mid(&Excess::step)};
}

}  // namespace seams
