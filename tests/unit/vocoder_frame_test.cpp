#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "../support/default_engine.h"
#include "vocoder.h"
#include "vocoder_testing.h"

namespace {

const float kPiF = static_cast<float>(M_PI);

struct Peaks {
  int count;
  std::vector<int> peaks;
  std::vector<int> valleys;
};

// mag gets the two sentinel slots that the search writes.
Peaks findPeaks(std::vector<float> mag) {
  const int half = static_cast<int>(mag.size());
  mag.resize(half + 2, -1.0f);
  Peaks p{0, std::vector<int>(half, -1), std::vector<int>(half + 1, -1)};
  p.count = vocoder_find_peaks(mag.data(), half, p.peaks.data(), p.valleys.data());
  EXPECT_EQ(mag[half], FLT_MIN);
  EXPECT_EQ(mag[half + 1], FLT_MIN);
  p.peaks.resize(p.count);
  p.valleys.resize(p.count);
  return p;
}

}  // namespace

TEST(VocoderFrame, PrincargWrapsByEvenMultiplesOfPi) {
  EXPECT_NEAR(vocoder_princarg(1.5f * kPiF), -M_PI / 2, 1e-6);
  EXPECT_NEAR(vocoder_princarg(-1.5f * kPiF), M_PI / 2, 1e-6);
  EXPECT_LT(vocoder_princarg(kPiF), 0.0f);
  EXPECT_NEAR(vocoder_princarg(kPiF), -M_PI, 1e-6);
  EXPECT_GT(vocoder_princarg(-kPiF), 0.0f);
  EXPECT_NEAR(vocoder_princarg(-kPiF), M_PI, 1e-6);
  EXPECT_EQ(vocoder_princarg(0.5f), 0.5f);
  EXPECT_NEAR(vocoder_princarg(5.0f * kPiF), -M_PI, 1e-5);
  // Quotients beyond 32 bits still wrap correctly.
  for (float phase : {1e10f, -3e12f}) {
    const float r = vocoder_princarg(phase);
    EXPECT_LE(std::fabs(r), M_PI) << phase;
    EXPECT_NEAR(r, std::remainder(static_cast<double>(phase), 2 * M_PI), 1e-3) << phase;
  }
}

TEST(VocoderFrame, PeaksAtBothEndsAndTheirValley) {
  const Peaks p = findPeaks({5, 1, 0.5f, 0.2f, 0.5f, 1, 2, 3});
  ASSERT_EQ(p.count, 2);
  EXPECT_EQ(p.peaks, (std::vector<int>{0, 7}));
  EXPECT_EQ(p.valleys, (std::vector<int>{0, 3}));
}

TEST(VocoderFrame, ValleyTiesGoToTheLowerBin) {
  const Peaks p = findPeaks({0, 4, 2, 1, 1, 2, 4, 0, 0, 0});
  EXPECT_EQ(p.peaks, (std::vector<int>{1, 6}));
  EXPECT_EQ(p.valleys, (std::vector<int>{0, 3}));
}

TEST(VocoderFrame, PeaksNeedTwoLowerNeighboursOnEachSide) {
  EXPECT_EQ(findPeaks({0, 1, 2, 3, 2.5f, 3.5f, 1, 0}).peaks, (std::vector<int>{5}));
  EXPECT_EQ(findPeaks({0, 3, 3, 0, 0, 0, 0, 0}).count, 0);  // flat top
  EXPECT_EQ(findPeaks(std::vector<float>(16, 1.0f)).count, 0);
  EXPECT_EQ(findPeaks(std::vector<float>(16, 0.0f)).count, 0);  // silence: nothing above FLT_MIN
  EXPECT_EQ(findPeaks({NAN, 0, 0, 0, 1, 0, 0, 0}).peaks, (std::vector<int>{4}));
}

TEST(VocoderFrame, PhaseLockRotatesEachRegionWithItsPeak) {
  ASSERT_TRUE(vocoder_init(16, 4));  // omega[k] = k * pi / 2
  const VocoderInspect v = vocoder_inspect();
  const int half = 8;
  std::vector<float> phi = {0.1f, 0.2f, 0.3f, 0.4f, -0.5f, -0.6f, 3.0f, -3.0f};
  std::vector<float> phi0 = {0, 0, 0.25f, 0, 0, 0, -0.4f, 0};
  std::vector<float> psi = {1, 1, 1.5f, 1, 1, 1, 2.0f, 1};
  const int peaks[2] = {2, 6};
  int valleys[3] = {0, 4, -1};
  vocoder_phase_lock(phi.data(), phi0.data(), psi.data(), v.omega, peaks, valleys, 2, half, 1.5f);
  EXPECT_EQ(valleys[2], half);
  // Peak 2: advance princarg(0.3 - 0.25 - pi) + pi = 0.05, times 1.5, from psi 1.5.
  const double rot0 = 1.5 + 0.075 - 0.3;
  // Peak 6: advance princarg(3.0 + 0.4 - 3pi) + 3pi, times 1.5, from psi 2.0.
  const double rot1 =
      std::remainder(std::remainder(3.4 - 3 * M_PI, 2 * M_PI) * 1.5 + 4.5 * M_PI + 2.0 - 3.0, 2 * M_PI);
  for (int b = 0; b < half; b++) {
    const double rot = b < 4 ? rot0 : rot1;
    EXPECT_NEAR(std::remainder(psi[b] - (phi[b] + rot), 2 * M_PI), 0.0, 1e-5) << b;
    EXPECT_LE(std::fabs(psi[b]), M_PI) << b;
  }

  // Without peaks nothing is written.
  const std::vector<float> kept = psi;
  vocoder_phase_lock(phi.data(), phi0.data(), psi.data(), v.omega, peaks, valleys, 0, half, 1.5f);
  EXPECT_EQ(psi, kept);
  EXPECT_EQ(valleys[0], half);
}
