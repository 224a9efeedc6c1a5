// Deterministic scenarios that drive the engine through its JNI entry points,
// and the digest of everything the engine hands back: every sample of the
// Java array after each block, the peak level and the 72 spectrum values.
//
// Used by the golden-output test (entry points linked in), by the digest tool
// and the benchmark (entry points taken from a libtambrino.so with dlsym).
// The entry points act on the process's default engine, which lasts for the
// process, so each scenario runs in a process of its own (runIsolated forks
// one).
//
// The input is synthesised with + - * / and floor only, so it is the same bit
// for bit on every machine and compiler that keeps IEEE semantics.
#pragma once

#include <jni.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../support/fake_jni.h"

namespace golden {

// ---------------------------------------------------------------------------
// The entry points, as plain function pointers.

struct EngineApi {
  void (*init)(JNIEnv*, jobject, jint, jint, jint, jint);
  void (*voiceRemovalEnable)(JNIEnv*, jobject, jint);
  void (*voiceRemovalAmount)(JNIEnv*, jobject, jfloat);
  void (*setPreamp)(JNIEnv*, jobject, jfloat);
  void (*spectrumEnable)(JNIEnv*, jobject, jint);
  void (*voiceRemovalFilter)(JNIEnv*, jobject, jdoubleArray, jdoubleArray, jint, jint);
  jfloat (*getMaxLevel)(JNIEnv*, jobject);
  void (*process)(JNIEnv*, jobject, jshortArray, jint, jint, jfloat);
  void (*panning)(JNIEnv*, jobject, jint, jint, jint);
  void (*eqSetBands)(JNIEnv*, jobject, jfloatArray);
  void (*eqEnable)(JNIEnv*, jobject, jint);
  void (*getSpectrum)(JNIEnv*, jobject, jfloatArray, jint);
};

#define GOLDEN_ENTRY_POINTS(X)                 \
  X(init, dspInit)                             \
  X(voiceRemovalEnable, dspVoiceRemovalEnable) \
  X(voiceRemovalAmount, dspVoiceRemovalAmount) \
  X(setPreamp, dspSetPreamp)                   \
  X(spectrumEnable, dspSpectrumEnable)         \
  X(voiceRemovalFilter, dspVoiceRemovalFilter) \
  X(getMaxLevel, dspGetMaxLevel)               \
  X(process, dspProcess)                       \
  X(panning, dspPanning)                       \
  X(eqSetBands, dspEQSetBands)                 \
  X(eqEnable, dspEQEnable)                     \
  X(getSpectrum, dspGetSpectrum)

// ---------------------------------------------------------------------------
// FNV-1a, 64 bits.

class Digest {
 public:
  void bytes(const void* data, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; i++) {
      h_ ^= p[i];
      h_ *= 1099511628211ULL;
    }
  }
  void shorts(const std::vector<jshort>& v) {
    for (jshort s : v) {
      const uint16_t u = static_cast<uint16_t>(s);
      const unsigned char b[2] = {static_cast<unsigned char>(u & 0xff), static_cast<unsigned char>(u >> 8)};
      bytes(b, 2);
    }
  }
  void floatBits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    const unsigned char b[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                                static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
    bytes(b, 4);
  }
  uint64_t value() const { return h_; }

 private:
  uint64_t h_ = 14695981039346656037ULL;
};

// ---------------------------------------------------------------------------
// Synthetic music: a chord progression panned to the left, a bass, a melody
// with vibrato in the centre (what voice removal takes out), noise bursts on
// the off-beats panned to the right, a pitch-dropping kick, and a short gap of
// digital silence every few seconds.

// sin(2 pi cycles), from basic operations only.
inline double sineOfCycles(double cycles) {
  double x = cycles - std::floor(cycles);  // [0, 1)
  if (x >= 0.5) x -= 1.0;                  // [-0.5, 0.5)
  // Fold into [-0.25, 0.25]: sin(pi - t) = sin(t).
  if (x > 0.25) x = 0.5 - x;
  if (x < -0.25) x = -0.5 - x;
  const double t = x * 6.283185307179586;
  const double t2 = t * t;
  // Taylor series to t^13: error below 1e-9 on [-pi/2, pi/2].
  double s = 1.0 / 6227020800.0;
  s = s * -t2 + 1.0 / 39916800.0;
  s = s * -t2 + 1.0 / 362880.0;
  s = s * -t2 + 1.0 / 5040.0;
  s = s * -t2 + 1.0 / 120.0;
  s = s * -t2 + 1.0 / 6.0;
  s = s * -t2 + 1.0;
  return s * t;
}

// 440 * 2^((note - 69) / 12) by repeated multiplication with a fixed ratio.
inline double midiFrequency(int note) {
  const double semitone = 1.0594630943592953;  // 2^(1/12)
  double f = 440.0;
  for (int n = 69; n < note; n++) f = f * semitone;
  for (int n = 69; n > note; n--) f = f / semitone;
  return f;
}

class Synth {
 public:
  Synth(int channels, int rate, uint32_t seed, double loudness)
      : channels_(channels), rate_(rate), noise_(seed != 0 ? seed : 1u), loudness_(loudness) {}

  // Appends frames interleaved (channels_ values per frame) to out.
  void render(jshort* out, int frames) {
    for (int i = 0; i < frames; i++, n_++) {
      double left;
      double right;
      sample(n_, left, right);
      if (channels_ == 1) {
        out[i] = quantise((left + right) * 0.5);
      } else {
        out[2 * i] = quantise(left);
        out[2 * i + 1] = quantise(right);
      }
    }
  }

 private:
  static jshort quantise(double v) {
    double s = std::floor(v * 32767.0 + 0.5);
    s = std::min(32767.0, std::max(-32768.0, s));
    return static_cast<jshort>(s);
  }

  double noise() {
    noise_ ^= noise_ << 13;
    noise_ ^= noise_ >> 17;
    noise_ ^= noise_ << 5;
    return static_cast<double>(noise_) / 2147483648.0 - 1.0;
  }

  // Partials 1..4 with falling amplitudes.
  static double tone(double freq, double t) {
    const double c = freq * t;
    return sineOfCycles(c) + 0.5 * sineOfCycles(2.0 * c) + 0.25 * sineOfCycles(3.0 * c) +
           0.125 * sineOfCycles(4.0 * c);
  }

  void sample(int64_t n, double& left, double& right) {
    const double t = static_cast<double>(n) / rate_;
    const double beats = t * 2.0;  // 120 beats per minute
    const int beat = static_cast<int>(std::floor(beats));
    const double inBeat = beats - beat;
    const int bar = beat / 4;

    // A 0.2 s gap of digital silence every 3.5 s (frames without any peak).
    const double cycle = t - 3.5 * std::floor(t / 3.5);
    if (cycle >= 3.1 && cycle < 3.3) {
      left = right = 0.0;
      noise();
      return;
    }

    static const int roots[4] = {48, 45, 41, 43};  // C, A minor, F, G
    static const int thirds[4] = {4, 3, 4, 4};
    const int root = roots[bar % 4];
    const double chordEnv = 1.0 / (1.0 + 3.0 * (inBeat + (beat % 2)));
    const double chord =
        chordEnv * (tone(midiFrequency(root + 12), t) + tone(midiFrequency(root + 12 + thirds[bar % 4]), t) +
                    tone(midiFrequency(root + 19), t));
    const double bass = 0.8 * tone(midiFrequency(root - 12), t) * (1.0 - 0.5 * inBeat);

    // Melody: a note per half beat, with a 5.5 Hz vibrato of about 0.3 %.
    static const int steps[8] = {0, 4, 7, 12, 11, 7, 9, 5};
    const int half = static_cast<int>(std::floor(beats * 2.0));
    const double melodyFreq = midiFrequency(root + 24 + steps[half % 8]);
    const double vibrato = 1.0 + 0.003 * sineOfCycles(5.5 * t);
    const double inHalf = beats * 2.0 - half;
    const double melodyEnv = inHalf < 0.05 ? inHalf / 0.05 : 1.0 - 0.6 * inHalf;
    const double melody = melodyEnv * tone(melodyFreq * vibrato, t);

    // Noise burst on every off-beat, decaying over a tenth of a beat.
    double burst = 0.0;
    const double n1 = noise();
    if (inBeat >= 0.5) {
      const double d = (inBeat - 0.5) * 10.0;
      burst = n1 / (1.0 + d * d * 8.0);
    }
    // Kick: a sine whose pitch falls from 150 Hz, on every beat.
    const double kickT = inBeat * 0.5;  // seconds since the beat
    const double kick =
        (1.0 / (1.0 + 40.0 * kickT)) * sineOfCycles(60.0 * kickT + 90.0 * kickT / (1.0 + 20.0 * kickT));

    const double a = 0.11 * loudness_;
    left = a * (0.9 * chord + 0.6 * bass + melody + 0.25 * burst + 1.5 * kick);
    right = a * (0.35 * chord + 0.6 * bass + melody + 0.7 * burst + 1.5 * kick);
  }

  int channels_;
  int rate_;
  uint32_t noise_;
  double loudness_;
  int64_t n_ = 0;
};

// Digest of three seconds of the stereo synthetic input (stored with the
// scenarios' digests, which all depend on it).
inline uint64_t synthesiserDigest() {
  Synth synth(2, 44100, 12345, 1.0);
  std::vector<jshort> block(2 * 44100);
  Digest d;
  for (int i = 0; i < 3; i++) {
    synth.render(block.data(), 44100);
    d.shorts(block);
  }
  return d.value();
}

// ---------------------------------------------------------------------------
// Settings that a user would give.

// Voice-removal filters: a Butterworth low-pass at 3 kHz (second order), the
// same cascaded with a Butterworth high-pass at 150 Hz (fourth order), and a
// three-tap smoother without feedback; all for 44.1 kHz.
struct Coefficients {
  std::vector<double> a;
  std::vector<double> b;
};
inline Coefficients lowPass2() {
  return {{1.0, -1.407505343915143, 0.5466494936820961},
          {0.03478603744173827, 0.06957207488347654, 0.03478603744173827}};
}
inline Coefficients bandPass4() {
  return {{1.0, -3.377283899741323, 4.289351813000395, -2.442380214523248, 0.5303749049774029},
          {0.03426430802952799, 0.0, -0.068528616059056, 0.0, 0.03426430802952799}};
}
inline Coefficients smoother3() {
  return {{1.0}, {0.25, 0.5, 0.25}};
}

// An equaliser curve over n bins: a low shelf cut, a presence boost, a deep
// notch and a high roll-off, with ripple.
inline std::vector<float> eqCurve(int n) {
  std::vector<float> g(static_cast<size_t>(std::max(n, 0)));
  for (int k = 0; k < n; k++) {
    const double x = static_cast<double>(k) / n;  // 0 .. 1 of the lower half
    double v = 1.0 + 0.3 * sineOfCycles(7.0 * x);
    if (x < 0.01) v *= 0.5;
    if (x > 0.05 && x < 0.12) v *= 1.8;
    if (x > 0.2 && x < 0.22) v *= 0.05;
    if (x > 0.5) v *= 1.0 - (x - 0.5);
    g[static_cast<size_t>(k)] = static_cast<float>(v);
  }
  return g;
}

// ---------------------------------------------------------------------------
// What a scenario does, step by step, against one engine.

struct BlockResult {
  int index;
  const std::vector<jshort>* samples;  // the whole Java array after the call
  int written;                         // how many of them are output (samplesOut frames)
  float maxLevel;
  const std::vector<float>* spectrum;  // 72 values
};
using BlockObserver = std::function<void(const BlockResult&)>;

class Driver {
 public:
  Driver(const EngineApi& api, BlockObserver observer) : api_(api), observer_(std::move(observer)) {}

  // dspInit, and (at the first call) the input for the stream's layout.
  void init(int frameSize, int overSampling, int rate, int channels, double loudness = 1.0,
            uint32_t seed = 12345) {
    if (!synth_) {
      synth_.reset(new Synth(channels, rate, seed, loudness));
      channels_ = channels;
    }
    api_.init(env(), nullptr, frameSize, overSampling, rate, channels);
  }
  void voiceRemoval(int enabled) { api_.voiceRemovalEnable(env(), nullptr, enabled); }
  void voiceRemovalAmount(float amount) { api_.voiceRemovalAmount(env(), nullptr, amount); }
  void voiceRemovalFilter(const Coefficients& c) {
    api_.voiceRemovalFilter(env(), nullptr, env_.doubles(c.a), env_.doubles(c.b),
                            static_cast<jint>(c.a.size()), static_cast<jint>(c.b.size()));
  }
  void preamp(float p) { api_.setPreamp(env(), nullptr, p); }
  void spectrum(int enabled) { api_.spectrumEnable(env(), nullptr, enabled); }
  void panning(int active, int mono, int level) { api_.panning(env(), nullptr, active, mono, level); }
  void eqBands(const std::vector<float>& g) { api_.eqSetBands(env(), nullptr, env_.floats(g)); }
  void eq(int enabled) { api_.eqEnable(env(), nullptr, enabled); }

  // One block: the next samplesIn frames of the input, then the peak level
  // and the spectrum are polled.
  void block(int samplesIn, int samplesOut) {
    const int frames = std::max(samplesIn, samplesOut);
    const size_t len = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
    jshortArray arr = arrayOfLength(len);
    scratch_.assign(len, 0);
    synth_->render(scratch_.data(), samplesIn);
    fakejni::Env::write(arr, scratch_);
    api_.process(env(), nullptr, arr, samplesIn, samplesOut, 1.0f);
    if (!observer_) return;  // timing runs poll nothing
    out_ = fakejni::Env::read<jshort>(arr);
    const float level = api_.getMaxLevel(env(), nullptr);
    if (!spectrumArray_) spectrumArray_ = env_.floats(std::vector<float>(72, -1.0f));
    api_.getSpectrum(env(), nullptr, spectrumArray_, 72);
    spectrum_ = fakejni::Env::read<jfloat>(spectrumArray_);
    const int written = std::max(samplesOut, 0) * channels_;
    observer_(BlockResult{blocks_, &out_, written, level, &spectrum_});
    blocks_++;
  }

  // Blocks of k hops in and k output hops out until about `seconds` of input
  // have gone through.
  void run(double seconds, int rate, int samplesIn, int samplesOut) {
    const int64_t total = static_cast<int64_t>(seconds * rate);
    for (int64_t done = 0; done < total; done += samplesIn) block(samplesIn, samplesOut);
  }

  // Direct access for timing runs: a block without polling.
  jshortArray prepare(int samplesIn, int samplesOut) {
    const int frames = std::max(samplesIn, samplesOut);
    const size_t len = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
    jshortArray arr = arrayOfLength(len);
    scratch_.assign(len, 0);
    synth_->render(scratch_.data(), samplesIn);
    fakejni::Env::write(arr, scratch_);
    return arr;
  }
  void processPrepared(jshortArray arr, int samplesIn, int samplesOut) {
    api_.process(env(), nullptr, arr, samplesIn, samplesOut, 1.0f);
  }
  int channels() const { return channels_; }

 private:
  JNIEnv* env() { return &env_; }
  jshortArray arrayOfLength(size_t len) {
    auto it = arrays_.find(len);
    if (it != arrays_.end()) return it->second;
    jshortArray a = env_.shorts(std::vector<jshort>(len, 0));
    arrays_[len] = a;
    return a;
  }

  const EngineApi& api_;
  BlockObserver observer_;
  fakejni::Env env_;
  std::unique_ptr<Synth> synth_;
  int channels_ = 1;
  int blocks_ = 0;
  std::map<size_t, jshortArray> arrays_;
  std::vector<jshort> scratch_;
  std::vector<jshort> out_;
  jfloatArray spectrumArray_ = nullptr;
  std::vector<float> spectrum_;
};

// ---------------------------------------------------------------------------
// The scenarios. Block sizes are whole hops (samplesIn = k * stepIn and
// samplesOut = k * stepOut, so the engine writes exactly samplesOut frames)
// unless the name says "ragged".

struct Scenario {
  const char* name;
  void (*run)(Driver&);
};

// samplesOut for k hops of stepOut, and the matching samplesIn.
inline void hops(Driver& d, double seconds, int rate, int stepIn, int stepOut, int k) {
  d.run(seconds, rate, k * stepIn, k * stepOut);
}

inline const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = {
      {"mono_512_4_tempo100",
       [](Driver& d) {
         d.init(512, 4, 44100, 1);
         hops(d, 3.0, 44100, 128, 128, 8);
       }},
      {"mono_1024_8_48k_tempo075",
       [](Driver& d) {
         d.init(1024, 8, 48000, 1);
         hops(d, 3.0, 48000, 128, 171, 16);
       }},
      {"mono_4096_8_tempo150_limiter",
       [](Driver& d) {
         d.init(4096, 8, 44100, 1, 1.5);
         d.preamp(2.5f);
         hops(d, 2.0, 44100, 512, 341, 4);
         d.preamp(9.0f);  // factors below zero: the limiter folds the sign
         hops(d, 1.0, 44100, 512, 341, 4);
       }},
      {"mono_2048_2_22k_ragged",
       [](Driver& d) {
         d.init(2048, 2, 22050, 1);
         d.eqBands(eqCurve(1024));
         d.eq(1);
         const int in[] = {2048, 700, 1500, 333, 1, 2047, 1024, 90, 1200};
         const int out[] = {1638, 560, 1200, 266, 1, 1637, 0, 72, 960};
         for (int r = 0; r < 14; r++)
           for (int i = 0; i < 9; i++) d.block(in[i], out[i]);
       }},
      {"mono_4096_4_stereo_settings_ignored",
       [](Driver& d) {
         d.init(4096, 4, 44100, 1);
         d.voiceRemovalFilter(lowPass2());
         d.voiceRemoval(1);
         d.voiceRemovalAmount(1.0f);
         d.panning(1, 1, 20);
         hops(d, 1.5, 44100, 1024, 1024, 2);
         d.panning(1, 0, 80);
         hops(d, 1.5, 44100, 1024, 1400, 2);
       }},
      {"stereo_2048_4_tempo075_full",
       [](Driver& d) {
         d.init(2048, 4, 44100, 2);
         d.voiceRemovalFilter(bandPass4());
         d.voiceRemoval(1);
         d.voiceRemovalAmount(0.8f);
         d.eqBands(eqCurve(1024));
         d.eq(1);
         d.preamp(2.0f);
         hops(d, 4.0, 44100, 512, 683, 4);
       }},
      {"stereo_1024_4_pan25_tempo125",
       [](Driver& d) {
         d.init(1024, 4, 44100, 2);
         d.panning(1, 0, 25);
         hops(d, 3.0, 44100, 256, 205, 8);
       }},
      {"stereo_512_8_48k_pan90_eq_tempo050",
       [](Driver& d) {
         d.init(512, 8, 48000, 2);
         d.panning(1, 0, 90);
         d.eqBands(eqCurve(256));
         d.eq(1);
         hops(d, 2.5, 48000, 64, 128, 16);
       }},
      {"stereo_4096_16_monofold_tempo090",
       [](Driver& d) {
         d.init(4096, 16, 44100, 2);
         d.panning(1, 1, 30);
         hops(d, 3.0, 44100, 256, 284, 8);
       }},
      {"stereo_2048_8_tempo_changes",
       [](Driver& d) {
         d.init(2048, 8, 44100, 2);
         const int stepOuts[] = {256, 320, 200, 256, 400, 256};
         for (int i = 0; i < 6; i++) {
           if (i == 2) d.panning(1, 0, 60);
           if (i == 3) d.spectrum(0);  // frozen: polls keep the last values
           if (i == 4) d.spectrum(2);
           if (i == 5) d.panning(0, 1, 0);
           hops(d, 0.6, 44100, 256, stepOuts[i], 4);
         }
       }},
      {"stereo_1024_2_voice_removal_changes",
       [](Driver& d) {
         d.init(1024, 2, 44100, 2, 1.3);
         d.voiceRemovalFilter(lowPass2());
         d.voiceRemoval(1);
         d.voiceRemovalAmount(1.0f);
         hops(d, 1.0, 44100, 512, 640, 2);
         d.voiceRemovalFilter(bandPass4());  // histories restart mid-stream
         d.preamp(1.6f);
         hops(d, 0.7, 44100, 512, 640, 2);
         d.voiceRemoval(0);
         d.eqBands(eqCurve(512));
         d.eq(1);
         hops(d, 0.5, 44100, 512, 640, 2);
         d.voiceRemovalFilter(smoother3());
         d.voiceRemoval(1);
         d.voiceRemovalAmount(0.5f);
         d.preamp(7.0f);  // deep into the stereo limiter
         d.eq(0);
         hops(d, 0.8, 44100, 512, 640, 2);
       }},
      {"stereo_2048_4_ragged_full",
       [](Driver& d) {
         d.init(2048, 4, 44100, 2);
         d.voiceRemovalFilter(bandPass4());
         d.voiceRemoval(1);
         d.voiceRemovalAmount(0.7f);
         d.eqBands(eqCurve(1024));
         d.eq(1);
         d.panning(1, 0, 40);
         d.preamp(1.8f);
         const int in[] = {4096, 1000, 3000, 17, 2600, 512, 4000};
         const int out[] = {3000, 800, 3100, 20, 1900, 700, 2900};
         for (int r = 0; r < 6; r++)
           for (int i = 0; i < 7; i++) d.block(in[i], out[i]);
       }},
      {"stereo_reinit_1024_to_2048",
       [](Driver& d) {
         d.init(1024, 4, 44100, 2);
         d.eqBands(eqCurve(512));
         d.eq(1);
         hops(d, 1.5, 44100, 256, 320, 8);
         // The gain table keeps its first size: bins above it are unchanged.
         d.init(2048, 4, 44100, 2);
         hops(d, 1.5, 44100, 512, 640, 4);
       }},
      {"stereo_512_4_22k_loud",
       [](Driver& d) {
         d.init(512, 4, 22050, 2, 2.0);
         d.voiceRemovalFilter(smoother3());
         d.voiceRemoval(3);
         d.voiceRemovalAmount(0.9f);
         d.preamp(3.0f);
         hops(d, 3.0, 22050, 128, 96, 16);
       }},
      // Half speed pushes 2048 output samples a frame, more than the
      // analyser's interval of 1378: a backlog builds, which unity then drains
      // with an analysis at every push, and which a second dspInit keeps.
      {"stereo_4096_4_halfspeed_backlog",
       [](Driver& d) {
         d.init(4096, 4, 44100, 2);
         d.voiceRemovalFilter(lowPass2());
         d.voiceRemoval(1);
         d.voiceRemovalAmount(0.6f);
         for (int b = 0; b < 40; b++) d.block(4096, 8192);
         for (int b = 0; b < 30; b++) d.block(4096, 4096);
         d.init(4096, 4, 44100, 2);
         for (int b = 0; b < 10; b++) d.block(4096, 4096);
       }},
  };
  return all;
}

inline const Scenario* findScenario(const std::string& name) {
  for (const Scenario& s : scenarios())
    if (name == s.name) return &s;
  return nullptr;
}

// What a scenario produced: its digest, and enough about the audio to tell a
// real output from a silent or broken one.
struct Outcome {
  uint64_t digest = 0;
  int blocks = 0;
  double peakSample = 0.0;  // largest |output sample| of the output frames
  double sumSquares = 0.0;
  int64_t samples = 0;
  float maxSpectrum = 0.0f;
  bool ok = false;
  std::string error;
};

inline Outcome runScenario(const EngineApi& api, const Scenario& s) {
  Outcome o;
  Digest dg;
  BlockObserver obs = [&](const BlockResult& r) {
    dg.shorts(*r.samples);
    dg.floatBits(r.maxLevel);
    for (float v : *r.spectrum) {
      dg.floatBits(v);
      o.maxSpectrum = std::max(o.maxSpectrum, v);
    }
    for (int i = 0; i < r.written; i++) {
      const double x = (*r.samples)[static_cast<size_t>(i)];
      o.peakSample = std::max(o.peakSample, std::fabs(x));
      o.sumSquares += x * x;
    }
    o.samples += r.written;
    o.blocks++;
  };
  Driver d(api, obs);
  s.run(d);
  o.digest = dg.value();
  o.ok = true;
  return o;
}

// Runs fn in a child process (a fresh engine) and hands back its Outcome.
// Windows has no fork: there the scenario runs in this process, which the
// golden test gives one scenario each (ctest runs every test on its own).
inline Outcome runIsolated(const std::function<Outcome()>& fn) {
#if defined(_WIN32)
  return fn();
#else
  int fds[2];
  Outcome o;
  if (pipe(fds) != 0) {
    o.error = "pipe failed";
    return o;
  }
  std::fflush(nullptr);  // or the child would write the parent's buffered output again
  const pid_t pid = fork();
  if (pid < 0) {
    o.error = "fork failed";
    return o;
  }
  if (pid == 0) {
    close(fds[0]);
    Outcome r = fn();
    const double fields[6] = {
        static_cast<double>(r.blocks),      r.peakSample,    r.sumSquares, static_cast<double>(r.samples),
        static_cast<double>(r.maxSpectrum), r.ok ? 1.0 : 0.0};
    unsigned char buf[8 + sizeof(fields)];
    std::memcpy(buf, &r.digest, 8);
    std::memcpy(buf + 8, fields, sizeof(fields));
    ssize_t w = write(fds[1], buf, sizeof(buf));
    _exit(w == static_cast<ssize_t>(sizeof(buf)) ? 0 : 3);
  }
  close(fds[1]);
  unsigned char buf[8 + 6 * sizeof(double)];
  size_t got = 0;
  while (got < sizeof(buf)) {
    ssize_t n = read(fds[0], buf + got, sizeof(buf) - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (got != sizeof(buf) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    o.error = "the scenario's process failed (status " + std::to_string(status) + ")";
    return o;
  }
  double fields[6];
  std::memcpy(&o.digest, buf, 8);
  std::memcpy(fields, buf + 8, sizeof(fields));
  o.blocks = static_cast<int>(fields[0]);
  o.peakSample = fields[1];
  o.sumSquares = fields[2];
  o.samples = static_cast<int64_t>(fields[3]);
  o.maxSpectrum = static_cast<float>(fields[4]);
  o.ok = fields[5] != 0.0;
  return o;
#endif
}

// The stored digests: lines "name hex-digest"; '#' starts a comment.
inline std::map<std::string, uint64_t> parseDigests(const std::string& text) {
  std::map<std::string, uint64_t> m;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    char name[256];
    unsigned long long value;
    if (std::sscanf(line.c_str(), "%255s %llx", name, &value) == 2) m[name] = value;
  }
  return m;
}

}  // namespace golden
