// Instruction sets: the one place that asks the processor what it has.
//
// Owns: the detected instruction set, the cap read from the environment
// variable TAMBRINO_CPU (avx512, avx2 or portable) when the library is
// loaded, and the cap that tests may set (cpu_testing.h). A cap only ever
// lowers the set in use; an unknown value of TAMBRINO_CPU is ignored.
// Every path gives the same bits: the caps exist so that a user can rule
// out a suspect path and a benchmark can compare the paths of one build.
// Threads: cpu_level may be called from any thread at any time; it reads
// one relaxed atomic.
// Audio path: cpu_level allocates, locks and logs nothing.
#pragma once

enum class CpuLevel : int {
  Portable = 0,  // plain C++ (the compiler's baseline x86-64 code)
  Avx2 = 1,      // AVX2 kernels
  Avx512 = 2,    // AVX-512 kernels (F, VL and DQ), with AVX2 for what they leave
};

// The instruction set that the kernels may use: the detected one, capped.
CpuLevel cpu_level();

// "avx512", "avx2" or "portable": the values TAMBRINO_CPU takes.
const char* cpu_level_name(CpuLevel level);

// The one spelling of each instruction set's target attribute. Neither
// enables FMA: every product and sum must round on its own.
#define TAMBRINO_AVX2 __attribute__((target("avx2")))
#define TAMBRINO_AVX512 __attribute__((target("avx2,avx512f,avx512vl,avx512dq")))
// Small vector helpers must melt into their callers: as calls, their arrays
// of vectors would live on the stack.
#define TAMBRINO_INLINE inline __attribute__((always_inline))
