// Test-only access to the note spectrum analyser; not part of the engine's
// interface.
#pragma once

#include <cstdint>

// Sets the carried count (clamped to 0 .. the saturation limit), so that a
// test can start runs from the same count; spectrum_init keeps it.
void spectrum_set_carried_count(int64_t count);
