// quality_measure: the measuring half of scripts/quality.sh. It writes the
// quality test material as 16-bit WAV files and reads one figure off a
// processed file against its input. A benchmark tool, not a test, and apart
// from the engine: it only reads and writes files.
//
//   quality_measure synth DIR
//       writes tone.wav, saw.wav, bursts.wav, panned.wav, drums.wav,
//       dualmono.wav, music.wav (44.1 kHz stereo) and long.wav / short.wav
//       (the piece over 128 bars, 256 s, and its first half second, for timing)
//       and ideal.wav (the note-event piece of ideal_rendering.h at tempo 1).
//   quality_measure MEASURE IN.wav OUT.wav TEMPO[:SEMITONES]
//       MEASURE is one of level, flutter, sidemid, pan, bass, transients,
//       pitch, offset, duration, toneerror, pitcherror, aliasing, step, and
//       for a stretch of ideal.wav ideal-left, ideal-right, ideal-side,
//       softening, preecho, prerise, ideal-delay (ms); prints the figure (dB, ms or cents).
//
// Reads 16-bit PCM (plain or extensible) and 32-bit float WAV, mono or
// stereo; a mono file counts as two identical channels.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../tests/support/audio_measures.h"
#include "../tests/support/test_material.h"
#include "ideal_rendering.h"
#include "wav_io.h"

namespace {

using wavio::Audio;
using wavio::readWav;
using wavio::writeWav;

constexpr double kRate = 44100.0;
// The material's timing, shared by synth and the measures.
constexpr double kToneHz = 440.0;
constexpr double kBassHz = 55.0;
constexpr double kBurstSpacing = 0.25;

quality::Stereo both(const std::vector<float>& x) { return {x, x}; }

void synth(const std::string& dir) {
  writeWav(dir + "/tone.wav", both(quality::steadyTone(kRate, 4.0, kToneHz)), kRate);
  writeWav(dir + "/saw.wav", both(quality::sawtoothBass(kRate, 4.0, kBassHz)), kRate);
  writeWav(dir + "/bursts.wav", both(quality::burstTrain(kRate, 6.0, kBurstSpacing)), kRate);
  writeWav(dir + "/panned.wav", quality::pannedSource(kRate, 4.0), kRate);
  writeWav(dir + "/drums.wav", quality::musicPiece(kRate, 4, quality::kDrums), kRate);
  writeWav(dir + "/dualmono.wav", quality::dualMono(kRate, 4), kRate);
  writeWav(dir + "/music.wav", quality::musicPiece(kRate, 4), kRate);
  writeWav(dir + "/long.wav", quality::musicPiece(kRate, 128), kRate);
  quality::Stereo beat = quality::musicPiece(kRate, 1);
  beat.left.resize(static_cast<size_t>(0.5 * kRate));
  beat.right.resize(beat.left.size());
  writeWav(dir + "/short.wav", beat, kRate);
  writeWav(dir + "/ideal.wav", ideal::render(kRate, 1.0), kRate);
}

// Largest sample-to-sample step of either channel.
double largestStep(const quality::Stereo& s) {
  double m = 0;
  for (const auto* c : {&s.left, &s.right})
    for (size_t i = 1; i < c->size(); i++) m = std::fmax(m, std::fabs(double((*c)[i]) - (*c)[i - 1]));
  return m;
}

// The measures of a stretch of ideal.wav against the piece rendered at the
// tempo, after the stretch's own delay is found and taken off.
double idealMeasure(const std::string& what, const Audio& out, double tempo) {
  const quality::Stereo ref = ideal::render(out.rate, tempo);
  const std::ptrdiff_t delay = ideal::delaySamples(ref, out.ch, out.rate);
  if (what == "ideal-delay") return 1000.0 * static_cast<double>(delay) / out.rate;
  if (what == "ideal-left") return ideal::bandDistanceDb(ref.left, out.ch.left, delay, out.rate);
  if (what == "ideal-right") return ideal::bandDistanceDb(ref.right, out.ch.right, delay, out.rate);
  if (what == "ideal-side") return ideal::bandDistanceDb(ideal::side(ref), ideal::side(out.ch), delay, out.rate);
  const ideal::Attacks a = ideal::attacks(ref, out.ch, delay, ideal::hitOnsets(out.rate, tempo), out.rate);
  return what == "softening" ? a.softeningDb : what == "preecho" ? a.preEchoDb : a.preRiseDb;
}

// The mean of a measure read on each channel.
template <class F>
double perChannel(const Audio& in, const Audio& out, F f) {
  return 0.5 * (f(in.ch.left, out.ch.left) + f(in.ch.right, out.ch.right));
}

// shift: the transposition asked for, in semitones; the pitch measures read
// the error against it.
double measure(const std::string& what, const Audio& in, const Audio& out, double tempo, double shift) {
  const double rate = out.rate;
  if (what.rfind("ideal-", 0) == 0 || what == "softening" || what == "preecho" || what == "prerise")
    return idealMeasure(what, out, tempo);
  const double ratio = std::pow(2.0, shift / 12.0);
  if (what == "step")  // the output's largest step against the input's shifted, in dB
    return 20.0 * std::log10(largestStep(out.ch) / (largestStep(in.ch) * ratio));
  if (what == "toneerror")  // cents off the shifted tone, from the middle half of the output
    return perChannel(in, out, [&](const auto&, const auto& b) {
      const std::vector<float> mid(b.begin() + b.size() / 4, b.end() - b.size() / 4);
      return 1200.0 * std::log2(quality::peakFrequencyHz(mid, rate) / (kToneHz * ratio));
    });
  if (what == "pitcherror")
    return perChannel(in, out, [&](const auto& a, const auto& b) { return quality::pitchOffsetCents(a, b, rate); }) -
           100.0 * shift;
  if (what == "folded")  // energy where what the shift pushed past half the rate would fold back
    return perChannel(in, out, [&](const auto&, const auto& b) {
      return quality::foldedEnergyDb(b, rate, kBassHz, ratio);
    });
  if (what == "aliasing")  // energy off the shifted saw's harmonics
    return perChannel(in, out, [&](const auto&, const auto& b) {
      return quality::inharmonicEnergyDb(b, rate, kBassHz * ratio);
    });
  if (what == "level")
    return perChannel(in, out, [](const auto& a, const auto& b) { return quality::levelChangeDb(a, b); });
  if (what == "flutter")
    return std::fmax(quality::flutterDb(out.ch.left, rate, kToneHz * ratio),
                     quality::flutterDb(out.ch.right, rate, kToneHz * ratio));
  if (what == "sidemid") return quality::sideMidChangeDb(in.ch.left, in.ch.right, out.ch.left, out.ch.right);
  if (what == "pan") return quality::panDecorrelationDb(out.ch.left, out.ch.right);
  if (what == "bass")
    return perChannel(in, out, [&](const auto&, const auto& b) { return quality::inharmonicEnergyDb(b, rate, kBassHz); });
  if (what == "transients")
    return perChannel(in, out, [&](const auto&, const auto& b) {
      return quality::transientWidthMs(b, rate, kBurstSpacing / tempo);
    });
  if (what == "pitch")
    return perChannel(in, out, [&](const auto& a, const auto& b) { return quality::pitchOffsetCents(a, b, rate); });
  if (what == "offset")
    return perChannel(in, out, [&](const auto& a, const auto& b) { return quality::startOffsetMs(a, b, rate, tempo); });
  if (what == "duration")  // output length against the input's divided by the tempo, in ms
    return 1000.0 * (out.seconds() - in.seconds() / tempo);
  throw std::runtime_error("unknown measure " + what);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 3 && std::string(argv[1]) == "synth") {
      synth(argv[2]);
      return 0;
    }
    if (argc == 5) {
      const Audio in = readWav(argv[2]), out = readWav(argv[3]);
      if (in.rate != out.rate) throw std::runtime_error("the two files' sample rates differ");
      // TEMPO or TEMPO:SEMITONES
      const std::string arg = argv[4];
      const size_t colon = arg.find(':');
      const double shift = colon == std::string::npos ? 0.0 : std::stod(arg.substr(colon + 1));
      const double tempo = std::stod(arg.substr(0, colon));
      if (!(tempo > 0) || !std::isfinite(tempo) || !std::isfinite(shift)) throw std::invalid_argument("tempo");
      std::printf("%.6g\n", measure(argv[1], in, out, tempo, shift));
      return 0;
    }
    std::fprintf(stderr,
                 "usage: quality_measure synth DIR\n"
                 "       quality_measure level|flutter|sidemid|pan|bass|transients|pitch|offset|duration|toneerror|pitcherror|aliasing|folded|step\n"
                 "                       |ideal-left|ideal-right|ideal-side|softening|preecho|prerise|ideal-delay\n"
                 "                       IN OUT TEMPO[:SEMITONES]\n");
    return 2;
  } catch (const std::invalid_argument&) {
    std::fprintf(stderr, "quality_measure: TEMPO must be a positive number, SEMITONES a number\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quality_measure: %s\n", e.what());
    return 1;
  }
}
