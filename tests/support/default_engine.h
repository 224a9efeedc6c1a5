// For tests, the benchmark and the fuzz target: every unit call of the
// engine's own interface without its first argument, acting on the units of
// the process's default engine (the one NativeInterface drives), so that a
// test of one unit reads as a call of that unit.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine.h"
#include "eq.h"
#include "fft.h"
#include "fft_testing.h"
#include "fine.h"
#include "iirfilter.h"
#include "iirfilter_testing.h"
#include "pipeline.h"
#include "pipeline_testing.h"
#include "spectrum.h"
#include "spectrum_testing.h"
#include "vocoder.h"
#include "vocoder_testing.h"

namespace default_engine {
inline Engine& get() {
  return *engine_default();
}
}  // namespace default_engine

inline bool fft_init(int n) {
  return fft_init(*default_engine::get().fft, n);
}
inline void fft_process(float* b, int sign) {
  fft_process(*default_engine::get().fft, b, sign);
}
inline void fft_forward_real(const float* x, float* re, float* im) {
  fft_forward_real(*default_engine::get().fft, x, re, im);
}
inline void fft_forward_windowed(const float* x, const float* w, float* re, float* im) {
  fft_forward_windowed(*default_engine::get().fft, x, w, re, im);
}
inline void fft_inverse_half(const float* sr, const float* si, float* re, float* im) {
  fft_inverse_half(*default_engine::get().fft, sr, si, re, im);
}
inline FftTables fft_tables() {
  return fft_tables(*default_engine::get().fft);
}

inline bool eq_init(int n) {
  return eq_init(*default_engine::get().eq, n);
}
inline void eq_setbands(const float* b) {
  eq_setbands(*default_engine::get().eq, b);
}
inline void eq_enable(int on) {
  eq_enable(*default_engine::get().eq, on);
}
inline int eq_is_enabled() {
  return eq_is_enabled(*default_engine::get().eq);
}
inline int eq_band_count() {
  return eq_band_count(*default_engine::get().eq);
}
inline float eq_gain(int k) {
  return eq_gain(*default_engine::get().eq, k);
}
inline void eq_copy_gains(float* d, int n) {
  eq_copy_gains(*default_engine::get().eq, d, n);
}
inline unsigned eq_version() {
  return eq_version(*default_engine::get().eq);
}

inline void iir_init() {
  iir_init(*default_engine::get().iir);
}
inline IirResult iir_init_filters(const double* a, const double* b, int na, int nb) {
  return iir_init_filters(*default_engine::get().iir, a, b, na, nb);
}
inline double iir_step(int ch, double x) {
  return iir_step(*default_engine::get().iir, ch, x);
}
inline void iir_step_pair_block(const double* i0, const double* i1, double* o0, double* o1, int n) {
  iir_step_pair_block(*default_engine::get().iir, i0, i1, o0, o1, n);
}
inline bool iir_has_coefficients() {
  return iir_has_coefficients(*default_engine::get().iir);
}
inline const iirFilter& iir_filter(int ch) {
  return iir_filter(*default_engine::get().iir, ch);
}
inline void iir_hold_setup(bool held) {
  iir_hold_setup(*default_engine::get().iir, held);
}

// The analyser's switch, as the atomic it used to be.
struct SpectrumSwitch {
  void store(int v, std::memory_order = std::memory_order_seq_cst) {
    spectrum_enable(*default_engine::get().spectrum, v);
  }
  int load(std::memory_order = std::memory_order_seq_cst) const {
    return spectrum_is_enabled(*default_engine::get().spectrum);
  }
  SpectrumSwitch& operator=(int v) {
    store(v);
    return *this;
  }
  operator int() const { return load(); }
};
inline SpectrumSwitch spectrum_enabled;
inline bool spectrum_init(int rate, int ch) {
  return spectrum_init(*default_engine::get().spectrum, rate, ch);
}
inline void spectrum_push(const float* s, int n, int ch) {
  spectrum_push(*default_engine::get().spectrum, s, n, ch);
}
inline void spectrum_begin_batch() {
  spectrum_begin_batch(*default_engine::get().spectrum);
}
inline void spectrum_end_batch() {
  spectrum_end_batch(*default_engine::get().spectrum);
}
inline const std::atomic<float>* spectrum_get() {
  return spectrum_get(*default_engine::get().spectrum);
}
inline SpectrumInspect spectrum_inspect() {
  return spectrum_inspect(*default_engine::get().spectrum);
}
inline void spectrum_set_carried_count(int64_t c) {
  spectrum_set_carried_count(*default_engine::get().spectrum, c);
}
inline void spectrum_coefficients(int note, int p, float* c, float* s) {
  spectrum_coefficients(*default_engine::get().spectrum, note, p, c, s);
}

inline bool vocoder_init(int w, int s) {
  return vocoder_init(*default_engine::get().vocoder, w, s);
}
inline int vocoder_process(const float* in, int n, float* out, int hop, int ch) {
  return vocoder_process(*default_engine::get().vocoder, in, n, out, hop, ch);
}
inline int vocoder_frames_for(int n, int ch) {
  return vocoder_frames_for(*default_engine::get().vocoder, n, ch);
}
inline void vocoder_restart() {
  vocoder_restart(*default_engine::get().vocoder);
}
inline int vocoder_win_size() {
  return vocoder_win_size(*default_engine::get().vocoder);
}
inline int vocoder_step_in() {
  return vocoder_step_in(*default_engine::get().vocoder);
}
inline VocoderInspect vocoder_inspect() {
  return vocoder_inspect(*default_engine::get().vocoder);
}

inline bool fine_init(int n, int hop) {
  return fine_init(*default_engine::get().fine, n, hop);
}
inline bool fine_prepare(int n, int hop) {
  return fine_prepare(*default_engine::get().fine, n, hop);
}
inline void fine_commit() {
  fine_commit(*default_engine::get().fine);
}
inline void fine_feed(const float* l, const float* r, int n) {
  fine_feed(*default_engine::get().fine, l, r, n);
}
inline void fine_restart() {
  fine_restart(*default_engine::get().fine);
}
inline bool fine_process(const float* l, const float* r, int in, float* ol, float* orr, int out) {
  return fine_process(*default_engine::get().fine, l, r, in, ol, orr, out);
}

inline PipelineStatus pipeline_init(int f, int o, int r, int c) {
  return pipeline_init(*default_engine::get().pipeline, f, o, r, c);
}
inline PipelineStream pipeline_stream() {
  return pipeline_stream(*default_engine::get().pipeline);
}
inline PipelineStatus pipeline_check_block(int in, int out) {
  return pipeline_check_block(*default_engine::get().pipeline, in, out);
}
inline PipelineStatus pipeline_reserve(int in, int out) {
  return pipeline_reserve(*default_engine::get().pipeline, in, out);
}
inline int16_t* pipeline_pcm_buffer() {
  return pipeline_pcm_buffer(*default_engine::get().pipeline);
}
inline PipelineStatus pipeline_process(int16_t* s, int in, int out) {
  return pipeline_process(*default_engine::get().pipeline, s, in, out);
}
inline void pipeline_set_voice_removal(bool on) {
  pipeline_set_voice_removal(*default_engine::get().pipeline, on);
}
inline void pipeline_set_voice_removal_amount(float a) {
  pipeline_set_voice_removal_amount(*default_engine::get().pipeline, a);
}
inline void pipeline_set_preamp(float g) {
  pipeline_set_preamp(*default_engine::get().pipeline, g);
}
inline void pipeline_set_panning(int a, int m, int l) {
  pipeline_set_panning(*default_engine::get().pipeline, a, m, l);
}
inline void pipeline_set_quality_mode(int m) {
  pipeline_set_quality_mode(*default_engine::get().pipeline, m);
}
inline float pipeline_max_level() {
  return pipeline_max_level(*default_engine::get().pipeline);
}
inline size_t pipeline_input_capacity() {
  return pipeline_input_capacity(*default_engine::get().pipeline);
}
inline size_t pipeline_output_capacity() {
  return pipeline_output_capacity(*default_engine::get().pipeline);
}
inline int pipeline_quality_mode() {
  return pipeline_quality_mode(*default_engine::get().pipeline);
}
