// The instruction set for the engine's next steps, as the tests name it:
// vector false is the portable code, wide false AVX2 alone, and otherwise
// the widest vectors the processor has. Every unit follows the one cap of
// the instruction-set unit. Returns whether the AVX2 kernels are now in use.
#pragma once

#include "cpu_testing.h"

inline bool use_vector_path(bool vector, bool wide = true) {
  const CpuLevel cap = !vector ? CpuLevel::Portable : wide ? CpuLevel::Avx512 : CpuLevel::Avx2;
  return cpu_cap_for_testing(cap) >= CpuLevel::Avx2;
}
