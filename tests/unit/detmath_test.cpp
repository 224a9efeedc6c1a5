// The engine's own maths functions against values computed to 600 bits
// (tools/detmath_constants.py's set-up), against the C library's long double
// functions where those have 64 bits or more, and on C's special values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "detmath.h"

namespace {

struct FloatCase {
  float x, sine, cosine;
};
// Arguments where a common C library rounds the other way, the ends of the
// moderate reduction, huge arguments and the hardest reduction of a float
// (16367173 * 2^72, within 2^-30 of a multiple of pi/2).
const FloatCase kFloatCases[] = {
    {0x1.0ff5f4p+1f, 0x1.b37242p-1f, -0x1.0d509cp-1f},
    {0x1.5e4a5ap+0f, 0x1.f58a76p-1f, 0x1.9bd704p-3f},
    {0x1.1bd7f2p-1f, 0x1.0d86a6p-1f, 0x1.b350d2p-1f},
    {0x1.1fdea0p+2f, -0x1.f44648p-1f, -0x1.b3c97ap-3f},
    {0x1.9bc7b4p+2f, 0x1.33d40ep-3f, 0x1.fa2ef2p-1f},
    {0x1.d69c5ep+2f, 0x1.c12742p-1f, 0x1.eb8cb8p-2f},
    {0x1.921fb6p+0f, 0x1p+0f, -0x1.777a5cp-25f},
    {0x1.921fb6p+1f, -0x1.777a5cp-24f, -0x1p+0f},
    {0x1.fffffep+19f, 0x1.156658p-2f, 0x1.ecdaf4p-1f},
    {0x1.000000p+20f, 0x1.526cccp-2f, 0x1.e33adap-1f},
    {0x1.000002p+20f, 0x1.c84710p-2f, 0x1.ca5cf2p-1f},
    {0x1.f37b3ep+24f, 0x1.80c720p-1f, 0x1.51c5aap-1f},
    {0x1.e3a1b0p+34f, 0x1.d718dcp-1f, -0x1.910e66p-2f},
    {0x1.f38f0ap+95f, 0x1.fc471ep-1f, 0x1.ed00b8p-4f},
    {0x1.fffffep+127f, -0x1.0b3366p-1f, 0x1.b4bf2cp-1f},
    {-0x1.0ff5f4p+1f, -0x1.b37242p-1f, -0x1.0d509cp-1f},
    {0x1.000000p-20f, 0x1.000000p-20f, 0x1p+0f},
    {-0x1.800000p-100f, -0x1.800000p-100f, 0x1p+0f},
    {0x1.f37c8ap+95f, 0x1p+0f, -0x1.bbdd52p-30f},
};

struct DoubleCase {
  double x, sine, cosine;
};
const DoubleCase kDoubleCases[] = {
    {0x1.921fb54442d18p+0, 0x1.000000p+0, 0x1.1a62633145c07p-54},
    {0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53, -0x1.000000p+0},
    {-0x1.2d97c7f3321d2p+1, -0x1.6a09e667f3bcdp-1, -0x1.6a09e667f3bccp-1},
    {0x1.000000p+20, 0x1.526ccb2fc8656p-2, 0x1.e33ada92fe2aep-1},
    {0x1.fffffffffffffp+19, 0x1.526ccb2de52a8p-2, 0x1.e33ada9352c61p-1},
    {0x1.f40000p+9, 0x1.a75cc150a206bp-1, 0x1.1ff026793f1bbp-1},
    {0x1.5af1d78b58c40p+72, -0x1.9268d5833a159p-1, 0x1.3c8f80d613cc7p-1},
    {0x1.000000p+1000, -0x1.460b8ae1c886ep-3, 0x1.f9785160c8815p-1},
    {0x1.fffffffffffffp+1023, 0x1.452fc98b34e97p-8, -0x1.fffe62ecfab75p-1},
    {0x1.6345785d8a000p+59, -0x1.52d98e335094ep-1, -0x1.7fd4416182047p-1},
    {-0x1.800000p-30, -0x1.800000p-30, 0x1.000000p+0},
};

struct Atan2Case {
  double y, x, angle;
};
const Atan2Case kAtan2Cases[] = {
    {0x1.000000p+0, 0x1.56e1fc2f8f359p-997, 0x1.921fb54442d18p+0},
    {0x1.56e1fc2f8f359p-997, -0x1.000000p+0, 0x1.921fb54442d18p+1},
    {0x1.800000p+1, 0x1.000000p+2, 0x1.4978fa3269ee1p-1},
    {-0x1.000000p+1, -0x1.c00000p+2, -0x1.6e8062854db5ep+1},
    {0x1.1ccf385ebc8a0p+1023, 0x0.730d67819e8d2p-1022, 0x1.921fb54442d18p+0},
    {-0x0.730d67819e8d2p-1022, 0x1.1ccf385ebc8a0p+1023, -0x0.0p+0},
    {0x1.999999999999ap-4, 0x1.999999a078d19p-4, 0x1.921fb53ff74e9p-1},
    {0x0.0000000000001p-1022, 0x1.000000p+0, 0x0.0000000000001p-1022},
    {0x1.000000p+0, -0x1.000000p-1, 0x1.0468a8ace4df6p+1},
    {-0x1.3333333333333p-2, 0x1.ccccccccccccdp-1, -0x1.4978fa3269ee1p-2},
};

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Distance in units of the last place of the expected value.
double ulps(double got, double want) {
  if (want == 0.0) return got == 0.0 ? 0.0 : INFINITY;
  return std::fabs(got - want) / std::ldexp(1.0, std::max(std::ilogb(want), -1022) - 52);
}

TEST(Detmath, SingleSineAndCosineAreCorrectlyRounded) {
  for (const FloatCase& c : kFloatCases) {
    float s;
    float co;
    tmath_sincosf(c.x, &s, &co);
    EXPECT_TRUE(sameBits(s, c.sine)) << std::hexfloat << c.x << ": sin " << s << " against " << c.sine;
    EXPECT_TRUE(sameBits(co, c.cosine)) << std::hexfloat << c.x << ": cos " << co << " against " << c.cosine;
    EXPECT_TRUE(sameBits(tmath_sinf(c.x), s));
    EXPECT_TRUE(sameBits(tmath_cosf(c.x), co));
  }
}

TEST(Detmath, DoubleFunctionsAreWithinOneUnit) {
  for (const DoubleCase& c : kDoubleCases) {
    double s;
    double co;
    tmath_sincos(c.x, &s, &co);
    EXPECT_LE(ulps(s, c.sine), 1.0) << std::hexfloat << c.x;
    EXPECT_LE(ulps(co, c.cosine), 1.0) << std::hexfloat << c.x;
    EXPECT_TRUE(sameBits(tmath_sin(c.x), s));
    EXPECT_TRUE(sameBits(tmath_cos(c.x), co));
  }
  for (const Atan2Case& c : kAtan2Cases)
    EXPECT_LE(ulps(tmath_atan2(c.y, c.x), c.angle), 1.0) << std::hexfloat << c.y << ", " << c.x;
  // Whole powers of two are exact, and A above A4 is 880 Hz.
  for (int e = -1074; e <= 1023; e += 7) EXPECT_EQ(tmath_exp2(e), std::ldexp(1.0, e)) << e;
  EXPECT_EQ(440.0f * static_cast<float>(tmath_exp2(12.0f / 12.0f)), 880.0f);
}

TEST(Detmath, SpecialValuesFollowC) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const float x : {inf, -inf, nan}) {
    float s;
    float c;
    tmath_sincosf(x, &s, &c);
    EXPECT_TRUE(std::isnan(s) && std::isnan(c)) << x;
    EXPECT_TRUE(std::isnan(tmath_sin(x)) && std::isnan(tmath_cos(x))) << x;
  }
  // Zeros and the smallest subnormal keep their sign; the cosine is one.
  for (const float x : {0.0f, -0.0f, FLT_TRUE_MIN, -FLT_TRUE_MIN}) {
    EXPECT_TRUE(sameBits(tmath_sinf(x), x)) << x;
    EXPECT_EQ(tmath_cosf(x), 1.0f) << x;
    EXPECT_TRUE(sameBits(tmath_sin(x), static_cast<double>(x))) << x;
  }
  const double pi = 0x1.921fb54442d18p+1;
  const double d = 2.5;
  const double dinf = HUGE_VAL;
  struct {
    double y, x, angle;
  } const cases[] = {
      {0.0, 0.0, 0.0},         {-0.0, 0.0, -0.0},        {0.0, -0.0, pi},          {-0.0, -0.0, -pi},
      {0.0, -d, pi},           {-0.0, -d, -pi},          {0.0, d, 0.0},            {-0.0, d, -0.0},
      {d, 0.0, pi / 2},        {-d, -0.0, -pi / 2},      {d, -dinf, pi},           {-d, -dinf, -pi},
      {d, dinf, 0.0},          {-d, dinf, -0.0},         {dinf, d, pi / 2},        {-dinf, -d, -pi / 2},
      {dinf, -dinf, 3 * pi / 4}, {-dinf, dinf, -pi / 4},
  };
  for (const auto& c : cases)
    EXPECT_TRUE(sameBits(tmath_atan2(c.y, c.x), c.angle)) << c.y << ", " << c.x << ": " << tmath_atan2(c.y, c.x);
  EXPECT_TRUE(std::isnan(tmath_atan2(NAN, 1.0)) && std::isnan(tmath_atan2(1.0, NAN)));
  EXPECT_TRUE(std::isnan(tmath_exp2(NAN)));
  EXPECT_EQ(tmath_exp2(1025.0), HUGE_VAL);
  EXPECT_EQ(tmath_exp2(-dinf), 0.0);
}

#if defined(__GLIBC__) && LDBL_MANT_DIG >= 64
// The spectrum's table arguments at two rates, and random floats of every
// magnitude, against glibc's long double functions (the float sweep over all
// 2^32 patterns is tools/detmath_sweep.cpp).
TEST(Detmath, SingleFunctionsMatchLongDoubleOnTheTablesAndAtRandom) {
  const double twoPi = 6.283185307179586;
  int wrong = 0;
  for (const double rate : {22050.0, 48000.0}) {
    for (int note = 0; note < 72; ++note) {
      const float freq = 440.0f * static_cast<float>(tmath_exp2(static_cast<float>(note - 45) / 12.0f));
      for (int p = 0; p < 4096; ++p) {
        const float x = static_cast<float>(twoPi * freq * p / rate);
        float s;
        float c;
        tmath_sincosf(x, &s, &c);
        wrong += !sameBits(s, static_cast<float>(sinl(x))) + !sameBits(c, static_cast<float>(cosl(x)));
      }
    }
  }
  std::mt19937 random(7);
  for (int i = 0; i < 2000000; ++i) {
    const uint32_t bits = random();
    float x;
    std::memcpy(&x, &bits, sizeof x);
    if (std::isnan(x)) continue;
    float s;
    float c;
    tmath_sincosf(x, &s, &c);
    wrong += !sameBits(s, static_cast<float>(sinl(x))) + !sameBits(c, static_cast<float>(cosl(x)));
  }
  EXPECT_EQ(wrong, 0);
}

// The double functions on the engine's arguments (phases in [-4 pi, 4 pi]
// and float bin pairs) and at random, within one unit of long double's.
TEST(Detmath, DoubleFunctionsMatchLongDoubleAtRandom) {
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> phase(-12.6, 12.6);
  double worst = 0.0;
  for (int i = 0; i < 1000000; ++i) {
    const double x = i % 2 ? phase(random) : std::ldexp(phase(random), static_cast<int>(random() % 200) - 100);
    double s;
    double c;
    tmath_sincos(x, &s, &c);
    worst = std::max({worst, ulps(s, static_cast<double>(sinl(x))), ulps(c, static_cast<double>(cosl(x)))});
    const float re = static_cast<float>(phase(random));
    const float im = static_cast<float>(i % 3 ? phase(random) : phase(random) * 1e-7);
    const double a = tmath_atan2(im, re);
    worst = std::max(worst, ulps(a, static_cast<double>(atan2l(im, re))));
    // What the vocoder keeps: the float of the angle, which must be glibc's.
    EXPECT_EQ(static_cast<float>(a), static_cast<float>(std::atan2(static_cast<double>(im), re))) << im << ", " << re;
  }
  EXPECT_LE(worst, 1.0);
}
#endif

}  // namespace
