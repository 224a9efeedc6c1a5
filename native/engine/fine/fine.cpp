// The fine quality mode: its own phase vocoder, time map and output store.
#include "fine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "eq.h"
#include "fft.h"
#include "fine_kernels.h"
#include "fine_testing.h"
#include "realfft.h"
#include "resampler.h"
#include "spectral_shift.h"
#include "spectrum.h"
#include "vocoder.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Onset detector: energy of the first difference of the channels' mean over
// sub-blocks aligned to absolute input positions, so that what it finds does
// not depend on how the input is cut into blocks. The difference weights a
// partial by its frequency (a 100 Hz kick counts 40 dB less than a hi-hat),
// so a kick or a bass note under a held lead never rose far enough: the
// plain energy of the same sub-blocks is watched beside it, and either rising
// starts an attack.
constexpr int kOnsetBlock = 128;      // at most; a quarter frame for short frames
constexpr double kOnsetRise = 8.0;    // rise over the loudest recent sub-block (9 dB)
constexpr double kOnsetFloor = 1e-7;  // per sample: quieter sub-blocks never start an attack
// Recent sub-blocks compared with (70 ms at 44.1 kHz with frames of 512 or
// more): longer than the period of any note, whose waveform would otherwise
// rise sharply once per period.
constexpr int kOnsetMemory = 24;
constexpr int kOnsetQueue = 64;
// A peak whose power rose more than this since the last frame belongs to the
// attack (6 dB); over the later frames of an attack, a hop apart as the
// synthesis, a held sound keeps its power and a smaller rise (1 dB) is the
// attack's too. A region left to turn on rebuilds the attack's share in it
// turned, spread over the window: sound ahead of the hit.
constexpr double kAttackRise = 4.0;
constexpr double kLockRise = 1.26;
// An attack's region moved down whose peak is this many bins wide at -6 dB
// or more is noise rather than a partial (a Hann window's partial spans 2-3).
constexpr int kBroadBins = 6;
// An attack's noise moved down goes in bands of two octaves (at most this
// many).
constexpr int kMaxBands = 16;
// Regions moved down by whole bins go in spans of this many bins, those
// past the region's end weighted 0: no branch on a region's length, which
// follows no pattern. The frame's work space and the moved spectrum hold
// this many bins more.
constexpr int kMoveSpan = 8;
constexpr float kFaintRegion = 1e-2f;  // a region's peak power against the loudest

// Positions in samples from the start of the stream (input) or of the time
// line (output); 64 bits, so that no stream is too long.
using Pos = int64_t;

// floor(num / den + 1/2) for den > 0, also for negative num.
Pos roundDiv(Pos num, Pos den) {
  Pos twice = 2 * num + den;
  Pos q = twice / (2 * den);
  if (twice % (2 * den) != 0 && twice < 0) q--;
  return q;
}

template <typename T>
std::unique_ptr<T[]> zeroed(size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]());
}

struct State {
  int n = 0;     // frame size
  int half = 0;  // bins analysed
  int hop = 0;   // synthesis hop
  int lag = 0;   // analysis behind the input on the time map
  int lookahead = 0;
  int onsetBlock = kOnsetBlock;
  Pos maxDeviation = 0;

  // Input history: a ring of ringSize samples per channel, position p at
  // p & ringMask; head = samples received so far.
  int ringSize = 0;
  int ringMask = 0;
  std::unique_ptr<float[]> ring[2];
  Pos head = 0;

  // Onset detector.
  float lastMean = 0.0f;
  double subEnergy = 0.0;  // of the first difference
  double subLevel = 0.0;   // of the signal itself
  double recent[kOnsetMemory] = {};
  double recentLevel[kOnsetMemory] = {};
  int recentAt = 0;
  Pos lastOnset = INT64_MIN / 2;
  Pos onsets[kOnsetQueue];
  int onsetCount = 0;

  // Tables.
  RealFftPtr transform;                // the frames' transform and its work space
  std::unique_ptr<float[]> window;     // periodic Hann, analysis
  std::unique_ptr<float[]> windowOut;  // Hann times 2/N (one-sided inverse)
  std::unique_ptr<float[]> windowSum;  // analysis times synthesis window
  std::unique_ptr<float[]> windowPow;  // synthesis times analysis window squared
  std::unique_ptr<float[]> windowSquares;  // Hann times (2/N)^2: a frame's squares to its power

  // Frame work space.
  std::unique_ptr<float[]> frame;           // n
  std::unique_ptr<float[]> re[2], im[2];    // n each: spectrum, then work space
  // n each: the spectrum a short step before the frame, from which the
  // frequencies are measured when the analysis hop is too long to unwrap.
  std::unique_ptr<float[]> nearRe[2], nearIm[2];
  std::unique_ptr<float[]> yRe[2], yIm[2];  // half each: synthesised spectrum
  float nyquist[2] = {};                    // the frame's Nyquist bin
  std::unique_ptr<float[]> power;           // half + 2 (peak search sentinels)
  std::unique_ptr<float[]> gains;           // half
  // Transposition with the formants kept: the frame's smoothed power per
  // bin (prefix sums, half + 1) and the gains that move it back.
  std::unique_ptr<double[]> envelopeSums;
  std::unique_ptr<float[]> formantGains;  // half
  std::unique_ptr<int[]> peaks, valleys;    // half + 1
  // Per peak (half + 1 each): its rotation, cosine and sine; the reference's
  // advance as a complex product, its angle; the peaks that need it.
  std::unique_ptr<float[]> peakAngle, peakCos, peakSin, peakCross, peakDot, peakRaw;
  std::unique_ptr<int[]> turning;
  // Last frame.
  std::unique_ptr<float[]> prevRe[2], prevIm[2];  // a frame each: they trade places with re and im
  std::unique_ptr<float[]> rotation;              // half: synthesis minus analysis phase
  std::unique_ptr<float[]> rotRe, rotIm;          // half each: e^{i rotation}
  // Moved down: each bin's power (both channels) before the attack that the
  // frames at the synthesis hop are rebuilding (half).
  std::unique_ptr<float[]> lockPower;
  // Per peak (half + 1 each), moved down: how far its region moves (bins),
  // and whether it belongs to the attack being rebuilt, with its rotation.
  std::unique_ptr<float[]> peakShift, attackAngle;
  std::unique_ptr<int[]> attackPeak;
  std::unique_ptr<float[]> bandRe, bandIm;  // half each, zero between uses
  std::unique_ptr<float[]> broadWeight[2];  // half each: a bin's shares of its two bands
  // Moved down, most regions (the faint ones) go by whole bins, listed in
  // moveWhole (movedWhole of them), the others in moveApart (movedApart);
  // half + 1 each. Per region (half + 1 each): its whole move and sign.
  std::unique_ptr<int[]> moveWhole, moveApart, regionWhole;
  std::unique_ptr<float[]> regionSign;
  int movedWhole = 0, movedApart = 0;

  // Overlap-add store: outSize samples per channel at s & outMask.
  int outSize = 0;
  int outMask = 0;
  std::unique_ptr<float[]> acc[2];
  std::unique_ptr<float[]> wsum;
  // Per channel, the power the frames carry (their squares under the
  // synthesis window), and its window sum (synthesis times analysis window
  // squared): divided, the input's power at each output sample, whether or
  // not the frames add up coherently there.
  std::unique_ptr<float[]> pacc[2];
  std::unique_ptr<float[]> psum;
  double outPower = 0.0;    // smoothed power of the output, both channels
  double framePower = 0.0;  // smoothed power the frames carry, both channels
  double smoothing = 0.0;   // per-sample factor of both smoothings
  int chunk = 1;            // samples per step of the smoothings
  double chunkSmoothing = 0.0;  // smoothing ^ chunk
  float gain = 1.0f;        // the gain at the end of the last chunk

  // Time line (output positions s; frame j covers s in [j hop, j hop + n)).
  Pos nextFrame = 0;  // index j of the next frame
  Pos finalEnd = 0;   // output before this position is finished
  Pos emitted = 0;    // output handed out so far
  Pos mapIn = 0;      // the time map's last point: output mapOut <-> input mapIn
  Pos mapOut = 0;
  bool firstFrame = true;
  Pos prevStart = 0;    // analysis start of the last frame
  Pos prevNominal = 0;  // its nominal start on the time map
  int lockLeft = 0;     // frames still to be analysed at the synthesis hop
  double attackRise = kAttackRise;  // of the frame's peaks that restart, when it holds an attack
};

}  // namespace

struct FineState {
  bool prepare(int frameSize, int hop);
  void commit();
  void feed(const float* left, const float* right, int count);
  void restart();
  bool process(const float* left, const float* right, int samplesIn, float* outLeft, float* outRight,
               int samplesOut);
  void stretch(const float* left, const float* right, int samplesIn, float* outLeft, float* outRight,
               int samplesOut);
  void transpose(const float* left, const float* right, int samplesIn, float* outLeft, float* outRight,
                 int samplesOut);
  void detectOnsets(const float* left, const float* right, int count);
  void append(const float* left, const float* right, int count, bool detect);
  void gather(int c, Pos start, float* frame) const;
  Pos mapInput(Pos s, Pos inCount, Pos outCount) const;
  Pos pendingOnset(Pos horizon);
  bool lockFits(Pos deviation, Pos frames, Pos nominalHop) const;
  Pos analysisStart(Pos nominal, bool& reset);
  Pos framesThatFit(Pos deviation, Pos nominalHop) const;
  void forward(const float* frame, float* re, float* im);
  void inverse(const float* specRe, const float* specIm, float* out, float* work);
  void analyse(int channels, Pos start);
  int nearStep() const;
  void analyseNear(int channels, Pos start);
  bool measuresNear(Pos analysisHop) const;
  void propagate(int channels, Pos analysisHop, bool restart, bool attack);
  void synthesiseAndAdd(int channels, Pos outStart);
  void finish(int channels, Pos end);
  void emit(int channels, Pos limit, Pos blockStart, float* outLeft, float* outRight);

  // The engine's other units that the frames use: its exact transform (which
  // the exact vocoder's set-up sizes; only tests make the frames take it),
  // its equaliser's gains and its analyser.
  const FftState* fft;
  const EqState* eq;
  SpectrumState* spectrum;

  State st;
  bool ready = false;

  // Transposition: the resampler reads the input the pitch ratio faster and
  // the stretch brings that back to the block's length, so the stretch
  // makes as many frames as unshifted. Until the first shift the input
  // passes by the resampler unchanged.
  ResamplerState* resampler = nullptr;
  std::unique_ptr<float[]> resampled[2];  // RESAMPLER_MAX_CHUNK each: the stretch's input
  double pitchRatio = 1.0;  // set by the playback thread before a block
  bool keepFormants = false;
  // Where the ratio the stretch's input was read at changed its course (a
  // ramp's start and end, positions in the history): a frame's formants are
  // moved back by the ratio its own samples were read at, which the
  // resampler, working a frame and a half ahead, has left behind.
  struct RatioMark {
    Pos at;
    double ratio;
  };
  static constexpr int kMarks = 64;
  RatioMark marks[kMarks] = {};
  int markCount = 0;  // the newest kMarks kept
  double markedTarget = 1.0;
  double frameRatio = 1.0;    // of the frame being synthesised
  bool transposing = false;  // the stretch's input comes from the resampler
  void mark(Pos at, double ratio);
  double ratioAt(Pos at) const;
  const float* formantCorrection(const float* eqGains);
  // Shifts down leave the resampler at 1: each frame's partials are moved
  // down in the spectrum by the frame's ratio, so that attacks keep their
  // width (read slower, they would last 1/ratio as long).
  SpectralShiftTable shiftTable;
  double down = 1.0;        // the frame's ratio, up to 1
  double downTarget = 1.0;  // where it moves, by downStep per output sample
  double downStep = 0.0;
  int movePeaks = 0;  // the frame's regions (peaks and valleys) to move
  double broadSlope = 0.0;  // an attack's noise: its phase turn per bin
  bool lockFrame = false;   // the frame continues the rebuilding of an attack
  void planMoves(int channels, int nPeaks, bool attack, bool lock);
  void moveDown(int c, const float* xr, const float* xi, const float* gains, float* yr, float* yi);
  void moveBroad(int c, const float* xr, const float* xi, float* yr, float* yi);
  ~FineState() { resampler_destroy(resampler); }
  State pending;  // built by fine_prepare, put in place by fine_commit
  bool prepared = false;
};

namespace {

const FineKernels& kernels = fine_kernels();

// ---------------------------------------------------------------------------
// Input

}  // namespace

void FineState::detectOnsets(const float* left, const float* right, int count) {
  for (int i = 0; i < count; i++) {
    const float mean = right ? (left[i] + right[i]) * 0.5f : left[i];
    const double d = static_cast<double>(mean) - static_cast<double>(st.lastMean);
    st.lastMean = mean;
    st.subEnergy += d * d;
    st.subLevel += static_cast<double>(mean) * mean;
    const Pos p = st.head + i + 1;
    if (p % st.onsetBlock != 0) continue;
    const double e = st.subEnergy;
    const Pos start = p - st.onsetBlock;
    const double loudest = *std::max_element(st.recent, st.recent + kOnsetMemory);
    // A low partial rises slowly within a sub-block, so an onset part-way
    // through one spreads its rise over two: the level is held against the
    // sub-blocks before the last.
    const double level = st.subLevel;
    const int newest = (st.recentAt + kOnsetMemory - 1) % kOnsetMemory;
    double loudestLevel = 0.0;
    for (int j = 0; j < kOnsetMemory; j++)
      if (j != newest) loudestLevel = std::max(loudestLevel, st.recentLevel[j]);
    const bool rose = (e > kOnsetFloor * st.onsetBlock && e > kOnsetRise * loudest) ||
                      (level > kOnsetFloor * st.onsetBlock && level > kOnsetRise * loudestLevel);
    if (rose && start - st.lastOnset >= st.n / 4) {
      st.lastOnset = start;
      if (st.onsetCount < kOnsetQueue) st.onsets[st.onsetCount++] = start;
    }
    st.recent[st.recentAt] = e;
    st.recentLevel[st.recentAt] = level;
    st.recentAt = (st.recentAt + 1) % kOnsetMemory;
    st.subEnergy = 0.0;
    st.subLevel = 0.0;
  }
}

// Appends to the history; the onset detector runs only in the fine mode
// (the exact mode pays nothing for it).
void FineState::append(const float* left, const float* right, int count, bool detect) {
  if (detect) detectOnsets(left, right, count);
  for (int c = 0; c < 2; c++) {
    const float* src = c == 0 ? left : (right ? right : left);
    float* ring = st.ring[c].get();
    int at = static_cast<int>(st.head & st.ringMask);
    int done = 0;
    while (done < count) {
      const int run = std::min(count - done, st.ringSize - at);
      std::memcpy(ring + at, src + done, static_cast<size_t>(run) * sizeof(float));
      done += run;
      at = (at + run) & st.ringMask;
    }
  }
  st.head += count;
}

// frame[k] = input of channel c at start + k; zero before the stream and for
// what the ring no longer holds.
void FineState::gather(int c, Pos start, float* frame) const {
  const Pos oldest = std::max<Pos>(0, st.head - st.ringSize);
  int k = 0;
  if (start < oldest) {
    k = static_cast<int>(std::min<Pos>(oldest - start, st.n));
    std::fill_n(frame, k, 0.0f);
  }
  const float* ring = st.ring[c].get();
  while (k < st.n) {
    const int at = static_cast<int>((start + k) & st.ringMask);
    const int run = std::min(st.n - k, st.ringSize - at);
    std::memcpy(frame + k, ring + at, static_cast<size_t>(run) * sizeof(float));
    k += run;
  }
}

namespace {

// ---------------------------------------------------------------------------
// Time map and analysis positions

}  // namespace

// Input position of output position s on the current segment of the map
// (from (mapOut, mapIn) to (mapOut + outCount, mapIn + inCount)).
Pos FineState::mapInput(Pos s, Pos inCount, Pos outCount) const {
  return st.mapIn + roundDiv((s - st.mapOut) * inCount, outCount);
}

// Oldest onset that the last analysed window did not reach and that lies
// before horizon, or -1. Onsets that the last window reached are done with.
Pos FineState::pendingOnset(Pos horizon) {
  int drop = 0;
  while (drop < st.onsetCount && st.onsets[drop] < st.prevStart + st.n) drop++;
  if (drop > 0) {
    std::memmove(st.onsets, st.onsets + drop, static_cast<size_t>(st.onsetCount - drop) * sizeof(Pos));
    st.onsetCount -= drop;
  }
  if (st.onsetCount == 0 || st.onsets[0] >= horizon) return -1;
  return st.onsets[0];
}

// Whether frames more frames at the synthesis hop, from a deviation from
// the map of deviation, end within the allowed deviation.
bool FineState::lockFits(Pos deviation, Pos frames, Pos nominalHop) const {
  const Pos end = deviation + frames * (st.hop - nominalHop);
  return end <= st.maxDeviation && end >= -st.maxDeviation;
}

// How many frames at the synthesis hop, from a deviation from the map of
// deviation, end within the allowed deviation (-1 if the deviation itself is
// beyond it; the number is capped at a frame's worth of hops).
Pos FineState::framesThatFit(Pos deviation, Pos nominalHop) const {
  if (deviation > st.maxDeviation || deviation < -st.maxDeviation) return -1;
  const Pos cap = st.n / st.hop;
  const Pos drift = st.hop - nominalHop;  // per frame
  if (drift == 0) return cap;
  const Pos room = drift > 0 ? st.maxDeviation - deviation : deviation + st.maxDeviation;
  return std::min(cap, room / (drift > 0 ? drift : -drift));
}

// Analysis start of the next frame, whose place on the time map is nominal.
// Sets reset when the frame holds an attack, the first or a later one.
//
// The frames that hold an attack are analysed at the synthesis hop, so that
// each places it at the same output time and, their phases taken from the
// analysis (reset at the first one and then advanced by exactly the measured
// amount), they rebuild it as it was. Over those frames the analysis moves
// away from the map by (1 - tempo) x hop per frame; so that the attack itself
// lands where the map puts it, the analysis is steered to the opposite
// deviation before it, and the deviation decays again after it.
Pos FineState::analysisStart(Pos nominal, bool& reset) {
  reset = false;
  if (st.firstFrame) return nominal;
  const Pos prev = st.prevStart;
  const Pos nominalHop = std::max<Pos>(1, nominal - st.prevNominal);
  const Pos deviation = prev - st.prevNominal;
  Pos start;
  if (st.lockLeft > 0) {
    // Up to tempo 1.5; beyond, the lock holds few frames, far from the map,
    // and restarting more regions in them cost the stereo image more than it
    // gained. Moved down, these frames refer the attack's regions to its
    // time instead (planMoves).
    if (2 * nominalHop <= 3 * st.hop && down == 1.0) {
      reset = true;
      st.attackRise = kLockRise;
    }
    start = prev + st.hop;
    st.lockLeft--;
    // An attack that enters this window keeps the lock until it has passed
    // through it.
    const Pos next = pendingOnset(start + st.n);
    if (next >= 0) {
      const Pos frames = (next - start) / st.hop;
      if (lockFits(start - nominal, frames, nominalHop)) st.lockLeft = std::max<Pos>(st.lockLeft, frames);
    }
  } else {
    // As far ahead as the input reaches (the caller waits for it): at fast
    // tempos a frame moves further than the look-ahead past the last window,
    // and an attack seen only once it is inside a window cannot be placed.
    const Pos q = pendingOnset(
        std::max(prev + st.n + st.lookahead, nominal + st.maxDeviation + st.n - st.onsetBlock));
    if (q >= 0) {
      // Deviation at which the attack would enter the window, so that it is
      // on the map when it reaches the middle.
      Pos target = (nominalHop - st.hop) * (st.n / 2 - st.hop / 2) / st.hop;
      target = std::clamp(target, -st.maxDeviation, st.maxDeviation);
      const Pos framesToEntry = std::max<Pos>(0, (q - st.n - nominal - target) / nominalHop);
      start = nominal + deviation + (target - deviation) / (framesToEntry + 1);
      if (start + st.n > q) {
        // The attack enters this window. Every frame of the lock puts it at
        // the same output time, which is on the map when the window lies
        // (q - nominal - n/2)(1 - hop / nominalHop) off it. The steering
        // aims there for an attack that enters at the window's end; one seen
        // later (at fast tempos a frame moves further than the look-ahead
        // reaches) enters deeper, and the window is placed for it as it is:
        // with the steered deviation it came out up to 30 ms early.
        const Pos onMap = (q - nominal - st.n / 2) * (nominalHop - st.hop) / nominalHop;
        if (onMap > st.maxDeviation) {
          // Out of reach from here, and nearer from the next frame: this one
          // stays short of the attack.
          start = std::max(prev, std::min(start, q - st.n));
        } else {
          start = std::max(prev, nominal + std::max(onMap, -st.maxDeviation));
        }
        const Pos frames = start + st.n > q ? std::max<Pos>(0, (q - start) / st.hop) : -1;
        // A lock that would end too far from the map (fast tempos, attacks
        // closer together than the map can make room for) holds as many
        // frames as end within reach; the attack is rebuilt by the frames
        // that hold it nearest their middle.
        const Pos fit = framesThatFit(start - nominal, nominalHop);
        if (frames >= 0 && fit >= 0) {
          reset = true;
          st.attackRise = kAttackRise;
          st.lockLeft = static_cast<int>(std::min(frames, fit));
        }
      }
    } else {
      // Between attacks the deviation decays, by at most half a nominal hop
      // per frame.
      Pos step = deviation / 4;
      if (step == 0 && deviation != 0) step = deviation > 0 ? 1 : -1;
      step = std::clamp(step, -nominalHop / 2, nominalHop / 2);
      start = nominal + deviation - step;
    }
  }
  // Never backwards (a frame may repeat the last position: the analysis
  // holds), and never farther from the map than the history and the
  // look-ahead allow.
  start = std::max(start, prev);
  if (start > nominal + st.maxDeviation || start < nominal - st.maxDeviation) {
    start = std::clamp(start, std::max(prev, nominal - st.maxDeviation), nominal + st.maxDeviation);
    st.lockLeft = 0;
  }
  return start;
}

namespace {

// ---------------------------------------------------------------------------
// One frame

// Tests compare the mode's output with the exact mode's transform in place
// of its own.
bool exactTransformForTesting = false;

}  // namespace

void fine_exact_transform_for_testing(bool on) {
  exactTransformForTesting = on;
}

void FineState::forward(const float* frame, float* re, float* im) {
  if (exactTransformForTesting)
    fft_forward_windowed(*fft, frame, st.window.get(), re, im);
  else
    realfft_forward(*st.transform, frame, st.window.get(), re, im);
}

// work: n floats that the exact transform takes as work space.
void FineState::inverse(const float* specRe, const float* specIm, float* out, float* work) {
  if (exactTransformForTesting)
    fft_inverse_half(*fft, specRe, specIm, out, work);
  else
    realfft_inverse(*st.transform, specRe, specIm, out);
}

void FineState::analyse(int channels, Pos start) {
  for (int c = 0; c < channels; c++) {
    gather(c, start, st.frame.get());
    forward(st.frame.get(), st.re[c].get(), st.im[c].get());
    // The transform keeps the bins below Nyquist; the Nyquist bin (real)
    // holds what high-hats and noise put there.
    st.nyquist[c] = st.n >= 8 ? kernels.nyquist(st.frame.get(), st.window.get(), st.n) : 0.0f;
  }
}

// The phase advance of a partial over the analysis hop can only be unwrapped
// while the hop is short enough that a partial within its peak's bin turns
// by less than half a turn more than the bin's own frequency: up to half a
// frame. Beyond that (fast tempos) the frequency is measured between the
// frame and a second analysis this many samples before it.
int FineState::nearStep() const {
  return std::max(1, std::min(st.hop, st.n / 4));
}

void FineState::analyseNear(int channels, Pos start) {
  for (int c = 0; c < channels; c++) {
    gather(c, start - nearStep(), st.frame.get());
    forward(st.frame.get(), st.nearRe[c].get(), st.nearIm[c].get());
  }
}

bool FineState::measuresNear(Pos analysisHop) const {
  return analysisHop > st.n / 2;
}

namespace {

// Phase of the reference of bin k, from (re, im) of both channels: their sum,
// or the louder channel where the sum has lost most of it.
inline void reference(int channels, float lr, float li, float rr, float ri, bool& useSum, bool& useLeft,
                      double& xr, double& xi) {
  if (channels == 1) {
    xr = lr;
    xi = li;
    return;
  }
  const double sr = static_cast<double>(lr) + rr;
  const double si = static_cast<double>(li) + ri;
  const double pl = static_cast<double>(lr) * lr + static_cast<double>(li) * li;
  const double pr = static_cast<double>(rr) * rr + static_cast<double>(ri) * ri;
  useSum = sr * sr + si * si >= 0.25 * std::max(pl, pr);
  useLeft = pl >= pr;
  if (useSum) {
    xr = sr;
    xi = si;
  } else if (useLeft) {
    xr = lr;
    xi = li;
  } else {
    xr = rr;
    xi = ri;
  }
}

// The phase less the nearest multiple of 2 pi. Only a non-finite phase (from
// non-finite input, which a runaway voice-removal filter can feed) reaches
// 2^62 turns; converting it would be undefined, and it is kept as it is.
double wrap(double phase) {
  const double turns = phase * (1.0 / kTwoPi);
  if (!(std::fabs(turns) < 4.6e18)) return phase;
  const int64_t whole = static_cast<int64_t>(turns + (turns >= 0 ? 0.5 : -0.5));
  return phase - static_cast<double>(whole) * kTwoPi;
}

// Fills a[from .. to-1] with v in whole stores of kFillSlack values, the last
// reaching up to kFillSlack - 1 values beyond: the regions of a frame are
// filled in ascending order, so the next one overwrites the excess, and the
// arrays are that much longer than the half spectrum. A region is a few bins
// wide, so an element-wise fill spends its time on the loop.
constexpr int kFillSlack = 8;
inline void fillAhead(float* a, int from, int to, float v) {
  float block[kFillSlack];
  for (float& b : block) b = v;
  for (int i = from; i < to; i += kFillSlack) std::memcpy(a + i, block, sizeof block);
}

}  // namespace

// Rotation of every bin: one angle per peak region, from the reference's
// phase advance at the peak over analysisHop, scaled to the synthesis hop.
// restart: every region starts from its analysis phase. attack: the regions
// whose peak rose sharply do (the attack's own partials, rebuilt as they
// were), while those of sounds that go on, a held bass note under a drum hit
// for one, carry on undisturbed.
void FineState::propagate(int channels, Pos analysisHop, bool restart, bool attack) {
  const int half = st.half;
  float* power = st.power.get();
  const float* lr = st.re[0].get();
  const float* li = st.im[0].get();
  const float* rr = st.re[channels - 1].get();
  const float* ri = st.im[channels - 1].get();
  kernels.power(lr, li, channels == 2 ? rr : nullptr, ri, power, half);
  int* peaks = st.peaks.get();
  int* valleys = st.valleys.get();
  // Moved down, even a first frame needs its regions.
  const int nPeaks = restart && down == 1.0 ? 0 : vocoder_find_peaks(power, half, peaks, valleys);
  if (nPeaks > 0) valleys[nPeaks] = half;
  movePeaks = nPeaks;
  if (restart && nPeaks > 0) planMoves(channels, nPeaks, false, false);
  float* rotation = st.rotation.get();
  float* rotRe = st.rotRe.get();
  float* rotIm = st.rotIm.get();
  if (nPeaks == 0 || restart) {
    std::fill_n(rotation, half, 0.0f);
    std::fill_n(rotRe, half, 1.0f);
    std::fill_n(rotIm, half, 0.0f);
    return;
  }
  // The advance is measured over measureHop and scaled to what the
  // synthesis hop adds beyond the analysis hop; moved down, the partial
  // goes on at the ratio times its frequency.
  const bool near = measuresNear(analysisHop);
  const Pos measureHop = near ? nearStep() : analysisHop;
  const double scale =
      analysisHop <= 0 ? 0.0
      : down != 1.0 ? (down * st.hop - static_cast<double>(analysisHop)) / static_cast<double>(measureHop)
      : near ? static_cast<double>(st.hop - analysisHop) / static_cast<double>(measureHop)
             : static_cast<double>(st.hop) / static_cast<double>(analysisHop) - 1.0;
  auto fillRegion = [&](int p, float angle, float cosine, float sine) {
    fillAhead(rotation, valleys[p], valleys[p + 1], angle);
    fillAhead(rotRe, valleys[p], valleys[p + 1], cosine);
    fillAhead(rotIm, valleys[p], valleys[p + 1], sine);
  };
  const float* plr = st.prevRe[0].get();
  const float* pli = st.prevIm[0].get();
  const float* prr = st.prevRe[channels - 1].get();
  const float* pri = st.prevIm[channels - 1].get();
  // Where the advance is measured from: the last frame, or the near one.
  const float* mlr = near ? st.nearRe[0].get() : plr;
  const float* mli = near ? st.nearIm[0].get() : pli;
  const float* mrr = near ? st.nearRe[channels - 1].get() : prr;
  const float* mri = near ? st.nearIm[channels - 1].get() : pri;
  // First the peaks' own values: an attack's peaks restart, equal hops carry
  // the rotation over, the others need the phase advance (atan2 and then
  // sine and cosine, each in one vector pass over those peaks).
  float* angle = st.peakAngle.get();
  float* cosine = st.peakCos.get();
  float* sine = st.peakSin.get();
  float* cross = st.peakCross.get();
  float* dot = st.peakDot.get();
  int* turning = st.turning.get();
  int nTurning = 0;
  if (down != 1.0) planMoves(channels, nPeaks, attack, lockFrame);
  for (int p = 0; p < nPeaks; p++) {
    const int k = peaks[p];
    if (attack) {
      double before = static_cast<double>(plr[k]) * plr[k] + static_cast<double>(pli[k]) * pli[k];
      if (channels == 2)
        before += static_cast<double>(prr[k]) * prr[k] + static_cast<double>(pri[k]) * pri[k];
      if (power[k] > st.attackRise * before) {
        angle[p] = down == 1.0 ? 0.0f : st.attackAngle[p];
        cosine[p] = angle[p] == 0.0f ? 1.0f : std::cos(angle[p]);
        sine[p] = angle[p] == 0.0f ? 0.0f : std::sin(angle[p]);
        continue;
      }
    }
    if (down != 1.0 && st.attackPeak[p]) {
      // Moved down, every frame of the lock refers its attack's regions to
      // their time, as the first did: the regions of the last frame need
      // not be this one's.
      angle[p] = st.attackAngle[p];
      cosine[p] = angle[p] == 0.0f ? 1.0f : std::cos(angle[p]);
      sine[p] = angle[p] == 0.0f ? 0.0f : std::sin(angle[p]);
      continue;
    }
    if (analysisHop == st.hop && down == 1.0) {
      // Analysis and synthesis hops agree (tempo 1, or an attack): the
      // rotation at the peak carries over as it is.
      angle[p] = rotation[k];
      cosine[p] = rotRe[k];
      sine[p] = rotIm[k];
      continue;
    }
    bool useSum = true, useLeft = true;
    double xr, xi;
    reference(channels, lr[k], li[k], rr[k], ri[k], useSum, useLeft, xr, xi);
    double pr, pi;
    if (channels == 1 || useSum) {
      pr = static_cast<double>(mlr[k]) + (channels == 2 ? mrr[k] : 0.0f);
      pi = static_cast<double>(mli[k]) + (channels == 2 ? mri[k] : 0.0f);
    } else if (useLeft) {
      pr = mlr[k];
      pi = mli[k];
    } else {
      pr = mrr[k];
      pi = mri[k];
    }
    // The reference times the conjugate of its last value: its phase is the
    // measured advance.
    cross[nTurning] = static_cast<float>(xi * pr - xr * pi);
    dot[nTurning] = static_cast<float>(xr * pr + xi * pi);
    turning[nTurning++] = p;
  }
  float* raw = st.peakRaw.get();
  kernels.atan2(cross, dot, raw, nTurning);
  for (int t = 0; t < nTurning; t++) {
    const int k = peaks[turning[t]];
    double turn;
    if (analysisHop > 0) {
      // The measured advance, unwrapped around the bin's nominal one: the
      // partial's frequency times what the synthesis hop adds beyond the
      // analysis hop.
      const double nominal = kTwoPi * k * static_cast<double>(measureHop) / st.n;
      turn = (nominal + wrap(raw[t] - nominal)) * scale;
    } else {
      // The analysis held: the partial goes on at its bin's frequency.
      turn = kTwoPi * k * (down * static_cast<double>(st.hop)) / st.n;
    }
    // A non-finite rotation (from non-finite input) would be carried from
    // frame to frame for good: the region starts again from its analysis
    // phase instead.
    const double next = wrap(static_cast<double>(rotation[k]) + turn);
    raw[t] = std::isfinite(next) ? static_cast<float>(next) : 0.0f;
  }
  float* turnSin = cross;
  float* turnCos = dot;
  kernels.sincos(raw, turnSin, turnCos, nTurning);
  for (int t = 0; t < nTurning; t++) {
    const int p = turning[t];
    angle[p] = raw[t];
    cosine[p] = turnCos[t];
    sine[p] = turnSin[t];
  }
  for (int p = 0; p < nPeaks; p++) fillRegion(p, angle[p], cosine[p], sine[p]);
}

// The resampler has moved what was at bin k / ratio to bin k, and with it the
// spectral envelope (the formants): a voice would sound smaller going up.
// Each bin is given the envelope of where its content came from, bin
// k x ratio of the frame's own envelope, over the one it has: the
// envelope is the frame's power held at its partials' peaks (the largest
// within 8 bins either side, 190 Hz across for frames of 4096 at 44.1 kHz,
// times the ratio above 1: voices and most instruments have partials closer
// than that before the shift) and then
// averaged over the same width, and the gains are held within
// 24 dB either way so that a near-silent band is not pulled up into noise.
// Returns the gains (times the equaliser's, if given) or null without a shift.
const float* FineState::formantCorrection(const float* eqGains) {
  const double ratio = frameRatio;
  if (!keepFormants || (ratio == 1.0 && down == 1.0)) return eqGains;
  const int half = st.half;
  const float* power = st.power.get();
  double* sums = st.envelopeSums.get();
  // Read faster, the partials stand the ratio farther apart.
  const int width = std::max(1, static_cast<int>(std::ceil(st.n / 512 * std::max(1.0, ratio))));
  sums[0] = 0.0;
  for (int k = 0; k < half; k++) {
    float held = 0.0f;
    for (int j = std::max(0, k - width); j <= std::min(half - 1, k + width); j++) held = std::max(held, power[j]);
    sums[k + 1] = sums[k] + held;
  }
  auto envelope = [&](double bin) {
    const int k = std::clamp(static_cast<int>(bin), 0, half - 1);
    const int lo = std::max(0, k - width / 2), hi = std::min(half, k + width / 2 + 1);
    return (sums[hi] - sums[lo]) / (hi - lo);
  };
  float* g = st.formantGains.get();
  for (int k = 0; k < half; k++) {
    // Moved down, bin k holds what the frame has at k / down.
    const double here = down == 1.0 ? envelope(k) : envelope(k / down);
    const double there = envelope(k * ratio);
    double gain = here > 1e-20 ? std::sqrt(there / here) : 1.0;
    gain = std::clamp(gain, 1.0 / 16.0, 16.0);
    g[k] = static_cast<float>(eqGains ? gain * eqGains[k] : gain);
  }
  return g;
}

// How far each region of a frame moved down goes, and the rotation that
// starts an attack's region. Moving a region is modulating the frame by
// e^{i 2 pi by m / N}: referred to the frame's middle, the regions of an
// attack, each moved by its own amount, would be given phases that no
// longer line up at the attack, which would spread over the frame; referred
// to the attack's time (from the phase slope across its bins, a turn over
// the frame) they line up as they were. A partial's region moves by its
// peak's bin times (down - 1), so that it lands on its new frequency. An
// attack's broad regions (noise: a drum, a consonant) are moved in wide
// bands instead (moveDown): regions cut apart and moved by different amounts
// no longer add up to a sharp attack (a 3 ms burst came out 5.6 ms long at
// -5). In the frames at the synthesis hop that rebuild an attack (lock),
// the regions that rose over the power before it are the attack's, whatever
// the last frame's regions were.
void FineState::planMoves(int channels, int nPeaks, bool attack, bool lock) {
  const int half = st.half;
  const float* power = st.power.get();
  float* before = st.lockPower.get();
  if (attack) kernels.power(st.prevRe[0].get(), st.prevIm[0].get(), channels == 2 ? st.prevRe[1].get() : nullptr,
                            st.prevIm[channels - 1].get(), before, half);
  auto slope = [&](int from, int to, double& sr, double& si) {
    for (int c = 0; c < channels; c++) {
      const float* xr = st.re[c].get();
      const float* xi = st.im[c].get();
      // X[k + 1] conj(X[k]), negated: the bins' phases refer to the frame's
      // start, (-1)^k away from its middle. Summed in four lanes, which go
      // as vectors (an attack's noise regions span most of the frame).
      constexpr int kLanes = 4;
      double lr[kLanes] = {}, li[kLanes] = {};
      int k = from;
      for (; k + kLanes < to; k += kLanes) {
        for (int l = 0; l < kLanes; l++) {
          lr[l] += static_cast<double>(xr[k + l + 1]) * xr[k + l] + static_cast<double>(xi[k + l + 1]) * xi[k + l];
          li[l] += static_cast<double>(xi[k + l + 1]) * xr[k + l] - static_cast<double>(xr[k + l + 1]) * xi[k + l];
        }
      }
      for (; k + 1 < to; k++) {
        sr -= static_cast<double>(xr[k + 1]) * xr[k] + static_cast<double>(xi[k + 1]) * xi[k];
        si -= static_cast<double>(xi[k + 1]) * xr[k] - static_cast<double>(xr[k + 1]) * xi[k];
      }
      for (int l = 0; l < kLanes; l++) {
        sr -= lr[l];
        si -= li[l];
      }
    }
  };
  double br = 0.0, bi = 0.0;  // the broad regions' slope
  // An attack's narrow regions: their slopes, gathered for one vector
  // atan2 (the work space propagate fills after this).
  int* sloped = st.turning.get();
  float* slopeIm = st.peakCross.get();
  float* slopeRe = st.peakDot.get();
  int nSloped = 0;
  float loudest = 0.0f;
  for (int p = 0; p < nPeaks; p++) loudest = std::max(loudest, power[st.peaks[p]]);
  for (int p = 0; p < nPeaks; p++) {
    const int k = st.peaks[p];
    const int from = st.valleys[p], to = st.valleys[p + 1];
    // Regions 20 dB below the loudest move by whole bins, which costs a
    // tap rather than eight: within the frame their partials stand up to
    // half a bin off the frequency their phases follow, which the frames
    // overlapping at 1/8 turn into a level a few hundredths of a decibel
    // low (a tone moved by whole bins measured 0.001 dB).
    // (Rounded half away from zero without a call: the move is down.)
    const bool faint = power[k] < kFaintRegion * loudest;
    const double by = k * (down - 1.0);
    st.peakShift[p] = static_cast<float>(faint ? -static_cast<double>(static_cast<int>(0.5 - by)) : by);
    st.attackPeak[p] = (attack || lock) && power[k] > kAttackRise * before[k] ? 1 : 0;
    if (!st.attackPeak[p]) continue;
    int wide = 0;
    for (int j = from; j < to; j++) wide += power[j] * 4.0f >= power[k];
    if (wide < kBroadBins) {
      double sr = 0.0, si = 0.0;
      slope(from, to, sr, si);
      slopeRe[nSloped] = static_cast<float>(sr);
      slopeIm[nSloped] = static_cast<float>(si);
      sloped[nSloped++] = p;
      continue;
    }
    st.attackPeak[p] = 2;
    st.attackAngle[p] = 0.0f;  // moveDown turns these bins by their bands
    slope(from, to, br, bi);
  }
  broadSlope = br == 0.0 && bi == 0.0 ? 0.0 : std::atan2(bi, br);
  float* slopeAngle = st.peakRaw.get();
  kernels.atan2(slopeIm, slopeRe, slopeAngle, nSloped);
  for (int i = 0; i < nSloped; i++)
    st.attackAngle[sloped[i]] = static_cast<float>(wrap(st.peakShift[sloped[i]] * static_cast<double>(slopeAngle[i])));
  const float one = shiftTable.taps[0][SHIFT_CENTRE];
  // Without a branch per region (which of them go by whole bins follows no
  // pattern). A whole move that would put bins outside the spectrum (the
  // lowest regions) goes with the others, which drop those bins.
  int whole = 0, apart = 0;
  for (int p = 0; p < nPeaks; p++) {
    const float by = st.peakShift[p];
    const int bins = static_cast<int>(by);
    const int other = (st.attackPeak[p] == 2) | (static_cast<float>(bins) != by) | (st.valleys[p] + bins < 0) |
                      (st.valleys[p + 1] + bins > half);
    st.moveApart[apart] = p;
    st.moveWhole[whole] = p;
    apart += other;
    whole += 1 - other;
    st.regionWhole[p] = bins;
    st.regionSign[p] = (bins & 1) != 0 ? -one : one;
  }
  st.movedApart = apart;
  st.movedWhole = whole;
}

// Rotates the frame's regions (into the frame buffer, free until the
// synthesis) and moves each by its peak's bin times (down - 1): the peak
// lands on its partial's new frequency, which its rotation follows from
// frame to frame. Overlapping regions add (noise keeps its power); the
// gains are the output bins'.
void FineState::moveDown(int c, const float* xr, const float* xi, const float* gains, float* yr, float* yi) {
  const int half = st.half;
  float* tr = st.frame.get();
  float* ti = tr + half;
  kernels.rotate(xr, xi, st.rotRe.get(), st.rotIm.get(), nullptr, tr, ti, half);
  std::fill_n(yr, half + kMoveSpan, 0.0f);
  std::fill_n(yi, half + kMoveSpan, 0.0f);
  const int* valleys = st.valleys.get();
  // Spans past a region's end add 0 (read from the frame's spare bins at
  // the top); what lands past half is never read.
  alignas(16) static constexpr float kSpanMask[2 * kMoveSpan] = {1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  static_assert(kMoveSpan == 8, "kSpanMask");
  for (int w = 0; w < st.movedWhole; w++) {
    const int p = st.moveWhole[w];
    const int from = valleys[p], to = valleys[p + 1];
    const float* __restrict sr = tr + from;
    const float* __restrict si = ti + from;
    float* __restrict dr = yr + from + st.regionWhole[p];
    float* __restrict di = yi + from + st.regionWhole[p];
    const float s = st.regionSign[p];
    for (int at = 0; at < to - from; at += kMoveSpan) {
      const float* mask = kSpanMask + kMoveSpan - std::min(kMoveSpan, to - from - at);
      for (int i = 0; i < kMoveSpan; i++) {
        const float m = s * mask[i];
        dr[at + i] += m * sr[at + i];
        di[at + i] += m * si[at + i];
      }
    }
  }
  bool broad = false;
  for (int a = 0; a < st.movedApart; a++) {
    const int p = st.moveApart[a];
    if (st.attackPeak[p] == 2) {
      broad = true;
      continue;
    }
    spectral_shift_add(shiftTable, tr, ti, valleys[p], valleys[p + 1], st.peakShift[p], yr, yi, half);
  }
  if (broad) moveBroad(c, xr, xi, yr, yi);
  if (gains) {
    for (int k = 0; k < half; k++) {
      yr[k] *= gains[k];
      yi[k] *= gains[k];
    }
  }
}

// An attack's noise moved down (the regions moveDown left).
void FineState::moveBroad(int c, const float* xr, const float* xi, float* yr, float* yi) {
  const int half = st.half;
  const int* valleys = st.valleys.get();
  // The bands' middles, two octaves apart, the last at or above the top.
  double middle[kMaxBands];
  int bands = 0;
  for (double m = std::max(2, st.n / 128); bands < kMaxBands && (bands < 2 || middle[bands - 1] < half); m *= 4.0)
    middle[bands++] = m;
  // An attack's noise: each bin shared by the two nearest bands, each
  // share moved by its band's middle and turned to the attack's time, so
  // that no band has an edge. Bands of two octaves kept a 3 ms burst
  // within 6 % of its width (one octave: 11 % at -5, 24 % at -12; capped
  // at 5.5 kHz wide, its largest step rose 2.3 dB above the input's in a
  // sweep). Shares that land close together (small shifts, against the
  // region's width) add up in amplitude; far apart they would in power,
  // but they line up at the attack, where such shares stood 3 dB above
  // the input: the weights keep the amplitude there and give up some of
  // the power (a burst 0.4 dB at -1, 0.7 dB at -5, 1 dB at -12).
  // Band by band: the shares of the bins between the neighbours' middles,
  // gathered (bandRe, bandIm, cleared again after) and moved at once.
  float* br = st.bandRe.get();
  float* bi = st.bandIm.get();
  for (int b = 0; b < bands; b++) {
    const double lo = b > 0 ? middle[b - 1] : 0.0, hi = b + 1 < bands ? middle[b + 1] : half;
    // By whole bins: noise has no frequency for its phases to follow.
    const double by = std::round(middle[b] * (down - 1.0));
    const double turn = wrap(by * broadSlope);
    const float turnCos = static_cast<float>(std::cos(turn)), turnSin = static_cast<float>(std::sin(turn));
    // Nothing goes above the ratio times the frame's top, as nothing read
    // slower would: bins from `top` on are left.
    const int top = static_cast<int>(std::max(0.0, std::min<double>(half, std::ceil(down * half - by))));
    int first = half, last = -1;
    for (int i = 0; i < st.movedApart; i++) {  // the broad regions are among these
      const int p = st.moveApart[i];
      if (st.attackPeak[p] != 2) continue;
      const int from = std::max(valleys[p], static_cast<int>(std::ceil(lo)));
      const int to = std::min({valleys[p + 1], static_cast<int>(std::ceil(hi)), top});
      if (from >= to) continue;
      const int split = std::clamp(static_cast<int>(std::ceil(middle[b])), from, to);
      // The pair of bands the bin lies between, and its share of this one:
      // a smooth step across their distance (power shares), taken to the
      // power 3/4 (far apart) to 1 (close: amplitude shares); the same for
      // both channels, worked out for the first (below the band's middle
      // in broadWeight[1], from it on in broadWeight[0]).
      // Single precision and without a branch, so that the square roots
      // of an attack frame's thousands of bins go four or more at a time.
      if (c == 0) {
        const double width = std::max(1, valleys[p + 1] - valleys[p]);
        for (int side = 0; side < 2; side++) {
          const bool upper = side == 1;
          const int a = upper ? split : from, z = upper ? to : split;
          float* weight = st.broadWeight[upper ? 0 : 1].get();
          const int pair = upper ? b : b - 1;
          if (pair < 0 || pair + 1 >= bands) {
            std::fill(weight + a, weight + z, 1.0f);
            continue;
          }
          const float start = static_cast<float>(middle[pair]);
          const float across = static_cast<float>(1.0 / (middle[pair + 1] - middle[pair]));
          const float coherent = static_cast<float>(
              std::clamp(1.0 - (middle[pair + 1] - middle[pair]) * (1.0 - down) / width, 0.0, 1.0));
          const float flip = upper ? 1.0f : 0.0f, sense = upper ? -1.0f : 1.0f;
          for (int k = a; k < z; k++) {
            const float blend = (static_cast<float>(k) - start) * across;
            // (The step can round a hair past 1: a share of -1e-7 is taken
            // as +1e-7, which a compare would keep out of the vector pass.)
            const float share = std::fabs(flip + sense * (blend * blend * (3.0f - 2.0f * blend)));
            weight[k] = (1.0f - coherent) * std::sqrt(share * std::sqrt(share)) + coherent * share;
          }
        }
      }
      // The shares turned to the attack's time, in one vector pass a side.
      for (int side = 0; side < 2; side++) {
        const int a = side == 0 ? from : split, z = side == 0 ? split : to;
        const float* w = st.broadWeight[side == 0 ? 1 : 0].get();
        for (int k = a; k < z; k++) {
          const float cr = w[k] * turnCos, ci = w[k] * turnSin;
          br[k] = xr[k] * cr - xi[k] * ci;
          bi[k] = xr[k] * ci + xi[k] * cr;
        }
      }
      first = std::min(first, from);
      last = to - 1;
    }
    if (last < first) continue;
    spectral_shift_add(shiftTable, br, bi, first, last + 1, by, yr, yi, half);
    std::fill(br + first, br + last + 1, 0.0f);
    std::fill(bi + first, bi + last + 1, 0.0f);
  }
}

void FineState::synthesiseAndAdd(int channels, Pos outStart) {
  const int half = st.half;
  const bool eqOn = eq_is_enabled(*eq) != 0;
  if (eqOn) eq_copy_gains(*eq, st.gains.get(), half);
  const float* cr = st.rotRe.get();
  const float* ci = st.rotIm.get();
  const float* gains = formantCorrection(eqOn ? st.gains.get() : nullptr);
  const bool gained = gains != nullptr;
  for (int c = 0; c < channels; c++) {
    const float* xr = st.re[c].get();
    const float* xi = st.im[c].get();
    float* yr = st.yRe[c].get();
    float* yi = st.yIm[c].get();
    if (down == 1.0)
      kernels.rotate(xr, xi, cr, ci, gains, yr, yi, half);
    else
      moveDown(c, xr, xi, gains, yr, yi);
    // The one-sided inverse counts the DC bin twice.
    yr[0] *= 0.5f;
    yi[0] *= 0.5f;
    // Keep this frame's spectrum for the next one's phase advance: the
    // arrays trade places (both hold a whole frame), and the last frame's
    // take this frame's output.
    std::swap(st.prevRe[c], st.re[c]);
    std::swap(st.prevIm[c], st.im[c]);
    float* time = st.re[c].get();
    inverse(yr, yi, time, st.im[c].get());
    // The Nyquist bin, turned by the cosine of the top region's rotation (it
    // must stay real); the one-sided inverse's scale counts it half.
    // (Moved down, nothing is left there.)
    float nyquist = down == 1.0 ? st.nyquist[c] * cr[half - 1] : 0.0f;
    if (gained) nyquist = nyquist * gains[half - 1];
    kernels.addAlternating(time, 0.5f * nyquist, st.n);
    float* acc = st.acc[c].get();
    const float* w = st.windowOut.get();
    const int at = static_cast<int>(outStart & st.outMask);
    const int first = std::min(st.n, st.outSize - at);
    kernels.addProduct(acc + at, time, w, first);
    kernels.addProduct(acc, time + first, w + first, st.n - first);
    // The frame's power under the window, beside it.
    float* squares = st.frame.get();
    for (int k = 0; k < st.n; k++) squares[k] = time[k] * time[k];
    float* pacc = st.pacc[c].get();
    const float* wq = st.windowSquares.get();
    kernels.addProduct(pacc + at, squares, wq, first);
    kernels.addProduct(pacc, squares + first, wq + first, st.n - first);
  }
  float* wsum = st.wsum.get();
  const float* ws = st.windowSum.get();
  const int at = static_cast<int>(outStart & st.outMask);
  const int first = std::min(st.n, st.outSize - at);
  kernels.add(wsum + at, ws, first);
  kernels.add(wsum, ws + first, st.n - first);
  float* psum = st.psum.get();
  const float* wp = st.windowPow.get();
  kernels.add(psum + at, wp, first);
  kernels.add(psum, wp + first, st.n - first);
}

// Frames whose phases do not line up (noise, and every partial that the
// analysis cannot follow, at fast tempos most) add up to less power than
// they carry: the overlap-add, normalised for coherent frames, loses level.
// The output is brought back to the power the frames carry, both smoothed
// over a sixteenth of a frame, with one gain for both channels; where the
// frames are coherent (a steady tone, tempo 1) the two powers are equal and
// the gain is 1. Frames of different loudness overlapping at an onset count
// as incoherent too: a longer memory would carry the gain of that moment
// into the steady sound after it (a tone's start rose 1 dB at tempo 8 and
// took a frame to settle).
//
// carriedPower, before the overlap-add is normalised, turns the power
// accumulators of the samples from at on into the power carried (0 where the
// output will be silent); restorePower, after it, applies the gain.
void carriedPower(State& st, int channels, int at, int run) {
  const float* wsum = st.wsum.get() + at;
  float* psum = st.psum.get() + at;
  for (int c = 0; c < channels; c++) {
    float* pacc = st.pacc[c].get() + at;
    kernels.carried(pacc, wsum, psum, run);
  }
  std::fill_n(psum, run, 0.0f);
}

void restorePower(State& st, int channels, int at, int run) {
  constexpr double kMinGain = 0.5, kMaxGain = 4.0;
  float* left = st.acc[0].get() + at;
  float* right = st.acc[1].get() + at;
  float* pl = st.pacc[0].get() + at;
  float* pr = st.pacc[1].get() + at;
  // The smoothing runs on the mean powers of short chunks (a sixteenth of its
  // time constant) and the gain is ramped across each chunk: a square root
  // and a division per sample cost more than the rest of this pass.
  for (int k = 0; k < run;) {
    const int m = std::min(st.chunk, run - k);
    double out = 0.0;
    double carried = 0.0;
    for (int j = k; j < k + m; j++) {
      out += static_cast<double>(left[j]) * left[j];
      carried += pl[j];
      pl[j] = 0.0f;
    }
    if (channels == 2) {
      for (int j = k; j < k + m; j++) {
        out += static_cast<double>(right[j]) * right[j];
        carried += pr[j];
        pr[j] = 0.0f;
      }
    }
    const double a = m == st.chunk ? st.chunkSmoothing : std::pow(st.smoothing, m);
    st.outPower = a * st.outPower + (1.0 - a) * (out / m);
    st.framePower = a * st.framePower + (1.0 - a) * (carried / m);
    double target = 1.0;
    if (!std::isfinite(st.outPower) || !std::isfinite(st.framePower)) {
      // Non-finite input: start the measure afresh rather than keep it for good.
      st.outPower = 0.0;
      st.framePower = 0.0;
    } else if (!(st.outPower > 1e-12)) {
      // Silence: let neither measure decay into subnormal numbers, which
      // are slow on x86.
      if (st.outPower < 1e-30) st.outPower = 0.0;
      if (st.framePower < 1e-30) st.framePower = 0.0;
    } else {
      target = std::clamp(std::sqrt(st.framePower / st.outPower), kMinGain, kMaxGain);
    }
    const float from = st.gain;
    const float step = static_cast<float>((target - from) / m);
    for (int j = 0; j < m; j++) {
      const float g = from + step * static_cast<float>(j + 1);
      left[k + j] = left[k + j] * g;
      if (channels == 2) right[k + j] = right[k + j] * g;
    }
    st.gain = static_cast<float>(target);
    k += m;
  }
}

// Divides the samples from finalEnd up to end by the window sum: they will
// receive nothing more. Those before the time line's start (the first
// frames reach back before it) are never handed out: their slots are cleared
// at once for the samples that will reuse them.
void FineState::finish(int channels, Pos end) {
  for (Pos s = st.finalEnd; s < end;) {
    const int at = static_cast<int>(s & st.outMask);
    const int run = static_cast<int>(std::min<Pos>(end - s, st.outSize - at));
    float* left = st.acc[0].get() + at;
    float* right = channels == 2 ? st.acc[1].get() + at : nullptr;
    carriedPower(st, channels, at, run);
    kernels.normalise(left, right, st.wsum.get() + at, run);
    restorePower(st, channels, at, run);
    if (s < st.emitted) {
      const int gone = static_cast<int>(std::min<Pos>(run, st.emitted - s));
      std::fill_n(left, gone, 0.0f);
      if (right) std::fill_n(right, gone, 0.0f);
    }
    s += run;
  }
  st.finalEnd = std::max(st.finalEnd, end);
}

// Hands out finished samples up to limit, into out at their offset from
// blockStart, clearing their slots for reuse.
void FineState::emit(int channels, Pos limit, Pos blockStart, float* outLeft, float* outRight) {
  const Pos end = std::min(limit, st.finalEnd);
  while (st.emitted < end) {
    // In runs of at most one hop (one analysis at most per push) that do not
    // wrap around the store.
    const int at = static_cast<int>(st.emitted & st.outMask);
    const int run = static_cast<int>(std::min<Pos>({end - st.emitted, st.hop, st.outSize - at}));
    float* dst[2] = {outLeft + (st.emitted - blockStart),
                     outRight ? outRight + (st.emitted - blockStart) : nullptr};
    for (int c = 0; c < channels; c++) {
      float* acc = st.acc[c].get() + at;
      std::memcpy(dst[c], acc, static_cast<size_t>(run) * sizeof(float));
      std::fill_n(acc, run, 0.0f);
      spectrum_push(*spectrum, dst[c], run, c);
    }
    st.emitted += run;
  }
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
    s.ring[c] = floats(static_cast<size_t>(s.ringSize));
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
  s.envelopeSums = zeroed<double>(half + 1);
  s.rotation = floats(half + kFillSlack);
  s.rotRe = floats(half + kFillSlack);
  s.rotIm = floats(half + kFillSlack);
  s.lockPower = floats(half);
  s.peakShift = floats(half + 1);
  s.attackAngle = floats(half + 1);
  s.attackPeak = zeroed<int>(half + 1);
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
  s.peaks = zeroed<int>(half + 1);
  s.valleys = zeroed<int>(half + 1);
  s.turning = zeroed<int>(half + 1);
  s.peakAngle = floats(half + 1);
  s.peakCos = floats(half + 1);
  s.peakSin = floats(half + 1);
  s.peakCross = floats(half + 1);
  s.peakDot = floats(half + 1);
  s.peakRaw = floats(half + 1);
  if (!ok || !s.peaks || !s.valleys || !s.turning || !s.envelopeSums || !s.attackPeak || !s.moveWhole ||
      !s.moveApart || !s.regionWhole)
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
  st.nextFrame = -(st.n / st.hop) + 1;
  st.finalEnd = st.nextFrame * st.hop;
  st.emitted = 0;
  st.mapIn = st.head;
  st.mapOut = 0;
  st.firstFrame = true;
  st.lockLeft = 0;
  // The detector starts afresh too (it sleeps in the exact mode).
  st.onsetCount = 0;
  st.lastMean = 0.0f;
  st.subEnergy = 0.0;
  st.subLevel = 0.0;
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

// The block's input read by the resampler, in chunks that its output buffer
// holds; each chunk is stretched to its share of the block's output, so the
// block still lasts exactly samplesOut samples. The resampler gives what the
// block's input reaches (the filter's reach short of its end, carried to the
// next block), so the stretch's input count per block follows the input by
// cumulative rounding.
void FineState::transpose(const float* left, const float* right, int samplesIn, float* outLeft,
                          float* outRight, int samplesOut) {
  const int total = resampler_ready(*resampler, samplesIn);
  int doneIn = 0, doneStream = 0, doneOut = 0;
  do {
    const int count = std::min(RESAMPLER_MAX_CHUNK, total - doneStream);
    if (count > 0) {
      // As much of the input as the store takes: at least what the chunk
      // reads, which the block's input holds.
      doneIn += resampler_append(*resampler, left + doneIn, right ? right + doneIn : nullptr, samplesIn - doneIn);
      // The ratio's course on the history, for the formants.
      const int rampLeft = resampler_ramp_left(*resampler);
      if (rampLeft > 0 && resampler_target(*resampler) != markedTarget) {
        mark(st.head, resampler_ratio(*resampler));
        markedTarget = resampler_target(*resampler);
      }
      resampler_render(*resampler, resampled[0].get(), right ? resampled[1].get() : nullptr, count);
      if (rampLeft > 0 && rampLeft <= count) mark(st.head + rampLeft, resampler_target(*resampler));
    }
    const int outEnd = total > 0 ? static_cast<int>(static_cast<int64_t>(samplesOut) * (doneStream + count) / total)
                                 : samplesOut;
    stretch(resampled[0].get(), right ? resampled[1].get() : nullptr, count, outLeft + doneOut,
            outRight ? outRight + doneOut : nullptr, outEnd - doneOut);
    doneStream += count;
    doneOut = outEnd;
  } while (doneStream < total);
  // The rest reaches beyond what the filter can read yet.
  resampler_append(*resampler, left + doneIn, right ? right + doneIn : nullptr, samplesIn - doneIn);
}

void FineState::mark(Pos at, double ratio) {
  marks[markCount % kMarks] = {at, ratio};
  markCount++;
}

// The ratio the history's sample at was read at: linear between the marks
// (a ramp is linear in the resampler's output), the resampler's own after
// the last; before the oldest kept, the oldest's.
double FineState::ratioAt(Pos at) const {
  const int kept = std::min(markCount, kMarks);
  Pos fromAt = st.head;
  double fromRatio = resampler_ratio(*resampler);
  for (int i = 0; i < kept; i++) {
    const RatioMark& m = marks[(markCount - 1 - i) % kMarks];
    if (m.at <= at) {
      if (fromAt <= m.at) return m.ratio;
      return m.ratio + (fromRatio - m.ratio) * static_cast<double>(at - m.at) / static_cast<double>(fromAt - m.at);
    }
    fromAt = m.at;
    fromRatio = m.ratio;
  }
  return fromRatio;
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
      const Pos outStart = st.nextFrame * st.hop;
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
      st.nextFrame++;
      finish(channels, outStart + st.hop);
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
