// The band-limited variable-ratio resampler: windowed-sinc table, store, ramp.
#include "resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int kZeros = 24;       // zero crossings of the sinc on each side
constexpr int kSteps = 256;      // table points per zero crossing
constexpr double kBeta = 8.0;    // Kaiser window: about 80 dB of stop band
constexpr double kCutoff = 0.9;  // of the Nyquist frequency, at ratios up to 1
constexpr double kPi = 3.141592653589793;

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

  // Moves one output sample on: the ramp, then the position by the new ratio.
  void advance(double& p, double& r, int& left) const {
    if (left > 0) {
      r = --left == 0 ? target : r + step;
    }
    p += r;
  }
  int weightsAt(double p, double r, long& first, float* w) const;
  void compact();
};

ResamplerState* resampler_create() {
  std::unique_ptr<ResamplerState> s(new (std::nothrow) ResamplerState());
  if (!s) return nullptr;
  const int points = kZeros * kSteps + 2;
  s->table.reset(new (std::nothrow) float[points]);
  for (auto& st : s->store) st.reset(new (std::nothrow) float[kStore]());
  if (!s->table || !s->store[0] || !s->store[1]) return nullptr;
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
  s.step = (ratio - s.ratio) / RESAMPLER_RAMP;
  s.rampLeft = RESAMPLER_RAMP;
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

int resampler_weights(const ResamplerState& s, double pos, double ratio, long& first, float* weights) {
  return s.weightsAt(pos, std::clamp(ratio, RESAMPLER_MIN_RATIO, RESAMPLER_MAX_RATIO), first, weights);
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
  for (int k = 0; k < count; k++) {
    long first = 0;
    const int n = s.weightsAt(s.pos, s.ratio, first, s.weights);
    // Taps beyond what was appended (a caller short of input) read silence.
    const int usable = static_cast<int>(std::clamp<long>(s.fill - first, 0, n));
    left[k] = dot(inL + first, s.weights, usable);
    if (right) right[k] = dot(inR + first, s.weights, usable);
    s.advance(s.pos, s.ratio, s.rampLeft);
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
