#include "spectrum.h"

#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../support/default_engine.h"
#include "detmath.h"
#include "spectrum_testing.h"

namespace {

using Levels = std::array<float, SPECTRUM_NOTES>;

Levels levels() {
  Levels out;
  for (int i = 0; i < SPECTRUM_NOTES; ++i) out[i] = spectrum_get()[i].load(std::memory_order_relaxed);
  return out;
}

std::vector<float> history() {
  const float* h = spectrum_inspect().history;
  return std::vector<float>(h, h + SPECTRUM_HISTORY);
}

int64_t carried() {
  return spectrum_inspect().samplesIn;
}

// n samples of a sine of frequency f at rate, starting at sample offset start.
std::vector<float> sine(double f, float amplitude, int rate, int n, long start = 0) {
  std::vector<float> out(n);
  for (int i = 0; i < n; ++i)
    out[i] = amplitude * static_cast<float>(std::sin(2 * M_PI * f * (start + i) / rate));
  return out;
}

// Pushes one chunk and tells whether it ran an analysis (the levels moved).
bool pushAnalyses(const std::vector<float>& chunk, int size, int channel) {
  const Levels before = levels();
  spectrum_push(chunk.data(), size, channel);
  return levels() != before;
}

TEST(SpectrumSetUp, RatesFrequenciesAndClearedState) {
  const int rates[][3] = {{44100, 11025, 1378}, {48000, 12000, 1500}, {22050, 5512, 689}};
  for (const auto& r : rates) {
    spectrum_init(r[0], 2);
    EXPECT_EQ(spectrum_inspect().sampleRate, r[1]);
    EXPECT_EQ(spectrum_inspect().analysisSamples, r[2]);
  }
  EXPECT_EQ(spectrum_size(), SPECTRUM_NOTES);
  EXPECT_EQ(spectrum_get(), spectrum_get());
  EXPECT_EQ(levels(), Levels{});
  EXPECT_EQ(history(), std::vector<float>(SPECTRUM_HISTORY, 0.0f));
  const float as[] = {55.0f, 110.0f, 220.0f, 440.0f, 880.0f, 1760.0f};
  for (int octave = 0; octave < 6; ++octave) EXPECT_EQ(spectrum_note_frequency(9 + 12 * octave), as[octave]);
  EXPECT_NEAR(spectrum_note_frequency(0), 32.7032, 1e-4);
  EXPECT_NEAR(spectrum_note_frequency(71), 1975.533, 1e-3);
}

TEST(SpectrumSetUp, TablesTakeTheSineOfTheFloatRoundedPhase) {
  spectrum_init(44100, 1);
  for (int note : {0, 45, 71}) {
    for (int p : {0, 1, 2047, 4095}) {
      const float arg = static_cast<float>(6.283185307179586 * spectrum_note_frequency(note) * p / 11025.0);
      float s, c, tableCos, tableSin;
      tmath_sincosf(arg, &s, &c);
      spectrum_coefficients(note, p, &tableCos, &tableSin);
      EXPECT_EQ(tableCos, c) << note << " " << p;
      EXPECT_EQ(tableSin, -s) << note << " " << p;
    }
  }
}

// Guards the order and precision of every sum: two analyses recomputed plainly.
TEST(SpectrumAnalysis, MatchesAPlainRecomputationToTheLastBit) {
  spectrum_init(48000, 1);
  std::vector<float> chunk = sine(523.0, 0.6f, 48000, 16384);
  for (int i = 0; i < 16384; ++i) chunk[i] += 0.3f * static_cast<float>(std::sin(i * 0.37 + 0.001 * i * i));
  Levels expected{};
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) std::reverse(chunk.begin(), chunk.end());
    spectrum_push(chunk.data(), 16384, 0);
    for (int i = 0; i < SPECTRUM_NOTES; ++i) {
      float sinPart = 0.0f, cosPart = 0.0f;
      for (int k = 0; k < SPECTRUM_HISTORY; ++k) {
        const float w =
            static_cast<float>(chunk[4 * k] * (0.5 - 0.5 * tmath_cos(6.283185307179586 * k / 4096)));
        float c, s;
        spectrum_coefficients(i, k, &c, &s);
        sinPart += w * s;
        cosPart += w * c;
      }
      const float m =
          static_cast<float>(std::sqrt(static_cast<double>(sinPart * sinPart + cosPart * cosPart)) / 4096);
      expected[i] = m + 0.2f * expected[i];
    }
    ASSERT_EQ(levels(), expected) << "pass " << pass;
  }
}

TEST(SpectrumAnalysis, SteadySineSettlesNearFiveSixteenthsOfItsAmplitude) {
  for (int note : {21, 45, 57}) {
    spectrum_init(44100, 1);
    const float f = spectrum_note_frequency(note);
    for (long start = 0; start < 44100; start += 512)
      spectrum_push(sine(f, 0.8f, 44100, 512, start).data(), 512, 0);
    const Levels v = levels();
    EXPECT_NEAR(v[note], 0.3125f * 0.8f, 0.002f) << note;
    for (float x : v) EXPECT_GE(x, 0.0f);
  }
}

TEST(SpectrumAnalysis, NeighbouringSemitonesSeparateFromE4Up) {
  spectrum_init(44100, 1);
  // A whole-history chunk analyses at once; the previous level is taken out of
  // the smoothing to get this analysis' magnitude.
  auto magnitudes = [](int note) {
    const Levels before = levels();
    spectrum_push(sine(spectrum_note_frequency(note), 0.5f, 44100, 16384).data(), 16384, 0);
    Levels m = levels();
    for (int i = 0; i < SPECTRUM_NOTES; ++i) m[i] -= 0.2f * before[i];
    return m;
  };
  for (int note = 40; note < SPECTRUM_NOTES; ++note) {
    const Levels m = magnitudes(note);
    EXPECT_NEAR(m[note], 0.125f, 1e-4f) << note;
    EXPECT_LT(m[note - 1], 1e-3f * m[note]) << note;
    if (note + 1 < SPECTRUM_NOTES) {
      EXPECT_LT(m[note + 1], 1e-3f * m[note]) << note;
    }
  }
  // 4096 decimated samples cannot resolve the lowest octave: A1's lower
  // neighbour gets about 39 % of A1.
  const Levels low = magnitudes(9);
  EXPECT_NEAR(low[8] / low[9], 0.39f, 0.02f);
}

TEST(SpectrumCadence, MonoCountsEveryPushStereoOnlyTheSecondChannel) {
  for (int channels : {1, 2}) {
    spectrum_init(44100, channels);
    const int64_t first = carried();  // init keeps the count
    int64_t expectedCount = first, analyses = 0;
    for (long start = 0; start + 512 <= 44100; start += 512) {
      const std::vector<float> chunk = sine(440.0, 0.5f, 44100, 512, start);
      if (channels == 2) {
        EXPECT_FALSE(pushAnalyses(chunk, 512, 0));
        EXPECT_EQ(carried(), expectedCount);
      }
      expectedCount += 512;
      const bool due = expectedCount >= 1378;
      if (due) expectedCount -= 1378;
      EXPECT_EQ(pushAnalyses(chunk, 512, channels - 1), due) << start;
      EXPECT_EQ(carried(), expectedCount);
      analyses += due;
    }
    EXPECT_EQ(analyses, (first + 44032) / 1378);  // about 32 per second of output
  }
}

TEST(SpectrumCadence, StereoSecondChannelAveragesIntoTheNewestPositions) {
  spectrum_init(44100, 2);
  const std::vector<float> a = sine(300.0, 0.5f, 44100, 400), b = sine(500.0, 0.7f, 44100, 400),
                           c = sine(700.0, 0.6f, 44100, 400);
  // Channel 0 pushes twice before channel 1 pushes once: only the newest
  // positions are mixed, and the earlier chunk stays as channel 0 left it.
  spectrum_push(a.data(), 400, 0);
  spectrum_push(b.data(), 400, 0);
  spectrum_push(c.data(), 400, 1);
  const std::vector<float> h = history();
  for (int k = 0; k < 100; ++k) EXPECT_EQ(h[3896 + k], a[4 * k]);
  for (int k = 0; k < 100; ++k) EXPECT_EQ(h[3996 + k], (b[4 * k] + c[4 * k]) * 0.5f);
  for (int k = 0; k < 3896; ++k) ASSERT_EQ(h[k], 0.0f);
  EXPECT_EQ(carried(), 400);
}

TEST(SpectrumPush, TinyHugeAndExactChunks) {
  spectrum_init(44100, 1);
  const std::vector<float> ramp = [] {
    std::vector<float> r(20000);
    for (int i = 0; i < 20000; ++i) r[i] = i * 1e-4f;
    return r;
  }();
  for (int size = 1; size <= 3; ++size) EXPECT_FALSE(pushAnalyses(ramp, size, 0));
  EXPECT_EQ(history(), std::vector<float>(SPECTRUM_HISTORY, 0.0f));
  EXPECT_EQ(carried(), 6);
  // More than a whole history: the first 4096 taken samples replace it.
  EXPECT_TRUE(pushAnalyses(ramp, 20000, 0));
  for (int p = 0; p < SPECTRUM_HISTORY; ++p) ASSERT_EQ(history()[p], ramp[4 * p]);
  EXPECT_EQ(carried(), 20006 - 1378);  // the whole remainder is carried
  // The backlog drains one analysis per push, even of an empty chunk (the
  // levels of an unchanged history soon stop moving, so the count tells):
  // 18628 = 13 x 1378 + 714.
  for (int i = 0; i < 13; ++i) {
    spectrum_push(ramp.data(), 0, 0);
    EXPECT_EQ(carried(), 18628 - 1378 * (i + 1));
  }
  EXPECT_FALSE(pushAnalyses(ramp, 0, 0));
  EXPECT_FALSE(pushAnalyses(ramp, 663, 0));
  EXPECT_TRUE(pushAnalyses(ramp, 1, 0));
  EXPECT_EQ(carried(), 0);
  EXPECT_TRUE(pushAnalyses(ramp, 1378 + 100, 0));
  EXPECT_EQ(carried(), 100);

  spectrum_init(44100, 2);
  const std::vector<float> before = history();
  for (int size = 1; size <= 3; ++size) spectrum_push(ramp.data(), size, 1);
  EXPECT_EQ(history(), before);
  EXPECT_EQ(carried(), 106);
  spectrum_push(ramp.data(), 20000, 0);
  for (int p = 0; p < SPECTRUM_HISTORY; ++p) ASSERT_EQ(history()[p], ramp[4 * p]);
  EXPECT_EQ(carried(), 106);
}

TEST(SpectrumPush, DisabledFreezesEverythingAndResumesFromTheFrozenHistory) {
  spectrum_init(44100, 1);
  const std::vector<float> s = sine(440.0, 0.5f, 44100, 16384);
  spectrum_push(s.data(), 2000, 0);
  const Levels frozenLevels = levels();
  const std::vector<float> frozen = history();
  const int64_t count = carried();
  spectrum_enabled.store(0);
  spectrum_push(s.data(), 16384, 0);
  EXPECT_EQ(levels(), frozenLevels);
  EXPECT_EQ(history(), frozen);
  EXPECT_EQ(carried(), count);
  spectrum_enabled.store(7);  // any non-zero value switches it on
  spectrum_push(s.data(), 8, 0);
  const std::vector<float> h = history();
  for (int p = 0; p < SPECTRUM_HISTORY - 2; ++p) ASSERT_EQ(h[p], frozen[p + 2]);
  EXPECT_EQ(h[4094], s[0]);
  EXPECT_EQ(h[4095], s[4]);
}

TEST(SpectrumPush, RepeatedInitKeepsTheCarriedCountAndTheSwitch) {
  spectrum_init(44100, 1);
  const std::vector<float> s = sine(440.0, 0.5f, 44100, 16384);
  spectrum_push(s.data(), 1000, 0);
  spectrum_enabled.store(0);
  spectrum_init(48000, 1);
  EXPECT_EQ(spectrum_enabled.load(), 0);
  spectrum_enabled.store(1);
  EXPECT_EQ(carried(), 1000);
  EXPECT_EQ(history(), std::vector<float>(SPECTRUM_HISTORY, 0.0f));
  EXPECT_EQ(levels(), Levels{});
  EXPECT_TRUE(pushAnalyses(s, 500, 0));  // 1500 reached after 500 new samples
  EXPECT_EQ(carried(), 0);
}

TEST(SpectrumFaults, NegativeSizeOrNullPointerChangeNothing) {
  spectrum_init(44100, 1);
  const std::vector<float> s = sine(440.0, 0.5f, 44100, 16384);
  spectrum_push(s.data(), 16384 + 1377, 0);
  const Levels v = levels();
  const std::vector<float> h = history();
  spectrum_push(nullptr, 16384, 0);
  spectrum_push(nullptr, 0, 0);
  spectrum_push(s.data(), -4, 0);
  spectrum_push(s.data(), INT_MIN, 0);
  EXPECT_EQ(levels(), v);
  EXPECT_EQ(history(), h);
  EXPECT_EQ(carried(), 16384 + 1377 - 1378);
}

TEST(SpectrumFaults, LongChunksSaturateTheCountAndTheCadenceRecoversOnceDrained) {
  spectrum_init(44100, 1);
  // Only the first 16384 samples of any chunk are read.
  const std::vector<float> s = sine(440.0, 0.5f, 44100, 16384);
  spectrum_set_carried_count(INT64_MAX);  // clamped to the saturation limit
  const int64_t limit = carried();
  EXPECT_GT(limit, int64_t{1} << 61);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(pushAnalyses(s, INT_MAX, 0));
    EXPECT_EQ(carried(), limit - 1378);
  }

  // A backlog of three long chunks: every push analyses until it is gone,
  // then one per 1378 samples again.
  spectrum_set_carried_count(0);
  for (int i = 0; i < 3; ++i) spectrum_push(s.data(), 16384, 0);
  int64_t count = 3 * (16384 - 1378);
  ASSERT_EQ(carried(), count);
  int consecutive = 0;
  bool draining = true;
  for (long start = 0; start < 200 * 512; start += 512) {
    count += 512;
    const bool due = count >= 1378;
    if (due) count -= 1378;
    ASSERT_EQ(pushAnalyses(sine(440.0, 0.5f, 44100, 512, start), 512, 0), due) << start;
    if (draining && due) consecutive++;
    draining = draining && due;
  }
  EXPECT_EQ(consecutive, 51);  // 45018 drains by 866 a push
}

TEST(SpectrumFaults, UnusableRatesAndChannelCountsStaySafe) {
  const std::vector<float> s = sine(440.0, 0.5f, 44100, 16384);
  for (int rate : {31, 3, 0, -44100}) {
    spectrum_init(rate, 1);
    EXPECT_LE(spectrum_inspect().analysisSamples, 0);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(pushAnalyses(s, 16384, 0)) << rate;
    EXPECT_EQ(levels(), Levels{});
    EXPECT_EQ(history()[4095], s[16380]);
  }
  spectrum_init(44100, 0);  // neither mono nor stereo: every push averages and counts
  EXPECT_TRUE(pushAnalyses(s, 16384, 0));
  for (float x : levels()) EXPECT_TRUE(std::isfinite(x) && x >= 0.0f);
}

// The analyser as its rule reads, plainly: one history, one analysis per
// push that completes an interval, the whole remainder carried (never
// capped), and the count kept by a new set-up. Its levels are compared bit
// for bit with the engine's.
class PlainAnalyser {
 public:
  void init(int rate, int channels) {
    channels_ = channels;
    rate_ = rate / 4;
    interval_ = rate_ / 8;
    history_.assign(SPECTRUM_HISTORY, 0.0f);
    levels_.fill(0.0f);
    cos_.assign(static_cast<size_t>(SPECTRUM_NOTES) * SPECTRUM_HISTORY, 0.0f);
    sin_ = cos_;
    for (int i = 0; i < SPECTRUM_NOTES; ++i) {
      const float freq = 440.0f * static_cast<float>(tmath_exp2(static_cast<double>((i - 45) / 12.0f)));
      for (int p = 0; p < SPECTRUM_HISTORY; ++p) {
        const float arg = static_cast<float>(6.283185307179586 * freq * p / rate_);
        float sv, cv;
        tmath_sincosf(arg, &sv, &cv);
        cos_[static_cast<size_t>(i) * SPECTRUM_HISTORY + p] = cv;
        sin_[static_cast<size_t>(i) * SPECTRUM_HISTORY + p] = -sv;
      }
    }
  }

  void push(const float* samples, int size, int channel) {
    const int taken = std::min(size / 4, SPECTRUM_HISTORY);
    const int first = SPECTRUM_HISTORY - taken;
    if (channels_ == 1 || (channel == 0 && channels_ == 2)) {
      history_.erase(history_.begin(), history_.begin() + taken);
      for (int k = 0; k < taken; ++k) history_.push_back(samples[4 * k]);
      if (channels_ == 2) return;
    } else {
      for (int k = 0; k < taken; ++k) history_[first + k] = (history_[first + k] + samples[4 * k]) * 0.5f;
    }
    count_ += size;
    if (count_ < interval_) return;
    count_ -= interval_;
    analyse();
  }

  const Levels& levels() const { return levels_; }
  long long count() const { return count_; }

 private:
  void analyse() {
    std::vector<float> buffer(SPECTRUM_HISTORY);
    for (int j = 0; j < SPECTRUM_HISTORY; ++j)
      buffer[j] = static_cast<float>(history_[j] * (0.5 - 0.5 * tmath_cos(6.283185307179586 * j / 4096)));
    for (int i = 0; i < SPECTRUM_NOTES; ++i) {
      float sinPart = 0.0f, cosPart = 0.0f;
      for (int k = 0; k < SPECTRUM_HISTORY; ++k) {
        sinPart += buffer[k] * sin_[static_cast<size_t>(i) * SPECTRUM_HISTORY + k];
        cosPart += buffer[k] * cos_[static_cast<size_t>(i) * SPECTRUM_HISTORY + k];
      }
      const float power = sinPart * sinPart + cosPart * cosPart;
      levels_[i] = static_cast<float>(std::sqrt(static_cast<double>(power)) / 4096) + 0.2f * levels_[i];
    }
  }

  int channels_ = 0, rate_ = 0, interval_ = 0;
  long long count_ = 0;
  std::vector<float> history_;
  Levels levels_{};
  std::vector<float> cos_, sin_;
};

// A chord with a little noise, different per channel.
std::vector<float> chord(int n, int channel) {
  std::vector<float> out(n);
  uint32_t noise = 99u + channel;
  for (int i = 0; i < n; ++i) {
    noise = noise * 1664525u + 1013904223u;
    const double t = i / 44100.0;
    out[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * (261.6 + 2 * channel) * t) +
                                0.2 * std::sin(2 * M_PI * 329.6 * t) + 0.15 * std::sin(2 * M_PI * 784.0 * t) +
                                0.05 * (static_cast<double>(noise >> 8) / 8388608.0 - 1.0));
  }
  return out;
}

// Blocks as the engine pushes them: each channel's frames in turn, every
// frame a chunk of the synthesis hop, the block's analyses batched.
void pushBlock(PlainAnalyser& model, const std::vector<std::vector<float>>& input, long& at, int frames,
               int hop) {
  spectrum_begin_batch();
  for (size_t ch = 0; ch < input.size(); ++ch) {
    for (int f = 0; f < frames; ++f) {
      const float* chunk = input[ch].data() + at + static_cast<long>(f) * hop;
      spectrum_push(chunk, hop, static_cast<int>(ch));
      model.push(chunk, hop, static_cast<int>(ch));
    }
  }
  spectrum_end_batch();
  at += static_cast<long>(frames) * hop;
}

// dspInit(4096, 4, 44100, n): 40 blocks at half speed (4 frames pushing
// 2048 samples each, above the interval of 1378), then 30 at unity (4 x 1024).
TEST(SpectrumCount, HalfSpeedThenUnityFollowsThePlainRule) {
  for (int channels : {1, 2}) {
    spectrum_set_carried_count(0);
    spectrum_init(44100, channels);
    PlainAnalyser model;
    model.init(44100, channels);
    std::vector<std::vector<float>> input;
    for (int ch = 0; ch < channels; ++ch) input.push_back(chord(40 * 8192 + 30 * 4096, ch));
    long at = 0;
    long long largestBacklog = 0;
    for (int b = 0; b < 70; ++b) {
      if (b < 40) {
        pushBlock(model, input, at, 4, 2048);
      } else {
        pushBlock(model, input, at, 4, 1024);
      }
      largestBacklog = std::max(largestBacklog, model.count());
      ASSERT_EQ(carried(), model.count()) << channels << " channel(s), block " << b;
      ASSERT_EQ(0, std::memcmp(levels().data(), model.levels().data(), sizeof(Levels)))
          << channels << " channel(s), block " << b;
    }
    // Half speed leaves 4 x 670 samples a block unanalysed: 107,200 after
    // 40 blocks, which unity drains by 354 a push.
    EXPECT_EQ(largestBacklog, 40 * 4 * (2048 - 1378));
    EXPECT_GT(model.count(), 1378);  // still draining at the end
  }
}

TEST(SpectrumCount, ABacklogSurvivesARepeatedInit) {
  spectrum_set_carried_count(0);
  spectrum_init(44100, 2);
  PlainAnalyser model;
  model.init(44100, 2);
  const std::vector<std::vector<float>> input = {chord(60000, 0), chord(60000, 1)};
  long at = 0;
  for (int b = 0; b < 3; ++b) pushBlock(model, input, at, 4, 4096);
  const int64_t backlog = carried();
  ASSERT_EQ(backlog, 3 * 4 * (4096 - 1378));

  spectrum_init(44100, 2);
  model.init(44100, 2);
  EXPECT_EQ(carried(), backlog);
  EXPECT_EQ(levels(), Levels{});
  // Chunks of 8 samples: each push still analyses while the backlog lasts.
  int analyses = 0;
  for (int b = 0; b < 20; ++b) {
    const Levels before = levels();
    pushBlock(model, input, at, 1, 8);
    analyses += levels() != before;
    ASSERT_EQ(0, std::memcmp(levels().data(), model.levels().data(), sizeof(Levels))) << b;
  }
  EXPECT_EQ(analyses, 20);
  EXPECT_EQ(carried(), backlog - 20 * (1378 - 8));
}

}  // namespace

// The fine mode's reading against the correlation, on states of their own:
// a tone at a note, the lowest and the highest among them, reads the same
// loudest note at the same level within a tenth of a dB. (The notes a
// semitone away lie in the window's side lobes, 30 dB and more down, where
// the two readings differ by a few dB.) Where the notes do not fit the
// transform's band (a low rate) the correlation runs instead, bit for bit.
TEST(SpectrumFineReading, ReadsWhatTheCorrelationReads) {
  struct Case {
    int rate;
    double hz;
  };
  const Case cases[] = {{44100, 32.703}, {44100, 110.0},  {44100, 440.0},
                        {44100, 1975.53}, {48000, 261.63}, {22050, 987.77}, {8000, 440.0}};
  for (const Case& c : cases) {
    SpectrumState* exact = spectrum_create();
    SpectrumState* fine = spectrum_create();
    ASSERT_TRUE(exact && fine);
    ASSERT_TRUE(spectrum_init(*exact, c.rate, 1) && spectrum_init(*fine, c.rate, 1));
    spectrum_set_fine(*fine, true);
    const std::vector<float> tone = sine(c.hz, 0.5f, c.rate, c.rate * 2);
    for (size_t at = 0; at + 1000 <= tone.size(); at += 1000) {
      spectrum_push(*exact, tone.data() + at, 1000, 0);
      spectrum_push(*fine, tone.data() + at, 1000, 0);
    }
    Levels a, b;
    for (int i = 0; i < SPECTRUM_NOTES; ++i) {
      a[i] = spectrum_get(*exact)[i].load(std::memory_order_relaxed);
      b[i] = spectrum_get(*fine)[i].load(std::memory_order_relaxed);
    }
    if (c.rate == 8000) {
      EXPECT_EQ(a, b) << "falls back to the correlation";
    } else {
      const int loudest = static_cast<int>(std::max_element(a.begin(), a.end()) - a.begin());
      EXPECT_EQ(loudest, static_cast<int>(std::max_element(b.begin(), b.end()) - b.begin())) << c.hz;
      EXPECT_NEAR(20 * std::log10(b[loudest] / a[loudest]), 0.0, 0.1) << c.hz;
    }
    spectrum_destroy(exact);
    spectrum_destroy(fine);
  }
}
