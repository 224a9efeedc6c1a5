// The limits of the engine's settings: the gains at their edges, and the
// voice filter's check against filters built from known poles, whose gain a
// long plain run of the recursion gives independently.
#include "setting_limits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(SettingLimits, GainsAndLevelsAtTheirEdges) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (float ok : {0.0f, -0.0f, 1.0f, SETTING_MAX_PREAMP}) EXPECT_TRUE(setting_preamp_ok(ok)) << ok;
  for (float bad : {nan, inf, -inf, -1e-30f, std::nextafter(SETTING_MAX_PREAMP, inf)})
    EXPECT_FALSE(setting_preamp_ok(bad)) << bad;
  // Zero or below switches the removal off, as defined; only the top is bounded.
  for (float ok : {-1e30f, -0.5f, 0.0f, 0.7f, 1.0f}) EXPECT_TRUE(setting_voice_amount_ok(ok)) << ok;
  for (float bad : {nan, inf, -inf, std::nextafter(1.0f, 2.0f), 1e9f})
    EXPECT_FALSE(setting_voice_amount_ok(bad)) << bad;
  for (int ok : {0, 50, 100}) EXPECT_TRUE(setting_panning_level_ok(ok)) << ok;
  for (int bad : {-1, 101, 1000, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()})
    EXPECT_FALSE(setting_panning_level_ok(bad)) << bad;
  for (float ok : {0.0f, 1.0f, SETTING_MAX_EQ_GAIN}) EXPECT_TRUE(setting_eq_gain_ok(ok)) << ok;
  for (float bad : {nan, inf, -1.0f, 1e30f, std::nextafter(SETTING_MAX_EQ_GAIN, inf)})
    EXPECT_FALSE(setting_eq_gain_ok(bad)) << bad;
}

// The denominator 1 + a[1]z⁻¹ + … with the given poles, multiplied out in
// complex arithmetic (conjugate pairs give real coefficients).
std::vector<double> denominator(const std::vector<std::complex<double>>& poles) {
  std::vector<std::complex<double>> c{1.0};
  for (const std::complex<double>& p : poles) {
    c.push_back(0.0);
    for (size_t i = c.size() - 1; i >= 1; i--) c[i] -= p * c[i - 1];
  }
  std::vector<double> a;
  for (const std::complex<double>& v : c) a.push_back(v.real());
  return a;
}

std::vector<std::complex<double>> pair(double radius, double angle) {
  return {std::polar(radius, angle), std::polar(radius, -angle)};
}

// Σ|h| by running the recursion plainly until it has died out.
double plainGain(const std::vector<double>& a, const std::vector<double>& b, long samples) {
  std::vector<double> y;
  double sum = 0.0;
  for (long n = 0; n < samples; n++) {
    double v = n < static_cast<long>(b.size()) ? b[n] : 0.0;
    for (size_t i = 1; i < a.size() && i <= static_cast<size_t>(n); i++) v -= a[i] * y[n - i];
    y.push_back(v);
    sum += std::fabs(v);
  }
  return sum;
}

FilterVerdict check(const std::vector<double>& a, const std::vector<double>& b) {
  return setting_check_filter(a.data(), b.data(), static_cast<int>(a.size()), static_cast<int>(b.size()));
}

TEST(SettingLimits, AStableFiltersGainIsBoundedFromAboveAndClosely) {
  unsigned seed = 7;
  auto uniform = [&seed]() {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<double>(seed >> 8) / 16777216.0;
  };
  for (int trial = 0; trial < 40; trial++) {
    std::vector<std::complex<double>> poles;
    const int pairs = 1 + trial % 3;
    for (int p = 0; p < pairs; p++) {
      const std::vector<std::complex<double>> two = pair(0.3 + 0.69 * uniform(), M_PI * uniform());
      poles.insert(poles.end(), two.begin(), two.end());
    }
    if (trial % 2 == 1) poles.push_back(0.98 * (2.0 * uniform() - 1.0));
    const std::vector<double> a = denominator(poles);
    std::vector<double> b(1 + trial % 4);
    for (double& v : b) v = 4.0 * uniform() - 2.0;
    const double reference = plainGain(a, b, 40000);
    const FilterVerdict v = check(a, b);
    ASSERT_EQ(FilterCheck::Ok, v.check) << "trial " << trial;
    EXPECT_GE(v.value, reference * (1 - 1e-12)) << "trial " << trial;
    EXPECT_LE(v.value, reference * (1 + 2e-6)) << "trial " << trial;
  }
}

TEST(SettingLimits, UnstableMarginalAndOverloudFiltersAreRefused) {
  const std::vector<double> one{1.0};
  EXPECT_EQ(FilterCheck::TooLoud, check({1.0, -1.5}, one).check);                      // grows
  EXPECT_EQ(FilterCheck::TooLoud, check(denominator(pair(1.001, 0.3)), one).check);    // slowly
  EXPECT_NE(FilterCheck::Ok, check({1.0, -1.0}, one).check);                           // a pole at 1
  EXPECT_NE(FilterCheck::Ok, check(denominator(pair(1.0, 1.0)), {0.001}).check);       // on the circle
  EXPECT_EQ(FilterCheck::RingsTooLong, check({1.0, 0.0, 0.0, -1.0}, {1e-9}).check);   // faint, never dying
  EXPECT_EQ(FilterCheck::TooLoud, check({1.0, -0.9999}, {1000.0}).check);             // stable, gain 1e7
  EXPECT_EQ(FilterCheck::TooLoud, check(one, {1e300}).check);
  // A pole this close to the circle rings for longer than the check runs.
  EXPECT_EQ(FilterCheck::RingsTooLong, check(denominator(pair(1 - 1e-7, 0.5)), {1e-9}).check);
  // The gain limit itself is a gain a filter may have.
  EXPECT_EQ(FilterCheck::Ok, check(one, {SETTING_MAX_FILTER_GAIN}).check);
  EXPECT_EQ(FilterCheck::TooLoud, check(one, {SETTING_MAX_FILTER_GAIN, 1.0}).check);
}

TEST(SettingLimits, EveryCoefficientMustBeFiniteAndA0IsNeverRead) {
  const FilterVerdict a0 = check({kNaN, -0.5}, {1.0});
  EXPECT_EQ(FilterCheck::NotFinite, a0.check);
  EXPECT_EQ(0, a0.index);
  const FilterVerdict b1 = check({1.0, -0.5}, {1.0, kInf});
  EXPECT_EQ(FilterCheck::NotFinite, b1.check);
  EXPECT_EQ(2 + 1, b1.index) << "b's coefficients count after a's";
  // a[0] is not read: any finite value runs the same filter, with the same gain.
  const FilterVerdict unit = check({1.0, -0.5}, {1.0, 0.5});
  const FilterVerdict two = check({2.0, -0.5}, {1.0, 0.5});
  ASSERT_EQ(FilterCheck::Ok, unit.check);
  EXPECT_EQ(unit.value, two.value);
  EXPECT_EQ(FilterCheck::Ok, check({-1e300, -0.5}, {1.0, 0.5}).check);
  // A response that ends among the subnormal numbers, where rounding keeps it
  // from reaching 0, has died away all the same.
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(FilterCheck::Ok, check({1.0, 0.9, 0.5}, {tiny, tiny, tiny}).check);
}

TEST(SettingLimits, AFiltersGainWithoutFeedbackIsItsCoefficientsMagnitudes) {
  const FilterVerdict v = check({1.0}, {0.25, -0.5, 0.25});
  ASSERT_EQ(FilterCheck::Ok, v.check);
  EXPECT_EQ(1.0, v.value);
  EXPECT_EQ(0.0, check({1.0, 0.5}, {0.0}).value);
  // A long numerator is run to its end however long it is.
  std::vector<double> taps(100000, 1e-6);
  taps.back() = 0.5;
  const FilterVerdict longFir = check({1.0}, taps);
  ASSERT_EQ(FilterCheck::Ok, longFir.check);
  EXPECT_NEAR(0.5 + 99999e-6, longFir.value, 1e-9);
}

}  // namespace
