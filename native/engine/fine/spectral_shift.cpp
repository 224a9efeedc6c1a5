// Fractional moves of spectral regions: the fitted taps and the move.
#include "spectral_shift.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr int kFirstTap = -(SHIFT_TAPS / 2 - 1);  // taps at kFirstTap .. kFirstTap + SHIFT_TAPS - 1 bins

double sinc(double a) {
  return a == 0.0 ? 1.0 : std::sin(M_PI * a) / (M_PI * a);
}

// The squared Hann window's Fourier integral at a (bins) over the frame:
// w^2 = 3/8 + cos(2 pi u) / 2 + cos(4 pi u) / 8 for u in [-1/2, 1/2].
double hannSquared(double a) {
  return 0.375 * sinc(a) + 0.25 * (sinc(a - 1) + sinc(a + 1)) + 0.0625 * (sinc(a - 2) + sinc(a + 2));
}

}  // namespace

// Least squares under the squared window: sum_d c_d e^{i 2 pi d u} against
// e^{i 2 pi f u}; the Gram matrix is the window's Fourier series (Toeplitz,
// real), the right-hand side its integral at f - d.
void spectral_shift_build(SpectralShiftTable& table) {
  constexpr int m = SHIFT_TAPS;
  for (int s = 0; s <= SHIFT_STEPS; s++) {
    const double f = static_cast<double>(s) / SHIFT_STEPS;
    double a[m][m + 1];
    for (int i = 0; i < m; i++) {
      for (int j = 0; j < m; j++) a[i][j] = hannSquared(i - j);
      a[i][m] = hannSquared(f - (i + kFirstTap));
    }
    for (int i = 0; i < m; i++) {
      int pivot = i;
      for (int r = i + 1; r < m; r++)
        if (std::fabs(a[r][i]) > std::fabs(a[pivot][i])) pivot = r;
      for (int j = 0; j <= m; j++) std::swap(a[i][j], a[pivot][j]);
      for (int r = 0; r < m; r++) {
        if (r == i) continue;
        const double q = a[r][i] / a[i][i];
        for (int j = i; j <= m; j++) a[r][j] -= q * a[i][j];
      }
    }
    for (int i = 0; i < m; i++) table.taps[s][i] = static_cast<float>(a[i][m] / a[i][i]);
  }
}

// In the frame's centred terms (bin k times (-1)^k) the move is
// Y[k + whole + d] += c_d X[k]; back in the first sample's terms each tap
// takes the sign (-1)^(whole + d).
void spectral_shift_add(const SpectralShiftTable& table, const float* xr, const float* xi, int from, int to,
                        double by, float* yr, float* yi, int half) {
  const double floorBy = std::floor(by);
  int whole = static_cast<int>(floorBy);
  int step = static_cast<int>((by - floorBy) * SHIFT_STEPS + 0.5);
  if (step == SHIFT_STEPS) {
    step = 0;
    whole++;
  }
  if (step == 0) {
    // A whole number of bins: one tap (1, or -1 for an odd move), over the
    // bins whose target lies inside.
    const float sign = (whole & 1) != 0 ? -table.taps[0][-kFirstTap] : table.taps[0][-kFirstTap];
    const int lo = std::max(from, -whole), hi = std::min(to, half - whole);
    for (int k = lo; k < hi; k++) {
      yr[k + whole] += sign * xr[k];
      yi[k + whole] += sign * xi[k];
    }
    return;
  }
  float c[SHIFT_TAPS];
  for (int d = 0; d < SHIFT_TAPS; d++) {
    const bool odd = ((whole + d + kFirstTap) & 1) != 0;
    c[d] = odd ? -table.taps[step][d] : table.taps[step][d];
  }
  if (to - from < 4 * SHIFT_TAPS) {
    // A short region: target by target, each summing the taps that reach
    // it (adding the taps' spans bin by bin would reload what the last bin
    // has just stored, at a stall each).
    const int base = whole + kFirstTap;  // target of bin k under tap d: k + base + d
    const int lo = std::max(0, from + base), hi = std::min(half, to - 1 + base + SHIFT_TAPS);
    for (int j = lo; j < hi; j++) {
      const int dLo = std::max(0, j - base - (to - 1)), dHi = std::min(SHIFT_TAPS - 1, j - base - from);
      float sr = 0.0f, si = 0.0f;
      for (int d = dLo; d <= dHi; d++) {
        sr += c[d] * xr[j - base - d];
        si += c[d] * xi[j - base - d];
      }
      yr[j] += sr;
      yi[j] += si;
    }
    return;
  }
  // One pass over the region per tap (bins k whose target j = k + offset
  // lies inside): streams that the compiler turns into vector operations.
  for (int d = 0; d < SHIFT_TAPS; d++) {
    const int offset = whole + kFirstTap + d;
    const int lo = std::max(from, -offset), hi = std::min(to, half - offset);
    const float cd = c[d];
    float* pr = yr + offset;
    float* pi = yi + offset;
    for (int k = lo; k < hi; k++) {
      pr[k] += cd * xr[k];
      pi[k] += cd * xi[k];
    }
  }
}
