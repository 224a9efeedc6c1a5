// Block pipeline: turns one block of 16-bit PCM, in place, into its
// stretched, panned or folded, voice-removed, preamplified and limited
// result, and sets the engine up for a stream.
//
// Owns: per state (one per engine), the engine's settings (relaxed atomics),
// the stream configuration of the last successful pipeline_init, the peak
// level of the last block, and the work buffers: four of floats and one of
// 16-bit frames (heap, made by the first block, grown only by a block larger
// than any before, freed with the state). It drives, and never owns, its
// engine's units.
// Threads: pipeline_reserve and pipeline_process run on the playback thread,
// never on two threads at once and never overlapping pipeline_init; the
// setters and pollers may run on any other thread at any time. Nothing takes
// a lock.
// Audio path: once the work buffers are large enough, pipeline_process
// allocates, locks and logs nothing. Every call that returns a status other
// than Ok has changed nothing.
#pragma once

#include <cstddef>
#include <cstdint>

// The analyser decimates the stream by 4 and analyses every 1/8 of the
// decimated rate: below 32 Hz it would have no analysis interval at all.
constexpr int PIPELINE_MIN_SAMPLE_RATE = 32;
constexpr int PIPELINE_MIN_FRAME_SIZE = 8;
constexpr int PIPELINE_MAX_FRAME_SIZE = 4096;

// Slopes of the soft limiter above 0.95 of full scale.
constexpr float PIPELINE_MONO_LIMITER_SLOPE = 0.25f;
constexpr float PIPELINE_STEREO_LIMITER_SLOPE = 0.125f;

struct EqState;
struct FineState;
struct IirState;
struct PipelineState;
struct SpectrumState;
struct VocoderState;

enum class PipelineStatus {
  Ok,
  NotSetUp,         // no successful pipeline_init yet
  BadFrameSize,     // not a power of two in PIPELINE_MIN_FRAME_SIZE..MAX
  BadOverSampling,  // not in 1..frameSize
  BadSampleRate,    // below PIPELINE_MIN_SAMPLE_RATE
  BadChannels,      // not 1 or 2
  BadSamplesIn,     // below 1
  BadSynthesisHop,  // exact mode: see pipeline_synthesis_hop
  BadAnalysisHop,   // fine mode: see pipeline_analysis_hop
  OutOfMemory,      // a buffer could not be allocated
};

// The units of one engine that a pipeline drives; they must outlive it.
struct PipelineUnits {
  EqState* eq;
  IirState* iir;
  SpectrumState* spectrum;
  VocoderState* vocoder;
  FineState* fine;
};

// A pipeline with no stream set up and the settings at their defaults (null
// when memory is short); pipeline_destroy frees it and its buffers.
PipelineState* pipeline_create(const PipelineUnits& units);
void pipeline_destroy(PipelineState* state);

// Sets the engine up for a stream: the equaliser (first time only), the
// vocoder, the filter pair and the analyser. Checks the arguments in the
// order above, and allocates everything before it sets anything up, so that
// a failure leaves the stream that is playing exactly as it was.
PipelineStatus pipeline_init(PipelineState& s, int frameSize, int overSampling, int sampleRate, int channels);

// The stream of the last successful pipeline_init (all 0 before it).
struct PipelineStream {
  int frameSize;
  int overSampling;
  int sampleRate;
  int channels;
};
PipelineStream pipeline_stream(const PipelineState& s);

// The synthesis hop of a block of samplesIn frames in and samplesOut out,
// for the analysis hop stepIn: stepIn times samplesOut / samplesIn, in single
// precision. The block's vocoder hop is its truncation; a block with
// samplesOut > 0 needs 1 <= hop < frameSize + 1.
float pipeline_synthesis_hop(int stepIn, int samplesIn, int samplesOut);

// The fine mode's analysis hop for such a block: stepIn (its fixed synthesis
// hop) times samplesIn / samplesOut, in double precision. A block with
// samplesOut > 0 needs 1 <= hop <= frameSize.
double pipeline_analysis_hop(int stepIn, int samplesIn, int samplesOut);

// Whether a block may run on the stream set up in the current quality mode:
// NotSetUp, BadSamplesIn, then BadSynthesisHop (exact) or BadAnalysisHop
// (fine), else Ok. A samplesOut of 0 or less asks for no output.
PipelineStatus pipeline_check_block(const PipelineState& s, int samplesIn, int samplesOut);

// Makes the work buffers large enough for the block (a checked one), or
// returns OutOfMemory and leaves them as they were. Sizing for the most a
// block of this size can ever fire means that a run of equal blocks grows
// them at most once.
PipelineStatus pipeline_reserve(PipelineState& s, int samplesIn, int samplesOut);

// The work buffer of 16-bit frames, room for a reserved block in both
// directions (max(samplesIn, samplesOut) frames of two channels); null
// before the first reserve.
int16_t* pipeline_pcm_buffer(PipelineState& s);

// Runs one block in place: samples holds samplesIn frames (interleaved left,
// right in stereo) and room for max(samplesIn, samplesOut); on return its
// first samplesOut frames are the result, and the rest is as it was. Checks
// and reserves as above first.
PipelineStatus pipeline_process(PipelineState& s, int16_t* samples, int samplesIn, int samplesOut);

// The settings, taken by the next block.
void pipeline_set_voice_removal(PipelineState& s, bool enabled);
void pipeline_set_voice_removal_amount(PipelineState& s, float amount);
void pipeline_set_preamp(PipelineState& s, float preamp);
void pipeline_set_panning(PipelineState& s, int panningActive, int monoActive, int panningLevel);
// 0: exact; 1: fine (the caller checks the value).
void pipeline_set_quality_mode(PipelineState& s, int mode);
// Transposition in semitones (the caller checks PIPELINE_MAX_PITCH_SHIFT and
// finiteness); the fine mode plays it, the exact mode ignores it.
constexpr float PIPELINE_MAX_PITCH_SHIFT = 24.0f;
void pipeline_set_pitch_shift(PipelineState& s, float semitones);
float pipeline_pitch_shift(const PipelineState& s);
// Whether a transposition keeps the formants (the fine mode's next block).
void pipeline_set_formants(PipelineState& s, bool keep);
// 2^(semitones / 12), exactly 1 at 0.
double pipeline_pitch_ratio(float semitones);

// The largest level of the last block before the limiter (0 when it wrote
// nothing back).
float pipeline_max_level(const PipelineState& s);

// The block's steps on caller-given arrays, for checks of each step alone.
//
// Gains of the stereo image for a panning level (50: each output keeps its own
// input, 0: both carry the right input, 100: both carry the left input).
struct PipelinePanGains {
  float leftLevelLeft;    // left input into the left output
  float leftLevelRight;   // right input into the left output
  float rightLevelLeft;   // left input into the right output
  float rightLevelRight;  // right input into the right output
};
PipelinePanGains pipeline_panning_gains(int panningLevel);

// Converts count samples of one channel's vocoder output to 16-bit PCM at
// dest[0], dest[stride], ...: divided by overlapScaling, times gain, softly
// limited above 0.95 with the given slope, clamped to -32767..32767 and
// truncated (a NaN writes 0). Returns the larger of maxLevel and the largest
// level before the limiter.
float pipeline_convert_output(const float* out, int count, float overlapScaling, float gain, float slope,
                              int16_t* dest, int stride, float maxLevel);

// The fine mode's conversion of count samples already at full scale: times
// gain, then above 0.95 of full scale the level bends smoothly towards full
// scale, which it approaches and does not reach: level 0.95 + u becomes
// 1 - 0.05 / (1 + u / 0.05), whose slope is 1 at the bend (1.0 becomes
// 0.975, 2.0 0.9976, 64 0.99996). A sample reaches 32767 only from levels
// above 80,000; the sign is kept, a NaN writes 0. Returns the larger of
// maxLevel and the largest level before the limiter. A stereo block (right
// not null) goes into interleaved frames as pipeline_convert_output_pair's.
float pipeline_convert_output_soft(const float* left, const float* right, int count, float gain, int16_t* dest,
                                   float maxLevel);

// pipeline_convert_output of both channels of a stereo block into interleaved
// frames: left into dest[0], dest[2], ..., right into dest[1], dest[3], ....
float pipeline_convert_output_pair(const float* left, const float* right, int count, float overlapScaling,
                                   float gain, float slope, int16_t* dest, float maxLevel);
