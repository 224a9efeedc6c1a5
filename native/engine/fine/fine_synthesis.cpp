// The fine mode's synthesis and level: the overlap-add, its normalisation,
// the level the frames carry brought back, and the output handed out.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "eq.h"
#include "fft.h"
#include "fine_state.h"
#include "spectrum.h"

using namespace fine_internal;

// work: n floats that the exact transform takes as work space.
void FineState::inverse(const float* specRe, const float* specIm, float* out, float* work) {
  if (exactTransformForTesting)
    fft_inverse_half(*fft, specRe, specIm, out, work);
  else
    realfft_inverse(*st.transform, specRe, specIm, out);
}

void FineState::synthesiseAndAdd(int channels, Pos outStart) {
  const int half = st.half;
  const bool eqOn = eq_is_enabled(*eq) != 0;
  if (eqOn) eq_copy_gains(*eq, st.gains.get(), half);
  const float* cr = st.rotRe.get();
  const float* ci = st.rotIm.get();
  const float* eqGains = eqOn ? st.gains.get() : nullptr;
  // Turned, the formants' gains and the equaliser's act together; moved
  // down, the formants' on the frame's own bins and the equaliser's on the
  // moved ones.
  float* formants = formantGains();
  if (formants) levelFormants(formants, down == 1.0 ? eqGains : nullptr);
  const float* gains = down == 1.0 && formants ? formants : eqGains;
  const bool gained = gains != nullptr;
  for (int c = 0; c < channels; c++) {
    float* yr = st.yRe[c].get();
    float* yi = st.yIm[c].get();
    if (down == 1.0) {
      kernels.rotate(st.re[c].get(), st.im[c].get(), cr, ci, gains, yr, yi, half);
    } else {
      moveDown(c, st.re[c].get(), st.im[c].get(), formants, yr, yi);
      if (eqGains) {
        for (int k = 0; k < half; k++) {
          yr[k] *= eqGains[k];
          yi[k] *= eqGains[k];
        }
      }
    }
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

namespace {

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

}  // namespace

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
