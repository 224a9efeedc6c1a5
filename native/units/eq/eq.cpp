// The spectral equaliser: its per-bin gain table and switch.
#include "eq.h"

#include <algorithm>
#include <atomic>
#include <new>

struct EqState {
  bool init(int pNBands);
  void setbands(const float* bands);
  void enable(int enabled);
  int isEnabled() const;
  int bandCount() const;
  float gain(int k) const;
  void copyGains(float* dst, int count) const;
  ~EqState() { delete[] eqBands.load(); }

  // The table is published once and freed only with the state, so a reader
  // that has seen it may keep using it without any further synchronisation.
  std::atomic<std::atomic<float>*> eqBands{nullptr};
  std::atomic<int> nBands{0};
  std::atomic<int> eqActive{0};
  std::atomic<bool> initialized{false};
  // Advanced after every change to the table, so readers can keep a copy.
  std::atomic<unsigned> version{0};
};

EqState* eq_create() {
  return new (std::nothrow) EqState();
}

void eq_destroy(EqState* state) {
  delete state;
}

bool eq_init(EqState& state, int pNBands) {
  return state.init(pNBands);
}

bool EqState::init(int pNBands) {
  if (initialized.load()) return true;
  const int count = pNBands > 0 ? pNBands : 0;
  std::atomic<float>* table = nullptr;
  if (count > 0) {
    table = new (std::nothrow) std::atomic<float>[count];
    if (table == nullptr) return false;
    for (int k = 0; k < count; k++) table[k].store(1.0f, std::memory_order_relaxed);
  }
  eqBands.store(table, std::memory_order_release);
  nBands.store(count, std::memory_order_release);
  initialized.store(true);
  version.fetch_add(1, std::memory_order_release);
  return true;
}

void eq_setbands(EqState& state, const float* bands) {
  state.setbands(bands);
}

void EqState::setbands(const float* bands) {
  const int count = nBands.load(std::memory_order_acquire);
  std::atomic<float>* table = eqBands.load(std::memory_order_acquire);
  if (bands == nullptr || table == nullptr) return;
  for (int k = 0; k < count; k++) table[k].store(bands[k], std::memory_order_relaxed);
  version.fetch_add(1, std::memory_order_release);
}

void eq_enable(EqState& state, int enabled) {
  state.enable(enabled);
}

void EqState::enable(int enabled) {
  eqActive.store(enabled, std::memory_order_relaxed);
}

int eq_is_enabled(const EqState& state) {
  return state.isEnabled();
}

int EqState::isEnabled() const {
  return eqActive.load(std::memory_order_relaxed) != 0 ? 1 : 0;
}

int eq_band_count(const EqState& state) {
  return state.bandCount();
}

int EqState::bandCount() const {
  return nBands.load(std::memory_order_acquire);
}

float eq_gain(const EqState& state, int k) {
  return state.gain(k);
}

float EqState::gain(int k) const {
  if (k < 0 || k >= nBands.load(std::memory_order_acquire)) return 1.0f;
  return eqBands.load(std::memory_order_acquire)[k].load(std::memory_order_relaxed);
}

void eq_copy_gains(const EqState& state, float* dst, int count) {
  state.copyGains(dst, count);
}

void EqState::copyGains(float* dst, int count) const {
  const int n = nBands.load(std::memory_order_acquire);
  const std::atomic<float>* table = eqBands.load(std::memory_order_acquire);
  const int inTable = table != nullptr ? std::max(0, std::min(count, n)) : 0;
  for (int k = 0; k < inTable; k++) dst[k] = table[k].load(std::memory_order_relaxed);
  for (int k = inTable; k < count; k++) dst[k] = 1.0f;
}

unsigned eq_version(const EqState& state) {
  return state.version.load(std::memory_order_acquire);
}
