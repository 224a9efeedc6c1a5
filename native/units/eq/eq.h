// Spectral equaliser: one linear gain per FFT bin and an on/off switch.
//
// Owns: per state (one per engine), the gain table (heap, made by the
// state's first successful eq_init and kept until eq_destroy).
// Threads: eq_setbands and eq_enable run on the user-interface thread while
// the audio thread reads gains and the switch once per frame. Every element is
// a relaxed atomic, so a frame may mix old and new gains but never reads a
// torn or racy value.
// Audio path: eq_gain, eq_copy_gains and eq_is_enabled allocate, lock and log
// nothing.
#pragma once

struct EqState;

// A state with no table and the switch off (null when memory is short);
// eq_destroy frees it and its table.
EqState* eq_create();
void eq_destroy(EqState* state);

// First successful call on a state only: makes a table of pNBands gains, all
// 1.0. Later calls change nothing. Returns false if the table could not be
// allocated (nothing changes then; a later call tries again).
bool eq_init(EqState& state, int pNBands);

// Copies eq_band_count() gains from bands, in index order.
void eq_setbands(EqState& state, const float* bands);

void eq_enable(EqState& state, int enabled);
int eq_is_enabled(const EqState& state);

// Number of gains in the table (0 before eq_init).
int eq_band_count(const EqState& state);

// Gain of bin k; 1.0 for any bin outside the table, so a frame larger than
// the first one never reads past it.
float eq_gain(const EqState& state, int k);

// The gains of bins 0 .. count-1 into dst, as eq_gain gives them one by one
// (1.0 for bins outside the table): one call per frame instead of one per bin.
void eq_copy_gains(const EqState& state, float* dst, int count);

// Changes whenever the gains may have changed: read it before eq_copy_gains,
// and a copy made under an unchanged version is still current. A copy made
// while the gains were being set is followed by a new version once they are.
unsigned eq_version(const EqState& state);
