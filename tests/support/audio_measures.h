// Sound-quality measures for time-stretched audio: the figures a musician
// hears as level, flutter, stereo image, bass roughness, smeared drums and
// pitch. Header-only; used by the unit tests (to hold the fine mode to its
// targets) and by the quality benchmark (tools/quality.cpp).
//
// Every function is pure: it reads float sample vectors (full scale ±1, one
// channel each) and a sample rate, and returns a number. Nothing here touches
// the engine or keeps state, so any thread may call anything. The work is done
// in double precision; none of it is meant for the audio path (it allocates).
//
// None of the measures needs the input and the output to be aligned in time:
// each one reads a steady middle part, a whole-signal ratio, a long-term
// spectrum, or finds the bursts itself. A processed signal's start-up delay
// therefore does not change a reading.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <vector>

namespace quality {

namespace detail {

constexpr double kPi = 3.14159265358979323846;

// The part of x between the fractions `from` and `to` of its length.
inline std::vector<double> middle(const std::vector<float>& x, double from, double to) {
  const size_t a = static_cast<size_t>(from * static_cast<double>(x.size()));
  const size_t b = std::max(a, static_cast<size_t>(to * static_cast<double>(x.size())));
  return std::vector<double>(x.begin() + static_cast<std::ptrdiff_t>(a), x.begin() + static_cast<std::ptrdiff_t>(b));
}

inline double energy(const std::vector<double>& x) {
  double e = 0;
  for (double v : x) e += v * v;
  return e;
}

inline double db(double powerRatio) { return 10.0 * std::log10(powerRatio); }

// In-place radix-2 transform; n must be a power of two.
inline void fft(std::vector<std::complex<double>>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; i++) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const double ang = -2.0 * kPi / static_cast<double>(len);
    for (size_t i = 0; i < n; i += len) {
      for (size_t k = 0; k < len / 2; k++) {
        const std::complex<double> w(std::cos(ang * static_cast<double>(k)), std::sin(ang * static_cast<double>(k)));
        const std::complex<double> u = a[i + k];
        const std::complex<double> v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
    }
  }
}

inline size_t nextPowerOfTwo(size_t n) {
  size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

// Power spectrum (bins 0..n/2) of x under a 4-term Blackman-Harris window
// (side lobes below −92 dB, main lobe ±4 bins), zero-padded to n.
inline std::vector<double> blackmanHarrisPower(const std::vector<double>& x, size_t n) {
  std::vector<std::complex<double>> a(n);
  const size_t m = std::min(x.size(), n);
  for (size_t i = 0; i < m; i++) {
    const double p = 2.0 * kPi * static_cast<double>(i) / static_cast<double>(m);
    const double w = 0.35875 - 0.48829 * std::cos(p) + 0.14128 * std::cos(2 * p) - 0.01168 * std::cos(3 * p);
    a[i] = x[i] * w;
  }
  fft(a);
  std::vector<double> power(n / 2 + 1);
  for (size_t k = 0; k <= n / 2; k++) power[k] = std::norm(a[k]);
  return power;
}

// Long-term power spectrum: Hann frames of `frame` samples, hop frame/2,
// zero-padded four times, averaged. Bin k is k·rate/(4·frame) Hz.
inline std::vector<double> longTermSpectrum(const std::vector<float>& x, size_t frame) {
  const size_t n = 4 * frame;
  std::vector<double> sum(n / 2 + 1, 0.0);
  std::vector<std::complex<double>> a(n);
  for (size_t start = 0; start + frame <= x.size(); start += frame / 2) {
    std::fill(a.begin(), a.end(), std::complex<double>());
    for (size_t i = 0; i < frame; i++) {
      const double w = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(frame));
      a[i] = static_cast<double>(x[start + i]) * w;
    }
    fft(a);
    for (size_t k = 0; k <= n / 2; k++) sum[k] += std::norm(a[k]);
  }
  return sum;
}

// The vertex of the parabola through (−1, a), (0, b), (1, c), as an offset.
inline double parabolicOffset(double a, double b, double c) {
  const double d = a - 2 * b + c;
  return d == 0 ? 0.0 : 0.5 * (a - c) / d;
}

}  // namespace detail

// Level of a steady signal after processing, in dB relative to its input:
// the RMS of the output's middle half over the RMS of the input's middle half.
// 0 for a stretch that keeps the level.
inline double levelChangeDb(const std::vector<float>& in, const std::vector<float>& out) {
  const double ein = detail::energy(detail::middle(in, 0.25, 0.75)) / std::max<size_t>(1, in.size() / 2);
  const double eout = detail::energy(detail::middle(out, 0.25, 0.75)) / std::max<size_t>(1, out.size() / 2);
  return detail::db(eout / ein);
}

// Amplitude envelope of a steady tone of frequency toneHz, one value per
// quarter period: the amplitude of the least-squares fit of a sinusoid at
// toneHz over a window of one period. The fit reads a pure tone's amplitude
// exactly wherever its window starts (a plain RMS window would ripple unless it
// held a whole number of periods), and one period (2.3 ms at 440 Hz) passes a
// 43 Hz modulation at 98 % of its depth, 100 Hz at 92 %.
inline std::vector<double> toneEnvelope(const std::vector<float>& x, double rate, double toneHz) {
  const double period = rate / toneHz;
  const size_t window = std::max<size_t>(4, static_cast<size_t>(std::lround(period)));
  const size_t hop = std::max<size_t>(1, static_cast<size_t>(period / 4));
  const double w = 2.0 * detail::kPi * toneHz / rate;
  std::vector<double> env;
  for (size_t start = 0; start + window <= x.size(); start += hop) {
    double cc = 0, ss = 0, cs = 0, xc = 0, xs = 0;
    for (size_t i = 0; i < window; i++) {
      const double ph = w * static_cast<double>(start + i);
      const double c = std::cos(ph), s = std::sin(ph), v = x[start + i];
      cc += c * c;
      ss += s * s;
      cs += c * s;
      xc += v * c;
      xs += v * s;
    }
    const double det = cc * ss - cs * cs;
    const double a = (xc * ss - xs * cs) / det;
    const double b = (xs * cc - xc * cs) / det;
    env.push_back(std::sqrt(a * a + b * b));
  }
  return env;
}

// Flutter of a steady tone: the envelope's peak-to-trough ratio in dB over
// the middle 60 % of the signal (skipping the start-up and the tail), with
// the envelope of toneEnvelope(). A perfect stretch reads below 0.01 dB.
inline double flutterDb(const std::vector<float>& out, double rate, double toneHz) {
  const std::vector<double> env = toneEnvelope(out, rate, toneHz);
  const size_t a = env.size() / 5, b = env.size() - env.size() / 5;
  if (b <= a) return std::numeric_limits<double>::quiet_NaN();
  const auto [lo, hi] = std::minmax_element(env.begin() + static_cast<std::ptrdiff_t>(a),
                                            env.begin() + static_cast<std::ptrdiff_t>(b));
  return 20.0 * std::log10(*hi / std::max(*lo, 1e-300));
}

// Side over mid energy of a stereo signal in dB: Σ(L−R)² / Σ(L+R)². A side
// floor of −150 dB relative to the mid keeps identical channels finite.
inline double sideToMidDb(const std::vector<float>& left, const std::vector<float>& right) {
  const size_t n = std::min(left.size(), right.size());
  double side = 0, mid = 0;
  for (size_t i = 0; i < n; i++) {
    const double l = left[i], r = right[i];
    side += (l - r) * (l - r);
    mid += (l + r) * (l + r);
  }
  if (mid == 0) return 0.0;
  return detail::db(std::max(side, 1e-15 * mid) / mid);
}

// Change of the side/mid energy ratio from input to output, in dB: 0 when the
// stereo image keeps its width, positive when processing spreads a centred or
// panned source. Identical channels in and out read 0.
inline double sideMidChangeDb(const std::vector<float>& inLeft, const std::vector<float>& inRight,
                              const std::vector<float>& outLeft, const std::vector<float>& outRight) {
  return sideToMidDb(outLeft, outRight) - sideToMidDb(inLeft, inRight);
}

// Pan measure 10·log10(1 − r²) of the correlation r between the channels, in
// dB: very negative when one source stays at one place (the right channel a
// scaled copy of the left), near 0 when the channels are unrelated. 1 − r² is
// taken as the residual energy of R after removing its projection on L, which
// keeps its precision when r is close to 1. Floored at −200 dB.
inline double panDecorrelationDb(const std::vector<float>& left, const std::vector<float>& right) {
  const size_t n = std::min(left.size(), right.size());
  double ll = 0, lr = 0, rr = 0;
  for (size_t i = 0; i < n; i++) {
    ll += static_cast<double>(left[i]) * left[i];
    lr += static_cast<double>(left[i]) * right[i];
    rr += static_cast<double>(right[i]) * right[i];
  }
  if (ll == 0 || rr == 0) return 0.0;
  const double beta = lr / ll;
  double residual = 0;
  for (size_t i = 0; i < n; i++) {
    const double e = right[i] - beta * left[i];
    residual += e * e;
  }
  return detail::db(std::max(residual / rr, 1e-20));
}

// Inharmonic energy of a steady note with fundamental f0Hz, in dB relative to
// the total: the share of the power spectrum farther than 3 Hz from every
// harmonic k·f0 (k ≥ 1; DC counts as inharmonic). The spectrum is one long
// transform of the middle 80 % of the signal (at most 2^18 samples, zero-padded
// to a power of two) under a 4-term Blackman-Harris window, so that a pure
// harmonic tone's leakage beyond 3 Hz stays below about −90 dB when the part
// is at least 1.5 s long at 44.1 kHz.
inline double inharmonicEnergyDb(const std::vector<float>& x, double rate, double f0Hz) {
  std::vector<double> part = detail::middle(x, 0.1, 0.9);
  if (part.size() > (size_t{1} << 18)) part.resize(size_t{1} << 18);
  const size_t n = detail::nextPowerOfTwo(part.size());
  const std::vector<double> power = detail::blackmanHarrisPower(part, n);
  double total = 0, off = 0;
  for (size_t k = 0; k < power.size(); k++) {
    const double f = static_cast<double>(k) * rate / static_cast<double>(n);
    const double h = std::max(1.0, std::round(f / f0Hz));
    total += power[k];
    if (std::fabs(f - h * f0Hz) > 3.0) off += power[k];
  }
  if (total == 0) return 0.0;
  return detail::db(std::max(off / total, 1e-20));
}

// Aliasing of a transposed sawtooth whose input fundamental was f0Hz: the
// energy, against the whole, within 3 Hz of where the input's harmonics that
// the ratio moves past half the rate would fold back (rate - n f0 ratio for
// n f0 ratio between rate / 2 and rate), leaving out the places within 6 Hz
// of a harmonic of the shifted saw. A stretch's own roughness about its
// harmonics does not count here (inharmonicEnergyDb reads it); a resampler
// that lets through what lies beyond its band does.
inline double foldedEnergyDb(const std::vector<float>& x, double rate, double f0Hz, double ratio) {
  std::vector<double> part = detail::middle(x, 0.1, 0.9);
  if (part.size() > (size_t{1} << 18)) part.resize(size_t{1} << 18);
  const size_t n = detail::nextPowerOfTwo(part.size());
  const std::vector<double> power = detail::blackmanHarrisPower(part, n);
  const double shifted = f0Hz * ratio;
  std::vector<double> folds;
  for (int h = 1; h * shifted < rate; h++)
    if (h * shifted > 0.5 * rate) folds.push_back(rate - h * shifted);
  std::sort(folds.begin(), folds.end());
  double total = 0, folded = 0;
  for (size_t k = 0; k < power.size(); k++) {
    const double f = static_cast<double>(k) * rate / static_cast<double>(n);
    total += power[k];
    const auto near = std::lower_bound(folds.begin(), folds.end(), f - 3.0);
    if (near == folds.end() || *near > f + 3.0) continue;
    if (std::fabs(f - std::round(f / shifted) * shifted) > 6.0) folded += power[k];
  }
  if (total == 0) return 0.0;
  return detail::db(std::max(folded / total, 1e-20));
}

// Energy envelope: x² smoothed by a centred moving average of `window` samples.
inline std::vector<double> energyEnvelope(const std::vector<float>& x, size_t window) {
  std::vector<double> cumulative(x.size() + 1, 0.0);
  for (size_t i = 0; i < x.size(); i++) cumulative[i + 1] = cumulative[i] + static_cast<double>(x[i]) * x[i];
  std::vector<double> env(x.size());
  for (size_t i = 0; i < x.size(); i++) {
    const size_t a = i >= window / 2 ? i - window / 2 : 0;
    const size_t b = std::min(x.size(), a + window);
    env[i] = (cumulative[b] - cumulative[a]) / static_cast<double>(window);
  }
  return env;
}

// Transient width of a train of short bursts spaced `spacingSeconds` apart
// (in this signal, i.e. the input's spacing divided by the tempo), in ms: for
// each burst, the time from the first to the last sample whose energy (1 ms
// moving average) lies within 20 dB of the burst's peak; the median over the
// bursts. Each burst owns one slot of a grid at the given spacing, ±half a
// spacing around the grid point; the grid's phase is where the envelope
// folded modulo the spacing peaks, so no alignment is needed and an echo or a
// repeated copy of a burst stays in its burst's slot. Smearing and flams (an
// attack placed twice) both widen the reading. Slots quieter than 30 dB below
// the loudest are skipped.
inline double transientWidthMs(const std::vector<float>& x, double rate, double spacingSeconds) {
  const size_t smooth = std::max<size_t>(1, static_cast<size_t>(std::lround(0.001 * rate)));
  const std::vector<double> env = energyEnvelope(x, smooth);
  const double spacing = spacingSeconds * rate;
  const size_t bins = static_cast<size_t>(spacing);
  if (bins < 2 || env.size() < bins) return std::numeric_limits<double>::quiet_NaN();
  std::vector<double> folded(bins, 0.0);
  for (size_t i = 0; i < env.size(); i++)
    folded[std::min(bins - 1, static_cast<size_t>(std::fmod(static_cast<double>(i), spacing)))] += env[i];
  const double phase = static_cast<double>(std::max_element(folded.begin(), folded.end()) - folded.begin());
  const double loudest = *std::max_element(env.begin(), env.end());
  std::vector<double> widths;
  for (double centre = std::fmod(phase + spacing / 2, spacing) - spacing / 2; centre + spacing / 2 <= env.size();
       centre += spacing) {
    if (centre - spacing / 2 < 0) continue;
    const size_t a = static_cast<size_t>(centre - spacing / 2), b = static_cast<size_t>(centre + spacing / 2);
    const size_t peak = static_cast<size_t>(std::max_element(env.begin() + a, env.begin() + b) - env.begin());
    if (env[peak] < 1e-3 * loudest || env[peak] <= 0) continue;
    size_t first = peak, last = peak;
    for (size_t i = a; i < b; i++) {
      if (env[i] < 0.01 * env[peak]) continue;
      first = std::min(first, i);
      last = std::max(last, i);
    }
    widths.push_back(1000.0 * static_cast<double>(last - first + 1) / rate);
  }
  if (widths.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::sort(widths.begin(), widths.end());
  const size_t m = widths.size() / 2;
  return widths.size() % 2 ? widths[m] : 0.5 * (widths[m - 1] + widths[m]);
}

// Start-up offset of a stretched output in ms: how much later than the input
// scaled by 1/tempo its sound arrives (negative: earlier). Found by
// cross-correlating 1 ms energy envelopes over the first `seconds` of the
// output, the input's envelope time-scaled by 1/tempo, at lags up to ±maxMs,
// on a grid of 8 samples refined by a parabola. Material with sharp onsets
// (the burst train) reads to a fraction of a millisecond.
inline double startOffsetMs(const std::vector<float>& in, const std::vector<float>& out, double rate, double tempo,
                            double seconds = 3.0, double maxMs = 200.0) {
  const size_t smooth = std::max<size_t>(1, static_cast<size_t>(std::lround(0.001 * rate)));
  const std::vector<double> ein = energyEnvelope(in, smooth), eout = energyEnvelope(out, smooth);
  const size_t step = 8;
  const size_t n = std::min(eout.size(), static_cast<size_t>(seconds * rate)) / step;
  std::vector<double> a(n), b(n);
  for (size_t j = 0; j < n; j++) {
    b[j] = eout[j * step];
    const double pos = static_cast<double>(j * step) * tempo;
    const size_t k = static_cast<size_t>(pos);
    a[j] = k + 1 < ein.size() ? ein[k] + (pos - static_cast<double>(k)) * (ein[k + 1] - ein[k]) : 0.0;
  }
  const std::ptrdiff_t maxLag = static_cast<std::ptrdiff_t>(maxMs * 0.001 * rate / step);
  std::vector<double> corr(static_cast<size_t>(2 * maxLag + 1), 0.0);
  for (std::ptrdiff_t lag = -maxLag; lag <= maxLag; lag++) {
    double sum = 0;
    for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(n); j++) {
      const std::ptrdiff_t k = j + lag;
      if (k >= 0 && k < static_cast<std::ptrdiff_t>(n)) sum += a[static_cast<size_t>(j)] * b[static_cast<size_t>(k)];
    }
    corr[static_cast<size_t>(lag + maxLag)] = sum;
  }
  size_t best = 1;
  for (size_t i = 1; i + 1 < corr.size(); i++)
    if (corr[i] > corr[best]) best = i;
  const double lag = static_cast<double>(best) - static_cast<double>(maxLag) +
                     detail::parabolicOffset(corr[best - 1], corr[best], corr[best + 1]);
  return 1000.0 * lag * static_cast<double>(step) / rate;
}

// Frequency of the strongest spectral peak of x in Hz, by a parabola through
// the log power of the peak bin and its neighbours (Blackman-Harris window,
// zero-padded four times); accurate to well under a cent for a steady tone
// of a second or more.
inline double peakFrequencyHz(const std::vector<float>& x, double rate) {
  const std::vector<double> part(x.begin(), x.end());
  const size_t n = 4 * detail::nextPowerOfTwo(part.size());
  const std::vector<double> power = detail::blackmanHarrisPower(part, n);
  size_t k = 1;
  for (size_t i = 1; i + 1 < power.size(); i++)
    if (power[i] > power[k]) k = i;
  const double off = detail::parabolicOffset(std::log(power[k - 1] + 1e-300), std::log(power[k] + 1e-300),
                                             std::log(power[k + 1] + 1e-300));
  return (static_cast<double>(k) + off) * rate / static_cast<double>(n);
}

// Pitch offset of the output against the input in cents, from their
// long-term spectra (Hann frames of about 0.37 s): both are resampled onto a
// grid of one cent from 100 Hz to 10 kHz (or 0.45·rate; below 100 Hz a
// frame's resolution is too coarse for cents), their square-root magnitudes cross-correlated over
// lags of ±200 cents, and the best lag refined by a parabola. Positive when
// the output sounds higher. Needs no alignment; a second of material reads to
// a fraction of a cent.
inline double pitchOffsetCents(const std::vector<float>& in, const std::vector<float>& out, double rate) {
  size_t frame = 1;
  while (frame * 2 <= static_cast<size_t>(0.4 * rate)) frame *= 2;  // 16384 at 44.1 kHz
  auto logSpectrum = [&](const std::vector<float>& x) {
    const std::vector<double> p = detail::longTermSpectrum(x, frame);
    const double binHz = rate / static_cast<double>(4 * frame);
    const double lo = 100.0, hi = std::min(10000.0, 0.45 * rate);
    const size_t cents = static_cast<size_t>(1200.0 * std::log2(hi / lo));
    std::vector<double> s(cents);
    for (size_t c = 0; c < cents; c++) {
      const double bin = lo * std::pow(2.0, static_cast<double>(c) / 1200.0) / binHz;
      const size_t k = static_cast<size_t>(bin);
      const double frac = bin - static_cast<double>(k);
      const double v = k + 1 < p.size() ? (1 - frac) * p[k] + frac * p[k + 1] : 0.0;
      s[c] = std::sqrt(std::sqrt(v));
    }
    return s;
  };
  const std::vector<double> a = logSpectrum(in), b = logSpectrum(out);
  const int maxLag = 200;
  std::vector<double> corr(2 * maxLag + 1, 0.0);
  for (int lag = -maxLag; lag <= maxLag; lag++) {
    double sum = 0;
    for (size_t c = 0; c < a.size(); c++) {
      const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(c) + lag;
      if (j >= 0 && j < static_cast<std::ptrdiff_t>(b.size())) sum += a[c] * b[static_cast<size_t>(j)];
    }
    corr[static_cast<size_t>(lag + maxLag)] = sum;
  }
  size_t best = 1;
  for (size_t i = 1; i + 1 < corr.size(); i++)
    if (corr[i] > corr[best]) best = i;
  return static_cast<double>(best) - maxLag + detail::parabolicOffset(corr[best - 1], corr[best], corr[best + 1]);
}


// What a seam does to the sound (a loop's wrap, a seek, a setting switched
// while playing, the start of a sound after silence), read from the output's
// own samples around the output frame `at` where it lies. The seam is given
// `reach` samples either way to settle; the steady parts are what lies
// beyond that, out to `context` samples from the seam, on the sides that
// `sides` names (an onset has silence before it, an end silence after).
//
// Levels are read in 20 ms windows every 5 ms, as the RMS of both channels
// and as the peak. A seam window's RMS that rises above the loudest steady
// window counts as a rise, one that falls below the quietest (only where
// both sides hold sound) as a dip, in dB; a window's peak above the largest
// steady peak as the peak's rise. The largest sample-to-sample step within
// reach is read against the largest in the steady parts. An ideal splice,
// one that cross-fades the sounds on either side at constant power, reads
// 0 dB and a step ratio of about 1 (a steady tone's step is its own); the
// windows' own spread on noise and music lies within the range that the
// steady windows span, so that only what the seam adds counts.
enum class SeamSides { Both, After, Before };

struct SeamReading {
  double riseDb = 0;     // largest window RMS above the steady windows' range, dB (0: none)
  double dipDb = 0;      // largest window RMS below it, dB (0: none; only for SeamSides::Both)
  double peakDb = 0;     // largest window peak above the steady windows' largest, dB (0: none)
  double stepRatio = 0;  // largest step within reach over the steady parts' largest
  double levelDb() const { return std::max(riseDb, dipDb); }
};

inline SeamReading seamReading(const std::vector<float>& left, const std::vector<float>& right, double rate,
                               double at, double reach, double context, SeamSides sides = SeamSides::Both) {
  const std::vector<float>* ch[2] = {&left, right.empty() ? nullptr : &right};
  const size_t n = right.empty() ? left.size() : std::min(left.size(), right.size());
  const size_t window = std::max<size_t>(4, static_cast<size_t>(std::lround(0.02 * rate)));
  const size_t hop = window / 4;
  const double from = std::max(0.0, at - context), to = std::min(static_cast<double>(n), at + context);
  auto steadyAt = [&](double a, double b) {
    return (b <= at - reach && sides != SeamSides::After) || (a >= at + reach && sides != SeamSides::Before);
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double hiRms = 0, loRms = std::numeric_limits<double>::infinity(), hiPeak = 0;
  double seamHiRms = 0, seamLoRms = std::numeric_limits<double>::infinity(), seamPeak = 0;
  bool steadySeen = false;
  for (size_t s = static_cast<size_t>(from); static_cast<double>(s + window) <= to; s += hop) {
    double power = 0, peak = 0;
    int channels = 0;
    for (const std::vector<float>* c : ch) {
      if (c == nullptr) continue;
      channels++;
      for (size_t i = s; i < s + window; i++) {
        const double v = (*c)[i];
        power += v * v;
        peak = std::max(peak, std::fabs(v));
      }
    }
    const double rms = std::sqrt(power / static_cast<double>(window * channels));
    const double a = static_cast<double>(s), b = static_cast<double>(s + window);
    if (steadyAt(a, b)) {
      steadySeen = true;
      hiRms = std::max(hiRms, rms), loRms = std::min(loRms, rms), hiPeak = std::max(hiPeak, peak);
    } else if (b > at - reach && a < at + reach) {
      seamHiRms = std::max(seamHiRms, rms), seamLoRms = std::min(seamLoRms, rms);
      seamPeak = std::max(seamPeak, peak);
    }
  }
  if (!steadySeen) return {nan, nan, nan, nan};
  double steadyStep = 0, seamStep = 0;
  for (const std::vector<float>* c : ch) {
    if (c == nullptr) continue;
    for (size_t i = static_cast<size_t>(from) + 1; static_cast<double>(i) < to; i++) {
      const double step = std::fabs(static_cast<double>((*c)[i]) - (*c)[i - 1]);
      const double t = static_cast<double>(i);
      if (steadyAt(t - 1, t + 1)) steadyStep = std::max(steadyStep, step);
      else if (t >= at - reach && t < at + reach) seamStep = std::max(seamStep, step);
    }
  }
  SeamReading r;
  const double tiny = 1e-9;
  if (seamHiRms > hiRms) r.riseDb = 20.0 * std::log10((seamHiRms + tiny) / (hiRms + tiny));
  // What lies 30 dB under the loudest steady window counts as that floor:
  // a dip in what is barely heard (the residue of a removed voice) is no seam.
  const double floor = 0.0316 * hiRms;
  loRms = std::max(loRms, floor), seamLoRms = std::max(seamLoRms, floor);
  if (sides == SeamSides::Both && seamLoRms < loRms) r.dipDb = 20.0 * std::log10((loRms + tiny) / (seamLoRms + tiny));
  if (seamPeak > hiPeak) r.peakDb = 20.0 * std::log10((seamPeak + tiny) / (hiPeak + tiny));
  r.stepRatio = steadyStep > 0 ? seamStep / steadyStep : (seamStep > 0 ? std::numeric_limits<double>::infinity() : 0);
  return r;
}

}  // namespace quality
