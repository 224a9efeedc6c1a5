// quality_measure: the measuring half of scripts/quality.sh. It writes the
// quality test material as 16-bit WAV files and reads one figure off a
// processed file against its input. A benchmark tool, not a test, and apart
// from the engine: it only reads and writes files.
//
//   quality_measure synth DIR
//       writes tone.wav, saw.wav, bursts.wav, panned.wav, drums.wav,
//       dualmono.wav, music.wav (44.1 kHz stereo) and long.wav / short.wav
//       (the piece over 128 bars, 256 s, and its first half second, for timing).
//   quality_measure MEASURE IN.wav OUT.wav TEMPO
//       MEASURE is one of level, flutter, sidemid, pan, bass, transients,
//       pitch, offset, duration; prints the figure (dB, ms or cents).
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

namespace {

constexpr double kRate = 44100.0;
// The material's timing, shared by synth and the measures.
constexpr double kToneHz = 440.0;
constexpr double kBassHz = 55.0;
constexpr double kBurstSpacing = 0.25;

struct Audio {
  double rate = 0;
  quality::Stereo ch;
  double seconds() const { return ch.left.size() / rate; }
};

uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

Audio readWav(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<unsigned char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVE", 4))
    throw std::runtime_error(path + ": not a RIFF/WAVE file");
  int format = 0, channels = 0, bits = 0;
  Audio a;
  bool haveFmt = false;
  for (size_t pos = 12; pos + 8 <= b.size();) {
    const uint32_t size = le32(b.data() + pos + 4);
    const unsigned char* body = b.data() + pos + 8;
    const size_t avail = std::min<size_t>(size, b.size() - pos - 8);  // tolerate a truncated last chunk
    if (!std::memcmp(b.data() + pos, "fmt ", 4) && avail >= 16) {
      format = le16(body);
      channels = le16(body + 2);
      a.rate = le32(body + 4);
      bits = le16(body + 14);
      if (format == 0xFFFE && avail >= 26) format = le16(body + 24);
      haveFmt = true;
    } else if (!std::memcmp(b.data() + pos, "data", 4)) {
      if (!haveFmt) throw std::runtime_error(path + ": data before fmt");
      if (channels < 1 || channels > 2) throw std::runtime_error(path + ": only mono or stereo");
      const bool pcm16 = format == 1 && bits == 16, float32 = format == 3 && bits == 32;
      if (!pcm16 && !float32) throw std::runtime_error(path + ": only 16-bit PCM or 32-bit float");
      const size_t bytes = bits / 8, frames = avail / (bytes * channels);
      a.ch.left.resize(frames);
      a.ch.right.resize(frames);
      for (size_t i = 0; i < frames; i++) {
        for (int c = 0; c < channels; c++) {
          const unsigned char* p = body + (i * channels + c) * bytes;
          float v;
          if (pcm16) {
            v = static_cast<float>(static_cast<int16_t>(le16(p)) / 32768.0);
          } else {
            const uint32_t u = le32(p);
            std::memcpy(&v, &u, 4);
          }
          (c == 0 ? a.ch.left : a.ch.right)[i] = v;
        }
        if (channels == 1) a.ch.right[i] = a.ch.left[i];
      }
      return a;
    }
    pos += 8 + size + (size & 1);
  }
  throw std::runtime_error(path + ": no data chunk");
}

void put32(std::ofstream& f, uint32_t v) {
  const unsigned char c[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  f.write(reinterpret_cast<const char*>(c), 4);
}
void put16(std::ofstream& f, uint16_t v) {
  const unsigned char c[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  f.write(reinterpret_cast<const char*>(c), 2);
}

// 16-bit stereo; the material's scale is 32768 per unit, so values already on
// the 16-bit grid (the dithered dual mono) come back unchanged.
void writeWav(const std::string& path, const quality::Stereo& s, double rate) {
  std::ofstream f(path, std::ios::binary);
  const uint32_t frames = static_cast<uint32_t>(s.left.size()), data = frames * 4;
  f.write("RIFF", 4);
  put32(f, 36 + data);
  f.write("WAVEfmt ", 8);
  put32(f, 16);
  put16(f, 1);
  put16(f, 2);
  put32(f, static_cast<uint32_t>(rate));
  put32(f, static_cast<uint32_t>(rate) * 4);
  put16(f, 4);
  put16(f, 16);
  f.write("data", 4);
  put32(f, data);
  for (uint32_t i = 0; i < frames; i++) {
    for (float v : {s.left[i], s.right[i]}) {
      const double q = std::round(static_cast<double>(v) * 32768.0);
      put16(f, static_cast<uint16_t>(static_cast<int16_t>(std::fmax(-32768.0, std::fmin(32767.0, q)))));
    }
  }
  if (!f) throw std::runtime_error("cannot write " + path);
}

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
  const double ratio = std::pow(2.0, shift / 12.0);
  if (what == "toneerror")  // cents off the shifted tone, from the middle half of the output
    return perChannel(in, out, [&](const auto&, const auto& b) {
      const std::vector<float> mid(b.begin() + b.size() / 4, b.end() - b.size() / 4);
      return 1200.0 * std::log2(quality::peakFrequencyHz(mid, rate) / (kToneHz * ratio));
    });
  if (what == "pitcherror")
    return perChannel(in, out, [&](const auto& a, const auto& b) { return quality::pitchOffsetCents(a, b, rate); }) -
           100.0 * shift;
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
      std::printf("%.6g\n", measure(argv[1], in, out, std::stod(arg.substr(0, colon)), shift));
      return 0;
    }
    std::fprintf(stderr,
                 "usage: quality_measure synth DIR\n"
                 "       quality_measure level|flutter|sidemid|pan|bass|transients|pitch|offset|duration|toneerror|pitcherror|aliasing\n"
                 "                       IN OUT TEMPO[:SEMITONES]\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quality_measure: %s\n", e.what());
    return 1;
  }
}
