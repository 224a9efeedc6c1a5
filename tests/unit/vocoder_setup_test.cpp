#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../support/default_engine.h"
#include "vocoder.h"
#include "vocoder_testing.h"

namespace {

std::vector<float> ramp(int n) {
  std::vector<float> v(n);
  for (int i = 0; i < n; i++) v[i] = std::sin(0.3f * static_cast<float>(i)) + 0.25f;
  return v;
}

bool allZero(const float* p, int n) {
  for (int i = 0; i < n; i++) {
    if (p[i] != 0.0f) return false;
  }
  return true;
}

}  // namespace

TEST(VocoderSetup, WindowsAndPhaseIncrementsForEightPoints) {
  ASSERT_TRUE(vocoder_init(8, 2));
  const VocoderInspect v = vocoder_inspect();
  EXPECT_EQ(v.winSize, 8);
  EXPECT_EQ(v.winHalf, 4);
  EXPECT_EQ(v.stepIn, 2);
  const float window[8] = {0.0f, 0.14644662f, 0.5f, 0.85355341f, 1.0f, 0.85355341f, 0.5f, 0.14644662f};
  for (int n = 0; n < 8; n++) {
    EXPECT_EQ(v.window[n], window[n]) << n;
    EXPECT_EQ(v.windowOut[n], window[n] / 4.0f) << n;
    EXPECT_EQ(v.omega[n], static_cast<float>(n * M_PI / 2.0)) << n;
  }
}

TEST(VocoderSetup, SecondSetUpStartsFromSilenceAndKeepsTheFactor) {
  ASSERT_TRUE(vocoder_init(64, 16));
  std::vector<float> in = ramp(100), out(1000);
  for (int ch = 0; ch < 2; ch++) ASSERT_EQ(vocoder_process(in.data(), 100, out.data(), 20, ch), 6 * 20);
  EXPECT_EQ(vocoder_inspect().lastStretchFactor, 1.25);

  ASSERT_TRUE(vocoder_init(16, 4));
  const VocoderInspect v = vocoder_inspect();
  EXPECT_EQ(v.winSize, 16);
  EXPECT_EQ(v.stepIn, 4);
  EXPECT_EQ(v.lastStretchFactor, 1.25);
  for (int ch = 0; ch < 2; ch++) {
    EXPECT_EQ(v.inIndexes[ch], 0);
    EXPECT_TRUE(allZero(v.inputs[ch], 16));
    EXPECT_TRUE(allZero(v.waves[ch], 16));
    EXPECT_TRUE(allZero(v.phi0s[ch], 16));
    EXPECT_TRUE(allZero(v.psis[ch], 16));
  }
}

TEST(VocoderSetup, RefusedSizesLeaveTheRunningStateIntact) {
  float out[64] = {};
  EXPECT_EQ(vocoder_process(out, 0, out, 1, 0), -1);  // not set up
  EXPECT_EQ(vocoder_win_size(), 0);
  EXPECT_FALSE(vocoder_init(4, 1));

  // Two identical runs, the second one interrupted by refused set-ups.
  std::vector<float> in = ramp(256), a(512), b(512);
  ASSERT_TRUE(vocoder_init(32, 8));
  ASSERT_EQ(vocoder_process(in.data(), 128, a.data(), 6, 0), 16 * 6);
  ASSERT_EQ(vocoder_process(in.data() + 128, 128, a.data() + 96, 6, 0), 16 * 6);

  ASSERT_TRUE(vocoder_init(32, 8));
  ASSERT_EQ(vocoder_process(in.data(), 128, b.data(), 6, 0), 16 * 6);
  const VocoderInspect before = vocoder_inspect();
  const int refused[][2] = {{0, 1},     {-8, 1},      {4, 1},  {12, 3},  {24, 8},
                            {8192, 64}, {1 << 30, 1}, {16, 0}, {16, -1}, {16, 17}};
  for (const auto& r : refused) EXPECT_FALSE(vocoder_init(r[0], r[1])) << r[0] << "/" << r[1];
  const VocoderInspect after = vocoder_inspect();
  EXPECT_EQ(after.winSize, 32);
  EXPECT_EQ(after.stepIn, 8);
  EXPECT_EQ(after.window, before.window);
  EXPECT_EQ(after.inputs[0], before.inputs[0]);
  EXPECT_EQ(after.inIndexes[0], before.inIndexes[0]);
  ASSERT_EQ(vocoder_process(in.data() + 128, 128, b.data() + 96, 6, 0), 16 * 6);
  EXPECT_EQ(a, b);

  // The limits themselves are accepted.
  EXPECT_TRUE(vocoder_init(8, 8));
  EXPECT_TRUE(vocoder_init(4096, 1));
  EXPECT_EQ(vocoder_win_size(), 4096);
  EXPECT_EQ(vocoder_step_in(), 1);
}
