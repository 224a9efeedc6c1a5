#include "eq.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../support/default_engine.h"
#include "spectrum.h"
#include "vocoder.h"

TEST(Eq, FirstInitMakesUnitGainsAndLaterInitsChangeNothing) {
  EXPECT_EQ(eq_band_count(), 0);
  EXPECT_EQ(eq_gain(0), 1.0f);  // no table yet: neutral
  ASSERT_TRUE(eq_init(4));
  EXPECT_EQ(eq_band_count(), 4);
  for (int k = 0; k < 4; k++) EXPECT_EQ(eq_gain(k), 1.0f);
  EXPECT_EQ(eq_is_enabled(), 0);

  const std::vector<float> gains = {0.5f, 2.0f, 0.0f, 1.25f};
  eq_setbands(gains.data());
  ASSERT_TRUE(eq_init(8));
  EXPECT_EQ(eq_band_count(), 4);
  for (int k = 0; k < 4; k++) EXPECT_EQ(eq_gain(k), gains[k]);
}

TEST(Eq, GainsBeyondTheTableAreNeutral) {
  ASSERT_TRUE(eq_init(2));
  const std::vector<float> gains = {3.0f, 4.0f, 99.0f};
  eq_setbands(gains.data());
  EXPECT_EQ(eq_gain(1), 4.0f);
  EXPECT_EQ(eq_gain(2), 1.0f);
  EXPECT_EQ(eq_gain(1000), 1.0f);
  EXPECT_EQ(eq_gain(-1), 1.0f);
  eq_setbands(nullptr);  // ignored
  EXPECT_EQ(eq_gain(0), 3.0f);
}

TEST(Eq, SwitchReportsOnForAnyNonZeroValue) {
  eq_enable(5);
  EXPECT_EQ(eq_is_enabled(), 1);
  eq_enable(-1);
  EXPECT_EQ(eq_is_enabled(), 1);
  eq_enable(0);
  EXPECT_EQ(eq_is_enabled(), 0);
}

// The vocoder keeps a copy of the gains between frames: new gains must reach
// the very next frame. Gains of 0 silence every bin, so once the overlap-add
// tail has drained the output must be exactly silent.
TEST(Eq, NewGainsReachTheNextFrame) {
  spectrum_enabled = 0;
  ASSERT_TRUE(eq_init(32));
  ASSERT_TRUE(vocoder_init(64, 16));
  eq_enable(1);
  std::vector<float> in(16), out(64);
  auto frame = [&](int n) {
    for (int i = 0; i < 16; i++) in[i] = std::sin(0.37f * static_cast<float>(16 * n + i));
    return vocoder_process(in.data(), 16, out.data(), 16, 0);
  };
  for (int n = 0; n < 8; n++) ASSERT_EQ(frame(n), 16);
  eq_setbands(std::vector<float>(32, 0.0f).data());
  for (int n = 8; n < 12; n++) frame(n);  // the tail of the earlier frames drains
  for (int n = 12; n < 14; n++) {
    ASSERT_EQ(frame(n), 16);
    for (int i = 0; i < 16; i++) ASSERT_EQ(out[i], 0.0f) << "frame " << n << " sample " << i;
  }
  eq_setbands(std::vector<float>(32, 1.0f).data());
  frame(14);
  EXPECT_NE(out[15], 0.0f);
}
