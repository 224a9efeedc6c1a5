// The fine mode's kernels: the trigonometry is accurate over every quadrant
// and at the axes, and the portable and AVX2 vectors give the scalar steps'
// results bit for bit (so every machine plays the same samples).
#include "fine_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "../support/default_engine.h"

namespace {

bool haveAvx2() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

bool haveAvx512() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512dq");
#else
  return false;
#endif
}

// The paths this processor can run.
std::vector<FinePath> paths() {
  std::vector<FinePath> all = {FinePath::Scalar, FinePath::Portable};
  if (haveAvx2()) all.push_back(FinePath::Avx2);
  if (haveAvx512()) all.push_back(FinePath::Avx512);
  return all;
}

std::vector<float> randomFloats(size_t n, float scale, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> d(-scale, scale);
  std::vector<float> v(n);
  for (float& x : v) x = d(gen);
  return v;
}

TEST(FineKernels, Atan2IsAccurateEverywhere) {
  std::vector<float> y = randomFloats(4003, 1.0f, 1);
  std::vector<float> x = randomFloats(4003, 1.0f, 2);
  // Axes, the origin, tiny and huge values, the reduction's thresholds.
  const float special[][2] = {{0, 1},      {0, -1},     {1, 0},      {-1, 0},         {0, 0},
                              {1e-30f, 1}, {1, 1e-30f}, {1e30f, -1}, {-2.4142f, 1},   {0.41421f, 1},
                              {1, 1},      {-1, -1},    {-0.0f, -1}, {3e-39f, 2e-39f}};
  for (const auto& p : special) {
    y.push_back(p[0]);
    x.push_back(p[1]);
  }
  std::vector<float> out(y.size());
  for (FinePath path : paths()) {
    fine_kernels_for(path).atan2(y.data(), x.data(), out.data(), static_cast<int>(y.size()));
    for (size_t i = 0; i < y.size(); i++) {
      const double want = (x[i] == 0 && y[i] == 0) ? 0.0 : std::atan2(static_cast<double>(y[i]), x[i]);
      // As a phase: -pi and pi are the same angle.
      const double error = std::remainder(want - out[i], 2 * M_PI);
      ASSERT_NEAR(0.0, error, 4e-7) << "atan2(" << y[i] << ", " << x[i] << ") path " << static_cast<int>(path);
    }
  }
}

TEST(FineKernels, SineAndCosineAreAccurateOverSeveralTurns) {
  std::vector<float> a = randomFloats(4001, 20.0f, 3);
  for (float v : {0.0f, -0.0f, 3.14159265f, -3.14159265f, 1.5707963f, -1.5707963f, 0.78539816f, 6.2831853f})
    a.push_back(v);
  std::vector<float> s(a.size()), c(a.size());
  for (FinePath path : paths()) {
    fine_kernels_for(path).sincos(a.data(), s.data(), c.data(), static_cast<int>(a.size()));
    for (size_t i = 0; i < a.size(); i++) {
      ASSERT_NEAR(std::sin(static_cast<double>(a[i])), s[i], 3e-7) << a[i];
      ASSERT_NEAR(std::cos(static_cast<double>(a[i])), c[i], 3e-7) << a[i];
    }
  }
}

// Non-finite angles come from non-finite input (a runaway voice-removal
// filter): they give NaN on both paths, and no undefined conversion.
TEST(FineKernels, NonFiniteAnglesGiveNaN) {
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> a(19, std::numeric_limits<float>::quiet_NaN());
  a[1] = inf;
  a[2] = -inf;
  a[3] = -a[0];
  std::vector<float> s(a.size()), c(a.size());
  for (FinePath path : paths()) {
    fine_kernels_for(path).sincos(a.data(), s.data(), c.data(), static_cast<int>(a.size()));
    for (size_t i = 0; i < a.size(); i++) {
      EXPECT_TRUE(std::isnan(s[i]) && std::isnan(c[i])) << i << " path " << static_cast<int>(path);
    }
  }
}

bool sameBits(float x, float y) {
  return (std::isnan(x) && std::isnan(y)) || std::memcmp(&x, &y, sizeof x) == 0;
}

void vectorPathGivesTheScalarBits(const FineKernels& plain, const FineKernels& vector) {
  const int n = 1027;  // not a multiple of 8: the tails too
  std::vector<float> a = randomFloats(n, 2.0f, 4), b = randomFloats(n, 2.0f, 5);
  // Signed zeros, the axes, non-finite and huge values inside the vectors.
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const float special[] = {0.0f, -0.0f, 1.0f, -1.0f, inf, -inf, nan, 3e9f, -3e9f, 1e-30f};
  for (size_t i = 0; i < std::size(special); i++) {
    a[8 * i + 1] = special[i];
    b[8 * i + 9] = special[i];
    a[8 * i + 90] = special[i];
    b[8 * i + 90] = special[std::size(special) - 1 - i];
  }
  const std::vector<float> c = randomFloats(n, 1.0f, 6), d = randomFloats(n, 1.0f, 7);
  std::vector<float> g = randomFloats(n, 1.0f, 8);
  auto both = [&](auto run) {
    std::vector<float> p1(n), q1(n), p2(n), q2(n);
    run(plain, p1, q1);
    run(vector, p2, q2);
    // Bit for bit, but for a NaN's sign and payload: which operand's NaN an
    // addition passes on depends on the order the compiler gives its
    // operands (a sanitizer's build swaps some).
    EXPECT_EQ(p1.size(), p2.size());
    EXPECT_EQ(q1.size(), q2.size());
    for (size_t i = 0; i < std::min(p1.size(), p2.size()); i++) EXPECT_TRUE(sameBits(p1[i], p2[i])) << i;
    for (size_t i = 0; i < std::min(q1.size(), q2.size()); i++) EXPECT_TRUE(sameBits(q1[i], q2[i])) << i;
  };
  both([&](const FineKernels& k, std::vector<float>& p, std::vector<float>&) {
    k.power(a.data(), b.data(), c.data(), d.data(), p.data(), n);
  });
  both([&](const FineKernels& k, std::vector<float>& p, std::vector<float>& q) {
    k.rotate(a.data(), b.data(), c.data(), d.data(), g.data(), p.data(), q.data(), n);
  });
  both([&](const FineKernels& k, std::vector<float>& p, std::vector<float>& q) {
    p = a;
    q = b;
    k.overlapAdd(p.data(), q.data(), c.data(), 0.37f, d.data(), g.data(), n);
    k.overlapAdd(p.data() + 1, q.data() + 1, d.data(), -0.21f, c.data(), g.data(), n - 1);
    k.add(p.data(), d.data(), n);
  });
  // The finish in chunks of 16 (whole and a short last one) and of 8 (the
  // scalar step's alone), stereo and mono; the sums of each chunk beside.
  for (int chunk : {16, 8}) {
    for (bool stereo : {true, false}) {
      both([&](const FineKernels& k, std::vector<float>& p, std::vector<float>& q) {
        p = a;
        std::vector<float> r = b, pa = c, pb = d, w = g, s = randomFloats(n, 1.0f, 9);
        w[5] = 1e-4f;  // the windows hardly cover it: silent
        s[17] = -0.0f;  // no power to divide by: none carried
        std::vector<float> outSums(n / chunk + 1), carriedSums(n / chunk + 1);
        k.finish(p.data(), stereo ? r.data() : nullptr, pa.data(), stereo ? pb.data() : nullptr, w.data(), s.data(),
                 n, chunk, outSums.data(), carriedSums.data());
        EXPECT_EQ(0.0f, p[5]);
        for (const std::vector<float>* cleared : {&pa, &w, &s}) EXPECT_EQ(std::vector<float>(n, 0.0f), *cleared);
        if (stereo) {
          EXPECT_EQ(std::vector<float>(n, 0.0f), pb);
        }
        p.insert(p.end(), r.begin(), r.end());
        q = outSums;
        q.insert(q.end(), carriedSums.begin(), carriedSums.end());
      });
      both([&](const FineKernels& k, std::vector<float>& p, std::vector<float>& q) {
        p = a;
        q = b;
        const std::vector<float> from = randomFloats(n / chunk + 1, 2.0f, 10), step = randomFloats(n / chunk + 1, 0.1f, 11);
        k.ramp(p.data(), stereo ? q.data() : nullptr, from.data(), step.data(), n, chunk);
      });
    }
  }
  // The onset sums from every start within a lane group, with a last mean.
  for (int64_t at : {0, 1, 7, 15, 16, 1000003}) {
    for (bool stereo : {true, false}) {
      both([&](const FineKernels& k, std::vector<float>& p, std::vector<float>& q) {
        p = randomFloats(kFineLanes, 1.0f, 12);
        q = randomFloats(kFineLanes, 1.0f, 13);
        const float last = k.onsets(a.data(), stereo ? b.data() : nullptr, n, at, 0.25f, p.data(), q.data());
        p.push_back(last);
      });
    }
  }
  // Above the limiter's bend, NaN and infinities included, stereo and mono.
  for (bool stereo : {true, false}) {
    both([&](const FineKernels& k, std::vector<float>& p, std::vector<float>&) {
      std::vector<int16_t> pcm(2 * static_cast<size_t>(n), 12345);
      const float peak = k.softPcm(a.data(), stereo ? b.data() : nullptr, n, 0.8f, pcm.data(), 0.5f);
      p.assign(pcm.begin(), pcm.end());
      p.push_back(peak);
    });
  }
  both([&](const FineKernels& k, std::vector<float>& p, std::vector<float>&) {
    p.assign(1, k.nyquist(a.data(), b.data(), 1024));
  });
  both([&](const FineKernels& k, std::vector<float>& p, std::vector<float>& q) {
    k.atan2(a.data(), b.data(), p.data(), n);
    k.sincos(a.data(), q.data(), p.data(), n);
  });
}

TEST(FineKernels, VectorPathsGiveTheScalarBits) {
  const FineKernels plain = fine_kernels_for(FinePath::Scalar);
  for (FinePath path : paths()) {
    if (path != FinePath::Scalar) vectorPathGivesTheScalarBits(plain, fine_kernels_for(path));
  }
}

}  // namespace
