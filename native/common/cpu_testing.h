// Test hooks of the instruction-set unit: for tests, the benchmark and the
// fuzz target only.
#pragma once

#include "cpu.h"

// The instruction set the processor has, before any cap.
CpuLevel cpu_detected_level();

// Caps the kernels at level (on top of TAMBRINO_CPU) and returns the level
// now in use. Like every set-up, never while a block is being processed.
CpuLevel cpu_cap_for_testing(CpuLevel level);
