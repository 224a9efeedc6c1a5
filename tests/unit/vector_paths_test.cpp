// The AVX2 paths against their definitions, bit for bit: the C library's
// atan2 and sincos rounded to float, princarg, the plain radix-2 transform,
// and the portable paths of the frame and of the spectrum analyser. Millions
// of random inputs over every magnitude, and the edge cases: zeros of both
// signs, subnormals, the largest floats, infinities and NaN.
#include <gtest/gtest.h>
#include <math.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "../support/default_engine.h"
#include "../support/vector_path.h"
#include "detmath.h"
#include "eq.h"
#include "fft.h"
#include "pipeline.h"
#include "spectrum.h"
#include "spectrum_testing.h"
#include "vocoder.h"
#include "vocoder_testing.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

bool sameBits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Equal bits, except that a NaN matches any NaN: which operand's NaN an
// operation passes on depends on the order in which the compiler happened to
// place two commutative operands, not on the arithmetic.
bool sameResult(float a, float b) {
  return sameBits(a, b) || (std::isnan(a) && std::isnan(b));
}

// Values that take the special branches: zeros, subnormals, the extremes,
// non-finite values, and the angles where the reductions change.
std::vector<float> edgeValues() {
  const float pi = static_cast<float>(M_PI);
  std::vector<float> v = {0.0f,
                          1.0f,
                          FLT_MIN,
                          std::numeric_limits<float>::denorm_min(),
                          1e-40f,
                          3e-39f,
                          1e-30f,
                          1e-10f,
                          0.4375f,
                          0.6875f,
                          0.5f,
                          2.0f,
                          1e10f,
                          1e30f,
                          FLT_MAX,
                          kInf,
                          kNaN,
                          pi,
                          pi / 2,
                          3 * pi / 2,
                          2 * pi,
                          std::nextafter(pi, 4.0f),
                          std::nextafter(pi, 0.0f),
                          4.0f,
                          4.0000005f,
                          1e6f,
                          1.0e-7f};
  const size_t n = v.size();
  for (size_t i = 0; i < n; i++) v.push_back(-v[i]);
  return v;
}

// Mostly values like those of a spectrum (all magnitudes, both signs), now
// and then an edge value.
class Inputs {
 public:
  explicit Inputs(uint32_t seed) : rng_(seed), edges_(edgeValues()) {}
  float next() {
    const uint32_t pick = rng_();
    if ((pick & 63) == 0) return edges_[(pick >> 6) % edges_.size()];
    const float mantissa = std::uniform_real_distribution<float>(0.5f, 1.0f)(rng_);
    const int exponent = static_cast<int>((pick >> 8) % 60) - 40;  // 1e-12 .. 1e6
    const float v = std::ldexp(mantissa, exponent);
    return (pick & 64) != 0 ? -v : v;
  }
  // A phase as princarg leaves it, now and then something else.
  float phase() {
    const uint32_t pick = rng_();
    if ((pick & 255) == 0) return edges_[(pick >> 8) % edges_.size()];
    return std::uniform_real_distribution<float>(-3.1415927f, 3.1415927f)(rng_);
  }
  std::mt19937& rng() { return rng_; }

 private:
  std::mt19937 rng_;
  std::vector<float> edges_;
};

// The vector widths to try: AVX2 alone, then AVX-512 too where there is one.
const bool kWidths[] = {false, true};

TEST(VectorPaths, PhasesAndMagnitudesMatchTheCLibrary) {
  if (!use_vector_path(true)) GTEST_SKIP() << "no AVX2 on this processor";
  Inputs in(1);
  const int chunk = 4096;
  std::vector<float> re(chunk), im(chunk), mag(chunk), phi(chunk);
  int mismatches = 0;
  for (int round = 0; round < 1000; round++) {  // about 4 million bins
    use_vector_path(true, kWidths[round & 1]);
    for (int k = 0; k < chunk; k++) {
      re[k] = in.next();
      im[k] = in.next();
    }
    vocoder_analyze_bins(re.data(), im.data(), mag.data(), phi.data(), chunk - round % 4);
    for (int k = 0; k < chunk - round % 4; k++) {
      const float wantPhi =
          static_cast<float>(tmath_atan2(static_cast<double>(im[k]), static_cast<double>(re[k])));
      const float wantMag = sqrtf(re[k] * re[k] + im[k] * im[k]);
      if (!sameResult(phi[k], wantPhi) || !sameResult(mag[k], wantMag)) {
        if (mismatches++ < 5)
          ADD_FAILURE() << "atan2(" << im[k] << ", " << re[k] << "): " << phi[k] << " instead of " << wantPhi;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(VectorPaths, PhasesOfEveryEdgePair) {
  if (!use_vector_path(true)) GTEST_SKIP() << "no AVX2 on this processor";
  const std::vector<float> e = edgeValues();
  std::vector<float> re, im;
  for (float x : e)
    for (float y : e) {
      re.push_back(x);
      im.push_back(y);
    }
  std::vector<float> mag(re.size()), phi(re.size());
  for (bool wide : kWidths) {
    use_vector_path(true, wide);
    vocoder_analyze_bins(re.data(), im.data(), mag.data(), phi.data(), static_cast<int>(re.size()));
    for (size_t k = 0; k < re.size(); k++) {
      const float want =
          static_cast<float>(tmath_atan2(static_cast<double>(im[k]), static_cast<double>(re[k])));
      EXPECT_TRUE(sameResult(phi[k], want)) << "atan2(" << im[k] << ", " << re[k] << ")";
    }
  }
}

TEST(VectorPaths, SynthesisMatchesTheCLibrary) {
  if (!use_vector_path(true)) GTEST_SKIP() << "no AVX2 on this processor";
  Inputs in(2);
  const int chunk = 4096;
  std::vector<float> mag(chunk), gains(chunk), psi(chunk), re(chunk), im(chunk);
  int mismatches = 0;
  for (int round = 0; round < 1000; round++) {
    use_vector_path(true, kWidths[(round >> 1) & 1]);
    for (int k = 0; k < chunk; k++) {
      mag[k] = std::fabs(in.next());
      gains[k] = (k & 7) == 0 ? in.next() : 1.0f + 0.5f * std::fabs(in.phase());
      psi[k] = in.phase();
    }
    const bool withGains = (round & 1) != 0;
    const int count = chunk - round % 4;
    vocoder_synthesize_bins(mag.data(), withGains ? gains.data() : nullptr, psi.data(), re.data(), im.data(),
                            count);
    for (int k = 0; k < count; k++) {
      const float m = withGains ? mag[k] * gains[k] : mag[k];
      double s;
      double c;
      tmath_sincos(static_cast<double>(psi[k]), &s, &c);
      const float wantRe = static_cast<float>(static_cast<double>(m) * c);
      const float wantIm = static_cast<float>(static_cast<double>(m) * s);
      if (!sameResult(re[k], wantRe) || !sameResult(im[k], wantIm)) {
        if (mismatches++ < 5)
          ADD_FAILURE() << m << " at " << psi[k] << ": (" << re[k] << ", " << im[k] << ") instead of ("
                        << wantRe << ", " << wantIm << ")";
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(VectorPaths, SynthesisOfEveryEdgePair) {
  if (!use_vector_path(true)) GTEST_SKIP() << "no AVX2 on this processor";
  const std::vector<float> e = edgeValues();
  std::vector<float> mag, psi;
  for (float m : e)
    for (float p : e) {
      mag.push_back(m);
      psi.push_back(p);
    }
  std::vector<float> re(mag.size()), im(mag.size());
  for (bool wide : kWidths) {
    use_vector_path(true, wide);
    vocoder_synthesize_bins(mag.data(), nullptr, psi.data(), re.data(), im.data(),
                            static_cast<int>(mag.size()));
    for (size_t k = 0; k < mag.size(); k++) {
      double s;
      double c;
      tmath_sincos(static_cast<double>(psi[k]), &s, &c);
      EXPECT_TRUE(sameResult(re[k], static_cast<float>(static_cast<double>(mag[k]) * c)) &&
                  sameResult(im[k], static_cast<float>(static_cast<double>(mag[k]) * s)))
          << mag[k] << " at " << psi[k];
    }
  }
}

// Where the kernels' reductions change: ratios |im/re| near the breakpoints
// (2n+1)/16 of the table of atan(n/8) and near 0 and 1, ratios so small or so
// large that the phase is a subnormal float or nearly pi/2; phases within a
// few units of multiples of pi/16 (where the table index turns) and of pi/2
// (where sin or cos is smallest); products that round to subnormal floats.
TEST(VectorPaths, ReductionBoundariesMatchTheCLibrary) {
  if (!use_vector_path(true)) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(8);
  std::vector<float> re, im, mag, psi;
  for (int n = 0; n <= 16; n++) {
    for (int step = -40; step <= 40; step++) {
      const float x = std::ldexp(std::uniform_real_distribution<float>(1.0f, 2.0f)(rng),
                                 static_cast<int>(rng() % 200) - 100);
      float y = x * static_cast<float>(2 * n + 1) / 32.0f * 2.0f;  // |y/x| near (2n+1)/16
      if (n == 16) y = x;                                          // near 1
      for (int i = 0; i < std::abs(step); i++) y = std::nextafter(y, step < 0 ? 0.0f : kInf);
      const float sx = (rng() & 1) ? -x : x;
      const float sy = (rng() & 1) ? -y : y;
      re.push_back(sx);
      im.push_back(sy);
      re.push_back(sy);  // the swapped octant
      im.push_back(sx);
      // Tiny and huge ratios.
      const float t =
          std::ldexp(1.0f + static_cast<float>(step + 40) / 81.0f, -(static_cast<int>(rng() % 150)));
      re.push_back(sx);
      im.push_back(sx * t);
      re.push_back(sx * t);
      im.push_back(sx);
    }
  }
  for (int k = -21; k <= 21; k++) {
    float p = static_cast<float>(k * M_PI / 16);
    for (int i = 0; i < 6; i++) p = std::nextafter(p, -5.0f);
    for (int i = 0; i < 13; i++, p = std::nextafter(p, 5.0f)) {
      psi.push_back(p);
      mag.push_back(std::ldexp(std::uniform_real_distribution<float>(1.0f, 2.0f)(rng),
                               static_cast<int>(rng() % 280) - 140));  // some products subnormal
    }
  }
  for (bool wide : kWidths) {
    use_vector_path(true, wide);
    std::vector<float> m(re.size()), phi(re.size());
    vocoder_analyze_bins(re.data(), im.data(), m.data(), phi.data(), static_cast<int>(re.size()));
    for (size_t k = 0; k < re.size(); k++)
      ASSERT_TRUE(sameBits(
          phi[k], static_cast<float>(tmath_atan2(static_cast<double>(im[k]), static_cast<double>(re[k])))))
          << "atan2(" << im[k] << ", " << re[k] << ") wide " << wide;
    std::vector<float> sr(psi.size()), si(psi.size());
    vocoder_synthesize_bins(mag.data(), nullptr, psi.data(), sr.data(), si.data(),
                            static_cast<int>(psi.size()));
    for (size_t k = 0; k < psi.size(); k++) {
      double s;
      double c;
      tmath_sincos(static_cast<double>(psi[k]), &s, &c);
      ASSERT_TRUE(sameBits(sr[k], static_cast<float>(static_cast<double>(mag[k]) * c)) &&
                  sameBits(si[k], static_cast<float>(static_cast<double>(mag[k]) * s)))
          << mag[k] << " at " << psi[k] << " wide " << wide;
    }
  }
}

TEST(VectorPaths, RotationMatchesPrincarg) {
  if (!use_vector_path(true)) GTEST_SKIP() << "no AVX2 on this processor";
  Inputs in(3);
  const int chunk = 4096;
  std::vector<float> phi(chunk), rot(chunk), psi(chunk);
  for (int round = 0; round < 250; round++) {
    use_vector_path(true, kWidths[round & 1]);
    for (int k = 0; k < chunk; k++) {
      phi[k] = in.phase();
      // Mostly rotations in range, sometimes far out (phases of high bins
      // advance by up to thousands of radians), sometimes edge values.
      rot[k] = (k % 5 == 0) ? in.next() * 1000.0f : in.phase();
    }
    const int count = chunk - round % 4;
    vocoder_rotate_bins(phi.data(), rot.data(), psi.data(), count);
    for (int k = 0; k < count; k++)
      ASSERT_TRUE(sameBits(psi[k], vocoder_princarg(phi[k] + rot[k]))) << phi[k] << " + " << rot[k];
  }
  // Every phase within a few steps of a multiple of pi, where the quotient
  // changes, and the values that no multiple of pi changes.
  std::vector<float> edge = {0.0f, -0.0f, kInf, -kInf, kNaN, FLT_MAX, -FLT_MAX, FLT_MIN};
  for (int m = 1; m <= 6; m++) {
    float x = static_cast<float>(m * M_PI);
    for (int i = 0; i < 6; i++) x = std::nextafter(x, 0.0f);
    for (int i = 0; i < 12; i++, x = std::nextafter(x, kInf)) {
      edge.push_back(x);
      edge.push_back(-x);
    }
  }
  // x + (-0) is x, for -0 too.
  std::vector<float> zeros(edge.size(), -0.0f), out(edge.size());
  for (const bool wide : kWidths) {
    use_vector_path(true, wide);
    vocoder_rotate_bins(edge.data(), zeros.data(), out.data(), static_cast<int>(edge.size()));
    for (size_t k = 0; k < edge.size(); k++)
      ASSERT_TRUE(sameBits(out[k], vocoder_princarg(edge[k]))) << edge[k] << (wide ? " wide" : "");
  }
}

TEST(VectorPaths, TransformsMatchThePlainTransform) {
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int n = 8; n <= 4096; n *= 2) {
    ASSERT_TRUE(fft_init(n));
    for (int trial = 0; trial < 24; trial++) {
      use_vector_path(true, kWidths[trial & 1]);
      std::vector<float> x(n), w(n), re(n), im(n), ref(2 * n);
      for (int k = 0; k < n; k++) {
        x[k] = u(rng) * (trial % 3 == 0 ? 1e-30f : 1.0f);
        if (trial % 4 == 1 && k % 5 == 0) x[k] = (k % 2) ? -0.0f : 0.0f;
        w[k] = 0.5f + 0.5f * u(rng);
      }
      if (trial >= 20) x[n / 3] = (trial & 2) ? kInf : kNaN;  // the portable path takes non-finite frames
      // Finite values whose windowed product overflows, at either end.
      if (trial == 5 || trial == 14) w[trial == 5 ? 0 : n - 1] = 1e38f / std::fabs(x[trial == 5 ? 0 : n - 1]);
      for (int k = 0; k < n; k++) {
        ref[2 * k] = x[k];
        ref[2 * k + 1] = 0.0f;
      }
      fft_process(ref.data(), -1);
      fft_forward_real(x.data(), re.data(), im.data());
      for (int k = 0; k < n / 2; k++)
        ASSERT_TRUE(sameBits(re[k], ref[2 * k]) && sameBits(im[k], ref[2 * k + 1]))
            << "forward n=" << n << " bin " << k;

      for (int k = 0; k < n; k++) {
        ref[2 * k] = x[k] * w[k];
        ref[2 * k + 1] = 0.0f;
      }
      fft_process(ref.data(), -1);
      fft_forward_windowed(x.data(), w.data(), re.data(), im.data());
      for (int k = 0; k < n / 2; k++)
        ASSERT_TRUE(sameBits(re[k], ref[2 * k]) && sameBits(im[k], ref[2 * k + 1]))
            << "windowed n=" << n << " trial " << trial << " bin " << k;

      std::vector<float> sr(n / 2), si(n / 2);
      for (int k = 0; k < n / 2; k++) {
        sr[k] = (k % 7 == 0) ? -0.0f : u(rng);
        si[k] = (k % 5 == 0) ? ((trial & 1) ? -0.0f : 0.0f) : u(rng);
      }
      if (trial >= 20) si[n / 5] = (trial & 2) ? kNaN : -kInf;
      for (int k = 0; k < n; k++) {
        ref[2 * k] = k < n / 2 ? sr[k] : 0.0f;
        ref[2 * k + 1] = k < n / 2 ? si[k] : 0.0f;
      }
      fft_process(ref.data(), 1);
      fft_inverse_half(sr.data(), si.data(), re.data(), im.data());
      for (int k = 0; k < n; k++)
        ASSERT_TRUE(sameBits(re[k], ref[2 * k])) << "inverse n=" << n << " point " << k;
    }
  }
}

// The peaks and valleys by their definition, one bin at a time: the
// reference of every path's peak search.
int referencePeaks(const std::vector<float>& mag, int half, std::vector<int>& peaks, std::vector<int>& valleys) {
  auto at = [&](int i) { return i < 0 || i >= half ? FLT_MIN : mag[i]; };
  int n = 0;
  valleys[0] = 0;
  for (int k = 0; k < half; k++) {
    if (!(mag[k] > at(k - 1) && mag[k] > at(k + 1) && mag[k] > at(k - 2) && mag[k] > at(k + 2))) continue;
    if (n > 0) {
      float min = FLT_MAX;
      valleys[n] = 0;
      for (int i = peaks[n - 1]; i < k; i++)
        if (mag[i] < min) min = mag[i], valleys[n] = i;
    }
    peaks[n++] = k;
  }
  return n;
}

// Peaks, valleys and locked phases on magnitudes full of ties, plateaus,
// long valleys and special values, both paths (and the peaks by their
// definition).
TEST(VectorPaths, PeaksAndPhaseLockMatchThePortablePath) {
  const bool vectors = use_vector_path(true);
  std::mt19937 rng(7);
  const float specials[] = {0.0f, -0.0f, kInf, kNaN, FLT_MAX, FLT_MIN, 1.0f, 1.0f, 2.0f};
  for (int trial = 0; trial < 3000; trial++) {
    const int half = 4 << (trial % 8);  // 4 .. 512
    std::vector<float> mag(static_cast<size_t>(half) + 2);
    const int style = trial % 4;
    for (int k = 0; k < half; k++) {
      const uint32_t r = rng();
      if (style == 0) {
        mag[k] = specials[r % 9];
      } else if (style == 1) {
        mag[k] = static_cast<float>(r % 4);  // many ties and plateaus
      } else if (style == 2) {
        mag[k] = (k % 37 == 0) ? 10.0f : 1.0f + static_cast<float>(r % 1000) * 1e-3f;  // long valleys
      } else {
        mag[k] = static_cast<float>(r) * 1e-9f;
      }
    }
    std::vector<float> phi(half), phi0(half), omega(half), psiA(half), psiB(half);
    for (int k = 0; k < half; k++) {
      phi[k] = std::uniform_real_distribution<float>(-3.2f, 3.2f)(rng);
      phi0[k] = std::uniform_real_distribution<float>(-3.2f, 3.2f)(rng);
      omega[k] = static_cast<float>(k) * 0.7853982f;
      psiA[k] = psiB[k] = std::uniform_real_distribution<float>(-3.2f, 3.2f)(rng);
    }
    std::vector<float> magA(mag), magB(mag);
    std::vector<int> peaksA(half + 1), peaksB(half + 1), valleysA(half + 2), valleysB(half + 2);
    use_vector_path(false);
    const int nA = vocoder_find_peaks(magA.data(), half, peaksA.data(), valleysA.data());
    {
      std::vector<int> peaksR(half + 1), valleysR(half + 2);
      ASSERT_EQ(nA, referencePeaks(mag, half, peaksR, valleysR)) << "trial " << trial;
      for (int p = 0; p < nA; p++) ASSERT_EQ(peaksR[p], peaksA[p]) << "trial " << trial;
      for (int p = 0; p < nA; p++) ASSERT_EQ(valleysR[p], valleysA[p]) << "trial " << trial;
    }
    if (!vectors) continue;
    vocoder_phase_lock(phi.data(), phi0.data(), psiA.data(), omega.data(), peaksA.data(), valleysA.data(), nA,
                       half, 1.33f);
    use_vector_path(true, kWidths[trial & 1]);
    const int nB = vocoder_find_peaks(magB.data(), half, peaksB.data(), valleysB.data());
    vocoder_phase_lock(phi.data(), phi0.data(), psiB.data(), omega.data(), peaksB.data(), valleysB.data(), nB,
                       half, 1.33f);
    ASSERT_EQ(nA, nB) << "trial " << trial;
    for (int p = 0; p < nA; p++) ASSERT_EQ(peaksA[p], peaksB[p]) << "trial " << trial;
    for (int p = 0; p <= nA; p++) ASSERT_EQ(valleysA[p], valleysB[p]) << "trial " << trial;
    for (int k = 0; k < half; k++)
      ASSERT_TRUE(sameBits(psiA[k], psiB[k])) << "trial " << trial << " bin " << k;
  }
}

// A few seconds of a tone mixture with silence, through the whole frame.
std::vector<float> testSignal(int count) {
  std::vector<float> v(static_cast<size_t>(count));
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  for (int i = 0; i < count; i++) {
    const double t = i / 44100.0;
    const bool silent = (i / 8000) % 5 == 4;
    v[static_cast<size_t>(i)] = silent ? 0.0f
                                       : static_cast<float>(0.3 * std::sin(2 * M_PI * 220 * t) +
                                                            0.2 * std::sin(2 * M_PI * 331.7 * t) +
                                                            0.1 * std::sin(2 * M_PI * 1870 * t)) +
                                             noise(rng);
  }
  return v;
}

std::vector<float> stretch(bool vector, bool wide, int winSize, int step, int stepOut, bool equaliser) {
  use_vector_path(vector, wide);
  use_vector_path(vector, wide);
  spectrum_enabled = 0;
  EXPECT_TRUE(vocoder_init(winSize, step));
  eq_enable(equaliser ? 1 : 0);
  const std::vector<float> in = testSignal(44100);
  std::vector<float> out;
  std::vector<float> chunk(static_cast<size_t>(stepOut) * 8);
  for (size_t at = 0; at + 4 * step <= in.size(); at += 4 * step) {
    for (int ch = 0; ch < 2; ch++) {
      const int written = vocoder_process(in.data() + at, 4 * step, chunk.data(), stepOut, ch);
      out.insert(out.end(), chunk.begin(), chunk.begin() + written);
    }
  }
  return out;
}

TEST(VectorPaths, FramesMatchThePortablePath) {
  if (!use_vector_path(true)) GTEST_SKIP() << "no AVX2 on this processor";
  ASSERT_TRUE(eq_init(2048));
  std::vector<float> gains(2048);
  for (int k = 0; k < 2048; k++) gains[k] = k % 97 == 0 ? -0.5f : 1.0f + 0.5f * std::sin(k * 0.01f);
  eq_setbands(gains.data());
  const struct {
    int winSize, step, stepOut;
    bool eq;
  } cases[] = {
      {2048, 512, 683, true}, {4096, 512, 341, false}, {512, 64, 128, true}, {1024, 512, 1024, false}};
  for (const auto& c : cases) {
    const std::vector<float> portable = stretch(false, false, c.winSize, c.step, c.stepOut, c.eq);
    for (bool wide : kWidths) {
      const std::vector<float> fast = stretch(true, wide, c.winSize, c.step, c.stepOut, c.eq);
      ASSERT_EQ(fast.size(), portable.size());
      for (size_t i = 0; i < fast.size(); i++)
        ASSERT_TRUE(sameBits(fast[i], portable[i])) << c.winSize << "/" << c.step << " sample " << i;
    }
  }
}

std::vector<float> analyse(bool vector, int channels) {
  use_vector_path(vector);
  spectrum_enabled = 1;
  spectrum_init(44100, channels);
  // The carried count outlives spectrum_init: bring it to 0 so that both
  // runs analyse at the same pushes.
  const SpectrumInspect state = spectrum_inspect();
  if (state.samplesIn > 0) {
    const std::vector<float> silence(static_cast<size_t>(state.analysisSamples - state.samplesIn));
    spectrum_push(silence.data(), static_cast<int>(silence.size()), channels == 2 ? 1 : 0);
    spectrum_init(44100, channels);
  }
  const std::vector<float> in = testSignal(2 * 44100);
  std::vector<float> levels;
  for (size_t at = 0; at + 683 <= in.size(); at += 683) {
    for (int ch = 0; ch < channels; ch++) spectrum_push(in.data() + at, 683, ch);
    const std::atomic<float>* v = spectrum_get();
    for (int i = 0; i < spectrum_size(); i++) levels.push_back(v[i].load());
  }
  return levels;
}

TEST(VectorPaths, SpectrumMatchesThePortablePath) {
  if (!use_vector_path(true)) GTEST_SKIP() << "no AVX2 on this processor";
  for (int channels = 1; channels <= 2; channels++) {
    const std::vector<float> fast = analyse(true, channels);
    const std::vector<float> portable = analyse(false, channels);
    ASSERT_EQ(fast.size(), portable.size());
    for (size_t i = 0; i < fast.size(); i++) ASSERT_TRUE(sameBits(fast[i], portable[i])) << "value " << i;
  }
}

// The output conversion of the block pipeline, eight samples at a time,
// against its definition sample by sample: limiter, clamp, truncation, NaN.
TEST(VectorPaths, OutputConversionMatchesItsDefinition) {
  auto pcm = [](float x) -> int16_t {
    if (x < -1.0f) return -32767;
    if (x > 1.0f) return 32767;
    if (std::isnan(x)) return 0;
    return static_cast<int16_t>(static_cast<int>(x * 32767.0f));
  };
  std::mt19937 rng(6);
  for (int trial = 0; trial < 20000; trial++) {
    const int n = static_cast<int>(rng() % 100);
    std::vector<float> out(static_cast<size_t>(n));
    for (float& v : out) {
      const uint32_t r = rng();
      v = std::ldexp(static_cast<float>(static_cast<int32_t>(r)) / 2147483648.0f,
                     static_cast<int>(rng() % 8) - 3);
      if (r % 97 == 0) v = kNaN;
      if (r % 89 == 0) v = kInf;
      if (r % 83 == 0) v = -0.0f;
    }
    const float scaling = 0.5f + static_cast<float>(rng() % 100) / 30.0f;
    const float gain = static_cast<float>(rng() % 50) / 7.0f;
    const float slope = (trial & 1) != 0 ? PIPELINE_MONO_LIMITER_SLOPE : PIPELINE_STEREO_LIMITER_SLOPE;
    const int stride = 1 + (trial & 1);
    const float start = static_cast<float>(rng() % 3) * 0.5f;
    std::vector<int16_t> got(static_cast<size_t>(n * stride + 1), 7);
    std::vector<int16_t> want(got);
    const float peak =
        pipeline_convert_output(out.data(), n, scaling, gain, slope, got.data(), stride, start);
    float wantPeak = start;
    for (int i = 0; i < n; i++) {
      const float o = (out[static_cast<size_t>(i)] / scaling) * gain;
      const float level = std::fabs(o);
      const float factor = level < 0.95f ? 1.0f : 1.0f - (level - 0.95f) * slope;
      wantPeak = std::fmax(wantPeak, level);
      want[static_cast<size_t>(i * stride)] = pcm(o * factor);
    }
    ASSERT_TRUE(sameBits(peak, wantPeak)) << "trial " << trial;
    ASSERT_EQ(got, want) << "trial " << trial;

    // A stereo block in one pass: the same as each channel in turn.
    const std::vector<float> right(out.rbegin(), out.rend());
    std::vector<int16_t> pair(static_cast<size_t>(2 * n + 1), 7), each(pair);
    const float pairPeak =
        pipeline_convert_output_pair(out.data(), right.data(), n, scaling, gain, slope, pair.data(), start);
    float eachPeak = pipeline_convert_output(out.data(), n, scaling, gain, slope, each.data(), 2, start);
    eachPeak = pipeline_convert_output(right.data(), n, scaling, gain, slope, each.data() + 1, 2, eachPeak);
    ASSERT_TRUE(sameBits(pairPeak, eachPeak)) << "trial " << trial;
    ASSERT_EQ(pair, each) << "trial " << trial;
  }
}

}  // namespace
