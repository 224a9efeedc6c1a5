#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "../support/default_engine.h"
#include "eq.h"
#include "vocoder.h"
#include "vocoder_testing.h"

namespace {

std::vector<float> noise(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

std::vector<float> copyOf(const float* p, int n) {
  return std::vector<float>(p, p + n);
}

bool allZero(const float* p, int n) {
  for (int i = 0; i < n; i++) {
    if (p[i] != 0.0f) return false;
  }
  return true;
}

// Feeds in in blocks of block samples and returns everything written.
std::vector<float> stretch(const std::vector<float>& in, int block, int hop, int channel = 0) {
  std::vector<float> out, chunk;
  const int n = static_cast<int>(in.size());
  for (int pos = 0; pos < n; pos += block) {
    const int size = std::min(block, n - pos);
    const int expected = vocoder_frames_for(size, channel) * hop;
    chunk.assign(expected + 1, NAN);
    EXPECT_EQ(vocoder_process(in.data() + pos, size, chunk.data(), hop, channel), expected);
    EXPECT_TRUE(std::isnan(chunk[expected])) << "wrote past its count";
    out.insert(out.end(), chunk.begin(), chunk.begin() + expected);
  }
  return out;
}

}  // namespace

TEST(VocoderProcess, FirstCallFiresOneFrameOverZerosAndShortCallsWait) {
  ASSERT_TRUE(vocoder_init(8, 2));
  const float in[3] = {0.75f, -0.5f, 0.25f};
  float out[4] = {NAN, NAN, NAN, NAN};
  EXPECT_EQ(vocoder_frames_for(2, 0), 1);
  ASSERT_EQ(vocoder_process(in, 2, out, 2, 0), 2);
  EXPECT_TRUE(std::isnan(out[2]));

  // The frame was six zeros followed by the two samples.
  const VocoderInspect v = vocoder_inspect();
  const double frame[8] = {0, 0, 0, 0, 0, 0, in[0], in[1]};
  for (int k = 0; k < 4; k++) {
    std::complex<double> x = 0;
    for (int n = 0; n < 8; n++) x += frame[n] * v.window[n] * std::polar(1.0, -2 * M_PI * k * n / 8);
    EXPECT_NEAR(v.mags[0][k], std::abs(x), 1e-6) << k;
  }
  EXPECT_EQ(copyOf(v.inputs[0], 6), (std::vector<float>{0, 0, 0, 0, in[0], in[1]}));
  EXPECT_EQ(v.inIndexes[0], 6);
  EXPECT_EQ(v.inIndexes[1], 0);

  // One sample is not enough for a hop of two; it is kept for the next call.
  out[0] = NAN;
  EXPECT_EQ(vocoder_frames_for(1, 0), 0);
  EXPECT_EQ(vocoder_process(in + 2, 1, out, 2, 0), 0);
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_EQ(vocoder_inspect().inIndexes[0], 7);
  EXPECT_EQ(vocoder_process(in, 0, out, 2, 0), 0);
  EXPECT_EQ(vocoder_process(in, 1, out, 2, 0), 2);
  EXPECT_EQ(vocoder_inspect().inputs[0][4], in[2]);
}

TEST(VocoderProcess, BlocksOfThreeHopsWriteThreeOutputHops) {
  ASSERT_TRUE(vocoder_init(64, 16));
  const std::vector<float> in = noise(48 * 6, 1);
  EXPECT_EQ(stretch(in, 48, 24).size(), 6u * 72u);
  // Uneven blocks: the count follows the samples carried from call to call.
  EXPECT_EQ(stretch(in, 37, 24).size(), 18u * 24u);
}

TEST(VocoderProcess, HopChangeResetsBothChannelsOnce) {
  ASSERT_TRUE(vocoder_init(64, 16));
  const std::vector<float> in = noise(64, 2);
  std::vector<float> out(256);
  for (int ch = 0; ch < 2; ch++) ASSERT_EQ(vocoder_process(in.data(), 32, out.data(), 16, ch), 32);
  EXPECT_EQ(vocoder_inspect().lastStretchFactor, 1.0);

  ASSERT_EQ(vocoder_process(in.data() + 32, 16, out.data(), 20, 0), 20);
  VocoderInspect v = vocoder_inspect();
  EXPECT_EQ(v.lastStretchFactor, 1.25);
  EXPECT_FALSE(allZero(v.psis[0], 32));
  EXPECT_TRUE(allZero(v.phi0s[1], 64));
  EXPECT_TRUE(allZero(v.psis[1], 64));

  const std::vector<float> psi0 = copyOf(v.psis[0], 64);
  ASSERT_EQ(vocoder_process(in.data() + 32, 16, out.data(), 20, 1), 20);
  v = vocoder_inspect();
  EXPECT_EQ(copyOf(v.psis[0], 64), psi0);
  const std::vector<float> psi1 = copyOf(v.psis[1], 64), phi01 = copyOf(v.phi0s[1], 64);
  EXPECT_FALSE(allZero(psi1.data(), 32));
  ASSERT_EQ(vocoder_process(in.data() + 48, 16, out.data(), 20, 0), 20);
  v = vocoder_inspect();
  EXPECT_EQ(copyOf(v.psis[1], 64), psi1);
  EXPECT_EQ(copyOf(v.phi0s[1], 64), phi01);
}

TEST(VocoderProcess, HopOutsideTheFrameIsRefusedAndHopZeroOutputsNothing) {
  ASSERT_TRUE(vocoder_init(32, 8));
  const std::vector<float> in = noise(64, 3);
  std::vector<float> out(128, NAN);
  ASSERT_EQ(vocoder_process(in.data(), 20, out.data(), 8, 0), 16);

  const VocoderInspect v = vocoder_inspect();
  const std::vector<float> input = copyOf(v.inputs[0], 32), wave = copyOf(v.waves[0], 32);
  const std::vector<float> psi = copyOf(v.psis[0], 32);
  out.assign(128, NAN);
  EXPECT_EQ(vocoder_process(in.data(), 20, out.data(), -1, 0), -1);
  EXPECT_EQ(vocoder_process(in.data(), 20, out.data(), 33, 0), -1);
  EXPECT_EQ(vocoder_process(in.data(), 20, out.data(), 8, 2), -1);
  EXPECT_EQ(vocoder_process(in.data(), 20, out.data(), 8, -1), -1);
  EXPECT_EQ(vocoder_frames_for(20, 2), 0);
  const VocoderInspect w = vocoder_inspect();
  EXPECT_EQ(w.stepOut, 8);
  EXPECT_EQ(w.lastStretchFactor, 1.0);
  EXPECT_EQ(w.inIndexes[0], v.inIndexes[0]);
  EXPECT_EQ(copyOf(w.inputs[0], 32), input);
  EXPECT_EQ(copyOf(w.waves[0], 32), wave);
  EXPECT_EQ(copyOf(w.psis[0], 32), psi);
  EXPECT_TRUE(std::isnan(out[0]));

  // Hop 0: the factor changes (phases reset), frames fire, nothing comes out,
  // and the frames pile up in the overlap-add tail.
  ASSERT_EQ(vocoder_process(in.data() + 20, 16, out.data(), 0, 0), 0);
  const VocoderInspect z = vocoder_inspect();
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_EQ(z.lastStretchFactor, 0.0);
  EXPECT_EQ(z.inIndexes[0], 28);
  EXPECT_EQ(copyOf(z.phi0s[0], 16), copyOf(z.phis[0], 16));
  EXPECT_NE(copyOf(z.waves[0], 32), wave);
  EXPECT_TRUE(allZero(z.psis[1], 32));
}

// At factor 1 every synthesis phase equals its analysis phase, so the output
// is the overlap-add of the windowed frames with the synthesis window, except
// that the one-sided synthesis doubles DC and drops Nyquist.
TEST(VocoderProcess, FactorOneGivesTheWindowedOverlapAdd) {
  const int N = 64, hop = 16, frames = 24;
  ASSERT_TRUE(vocoder_init(N, hop));
  std::vector<float> in = noise(frames * hop, 4);
  for (int t = 0; t < frames * hop; t++) in[t] += 0.3f + (t % 2 ? -0.2f : 0.2f);
  const std::vector<float> out = stretch(in, 3 * hop, hop);
  ASSERT_EQ(out.size(), static_cast<size_t>(frames * hop));

  const float* w = vocoder_inspect().window;
  std::vector<double> expected(frames * hop + N, 0.0);
  for (int f = 0; f < frames; f++) {
    std::vector<double> xw(N);
    double dc = 0, nyquist = 0;
    for (int n = 0; n < N; n++) {
      const int t = f * hop + n - (N - hop);  // the first frame starts with zeros
      xw[n] = (t >= 0 ? in[t] : 0.0) * w[n];
      dc += xw[n] / N;
      nyquist += (n % 2 ? -xw[n] : xw[n]) / N;
    }
    for (int n = 0; n < N; n++) expected[f * hop + n] += w[n] * (xw[n] + dc - (n % 2 ? -nyquist : nyquist));
  }
  for (int t = 0; t < frames * hop; t++) ASSERT_NEAR(out[t], expected[t], 1e-4) << t;
}

TEST(VocoderProcess, SilenceKeepsTheSynthesisPhases) {
  ASSERT_TRUE(vocoder_init(64, 16));
  std::vector<float> in = noise(64, 5);
  in.resize(64 + 80, 0.0f);
  std::vector<float> out(512);
  ASSERT_EQ(vocoder_process(in.data(), 128, out.data(), 24, 0), 8 * 24);  // last frame all silent
  const std::vector<float> psi = copyOf(vocoder_inspect().psis[0], 32);
  EXPECT_FALSE(allZero(psi.data(), 32));
  ASSERT_EQ(vocoder_process(in.data() + 128, 16, out.data(), 24, 0), 24);
  EXPECT_EQ(copyOf(vocoder_inspect().psis[0], 32), psi);
}

TEST(VocoderProcess, EqualiserGainsScaleTheSpectrum) {
  const std::vector<float> in = noise(1024, 6);
  ASSERT_TRUE(vocoder_init(128, 32));
  const std::vector<float> plain = stretch(in, 96, 40);

  ASSERT_TRUE(eq_init(64));
  eq_enable(1);
  ASSERT_TRUE(vocoder_init(128, 32));
  EXPECT_EQ(stretch(in, 96, 40), plain);  // unit gains

  // Doubling every gain doubles every sample exactly; a larger frame than the
  // table reads unit gains above it.
  const std::vector<float> two(64, 2.0f);
  eq_setbands(two.data());
  ASSERT_TRUE(vocoder_init(128, 32));
  const std::vector<float> doubled = stretch(in, 96, 40);
  ASSERT_EQ(doubled.size(), plain.size());
  for (size_t i = 0; i < plain.size(); i++) ASSERT_EQ(doubled[i], 2.0f * plain[i]) << i;

  // Bins above the table pass unchanged: a tone there survives zero gains below it.
  const std::vector<float> zero(64, 0.0f);
  eq_setbands(zero.data());
  std::vector<float> tone(2048);
  for (int t = 0; t < 2048; t++) tone[t] = 0.5f * std::sin(static_cast<float>(2 * M_PI * 100.0 / 256.0 * t));
  ASSERT_TRUE(vocoder_init(256, 64));
  const std::vector<float> kept = stretch(tone, 192, 80);
  eq_enable(0);
  ASSERT_TRUE(vocoder_init(256, 64));
  const std::vector<float> reference = stretch(tone, 192, 80);
  ASSERT_EQ(kept.size(), reference.size());
  for (size_t i = 768; i < kept.size(); i++)
    ASSERT_NEAR(kept[i], reference[i], 1e-3) << i;  // after the onset
}
