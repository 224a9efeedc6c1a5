// The quality measures read what they should on signals whose answer is
// known, so that a figure from the fine-mode tests or the quality benchmark
// means what its name says.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "../support/audio_measures.h"
#include "../support/test_material.h"

namespace {

constexpr double kRate = 44100.0;
constexpr double kPi = 3.14159265358979323846;

std::vector<float> scaled(std::vector<float> x, double gain) {
  for (float& v : x) v = static_cast<float>(v * gain);
  return x;
}

double energy(const std::vector<float>& x) {
  double e = 0;
  for (float v : x) e += static_cast<double>(v) * v;
  return e;
}

TEST(AudioMeasures, SteadyToneLevelAndFlutter) {
  const std::vector<float> tone = quality::steadyTone(kRate, 2.0);
  EXPECT_NEAR(quality::levelChangeDb(tone, tone), 0.0, 1e-9);
  EXPECT_NEAR(quality::levelChangeDb(tone, scaled(tone, 0.75)), 20 * std::log10(0.75), 1e-6);
  // A longer output of the same tone (a perfect stretch) keeps its level.
  EXPECT_NEAR(quality::levelChangeDb(tone, quality::steadyTone(kRate, 4.0)), 0.0, 0.01);
  EXPECT_LT(quality::flutterDb(tone, kRate, 440.0), 0.01);
  EXPECT_LT(quality::flutterDb(quality::steadyTone(kRate, 2.0, 441.0), kRate, 441.0), 0.01);

  // Amplitude modulation of depth m at 43 Hz (the ripple of a synthesis hop of
  // 1024 at 44.1 kHz) reads 20·log10((1 + m) / (1 − m)), nearly unsmoothed.
  for (double m : {0.02, 0.2}) {
    std::vector<float> am = tone;
    for (size_t i = 0; i < am.size(); i++) am[i] = static_cast<float>(am[i] * (1 + m * std::sin(2 * kPi * 43 * i / kRate)));
    const double expected = 20 * std::log10((1 + m) / (1 - m));
    EXPECT_NEAR(quality::flutterDb(am, kRate, 440.0), expected, 0.05 * expected) << "depth " << m;
  }
}

TEST(AudioMeasures, StereoWidthAndPan) {
  const quality::Stereo panned = quality::pannedSource(kRate, 2.0);
  // One source at one place: the channels are scaled copies.
  EXPECT_LT(quality::panDecorrelationDb(panned.left, panned.right), -100.0);
  EXPECT_NEAR(quality::sideMidChangeDb(panned.left, panned.right, panned.left, panned.right), 0.0, 1e-9);

  // Identical channels in and out: no change, and finite.
  const std::vector<float> tone = quality::steadyTone(kRate, 1.0);
  EXPECT_EQ(quality::sideMidChangeDb(tone, tone, tone, tone), 0.0);

  // Unrelated channels read near 0 dB of decorrelation and side equal to mid.
  quality::material::Noise a(1), b(2);
  std::vector<float> l(44100), r(44100);
  for (size_t i = 0; i < l.size(); i++) l[i] = static_cast<float>(0.3 * a.next()), r[i] = static_cast<float>(0.3 * b.next());
  EXPECT_NEAR(quality::panDecorrelationDb(l, r), 0.0, 0.1);
  EXPECT_NEAR(quality::sideToMidDb(l, r), 0.0, 0.2);

  // Dual mono with one-step dither: side tens of dB below mid; blowing the
  // channel difference up by 30 dB reads +30.
  const quality::Stereo dual = quality::dualMono(kRate, 1);
  const double sideMid = quality::sideToMidDb(dual.left, dual.right);
  EXPECT_LT(sideMid, -70.0);
  quality::Stereo wider = dual;
  const double g = std::pow(10.0, 30.0 / 20.0);
  for (size_t i = 0; i < wider.left.size(); i++) {
    const double mid = 0.5 * (dual.left[i] + dual.right[i]), side = 0.5 * (dual.left[i] - dual.right[i]);
    wider.left[i] = static_cast<float>(mid + g * side), wider.right[i] = static_cast<float>(mid - g * side);
  }
  EXPECT_NEAR(quality::sideMidChangeDb(dual.left, dual.right, wider.left, wider.right), 30.0, 0.1);
}

TEST(AudioMeasures, BassInharmonicEnergy) {
  const std::vector<float> saw = quality::sawtoothBass(kRate, 3.0, 55.0);
  EXPECT_LT(quality::inharmonicEnergyDb(saw, kRate, 55.0), -80.0);

  // A tone halfway between two harmonics: its share of the energy.
  std::vector<float> rough = saw;
  const std::vector<float> between = quality::steadyTone(kRate, 3.0, 82.5, -26.0);
  for (size_t i = 0; i < rough.size(); i++) rough[i] += between[i];
  const double expected = 10 * std::log10(energy(between) / (energy(between) + energy(saw)));
  EXPECT_NEAR(quality::inharmonicEnergyDb(rough, kRate, 55.0), expected, 0.2);
  // Off by a quarter tone, every harmonic above the first few is inharmonic.
  EXPECT_GT(quality::inharmonicEnergyDb(saw, kRate, 55.0 * std::pow(2.0, 0.5 / 12)), -10.0);
}

TEST(AudioMeasures, FoldedEnergyOfATransposedSaw) {
  // Every other sample of a 55 Hz saw: an octave up with no filter, so the
  // harmonics above 11 kHz fold back, about 1/201 - 1/360 of the energy's
  // sum over 1/n^2 (-29 dB). A saw made an octave up folds nothing.
  const std::vector<float> saw = quality::sawtoothBass(kRate, 6.0, 55.0);
  std::vector<float> decimated(saw.size() / 2);
  for (size_t i = 0; i < decimated.size(); i++) decimated[i] = saw[2 * i];
  EXPECT_NEAR(quality::foldedEnergyDb(decimated, kRate, 55.0, 2.0), -29.0, 2.0);
  EXPECT_LT(quality::foldedEnergyDb(quality::sawtoothBass(kRate, 3.0, 110.0), kRate, 55.0, 2.0), -80.0);
}

TEST(AudioMeasures, TransientWidth) {
  const double spacing = 0.25;
  const std::vector<float> bursts = quality::burstTrain(kRate, 4.0, spacing);
  const double dry = quality::transientWidthMs(bursts, kRate, spacing);
  EXPECT_GT(dry, 3.0);
  EXPECT_LT(dry, 4.5);

  // A flam: every burst again 10 ms later at the same level.
  std::vector<float> flam = bursts;
  const size_t delay = static_cast<size_t>(0.010 * kRate);
  for (size_t i = delay; i < flam.size(); i++) flam[i] += bursts[i - delay];
  EXPECT_NEAR(quality::transientWidthMs(flam, kRate, spacing), dry + 10.0, 1.0);

  // Smeared by a 20 ms exponential decay: energy stays within 20 dB for
  // about 20 ms · ln(100) / 2 = 46 ms.
  std::vector<float> smeared(bursts.size());
  const double k = std::exp(-1.0 / (0.020 * kRate));
  double y = 0;
  for (size_t i = 0; i < bursts.size(); i++) smeared[i] = static_cast<float>(y = bursts[i] + k * y);
  EXPECT_NEAR(quality::transientWidthMs(smeared, kRate, spacing), 46.0, 5.0);

  // Start-up offset: a delay reads as itself, at tempo 1 and against a train
  // placed at the times of a perfect stretch to 0.75.
  std::vector<float> late(bursts.size() + 441, 0.0f);
  std::copy(bursts.begin(), bursts.end(), late.begin() + 441);
  EXPECT_NEAR(quality::startOffsetMs(bursts, late, kRate, 1.0), 10.0, 0.2);
  EXPECT_NEAR(quality::startOffsetMs(bursts, bursts, kRate, 1.0), 0.0, 0.2);
  const std::vector<float> slow = quality::burstTrain(kRate, 4.0 / 0.75, spacing / 0.75);
  EXPECT_NEAR(quality::startOffsetMs(bursts, slow, kRate, 0.75), 0.0, 1.0);
  late.assign(slow.size() + 441, 0.0f);
  std::copy(slow.begin(), slow.end(), late.begin() + 441);
  EXPECT_NEAR(quality::startOffsetMs(bursts, late, kRate, 0.75), 10.0, 1.0);
}

TEST(AudioMeasures, Pitch) {
  const std::vector<float> tone = quality::steadyTone(kRate, 2.0);
  EXPECT_NEAR(quality::peakFrequencyHz(tone, kRate), 440.0, 0.01);
  const std::vector<float> sharp = quality::steadyTone(kRate, 2.0, 440.0 * std::pow(2.0, 10.0 / 1200));
  EXPECT_NEAR(1200 * std::log2(quality::peakFrequencyHz(sharp, kRate) / 440.0), 10.0, 0.05);
  EXPECT_NEAR(quality::pitchOffsetCents(tone, sharp, kRate), 10.0, 0.5);
  EXPECT_NEAR(quality::pitchOffsetCents(sharp, tone, kRate), -10.0, 0.5);

  // Music played 30 cents fast (resampled) reads +30; unchanged reads 0.
  const quality::Stereo music = quality::musicPiece(kRate);
  EXPECT_NEAR(quality::pitchOffsetCents(music.left, music.left, kRate), 0.0, 1e-9);
  const double speed = std::pow(2.0, 30.0 / 1200);
  std::vector<float> fast(static_cast<size_t>((music.left.size() - 1) / speed));
  for (size_t i = 0; i < fast.size(); i++) {
    const double pos = i * speed;
    const size_t j = static_cast<size_t>(pos);
    fast[i] = static_cast<float>(music.left[j] + (pos - j) * (music.left[j + 1] - music.left[j]));
  }
  EXPECT_NEAR(quality::pitchOffsetCents(music.left, fast, kRate), 30.0, 1.0);
}

// A seam's reading: nothing on a steady tone; a jump of phase (a loop cut
// without a fade) in the step; a bump and a dip in the level by what they
// add over a window; silence before a start is no dip.
TEST(AudioMeasures, Seam) {
  const std::vector<float> tone = quality::steadyTone(kRate, 3.0, 440.0, -6.0);
  const double at = 1.5 * kRate, reach = 0.2 * kRate, context = 1.2 * kRate;
  quality::SeamReading r = quality::seamReading(tone, tone, kRate, at, reach, context);
  EXPECT_NEAR(r.levelDb(), 0.0, 0.05);
  EXPECT_NEAR(r.peakDb, 0.0, 0.01);
  EXPECT_NEAR(r.stepRatio, 1.0, 0.01);

  std::vector<float> cut(tone);
  for (size_t i = static_cast<size_t>(at); i < cut.size(); i++) cut[i] = tone[i - 57];  // half a period back
  r = quality::seamReading(cut, cut, kRate, at, reach, context);
  EXPECT_GT(r.stepRatio, 5.0);
  EXPECT_NEAR(r.levelDb(), 0.0, 0.1);

  // 30 ms at +3 dB (a 20 ms window lies wholly inside it), then 30 ms at -6 dB.
  std::vector<float> bumps(tone);
  const double up = std::pow(10.0, 3.0 / 20), down = std::pow(10.0, -6.0 / 20);
  for (size_t i = 0; i < static_cast<size_t>(0.03 * kRate); i++) {
    bumps[static_cast<size_t>(at) + i] *= static_cast<float>(up);
    bumps[static_cast<size_t>(at + 0.1 * kRate) + i] *= static_cast<float>(down);
  }
  r = quality::seamReading(bumps, bumps, kRate, at, reach, context);
  EXPECT_NEAR(r.riseDb, 3.0, 0.15);
  EXPECT_NEAR(r.peakDb, 3.0, 0.05);
  EXPECT_NEAR(r.dipDb, 6.0, 0.3);

  // A start after silence: the silence before it is no dip, a burst at it is a rise.
  std::vector<float> start(tone);
  std::fill(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(at), 0.0f);
  r = quality::seamReading(start, start, kRate, at, reach, context, quality::SeamSides::After);
  EXPECT_EQ(r.dipDb, 0.0);
  EXPECT_NEAR(r.riseDb, 0.0, 0.05);
  start[static_cast<size_t>(at) + 100] = 0.9f;
  r = quality::seamReading(start, start, kRate, at, reach, context, quality::SeamSides::After);
  EXPECT_GT(r.peakDb, 4.0);
  EXPECT_GT(r.stepRatio, 10.0);
}

}  // namespace
