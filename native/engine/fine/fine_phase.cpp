// The fine mode's phase propagation: each bin's rotation from one frame to
// the next.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "fine_state.h"
#include "vocoder.h"

using namespace fine_internal;

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

// Fills a[from .. to-1] with v in whole stores of kFillSlack values, the last
// reaching up to kFillSlack - 1 values beyond: the regions of a frame are
// filled in ascending order, so the next one overwrites the excess, and the
// arrays are that much longer than the half spectrum. A region is a few bins
// wide, so an element-wise fill spends its time on the loop.
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
  int nPeaks = restart && down == 1.0 ? 0 : vocoder_find_peaks(power, half, peaks, valleys);
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
    std::fill_n(st.rebuilt.get(), half, 0.0f);
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
  if (down != 1.0) movePeaks = nPeaks = planMoves(channels, nPeaks, attack, lockFrame);
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
    // Moved down, every frame of the lock refers its attack's regions to
    // their time, as the first did: the regions of the last frame need not
    // be this one's. But a partial that the last frame already rebuilt goes
    // on from it, as between any two frames: the time its window's energy
    // points to moves on with the window while the partial holds, and
    // referred to it afresh in every frame a tone's start beat against
    // itself (its level rose 2 to 4 dB some 40 ms in, at shifts of -1 to -24).
    // Not from a frame that held little of it, though: a partial first seen
    // at the window's end stands bins off its pitch there, and the region
    // moved by that amount, carried on, no longer turns to the attack's time
    // at the amount this frame moves it by (a tone cut in at its peak rang
    // 3.6 dB at tempo 2; the music's start peaked 1.8 dB over at -12).
    const bool goesOn =
        !attack && st.attackPeak[p] == 1 && st.rebuilt[k] != 0.0f && power[k] <= kCarryRise * st.rebuilt[k];
    if (down != 1.0 && st.attackPeak[p] && !goesOn) {
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
  if (down != 1.0) {
    const bool rebuilding = attack || lockFrame;
    for (int p = 0; p < nPeaks; p++)
      fillAhead(st.rebuilt.get(), valleys[p], valleys[p + 1],
                rebuilding && st.attackPeak[p] == 1
                    ? std::max(power[peaks[p]], std::numeric_limits<float>::min())
                    : 0.0f);
  }
}
