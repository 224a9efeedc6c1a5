// Transposition in the fine mode: the setter's contract, pitch and level at
// shifts and tempi, exact lengths, live changes without a click, and the
// resampler's band limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "../support/audio_measures.h"
#include "../support/fine_driver.h"
#include "../support/test_material.h"
#include "resampler.h"

namespace {

using finedrive::kRate;

double cents(double ratio) { return 1200.0 * std::log2(ratio); }

TEST(PitchShift, ToneLandsOnPitchAtItsLevelAndLength) {
  const double hz = 440.0;
  const std::vector<float> tone = quality::steadyTone(kRate, 3.0, hz, -9.0);
  const std::vector<float> none;
  for (double tempo : {1.0, 0.7, 1.6}) {
    finedrive::Settings plain;
    const finedrive::Output base = finedrive::stretch(tone, none, tempo, plain);
    const double baseLevel = quality::levelChangeDb(tone, base.left);
    for (float shift : {1.0f, -1.0f, 5.0f, -5.0f, 12.0f, -12.0f, 0.1f, -0.1f}) {
      finedrive::Settings s;
      s.pitch = shift;
      const finedrive::Output out = finedrive::stretch(tone, none, tempo, s);
      ASSERT_EQ(out.exception, "");
      EXPECT_EQ(out.left.size(), base.left.size()) << shift;
      const std::vector<float> mid(out.left.begin() + out.left.size() / 4, out.left.end() - out.left.size() / 4);
      const double got = quality::peakFrequencyHz(mid, kRate);
      EXPECT_NEAR(cents(got / hz), 100.0 * shift, 0.5) << "shift " << shift << " tempo " << tempo;
      EXPECT_NEAR(quality::levelChangeDb(tone, out.left), baseLevel, 0.2) << "shift " << shift;
      EXPECT_LT(quality::flutterDb(out.left, kRate, hz * std::exp2(shift / 12.0)), 0.5) << "shift " << shift;
    }
  }
}
}  // namespace
