// Unaligned loads and stores of GCC vector types, shared by the kernels
// written once over a vector type (realfft_steps.h, fine_steps.h). They have
// internal linkage and always melt into their caller, whose target
// attribute decides the instructions: no copy built for one instruction set
// can stand in for another's.
#pragma once

#include <cstring>

#include "cpu.h"

namespace {
namespace vector_access {

template <typename V>
TAMBRINO_INLINE V load(const float* p) {
  V v;
  std::memcpy(&v, p, sizeof(V));
  return v;
}

template <typename V>
TAMBRINO_INLINE void store(float* p, V v) {
  std::memcpy(p, &v, sizeof(V));
}

}  // namespace vector_access
}  // namespace
