// The spectral equaliser: its per-bin gain table and switch.
#include "eq.h"

#include <algorithm>
#include <atomic>
#include <new>

namespace {

// The table is published once and never freed or replaced, so a reader that
// has seen it may keep using it without any further synchronisation.
std::atomic<std::atomic<float>*> eqBands{nullptr};
std::atomic<int> nBands{0};
std::atomic<int> eqActive{0};
std::atomic<bool> initialized{false};
// Advanced after every change to the table, so readers can keep a copy.
std::atomic<unsigned> version{0};

}  // namespace

bool eq_init(int pNBands) {
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

void eq_setbands(const float* bands) {
  const int count = nBands.load(std::memory_order_acquire);
  std::atomic<float>* table = eqBands.load(std::memory_order_acquire);
  if (bands == nullptr || table == nullptr) return;
  for (int k = 0; k < count; k++) table[k].store(bands[k], std::memory_order_relaxed);
  version.fetch_add(1, std::memory_order_release);
}

void eq_enable(int enabled) {
  eqActive.store(enabled, std::memory_order_relaxed);
}

int eq_is_enabled() {
  return eqActive.load(std::memory_order_relaxed) != 0 ? 1 : 0;
}

int eq_band_count() {
  return nBands.load(std::memory_order_acquire);
}

float eq_gain(int k) {
  if (k < 0 || k >= nBands.load(std::memory_order_acquire)) return 1.0f;
  return eqBands.load(std::memory_order_acquire)[k].load(std::memory_order_relaxed);
}

void eq_copy_gains(float* dst, int count) {
  const int n = nBands.load(std::memory_order_acquire);
  const std::atomic<float>* table = eqBands.load(std::memory_order_acquire);
  const int inTable = table != nullptr ? std::max(0, std::min(count, n)) : 0;
  for (int k = 0; k < inTable; k++) dst[k] = table[k].load(std::memory_order_relaxed);
  for (int k = inTable; k < count; k++) dst[k] = 1.0f;
}

unsigned eq_version() {
  return version.load(std::memory_order_acquire);
}
