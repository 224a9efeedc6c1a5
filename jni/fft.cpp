#include "fft.h"

#include <cmath>

namespace {

constexpr int kMaxStages = 12;  // 2^12 = FFT_MAX_SIZE
constexpr int kRow = 4096;      // floats per twiddle row
constexpr double kPi = 3.141592653589793;

// The tables are sized for the largest frame so that neither set-up nor a
// transform ever allocates.
int doubleFrameSize;
int bitSwapPos[4096];
int bitSwapLen;
long logFrame;
float pur[kMaxStages * kRow];
float pui[kMaxStages * kRow];
float pur_inv[kMaxStages * kRow];
float pui_inv[kMaxStages * kRow];

bool isPowerOfTwo(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

// Running products rather than fresh sines: the transform's results are
// defined by these exact roundings.
void walkTwiddles(float* re, float* im, int row, int le2, float wr, float wi) {
  float ur = 1.0f;
  float ui = 0.0f;
  for (int j = 0; j < le2; j += 2) {
    re[row + j] = ur;
    im[row + j] = ui;
    float tr = ur * wr - ui * wi;
    ui = ur * wi + ui * wr;
    ur = tr;
  }
}

}  // namespace

bool fft_init(int fftFrameSize) {
  if (!isPowerOfTwo(fftFrameSize) || fftFrameSize > FFT_MAX_SIZE) return false;
  const int n2 = 2 * fftFrameSize;
  doubleFrameSize = n2;

  int pos = 0;
  for (int i = 2; i < n2 - 2; i += 2) {
    int j = 0;
    for (int bitm = 2; bitm < n2; bitm <<= 1) {
      if ((i & bitm) != 0) j++;
      j <<= 1;
    }
    if (i < j) {
      bitSwapPos[pos] = i;
      bitSwapPos[pos + 1] = j;
      pos += 2;
    }
  }
  bitSwapLen = pos;

  logFrame = static_cast<long>(std::log(static_cast<double>(fftFrameSize)) / 0.6931471805599453 + 0.5);

  for (long k = 0; k < logFrame; k++) {
    const int le = 1 << (k + 2);
    const int le2 = le >> 1;
    const float arg = static_cast<float>(kPi / (le2 >> 1));
    const float wr = std::cos(arg);
    const float wi = std::sin(arg);
    const int row = static_cast<int>(k) * kRow;
    walkTwiddles(pur, pui, row, le2, wr, wi);
    walkTwiddles(pur_inv, pui_inv, row, le2, wr, -wi);
  }
  return true;
}

void fft_process(float* fftBuffer, int sign, int /*channel*/) {
  for (int s = 0; s < bitSwapLen; s += 2) {
    const int i = bitSwapPos[s];
    const int j = bitSwapPos[s + 1];
    float t = fftBuffer[i];
    fftBuffer[i] = fftBuffer[j];
    fftBuffer[j] = t;
    t = fftBuffer[i + 1];
    fftBuffer[i + 1] = fftBuffer[j + 1];
    fftBuffer[j + 1] = t;
  }

  const float* tabR = sign == 1 ? pur : pur_inv;
  const float* tabI = sign == 1 ? pui : pui_inv;
  const int n2 = doubleFrameSize;
  for (long k = 0; k < logFrame; k++) {
    const int le = 1 << (k + 2);
    const int le2 = le >> 1;
    const int row = static_cast<int>(k) * kRow;
    for (int j = 0; j < le2; j += 2) {
      const float ur = tabR[row + j];
      const float ui = tabI[row + j];
      for (int i = j; i < n2; i += le) {
        float* p1 = fftBuffer + i;
        float* p2 = fftBuffer + i + le2;
        const float tr = p2[0] * ur - p2[1] * ui;
        const float ti = p2[0] * ui + p2[1] * ur;
        p2[0] = p1[0] - tr;
        p2[1] = p1[1] - ti;
        p1[0] = p1[0] + tr;
        p1[1] = p1[1] + ti;
      }
    }
  }
}

FftTables fft_tables() {
  return {bitSwapPos, bitSwapLen, logFrame, pur, pui, pur_inv, pui_inv};
}
