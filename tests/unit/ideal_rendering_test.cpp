// Tests of the quality benchmark's ideal-rendering measures: each reads what
// it should where the answer is known.
#include "../../tools/ideal_rendering.h"

#include <gtest/gtest.h>

namespace {

constexpr double kRate = 44100.0;

// out = ref·gain, moved `delay` samples later, plus `echo` × ref played
// `lead` samples earlier.
ideal::Stereo altered(const ideal::Stereo& ref, double gain, size_t delay, double echo = 0, size_t lead = 0) {
  ideal::Stereo out{std::vector<float>(ref.left.size() + delay, 0.0f), std::vector<float>(ref.right.size() + delay, 0.0f)};
  for (size_t i = 0; i < ref.left.size(); i++) {
    out.left[i + delay] += static_cast<float>(gain * ref.left[i]);
    out.right[i + delay] += static_cast<float>(gain * ref.right[i]);
    if (i + delay >= lead) {
      out.left[i + delay - lead] += static_cast<float>(echo * ref.left[i]);
      out.right[i + delay - lead] += static_cast<float>(echo * ref.right[i]);
    }
  }
  return out;
}

TEST(IdealRendering, DistanceIsZeroForTheSameSignalAndReadsAGainChange) {
  const ideal::Stereo ref = ideal::render(kRate, 2.0);
  EXPECT_EQ(ideal::bandDistanceDb(ref.left, ref.left, 0, kRate), 0.0);
  const ideal::Stereo quieter = altered(ref, 0.5, 0);
  // A little under 6 dB: the quietest cells stop at the floor.
  EXPECT_NEAR(ideal::bandDistanceDb(ref.left, quieter.left, 0, kRate), 5.9, 0.12);
  // The same notes a little too late are farther than the same notes in time.
  const ideal::Stereo late = altered(ref, 1.0, 2205);
  EXPECT_GT(ideal::bandDistanceDb(ref.left, late.left, 0, kRate), 1.0);
  EXPECT_NEAR(ideal::bandDistanceDb(ref.left, late.left, 2205, kRate), 0.0, 1e-6);
}

TEST(IdealRendering, AlignmentFindsAKnownDelayEitherWay) {
  const ideal::Stereo ref = ideal::render(kRate, 1.25);
  EXPECT_NEAR(static_cast<double>(ideal::delaySamples(ref, altered(ref, 0.8, 313), kRate)), 313.0, 2.0);
  EXPECT_NEAR(static_cast<double>(ideal::delaySamples(altered(ref, 1.0, 500), ref, kRate)), -500.0, 2.0);
}

TEST(IdealRendering, AttacksReadSofteningAndPreEcho) {
  const double tempo = 0.75;
  const ideal::Stereo ref = ideal::render(kRate, tempo);
  const std::vector<size_t> onsets = ideal::hitOnsets(kRate, tempo);
  const ideal::Attacks same = ideal::attacks(ref, ref, 0, onsets, kRate);
  EXPECT_EQ(same.softeningDb, 0.0);
  EXPECT_EQ(same.preEchoDb, 0.0);
  EXPECT_EQ(same.preRiseDb, 0.0);
  // Everything 6 dB down softens each attack by 6 dB and leaves the rise alone.
  const ideal::Attacks soft = ideal::attacks(ref, altered(ref, 0.5, 0), 0, onsets, kRate);
  EXPECT_NEAR(soft.softeningDb, 6.02, 0.01);
  EXPECT_NEAR(soft.preEchoDb, -6.02, 0.01);
  EXPECT_NEAR(soft.preRiseDb, 0.0, 0.01);
  // A copy 10 ms early at −10 dB is heard before each hit.
  const ideal::Attacks echo = ideal::attacks(ref, altered(ref, 1.0, 0, 0.316, 441), 0, onsets, kRate);
  EXPECT_GT(echo.preEchoDb, 1.5);
  EXPECT_GT(echo.preRiseDb, 3.0);
}

}  // namespace
