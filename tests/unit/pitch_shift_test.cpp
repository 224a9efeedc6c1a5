// Transposition in the fine mode: the setter's contract, pitch and level at
// shifts and tempi, exact lengths, live changes without a click, and the
// resampler's band limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "../support/audio_measures.h"
#include "../support/fine_driver.h"
#include "../support/test_material.h"
#include "../support/vector_path.h"
#include "../support/default_engine.h"
#include "resampler.h"
#include "spectral_shift.h"

namespace {

using finedrive::kRate;

double cents(double ratio) { return 1200.0 * std::log2(ratio); }

TEST(PitchShift, ToneLandsOnPitchAtItsLevelAndLength) {
  const double hz = 440.0;
  const std::vector<float> tone = quality::steadyTone(kRate, 3.0, hz, -9.0);
  const std::vector<float> none;
  for (double tempo : {1.0, 0.7, 1.6}) {
    finedrive::Settings plain;
    const finedrive::Output base = finedrive::stretch(tone, none, tempo, plain);
    const double baseLevel = quality::levelChangeDb(tone, base.left);
    for (float shift : {1.0f, -1.0f, 5.0f, -5.0f, 12.0f, -12.0f, 0.1f, -0.1f}) {
      finedrive::Settings s;
      s.pitch = shift;
      const finedrive::Output out = finedrive::stretch(tone, none, tempo, s);
      ASSERT_EQ(out.exception, "");
      EXPECT_EQ(out.left.size(), base.left.size()) << shift;
      const std::vector<float> mid(out.left.begin() + out.left.size() / 4, out.left.end() - out.left.size() / 4);
      const double got = quality::peakFrequencyHz(mid, kRate);
      EXPECT_NEAR(cents(got / hz), 100.0 * shift, 0.5) << "shift " << shift << " tempo " << tempo;
      EXPECT_NEAR(quality::levelChangeDb(tone, out.left), baseLevel, 0.2) << "shift " << shift;
      EXPECT_LT(quality::flutterDb(out.left, kRate, hz * std::exp2(shift / 12.0)), 0.5) << "shift " << shift;
    }
  }
}
// Shifted down, partials 20 dB under the loudest move by whole bins (a
// frame's regions in spans of 8 bins, the lowest ones cut at bin 0): each
// lands at its level beside the loud one, the lowest nearly, and a faint
// noise nearly keeps its power.
TEST(PitchShift, FaintPartialsMovedDownKeepTheirLevels) {
  const double hzs[] = {440.0, 1500.0, 30.0};
  const double dbs[] = {-9.0, -39.0, -39.0};
  const double withinDb[] = {0.05, 0.05, 0.5};  // 30 Hz: its region's lowest bins are cut
  std::vector<float> in = quality::steadyTone(kRate, 3.0, hzs[0], dbs[0]);
  for (int t = 1; t < 3; t++) {
    const std::vector<float> faint = quality::steadyTone(kRate, 3.0, hzs[t], dbs[t]);
    for (size_t i = 0; i < in.size(); i++) in[i] += faint[i];
  }
  // and a faint white noise (its regions a few bins each)
  unsigned noise = 12345;
  for (float& v : in) {
    noise = noise * 1664525u + 1013904223u;
    v += 0.004f * (static_cast<float>(noise >> 8) / 16777216.0f - 0.5f);
  }
  finedrive::Settings s;
  s.pitch = -5.0f;
  const finedrive::Output out = finedrive::stretch(in, {}, 1.0, s);
  ASSERT_EQ(out.exception, "");
  constexpr size_t kFrame = 8192;
  const std::vector<double> before = quality::detail::longTermSpectrum(in, kFrame);
  const std::vector<double> after = quality::detail::longTermSpectrum(out.left, kFrame);
  auto bandDb = [&](const std::vector<double>& spectrum, double hz) {
    const long centre = std::lround(hz * 4 * kFrame / kRate);
    double sum = 0.0;
    for (long k = std::max(0L, centre - 12); k <= centre + 12; k++) sum += spectrum[k];
    return quality::detail::db(sum);
  };
  const double ratio = std::exp2(-5.0 / 12.0);
  for (int t = 0; t < 3; t++)
    EXPECT_NEAR(bandDb(after, hzs[t] * ratio), bandDb(before, hzs[t]), withinDb[t]) << hzs[t] << " Hz";
  auto noiseDb = [&](const std::vector<double>& spectrum, double lo, double hi) {
    double sum = 0.0;
    for (long k = std::lround(lo * 4 * kFrame / kRate); k < std::lround(hi * 4 * kFrame / kRate); k++) sum += spectrum[k];
    return quality::detail::db(sum);
  };
  // (It reads 0.85 dB low; a bin too many or too few per region, 2 dB off.)
  EXPECT_NEAR(noiseDb(after, 3000.0 * ratio, 6000.0 * ratio), noiseDb(before, 3000.0, 6000.0), 1.25);
}

// The stated delay holds at a shift: once it is dropped, the attacks land
// where the unshifted stretch at the tempo over the ratio puts them (shifted
// up, the input read the ratio faster holds its bursts 1/ratio as long,
// which moves their centre by a fraction of a millisecond) or, shifted down,
// where the unshifted stretch at the tempo does; either way they stay as
// sharp as unshifted (read slower, they came out 1/ratio as long).
TEST(PitchShift, TheStatedDelayKeepsAttacksOnTimeAndSharp) {
  const std::vector<float> bursts = quality::burstTrain(kRate, 4.0, 0.25);
  const finedrive::Output plain = finedrive::stretch(bursts, {}, 0.75);
  const double plainWidth = quality::transientWidthMs(plain.left, kRate, 0.25 / 0.75);
  for (float shift : {12.0f, -12.0f, 5.0f, -5.0f, -1.0f}) {
    const double inner = shift > 0 ? 0.75 / std::exp2(shift / 12.0) : 0.75;
    const double expected = quality::startOffsetMs(bursts, finedrive::stretch(bursts, {}, inner).left, kRate, inner);
    finedrive::Settings s;
    s.pitch = shift;
    const finedrive::Output out = finedrive::stretch(bursts, {}, 0.75, s);
    EXPECT_NEAR(quality::startOffsetMs(bursts, out.left, kRate, 0.75), expected, 1.5) << shift;
    const double width = quality::transientWidthMs(out.left, kRate, 0.25 / 0.75);
    if (shift > 0) {
      EXPECT_LT(width, plainWidth + 0.5) << shift;
    } else {
      EXPECT_LT(width, plainWidth * 1.1) << shift;
      // The bursts (white noise) keep most of their energy (a little goes
      // where the shares of an attack moved down line up).
      EXPECT_NEAR(quality::levelChangeDb(bursts, out.left), quality::levelChangeDb(bursts, plain.left), 1.2) << shift;
    }
  }
  // The values NativeInterface.fineLatency states to the Java side.
  EXPECT_EQ(fine_latency_shifted(4096, 0.75, 1.0), 10240);
  EXPECT_EQ(fine_latency_shifted(4096, 0.75, std::exp2(5.0 / 12.0)), 13033);
  EXPECT_EQ(fine_latency_shifted(4096, 0.75, std::exp2(-5.0 / 12.0)), 10240);
}

// Refused values raise IllegalArgumentException and keep the shift; the
// exact mode ignores any shift; a shift taken back to 0 before anything was
// heard leaves the fine output exactly as if it had never been set.
TEST(PitchShift, SetterContractAndWhatAShiftLeavesAlone) {
  fakejni::Env env;
  finedrive::start(env, 1);
  Java_quorvel_tambrino_NativeInterface_dspPitchShift(&env, nullptr, 3.5f);
  for (float bad : {24.01f, -25.0f, NAN, INFINITY, -INFINITY}) {
    Java_quorvel_tambrino_NativeInterface_dspPitchShift(&env, nullptr, bad);
    EXPECT_EQ("java/lang/IllegalArgumentException", env.takeException()) << bad;
    EXPECT_EQ(pipeline_pitch_shift(*default_engine::get().pipeline), 3.5f);
  }
  for (float edge : {24.0f, -24.0f}) {
    Java_quorvel_tambrino_NativeInterface_dspPitchShift(&env, nullptr, edge);
    EXPECT_EQ("", env.takeException());
  }

  const quality::Stereo music = quality::musicPiece(kRate, 1);
  for (int quality : {0, 1}) {
    finedrive::Settings plain, shifted, undone;
    plain.quality = shifted.quality = undone.quality = quality;
    shifted.pitch = quality == 0 ? 7.0f : 0.0f;
    fakejni::Env e2;
    finedrive::start(e2, 2, plain);
    const finedrive::Output a = finedrive::process(e2, music.left, music.right, {{0, 0.8}}, plain);
    fakejni::Env e3;
    undone.pitch = 5.0f;
    finedrive::start(e3, 2, undone);
    Java_quorvel_tambrino_NativeInterface_dspPitchShift(&e3, nullptr, 0.0f);
    const finedrive::Output b = finedrive::process(e3, music.left, music.right, {{0, 0.8}}, plain);
    const finedrive::Output c = finedrive::stretch(music.left, music.right, 0.8, shifted);
    EXPECT_EQ(a.left, b.left) << "quality " << quality;
    EXPECT_EQ(a.right, b.right) << "quality " << quality;
    EXPECT_EQ(a.left, c.left) << "quality " << quality;
  }
}

// A shift changed at every block while playing, from -12 to +12 semitones
// and across 0: no step from one sample to the next beyond what the tone
// itself takes at the highest pitch reached, and the tone always there.
TEST(PitchShift, LiveChangesGlideWithoutAClick) {
  const double hz = 220.0, amplitude = std::pow(10.0, -9.0 / 20.0);
  const std::vector<float> tone = quality::steadyTone(kRate, 6.0, hz, -9.0);
  fakejni::Env env;
  finedrive::start(env, 1);
  const int block = 1024;
  std::vector<float> out;
  const int blocks = static_cast<int>(tone.size()) / block;
  long totalOut = 0;
  for (int i = 0; i < blocks; i++) {
    const float shift = std::clamp(-12.0f + 24.0f * static_cast<float>(i) / (blocks * 0.8f), -12.0f, 12.0f);
    Java_quorvel_tambrino_NativeInterface_dspPitchShift(&env, nullptr, i < 8 ? 0.0f : shift);
    const long want = std::lround((i + 1) * block / 0.9) - totalOut;
    std::vector<jshort> pcm(static_cast<size_t>(std::max<long>(block, want)));
    for (int k = 0; k < block; k++) pcm[k] = finedrive::toPcm(tone[static_cast<size_t>(i * block + k)]);
    jshortArray array = env.shorts(pcm);
    Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, array, block, static_cast<int>(want), 0.0f);
    ASSERT_EQ("", env.takeException());
    const std::vector<jshort> r = fakejni::Env::read<jshort>(reinterpret_cast<jarray>(array));
    for (long k = 0; k < want; k++) out.push_back(r[static_cast<size_t>(k)] / 32767.0f);
    totalOut += want;
  }
  const double bound = 1.05 * 2.0 * M_PI * hz * 2.0 * amplitude / kRate + 2.0 / 32767.0;
  const size_t from = static_cast<size_t>(fine_latency(finedrive::kFrameSize, 0.9)) + 2000;
  double largest = 0.0, quietest = 1.0;
  for (size_t k = from + 1; k < out.size(); k++) largest = std::max(largest, std::fabs(double(out[k]) - out[k - 1]));
  for (size_t k = from; k + 512 < out.size(); k += 512) {
    double peak = 0.0;
    for (size_t j = k; j < k + 512; j++) peak = std::max(peak, std::fabs(double(out[j])));
    quietest = std::min(quietest, peak);
  }
  EXPECT_LT(largest, bound);
  EXPECT_GT(quietest, 0.7 * amplitude);
}

// A vowel (a 140 Hz pulse train through three fixed resonances) a fourth
// up and down: with the formants kept, its spectral envelope stays close to the
// original's; plainly shifted, the resonances move up with the partials.
TEST(PitchShift, KeptFormantsStayWhereTheyWere) {
  const int frames = 3 * kRate;
  std::vector<float> vowel(static_cast<size_t>(frames));
  double y1[3] = {}, y2[3] = {};
  const double centres[3] = {700.0, 1200.0, 2600.0};
  for (int i = 0; i < frames; i++) {
    double x = i % (kRate / 140) == 0 ? 1.0 : 0.0;
    for (int f = 0; f < 3; f++) {
      const double radius = std::exp(-M_PI * 90.0 / kRate);
      const double a1 = 2.0 * radius * std::cos(2.0 * M_PI * centres[f] / kRate), a2 = -radius * radius;
      const double y = x + a1 * y1[f] + a2 * y2[f];
      y2[f] = y1[f];
      y1[f] = y;
      x = y * (1.0 - radius);
    }
    vowel[static_cast<size_t>(i)] = static_cast<float>(0.3 * x);
  }
  double peak = 0.0;
  for (float v : vowel) peak = std::max(peak, std::fabs(double(v)));
  for (float& v : vowel) v = static_cast<float>(v * 0.5 / peak);
  // The envelope read at the partials: the input's between its own
  // harmonics (interpolated in dB), against the output's at its harmonics.
  const std::vector<double> inPower = quality::detail::longTermSpectrum(vowel, 8192);
  const double binHz = static_cast<double>(kRate) / (2.0 * (inPower.size() - 1));
  auto harmonicDb = [&](const std::vector<double>& p, double hz) {
    const long k = std::lround(hz / binHz);
    double most = 0.0;
    for (long j = std::max(0L, k - 3); j <= k + 3 && j < static_cast<long>(p.size()); j++) most = std::max(most, p[j]);
    return 10.0 * std::log10(most + 1e-30);
  };
  double ratio = 1.0;
  auto distance = [&](const std::vector<float>& out) {
    const std::vector<double> outPower = quality::detail::longTermSpectrum(out, 8192);
    std::vector<double> diff;
    for (int h = 1; 140.0 * ratio * h < 4000.0; h++) {
      const double hz = 140.0 * ratio * h;
      if (hz < 300.0) continue;
      const double j = hz / 140.0;
      const double lower = std::floor(j), frac = j - lower;
      const double env = (1 - frac) * harmonicDb(inPower, lower * 140.0) + frac * harmonicDb(inPower, (lower + 1) * 140.0);
      diff.push_back(harmonicDb(outPower, hz) - env);
    }
    double mean = 0.0;
    for (double d : diff) mean += d;
    mean /= diff.size();
    double sum = 0.0;
    for (double d : diff) sum += std::fabs(d - mean);
    return sum / diff.size();
  };
  finedrive::Settings s;
  for (float shift : {-5.0f, 5.0f}) {
    s.pitch = shift;
    ratio = std::exp2(shift / 12.0);
    const finedrive::Output plain = finedrive::stretch(vowel, {}, 1.0, s);
    fakejni::Env env;
    finedrive::start(env, 1, s);
    Java_quorvel_tambrino_NativeInterface_dspPitchFormants(&env, nullptr, 1);
    const finedrive::Output kept = finedrive::process(env, vowel, {}, {{0, 1.0}}, s);
    Java_quorvel_tambrino_NativeInterface_dspPitchFormants(&env, nullptr, 0);
    const double plainDistance = distance(plain.left), keptDistance = distance(kept.left);
    EXPECT_LT(keptDistance, 2.0) << shift << " plain " << plainDistance;
    EXPECT_LT(keptDistance, 0.5 * plainDistance) << shift;
  }
  // Taken back to 0 while playing: the output of the stretch's last frames
  // of input read before the change is still a fourth up, and still keeps
  // its formants (the resampler, ahead of the frames, already reads at 1).
  fakejni::Env live;
  finedrive::start(live, 1, s);
  Java_quorvel_tambrino_NativeInterface_dspPitchFormants(&live, nullptr, 1);
  const int block = 1024, change = 96;
  std::vector<float> out;
  for (int b = 0; b + 1 < frames / block; b++) {
    if (b == change) Java_quorvel_tambrino_NativeInterface_dspPitchShift(&live, nullptr, 0.0f);
    std::vector<jshort> pcm(static_cast<size_t>(block));
    for (int k = 0; k < block; k++) pcm[k] = finedrive::toPcm(vowel[static_cast<size_t>(b * block + k)]);
    jshortArray array = live.shorts(pcm);
    Java_quorvel_tambrino_NativeInterface_dspProcess(&live, nullptr, array, block, block, 0.0f);
    for (jshort v : fakejni::Env::read<jshort>(reinterpret_cast<jarray>(array))) out.push_back(v / 32767.0f);
  }
  Java_quorvel_tambrino_NativeInterface_dspPitchFormants(&live, nullptr, 0);
  const std::vector<float> before(out.begin() + (change * block - 4096), out.begin() + (change * block + 4096));
  EXPECT_LT(distance(before), 2.5);
}

// Seams: a sound starting after silence and ending before it, transposed.
// What an ideal transposition gives there is the sound's own level and
// steepness: its loudest 20 ms, its peak and its largest step from one
// sample to the next, each against the same figure of the sound away from
// the seams, are the input's (none above its own steady level for a faded
// tone, a chord or a noise; the first beat of the music as loud as it is).
namespace seam {

constexpr double kLead = 0.5;  // seconds of silence before and after

struct Piece {
  quality::Stereo sound;
  long on = 0, off = 0;  // where the sound starts and ends
};

Piece betweenSilences(const std::vector<float>& left, const std::vector<float>& right) {
  const long lead = std::lround(kLead * kRate);
  Piece p;
  p.on = lead;
  p.off = lead + static_cast<long>(left.size());
  for (auto [from, to] : {std::pair{&left, &p.sound.left}, std::pair{&right, &p.sound.right}}) {
    to->assign(static_cast<size_t>(lead), 0.0f);
    to->insert(to->end(), from->begin(), from->end());
    to->resize(to->size() + static_cast<size_t>(lead), 0.0f);
  }
  return p;
}

// Pink noise (-3 dB an octave from 20 Hz up: white noise through seven
// first-order filters), `dbfs` RMS, with 10 ms fades.
std::vector<float> pinkNoise(double seconds, double dbfs) {
  quality::material::Noise white(99);
  const size_t n = quality::material::frames(kRate, seconds);
  std::vector<double> x(n);
  double b[7] = {};
  double power = 0.0;
  for (size_t i = 0; i < n; i++) {
    const double w = white.next();
    b[0] = 0.99886 * b[0] + w * 0.0555179;
    b[1] = 0.99332 * b[1] + w * 0.0750759;
    b[2] = 0.96900 * b[2] + w * 0.1538520;
    b[3] = 0.86650 * b[3] + w * 0.3104856;
    b[4] = 0.55000 * b[4] + w * 0.5329522;
    b[5] = -0.7616 * b[5] - w * 0.0168980;
    x[i] = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
    b[6] = w * 0.115926;
    power += x[i] * x[i];
  }
  const double gain = std::pow(10.0, dbfs / 20.0) / std::sqrt(power / n);
  const size_t fade = quality::material::frames(kRate, 0.01);
  std::vector<float> out(n);
  for (size_t i = 0; i < n; i++)
    out[i] = static_cast<float>(gain * x[i] * quality::material::ramp(i, fade) * quality::material::ramp(n - 1 - i, fade));
  return out;
}

// A 440 Hz tone at -6 dBFS that starts and stops at a zero crossing without
// a fade (its slope jumps there).
std::vector<float> hardTone(double seconds) {
  std::vector<float> x(quality::material::frames(kRate, seconds));
  for (size_t i = 0; i < x.size(); i++) x[i] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * 440.0 * i / kRate));
  return x;
}

// A C major chord at -14 dBFS a note, with 10 ms fades.
std::vector<float> chord(double seconds) {
  std::vector<float> x(quality::material::frames(kRate, seconds), 0.0f);
  for (double hz : {261.63, 329.63, 392.0}) {
    const std::vector<float> note = quality::steadyTone(kRate, seconds, hz, -14.0);
    for (size_t i = 0; i < x.size(); i++) x[i] += note[i];
  }
  return x;
}

struct Figures {
  double loudestDb = 0, peakDb = 0, step = 0;  // over the reference
};

// The seam's figures, [from, to), against the reference's, [refFrom, refTo).
Figures figures(const quality::Stereo& x, long from, long to, long refFrom, long refTo) {
  const long size = static_cast<long>(x.left.size());
  auto loudest = [&](long a, long b) {
    const long window = kRate / 50;
    a = std::max(0L, a);
    b = std::min(size, b);
    double most = 0.0;
    for (long w = a; w + window <= b; w += kRate / 1000) {
      double sum = 0.0;
      for (long i = w; i < w + window; i++) sum += double(x.left[i]) * x.left[i] + double(x.right[i]) * x.right[i];
      most = std::max(most, sum);
    }
    return most;
  };
  auto peakAndStep = [&](long a, long b, double& peak, double& step) {
    peak = step = 0.0;
    for (long i = std::max(1L, a); i < std::min(size, b); i++) {
      for (const std::vector<float>* c : {&x.left, &x.right}) {
        peak = std::max(peak, std::fabs(double((*c)[i])));
        step = std::max(step, std::fabs(double((*c)[i]) - (*c)[i - 1]));
      }
    }
  };
  double peak, step, refPeak, refStep;
  peakAndStep(from, to, peak, step);
  peakAndStep(refFrom, refTo, refPeak, refStep);
  return {quality::detail::db(loudest(from, to) / loudest(refFrom, refTo)), 20.0 * std::log10(peak / refPeak),
          step / refStep};
}

// What a seam is held to beyond the level of its loudest 20 ms (within
// 0.5 dB of the input's own figure): its peak, within peakDb of the input's,
// and its largest step, within 1.1 times the input's (never asked to be
// smoother than the sound itself).
struct Hold {
  double peakDb = 0.5;
  bool steps = true;
};
// A sound that starts and stops without a fade has edges of its own (its
// slope jumps): shifted down, attacks keep their width, so the edges stay as
// sharp while the tone moves under them, a cut where the tone no longer
// crosses zero, which rings up to 0.6 dB over the tone's peak and steps up
// to 3 times its largest step (at -24).
constexpr Hold kSharpEdges{1.0, false};
// The peaks of a mix move by up to 1.5 dB from one beat to the next when it
// is transposed (its partials' phases change): held within that.
constexpr Hold kMix{1.5, true};

// The stretch of the piece at the shift and tempo (formants kept or not),
// its start and end measured as above against the input's own figures,
// which an ideal transposition keeps.
void expectSeamless(const std::string& name, const Piece& p, float shift, double tempo, bool formants = false,
                    Hold hold = Hold()) {
  constexpr double kLimitDb = 0.5;
  finedrive::Settings s;
  s.pitch = shift;
  fakejni::Env env;
  finedrive::start(env, 2, s);
  Java_quorvel_tambrino_NativeInterface_dspPitchFormants(&env, nullptr, formants ? 1 : 0);
  const finedrive::Output out = finedrive::process(env, p.sound.left, p.sound.right, {{0, tempo}}, s);
  Java_quorvel_tambrino_NativeInterface_dspPitchFormants(&env, nullptr, 0);
  ASSERT_EQ(out.exception, "");
  const long ms = kRate / 1000;
  const long on = std::lround(p.on / tempo), off = std::lround(p.off / tempo);
  // Output positions, and the input's at the same times.
  const long seams[2][2] = {{on - 100 * ms, on + 100 * ms}, {off - 100 * ms, off + 100 * ms}};
  const long ref[2] = {on + 100 * ms, off - 100 * ms};
  auto in = [&](long at) { return std::lround(at * tempo); };
  const quality::Stereo got{out.left, out.right};
  for (int end = 0; end < 2; end++) {
    const Figures ideal = figures(p.sound, in(seams[end][0]), in(seams[end][1]), in(ref[0]), in(ref[1]));
    const Figures f = figures(got, seams[end][0], seams[end][1], ref[0], ref[1]);
    const std::string where = name + (end ? " end" : " start") + ", shift " + std::to_string(shift) + ", tempo " +
                              std::to_string(tempo) + (formants ? ", formants kept" : "");
    EXPECT_LT(f.loudestDb, std::max(0.0, ideal.loudestDb) + kLimitDb) << where;
    EXPECT_LT(f.peakDb, std::max(0.0, ideal.peakDb) + hold.peakDb) << where;
    if (hold.steps) {
      EXPECT_LT(f.step, 1.1 * std::max(1.0, ideal.step)) << where;
    }
  }
}

constexpr float kShifts[] = {-24.0f, -12.0f, -5.0f, -2.0f, -1.0f, 5.0f, 12.0f, 24.0f};
constexpr double kTempi[] = {0.5, 1.0, 2.0};

}  // namespace seam

// Shifted down, a tone's start overshot its level by 2 to 4 dB about 40 ms
// in: the frames that rebuild an attack referred each partial to the time
// its window's energy pointed to, which moves from frame to frame while the
// tone goes on, and the frames beat against each other.
TEST(PitchShiftSeams, ATonesStartAndEndKeepItsLevel) {
  const seam::Piece faded = seam::betweenSilences(quality::steadyTone(kRate, 2.0), quality::steadyTone(kRate, 2.0));
  const seam::Piece hard = seam::betweenSilences(seam::hardTone(2.0), seam::hardTone(2.0));
  for (double tempo : seam::kTempi) {
    for (float shift : seam::kShifts) {
      seam::expectSeamless("tone", faded, shift, tempo);
      seam::expectSeamless("unfaded tone", hard, shift, tempo, false, seam::kSharpEdges);
    }
  }
}

// The first frames of an attack hold a note's start short in the window,
// as wide in the spectrum as a drum's noise: moved in a band of noise, a
// note came in a few hertz off its pitch and beat against the frames after.
TEST(PitchShiftSeams, AChordsStartAndEndKeepItsLevel) {
  const std::vector<float> c = seam::chord(2.0);
  const seam::Piece piece = seam::betweenSilences(c, c);
  for (double tempo : seam::kTempi)
    for (float shift : seam::kShifts) seam::expectSeamless("chord", piece, shift, tempo);
}

TEST(PitchShiftSeams, NoiseAndMusicStartAndEndWithoutABurst) {
  const std::vector<float> pink = seam::pinkNoise(3.0, -18.0);
  const seam::Piece noise = seam::betweenSilences(pink, pink);
  quality::Stereo music = quality::musicPiece(kRate, 2);
  // Cut mid-bar (a 10 ms fade), so that notes end at the seam.
  const size_t length = quality::material::frames(kRate, 3.0), fade = quality::material::frames(kRate, 0.01);
  for (std::vector<float>* c : {&music.left, &music.right}) {
    c->resize(length);
    for (size_t i = 0; i < fade; i++) (*c)[length - 1 - i] *= static_cast<float>(quality::material::ramp(i, fade));
  }
  const seam::Piece piece = seam::betweenSilences(music.left, music.right);
  for (double tempo : seam::kTempi) {
    for (float shift : seam::kShifts) {
      seam::expectSeamless("pink noise", noise, shift, tempo);
      seam::expectSeamless("music", piece, shift, tempo, false, seam::kMix);
    }
  }
}

// A kick under held notes, moved down, keeps its level within 2 dB (two
// octaves down it is mostly below 40 Hz): its body, wide in the frames that
// rebuild it, went with the noise of the attack, moved as a whole by the
// lowest band's middle, and below 0 Hz (2.4 to 4 dB lost at -12 and -24).
TEST(PitchShiftSeams, KicksUnderHeldNotesKeepTheirLevelMovedDown) {
  const quality::Stereo music = quality::musicPiece(kRate, 2);
  const long ms = kRate / 1000;
  auto loudest = [&](const std::vector<float>& left, const std::vector<float>& right, long at) {
    double most = 0.0;
    for (long w = at - 10 * ms; w < at + 60 * ms; w += ms) {
      double sum = 0.0;
      for (long i = w; i < w + 20 * ms; i++) sum += double(left[i]) * left[i] + double(right[i]) * right[i];
      most = std::max(most, sum);
    }
    return most;
  };
  for (float shift : {-5.0f, -12.0f, -24.0f}) {
    finedrive::Settings s;
    s.pitch = shift;
    const finedrive::Output out = finedrive::stretch(music.left, music.right, 1.0, s);
    for (long kick = 1; kick < 4; kick++) {  // one a bar's half, the first after silence aside
      const long at = kick * kRate;
      EXPECT_GT(quality::detail::db(loudest(out.left, out.right, at) / loudest(music.left, music.right, at)), -2.0)
          << "shift " << shift << ", kick at " << kick << " s";
    }
  }
}

// Keeping the formants moves the spectral balance back, never the level:
// each frame comes out with the power the plain shift gives it. A single
// partial has no envelope to keep but its own level, so it comes out where
// the plain shift puts it (it came out 24 dB down at +12: its envelope was
// read as a narrow resonance at its own pitch), and its start and end, with
// or without a fade, stay within that level (an unfaded start or end threw
// a burst near full scale: the splash of the edge, moved onto the partial's
// old pitch, was given that resonance's level). Music keeps the plain
// shift's level an octave or two down too (it came out 2.8 and 4.8 dB
// louder).
TEST(PitchShiftSeams, KeptFormantsKeepThePlainShiftsLevel) {
  auto stretch = [](const quality::Stereo& in, float shift, bool formants) {
    finedrive::Settings s;
    s.pitch = shift;
    fakejni::Env env;
    finedrive::start(env, 2, s);
    Java_quorvel_tambrino_NativeInterface_dspPitchFormants(&env, nullptr, formants ? 1 : 0);
    const finedrive::Output out = finedrive::process(env, in.left, in.right, {{0, 1.0}}, s);
    Java_quorvel_tambrino_NativeInterface_dspPitchFormants(&env, nullptr, 0);
    return out;
  };
  const seam::Piece faded = seam::betweenSilences(quality::steadyTone(kRate, 2.0), quality::steadyTone(kRate, 2.0));
  const seam::Piece hard = seam::betweenSilences(seam::hardTone(2.0), seam::hardTone(2.0));
  const std::vector<float> c = seam::chord(2.0);
  const seam::Piece chord = seam::betweenSilences(c, c);
  for (float shift : {-12.0f, -5.0f, 5.0f, 12.0f}) {
    const std::vector<float> tone = quality::steadyTone(kRate, 2.0);
    const double plain = quality::levelChangeDb(tone, stretch({tone, tone}, shift, false).left);
    EXPECT_NEAR(quality::levelChangeDb(tone, stretch({tone, tone}, shift, true).left), plain, 0.5) << shift;
    seam::expectSeamless("tone", faded, shift, 1.0, true);
    seam::expectSeamless("unfaded tone", hard, shift, 1.0, true, seam::kSharpEdges);
    seam::expectSeamless("chord", chord, shift, 1.0, true);
  }
  // Both channels: the balance moves, and with it that of sources panned
  // apart (the left channel of this mix, its chords' side, reads 0.5 dB up
  // at -5 and -24).
  const quality::Stereo music = quality::musicPiece(kRate, 2);
  auto power = [](const quality::Stereo& x) {
    double sum = 0.0;
    for (const std::vector<float>* c : {&x.left, &x.right})
      for (size_t i = c->size() / 4; i < 3 * c->size() / 4; i++) sum += double((*c)[i]) * (*c)[i];
    return sum;
  };
  for (float shift : {-5.0f, -12.0f, -24.0f, 12.0f}) {
    const finedrive::Output plain = stretch(music, shift, false), kept = stretch(music, shift, true);
    EXPECT_NEAR(quality::detail::db(power({kept.left, kept.right}) / power({plain.left, plain.right})), 0.0, 0.3)
        << shift;
  }
}

// Reading a tone near the top of the band twice as fast would fold it back
// into the band; the resampler's band limit removes it instead. An octave
// down, nothing of the tone is lost or imaged.
TEST(Resampler, RemovesWhatWouldFoldBackAndKeepsWhatFits) {
  ResamplerState* rs = resampler_create();
  ASSERT_NE(rs, nullptr);
  auto run = [&](double ratio, double hz) {
    resampler_reset(*rs);
    resampler_set_target(*rs, ratio, false);
    std::vector<float> out;
    long phase = 0;
    for (int chunk = 0; chunk < 40; chunk++) {
      const int need = resampler_plan(*rs, RESAMPLER_MAX_CHUNK);
      float* in = resampler_input(*rs, 0);
      for (int k = 0; k < need; k++) in[k] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * hz * phase++ / kRate));
      resampler_commit(*rs, need);
      std::vector<float> part(RESAMPLER_MAX_CHUNK);
      resampler_render(*rs, part.data(), nullptr, RESAMPLER_MAX_CHUNK);
      out.insert(out.end(), part.begin(), part.end());
    }
    return std::vector<float>(out.begin() + 4096, out.end());
  };
  const std::vector<float> folded = run(2.0, 15000.0);
  double power = 0.0;
  for (float x : folded) power += double(x) * x;
  EXPECT_LT(quality::detail::db(power / folded.size() / 0.125), -60.0);
  const std::vector<float> kept = run(0.5, 8000.0);
  double keptPower = 0.0;
  for (float x : kept) keptPower += double(x) * x;
  EXPECT_NEAR(quality::detail::db(keptPower / kept.size() / 0.125), 0.0, 0.05);
  EXPECT_NEAR(quality::peakFrequencyHz(kept, kRate), 4000.0, 0.5);
  // The vector kernel gives the portable code's bits.
  for (double ratio : {0.7, 1.3}) {
    std::vector<float> paths[2];
    for (bool vector : {false, true}) {
      use_vector_path(vector, false);
      paths[vector] = run(ratio, 3000.0);
    }
    use_vector_path(true);
    EXPECT_EQ(paths[0], paths[1]) << ratio;
  }
  resampler_destroy(rs);
}

// Moving a windowed partial's bins by a fraction of a bin gives the spectrum
// of the partial at the new frequency, with its phase at the frame's middle
// kept, within the fitted taps' error; whole bins move exactly.
TEST(SpectralShift, AMovedPartialIsThePartialAtItsNewFrequency) {
  SpectralShiftTable table;
  spectral_shift_build(table);
  const int n = 1024, half = n / 2;
  auto spectrum = [&](double bin, std::vector<float>& re, std::vector<float>& im) {
    re.assign(half, 0.0f);
    im.assign(half, 0.0f);
    for (int k = 0; k < half; k++) {
      double sr = 0.0, si = 0.0;
      for (int m = 0; m < n; m++) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * m / n);
        const double x = w * std::cos(2.0 * M_PI * bin * (m - n / 2) / n + 0.7);
        sr += x * std::cos(2.0 * M_PI * k * m / n);
        si -= x * std::sin(2.0 * M_PI * k * m / n);
      }
      re[k] = static_cast<float>(sr);
      im[k] = static_cast<float>(si);
    }
  };
  std::vector<float> xr, xi, wr, wi;
  spectrum(100.3, xr, xi);
  for (double by : {-20.25, -37.5, -3.0, 12.8}) {
    std::vector<float> yr(half, 0.0f), yi(half, 0.0f);
    spectral_shift_add(table, xr.data(), xi.data(), 0, half, by, yr.data(), yi.data(), half);
    spectrum(100.3 + by, wr, wi);
    double peak = 0.0, worst = 0.0;
    for (int k = 0; k < half; k++) {
      peak = std::max(peak, std::hypot(double(wr[k]), double(wi[k])));
      worst = std::max(worst, std::hypot(double(yr[k]) - wr[k], double(yi[k]) - wi[k]));
    }
    EXPECT_LT(worst, (by == std::round(by) ? 1e-5 : 0.01) * peak) << by;
  }
}

}  // namespace
