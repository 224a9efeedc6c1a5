// The block pipeline: one PCM block in, through both modes, back out limited.
#include "pipeline.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "cpu.h"
#include "eq.h"
#include "fine.h"
#include "iirfilter.h"
#include "pipeline_kernels.h"
#include "pipeline_testing.h"
#include "spectrum.h"
#include "vocoder.h"

namespace {

using namespace pipeline_internal;

constexpr auto relaxed = std::memory_order_relaxed;

// Input frames over which the fine mode moves into a new stereo image (mono,
// panning) or voice-removal amount, where the exact mode switches at the
// block's edge: a centred tone cut at once by voice removal stepped twelve
// times its own largest step.
constexpr int kSettingGlide = 1024;

// How far along the glide is after `done` of its frames: a smooth step,
// flat at both ends, so that the change neither starts nor stops at once.
inline float glideShape(int done) {
  const float x = static_cast<float>(done) / kSettingGlide;
  return x * x * (3.0f - 2.0f * x);
}

struct Block {
  int samplesIn;
  int samplesOut;  // 0 for any samplesOut <= 0
  int stepOut;
  int frameSize;
  bool mono;
  bool fine;  // the fine mode: its own store gives samplesOut normalised samples
};

}  // namespace

struct PipelineState {
  PipelineStatus init(int pFrameSize, int pOverSampling, int pSampleRate, int pChannels);
  PipelineStatus process(int16_t* samples, int samplesIn, int samplesOut);
  bool createBuffers(size_t inSize, size_t outSize);
  bool reserveBuffers(int samplesIn, size_t inNeeded, size_t outNeeded, size_t hopRoom);
  void writeOutput(int16_t* c_samples, const Block& b);
  void processMono(int16_t* c_samples, const Block& b);
  void processStereo(int16_t* c_samples, const Block& b);
  PipelineStatus checkBlock(int samplesIn, int samplesOut, int mode) const;
  Block blockOf(int samplesIn, int samplesOut, int mode) const;
  PipelineStatus reserve(int samplesIn, int samplesOut, int mode);

  // The engine's units, which the engine owns and the pipeline drives.
  PipelineUnits u;

  // Stream configuration of the last successful pipeline_init. Set-up never
  // overlaps a block, so a block always sees one consistent set; the atomics
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
  // Semitones of transposition, taken by the fine mode at its next block.
  std::atomic<float> pitchShift{0.0f};
  std::atomic<bool> keepFormants{false};
  int blockMode = 0;  // the mode of the last block, on the playback thread

  // The fine mode's glide into a new stereo image or voice-removal amount
  // (playback thread only): the four gains of the image and the amount, from
  // where a change found them to where it goes, and how far along.
  static constexpr int kGlideValues = 5;
  float glideFrom[kGlideValues] = {1, 0, 0, 1, 0};
  float glideTo[kGlideValues] = {1, 0, 0, 1, 0};
  int glideDone = kSettingGlide;
  bool glideFresh = true;  // a new time line takes its settings at once
  void glideTowards(const float* target, bool glide);
  void glideFrames(const int16_t* c_samples, const Block& b, float* inLeft, float* inRight);

  // Largest level of the last block, before the limiter.
  std::atomic<float> lastPeak{0.0f};

  // Work buffers, touched only by the playback thread: the block's input and
  // the vocoder's output per channel, and its 16-bit frames.
  std::unique_ptr<float[]> inLeftBuffer;
  std::unique_ptr<float[]> inRightBuffer;
  std::unique_ptr<float[]> outLeftBuffer;
  std::unique_ptr<float[]> outRightBuffer;
  std::unique_ptr<int16_t[]> pcm;
  size_t inCapacity = 0;
  size_t outCapacity = 0;
};

namespace {

bool isPowerOfTwo(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

std::unique_ptr<float[]> zeroedFloats(size_t count) {
  return std::unique_ptr<float[]>(new (std::nothrow) float[count]());
}

}  // namespace

// Makes the four buffers with inSize input and outSize output floats each,
// zeroed and then holding what the old ones held: a position that the vocoder
// does not rewrite keeps its earlier value, as it would without the growth.
// On failure the old buffers stay and false is returned.
bool PipelineState::createBuffers(size_t inSize, size_t outSize) {
  std::unique_ptr<float[]> newInLeft = zeroedFloats(inSize);
  std::unique_ptr<float[]> newInRight = zeroedFloats(inSize);
  std::unique_ptr<float[]> newOutLeft = zeroedFloats(outSize);
  std::unique_ptr<float[]> newOutRight = zeroedFloats(outSize);
  // Two channels' frames, in or out, whichever is more: a stereo block of any
  // size that the float buffers hold (a mono stream set up again as stereo
  // included).
  std::unique_ptr<int16_t[]> newPcm(new (std::nothrow) int16_t[2 * std::max(inSize, outSize)]);
  if (!newInLeft || !newInRight || !newOutLeft || !newOutRight || !newPcm) return false;
  if (inLeftBuffer) {
    std::memcpy(newInLeft.get(), inLeftBuffer.get(), inCapacity * sizeof(float));
    std::memcpy(newInRight.get(), inRightBuffer.get(), inCapacity * sizeof(float));
    std::memcpy(newOutLeft.get(), outLeftBuffer.get(), outCapacity * sizeof(float));
    std::memcpy(newOutRight.get(), outRightBuffer.get(), outCapacity * sizeof(float));
  }
  inLeftBuffer = std::move(newInLeft);
  inRightBuffer = std::move(newInRight);
  outLeftBuffer = std::move(newOutLeft);
  outRightBuffer = std::move(newOutRight);
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
bool PipelineState::reserveBuffers(int samplesIn, size_t inNeeded, size_t outNeeded, size_t hopRoom) {
  if (!inLeftBuffer) {
    const size_t size = 4 * static_cast<size_t>(samplesIn);
    if (createBuffers(std::max(size, inNeeded), std::max(2 * size, outNeeded) + hopRoom)) return true;
    return createBuffers(inNeeded, outNeeded);
  }
  if (inNeeded <= inCapacity && outNeeded <= outCapacity) return true;
  return createBuffers(std::max(inNeeded, inCapacity), std::max(outNeeded + hopRoom, outCapacity));
}

namespace {

int16_t toPcm(float x) {
  if (x < -1.0f) return -32767;
  if (x > 1.0f) return 32767;
  if (std::isnan(x)) return 0;
  return static_cast<int16_t>(static_cast<int>(x * 32767.0f));
}

}  // namespace

// Scales, limits and writes back samplesOut frames of every channel, and
// records the block's peak (0 when nothing is written back).
void PipelineState::writeOutput(int16_t* c_samples, const Block& b) {
  if (b.samplesOut <= 0) {
    lastPeak.store(0.0f, relaxed);
    return;
  }
  const float gain = preamp.load(relaxed);
  if (b.fine) {
    float maxLevel = pipeline_convert_output_soft(outLeftBuffer.get(), b.samplesOut, gain, c_samples,
                                                  b.mono ? 1 : 2, 0.0f);
    if (!b.mono)
      maxLevel = pipeline_convert_output_soft(outRightBuffer.get(), b.samplesOut, gain, c_samples + 1, 2,
                                              maxLevel);
    lastPeak.store(maxLevel, relaxed);
    return;
  }
  const float overlapScaling = static_cast<float>(b.frameSize) / (2.0f * static_cast<float>(b.stepOut));
  const float slope = b.mono ? PIPELINE_MONO_LIMITER_SLOPE : PIPELINE_STEREO_LIMITER_SLOPE;
  const float maxLevel =
      b.mono ? pipeline_convert_output(outLeftBuffer.get(), b.samplesOut, overlapScaling, gain, slope,
                                       c_samples, 1, 0.0f)
             : pipeline_convert_output_pair(outLeftBuffer.get(), outRightBuffer.get(), b.samplesOut,
                                            overlapScaling, gain, slope, c_samples, 0.0f);
  lastPeak.store(maxLevel, relaxed);
}

void PipelineState::processMono(int16_t* c_samples, const Block& b) {
  float* inLeft = inLeftBuffer.get();
  for (int i = 0; i < b.samplesIn; i++) inLeft[i] = static_cast<float>(c_samples[i]) * kInputScale;

  spectrum_set_fine(*u.spectrum, b.fine);
  spectrum_begin_batch(*u.spectrum);
  if (b.fine) {
    fine_set_pitch(*u.fine, pipeline_pitch_ratio(pitchShift.load(relaxed)));
    fine_set_formants(*u.fine, keepFormants.load(relaxed));
    fine_process(*u.fine, inLeft, nullptr, b.samplesIn, outLeftBuffer.get(), nullptr, b.samplesOut);
  } else {
    fine_feed(*u.fine, inLeft, nullptr, b.samplesIn);
    vocoder_process(*u.vocoder, inLeft, b.samplesIn, outLeftBuffer.get(), b.stepOut, 0);
  }
  spectrum_end_batch(*u.spectrum);
  writeOutput(c_samples, b);
}

namespace {

// Frame i of the block after panning or folding, at 16-bit scale.
inline void pannedFrame(const int16_t* c_samples, int i, const StereoImage& s, float& left, float& right) {
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

// Frames start .. start + count - 1 after panning, times scale, into left
// and right.
void pannedFrames(const int16_t* c_samples, int start, int count, const StereoImage& s, float scale,
                  float* left, float* right) {
  int i = cpu_level() >= CpuLevel::Avx2
              ? pipeline_avx2::panned_frames(c_samples + 2 * static_cast<size_t>(start), count, s, scale,
                                             left, right)
              : 0;
  for (; i < count; i++) {
    pannedFrame(c_samples, start + i, s, left[i], right[i]);
    left[i] = left[i] * scale;
    right[i] = right[i] * scale;
  }
}

}  // namespace

void PipelineState::processStereo(int16_t* c_samples, const Block& b) {
  const StereoImage image{panningActive.load(relaxed) != 0, monoActive.load(relaxed) != 0,
                          pipeline_panning_gains(panningLevel.load(relaxed))};
  const float amount = voiceRemovalAmount.load(relaxed);
  // Without coefficients the filters would pass their input through and the
  // removal would subtract each channel's partner unfiltered: wait for them.
  const bool removeVoice = voiceRemovalEnabled.load(relaxed) && amount > 0.0f && iir_has_coefficients(*u.iir);
  const double amountDouble = static_cast<double>(amount);

  float* inLeft = inLeftBuffer.get();
  float* inRight = inRightBuffer.get();
  const float target[kGlideValues] = {
      !image.panning ? 1.0f : image.fold ? 0.5f : image.g.leftLevelLeft,
      !image.panning ? 0.0f : image.fold ? 0.5f : image.g.leftLevelRight,
      !image.panning ? 0.0f : image.fold ? 0.5f : image.g.rightLevelLeft,
      !image.panning ? 1.0f : image.fold ? 0.5f : image.g.rightLevelRight,
      removeVoice ? amount : 0.0f};
  glideTowards(target, b.fine);
  if (glideDone < kSettingGlide) {
    glideFrames(c_samples, b, inLeft, inRight);
  } else if (removeVoice) {
    // In runs of frames: the filter of channel 0 takes the right input and
    // that of channel 1 the left, stepped in the same order as frame by frame.
    constexpr int kRun = 256;
    float left[kRun];
    float right[kRun];
    double fromRight[kRun];
    double fromLeft[kRun];
    double yL[kRun];
    double yR[kRun];
    const bool avx2 = cpu_level() >= CpuLevel::Avx2;
    for (int start = 0; start < b.samplesIn; start += kRun) {
      const int n = std::min(kRun, b.samplesIn - start);
      pannedFrames(c_samples, start, n, image, 1.0f, left, right);
      int j = avx2 ? pipeline_avx2::widen(left, fromLeft, n) : 0;
      for (; j < n; j++) fromLeft[j] = static_cast<double>(left[j]);
      j = avx2 ? pipeline_avx2::widen(right, fromRight, n) : 0;
      for (; j < n; j++) fromRight[j] = static_cast<double>(right[j]);
      iir_step_pair_block(*u.iir, fromRight, fromLeft, yL, yR, n);
      float* outLeft = inLeft + start;
      float* outRight = inRight + start;
      j = avx2 ? pipeline_avx2::remove_voice(fromLeft, yL, amountDouble, outLeft, n) : 0;
      for (; j < n; j++)
        outLeft[j] = static_cast<float>((fromLeft[j] - yL[j] * amountDouble) * kInputScaleDouble);
      j = avx2 ? pipeline_avx2::remove_voice(fromRight, yR, amountDouble, outRight, n) : 0;
      for (; j < n; j++)
        outRight[j] = static_cast<float>((fromRight[j] - yR[j] * amountDouble) * kInputScaleDouble);
    }
  } else {
    pannedFrames(c_samples, 0, b.samplesIn, image, kInputScale, inLeft, inRight);
  }

  // The block's spectrum analyses share one pass over the note tables.
  spectrum_set_fine(*u.spectrum, b.fine);
  spectrum_begin_batch(*u.spectrum);
  if (b.fine) {
    fine_set_pitch(*u.fine, pipeline_pitch_ratio(pitchShift.load(relaxed)));
    fine_set_formants(*u.fine, keepFormants.load(relaxed));
    fine_process(*u.fine, inLeft, inRight, b.samplesIn, outLeftBuffer.get(), outRightBuffer.get(),
                 b.samplesOut);
  } else {
    fine_feed(*u.fine, inLeft, inRight, b.samplesIn);
    vocoder_process(*u.vocoder, inLeft, b.samplesIn, outLeftBuffer.get(), b.stepOut, 0);
    vocoder_process(*u.vocoder, inRight, b.samplesIn, outRightBuffer.get(), b.stepOut, 1);
  }
  spectrum_end_batch(*u.spectrum);
  writeOutput(c_samples, b);
}

// Aims the glide at the block's settings: at once for the exact mode, a new
// time line or settings that did not change; otherwise from wherever the
// glide stands.
void PipelineState::glideTowards(const float* target, bool glide) {
  if (std::equal(target, target + kGlideValues, glideTo)) {
    if (!glide) glideDone = kSettingGlide;
  } else {
    const float w = glideShape(glideDone);
    for (int k = 0; k < kGlideValues; k++) {
      glideFrom[k] = glideFrom[k] + (glideTo[k] - glideFrom[k]) * w;
      glideTo[k] = target[k];
    }
    glideDone = 0;
  }
  if (!glide || glideFresh) {
    std::copy(glideTo, glideTo + kGlideValues, glideFrom);
    glideDone = kSettingGlide;
  }
  glideFresh = false;
}

// The block's input, panned and voice-removed with the settings moving along
// the glide frame by frame (scalar: a glide is a few blocks in a while).
void PipelineState::glideFrames(const int16_t* c_samples, const Block& b, float* inLeft, float* inRight) {
  constexpr int kRun = 256;
  double fromRight[kRun], fromLeft[kRun], yL[kRun], yR[kRun], mix[kRun];
  const bool voice = glideFrom[4] > 0.0f || glideTo[4] > 0.0f;
  for (int start = 0; start < b.samplesIn; start += kRun) {
    const int n = std::min(kRun, b.samplesIn - start);
    for (int j = 0; j < n; j++) {
      const float w = glideShape(std::min(glideDone + 1, kSettingGlide));
      if (glideDone < kSettingGlide) glideDone++;
      float g[kGlideValues];
      for (int k = 0; k < kGlideValues; k++) g[k] = glideFrom[k] + (glideTo[k] - glideFrom[k]) * w;
      const float left = static_cast<float>(c_samples[2 * static_cast<size_t>(start + j)]);
      const float right = static_cast<float>(c_samples[2 * static_cast<size_t>(start + j) + 1]);
      fromLeft[j] = static_cast<double>(left * g[0] + right * g[1]);
      fromRight[j] = static_cast<double>(right * g[3] + left * g[2]);
      mix[j] = static_cast<double>(g[4]);
    }
    if (voice) {
      iir_step_pair_block(*u.iir, fromRight, fromLeft, yL, yR, n);
    } else {
      std::fill_n(yL, n, 0.0), std::fill_n(yR, n, 0.0);
    }
    for (int j = 0; j < n; j++) {
      inLeft[start + j] = static_cast<float>((fromLeft[j] - yL[j] * mix[j]) * kInputScaleDouble);
      inRight[start + j] = static_cast<float>((fromRight[j] - yR[j] * mix[j]) * kInputScaleDouble);
    }
  }
}

PipelineState* pipeline_create(const PipelineUnits& units) {
  PipelineState* state = new (std::nothrow) PipelineState();
  if (state != nullptr) state->u = units;
  return state;
}

void pipeline_destroy(PipelineState* state) {
  delete state;
}

PipelineStatus pipeline_init(PipelineState& state, int pFrameSize, int pOverSampling, int pSampleRate,
                             int pChannels) {
  return state.init(pFrameSize, pOverSampling, pSampleRate, pChannels);
}

PipelineStatus PipelineState::init(int pFrameSize, int pOverSampling, int pSampleRate, int pChannels) {
  if (pFrameSize < PIPELINE_MIN_FRAME_SIZE || pFrameSize > PIPELINE_MAX_FRAME_SIZE ||
      !isPowerOfTwo(pFrameSize))
    return PipelineStatus::BadFrameSize;
  if (pOverSampling < 1 || pOverSampling > pFrameSize) return PipelineStatus::BadOverSampling;
  if (pSampleRate < PIPELINE_MIN_SAMPLE_RATE) return PipelineStatus::BadSampleRate;
  if (pChannels != 1 && pChannels != 2) return PipelineStatus::BadChannels;

  // Only an allocation can fail from here on, and every one comes first:
  // eq_init allocates only at its first success (before any stream has been
  // set up), fine_prepare builds the fine mode's state aside,
  // spectrum_prepare takes the note tables for the rate, and vocoder_init
  // builds its new set in full before it gives up the old one. Only when all
  // four have succeeded are the filters, the analyser and the fine mode set
  // up and the new values published, so a failure leaves the stream that is
  // playing exactly as it was.
  if (!eq_init(*u.eq, pFrameSize / 2) || !fine_prepare(*u.fine, pFrameSize, pFrameSize / pOverSampling) ||
      !spectrum_prepare(*u.spectrum, pSampleRate) ||
      !vocoder_init(*u.vocoder, pFrameSize, pFrameSize / pOverSampling))
    return PipelineStatus::OutOfMemory;
  iir_init(*u.iir);
  spectrum_init(*u.spectrum, pSampleRate, pChannels);
  fine_commit(*u.fine);
  frameSize.store(pFrameSize, relaxed);
  channels.store(pChannels, relaxed);
  overSampling.store(pOverSampling, relaxed);
  sampleRate.store(pSampleRate, relaxed);
  configured.store(true, relaxed);
  glideFresh = true;
  return PipelineStatus::Ok;
}

PipelineStream pipeline_stream(const PipelineState& s) {
  if (!s.configured.load(relaxed)) return PipelineStream{};
  return PipelineStream{s.frameSize.load(relaxed), s.overSampling.load(relaxed), s.sampleRate.load(relaxed),
                        s.channels.load(relaxed)};
}

float pipeline_synthesis_hop(int stepIn, int samplesIn, int samplesOut) {
  return static_cast<float>(stepIn) * (static_cast<float>(samplesOut) / static_cast<float>(samplesIn));
}

double pipeline_analysis_hop(int stepIn, int samplesIn, int samplesOut) {
  return static_cast<double>(stepIn) * samplesIn / samplesOut;
}

// pipeline_check_block in the given mode.
PipelineStatus PipelineState::checkBlock(int samplesIn, int samplesOut, int mode) const {
  if (!configured.load(relaxed)) return PipelineStatus::NotSetUp;
  if (samplesIn < 1) return PipelineStatus::BadSamplesIn;
  if (samplesOut <= 0) return PipelineStatus::Ok;
  const int size = frameSize.load(relaxed);
  const int stepIn = size / overSampling.load(relaxed);
  if (mode == 1) {
    // The fine mode's synthesis hop is fixed; the block's ratio sets its
    // analysis hop, a sample at least and a frame at most.
    const double hop = pipeline_analysis_hop(stepIn, samplesIn, samplesOut);
    if (!(hop >= 1.0 && hop <= size)) return PipelineStatus::BadAnalysisHop;
    return PipelineStatus::Ok;
  }
  const float hop = pipeline_synthesis_hop(stepIn, samplesIn, samplesOut);
  if (!(hop >= 1.0f && hop < static_cast<float>(size) + 1.0f)) return PipelineStatus::BadSynthesisHop;
  return PipelineStatus::Ok;
}

// The block as the steps see it; samplesIn and samplesOut checked.
Block PipelineState::blockOf(int samplesIn, int samplesOut, int mode) const {
  Block b;
  b.samplesIn = samplesIn;
  b.samplesOut = samplesOut > 0 ? samplesOut : 0;
  b.frameSize = frameSize.load(relaxed);
  b.mono = channels.load(relaxed) == 1;
  b.fine = mode == 1;
  const int stepIn = b.frameSize / overSampling.load(relaxed);
  if (b.fine) {
    b.stepOut = stepIn;
  } else {
    b.stepOut =
        b.samplesOut > 0 ? static_cast<int>(pipeline_synthesis_hop(stepIn, samplesIn, samplesOut)) : 0;
  }
  return b;
}

PipelineStatus PipelineState::reserve(int samplesIn, int samplesOut, int mode) {
  const PipelineStatus checked = checkBlock(samplesIn, samplesOut, mode);
  if (checked != PipelineStatus::Ok) return checked;
  const Block b = blockOf(samplesIn, samplesOut, mode);
  const int stepIn = b.frameSize / overSampling.load(relaxed);
  // The vocoder writes a whole hop per frame it fires, which can exceed
  // samplesOut, and how many frames a block fires depends on the input that
  // earlier blocks left over. Sizing for the most a block of this size can
  // ever fire means that a run of equal blocks grows the buffers at most once.
  const int maxFrames = static_cast<int>((static_cast<long long>(b.samplesIn) + stepIn - 1) / stepIn);
  int framesFired = std::max(maxFrames, vocoder_frames_for(*u.vocoder, b.samplesIn, 0));
  if (!b.mono) framesFired = std::max(framesFired, vocoder_frames_for(*u.vocoder, b.samplesIn, 1));
  const size_t written = static_cast<size_t>(framesFired) * static_cast<size_t>(b.stepOut);
  const size_t outNeeded = std::max(written, static_cast<size_t>(b.samplesOut));
  if (!reserveBuffers(b.samplesIn, static_cast<size_t>(b.samplesIn), outNeeded,
                      static_cast<size_t>(b.frameSize)))
    return PipelineStatus::OutOfMemory;
  return PipelineStatus::Ok;
}

PipelineStatus pipeline_check_block(const PipelineState& s, int samplesIn, int samplesOut) {
  return s.checkBlock(samplesIn, samplesOut, s.qualityMode.load(relaxed));
}

PipelineStatus pipeline_reserve(PipelineState& s, int samplesIn, int samplesOut) {
  return s.reserve(samplesIn, samplesOut, s.qualityMode.load(relaxed));
}

int16_t* pipeline_pcm_buffer(PipelineState& s) {
  return s.pcm.get();
}

PipelineStatus pipeline_process(PipelineState& s, int16_t* samples, int samplesIn, int samplesOut) {
  return s.process(samples, samplesIn, samplesOut);
}

PipelineStatus PipelineState::process(int16_t* samples, int samplesIn, int samplesOut) {
  const int mode = qualityMode.load(relaxed);
  const PipelineStatus reserved = reserve(samplesIn, samplesOut, mode);
  if (reserved != PipelineStatus::Ok) return reserved;
  // A switch of mode restarts the mode switched to: the fine mode from the
  // recent input, the exact mode afresh (its history and tail are stale).
  if (mode != blockMode) {
    if (mode == 1) {
      fine_restart(*u.fine);
      glideFresh = true;
    } else {
      vocoder_restart(*u.vocoder);
    }
    blockMode = mode;
  }
  const Block b = blockOf(samplesIn, samplesOut, mode);
  if (b.mono) {
    processMono(samples, b);
  } else {
    processStereo(samples, b);
  }
  return PipelineStatus::Ok;
}

void pipeline_set_voice_removal(PipelineState& s, bool enabled) {
  s.voiceRemovalEnabled.store(enabled, relaxed);
}

void pipeline_set_voice_removal_amount(PipelineState& s, float amount) {
  s.voiceRemovalAmount.store(amount, relaxed);
}

void pipeline_set_preamp(PipelineState& s, float gain) {
  s.preamp.store(gain, relaxed);
}

void pipeline_set_panning(PipelineState& s, int active, int mono, int level) {
  s.panningActive.store(active, relaxed);
  s.monoActive.store(mono, relaxed);
  s.panningLevel.store(level, relaxed);
}

void pipeline_set_pitch_shift(PipelineState& s, float semitones) {
  s.pitchShift.store(semitones, relaxed);
}

void pipeline_set_formants(PipelineState& s, bool keep) {
  s.keepFormants.store(keep, relaxed);
}

float pipeline_pitch_shift(const PipelineState& s) {
  return s.pitchShift.load(relaxed);
}

double pipeline_pitch_ratio(float semitones) {
  return semitones == 0.0f ? 1.0 : std::exp2(static_cast<double>(semitones) / 12.0);
}

void pipeline_set_quality_mode(PipelineState& s, int mode) {
  s.qualityMode.store(mode, relaxed);
}

float pipeline_max_level(const PipelineState& s) {
  return s.lastPeak.load(relaxed);
}

PipelinePanGains pipeline_panning_gains(int pl) {
  // Differences in 64 bits: the level is stored as given, whatever its range.
  const long long level = pl;
  PipelinePanGains g;
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

float pipeline_convert_output(const float* out, int count, float overlapScaling, float gain, float slope,
                              int16_t* dest, int stride, float maxLevel) {
  int i = 0;
  if (cpu_level() >= CpuLevel::Avx2 && !std::isnan(maxLevel))
    i = pipeline_avx2::convert_output(out, count, overlapScaling, gain, slope, dest, stride, maxLevel);
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

float pipeline_convert_output_soft(const float* out, int count, float gain, int16_t* dest, int stride,
                                   float maxLevel) {
  constexpr float kRoom = 1.0f - kLimiterThreshold;
  for (int i = 0; i < count; i++) {
    const float output = out[i] * gain;
    const float level = std::fabs(output);
    maxLevel = std::fmax(maxLevel, level);
    float limited = output;
    if (level > kLimiterThreshold) {
      // An infinite level gives 1 (full scale), a NaN stays NaN (written 0).
      const float bent = 1.0f - kRoom / (1.0f + (level - kLimiterThreshold) / kRoom);
      limited = std::copysign(bent, output);
    }
    dest[static_cast<size_t>(i) * static_cast<size_t>(stride)] = toPcm(limited);
  }
  return maxLevel;
}

float pipeline_convert_output_pair(const float* left, const float* right, int count, float overlapScaling,
                                   float gain, float slope, int16_t* dest, float maxLevel) {
  int i = 0;
  if (cpu_level() >= CpuLevel::Avx2 && !std::isnan(maxLevel))
    i = pipeline_avx2::convert_output_pair(left, right, count, overlapScaling, gain, slope, dest, maxLevel);
  // The peak is a maximum, so taking the left channel's samples before the
  // right's gives the same value as alternating them frame by frame.
  const size_t done = 2 * static_cast<size_t>(i);
  maxLevel =
      pipeline_convert_output(left + i, count - i, overlapScaling, gain, slope, dest + done, 2, maxLevel);
  return pipeline_convert_output(right + i, count - i, overlapScaling, gain, slope, dest + done + 1, 2,
                                 maxLevel);
}

size_t pipeline_input_capacity(const PipelineState& s) {
  return s.inCapacity;
}

size_t pipeline_output_capacity(const PipelineState& s) {
  return s.outCapacity;
}

int pipeline_quality_mode(const PipelineState& s) {
  return s.qualityMode.load(relaxed);
}
