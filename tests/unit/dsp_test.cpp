// The JNI entry points, driven through a strict fake JNIEnv whose arrays are
// exact-size heap copies, so that any access beyond a buffer shows under
// AddressSanitizer.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "../support/fake_jni.h"
#include "quorvel_tambrino_NativeInterface.h"

namespace {

class DspEngine : public ::testing::Test {
 protected:
  fakejni::Env env;

  void init(int frameSize, int overSampling, int rate, int channels) {
    Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, frameSize, overSampling, rate, channels);
    ASSERT_EQ("", env.takeException());
  }

  // A two-tone signal, different on each channel.
  static std::vector<jshort> music(int channels, int frames, int start) {
    std::vector<jshort> v(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; i++) {
      const double t = (start + i) / 44100.0;
      for (int c = 0; c < channels; c++) {
        const double f = c == 0 ? 440.0 : 1250.0;
        v[static_cast<size_t>(i) * channels + c] =
            static_cast<jshort>(std::lround(12000 * std::sin(2 * M_PI * f * t) + 3000 * std::sin(7 * t * f)));
      }
    }
    return v;
  }

  // Processes a block in an array of exactly max(in, out) frames; returns
  // the whole array afterwards.
  std::vector<jshort> block(int channels, int in, int out, int start, const char* expectException = "") {
    std::vector<jshort> data = music(channels, std::max(in, out), start);
    jshortArray array = env.shorts(data);
    Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, array, in, out, 0.0f);
    EXPECT_EQ(expectException, env.takeException());
    return fakejni::Env::read<jshort>(array);
  }
};

TEST_F(DspEngine, APinThatFailsLeavesEverythingAsItWas) {
  auto secondBlock = [this](bool failPin) {
    init(256, 4, 44100, 2);
    block(2, 512, 768, 0);
    if (failPin) {
      std::vector<jshort> data = music(2, 768, 512);
      jshortArray array = env.shorts(data);
      env.failNextGet = true;
      Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, array, 512, 768, 0.0f);
      EXPECT_EQ("java/lang/OutOfMemoryError", env.takeException());
      EXPECT_EQ(data, fakejni::Env::read<jshort>(array));
    }
    std::vector<jshort> out = block(2, 512, 768, 512);
    out.push_back(
        static_cast<jshort>(Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(&env, nullptr) * 1e4f));
    return out;
  };
  const std::vector<jshort> expected = secondBlock(false);
  EXPECT_EQ(expected, secondBlock(true));
}

TEST_F(DspEngine, RefusedCallsNameTheArgumentAndTheRange) {
  Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, 48, 4, 44100, 2);
  EXPECT_EQ("java/lang/IllegalArgumentException", env.pendingClass);
  EXPECT_NE(std::string::npos,
            env.pendingMessage.find("frameSize must be a power of two in 8..4096, got 48"));
  env.takeException();

  Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, 256, 4, 31, 2);
  EXPECT_NE(std::string::npos, env.pendingMessage.find("sampleRate must be at least 32"));
  env.takeException();

  init(256, 4, 44100, 2);
  std::vector<jshort> data = music(2, 50, 0);  // 100 values
  jshortArray array = env.shorts(data);
  Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, array, 50, 51, 0.0f);
  EXPECT_EQ("java/lang/IllegalArgumentException", env.pendingClass);
  EXPECT_NE(std::string::npos, env.pendingMessage.find("at least 102 values, but holds 100"));
  env.takeException();
  Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, array, 10, 50, 0.0f);
  EXPECT_NE(std::string::npos, env.pendingMessage.find("must be in 1..256"));
  env.takeException();
  EXPECT_EQ(data, fakejni::Env::read<jshort>(array));

  Java_quorvel_tambrino_NativeInterface_dspEQSetBands(&env, nullptr, env.floats(std::vector<float>(10)));
  EXPECT_NE(std::string::npos, env.pendingMessage.find("at least 128 gains"));
  env.takeException();

  // A value that is not a number is named as Java names it.
  Java_quorvel_tambrino_NativeInterface_dspSetPreamp(&env, nullptr, std::nanf(""));
  EXPECT_NE(std::string::npos, env.pendingMessage.find("0..64, got NaN")) << env.pendingMessage;
  env.takeException();
  std::vector<float> gains(128, 1.0f);
  gains[5] = -INFINITY;
  Java_quorvel_tambrino_NativeInterface_dspEQSetBands(&env, nullptr, env.floats(gains));
  EXPECT_NE(std::string::npos, env.pendingMessage.find("levels[5] is -Infinity")) << env.pendingMessage;
  env.takeException();
}

}  // namespace
