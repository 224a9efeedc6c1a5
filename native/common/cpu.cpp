// The instruction-set unit: which kernels this processor runs, chosen once.
#include "cpu.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "cpu_testing.h"

namespace {

CpuLevel detect() {
#if !defined(__x86_64__)
  return CpuLevel::Portable;  // the vector kernels are x86's; elsewhere the portable code runs
#else
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) return CpuLevel::Portable;
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512dq"))
    return CpuLevel::Avx512;
  return CpuLevel::Avx2;
#endif
}

CpuLevel lower(CpuLevel a, CpuLevel b) {
  return static_cast<int>(a) < static_cast<int>(b) ? a : b;
}

// Until the library's initialisers have run, nothing but the portable code.
std::atomic<int> detected{static_cast<int>(CpuLevel::Portable)};
std::atomic<int> environmentCap{static_cast<int>(CpuLevel::Avx512)};
std::atomic<int> testCap{static_cast<int>(CpuLevel::Avx512)};
std::atomic<int> current{static_cast<int>(CpuLevel::Portable)};

void update() {
  const CpuLevel level = lower(static_cast<CpuLevel>(detected.load(std::memory_order_relaxed)),
                               lower(static_cast<CpuLevel>(environmentCap.load(std::memory_order_relaxed)),
                                     static_cast<CpuLevel>(testCap.load(std::memory_order_relaxed))));
  current.store(static_cast<int>(level), std::memory_order_relaxed);
}

// Read once, when the library is loaded: a path never changes under a
// running stream because of the environment.
struct ReadAtLoad {
  ReadAtLoad() {
    detected.store(static_cast<int>(detect()), std::memory_order_relaxed);
    const char* value = std::getenv("TAMBRINO_CPU");
    if (value != nullptr) {
      for (CpuLevel level : {CpuLevel::Portable, CpuLevel::Avx2, CpuLevel::Avx512}) {
        if (std::strcmp(value, cpu_level_name(level)) == 0)
          environmentCap.store(static_cast<int>(level), std::memory_order_relaxed);
      }
    }
    update();
  }
} readAtLoad;

}  // namespace

CpuLevel cpu_level() {
  return static_cast<CpuLevel>(current.load(std::memory_order_relaxed));
}

const char* cpu_level_name(CpuLevel level) {
  switch (level) {
    case CpuLevel::Avx512:
      return "avx512";
    case CpuLevel::Avx2:
      return "avx2";
    case CpuLevel::Portable:
      break;
  }
  return "portable";
}

CpuLevel cpu_detected_level() {
  return static_cast<CpuLevel>(detected.load(std::memory_order_relaxed));
}

CpuLevel cpu_cap_for_testing(CpuLevel level) {
  testCap.store(static_cast<int>(level), std::memory_order_relaxed);
  update();
  return cpu_level();
}
