// Batched analyses (one pass over the note tables for a block's analyses)
// must leave exactly the levels that analysing at every push leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "../support/default_engine.h"
#include "../support/vector_path.h"
#include "spectrum.h"
#include "spectrum_testing.h"

namespace {

using Bits = std::array<uint32_t, SPECTRUM_NOTES>;

Bits levelBits() {
  Bits out;
  for (int i = 0; i < SPECTRUM_NOTES; ++i) {
    const float v = spectrum_get()[i].load(std::memory_order_relaxed);
    std::memcpy(&out[i], &v, sizeof v);
  }
  return out;
}

// Music-like test signal: a few partials over a little noise, per channel.
std::vector<float> signal(int n, int channel) {
  std::vector<float> out(n);
  std::mt19937 rng(1234 + channel);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  for (int i = 0; i < n; ++i) {
    const double t = i / 44100.0;
    out[i] =
        static_cast<float>(0.4 * std::sin(2 * M_PI * (220.0 + 3 * channel) * t) +
                           0.2 * std::sin(2 * M_PI * 659.3 * t) + 0.1 * std::sin(2 * M_PI * 1046.5 * t)) +
        noise(rng);
  }
  return out;
}

struct Pattern {
  int channels;
  std::vector<int> chunks;  // chunk sizes of one block, pushed for each channel in turn
  int blocks;
};

// Starts from cleared levels and history with a known carried count (one
// whole interval); init keeps the count.
void freshStart(int channels) {
  spectrum_init(44100, channels);
  spectrum_set_carried_count(spectrum_inspect().analysisSamples);
}

// Runs the blocks as the engine does (all of a block's chunks of channel 0,
// then those of channel 1), batched or not, and records the levels after
// every block.
// Vector paths: 0 portable, 1 AVX2, 2 the widest the processor has.
std::vector<Bits> run(const Pattern& p, bool batched, int path) {
  use_vector_path(path > 0, path > 1);
  spectrum_enabled.store(1);
  freshStart(p.channels);
  int perBlock = 0;
  for (int c : p.chunks) perBlock += c;
  std::vector<std::vector<float>> input;
  for (int ch = 0; ch < p.channels; ++ch) input.push_back(signal(perBlock * p.blocks + 16, ch));
  std::vector<Bits> after;
  long offset = 0;
  for (int b = 0; b < p.blocks; ++b) {
    if (batched) spectrum_begin_batch();
    for (int ch = 0; ch < p.channels; ++ch) {
      long at = offset;
      for (int c : p.chunks) {
        spectrum_push(input[ch].data() + at, c, ch);
        at += c;
      }
    }
    if (batched) spectrum_end_batch();
    offset += perBlock;
    after.push_back(levelBits());
  }
  use_vector_path(true);
  return after;
}

TEST(SpectrumBatch, SameLevelsAsAnalysingAtEachPush) {
  const std::vector<Pattern> patterns = {
      {2, {683, 683, 683, 683}, 12},  // about two analyses a block
      {1, {683, 683, 683, 683}, 12},
      {1, {512, 1536, 7, 4096, 2000}, 6},  // ragged: up to six pending
      {2, {1378}, 10},                     // exactly one per block
      {1, {100}, 30},                      // most blocks analyse nothing
      {1, std::vector<int>(30, 1378), 3},  // thirty pending: the store overflows
      {2, std::vector<int>(19, 1400), 3},
  };
  for (int path : {2, 1, 0}) {
    for (size_t i = 0; i < patterns.size(); ++i) {
      const std::vector<Bits> plain = run(patterns[i], false, path);
      const std::vector<Bits> batched = run(patterns[i], true, path);
      ASSERT_EQ(plain.size(), batched.size());
      bool moved = false;
      for (size_t b = 0; b < plain.size(); ++b) {
        EXPECT_EQ(plain[b], batched[b]) << "pattern " << i << " block " << b << " path " << path;
        moved = moved || plain[b] != Bits{};
      }
      EXPECT_TRUE(moved) << "pattern " << i;
    }
  }
  // The paths agree as well.
  EXPECT_EQ(run(patterns[2], true, 2), run(patterns[2], true, 0));
  EXPECT_EQ(run(patterns[2], true, 1), run(patterns[2], true, 0));
}

TEST(SpectrumBatch, LevelsChangeWhenTheBatchEnds) {
  spectrum_init(44100, 1);
  const std::vector<float> s = signal(8192, 0);
  spectrum_begin_batch();
  spectrum_push(s.data(), 4000, 0);
  spectrum_push(s.data() + 4000, 4000, 0);
  EXPECT_EQ(levelBits(), Bits{});
  spectrum_end_batch();
  EXPECT_NE(levelBits(), Bits{});
  // Outside a batch a push analyses at once again.
  const Bits before = levelBits();
  spectrum_push(s.data(), 1378, 0);
  EXPECT_NE(levelBits(), before);
}

// The switch turned off mid-block stops later pushes, but the analyses taken
// while it was on still count; a new set-up finishes them before clearing.
TEST(SpectrumBatch, SwitchOffAndInitMidBatch) {
  const std::vector<float> s = signal(20000, 0);
  auto block = [&](bool batched) {
    spectrum_enabled.store(1);
    freshStart(1);
    if (batched) spectrum_begin_batch();
    spectrum_push(s.data(), 1378, 0);
    spectrum_push(s.data() + 1378, 1378, 0);
    spectrum_enabled.store(0);
    spectrum_push(s.data() + 2756, 1378, 0);
    if (batched) spectrum_end_batch();
    spectrum_enabled.store(1);
    return levelBits();
  };
  const Bits plain = block(false);
  EXPECT_NE(plain, Bits{});
  EXPECT_EQ(block(true), plain);

  spectrum_init(44100, 1);
  spectrum_begin_batch();
  spectrum_push(s.data(), 1378, 0);
  spectrum_init(48000, 1);  // the pending analysis runs with the old tables, then all is cleared
  EXPECT_EQ(levelBits(), Bits{});
  spectrum_push(s.data(), 1500, 0);
  spectrum_end_batch();
  EXPECT_NE(levelBits(), Bits{});
}

// The history stays the newest decimated samples, oldest first, however
// often its store wraps.
TEST(SpectrumBatch, HistoryKeepsTheNewestSamplesAcrossManyPushes) {
  spectrum_init(44100, 1);
  const std::vector<float> s = signal(200000, 0);
  std::vector<float> taken;
  long at = 0;
  for (int i = 0; at + 20000 < static_cast<long>(s.size()); ++i) {
    const int size = (i * 977) % 9000 + 4;
    spectrum_push(s.data() + at, size, 0);
    for (int k = 0; k < std::min(size / 4, SPECTRUM_HISTORY); ++k) taken.push_back(s[at + 4 * k]);
    at += size;
    const float* h = spectrum_inspect().history;
    ASSERT_TRUE(std::equal(h + SPECTRUM_HISTORY - std::min<size_t>(taken.size(), SPECTRUM_HISTORY),
                           h + SPECTRUM_HISTORY,
                           taken.end() - std::min<size_t>(taken.size(), SPECTRUM_HISTORY)))
        << "push " << i;
  }
}

}  // namespace
