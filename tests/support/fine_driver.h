// Runs a stream through the engine's entry points the way the command-line
// tool does: fixed-size input blocks, each block's output size by cumulative
// rounding (round(totalIn / tempo) - totalOut), 16-bit samples in and out;
// in the fine mode the start-up delay is dropped and silence is fed after the
// input so that the output lasts the input's duration divided by the tempo.
// For the tests of the fine mode; allocates freely (not the audio path).
#pragma once

#include <jni.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "default_engine.h"
#include "fake_jni.h"
#include "fine.h"
#include "quorvel_tambrino_NativeInterface.h"

namespace finedrive {

constexpr int kRate = 44100;
constexpr int kFrameSize = 4096;  // NativeInterface.fineFrameSize(44100)
constexpr int kOverSampling = 8;  // NativeInterface.fineOverSampling(4096, tempo)
constexpr int kBlock = 4096;      // the command-line tool's block

struct Settings {
  int quality = 1;
  int frameSize = kFrameSize;
  int overSampling = kOverSampling;
  int block = kBlock;
  bool trim = true;  // drop the fine mode's start-up delay and feed silence after the input
  // Feed silence up to a whole number of blocks, so that no block is short:
  // a short block's output, rounded, can ask for a tempo past the limit.
  bool wholeBlocks = false;
  float pitch = 0.0f;  // transposition in semitones, set before the first block
};

struct Output {
  std::vector<float> left, right;  // right empty for a mono stream
  std::string exception;           // class of the first exception raised, if any
};

inline jshort toPcm(float x) {
  const double v = std::nearbyint(static_cast<double>(x) * 32768.0);
  return static_cast<jshort>(std::clamp(v, -32767.0, 32767.0));
}

// Tempo changes: from input frame `at` on, the tempo is `tempo`.
struct TempoChange {
  long at;
  double tempo;
};

// The engine must be set up by the caller's dspInit (or by start()).
inline void start(fakejni::Env& env, int channels, const Settings& s = Settings()) {
  Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, s.frameSize, s.overSampling, kRate, channels);
  Java_quorvel_tambrino_NativeInterface_dspQualityMode(&env, nullptr, s.quality);
  Java_quorvel_tambrino_NativeInterface_dspPitchShift(&env, nullptr, s.pitch);
}

// Processes left (and right unless empty) with tempo changes applied at block
// boundaries; the first change must be at 0.
inline Output process(fakejni::Env& env, const std::vector<float>& left, const std::vector<float>& right,
                      const std::vector<TempoChange>& tempi, const Settings& s = Settings()) {
  const int channels = right.empty() ? 1 : 2;
  const double lastTempo = tempi.back().tempo;
  const double ratio = s.pitch == 0.0f ? 1.0 : std::exp2(s.pitch / 12.0);
  const long latency = s.quality == 1 && s.trim ? fine_latency_shifted(s.frameSize, lastTempo, ratio) : 0;
  const long pad = s.quality == 1 && s.trim ? static_cast<long>(std::ceil(latency * lastTempo)) + 1 : 0;
  const long frames = static_cast<long>(left.size());
  long total = frames + pad;
  if (s.wholeBlocks) total = (total + s.block - 1) / s.block * s.block;
  Output out;
  std::vector<float>* dest[2] = {&out.left, &out.right};
  // Output position and input position where the current tempo began.
  double segOut = 0;
  long segIn = 0;
  size_t change = 0;
  double tempo = tempi[0].tempo;
  long totalIn = 0;
  long totalOut = 0;
  while (totalIn < total) {
    const int n = static_cast<int>(std::min<long>(s.block, total - totalIn));
    if (change + 1 < tempi.size() && totalIn >= tempi[change + 1].at) {
      segOut = static_cast<double>(totalOut);
      segIn = totalIn;
      tempo = tempi[++change].tempo;
    }
    const long want = std::lround(segOut + (totalIn + n - segIn) / tempo) - totalOut;
    const long capacity = std::max<long>(n, want) * channels;
    std::vector<jshort> block(static_cast<size_t>(capacity), 0);
    for (int i = 0; i < n; i++) {
      const long k = totalIn + i;
      block[static_cast<size_t>(i) * channels] = k < frames ? toPcm(left[k]) : 0;
      if (channels == 2) block[static_cast<size_t>(i) * 2 + 1] = k < frames ? toPcm(right[k]) : 0;
    }
    jshortArray array = env.shorts(block);
    Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, array, n, static_cast<int>(want), 0.0f);
    const std::string e = env.takeException();
    if (!e.empty()) {
      out.exception = e;
      return out;
    }
    const std::vector<jshort> result = fakejni::Env::read<jshort>(reinterpret_cast<jarray>(array));
    for (long i = 0; i < want; i++)
      for (int c = 0; c < channels; c++)
        dest[c]->push_back(static_cast<float>(result[static_cast<size_t>(i * channels + c)]) / 32767.0f);
    totalIn += n;
    totalOut += want;
  }
  const long keep = std::lround(segOut + (frames - segIn) / tempo);
  for (int c = 0; c < channels; c++) {
    std::vector<float>& d = *dest[c];
    d.erase(d.begin(), d.begin() + std::min<long>(latency, static_cast<long>(d.size())));
    if (s.trim && s.quality == 1 && static_cast<long>(d.size()) > keep) d.resize(static_cast<size_t>(keep));
  }
  return out;
}

// A fresh stream at one tempo.
inline Output stretch(const std::vector<float>& left, const std::vector<float>& right, double tempo,
                      const Settings& s = Settings()) {
  fakejni::Env env;
  start(env, right.empty() ? 1 : 2, s);
  return process(env, left, right, {{0, tempo}}, s);
}

}  // namespace finedrive
