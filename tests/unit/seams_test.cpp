// Seams in the engine's output: a sound starting after silence and ending
// before it, and every setting a musician changes while the music plays
// (tempo, key, formants, voice removal, mono), read from the output's own
// samples with quality::seamReading, on a steady tone, a chord, pink noise
// and a short piece of music, in both quality modes, at tempos 0.5, 1 and 2
// and (in the fine mode) transposed by 0, −12, −2, +5 and +12 semitones.
// The seams a player makes around the engine (loop, seek, pause, trainer
// pass, quality switch) are read by the JVM's SeamsTest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <cstdio>
#include <string>
#include <vector>

#include "../support/audio_measures.h"
#include "../support/seam_check.h"
#include "../support/test_material.h"
#include "engine.h"
#include "fine.h"
#include "iirfilter.h"
#include "pipeline.h"
#include "resampler.h"
#include "spectrum.h"

namespace {

constexpr int kRate = 44100;
constexpr int kBlock = 4096;  // the tool's and the players' input block

enum class Mode { Exact, Fine };

struct Signal {
  const char* name;
  quality::Stereo sound;
  // Noise, music and the chord: a seam's reading then depends on what the
  // windows happen to hold (the chord's partials beat, so a window's level
  // swings by up to 3 dB with where a beat falls, and a setting switched
  // mid-stream moves the beats), so each seam is read in five places (five
  // noises for a start or an end) and the middle figure of each measure
  // counts.
  std::vector<quality::Stereo> others;
};

// A setting that changes at an input frame (rounded down to a block).
struct Change {
  enum What { Tempo, Shift, Formants, Voice, Mono } what;
  double value;
};

struct Case {
  Mode mode = Mode::Fine;
  double tempo = 1.0;
  float shift = 0.0f;
  bool formants = false;
  bool voice = false;
  bool mono = false;
};

struct Rendered : quality::Stereo {
  double seamAt = 0;  // the output frame where the input frame of the change is heard
};

// The input frame of a mid-stream change: a block boundary near the middle.
constexpr long kChangeAt = 16 * kBlock;  // 1.49 s

// The voice-removal pair for a cut-off, as the Java side designs it: a
// fourth-order Butterworth low-pass (bilinear, pre-warped) and the
// difference of its denominator and numerator.
void voiceFilter(double cutoffHz, std::vector<double>& a, std::vector<double>& b) {
  const int order = 4;
  const double k = std::tan(M_PI * cutoffHz / kRate);
  std::vector<std::complex<double>> den(order + 1);
  den[0] = 1.0;
  for (int p = 0; p < order; p++) {
    const double theta = M_PI * (2 * p + order + 1) / (2.0 * order);
    const std::complex<double> s(k * std::cos(theta), k * std::sin(theta));
    const std::complex<double> z = (1.0 + s) / (1.0 - s);
    for (int i = p + 1; i >= 1; i--) den[i] -= den[i - 1] * z;
  }
  a.assign(order + 1, 0.0);
  b.assign(order + 1, 0.0);
  double sumA = 0, sumB = 0, binomial = 1;
  for (int i = 0; i <= order; i++) {
    a[i] = den[i].real();
    b[i] = binomial;
    binomial = binomial * (order - i) / (i + 1);
    sumA += a[i];
    sumB += b[i];
  }
  for (int i = 0; i <= order; i++) b[i] = a[i] - b[i] * sumA / sumB;
}

void apply(Engine& e, Change::What what, double value, double& tempo) {
  PipelineState& p = *e.pipeline;
  switch (what) {
    case Change::Tempo:
      tempo = value;
      break;
    case Change::Shift:
      pipeline_set_pitch_shift(p, static_cast<float>(value));
      break;
    case Change::Formants:
      pipeline_set_formants(p, value != 0);
      break;
    case Change::Voice:
      if (value != 0) {
        // Fresh filters, as the session hands over when removal comes on.
        std::vector<double> a, b;
        voiceFilter(150.0, a, b);
        iir_init_filters(*e.iir, a.data(), b.data(), static_cast<int>(a.size()), static_cast<int>(b.size()));
        pipeline_set_voice_removal_amount(p, 1.0f);
      }
      pipeline_set_voice_removal(p, value != 0);
      break;
    case Change::Mono:
      pipeline_set_panning(p, value != 0 ? 1 : 0, value != 0 ? 1 : 0, 50);
      break;
  }
}

// Streams the sound through an engine of its own as a session does: blocks
// of kBlock input frames, the fine mode's output by cumulative rounding,
// the start-up delay of the first block dropped and silence fed after the
// end, so that output frame j is heard for input frame j × tempo. The
// change, if any, comes at the block that holds input frame `changeAt`.
Rendered render(const quality::Stereo& in, const Case& s, const Change* change = nullptr, long changeAt = kChangeAt) {
  const bool fine = s.mode == Mode::Fine;
  const int frameSize = fine ? 4096 : 2048, overSampling = fine ? 8 : 4;
  const int stepIn = frameSize / overSampling;
  Engine* e = engine_create();
  EXPECT_NE(e, nullptr);
  PipelineState& p = *e->pipeline;
  EXPECT_EQ(pipeline_init(p, frameSize, overSampling, kRate, 2), PipelineStatus::Ok);
  spectrum_enable(*e->spectrum, 0);
  pipeline_set_quality_mode(p, fine ? 1 : 0);
  double tempo = s.tempo;
  pipeline_set_pitch_shift(p, s.shift);
  pipeline_set_formants(p, s.formants);
  if (s.voice) apply(*e, Change::Voice, 1, tempo);
  if (s.mono) apply(*e, Change::Mono, 1, tempo);
  auto exactHop = [&](double t) { return std::lround(stepIn / t); };
  const long latency =
      fine ? fine_latency_shifted(frameSize, s.tempo, pipeline_pitch_ratio(s.shift))
           : std::lround(frameSize / 2.0 + static_cast<double>(exactHop(s.tempo)) * (frameSize / 2 - stepIn) / stepIn);
  const long frames = static_cast<long>(in.left.size());
  const long changeBlock = changeAt / kBlock * kBlock;
  Rendered r;
  std::vector<int16_t> pcm;
  std::vector<float> raw[2];
  double aligned = 0, target = 0;
  long totalOut = 0, alignedEnd = -1;
  for (long at = 0; alignedEnd < 0 || totalOut < alignedEnd + latency; at += kBlock) {
    if (at == changeBlock) {
      if (change) apply(*e, change->what, change->value, tempo);
      r.seamAt = aligned;
    }
    long out;
    if (fine) {
      target += kBlock / tempo;
      out = std::lround(target) - totalOut;
      out = std::clamp<long>(out, (static_cast<long>(kBlock) * stepIn + frameSize - 1) / frameSize,
                             static_cast<long>(kBlock) * stepIn);
    } else {
      out = kBlock / stepIn * exactHop(tempo);
    }
    pcm.assign(static_cast<size_t>(std::max<long>(kBlock, out)) * 2, 0);
    for (long i = 0; i < kBlock && at + i < frames; i++) {
      pcm[static_cast<size_t>(2 * i)] = static_cast<int16_t>(std::clamp(std::nearbyint(in.left[at + i] * 32768.0), -32767.0, 32767.0));
      pcm[static_cast<size_t>(2 * i + 1)] = static_cast<int16_t>(std::clamp(std::nearbyint(in.right[at + i] * 32768.0), -32767.0, 32767.0));
    }
    EXPECT_EQ(pipeline_process(p, pcm.data(), kBlock, static_cast<int>(out)), PipelineStatus::Ok);
    for (long i = 0; i < out; i++)
      for (int c = 0; c < 2; c++) raw[c].push_back(pcm[static_cast<size_t>(2 * i + c)] / 32767.0f);
    totalOut += out;
    const long real = std::clamp<long>(frames - at, 0, kBlock);
    aligned += fine ? real / tempo : static_cast<double>(real) * exactHop(tempo) / stepIn;
    if (real < kBlock && alignedEnd < 0) alignedEnd = std::lround(aligned);
  }
  engine_destroy(e);
  r.left.assign(raw[0].begin() + latency, raw[0].begin() + latency + alignedEnd);
  r.right.assign(raw[1].begin() + latency, raw[1].begin() + latency + alignedEnd);
  return r;
}

// The output frame of a rendering at steady settings where input frame
// `frame` (a block boundary) is heard.
double alignedAt(const Case& s, long frame) {
  if (s.mode == Mode::Fine) return static_cast<double>(frame) / s.tempo;
  return static_cast<double>(frame) * std::lround(512 / s.tempo) / 512;
}

const std::vector<Signal>& signals() {
  static const std::vector<Signal> all = [] {
    std::vector<Signal> v;
    const std::vector<quality::Stereo> sounds = seams::signals(kRate);
    v.push_back({"tone", sounds[0], {}});
    v.push_back({"chord", sounds[1], {sounds[1]}});
    v.push_back({"pink noise", sounds[2],
                 {quality::pinkNoise(kRate, 3.0, 6), quality::pinkNoise(kRate, 3.0, 7), quality::pinkNoise(kRate, 3.0, 8),
                  quality::pinkNoise(kRate, 3.0, 9)}});
    v.push_back({"music", sounds[3], {sounds[3]}});
    return v;
  }();
  return all;
}

// The sound with half a second of silence on either side.
quality::Stereo inSilence(const quality::Stereo& s) {
  const size_t gap = static_cast<size_t>(0.5 * kRate);
  quality::Stereo out{std::vector<float>(gap, 0.0f), std::vector<float>(gap, 0.0f)};
  out.left.insert(out.left.end(), s.left.begin(), s.left.end());
  out.right.insert(out.right.end(), s.right.begin(), s.right.end());
  out.left.resize(out.left.size() + gap, 0.0f);
  out.right.resize(out.right.size() + gap, 0.0f);
  return out;
}

// Every mode, tempo and shift a seam is read at: the exact mode does not
// transpose.
std::vector<Case> setups(bool shiftedOnly = false) {
  std::vector<Case> v;
  for (Mode m : {Mode::Exact, Mode::Fine})
    for (double t : {0.5, 1.0, 2.0})
      for (float shift : {0.0f, -12.0f, -2.0f, 5.0f, 12.0f}) {
        if ((m == Mode::Exact && shift != 0) || (shiftedOnly && (m == Mode::Exact || shift == 0))) continue;
        Case s;
        s.mode = m, s.tempo = t, s.shift = shift;
        v.push_back(s);
      }
  return v;
}

std::string describe(const char* seam, const char* signal, const Case& s) {
  char text[160];
  std::snprintf(text, sizeof text, "%-22s %-10s %-5s tempo %-3g shift %+3g", seam, signal,
                s.mode == Mode::Fine ? "fine" : "exact", s.tempo, static_cast<double>(s.shift));
  return text;
}

// THE KNOWN FAILURES: the seams that do not meet their bounds yet, each
// with its reason, in this one place. They are read and printed ("known"),
// not held to the bounds; a line that reads "known, now within" can go.
// The fine mode's: a tone cut in at its peak and moved up, where the
// resampler's band edge rings as any band-limited step does (a brick wall:
// 0.75 dB), and at tempo 4, where the frames after a short lock over the
// step hold it at another output time. The exact mode's are its definition
// (the players splice its switches instead: the JVM's SeamsTest).
struct KnownFailure {
  const char* seam;
  const char* signal;  // nullptr: any
  Mode mode;
  float shiftFrom, shiftTo;  // the shifts it covers
  double tempo;              // 0: any
  const char* reason;
};
const KnownFailure kKnownFailures[] = {
    {"start cut in at a peak", "tone", Mode::Fine, -24, 24, 4,
     "a lock over the step holds only some of its frames: up to 3 dB"},
    {"start cut in at a peak", "tone", Mode::Fine, 6, 24, 0, "the step rings 0.67 dB over at the band's edge"},

    {"tempo change x1.25", nullptr, Mode::Exact, 0, 0, 0, "a new hop at a block's edge: up to 5 dB"},
    {"voice removal on", nullptr, Mode::Exact, 0, 0, 0, "at a block's edge: a centred tone steps 12 times"},
    {"voice removal off", nullptr, Mode::Exact, 0, 0, 0, "at a block's edge: a centred tone steps 11 times"},
    {"start after silence", "pink noise", Mode::Exact, 0, 0, 2, "noise starts 2.5 dB loud in peak at tempo 2"},
    {"end before silence", "chord", Mode::Exact, 0, 0, 2, "a step of 1.10 times the chord's own at tempo 2"},
};

const KnownFailure* knownFailure(const char* seam, const char* signal, const Case& s) {
  for (const KnownFailure& k : kKnownFailures)
    if (std::string(k.seam) == seam && (k.signal == nullptr || std::string(k.signal) == signal) && k.mode == s.mode &&
        s.shift >= k.shiftFrom && s.shift <= k.shiftTo && (k.tempo == 0 || k.tempo == s.tempo))
      return &k;
  return nullptr;
}

// Holds a seam to the bounds over what an ideal splice gives there (the
// middle figure of its readings), unless it is a known failure.
void check(const char* seam, const char* signal, const Case& s, const std::vector<seams::Excess>& readings) {
  const seams::Excess e = seams::middle(readings);
  const KnownFailure* known = knownFailure(seam, signal, s);
  std::printf("%s  level %+6.2f dB  peak %+6.2f dB  step %5.2f%s%s\n", describe(seam, signal, s).c_str(), e.level,
              e.peak, e.step, e.within() ? (known ? "  (known, now within: " : "") : known ? "  (known: " : "  FAILS",
              known ? (std::string(known->reason) + ")").c_str() : "");
  if (known) return;
  EXPECT_LE(e.level, seams::kLevelBoundDb) << describe(seam, signal, s);
  EXPECT_LE(e.peak, seams::kPeakBoundDb) << describe(seam, signal, s);
  EXPECT_LE(e.step, seams::kStepBound) << describe(seam, signal, s);
}

// Renderings of a signal at settings held throughout, made once.
const Rendered& steady(const Signal& sig, const Case& s) {
  static std::map<std::string, Rendered> made;
  char key[160];
  std::snprintf(key, sizeof key, "%s %d %g %g %d %d %d", sig.name, static_cast<int>(s.mode), s.tempo,
                static_cast<double>(s.shift), s.formants, s.voice, s.mono);
  auto it = made.find(key);
  if (it == made.end()) it = made.emplace(key, render(sig.sound, s)).first;
  return it->second;
}

// A setting changed mid-stream from `before` to `after` (which differ by the
// change), read against both played throughout and their ideal splice.
void midStream(const char* seam, const Signal& sig, const Case& before, const Case& after, const Change& c,
               const Case& shown, long glide = 0, bool unrelated = false) {
  const Rendered& a = steady(sig, before);
  const Rendered& b = steady(sig, after);
  const quality::SeamSides both = quality::SeamSides::Both;
  const double slower = std::min(before.tempo, after.tempo);
  std::vector<seams::Excess> readings;
  std::vector<long> places{kChangeAt};
  if (!sig.others.empty())
    places = {kChangeAt - 2 * kBlock, kChangeAt - kBlock, kChangeAt, kChangeAt + kBlock, kChangeAt + 2 * kBlock};
  for (long at : places) {
    const Rendered r = render(sig.sound, before, &c, at);
    const long fade = glide > 0 ? std::lround(glide / slower) : kRate / 50;
    const quality::SeamReading m = seams::read(r, kRate, r.seamAt, slower, both);
    const quality::SeamReading ideal =
        seams::idealSplice(a, alignedAt(before, at), b, alignedAt(after, at), kRate, slower, fade, glide > 0, unrelated);
    readings.push_back(seams::excess(m, ideal));
  }
  check(seam, sig.name, shown, readings);
}

// How far a start or an end (sides: the sound's side of it) at input frame
// `at` of `in`, stretched into `r`, goes beyond the input's own reading
// there: an ideal stretch keeps the sound as it starts and ends, so the
// input, read at its own pace, is the reference.
seams::Excess edgeExcess(const quality::Stereo& in, const Rendered& r, const Case& s, double at,
                         quality::SeamSides sides) {
  const quality::SeamReading ideal =
      quality::seamReading(in.left, in.right, kRate, at, 0.2 * kRate * s.tempo, 1.25 * kRate, sides);
  return seams::excess(seams::read(r, kRate, at / s.tempo, s.tempo, sides), ideal);
}

TEST(Seams, StartAfterSilenceAndEndBeforeIt) {
  for (const Signal& sig : signals()) {
    std::vector<quality::Stereo> sounds{inSilence(sig.sound)};
    for (const quality::Stereo& other : sig.others)
      if (&other != &sig.others.front() || other.left != sig.sound.left) sounds.push_back(inSilence(other));
    std::vector<Case> all = setups();
    // Kept formants where the key moves.
    for (Case s : setups(true)) {
      s.formants = true;
      all.push_back(s);
    }
    const double gap = 0.5 * kRate, length = static_cast<double>(sig.sound.left.size());
    for (const Case& s : all) {
      std::vector<seams::Excess> starts, ends;
      for (const quality::Stereo& in : sounds) {
        const Rendered r = render(in, s);
        starts.push_back(edgeExcess(in, r, s, gap, quality::SeamSides::After));
        ends.push_back(edgeExcess(in, r, s, gap + length, quality::SeamSides::Before));
      }
      check(s.formants ? "start, formants kept" : "start after silence", sig.name, s, starts);
      check(s.formants ? "end, formants kept" : "end before silence", sig.name, s, ends);
    }
  }
}

// A note cut in at its peak: the input itself steps by half of full scale
// there, as a sample or a recording that begins mid-note does. Ideally the
// stretch keeps the step as it is, a step. The ideal is the same tone cut in
// at the moved pitch: moved down, the tone's own steps shrink while the cut
// stays half of full scale, so the cut stands further above them.
TEST(Seams, AToneCutInAtItsPeak) {
  auto cutIn = [](double hz) {
    const size_t n = static_cast<size_t>(3 * kRate), fade = static_cast<size_t>(0.01 * kRate);
    std::vector<float> x(n);
    for (size_t i = 0; i < n; i++)
      x[i] = static_cast<float>(0.5 * std::cos(2 * M_PI * hz * static_cast<double>(i) / kRate) *
                                quality::material::ramp(n - 1 - i, fade));
    return inSilence({x, x});
  };
  const quality::Stereo in = cutIn(440.0);
  std::vector<Case> all = setups();
  // And at tempo 4, where a lock over the attack holds only some of the
  // frames the step passes through.
  for (const Case& s : setups(true))
    if (s.tempo == 2 && s.mode == Mode::Fine) {
      Case fast = s;
      fast.tempo = 4;
      all.push_back(fast);
    }
  for (const Case& s : all)
    check("start cut in at a peak", "tone", s,
          {edgeExcess(cutIn(440.0 * pipeline_pitch_ratio(s.shift)), render(in, s), s, 0.5 * kRate,
                      quality::SeamSides::After)});
}

TEST(Seams, TempoChange) {
  for (const Signal& sig : signals())
    for (const Case& s : setups()) {
      Case after = s;
      after.tempo = s.tempo * 1.25;
      midStream("tempo change x1.25", sig, s, after, {Change::Tempo, after.tempo}, s);
    }
}

TEST(Seams, KeyChange) {
  for (const Signal& sig : signals())
    for (const Case& shifted : setups(true)) {
      // From the original key to the shift, and back.
      Case plain = shifted;
      plain.shift = 0;
      // The glide's length in the stretch's input, as the resampler takes it.
      const long glide = resampler_ramp_length(1.0, pipeline_pitch_ratio(shifted.shift));
      midStream("key change from 0", sig, plain, shifted, {Change::Shift, shifted.shift}, shifted, glide, true);
      midStream("key change to 0", sig, shifted, plain, {Change::Shift, 0}, shifted, glide, true);
    }
}

// Switched on and off mid-stream, for each setting.
void onAndOff(const char* on, const char* off, Change::What what, bool(Case::*flag), bool shiftedOnly) {
  for (const Signal& sig : signals())
    for (const Case& s : setups(shiftedOnly)) {
      Case without = s, with = s;
      without.*flag = false;
      with.*flag = true;
      // The fine mode glides into a new image or amount over 1024 input frames.
      const long glide = s.mode == Mode::Fine && what != Change::Formants ? 1024 : 0;
      midStream(on, sig, without, with, {what, 1.0}, s, glide);
      midStream(off, sig, with, without, {what, 0.0}, s, glide);
    }
}

TEST(Seams, FormantsOnAndOff) {
  onAndOff("formants on", "formants off", Change::Formants, &Case::formants, true);
}

TEST(Seams, VoiceRemovalOnAndOff) {
  onAndOff("voice removal on", "voice removal off", Change::Voice, &Case::voice, false);
}

TEST(Seams, MonoOnAndOff) {
  onAndOff("mono on", "mono off", Change::Mono, &Case::mono, false);
}

}  // namespace
