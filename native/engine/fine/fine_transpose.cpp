// The fine mode's transposition: the resampler up, the spectral moves down,
// and the formants kept.
#include <algorithm>
#include <cmath>
#include <limits>

#include "fine_state.h"
#include "resampler.h"
#include "spectral_shift.h"

using namespace fine_internal;

namespace {

// held(k) = the largest of x[k - w .. k + w] within x[0 .. n - 1], from the
// running maxima of blocks of 2w + 1 values: ahead[k] from its block's start
// to k, behind[k] from k to its block's end. A window spans at most two
// blocks, so held(k) = max(behind[k - w], ahead[k + w]): three passes, where
// a plain maximum over the window costs 2w + 1 reads a bin.
void blockMaxima(const float* x, int n, int w, float* ahead, float* behind) {
  const int block = 2 * w + 1;
  for (int start = 0; start < n; start += block) {
    const int end = std::min(n, start + block);
    float most = x[start];
    for (int k = start; k < end; k++) ahead[k] = most = std::max(most, x[k]);
    most = x[end - 1];
    for (int k = end - 1; k >= start; k--) behind[k] = most = std::max(most, x[k]);
  }
}

}  // namespace

// The resampler has moved what was at bin k / ratio to bin k, and with it the
// spectral envelope (the formants): a voice would sound smaller going up.
// Each partial is given the envelope of where its content came from, bin
// k x ratio of the frame's own envelope, over the one it has (moved down, the
// partial at bin k goes to k x down, and is given the envelope at k x down
// over the one at k). The gains are the frame's own bins', before any move,
// one a region (a partial and its skirts).
//
// The envelope runs through the frame's partials: from each bin that holds
// the most power within `width` bins either side (8 bins, 190 Hz across for
// frames of 4096 at 44.1 kHz, times the ratio above 1: voices and most
// instruments have partials closer than that before the shift) to the next,
// straight in decibels, and level before the first and after the last. So a
// lone partial has a level envelope, and keeps its level: read as the power
// held around each bin, its envelope was a narrow resonance at its own pitch,
// which put a tone 24 dB down at +12, and raised the splash of its start or
// end, moved onto its old pitch, by up to 24 dB, a burst near full scale. A
// peak in the frame's noise (under 16 times its median power) or 100 dB
// under its loudest is no partial. The gains stay within 24 dB either way,
// so that a near-silent band is not pulled up into noise; levelFormants then
// brings the frame to the power the plain shift gives it.
// Returns the gains, or null when the formants are not kept or nothing is
// shifted.
float* FineState::formantGains() {
  const double ratio = frameRatio;
  if (!keepFormants || (ratio == 1.0 && down == 1.0)) return nullptr;
  const int half = st.half;
  const float* power = st.power.get();
  float loudest = 0.0f;
  bool finite = true;
  for (int k = 0; k < half; k++) {
    finite = finite && std::isfinite(power[k]);
    loudest = std::max(loudest, power[k]);
  }
  // (Non-finite input, which a runaway voice-removal filter can feed, has no
  // envelope; nor could its median be found.)
  if (!finite) return nullptr;
  // Work space, free until the synthesis: the noise's median, then the
  // running maxima.
  float* ahead = st.frame.get();
  float* behind = ahead + half;
  std::copy(power, power + half, ahead);
  std::nth_element(ahead, ahead + half / 2, ahead + half);
  const float median = ahead[half / 2];
  const float floor = std::max({kFormantNoise * median, kFormantRange * loudest, std::numeric_limits<float>::min()});
  // Read faster, the partials stand the ratio farther apart.
  const int width = std::max(1, static_cast<int>(std::ceil(st.n / 512 * std::max(1.0, ratio))));
  blockMaxima(power, half, width, ahead, behind);
  double* envelope = st.envelope.get();
  int last = -1;
  for (int k = 0; k < half; k++) {
    const float held = std::max(behind[std::max(0, k - width)], ahead[std::min(half - 1, k + width)]);
    if (!(power[k] >= held && power[k] > floor)) continue;
    if (last < 0) {
      std::fill(envelope, envelope + k + 1, static_cast<double>(power[k]));
    } else {
      const double step = std::pow(static_cast<double>(power[k]) / power[last], 1.0 / (k - last));
      double level = power[last];
      for (int j = last + 1; j < k; j++) envelope[j] = level *= step;
      envelope[k] = power[k];
    }
    last = k;
  }
  if (last < 0) return nullptr;  // silence
  std::fill(envelope + last + 1, envelope + half, static_cast<double>(power[last]));
  // Bin k goes to k x down (up to a partial's place within its region), where
  // the envelope it should have is the frame's at k x down x ratio.
  auto gain = [&](int k) {
    const double there = envelope[std::clamp(static_cast<int>(k * down * ratio), 0, half - 1)];
    return static_cast<float>(std::clamp<double>(std::sqrt(there / envelope[k]), 1.0 / kFormantLimit, kFormantLimit));
  };
  float* g = st.formantGains.get();
  const int regions = movePeaks;
  if (regions == 0) {
    for (int k = 0; k < half; k++) g[k] = gain(k);
    return g;
  }
  // One gain a region, its peak's: varying over a partial's bins, the gains
  // reshaped it in time (a faded tone's end peaked 0.4 dB over its level).
  const int* peaks = st.peaks.get();
  const int* valleys = st.valleys.get();
  std::fill(g, g + valleys[0], gain(peaks[0]));
  for (int p = 0; p < regions; p++) std::fill(g + valleys[p], g + valleys[p + 1], gain(peaks[p]));
  return g;
}

// Keeping the formants moves the frame's balance back, never its level: the
// gains are scaled so that the frame carries the power the plain shift gives
// it (music an octave down came out 2.8 dB louder, two octaves 4.8 dB, as
// its high partials were moved down where its envelope is louder), still
// within 24 dB. Turned and moved, the bins keep their power: the frame's
// own is the plain shift's. Times the equaliser's gains, if given (turned;
// moved down, the equaliser acts on the moved bins).
void FineState::levelFormants(float* g, const float* eqGains) {
  const int half = st.half;
  const float* power = st.power.get();
  double plain = 0.0, kept = 0.0;
  for (int k = 0; k < half; k++) {
    plain += power[k];
    kept += static_cast<double>(power[k]) * g[k] * g[k];
  }
  const double scale = plain > 0.0 && kept > 0.0 ? std::sqrt(plain / kept) : 1.0;
  for (int k = 0; k < half; k++) {
    const float gain = static_cast<float>(std::min<double>(kFormantLimit, g[k] * scale));
    g[k] = eqGains ? gain * eqGains[k] : gain;
  }
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
// the last frame's regions were. Returns the number of regions, fewer where
// an attack's splash joined its partial (gatherSplash).
int FineState::planMoves(int channels, int nPeaks, bool attack, bool lock) {
  const int half = st.half;
  const float* power = st.power.get();
  float* before = st.lockPower.get();
  if (attack) kernels.power(st.prevRe[0].get(), st.prevIm[0].get(), channels == 2 ? st.prevRe[1].get() : nullptr,
                            st.prevIm[channels - 1].get(), before, half);
  // A step's splash joins its partial only where the lock holds every frame
  // the step passes through: at fast tempos the frames after a short lock
  // hold the step too, at another output time, and a joined region there
  // rang up to 6 dB over at tempo 4.
  if ((attack || lock) && st.lockWhole)
    nPeaks = gatherSplash(nPeaks, before);
  else
    std::fill_n(st.splashJoined.get(), nPeaks, 0);
  auto slope = [&](int from, int to, bool unit, double& sr, double& si) {
    // A step (a partial with its splash): each pair of bins counts alike.
    // Weighted by power the slope points at where the partial's energy lies
    // in the window, up to 1,500 samples after its step, and the move's
    // modulation no longer passes through zero phase at the step (a tone cut
    // in at its peak rang 3 dB over it at -2).
    if (unit) {
      double ur = 0.0, ui = 0.0;
      int pairs = 0;
      for (int c = 0; c < channels; c++) {
        const float* xr = st.re[c].get();
        const float* xi = st.im[c].get();
        for (int k = from; k + 1 < to; k++) {
          const double pr = static_cast<double>(xr[k + 1]) * xr[k] + static_cast<double>(xi[k + 1]) * xi[k];
          const double pi = static_cast<double>(xi[k + 1]) * xr[k] - static_cast<double>(xr[k + 1]) * xi[k];
          const double m = std::sqrt(pr * pr + pi * pi);
          if (m > 0.0) {
            ur -= pr / m;
            ui -= pi / m;
            pairs++;
          }
        }
      }
      if (pairs > 0 && std::sqrt(ur * ur + ui * ui) >= kStepAgreement * pairs) {
        sr += ur;
        si += ui;
        return;
      }
    }
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
    const float beside = std::max(p > 0 ? power[st.peaks[p - 1]] : 0.0f, p + 1 < nPeaks ? power[st.peaks[p + 1]] : 0.0f);
    if (wide < kBroadBins || beside * kLoneRise <= power[k]) {
      double sr = 0.0, si = 0.0;
      slope(from, to, st.splashJoined[p] != 0, sr, si);
      slopeRe[nSloped] = static_cast<float>(sr);
      slopeIm[nSloped] = static_cast<float>(si);
      sloped[nSloped++] = p;
      continue;
    }
    st.attackPeak[p] = 2;
    st.attackAngle[p] = 0.0f;  // moveDown turns these bins by their bands
    slope(from, to, false, br, bi);
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
  return nPeaks;
}

// A partial that starts with a step splashes over the whole spectrum, in
// ripples that the peak search cuts into regions of their own. Moved each by
// its own peak's amount (or in bands), those regions no longer add up to the
// step: a tone cut in at its peak rang 2 dB over it at -2 even with the
// step's time exact. So at an attack a rising region that lies 30 dB under a
// rising neighbour joins that neighbour's region, and moves with it.
// Regions in a stack: a new one joins the one below if it lies under it, or
// takes in those below that lie under it. Returns the regions kept.
int FineState::gatherSplash(int nPeaks, const float* before) {
  int* peaks = st.peaks.get();
  int* valleys = st.valleys.get();
  int* joined = st.splashJoined.get();
  const float* power = st.power.get();
  auto rose = [&](int k) { return power[k] > kAttackRise * before[k]; };
  auto under = [&](int weak, int strong) {
    return power[weak] <= kSplashUnder * power[strong] && rose(weak) && rose(strong);
  };
  int kept = 0;
  for (int p = 0; p < nPeaks; p++) {
    const int k = peaks[p];
    if (kept > 0 && under(k, peaks[kept - 1])) {
      joined[kept - 1] = 1;  // its span joins the region below
      continue;
    }
    int from = valleys[p], took = 0;
    while (kept > 0 && under(peaks[kept - 1], k)) {
      from = valleys[--kept];
      took = 1;
    }
    peaks[kept] = k;
    valleys[kept] = from;
    joined[kept++] = took;
  }
  valleys[kept] = valleys[nPeaks];
  return kept;
}

// Rotates the frame's regions (into the frame buffer, free until the
// synthesis), with the formants' gains if given, and moves each by its
// peak's bin times (down - 1): the peak lands on its partial's new
// frequency, which its rotation follows from frame to frame. Overlapping
// regions add (noise keeps its power).
void FineState::moveDown(int c, const float* xr, const float* xi, const float* gains, float* yr, float* yi) {
  const int half = st.half;
  float* tr = st.frame.get();
  float* ti = tr + half;
  kernels.rotate(xr, xi, st.rotRe.get(), st.rotIm.get(), gains, tr, ti, half);
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
  if (broad) moveBroad(c, xr, xi, gains, yr, yi);
}

// An attack's noise moved down (the regions moveDown left), with the
// formants' gains if given.
void FineState::moveBroad(int c, const float* xr, const float* xi, const float* gains, float* yr, float* yi) {
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
        if (gains) {
          for (int k = a; k < z; k++) {
            br[k] *= gains[k];
            bi[k] *= gains[k];
          }
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
