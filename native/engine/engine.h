// The engine object: one stream's complete state (transform, vocoder, fine
// mode, filter pair, equaliser, analyser, block pipeline with its settings,
// buffers and peak), so that any number of streams run side by side in one
// process.
//
// Owns: its units' states (heap, made by engine_create and freed by
// engine_destroy); nothing it owns is shared with another engine. What stays
// process-wide is read-only once built: the instruction-set choice (cpu.h),
// the transform's twiddles, the analyser's window and its note tables per
// sample rate (shared by the engines at that rate, freed with the last).
// Threads: engine_create and engine_destroy may run on any thread, never
// while another call uses the same engine. Per engine, the units' contract
// holds: one thread streams, any thread sets and polls. Different engines
// may be used on different threads at once with no synchronisation at all.
// Audio path: nothing here runs on it; the pipeline's calls on an engine's
// units allocate, lock and log nothing.
#pragma once

struct EqState;
struct FftState;
struct FineState;
struct IirState;
struct PipelineState;
struct SpectrumState;
struct VocoderState;

struct Engine {
  FftState* fft;
  EqState* eq;
  SpectrumState* spectrum;
  IirState* iir;
  VocoderState* vocoder;
  FineState* fine;
  PipelineState* pipeline;
};

// A new engine, not set up, its settings at their defaults; null when memory
// is short (nothing is left allocated then).
Engine* engine_create();

// Frees the engine and everything it owns; null is ignored.
void engine_destroy(Engine* engine);

// The process's default engine, on which NativeInterface acts: made by the
// first call (thread-safe) and never freed, as a playback thread may still
// be inside it when the process ends. Null only if that first making found
// memory short; a later call tries again.
Engine* engine_default();

// Engines made and not yet destroyed, the default engine included once made.
long engine_count();
