// Test material for the sound-quality measures (audio_measures.h): steady
// tones, a sawtooth bass, a train of noise bursts, a short stereo piece of
// music, and two sources made from it: panned mono and dithered dual mono.
//
// Deterministic: the noise comes from a fixed-seed xorshift generator and
// everything else from closed formulas, so every run (and the unit tests and
// the quality benchmark) sees the same samples. Header-only and pure; the
// functions allocate and are not meant for the audio path.
//
// Samples are floats at full scale ±1. Where the material is meant to be
// written to 16-bit files (dual mono, whose point is a one-step difference
// between the channels) it is already on the 16-bit grid of 1/32768 steps.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quality {

struct Stereo {
  std::vector<float> left, right;
};

namespace material {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLsb = 1.0 / 32768.0;

// Uniform noise in [−1, 1) from a 64-bit xorshift generator.
class Noise {
 public:
  explicit Noise(uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}
  double next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<double>(state_ >> 11) * (1.0 / 9007199254740992.0) * 2.0 - 1.0;
  }

 private:
  uint64_t state_;
};

inline size_t frames(double rate, double seconds) { return static_cast<size_t>(std::lround(rate * seconds)); }

// Raised-cosine ramp from 0 at i = 0 to 1 at i = length.
inline double ramp(size_t i, size_t length) {
  if (i >= length) return 1.0;
  return 0.5 - 0.5 * std::cos(kPi * static_cast<double>(i) / static_cast<double>(length));
}

inline double midiHz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

// Accumulates mono voices into a stereo mix at constant-power pan positions
// (−1 left, 0 centre with both channels identical, +1 right).
struct Mix {
  Stereo s;
  explicit Mix(size_t n) { s.left.assign(n, 0.0f), s.right.assign(n, 0.0f); }
  void add(size_t i, double v, double pan) {
    if (i >= s.left.size()) return;
    if (pan == 0) {
      s.left[i] += static_cast<float>(v);
      s.right[i] += static_cast<float>(v);
      return;
    }
    const double a = (pan + 1) * kPi / 4;
    s.left[i] += static_cast<float>(v * std::cos(a) * std::sqrt(2.0));
    s.right[i] += static_cast<float>(v * std::sin(a) * std::sqrt(2.0));
  }
};

}  // namespace material

// A steady sine of `hz` at `dbfs` (peak level), with 10 ms raised-cosine fades.
inline std::vector<float> steadyTone(double rate, double seconds, double hz = 440.0, double dbfs = -6.0) {
  const size_t n = material::frames(rate, seconds);
  const size_t fade = material::frames(rate, 0.01);
  const double amplitude = std::pow(10.0, dbfs / 20.0);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; i++) {
    const double env = material::ramp(i, fade) * material::ramp(n - 1 - i, fade);
    x[i] = static_cast<float>(amplitude * env * std::sin(2.0 * material::kPi * hz * static_cast<double>(i) / rate));
  }
  return x;
}

// A band-limited sawtooth of fundamental `hz` (every harmonic below 0.45·rate
// at amplitude 1/k, nominal ramp height ±0.4), with 10 ms fades: a bass note
// whose spectrum is purely harmonic.
inline std::vector<float> sawtoothBass(double rate, double seconds, double hz = 55.0) {
  const size_t n = material::frames(rate, seconds);
  const size_t fade = material::frames(rate, 0.01);
  const int harmonics = static_cast<int>(0.45 * rate / hz);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; i++) {
    const double theta = 2.0 * material::kPi * hz * static_cast<double>(i) / rate;
    // Powers of e^{iθ} by repeated rotation: sin(kθ) for every k at one
    // multiply each instead of one sine call each.
    const double c = std::cos(theta), s = std::sin(theta);
    double re = 1, im = 0, sum = 0;
    for (int k = 1; k <= harmonics; k++) {
      const double r2 = re * c - im * s;
      im = re * s + im * c;
      re = r2;
      sum += im / k;
    }
    const double env = material::ramp(i, fade) * material::ramp(n - 1 - i, fade);
    x[i] = static_cast<float>(0.4 * (2.0 / material::kPi) * sum * env);
  }
  return x;
}

// A train of white-noise bursts, each `burstMs` long (flat, with 0.25 ms
// raised-cosine edges, peak ±0.5), one every `spacingSeconds`, the first half
// a spacing after the start.
inline std::vector<float> burstTrain(double rate, double seconds, double spacingSeconds, double burstMs = 3.0,
                                     uint64_t seed = 1) {
  const size_t n = material::frames(rate, seconds);
  const size_t length = material::frames(rate, burstMs / 1000.0);
  const size_t edge = material::frames(rate, 0.00025);
  material::Noise noise(seed);
  std::vector<float> x(n, 0.0f);
  for (double t = spacingSeconds / 2; ; t += spacingSeconds) {
    const size_t start = material::frames(rate, t);
    if (start + length > n) break;
    for (size_t i = 0; i < length; i++) {
      const double env = material::ramp(i, edge) * material::ramp(length - 1 - i, edge);
      x[start + i] = static_cast<float>(0.5 * env * noise.next());
    }
  }
  return x;
}

// The parts of the music piece.
enum Parts : unsigned { kDrums = 1, kBass = 2, kChords = 4, kMelody = 8, kAllParts = 15 };

// A short stereo piece, two seconds a bar at 120 beats per minute over
// Dm – B♭ – F – C (repeated for more than four bars), plus half a second of
// tail. Centre: a pitch-swept kick, a plucked bass and a lead melody with
// vibrato. Sides: the chord pad split left and right, hi-hats left, the snare
// a little right with a room tail that differs between the channels (so the
// drums have a stereo image of their own). Peak about −3 dBFS.
inline Stereo musicPiece(double rate, int bars = 4, unsigned parts = kAllParts, uint64_t seed = 7) {
  using material::kPi;
  const double beat = 0.5;
  const size_t n = material::frames(rate, bars * 4 * beat + 0.5);
  material::Mix mix(n);
  material::Noise noise(seed), roomL(seed * 3 + 1), roomR(seed * 5 + 2);
  static const int kRootNotes[4] = {50, 46, 41, 48};                        // D, B♭, F, C
  static const int kChordNotes[4][3] = {{62, 65, 69}, {58, 62, 65}, {57, 60, 65}, {55, 60, 64}};
  auto at = [&](double beats) { return material::frames(rate, beats * beat); };

  if (parts & kDrums) {
    for (int b = 0; b < bars * 4; b++) {
      const size_t start = at(b);
      if (b % 2 == 0) {  // kick
        double phase = 0;
        for (size_t i = 0; i < at(0.8); i++) {
          const double t = static_cast<double>(i) / rate;
          phase += 2 * kPi * (50 + 90 * std::exp(-t / 0.025)) / rate;
          mix.add(start + i, 0.6 * std::exp(-t / 0.15) * std::sin(phase), 0);
        }
      } else {  // snare with a room tail of its own in each channel
        for (size_t i = 0; i < at(0.6); i++) {
          const double t = static_cast<double>(i) / rate;
          const double body = 0.25 * noise.next() * std::exp(-t / 0.06) +
                              0.14 * std::sin(2 * kPi * 185 * t) * std::exp(-t / 0.04);
          mix.add(start + i, body, 0.2);
          const double room = 0.05 * std::exp(-t / 0.12) * material::ramp(i, material::frames(rate, 0.01));
          mix.add(start + i, room * roomL.next(), -1);
          mix.add(start + i, room * roomR.next(), 1);
        }
      }
    }
    double previous = 0;
    for (int e = 0; e < bars * 8; e++) {  // hi-hat on every eighth, differenced noise
      const size_t start = at(e * 0.5);
      for (size_t i = 0; i < at(0.2); i++) {
        const double v = noise.next(), t = static_cast<double>(i) / rate;
        mix.add(start + i, 0.12 * (v - previous) * std::exp(-t / 0.02), -0.5);
        previous = v;
      }
    }
  }
  if (parts & kBass) {
    for (int e = 0; e < bars * 8; e++) {
      const double f = material::midiHz(kRootNotes[(e / 8) % 4] - 12 + ((e % 8) == 6 ? 7 : 0));
      const size_t start = at(e * 0.5);
      for (size_t i = 0; i < at(0.5); i++) {
        const double t = static_cast<double>(i) / rate;
        const double env = material::ramp(i, material::frames(rate, 0.004)) * std::exp(-t / 0.35) *
                           material::ramp(at(0.5) - 1 - i, material::frames(rate, 0.004));
        double v = 0;
        for (int h = 1; h <= 4; h++) v += std::sin(2 * kPi * f * h * t) / (h * h);
        mix.add(start + i, 0.3 * env * v, 0);
      }
    }
  }
  if (parts & kChords) {
    for (int bar = 0; bar < bars; bar++) {
      const size_t start = at(bar * 4), length = at(4);
      for (int k = 0; k < 3; k++) {
        const double f = material::midiHz(kChordNotes[bar % 4][k]);
        const double pan = k == 1 ? 0.6 : -0.6;
        for (size_t i = 0; i < length; i++) {
          const double t = static_cast<double>(i) / rate;
          const double env = material::ramp(i, material::frames(rate, 0.1)) *
                             material::ramp(length - 1 - i, material::frames(rate, 0.06));
          double v = 0;
          for (int h = 1; h <= 6; h++) v += std::sin(2 * kPi * f * h * t * (1 + 0.0007 * h)) / h;
          mix.add(start + i, 0.05 * env * v, pan);
        }
      }
    }
  }
  if (parts & kMelody) {
    static const double kPhrase[][3] = {  // start beat, beats, note
        {0, 1.5, 74}, {1.5, 0.5, 72}, {2, 1, 69}, {3, 1, 70}, {4, 2, 72}, {6, 1, 74}, {7, 1, 77},
        {8, 1, 76}, {9, 1, 74}, {10, 2, 72}, {12, 1, 71}, {13, 1, 72}, {14, 2, 67}};
    for (int rep = 0; rep * 4 < bars; rep++) {
      for (const auto& note : kPhrase) {
        const size_t start = at(rep * 16 + note[0]), length = at(note[1]);
        const double f = material::midiHz(note[2]);
        double phase = 0;
        for (size_t i = 0; i < length; i++) {
          const double t = static_cast<double>(i) / rate;
          phase += 2 * kPi * f * (1 + 0.005 * std::sin(2 * kPi * 5.2 * t) * std::fmin(1.0, t / 0.25)) / rate;
          const double env = material::ramp(i, material::frames(rate, 0.02)) *
                             material::ramp(length - 1 - i, material::frames(rate, 0.03));
          const double v = std::sin(phase) + 0.4 * std::sin(2 * phase) + 0.25 * std::sin(3 * phase) +
                           0.1 * std::sin(5 * phase);
          if (start + i < material::frames(rate, bars * 4 * beat)) mix.add(start + i, 0.18 * env * v, 0);
        }
      }
    }
  }
  float peak = 1e-9f;
  for (size_t i = 0; i < n; i++) peak = std::fmax(peak, std::fmax(std::fabs(mix.s.left[i]), std::fabs(mix.s.right[i])));
  const float gain = 0.7f / peak;
  for (size_t i = 0; i < n; i++) mix.s.left[i] *= gain, mix.s.right[i] *= gain;
  return mix.s;
}

// A mono recording (the music piece folded to one channel) placed at gains
// 0.8 left and 0.35 right, `seconds` long with a 10 ms fade at the end: the
// right channel is an exact scaled copy of the left, so a stretch that keeps
// the source in its place keeps r = 1. Its bass, drums and chords together
// are harder to keep in place than a single note.
inline Stereo pannedSource(double rate, double seconds) {
  const Stereo music = musicPiece(rate, static_cast<int>(std::ceil(seconds / 2.0)));
  const size_t n = std::min(material::frames(rate, seconds), music.left.size());
  const size_t fade = material::frames(rate, 0.01);
  Stereo s{std::vector<float>(n), std::vector<float>(n)};
  for (size_t i = 0; i < n; i++) {
    const double mono = 0.5 * (static_cast<double>(music.left[i]) + music.right[i]) * material::ramp(n - 1 - i, fade);
    s.left[i] = static_cast<float>(0.8 * mono);
    s.right[i] = static_cast<float>(0.35 * mono);
  }
  return s;
}

// Dual mono: the music piece folded to one channel, copied to both, each copy
// rounded to 16 bits with its own triangular dither of ±1 step. The channels
// then differ only by dither (side about 90 dB below mid); a stretch that
// treats the channels apart can blow that difference up.
inline Stereo dualMono(double rate, int bars = 4, uint64_t seed = 11) {
  const Stereo music = musicPiece(rate, bars);
  material::Noise dl(seed), dr(seed + 1);
  Stereo s{std::vector<float>(music.left.size()), std::vector<float>(music.left.size())};
  for (size_t i = 0; i < music.left.size(); i++) {
    const double mono = 0.5 * (static_cast<double>(music.left[i]) + music.right[i]) / material::kLsb;
    const double a = std::round(mono + 0.5 * (dl.next() + dl.next()));
    const double b = std::round(mono + 0.5 * (dr.next() + dr.next()));
    s.left[i] = static_cast<float>(a * material::kLsb);
    s.right[i] = static_cast<float>(b * material::kLsb);
  }
  return s;
}

// A held A major chord (A3, C♯4, E4), six harmonics a note at 1/h, the
// outer notes to the left and the middle one to the right as the music's
// pad, `seconds` long with 10 ms fades; peak about −6 dBFS.
inline Stereo heldChord(double rate, double seconds) {
  const size_t n = material::frames(rate, seconds);
  const size_t fade = material::frames(rate, 0.01);
  material::Mix mix(n);
  const int notes[3] = {57, 61, 64};
  for (int k = 0; k < 3; k++) {
    const double w = 2.0 * material::kPi * material::midiHz(notes[k]) / rate;
    for (size_t i = 0; i < n; i++) {
      double v = 0;
      for (int h = 1; h <= 6; h++) v += std::sin(w * h * static_cast<double>(i) + 0.7 * h * k) / h;
      mix.add(i, 0.09 * v * material::ramp(i, fade) * material::ramp(n - 1 - i, fade), k == 1 ? 0.6 : -0.6);
    }
  }
  return mix.s;
}

// Pink noise (−3 dB an octave from about 40 Hz up, from white noise
// through a fixed set of first-order filters), independent in each channel,
// RMS about −16 dBFS, `seconds` long with 10 ms fades. Nothing much below
// 40 Hz, so that its level over 20 ms does not wander with what a window
// holds of a slower wave.
inline Stereo pinkNoise(double rate, double seconds, uint64_t seed = 5) {
  const size_t n = material::frames(rate, seconds);
  const size_t fade = material::frames(rate, 0.01);
  Stereo s{std::vector<float>(n), std::vector<float>(n)};
  for (int c = 0; c < 2; c++) {
    material::Noise white(seed + static_cast<uint64_t>(c) * 977);
    double b[7] = {0, 0, 0, 0, 0, 0, 0};
    std::vector<float>& x = c == 0 ? s.left : s.right;
    for (size_t i = 0; i < n; i++) {
      const double w = white.next();
      b[1] = 0.99332 * b[1] + w * 0.0750759;
      b[2] = 0.96900 * b[2] + w * 0.1538520;
      b[3] = 0.86650 * b[3] + w * 0.3104856;
      b[4] = 0.55000 * b[4] + w * 0.5329522;
      b[5] = -0.7616 * b[5] - w * 0.0168980;
      const double pink = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
      b[6] = w * 0.115926;
      x[i] = static_cast<float>(0.12 * pink * material::ramp(i, fade) * material::ramp(n - 1 - i, fade));
    }
  }
  return s;
}

}  // namespace quality
