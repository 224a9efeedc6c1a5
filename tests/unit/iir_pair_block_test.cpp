// The block step of the filter pair must give, bit for bit, what stepping
// each channel sample by sample gives, for every order and across blocks of
// any length, mixed with single steps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "../support/default_engine.h"
#include "iirfilter.h"
#include "iirfilter_testing.h"

namespace {

struct Coefficients {
  std::vector<double> a;
  std::vector<double> b;
};

// A stable low-order filter of the given sizes (a[0] is never read).
Coefficients filterOfSizes(int sizeA, int sizeB) {
  Coefficients c;
  const double poles[] = {0.9, -0.35, 0.2, -0.05, 0.01};
  c.a.assign(sizeA, 0.0);
  c.a[0] = 1.0;
  for (int i = 1; i < sizeA; i++) c.a[i] = poles[(i - 1) % 5] / i;
  for (int i = 0; i < sizeB; i++) c.b.push_back(0.3 / (i + 1) * (i % 2 == 0 ? 1.0 : -0.7));
  return c;
}

std::vector<double> noise(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> d(-20000.0, 20000.0);
  std::vector<double> out(n);
  for (double& x : out) x = d(rng);
  return out;
}

bool sameBits(double x, double y) {
  return std::memcmp(&x, &y, sizeof x) == 0;
}

TEST(IirPairBlock, SameAsSampleBySampleForEveryOrder) {
  const int sizes[][2] = {{5, 5}, {3, 3}, {5, 3}, {3, 5}, {1, 4}, {2, 2}, {7, 7}};
  const int blocks[] = {0, 1, 2, 3, 5, 256, 7, 1000, 4, 1, 333};
  const int total = 1623;  // the blocks and a single step after each
  const std::vector<double> left = noise(total, 1);
  const std::vector<double> right = noise(total, 2);
  for (const auto& size : sizes) {
    const Coefficients c = filterOfSizes(size[0], size[1]);
    ASSERT_EQ(iir_init_filters(c.a.data(), c.b.data(), size[0], size[1]), IIR_OK);
    std::vector<double> want0(total), want1(total);
    for (int i = 0; i < total; i++) {
      want0[i] = iir_step(0, right[i]);
      want1[i] = iir_step(1, left[i]);
    }
    ASSERT_EQ(iir_init_filters(c.a.data(), c.b.data(), size[0], size[1]), IIR_OK);
    std::vector<double> got0(total), got1(total);
    int at = 0;
    for (int n : blocks) {
      iir_step_pair_block(&right[at], &left[at], &got0[at], &got1[at], n);
      at += n;
      // A single step between blocks must find the histories in place.
      if (at < total) {
        got0[at] = iir_step(0, right[at]);
        got1[at] = iir_step(1, left[at]);
        ++at;
      }
    }
    ASSERT_EQ(at, total);
    for (int i = 0; i < total; i++) {
      ASSERT_TRUE(sameBits(got0[i], want0[i]) && sameBits(got1[i], want1[i]))
          << "sizes " << size[0] << "/" << size[1] << " sample " << i;
    }
    EXPECT_TRUE(std::isfinite(got0[total - 1]) && got0[total - 1] != 0.0);
  }
}

TEST(IirPairBlock, HeldSetupPassesTheBlockThroughUnfiltered) {
  const Coefficients c = filterOfSizes(5, 5);
  ASSERT_EQ(iir_init_filters(c.a.data(), c.b.data(), 5, 5), IIR_OK);
  const std::vector<double> in = noise(64, 3);
  std::vector<double> out0(64), out1(64);
  iir_hold_setup(true);
  iir_step_pair_block(in.data(), in.data(), out0.data(), out1.data(), 64);
  iir_hold_setup(false);
  EXPECT_EQ(out0, in);
  EXPECT_EQ(out1, in);
}

}  // namespace
