// Test hooks of the voice-removal filter pair: for tests, the benchmark and
// the fuzz target only.
#pragma once

#include "iirfilter.h"

// The record of a channel (0: left, else right), to be read
// while no setter runs, and a way to hold the set-up flag raised as a setter
// does while it swaps the records.
const iirFilter& iir_filter(const IirState& state, int channel);
void iir_hold_setup(IirState& state, bool held);
