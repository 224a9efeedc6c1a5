// Makes and checks the golden digests of tests/golden/scenarios.h against a
// built libtambrino.so.
//
//   golden_digests LIB.so                    print the digest file's contents
//   golden_digests LIB.so --compare REF.so   run both and name, per scenario,
//                                            the first block, value and index
//                                            that differ
// Either form takes scenario names after the options to run only those.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine_loader.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: golden_digests LIB.so [--compare REF.so] [scenario...]\n");
  return 2;
}

// Everything a scenario produced, block by block.
struct Trace {
  std::vector<std::vector<jshort>> samples;
  std::vector<float> levels;
  std::vector<std::vector<float>> spectra;
};

// Runs the scenario in a child process against lib and records the trace in
// a temporary file, read back here.
bool traceScenario(const std::string& lib, const golden::Scenario& s, Trace& t, std::string& error) {
  char path[] = "/tmp/golden_trace_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    error = "cannot make a temporary file";
    return false;
  }
  close(fd);
  const golden::Outcome o = golden::runIsolated([&] {
    golden::Outcome r;
    golden::EngineApi api;
    std::string err;
    if (!bench::loadEngine(lib, api, err)) {
      std::fprintf(stderr, "%s\n", err.c_str());
      return r;
    }
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return r;
    golden::Driver d(api, [&](const golden::BlockResult& b) {
      const uint32_t n = static_cast<uint32_t>(b.samples->size());
      std::fwrite(&n, sizeof(n), 1, f);
      std::fwrite(b.samples->data(), sizeof(jshort), n, f);
      std::fwrite(&b.maxLevel, sizeof(float), 1, f);
      std::fwrite(b.spectrum->data(), sizeof(float), b.spectrum->size(), f);
    });
    s.run(d);
    std::fclose(f);
    r.ok = true;
    return r;
  });
  if (!o.ok) {
    error = o.error.empty() ? "the scenario did not run" : o.error;
    unlink(path);
    return false;
  }
  FILE* f = std::fopen(path, "rb");
  uint32_t n;
  while (f != nullptr && std::fread(&n, sizeof(n), 1, f) == 1) {
    std::vector<jshort> v(n);
    float level;
    std::vector<float> spectrum(72);
    if (std::fread(v.data(), sizeof(jshort), n, f) != n || std::fread(&level, sizeof(float), 1, f) != 1 ||
        std::fread(spectrum.data(), sizeof(float), 72, f) != 72)
      break;
    t.samples.push_back(std::move(v));
    t.levels.push_back(level);
    t.spectra.push_back(std::move(spectrum));
  }
  if (f != nullptr) std::fclose(f);
  unlink(path);
  return true;
}

bool sameBits(float a, float b) {
  return std::memcmp(&a, &b, sizeof(float)) == 0;
}

// Prints the first difference in the samples and levels, and apart from it
// the first spectrum value that differs with how many do (the spectrum's
// tables are where two maths libraries would part); returns true when the
// traces are identical.
bool compareTraces(const char* name, const Trace& a, const Trace& b) {
  if (a.samples.size() != b.samples.size()) {
    std::printf("%s: %zu blocks against %zu\n", name, a.samples.size(), b.samples.size());
    return false;
  }
  bool same = true;
  for (size_t blk = 0; blk < a.samples.size() && same; blk++) {
    const auto& sa = a.samples[blk];
    const auto& sb = b.samples[blk];
    for (size_t i = 0; i < sa.size() && i < sb.size(); i++) {
      if (sa[i] != sb[i]) {
        std::printf("%s: block %zu, sample %zu: %d against %d\n", name, blk, i, sa[i], sb[i]);
        same = false;
        break;
      }
    }
    if (same && !sameBits(a.levels[blk], b.levels[blk])) {
      std::printf("%s: block %zu, peak level %.9g against %.9g\n", name, blk, a.levels[blk], b.levels[blk]);
      same = false;
    }
  }
  size_t spectrumDiffs = 0;
  for (size_t blk = 0; blk < a.samples.size(); blk++) {
    for (size_t k = 0; k < 72; k++) {
      if (sameBits(a.spectra[blk][k], b.spectra[blk][k])) continue;
      if (spectrumDiffs++ == 0)
        std::printf("%s: block %zu, spectrum note %zu: %.9g against %.9g\n", name, blk, k, a.spectra[blk][k],
                    b.spectra[blk][k]);
    }
  }
  if (spectrumDiffs > 0) {
    std::printf("%s: %zu of %zu spectrum values differ%s\n", name, spectrumDiffs, a.samples.size() * 72,
                same ? "; every sample and peak level is the same" : "");
    return false;
  }
  if (same) std::printf("%s: identical (%zu blocks)\n", name, a.samples.size());
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string lib = argv[1];
  std::string reference;
  std::vector<std::string> only;
  for (int i = 2; i < argc; i++) {
    const std::string arg = argv[i];
    if (arg == "--compare" && i + 1 < argc) {
      reference = argv[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      return usage();
    } else {
      if (golden::findScenario(arg) == nullptr) {
        std::fprintf(stderr, "no scenario %s\n", arg.c_str());
        return 2;
      }
      only.push_back(arg);
    }
  }
  auto selected = [&](const golden::Scenario& s) {
    if (only.empty()) return true;
    for (const std::string& n : only)
      if (n == s.name) return true;
    return false;
  };

  if (!reference.empty()) {
    int differing = 0;
    for (const golden::Scenario& s : golden::scenarios()) {
      if (!selected(s)) continue;
      Trace a;
      Trace b;
      std::string error;
      if (!traceScenario(lib, s, a, error) || !traceScenario(reference, s, b, error)) {
        std::printf("%s: %s\n", s.name, error.c_str());
        differing++;
        continue;
      }
      if (!compareTraces(s.name, a, b)) differing++;
    }
    return differing == 0 ? 0 : 1;
  }

  golden::EngineApi api;
  std::string error;
  if (!bench::loadEngine(lib, api, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("# Golden digests (FNV-1a 64) of tests/golden/scenarios.h: every output sample,\n");
  std::printf("# peak level and spectrum value of every block. Made by bench/golden_digests.\n");
  std::printf("synthetic_input %016" PRIx64 "\n", golden::synthesiserDigest());
  int failed = 0;
  for (const golden::Scenario& s : golden::scenarios()) {
    if (!selected(s)) continue;
    const golden::Outcome o = golden::runIsolated([&] { return golden::runScenario(api, s); });
    if (!o.ok) {
      std::fprintf(stderr, "%s: %s\n", s.name, o.error.c_str());
      failed++;
      continue;
    }
    std::printf("%s %016" PRIx64 "  # %d blocks, rms %.0f, peak %.0f\n", s.name, o.digest, o.blocks,
                std::sqrt(o.sumSquares / static_cast<double>(std::max<int64_t>(o.samples, 1))), o.peakSample);
    std::fflush(stdout);
  }
  return failed == 0 ? 0 : 1;
}
