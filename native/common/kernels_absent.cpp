// The x86 kernels' stand-ins on other processors: cpu_level reports the
// portable code there, so none of these is ever called. A kernel added to a
// <unit>_kernels.h needs its line here too (the aarch64 and Windows builds'
// link names any that is missing).
#include <cstdint>
#include <cstdlib>

#include "fft_kernels.h"
#include "fine_kernels.h"
#include "pipeline_kernels.h"
#include "realfft_kernels.h"
#include "resampler_kernels.h"
#include "spectrum_kernels.h"
#include "vocoder_kernels.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace {
[[noreturn]] void unavailable() { std::abort(); }
}  // namespace

namespace fft_avx2 {
int forward_real(const FftState& s, const float* x, const float* window, float* re, float* im) { unavailable(); }
int inverse_half(const FftState& s, const float* specRe, const float* specIm, float* re, float* im) { unavailable(); }
}  // namespace fft_avx2

namespace fft_avx512 {
int forward_real(const FftState& s, const float* x, const float* window, float* re, float* im) { unavailable(); }
int inverse_half(const FftState& s, const float* specRe, const float* specIm, float* re, float* im) { unavailable(); }
}  // namespace fft_avx512

namespace spectrum_avx2 {
int correlate(const float (*minusSinTable)[SPECTRUM_NOTES], const float (*cosTable)[SPECTRUM_NOTES], const float (*buffers)[SPECTRUM_HISTORY], int count, float (*sinParts)[SPECTRUM_NOTES], float (*cosParts)[SPECTRUM_NOTES]) { unavailable(); }
int apply_window(const float* history, const double* window, float* buffer) { unavailable(); }
}  // namespace spectrum_avx2

namespace spectrum_avx512 {
int correlate(const float (*minusSinTable)[SPECTRUM_NOTES], const float (*cosTable)[SPECTRUM_NOTES], const float (*buffers)[SPECTRUM_HISTORY], int count, float (*sinParts)[SPECTRUM_NOTES], float (*cosParts)[SPECTRUM_NOTES]) { unavailable(); }
int apply_window(const float* history, const double* window, float* buffer) { unavailable(); }
}  // namespace spectrum_avx512

namespace vocoder_avx2 {
int analyze_bins(const float* re, const float* im, float* mag, float* phi, int count) { unavailable(); }
int synthesize_bins(const float* mag, const float* gains, const float* psi, float* re, float* im, int count) { unavailable(); }
int rotate_bins(const float* phi, const float* rot, float* psi, int count) { unavailable(); }
int peak_rotations(const float* phi, const float* phi0, const float* psi, const float* omega, const int* peaks, int nPeaks, float stretchFactor, const float* packed, int stride, float* rotation) { unavailable(); }
int peak_masks(const float* mag, int from, int until, uint8_t* masks) { unavailable(); }
int valley(const float* mag, int lo, int hi) { unavailable(); }
void fill_regions(const float* peakRotation, const int* valleys, int nPeaks, float* rotation) { unavailable(); }
int overlap_add(float* wave, const float* real, const float* windowOut, int size) { unavailable(); }
}  // namespace vocoder_avx2

namespace vocoder_avx512 {
int analyze_bins(const float* re, const float* im, float* mag, float* phi, int count) { unavailable(); }
int synthesize_bins(const float* mag, const float* gains, const float* psi, float* re, float* im, int count) { unavailable(); }
int rotate_bins(const float* phi, const float* rot, float* psi, int count) { unavailable(); }
int peak_rotations(const float* phi, const float* phi0, const float* psi, const float* omega, const int* peaks, int nPeaks, float stretchFactor, const float* packed, int stride, float* rotation) { unavailable(); }
int collect_peaks(const float* mag, int from, int until, int* peaks, int& count, const vocoder_internal::PeakInputs& in) { unavailable(); }
int valley(const float* mag, int lo, int hi) { unavailable(); }
int overlap_add(float* wave, const float* real, const float* windowOut, int size) { unavailable(); }
}  // namespace vocoder_avx512

namespace pipeline_avx2 {
int convert_output(const float* out, int count, float overlapScaling, float gain, float slope, int16_t* dest, int stride, float& maxLevel) { unavailable(); }
int convert_output_pair(const float* left, const float* right, int count, float overlapScaling, float gain, float slope, int16_t* dest, float& maxLevel) { unavailable(); }
int panned_frames(const int16_t* frames, int count, const pipeline_internal::StereoImage& s, float scale, float* left, float* right) { unavailable(); }
int remove_voice(const double* from, const double* y, double amount, float* out, int count) { unavailable(); }
int widen(const float* in, double* out, int count) { unavailable(); }
}  // namespace pipeline_avx2

namespace fine_avx2 {
int power(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n) { unavailable(); }
int rotate(const float* xr, const float* xi, const float* cr, const float* ci, const float* g, float* yr, float* yi, int n) { unavailable(); }
int overlapAdd(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq, int n) { unavailable(); }
int add(float* acc, const float* w, int n) { unavailable(); }
int finish(float* a, float* b, float* pa, float* pb, float* w, float* s, int n, int chunk, float* outSums, float* carriedSums) { unavailable(); }
int ramp(float* a, float* b, const float* from, const float* step, int n, int chunk) { unavailable(); }
int nyquist(const float* x, const float* w, int n, float* lanes) { unavailable(); }
int atan2(const float* y, const float* x, float* out, int n) { unavailable(); }
int sincos(const float* angle, float* sine, float* cosine, int n) { unavailable(); }
int onsets(const float* left, const float* right, int n, float last, float* energy, float* level) { unavailable(); }
int softPcm(const float* left, const float* right, int n, float gain, int16_t* dest, float& maxLevel) { unavailable(); }
}  // namespace fine_avx2

namespace fine_avx512 {
int power(const float* lr, const float* li, const float* rr, const float* ri, float* p, int n) { unavailable(); }
int rotate(const float* xr, const float* xi, const float* cr, const float* ci, const float* g, float* yr, float* yi, int n) { unavailable(); }
int overlapAdd(float* acc, float* pacc, const float* x, float h, const float* w, const float* wq, int n) { unavailable(); }
int add(float* acc, const float* w, int n) { unavailable(); }
int ramp(float* a, float* b, const float* from, const float* step, int n, int chunk) { unavailable(); }
int sincos(const float* angle, float* sine, float* cosine, int n) { unavailable(); }
int onsets(const float* left, const float* right, int n, float last, float* energy, float* level) { unavailable(); }
int softPcm(const float* left, const float* right, int n, float gain, int16_t* dest, float& maxLevel) { unavailable(); }
}  // namespace fine_avx512

namespace resampler_avx2 {
void steady_sample(const float* w0, const float* d, float a, const float* xl, const float* xr, int n, float& left, float& right) { unavailable(); }
}  // namespace resampler_avx2

namespace realfft_avx2 {
int forward(RealFftState& s, const float* x, const float* window, float* re, float* im, int bins) { unavailable(); }
int inverse(RealFftState& s, const float* specRe, const float* specIm, float* out) { unavailable(); }
}  // namespace realfft_avx2

namespace realfft_avx512 {
int forward(RealFftState& s, const float* x, const float* window, float* re, float* im, int bins) { unavailable(); }
int inverse(RealFftState& s, const float* specRe, const float* specIm, float* out) { unavailable(); }
}  // namespace realfft_avx512
