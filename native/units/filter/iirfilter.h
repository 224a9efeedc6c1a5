// Voice-removal filter pair: two direct-form IIR filters in double precision
// with circular histories, and the handshake that lets another thread replace
// their coefficients while samples pass through.
//
// Owns: per state (one per engine), the coefficient and history arrays of
// both records (heap) and the handshake's flags.
// Threads: iir_step, iir_step_pair_block and iir_has_coefficients run on the
// playback thread; iir_init_filters may run on any other thread (concurrent
// setters are serialised among themselves; the playback thread never waits
// for them).
// The flags are sequentially consistent atomics: no step touches a record
// while the setter swaps it.
// Audio path: iir_step and iir_step_pair_block allocate, lock and log nothing.
#pragma once

struct iirFilter {
  int n1;        // past inputs kept: sizeB - 1
  int n2;        // past outputs kept: sizeA - 1
  double* a;     // sizeA feedback coefficients, a[0] never read
  double* b;     // sizeB feed-forward coefficients
  double* buf1;  // circular input history
  double* buf2;  // circular output history
  int pos1;
  int pos2;
};

enum IirResult { IIR_OK = 0, IIR_INVALID_ARGUMENT = 1, IIR_OUT_OF_MEMORY = 2 };

struct IirState;

// A pair with empty records (null when memory is short); iir_destroy frees
// it and its records.
IirState* iir_create();
void iir_destroy(IirState* state);

// Part of the engine's set-up, and does nothing: the records start empty at
// creation, so coefficients handed over before the first set-up are kept.
void iir_init(IirState& state);

// Loads one record (coefficients copied, history cleared). On invalid
// arguments or allocation failure the record is left intact. No handshake:
// the caller must own the record.
IirResult iir_init_filter(iirFilter* filter, const double* ca, const double* cb, int sizeA, int sizeB);

// Loads both records under the handshake. Refuses sizes below 1 and null
// arrays; keeps the previous coefficients on any failure. The new arrays are
// built before the playback thread is held off, so it passes samples through
// only for the duration of two pointer swaps.
IirResult iir_init_filters(IirState& state, const double* ca, const double* cb, int sizeA, int sizeB);

// One sample through the filter of channel (0: left, else right). Returns
// the input unchanged while coefficients are being replaced or when none
// were ever loaded.
double iir_step(IirState& state, int channel, double inputValue);

// count samples through both filters, as iir_step(0, in0[i]) then
// iir_step(1, in1[i]) for i = 0, 1, ...: the same results and the same
// handshake for every sample, with the flags raised once for the block
// instead of around every sample.
void iir_step_pair_block(IirState& state, const double* in0, const double* in1, double* out0, double* out1,
                         int count);

// True once a coefficient set has been loaded: until then the block pipeline
// skips voice removal.
bool iir_has_coefficients(const IirState& state);
