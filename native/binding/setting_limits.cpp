// The limits of the engine's settings, and the voice filter's check.
#include "setting_limits.h"

#include <algorithm>
#include <cmath>
#include <vector>

bool setting_preamp_ok(float preamp) {
  return preamp >= 0.0f && preamp <= SETTING_MAX_PREAMP;  // false for NaN
}

bool setting_voice_amount_ok(float amount) {
  return std::isfinite(amount) && amount <= SETTING_MAX_VOICE_AMOUNT;
}

bool setting_panning_level_ok(int level) {
  return level >= 0 && level <= SETTING_MAX_PANNING_LEVEL;
}

bool setting_eq_gain_ok(float gain) {
  return gain >= 0.0f && gain <= SETTING_MAX_EQ_GAIN;
}

namespace {

// The last `order` values of a sequence, newest last, kept contiguous by
// writing each value twice, `order` apart.
class History {
 public:
  explicit History(int order) : order_(order), values_(2 * static_cast<size_t>(order), 0.0) {}
  // y[n − i], i = 1 … order.
  double ago(int i) const { return values_[static_cast<size_t>(next_ + order_ - i)]; }
  void push(double y) {
    if (order_ == 0) return;
    values_[static_cast<size_t>(next_)] = y;
    values_[static_cast<size_t>(next_ + order_)] = y;
    next_ = next_ + 1 == order_ ? 0 : next_ + 1;
  }
  double largest() const {
    double m = 0.0;
    for (int i = 1; i <= order_; i++) m = std::max(m, std::fabs(ago(i)));
    return m;
  }

 private:
  int order_;
  int next_ = 0;
  std::vector<double> values_;
};

// The gain of the filter, Σ|h|, from above, as the engine runs it (a[0] is
// never read). A test of the poles on the coefficients (the Schur–Cohn
// step-down) would be cheaper, but it misjudges the clustered poles of a
// low cut-off at a high rate, where the recursion itself settles; running
// the recursion is the measure of what the engine will do. h is the
// filter's impulse response, g that of 1/A alone. Once the numerator has
// ended, the tail of either follows y[n] = −Σ a[i]·y[n−i] from its last
// `order` values s, which is g convolved with a sequence of `order` values
// whose magnitudes add up to at most W·max|s|, W = Σ i·|a[i]|. So
// Σ|g| <= S_g + Σ|g|·W·max|s_g|, i.e. Σ|g| <= S_g / (1 − W·max|s_g|) once
// that factor is below 1, and the tail of h is at most Σ|g|·W·max|s_h|.
FilterVerdict gainOf(const double* a, const double* b, int sizeA, int sizeB) {
  const int order = sizeA - 1;
  double weight = 0.0;
  for (int i = 1; i <= order; i++) weight += i * std::fabs(a[i]);
  History g(order);
  History h(order);
  double sumG = 0.0;
  double sumH = 0.0;
  const long long end = static_cast<long long>(sizeB) + SETTING_FILTER_SETTLE;
  for (long long n = 0; n < end; n++) {
    double gn = n == 0 ? 1.0 : 0.0;
    double hn = n < sizeB ? b[n] : 0.0;
    const int taps = static_cast<int>(std::min<long long>(order, n));
    for (int i = 1; i <= taps; i++) {
      gn -= a[i] * g.ago(i);
      hn -= a[i] * h.ago(i);
    }
    g.push(gn);
    h.push(hn);
    sumG += std::fabs(gn);
    sumH += std::fabs(hn);
    if (!(sumH <= SETTING_MAX_FILTER_GAIN)) return {FilterCheck::TooLoud, 0, sumH};
    if (!std::isfinite(sumG)) break;  // 1/A beyond any double: it never settles
    // From sample n + 1 on both follow the recursion alone once the
    // numerator has ended; the bound is tried then and every 64 samples.
    if (n + 1 < sizeB || ((n + 1 - sizeB) & 63) != 0) continue;
    const double factor = weight * g.largest();
    if (!(factor <= 0.5)) continue;
    const double tail = sumG / (1.0 - factor) * weight * h.largest();
    // Done once the tail is negligible beside the sum, or beside anything
    // (a response that ends among the subnormal numbers rounds on there).
    if (tail <= 1e-6 * sumH || tail < 1e-300) {
      const double gain = sumH + tail;
      if (gain <= SETTING_MAX_FILTER_GAIN) return {FilterCheck::Ok, 0, gain};
      return {FilterCheck::TooLoud, 0, gain};
    }
  }
  return {FilterCheck::RingsTooLong, 0, sumH};
}

}  // namespace

FilterVerdict setting_check_filter(const double* a, const double* b, int sizeA, int sizeB) {
  for (int i = 0; i < sizeA; i++) {
    if (!std::isfinite(a[i])) return {FilterCheck::NotFinite, i, a[i]};
  }
  for (int i = 0; i < sizeB; i++) {
    if (!std::isfinite(b[i])) return {FilterCheck::NotFinite, sizeA + i, b[i]};
  }
  return gainOf(a, b, sizeA, sizeB);
}
