// Test hooks of the block pipeline: for tests, the benchmark and the fuzz
// target only.
#pragma once

#include <cstddef>

#include "pipeline.h"

// Capacities of the work buffers in floats per channel (0 before the first
// block).
size_t pipeline_input_capacity(const PipelineState& s);
size_t pipeline_output_capacity(const PipelineState& s);
// The quality mode that the next block will take (0 exact, 1 fine).
int pipeline_quality_mode(const PipelineState& s);
