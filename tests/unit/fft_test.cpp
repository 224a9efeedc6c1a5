#include "fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

std::vector<std::complex<double>> directDft(const std::vector<float>& buf, int sign) {
  const size_t n = buf.size() / 2;
  std::vector<std::complex<double>> out(n);
  for (size_t k = 0; k < n; k++) {
    std::complex<double> acc = 0;
    for (size_t t = 0; t < n; t++) {
      const double a = (sign == 1 ? 2.0 : -2.0) * M_PI * static_cast<double>((k * t) % n) / n;
      acc += std::complex<double>(buf[2 * t], buf[2 * t + 1]) * std::polar(1.0, a);
    }
    out[k] = acc;
  }
  return out;
}

std::vector<float> randomBuffer(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> buf(2 * n);
  for (float& v : buf) v = dist(rng);
  return buf;
}

}  // namespace

TEST(Fft, SwapListAndStagesForSmallAndLargestSizes) {
  ASSERT_TRUE(fft_init(8));
  FftTables t = fft_tables();
  ASSERT_EQ(t.bitSwapLen, 4);
  EXPECT_EQ(t.bitSwapPos[0], 2);
  EXPECT_EQ(t.bitSwapPos[1], 8);
  EXPECT_EQ(t.bitSwapPos[2], 6);
  EXPECT_EQ(t.bitSwapPos[3], 12);
  EXPECT_EQ(t.logFrame, 3);

  ASSERT_TRUE(fft_init(2));
  t = fft_tables();
  EXPECT_EQ(t.bitSwapLen, 0);
  EXPECT_EQ(t.logFrame, 1);

  ASSERT_TRUE(fft_init(1));
  t = fft_tables();
  EXPECT_EQ(t.bitSwapLen, 0);
  EXPECT_EQ(t.logFrame, 0);
  std::vector<float> one = {0.25f, -3.0f};
  fft_process(one.data(), 1, 0);
  EXPECT_EQ(one, (std::vector<float>{0.25f, -3.0f}));

  ASSERT_TRUE(fft_init(4096));
  t = fft_tables();
  EXPECT_EQ(t.bitSwapLen, 4032);
  EXPECT_EQ(t.logFrame, 12);
  // Every stored pair is ordered, increasing in its first index, and really
  // a bit reversal over 12 bits.
  for (int p = 0; p < t.bitSwapLen; p += 2) {
    const int i = t.bitSwapPos[p] / 2, j = t.bitSwapPos[p + 1] / 2;
    EXPECT_LT(i, j);
    if (p > 0) {
      EXPECT_GT(t.bitSwapPos[p], t.bitSwapPos[p - 2]);
    }
    int r = 0;
    for (int b = 0; b < 12; b++) r |= ((i >> b) & 1) << (11 - b);
    EXPECT_EQ(r, j);
  }
}

TEST(Fft, TwiddleRowsCarryTheSinglePrecisionRoundings) {
  ASSERT_TRUE(fft_init(16));
  const FftTables t = fft_tables();
  for (const float* re : {t.pur, t.purInv}) EXPECT_EQ(re[0], 1.0f);
  for (const float* im : {t.pui, t.puiInv}) EXPECT_EQ(im[0], 0.0f);
  // Row 1: (1, 0), then the cosine and sine of pi/2 rounded to float.
  EXPECT_EQ(t.pur[4096], 1.0f);
  EXPECT_EQ(t.pui[4096], 0.0f);
  EXPECT_EQ(t.pur[4096 + 2], -4.371139e-8f);
  EXPECT_EQ(t.pui[4096 + 2], 1.0f);
  EXPECT_EQ(t.purInv[4096 + 2], -4.371139e-8f);
  EXPECT_EQ(t.puiInv[4096 + 2], -1.0f);
  // Row 2, position 2: cos and sin of pi/4 in single precision.
  EXPECT_EQ(t.pur[2 * 4096 + 2], 0.70710677f);
  EXPECT_EQ(t.pui[2 * 4096 + 2], 0.70710677f);
  EXPECT_EQ(t.puiInv[2 * 4096 + 2], -0.70710677f);
  // Later entries are running products, not fresh cosines: row 2 position 4
  // is (c, s) * (c, s) computed in float.
  const float c = 0.70710677f, s = 0.70710677f;
  EXPECT_EQ(t.pur[2 * 4096 + 4], c * c - s * s);
  EXPECT_EQ(t.pui[2 * 4096 + 4], c * s + s * c);
}

TEST(Fft, ImpulseGivesRotatingPhasorInBothDirections) {
  const int n = 64;
  ASSERT_TRUE(fft_init(n));
  for (int sign : {1, -1}) {
    std::vector<float> buf(2 * n, 0.0f);
    buf[2] = 1.0f;  // complex index 1
    fft_process(buf.data(), sign, 0);
    for (int k = 0; k < n; k++) {
      const double a = sign * 2.0 * M_PI * k / n;
      EXPECT_NEAR(buf[2 * k], std::cos(a), 1e-6) << "k=" << k << " sign=" << sign;
      EXPECT_NEAR(buf[2 * k + 1], std::sin(a), 1e-6) << "k=" << k << " sign=" << sign;
    }
  }
}

TEST(Fft, MatchesDirectDftAndRoundTripsForEveryPowerOfTwo) {
  for (int n = 2; n <= 4096; n *= 2) {
    ASSERT_TRUE(fft_init(n));
    const std::vector<float> input = randomBuffer(n, static_cast<unsigned>(n));
    std::vector<float> buf = input;
    fft_process(buf.data(), -1, 0);
    if (n <= 512) {
      const auto ref = directDft(input, -1);
      const double tol = 1e-5 * std::sqrt(static_cast<double>(n)) * std::log2(2.0 * n);
      for (int k = 0; k < n; k++) {
        ASSERT_NEAR(buf[2 * k], ref[k].real(), tol) << "n=" << n << " k=" << k;
        ASSERT_NEAR(buf[2 * k + 1], ref[k].imag(), tol) << "n=" << n << " k=" << k;
      }
    }
    fft_process(buf.data(), 1, 1);
    // The running-product twiddles drift by about an ulp per step along a
    // row, so the round-trip error grows with n on top of the usual rounding.
    const double tol = n * (1e-6 + n * 1.5e-8);
    for (int i = 0; i < 2 * n; i++) ASSERT_NEAR(buf[i], n * input[i], tol) << "n=" << n << " i=" << i;
  }
}

TEST(Fft, ChannelDoesNotChangeTheResult) {
  ASSERT_TRUE(fft_init(256));
  std::vector<float> a = randomBuffer(256, 7), b = a;
  fft_process(a.data(), -1, 0);
  fft_process(b.data(), -1, 1);
  EXPECT_EQ(a, b);
}

TEST(Fft, RefusedSizesLeaveTheTablesAsTheyWere) {
  ASSERT_TRUE(fft_init(8));
  std::vector<float> before = randomBuffer(8, 3), ref = before;
  fft_process(ref.data(), -1, 0);
  for (int bad : {0, -8, 3, 12, 8192, 4097, 1 << 30}) EXPECT_FALSE(fft_init(bad)) << bad;
  const FftTables t = fft_tables();
  EXPECT_EQ(t.bitSwapLen, 4);
  EXPECT_EQ(t.logFrame, 3);
  fft_process(before.data(), -1, 0);
  EXPECT_EQ(before, ref);
}
