// Band-limited resampler with a ratio that may change at every sample: reads
// a stream at a moving fractional position, so that a stream read that many
// times faster and stretched back to its duration plays every partial that
// many times higher.
//
// The filter is a Kaiser-windowed sinc whose cut-off follows the ratio: at
// ratios above 1 it is widened in time by the ratio, so that what would fold
// back above the new Nyquist frequency is removed before it can; at ratios up
// to 1 it is a plain interpolator. Its pass band reaches 0.40 of the sample
// rate, its stop band starts below half of it and rejects about 80 dB.
//
// Owns: per state, the input store of both channels (the stream from a little
// before the read position to what has been appended), the read position, the
// current and the target ratio, the filter table, the steady ratio's table
// of 256 fractional positions (rebuilt, without allocating, when the ratio
// settles on a new value) and the tap work space (heap, made by
// resampler_create; the store holds RESAMPLER_MAX_CHUNK output samples' worth
// of input at the highest ratio).
// Threads: one thread at a time (the fine mode's playback thread); nothing
// here is shared between states.
// Audio path: everything but resampler_create and resampler_destroy;
// allocates, locks and logs nothing.
#pragma once

struct ResamplerState;

constexpr double RESAMPLER_MIN_RATIO = 0.25;  // two octaves down
constexpr double RESAMPLER_MAX_RATIO = 4.0;   // two octaves up
// Most output samples per resampler_plan / resampler_render pair.
constexpr int RESAMPLER_MAX_CHUNK = 1024;
// Output samples over which the ratio moves to a new target: at least about
// a frame of the fine mode's stretch, and in proportion to the change beyond
// that (RESAMPLER_RAMP_OCTAVE for an octave, up or down), so that a frame of
// the stretch never holds a wide glide: a frame that holds two pitches
// beats, and a tone gliding an octave in 1024 samples came out 1.2 dB loud,
// its peaks 3.7 dB.
constexpr int RESAMPLER_RAMP_MIN = 4096;
constexpr int RESAMPLER_RAMP_OCTAVE = 24576;
// The length of a glide from one ratio to another, in output samples.
int resampler_ramp_length(double from, double to);

// A state with the ratio 1, an empty store and the read position at its
// start; null when memory is short.
ResamplerState* resampler_create();
void resampler_destroy(ResamplerState* state);

// Empties the store and puts the read position at its start; keeps the ratio
// and the target.
void resampler_reset(ResamplerState& state);

// The ratio to move to (clamped to the range above): with ramp, reached
// linearly over resampler_ramp_length output samples from the ratio of the moment;
// without, taken at once.
void resampler_set_target(ResamplerState& state, double ratio, bool ramp);
// The current (ramping) and the target ratio.
double resampler_ratio(const ResamplerState& state);
double resampler_target(const ResamplerState& state);

// Input samples to append (with resampler_input and resampler_commit) before
// count (1..RESAMPLER_MAX_CHUNK) output samples can be rendered.
int resampler_plan(const ResamplerState& state, int count);

// Where the next need samples of channel c (0, 1) go; resampler_commit then
// makes them part of the store (need as from resampler_plan, or fewer).
float* resampler_input(ResamplerState& state, int c);
void resampler_commit(ResamplerState& state, int appended);

// Appends count input samples of one or two channels (right null: one) to the
// store, as many as it has room for (always what RESAMPLER_MAX_CHUNK output
// samples read beyond the read position); returns how many.
int resampler_append(ResamplerState& state, const float* left, const float* right, int count);

// How many output samples could be rendered, from the read position on,
// once more input samples had been appended: a block of input gives this
// many output samples, and resampler_plan never asks a chunk of them for
// more than the block holds.
int resampler_ready(const ResamplerState& state, int more);

// Output samples still to go in the current ramp (0 at a steady ratio).
int resampler_ramp_left(const ResamplerState& state);

// How many input samples the newest sample that resampler_ready counts runs
// behind the input, on average, at a steady ratio: the filter's reach ahead.
double resampler_delay(double ratio);

// Renders count output samples of one or two channels (right null: one),
// advancing the read position and the ramp; the input they need must have
// been appended.
void resampler_render(ResamplerState& state, float* left, float* right, int count);

// While the stream passes by unchanged (ratio 1, no read yet), keeps its last
// samples so that a later resampler_render has history behind the position,
// and moves the position along with it.
void resampler_pass(ResamplerState& state, const float* left, const float* right, int count);

// Whether anything has been rendered since the last reset (until then the
// stream may pass by unchanged).
bool resampler_reading(const ResamplerState& state);

constexpr int RESAMPLER_MAX_TAPS = 224;  // taps of one output sample at most
