#include "iirfilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <new>
#include <thread>
#include <vector>

#include "../support/default_engine.h"
#include "iirfilter_testing.h"

#if defined(__SANITIZE_THREAD__)
#define IIR_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define IIR_TEST_TSAN 1
#endif
#endif

// The unit allocates with nothrow new[]; this replacement lets a test make
// the allocations fail after a given number of successes (-1: never fail).
static std::atomic<int> allocationsBeforeFailure{-1};

void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  int left = allocationsBeforeFailure.load();
  while (left > 0 && !allocationsBeforeFailure.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0) return nullptr;
  try {
    return ::operator new[](n);
  } catch (...) {
    return nullptr;
  }
}

namespace {

struct CoefficientSet {
  std::vector<double> a, b;
};

// Straight evaluation of the direct form I recurrence over the whole past,
// in the order the filter must sum: feed-forward first, both in increasing i.
struct Reference {
  CoefficientSet c;
  std::vector<double> x, y;
  double step(double in) {
    x.push_back(in);
    const size_t n = x.size() - 1;
    double acc = c.b[0] * in;
    for (size_t i = 1; i < c.b.size(); i++) acc = acc + c.b[i] * (n >= i ? x[n - i] : 0.0);
    for (size_t i = 1; i < c.a.size(); i++) acc = acc - c.a[i] * (n >= i ? y[n - i] : 0.0);
    y.push_back(acc);
    return acc;
  }
};

IirResult load(const CoefficientSet& c) {
  return iir_init_filters(c.a.data(), c.b.data(), static_cast<int>(c.a.size()), static_cast<int>(c.b.size()));
}

// Deterministic pseudo-random values in [-1, 1).
double noise(unsigned& state) {
  state = state * 1664525u + 1013904223u;
  return static_cast<double>(state >> 8) / 8388608.0 - 1.0;
}

// Steps both channels through n noise samples and checks each output against
// its reference to the last bit.
void expectFollows(Reference& left, Reference& right, int n, unsigned seed) {
  for (int k = 0; k < n; k++) {
    const double x = noise(seed);
    ASSERT_EQ(iir_step(0, x), left.step(x)) << "left, sample " << k;
    ASSERT_EQ(iir_step(1, -x), right.step(-x)) << "right, sample " << k;
  }
}

TEST(IirFilter, WorkedExamplesIgnoreA0) {
  for (double a0 : {1.0, 2.0}) {
    ASSERT_EQ(load({{a0, -0.5}, {1.0, 0.5}}), IIR_OK);
    for (int ch : {0, 1}) {
      EXPECT_EQ(iir_step(ch, 1.0), 1.0);
      EXPECT_EQ(iir_step(ch, 0.0), 1.0);
      EXPECT_EQ(iir_step(ch, 0.0), 0.5);
    }
  }
}

TEST(IirFilter, SingleCoefficientIsAGain) {
  ASSERT_EQ(load({{1.0}, {0.75}}), IIR_OK);
  const iirFilter& f = iir_filter(0);
  EXPECT_EQ(f.n1, 0);
  EXPECT_EQ(f.n2, 0);
  for (double x : {1.0, -0.3, 0.0, 123.25}) {
    EXPECT_EQ(iir_step(0, x), 0.75 * x);
    EXPECT_EQ(iir_step(1, x), 0.75 * x);
  }
}

TEST(IirFilter, ThreeTapsWithoutFeedbackStartFromSilence) {
  ASSERT_EQ(load({{1.0}, {0.5, -0.25, 0.125}}), IIR_OK);
  const double expected[] = {0.5 * 0.8, -0.25 * 0.8, 0.125 * 0.8, 0.0, 0.0};
  EXPECT_EQ(iir_step(1, 0.8), expected[0]);
  for (int k = 1; k < 5; k++) EXPECT_EQ(iir_step(1, 0.0), expected[k]);
}

// Orders above, below and equal to each other exercise every wrap of the
// circular histories.
TEST(IirFilter, MatchesDirectRecurrenceToTheLastBit) {
  unsigned seed = 7;
  for (auto sizes : {std::pair{5, 4}, std::pair{2, 6}, std::pair{7, 2}, std::pair{3, 3}}) {
    CoefficientSet c;
    for (int i = 0; i < sizes.first; i++) c.a.push_back(i == 0 ? 1.0 : 0.3 * noise(seed) / sizes.first);
    for (int i = 0; i < sizes.second; i++) c.b.push_back(noise(seed));
    ASSERT_EQ(load(c), IIR_OK);
    Reference left{c, {}, {}}, right{c, {}, {}};
    expectFollows(left, right, 1000, seed);
  }
}

TEST(IirFilter, LowPassDesignKeepsBassAndCutsTreble) {
  const double fs = 44100.0, w0 = 2.0 * M_PI * 1000.0 / fs, alpha = std::sin(w0) / std::sqrt(2.0);
  const double a0 = 1.0 + alpha, c = std::cos(w0);
  ASSERT_EQ(load({{1.0, -2.0 * c / a0, (1.0 - alpha) / a0},
                  {(1.0 - c) / 2.0 / a0, (1.0 - c) / a0, (1.0 - c) / 2.0 / a0}}),
            IIR_OK);
  auto steadyPeak = [&](int ch, double freq) {
    double peak = 0.0;
    for (int n = 0; n < 44100; n++) {
      const double y = iir_step(ch, std::sin(2.0 * M_PI * freq * n / fs));
      if (n >= 22050) peak = std::max(peak, std::fabs(y));
    }
    return peak;
  };
  EXPECT_NEAR(steadyPeak(0, 100.0), 1.0, 0.01);
  EXPECT_LT(steadyPeak(1, 10000.0), 0.02);
}

TEST(IirFilter, ReloadClearsHistoryAndChannelsAreIndependent) {
  ASSERT_EQ(load({{1.0, -0.9}, {1.0, 1.0, 1.0}}), IIR_OK);
  for (int k = 0; k < 10; k++) iir_step(0, 1.0);
  EXPECT_EQ(iir_step(1, 1.0), 1.0);                 // channel 1 untouched by channel 0
  EXPECT_EQ(iir_step(7, 0.0), 1.0 - (-0.9) * 1.0);  // any non-zero channel is the right one
  ASSERT_EQ(load({{1.0, 0.5}, {-2.0, 3.0}}), IIR_OK);
  for (int ch : {0, 1}) {
    EXPECT_EQ(iir_filter(ch).pos1, 0);
    EXPECT_EQ(iir_filter(ch).pos2, 0);
    EXPECT_EQ(iir_step(ch, 0.25), -0.5);
  }
}

TEST(IirFilter, StepDuringSetUpPassesThroughAndChangesNothing) {
  const CoefficientSet c{{1.0, -0.5, 0.25}, {0.5, 0.25, 0.125, 0.0625}};
  ASSERT_EQ(load(c), IIR_OK);
  Reference left{c, {}, {}}, right{c, {}, {}};
  expectFollows(left, right, 5, 1);
  const iirFilter before = iir_filter(0);
  const std::vector<double> hist1(before.buf1, before.buf1 + before.n1),
      hist2(before.buf2, before.buf2 + before.n2);
  iir_hold_setup(true);
  EXPECT_EQ(iir_step(0, 0.3), 0.3);
  EXPECT_EQ(iir_step(1, -0.7), -0.7);
  iir_hold_setup(false);
  const iirFilter& after = iir_filter(0);
  EXPECT_EQ(after.pos1, before.pos1);
  EXPECT_EQ(after.pos2, before.pos2);
  EXPECT_EQ(std::vector<double>(after.buf1, after.buf1 + after.n1), hist1);
  EXPECT_EQ(std::vector<double>(after.buf2, after.buf2 + after.n2), hist2);
  expectFollows(left, right, 20, 2);  // the stream resumes as if the held samples never came
}

TEST(IirFilter, UnloadedFilterPassesThroughUntilCoefficientsArrive) {
  iir_init();
  EXPECT_FALSE(iir_has_coefficients());
  EXPECT_EQ(iir_step(0, 0.6), 0.6);
  EXPECT_EQ(iir_step(1, -0.6), -0.6);
  ASSERT_EQ(load({{1.0}, {0.5}}), IIR_OK);
  EXPECT_TRUE(iir_has_coefficients());
  EXPECT_EQ(iir_step(0, 0.6), 0.3);
}

TEST(IirFilter, InitNeverDropsLoadedCoefficients) {
  const CoefficientSet c{{1.0, 0.2}, {0.5, 0.5}};
  ASSERT_EQ(load(c), IIR_OK);  // handed over before the engine's first set-up
  Reference left{c, {}, {}}, right{c, {}, {}};
  expectFollows(left, right, 3, 3);
  iir_init();
  iir_init();
  EXPECT_TRUE(iir_has_coefficients());
  expectFollows(left, right, 10, 4);  // coefficients and histories kept
}

TEST(IirFilter, RefusedOrFailedLoadKeepsPreviousFilter) {
  const double one[] = {1.0};
  EXPECT_EQ(iir_init_filters(one, one, 0, 1), IIR_INVALID_ARGUMENT);
  EXPECT_FALSE(iir_has_coefficients());

  const CoefficientSet c{{1.0, -0.3}, {0.4, 0.2, 0.1}};
  ASSERT_EQ(load(c), IIR_OK);
  Reference left{c, {}, {}}, right{c, {}, {}};
  expectFollows(left, right, 4, 5);
  EXPECT_EQ(iir_init_filters(one, one, 1, 0), IIR_INVALID_ARGUMENT);
  EXPECT_EQ(iir_init_filters(one, one, -3, 1), IIR_INVALID_ARGUMENT);
  EXPECT_EQ(iir_init_filters(nullptr, one, 1, 1), IIR_INVALID_ARGUMENT);
  EXPECT_EQ(iir_init_filters(one, nullptr, 1, 1), IIR_INVALID_ARGUMENT);
  EXPECT_EQ(iir_init_filter(nullptr, one, one, 1, 1), IIR_INVALID_ARGUMENT);
  expectFollows(left, right, 4, 6);

  // A pair of records takes eight arrays: fail each one in turn.
  const double three[] = {1.0, 0.5, 0.25};
  for (int successes = 0; successes < 8; successes++) {
    allocationsBeforeFailure.store(successes);
    const IirResult r = iir_init_filters(three, three, 3, 3);
    allocationsBeforeFailure.store(-1);
    ASSERT_EQ(r, IIR_OUT_OF_MEMORY) << successes;
    expectFollows(left, right, 4, 10 + successes);
  }
}

// Under load: setters replace the coefficients again and again while one
// thread steps both channels with a constant input of 1. Each set's output
// then follows a fixed sequence: its first value (b[0], negative) marks a
// fresh history and every later one is positive and never 1, so each output
// must be exactly the pass-through 1, the next value of the channel's
// current sequence, or the first value of some set.
void runHandshakeUnderLoad(int setters, long steps, int reloadsPerSetter) {
  const std::vector<CoefficientSet> sets = {
      {{1.0, -0.5}, {-1.0, 3.0, 1.0}}, {{1.0, -0.25}, {-2.0, 5.0, 2.0}}, {{1.0, 0.5}, {-3.0, 7.0, 0.5}}};
  constexpr int kLength = 400;
  std::vector<std::vector<double>> seq;
  for (const auto& c : sets) {
    Reference r{c, {}, {}};
    std::vector<double> s;
    for (int m = 0; m < kLength; m++) s.push_back(r.step(1.0));
    ASSERT_EQ(s[kLength - 1], s[kLength - 2]) << "sequence must settle";
    ASSERT_LT(s[0], 0.0);
    for (int m = 1; m < kLength; m++) ASSERT_TRUE(s[m] > 0.0 && s[m] != 1.0);
    seq.push_back(s);
  }
  ASSERT_EQ(load(sets[0]), IIR_OK);

  std::atomic<long> progress{0};
  std::atomic<int> settersRunning{setters};
  std::atomic<bool> stepperDone{false};
  std::atomic<bool> setterFailed{false};
  std::vector<std::thread> threads;
  for (int s = 0; s < setters; s++) {
    threads.emplace_back([&, s] {
      for (int r = 1; r <= reloadsPerSetter && !stepperDone.load(); r++) {
        // Spread the reloads over the whole run of the stepper.
        while (progress.load(std::memory_order_relaxed) < steps / reloadsPerSetter * r && !stepperDone.load())
          std::this_thread::yield();
        if (load(sets[(r + s) % sets.size()]) != IIR_OK) setterFailed.store(true);
      }
      settersRunning.fetch_sub(1);
    });
  }

  int set[2] = {0, 0}, produced[2] = {0, 0};
  long passThrough = 0, fresh[2] = {0, 0};
  double bad = 0.0;
  long badAt = -1;
  for (long i = 0; (i < steps || settersRunning.load() > 0) && badAt < 0; i++) {
    for (int ch = 0; ch < 2; ch++) {
      const double y = iir_step(ch, 1.0);
      if (y == 1.0) {
        passThrough++;
      } else if (y == seq[set[ch]][std::min(produced[ch], kLength - 1)]) {
        produced[ch]++;
      } else {
        auto it =
            std::find_if(seq.begin(), seq.end(), [y](const std::vector<double>& s) { return s[0] == y; });
        if (it == seq.end()) {
          bad = y;
          badAt = i;
          break;
        }
        set[ch] = static_cast<int>(it - seq.begin());
        produced[ch] = 1;
        fresh[ch]++;
      }
    }
    progress.store(i, std::memory_order_relaxed);
  }
  stepperDone.store(true);
  for (auto& t : threads) t.join();

  std::printf("%d setter(s): %ld fresh histories left, %ld right, %ld pass-throughs\n", setters, fresh[0],
              fresh[1], passThrough);
  EXPECT_EQ(badAt, -1) << "inconsistent output " << bad;
  EXPECT_FALSE(setterFailed.load());
  EXPECT_GT(fresh[0], 0);
  EXPECT_GT(fresh[1], 0);
}

#ifdef IIR_TEST_TSAN
constexpr long kSteps = 1000000;
constexpr int kReloads = 5000;
#else
constexpr long kSteps = 5000000;
constexpr int kReloads = 20000;
#endif

TEST(IirFilter, HandshakeUnderLoad) {
  runHandshakeUnderLoad(1, kSteps, kReloads);
}

// The host binding may be called from several threads: concurrent setters
// must not lower the set-up flag under each other.
TEST(IirFilter, HandshakeUnderLoadWithTwoSetters) {
  runHandshakeUnderLoad(2, kSteps / 2, kReloads / 4);
}

}  // namespace
