// The fine quality mode: its set-up, and the block driver that runs its
// stages (analysis, phase propagation, transposition, synthesis) frame by
// frame.
#include "fine.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "fft.h"
#include "fine_state.h"
#include "fine_testing.h"
#include "resampler.h"
#include "spectral_shift.h"

using namespace fine_internal;

namespace {

template <typename T>
std::unique_ptr<T[]> zeroed(size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]());
}

}  // namespace

namespace fine_internal {
bool exactTransformForTesting = false;
}  // namespace fine_internal

void fine_exact_transform_for_testing(bool on) {
  exactTransformForTesting = on;
}

FineState* fine_create(const FftState& fft, const EqState& eq, SpectrumState& spectrum) {
  FineState* state = new (std::nothrow) FineState();
  if (state == nullptr) return nullptr;
  state->fft = &fft;
  state->eq = &eq;
  state->spectrum = &spectrum;
  state->resampler = resampler_create();
  spectral_shift_build(state->shiftTable);
  for (auto& r : state->resampled) r.reset(new (std::nothrow) float[RESAMPLER_MAX_CHUNK]());
  if (state->resampler == nullptr || !state->resampled[0] || !state->resampled[1]) {
    delete state;
    return nullptr;
  }
  return state;
}

void fine_destroy(FineState* state) {
  delete state;
}

bool fine_init(FineState& state, int frameSize, int hop) {
  if (!fine_prepare(state, frameSize, hop)) return false;
  fine_commit(state);
  return true;
}

bool fine_prepare(FineState& state, int frameSize, int hop) {
  return state.prepare(frameSize, hop);
}

bool FineState::prepare(int frameSize, int hop) {
  pending = State();
  prepared = false;
  if (frameSize < 8 || frameSize > FFT_MAX_SIZE || (frameSize & (frameSize - 1)) != 0) return false;
  if (hop < 1 || hop > frameSize) return false;
  State s;
  s.n = frameSize;
  s.half = frameSize / 2;
  // Windows a whole frame apart would not overlap, and the sum that
  // normalises them would fall to zero between them (gaps at every frame's
  // edge): the synthesis hop is half a frame at most. Nothing outside sees
  // the hop; only the number of frames per output sample changes.
  s.hop = std::min(hop, std::max(1, frameSize / 2));
  s.lag = fine_input_lag(frameSize);
  // An onset is known a sub-block after it starts; what the look-ahead
  // reaches must be known whatever the blocks, within the input lag.
  s.onsetBlock = std::min(kOnsetBlock, frameSize / 4);
  s.lookahead = frameSize / 2 - s.onsetBlock;
  s.maxDeviation = frameSize / 2;
  s.ringSize = 8 * frameSize;
  s.ringMask = s.ringSize - 1;
  s.outSize = 2 * frameSize;
  s.outMask = s.outSize - 1;
  const size_t n = static_cast<size_t>(frameSize);
  const size_t half = n / 2;
  bool ok = true;
  auto floats = [&ok](size_t count) {
    auto p = zeroed<float>(count);
    if (!p) ok = false;
    return p;
  };
  for (int c = 0; c < 2; c++) {
    s.ring[c] = floats(static_cast<size_t>(s.ringSize) + n);
    s.re[c] = floats(n);
    s.im[c] = floats(n);
    s.nearRe[c] = floats(n);
    s.nearIm[c] = floats(n);
    s.yRe[c] = floats(half + kMoveSpan);  // moved down, whole spans of kMoveSpan bins
    s.yIm[c] = floats(half + kMoveSpan);
    s.prevRe[c] = floats(n);
    s.prevIm[c] = floats(n);
    s.acc[c] = floats(static_cast<size_t>(s.outSize));
  }
  s.transform.reset(realfft_create(frameSize));
  if (!s.transform) ok = false;
  s.window = floats(n);
  s.windowOut = floats(n);
  s.windowSum = floats(n);
  s.windowPow = floats(n);
  s.windowSquares = floats(n);
  s.frame = floats(n + kMoveSpan);
  s.power = floats(half + 2);
  s.gains = floats(half);
  s.formantGains = floats(half);
  s.envelope = zeroed<double>(half);
  s.rotation = floats(half + kFillSlack);
  s.rotRe = floats(half + kFillSlack);
  s.rotIm = floats(half + kFillSlack);
  s.lockPower = floats(half);
  s.rebuilt = floats(half + kFillSlack);
  s.peakShift = floats(half + 1);
  s.attackAngle = floats(half + 1);
  s.attackPeak = zeroed<int>(half + 1);
  s.splashJoined = zeroed<int>(half + 1);
  s.bandRe = floats(half);
  for (auto& w : s.broadWeight) w = floats(half);
  s.moveWhole = zeroed<int>(half + 1);
  s.moveApart = zeroed<int>(half + 1);
  s.regionWhole = zeroed<int>(half + 1);
  s.regionSign = floats(half + 1);
  s.bandIm = floats(half);
  s.wsum = floats(static_cast<size_t>(s.outSize));
  for (int c = 0; c < 2; c++) s.pacc[c] = floats(static_cast<size_t>(s.outSize));
  s.psum = floats(static_cast<size_t>(s.outSize));
  s.smoothing = std::exp(-16.0 / frameSize);
  s.chunk = std::clamp(frameSize / 256, 1, 16);
  s.chunkSmoothing = std::pow(s.smoothing, s.chunk);
  const size_t chunks = static_cast<size_t>(s.outSize / s.chunk + 1);
  s.chunkOut = floats(chunks);
  s.chunkCarried = floats(chunks);
  s.chunkFrom = floats(chunks);
  s.chunkStep = floats(chunks);
  s.peaks = zeroed<int>(half + 1);
  s.valleys = zeroed<int>(half + 1);
  s.turning = zeroed<int>(half + 1);
  s.peakAngle = floats(half + 1);
  s.peakCos = floats(half + 1);
  s.peakSin = floats(half + 1);
  s.peakCross = floats(half + 1);
  s.peakDot = floats(half + 1);
  s.peakRaw = floats(half + 1);
  if (!ok || !s.peaks || !s.valleys || !s.turning || !s.envelope || !s.attackPeak || !s.splashJoined ||
      !s.moveWhole || !s.moveApart || !s.regionWhole)
    return false;
  for (int k = 0; k < frameSize; k++) {
    const double w = 0.5 - 0.5 * std::cos(kTwoPi * k / frameSize);
    s.window[k] = static_cast<float>(w);
    s.windowOut[k] = static_cast<float>(w * 2.0 / frameSize);
    s.windowSum[k] = static_cast<float>(w * w);
    s.windowPow[k] = static_cast<float>(w * w * w);
    s.windowSquares[k] = static_cast<float>(w * 4.0 / (static_cast<double>(frameSize) * frameSize));
  }
  pending = std::move(s);
  prepared = true;
  return true;
}

void fine_commit(FineState& state) {
  state.commit();
}

void FineState::commit() {
  if (!prepared) return;
  st = std::move(pending);
  pending = State();
  prepared = false;
  ready = true;
  restart();
}

void fine_feed(FineState& state, const float* left, const float* right, int count) {
  state.feed(left, right, count);
}

void FineState::feed(const float* left, const float* right, int count) {
  if (!ready || count <= 0) return;
  append(left, right, count, false);
}

void fine_restart(FineState& state) {
  state.restart();
}

void FineState::restart() {
  if (!ready) return;
  // The first frames reach back one frame before the time line starts, so
  // that its first sample is covered by as many windows as any other.
  st.nextStart = -(st.n / st.hop - 1) * static_cast<Pos>(st.hop);
  st.finalEnd = st.nextStart;
  st.emitted = 0;
  st.mapIn = st.head;
  st.mapOut = 0;
  st.firstFrame = true;
  st.lockLeft = 0;
  st.lockWhole = false;
  // The detector starts afresh too (it sleeps in the exact mode).
  st.onsetCount = 0;
  st.lastMean = 0.0f;
  std::fill_n(st.onsetEnergy, kFineLanes, 0.0f);
  std::fill_n(st.onsetLevel, kFineLanes, 0.0f);
  std::fill_n(st.recent, kOnsetMemory, 0.0);
  std::fill_n(st.recentLevel, kOnsetMemory, 0.0);
  st.lastOnset = INT64_MIN / 2;
  for (int c = 0; c < 2; c++) std::fill_n(st.acc[c].get(), st.outSize, 0.0f);
  std::fill_n(st.wsum.get(), st.outSize, 0.0f);
  for (int c = 0; c < 2; c++) std::fill_n(st.pacc[c].get(), st.outSize, 0.0f);
  std::fill_n(st.psum.get(), st.outSize, 0.0f);
  st.outPower = 0.0;
  st.framePower = 0.0;
  st.gain = 1.0f;
  std::fill_n(st.rotation.get(), st.half, 0.0f);
  std::fill_n(st.rotRe.get(), st.half, 1.0f);
  std::fill_n(st.rotIm.get(), st.half, 0.0f);
  // A new time line starts at the pitch asked for, with no ramp from the old.
  resampler_set_target(*resampler, std::max(pitchRatio, 1.0), false);
  resampler_reset(*resampler);
  down = downTarget = std::min(pitchRatio, 1.0);
  markCount = 0;
  markedTarget = resampler_target(*resampler);
}

bool fine_process(FineState& state, const float* left, const float* right, int samplesIn, float* outLeft,
                  float* outRight, int samplesOut) {
  return state.process(left, right, samplesIn, outLeft, outRight, samplesOut);
}

bool FineState::process(const float* left, const float* right, int samplesIn, float* outLeft, float* outRight,
                        int samplesOut) {
  if (!ready || samplesIn < 0 || samplesOut < 0) return false;
  // Before anything is heard the pitch is taken at once; afterwards a change
  // ramps, so that no partial jumps.
  resampler_set_target(*resampler, std::max(pitchRatio, 1.0), st.emitted > 0);
  const double nextDown = std::min(pitchRatio, 1.0);
  if (st.emitted == 0) down = nextDown;
  if (nextDown != downTarget) downStep = std::fabs(nextDown - down) / resampler_ramp_length(down, nextDown);
  downTarget = nextDown;
  if (!resampler_reading(*resampler) && resampler_ratio(*resampler) == 1.0 &&
      resampler_target(*resampler) == 1.0) {
    transposing = false;
    stretch(left, right, samplesIn, outLeft, outRight, samplesOut);
    resampler_pass(*resampler, left, right, samplesIn);
  } else {
    transposing = true;
    transpose(left, right, samplesIn, outLeft, outRight, samplesOut);
  }
  return true;
}

void FineState::stretch(const float* left, const float* right, int samplesIn, float* outLeft, float* outRight,
                        int samplesOut) {
  const int channels = right ? 2 : 1;
  const Pos blockStart = st.emitted;
  const Pos outEnd = st.mapOut + samplesOut;
  const Pos inEnd = st.mapIn + samplesIn;
  int fed = 0;
  while (true) {
    // Frames whose place on the time map is known (this block's segment) and
    // whose input, with the look-ahead, has arrived.
    while (samplesOut > 0) {
      const Pos outStart = st.nextStart;
      if (outStart > outEnd) break;
      const Pos nominal = mapInput(outStart, samplesIn, samplesOut) - st.lag - st.n / 2;
      const Pos horizon = st.firstFrame ? nominal + st.n : st.prevStart + st.n + st.lookahead;
      if (horizon + st.onsetBlock > st.head || nominal + st.maxDeviation + st.n > st.head) {
        if (fed < samplesIn) break;
      }
      bool reset = false;
      lockFrame = st.lockLeft > 0;
      const Pos start = analysisStart(nominal, reset);
      if (down != downTarget)
        down = down < downTarget ? std::min(downTarget, down + downStep * st.hop)
                                 : std::max(downTarget, down - downStep * st.hop);
      const Pos analysisHop = start - st.prevStart;
      // Nothing to continue from: every bin starts from its analysis phase.
      const bool restart = st.firstFrame;
      analyse(channels, start);
      if (!restart && measuresNear(analysisHop)) analyseNear(channels, start);
      propagate(channels, analysisHop, restart, reset);
      frameRatio = transposing && keepFormants ? ratioAt(start + st.n / 2) : 1.0;
      synthesiseAndAdd(channels, outStart);
      st.firstFrame = false;
      st.prevStart = start;
      st.prevNominal = nominal;
      st.nextStart = outStart + st.hop;
      finish(channels, st.nextStart);
      emit(channels, outEnd, blockStart, outLeft, outRight);
    }
    if (fed >= samplesIn) break;
    const int chunk = std::min(samplesIn - fed, st.n);
    append(left + fed, right ? right + fed : nullptr, chunk, true);
    fed += chunk;
  }
  // Earlier blocks may have finished all that this one hands out.
  emit(channels, outEnd, blockStart, outLeft, outRight);
  // The map's segment ends here; the next block continues it.
  st.mapOut = outEnd;
  st.mapIn = inEnd;
  // Every sample up to outEnd is finished by now; anything short of it would
  // be a fault, and the caller still gets fresh (silent) samples.
  for (Pos s = st.emitted; s < outEnd; s++) {
    outLeft[s - blockStart] = 0.0f;
    if (outRight) outRight[s - blockStart] = 0.0f;
  }
  st.emitted = std::max(st.emitted, outEnd);
}

void fine_set_pitch(FineState& state, double ratio) {
  state.pitchRatio = std::clamp(ratio, RESAMPLER_MIN_RATIO, RESAMPLER_MAX_RATIO);
}

void fine_set_formants(FineState& state, bool keep) {
  state.keepFormants = keep;
}

int fine_input_lag(int frameSize) {
  return frameSize + frameSize / 2;
}

int fine_latency(int frameSize, double tempo) {
  return fine_latency_shifted(frameSize, tempo, 1.0);
}

// Shifted up, the stretch runs at tempo / ratio on the input read ratio times
// faster: its lag on the time map is ratio times as many input samples, and
// the resampler's reach ahead adds its own. Shifted down, the input passes
// as it is and the frames move their partials: the unshifted delay.
int fine_latency_shifted(int frameSize, double tempo, double ratio) {
  const double behind = ratio <= 1.0 ? fine_input_lag(frameSize)
                                     : fine_input_lag(frameSize) * ratio + resampler_delay(ratio);
  return static_cast<int>(std::lround(frameSize / 2.0 + behind / tempo));
}
