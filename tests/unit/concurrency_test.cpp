// The two threads that meet in the engine: while the playback thread
// processes a stereo stream with voice removal through the entry points, the
// user-interface threads keep calling every setter and poller, the filter
// coefficients included. Nothing may crash, hang or race (this test also runs
// under ThreadSanitizer), and every value the engine hands out stays finite.
#include <gtest/gtest.h>
#include <jni.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "../support/fake_jni.h"
#include "quorvel_tambrino_NativeInterface.h"

namespace {

constexpr int kFrameSize = 2048;
constexpr int kBlock = 1024;

struct Counts {
  std::atomic<long> blocks{0};
  std::atomic<long> setUps{0};
  std::atomic<long> setterCalls{0};
  std::atomic<long> filterCalls{0};
  std::atomic<long> eqBandCalls{0};
  std::atomic<long> pollerCalls{0};
  std::atomic<long> badValues{0};
  std::atomic<long> exceptions{0};
};

// A small deterministic generator per thread.
struct Rng {
  uint32_t s;
  uint32_t next() {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
  }
  float unit() { return static_cast<float>(next() % 10001) / 10000.0f; }
};

void noteException(fakejni::Env& env, Counts& counts) {
  if (!env.takeException().empty()) counts.exceptions.fetch_add(1);
}

void checkPolls(fakejni::Env& env, jfloatArray spectrum, Counts& counts) {
  const float level = Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(&env, nullptr);
  if (!std::isfinite(level) || level < 0.0f) counts.badValues.fetch_add(1);
  Java_quorvel_tambrino_NativeInterface_dspGetSpectrum(&env, nullptr, spectrum, 72);
  noteException(env, counts);
  for (float v : fakejni::Env::read<float>(spectrum)) {
    if (!std::isfinite(v) || v < 0.0f) counts.badValues.fetch_add(1);
  }
  counts.pollerCalls.fetch_add(2);
}

// Stable coefficient sets of different orders (a[0] = 1, poles inside the
// unit circle), so that every output is finite whichever set is in force.
const std::vector<std::vector<double>> kFeedback = {
    {1.0}, {1.0, -0.5}, {1.0, -0.6, 0.2}, {1.0, 0.3, 0.1, -0.05}};
const std::vector<std::vector<double>> kFeedForward = {
    {0.8}, {0.5, 0.5}, {0.3, 0.4, 0.3}, {0.2, 0.3, 0.3, 0.2}};

void userInterface(int id, const std::atomic<bool>& stop, Counts& counts) {
  fakejni::Env env;
  Rng rng{static_cast<uint32_t>(12345 + id)};
  jfloatArray spectrum = env.floats(std::vector<float>(72, 0.0f));
  std::vector<jdoubleArray> feedback;
  std::vector<jdoubleArray> feedForward;
  for (const auto& a : kFeedback) feedback.push_back(env.doubles(a));
  for (const auto& b : kFeedForward) feedForward.push_back(env.doubles(b));
  std::vector<jfloatArray> bands;
  for (int k = 0; k < 4; k++) {
    std::vector<float> gains(kFrameSize / 2);
    for (float& g : gains) g = 2.0f * rng.unit();
    bands.push_back(env.floats(gains));
  }

  while (!stop.load()) {
    Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalEnable(&env, nullptr,
                                                                static_cast<int>(rng.next() % 4));
    Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalAmount(&env, nullptr,
                                                                std::min(1.0f, rng.unit() * 1.1f - 0.1f));
    Java_quorvel_tambrino_NativeInterface_dspSetPreamp(&env, nullptr, 0.1f + 2.0f * rng.unit());
    Java_quorvel_tambrino_NativeInterface_dspSpectrumEnable(&env, nullptr, rng.next() % 5 != 0 ? 1 : 0);
    Java_quorvel_tambrino_NativeInterface_dspPanning(&env, nullptr, static_cast<int>(rng.next() % 2),
                                                     static_cast<int>(rng.next() % 3 == 0),
                                                     static_cast<int>(rng.next() % 101));
    Java_quorvel_tambrino_NativeInterface_dspEQEnable(&env, nullptr, static_cast<int>(rng.next() % 2));
    counts.setterCalls.fetch_add(6);
    noteException(env, counts);

    const size_t order = rng.next() % kFeedback.size();
    Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalFilter(
        &env, nullptr, feedback[order], feedForward[order], static_cast<jint>(kFeedback[order].size()),
        static_cast<jint>(kFeedForward[order].size()));
    counts.filterCalls.fetch_add(1);
    noteException(env, counts);

    Java_quorvel_tambrino_NativeInterface_dspEQSetBands(&env, nullptr, bands[rng.next() % bands.size()]);
    counts.eqBandCalls.fetch_add(1);
    noteException(env, counts);

    checkPolls(env, spectrum, counts);
  }
}

// Blocks of a two-tone stereo signal, the voice in the centre, at tempos
// that change every few blocks; now and then the stream is set up again (as
// for the next song), on this thread, while the others go on calling.
void playback(long minBlocks, double minSeconds, Counts& counts, const std::atomic<bool>& uiStarted) {
  fakejni::Env env;
  jfloatArray spectrum = env.floats(std::vector<float>(72, 0.0f));
  const int outs[] = {1024, 768, 1365, 2048, 512};
  long frame = 0;
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  for (long n = 0; n < minBlocks || (elapsed() < minSeconds && n < 100 * minBlocks); n++) {
    if (n % 60 == 59) {
      const bool small = (n / 60) % 2 == 0;
      Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, small ? 1024 : kFrameSize, 4,
                                                    small ? 48000 : 44100, 2);
      noteException(env, counts);
      counts.setUps.fetch_add(1);
    }
    const int samplesOut = outs[(n / 7) % 5];
    std::vector<jshort> pcm(2 * static_cast<size_t>(std::max(kBlock, samplesOut)));
    for (int i = 0; i < kBlock; i++, frame++) {
      const double t = static_cast<double>(frame) / 44100.0;
      const double voice = 0.4 * std::sin(2 * M_PI * 440.0 * t);
      pcm[2 * i] = static_cast<jshort>(32767.0 * (voice + 0.3 * std::sin(2 * M_PI * 110.0 * t)));
      pcm[2 * i + 1] = static_cast<jshort>(32767.0 * (voice + 0.3 * std::sin(2 * M_PI * 1650.0 * t)));
    }
    jshortArray samples = env.shorts(pcm);
    Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, samples, kBlock, samplesOut, 1.0f);
    noteException(env, counts);
    checkPolls(env, spectrum, counts);
    counts.blocks.fetch_add(1);
    // Keep the blocks coming until the other threads are really calling.
    while (n == 0 && !uiStarted.load()) std::this_thread::yield();
    // The fake JNIEnv keeps every array it made; drop them now and then.
    if (env.owned.size() > 64) {
      for (fakejni::Array* a : env.owned) delete a;
      env.owned.clear();
      spectrum = env.floats(std::vector<float>(72, 0.0f));
    }
  }
}

TEST(Concurrency, SettersAndPollersRaceThePlaybackThreadHarmlessly) {
  fakejni::Env env;
  Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, kFrameSize, 4, 44100, 2);
  ASSERT_EQ(env.takeException(), "");
  const std::vector<double> a = {1.0, -0.5};
  const std::vector<double> b = {0.5, 0.5};
  Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalFilter(&env, nullptr, env.doubles(a), env.doubles(b),
                                                              2, 2);
  Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalEnable(&env, nullptr, 1);
  Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalAmount(&env, nullptr, 0.8f);
  ASSERT_EQ(env.takeException(), "");

  Counts counts;
  std::atomic<bool> stop{false};
  std::atomic<bool> uiStarted{false};
  // At least a second of racing, and at least four seconds of music with
  // three new set-ups: a few seconds of work even under ThreadSanitizer.
  const long minBlocks = 180;
  const auto start = std::chrono::steady_clock::now();
  std::thread player(playback, minBlocks, 1.0, std::ref(counts), std::cref(uiStarted));
  std::vector<std::thread> ui;
  for (int id = 0; id < 2; id++) ui.emplace_back(userInterface, id, std::cref(stop), std::ref(counts));
  while (counts.setterCalls.load() == 0) std::this_thread::yield();
  uiStarted.store(true);
  player.join();
  stop.store(true);
  for (std::thread& t : ui) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf(
      "concurrency: %ld blocks, %ld setter calls, %ld filter swaps, %ld EQ band sets, %ld polls in %.2f s\n",
      counts.blocks.load(), counts.setterCalls.load(), counts.filterCalls.load(), counts.eqBandCalls.load(),
      counts.pollerCalls.load(), seconds);
  EXPECT_GE(counts.blocks.load(), minBlocks);
  EXPECT_EQ(counts.setUps.load(), counts.blocks.load() / 60);
  EXPECT_EQ(counts.exceptions.load(), 0);
  EXPECT_EQ(counts.badValues.load(), 0);
  EXPECT_GE(counts.filterCalls.load(), 1000);
  EXPECT_GE(counts.setterCalls.load(), 6000);
  EXPECT_GE(counts.pollerCalls.load(), 2000);

  // The engine still plays afterwards: a settled block of music is audible.
  Java_quorvel_tambrino_NativeInterface_dspPanning(&env, nullptr, 0, 0, 50);
  Java_quorvel_tambrino_NativeInterface_dspSetPreamp(&env, nullptr, 1.0f);
  Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalEnable(&env, nullptr, 0);
  Java_quorvel_tambrino_NativeInterface_dspEQEnable(&env, nullptr, 0);
  std::vector<jshort> pcm(2 * kBlock);
  for (int i = 0; i < kBlock; i++)
    pcm[2 * i] = pcm[2 * i + 1] = static_cast<jshort>(8000 * std::sin(0.05 * i));
  for (int n = 0; n < 8; n++) {
    Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, env.shorts(pcm), kBlock, kBlock, 1.0f);
  }
  ASSERT_EQ(env.takeException(), "");
  const float level = Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(&env, nullptr);
  EXPECT_GT(level, 0.05f);
  EXPECT_LT(level, 1.0f);
}

}  // namespace
