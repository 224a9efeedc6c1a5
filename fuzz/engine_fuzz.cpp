// Coverage-guided fuzz target: every input is decoded into a sequence of
// engine calls with arbitrary arguments, valid and invalid, both at the units
// (within the preconditions that they document but do not check) and at the
// JNI entry points through a strict fake JNIEnv whose arrays are exactly their
// length. Besides crashes and sanitizer reports it checks the promises made at
// the Java boundary: a call raises an exception exactly when its arguments are
// out of range (the settings' limits included: a gain, amount or panning level
// out of range, an equaliser gain that is not finite or out of range, a voice
// filter that is not finite, unstable or too loud), only one of the documented
// classes, and a refused call changes neither the engine nor the caller's
// array. Blocks run in both quality modes
// (each with its own limits on the block's ratio) and write only samplesOut
// frames, every sample within -32767..32767. The vector paths of the units are
// held to their definitions bit for bit: the split transforms against the
// interleaved one, the per-bin steps against the C library on every path, the
// analyser's paths against each other, the filter pair's block form against
// its sample steps.
//
// The entry points act on the process's default engine, so state carries over
// from input to input; the model below mirrors the little of it that the checks need.
#include <jni.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "default_engine.h"
#include "eq.h"
#include "fake_jni.h"
#include "fft.h"
#include "iirfilter.h"
#include "iirfilter_testing.h"
#include "pipeline.h"
#include "pipeline_testing.h"
#include "quorvel_tambrino_NativeInterface.h"
#include "setting_limits.h"
#include "spectrum.h"
#include "spectrum_testing.h"
#include "vector_path.h"
#include "vocoder.h"
#include "vocoder_testing.h"

namespace {

// Work per call is capped so that the fuzzer keeps thousands of executions a
// second; oversized requests are still made, but with arrays too short for
// them, which the engine must refuse cheaply.
constexpr int kMaxOps = 48;
// A set-up (dspInit, vocoder_init, spectrum_init) rebuilds tables and
// buffers and costs as much as a hundred small blocks: one of each kind per
// input keeps the fuzzer fast, and state carries over between inputs anyway.
constexpr int kMaxSetUpsPerInput = 1;
constexpr int64_t kFrameWorkBudget = int64_t{1} << 16;  // FFT points per call
// Every frame may also run a spectrum analysis (at very low sample rates the
// analysis interval is a single sample), which costs more than a small FFT.
constexpr int64_t kMaxFramesPerCall = 128;
constexpr int kMaxArray = 1 << 18;

const char* const kIse = "java/lang/IllegalStateException";
const char* const kIae = "java/lang/IllegalArgumentException";
const char* const kNpe = "java/lang/NullPointerException";
const char* const kOom = "java/lang/OutOfMemoryError";

[[noreturn]] void finding(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "engine_fuzz: %s %s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return size_ - std::min(pos_, size_); }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return v;
  }
  // lo..hi inclusive.
  int range(int lo, int hi) {
    const uint32_t span = static_cast<uint32_t>(static_cast<int64_t>(hi) - lo + 1);
    return static_cast<int>(lo + static_cast<int64_t>(u32() % span));
  }
  // Mostly one of the given values or an edge of the int range, sometimes a
  // small number, sometimes any 32-bit value.
  int anyInt(std::initializer_list<int> typical) {
    const uint8_t sel = byte();
    if (sel < 140) return typical.begin()[sel % typical.size()];
    if (sel < 160) {
      static const int edges[] = {0,
                                  -1,
                                  1,
                                  std::numeric_limits<int>::min(),
                                  std::numeric_limits<int>::max(),
                                  std::numeric_limits<int>::min() + 1,
                                  std::numeric_limits<int>::max() - 1};
      return edges[sel % 7];
    }
    if (sel < 220) return range(-16, 5000);
    return static_cast<int>(u32());
  }
  float anyFloat(std::initializer_list<float> typical) {
    const uint8_t sel = byte();
    if (sel < 140) return typical.begin()[sel % typical.size()];
    if (sel < 180) {
      static const float specials[] = {
          std::numeric_limits<float>::quiet_NaN(),  std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity(),  -0.0f,
          std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(),
          -std::numeric_limits<float>::max(),       1e-30f};
      return specials[sel % 8];
    }
    const uint32_t bits = u32();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  double anyDouble(std::initializer_list<double> typical) {
    const uint8_t sel = byte();
    if (sel < 160) return typical.begin()[sel % typical.size()];
    if (sel < 200) {
      static const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity(),
                                        1e300,
                                        -1e300,
                                        std::numeric_limits<double>::denorm_min()};
      return specials[sel % 6];
    }
    const uint64_t bits = static_cast<uint64_t>(u32()) | (static_cast<uint64_t>(u32()) << 32);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// What the fuzzer knows of the engine's configuration: the arguments of the
// last dspInit that raised nothing.
struct Model {
  bool configured = false;
  int frameSize = 0;
  int overSampling = 0;
  int sampleRate = 0;
  int channels = 0;
  // A unit-level vocoder_init replaced the set-up that dspInit made; the host
  // binding owns that set-up, so it is restored before the next entry call.
  bool vocoderReplaced = false;
};
Model model;
// The last quality mode that dspQualityMode accepted; unlike the stream, it
// outlives a dspInit.
int qualityMode = 0;

// Set-ups of each kind made by the current input.
struct SetUpCount {
  int dspInit = 0;
  int vocoderInit = 0;
  int spectrumInit = 0;
};
SetUpCount setUps;

// Bitwise equality: NaN payloads included, and a NaN equals itself.
template <typename T>
bool sameBits(const std::vector<T>& x, const std::vector<T>& y) {
  return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(T)) == 0);
}

bool isPowerOfTwo(int64_t n) {
  return n > 0 && (n & (n - 1)) == 0;
}

// ---- Signals ---------------------------------------------------------------

std::vector<int16_t> pcm(Input& in, size_t count) {
  std::vector<int16_t> v(count);
  const uint8_t kind = in.byte() % 6;
  switch (kind) {
    case 0: {  // raw bytes, repeated
      const size_t take = std::min(in.remaining() / 2, std::min<size_t>(count, 64));
      std::vector<int16_t> pattern(std::max<size_t>(take, 1), 0);
      for (size_t i = 0; i < take; i++) pattern[i] = static_cast<int16_t>(in.u16());
      for (size_t i = 0; i < count; i++) v[i] = pattern[i % pattern.size()];
      break;
    }
    case 1: {  // a sine per channel slot
      const double freq = 20.0 + in.range(0, 8000);
      const double amp = in.range(0, 32767);
      for (size_t i = 0; i < count; i++) v[i] = static_cast<int16_t>(amp * std::sin(freq * 0.0001424 * i));
      break;
    }
    case 2:  // full-scale extremes
      for (size_t i = 0; i < count; i++) v[i] = (i & 1) ? int16_t{-32768} : int16_t{32767};
      break;
    case 3:  // silence
      break;
    default: {  // noise
      uint32_t s = in.u32() | 1u;
      for (size_t i = 0; i < count; i++) {
        s = s * 1664525u + 1013904223u;
        v[i] = static_cast<int16_t>(s >> 16);
      }
      break;
    }
  }
  return v;
}

std::vector<float> floats(Input& in, size_t count) {
  std::vector<float> v(count);
  const uint8_t kind = in.byte() % 7;
  if (kind == 0) {
    const float special = in.anyFloat({0.0f, 1.0f, -1.0f, 1e6f});
    for (size_t i = 0; i < count; i++) v[i] = (i % 7 == 3) ? special : static_cast<float>(std::sin(0.3 * i));
  } else if (kind == 1) {
    uint32_t s = in.u32() | 1u;
    for (size_t i = 0; i < count; i++) {
      s = s * 1664525u + 1013904223u;
      v[i] = static_cast<float>(static_cast<int32_t>(s)) * 4.656613e-10f;
    }
  } else if (kind == 2) {
    const float value = in.anyFloat({0.5f, 1.0f, 2.0f, 0.0f});
    std::fill(v.begin(), v.end(), value);
  } else if (kind == 3) {  // any bit pattern: every exponent, NaNs, infinities, subnormals
    uint32_t s = in.u32() | 1u;
    for (size_t i = 0; i < count; i++) {
      s = s * 1664525u + 1013904223u;
      const uint32_t bits = s ^ (s >> 13) * 2654435761u;
      std::memcpy(&v[i], &bits, sizeof bits);
    }
  } else if (kind == 4) {  // around multiples of pi/4, where range reductions switch
    const int scale = in.range(0, 24);
    uint32_t s = in.u32() | 1u;
    for (size_t i = 0; i < count; i++) {
      s = s * 1664525u + 1013904223u;
      const double multiple = static_cast<double>(static_cast<int32_t>(s) >> (31 - scale));
      float f = static_cast<float>(multiple * 0.7853981633974483);
      const int ulps = static_cast<int>(s >> 28) - 8;
      uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      bits += static_cast<uint32_t>(ulps);
      std::memcpy(&f, &bits, sizeof bits);
      v[i] = f;
    }
  } else if (kind == 5) {  // small and huge magnitudes of both signs, and signed zeros
    uint32_t s = in.u32() | 1u;
    for (size_t i = 0; i < count; i++) {
      s = s * 1664525u + 1013904223u;
      const float mant = static_cast<float>(s >> 8) * 5.9604645e-8f;
      v[i] = std::ldexp((s & 1) ? -mant : mant, static_cast<int>((s >> 1) % 80) - 40);
      if ((s >> 4) % 31 == 0) v[i] = (s & 2) ? -0.0f : 0.0f;
    }
  } else {
    for (size_t i = 0; i < count; i++) v[i] = static_cast<float>(std::sin(0.05 * i));
  }
  return v;
}

// ---- Units -----------------------------------------------------------------

void unitFft(Input& in) {
  const int n = in.anyInt({8, 16, 64, 256, 1024, 2048, 4096, 1, 2, 3, 0, 8192, -8});
  if (fft_init(n)) {
    if (!isPowerOfTwo(n) || n > FFT_MAX_SIZE) finding("fft_init accepted", std::to_string(n));
    std::vector<float> buffer = floats(in, static_cast<size_t>(2 * n));
    fft_process(buffer.data(), in.anyInt({1, -1, 0, 2}));
    // Drawn and unused, so that every input of the corpus still reaches
    // the same calls after this one.
    in.anyInt({0, 1, 7});
  } else if (isPowerOfTwo(n) && n <= FFT_MAX_SIZE) {
    finding("fft_init refused", std::to_string(n));
  }
  // The vocoder transforms with whatever tables exist: give them back.
  if (vocoder_win_size() > 0 && !fft_init(vocoder_win_size())) finding("fft_init of the vocoder's size");
}

void unitVocoderInit(Input& in) {
  const int size = in.anyInt({8, 16, 32, 512, 2048, 4096, 0, 4, 3, 8192});
  const int step = in.anyInt({1, 2, 4, 128, 512, 1024, 0, -1, 4096, 4097});
  const bool valid = isPowerOfTwo(size) && size >= 8 && size <= 4096 && step >= 1 && step <= size;
  if (!model.configured) return;  // the host binding's set-up could not be given back
  if (++setUps.vocoderInit > kMaxSetUpsPerInput) return;
  const bool ok = vocoder_init(size, step);
  if (ok != valid) finding("vocoder_init", std::to_string(size) + " " + std::to_string(step));
  if (ok) model.vocoderReplaced = true;
}

void unitVocoderProcess(Input& in) {
  const int win = vocoder_win_size();
  if (win == 0) return;
  const int channel = in.anyInt({0, 1, 2, -1});
  const int64_t budget =
      std::min<int64_t>(65536, std::min(kMaxFramesPerCall, kFrameWorkBudget / win) * vocoder_step_in());
  const int inSize =
      static_cast<int>(std::clamp<int64_t>(in.anyInt({1, 64, 512, 2048, 4096, 0, -5}), -100, budget));
  const int hop = in.anyInt({vocoder_step_in(), win, 0, win + 1, -1, 1, win / 3});
  const bool valid = (channel == 0 || channel == 1) && hop >= 0 && hop <= win;
  const int frames = valid ? vocoder_frames_for(inSize, channel) : 0;
  std::vector<float> input = floats(in, static_cast<size_t>(std::max(inSize, 1)));
  std::vector<float> output(std::max<size_t>(1, static_cast<size_t>(frames) * static_cast<size_t>(hop)));
  const int written = vocoder_process(input.data(), inSize, output.data(), hop, channel);
  if (written != (valid ? frames * hop : -1)) finding("vocoder_process wrote", std::to_string(written));
}

void unitSpectrum(Input& in) {
  const uint8_t what = in.byte() % 4;
  if (what == 0) {
    if (++setUps.spectrumInit > kMaxSetUpsPerInput) return;
    spectrum_init(in.anyInt({44100, 48000, 8000, 32, 31, 0, -44100, 192000}), in.anyInt({1, 2, 0, 3, -1}));
  } else if (what == 1) {
    spectrum_enabled.store(in.anyInt({1, 0, 2, -1}));
  } else {
    const int size = std::min(in.anyInt({512, 1378, 4, 3, 0, -1, 16385, 70000}), 70000);
    const int channel = in.anyInt({0, 1, 2, -1});
    if (in.byte() % 8 == 0) {
      spectrum_push(nullptr, size, channel);
    } else {
      std::vector<float> samples = floats(in, static_cast<size_t>(std::max(size, 1)));
      spectrum_push(samples.data(), size, channel);
    }
  }
  if (spectrum_size() != SPECTRUM_NOTES) finding("spectrum_size");
  const std::atomic<float>* values = spectrum_get();
  for (int i = 0; i < SPECTRUM_NOTES; i++) {
    if (values[i].load() < 0.0f) finding("negative spectrum value");
  }
}

void unitEq(Input& in) {
  const uint8_t what = in.byte() % 4;
  if (what == 0) {
    eq_init(std::min(in.anyInt({1024, 2048, 4, 1, 0, -3}), 65536));
  } else if (what == 1) {
    if (in.byte() % 8 == 0) {
      eq_setbands(nullptr);
    } else {
      std::vector<float> bands = floats(in, static_cast<size_t>(std::max(eq_band_count(), 1)));
      eq_setbands(bands.data());
    }
  } else if (what == 2) {
    eq_enable(in.anyInt({0, 1, 2, -1}));
  } else {
    const int k = in.anyInt({0, 1, 1023, 1024, 2047, 2048, -1});
    const float g = eq_gain(k);
    if ((k < 0 || k >= eq_band_count()) && g != 1.0f) finding("eq_gain outside the table");
  }
}

void unitIir(Input& in) {
  static iirFilter scratch{};  // reloading it frees its previous arrays
  const uint8_t what = in.byte() % 5;
  if (what == 0) {
    iir_init();
  } else if (what == 1 || what == 2) {
    const int sizeA = std::min(in.anyInt({1, 2, 3, 5, 0, -1}), 64);
    const int sizeB = std::min(in.anyInt({1, 2, 3, 5, 0, -1}), 64);
    const bool nullA = in.byte() % 8 == 0;
    const bool nullB = in.byte() % 8 == 0;
    std::vector<double> a(static_cast<size_t>(std::max(sizeA, 1)));
    std::vector<double> b(static_cast<size_t>(std::max(sizeB, 1)));
    for (double& c : a) c = in.anyDouble({1.0, -0.5, 0.25, 0.0, 2.0});
    for (double& c : b) c = in.anyDouble({1.0, 0.5, -0.25, 0.0});
    const bool valid = !nullA && !nullB && sizeA >= 1 && sizeB >= 1;
    const IirResult r =
        what == 1
            ? iir_init_filters(nullA ? nullptr : a.data(), nullB ? nullptr : b.data(), sizeA, sizeB)
            : iir_init_filter(&scratch, nullA ? nullptr : a.data(), nullB ? nullptr : b.data(), sizeA, sizeB);
    if ((r == IIR_INVALID_ARGUMENT) == valid) finding("iir_init_filter(s) result", std::to_string(r));
  } else if (what == 3) {
    const int steps = in.range(1, 300);
    const int channel = in.anyInt({0, 1, 2, -1});
    const double x = in.anyDouble({1000.0, -32768.0, 0.0, 1.0});
    for (int i = 0; i < steps; i++) iir_step(channel, i == 0 ? x : 0.0);
    (void)iir_has_coefficients();
  } else {
    // The block form against the sample steps it stands for, each from the
    // same freshly loaded coefficients.
    const int sizeA = in.range(1, 8);
    const int sizeB = in.range(1, 8);
    std::vector<double> a(static_cast<size_t>(sizeA));
    std::vector<double> b(static_cast<size_t>(sizeB));
    for (double& c : a) c = in.anyDouble({1.0, -0.5, 0.25, 0.9, -0.99});
    for (double& c : b) c = in.anyDouble({1.0, 0.5, -0.25, 0.0});
    const size_t count = static_cast<size_t>(in.range(0, 600));
    const std::vector<float> x0 = floats(in, count);
    const std::vector<float> x1 = floats(in, count);
    std::vector<double> in0(count);
    std::vector<double> in1(count);
    for (size_t i = 0; i < count; i++) {
      in0[i] = 32768.0 * x0[i];
      in1[i] = 32768.0 * x1[i];
    }
    std::vector<double> block0(count);
    std::vector<double> block1(count);
    if (iir_init_filters(a.data(), b.data(), sizeA, sizeB) != IIR_OK) finding("iir_init_filters refused");
    iir_step_pair_block(in0.data(), in1.data(), block0.data(), block1.data(), static_cast<int>(count));
    if (iir_init_filters(a.data(), b.data(), sizeA, sizeB) != IIR_OK) finding("iir_init_filters refused");
    for (size_t i = 0; i < count; i++) {
      const double y0 = iir_step(0, in0[i]);
      const double y1 = iir_step(1, in1[i]);
      const bool same0 =
          std::memcmp(&y0, &block0[i], sizeof y0) == 0 || (std::isnan(y0) && std::isnan(block0[i]));
      const bool same1 =
          std::memcmp(&y1, &block1[i], sizeof y1) == 0 || (std::isnan(y1) && std::isnan(block1[i]));
      if (!same0 || !same1) finding("iir_step_pair_block differs from iir_step at", std::to_string(i));
    }
  }
}

// Equal results: bit for bit, except that any NaN equals any NaN (the
// payload of a NaN is not a result).
bool sameResult(float x, float y) {
  return std::memcmp(&x, &y, sizeof x) == 0 || (std::isnan(x) && std::isnan(y));
}

void compare(const char* what, const std::vector<float>& got, const std::vector<float>& want, size_t count) {
  for (size_t k = 0; k < count; k++) {
    if (!sameResult(got[k], want[k])) {
      char detail[160];
      std::snprintf(detail, sizeof detail, "at %zu: %a instead of %a", k, static_cast<double>(got[k]),
                    static_cast<double>(want[k]));
      finding(what, detail);
    }
  }
}

// The phase wrap as defined: the double quotient by pi truncated to 64 bits,
// moved to the even integer away from zero, times pi subtracted in double.
float referencePrincarg(float phase) {
  const double kPi = 3.141592653589793;
  const double quotient = static_cast<double>(phase) / kPi;
  if (!(std::fabs(quotient) < 9.2e18)) return phase;  // non-finite, or beyond any 64-bit multiple
  int64_t q = static_cast<int64_t>(quotient);
  q += q >= 0 ? (q & 1) : -(q & 1);
  return static_cast<float>(static_cast<double>(phase) - static_cast<double>(q) * kPi);
}

// The path variants to compare: the widest vectors, AVX2 only, portable.
struct PathVariant {
  const char* name;
  bool vector;
  bool wide;
};
constexpr PathVariant kVariants[] = {
    {"wide vector", true, true}, {"AVX2", true, false}, {"portable", false, false}};

// The split-array transforms of the vocoder against the interleaved one that
// defines them.
void fftSplit(Input& in) {
  const int n = in.anyInt({64, 8, 16, 32, 128, 256, 512, 1024, 2048, 4096});
  if (!isPowerOfTwo(n) || n < 8 || n > FFT_MAX_SIZE) return;
  const PathVariant& variant = kVariants[in.byte() % 3];
  use_vector_path(variant.vector, variant.wide);
  if (!fft_init(n)) finding("fft_init refused", std::to_string(n));
  const std::string path = std::string(" (") + variant.name + ")";
  const size_t size = static_cast<size_t>(n);
  const std::vector<float> x = floats(in, size);
  std::vector<float> re(size);
  std::vector<float> im(size);
  fft_forward_real(x.data(), re.data(), im.data());
  std::vector<float> buffer(2 * size, 0.0f);
  for (size_t i = 0; i < size; i++) buffer[2 * i] = x[i];
  fft_process(buffer.data(), -1);
  std::vector<float> wantRe(size / 2);
  std::vector<float> wantIm(size / 2);
  for (size_t k = 0; k < size / 2; k++) {
    wantRe[k] = buffer[2 * k];
    wantIm[k] = buffer[2 * k + 1];
  }
  compare(("fft_forward_real re" + path).c_str(), re, wantRe, size / 2);
  compare(("fft_forward_real im" + path).c_str(), im, wantIm, size / 2);

  // The vocoder's entry: the frame times a window, formed while loading.
  const std::vector<float> window = floats(in, size);
  fft_forward_windowed(x.data(), window.data(), re.data(), im.data());
  std::fill(buffer.begin(), buffer.end(), 0.0f);
  for (size_t i = 0; i < size; i++) buffer[2 * i] = x[i] * window[i];
  fft_process(buffer.data(), -1);
  for (size_t k = 0; k < size / 2; k++) {
    wantRe[k] = buffer[2 * k];
    wantIm[k] = buffer[2 * k + 1];
  }
  compare(("fft_forward_windowed re" + path).c_str(), re, wantRe, size / 2);
  compare(("fft_forward_windowed im" + path).c_str(), im, wantIm, size / 2);

  const std::vector<float> specRe = floats(in, size / 2);
  const std::vector<float> specIm = floats(in, size / 2);
  fft_inverse_half(specRe.data(), specIm.data(), re.data(), im.data());
  std::fill(buffer.begin(), buffer.end(), 0.0f);
  for (size_t k = 0; k < size / 2; k++) {
    buffer[2 * k] = specRe[k];
    buffer[2 * k + 1] = specIm[k];
  }
  fft_process(buffer.data(), 1);
  std::vector<float> want(size);
  for (size_t i = 0; i < size; i++) want[i] = buffer[2 * i];
  compare(("fft_inverse_half" + path).c_str(), re, want, size);
  if (vocoder_win_size() > 0 && !fft_init(vocoder_win_size())) finding("fft_init of the vocoder's size");
}

// The vocoder's per-bin steps, on both paths, against the C library's
// results that define them.
void vocoderBins(Input& in) {
  const size_t count = static_cast<size_t>(in.range(0, 2100));
  const uint8_t step = in.byte() % 3;
  const std::vector<float> a = floats(in, count);
  const std::vector<float> b = floats(in, count);
  const bool withGains = in.byte() % 4 != 0;
  const std::vector<float> gains = floats(in, count);
  std::vector<float> want1(count);
  std::vector<float> want2(count);
  for (size_t k = 0; k < count; k++) {
    if (step == 0) {
      want1[k] = sqrtf(a[k] * a[k] + b[k] * b[k]);
      want2[k] = static_cast<float>(std::atan2(static_cast<double>(b[k]), static_cast<double>(a[k])));
    } else if (step == 1) {
      const float magTmp = withGains ? a[k] * gains[k] : a[k];
      double sine;
      double cosine;
      ::sincos(static_cast<double>(b[k]), &sine, &cosine);
      want1[k] = static_cast<float>(static_cast<double>(magTmp) * cosine);
      want2[k] = static_cast<float>(static_cast<double>(magTmp) * sine);
    } else {
      want1[k] = referencePrincarg(a[k] + b[k]);
    }
  }
  for (const PathVariant& variant : kVariants) {
    use_vector_path(variant.vector, variant.wide);
    std::vector<float> out1(count);
    std::vector<float> out2(count);
    const std::string path = std::string(" (") + variant.name + ")";
    if (step == 0) {
      vocoder_analyze_bins(a.data(), b.data(), out1.data(), out2.data(), static_cast<int>(count));
      compare(("vocoder_analyze_bins mag" + path).c_str(), out1, want1, count);
      compare(("vocoder_analyze_bins phi" + path).c_str(), out2, want2, count);
    } else if (step == 1) {
      vocoder_synthesize_bins(a.data(), withGains ? gains.data() : nullptr, b.data(), out1.data(),
                              out2.data(), static_cast<int>(count));
      compare(("vocoder_synthesize_bins re" + path).c_str(), out1, want1, count);
      compare(("vocoder_synthesize_bins im" + path).c_str(), out2, want2, count);
    } else {
      vocoder_rotate_bins(a.data(), b.data(), out1.data(), static_cast<int>(count));
      compare(("vocoder_rotate_bins" + path).c_str(), out1, want1, count);
    }
  }
  const PathVariant& left = kVariants[in.byte() % 3];
  use_vector_path(left.vector, left.wide);
}

// The analyser's paths, batched or not, over the same pushes: the portable
// unbatched pushes define the levels. Each pass starts from a fresh set-up
// whose carried count is first set to 0 (set-ups keep it).
void spectrumPaths(Input& in) {
  if (++setUps.spectrumInit > kMaxSetUpsPerInput) return;
  const int rate = in.anyInt({44100, 8000, 48000, 22050});
  if (rate < 32 || rate > 192000) return;
  const int channels = in.range(1, 2);
  const int analysisSamples = rate / 4 / 8;
  std::vector<std::vector<float>> chunks;
  const int pushes = in.range(1, 12);
  for (int i = 0; i < pushes; i++) chunks.push_back(floats(in, static_cast<size_t>(in.range(0, 3000))));
  const bool batchedPasses = in.byte() % 2 == 0;
  const std::vector<float> silence(static_cast<size_t>(2 * analysisSamples + 1), 0.0f);
  const int enabledBefore = spectrum_enabled.load();
  spectrum_enabled.store(1);
  struct Pass {
    const char* name;
    bool vector;
    bool wide;
    bool batched;
  };
  const Pass passes[] = {{"portable", false, false, false},   {"wide vector", true, true, false},
                         {"AVX2", true, false, false},        {"batched wide vector", true, true, true},
                         {"batched AVX2", true, false, true}, {"batched portable", false, false, true}};
  std::vector<float> reference;
  for (const Pass& pass : passes) {
    if (pass.batched != batchedPasses && pass.vector) continue;  // half the passes per input, for speed
    use_vector_path(pass.vector, pass.wide);
    spectrum_init(rate, channels);
    spectrum_set_carried_count(0);
    spectrum_push(silence.data(), static_cast<int>(silence.size()), 0);
    if (channels == 2) spectrum_push(silence.data(), static_cast<int>(silence.size()), 1);
    if (pass.batched) spectrum_begin_batch();
    for (int i = 0; i < pushes; i++) {
      spectrum_push(chunks[i].data(), static_cast<int>(chunks[i].size()), channels == 2 ? i % 2 : 0);
    }
    if (pass.batched) spectrum_end_batch();
    const std::atomic<float>* values = spectrum_get();
    std::vector<float> levels;
    for (int k = 0; k < SPECTRUM_NOTES; k++) levels.push_back(values[k].load());
    if (reference.empty()) {
      reference = levels;
    } else {
      compare((std::string("spectrum analysis (") + pass.name + ")").c_str(), levels, reference,
              SPECTRUM_NOTES);
    }
  }
  use_vector_path(in.byte() % 2 == 0);
  spectrum_enabled.store(enabledBefore);
}

void unitPaths(Input& in) {
  switch (in.byte() % 7) {
    case 0: {
      const float p = in.anyFloat({0.0f, 3.14159274f, -3.14159274f, 1e10f, -1e30f, 100.0f});
      if (!sameResult(vocoder_princarg(p), referencePrincarg(p)))
        finding("vocoder_princarg", std::to_string(p));
      break;
    }
    case 1:
      fftSplit(in);
      break;
    case 2:
    case 3:
      vocoderBins(in);
      break;
    case 4: {
      const int count = in.range(0, 70000);
      std::vector<float> gains(static_cast<size_t>(count));
      eq_copy_gains(gains.data(), count);
      for (int k = 0; k < count; k++) {
        if (!sameResult(gains[k], eq_gain(k))) finding("eq_copy_gains", std::to_string(k));
      }
      break;
    }
    case 5:
      spectrumPaths(in);
      break;
    default: {
      // Blocks run on whichever paths are left selected; all must give the
      // same results.
      const PathVariant& fft = kVariants[in.byte() % 3];
      const PathVariant& vocoder = kVariants[in.byte() % 3];
      use_vector_path(fft.vector, fft.wide);
      use_vector_path(vocoder.vector, vocoder.wide);
      use_vector_path(in.byte() % 2 == 0);
      break;
    }
  }
}

// ---- Entry points ----------------------------------------------------------

// Takes the pending exception and checks it against what the call deserved:
// valid calls raise nothing (but the out-of-memory error of a Get that the
// fake made fail), refused calls raise one of the method's documented classes
// with a message that names the method.
std::string settle(fakejni::Env& env, const char* method, bool valid,
                   std::initializer_list<const char*> allowed, bool getArmed) {
  const std::string message = env.pendingMessage;
  const std::string cls = env.takeException();
  const bool simulatedOom = getArmed && !env.failNextGet && cls == kOom;
  env.failNextGet = false;
  if (cls.empty()) {
    if (!valid) finding(method, "accepted arguments outside its limits");
    return cls;
  }
  if (simulatedOom) return cls;
  if (valid) finding(method, "refused valid arguments with " + cls + ": " + message);
  bool known = false;
  for (const char* a : allowed) known = known || cls == a;
  if (!known) finding(method, "raised an undocumented " + cls);
  if (cls != kOom && message.find(method) == std::string::npos) {
    finding(method, "exception message does not name the method: " + message);
  }
  return cls;
}

// Now and then the next Java array read (Get<T>ArrayElements or
// Get<T>ArrayRegion) fails, as in a virtual machine out of memory.
bool maybeFailGet(Input& in, fakejni::Env& env) {
  env.failNextGet = in.byte() % 16 == 0;
  return env.failNextGet;
}

void restoreSetUp(fakejni::Env& env) {
  if (!model.vocoderReplaced) return;
  model.vocoderReplaced = false;
  Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, model.frameSize, model.overSampling,
                                                model.sampleRate, model.channels);
  settle(env, "dspInit", true, {}, false);
}

void jniInit(Input& in, fakejni::Env& env) {
  const int frame = in.anyInt({2048, 1024, 512, 4096, 256, 8, 0, 3, 8192, 12, -2048});
  const int over = in.anyInt({4, 2, 8, 1, 0, -1, 4096, 8, 32});
  const int rate = in.anyInt({44100, 48000, 22050, 8000, 0, -44100, 31, 32, 96000});
  const int channels = in.anyInt({2, 1, 0, 3, -1});
  const bool shapeValid = isPowerOfTwo(frame) && frame >= 8 && frame <= 4096 && over >= 1 && over <= frame &&
                          (channels == 1 || channels == 2);
  const bool clearlyValid = shapeValid && rate >= 8000 && rate <= 384000;
  const bool clearlyInvalid = !shapeValid || rate <= 0;
  const int winBefore = vocoder_win_size();
  const int stepBefore = vocoder_step_in();
  const SpectrumInspect specBefore = spectrum_inspect();
  if (++setUps.dspInit > kMaxSetUpsPerInput) return;

  Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, frame, over, rate, channels);
  const std::string message = env.pendingMessage;
  const std::string cls = env.takeException();
  if (cls.empty()) {
    if (clearlyInvalid)
      finding("dspInit accepted", std::to_string(frame) + " " + std::to_string(over) + " " +
                                      std::to_string(rate) + " " + std::to_string(channels));
    model = Model{true, frame, over, rate, channels, false};
    return;
  }
  if (clearlyValid) finding("dspInit refused valid arguments:", message);
  if (cls != kIae && cls != kOom) finding("dspInit raised", cls);
  if (cls != kOom && message.find("dspInit") == std::string::npos) finding("dspInit message:", message);
  if (vocoder_win_size() != winBefore || vocoder_step_in() != stepBefore)
    finding("refused dspInit changed the vocoder");
  const SpectrumInspect specAfter = spectrum_inspect();
  if (specAfter.sampleRate != specBefore.sampleRate || specAfter.channels != specBefore.channels) {
    finding("refused dspInit changed the analyser");
  }
}

void jniProcess(Input& in, fakejni::Env& env) {
  restoreSetUp(env);
  const int ch = model.configured ? model.channels : 2;
  const int samplesIn = in.anyInt({1024, 4096, 512, 1, 2048, 100, 0, -1, 44100, 1 << 20});
  const int samplesOut = in.anyInt({1024, 3000, 768, 0, -1, 1, 8192, 4096, 1 << 20});
  const float pitch = in.anyFloat({1.0f, 0.0f, 0.5f});

  int64_t framesBudget = 65536;
  int stepOut = 0;
  bool hopValid = false;
  if (model.configured) {
    const int stepIn = model.frameSize / model.overSampling;
    framesBudget =
        std::min<int64_t>(65536, std::min(kMaxFramesPerCall, kFrameWorkBudget / model.frameSize) * stepIn);
    if (samplesIn >= 1) {
      const float hop = pipeline_synthesis_hop(stepIn, samplesIn, samplesOut);
      if (samplesOut <= 0) {
        hopValid = true;
      } else if (qualityMode == 1) {
        // The fine mode's synthesis hop is fixed; the ratio sets its analysis hop.
        const double analysisHop = pipeline_analysis_hop(stepIn, samplesIn, samplesOut);
        hopValid = analysisHop >= 1.0 && analysisHop <= model.frameSize;
      } else if (hop < 2147483648.0f) {
        stepOut = static_cast<int>(hop);
        hopValid = stepOut >= 1 && stepOut <= model.frameSize;
      }
    }
  }

  // Array length: what the call needs, a little less, or anything.
  const int64_t needed = std::max<int64_t>(samplesIn, samplesOut) * ch;
  const uint8_t lengthKind = in.byte() % 5;
  int64_t length = lengthKind <= 1 ? needed : lengthKind == 2 ? needed - in.range(1, 3) : in.range(0, 9000);
  length = std::clamp<int64_t>(length, 0, std::min<int64_t>(kMaxArray, framesBudget * ch));
  const bool isNull = in.byte() % 12 == 0;
  jshortArray samples = isNull ? nullptr : env.shorts(pcm(in, static_cast<size_t>(length)));

  const bool valid = model.configured && !isNull && samplesIn >= 1 && length >= needed && hopValid;
  const std::vector<jshort> before = isNull ? std::vector<jshort>{} : fakejni::Env::read<jshort>(samples);
  const VocoderInspect vocBefore = vocoder_inspect();
  const int64_t countBefore = spectrum_inspect().samplesIn;

  const bool armed = maybeFailGet(in, env);
  Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, samples, samplesIn, samplesOut, pitch);
  const std::string cls = settle(env, "dspProcess", valid, {kIse, kNpe, kIae, kOom}, armed);
  if (!cls.empty()) {
    if (!isNull && fakejni::Env::read<jshort>(samples) != before)
      finding("refused dspProcess wrote the array");
    const VocoderInspect vocAfter = vocoder_inspect();
    if (vocAfter.inIndexes[0] != vocBefore.inIndexes[0] || vocAfter.inIndexes[1] != vocBefore.inIndexes[1] ||
        !(vocAfter.lastStretchFactor == vocBefore.lastStretchFactor) ||
        spectrum_inspect().samplesIn != countBefore) {
      finding("refused dspProcess advanced the engine");
    }
  } else if (!isNull && cls.empty()) {
    // Only the first samplesOut frames are written, each sample within the
    // limiter's range.
    const std::vector<jshort> after = fakejni::Env::read<jshort>(samples);
    const size_t written = static_cast<size_t>(std::max(samplesOut, 0)) * static_cast<size_t>(ch);
    for (size_t i = 0; i < after.size(); i++) {
      if (i >= written && after[i] != before[i]) finding("dspProcess wrote beyond samplesOut frames");
      if (i < written && after[i] == -32768) finding("dspProcess output -32768");
    }
  }
  const float level = Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(&env, nullptr);
  settle(env, "dspGetMaxLevel", true, {}, false);
  if (!(level >= 0.0f)) finding("peak level", std::to_string(level));
  if (cls.empty() && samplesOut <= 0 && level != 0.0f) finding("peak after a block without output");
}

// The voice filter's limits, judged independently of the binding: the
// impulse responses of the filter and of its denominator alone run plainly
// for a while. A filter whose responses have both died away, the filter's far
// below the gain limit, is clearly valid; one with a coefficient that is not
// finite, or whose response already sums past well above the limit, is
// clearly not; in between (slow growth, slow decay, a pole on the circle that
// the numerator cancels) either answer is right.
struct FilterJudgement {
  bool clearlyValid;
  bool clearlyInvalid;
};

FilterJudgement judgeFilter(const std::vector<double>& a, const std::vector<double>& b, int sizeA, int sizeB) {
  for (int i = 0; i < sizeA; i++)
    if (!std::isfinite(a[i])) return {false, true};
  for (int i = 0; i < sizeB; i++)
    if (!std::isfinite(b[i])) return {false, true};
  constexpr int kRun = 4096;
  auto run = [&](const std::vector<double>& numerator, int size, double* tail) {
    std::vector<double> y(kRun);
    double sum = 0.0;
    *tail = 0.0;
    for (int n = 0; n < kRun; n++) {
      double v = n < size ? numerator[n] : 0.0;
      for (int i = 1; i < sizeA && i <= n; i++) v -= a[i] * y[n - i];
      y[n] = v;
      sum += std::fabs(v);
      if (n >= kRun - 64) *tail = std::max(*tail, std::fabs(v));
    }
    return sum;
  };
  double tail = 0.0;
  const double sum = run(b, sizeB, &tail);
  if (!(sum <= 10.0 * SETTING_MAX_FILTER_GAIN)) return {false, true};
  double poleTail = 0.0;
  const double poleSum = run({1.0}, 1, &poleTail);
  const bool died = (tail <= 1e-9 * sum || tail < 1e-300) && poleTail <= 1e-9 * poleSum;
  return {sum <= 0.1 * SETTING_MAX_FILTER_GAIN && died, false};
}

void jniFilter(Input& in, fakejni::Env& env) {
  const int lenA = in.range(0, 8);
  const int lenB = in.range(0, 8);
  const int sizeA = in.anyInt({lenA, lenA + 1, 1, 0, -1, 3});
  const int sizeB = in.anyInt({lenB, lenB + 1, 1, 0, -1, 3});
  const bool nullA = in.byte() % 10 == 0;
  const bool nullB = in.byte() % 10 == 0;
  std::vector<double> a(static_cast<size_t>(lenA));
  std::vector<double> b(static_cast<size_t>(lenB));
  // Mostly stable, gentle sets (a[0] = 1, small feedback), sometimes anything.
  for (int i = 0; i < lenA; i++) a[i] = i == 0 ? 1.0 : in.anyDouble({-0.5, 0.25, 0.1, 0.0, -0.9});
  for (int i = 0; i < lenB; i++) b[i] = in.anyDouble({0.5, 0.25, 1.0, 0.0, -0.3});
  jdoubleArray ja = nullA ? nullptr : env.doubles(a);
  jdoubleArray jb = nullB ? nullptr : env.doubles(b);
  const bool shapeValid = !nullA && !nullB && sizeA >= 1 && sizeA <= lenA && sizeB >= 1 && sizeB <= lenB;
  const FilterJudgement judged = shapeValid ? judgeFilter(a, b, sizeA, sizeB) : FilterJudgement{false, true};
  const iirFilter left = iir_filter(0);
  const iirFilter right = iir_filter(1);
  const bool armed = maybeFailGet(in, env);
  Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalFilter(&env, nullptr, ja, jb, sizeA, sizeB);
  std::string cls;
  if (!shapeValid || judged.clearlyValid || judged.clearlyInvalid) {
    cls = settle(env, "dspVoiceRemovalFilter", judged.clearlyValid, {kNpe, kIae, kOom}, armed);
  } else {
    // Either answer is right; a refusal is still one of the documented kind.
    const bool refused = !env.pendingClass.empty() && env.pendingClass != kOom;
    cls = settle(env, "dspVoiceRemovalFilter", !refused, {kIae, kOom}, armed);
  }
  if (!cls.empty()) {
    const iirFilter& l = iir_filter(0);
    const iirFilter& r = iir_filter(1);
    if (l.a != left.a || l.b != left.b || l.n1 != left.n1 || l.n2 != left.n2 || l.pos1 != left.pos1 ||
        r.a != right.a || r.b != right.b || r.pos2 != right.pos2) {
      finding("refused dspVoiceRemovalFilter changed the filters");
    }
  }
  if (!nullA && !sameBits(fakejni::Env::read<jdouble>(ja), a)) finding("dspVoiceRemovalFilter wrote coeffA");
}

void jniEqBands(Input& in, fakejni::Env& env) {
  const int bands = eq_band_count();
  const int asked = in.anyInt({bands, bands - 1, 0, bands + 5, 1});
  // No Java array has a negative length; a huge one would only be slow.
  const bool isNull = in.byte() % 10 == 0 || asked < 0 || asked > 70000;
  const int length = isNull ? 0 : asked;
  std::vector<float> values = floats(in, static_cast<size_t>(length));
  jfloatArray levels = isNull ? nullptr : env.floats(values);
  std::vector<float> gains(static_cast<size_t>(bands));
  for (int k = 0; k < bands; k++) gains[k] = eq_gain(k);
  const bool armed = maybeFailGet(in, env);
  Java_quorvel_tambrino_NativeInterface_dspEQSetBands(&env, nullptr, levels);
  if (bands == 0) {
    // No table yet: nothing to set, and whether that is refused is the
    // binding's choice.
    env.takeException();
    env.failNextGet = false;
    return;
  }
  const bool valid =
      !isNull && length >= bands && std::all_of(values.begin(), values.end(), [](float g) {
        return g >= 0.0f && g <= SETTING_MAX_EQ_GAIN;
      });
  const std::string cls = settle(env, "dspEQSetBands", valid, {kNpe, kIae, kOom}, armed);
  for (int k = 0; k < bands; k++) {
    const float expect = cls.empty() && valid ? values[k] : gains[k];
    const float g = eq_gain(k);
    if (std::memcmp(&g, &expect, sizeof g) != 0) finding("dspEQSetBands gain", std::to_string(k));
  }
}

void jniSpectrum(Input& in, fakejni::Env& env) {
  const int length = in.range(0, 100);
  const int size = in.anyInt({72, 100, 10, 0, -1, 71, 73});
  const bool isNull = in.byte() % 10 == 0;
  std::vector<float> prefill(static_cast<size_t>(length));
  for (int i = 0; i < length; i++) prefill[i] = -1.0f - static_cast<float>(i);
  jfloatArray out = isNull ? nullptr : env.floats(prefill);
  const bool armed = maybeFailGet(in, env);
  Java_quorvel_tambrino_NativeInterface_dspGetSpectrum(&env, nullptr, out, size);
  const std::string cls = settle(env, "dspGetSpectrum", !isNull && size >= 0, {kNpe, kIae, kOom}, armed);
  if (isNull || !cls.empty()) return;
  const std::vector<float> got = fakejni::Env::read<float>(out);
  const int copied = std::max(0, std::min({size, SPECTRUM_NOTES, length}));
  const std::atomic<float>* values = spectrum_get();
  for (int i = 0; i < length; i++) {
    const float expect = i < copied ? values[i].load() : prefill[i];
    if (std::memcmp(&got[i], &expect, sizeof expect) != 0)
      finding("dspGetSpectrum element", std::to_string(i));
  }
}

// The transposition: any shift, refused outside -24..24 or not finite with
// the setting kept, and the formants flag; the blocks that follow play them
// in the fine mode, ramping from the shift before.
void jniPitch(Input& in, fakejni::Env& env, bool formants) {
  if (formants) {
    Java_quorvel_tambrino_NativeInterface_dspPitchFormants(&env, nullptr, in.anyInt({1, 0, 2, -1}));
    settle(env, "dspPitchFormants", true, {}, false);
    return;
  }
  const float semitones = in.anyFloat({5.0f, -12.0f, 0.0f, 24.0f, -24.0f, 0.1f, 7.5f, 24.01f, -100.0f});
  const PipelineState& pipeline = *default_engine::get().pipeline;
  const float before = pipeline_pitch_shift(pipeline);
  const bool valid = std::isfinite(semitones) && std::fabs(semitones) <= PIPELINE_MAX_PITCH_SHIFT;
  Java_quorvel_tambrino_NativeInterface_dspPitchShift(&env, nullptr, semitones);
  settle(env, "dspPitchShift", valid, {kIae}, false);
  const float after = pipeline_pitch_shift(pipeline);
  const float expect = valid ? semitones : before;
  if (std::memcmp(&after, &expect, sizeof after) != 0) finding("dspPitchShift kept", std::to_string(after));
}

void jniSetter(Input& in, fakejni::Env& env) {
  // 6 (the peak level) before the transposition's 7 and 8 keeps what the
  // older corpus inputs meant.
  const uint8_t which = in.byte() % 9;
  if (which >= 7) {
    jniPitch(in, env, which == 8);
    return;
  }
  const char* method = "";
  bool valid = true;  // the flags take any value
  switch (which) {
    case 0:
      method = "dspVoiceRemovalEnable";
      Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalEnable(&env, nullptr, in.anyInt({1, 0, 2, -1}));
      break;
    case 1: {
      method = "dspVoiceRemovalAmount";
      const float amount = in.anyFloat({1.0f, 0.5f, 0.0f, -1.0f, 4.0f});
      valid = std::isfinite(amount) && amount <= SETTING_MAX_VOICE_AMOUNT;
      Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalAmount(&env, nullptr, amount);
      break;
    }
    case 2: {
      method = "dspSetPreamp";
      const float preamp = in.anyFloat({1.0f, 2.0f, 0.0f, 10.0f});
      valid = preamp >= 0.0f && preamp <= SETTING_MAX_PREAMP;
      Java_quorvel_tambrino_NativeInterface_dspSetPreamp(&env, nullptr, preamp);
      break;
    }
    case 3:
      method = "dspSpectrumEnable";
      Java_quorvel_tambrino_NativeInterface_dspSpectrumEnable(&env, nullptr, in.anyInt({1, 0, 2, -1}));
      break;
    case 4: {
      method = "dspPanning";
      const int active = in.anyInt({1, 0, 2});
      const int mono = in.anyInt({0, 1, -1});
      const int level = in.anyInt({50, 0, 25, 75, 100, -1, 101, 1000});
      valid = level >= 0 && level <= SETTING_MAX_PANNING_LEVEL;
      Java_quorvel_tambrino_NativeInterface_dspPanning(&env, nullptr, active, mono, level);
      break;
    }
    case 5:
      method = "dspEQEnable";
      Java_quorvel_tambrino_NativeInterface_dspEQEnable(&env, nullptr, in.anyInt({1, 0, 2, -1}));
      break;
    default: {
      method = "dspGetMaxLevel";
      const float level = Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(&env, nullptr);
      if (!(level >= 0.0f)) finding("peak level", std::to_string(level));
      break;
    }
  }
  settle(env, method, valid, {kIae}, false);
}

void jniQualityMode(Input& in, fakejni::Env& env) {
  const int mode = in.anyInt({1, 0, 2, -1});
  const bool valid = mode == 0 || mode == 1;
  Java_quorvel_tambrino_NativeInterface_dspQualityMode(&env, nullptr, mode);
  settle(env, "dspQualityMode", valid, {kIae}, false);
  if (valid) qualityMode = mode;
  if (pipeline_quality_mode() != qualityMode) finding("dspQualityMode", std::to_string(mode));
}

void checkNothingPinned(const fakejni::Env& env) {
  for (const fakejni::Array* a : env.owned) {
    if (a->pinned != 0) finding("an array was left pinned");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  fakejni::Env env;
  setUps = SetUpCount{};
  for (int op = 0; op < kMaxOps && !in.empty(); op++) {
    switch (in.byte() % 16) {
      case 0:
        unitFft(in);
        break;
      case 1:
        unitVocoderInit(in);
        break;
      case 2:
        unitVocoderProcess(in);
        break;
      case 3:
        unitSpectrum(in);
        break;
      case 4:
        unitEq(in);
        break;
      case 5:
        unitIir(in);
        break;
      case 6:
        unitPaths(in);
        break;
      case 7:
        jniInit(in, env);
        break;
      case 8:
      case 9:
      case 10:
        jniProcess(in, env);
        break;
      case 11:
        jniFilter(in, env);
        break;
      case 12:
        jniEqBands(in, env);
        break;
      case 13:
        jniSpectrum(in, env);
        break;
      case 15:
        jniQualityMode(in, env);
        break;
      default:
        jniSetter(in, env);
        break;
    }
    checkNothingPinned(env);
    if (!env.pendingClass.empty()) finding("an exception was left pending");
  }
  return 0;
}
