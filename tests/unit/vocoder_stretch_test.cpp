#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../support/default_engine.h"
#include "vocoder.h"

namespace {

constexpr double kRate = 44100.0;
constexpr int kFrame = 2048;
constexpr int kStepIn = kFrame / 4;
// Amplitude 0.5 through Hann analysis and synthesis windows overlapping at
// least three times: after the host's scaling, three quarters of it remain.
constexpr double kLevel = 0.375;

struct Stretched {
  std::vector<float> samples;
  double frequency;  // Hz, from rising zero crossings of the steady part
  double peak;       // largest magnitude of the steady part
};

// Stretches one second of a sine in blocks like the host's and undoes the
// overlap gain of the synthesis hop as the host does.
Stretched stretchSine(double freq, int samplesIn, int samplesOut) {
  EXPECT_TRUE(vocoder_init(kFrame, kStepIn));
  const int stepOut = kStepIn * samplesOut / samplesIn;
  const int total = 44100;
  std::vector<float> in(total);
  for (int t = 0; t < total; t++) in[t] = static_cast<float>(0.5 * std::sin(2 * M_PI * freq * t / kRate));

  Stretched s;
  std::vector<float> block(static_cast<size_t>(samplesIn) * kFrame);
  for (int pos = 0; pos < total; pos += samplesIn) {
    const int size = std::min(samplesIn, total - pos);
    const int expected = vocoder_frames_for(size, 0) * stepOut;
    const int written = vocoder_process(in.data() + pos, size, block.data(), stepOut, 0);
    EXPECT_EQ(written, expected);
    s.samples.insert(s.samples.end(), block.begin(), block.begin() + written);
  }
  EXPECT_EQ(s.samples.size(), static_cast<size_t>(total / kStepIn * stepOut));
  const float gain = static_cast<float>(kFrame) / (2.0f * static_cast<float>(stepOut));
  for (float& x : s.samples) x /= gain;

  // Skip the start-up (first two frames) and the end.
  const int from = 2 * kFrame, to = static_cast<int>(s.samples.size()) - kFrame;
  double first = -1, last = -1;
  int crossings = 0;
  s.peak = 0;
  for (int t = from; t < to; t++) {
    s.peak = std::max(s.peak, static_cast<double>(std::fabs(s.samples[t])));
    const float a = s.samples[t], b = s.samples[t + 1];
    if (a < 0 && b >= 0) {
      const double at = t + a / (a - b);
      if (first < 0) first = at;
      last = at;
      crossings++;
    }
  }
  s.frequency = (crossings - 1) * kRate / (last - first);
  return s;
}

double semitones(double f, double reference) {
  return 12.0 * std::log2(f / reference);
}

}  // namespace

TEST(VocoderStretch, SlowerKeepsThePitch) {
  for (double freq : {440.0, 1234.5}) {
    const Stretched s = stretchSine(freq, 768, 1024);  // 4/3 as long
    EXPECT_LT(std::fabs(semitones(s.frequency, freq)), 0.1) << freq << " Hz came out at " << s.frequency;
    EXPECT_NEAR(s.peak, kLevel, 0.02) << freq;
  }
}

TEST(VocoderStretch, FasterKeepsThePitch) {
  for (double freq : {440.0, 1234.5}) {
    const Stretched s = stretchSine(freq, 1024, 768);  // 3/4 as long
    EXPECT_LT(std::fabs(semitones(s.frequency, freq)), 0.1) << freq << " Hz came out at " << s.frequency;
    EXPECT_NEAR(s.peak, kLevel, 0.02) << freq;
  }
}
