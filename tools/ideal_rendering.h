// The "ideal rendering" measure of the quality benchmark: a short piece
// synthesised from note events at tempo 1 and again at a target tempo, and
// the measures that read how far a stretch of the first lies from the second
// (log-spectral distance in third-octave bands, softened attacks, pre-echo).
//
// A stretcher can at best play the same notes later: the same pitches, the
// same attacks and releases, the same drum sounds, only the onsets and the
// held parts of the notes moved by 1/tempo. The rendering at the target
// tempo is that best, so its distance to a stretch is what the stretch got
// wrong. Header-only and pure, deterministic (fixed-seed noise, closed
// formulas), keeping no state, so any thread may call anything; it
// allocates freely and has nothing to do with the audio path.
// Used by tools/quality.cpp and tests/unit/ideal_rendering_test.cpp.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../tests/support/test_material.h"

namespace ideal {

using quality::Stereo;
constexpr double kPi = 3.14159265358979323846;

// One note or drum hit. Times in seconds at tempo 1; `hold` is the part of a
// note that lasts as long as the tempo says (between its attack and its
// release, which keep their length).
enum class Voice { kPad, kLead, kBass, kKick, kSnare, kHat };
struct Event {
  Voice voice;
  double onset, hold;
  double note;  // MIDI note; unused by the drums
  double pan;   // −1 left … +1 right
};

// Four bars at 120 beats per minute (8 s) over Dm – B♭ – F – C: a pad of
// three notes spread across the image, a lead a little right, a bass in the
// centre on every beat with a gap before the next, kick (centre) and snare
// (a little right) on alternate beats, hi-hats left on the off-beats.
inline std::vector<Event> pieceEvents() {
  std::vector<Event> e;
  static const int kChords[4][3] = {{62, 65, 69}, {58, 62, 65}, {57, 60, 65}, {55, 60, 64}};
  static const int kRoots[4] = {38, 34, 41, 36};
  static const double kLead[][3] = {{0, 1.5, 74}, {1.5, 0.5, 72}, {2, 1, 69}, {3, 1, 70}, {4, 2, 72},
                                    {6, 1, 74}, {7, 1, 77},     {8, 1, 76}, {9, 1, 74}, {10, 2, 72},
                                    {12, 1, 71}, {13, 1, 72},   {14, 2, 67}};
  const double beat = 0.5;
  for (int bar = 0; bar < 4; bar++) {
    for (int k = 0; k < 3; k++)
      e.push_back({Voice::kPad, bar * 4 * beat, 4 * beat - 0.15, double(kChords[bar][k]), k == 0 ? -0.6 : k == 1 ? 0.6 : 0.0});
    for (int b = 0; b < 4; b++) {
      const double t = (bar * 4 + b) * beat;
      e.push_back({Voice::kBass, t, 0.35, double(kRoots[bar] + (b == 3 ? 7 : 0)), 0.0});
      e.push_back({b % 2 == 0 ? Voice::kKick : Voice::kSnare, t, 0, 0, b % 2 == 0 ? 0.0 : 0.25});
      e.push_back({Voice::kHat, t + beat / 2, 0, 0, -0.5});
    }
  }
  for (const auto& n : kLead) e.push_back({Voice::kLead, n[0] * beat, n[1] * beat - 0.06, n[2], 0.3});
  return e;
}

inline bool isDrum(Voice v) { return v == Voice::kKick || v == Voice::kSnare || v == Voice::kHat; }

namespace detail {

// Attack and release of each sustained voice (seconds), its harmonic
// amplitudes and its level.
struct Timbre {
  double attack, release, level;
  std::vector<double> harmonics;
};
inline Timbre timbre(Voice v) {
  switch (v) {
    case Voice::kPad: return {0.04, 0.12, 0.05, {1, 0.5, 0.33, 0.25, 0.2, 0.16}};
    case Voice::kLead: return {0.015, 0.04, 0.12, {1, 0.4, 0.25, 0, 0.1}};
    default: return {0.005, 0.02, 0.25, {1, 0.5, 0.25, 0.12}};
  }
}

// Each drum's fixed waveform, the same at every hit and every tempo.
inline std::vector<double> drumShape(Voice v, double rate) {
  const double seconds = v == Voice::kKick ? 0.3 : v == Voice::kSnare ? 0.25 : 0.08;
  std::vector<double> x(static_cast<size_t>(seconds * rate));
  quality::material::Noise noise(v == Voice::kSnare ? 21 : 33);
  double phase = 0, previous = 0;
  for (size_t i = 0; i < x.size(); i++) {
    const double t = static_cast<double>(i) / rate;
    const double fadeOut = quality::material::ramp(x.size() - 1 - i, static_cast<size_t>(0.005 * rate));
    const double onset = quality::material::ramp(i, static_cast<size_t>(0.0005 * rate));
    double y;
    if (v == Voice::kKick) {
      phase += 2 * kPi * (50 + 100 * std::exp(-t / 0.02)) / rate;
      y = 0.7 * std::exp(-t / 0.08) * std::sin(phase);
    } else if (v == Voice::kSnare) {
      y = 0.35 * noise.next() * std::exp(-t / 0.05) + 0.2 * std::sin(2 * kPi * 190 * t) * std::exp(-t / 0.04);
    } else {
      const double n = noise.next();
      y = 0.25 * (n - previous) * std::exp(-t / 0.015);
      previous = n;
    }
    x[i] = y * onset * fadeOut;
  }
  return x;
}

}  // namespace detail

// The piece at `tempo`: onsets at onset/tempo, holds lasting hold/tempo,
// everything else as at tempo 1. Ends with 0.4 s of silence after the last
// release. Phases of sustained notes start at 0 at each onset, so the two
// renderings differ only where the tempo says.
inline Stereo render(double rate, double tempo) {
  const std::vector<Event> events = pieceEvents();
  double end = 0;
  for (const Event& e : events) end = std::max(end, e.onset / tempo + e.hold / tempo + 0.3);
  quality::material::Mix mix(static_cast<size_t>((end + 0.4) * rate));
  for (const Event& e : events) {
    const size_t start = static_cast<size_t>(std::lround(e.onset / tempo * rate));
    if (isDrum(e.voice)) {
      const std::vector<double> shape = detail::drumShape(e.voice, rate);
      for (size_t i = 0; i < shape.size(); i++) mix.add(start + i, shape[i], e.pan);
      continue;
    }
    const detail::Timbre tb = detail::timbre(e.voice);
    const size_t attack = static_cast<size_t>(tb.attack * rate), release = static_cast<size_t>(tb.release * rate);
    const size_t hold = static_cast<size_t>(std::lround(e.hold / tempo * rate));
    const double f = quality::material::midiHz(e.note);
    for (size_t i = 0; i < attack + hold + release; i++) {
      const double env = i < attack ? quality::material::ramp(i, attack)
                         : i < attack + hold ? 1.0
                                             : quality::material::ramp(attack + hold + release - i, release);
      const double t = static_cast<double>(i) / rate;
      double v = 0;
      for (size_t h = 0; h < tb.harmonics.size(); h++)
        if (tb.harmonics[h] != 0 && f * static_cast<double>(h + 1) < 0.45 * rate)
          v += tb.harmonics[h] * std::sin(2 * kPi * f * static_cast<double>(h + 1) * t);
      mix.add(start + i, tb.level * env * v, e.pan);
    }
  }
  return mix.s;
}

// Onsets of the drum hits at `tempo`, in samples.
inline std::vector<size_t> hitOnsets(double rate, double tempo) {
  std::vector<size_t> at;
  for (const Event& e : pieceEvents())
    if (isDrum(e.voice)) at.push_back(static_cast<size_t>(std::lround(e.onset / tempo * rate)));
  std::sort(at.begin(), at.end());
  return at;
}

namespace detail {

// Radix-2 transform with a precomputed table; n a power of two.
class Fft {
 public:
  explicit Fft(size_t n) : n_(n), w_(n / 2) {
    for (size_t k = 0; k < n / 2; k++) w_[k] = std::polar(1.0, -2 * kPi * static_cast<double>(k) / static_cast<double>(n));
  }
  void operator()(std::vector<std::complex<double>>& a) const {
    for (size_t i = 1, j = 0; i < n_; i++) {
      size_t bit = n_ >> 1;
      for (; j & bit; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n_; len <<= 1)
      for (size_t i = 0; i < n_; i += len)
        for (size_t k = 0; k < len / 2; k++) {
          const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w_[k * (n_ / len)];
          a[i + k] = u + v;
          a[i + k + len / 2] = u - v;
        }
  }

 private:
  size_t n_;
  std::vector<std::complex<double>> w_;
};

inline double sampleAt(const std::vector<float>& x, std::ptrdiff_t i) {
  return i >= 0 && i < static_cast<std::ptrdiff_t>(x.size()) ? x[static_cast<size_t>(i)] : 0.0;
}

// Band powers (third-octave bands from 63 Hz to 16 kHz) of Hann frames of
// 2048 samples at a hop of 512, of x read from `offset` on, for `frames`
// frames. Row-major: frame, then band.
inline std::vector<double> bandPowers(const std::vector<float>& x, std::ptrdiff_t offset, size_t frames, double rate,
                                      size_t& bands) {
  const size_t n = 2048, hop = 512;
  std::vector<size_t> edges;  // first bin of each band, and one past the last
  for (double fc = 63.0; fc <= 16500.0 && fc * std::pow(2.0, 1.0 / 6) < 0.5 * rate; fc *= std::pow(2.0, 1.0 / 3)) {
    const size_t lo = static_cast<size_t>(std::ceil(fc * std::pow(2.0, -1.0 / 6) * n / rate));
    const size_t hi = static_cast<size_t>(std::ceil(fc * std::pow(2.0, 1.0 / 6) * n / rate));
    if (edges.empty()) edges.push_back(lo);
    edges.push_back(std::max(hi, edges.back() + 1));
  }
  bands = edges.size() - 1;
  const Fft fft(n);
  std::vector<std::complex<double>> a(n);
  std::vector<double> p(frames * bands, 0.0);
  for (size_t f = 0; f < frames; f++) {
    for (size_t i = 0; i < n; i++)
      a[i] = sampleAt(x, offset + static_cast<std::ptrdiff_t>(f * hop + i)) *
             (0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(i) / static_cast<double>(n)));
    fft(a);
    for (size_t b = 0; b < bands; b++)
      for (size_t k = edges[b]; k < edges[b + 1]; k++) p[f * bands + b] += std::norm(a[k]);
  }
  return p;
}

}  // namespace detail

// Log-spectral distance of `out` (read from sample `delay` on) from `ref`, in
// dB: the mean absolute difference of third-octave band levels over short
// frames (46 ms, hop 12 ms). Levels below 60 dB under the reference's
// loudest band are raised to that floor, and cells where both lie on it are
// left out, so silence neither counts as a match nor as an infinite error.
// 0 for identical signals.
inline double bandDistanceDb(const std::vector<float>& ref, const std::vector<float>& out, std::ptrdiff_t delay,
                             double rate) {
  const size_t frames = ref.size() > 2048 ? (ref.size() - 2048) / 512 + 1 : 0;
  size_t bands = 0;
  const std::vector<double> a = detail::bandPowers(ref, 0, frames, rate, bands);
  const std::vector<double> b = detail::bandPowers(out, delay, frames, rate, bands);
  const double loudest = a.empty() ? 0.0 : *std::max_element(a.begin(), a.end());
  if (loudest <= 0) return 0.0;
  const double floor = loudest * 1e-6;
  double sum = 0;
  size_t cells = 0;
  for (size_t i = 0; i < a.size(); i++) {
    if (a[i] <= floor && b[i] <= floor) continue;
    sum += std::fabs(10.0 * std::log10(std::max(a[i], floor) / std::max(b[i], floor)));
    cells++;
  }
  return cells ? sum / static_cast<double>(cells) : 0.0;
}

// Power envelope of a stereo signal, L² + R², averaged over 1 ms; with
// `edges`, of the signal's first difference, whose rise of 6 dB an octave
// makes the drums' onsets stand out of the sustained notes and the kick's
// long low tail.
inline std::vector<double> powerEnvelope(const Stereo& s, double rate, bool edges = false) {
  const size_t w = std::max<size_t>(1, static_cast<size_t>(std::lround(0.001 * rate)));
  const size_t n = std::min(s.left.size(), s.right.size());
  std::vector<double> p(n), env(n);
  for (size_t i = 0; i < n; i++) {
    double l = s.left[i], r = s.right[i];
    if (edges) l -= i ? s.left[i - 1] : 0.0f, r -= i ? s.right[i - 1] : 0.0f;
    p[i] = l * l + r * r;
  }
  // Each window summed afresh: a running sum over seconds of loud music
  // would leave the quiet stretches before the onsets in its rounding error.
  for (size_t i = 0; i < n; i++) {
    const size_t a = i >= w / 2 ? i - w / 2 : 0, b = std::min(n, a + w);
    double sum = 0;
    for (size_t k = a; k < b; k++) sum += p[k];
    env[i] = sum / static_cast<double>(w);
  }
  return env;
}

// How many samples later `out` plays than `ref`: the lag, within ±maxMs,
// that best correlates their differenced power envelopes (the onsets) over
// the first 6 s, on a grid of 4 samples refined by a parabola.
inline std::ptrdiff_t delaySamples(const Stereo& ref, const Stereo& out, double rate, double maxMs = 150.0) {
  const std::vector<double> a = powerEnvelope(ref, rate, true), b = powerEnvelope(out, rate, true);
  const size_t step = 4;
  const size_t n = std::min<size_t>(a.size(), static_cast<size_t>(6.0 * rate)) / step;
  const std::ptrdiff_t maxLag = static_cast<std::ptrdiff_t>(maxMs * 0.001 * rate / step);
  std::vector<double> corr(static_cast<size_t>(2 * maxLag + 1), 0.0);
  for (std::ptrdiff_t lag = -maxLag; lag <= maxLag; lag++) {
    double sum = 0;
    for (size_t j = 0; j < n; j++) {
      const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(j) + lag;
      if (k >= 0 && static_cast<size_t>(k) * step < b.size()) sum += a[j * step] * b[static_cast<size_t>(k) * step];
    }
    corr[static_cast<size_t>(lag + maxLag)] = sum;
  }
  size_t best = 1;
  for (size_t i = 1; i + 1 < corr.size(); i++)
    if (corr[i] > corr[best]) best = i;
  const double l = corr[best - 1], m = corr[best], r = corr[best + 1], d = l - 2 * m + r;
  const double frac = d == 0 ? 0.0 : 0.5 * (l - r) / d;
  return static_cast<std::ptrdiff_t>(std::lround((static_cast<double>(best) - static_cast<double>(maxLag) + frac) * step));
}

// The attacks of the drum hits at `onsets` (in ref's samples; out is read
// `delay` samples later), in dB, averaged over the hits. Softening: how much
// lower the 1 ms power peak in the first 20 ms after the onset is than the
// reference's (positive: softened). Pre-echo: the power in the 36 ms that
// end 2 ms before the onset against the reference's (positive: sound ahead
// of the hit that the rendering does not have). That also counts the tail
// of the hit before, which a stretch lengthens at slow tempos, so the rise
// is read too: how much more the power rises towards the onset than the
// reference's does, the rise being the power in the last 18 ms of that
// span over the power in its first 18 ms (positive: the hit is heard
// before it is played); a lengthened tail barely changes it. Power 60 dB
// under the hit's peak counts as silence on both sides.
struct Attacks {
  double softeningDb = 0, preEchoDb = 0, preRiseDb = 0;
};
inline Attacks attacks(const Stereo& ref, const Stereo& out, std::ptrdiff_t delay, const std::vector<size_t>& onsets,
                       double rate) {
  const std::vector<double> a = powerEnvelope(ref, rate), b = powerEnvelope(out, rate);
  auto at = [](const std::vector<double>& e, std::ptrdiff_t i) {
    return i >= 0 && i < static_cast<std::ptrdiff_t>(e.size()) ? e[static_cast<size_t>(i)] : 0.0;
  };
  const std::ptrdiff_t after = std::lround(0.020 * rate), span = std::lround(0.018 * rate),
                       gap = std::lround(0.002 * rate), before = 2 * span + gap;
  Attacks r;
  size_t hits = 0;
  for (size_t onset : onsets) {
    const std::ptrdiff_t t = static_cast<std::ptrdiff_t>(onset);
    if (t < before || t + after >= static_cast<std::ptrdiff_t>(a.size())) continue;
    double peakA = 0, peakB = 0, nearA = 0, nearB = 0, farA = 0, farB = 0;
    for (std::ptrdiff_t i = t; i < t + after; i++) peakA = std::max(peakA, at(a, i)), peakB = std::max(peakB, at(b, i + delay));
    for (std::ptrdiff_t i = t - gap - span; i < t - gap; i++) nearA += at(a, i), nearB += at(b, i + delay);
    for (std::ptrdiff_t i = t - before; i < t - gap - span; i++) farA += at(a, i), farB += at(b, i + delay);
    if (peakA <= 0 || peakB <= 0) continue;
    // What lies 60 dB under the hit's own peak counts as silence, in the
    // reference as in the output.
    const double floorA = 1e-6 * peakA * static_cast<double>(span), floorB = 1e-6 * peakB * static_cast<double>(span);
    r.softeningDb += 10 * std::log10(peakA / peakB);
    r.preEchoDb += 10 * std::log10(std::max(nearB + farB, 2 * floorB) / std::max(nearA + farA, 2 * floorA));
    r.preRiseDb += 10 * std::log10((std::max(nearB, floorB) / std::max(farB, floorB)) /
                                   (std::max(nearA, floorA) / std::max(farA, floorA)));
    hits++;
  }
  if (hits) {
    r.softeningDb /= static_cast<double>(hits);
    r.preEchoDb /= static_cast<double>(hits);
    r.preRiseDb /= static_cast<double>(hits);
  }
  return r;
}

// The side signal L − R.
inline std::vector<float> side(const Stereo& s) {
  std::vector<float> d(std::min(s.left.size(), s.right.size()));
  for (size_t i = 0; i < d.size(); i++) d[i] = s.left[i] - s.right[i];
  return d;
}

}  // namespace ideal
