// The fine mode's analysis: the input history, the onsets, where each frame
// is analysed on the time map, and its spectra.
#include <algorithm>
#include <cstring>

#include "fft.h"
#include "fine_state.h"

using namespace fine_internal;

namespace {

// floor(num / den + 1/2) for den > 0, also for negative num.
Pos roundDiv(Pos num, Pos den) {
  Pos twice = 2 * num + den;
  Pos q = twice / (2 * den);
  if (twice % (2 * den) != 0 && twice < 0) q--;
  return q;
}

}  // namespace

// ---------------------------------------------------------------------------
// Input history and onsets

void FineState::detectOnsets(const float* left, const float* right, int count) {
  for (int i = 0; i < count;) {
    const Pos p = st.head + i;
    const int run = static_cast<int>(std::min<Pos>(count - i, st.onsetBlock - p % st.onsetBlock));
    st.lastMean = kernels.onsets(left + i, right ? right + i : nullptr, run, p, st.lastMean, st.onsetEnergy,
                                 st.onsetLevel);
    i += run;
    const Pos end = st.head + i;
    if (end % st.onsetBlock != 0) continue;
    const double e = fine_sum16(st.onsetEnergy);
    const double level = fine_sum16(st.onsetLevel);
    std::fill_n(st.onsetEnergy, kFineLanes, 0.0f);
    std::fill_n(st.onsetLevel, kFineLanes, 0.0f);
    const Pos start = end - st.onsetBlock;
    const double loudest = *std::max_element(st.recent, st.recent + kOnsetMemory);
    // A low partial rises slowly within a sub-block, so an onset part-way
    // through one spreads its rise over two: the level is held against the
    // sub-blocks before the last.
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
      // The ring's first frame again past its end: every frame lies whole
      // in the ring, and the transform reads it there.
      if (at < st.n)
        std::memcpy(ring + st.ringSize + at, src + done, static_cast<size_t>(std::min(run, st.n - at)) * sizeof(float));
      done += run;
      at = (at + run) & st.ringMask;
    }
  }
  st.head += count;
}

// The input of channel c from start on, a frame of it: in the ring itself,
// or gathered into frame with zeros before the stream and for what the ring
// no longer holds.
const float* FineState::gather(int c, Pos start, float* frame) const {
  const Pos oldest = std::max<Pos>(0, st.head - st.ringSize);
  const float* ring = st.ring[c].get();
  if (start >= oldest) return ring + (start & st.ringMask);
  const int k = static_cast<int>(std::min<Pos>(oldest - start, st.n));
  std::fill_n(frame, k, 0.0f);
  if (k < st.n) std::memcpy(frame + k, ring + ((start + k) & st.ringMask), static_cast<size_t>(st.n - k) * sizeof(float));
  return frame;
}

// ---------------------------------------------------------------------------
// Time map and analysis positions

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
          st.lockWhole = frames <= fit;
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
    st.lockWhole = false;
  }
  return start;
}

// ---------------------------------------------------------------------------
// One frame

void FineState::forward(const float* frame, float* re, float* im) {
  if (exactTransformForTesting)
    fft_forward_windowed(*fft, frame, st.window.get(), re, im);
  else
    realfft_forward(*st.transform, frame, st.window.get(), re, im);
}

void FineState::analyse(int channels, Pos start) {
  for (int c = 0; c < channels; c++) {
    const float* frame = gather(c, start, st.frame.get());
    forward(frame, st.re[c].get(), st.im[c].get());
    // The transform keeps the bins below Nyquist; the Nyquist bin (real)
    // holds what high-hats and noise put there.
    st.nyquist[c] = st.n >= 8 ? kernels.nyquist(frame, st.window.get(), st.n) : 0.0f;
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
    forward(gather(c, start - nearStep(), st.frame.get()), st.nearRe[c].get(), st.nearIm[c].get());
  }
}

bool FineState::measuresNear(Pos analysisHop) const {
  return analysisHop > st.n / 2;
}
