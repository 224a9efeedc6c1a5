// The fine mode's contract at the entry points: how the mode is chosen, that
// every block hands back exactly samplesOut fresh samples whatever the block
// sizes, that the output does not depend on how the input is cut into
// blocks, that tempo changes and mode switches play on without a gap, and
// that the settings and the guards of the exact mode act the same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "../support/audio_measures.h"
#include "../support/default_engine.h"
#include "../support/fine_driver.h"
#include "../support/test_material.h"
#include "pipeline.h"
#include "spectrum.h"
#include "spectrum_testing.h"

namespace {

using finedrive::kRate;

// Two notes and an attack per quarter second, different on each channel.
quality::Stereo music(double seconds) {
  const std::vector<float> bursts = quality::burstTrain(kRate, seconds, 0.25, 3.0, 5);
  quality::Stereo s;
  for (size_t i = 0; i < bursts.size(); i++) {
    const double t = static_cast<double>(i) / kRate;
    s.left.push_back(static_cast<float>(0.3 * std::sin(2 * M_PI * 220 * t) + 0.3 * bursts[i]));
    s.right.push_back(static_cast<float>(0.2 * std::sin(2 * M_PI * 330 * t) + 0.25 * bursts[i]));
  }
  return s;
}

// The first frames of a stereo signal as interleaved 16-bit PCM.
std::vector<jshort> interleaved(const quality::Stereo& s, size_t frames) {
  std::vector<jshort> pcm;
  for (size_t i = 0; i < frames; i++) {
    pcm.push_back(finedrive::toPcm(s.left[i]));
    pcm.push_back(finedrive::toPcm(s.right[i]));
  }
  return pcm;
}

float peakOf(const std::vector<float>& x, size_t from = 0) {
  float p = 0;
  for (size_t i = from; i < x.size(); i++) p = std::max(p, std::fabs(x[i]));
  return p;
}

class FineMode : public ::testing::Test {
 protected:
  fakejni::Env env;

  void mode(int m, const char* expectException = "") {
    Java_quorvel_tambrino_NativeInterface_dspQualityMode(&env, nullptr, m);
    EXPECT_EQ(expectException, env.takeException());
  }

  // One block in an array of exactly max(in, out) frames filled with
  // `fill` beyond the input; returns the whole array afterwards.
  std::vector<jshort> block(const std::vector<jshort>& input, int channels, int in, int out, jshort fill,
                            const char* expectException = "") {
    std::vector<jshort> data(static_cast<size_t>(std::max(in, out)) * channels, fill);
    std::copy(input.begin(), input.begin() + static_cast<long>(in) * channels, data.begin());
    jshortArray array = env.shorts(data);
    Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, array, in, out, 0.0f);
    EXPECT_EQ(expectException, env.takeException());
    return fakejni::Env::read<jshort>(array);
  }
};

TEST_F(FineMode, AnUnknownModeIsRefusedAndChangesNothing) {
  const quality::Stereo m = music(2.0);
  finedrive::Settings exact;
  exact.quality = 0;
  const finedrive::Output reference = finedrive::stretch(m.left, m.right, 0.75, exact);

  finedrive::start(env, 2, exact);
  mode(2, "java/lang/IllegalArgumentException");
  mode(-1, "java/lang/IllegalArgumentException");
  const finedrive::Output out = finedrive::process(env, m.left, m.right, {{0, 0.75}}, exact);
  EXPECT_EQ(reference.left, out.left);
  EXPECT_EQ(reference.right, out.right);

  // In the fine mode a refused value keeps the fine mode.
  const finedrive::Output fine = finedrive::stretch(m.left, m.right, 0.75);
  fakejni::Env env2;
  finedrive::start(env2, 2);
  Java_quorvel_tambrino_NativeInterface_dspQualityMode(&env2, nullptr, 7);
  EXPECT_EQ("java/lang/IllegalArgumentException", env2.takeException());
  EXPECT_EQ(fine.left, finedrive::process(env2, m.left, m.right, {{0, 0.75}}).left);
}

// The command-line tool may cut the input into blocks of any size; at a
// constant tempo the samples must not depend on it.
TEST_F(FineMode, TheOutputDoesNotDependOnTheBlockSize) {
  const quality::Stereo m = music(3.0);
  for (double tempo : {0.75, 0.5, 1.25}) {
    finedrive::Settings s;
    const finedrive::Output reference = finedrive::stretch(m.left, m.right, tempo, s);
    for (int size : {1000, 777, 8192, 44100}) {
      s.block = size;
      const finedrive::Output out = finedrive::stretch(m.left, m.right, tempo, s);
      ASSERT_EQ(reference.left.size(), out.left.size());
      EXPECT_EQ(reference.left, out.left) << "tempo " << tempo << ", blocks of " << size;
      EXPECT_EQ(reference.right, out.right) << "tempo " << tempo << ", blocks of " << size;
    }
  }
}

// No block hands back a sample that the engine did not make for it: blocks
// far longer out than in, tiny blocks, and blocks with nothing out, filled
// with a marker beyond their input, come back without the marker, and
// silence in gives silence out once the music has passed through.
TEST_F(FineMode, EveryBlockReturnsExactlyItsOwnFreshSamples) {
  finedrive::start(env, 2);
  const quality::Stereo m = music(1.0);
  const std::vector<jshort> pcm = interleaved(m, m.left.size());
  const jshort marker = 12345;
  const int sizes[][2] = {{4096, 5461}, {100, 800}, {1, 8}, {4096, 0}, {3000, 2000}, {512, 4096}, {7, 9}};
  size_t at = 0;
  for (int round = 0; round < 6; round++) {
    for (const auto& sz : sizes) {
      std::vector<jshort> in(static_cast<size_t>(sz[0]) * 2, 0);
      for (size_t i = 0; i < in.size(); i++) in[i] = pcm[(at + i) % pcm.size()];
      at += in.size();
      const std::vector<jshort> out = block(in, 2, sz[0], sz[1], marker);
      for (int i = 0; i < 2 * sz[1]; i++) ASSERT_NE(marker, out[static_cast<size_t>(i)]) << i;
      if (sz[1] == 0) {
        EXPECT_EQ(0.0f, Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(&env, nullptr));
      }
    }
  }
  // Two seconds of silence: the last second comes out silent.
  const std::vector<jshort> silence(4096 * 2, 0);
  for (int i = 0; i < 22; i++) {
    const std::vector<jshort> out = block(silence, 2, 4096, 4096, marker);
    if (i < 11) continue;
    for (int k = 0; k < 2 * 4096; k++) ASSERT_EQ(0, out[static_cast<size_t>(k)]) << "block " << i;
  }
}

// A player moves the tempo while the music plays: the tone goes on at its
// level, with no gap, click or dip where the tempo changes, and each
// stretch of the stream lasts what its tempo asks.
TEST_F(FineMode, TempoChangesPlayOnSmoothly) {
  const std::vector<float> tone = quality::steadyTone(kRate, 6.0);
  finedrive::Settings s;
  s.trim = false;
  finedrive::start(env, 2, s);
  const long b = 4096;  // the changes fall on block boundaries
  const std::vector<finedrive::TempoChange> tempi = {{0, 1.0}, {11 * b, 0.6}, {22 * b, 1.3}, {43 * b, 0.8}};
  const finedrive::Output out = finedrive::process(env, tone, tone, tempi, s);
  ASSERT_EQ(out.exception, "");
  const double expected = 11 * b / 1.0 + 11 * b / 0.6 + 21 * b / 1.3 + (tone.size() - 43 * b) / 0.8;
  EXPECT_NEAR(static_cast<double>(out.left.size()), expected, 2.0);
  // From the end of the start-up delay to before the fade-out.
  const size_t from = static_cast<size_t>(fine_latency(4096, 1.0)) + 4096;
  const std::vector<float> steady(out.left.begin() + static_cast<long>(from), out.left.end() - 30000);
  EXPECT_LT(quality::flutterDb(steady, kRate, 440.0), 0.5);
  EXPECT_NEAR(quality::levelChangeDb(tone, steady), 0.0, 0.2);
}

// Tempo jumps across the whole range, slower and faster than 0.5 and 2,
// where the analysis hop grows past a quarter frame and shrinks again: the
// tone goes on through every jump at its level, with no dip, swell or click.
TEST_F(FineMode, WideTempoJumpsPlayOnSmoothly) {
  const std::vector<float> tone = quality::steadyTone(kRate, 9.0);
  finedrive::Settings s;
  s.trim = false;
  finedrive::start(env, 2, s);
  const long b = 4096;
  const std::vector<finedrive::TempoChange> tempi = {{0, 1.0},      {12 * b, 2.7},  {30 * b, 0.8},
                                                     {40 * b, 0.35}, {46 * b, 1.9}, {64 * b, 0.45},
                                                     {70 * b, 0.55}, {76 * b, 2.1}};
  const finedrive::Output out = finedrive::process(env, tone, tone, tempi, s);
  ASSERT_EQ(out.exception, "");
  const size_t from = static_cast<size_t>(fine_latency(4096, 1.0)) + 4096;
  const std::vector<float> steady(out.left.begin() + static_cast<long>(from), out.left.end() - 40000);
  const std::vector<double> envelope = quality::toneEnvelope(steady, kRate, 440.0);
  const auto [lo, hi] = std::minmax_element(envelope.begin(), envelope.end());
  EXPECT_LT(20.0 * std::log10(*hi / *lo), 0.02);
  EXPECT_NEAR(quality::levelChangeDb(tone, steady), 0.0, 0.2);
  // The largest step from one sample to the next: the tone's own (a click
  // would stand out of it).
  float step = 0.0f, toneStep = 0.0f;
  for (size_t i = 1; i < steady.size(); i++) step = std::max(step, std::fabs(steady[i] - steady[i - 1]));
  for (size_t i = 1; i < tone.size(); i++) toneStep = std::max(toneStep, std::fabs(tone[i] - tone[i - 1]));
  EXPECT_LT(step, 1.02f * toneStep);
}

// Switching into the fine mode mid-stream starts from the recent input (no
// silent gap), and back into the exact mode plays on as the exact mode.
TEST_F(FineMode, SwitchingModesPlaysOn) {
  const std::vector<float> tone = quality::steadyTone(kRate, 2.0);
  finedrive::Settings s;
  s.quality = 0;
  s.trim = false;
  finedrive::start(env, 2, s);
  std::vector<float> part(tone.begin(), tone.begin() + 44100);
  finedrive::process(env, part, part, {{0, 0.75}}, s);
  mode(1);
  part.assign(tone.begin() + 44100, tone.begin() + 88200 - 4410);
  const finedrive::Output fine = finedrive::process(env, part, part, {{0, 0.75}}, s);
  ASSERT_EQ(fine.exception, "");
  // The first block after the switch already carries the tone.
  EXPECT_GT(peakOf(std::vector<float>(fine.left.begin(), fine.left.begin() + 4096)), 0.3f);
  EXPECT_NEAR(quality::levelChangeDb(part, fine.left), 0.0, 0.2);
  mode(0);
  const finedrive::Output exact = finedrive::process(env, part, part, {{0, 0.75}}, s);
  ASSERT_EQ(exact.exception, "");
  EXPECT_GT(peakOf(exact.left, 8192), 0.3f);
}

// At tempo 1 the fine mode rebuilds its input exactly, so a switch into it
// shows whether it starts cleanly from the recent input: from the first
// sample on, the output is the input two frames (the start-up delay) back.
TEST_F(FineMode, ASwitchIntoTheFineModeStartsCleanly) {
  const quality::Stereo m = music(2.0);
  finedrive::Settings s;
  s.quality = 0;
  s.trim = false;
  finedrive::start(env, 2, s);
  const long at = 10 * 4096;
  finedrive::process(env, std::vector<float>(m.left.begin(), m.left.begin() + at),
                     std::vector<float>(m.right.begin(), m.right.begin() + at), {{0, 1.0}}, s);
  mode(1);
  const std::vector<float> restLeft(m.left.begin() + at, m.left.end());
  const std::vector<float> restRight(m.right.begin() + at, m.right.end());
  const finedrive::Output out = finedrive::process(env, restLeft, restRight, {{0, 1.0}}, s);
  ASSERT_EQ(out.left.size(), restLeft.size());
  const long delay = fine_latency(4096, 1.0);
  double error = 0, signal = 0;
  for (size_t i = 0; i < out.left.size(); i++) {
    const long k = at + static_cast<long>(i) - delay;
    const double d = out.left[i] - m.left[static_cast<size_t>(k)];
    error += d * d;
    signal += static_cast<double>(m.left[static_cast<size_t>(k)]) * m.left[static_cast<size_t>(k)];
  }
  EXPECT_LT(10 * std::log10(error / signal), -60.0);
}

// Back in the exact mode after a fine interlude, the stream starts afresh:
// every sample as from an engine just set up and fed the same blocks (whole
// hops out, as the exact mode's callers size them).
TEST_F(FineMode, BackInTheExactModeTheStreamStartsAfresh) {
  const quality::Stereo m = music(2.0);
  const std::vector<jshort> pcm = interleaved(m, m.left.size());
  const int in = 4096;
  const int out = 8 * 683;  // tempo 0.75 at 4096/8
  auto blocks = [&](int first, int count) {
    std::vector<jshort> all;
    for (int b = first; b < first + count; b++) {
      const std::vector<jshort> input(pcm.begin() + 2L * in * b, pcm.begin() + 2L * in * (b + 1));
      const std::vector<jshort> result = block(input, 2, in, out, 0);
      all.insert(all.end(), result.begin(), result.begin() + 2 * out);
    }
    return all;
  };
  finedrive::start(env, 2, finedrive::Settings{0});
  const std::vector<jshort> fresh = blocks(12, 8);

  finedrive::start(env, 2, finedrive::Settings{0});
  blocks(0, 4);
  mode(1);
  blocks(4, 4);
  mode(0);
  EXPECT_EQ(fresh, blocks(12, 8));
}

// Linked stereo leaves a mono stream alone: two equal channels come out
// equal, and equal to the same stream played as mono.
TEST_F(FineMode, EqualChannelsGiveTheMonoOutput) {
  const quality::Stereo m = music(2.0);
  const finedrive::Output mono = finedrive::stretch(m.left, {}, 0.75);
  const finedrive::Output stereo = finedrive::stretch(m.left, m.left, 0.75);
  ASSERT_EQ(mono.left.size(), stereo.left.size());
  EXPECT_EQ(mono.left, stereo.left);
  EXPECT_EQ(mono.left, stereo.right);
}

// Panning, the fold, the equaliser, the preamp, the peak meter and the note
// spectrum act in the fine mode as in the exact mode.
TEST_F(FineMode, TheSettingsActAsInTheExactMode) {
  const std::vector<float> tone = quality::steadyTone(kRate, 2.0);
  const std::vector<float> quiet(tone.size(), 0.0f);
  finedrive::Settings s;

  // Fold: both outputs carry the mean of the inputs.
  finedrive::start(env, 2, s);
  Java_quorvel_tambrino_NativeInterface_dspPanning(&env, nullptr, 1, 1, 50);
  finedrive::Output out = finedrive::process(env, tone, quiet, {{0, 0.75}}, s);
  EXPECT_EQ(out.left, out.right);
  EXPECT_NEAR(quality::levelChangeDb(tone, out.left), 20 * std::log10(0.5), 0.2);

  // Panning level 100: both outputs carry the left input.
  finedrive::start(env, 2, s);
  Java_quorvel_tambrino_NativeInterface_dspPanning(&env, nullptr, 1, 0, 100);
  out = finedrive::process(env, tone, quiet, {{0, 0.75}}, s);
  EXPECT_NEAR(quality::levelChangeDb(tone, out.right), 0.0, 0.2);

  // The equaliser: all gains 1 changes nothing; all gains 0 silences; the
  // preamp scales.
  Java_quorvel_tambrino_NativeInterface_dspPanning(&env, nullptr, 0, 0, 50);
  const finedrive::Output plain = finedrive::stretch(tone, tone, 0.75);
  finedrive::start(env, 2, s);
  Java_quorvel_tambrino_NativeInterface_dspEQSetBands(&env, nullptr,
                                                      env.floats(std::vector<float>(2048, 1.0f)));
  Java_quorvel_tambrino_NativeInterface_dspEQEnable(&env, nullptr, 1);
  EXPECT_EQ(plain.left, finedrive::process(env, tone, tone, {{0, 0.75}}, s).left);
  finedrive::start(env, 2, s);
  Java_quorvel_tambrino_NativeInterface_dspEQSetBands(&env, nullptr,
                                                      env.floats(std::vector<float>(2048, 0.0f)));
  EXPECT_EQ(0.0f, peakOf(finedrive::process(env, tone, tone, {{0, 0.75}}, s).left));
  Java_quorvel_tambrino_NativeInterface_dspEQEnable(&env, nullptr, 0);

  finedrive::start(env, 2, s);
  Java_quorvel_tambrino_NativeInterface_dspSetPreamp(&env, nullptr, 0.5f);
  Java_quorvel_tambrino_NativeInterface_dspSpectrumEnable(&env, nullptr, 1);
  out = finedrive::process(env, tone, tone, {{0, 0.75}}, s);
  EXPECT_NEAR(quality::levelChangeDb(tone, out.left), 20 * std::log10(0.5), 0.2);
  // The last block is the silence fed after the input: play the tone again.
  s.trim = false;
  finedrive::process(env, tone, tone, {{0, 0.75}}, s);
  const float level = Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(&env, nullptr);
  EXPECT_NEAR(level, 0.5f * 0.5f, 0.01f);  // -6 dBFS through a preamp of 0.5
  std::vector<float> spectrum(SPECTRUM_NOTES, 0.0f);
  jfloatArray array = env.floats(spectrum);
  Java_quorvel_tambrino_NativeInterface_dspGetSpectrum(&env, nullptr, array, SPECTRUM_NOTES);
  spectrum = fakejni::Env::read<jfloat>(array);
  const long loudest = std::max_element(spectrum.begin(), spectrum.end()) - spectrum.begin();
  EXPECT_NEAR(spectrum_note_frequency(static_cast<int>(loudest)), 440.0f, 1.0f);
  // The engine keeps its settings through a new set-up: the tests after this
  // one expect a plain preamp (run in one process, the next came out 6 dB low).
  Java_quorvel_tambrino_NativeInterface_dspSetPreamp(&env, nullptr, 1.0f);
  Java_quorvel_tambrino_NativeInterface_dspSpectrumEnable(&env, nullptr, 0);
}

// The exact mode's guards hold in the fine mode, and a refused block changes
// nothing; full-scale extremes come out limited, never as noise.
TEST_F(FineMode, HostileBlocksAreHandledAsInTheExactMode) {
  finedrive::start(env, 2);
  const std::vector<jshort> in(4096 * 2, 1000);
  block(in, 2, 0, 100, 7, "java/lang/IllegalArgumentException");
  // The analysis hop (512 x samplesIn / samplesOut) must lie in 1..4096: a
  // tenth of a sample and ten frames are refused and change nothing...
  const std::vector<jshort> refused = block(in, 2, 1, 5000, 7, "java/lang/IllegalArgumentException");
  EXPECT_EQ(1000, refused[0]);
  EXPECT_EQ(7, refused[2]);
  std::vector<jshort> many(40960 * 2, 1000);
  block(many, 2, 40960, 511, 7, "java/lang/IllegalArgumentException");
  // ...while tempo 0.1, which the exact mode's synthesis hop cannot reach,
  // plays, and so does tempo 8.
  block(in, 2, 4096, 40960, 7);
  block(many, 2, 40960, 5120, 7);
  jshortArray small = env.shorts(std::vector<jshort>(10, 0));
  Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, small, 100, 100, 0.0f);
  EXPECT_EQ("java/lang/IllegalArgumentException", env.takeException());
  Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, nullptr, 100, 100, 0.0f);
  EXPECT_EQ("java/lang/NullPointerException", env.takeException());

  // Full-scale alternation and full-scale square waves.
  std::vector<jshort> wild(4096 * 2);
  for (size_t i = 0; i < wild.size(); i++) wild[i] = (i / 2) % 2 ? 32767 : -32768;
  for (int i = 0; i < 20; i++) {
    if (i == 10) {
      for (size_t k = 0; k < wild.size(); k++) wild[k] = (k / 200) % 2 ? 32767 : -32768;
    }
    const int samplesOut = 3000 + 500 * (i % 3);
    const std::vector<jshort> out = block(wild, 2, 4096, samplesOut, 0);
    const float level = Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(&env, nullptr);
    EXPECT_TRUE(std::isfinite(level));
    EXPECT_LT(level, 4.0f);
    for (int k = 0; k < 2 * samplesOut; k++) ASSERT_GE(out[static_cast<size_t>(k)], -32767);
  }
}

// dspInit in the fine mode keeps the mode and starts a fresh stream.
TEST_F(FineMode, SetUpKeepsTheMode) {
  const quality::Stereo m = music(2.0);
  const finedrive::Output reference = finedrive::stretch(m.left, m.right, 0.75);
  finedrive::start(env, 2);
  finedrive::process(env, m.right, m.left, {{0, 0.5}});
  Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, 4096, 8, kRate, 2);
  EXPECT_EQ(reference.left, finedrive::process(env, m.left, m.right, {{0, 0.75}}).left);
}

// Other frame sizes than the command-line tool's: the level holds and the
// output still does not depend on the block size wherever the analysis
// positions are whole samples (tempo times the hop a whole number; not so for
// the hops of 1 and 2 of an 8-sample frame at 0.75).
TEST_F(FineMode, ShorterFramesWorkToo) {
  const quality::Stereo m = music(1.5);
  const std::vector<float> tone = quality::steadyTone(kRate, 1.5);
  for (const int frame : {8, 64, 256, 1024, 2048}) {
    for (const int over : {4, 8}) {
      finedrive::Settings s;
      s.frameSize = frame;
      s.overSampling = std::min(over, frame);
      const finedrive::Output level = finedrive::stretch(tone, tone, 0.75, s);
      if (frame >= 256) {
        EXPECT_NEAR(quality::levelChangeDb(tone, level.left), 0.0, 0.2) << frame << "/" << over;
      }
      const finedrive::Output a = finedrive::stretch(m.left, m.right, 0.75, s);
      s.block = 1000;
      const finedrive::Output b = finedrive::stretch(m.left, m.right, 0.75, s);
      ASSERT_EQ(a.left.size(), b.left.size());
      if (frame / s.overSampling * 3 % 4 == 0) {
        EXPECT_EQ(a.left, b.left) << frame << "/" << over;
      }
    }
  }
}

// A voice-removal amount of infinity turns the block's input into
// infinities and NaNs. The binding refuses such an amount; stored straight
// into the pipeline, past its limits, it shows that the fine mode plays on
// (silence where nothing is finite, every sample in range), and music comes
// back by itself once the input is finite again: no phase stays non-finite.
TEST_F(FineMode, NonFiniteInputNeitherStopsNorBreaksTheStream) {
  finedrive::start(env, 2);
  Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalFilter(&env, nullptr, env.doubles({1.0}),
                                                              env.doubles({0.5}), 1, 1);
  Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalEnable(&env, nullptr, 1);
  Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalAmount(&env, nullptr,
                                                              std::numeric_limits<float>::infinity());
  ASSERT_EQ("java/lang/IllegalArgumentException", env.takeException());
  pipeline_set_voice_removal_amount(*default_engine::get().pipeline, std::numeric_limits<float>::infinity());
  const quality::Stereo m = music(3.0);
  const std::vector<jshort> pcm = interleaved(m, m.left.size());
  const int in = 4096;
  const int out = 5461;  // tempo 0.75
  const size_t blocks = m.left.size() / in;
  int peak = 0;
  for (size_t k = 0; k < blocks; k++) {
    if (k == blocks / 3) Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalEnable(&env, nullptr, 0);
    const std::vector<jshort> input(pcm.begin() + static_cast<long>(k * in * 2), pcm.end());
    const std::vector<jshort> got = block(input, 2, in, out, 0);
    for (jshort v : got) ASSERT_NE(-32768, v);
    if (k + 3 >= blocks)
      for (jshort v : got) peak = std::max(peak, std::abs(static_cast<int>(v)));
  }
  EXPECT_GT(peak, 3000);
}

// The player's key switches the mode from the user-interface thread while
// the playback thread runs blocks: every block still comes back whole.
TEST_F(FineMode, TheModeMayChangeWhileBlocksRun) {
  finedrive::start(env, 2);
  const quality::Stereo m = music(1.0);
  const std::vector<jshort> pcm = interleaved(m, 4096);
  std::atomic<bool> done{false};
  std::thread ui([&done] {
    fakejni::Env uiEnv;
    for (int i = 0; !done.load(); i++) {
      Java_quorvel_tambrino_NativeInterface_dspQualityMode(&uiEnv, nullptr, i % 2);
      std::this_thread::yield();
    }
  });
  for (int b = 0; b < 60; b++) {
    const std::vector<jshort> out = block(pcm, 2, 4096, 5461 + b % 2, 12345);
    for (int k = 0; k < 2 * 5461; k++) ASSERT_NE(12345, out[static_cast<size_t>(k)]);
  }
  done.store(true);
  ui.join();
}

}  // namespace

// The fine mode's limiter bends loud samples towards full scale without
// reaching it: a tone driven 12 dB over full scale and music at +12 dB write
// no sample at 32767, the quiet part passes unchanged, the bend keeps the
// order of levels and the peak is reported before the limiter.
TEST_F(FineMode, LoudOutputIsLimitedSmoothlyNotClipped) {
  int16_t pcm[8];
  const float levels[8] = {0.5f, 0.94f, 0.96f, 1.0f, 2.0f, 4.0f, 64.0f, -64.0f};
  EXPECT_EQ(64.0f, pipeline_convert_output_soft(levels, nullptr, 8, 1.0f, pcm, 0.0f));
  EXPECT_EQ(16383, pcm[0]);
  EXPECT_EQ(static_cast<int>(0.94f * 32767.0f), pcm[1]);
  for (int i = 2; i < 7; i++) EXPECT_LT(pcm[i - 1], pcm[i]) << i;
  EXPECT_LT(pcm[6], 32767);
  EXPECT_EQ(-pcm[6], pcm[7]);

  const quality::Stereo loud = quality::musicPiece(kRate, 2);
  const std::vector<float> tone = quality::steadyTone(kRate, 1.0, 440.0, 0.0);
  for (const auto& [left, right] : {std::make_pair(loud.left, loud.right), std::make_pair(tone, tone)}) {
    finedrive::Settings s;
    s.trim = false;
    finedrive::start(env, 2, s);
    Java_quorvel_tambrino_NativeInterface_dspSetPreamp(&env, nullptr, 4.0f);  // +12 dB
    const finedrive::Output out = finedrive::process(env, left, right, {{0, 0.75}}, s);
    EXPECT_GT(peakOf(out.left), 0.99f);
    EXPECT_LT(peakOf(out.left), 1.0f);
    EXPECT_LT(peakOf(out.right), 1.0f);
  }
  EXPECT_GT(Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(&env, nullptr), 3.5f);
}
