// A steady tone keeps its level and does not flutter at every tempo that the
// fine mode accepts, for frame sizes and oversamplings from the smallest to
// the largest: fast tempos, whose analysis hop is too long to unwrap the
// phase advance from the last frame, included. Noise keeps its level too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "../support/audio_measures.h"
#include "../support/fine_driver.h"
#include "../support/test_material.h"

namespace {

using finedrive::kRate;

class FineLevels : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(FineLevels, EveryAcceptedTempoKeepsAToneSteady) {
  const auto [frameSize, overSampling] = GetParam();
  finedrive::Settings s;
  s.frameSize = frameSize;
  s.overSampling = overSampling;
  s.wholeBlocks = true;
  // A tone that the frame resolves (several bins up), between two bins.
  const double hz = std::max(440.0, kRate * (std::min(4, frameSize / 4) + 0.37) / frameSize);
  const std::vector<float> tone = quality::steadyTone(kRate, 3.0, hz, -9.0);
  // The range accepted: an analysis hop of a sample to a frame, within
  // 0.1..10.
  const double lowest = std::max(0.1, static_cast<double>(overSampling) / frameSize);
  const double highest = std::min(10.0, static_cast<double>(overSampling));
  for (double tempo : {lowest, 0.5, 1.0, 2.5, 4.0, 4.2, 5.0, 6.3, highest}) {
    if (tempo < lowest || tempo > highest) continue;
    const finedrive::Output out = finedrive::stretch(tone, tone, tempo, s);
    ASSERT_EQ(out.exception, "") << "tempo " << tempo;
    EXPECT_NEAR(quality::levelChangeDb(tone, out.left), 0.0, 0.5) << "tempo " << tempo;
    EXPECT_LT(quality::flutterDb(out.left, kRate, hz), 0.5) << "tempo " << tempo;
  }
}

// Noise has no partials to follow: at fast tempos the frames add up
// incoherently and, normalised for coherent frames, came out 6 dB down.
TEST(FineLevelsOfNoise, NoiseKeepsItsLevelAtEveryTempo) {
  std::vector<float> noise(static_cast<size_t>(4 * kRate));
  uint32_t seed = 12345;
  for (float& x : noise) {
    seed = seed * 1664525u + 1013904223u;
    x = 0.25f * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
  }
  for (double tempo : {0.5, 2.0, 5.0, 8.0}) {
    const finedrive::Output out = finedrive::stretch(noise, noise, tempo);
    EXPECT_NEAR(quality::levelChangeDb(noise, out.left), 0.0, 1.0) << "tempo " << tempo;
  }
}

INSTANTIATE_TEST_SUITE_P(FramesAndOversamplings, FineLevels,
                         testing::Values(std::make_tuple(4096, 8), std::make_tuple(2048, 8), std::make_tuple(512, 8),
                                         std::make_tuple(64, 8), std::make_tuple(8, 4), std::make_tuple(4096, 4),
                                         std::make_tuple(4096, 2), std::make_tuple(4096, 1),
                                         std::make_tuple(4096, 16)));

}  // namespace
