// The band-limited variable-ratio resampler: windowed-sinc table, store, ramp.
#include "resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "cpu.h"
#include "resampler_kernels.h"

namespace {

constexpr int kZeros = 24;       // zero crossings of the sinc on each side
constexpr int kSteps = 256;      // table points per zero crossing
constexpr double kBeta = 8.0;    // Kaiser window: about 80 dB of stop band
constexpr double kCutoff = 0.9;  // of the Nyquist frequency, at ratios up to 1
constexpr double kPi = 3.141592653589793;
// At a steady ratio the kernel is read from a table of this many fractional
// positions, two neighbouring rows interpolated.
constexpr int kPhases = 256;

// Taps reach at most this far from the read position (at the highest ratio).
constexpr int kReach = static_cast<int>(kZeros * RESAMPLER_MAX_RATIO / kCutoff) + 2;
static_assert(2 * kReach + 2 <= RESAMPLER_MAX_TAPS, "tap work space too small");
// History kept behind the read position, and the store: that plus the
// input of the largest chunk at the highest ratio with its reach ahead.
constexpr int kKeep = kReach + 2;
constexpr int kStore = kKeep + static_cast<int>(RESAMPLER_MAX_CHUNK * RESAMPLER_MAX_RATIO) + kReach + 8;

double besselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 64; k++) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

// Cut-off (in units of the Nyquist frequency) at a ratio: the new Nyquist
// frequency when reading faster, so that nothing folds back.
double cutoffAt(double ratio) {
  return kCutoff * std::min(1.0, 1.0 / ratio);
}

}  // namespace

struct ResamplerState {
  std::unique_ptr<float[]> table;  // sinc times window at u = k / kSteps, u in 0..kZeros
  std::unique_ptr<float[]> store[2];
  int fill = 0;        // samples in the store
  double pos = 0.0;    // read position in the store
  double ratio = 1.0;  // current
  double target = 1.0;
  double step = 0.0;   // ratio change per output sample while ramping
  int rampLeft = 0;
  bool reading = false;
  float weights[RESAMPLER_MAX_TAPS];
  // The steady ratio's kernel: kPhases + 1 rows of phaseTaps weights for the
  // fractional positions 0, 1/kPhases, ..., 1, built for phaseCutoff.
  std::unique_ptr<float[]> phases;
  // kPhases rows: each row's step to the next (the difference a sample's
  // interpolation would take, taken once here).
  std::unique_ptr<float[]> steps;
  double phaseCutoff = -1.0;
  int phaseTaps = 0;
  int phaseHalf = 0;

  // Moves one output sample on: the ramp, then the position by the new ratio.
  void advance(double& p, double& r, int& left) const {
    if (left > 0) {
      r = --left == 0 ? target : r + step;
    }
    p += r;
  }
  int weightsAt(double p, double r, long& first, float* w) const;
  void buildPhases(double c);
  void compact();
};

ResamplerState* resampler_create() {
  std::unique_ptr<ResamplerState> s(new (std::nothrow) ResamplerState());
  if (!s) return nullptr;
  const int points = kZeros * kSteps + 2;
  s->table.reset(new (std::nothrow) float[points]);
  for (auto& st : s->store) st.reset(new (std::nothrow) float[kStore]());
  s->phases.reset(new (std::nothrow) float[static_cast<size_t>(kPhases + 1) * RESAMPLER_MAX_TAPS]());
  s->steps.reset(new (std::nothrow) float[static_cast<size_t>(kPhases) * RESAMPLER_MAX_TAPS]());
  if (!s->table || !s->store[0] || !s->store[1] || !s->phases || !s->steps) return nullptr;
  const double norm = besselI0(kBeta);
  for (int k = 0; k < points; k++) {
    const double u = static_cast<double>(k) / kSteps;
    const double sinc = k == 0 ? 1.0 : std::sin(kPi * u) / (kPi * u);
    const double x = u / kZeros;
    const double window = x >= 1.0 ? 0.0 : besselI0(kBeta * std::sqrt(1.0 - x * x)) / norm;
    s->table[k] = static_cast<float>(sinc * window);
  }
  resampler_reset(*s);
  return s.release();
}

void resampler_destroy(ResamplerState* state) {
  delete state;
}

void resampler_reset(ResamplerState& s) {
  // Silence behind the start, so that the first reads have history.
  for (auto& st : s.store) std::fill_n(st.get(), kKeep, 0.0f);
  s.fill = kKeep;
  s.pos = kKeep;
  s.reading = false;
}

void resampler_set_target(ResamplerState& s, double ratio, bool ramp) {
  ratio = std::clamp(ratio, RESAMPLER_MIN_RATIO, RESAMPLER_MAX_RATIO);
  if (!ramp) {
    s.ratio = s.target = ratio;
    s.rampLeft = 0;
    return;
  }
  if (ratio == s.target) return;
  s.target = ratio;
  s.rampLeft = resampler_ramp_length(s.ratio, ratio);
  s.step = (ratio - s.ratio) / s.rampLeft;
}

int resampler_ramp_length(double from, double to) {
  // The larger ratio over the smaller, less one: 1 for an octave either way.
  const double spread = std::max(from, to) / std::min(from, to) - 1.0;
  return std::max(RESAMPLER_RAMP_MIN, static_cast<int>(std::ceil(spread * RESAMPLER_RAMP_OCTAVE)));
}

double resampler_ratio(const ResamplerState& s) {
  return s.ratio;
}

double resampler_target(const ResamplerState& s) {
  return s.target;
}

bool resampler_reading(const ResamplerState& s) {
  return s.reading;
}

int resampler_plan(const ResamplerState& s, int count) {
  double p = s.pos, r = s.ratio, highest = s.ratio;
  int left = s.rampLeft;
  for (int k = 1; k < count; k++) {
    s.advance(p, r, left);
    highest = std::max(highest, r);
  }
  const double reach = kZeros / cutoffAt(highest);
  const long last = static_cast<long>(std::floor(p + reach)) + 1;
  return static_cast<int>(std::max<long>(0, last + 1 - s.fill));
}

// The same reach as resampler_plan's, over the highest ratio up to each
// sample, so that a chunk's plan (over its own samples only) stays within it.
int resampler_ready(const ResamplerState& s, int more) {
  const long available = static_cast<long>(s.fill) + std::max(0, more);
  double p = s.pos, r = s.ratio, highest = s.ratio;
  double reach = kZeros / cutoffAt(highest);
  int left = s.rampLeft;
  int count = 0;
  while (static_cast<long>(std::floor(p + reach)) + 2 <= available) {
    count++;
    s.advance(p, r, left);
    if (r > highest) {
      highest = r;
      reach = kZeros / cutoffAt(highest);
    }
  }
  return count;
}

int resampler_ramp_left(const ResamplerState& s) {
  return s.rampLeft;
}

// The newest sample k counted stands at k x ratio with its reach below the
// input's end less one: on average reach + 1 + ratio / 2 behind it.
double resampler_delay(double ratio) {
  ratio = std::clamp(ratio, RESAMPLER_MIN_RATIO, RESAMPLER_MAX_RATIO);
  return kZeros / cutoffAt(ratio) + 1.0 + ratio / 2.0;
}

int resampler_append(ResamplerState& s, const float* left, const float* right, int count) {
  if (count <= 0) return 0;
  if (s.fill + count > kStore) s.compact();
  const int take = std::min(count, kStore - s.fill);
  std::memcpy(s.store[0].get() + s.fill, left, static_cast<size_t>(take) * sizeof(float));
  if (right) std::memcpy(s.store[1].get() + s.fill, right, static_cast<size_t>(take) * sizeof(float));
  s.fill += take;
  return take;
}

float* resampler_input(ResamplerState& s, int c) {
  return s.store[c].get() + s.fill;
}

void resampler_commit(ResamplerState& s, int appended) {
  s.fill = std::min(kStore, s.fill + std::max(0, appended));
}

// Weights of the taps around p at ratio r, normalised to a sum of 1 so that
// the table's interpolation leaves no ripple on the level.
int ResamplerState::weightsAt(double p, double r, long& first, float* w) const {
  const double c = cutoffAt(r);
  const double reach = kZeros / c;
  first = static_cast<long>(std::floor(p - reach)) + 1;
  const long last = static_cast<long>(std::floor(p + reach));
  const int count = static_cast<int>(last - first + 1);
  const float* t = table.get();
  double sum = 0.0;
  for (int j = 0; j < count; j++) {
    const double u = std::fabs((static_cast<double>(first + j) - p) * c) * kSteps;
    const int k = std::min(static_cast<int>(u), kZeros * kSteps);
    const double f = u - k;
    const double v = t[k] + (t[k + 1] - t[k]) * f;
    w[j] = static_cast<float>(v);
    sum += v;
  }
  const float scale = static_cast<float>(1.0 / sum);
  for (int j = 0; j < count; j++) w[j] *= scale;
  return count;
}

// Tap j of a row stands at first + j = floor(p) - (half - 1) + j, for the
// fractional position of the row; the weights outside the kernel's reach are
// zero, and each row is normalised like weightsAt's.
void ResamplerState::buildPhases(double c) {
  phaseCutoff = c;
  phaseHalf = static_cast<int>(std::ceil(kZeros / c));
  phaseTaps = 2 * phaseHalf;
  const float* t = table.get();
  for (int row = 0; row <= kPhases; row++) {
    const double frac = static_cast<double>(row) / kPhases;
    float* w = phases.get() + static_cast<size_t>(row) * RESAMPLER_MAX_TAPS;
    double sum = 0.0;
    for (int j = 0; j < phaseTaps; j++) {
      const double u = std::fabs((j - (phaseHalf - 1) - frac) * c) * kSteps;
      double v = 0.0;
      if (u < kZeros * kSteps) {
        const int k = static_cast<int>(u);
        v = t[k] + (t[k + 1] - t[k]) * (u - k);
      }
      w[j] = static_cast<float>(v);
      sum += v;
    }
    const float scale = static_cast<float>(1.0 / sum);
    for (int j = 0; j < phaseTaps; j++) w[j] *= scale;
  }
  for (int row = 0; row < kPhases; row++) {
    const float* w0 = phases.get() + static_cast<size_t>(row) * RESAMPLER_MAX_TAPS;
    float* d = steps.get() + static_cast<size_t>(row) * RESAMPLER_MAX_TAPS;
    for (int j = 0; j < phaseTaps; j++) d[j] = w0[RESAMPLER_MAX_TAPS + j] - w0[j];
  }
}


namespace {

// Eight partial sums, so that the loop runs in vector lanes without
// reassociating a single sum.
float dot(const float* x, const float* w, int n) {
  float part[8] = {};
  int j = 0;
  for (; j + 8 <= n; j += 8)
    for (int l = 0; l < 8; l++) part[l] += x[j + l] * w[j + l];
  float sum = ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
  for (; j < n; j++) sum += x[j] * w[j];
  return sum;
}

// One output sample at a steady ratio: the weights between two rows of the
// table (a row plus a times its step to the next), times the taps of one or two channels, in sixteen lanes (two vectors
// of eight that alternate, so that a sample's additions overlap), the last
// eight filled with zeros, reduced pairwise; the vector kernel does the same
// operations in the same order.
void steadySample(const float* w0, const float* d, float a, const float* xl, const float* xr, int n, float& left,
                  float& right) {
  if (cpu_level() >= CpuLevel::Avx2) {
    resampler_avx2::steady_sample(w0, d, a, xl, xr, n, left, right);
    return;
  }
  float lanesL[16] = {}, lanesR[16] = {};
  for (int j = 0; j < n; j += 8) {
    float* sumL = lanesL + (j / 8) % 2 * 8;
    float* sumR = lanesR + (j / 8) % 2 * 8;
    for (int l = 0; l < 8; l++) {
      const bool in = j + l < n;
      const float w = in ? w0[j + l] + a * d[j + l] : 0.0f + a * 0.0f;
      sumL[l] += (in ? xl[j + l] : 0.0f) * w;
      if (xr) sumR[l] += (in ? xr[j + l] : 0.0f) * w;
    }
  }
  auto reduce = [](const float* p) {
    float s[8];
    for (int l = 0; l < 8; l++) s[l] = p[l] + p[8 + l];
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
  };
  left = reduce(lanesL);
  right = reduce(lanesR);
}

}  // namespace

// Drops what lies more than the reach behind the read position.
void ResamplerState::compact() {
  const long drop = static_cast<long>(std::floor(pos)) - kKeep;
  if (drop <= 0) return;
  const int kept = fill - static_cast<int>(drop);
  for (auto& st : store) std::memmove(st.get(), st.get() + drop, static_cast<size_t>(std::max(0, kept)) * sizeof(float));
  fill = std::max(0, kept);
  pos -= static_cast<double>(drop);
}

void resampler_render(ResamplerState& s, float* left, float* right, int count) {
  s.reading = true;
  const float* inL = s.store[0].get();
  const float* inR = s.store[1].get();
  int k = 0;
  // While the ratio ramps, each tap is read from the sinc table.
  for (; k < count && s.rampLeft > 0; k++) {
    long first = 0;
    const int n = s.weightsAt(s.pos, s.ratio, first, s.weights);
    // Taps beyond what was appended (a caller short of input) read silence.
    const int usable = static_cast<int>(std::clamp<long>(s.fill - first, 0, n));
    left[k] = dot(inL + first, s.weights, usable);
    if (right) right[k] = dot(inR + first, s.weights, usable);
    s.advance(s.pos, s.ratio, s.rampLeft);
  }
  if (k < count) {
    // Steady from here on: the weights from the table's two rows around the
    // position.
    const double c = cutoffAt(s.ratio);
    if (c != s.phaseCutoff) s.buildPhases(c);
    for (; k < count; k++) {
      const double whole = std::floor(s.pos);
      const double x = (s.pos - whole) * kPhases;
      const int row = std::min(static_cast<int>(x), kPhases - 1);
      const float a = static_cast<float>(x - row);
      const float* w0 = s.phases.get() + static_cast<size_t>(row) * RESAMPLER_MAX_TAPS;
      const float* d = s.steps.get() + static_cast<size_t>(row) * RESAMPLER_MAX_TAPS;
      const long first = static_cast<long>(whole) - (s.phaseHalf - 1);
      const int usable = static_cast<int>(std::clamp<long>(s.fill - first, 0, s.phaseTaps));
      float l = 0.0f, r = 0.0f;
      steadySample(w0, d, a, inL + first, right ? inR + first : nullptr, usable, l, r);
      left[k] = l;
      if (right) right[k] = r;
      s.pos += s.ratio;
    }
  }
  s.compact();
}

void resampler_pass(ResamplerState& s, const float* left, const float* right, int count) {
  if (s.reading || count <= 0) return;
  const int take = std::min(count, kKeep);
  if (s.fill + take > kStore) s.compact();
  for (int c = 0; c < 2; c++) {
    const float* src = c == 0 ? left : (right ? right : left);
    std::memcpy(s.store[c].get() + s.fill, src + (count - take), static_cast<size_t>(take) * sizeof(float));
  }
  s.fill += take;
  s.pos = s.fill;
  s.compact();
}
