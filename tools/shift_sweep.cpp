// shift_sweep: the quality benchmark's live transposition run. It streams a
// WAV file through the engine's entry points in the fine mode, as the player
// does, and moves the shift on every block, so that a sweep heard while
// playing can be measured from a file. A benchmark tool, not a test.
//
//   shift_sweep IN.wav OUT.wav TEMPO FROM TO SECONDS [BLOCK]
//       plays IN at TEMPO while the shift moves linearly from FROM to TO
//       semitones over the first SECONDS of output, then stays at TO; BLOCK
//       input frames a block (default 4096, the command-line tool's).
//       Writes the whole output, the engine's start-up delay included.
//
// (The rubberband map file for the same sweep is written by
// scripts/quality.sh.)
#include <jni.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "../tests/support/fake_jni.h"
#include "quorvel_tambrino_NativeInterface.h"
#include "wav_io.h"

namespace {

constexpr int kFrameSize = 4096;  // the fine mode's frame at 44.1 kHz
constexpr int kOverSampling = 8;

jshort pcm(float x) {
  return static_cast<jshort>(std::clamp(std::nearbyint(static_cast<double>(x) * 32768.0), -32768.0, 32767.0));
}

quality::Stereo sweep(const wavio::Audio& in, double tempo, double from, double to, double seconds, int block) {
  fakejni::Env env;
  Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, kFrameSize, kOverSampling,
                                                static_cast<jint>(in.rate), 2);
  Java_quorvel_tambrino_NativeInterface_dspQualityMode(&env, nullptr, 1);
  const long frames = static_cast<long>(in.ch.left.size());
  // Silence after the input lets the engine's delay play out.
  const long total = frames + 2L * kFrameSize;
  quality::Stereo out;
  long fed = 0, made = 0;
  while (fed < total) {
    const int n = static_cast<int>(std::min<long>(block, total - fed));
    const double progress = std::min(1.0, static_cast<double>(made) / (seconds * in.rate));
    Java_quorvel_tambrino_NativeInterface_dspPitchShift(&env, nullptr,
                                                        static_cast<jfloat>(from + (to - from) * progress));
    if (const std::string e = env.takeException(); !e.empty())
      throw std::runtime_error("the engine refused the shift (" + e + "): FROM and TO lie in -24..24");
    const long want = std::lround(static_cast<double>(fed + n) / tempo) - made;
    std::vector<jshort> data(static_cast<size_t>(std::max<long>(n, want) * 2), 0);
    for (int i = 0; i < n; i++) {
      const long k = fed + i;
      data[2 * static_cast<size_t>(i)] = k < frames ? pcm(in.ch.left[static_cast<size_t>(k)]) : 0;
      data[2 * static_cast<size_t>(i) + 1] = k < frames ? pcm(in.ch.right[static_cast<size_t>(k)]) : 0;
    }
    jshortArray array = env.shorts(data);
    Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, array, n, static_cast<jint>(want), 0.0f);
    const std::string e = env.takeException();
    if (!e.empty()) throw std::runtime_error("the engine raised " + e);
    const std::vector<jshort> result = fakejni::Env::read<jshort>(reinterpret_cast<jarray>(array));
    for (long i = 0; i < want; i++) {
      out.left.push_back(static_cast<float>(result[static_cast<size_t>(2 * i)] / 32768.0));
      out.right.push_back(static_cast<float>(result[static_cast<size_t>(2 * i + 1)] / 32768.0));
    }
    fed += n;
    made += want;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7 && argc != 8) {
    std::fprintf(stderr, "usage: shift_sweep IN.wav OUT.wav TEMPO FROM TO SECONDS [BLOCK]\n");
    return 2;
  }
  try {
    const double tempo = std::stod(argv[3]), from = std::stod(argv[4]), to = std::stod(argv[5]),
                 seconds = std::stod(argv[6]);
    const int block = argc == 8 ? std::stoi(argv[7]) : 4096;
    if (!(tempo > 0) || !(seconds > 0) || block < 1) {
      std::fprintf(stderr, "shift_sweep: TEMPO, SECONDS and BLOCK must be positive\n");
      return 2;
    }
    const wavio::Audio in = wavio::readWav(argv[1]);
    const quality::Stereo out = sweep(in, tempo, from, to, seconds, block);
    wavio::writeWav(argv[2], out, in.rate);
    return 0;
  } catch (const std::invalid_argument&) {
    std::fprintf(stderr, "shift_sweep: TEMPO, FROM, TO, SECONDS and BLOCK must be numbers\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "shift_sweep: %s\n", e.what());
    return 1;
  }
}
