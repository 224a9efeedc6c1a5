// The fine mode's transposition. Up: the resampler reads the input the
// pitch ratio faster and the stretch runs at the tempo divided by the ratio.
// Down: the stretch runs at the tempo and each frame's peak regions are
// moved down in the spectrum (spectral_shift), an attack's noise in wide
// bands and a step's splash with its partial. Either way the formants can be
// moved back to where they were.
//
// Owns (in FineState, fine_state.h): the resampler and its output, the
// ratio asked for and the ratio of each frame (down, and the marks of the
// resampler's ramps), the spectral moves' table and each frame's plan of
// moves; in the record, the per-region moves and attack rotations, the bands'
// work space and the formants' envelope and gains.
// Threads: the playback thread (fine_process); fine_set_pitch and
// fine_set_formants (fine.cpp) set the ratio and the formants between
// blocks.
// Audio path: allocates, locks and logs nothing.
#pragma once

namespace fine_internal {

// An attack's region moved down whose peak is this many bins wide at -6 dB
// or more is noise rather than a partial: a Hann window's partial spans 2-3
// bins, and a note's start, short in the window, 5 to 9 (moved as noise, in
// a band, it came in a few hertz off its pitch and beat against the frames
// after: a chord's start rose 1.9 dB at -5); a drum's few milliseconds of
// noise spread over 13 and more.
constexpr int kBroadBins = 10;
// A broad region whose peak stands this far above the peaks of the regions
// beside it (20 dB) is one partial's start among its own side lobes, however
// short in the window, rather than noise.
constexpr float kLoneRise = 100.0f;
// An attack's noise moved down goes in bands of two octaves (at most this
// many).
constexpr int kMaxBands = 16;
// Regions moved down by whole bins go in spans of this many bins, those
// past the region's end weighted 0: no branch on a region's length, which
// follows no pattern. The frame's work space and the moved spectrum hold
// this many bins more.
constexpr int kMoveSpan = 8;
// At an attack moved down, a rising region whose peak is this far under a
// rising neighbour's (30 dB) is taken as that partial's splash.
constexpr float kSplashUnder = 1e-3f;
// A partial with its splash is timed by its step when the unit phase slopes
// of its pairs of bins agree this well (the length of their mean): a step
// gives 0.996 and more, a partial that fades in or is joined by noise less.
constexpr double kStepAgreement = 0.99;
constexpr float kFaintRegion = 1e-2f;  // a region's peak power against the loudest
// The formants kept: a partial stands over 16 times the frame's median power
// and within 100 dB of its loudest; the gains stay within 24 dB either way.
constexpr float kFormantNoise = 16.0f;
constexpr float kFormantRange = 1e-10f;
constexpr float kFormantLimit = 16.0f;

}  // namespace fine_internal
