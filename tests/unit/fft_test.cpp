#include "fft.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "../support/default_engine.h"
#include "../support/vector_path.h"
#include "fft_testing.h"

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
  fft_process(one.data(), 1);
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
    fft_process(buf.data(), sign);
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
    fft_process(buf.data(), -1);
    if (n <= 512) {
      const auto ref = directDft(input, -1);
      const double tol = 1e-5 * std::sqrt(static_cast<double>(n)) * std::log2(2.0 * n);
      for (int k = 0; k < n; k++) {
        ASSERT_NEAR(buf[2 * k], ref[k].real(), tol) << "n=" << n << " k=" << k;
        ASSERT_NEAR(buf[2 * k + 1], ref[k].imag(), tol) << "n=" << n << " k=" << k;
      }
    }
    fft_process(buf.data(), 1);
    // The running-product twiddles drift by about an ulp per step along a
    // row, so the round-trip error grows with n on top of the usual rounding.
    const double tol = n * (1e-6 + n * 1.5e-8);
    for (int i = 0; i < 2 * n; i++) ASSERT_NEAR(buf[i], n * input[i], tol) << "n=" << n << " i=" << i;
  }
}

TEST(Fft, RefusedSizesLeaveTheTablesAsTheyWere) {
  ASSERT_TRUE(fft_init(8));
  std::vector<float> before = randomBuffer(8, 3), ref = before;
  fft_process(ref.data(), -1);
  for (int bad : {0, -8, 3, 12, 8192, 4097, 1 << 30}) EXPECT_FALSE(fft_init(bad)) << bad;
  const FftTables t = fft_tables();
  EXPECT_EQ(t.bitSwapLen, 4);
  EXPECT_EQ(t.logFrame, 3);
  fft_process(before.data(), -1);
  EXPECT_EQ(before, ref);
}

namespace {

bool sameBits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The paths that a processor may take: portable, eight lanes, sixteen lanes
// (the last two fall back to the ones before where the processor lacks them).
struct Path {
  bool vector;
  bool wide;
};
constexpr Path kPaths[] = {{false, false}, {true, false}, {true, true}};

// fft_forward_real, fft_forward_windowed (window w) and fft_inverse_half of
// (sr, si) against fft_process of the same frames, bit for bit.
void expectPlainBits(const std::vector<float>& x, const std::vector<float>& w, const std::vector<float>& sr,
                     const std::vector<float>& si, const char* what) {
  const int n = static_cast<int>(x.size());
  std::vector<float> re(n), im(n), ref(2 * n), refW(2 * n), refI(2 * n, 0.0f);
  for (int k = 0; k < n; k++) {
    ref[2 * k] = x[k];
    refW[2 * k] = x[k] * w[k];
    ref[2 * k + 1] = refW[2 * k + 1] = 0.0f;
  }
  for (int k = 0; k < n / 2; k++) {
    refI[2 * k] = sr[k];
    refI[2 * k + 1] = si[k];
  }
  fft_process(ref.data(), -1);
  fft_process(refW.data(), -1);
  fft_process(refI.data(), 1);
  for (const Path& p : kPaths) {
    use_vector_path(p.vector, p.wide);
    fft_forward_real(x.data(), re.data(), im.data());
    for (int k = 0; k < n / 2; k++)
      ASSERT_TRUE(sameBits(re[k], ref[2 * k]) && sameBits(im[k], ref[2 * k + 1]))
          << what << ": forward, n=" << n << " path " << p.vector << p.wide << " bin " << k;
    fft_forward_windowed(x.data(), w.data(), re.data(), im.data());
    for (int k = 0; k < n / 2; k++)
      ASSERT_TRUE(sameBits(re[k], refW[2 * k]) && sameBits(im[k], refW[2 * k + 1]))
          << what << ": windowed, n=" << n << " path " << p.vector << p.wide << " bin " << k;
    fft_inverse_half(sr.data(), si.data(), re.data(), im.data());
    for (int k = 0; k < n; k++)
      ASSERT_TRUE(sameBits(re[k], refI[2 * k]))
          << what << ": inverse, n=" << n << " path " << p.vector << p.wide << " point " << k;
  }
}

}  // namespace

// One infinity or NaN anywhere (first and last values, either side of the
// middle, in the real or the imaginary part of the spectrum, in the frame or
// in the window) must give fft_process's own bits on every path.
TEST(Fft, NonFiniteValuesAnywhereGiveThePlainTransformsBits) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  float payloadNaN;
  const uint32_t bits = 0x7fc01234u;
  std::memcpy(&payloadNaN, &bits, sizeof bits);
  const float specials[] = {INFINITY, -INFINITY, payloadNaN};
  for (int n : {8, 64, 128, 1024, 4096}) {
    ASSERT_TRUE(fft_init(n));
    std::vector<float> x(n), w(n), sr(n / 2), si(n / 2);
    for (int k = 0; k < n; k++) {
      x[k] = u(rng);
      w[k] = 0.5f + 0.5f * u(rng);
    }
    for (int k = 0; k < n / 2; k++) {
      sr[k] = u(rng);
      si[k] = u(rng);
    }
    for (const float v : specials) {
      for (int at : {0, 1, n / 2 - 1, n / 2, n - 1}) {
        const float keepX = x[at], keepW = w[at], keepR = sr[at % (n / 2)], keepI = si[at % (n / 2)];
        x[at] = v;
        sr[at % (n / 2)] = v;
        expectPlainBits(x, w, sr, si, "frame and real part");
        x[at] = keepX;
        sr[at % (n / 2)] = keepR;
        w[at] = v;
        si[at % (n / 2)] = v;
        expectPlainBits(x, w, sr, si, "window and imaginary part");
        w[at] = keepW;
        si[at % (n / 2)] = keepI;
      }
    }
  }
}

// Finite frames whose sums overflow: some bins become infinite (or NaN)
// while others, bin 0 among them, may stay finite.
TEST(Fft, OverflowingFramesGiveThePlainTransformsBits) {
  std::mt19937 rng(12);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int n : {64, 256, 2048, 4096}) {
    ASSERT_TRUE(fft_init(n));
    std::vector<float> x(n), w(n, 1.0f), sr(n / 2), si(n / 2);
    for (int style = 0; style < 3; style++) {
      for (int k = 0; k < n; k++) {
        if (style == 0) x[k] = (k % 2) ? -3e38f : 3e38f;  // bin 0 cancels, bin N/2 overflows
        if (style == 1) x[k] = 3e38f * u(rng);
        if (style == 2) x[k] = (k % 4 < 2) ? FLT_MAX : -FLT_MAX;
        w[k] = style == 1 ? 1.0f : 0.75f + 0.25f * u(rng);
      }
      for (int k = 0; k < n / 2; k++) {
        sr[k] = 3e38f * ((k % 2) ? -1.0f : 1.0f);
        si[k] = style == 0 ? 0.0f : 3e38f * u(rng);
      }
      expectPlainBits(x, w, sr, si, "overflow");
    }
  }
}

// A Hann-windowed cosine on bin 37: the window's leakage is exactly half of
// the peak on either neighbour and nothing further out; the inverse of a
// lone bin is a cosine of that frequency.
TEST(Fft, WindowedCosineAndLoneBinComeOutAsExpected) {
  const int n = 2048;
  ASSERT_TRUE(fft_init(n));
  std::vector<float> x(n), w(n), re(n), im(n);
  for (int k = 0; k < n; k++) {
    x[k] = static_cast<float>(std::cos(2.0 * M_PI * 37.0 * k / n));
    w[k] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * M_PI * k / n));
  }
  for (const Path& p : kPaths) {
    use_vector_path(p.vector, p.wide);
    fft_forward_windowed(x.data(), w.data(), re.data(), im.data());
    for (int k = 0; k < n / 2; k++) {
      const double mag = std::hypot(re[k], im[k]);
      const double want = k == 37 ? n / 4.0 : (k == 36 || k == 38) ? n / 8.0 : 0.0;
      ASSERT_NEAR(mag, want, 2e-3) << "bin " << k;
    }
    std::vector<float> sr(n / 2, 0.0f), si(n / 2, 0.0f);
    sr[100] = 1.0f;
    fft_inverse_half(sr.data(), si.data(), re.data(), im.data());
    for (int k = 0; k < n; k++)
      ASSERT_NEAR(re[k], std::cos(2.0 * M_PI * 100.0 * k / n), 2e-5) << "point " << k;
  }
}
