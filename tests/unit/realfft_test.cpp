// The fine mode's real transform: every size against the direct sum in
// double precision, every path against the scalar steps, and the fine
// mode's output against what the exact mode's transform gives it.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "../support/test_material.h"
#include "eq.h"
#include "fft.h"
#include "fine.h"
#include "fine_testing.h"
#include "realfft.h"
#include "spectrum.h"
#include "realfft_testing.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr RealFftPath kPaths[] = {RealFftPath::Scalar, RealFftPath::Portable, RealFftPath::Avx2,
                                  RealFftPath::Avx512};
// Error allowed per pass over the data, in units of FLT_EPSILON times the
// sum of the magnitudes that go in (every output value is a sum of them).
constexpr double kUlpsPerPass = 1.0;

std::vector<float> noise(int n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(static_cast<size_t>(n));
  for (float& x : v) x = d(gen);
  return v;
}

double bound(int n, double sumAbs) {
  return kUlpsPerPass * std::log2(static_cast<double>(n)) * FLT_EPSILON * sumAbs;
}

struct Rig {
  int n;
  RealFftPtr state;
  std::vector<double> cosT, sinT;  // cos and sin of 2 pi j / n
  explicit Rig(int size) : n(size), state(realfft_create(size)) {
    for (int j = 0; j < n; j++) {
      cosT.push_back(std::cos(kTwoPi * j / n));
      sinT.push_back(std::sin(kTwoPi * j / n));
    }
  }
};

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(RealFft, ForwardIsTheWindowedFramesSpectrumAtEverySize) {
  for (int n = REALFFT_MIN_SIZE; n <= REALFFT_MAX_SIZE; n *= 2) {
    Rig rig(n);
    ASSERT_TRUE(rig.state) << n;
    EXPECT_EQ(realfft_size(*rig.state), n);
    const std::vector<float> x = noise(n, 1u + n);
    std::vector<float> w = noise(n, 2u + n);
    double sumAbs = 0.0;
    for (int j = 0; j < n; j++) sumAbs += std::fabs(static_cast<double>(x[j] * w[j]));
    const int half = n / 2;
    std::vector<double> refRe(half), refIm(half);
    for (int k = 0; k < half; k++) {
      for (int j = 0; j < n; j++) {
        const double v = static_cast<double>(x[j] * w[j]);
        const int a = static_cast<int>((static_cast<long>(k) * j) % n);
        refRe[k] += v * rig.cosT[a];
        refIm[k] -= v * rig.sinT[a];
      }
    }
    std::vector<float> scalarRe(half), scalarIm(half);
    ASSERT_TRUE(realfft_forward_by(RealFftPath::Scalar, *rig.state, x.data(), w.data(), scalarRe.data(),
                                   scalarIm.data()));
    for (RealFftPath path : kPaths) {
      std::vector<float> re(half, 7.0f), im(half, 7.0f);
      if (!realfft_forward_by(path, *rig.state, x.data(), w.data(), re.data(), im.data())) {
        EXPECT_EQ(re, std::vector<float>(half, 7.0f)) << "a refused path wrote";
        continue;
      }
      double worst = 0.0;
      for (int k = 0; k < half; k++)
        worst = std::max({worst, std::fabs(re[k] - refRe[k]), std::fabs(im[k] - refIm[k])});
      EXPECT_LE(worst, bound(n, sumAbs)) << "size " << n << " path " << static_cast<int>(path);
      // The vector paths group values, never their operations.
      EXPECT_TRUE(sameBits(re, scalarRe) && sameBits(im, scalarIm))
          << "size " << n << " path " << static_cast<int>(path);
    }
    // The dispatch takes one of them.
    std::vector<float> re(half), im(half);
    realfft_forward(*rig.state, x.data(), w.data(), re.data(), im.data());
    EXPECT_TRUE(sameBits(re, scalarRe) && sameBits(im, scalarIm)) << n;
  }
}

// out[j] = Re sum_k X_k e^{+2 pi i k j / n}, k < n/2; the same as half the
// real inverse of the Hermitian extension whose DC bin is 2 Re X_0 and whose
// Nyquist bin is 0, which the split pass relies on.
TEST(RealFft, InverseIsTheOneSidedSumAtEverySize) {
  for (int n = REALFFT_MIN_SIZE; n <= REALFFT_MAX_SIZE; n *= 2) {
    Rig rig(n);
    ASSERT_TRUE(rig.state) << n;
    const int half = n / 2;
    const std::vector<float> xr = noise(half, 3u + n);
    const std::vector<float> xi = noise(half, 4u + n);  // X_0's imaginary part must play no part
    double sumAbs = 0.0;
    for (int k = 0; k < half; k++) sumAbs += std::hypot(static_cast<double>(xr[k]), xi[k]);
    std::vector<double> ref(n), hermitian(n);
    for (int j = 0; j < n; j++) {
      for (int k = 0; k < half; k++) {
        const int a = static_cast<int>((static_cast<long>(k) * j) % n);
        ref[j] += xr[k] * rig.cosT[a] - xi[k] * rig.sinT[a];
      }
      // H_k for k = 0 .. n-1: 2 Re X_0, X_k, 0 at n/2, conj X_{n-k}.
      double sum = 2.0 * xr[0];
      for (int k = 1; k < n; k++) {
        if (k == half) continue;
        const double hr = k < half ? xr[k] : xr[n - k];
        const double hi = k < half ? xi[k] : -xi[n - k];
        const int a = static_cast<int>((static_cast<long>(k) * j) % n);
        sum += hr * rig.cosT[a] - hi * rig.sinT[a];
      }
      hermitian[j] = 0.5 * sum;
      ASSERT_NEAR(hermitian[j], ref[j], 1e-9 * sumAbs) << "size " << n << " sample " << j;
    }
    std::vector<float> scalar(n);
    ASSERT_TRUE(realfft_inverse_by(RealFftPath::Scalar, *rig.state, xr.data(), xi.data(), scalar.data()));
    for (RealFftPath path : kPaths) {
      std::vector<float> out(n);
      if (!realfft_inverse_by(path, *rig.state, xr.data(), xi.data(), out.data())) continue;
      double worst = 0.0;
      for (int j = 0; j < n; j++) worst = std::max(worst, std::fabs(out[j] - ref[j]));
      EXPECT_LE(worst, bound(n, sumAbs)) << "size " << n << " path " << static_cast<int>(path);
      EXPECT_TRUE(sameBits(out, scalar)) << "size " << n << " path " << static_cast<int>(path);
    }
  }
}

// The analyser's zero-padded transform skips the zeros and the bins it is
// not asked for, and gives the full transform's bits for those it is.
TEST(RealFft, PaddedForwardIsTheFullOneOnThePaddedFrame) {
  for (int n : {REALFFT_MIN_SIZE, 64, 512, 4096, REALFFT_MAX_SIZE}) {
    Rig rig(n);
    std::vector<float> x = noise(n, 5u + n), ones(n, 1.0f);
    std::fill(x.begin() + n / 2, x.end(), 0.0f);
    std::vector<float> fullRe(n / 2), fullIm(n / 2);
    realfft_forward(*rig.state, x.data(), ones.data(), fullRe.data(), fullIm.data());
    for (RealFftPath path : kPaths) {
      for (int bins : {1, n / 8 + 3, n / 2}) {
        std::vector<float> re(n / 2, -1.0f), im(n / 2, -1.0f);
        if (!realfft_forward_padded_by(path, *rig.state, x.data(), re.data(), im.data(), bins)) continue;
        re.resize(bins);
        im.resize(bins);
        EXPECT_TRUE(sameBits(re, std::vector<float>(fullRe.begin(), fullRe.begin() + bins)) &&
                    sameBits(im, std::vector<float>(fullIm.begin(), fullIm.begin() + bins)))
            << "size " << n << " path " << static_cast<int>(path) << " bins " << bins;
      }
    }
  }
}

TEST(RealFft, RefusesSizesItCannotTake) {
  for (int n : {0, 4, 12, 100, 16384, -8}) EXPECT_EQ(realfft_create(n), nullptr) << n;
}

// A fine-mode stream (4096-sample frames, blocks of 4096 in, the output
// sized by cumulative rounding) at full precision, with the given transform.
quality::Stereo fineStream(const quality::Stereo& in, double tempo, int overSampling, bool exactTransform) {
  const int n = 4096;
  FftState* fft = fft_create();
  EqState* eq = eq_create();
  SpectrumState* spectrum = spectrum_create();
  spectrum_enable(*spectrum, 0);
  fft_init(*fft, n);
  FineState* fine = fine_create(*fft, *eq, *spectrum);
  fine_init(*fine, n, n / overSampling);
  fine_exact_transform_for_testing(exactTransform);
  quality::Stereo out;
  const long total = static_cast<long>(in.left.size());
  long made = 0;
  for (long at = 0; at + n <= total; at += n) {
    const long next = std::lround((at + n) / tempo);
    const int count = static_cast<int>(next - made);
    out.left.resize(static_cast<size_t>(next));
    out.right.resize(static_cast<size_t>(next));
    fine_process(*fine, in.left.data() + at, in.right.data() + at, n, out.left.data() + made,
                 out.right.data() + made, count);
    made = next;
  }
  fine_exact_transform_for_testing(false);
  fine_destroy(fine);
  spectrum_destroy(spectrum);
  eq_destroy(eq);
  fft_destroy(fft);
  return out;
}

double differenceDb(const quality::Stereo& a, const quality::Stereo& b) {
  double signal = 0.0;
  double diff = 0.0;
  for (size_t i = 0; i < a.left.size(); i++) {
    signal += a.left[i] * a.left[i] + a.right[i] * a.right[i];
    const double dl = static_cast<double>(b.left[i]) - a.left[i];
    const double dr = static_cast<double>(b.right[i]) - a.right[i];
    diff += dl * dl + dr * dr;
  }
  return 10.0 * std::log10(std::max(diff, 1e-30) / signal);
}

// The same over the magnitudes of short-time spectra (Hann frames of 4096,
// hop 1024, both channels): what is heard, whatever the phases.
double magnitudeDifferenceDb(const quality::Stereo& a, const quality::Stereo& b) {
  const int n = 4096;
  RealFftPtr t(realfft_create(n));
  std::vector<float> window(n), re(n / 2), im(n / 2);
  for (int j = 0; j < n; j++) window[j] = static_cast<float>(0.5 - 0.5 * std::cos(kTwoPi * j / n));
  double signal = 0.0;
  double diff = 0.0;
  std::vector<double> magnitudes(n / 2);
  for (size_t at = 0; at + n <= a.left.size(); at += n / 4) {
    for (int c = 0; c < 2; c++) {
      realfft_forward(*t, (c == 0 ? a.left : a.right).data() + at, window.data(), re.data(), im.data());
      for (int k = 0; k < n / 2; k++) magnitudes[k] = std::hypot(re[k], im[k]);
      realfft_forward(*t, (c == 0 ? b.left : b.right).data() + at, window.data(), re.data(), im.data());
      for (int k = 0; k < n / 2; k++) {
        const double d = std::hypot(re[k], im[k]) - magnitudes[k];
        signal += magnitudes[k] * magnitudes[k];
        diff += d * d;
      }
    }
  }
  return 10.0 * std::log10(std::max(diff, 1e-30) / signal);
}

// The fine mode's output with its own transform and with the exact mode's.
// A steady tone comes out the same to far below what anyone hears. Music
// comes out the same in what is heard, the short-time magnitudes, but not
// sample by sample: the exact transform's error (its twiddles are running
// products) reaches about 1e-5 of a frame's magnitude sum, 200 times the real
// transform's, and an error of even 1e-7 of it can tip one of the frame's
// choices (a peak, an attack) the other way, after which a partial carries
// on with another, steady, phase.
TEST(RealFft, TheFineModeSoundsAsWithTheExactTransform) {
  const int rate = 44100;
  const std::vector<float> tone = quality::steadyTone(rate, 3.0);
  const quality::Stereo steady{tone, tone};
  const quality::Stereo steadyExact = fineStream(steady, 0.5, 8, true);
  const quality::Stereo steadyOwn = fineStream(steady, 0.5, 8, false);
  ASSERT_EQ(steadyExact.left.size(), steadyOwn.left.size());
  EXPECT_LT(differenceDb(steadyExact, steadyOwn), -90.0);
  const quality::Stereo music = quality::musicPiece(rate, 2);
  const quality::Stereo tonal = quality::musicPiece(rate, 2, quality::kBass | quality::kChords | quality::kMelody);
  struct Case {
    const quality::Stereo* in;
    double tempo;
    int overSampling;
    double boundDb;  // partials alone; with drums, whose noise changes phases
  };
  // The last case's analysis hop (1.5 half frames) is too long to unwrap: it
  // takes the second analysis a short step before each frame.
  for (const Case& c : {Case{&tonal, 0.75, 8, -80.0}, Case{&music, 0.75, 8, -40.0}, Case{&music, 0.5, 8, -40.0},
                        Case{&tonal, 1.5, 2, -80.0}}) {
    const quality::Stereo exact = fineStream(*c.in, c.tempo, c.overSampling, true);
    const quality::Stereo own = fineStream(*c.in, c.tempo, c.overSampling, false);
    ASSERT_EQ(exact.left.size(), own.left.size());
    EXPECT_LT(magnitudeDifferenceDb(exact, own), c.boundDb) << "tempo " << c.tempo;
  }
}

}  // namespace
