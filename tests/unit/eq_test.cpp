#include "eq.h"

#include <gtest/gtest.h>

#include <vector>

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
