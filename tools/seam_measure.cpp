// seam_measure: reads seams off audio files with the measures of the seam
// tests (tests/support/seam_check.h), for the players' seams that the JVM's
// SeamsTest makes and for the peers' starts and ends (scripts/seams.sh).
// Apart from the engine: it only reads and writes files.
//
//   seam_measure synth DIR
//       writes the seam material, tone.wav, chord.wav, pink.wav and
//       music.wav (3 s, 44.1 kHz stereo), and each with half a second of
//       silence on either side (tone-gap.wav, ...).
//   seam_measure seam OUT.wav A.wav B.wav TEMPO equal|power AT:ATA:ATB ...
//       how far the seams of OUT.wav at output frames AT go beyond an ideal
//       splice of A.wav at frame ATA into B.wav at frame ATB (cross-faded
//       with equal gains or equal power); of several seams, the middle
//       figure of each measure. Prints "level DB peak DB step RATIO".
//   seam_measure ends GAP.wav OUT.wav TEMPO
//       the start and the end of the sound in a stretch of a *-gap.wav file
//       (OUT.wav aligned with it, lasting its length over the tempo),
//       against the input's own reading there. Prints two lines,
//       "start level DB peak DB step RATIO" and "end ...".
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/support/seam_check.h"
#include "wav_io.h"

namespace {

constexpr double kRate = 44100.0;
constexpr double kGapSeconds = 0.5;
const char* const kNames[] = {"tone", "chord", "pink", "music"};

quality::Stereo read(const std::string& path) {
  return wavio::readWav(path).ch;
}

void print(const char* what, const seams::Excess& e) {
  std::printf("%s%slevel %.2f peak %.2f step %.2f\n", what, *what ? " " : "", e.level, e.peak, e.step);
}

int usage() {
  std::fprintf(stderr,
               "usage: seam_measure synth DIR\n"
               "       seam_measure seam OUT.wav A.wav B.wav TEMPO equal|power AT:ATA:ATB ...\n"
               "       seam_measure ends GAP.wav OUT.wav TEMPO\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 2 && args[0] == "synth") {
      const std::vector<quality::Stereo> sounds = seams::signals(kRate);
      const size_t gap = static_cast<size_t>(kGapSeconds * kRate);
      for (size_t k = 0; k < sounds.size(); k++) {
        wavio::writeWav(args[1] + "/" + kNames[k] + ".wav", sounds[k], kRate);
        quality::Stereo padded{std::vector<float>(gap), std::vector<float>(gap)};
        padded.left.insert(padded.left.end(), sounds[k].left.begin(), sounds[k].left.end());
        padded.right.insert(padded.right.end(), sounds[k].right.begin(), sounds[k].right.end());
        padded.left.resize(padded.left.size() + gap);
        padded.right.resize(padded.right.size() + gap);
        wavio::writeWav(args[1] + "/" + kNames[k] + "-gap.wav", padded, kRate);
      }
      return 0;
    }
    if (args.size() >= 7 && args[0] == "seam") {
      const quality::Stereo out = read(args[1]), a = read(args[2]), b = read(args[3]);
      const double tempo = std::stod(args[4]);
      const bool power = args[5] == "power";
      std::vector<seams::Excess> readings;
      for (size_t i = 6; i < args.size(); i++) {
        double at, atA, atB;
        if (std::sscanf(args[i].c_str(), "%lf:%lf:%lf", &at, &atA, &atB) != 3) return usage();
        readings.push_back(seams::excess(seams::read(out, kRate, at, tempo, quality::SeamSides::Both),
                                         seams::idealSplice(a, atA, b, atB, kRate, tempo, static_cast<long>(kRate / 50),
                                                            false, power)));
      }
      print("", seams::middle(readings));
      return 0;
    }
    if (args.size() == 4 && args[0] == "ends") {
      const quality::Stereo in = read(args[1]), out = read(args[2]);
      const double tempo = std::stod(args[3]);
      const double gap = kGapSeconds * kRate, length = static_cast<double>(in.left.size()) - 2 * gap;
      const auto ideal = [&](double at, quality::SeamSides sides) {
        return quality::seamReading(in.left, in.right, kRate, at, 0.2 * kRate * tempo, 1.25 * kRate, sides);
      };
      print("start", seams::excess(seams::read(out, kRate, gap / tempo, tempo, quality::SeamSides::After),
                                   ideal(gap, quality::SeamSides::After)));
      print("end", seams::excess(seams::read(out, kRate, (gap + length) / tempo, tempo, quality::SeamSides::Before),
                                 ideal(gap + length, quality::SeamSides::Before)));
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "seam_measure: %s\n", e.what());
    return 1;
  }
  return usage();
}
