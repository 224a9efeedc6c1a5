// The fine mode's one record: the state that its stages share, and the
// object behind fine.h whose member functions are the stages. For the fine
// mode's own files only.
//
// The stages, each in a file of its own with a header that says what it
// owns:
// - fine_analysis: the input history, the onsets, the time map, where each
//   frame is analysed and its spectra;
// - fine_phase: each bin's rotation from one frame to the next;
// - fine_transpose: the resampler that shifts up, the spectral moves that
//   shift down, and the formants kept where they were;
// - fine_synthesis: the overlap-add, its normalisation, the level the frames
//   carry brought back, and the output store;
// - fine.cpp: the set-up (fine_prepare, fine_commit) and the block driver
//   (fine_process) that runs the stages frame by frame.
//
// Owns: the record (State: its arrays on the heap), which fine_prepare
// builds whole aside and fine_commit puts in place, and the transposition's
// units and settings beside it in FineState (fine_transpose.h).
// Threads: as fine.h: the playback thread runs the stages; the set-up never
// overlaps a block.
// Audio path: no stage allocates, locks or logs.
#pragma once

#include <cstdint>
#include <memory>

#include "fine.h"
#include "fine_analysis.h"
#include "fine_kernels.h"
#include "fine_phase.h"
#include "fine_synthesis.h"
#include "fine_transpose.h"
#include "realfft.h"
#include "resampler.h"
#include "spectral_shift.h"

namespace fine_internal {

// Positions in samples from the start of the stream (input) or of the time
// line (output); 64 bits, so that no stream is too long.
using Pos = int64_t;

// Tests compare the mode's output with the exact mode's transform in place
// of its own (fine_exact_transform_for_testing).
extern bool exactTransformForTesting;

namespace {
const FineKernels& kernels = fine_kernels();
}  // namespace

struct State {
  int n = 0;     // frame size
  int half = 0;  // bins analysed
  int hop = 0;   // synthesis hop
  int lag = 0;   // analysis behind the input on the time map
  int lookahead = 0;
  int onsetBlock = kOnsetBlock;
  Pos maxDeviation = 0;

  // Input history: a ring of ringSize samples per channel, position p at
  // p & ringMask, its first frame repeated after it; head = samples
  // received so far.
  int ringSize = 0;
  int ringMask = 0;
  std::unique_ptr<float[]> ring[2];
  Pos head = 0;

  // Onset detector.
  float lastMean = 0.0f;
  // The sub-block's sums of the first difference's squares and of the
  // signal's, in the lanes of fine_kernels.h.
  float onsetEnergy[kFineLanes] = {};
  float onsetLevel[kFineLanes] = {};
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
  // Transposition with the formants kept: the frame's envelope (its power
  // through its partials' peaks) and the gains that move it back (half each).
  std::unique_ptr<double[]> envelope;
  std::unique_ptr<float[]> formantGains;
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
  // frames at the synthesis hop are rebuilding (half), and whether the last
  // of those frames rebuilt the partial of the bin's region (its peak's
  // power there) or not (0; half + kFillSlack).
  std::unique_ptr<float[]> lockPower;
  std::unique_ptr<float[]> rebuilt;
  // Per peak (half + 1 each), moved down: how far its region moves (bins),
  // and whether it belongs to the attack being rebuilt, with its rotation.
  std::unique_ptr<float[]> peakShift, attackAngle;
  std::unique_ptr<int[]> attackPeak;
  // Per peak (half + 1), moved down at an attack: whether its region took in
  // the splash of a step around it (1) or not (0).
  std::unique_ptr<int[]> splashJoined;
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
  // Per chunk of a run being finished (outSize / chunk + 1 each): the
  // output's power and the power carried, summed; the gain's ramp.
  std::unique_ptr<float[]> chunkOut, chunkCarried, chunkFrom, chunkStep;

  // Time line (output positions s; a frame starting at s covers [s, s + n)).
  Pos nextStart = 0;  // output start of the next frame
  Pos finalEnd = 0;   // output before this position is finished
  Pos emitted = 0;    // output handed out so far
  Pos mapIn = 0;      // the time map's last point: output mapOut <-> input mapIn
  Pos mapOut = 0;
  bool firstFrame = true;
  Pos prevStart = 0;    // analysis start of the last frame
  Pos prevNominal = 0;  // its nominal start on the time map
  int lockLeft = 0;     // frames still to be analysed at the synthesis hop
  bool lockWhole = false;           // the lock holds every frame the attack passes through
  double attackRise = kAttackRise;  // of the frame's peaks that restart, when it holds an attack
};

}  // namespace fine_internal

struct FineState {
  using Pos = fine_internal::Pos;
  using State = fine_internal::State;

  // Set-up and driver (fine.cpp).
  bool prepare(int frameSize, int hop);
  void commit();
  void feed(const float* left, const float* right, int count);
  void restart();
  bool process(const float* left, const float* right, int samplesIn, float* outLeft, float* outRight,
               int samplesOut);
  void stretch(const float* left, const float* right, int samplesIn, float* outLeft, float* outRight,
               int samplesOut);

  // Analysis and onsets (fine_analysis.cpp).
  void detectOnsets(const float* left, const float* right, int count);
  void append(const float* left, const float* right, int count, bool detect);
  const float* gather(int c, Pos start, float* frame) const;
  Pos mapInput(Pos s, Pos inCount, Pos outCount) const;
  Pos pendingOnset(Pos horizon);
  bool lockFits(Pos deviation, Pos frames, Pos nominalHop) const;
  Pos analysisStart(Pos nominal, bool& reset);
  Pos framesThatFit(Pos deviation, Pos nominalHop) const;
  void forward(const float* frame, float* re, float* im);
  void analyse(int channels, Pos start);
  int nearStep() const;
  void analyseNear(int channels, Pos start);
  bool measuresNear(Pos analysisHop) const;

  // Phase propagation (fine_phase.cpp).
  void propagate(int channels, Pos analysisHop, bool restart, bool attack);

  // Transposition (fine_transpose.cpp).
  void transpose(const float* left, const float* right, int samplesIn, float* outLeft, float* outRight,
                 int samplesOut);
  void mark(Pos at, double ratio);
  double ratioAt(Pos at) const;
  float* formantGains();
  void levelFormants(float* g, const float* eqGains);
  int planMoves(int channels, int nPeaks, bool attack, bool lock);
  int gatherSplash(int nPeaks, const float* before);
  void moveDown(int c, const float* xr, const float* xi, const float* gains, float* yr, float* yi);
  void moveBroad(int c, const float* xr, const float* xi, const float* gains, float* yr, float* yi);

  // Synthesis and level (fine_synthesis.cpp).
  void inverse(const float* specRe, const float* specIm, float* out, float* work);
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
  ~FineState() { resampler_destroy(resampler); }
  State pending;  // built by fine_prepare, put in place by fine_commit
  bool prepared = false;
};
