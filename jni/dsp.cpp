#include "dsp.h"

#include <immintrin.h>
#include <jni.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "eq.h"
#include "iirfilter.h"
#include "quorvel_tambrino_NativeInterface.h"
#include "spectrum.h"
#include "vocoder.h"

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// 16-bit PCM to full scale: 2^-15, exact in both precisions.
constexpr float kInputScale = 1.0f / 32768.0f;
constexpr double kInputScaleDouble = 1.0 / 32768.0;
constexpr float kLimiterThreshold = 0.95f;

// Stream configuration of the last successful dspInit. dspInit never
// overlaps dspProcess, so a block always sees one consistent set; the atomics
// only keep the hand-over between threads well defined.
std::atomic<int> frameSize{0};
std::atomic<int> overSampling{0};
std::atomic<int> sampleRate{0};
std::atomic<int> channels{0};
std::atomic<bool> configured{false};

// Settings that the user-interface thread changes while blocks run. Each block
// reads each of them once, so a change takes effect at the next block.
std::atomic<bool> voiceRemovalEnabled{false};
std::atomic<float> voiceRemovalAmount{0.0f};
std::atomic<float> preamp{1.0f};
std::atomic<int> panningActive{0};
std::atomic<int> monoActive{0};
std::atomic<int> panningLevel{0};
// QUALITY_EXACT (0) or QUALITY_FINE (1), read once per block.
std::atomic<int> qualityMode{0};

// Peak level of the last block, before the limiter.
std::atomic<double> maxLevelAcum{0.0};

// Work buffers, touched only by the playback thread. pcm holds the block's
// 16-bit frames between the copies from and to the Java array (Get/Set
// ShortArrayRegion), which allocate nothing, unlike pinning the array, which
// may copy it into a fresh heap buffer at every block.
std::unique_ptr<float[]> in_left;
std::unique_ptr<float[]> in_right;
std::unique_ptr<float[]> out_left;
std::unique_ptr<float[]> out_right;
std::unique_ptr<jshort[]> pcm;
size_t inCapacity = 0;
size_t outCapacity = 0;

const char* const kIllegalArgument = "java/lang/IllegalArgumentException";
const char* const kIllegalState = "java/lang/IllegalStateException";
const char* const kNullPointer = "java/lang/NullPointerException";
const char* const kOutOfMemory = "java/lang/OutOfMemoryError";

void throwJava(JNIEnv* env, const char* className, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void throwJava(JNIEnv* env, const char* className, const char* format, ...) {
  if (env->ExceptionCheck()) return;
  char message[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  jclass cls = env->FindClass(className);
  if (cls == nullptr) return;  // FindClass has raised its own error
  env->ThrowNew(cls, message);
  env->DeleteLocalRef(cls);
}

// Called from a catch block: turns the C++ exception in flight into a Java one.
void throwCurrentException(JNIEnv* env, const char* method) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    throwJava(env, kOutOfMemory, "%s: out of native memory", method);
  } catch (const std::exception& e) {
    throwJava(env, "java/lang/RuntimeException", "%s: %s", method, e.what());
  } catch (...) {
    throwJava(env, "java/lang/RuntimeException", "%s: internal error", method);
  }
}

// Every Java array is copied with Get/Set<Type>ArrayRegion: no pinning and no
// copy-back, and a region call either copies or leaves an exception pending
// (it never yields nothing without saying so). The length has been checked
// first, so an exception here is the virtual machine's own.
bool arrayCallFailed(JNIEnv* env) {
  return env->ExceptionCheck() == JNI_TRUE;
}

bool isPowerOfTwo(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

std::unique_ptr<float[]> zeroedFloats(size_t count) {
  return std::unique_ptr<float[]>(new (std::nothrow) float[count]());
}

// Makes the four buffers with inSize input and outSize output floats each,
// zeroed and then holding what the old ones held: a position that the vocoder
// does not rewrite keeps its earlier value, as it would without the growth.
// On failure the old buffers stay and false is returned.
bool create_buffers(size_t inSize, size_t outSize) {
  std::unique_ptr<float[]> newInLeft = zeroedFloats(inSize);
  std::unique_ptr<float[]> newInRight = zeroedFloats(inSize);
  std::unique_ptr<float[]> newOutLeft = zeroedFloats(outSize);
  std::unique_ptr<float[]> newOutRight = zeroedFloats(outSize);
  // Two channels' frames, in or out, whichever is more: a stereo block of any
  // size that the float buffers hold (a mono stream set up again as stereo
  // included).
  std::unique_ptr<jshort[]> newPcm(new (std::nothrow) jshort[2 * std::max(inSize, outSize)]);
  if (!newInLeft || !newInRight || !newOutLeft || !newOutRight || !newPcm) return false;
  if (in_left) {
    std::memcpy(newInLeft.get(), in_left.get(), inCapacity * sizeof(float));
    std::memcpy(newInRight.get(), in_right.get(), inCapacity * sizeof(float));
    std::memcpy(newOutLeft.get(), out_left.get(), outCapacity * sizeof(float));
    std::memcpy(newOutRight.get(), out_right.get(), outCapacity * sizeof(float));
  }
  in_left = std::move(newInLeft);
  in_right = std::move(newInRight);
  out_left = std::move(newOutLeft);
  out_right = std::move(newOutRight);
  pcm = std::move(newPcm);
  inCapacity = inSize;
  outCapacity = outSize;
  return true;
}

// The first block sizes the buffers at 4 x its samplesIn for input and twice
// that for output (or larger if the block itself needs more); a later block
// grows them only when it needs more than they hold. The output keeps one
// largest hop (hopRoom) of room beyond that: a block fires at most one frame
// more than its share, so a block no larger than an earlier one, in and out,
// never needs more, whatever its tempo.
bool reserveBuffers(int samplesIn, size_t inNeeded, size_t outNeeded, size_t hopRoom) {
  if (!in_left) {
    const size_t size = 4 * static_cast<size_t>(samplesIn);
    if (create_buffers(std::max(size, inNeeded), std::max(2 * size, outNeeded) + hopRoom)) return true;
    return create_buffers(inNeeded, outNeeded);
  }
  if (inNeeded <= inCapacity && outNeeded <= outCapacity) return true;
  return create_buffers(std::max(inNeeded, inCapacity), std::max(outNeeded + hopRoom, outCapacity));
}

int16_t toPcm(float x) {
  if (x < -1.0f) return -32767;
  if (x > 1.0f) return 32767;
  if (std::isnan(x)) return 0;
  return static_cast<int16_t>(static_cast<int>(x * 32767.0f));
}

bool cpuHasAvx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

// The limiter and the conversion to PCM of eight samples, with the same
// operations per sample as dsp_convert_output; raises peak to their levels.
// The peak is a maximum, which the order of the samples cannot change (a NaN
// level never wins, as with fmax).
struct Limiter8 {
  __m256 scaling, gain, slope;
};

__attribute__((target("avx2"))) inline __m256i pcm8(const float* out, const Limiter8& l, __m256& peak) {
  const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 threshold = _mm256_set1_ps(kLimiterThreshold);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 minusOne = _mm256_set1_ps(-1.0f);
  const __m256 output = _mm256_mul_ps(_mm256_div_ps(_mm256_loadu_ps(out), l.scaling), l.gain);
  const __m256 level = _mm256_and_ps(output, absMask);
  const __m256 factor =
      _mm256_blendv_ps(_mm256_sub_ps(one, _mm256_mul_ps(_mm256_sub_ps(level, threshold), l.slope)), one,
                       _mm256_cmp_ps(level, threshold, _CMP_LT_OQ));
  peak = _mm256_max_ps(level, peak);  // a NaN level keeps the peak
  const __m256 x = _mm256_mul_ps(output, factor);
  __m256i pcm = _mm256_cvttps_epi32(_mm256_mul_ps(x, _mm256_set1_ps(32767.0f)));
  pcm = _mm256_blendv_epi8(pcm, _mm256_set1_epi32(-32767),
                           _mm256_castps_si256(_mm256_cmp_ps(x, minusOne, _CMP_LT_OQ)));
  pcm = _mm256_blendv_epi8(pcm, _mm256_set1_epi32(32767),
                           _mm256_castps_si256(_mm256_cmp_ps(x, one, _CMP_GT_OQ)));
  return _mm256_andnot_si256(_mm256_castps_si256(_mm256_cmp_ps(x, x, _CMP_UNORD_Q)), pcm);  // NaN writes 0
}

__attribute__((target("avx2"))) float peakOf(__m256 peak) {
  __m128 m = _mm_max_ps(_mm256_castps256_ps128(peak), _mm256_extractf128_ps(peak, 1));
  m = _mm_max_ps(m, _mm_movehl_ps(m, m));
  m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
  return _mm_cvtss_f32(m);
}

// dsp_convert_output for the first count / 8 * 8 samples, eight at a time;
// returns how many were done and leaves maxLevel raised to their largest
// level. The values are clamped to 16 bits, so packing them loses nothing.
__attribute__((target("avx2"))) int convertOutputAvx2(const float* out, int count, float overlapScaling,
                                                      float gain, float slope, int16_t* dest, int stride,
                                                      float& maxLevel) {
  const Limiter8 l{_mm256_set1_ps(overlapScaling), _mm256_set1_ps(gain), _mm256_set1_ps(slope)};
  __m256 peak = _mm256_set1_ps(maxLevel);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i pcm = pcm8(out + i, l, peak);
    if (stride == 1) {
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(pcm, pcm), _MM_SHUFFLE(3, 1, 2, 0));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + i), _mm256_castsi256_si128(packed));
      continue;
    }
    alignas(32) int32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), pcm);
    for (int k = 0; k < 8; k++)
      dest[static_cast<size_t>(i + k) * static_cast<size_t>(stride)] = static_cast<int16_t>(lanes[k]);
  }
  maxLevel = peakOf(peak);
  return i;
}

// Both channels into interleaved frames, eight frames (one store) at a time.
__attribute__((target("avx2"))) int convertPairAvx2(const float* left, const float* right, int count,
                                                    float overlapScaling, float gain, float slope,
                                                    int16_t* dest, float& maxLevel) {
  const Limiter8 l{_mm256_set1_ps(overlapScaling), _mm256_set1_ps(gain), _mm256_set1_ps(slope)};
  __m256 peak = _mm256_set1_ps(maxLevel);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i l8 = pcm8(left + i, l, peak);
    const __m256i r8 = pcm8(right + i, l, peak);
    // Per 128-bit lane: frames 0, 1 | 4, 5 and 2, 3 | 6, 7, packed in order.
    const __m256i frames = _mm256_packs_epi32(_mm256_unpacklo_epi32(l8, r8), _mm256_unpackhi_epi32(l8, r8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + 2 * static_cast<size_t>(i)), frames);
  }
  maxLevel = peakOf(peak);
  return i;
}

struct Block {
  int samplesIn;
  int samplesOut;  // 0 for any samplesOut <= 0
  int stepOut;
  int frameSize;
  bool mono;
};

// Scales, limits and writes back samplesOut frames of every channel, and
// records the block's peak (0 when nothing is written back).
void writeOutput(jshort* c_samples, const Block& b) {
  if (b.samplesOut <= 0) {
    maxLevelAcum.store(0.0, relaxed);
    return;
  }
  const float overlapScaling = static_cast<float>(b.frameSize) / (2.0f * static_cast<float>(b.stepOut));
  const float gain = preamp.load(relaxed);
  const float slope = b.mono ? DSP_MONO_LIMITER_SLOPE : DSP_STEREO_LIMITER_SLOPE;
  const float maxLevel = b.mono ? dsp_convert_output(out_left.get(), b.samplesOut, overlapScaling, gain,
                                                     slope, c_samples, 1, 0.0f)
                                : dsp_convert_output_pair(out_left.get(), out_right.get(), b.samplesOut,
                                                          overlapScaling, gain, slope, c_samples, 0.0f);
  maxLevelAcum.store(static_cast<double>(maxLevel), relaxed);
}

void processMono(jshort* c_samples, const Block& b) {
  float* inLeft = in_left.get();
  for (int i = 0; i < b.samplesIn; i++) inLeft[i] = static_cast<float>(c_samples[i]) * kInputScale;

  spectrum_begin_batch();
  vocoder_process(inLeft, b.samplesIn, out_left.get(), b.stepOut, 0);
  spectrum_end_batch();
  writeOutput(c_samples, b);
}

// How a stereo block's frames are panned or folded before they are stretched.
struct StereoImage {
  bool panning;
  bool fold;
  DspPanGains g;
};

// Frame i of the block after panning or folding, at 16-bit scale.
inline void pannedFrame(const jshort* c_samples, int i, const StereoImage& s, float& left, float& right) {
  left = static_cast<float>(c_samples[2 * static_cast<size_t>(i)]);
  right = static_cast<float>(c_samples[2 * static_cast<size_t>(i) + 1]);
  if (s.panning) {
    if (s.fold) {
      const float center = (left + right) * 0.5f;
      left = center;
      right = center;
    } else {
      const float newLeft = left * s.g.leftLevelLeft + right * s.g.leftLevelRight;
      const float newRight = right * s.g.rightLevelRight + left * s.g.rightLevelLeft;
      left = newLeft;
      right = newRight;
    }
  }
}

// pannedFrame for frames 0 .. count / 8 * 8 - 1, eight at a time with the
// same operations per frame, times scale (1 leaves them as they are).
// Returns how many frames were done.
__attribute__((target("avx2"))) int pannedFramesAvx2(const jshort* c_samples, int count, const StereoImage& s,
                                                     float scale, float* left, float* right) {
  const __m256 sc = _mm256_set1_ps(scale);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    // Each 32-bit word holds one frame: left in the low half, right in the high.
    const __m256i frames = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c_samples + 2 * i));
    __m256 l = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(frames, 16), 16));
    __m256 r = _mm256_cvtepi32_ps(_mm256_srai_epi32(frames, 16));
    if (s.panning) {
      if (s.fold) {
        l = r = _mm256_mul_ps(_mm256_add_ps(l, r), _mm256_set1_ps(0.5f));
      } else {
        const __m256 newLeft = _mm256_add_ps(_mm256_mul_ps(l, _mm256_set1_ps(s.g.leftLevelLeft)),
                                             _mm256_mul_ps(r, _mm256_set1_ps(s.g.leftLevelRight)));
        const __m256 newRight = _mm256_add_ps(_mm256_mul_ps(r, _mm256_set1_ps(s.g.rightLevelRight)),
                                              _mm256_mul_ps(l, _mm256_set1_ps(s.g.rightLevelLeft)));
        l = newLeft;
        r = newRight;
      }
    }
    if (scale != 1.0f) {
      l = _mm256_mul_ps(l, sc);
      r = _mm256_mul_ps(r, sc);
    }
    _mm256_storeu_ps(left + i, l);
    _mm256_storeu_ps(right + i, r);
  }
  return i;
}

// out[j] = (float)((from[j] - y[j] * amount) * 2^-15) in double precision
// for j < count / 4 * 4; returns how many were done.
__attribute__((target("avx2"))) int removeVoiceAvx2(const double* from, const double* y, double amount,
                                                    float* out, int count) {
  const __m256d a = _mm256_set1_pd(amount);
  const __m256d scale = _mm256_set1_pd(kInputScaleDouble);
  int j = 0;
  for (; j + 4 <= count; j += 4) {
    const __m256d v = _mm256_sub_pd(_mm256_loadu_pd(from + j), _mm256_mul_pd(_mm256_loadu_pd(y + j), a));
    _mm_storeu_ps(out + j, _mm256_cvtpd_ps(_mm256_mul_pd(v, scale)));
  }
  return j;
}

__attribute__((target("avx2"))) void widenAvx2(const float* in, double* out, int count) {
  int j = 0;
  for (; j + 4 <= count; j += 4) _mm256_storeu_pd(out + j, _mm256_cvtps_pd(_mm_loadu_ps(in + j)));
  for (; j < count; j++) out[j] = static_cast<double>(in[j]);
}

// Frames start .. start + count - 1 after panning, times scale, into left
// and right.
void pannedFrames(const jshort* c_samples, int start, int count, const StereoImage& s, float scale,
                  float* left, float* right) {
  int i = cpuHasAvx2()
              ? pannedFramesAvx2(c_samples + 2 * static_cast<size_t>(start), count, s, scale, left, right)
              : 0;
  for (; i < count; i++) {
    pannedFrame(c_samples, start + i, s, left[i], right[i]);
    left[i] = left[i] * scale;
    right[i] = right[i] * scale;
  }
}

void processStereo(jshort* c_samples, const Block& b) {
  const StereoImage image{panningActive.load(relaxed) != 0, monoActive.load(relaxed) != 0,
                          dsp_panning_gains(panningLevel.load(relaxed))};
  const float amount = voiceRemovalAmount.load(relaxed);
  // Without coefficients the filters would pass their input through and the
  // removal would subtract each channel's partner unfiltered: wait for them.
  const bool removeVoice = voiceRemovalEnabled.load(relaxed) && amount > 0.0f && iir_has_coefficients();
  const double amountDouble = static_cast<double>(amount);

  float* inLeft = in_left.get();
  float* inRight = in_right.get();
  if (removeVoice) {
    // In runs of frames: the filter of channel 0 takes the right input and
    // that of channel 1 the left, stepped in the same order as frame by frame.
    constexpr int kRun = 256;
    float left[kRun];
    float right[kRun];
    double fromRight[kRun];
    double fromLeft[kRun];
    double yL[kRun];
    double yR[kRun];
    const bool avx2 = cpuHasAvx2();
    for (int start = 0; start < b.samplesIn; start += kRun) {
      const int n = std::min(kRun, b.samplesIn - start);
      pannedFrames(c_samples, start, n, image, 1.0f, left, right);
      if (avx2) {
        widenAvx2(left, fromLeft, n);
        widenAvx2(right, fromRight, n);
      } else {
        for (int j = 0; j < n; j++) {
          fromLeft[j] = static_cast<double>(left[j]);
          fromRight[j] = static_cast<double>(right[j]);
        }
      }
      iir_step_pair_block(fromRight, fromLeft, yL, yR, n);
      float* outLeft = inLeft + start;
      float* outRight = inRight + start;
      int j = avx2 ? removeVoiceAvx2(fromLeft, yL, amountDouble, outLeft, n) : 0;
      for (; j < n; j++)
        outLeft[j] = static_cast<float>((fromLeft[j] - yL[j] * amountDouble) * kInputScaleDouble);
      j = avx2 ? removeVoiceAvx2(fromRight, yR, amountDouble, outRight, n) : 0;
      for (; j < n; j++)
        outRight[j] = static_cast<float>((fromRight[j] - yR[j] * amountDouble) * kInputScaleDouble);
    }
  } else {
    pannedFrames(c_samples, 0, b.samplesIn, image, kInputScale, inLeft, inRight);
  }

  // The block's spectrum analyses share one pass over the note tables.
  spectrum_begin_batch();
  vocoder_process(inLeft, b.samplesIn, out_left.get(), b.stepOut, 0);
  vocoder_process(inRight, b.samplesIn, out_right.get(), b.stepOut, 1);
  spectrum_end_batch();
  writeOutput(c_samples, b);
}

void process(JNIEnv* env, jshortArray samples, jint samplesIn, jint samplesOut) {
  const char* const m = "dspProcess";
  if (!configured.load(relaxed)) {
    throwJava(env, kIllegalState, "%s: the engine is not set up; call dspInit first", m);
    return;
  }
  if (samples == nullptr) {
    throwJava(env, kNullPointer, "%s: samples is null", m);
    return;
  }
  if (samplesIn < 1) {
    throwJava(env, kIllegalArgument, "%s: samplesIn must be at least 1, got %d", m, samplesIn);
    return;
  }
  Block b;
  b.samplesIn = samplesIn;
  b.samplesOut = samplesOut > 0 ? samplesOut : 0;
  b.frameSize = frameSize.load(relaxed);
  b.mono = channels.load(relaxed) == 1;
  const int nChannels = b.mono ? 1 : 2;

  const long long frames = std::max(b.samplesIn, b.samplesOut);
  const long long needed = frames * nChannels;
  const jsize length = env->GetArrayLength(samples);
  if (length < needed) {
    throwJava(env, kIllegalArgument,
              "%s: samples must hold max(samplesIn, samplesOut) = %lld frames of %d channel(s), i.e. at "
              "least %lld values, but holds %d",
              m, frames, nChannels, needed, static_cast<int>(length));
    return;
  }

  const int stepIn = b.frameSize / overSampling.load(relaxed);
  const float hop =
      static_cast<float>(stepIn) * (static_cast<float>(b.samplesOut) / static_cast<float>(b.samplesIn));
  if (b.samplesOut > 0 && !(hop >= 1.0f && hop < static_cast<float>(b.frameSize) + 1.0f)) {
    throwJava(env, kIllegalArgument,
              "%s: samplesOut / samplesIn = %d / %d gives a synthesis hop of %g samples; the hop (analysis "
              "hop %d times the ratio) must be in 1..%d, the frame size",
              m, samplesOut, samplesIn, static_cast<double>(hop), stepIn, b.frameSize);
    return;
  }
  b.stepOut = b.samplesOut > 0 ? static_cast<int>(hop) : 0;

  // The vocoder writes a whole hop per frame it fires, which can exceed
  // samplesOut, and how many frames a block fires depends on the input that
  // earlier blocks left over. Sizing for the most a block of this size can
  // ever fire means that a run of equal blocks grows the buffers at most once.
  const int maxFrames = static_cast<int>((static_cast<long long>(b.samplesIn) + stepIn - 1) / stepIn);
  int framesFired = std::max(maxFrames, vocoder_frames_for(b.samplesIn, 0));
  if (!b.mono) framesFired = std::max(framesFired, vocoder_frames_for(b.samplesIn, 1));
  const size_t written = static_cast<size_t>(framesFired) * static_cast<size_t>(b.stepOut);
  const size_t outNeeded = std::max(written, static_cast<size_t>(b.samplesOut));
  if (!reserveBuffers(b.samplesIn, static_cast<size_t>(b.samplesIn), outNeeded,
                      static_cast<size_t>(b.frameSize))) {
    throwJava(env, kOutOfMemory, "%s: cannot allocate work buffers for a block of %d frames in, %d out", m,
              samplesIn, b.samplesOut);
    return;
  }

  // The block's frames in; the samplesOut frames written back out. Values
  // beyond samplesOut frames keep what the caller had there, as the pipeline
  // works in place.
  jshort* c_samples = pcm.get();
  env->GetShortArrayRegion(samples, 0, static_cast<jsize>(b.samplesIn * nChannels), c_samples);
  if (arrayCallFailed(env)) return;
  if (b.mono) {
    processMono(c_samples, b);
  } else {
    processStereo(c_samples, b);
  }
  if (b.samplesOut > 0)
    env->SetShortArrayRegion(samples, 0, static_cast<jsize>(b.samplesOut * nChannels), c_samples);
}

void init(JNIEnv* env, jint jFrameSize, jint jOverSampling, jint jSampleRate, jint nChannels) {
  const char* const m = "dspInit";
  if (jFrameSize < DSP_MIN_FRAME_SIZE || jFrameSize > DSP_MAX_FRAME_SIZE || !isPowerOfTwo(jFrameSize)) {
    throwJava(env, kIllegalArgument, "%s: frameSize must be a power of two in %d..%d, got %d", m,
              DSP_MIN_FRAME_SIZE, DSP_MAX_FRAME_SIZE, jFrameSize);
    return;
  }
  if (jOverSampling < 1 || jOverSampling > jFrameSize) {
    throwJava(env, kIllegalArgument, "%s: overSampling must be in 1..frameSize (1..%d), got %d", m,
              jFrameSize, jOverSampling);
    return;
  }
  if (jSampleRate < DSP_MIN_SAMPLE_RATE) {
    throwJava(env, kIllegalArgument, "%s: sampleRate must be at least %d Hz, got %d", m, DSP_MIN_SAMPLE_RATE,
              jSampleRate);
    return;
  }
  if (nChannels != 1 && nChannels != 2) {
    throwJava(env, kIllegalArgument, "%s: channels must be 1 or 2, got %d", m, nChannels);
    return;
  }

  // Only an allocation can fail from here on, and every one comes first:
  // eq_init allocates only at its first success (before any stream has been
  // set up), and vocoder_init builds its new set in full before it gives up
  // the old one. Only when both have succeeded are the filters and the
  // analyser set up and the new values published, so a failure leaves the
  // stream that is playing exactly as it was.
  if (!eq_init(jFrameSize / 2) || !vocoder_init(jFrameSize, jFrameSize / jOverSampling)) {
    throwJava(env, kOutOfMemory, "%s: cannot allocate the engine's buffers for frameSize %d", m, jFrameSize);
    return;
  }
  iir_init();
  spectrum_init(jSampleRate, nChannels);
  frameSize.store(jFrameSize, relaxed);
  channels.store(nChannels, relaxed);
  overSampling.store(jOverSampling, relaxed);
  sampleRate.store(jSampleRate, relaxed);
  configured.store(true, relaxed);
}

void voiceRemovalFilter(JNIEnv* env, jdoubleArray coeffA, jdoubleArray coeffB, jint sizeA, jint sizeB) {
  const char* const m = "dspVoiceRemovalFilter";
  if (coeffA == nullptr || coeffB == nullptr) {
    throwJava(env, kNullPointer, "%s: %s is null", m, coeffA == nullptr ? "coeffA" : "coeffB");
    return;
  }
  const jsize lengthA = env->GetArrayLength(coeffA);
  const jsize lengthB = env->GetArrayLength(coeffB);
  if (sizeA < 1 || sizeA > lengthA) {
    throwJava(env, kIllegalArgument, "%s: sizeA must be in 1..%d (the length of coeffA), got %d", m,
              static_cast<int>(lengthA), sizeA);
    return;
  }
  if (sizeB < 1 || sizeB > lengthB) {
    throwJava(env, kIllegalArgument, "%s: sizeB must be in 1..%d (the length of coeffB), got %d", m,
              static_cast<int>(lengthB), sizeB);
    return;
  }
  // Read into copies first: the filters' set-up may wait for the playback
  // thread, and nothing of the caller's arrays is held meanwhile.
  std::unique_ptr<jdouble[]> a(new (std::nothrow) jdouble[sizeA]);
  std::unique_ptr<jdouble[]> b(new (std::nothrow) jdouble[sizeB]);
  if (!a || !b) {
    throwJava(env, kOutOfMemory, "%s: cannot allocate copies of %d and %d coefficients", m, sizeA, sizeB);
    return;
  }
  env->GetDoubleArrayRegion(coeffA, 0, sizeA, a.get());
  if (arrayCallFailed(env)) return;
  env->GetDoubleArrayRegion(coeffB, 0, sizeB, b.get());
  if (arrayCallFailed(env)) return;
  const IirResult result = iir_init_filters(a.get(), b.get(), sizeA, sizeB);
  if (result == IIR_OUT_OF_MEMORY) {
    throwJava(env, kOutOfMemory, "%s: cannot allocate filters of %d and %d coefficients", m, sizeA, sizeB);
  } else if (result != IIR_OK) {
    throwJava(env, kIllegalArgument, "%s: coefficients refused (sizeA %d, sizeB %d)", m, sizeA, sizeB);
  }
}

void eqSetBands(JNIEnv* env, jfloatArray levels) {
  const char* const m = "dspEQSetBands";
  if (levels == nullptr) {
    throwJava(env, kNullPointer, "%s: levels is null", m);
    return;
  }
  // Before the first dspInit there is no table to hold the gains.
  const int bands = eq_band_count();
  if (bands <= 0) return;
  const jsize length = env->GetArrayLength(levels);
  if (length < bands) {
    throwJava(env, kIllegalArgument, "%s: levels must hold at least %d gains (one per band), but holds %d", m,
              bands, static_cast<int>(length));
    return;
  }
  // One gain per bin of the lower half of a frame: dspInit allows no more.
  constexpr int kMaxBands = DSP_MAX_FRAME_SIZE / 2;
  if (bands > kMaxBands) {
    throwJava(env, kIllegalState, "%s: the equaliser has %d bands, more than %d", m, bands, kMaxBands);
    return;
  }
  float gains[kMaxBands];
  env->GetFloatArrayRegion(levels, 0, bands, gains);
  if (arrayCallFailed(env)) return;
  eq_setbands(gains);
}

void getSpectrum(JNIEnv* env, jfloatArray jSpectrum, jint jSize) {
  const char* const m = "dspGetSpectrum";
  if (jSpectrum == nullptr) {
    throwJava(env, kNullPointer, "%s: spectrum is null", m);
    return;
  }
  const jsize length = env->GetArrayLength(jSpectrum);
  const int size = std::min({static_cast<int>(jSize), spectrum_size(), static_cast<int>(length)});
  if (size <= 0) return;
  float values[SPECTRUM_NOTES];
  const std::atomic<float>* spectrum = spectrum_get();
  for (int i = 0; i < size; i++) values[i] = spectrum[i].load(relaxed);
  env->SetFloatArrayRegion(jSpectrum, 0, size, values);
}

}  // namespace

DspPanGains dsp_panning_gains(int pl) {
  // Differences in 64 bits: the level is stored as given, whatever its range.
  const long long level = pl;
  DspPanGains g;
  if (level < 50) {
    g.leftLevelLeft = static_cast<float>(level) / 50.0f;
    g.leftLevelRight = static_cast<float>(50 - level) / 50.0f;
    g.rightLevelLeft = 0.0f;
    g.rightLevelRight = 1.0f;
  } else {
    g.leftLevelLeft = 1.0f;
    g.leftLevelRight = 0.0f;
    g.rightLevelLeft = static_cast<float>(level - 50) / 50.0f;
    g.rightLevelRight = static_cast<float>(100 - level) / 50.0f;
  }
  return g;
}

float dsp_convert_output(const float* out, int count, float overlapScaling, float gain, float slope,
                         int16_t* dest, int stride, float maxLevel) {
  int i = 0;
  if (cpuHasAvx2() && !std::isnan(maxLevel))
    i = convertOutputAvx2(out, count, overlapScaling, gain, slope, dest, stride, maxLevel);
  for (; i < count; i++) {
    const float output = (out[i] / overlapScaling) * gain;
    const float level = std::fabs(output);
    // Above the threshold the factor falls linearly; far above it turns
    // negative and flips the sample, which the clamp then bounds.
    const float factor = level < kLimiterThreshold ? 1.0f : 1.0f - (level - kLimiterThreshold) * slope;
    maxLevel = std::fmax(maxLevel, level);
    dest[static_cast<size_t>(i) * static_cast<size_t>(stride)] = toPcm(output * factor);
  }
  return maxLevel;
}

float dsp_convert_output_pair(const float* left, const float* right, int count, float overlapScaling,
                              float gain, float slope, int16_t* dest, float maxLevel) {
  int i = 0;
  if (cpuHasAvx2() && !std::isnan(maxLevel))
    i = convertPairAvx2(left, right, count, overlapScaling, gain, slope, dest, maxLevel);
  // The peak is a maximum, so taking the left channel's samples before the
  // right's gives the same value as alternating them frame by frame.
  const size_t done = 2 * static_cast<size_t>(i);
  maxLevel = dsp_convert_output(left + i, count - i, overlapScaling, gain, slope, dest + done, 2, maxLevel);
  return dsp_convert_output(right + i, count - i, overlapScaling, gain, slope, dest + done + 1, 2, maxLevel);
}

size_t dsp_input_capacity() {
  return inCapacity;
}

size_t dsp_output_capacity() {
  return outCapacity;
}

extern "C" {

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspInit(JNIEnv* env, jobject, jint jFrameSize,
                                                                     jint jOverSampling, jint jSampleRate,
                                                                     jint nChannels) {
  try {
    init(env, jFrameSize, jOverSampling, jSampleRate, nChannels);
  } catch (...) {
    throwCurrentException(env, "dspInit");
  }
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalEnable(JNIEnv*, jobject,
                                                                                   jint enabled) {
  voiceRemovalEnabled.store(enabled != 0, relaxed);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalAmount(JNIEnv*, jobject,
                                                                                   jfloat amount) {
  voiceRemovalAmount.store(amount, relaxed);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspSetPreamp(JNIEnv*, jobject, jfloat jpreamp) {
  preamp.store(jpreamp, relaxed);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspSpectrumEnable(JNIEnv*, jobject,
                                                                               jint enabled) {
  spectrum_enabled.store(enabled, relaxed);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalFilter(JNIEnv* env, jobject,
                                                                                   jdoubleArray coeffA,
                                                                                   jdoubleArray coeffB,
                                                                                   jint sizeA, jint sizeB) {
  try {
    voiceRemovalFilter(env, coeffA, coeffB, sizeA, sizeB);
  } catch (...) {
    throwCurrentException(env, "dspVoiceRemovalFilter");
  }
}

JNIEXPORT jfloat JNICALL Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(JNIEnv*, jobject) {
  return static_cast<jfloat>(maxLevelAcum.load(relaxed));
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspProcess(JNIEnv* env, jobject,
                                                                        jshortArray samples, jint samplesIn,
                                                                        jint samplesOut, jfloat) {
  try {
    process(env, samples, samplesIn, samplesOut);
  } catch (...) {
    throwCurrentException(env, "dspProcess");
  }
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspPanning(JNIEnv*, jobject, jint jPanningActive,
                                                                        jint jMonoActive,
                                                                        jint jPanningLevel) {
  panningActive.store(jPanningActive, relaxed);
  monoActive.store(jMonoActive, relaxed);
  panningLevel.store(jPanningLevel, relaxed);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspEQSetBands(JNIEnv* env, jobject,
                                                                           jfloatArray levels) {
  try {
    eqSetBands(env, levels);
  } catch (...) {
    throwCurrentException(env, "dspEQSetBands");
  }
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspEQEnable(JNIEnv*, jobject, jint enabled) {
  eq_enable(enabled);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspQualityMode(JNIEnv* env, jobject,
                                                                            jint mode) {
  if (mode != 0 && mode != 1) {
    throwJava(env, kIllegalArgument, "dspQualityMode: mode must be 0 (exact) or 1 (fine), got %d", mode);
    return;
  }
  qualityMode.store(mode, relaxed);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspGetSpectrum(JNIEnv* env, jobject,
                                                                            jfloatArray jSpectrum,
                                                                            jint jSize) {
  try {
    getSpectrum(env, jSpectrum, jSize);
  } catch (...) {
    throwCurrentException(env, "dspGetSpectrum");
  }
}

}  // extern "C"
