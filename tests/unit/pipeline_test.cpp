// The block pipeline, driven directly: its conversions, its panning gains,
// how its work buffers grow, and when voice removal starts.
#include "pipeline.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "../support/default_engine.h"
#include "iirfilter.h"
#include "pipeline_testing.h"

namespace {

int16_t convertOne(float x, float slope, float* peak = nullptr) {
  int16_t out = 0;
  const float level = pipeline_convert_output(&x, 1, 1.0f, 1.0f, slope, &out, 1, 0.0f);
  if (peak != nullptr) *peak = level;
  return out;
}

TEST(PipelineConversion, WorkedValuesOfBothPaths) {
  struct Case {
    float x;
    int mono;
    int stereo;
  };
  const Case cases[] = {
      {0.5f, 16383, 16383},    {-0.5f, -16383, -16383}, {0.95f, 31128, 31128}, {1.0f, 32357, 32562},
      {-1.0f, -32357, -32562}, {0.96f, 31377, 31416},   {1.2f, 32767, 32767},  {2.0f, 32767, 32767},
      {6.0f, -32767, 32767},   {9.0f, -32767, -1843},   {0.0f, 0, 0},          {-2.0f, -32767, -32767},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.mono, convertOne(c.x, PIPELINE_MONO_LIMITER_SLOPE)) << c.x;
    EXPECT_EQ(c.stereo, convertOne(c.x, PIPELINE_STEREO_LIMITER_SLOPE)) << c.x;
  }
}

TEST(PipelineConversion, PeakIsTakenBeforeTheLimiterAndNeverMakesNoise) {
  float peak = 0;
  EXPECT_EQ(32767, convertOne(2.0f, PIPELINE_MONO_LIMITER_SLOPE, &peak));
  EXPECT_EQ(2.0f, peak);
  EXPECT_EQ(-32767, convertOne(-6.0f, PIPELINE_STEREO_LIMITER_SLOPE, &peak));
  EXPECT_EQ(6.0f, peak);

  // Scaling and gain come first: 1.5 / 3 x 2 = 1.0.
  const float out[] = {1.5f, -0.75f, 0.3f};
  int16_t dest[6] = {7, 7, 7, 7, 7, 7};
  peak = pipeline_convert_output(out, 3, 3.0f, 2.0f, PIPELINE_STEREO_LIMITER_SLOPE, dest + 1, 2, 0.25f);
  EXPECT_EQ(1.0f, peak);
  EXPECT_EQ((std::vector<int16_t>{7, 32562, 7, -16383, 7, 6553}), std::vector<int16_t>(dest, dest + 6));
  EXPECT_EQ(3.0f, pipeline_convert_output(out, 0, 1.0f, 1.0f, PIPELINE_MONO_LIMITER_SLOPE, dest, 1, 3.0f));

  // A NaN gain (the setters store what they are given) writes silence and
  // leaves the peak alone; an infinite one is clamped.
  const float one = 1.0f;
  int16_t s = 7;
  EXPECT_EQ(0.5f, pipeline_convert_output(&one, 1, 1.0f, NAN, PIPELINE_MONO_LIMITER_SLOPE, &s, 1, 0.5f));
  EXPECT_EQ(0, s);
  pipeline_convert_output(&one, 1, 1.0f, INFINITY, PIPELINE_MONO_LIMITER_SLOPE, &s, 1, 0.0f);
  EXPECT_EQ(-32767, s);
}

TEST(PipelinePanning, GainsForEachLevel) {
  struct Case {
    int level;
    PipelinePanGains g;
  };
  const Case cases[] = {
      {0, {0.0f, 1.0f, 0.0f, 1.0f}},    {25, {0.5f, 0.5f, 0.0f, 1.0f}},   {50, {1.0f, 0.0f, 0.0f, 1.0f}},
      {75, {1.0f, 0.0f, 0.5f, 0.5f}},   {100, {1.0f, 0.0f, 1.0f, 0.0f}},  {10, {0.2f, 0.8f, 0.0f, 1.0f}},
      {150, {1.0f, 0.0f, 2.0f, -1.0f}}, {-50, {-1.0f, 2.0f, 0.0f, 1.0f}},
  };
  for (const Case& c : cases) {
    const PipelinePanGains g = pipeline_panning_gains(c.level);
    EXPECT_EQ(c.g.leftLevelLeft, g.leftLevelLeft) << c.level;
    EXPECT_EQ(c.g.leftLevelRight, g.leftLevelRight) << c.level;
    EXPECT_EQ(c.g.rightLevelLeft, g.rightLevelLeft) << c.level;
    EXPECT_EQ(c.g.rightLevelRight, g.rightLevelRight) << c.level;
  }
  // Levels far outside 0..100 are stored as given and must not overflow.
  EXPECT_EQ(1.0f, pipeline_panning_gains(INT_MIN).rightLevelRight);
  EXPECT_EQ(1.0f, pipeline_panning_gains(INT_MAX).leftLevelLeft);
}

// Entry points through the fake environment.
class PipelineBlocks : public ::testing::Test {
 protected:
  void init(int frameSize, int overSampling, int rate, int channels) {
    ASSERT_EQ(PipelineStatus::Ok, pipeline_init(frameSize, overSampling, rate, channels));
  }

  // A two-tone signal, different on each channel.
  static std::vector<int16_t> music(int channels, int frames, int start) {
    std::vector<int16_t> v(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; i++) {
      const double t = (start + i) / 44100.0;
      for (int c = 0; c < channels; c++) {
        const double f = c == 0 ? 440.0 : 1250.0;
        v[static_cast<size_t>(i) * channels + c] = static_cast<int16_t>(
            std::lround(12000 * std::sin(2 * M_PI * f * t) + 3000 * std::sin(7 * t * f)));
      }
    }
    return v;
  }

  // Processes a block in place in exactly max(in, out) frames; returns them
  // all afterwards.
  std::vector<int16_t> block(int channels, int in, int out, int start) {
    std::vector<int16_t> data = music(channels, std::max(in, out), start);
    EXPECT_EQ(PipelineStatus::Ok, pipeline_process(data.data(), in, out));
    return data;
  }
};

TEST_F(PipelineBlocks, FirstBlockSizesTheBuffersAndLargerBlocksGrowThem) {
  init(2048, 4, 44100, 1);
  EXPECT_EQ(0u, pipeline_input_capacity());
  block(1, 1000, 1000, 0);
  EXPECT_EQ(4000u, pipeline_input_capacity());
  EXPECT_EQ(8000u + 2048u, pipeline_output_capacity());  // one largest hop of room
  // Hop 1024 over 8 frames writes 8192 floats for 8000 read back: that room
  // is what keeps it in bounds without growing.
  const std::vector<int16_t> out = block(1, 4000, 8000, 1000);
  EXPECT_EQ(8000u + 2048u, pipeline_output_capacity());
  int peak = 0;
  for (int16_t s : out) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_GT(peak, 4000);
  EXPECT_LT(peak, 32767);

  // Stereo after a re-init: the same buffers serve both channels.
  init(2048, 4, 44100, 2);
  block(2, 4000, 8000, 0);
  block(2, 9000, 9000, 4000);
  EXPECT_EQ(9000u, pipeline_input_capacity());
  EXPECT_GE(pipeline_output_capacity(), 9216u);
}

TEST_F(PipelineBlocks, FirstBlockWithALargeRatioGetsRoomForItsOutput) {
  init(256, 64, 44100, 2);  // analysis hop 4
  block(2, 10, 600, 0);     // synthesis hop 240
  EXPECT_GE(pipeline_output_capacity(), 600u);
  block(2, 3, 180, 10);
}

TEST_F(PipelineBlocks, GrowingKeepsWhatTheVocoderDidNotRewrite) {
  // Analysis hop 8. After a run-in that fills the vocoder's history, block A
  // (hop 256) writes 512 values; block B (hop 200) writes 400, reads 575 and
  // so grows the buffers (to 600 for the three frames that 23 samples may
  // fire, plus a 256 hop of room): its values 400..511 are still block A's.
  auto run = [this] {
    init(256, 32, 44100, 1);
    for (int i = 0; i < 32; i++) block(1, 8, 256, 8 * i);
    block(1, 16, 512, 256);
    return block(1, 23, 575, 272);
  };
  const std::vector<int16_t> grown = run();
  EXPECT_EQ(600u + 256u, pipeline_output_capacity());
  const std::vector<int16_t> again = run();
  EXPECT_EQ(grown, again);
  int stale = 0;
  for (int i = 400; i < 512; i++) stale = std::max(stale, std::abs(static_cast<int>(grown[i])));
  EXPECT_GT(stale, 100);
}

TEST_F(PipelineBlocks, VoiceRemovalWaitsForCoefficients) {
  auto run = [this] {
    init(256, 4, 44100, 2);
    std::vector<int16_t> out = block(2, 512, 768, 0);
    const std::vector<int16_t> more = block(2, 512, 768, 512);
    out.insert(out.end(), more.begin(), more.end());
    return out;
  };
  const std::vector<int16_t> plain = run();
  pipeline_set_voice_removal(true);
  pipeline_set_voice_removal_amount(1.0f);
  EXPECT_EQ(plain, run());

  const double a[] = {1.0, -0.5};
  const double b[] = {1.0, 0.0};
  ASSERT_EQ(IIR_OK, iir_init_filters(a, b, 2, 2));
  EXPECT_NE(plain, run());
}

TEST(PipelineStatuses, RefusedCallsChangeNothingAndSayWhy) {
  std::vector<int16_t> data(200, 7);
  EXPECT_EQ(PipelineStatus::NotSetUp, pipeline_process(data.data(), 50, 50));
  EXPECT_EQ(PipelineStatus::BadFrameSize, pipeline_init(48, 4, 44100, 2));
  EXPECT_EQ(PipelineStatus::BadOverSampling, pipeline_init(256, 512, 44100, 2));
  EXPECT_EQ(PipelineStatus::BadSampleRate, pipeline_init(256, 4, 31, 2));
  EXPECT_EQ(PipelineStatus::BadChannels, pipeline_init(256, 4, 44100, 3));
  EXPECT_EQ(0, pipeline_stream().frameSize);
  ASSERT_EQ(PipelineStatus::Ok, pipeline_init(256, 4, 44100, 2));
  EXPECT_EQ(PipelineStatus::BadSamplesIn, pipeline_process(data.data(), 0, 50));
  // Analysis hop 64: 10 frames in, 50 out would need a hop of 320.
  EXPECT_EQ(PipelineStatus::BadSynthesisHop, pipeline_process(data.data(), 10, 50));
  EXPECT_EQ(std::vector<int16_t>(200, 7), data);
  EXPECT_EQ(0u, pipeline_input_capacity());
}

}  // namespace
