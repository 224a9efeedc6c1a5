// The audio path allocates nothing: once the first block has made the work
// buffers, a block of the same or a smaller size performs no heap allocation
// in dspProcess (nor do the two polls after it), whatever the settings. Allocations are counted by replacing
// the global operator new and, where no sanitizer owns malloc, malloc itself
// (tests/support/alloc_hooks.h).
#include <gtest/gtest.h>
#include <jni.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "../support/alloc_hooks.h"
#include "../support/fake_jni.h"
#include "quorvel_tambrino_NativeInterface.h"

namespace {

using allochooks::allocations;
using allochooks::counting;
using allochooks::HostEnv;

class NoAllocation : public ::testing::Test {
 protected:
  HostEnv env;
  JNIEnv* jni() { return &env; }

  std::vector<jshort> music(int frames, int channels, int offset) {
    std::vector<jshort> v(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; i++) {
      const double t = (offset + i) / 44100.0;
      for (int c = 0; c < channels; c++) {
        const double s =
            0.3 * std::sin(2 * M_PI * (220.0 + 110.0 * c) * t) + 0.2 * std::sin(2 * M_PI * 1250.0 * t);
        v[static_cast<size_t>(i) * channels + c] = static_cast<jshort>(s * 32767.0);
      }
    }
    return v;
  }

  // Heap allocations made by one dspProcess call and the two polls after it.
  long processCounted(int channels, int samplesIn, int samplesOut, int offset) {
    const int frames = std::max(samplesIn, samplesOut);
    jshortArray samples = env.shorts(music(frames, channels, offset));
    jfloatArray spectrum = env.floats(std::vector<float>(72));
    allocations.store(0);
    counting.store(true);
    Java_quorvel_tambrino_NativeInterface_dspProcess(jni(), nullptr, samples, samplesIn, samplesOut, 1.0f);
    Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(jni(), nullptr);
    Java_quorvel_tambrino_NativeInterface_dspGetSpectrum(jni(), nullptr, spectrum, 72);
    counting.store(false);
    EXPECT_EQ(env.takeException(), "");
    return allocations.load();
  }

  // A stream set up with every feature that runs on the audio path: voice
  // removal, panning, the equaliser, the spectrum, the limiter.
  void start(int frameSize, int overSampling, int rate, int channels) {
    Java_quorvel_tambrino_NativeInterface_dspInit(jni(), nullptr, frameSize, overSampling, rate, channels);
    ASSERT_EQ(env.takeException(), "");
    const std::vector<double> a = {1.0, -0.6, 0.2};
    const std::vector<double> b = {0.3, 0.4, 0.3};
    Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalFilter(jni(), nullptr, env.doubles(a),
                                                                env.doubles(b), 3, 3);
    Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalEnable(jni(), nullptr, 1);
    Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalAmount(jni(), nullptr, 0.9f);
    Java_quorvel_tambrino_NativeInterface_dspPanning(jni(), nullptr, 1, 0, 30);
    Java_quorvel_tambrino_NativeInterface_dspEQSetBands(
        jni(), nullptr, env.floats(std::vector<float>(static_cast<size_t>(frameSize / 2), 1.5f)));
    Java_quorvel_tambrino_NativeInterface_dspEQEnable(jni(), nullptr, 1);
    Java_quorvel_tambrino_NativeInterface_dspSpectrumEnable(jni(), nullptr, 1);
    Java_quorvel_tambrino_NativeInterface_dspSetPreamp(jni(), nullptr, 3.0f);
    ASSERT_EQ(env.takeException(), "") << env.pendingMessage;
  }
};

TEST_F(NoAllocation, TheCounterSeesAllocations) {
  counting.store(true);
  allocations.store(0);
  auto* p = new std::vector<int>(100);
  counting.store(false);
  EXPECT_GE(allocations.load(), 2);
  delete p;
#ifndef TAMBRINO_SANITIZED
  counting.store(true);
  allocations.store(0);
  void* m = std::malloc(64);
  counting.store(false);
  EXPECT_EQ(allocations.load(), 1);
  std::free(m);
#endif
}

TEST_F(NoAllocation, StereoBlocksAfterTheFirstAllocateNothing) {
  ASSERT_NO_FATAL_FAILURE(start(2048, 4, 44100, 2));
  processCounted(2, 4096, 3000, 0);  // makes the work buffers

  int offset = 4096;
  long total = 0;
  // Same size, smaller, other tempos (each change resets the phases), the
  // fold, and a block that returns nothing.
  const int blocks[][2] = {{4096, 3000}, {4096, 3000}, {2048, 2048}, {1000, 1333}, {4096, 2731},
                           {512, 700},   {1, 1},       {4096, 0},    {4096, -5},   {3000, 3000}};
  for (const auto& blk : blocks) {
    total += processCounted(2, blk[0], blk[1], offset);
    offset += blk[0];
  }
  Java_quorvel_tambrino_NativeInterface_dspPanning(jni(), nullptr, 1, 1, 30);
  total += processCounted(2, 4096, 3000, offset);
  EXPECT_EQ(total, 0);
}

TEST_F(NoAllocation, MonoBlocksAfterTheFirstAllocateNothing) {
  ASSERT_NO_FATAL_FAILURE(start(1024, 8, 48000, 1));
  processCounted(1, 2048, 2048, 0);
  long total = 0;
  for (int i = 0; i < 12; i++) total += processCounted(1, 2048 - 100 * i, 1500 + 40 * i, 2048 * (i + 1));
  EXPECT_EQ(total, 0);
}

TEST_F(NoAllocation, OnlyABlockLargerThanAnyBeforeGrowsTheBuffers) {
  ASSERT_NO_FATAL_FAILURE(start(2048, 4, 44100, 2));
  processCounted(2, 1000, 1000, 0);
  EXPECT_EQ(processCounted(2, 1000, 1000, 1000), 0);
  // Far larger than the first block: the buffers grow once...
  EXPECT_GT(processCounted(2, 20000, 30000, 2000), 0);
  // ...and from then on every block up to that size is served from them.
  EXPECT_EQ(processCounted(2, 20000, 30000, 22000), 0);
  EXPECT_EQ(processCounted(2, 20000, 30000, 42000), 0);
  EXPECT_EQ(processCounted(2, 4000, 8000, 62000), 0);
  EXPECT_EQ(processCounted(2, 1000, 1000, 66000), 0);
}

// A block fires a frame only when the carried input completes one, and every
// frame writes a whole hop: a run of blocks of one size still allocates
// nothing when, many blocks later, one of them fires a frame (or one more
// frame than the first did).
TEST_F(NoAllocation, BlocksOfTheFirstSizeAllocateNothingWhenTheyFireFrames) {
  ASSERT_NO_FATAL_FAILURE(start(2048, 4, 44100, 2));
  processCounted(2, 1, 1, 0);
  long total = 0;
  for (int i = 1; i < 1100; i++) total += processCounted(2, 1, 1, i);
  EXPECT_EQ(total, 0);
}

// A slower tempo with a smaller block: fewer frames in, the same number
// out, so each frame writes a longer hop. Still no larger than the first.
TEST_F(NoAllocation, SmallerBlocksAtSlowerTemposAllocateNothing) {
  ASSERT_NO_FATAL_FAILURE(start(2048, 4, 44100, 2));
  processCounted(2, 64, 64, 0);
  long total = 0;
  const int blocks[][2] = {{32, 64}, {16, 64}, {64, 32}, {48, 64}, {64, 64}};
  for (int i = 0; i < 400; i++) total += processCounted(2, blocks[i % 5][0], blocks[i % 5][1], 64 * (i + 1));
  EXPECT_EQ(total, 0);
}

// The fine mode, its tempo changes and transpositions and switches between
// the modes allocate nothing either: its buffers are made by dspInit.
TEST_F(NoAllocation, FineModeBlocksAllocateNothing) {
  ASSERT_NO_FATAL_FAILURE(start(4096, 8, 44100, 2));
  Java_quorvel_tambrino_NativeInterface_dspQualityMode(jni(), nullptr, 1);
  processCounted(2, 4096, 5461, 0);
  long total = 0;
  int offset = 4096;
  const int blocks[][2] = {{4096, 5462}, {4096, 8192}, {1000, 700}, {4096, 0}, {1, 8}, {4096, 4096}, {2048, 3000}};
  for (int round = 0; round < 3; round++) {
    for (const auto& blk : blocks) {
      total += processCounted(2, blk[0], blk[1], offset);
      offset += blk[0];
    }
    Java_quorvel_tambrino_NativeInterface_dspQualityMode(jni(), nullptr, round % 2);
    // Transposed too, formants kept, the ratio ramping across blocks.
    Java_quorvel_tambrino_NativeInterface_dspPitchShift(jni(), nullptr, round == 0 ? 7.0f : -12.5f);
    Java_quorvel_tambrino_NativeInterface_dspPitchFormants(jni(), nullptr, round);
  }
  Java_quorvel_tambrino_NativeInterface_dspPitchShift(jni(), nullptr, 0.0f);
  Java_quorvel_tambrino_NativeInterface_dspPitchFormants(jni(), nullptr, 0);
  EXPECT_EQ(total, 0);
}

}  // namespace
