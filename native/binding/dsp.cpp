// JNI layer: the exported entry points of quorvel.tambrino.NativeInterface
// (the process's default engine) and of quorvel.tambrino.EngineNative (the
// engine of a handle that quorvel.tambrino.Engine holds).
// They check the arguments that only they can see (null and short arrays)
// and hold the settings to their limits (setting_limits.h: a value that
// could make the stream non-finite for good is refused), turn the
// pipeline's statuses into Java exceptions with a clear message, and copy
// Java arrays into and out of engine-owned storage; the work itself is the
// pipeline's (pipeline.h) and the units'.
//
// Threads and audio path: as the pipeline's. Java arrays are copied with
// Get/Set<Type>ArrayRegion, never pinned (a virtual machine may pin by
// copying into a fresh heap buffer), so that dspProcess, dspGetMaxLevel and
// dspGetSpectrum allocate nothing once the pipeline's buffers are large
// enough. Every argument is checked before any state or any element of the
// caller's array changes; a violation raises a Java exception and the call
// changes nothing. No failure passes silently: an allocation that fails
// raises OutOfMemoryError, after which the engine is as it was. No C++
// exception leaves an entry point.
#include <jni.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>

#include "engine.h"
#include "eq.h"
#include "iirfilter.h"
#include "pipeline.h"
#include "quorvel_tambrino_EngineNative.h"
#include "quorvel_tambrino_NativeInterface.h"
#include "setting_limits.h"
#include "spectrum.h"

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

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

// A value as Java prints it where it matters most: NaN and the infinities by
// name (printf's "nan" and "inf" would read as C in a Java message).
struct JavaNumber {
  char text[32];
};

JavaNumber javaNumber(double v) {
  JavaNumber n;
  if (std::isnan(v)) {
    std::snprintf(n.text, sizeof n.text, "NaN");
  } else if (std::isinf(v)) {
    std::snprintf(n.text, sizeof n.text, "%sInfinity", v < 0 ? "-" : "");
  } else {
    std::snprintf(n.text, sizeof n.text, "%g", v);
  }
  return n;
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

void process(JNIEnv* env, Engine& e, jshortArray samples, jint samplesIn, jint samplesOut) {
  const char* const m = "dspProcess";
  PipelineState& p = *e.pipeline;
  const PipelineStatus checked = pipeline_check_block(p, samplesIn, samplesOut);
  if (checked == PipelineStatus::NotSetUp) {
    throwJava(env, kIllegalState, "%s: the engine is not set up; call dspInit first", m);
    return;
  }
  if (samples == nullptr) {
    throwJava(env, kNullPointer, "%s: samples is null", m);
    return;
  }
  if (checked == PipelineStatus::BadSamplesIn) {
    throwJava(env, kIllegalArgument, "%s: samplesIn must be at least 1, got %d", m, samplesIn);
    return;
  }
  const PipelineStream s = pipeline_stream(p);
  const int nChannels = s.channels;
  const int framesOut = samplesOut > 0 ? samplesOut : 0;
  const long long frames = std::max<long long>(samplesIn, framesOut);
  const long long needed = frames * nChannels;
  const jsize length = env->GetArrayLength(samples);
  if (length < needed) {
    throwJava(env, kIllegalArgument,
              "%s: samples must hold max(samplesIn, samplesOut) = %lld frames of %d channel(s), i.e. at "
              "least %lld values, but holds %d",
              m, frames, nChannels, needed, static_cast<int>(length));
    return;
  }
  if (checked == PipelineStatus::BadSynthesisHop) {
    const int stepIn = s.frameSize / s.overSampling;
    throwJava(env, kIllegalArgument,
              "%s: samplesOut / samplesIn = %d / %d gives a synthesis hop of %g samples; the hop (analysis "
              "hop %d times the ratio) must be in 1..%d, the frame size",
              m, samplesOut, samplesIn,
              static_cast<double>(pipeline_synthesis_hop(stepIn, samplesIn, samplesOut)), stepIn,
              s.frameSize);
    return;
  }
  if (checked == PipelineStatus::BadAnalysisHop) {
    const int stepIn = s.frameSize / s.overSampling;
    throwJava(env, kIllegalArgument,
              "%s: samplesIn / samplesOut = %d / %d gives an analysis hop of %g samples in the fine mode; the "
              "hop (synthesis hop %d times the ratio) must be in 1..%d, the frame size",
              m, samplesIn, samplesOut, pipeline_analysis_hop(stepIn, samplesIn, samplesOut), stepIn,
              s.frameSize);
    return;
  }
  if (pipeline_reserve(p, samplesIn, samplesOut) != PipelineStatus::Ok) {
    throwJava(env, kOutOfMemory, "%s: cannot allocate work buffers for a block of %d frames in, %d out", m,
              samplesIn, framesOut);
    return;
  }

  // The block's frames in; the samplesOut frames written back out. Values
  // beyond samplesOut frames keep what the caller had there, as the pipeline
  // works in place.
  int16_t* pcm = pipeline_pcm_buffer(p);
  env->GetShortArrayRegion(samples, 0, static_cast<jsize>(samplesIn * nChannels), pcm);
  if (arrayCallFailed(env)) return;
  // Checked and reserved above, so the block runs; anything else would be a
  // fault of the engine, and the caller's array is then left alone.
  if (pipeline_process(p, pcm, samplesIn, samplesOut) != PipelineStatus::Ok) {
    throwJava(env, kIllegalState, "%s: the block could not run", m);
    return;
  }
  if (framesOut > 0) env->SetShortArrayRegion(samples, 0, static_cast<jsize>(framesOut * nChannels), pcm);
}

void init(JNIEnv* env, Engine& e, jint jFrameSize, jint jOverSampling, jint jSampleRate, jint nChannels) {
  const char* const m = "dspInit";
  switch (pipeline_init(*e.pipeline, jFrameSize, jOverSampling, jSampleRate, nChannels)) {
    case PipelineStatus::Ok:
      return;
    case PipelineStatus::BadFrameSize:
      throwJava(env, kIllegalArgument, "%s: frameSize must be a power of two in %d..%d, got %d", m,
                PIPELINE_MIN_FRAME_SIZE, PIPELINE_MAX_FRAME_SIZE, jFrameSize);
      return;
    case PipelineStatus::BadOverSampling:
      throwJava(env, kIllegalArgument, "%s: overSampling must be in 1..frameSize (1..%d), got %d", m,
                jFrameSize, jOverSampling);
      return;
    case PipelineStatus::BadSampleRate:
      throwJava(env, kIllegalArgument, "%s: sampleRate must be at least %d Hz, got %d", m,
                PIPELINE_MIN_SAMPLE_RATE, jSampleRate);
      return;
    case PipelineStatus::BadChannels:
      throwJava(env, kIllegalArgument, "%s: channels must be 1 or 2, got %d", m, nChannels);
      return;
    case PipelineStatus::OutOfMemory:
      throwJava(env, kOutOfMemory, "%s: cannot allocate the engine's buffers for frameSize %d", m,
                jFrameSize);
      return;
    default:
      throwJava(env, kIllegalState, "%s: unexpected set-up failure", m);
      return;
  }
}

void voiceRemovalFilter(JNIEnv* env, Engine& e, jdoubleArray coeffA, jdoubleArray coeffB, jint sizeA,
                        jint sizeB) {
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
  // Checked on the copies, so that a caller writing into its arrays meanwhile
  // cannot slip an unchecked coefficient past the check.
  const FilterVerdict verdict = setting_check_filter(a.get(), b.get(), sizeA, sizeB);
  switch (verdict.check) {
    case FilterCheck::Ok:
      break;
    case FilterCheck::NotFinite: {
      const bool inA = verdict.index < sizeA;
      throwJava(env, kIllegalArgument, "%s: %s[%d] is %s: every coefficient must be finite", m,
                inA ? "coeffA" : "coeffB", inA ? verdict.index : verdict.index - sizeA,
                javaNumber(verdict.value).text);
      return;
    }
    case FilterCheck::TooLoud:
      throwJava(env, kIllegalArgument,
                "%s: the filter's gain (the sum of its impulse response's magnitudes) reaches %.9g, above %g: "
                "too loud, or unstable (a pole of coeffA outside the unit circle)",
                m, verdict.value, SETTING_MAX_FILTER_GAIN);
      return;
    case FilterCheck::RingsTooLong:
      throwJava(env, kIllegalArgument,
                "%s: the filter's impulse response does not die away within %d samples: coeffA has a pole on, "
                "outside or too close to the unit circle",
                m, SETTING_FILTER_SETTLE);
      return;
  }
  const IirResult result = iir_init_filters(*e.iir, a.get(), b.get(), sizeA, sizeB);
  if (result == IIR_OUT_OF_MEMORY) {
    throwJava(env, kOutOfMemory, "%s: cannot allocate filters of %d and %d coefficients", m, sizeA, sizeB);
  } else if (result != IIR_OK) {
    throwJava(env, kIllegalArgument, "%s: coefficients refused (sizeA %d, sizeB %d)", m, sizeA, sizeB);
  }
}

void eqSetBands(JNIEnv* env, Engine& e, jfloatArray levels) {
  const char* const m = "dspEQSetBands";
  if (levels == nullptr) {
    throwJava(env, kNullPointer, "%s: levels is null", m);
    return;
  }
  // Before the first dspInit there is no table to hold the gains.
  const int bands = eq_band_count(*e.eq);
  const jsize length = env->GetArrayLength(levels);
  if (length < bands) {
    throwJava(env, kIllegalArgument, "%s: levels must hold at least %d gains (one per band), but holds %d", m,
              bands, static_cast<int>(length));
    return;
  }
  // One gain per bin of the lower half of a frame: dspInit allows no more.
  constexpr int kMaxBands = PIPELINE_MAX_FRAME_SIZE / 2;
  if (bands > kMaxBands) {
    throwJava(env, kIllegalState, "%s: the equaliser has %d bands, more than %d", m, bands, kMaxBands);
    return;
  }
  // Every gain of the array is checked, those beyond the bands too, so that
  // the rule does not depend on the frame size; the bands' own gains are
  // checked on the copy that is stored.
  float gains[kMaxBands];
  float rest[kMaxBands];
  for (jsize start = 0; start < length; start += kMaxBands) {
    const jsize count = std::min<jsize>(kMaxBands, length - start);
    float* chunk = start == 0 ? gains : rest;
    env->GetFloatArrayRegion(levels, start, count, chunk);
    if (arrayCallFailed(env)) return;
    for (jsize k = 0; k < count; k++) {
      if (!setting_eq_gain_ok(chunk[k])) {
        throwJava(env, kIllegalArgument, "%s: levels[%d] is %s: every gain must be finite, in 0..%g", m,
                  static_cast<int>(start + k), javaNumber(chunk[k]).text, static_cast<double>(SETTING_MAX_EQ_GAIN));
        return;
      }
    }
  }
  if (bands > 0) eq_setbands(*e.eq, gains);
}

void getSpectrum(JNIEnv* env, const Engine& e, jfloatArray jSpectrum, jint jSize) {
  const char* const m = "dspGetSpectrum";
  if (jSpectrum == nullptr) {
    throwJava(env, kNullPointer, "%s: spectrum is null", m);
    return;
  }
  if (jSize < 0) {
    throwJava(env, kIllegalArgument, "%s: size must be at least 0, got %d", m, jSize);
    return;
  }
  const jsize length = env->GetArrayLength(jSpectrum);
  const int size = std::min({static_cast<int>(jSize), spectrum_size(), static_cast<int>(length)});
  if (size <= 0) return;
  float values[SPECTRUM_NOTES];
  const std::atomic<float>* spectrum = spectrum_get(*e.spectrum);
  for (int i = 0; i < size; i++) values[i] = spectrum[i].load(relaxed);
  env->SetFloatArrayRegion(jSpectrum, 0, size, values);
}

void qualityMode(JNIEnv* env, Engine& e, jint mode) {
  if (mode != 0 && mode != 1) {
    throwJava(env, kIllegalArgument, "dspQualityMode: mode must be 0 (exact) or 1 (fine), got %d", mode);
    return;
  }
  pipeline_set_quality_mode(*e.pipeline, mode);
}

void voiceRemovalAmount(JNIEnv* env, Engine& e, jfloat amount) {
  if (!setting_voice_amount_ok(amount)) {
    throwJava(env, kIllegalArgument,
              "dspVoiceRemovalAmount: amount must be a finite number up to %g (0 or below: no removal), got %s",
              static_cast<double>(SETTING_MAX_VOICE_AMOUNT), javaNumber(amount).text);
    return;
  }
  pipeline_set_voice_removal_amount(*e.pipeline, amount);
}

void preamp(JNIEnv* env, Engine& e, jfloat gain) {
  if (!setting_preamp_ok(gain)) {
    throwJava(env, kIllegalArgument, "dspSetPreamp: preamp must be a finite gain in 0..%g, got %s",
              static_cast<double>(SETTING_MAX_PREAMP), javaNumber(gain).text);
    return;
  }
  pipeline_set_preamp(*e.pipeline, gain);
}

void panning(JNIEnv* env, Engine& e, jint panningActive, jint monoActive, jint panningLevel) {
  if (!setting_panning_level_ok(panningLevel)) {
    throwJava(env, kIllegalArgument, "dspPanning: panningLevel must be in 0..%d, got %d",
              SETTING_MAX_PANNING_LEVEL, panningLevel);
    return;
  }
  pipeline_set_panning(*e.pipeline, panningActive, monoActive, panningLevel);
}

void pitchShift(JNIEnv* env, Engine& e, jfloat semitones) {
  if (!std::isfinite(semitones) || std::fabs(semitones) > PIPELINE_MAX_PITCH_SHIFT) {
    throwJava(env, kIllegalArgument, "dspPitchShift: semitones must be a finite number in -24..24, got %s",
              javaNumber(semitones).text);
    return;
  }
  pipeline_set_pitch_shift(*e.pipeline, semitones);
}

// The process's default engine, made on first use; null, with OutOfMemoryError
// raised, if it cannot be made.
Engine* defaultEngine(JNIEnv* env) {
  Engine* e = engine_default();
  if (e == nullptr) throwJava(env, kOutOfMemory, "cannot allocate the engine");
  return e;
}

// The engine of a handle from EngineNative; null, with IllegalStateException
// raised, for the zero handle of a closed engine. The Java side keeps the
// handle private and passes it only while the engine is open.
Engine* engineOf(JNIEnv* env, jlong handle) {
  Engine* e = reinterpret_cast<Engine*>(static_cast<intptr_t>(handle));
  if (e == nullptr) throwJava(env, kIllegalState, "the engine is closed");
  return e;
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspInit(JNIEnv* env, jobject, jint jFrameSize,
                                                                     jint jOverSampling, jint jSampleRate,
                                                                     jint nChannels) {
  try {
    if (Engine* e = defaultEngine(env)) init(env, *e, jFrameSize, jOverSampling, jSampleRate, nChannels);
  } catch (...) {
    throwCurrentException(env, "dspInit");
  }
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalEnable(JNIEnv* env, jobject,
                                                                                   jint enabled) {
  if (Engine* e = defaultEngine(env)) pipeline_set_voice_removal(*e->pipeline, enabled != 0);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalAmount(JNIEnv* env, jobject,
                                                                                   jfloat amount) {
  if (Engine* e = defaultEngine(env)) voiceRemovalAmount(env, *e, amount);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspSetPreamp(JNIEnv* env, jobject,
                                                                          jfloat jpreamp) {
  if (Engine* e = defaultEngine(env)) preamp(env, *e, jpreamp);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspSpectrumEnable(JNIEnv* env, jobject,
                                                                               jint enabled) {
  if (Engine* e = defaultEngine(env)) spectrum_enable(*e->spectrum, enabled);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalFilter(JNIEnv* env, jobject,
                                                                                   jdoubleArray coeffA,
                                                                                   jdoubleArray coeffB,
                                                                                   jint sizeA, jint sizeB) {
  try {
    if (Engine* e = defaultEngine(env)) voiceRemovalFilter(env, *e, coeffA, coeffB, sizeA, sizeB);
  } catch (...) {
    throwCurrentException(env, "dspVoiceRemovalFilter");
  }
}

JNIEXPORT jfloat JNICALL Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(JNIEnv* env, jobject) {
  Engine* e = defaultEngine(env);
  return e != nullptr ? pipeline_max_level(*e->pipeline) : 0.0f;
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspProcess(JNIEnv* env, jobject,
                                                                        jshortArray samples, jint samplesIn,
                                                                        jint samplesOut, jfloat) {
  try {
    if (Engine* e = defaultEngine(env)) process(env, *e, samples, samplesIn, samplesOut);
  } catch (...) {
    throwCurrentException(env, "dspProcess");
  }
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspPanning(JNIEnv* env, jobject,
                                                                        jint jPanningActive, jint jMonoActive,
                                                                        jint jPanningLevel) {
  if (Engine* e = defaultEngine(env)) panning(env, *e, jPanningActive, jMonoActive, jPanningLevel);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspEQSetBands(JNIEnv* env, jobject,
                                                                           jfloatArray levels) {
  try {
    if (Engine* e = defaultEngine(env)) eqSetBands(env, *e, levels);
  } catch (...) {
    throwCurrentException(env, "dspEQSetBands");
  }
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspEQEnable(JNIEnv* env, jobject, jint enabled) {
  if (Engine* e = defaultEngine(env)) eq_enable(*e->eq, enabled);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspQualityMode(JNIEnv* env, jobject, jint mode) {
  if (Engine* e = defaultEngine(env)) qualityMode(env, *e, mode);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspPitchShift(JNIEnv* env, jobject,
                                                                          jfloat semitones) {
  if (Engine* e = defaultEngine(env)) pitchShift(env, *e, semitones);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspPitchFormants(JNIEnv* env, jobject,
                                                                             jint keep) {
  if (Engine* e = defaultEngine(env)) pipeline_set_formants(*e->pipeline, keep != 0);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_NativeInterface_dspGetSpectrum(JNIEnv* env, jobject,
                                                                            jfloatArray jSpectrum,
                                                                            jint jSize) {
  try {
    if (Engine* e = defaultEngine(env)) getSpectrum(env, *e, jSpectrum, jSize);
  } catch (...) {
    throwCurrentException(env, "dspGetSpectrum");
  }
}

// EngineNative: the same operations on the engine of a handle, and the
// handle's life. Each takes the handle as its first argument.

JNIEXPORT jlong JNICALL Java_quorvel_tambrino_EngineNative_create(JNIEnv* env, jclass) {
  Engine* e = engine_create();
  if (e == nullptr) throwJava(env, kOutOfMemory, "cannot allocate an engine");
  return static_cast<jlong>(reinterpret_cast<intptr_t>(e));
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_destroy(JNIEnv*, jclass, jlong handle) {
  engine_destroy(reinterpret_cast<Engine*>(static_cast<intptr_t>(handle)));
}

JNIEXPORT jlong JNICALL Java_quorvel_tambrino_EngineNative_liveCount(JNIEnv*, jclass) {
  return static_cast<jlong>(engine_count());
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_init(JNIEnv* env, jclass, jlong handle,
                                                               jint frameSize, jint overSampling,
                                                               jint sampleRate, jint channels) {
  try {
    if (Engine* e = engineOf(env, handle)) init(env, *e, frameSize, overSampling, sampleRate, channels);
  } catch (...) {
    throwCurrentException(env, "dspInit");
  }
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_voiceRemovalEnable(JNIEnv* env, jclass,
                                                                             jlong handle, jint enabled) {
  if (Engine* e = engineOf(env, handle)) pipeline_set_voice_removal(*e->pipeline, enabled != 0);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_voiceRemovalAmount(JNIEnv* env, jclass,
                                                                             jlong handle, jfloat amount) {
  if (Engine* e = engineOf(env, handle)) voiceRemovalAmount(env, *e, amount);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_setPreamp(JNIEnv* env, jclass, jlong handle,
                                                                    jfloat gain) {
  if (Engine* e = engineOf(env, handle)) preamp(env, *e, gain);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_spectrumEnable(JNIEnv* env, jclass, jlong handle,
                                                                         jint enabled) {
  if (Engine* e = engineOf(env, handle)) spectrum_enable(*e->spectrum, enabled);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_voiceRemovalFilter(
    JNIEnv* env, jclass, jlong handle, jdoubleArray coeffA, jdoubleArray coeffB, jint sizeA, jint sizeB) {
  try {
    if (Engine* e = engineOf(env, handle)) voiceRemovalFilter(env, *e, coeffA, coeffB, sizeA, sizeB);
  } catch (...) {
    throwCurrentException(env, "dspVoiceRemovalFilter");
  }
}

JNIEXPORT jfloat JNICALL Java_quorvel_tambrino_EngineNative_getMaxLevel(JNIEnv* env, jclass, jlong handle) {
  Engine* e = engineOf(env, handle);
  return e != nullptr ? pipeline_max_level(*e->pipeline) : 0.0f;
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_process(JNIEnv* env, jclass, jlong handle,
                                                                  jshortArray samples, jint samplesIn,
                                                                  jint samplesOut) {
  try {
    if (Engine* e = engineOf(env, handle)) process(env, *e, samples, samplesIn, samplesOut);
  } catch (...) {
    throwCurrentException(env, "dspProcess");
  }
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_panning(JNIEnv* env, jclass, jlong handle,
                                                                  jint panningActive, jint monoActive,
                                                                  jint panningLevel) {
  if (Engine* e = engineOf(env, handle)) panning(env, *e, panningActive, monoActive, panningLevel);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_eqSetBands(JNIEnv* env, jclass, jlong handle,
                                                                     jfloatArray levels) {
  try {
    if (Engine* e = engineOf(env, handle)) eqSetBands(env, *e, levels);
  } catch (...) {
    throwCurrentException(env, "dspEQSetBands");
  }
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_eqEnable(JNIEnv* env, jclass, jlong handle,
                                                                   jint enabled) {
  if (Engine* e = engineOf(env, handle)) eq_enable(*e->eq, enabled);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_qualityMode(JNIEnv* env, jclass, jlong handle,
                                                                      jint mode) {
  if (Engine* e = engineOf(env, handle)) qualityMode(env, *e, mode);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_pitchShift(JNIEnv* env, jclass, jlong handle,
                                                                     jfloat semitones) {
  if (Engine* e = engineOf(env, handle)) pitchShift(env, *e, semitones);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_pitchFormants(JNIEnv* env, jclass, jlong handle,
                                                                        jint keep) {
  if (Engine* e = engineOf(env, handle)) pipeline_set_formants(*e->pipeline, keep != 0);
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_EngineNative_getSpectrum(JNIEnv* env, jclass, jlong handle,
                                                                      jfloatArray spectrum, jint size) {
  try {
    if (Engine* e = engineOf(env, handle)) getSpectrum(env, *e, spectrum, size);
  } catch (...) {
    throwCurrentException(env, "dspGetSpectrum");
  }
}

}  // extern "C"
